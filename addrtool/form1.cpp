#include "addrtool/form1.h"

#include "help/helpwindow.h"
#include "numtext/numtext.h"
#include "ui/formbuilder.h"

#include <QCloseEvent>

namespace addrtool {

namespace {

const QColor kWhite(255, 255, 255);
const QColor kLightGrey(192, 192, 192);
const QColor kGrey(128, 128, 128);
const QString kUp = QStringLiteral("▲");
const QString kDown = QStringLiteral("▼");

// The address spinners keep their boxes within 0..127.
constexpr double kLowestAddress = 0;
constexpr double kHighestAddress = 127;

double readBox(const ui::TextBox *box)
{
    return numtext::readLenient(box->Text().toStdString());
}

// Steps the number in `box` by `step` and wraps it past the range's end in the
// direction of the step. A fraction is kept (5.5 up gives 6.5).
void stepAddress(ui::TextBox *box, int step)
{
    box->setText(QString::fromStdString(numtext::formatPlain(readBox(box) + step)));
    const double stepped = readBox(box);
    if (step > 0 && stepped > kHighestAddress) {
        box->setText(QString::fromStdString(numtext::formatPlain(kLowestAddress)));
    } else if (step < 0 && stepped < kLowestAddress) {
        box->setText(QString::fromStdString(numtext::formatPlain(kHighestAddress)));
    }
}

} // namespace

Form1::Form1(serial::CommControl &comm, ui::Messenger &messenger, QWidget *parent)
    : QWidget(parent), MSComm1(comm), m_messenger(messenger)
{
    setObjectName(QStringLiteral("Form1"));
    buildControls();
    // No callbacks: closing is only the status line, the button and the port.
    m_ports = std::make_unique<ui::PortConnection>(MSComm1, m_messenger, this,
                                                   ui::PortControls{Combo1, Label1, C31});
    connectHandlers();
    help::addHelp(this, QStringLiteral("pellow.md"));
    Form_Load();
}

Form1::~Form1() = default;

void Form1::buildControls()
{
    setWindowTitle(QStringLiteral("pellow - power supply address tool"));
    setWindowIcon(ui::makeIcon(QColor(30, 110, 200), QStringLiteral("P")));
    setFont(ui::simSun(9));
    // The window can be made taller or wider, never smaller than at start.
    resize(ui::px(kClientWidth), ui::px(kClientHeight));
    setMinimumSize(size());
    QPalette palette = this->palette();
    palette.setColor(QPalette::Window, kWhite);
    setPalette(palette);
    setAutoFillBackground(true);

    ui::FormBuilder b(this);
    const QFont label = ui::timesNewRoman(14.25);
    const QFont box = ui::simSun(15);

    // Frames first, so that the controls inside them are drawn on top.
    Shape3 = b.shape("Shape3", 0, 1680, 9855, 975, kLightGrey);
    Shape20 = b.shape("Shape20", 3240, 1080, 975, 495, kGrey);
    Shape21 = b.shape("Shape21", 4320, 1080, 1095, 495, kGrey);

    Label2 = b.label("Label2", QStringLiteral("Power supply slave address setting"), 480, 120, 9015,
                     495, ui::timesNewRoman(15));
    Label2->setAlignment(Qt::AlignHCenter | Qt::AlignTop);

    // Address row: old address, new address, the command.
    L8 = b.label("L8", QStringLiteral("Old instrument address："), 120, 1200, 3015, 375, label);
    C23 = b.button("C23", kUp, 2880, 1080, 255, 225, font());
    C24 = b.button("C24", kDown, 2880, 1320, 255, 225, ui::simSun(9));
    T15 = b.textBox("T15", QStringLiteral("1"), 3360, 1200, 615, 300, box);
    T20 = b.textBox("T20", QStringLiteral("2"), 4440, 1200, 615, 255, box);
    Command2 = b.button("Command2", kUp, 5520, 1080, 255, 225, font());
    Command3 = b.button("Command3", kDown, 5520, 1320, 255, 225, ui::simSun(9));
    Command1 = b.button("Command1", QStringLiteral("Set new address of power supply"), 5880, 1080,
                        3975, 495, label);

    // Port row.
    L9 = b.label("L9", QStringLiteral("Communication port："), 120, 2040, 3135, 375, label);
    Combo1 = new QComboBox(this);
    Combo1->setObjectName(QStringLiteral("Combo1"));
    Combo1->setEditable(true);
    Combo1->setInsertPolicy(QComboBox::NoInsert);
    Combo1->setFont(box);
    Combo1->addItems({QStringLiteral("COM1"), QStringLiteral("COM2"), QStringLiteral("COM3")});
    ui::placeTwips(Combo1, 2760, 2040, 1440, 420);
    C32 = b.colorButton("C32", QStringLiteral("Look for serial port"), 4800, 1920, 2415, 495,
                        QColor(192, 255, 192), label);
    C31 = b.colorButton("C31", QStringLiteral("Open serial port"), 7800, 1920, 1935, 495,
                        QColor(255, 255, 0), label);

    // Result row and bottom.
    lb8 = b.label("lb8", QStringLiteral("Slave new address:"), 120, 3000, 2295, 375, label);
    Text1 = b.textBox("Text1", QStringLiteral("2"), 2400, 3000, 975, 375, box);
    // Not inside a frame of its own like the address boxes, so it draws its border.
    Text1->setStyleSheet(QStringLiteral("QLineEdit { border: 1px solid #808080; padding: 0px; }"));
    C28 = b.colorButton("C28", QStringLiteral("Quit"), 8160, 2880, 1575, 495, QColor(192, 255, 255),
                        ui::simSun(12));
    // The note and the status line end at the window's opening bottom edge (the note
    // at its right edge, the status line where the note begins), as high as their
    // fonts need, so that both read in full without enlarging the window.
    constexpr int kNoteLeft = 6120;
    Label7 = b.label("Label7",
                     QStringLiteral("Note: old address 0 is the broadcast address; a supply "
                                    "never answers it."),
                     kNoteLeft, kClientHeight - kNoteHeight, kClientWidth - kNoteLeft, kNoteHeight,
                     ui::simSun(9));
    Label7->setWordWrap(true);
    Label1 = b.label("Label1", QString(), 0, kClientHeight - kStatusHeight, kNoteLeft,
                     kStatusHeight, ui::simSun(10.5), QColor(0, 0, 255), QColor());
}

void Form1::connectHandlers()
{
    connect(C23, &QPushButton::clicked, this, &Form1::C23_Click);
    connect(C24, &QPushButton::clicked, this, &Form1::C24_Click);
    connect(Command2, &QPushButton::clicked, this, &Form1::Command2_Click);
    connect(Command3, &QPushButton::clicked, this, &Form1::Command3_Click);
    connect(C32, &QPushButton::clicked, this, &Form1::C32_Click);
    connect(C31, &QPushButton::clicked, this, &Form1::C31_Click);
    connect(C28, &QPushButton::clicked, this, &Form1::C28_Click);
    connect(Command1, &QPushButton::clicked, this, &Form1::Command1_Click);
    connect(&MSComm1, &serial::CommControl::OnComm, this, &Form1::MSComm1_OnComm);
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
    MSComm1.setRThreshold(8); // the write echo is 8 bytes
    MSComm1.setSThreshold(0);
    MSComm1.setInputLen(0);
    MSComm1.setOutBufferCount(0);
    MSComm1.setInputMode(1);
    Combo1->clear();
    Combo1->setEditText(QString());
}

void Form1::C23_Click()
{
    stepAddress(T15, +1);
}

void Form1::C24_Click()
{
    stepAddress(T15, -1);
}

void Form1::Command2_Click()
{
    stepAddress(T20, +1);
}

void Form1::Command3_Click()
{
    stepAddress(T20, -1);
}

void Form1::C32_Click()
{
    m_ports->search();
}

void Form1::C31_Click()
{
    m_ports->openOrClose();
}

void Form1::C28_Click()
{
    // The window is the program: closing it releases the port with it.
    close();
}

void Form1::closeEvent(QCloseEvent *event)
{
    m_ports->release();
    QWidget::closeEvent(event);
}

} // namespace addrtool
