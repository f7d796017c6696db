#pragma once

#include <QList>
#include <QString>

namespace panels {

struct Example {
    QString name;
    QString text;
};

// Sequences to start from: a CC-CV charge, a burn-in cycle, an I-V sweep.
QList<Example> examples();

} // namespace panels
