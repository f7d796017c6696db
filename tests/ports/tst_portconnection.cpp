// "Look for serial port" and "Open serial port" through vantel's window, with the
// scripted control and with the QSerialPort control on pseudo-terminals.
#include "addrtool/form1.h"
#include "monitor/form1.h"
#include "serial/qtcommcontrol.h"
#include "support/fakecommcontrol.h"
#include "support/fakedevices.h"
#include "support/ptyports.h"
#include "support/recordingmessenger.h"

#include <QElapsedTimer>
#include <QLineEdit>
#include <QTest>

using testsupport::FakeCommControl;
using testsupport::RecordingMessenger;
using Port = FakeCommControl::Port;

namespace {

const QString kNotFound = QStringLiteral("This serial port is not found！");
const QString kOccupied = QStringLiteral("This serial port is occupied！");
const QString kLookFirst = QStringLiteral("Please look for the serial port！");
const QString kClosed = QStringLiteral("The serial port has been closed ");
const QString kOpenCaption = QStringLiteral("Open serial port");
const QString kCloseCaption = QStringLiteral("Close serial port");
const QColor kYellow(255, 255, 0);
const QColor kGreen(0, 255, 0);

QString openedText(int port)
{
    return QStringLiteral("Serial port COM%1 Opened successfully").arg(port);
}

QStringList items(const QComboBox *list)
{
    QStringList all;
    for (int i = 0; i < list->count(); ++i) {
        all << list->itemText(i);
    }
    return all;
}

// A control whose open fails with a number the window does not test for.
class FailingCommControl : public FakeCommControl {
public:
    using FakeCommControl::FakeCommControl;

protected:
    void openDevice(int) override
    {
        throw serial::CommError(serial::kErrOpenFailed, "The device could not be opened");
    }
};

// The window with a scripted control and a message recorder.
struct Window {
    FakeCommControl comm;
    RecordingMessenger messages;
    monitor::Form1 form{comm, messages};

    void choose(const QString &name) { form.Combo1->setEditText(name); }
};

// The window's port row shows the port open on `port`.
void checkOpen(const monitor::Form1 &form, int port)
{
    QVERIFY(form.MSComm1.PortOpen());
    QCOMPARE(form.MSComm1.CommPort(), port);
    QCOMPARE(form.Label1->text(), openedText(port));
    QCOMPARE(form.C31->Caption(), kCloseCaption);
    QCOMPARE(form.C31->BackColor(), kGreen);
    QVERIFY(form.portOpened);
    QVERIFY(form.openClickCount() % 2 != 0);
}

} // namespace

class TestPortConnection : public QObject {
    Q_OBJECT
private slots:
    void searchFindsNothing();
    void searchListsFreeAndBusyPorts();
    void searchWhileOwnPortIsOpen();
    void twoPressesOpenThenClose();
    void closingResetsTheDisplay();
    void emptyTextAsksForASearch();
    void failedOpen_data();
    void failedOpen();
    void otherFailureIsReported();
    void portNumberFromText_data();
    void portNumberFromText();
    void unusableName_data();
    void unusableName();
    void unusableNameWhileOpenCloses();
    void closeStepWithoutWindowExtras();

    void typedTextIsNotCompleted();

    void endToEndOnPtys();
    void failedWriteConfirmsNothing();
    void searchDuration();
    void searchNamesAdapters();
};

void TestPortConnection::searchFindsNothing()
{
    Window w;
    w.form.C32_Click();
    QCOMPARE(w.form.Combo1->count(), 0);
    QCOMPARE(w.form.Combo1->currentText(), QString());
    QCOMPARE(w.messages.messages, QStringList{kNotFound});
    QCOMPARE(w.form.C31->Caption(), kOpenCaption);
    QCOMPARE(w.form.Label1->text(), QString());
    QCOMPARE(w.form.openClickCount(), 0);
}

void TestPortConnection::searchListsFreeAndBusyPorts()
{
    Window w;
    w.comm.setPort(1, Port::Free);
    w.comm.setPort(3, Port::Busy);
    w.comm.setPort(4, Port::Free);
    w.comm.setPort(6, Port::NoAccess); // listed, so that opening it says why
    w.comm.setPort(17, Port::Free);    // beyond the searched range
    w.form.Combo1->setEditText(QStringLiteral("typed"));
    w.form.C32_Click();
    QCOMPARE(items(w.form.Combo1), (QStringList{"COM1", "COM3", "COM4", "COM6"}));
    QCOMPARE(w.form.Combo1->currentText(), QStringLiteral("COM1"));
    QVERIFY(w.messages.messages.isEmpty());
    QCOMPARE(w.comm.probed, (QList<int>{1, 4})); // free ports opened and closed again
    QVERIFY(!w.comm.PortOpen());
    QVERIFY(!w.form.portOpened);

    // A second search replaces the list.
    w.comm.setPort(1, Port::Absent);
    w.form.C32_Click();
    QCOMPARE(items(w.form.Combo1), (QStringList{"COM3", "COM4", "COM6"}));
    QCOMPARE(w.form.Combo1->currentText(), QStringLiteral("COM3"));
}

