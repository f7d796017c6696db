#pragma once

// What the parts of the bus window share, one file for each of its jobs: the
// window and its recording (buswindow.cpp), the cards (buscards.cpp), the glue
// to the poller (buspolling.cpp), the writes the cards ask for (buswrites.cpp),
// the scan (busscan.cpp) and the ceilings with their dialog (busceilings.cpp).
#include "bus/buswindow.h"

namespace bus {

// The highest address a supply takes: a scan asks every one from 1 to it.
constexpr int kLastAddress = 247;

} // namespace bus
