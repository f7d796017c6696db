#pragma once

#include "protocol/frames.h"
#include "protocol/reading.h"
#include "protocol/reply.h"
#include "serial/commcontrol.h"
#include "trend/history.h"
#include "ui/intervaltimer.h"
#include "ui/messenger.h"
#include "ui/portconnection.h"
#include "ui/textbox.h"
#include "ui/widgets.h"

#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QWidget>

#include <array>
#include <memory>
#include <optional>

namespace panels {
class MonitorPanels;
}

namespace monitor {

struct SetCommand; // what sets the voltage apart from the current

// The monitor window: every control, the window-level state and the handlers.
// Controls and state are public so that tests can drive the handlers directly.
class Form1 : public QWidget {
    Q_OBJECT
public:
    // The window uses `comm` as its serial control and `messenger` for every
    // message; neither is owned.
    Form1(serial::CommControl &comm, ui::Messenger &messenger, QWidget *parent = nullptr);
    ~Form1() override;

    // Captions and colours several handlers share.
    static const QString kMonitorStart; // "Output monitor start"
    static const QString kMonitorStop;  // "Output monitor stop"
    static const QString kOutputStart;  // "Output start"
    static const QString kOutputStop;   // "Output stop"
    static const QColor kCyan;          // C25 off, C1 after a stop
    static const QColor kPink;          // C25 on

    // Window-level state.
    bool portOpened = false;
    bool monitorRunning = false;
    bool replySeen = false;
    // The watchdog found a silence and is disarmed; the next receive event while
    // the monitor runs arms it again, so that a later silence is found too.
    bool watchdogTripped = false;
    qint16 openClickCount() const { return m_ports->openClickCount(); }
    qint16 monitorClickCount = 0;

    serial::CommControl &MSComm1;
    ui::IntervalTimer *Timer1;
    ui::IntervalTimer *Timer2;

    // Heading, display area.
    QLabel *Label5, *label8, *Label2, *Label3, *Label9, *Label4, *Label6;
    ui::Shape *Shape4, *Shape5, *Shape1, *Shape6, *Shape10, *Shape11, *Shape7, *Shape9, *Shape8;
    ui::VLine *Line1;
    ui::TextBox *T1, *T2, *T3, *T4, *Text5, *Text4;
    ui::ColorButton *C1;
    // Current row (Shape2[1]) and voltage row (Shape2[0]).
    std::array<ui::Shape *, 2> Shape2;
    QPushButton *C34, *C35, *C10, *C11, *C12, *C13, *C14, *C15;
    QPushButton *C2, *C3, *C4, *C5, *C6, *C7, *C8, *C9;
    ui::Shape *Shape12, *Shape13, *Shape14, *Shape15, *Shape16, *Shape17, *Shape18, *Shape19;
    ui::TextBox *T16, *T7, *T9, *T11, *T6, *T8, *T10, *T12;
    QLabel *L5, *L6, *L3, *L4;
    ui::ColorButton *C19, *C18;
    // Address row, port row, bottom.
    QLabel *L8, *L9, *Label1;
    QPushButton *C23, *C24;
    ui::Shape *Shape20, *Shape3;
    ui::TextBox *T15;
    QComboBox *Combo1;
    ui::ColorButton *C32, *C31, *C25, *C28;

public slots:
    void Form_Load();
    void C28_Click();
    void C31_Click();
    void C32_Click();
    void C1_Click();
    void Timer1_Timer();
    void Timer2_Timer();
    void MSComm1_OnComm();
    void T1_Change();
    void T2_Change();
    void Text4_Change();
    void Text5_Change();
    void C2_Click();
    void C3_Click();
    void C4_Click();
    void C5_Click();
    void C6_Click();
    void C7_Click();
    void C8_Click();
    void C9_Click();
    void C10_Click();
    void C11_Click();
    void C12_Click();
    void C13_Click();
    void C14_Click();
    void C15_Click();
    void C34_Click();
    void C35_Click();
    void C23_Click();
    void C24_Click();
    void C18_Click();
    void C19_Click();
    void C25_Click();

signals:
    // A status reply passed the decoding's checks: its values as the supply sent them.
    void statusDecoded(const protocol::StatusReading &reading);
    // The readings stopped: the watchdog found silence, the monitor stopped or the
    // port closed.
    void readingsInterrupted();
    // A status request went out to `address`.
    void pollSent(std::uint8_t address);

public:
    // Every reading since the window opened, kept for the trend window.
    trend::History &history() { return m_history; }
    // Sequence runs, recording and ceilings on this window's poll and write path.
    panels::MonitorPanels &panels() { return *m_panels; }

protected:
    // Closing the window releases the port and stops the timers.
    void closeEvent(QCloseEvent *event) override;

private:
    void buildControls();
    void connectHandlers();
    void MsgBox(const QString &text);

    // Setpoint entry and commands.
    void stepAddress(int step);
    void sendSetpoint(const SetCommand &command);
    void handOverWrite(const protocol::Frame &frame);

    // The hooks of the tools beside the window.
    void attachPanels();
    // "Bus…" (F6): every supply on this window's line in a window of its own.
    void addBusEntry();
    // Connects a control whose press would disturb a run: a run holding the supply
    // is stopped first, if the user agrees.
    void connectGuarded(QPushButton *control, void (Form1::*handler)());
    // The dialled set value of C18 (voltage) or C19 (current); nullopt when a digit
    // box holds no number.
    std::optional<double> dialledSetValue(bool voltage) const;

    ui::Messenger &m_messenger;
    trend::History m_history;
    std::unique_ptr<ui::PortConnection> m_ports;
    panels::MonitorPanels *m_panels = nullptr;
    bool m_portLost = false;
    bool m_silenceBoxOpen = false; // the watchdog's message is on screen
};

} // namespace monitor
