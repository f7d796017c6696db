#pragma once

#include "serial/commcontrol.h"
#include "ui/messenger.h"
#include "ui/portconnection.h"
#include "ui/textbox.h"
#include "ui/widgets.h"

#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QWidget>

#include <cstdint>
#include <memory>

namespace addrtool {

// The address tool window: every control, the open/close counter and the
// handlers. Controls are public so that tests can drive the handlers directly.
class Form1 : public QWidget {
    Q_OBJECT
public:
    // The window uses `comm` as its serial control and `messenger` for every
    // message; neither is owned.
    Form1(serial::CommControl &comm, ui::Messenger &messenger, QWidget *parent = nullptr);
    ~Form1() override;

    // Client area when the window opens, in twips.
    static constexpr int kClientWidth = 10170;
    static constexpr int kClientHeight = 3795;
    static constexpr int kNoteHeight = 420;   // two lines of the note (Label7)
    static constexpr int kStatusHeight = 375; // the status line (Label1)

    qint16 openClickCount() const { return m_ports->openClickCount(); }

    serial::CommControl &MSComm1;

    QLabel *Label2, *L8, *L9, *lb8, *Label7, *Label1;
    QPushButton *C23, *C24, *Command2, *Command3, *Command1;
    ui::Shape *Shape20, *Shape21, *Shape3;
    ui::TextBox *T15, *T20, *Text1;
    QComboBox *Combo1;
    ui::ColorButton *C32, *C31, *C28;

public slots:
    void Form_Load();
    void C23_Click();
    void C24_Click();
    void Command2_Click();
    void Command3_Click();
    void C32_Click();
    void C31_Click();
    void C28_Click();
    void Command1_Click();
    void MSComm1_OnComm();

protected:
    // Closing the window releases the port.
    void closeEvent(QCloseEvent *event) override;

private:
    void buildControls();
    void connectHandlers();
    void MsgBox(const QString &text);
    // Text1 and the message after a change to `newAddress` was confirmed.
    void confirmAddress(std::uint8_t newAddress);

    ui::Messenger &m_messenger;
    std::unique_ptr<ui::PortConnection> m_ports;
};

} // namespace addrtool
