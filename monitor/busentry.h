#pragma once

#include "bus/buswindow.h"

class QWidget;

namespace panels {
class MonitorPanels;
}

namespace bus {

// Adds "Bus…" (F6) to the context menu of `window` after the entries of `panels`.
// It opens the bus window on the line the window has open, or says that no port
// is open and opens nothing.
void addBusEntry(QWidget *window, panels::MonitorPanels &panels, BusAccess access,
                 ui::Messenger &messenger);

// The bus window beside `window`, if one is open.
BusWindow *busWindowOf(QWidget *window);

} // namespace bus
