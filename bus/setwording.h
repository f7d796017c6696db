#pragma once

#include "records/operations.h"

#include <QCoreApplication>
#include <QString>

namespace bus {

// What a card says of a set value that did not take: a ceiling held on the line
// refuses it before anything is sent; anything else went out and was not confirmed.
inline QString setNotTaken(bool volts, const records::WriteResult &r)
{
    const auto tr = [](const char *text) { return QCoreApplication::translate("bus", text); };
    const QString what = volts ? tr("voltage") : tr("current");
    return (r.failure.error == engine::Error::Refused ? tr("The set %1 was refused (%2).")
                                                      : tr("The set %1 was not confirmed (%2)."))
        .arg(what, r.problem);
}

} // namespace bus
