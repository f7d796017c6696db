// vantel's window right after start, and quitting it.
#include "monitor/form1.h"
#include "serial/qtcommcontrol.h"
#include "support/fakecommcontrol.h"
#include "support/ptyports.h"
#include "support/recordingmessenger.h"

#include <QSignalSpy>
#include <QTest>

using testsupport::FakeCommControl;
using testsupport::RecordingMessenger;

class TestStartup : public QObject {
    Q_OBJECT
private slots:
    void texts_data();
    void texts();
    void colouredButtons_data();
    void colouredButtons();
    void arrowButtons();
    void stateAndTimers();
    void serialControlConfiguredInOrder();
    void quitReleasesThePort();
};

namespace {

// A control of a fresh window, found by its object name.
template <typename T> T *control(const QWidget &window, const QString &name)
{
    return window.findChild<T *>(name, Qt::FindDirectChildrenOnly);
}

} // namespace

void TestStartup::texts_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("text");
    // Display boxes.
    QTest::newRow("T1") << "T1"
                        << "00.00";
    QTest::newRow("T2") << "T2"
                        << "0.000";
    QTest::newRow("T3") << "T3"
                        << "00.00";
    QTest::newRow("T4") << "T4"
                        << "0.000";
    QTest::newRow("Text5") << "Text5"
                           << "OFF";
    QTest::newRow("Text4") << "Text4"
                           << "CC";
    // Digit boxes of the current and voltage rows, and the address.
    for (const char *digit : {"T16", "T7", "T9", "T11", "T6", "T8", "T10", "T12"}) {
        QTest::newRow(digit) << digit << "0";
    }
    QTest::newRow("T15") << "T15"
                         << "1";
    // Labels.
    QTest::newRow("L8") << "L8"
                        << "Instrument address：";
    QTest::newRow("L9") << "L9"
                        << "Communication port：";
    QTest::newRow("label8") << "label8"
                            << "Actual output";
    QTest::newRow("Label9") << "Label9"
                            << "Setting output";
    QTest::newRow("L5") << "L5"
                        << ".";
    QTest::newRow("L3") << "L3"
                        << ".";
    QTest::newRow("L6") << "L6"
                        << "A";
    QTest::newRow("L4") << "L4"
                        << "V";
    QTest::newRow("Label1") << "Label1"
                            << "";
}

void TestStartup::texts()
{
    QFETCH(QString, name);
    QFETCH(QString, text);
    FakeCommControl comm;
    RecordingMessenger messages;
    monitor::Form1 form(comm, messages);
    if (auto *box = control<ui::TextBox>(form, name)) {
        QCOMPARE(box->Text(), text);
    } else if (auto *label = control<QLabel>(form, name)) {
        QCOMPARE(label->text(), text);
    } else {
        QFAIL(qPrintable(QStringLiteral("no control named ") + name));
    }
}

void TestStartup::colouredButtons_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("caption");
    QTest::addColumn<QColor>("back");
    QTest::newRow("C1") << "C1"
                        << "Output monitor start" << QColor(255, 255, 192);
    QTest::newRow("C19") << "C19"
                         << "Set current" << QColor(255, 192, 255);
    QTest::newRow("C18") << "C18"
                         << "Set voltage" << QColor(192, 192, 255);
    QTest::newRow("C32") << "C32"
                         << "Look for serial port" << QColor(192, 255, 192);
    QTest::newRow("C31") << "C31"
                         << "Open serial port" << QColor(255, 255, 0);
    QTest::newRow("C25") << "C25"
                         << "Output start" << QColor(0, 255, 255);
    QTest::newRow("C28") << "C28"
                         << "Quit" << QColor(192, 255, 255);
}

void TestStartup::colouredButtons()
{
    QFETCH(QString, name);
    QFETCH(QString, caption);
    QFETCH(QColor, back);
    FakeCommControl comm;
    RecordingMessenger messages;
    monitor::Form1 form(comm, messages);
    auto *button = control<ui::ColorButton>(form, name);
    QVERIFY(button);
    QCOMPARE(button->Caption(), caption);
    QCOMPARE(button->BackColor(), back);
}

