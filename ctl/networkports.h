#pragma once

#include "ctl/platform.h"

#include <vector>

namespace ctl {

// The COM names among 1..`last` that name a network line (serial::networkTarget),
// listed as such in `ports`: the line's tcp:// address as the device, and
// whether its gateway takes a connection ("free") or not ("absent"). An entry
// the platform made for such a name (a link that leads to no file) is replaced;
// the rest keep their order, the network ones in theirs among them.
void listNetworkPorts(std::vector<PortEntry> &ports, int last);

} // namespace ctl
