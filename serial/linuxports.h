#pragma once

#include <QString>

namespace serial {

// What the advice for a device this user may not open depends on.
struct AccessFacts {
    QString portName;             // COMn
    QString device;               // the device itself, links followed
    QString group;                // the device's group
    QString user;                 // this account
    unsigned mode = 0;            // the device's permission bits
    bool groupMayUse = false;     // the group may read and write it
    bool userInGroup = false;     // the group database lists the account
    bool sessionHasGroup = false; // this process holds the group
    QString reason;               // the system's words for the refusal
};

// The message for a refused open: names the port, the device and its group, and
// says what to do.
QString accessAdvice(const AccessFacts &facts);

} // namespace serial
