#pragma once

#include <QString>

#include <functional>

class QWidget;

namespace engine {
class Client;
} // namespace engine

namespace ui {
class Messenger;
}

namespace panels {
class MonitorPanels;
}

namespace bus {
class BusWindow;
} // namespace bus

namespace panels {

// Adds "Bus…" (F6) to the context menu of `window` after the entries of `panels`.
// It opens the bus window on the line the window has open (`client`, nullptr while
// no port is open; `portName` names it), recording into the records folder of
// `panels`, or says that no port is open and opens nothing.
void addBusEntry(QWidget *window, panels::MonitorPanels &panels,
                 std::function<engine::Client *()> client, std::function<QString()> portName,
                 ui::Messenger &messenger);

// The bus window beside `window`, if one is open.
bus::BusWindow *busWindowOf(QWidget *window);

// Closes the bus window beside `window`, if one is open. It reads through the
// window's port, so it goes before the port does.
void closeBusWindow(QWidget *window);

} // namespace panels