void TestStartup::arrowButtons()
{
    FakeCommControl comm;
    RecordingMessenger messages;
    monitor::Form1 form(comm, messages);
    const QStringList up{"C34", "C10", "C12", "C14", "C2", "C4", "C6", "C8", "C23"};
    const QStringList down{"C35", "C11", "C13", "C15", "C3", "C5", "C7", "C9", "C24"};
    for (const QString &name : up) {
        auto *button = control<QPushButton>(form, name);
        QVERIFY2(button, qPrintable(name));
        QCOMPARE(button->text(), QStringLiteral("\u25B2"));
    }
    for (const QString &name : down) {
        auto *button = control<QPushButton>(form, name);
        QVERIFY2(button, qPrintable(name));
        QCOMPARE(button->text(), QStringLiteral("\u25BC"));
    }
}

void TestStartup::stateAndTimers()
{
    FakeCommControl comm;
    RecordingMessenger messages;
    monitor::Form1 form(comm, messages);

    auto *lamp = control<ui::Shape>(form, QStringLiteral("Shape8"));
    QVERIFY(lamp);
    QCOMPARE(lamp->FillColor(), QColor(255, 255, 255));
    auto *list = control<QComboBox>(form, QStringLiteral("Combo1"));
    QVERIFY(list);
    QCOMPARE(list->count(), 0);
    QCOMPARE(list->currentText(), QString());

    auto *timer1 = form.findChild<ui::IntervalTimer *>(QStringLiteral("Timer1"));
    auto *timer2 = form.findChild<ui::IntervalTimer *>(QStringLiteral("Timer2"));
    QVERIFY(timer1 && timer2);
    QVERIFY(!timer1->Enabled());
    QCOMPARE(timer1->Interval(), 1000);
    QVERIFY(timer2->Enabled());
    QCOMPARE(timer2->Interval(), 0);
    QVERIFY(!timer1->isTicking());
    QVERIFY(!timer2->isTicking());
    QSignalSpy ticks1(timer1, &ui::IntervalTimer::tick);
    QSignalSpy ticks2(timer2, &ui::IntervalTimer::tick);
    QTest::qWait(30);
    QCOMPARE(ticks1.count() + ticks2.count(), 0);

    QVERIFY(!form.portOpened);
    QVERIFY(!form.monitorRunning);
    QVERIFY(!form.replySeen);
    QCOMPARE(form.openClickCount(), 0);
    QCOMPARE(form.monitorClickCount, 0);
    QVERIFY(!comm.PortOpen());
    QVERIFY(messages.messages.isEmpty());
    QVERIFY(comm.written.isEmpty());
}

void TestStartup::serialControlConfiguredInOrder()
{
    FakeCommControl comm;
    RecordingMessenger messages;
    monitor::Form1 form(comm, messages);
    const QStringList expected{
        "Settings=9600,n,8,1", "InBufferSize=1024", "OutBufferSize=1024",
        "RThreshold=17",       "SThreshold=0",      "InputLen=0",
        "OutBufferCount=0",    "InBufferCount=0",   "InputMode=1",
    };
    QCOMPARE(comm.journal, expected); // no port number, no open
    QCOMPARE(comm.RThreshold(), 17);
    QCOMPARE(comm.InBufferSize(), 1024);
}

void TestStartup::quitReleasesThePort()
{
    testsupport::PtyPorts ports;
    QVERIFY(!ports.add(2).isEmpty());
    serial::QtCommControl comm;
    RecordingMessenger messages;
    monitor::Form1 form(comm, messages);
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    form.Combo1->setEditText(QStringLiteral("COM2"));
    form.C31_Click();
    QVERIFY(comm.PortOpen());
    form.Timer1->setInterval(350);
    form.Timer1->setEnabled(true);

    form.C28_Click();
    QVERIFY(!form.isVisible());
    QVERIFY(!comm.PortOpen());
    QVERIFY(!form.Timer1->isTicking());
    QVERIFY(ports.receive(2, 1, 100).isEmpty()); // nothing was sent on the way out

    // Released: another control opens it.
    serial::QtCommControl next;
    next.setCommPort(2);
    next.setPortOpen(true);
    QVERIFY(next.PortOpen());
    QVERIFY(messages.messages.isEmpty());
}

QTEST_MAIN(TestStartup)
#include "tst_startup.moc"
