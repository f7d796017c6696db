#pragma once

#include "serial/commcontrol.h"

#include <QString>

#include <cstdio>
#include <vector>

// What differs between platforms, one file per platform behind these functions.
namespace ctl {

// One COM port as `vantelctl ports` lists it.
struct PortEntry {
    QString name;        // COMn
    QString device;      // the device it resolves to
    QString state;       // free, in use, no access, absent
    QString description; // the device's own description, when it has one
};

// The ports worth listing, each probed through `comm` without disturbing them.
std::vector<PortEntry> listPorts(serial::CommControl &comm);

// A port's state from the error number its probe gave.
QString portState(int error);

// Puts /dev/null on each standard stream the process was started without, so that
// no file it opens later (a serial port) takes that number and receives the data
// meant for stdout. True when stdout was closed.
bool stdoutWasClosed();

// Progress lines are shown only to a person watching.
bool stderrIsTerminal();

// Writes `text` to `stream` and flushes it, so that every character reaches the
// reader as it is: a Windows console gets it through its wide-character call,
// whatever its code page; a file, a pipe and every Unix stream get UTF-8. False
// when not all of it was written (errno then says why, where the system does).
bool writeText(std::FILE *stream, const QString &text);

} // namespace ctl