void TestPortConnection::searchWhileOwnPortIsOpen()
{
    Window w;
    w.comm.setPort(2, Port::Free);
    w.comm.setPort(5, Port::Free);
    w.choose(QStringLiteral("COM5"));
    w.form.C31_Click();
    checkOpen(w.form, 5);

    w.form.C32_Click();
    QCOMPARE(items(w.form.Combo1), (QStringList{"COM2", "COM5"}));
    QVERIFY(w.messages.messages.isEmpty());
    checkOpen(w.form, 5); // still open, and the window says so
    QCOMPARE(w.form.openClickCount(), 1);

    // The next press closes it as the caption promises.
    w.form.C31_Click();
    QVERIFY(!w.comm.PortOpen());
    QCOMPARE(w.form.Label1->text(), kClosed);
    QCOMPARE(w.form.openClickCount(), 2);
}

void TestPortConnection::twoPressesOpenThenClose()
{
    Window w;
    w.comm.setPort(3, Port::Free);
    w.form.C32_Click();
    QCOMPARE(w.form.Combo1->currentText(), QStringLiteral("COM3"));

    w.form.C31_Click();
    checkOpen(w.form, 3);
    QCOMPARE(w.form.Label1->text(), QStringLiteral("Serial port COM3 Opened successfully"));
    QCOMPARE(w.form.openClickCount(), 1);

    w.form.C31_Click();
    QVERIFY(!w.comm.PortOpen());
    QCOMPARE(w.form.Label1->text(), kClosed);
    QCOMPARE(w.form.C31->Caption(), kOpenCaption);
    QCOMPARE(w.form.C31->BackColor(), kYellow);
    QVERIFY(!w.form.portOpened);
    QCOMPARE(w.form.openClickCount(), 2);
    QVERIFY(w.messages.messages.isEmpty());
    QVERIFY(w.comm.written.isEmpty()); // nothing is sent by opening or closing

    w.form.C31_Click();
    checkOpen(w.form, 3);
    QCOMPARE(w.comm.opened, (QList<int>{3, 3}));
}

void TestPortConnection::closingResetsTheDisplay()
{
    Window w;
    w.comm.setPort(1, Port::Free);
    w.choose(QStringLiteral("COM1"));
    w.form.C25->setCaption(monitor::Form1::kOutputStop);
    w.form.C25->setBackColor(monitor::Form1::kPink);
    w.form.T3->setText(QStringLiteral("12.34"));
    w.form.C31_Click();
    // Opening leaves the display alone.
    QCOMPARE(w.form.T1->Text(), QStringLiteral("00.00"));
    QCOMPARE(w.form.C25->Caption(), monitor::Form1::kOutputStop);

    w.form.C31_Click();
    QVERIFY(!w.form.monitorRunning);
    for (const ui::TextBox *box : {w.form.T1, w.form.T2, w.form.Text4, w.form.Text5}) {
        QVERIFY2(box->Text().isEmpty(), qPrintable(box->objectName()));
    }
    QCOMPARE(w.form.C25->Caption(), QStringLiteral("Output start"));
    QCOMPARE(w.form.C25->BackColor(), QColor(0, 255, 255));
    QCOMPARE(w.form.T3->Text(), QStringLiteral("12.34")); // set values are kept
    QCOMPARE(w.form.T4->Text(), QStringLiteral("0.000"));
}

void TestPortConnection::emptyTextAsksForASearch()
{
    Window w;
    w.comm.setPort(1, Port::Free);
    w.comm.journal.clear();
    w.form.C31_Click(); // right after start the list is empty
    QCOMPARE(w.messages.messages, QStringList{kLookFirst});
    QCOMPARE(w.form.openClickCount(), 0);
    QCOMPARE(w.form.Label1->text(), QString());
    QCOMPARE(w.form.C31->Caption(), kOpenCaption);
    QVERIFY(w.comm.journal.isEmpty());

    // Also while a port is open: nothing changes.
    w.choose(QStringLiteral("COM1"));
    w.form.C31_Click();
    w.choose(QString());
    w.form.C31_Click();
    QCOMPARE(w.messages.messages, (QStringList{kLookFirst, kLookFirst}));
    checkOpen(w.form, 1);
}

