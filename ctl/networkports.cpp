#include "ctl/networkports.h"

#include "line/networkport.h"
#include "serial/portnames.h"

#include <algorithm>

namespace ctl {

void listNetworkPorts(std::vector<PortEntry> &ports, int last)
{
    for (int n = 1; n <= last; ++n) {
        const QString target = serial::networkTarget(n);
        if (target.isEmpty()) {
            continue;
        }
        PortEntry entry;
        entry.name = QStringLiteral("COM%1").arg(n);
        entry.device = target;
        QString why;
        const auto address = values::parseNetworkAddress(target, &why);
        if (address) {
            line::TcpPort probe(*address);
            entry.state = portState(probe.probePort(n));
        } else {
            entry.state = portState(-1);
        }
        const auto numberOf = [](const PortEntry &p) { return p.name.mid(3).toInt(); };
        const auto at = std::find_if(ports.begin(), ports.end(),
                                     [&](const PortEntry &p) { return numberOf(p) >= n; });
        if (at != ports.end() && numberOf(*at) == n) {
            *at = entry;
        } else {
            ports.insert(at, entry);
        }
    }
}

} // namespace ctl
