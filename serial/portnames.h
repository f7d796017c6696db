#pragma once

#include <QString>

namespace serial {

// The device behind "COMn". On Windows that is the native name itself. Elsewhere
// it is the entry COMn of $VANTEL_PORT_DIR when that variable is set (and nothing
// else), otherwise ~/.config/vantel/ports/COMn when it exists, otherwise the
// usual numbering of COM1 as /dev/ttyS0.
QString devicePath(int port);

// The folder that holds the COMn links: $VANTEL_PORT_DIR, else ~/.config/vantel/ports.
QString portDirectory();

} // namespace serial