void TestPortConnection::failedOpen_data()
{
    QTest::addColumn<int>("state"); // Port
    QTest::addColumn<QString>("message");
    QTest::newRow("no such port") << int(Port::Absent) << kNotFound;
    QTest::newRow("held elsewhere") << int(Port::Busy) << kOccupied;
    QTest::newRow("no access") << int(Port::NoAccess) << "You may not open this port";
}

void TestPortConnection::failedOpen()
{
    QFETCH(int, state);
    QFETCH(QString, message);
    Window w;
    w.comm.setPort(3, Port(state));
    w.comm.setPort(1, Port::Free);
    // Open and close COM1 first, so that the status line has something to keep.
    w.choose(QStringLiteral("COM1"));
    w.form.C31_Click();
    w.form.C31_Click();

    w.choose(QStringLiteral("COM3"));
    w.form.C31_Click();
    QCOMPARE(w.messages.messages, QStringList{message});
    QVERIFY(!w.comm.PortOpen());
    QCOMPARE(w.form.C31->Caption(), kOpenCaption);
    QCOMPARE(w.form.C31->BackColor(), kYellow);
    QCOMPARE(w.form.Label1->text(), kClosed);
    QVERIFY(!w.form.portOpened);
    QCOMPARE(w.form.openClickCount(), 4); // even: the next press opens

    w.comm.setPort(3, Port::Free);
    w.form.C31_Click();
    checkOpen(w.form, 3);
}

void TestPortConnection::otherFailureIsReported()
{
    FailingCommControl comm;
    RecordingMessenger messages;
    monitor::Form1 form(comm, messages);
    form.Combo1->setEditText(QStringLiteral("COM2"));
    form.C31_Click();
    QCOMPARE(messages.messages, QStringList{QStringLiteral("The device could not be opened")});
    QVERIFY(!comm.PortOpen());
    QCOMPARE(form.C31->Caption(), kOpenCaption);
    QCOMPARE(form.Label1->text(), QString());
    QVERIFY(!form.portOpened);
    QCOMPARE(form.openClickCount() % 2, 0); // the next press tries to open again
}

void TestPortConnection::portNumberFromText_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("port");
    QTest::newRow("COM3") << "COM3" << 3;
    QTest::newRow("half down to even") << "COM2.5" << 2;
    QTest::newRow("half up to even") << "COM3.5" << 4;
    QTest::newRow("blank inside") << "COM 3" << 3;
    QTest::newRow("letters after") << "COM3abc" << 3;
    QTest::newRow("tab and line feed") << "\tCOM\n1 2" << 12;
    QTest::newRow("COM twice") << "COMCOM7" << 7;
    QTest::newRow("number only") << "5" << 5;
    QTest::newRow("above 16, as typed") << "COM20" << 20;
    QTest::newRow("largest 16-bit") << "COM32767" << 32767;
}

void TestPortConnection::portNumberFromText()
{
    QFETCH(QString, text);
    QFETCH(int, port);
    Window w;
    w.comm.setPort(port, Port::Free);
    w.choose(text);
    w.form.C31_Click();
    QVERIFY(w.messages.messages.isEmpty());
    QCOMPARE(w.comm.opened, QList<int>{port});
    checkOpen(w.form, port);
}

void TestPortConnection::unusableName_data()
{
    QTest::addColumn<QString>("text");
    QTest::newRow("lower case") << "com1";
    QTest::newRow("COM alone") << "COM";
    QTest::newRow("zero") << "COM0";
    QTest::newRow("rounds to zero") << "COM0.5";
    QTest::newRow("negative") << "COM-3";
    QTest::newRow("beyond 16 bits") << "COM70000";
    QTest::newRow("just beyond") << "COM32768";
    QTest::newRow("letters") << "serial";
}

void TestPortConnection::unusableName()
{
    QFETCH(QString, text);
    Window w;
    w.comm.setPort(1, Port::Free);
    w.choose(text);
    w.form.C31_Click();
    QCOMPARE(w.messages.messages, QStringList{kNotFound});
    QVERIFY(!w.comm.PortOpen());
    QVERIFY(w.comm.opened.isEmpty());
    QCOMPARE(w.form.C31->Caption(), kOpenCaption);
    QCOMPARE(w.form.C31->BackColor(), kYellow);
    QCOMPARE(w.form.Label1->text(), QString());
    QVERIFY(!w.form.portOpened);
    QCOMPARE(w.form.openClickCount(), 0);

    w.choose(QStringLiteral("COM1"));
    w.form.C31_Click();
    checkOpen(w.form, 1);
}

