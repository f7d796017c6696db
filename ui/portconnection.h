#pragma once

#include "serial/commcontrol.h"

#include <QMetaObject>
#include <QtGlobal>

#include <functional>
#include <optional>

class QComboBox;
class QLabel;
class QWidget;

namespace ui {
class ColorButton;
class Messenger;
} // namespace ui

namespace ui {

// The port number in a port list text: every upper-case "COM" removed, the rest
// read leniently and rounded half to even. nullopt when that is no port number
// (below 1 or beyond 16 bits).
std::optional<int> portNumberFromName(const QString &name);

// The controls of a window's port row that the search and the open/close toggle
// read and write.
struct PortControls {
    QComboBox *Combo1 = nullptr;    // port list; its text names the port to open
    QLabel *Label1 = nullptr;       // status line
    ui::ColorButton *C31 = nullptr; // "Open serial port" / "Close serial port"
};

// "Look for serial port" and "Open serial port" of both windows, written once.
// What only one window does around opening and closing is given as callbacks.
class PortConnection {
public:
    PortConnection(serial::CommControl &comm, ui::Messenger &messenger, QWidget *window,
                   PortControls controls);
    ~PortConnection();
    PortConnection(const PortConnection &) = delete;
    PortConnection &operator=(const PortConnection &) = delete;

    // Probes COM1 to COM16 and lists those that exist.
    void search();
    // Opens the port named in Combo1, or closes it, by the parity of the count.
    // A port that opens later (a network line connecting) shows so at once and
    // reports its open or its failure when it is known; pressing again while it
    // connects closes it.
    void openOrClose();

    qint16 openClickCount() const { return m_openClickCount; }

    // Closes the port as the window goes away; a port that fails to close is left.
    void release();

    // Runs after a successful open (vantel sets its port-open flag).
    std::function<void()> afterOpen;
    // Runs first when closing (vantel clears its flag, its live display and C25).
    std::function<void()> beforeClose;

private:
    void closeSteps();
    void showOpened();
    // An open that failed: the button offers the open again and the user hears why.
    void reportFailure(int error, const QString &description);
    void onOpenEnded(int error, const QString &reason);

    serial::CommControl &m_comm;
    ui::Messenger &m_messenger;
    QWidget *m_window;
    PortControls m_controls;
    qint16 m_openClickCount = 0;
    QMetaObject::Connection m_openEnded;
};

} // namespace ui
