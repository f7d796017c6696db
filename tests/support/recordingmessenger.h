#pragma once

#include "ui/messenger.h"

#include <QStringList>

namespace testsupport {

// Records every message instead of showing a box.
class RecordingMessenger : public ui::Messenger {
public:
    void inform(QWidget *, const QString &text) override { messages << text; }
    QStringList messages;
};

} // namespace testsupport