void TestPortConnection::unusableNameWhileOpenCloses()
{
    Window w;
    w.comm.setPort(1, Port::Free);
    w.choose(QStringLiteral("COM1"));
    w.form.C31_Click();
    checkOpen(w.form, 1);

    w.choose(QStringLiteral("com1"));
    w.form.C31_Click();
    QCOMPARE(w.messages.messages, QStringList{kNotFound});
    QVERIFY(!w.comm.PortOpen());
    // The window shows it closed, so the next press opens again.
    QCOMPARE(w.form.Label1->text(), kClosed);
    QCOMPARE(w.form.C31->Caption(), kOpenCaption);
    QCOMPARE(w.form.C31->BackColor(), kYellow);
    QVERIFY(!w.form.portOpened);
    QVERIFY(w.form.T1->Text().isEmpty());
    QCOMPARE(w.form.openClickCount(), 2);

    w.choose(QStringLiteral("COM1"));
    w.form.C31_Click();
    checkOpen(w.form, 1);
}

void TestPortConnection::closeStepWithoutWindowExtras()
{
    // The address tool uses the connection without callbacks.
    FakeCommControl comm;
    RecordingMessenger messages;
    QWidget window;
    ui::PortControls controls;
    controls.Combo1 = new QComboBox(&window);
    controls.Combo1->setEditable(true);
    controls.Label1 = new QLabel(&window);
    controls.C31 = new ui::ColorButton(kOpenCaption, kYellow, &window);
    ui::PortConnection ports(comm, messages, &window, controls);
    comm.setPort(2, Port::Free);
    ports.search();
    QCOMPARE(controls.Combo1->currentText(), QStringLiteral("COM2"));
    ports.openOrClose();
    QVERIFY(comm.PortOpen());
    QCOMPARE(controls.Label1->text(), openedText(2));
    QCOMPARE(controls.C31->BackColor(), kGreen);
    ports.openOrClose();
    QVERIFY(!comm.PortOpen());
    QCOMPARE(controls.Label1->text(), kClosed);
    QCOMPARE(controls.C31->Caption(), kOpenCaption);
    QCOMPARE(controls.C31->BackColor(), kYellow);
    QCOMPARE(ports.openClickCount(), 2);
    QVERIFY(messages.messages.isEmpty());
}

void TestPortConnection::typedTextIsNotCompleted()
{
    // Typed text stays as typed, in both windows, even where it begins a listed name.
    FakeCommControl comm;
    RecordingMessenger messages;
    monitor::Form1 monitor(comm, messages);
    addrtool::Form1 addressTool(comm, messages);
    for (QComboBox *list : {monitor.Combo1, addressTool.Combo1}) {
        list->window()->show();
        list->window()->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(list->window()));
        list->addItems({QStringLiteral("COM1"), QStringLiteral("COM2")});
        list->lineEdit()->setFocus();
        list->lineEdit()->clear();
        QTest::keyClicks(list->lineEdit(), QStringLiteral("c"));
        QCOMPARE(list->currentText(), QStringLiteral("c"));
        QTest::keyClicks(list->lineEdit(), QStringLiteral("om2"));
        QTest::keyClick(list->lineEdit(), Qt::Key_Return);
        QCOMPARE(list->currentText(), QStringLiteral("com2"));
    }
}

void TestPortConnection::endToEndOnPtys()
{
    testsupport::PtyPorts ports;
    for (int n : {1, 3, 4}) {
        QVERIFY(!ports.add(n).isEmpty());
    }
    testsupport::PortHolder holder;
    QVERIFY(holder.start(3));

    serial::QtCommControl comm;
    RecordingMessenger messages;
    monitor::Form1 form(comm, messages);
    form.C32_Click();
    QCOMPARE(items(form.Combo1), (QStringList{"COM1", "COM3", "COM4"}));
    QCOMPARE(form.Combo1->currentText(), QStringLiteral("COM1"));
    QVERIFY(messages.messages.isEmpty());
    QVERIFY(!comm.PortOpen());

    form.Combo1->setEditText(QStringLiteral("COM3"));
    form.C31_Click();
    QCOMPARE(messages.messages, QStringList{kOccupied});
    QVERIFY(!comm.PortOpen());

    form.Combo1->setEditText(QStringLiteral("COM2"));
    form.C31_Click();
    QCOMPARE(messages.messages.last(), kNotFound);

    form.Combo1->setEditText(QStringLiteral("COM3.5"));
    form.C31_Click();
    checkOpen(form, 4);
    QVERIFY(ports.receive(4, 1, 100).isEmpty()); // opening sends nothing

    // A search now lists the window's own port and leaves it open.
    form.C32_Click();
    QCOMPARE(items(form.Combo1), (QStringList{"COM1", "COM3", "COM4"}));
    checkOpen(form, 4);

    form.C31_Click();
    QVERIFY(!comm.PortOpen());
    QCOMPARE(form.Label1->text(), kClosed);

    // Released: another program can have it now.
    holder.stop();
    testsupport::PortHolder next;
    QVERIFY(next.start(4));
}

