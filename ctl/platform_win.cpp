#include "ctl/platform.h"

#include <cstdio>
#include <io.h>

namespace ctl {

namespace {

constexpr int kLastComPort = 256;

} // namespace

// Every COM port the system has: those whose probe finds a device.
std::vector<PortEntry> listPorts(serial::CommControl &comm)
{
    std::vector<PortEntry> ports;
    for (int n = 1; n <= kLastComPort; ++n) {
        const int error = comm.probePort(n);
        if (error == serial::kErrPortNotFound) {
            continue;
        }
        const QString name = QStringLiteral("COM%1").arg(n);
        ports.push_back(PortEntry{name, name, portState(error), QString()});
    }
    return ports;
}

bool stderrIsTerminal()
{
    return _isatty(_fileno(stderr)) != 0;
}

} // namespace ctl
