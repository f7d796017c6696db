#include "monitor/form1.h"

#include "engine/client.h"
#include "help/helpwindow.h"
#include "line/enginecommcontrol.h"
#include "numtext/numtext.h"
#include "panels/busentry.h"
#include "panels/monitorpanels.h"
#include "trend/trendentry.h"
#include "ui/formbuilder.h"

#include <QCloseEvent>
#include <QTimer>

#include <exception>
#include <functional>

namespace monitor {

const QString Form1::kMonitorStart = QStringLiteral("Output monitor start");
const QString Form1::kMonitorStop = QStringLiteral("Output monitor stop");
const QString Form1::kOutputStart = QStringLiteral("Output start");
const QString Form1::kOutputStop = QStringLiteral("Output stop");
const QColor Form1::kCyan = QColor(0, 255, 255);
const QColor Form1::kPink = QColor(255, 128, 255);

namespace {

const QColor kWhite(255, 255, 255);
const QColor kBlack(0, 0, 0);
const QColor kLightGrey(192, 192, 192);
const QColor kGrey(128, 128, 128);
const QString kUp = QStringLiteral("▲");
const QString kDown = QStringLiteral("▼");

} // namespace

Form1::Form1(serial::CommControl &comm, ui::Messenger &messenger, QWidget *parent)
    : QWidget(parent), MSComm1(comm), m_messenger(messenger)
{
    setObjectName(QStringLiteral("Form1"));
    buildControls();
    ui::PortControls portControls;
    portControls.Combo1 = Combo1;
    portControls.Label1 = Label1;
    portControls.C31 = C31;
    m_ports = std::make_unique<ui::PortConnection>(MSComm1, m_messenger, this, portControls);
    m_ports->afterOpen = [this] {
        portOpened = true;
        m_portLost = false;
    };
    m_ports->beforeClose = [this] {
        portOpened = false;
        emit readingsInterrupted();
        Text4->setText(QString());
        Text5->setText(QString());
        T1->setText(QString());
        T2->setText(QString());
        C25->setCaption(kOutputStart);
        C25->setBackColor(kCyan);
    };
    connectHandlers();
    connect(this, &Form1::statusDecoded, &m_history, &trend::History::record);
    connect(this, &Form1::readingsInterrupted, &m_history, &trend::History::endSegment);
    trend::addTrendEntry(this, {T1, T2, T3, T4, Text4, Text5}, m_history, m_messenger);
    attachPanels();
    Form_Load();
}

Form1::~Form1() = default;

void Form1::buildControls()
{
    setWindowTitle(QStringLiteral("vantel - bench power supply monitor"));
    setWindowIcon(ui::makeIcon(QColor(200, 30, 30), QStringLiteral("V")));
    setFont(ui::simSun(7.5));
    setFixedSize(ui::px(10065), ui::px(8955));
    QPalette palette = this->palette();
    palette.setColor(QPalette::Window, kWhite);
    setPalette(palette);
    setAutoFillBackground(true);

    Timer1 = new ui::IntervalTimer(false, 1000, this);
    Timer1->setObjectName(QStringLiteral("Timer1"));
    Timer2 = new ui::IntervalTimer(true, 0, this);
    Timer2->setObjectName(QStringLiteral("Timer2"));

    ui::FormBuilder b(this);
    const QColor red(255, 0, 0);
    const QColor green(0, 192, 0);

    // Frames first, so that the controls inside them are drawn on top.
    Shape4 = b.shape("Shape4", 0, 720, 7935, 2655, kLightGrey);
    Shape5 = b.shape("Shape5", 360, 840, 7095, 1455, kGrey);
    Shape2[1] = b.shape("Shape2_1", 120, 3480, 7815, 855, kLightGrey);
    Shape2[0] = b.shape("Shape2_0", 120, 4560, 7815, 855, kLightGrey);
    Shape3 = b.shape("Shape3", 0, 6360, 9855, 975, kLightGrey);

    Label5 = b.label("Label5", QStringLiteral("Digital power supply monitor  60V / 3A"), 480, 120,
                     7215, 375, ui::timesNewRoman(15));
    label8 = b.label("label8", QStringLiteral("Actual output"), 600, 1200, 855, 855,
                     ui::timesNewRoman(14.25), red);
    label8->setWordWrap(true);
    Shape1 = b.shape("Shape1", 1800, 960, 1095, 495, kGrey);
    T1 = b.textBox("T1", QStringLiteral("00.00"), 1920, 1050, 855, 300, ui::simSun(15), red);
    Label2 = b.label("Label2", QStringLiteral("V"), 3240, 1080, 255, 375, ui::simSun(15));
    Shape6 = b.shape("Shape6", 1800, 1560, 1095, 495, kGrey);
    T2 = b.textBox("T2", QStringLiteral("0.000"), 1920, 1650, 855, 300, ui::simSun(15), green);
    Label3 = b.label("Label3", QStringLiteral("A"), 3240, 1680, 255, 255, ui::simSun(15));
    Line1 = new ui::VLine(kGrey, this);
    Line1->setObjectName(QStringLiteral("Line1"));
    Line1->setGeometry(ui::px(3840), ui::px(840), 1, ui::px(1440));
    Label9 = b.label("Label9", QStringLiteral("Setting output"), 6240, 1200, 975, 735,
                     ui::timesNewRoman(14.25));
    Label9->setWordWrap(true);
    Shape10 = b.shape("Shape10", 4200, 960, 1095, 495, kGrey);
    T3 = b.textBox("T3", QStringLiteral("00.00"), 4320, 1050, 855, 345, ui::simSun(15));
    Label4 = b.label("Label4", QStringLiteral("V"), 5640, 1080, 255, 255, ui::simSun(15));
    Shape11 = b.shape("Shape11", 4200, 1560, 1095, 495, kGrey);
    T4 = b.textBox("T4", QStringLiteral("0.000"), 4320, 1650, 855, 345, ui::simSun(15));
    Label6 = b.label("Label6", QStringLiteral("A"), 5640, 1680, 375, 255, ui::simSun(15));
    Shape7 = b.shape("Shape7", 1080, 2640, 855, 495, kGrey);
    Text5 = b.textBox("Text5", QStringLiteral("OFF"), 1310, 2760, 495, 300, ui::simSun(15), red);
    Shape9 = b.shape("Shape9", 2520, 2640, 855, 495, kGrey);
    Text4 = b.textBox("Text4", QStringLiteral("CC"), 2760, 2760, 375, 300, ui::simSun(15));
    Shape8 = b.shape("Shape8", 4440, 2760, 495, 255, kBlack, ui::Shape::Kind::Circle);
    Shape8->setFillColor(kWhite);
    C1 = b.colorButton("C1", kMonitorStart, 5160, 2520, 2535, 615, QColor(255, 255, 192),
                       ui::timesNewRoman(14.25));

    // Current row: amperes . tenths hundredths thousandths.
    const QFont arrowUp = ui::simSun(7.5);
    const QFont arrowDown = ui::simSun(9);
    C34 = b.button("C34", kUp, 360, 3600, 255, 225, arrowUp);
    C35 = b.button("C35", kDown, 360, 3960, 255, 225, arrowDown);
    Shape12 = b.shape("Shape12", 840, 3600, 495, 615, kGrey);
    T16 = b.textBox("T16", QStringLiteral("0"), 960, 3720, 255, 345, ui::simSun(15));
    L5 = b.label("L5", QStringLiteral("."), 1560, 3600, 135, 615, ui::simSun(24));
    C10 = b.button("C10", kUp, 1920, 3600, 255, 225, arrowUp);
    C11 = b.button("C11", kDown, 1920, 3960, 255, 225, arrowDown);
    Shape13 = b.shape("Shape13", 2400, 3600, 495, 615, kGrey);
    T7 = b.textBox("T7", QStringLiteral("0"), 2520, 3720, 255, 300, ui::simSun(15));
    C12 = b.button("C12", kUp, 3120, 3600, 255, 225, arrowUp);
    C13 = b.button("C13", kDown, 3120, 3960, 255, 225, arrowDown);
    Shape14 = b.shape("Shape14", 3600, 3600, 495, 615, kGrey);
    T9 = b.textBox("T9", QStringLiteral("0"), 3720, 3720, 255, 300, ui::simSun(15));
    C14 = b.button("C14", kUp, 4320, 3600, 255, 225, arrowUp);
    C15 = b.button("C15", kDown, 4320, 3960, 255, 225, arrowDown);
    Shape15 = b.shape("Shape15", 4800, 3600, 495, 615, kGrey);
    T11 = b.textBox("T11", QStringLiteral("0"), 4920, 3720, 270, 345, ui::simSun(15));
    L6 = b.label("L6", QStringLiteral("A"), 5520, 3720, 255, 375, ui::simSun(15));
    C19 = b.colorButton("C19", QStringLiteral("Set current"), 6120, 3600, 1575, 495,
                        QColor(255, 192, 255), ui::timesNewRoman(15));

    // Voltage row: tens units . tenths hundredths.
    C2 = b.button("C2", kUp, 360, 4680, 255, 225, arrowUp);
    C3 = b.button("C3", kDown, 360, 5040, 255, 225, arrowDown);
    Shape16 = b.shape("Shape16", 840, 4680, 495, 615, kGrey);
    T6 = b.textBox("T6", QStringLiteral("0"), 960, 4800, 255, 345, ui::simSun(15));
    C4 = b.button("C4", kUp, 1560, 4680, 255, 240, arrowUp);
    C5 = b.button("C5", kDown, 1560, 5040, 255, 225, arrowDown);
    Shape17 = b.shape("Shape17", 2040, 4680, 495, 615, kGrey);
    T8 = b.textBox("T8", QStringLiteral("0"), 2160, 4800, 270, 300, ui::simSun(15));
    L3 = b.label("L3", QStringLiteral("."), 2760, 4680, 135, 615, ui::simSun(24));
    C6 = b.button("C6", kUp, 3120, 4680, 255, 225, arrowUp);
    C7 = b.button("C7", kDown, 3120, 5040, 255, 225, arrowDown);
    Shape18 = b.shape("Shape18", 3600, 4680, 495, 615, kGrey);
    T10 = b.textBox("T10", QStringLiteral("0"), 3720, 4800, 255, 345, ui::simSun(15));
    C8 = b.button("C8", kUp, 4320, 4680, 255, 225, arrowUp);
    C9 = b.button("C9", kDown, 4320, 5040, 255, 225, arrowDown);
    Shape19 = b.shape("Shape19", 4800, 4680, 495, 615, kGrey);
    T12 = b.textBox("T12", QStringLiteral("0"), 4920, 4800, 270, 345, ui::simSun(15));
    L4 = b.label("L4", QStringLiteral("V"), 5520, 4800, 255, 375, ui::simSun(15));
    C18 = b.colorButton("C18", QStringLiteral("Set voltage"), 6120, 4680, 1575, 495,
                        QColor(192, 192, 255), ui::timesNewRoman(15));

    // Address row.
    L8 = b.label("L8", QStringLiteral("Instrument address："), 240, 5760, 2535, 375,
                 ui::timesNewRoman(15));
    C23 = b.button("C23", kUp, 3120, 5640, 255, 225, arrowUp);
    C24 = b.button("C24", kDown, 3120, 6000, 255, 225, arrowDown);
    Shape20 = b.shape("Shape20", 3600, 5640, 975, 495, kGrey);
    T15 = b.textBox("T15", QStringLiteral("1"), 3720, 5760, 615, 300, ui::simSun(15));

    // Port row.
    L9 = b.label("L9", QStringLiteral("Communication port："), 240, 6720, 2655, 375,
                 ui::timesNewRoman(14.25));
    Combo1 = new QComboBox(this);
    Combo1->setObjectName(QStringLiteral("Combo1"));
    Combo1->setEditable(true);
    Combo1->setInsertPolicy(QComboBox::NoInsert);
    Combo1->setFont(ui::simSun(15));
    Combo1->addItems({QStringLiteral("COM1"), QStringLiteral("COM2"), QStringLiteral("COM3")});
    ui::placeTwips(Combo1, 3240, 6720, 1320, 420);
    C32 = b.colorButton("C32", QStringLiteral("Look for serial port"), 4800, 6600, 2415, 495,
                        QColor(192, 255, 192), ui::timesNewRoman(14.25));
    C31 = b.colorButton("C31", QStringLiteral("Open serial port"), 7440, 6600, 2175, 495,
                        QColor(255, 255, 0), ui::timesNewRoman(14.25));

    // Bottom.
    C25 = b.colorButton("C25", kOutputStart, 480, 7800, 2175, 495, kCyan, ui::timesNewRoman(14.25));
    C28 = b.colorButton("C28", QStringLiteral("Quit"), 6360, 7680, 1575, 495, QColor(192, 255, 255),
                        ui::simSun(14.25));
    Label1 = b.label("Label1", QString(), 120, 8400, 4095, 375, ui::simSun(10.5), QColor(0, 0, 255),
                     QColor());
}

void Form1::connectHandlers()
{
    connect(C28, &QPushButton::clicked, this, &Form1::C28_Click);
    connectGuarded(C31, &Form1::C31_Click);
    connect(C32, &QPushButton::clicked, this, &Form1::C32_Click);
    connectGuarded(C1, &Form1::C1_Click);
    connect(Timer1, &ui::IntervalTimer::tick, this, &Form1::Timer1_Timer);
    connect(Timer2, &ui::IntervalTimer::tick, this, &Form1::Timer2_Timer);
    connect(&MSComm1, &serial::CommControl::OnComm, this, &Form1::MSComm1_OnComm);
    connect(T1, &ui::TextBox::Change, this, &Form1::T1_Change);
    connect(T2, &ui::TextBox::Change, this, &Form1::T2_Change);
    connect(Text4, &ui::TextBox::Change, this, &Form1::Text4_Change);
    connect(Text5, &ui::TextBox::Change, this, &Form1::Text5_Change);
    connect(C2, &QPushButton::clicked, this, &Form1::C2_Click);
    connect(C3, &QPushButton::clicked, this, &Form1::C3_Click);
    connect(C4, &QPushButton::clicked, this, &Form1::C4_Click);
    connect(C5, &QPushButton::clicked, this, &Form1::C5_Click);
    connect(C6, &QPushButton::clicked, this, &Form1::C6_Click);
    connect(C7, &QPushButton::clicked, this, &Form1::C7_Click);
    connect(C8, &QPushButton::clicked, this, &Form1::C8_Click);
    connect(C9, &QPushButton::clicked, this, &Form1::C9_Click);
    connect(C10, &QPushButton::clicked, this, &Form1::C10_Click);
    connect(C11, &QPushButton::clicked, this, &Form1::C11_Click);
    connect(C12, &QPushButton::clicked, this, &Form1::C12_Click);
    connect(C13, &QPushButton::clicked, this, &Form1::C13_Click);
    connect(C14, &QPushButton::clicked, this, &Form1::C14_Click);
    connect(C15, &QPushButton::clicked, this, &Form1::C15_Click);
    connect(C34, &QPushButton::clicked, this, &Form1::C34_Click);
    connect(C35, &QPushButton::clicked, this, &Form1::C35_Click);
    connectGuarded(C23, &Form1::C23_Click);
    connectGuarded(C24, &Form1::C24_Click);
    connectGuarded(C18, &Form1::C18_Click);
    connectGuarded(C19, &Form1::C19_Click);
    connectGuarded(C25, &Form1::C25_Click);
}

void Form1::MsgBox(const QString &text)
{
    m_messenger.inform(this, text);
}

void Form1::Form_Load()
{
    MSComm1.setSettings(QStringLiteral("9600,n,8,1"));
    MSComm1.setInBufferSize(1024);
    MSComm1.setOutBufferSize(1024);
    MSComm1.setRThreshold(17); // a status reply is 17 bytes
    MSComm1.setSThreshold(0);
    MSComm1.setInputLen(0);
    MSComm1.setOutBufferCount(0);
    MSComm1.setInBufferCount(0);
    MSComm1.setInputMode(1);
    Combo1->clear();
    Combo1->setEditText(QString());
}

void Form1::C28_Click()
{
    // The window is the program: closing it releases the port with it.
    close();
}

void Form1::closeEvent(QCloseEvent *event)
{
    // A run holding the supply is stopped, with the output off, before the window goes.
    if (m_panels->intercept(tr("the program is quitting"), [this] { close(); })) {
        event->ignore();
        return;
    }
    // The bus window reads through this window's port: it goes first.
    panels::closeBusWindow(this);
    Timer1->setEnabled(false);
    Timer2->setEnabled(false);
    m_ports->release();
    QWidget::closeEvent(event);
}

void Form1::attachPanels()
{
    m_panels = new panels::MonitorPanels(this, {T1, T2, T3, T4, Text4, Text5}, m_messenger);
    panels::MonitorLink &link = m_panels->link();
    link.portOpen = [this] { return portOpened && MSComm1.PortOpen(); };
    link.monitorRunning = [this] { return monitorRunning; };
    link.address = [this]() -> std::optional<std::uint8_t> {
        const auto value = numtext::readStrict(T15->Text().toStdString());
        if (!value || *value < 1 || *value != static_cast<int>(*value)) {
            return std::nullopt;
        }
        return numtext::toByte(T15->Text().toStdString());
    };
    // The polls and writes of the tools beside the window go through the engine
    // under the window's serial control; with another control they have none.
    if (auto *engine = qobject_cast<line::EngineCommControl *>(&MSComm1)) {
        connect(engine, &line::EngineCommControl::replied, &link, &panels::MonitorLink::replied);
        m_panels->lineClient = [engine] { return &engine->client(); };
        link.send = [this, engine](const protocol::Frame &frame,
                                   const panels::MonitorLink::Sent &sent) {
            if (!MSComm1.PortOpen()) {
                QTimer::singleShot(0, this, [sent] {
                    sent({{engine::Error::Port, 0, tr("the serial port is not open")}, {}, false});
                });
                return;
            }
            // The client of the line open now: a COMn may name a network line.
            engine::Reply *reply = engine->client().write(frame);
            QObject::connect(reply, &engine::Reply::finished, reply, [reply, sent] {
                reply->deleteLater();
                sent({reply->failure(), reply->bytes(), reply->sentAt().isValid()});
            });
        };
    }
    addBusEntry();
    // Help comes last in the context menu.
    m_panels->addEntry(help::helpAction(this, QStringLiteral("window.md")));
    connect(this, &Form1::readingsInterrupted, &link, [this, &link] {
        // A silence keeps the polls going; a stop or a close ends them.
        if (!portOpened) {
            link.pollingEnded({engine::Error::Interrupted, 0, tr("the serial port was closed")});
        } else if (!monitorRunning) {
            link.pollingEnded({engine::Error::Interrupted, 0, tr("the output monitor stopped")});
        }
    });
    // The poll's tick finds a port that went away under it: the line is lost.
    connect(Timer1, &ui::IntervalTimer::tick, &link, [this, &link] {
        if (portOpened && !MSComm1.PortOpen() && !m_portLost) {
            m_portLost = true;
            link.pollingEnded({engine::Error::Port});
            // The window does not reopen a lost port by itself (an adapter
            // unplugged, a tcp:// gateway that went away): the status line says
            // what brings it back.
            Label1->setText(
                tr("Serial port COM%1 lost: close it and open it again").arg(MSComm1.CommPort()));
        }
    });
}

void Form1::addBusEntry()
{
    // The bus window reads through the engine under the window's serial control,
    // beside the window's own poll; with another control there is none to read through.
    auto *engine = qobject_cast<line::EngineCommControl *>(&MSComm1);
    const auto client = [this, engine]() -> engine::Client * {
        if (engine == nullptr || !portOpened || !MSComm1.PortOpen()) {
            return nullptr;
        }
        return &engine->client();
    };
    const auto portName = [this] { return Combo1->currentText().trimmed(); };
    panels::addBusEntry(this, *m_panels, client, portName, m_messenger);
}

void Form1::connectGuarded(QPushButton *control, void (Form1::*handler)())
{
    connect(control, &QPushButton::clicked, this, [this, control, handler] {
        const auto act = [this, control, handler] {
            // A set value above a ceiling is refused before anything is sent.
            if (control == C18 || control == C19) {
                const bool voltage = control == C18;
                if (const auto value = dialledSetValue(voltage)) {
                    const QString refused = voltage ? m_panels->ceilings().refusesVoltage(*value)
                                                    : m_panels->ceilings().refusesCurrent(*value);
                    if (!refused.isEmpty()) {
                        MsgBox(refused);
                        return;
                    }
                }
            }
            (this->*handler)();
        };
        const QString name =
            control == C23 || control == C24 ? tr("the address spinner") : control->text();
        // The stop itself switches the output off with a confirmed write, which is
        // what the question offered: the output button is not pressed again
        // afterwards, where it would toggle whatever state the output then has.
        const std::function<void()> afterStop =
            control == C25 ? std::function<void()>() : std::function<void()>(act);
        if (!m_panels->intercept(tr("stopped by “%1”").arg(name), afterStop)) {
            act();
        }
    });
}

std::optional<double> Form1::dialledSetValue(bool voltage) const
{
    const std::array<std::pair<double, ui::TextBox *>, 4> digits =
        voltage ? std::array<std::pair<double, ui::TextBox *>, 4>{{{10, T6},
                                                                   {1, T8},
                                                                   {0.1, T10},
                                                                   {0.01, T12}}}
                : std::array<std::pair<double, ui::TextBox *>, 4>{
                      {{1, T16}, {0.1, T7}, {0.01, T9}, {0.001, T11}}};
    double value = 0;
    for (const auto &[weight, box] : digits) {
        const auto digit = numtext::readStrict(box->Text().toStdString());
        if (!digit) {
            return std::nullopt;
        }
        value += weight * *digit;
    }
    return value;
}

void Form1::C31_Click()
{
    m_ports->openOrClose();
}

void Form1::C32_Click()
{
    m_ports->search();
}

} // namespace monitor