void TestPortConnection::failedWriteConfirmsNothing()
{
    // pellow sends to the broadcast address, which it confirms without waiting
    // for an echo; a frame the driver refuses must not be confirmed.
    testsupport::PtyPorts ports;
    QVERIFY(!ports.add(1).isEmpty());
    serial::QtCommControl comm;
    RecordingMessenger messages;
    addrtool::Form1 form(comm, messages);
    form.Combo1->setEditText(QStringLiteral("COM1"));
    form.C31_Click();
    QVERIFY(comm.PortOpen());
    form.T15->setText(QStringLiteral("0"));
    form.T20->setText(QStringLiteral("5"));
    const QString textBefore = form.Text1->Text();
    ports.hangUp(1);
    form.Command1_Click();
    QCOMPARE(messages.messages.size(), 1);
    QVERIFY2(messages.messages.first().contains(QStringLiteral("could not be sent")),
             qPrintable(messages.messages.first()));
    QCOMPARE(form.Text1->Text(), textBefore);
}

void TestPortConnection::searchDuration()
{
    serial::QtCommControl comm;
    RecordingMessenger messages;
    monitor::Form1 form(comm, messages);
    QElapsedTimer clock;

    testsupport::PtyPorts none;
    clock.start();
    form.C32_Click();
    const double absentMs = clock.nsecsElapsed() / 1e6;
    QCOMPARE(form.Combo1->count(), 0);

    testsupport::PtyPorts all;
    for (int n = 1; n <= 16; ++n) {
        QVERIFY(!all.add(n).isEmpty());
    }
    // Every fourth port held: three by this program, one by another.
    QList<serial::QtCommControl *> holders;
    for (int n : {4, 8, 12}) {
        holders << new serial::QtCommControl(this);
        holders.last()->setCommPort(n);
        holders.last()->setPortOpen(true);
    }
    testsupport::PortHolder elsewhere;
    QVERIFY(elsewhere.start(16));
    clock.restart();
    form.C32_Click();
    const double mixedMs = clock.nsecsElapsed() / 1e6;
    QCOMPARE(form.Combo1->count(), 16);
    qDeleteAll(holders);

    qInfo("search of 16 absent ports: %.2f ms; of 16 ptys, 4 held: %.1f ms", absentMs, mixedMs);
    QVERIFY(absentMs < 5000);
    QVERIFY(mixedMs < 5000);
}

void TestPortConnection::searchNamesAdapters()
{
    // A desk with four phantom ttyS nodes and two USB adapters, one with a serial
    // number: the first search names both and lists them, the next finds the names.
    testsupport::FakeDevices devices;
    for (int n = 0; n < 4; ++n) {
        devices.addTtyS(n, false);
    }
    QVERIFY(!devices.plug(QStringLiteral("FT1234"), 1).isEmpty());
    QVERIFY(!devices.plug(QString(), 2).isEmpty());
    serial::QtCommControl comm;
    comm.setPortNames(devices.names());
    RecordingMessenger messages;
    monitor::Form1 form(comm, messages);
    QElapsedTimer clock;
    clock.start();
    form.C32_Click();
    const double firstMs = clock.nsecsElapsed() / 1e6;
    QCOMPARE(items(form.Combo1), (QStringList{"COM1", "COM2"}));
    clock.restart();
    form.C32_Click();
    const double againMs = clock.nsecsElapsed() / 1e6;
    QCOMPARE(items(form.Combo1), (QStringList{"COM1", "COM2"}));
    QVERIFY(messages.messages.isEmpty());
    form.C31_Click();
    checkOpen(form, 1);
    qInfo("search of COM1..COM16, two adapters, no UART: %.1f ms naming them, %.1f ms after",
          firstMs, againMs);
}

QTEST_MAIN(TestPortConnection)
#include "tst_portconnection.moc"
