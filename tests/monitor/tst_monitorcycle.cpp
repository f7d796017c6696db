#include "support/fakecommcontrol.h"
#include "support/recordingmessenger.h"

#include "monitor/form1.h"
#include "protocol/crc16.h"

#include <QEventLoop>
#include <QTimer>
#include <QtTest>

#include <array>
#include <functional>

using monitor::Form1;
using testsupport::FakeCommControl;
using testsupport::RecordingMessenger;

namespace {

// 01 03 0C | set 12.34 V, 1.500 A | actual 12.32 V, 0.500 A | on | CV | CRC
const QByteArray kWorkedReply = QByteArray::fromHex("01030C04D205DC04D001F400010001E92B");
// The echo of "switch output on" at address 1.
const QByteArray kSwitchOnEcho = QByteArray::fromHex("010610060001ACCB");
const QString kFailed = QStringLiteral(
    "Communication failed,Please check whether the communication address is correct！");

// A status reply from `address` carrying six raw words, with its CRC.
QByteArray statusReply(std::uint8_t address, std::array<std::uint16_t, 6> words)
{
    std::vector<std::uint8_t> bytes{address, 0x03, 0x0C};
    for (std::uint16_t word : words) {
        bytes.push_back(static_cast<std::uint8_t>(word >> 8));
        bytes.push_back(static_cast<std::uint8_t>(word & 0xFF));
    }
    const auto crc = protocol::CRC16(bytes);
    bytes.push_back(crc[1]);
    bytes.push_back(crc[0]);
    return QByteArray(reinterpret_cast<const char *>(bytes.data()),
                      static_cast<qsizetype>(bytes.size()));
}

// A messenger whose box runs an event loop for a while, as a modal box does.
class NestedLoopMessenger : public ui::Messenger {
public:
    void inform(QWidget *, const QString &text) override
    {
        messages << text;
        QEventLoop loop;
        QTimer::singleShot(300, &loop, &QEventLoop::quit);
        loop.exec();
    }
    QStringList messages;
};

// One window on a fake serial control where COM1 exists.
struct Rig {
    explicit Rig(ui::Messenger &m) : form(comm, m)
    {
        comm.setPort(1, FakeCommControl::Port::Free);
        form.Combo1->addItem(QStringLiteral("COM1"));
    }
    void openPort() { form.C31_Click(); }
    void start()
    {
        openPort();
        form.C1_Click();
    }
    // The six display boxes, in the order T1, T2, T3, T4, Text5, Text4.
    QStringList display() const
    {
        return {form.T1->Text(), form.T2->Text(),    form.T3->Text(),
                form.T4->Text(), form.Text5->Text(), form.Text4->Text()};
    }
    void setDigits(const QStringList &volts, const QStringList &amps)
    {
        form.T6->setText(volts[0]);
        form.T8->setText(volts[1]);
        form.T10->setText(volts[2]);
        form.T12->setText(volts[3]);
        form.T16->setText(amps[0]);
        form.T7->setText(amps[1]);
        form.T9->setText(amps[2]);
        form.T11->setText(amps[3]);
    }

    FakeCommControl comm;
    Form1 form;
};

bool isRunningShown(const Form1 &form)
{
    return form.C1->Caption() == Form1::kMonitorStop && form.Shape8->FillColor() == Qt::red;
}

} // namespace

class TestMonitorCycle : public QObject {
    Q_OBJECT
private slots:
    void startShowsDialledValuesAndArmsTimers();
    void stopEmptiesLiveFieldsAndKeepsSetValues();
    void pressWithoutOpenPortIsRefused();
    void startWithPortClosedUnderneathEmptiesActuals();
    void startWithNonNumberDigitLeavesSetValueEmpty();
    void countKeepsAlternatingPastItsRange();
    void closeAndReopenWhileRunning();
    void openThatEndsLater_data();
    void openThatEndsLater();

    void pollTick_data();
    void pollTick();
    void pollTickDiscardsWaitingBytes();
    void pollTickWithPortClosedKeepsTicking();

    void watchdogPassesWhileRepliesCome();
    void watchdogReportsSilenceOnce();
    void watchdogAfterRepliesCameBack_data();
    void watchdogAfterRepliesCameBack();
    void silenceWhileItsBoxIsOpenGivesNoSecondBox();
    void startAtBroadcastAddress();
    void startFindsOldReplySeen();

    void decode_data();
    void decode();
    void decodeHoldsThresholdAtZeroMeanwhile();
    void decodeFailureStillDecodesTheNextReply();
    void replyWhileStoppedButPolling();
    void displayFieldsEmptyThemselvesWhileStopped();
};

void TestMonitorCycle::startShowsDialledValuesAndArmsTimers()
{
    RecordingMessenger messenger;
    Rig rig(messenger);
    rig.setDigits({"1", "2", "3", "4"}, {"1", "5", "0", "0"});
    rig.start();
    const Form1 &f = rig.form;
    QVERIFY(f.monitorRunning);
    QCOMPARE(f.monitorClickCount, qint16(1));
    QVERIFY(f.Timer1->Enabled() && f.Timer1->isTicking());
    QCOMPARE(f.Timer1->Interval(), 350);
    QVERIFY(f.Timer2->Enabled() && f.Timer2->isTicking());
    QCOMPARE(f.Timer2->Interval(), 2000);
    QCOMPARE(f.Shape8->FillColor(), QColor(255, 0, 0));
    QCOMPARE(f.C1->Caption(), Form1::kMonitorStop);
    QCOMPARE(f.C1->BackColor(), QColor(255, 192, 128));
    // The port is open: the actual values keep their texts.
    QCOMPARE(rig.display(), QStringList({"00.00", "0.000", "12.34", "1.500", "OFF", "CC"}));
    QVERIFY(messenger.messages.isEmpty());
    QVERIFY(rig.comm.written.isEmpty()); // the first request waits for the first tick
}

void TestMonitorCycle::stopEmptiesLiveFieldsAndKeepsSetValues()
{
    RecordingMessenger messenger;
    Rig rig(messenger);
    rig.start();
    rig.comm.feed(kWorkedReply);
    QCOMPARE(rig.form.C25->Caption(), Form1::kOutputStop);
    rig.form.C1_Click();
    const Form1 &f = rig.form;
    QVERIFY(!f.monitorRunning);
    QVERIFY(!f.Timer1->Enabled());
    QVERIFY(!f.Timer2->Enabled());
    QCOMPARE(f.Shape8->FillColor(), QColor(255, 255, 255));
    QCOMPARE(f.C1->Caption(), Form1::kMonitorStart);
    QCOMPARE(f.C1->BackColor(), QColor(0, 255, 255));
    QCOMPARE(f.C25->Caption(), Form1::kOutputStart);
    QCOMPARE(f.C25->BackColor(), Form1::kCyan);
    QCOMPARE(rig.display(), QStringList({"", "", "12.34", "1.500", "", ""}));
}

void TestMonitorCycle::pressWithoutOpenPortIsRefused()
{
    RecordingMessenger messenger;
    Rig rig(messenger);
    rig.comm.setRThreshold(0);
    rig.comm.journal.clear();
    rig.form.C1_Click();
    QCOMPARE(messenger.messages, QStringList{QStringLiteral("Please open the serial port！")});
    QCOMPARE(rig.comm.journal, QStringList({"InBufferCount=0", "RThreshold=17"}));
    QCOMPARE(rig.form.monitorClickCount, qint16(0));
    QVERIFY(!rig.form.monitorRunning);
    QCOMPARE(rig.form.C1->Caption(), Form1::kMonitorStart);
    // The next accepted press starts the monitor.
    rig.start();
    QVERIFY(rig.form.monitorRunning);
    QVERIFY(isRunningShown(rig.form));
}

void TestMonitorCycle::startWithPortClosedUnderneathEmptiesActuals()
{
    RecordingMessenger messenger;
    Rig rig(messenger);
    rig.form.portOpened = true; // the flag says open, the control says closed
    rig.form.C1_Click();
    QVERIFY(rig.form.monitorRunning);
    QCOMPARE(rig.display(), QStringList({"", "", "00.00", "0.000", "OFF", "CC"}));
}

void TestMonitorCycle::startWithNonNumberDigitLeavesSetValueEmpty()
{
    RecordingMessenger messenger;
    Rig rig(messenger);
    rig.setDigits({"1", "x", "3", "4"}, {"1", "5", "0", "0"});
    rig.start();
    QVERIFY(rig.form.monitorRunning);
    QVERIFY(isRunningShown(rig.form));
    QCOMPARE(rig.form.T3->Text(), QString());
    QCOMPARE(rig.form.T4->Text(), QStringLiteral("1.500"));
    QVERIFY(messenger.messages.isEmpty());
}

void TestMonitorCycle::countKeepsAlternatingPastItsRange()
{
    RecordingMessenger messenger;
    Rig rig(messenger);
    rig.openPort();
    rig.form.monitorClickCount = 32766;
    for (bool running : {true, false, true, false}) {
        rig.form.C1_Click();
        QCOMPARE(rig.form.monitorRunning, running);
        QCOMPARE(isRunningShown(rig.form), running);
        QCOMPARE(rig.form.monitorClickCount % 2 != 0, running);
    }
    QCOMPARE(rig.form.monitorClickCount, qint16(-32766));
}

void TestMonitorCycle::closeAndReopenWhileRunning()
{
    RecordingMessenger messenger;
    Rig rig(messenger);
    rig.start();
    rig.form.C31_Click(); // close
    QVERIFY(!rig.form.portOpened);
    QVERIFY(rig.form.monitorRunning);
    QCOMPARE(rig.form.C1->Caption(), Form1::kMonitorStop);
    rig.form.C31_Click(); // open again
    QVERIFY(rig.form.portOpened);
    rig.form.C1_Click();
    QVERIFY(!rig.form.monitorRunning);
    QCOMPARE(rig.form.C1->Caption(), Form1::kMonitorStart);
    rig.form.C1_Click();
    QVERIFY(rig.form.monitorRunning);
    QCOMPARE(rig.form.C1->Caption(), Form1::kMonitorStop);
    QVERIFY(messenger.messages.isEmpty());
}

void TestMonitorCycle::pollTick_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<QByteArray>("sent"); // empty: nothing sent
    QTest::addColumn<bool>("keepsPolling");

    QTest::newRow("1") << "1" << QByteArray::fromHex("010310000006C108") << true;
    QTest::newRow("0 broadcast, once") << "0" << QByteArray::fromHex("000310000006C0D9") << false;
    QTest::newRow("255") << "255" << QByteArray::fromHex("FF0310000006D4D6") << true;
    QTest::newRow("blank around") << " 1 " << QByteArray::fromHex("010310000006C108") << true;
    QTest::newRow("256") << "256" << QByteArray() << true;
    QTest::newRow("-1") << "-1" << QByteArray() << true;
    QTest::newRow("1.5") << "1.5" << QByteArray() << true;
    QTest::newRow("0.4") << "0.4" << QByteArray() << true;
    QTest::newRow("letters") << "abc" << QByteArray() << true;
    QTest::newRow("empty") << "" << QByteArray() << true;
}

void TestMonitorCycle::pollTick()
{
    QFETCH(QString, address);
    QFETCH(QByteArray, sent);
    QFETCH(bool, keepsPolling);
    RecordingMessenger messenger;
    Rig rig(messenger);
    rig.start();
    rig.form.T15->setText(address);
    rig.comm.journal.clear();
    rig.form.Timer1_Timer();
    if (rig.form.Timer1->Enabled()) {
        rig.form.Timer1_Timer();
    }
    QList<QByteArray> expected;
    if (!sent.isEmpty()) {
        expected << sent;
        if (keepsPolling) {
            expected << sent;
        }
        QCOMPARE(rig.comm.journal.mid(0, 2), QStringList({"InBufferCount=0", "OutBufferCount=0"}));
    }
    QCOMPARE(rig.comm.written, expected);
    QCOMPARE(rig.form.Timer1->Enabled(), keepsPolling);
    QVERIFY(messenger.messages.isEmpty());
}

void TestMonitorCycle::pollTickDiscardsWaitingBytes()
{
    RecordingMessenger messenger;
    Rig rig(messenger);
    rig.start();
    rig.comm.feed(kSwitchOnEcho); // below the threshold: no event
    QCOMPARE(rig.comm.InBufferCount(), 8);
    rig.form.Timer1_Timer();
    QCOMPARE(rig.comm.InBufferCount(), 0);
    // The reply to the new request now starts at the head of the buffer.
    rig.comm.feed(kWorkedReply);
    QCOMPARE(rig.form.Text5->Text(), QStringLiteral("ON"));
}

void TestMonitorCycle::pollTickWithPortClosedKeepsTicking()
{
    RecordingMessenger messenger;
    Rig rig(messenger);
    rig.start();
    rig.form.C31_Click(); // close
    rig.comm.journal.clear();
    rig.form.Timer1_Timer();
    QVERIFY(rig.comm.written.isEmpty());
    QCOMPARE(rig.comm.journal, QStringList{"InBufferCount=0"});
    QVERIFY(rig.form.Timer1->Enabled());
    QVERIFY(messenger.messages.isEmpty());
}

void TestMonitorCycle::watchdogPassesWhileRepliesCome()
{
    RecordingMessenger messenger;
    Rig rig(messenger);
    rig.start();
    // A foreign reply counts as a sign of life too.
    rig.comm.feed(statusReply(7, {1, 2, 3, 4, 1, 1}));
    QVERIFY(rig.form.replySeen);
    rig.form.Timer2_Timer();
    QVERIFY(!rig.form.replySeen);
    QVERIFY(rig.form.Timer2->Enabled());
    QVERIFY(messenger.messages.isEmpty());
}

void TestMonitorCycle::watchdogReportsSilenceOnce()
{
    NestedLoopMessenger messenger;
    Rig rig(messenger);
    rig.start();
    rig.comm.feed(kWorkedReply);
    rig.form.replySeen = false;
    // Ticks every 20 ms: the box's own event loop would deliver a dozen of them.
    rig.form.Timer2->setInterval(20);
    rig.form.Timer2_Timer();
    QCOMPARE(messenger.messages, QStringList{kFailed});
    QCOMPARE(rig.display(), QStringList({"", "", "", "", "", ""}));
    QCOMPARE(rig.form.C25->Caption(), Form1::kOutputStart);
    QCOMPARE(rig.form.C25->BackColor(), Form1::kCyan);
    QVERIFY(!rig.form.Timer2->Enabled());
    // Everything else runs on.
    QVERIFY(rig.form.monitorRunning);
    QVERIFY(rig.form.Timer1->Enabled());
    QVERIFY(isRunningShown(rig.form));
    // A later reply is shown again.
    rig.comm.feed(kWorkedReply);
    QCOMPARE(rig.display(), QStringList({"12.34", "0.500", "12.34", "1.500", "ON", "CV"}));
}

// After a trip, what arms the watchdog again and what a second silence then does.
void TestMonitorCycle::watchdogAfterRepliesCameBack_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("stopFirst");
    QTest::addColumn<bool>("armed");
    QTest::newRow("the supply's reply") << kWorkedReply << false << true;
    QTest::newRow("a foreign reply") << statusReply(7, {1, 2, 3, 4, 1, 1}) << false << true;
    QTest::newRow("a damaged reply")
        << kWorkedReply.left(16) + QByteArray(1, '\0') << false << true;
    QTest::newRow("a reply after the monitor stopped") << kWorkedReply << true << false;
}

void TestMonitorCycle::watchdogAfterRepliesCameBack()
{
    QFETCH(QByteArray, bytes);
    QFETCH(bool, stopFirst);
    QFETCH(bool, armed);
    RecordingMessenger messenger;
    Rig rig(messenger);
    rig.start();
    rig.form.Timer2_Timer(); // a silence from the start
    QCOMPARE(messenger.messages.size(), 1);
    QVERIFY(!rig.form.Timer2->Enabled());
    if (stopFirst) {
        rig.form.C1_Click();
    }
    rig.comm.feed(bytes);
    QCOMPARE(rig.form.Timer2->Enabled(), armed);
    if (!armed) {
        return;
    }
    QCOMPARE(rig.form.Timer2->Interval(), 2000);
    // The period of the reply passes; the next one is silent again.
    rig.form.Timer2_Timer();
    QCOMPARE(messenger.messages.size(), 1);
    rig.comm.feed(kWorkedReply);
    rig.form.replySeen = false;
    rig.form.Timer2_Timer();
    QCOMPARE(messenger.messages, QStringList({kFailed, kFailed}));
    QCOMPARE(rig.display(), QStringList({"", "", "", "", "", ""}));
    QCOMPARE(rig.form.C25->Caption(), Form1::kOutputStart);
    QVERIFY(!rig.form.Timer2->Enabled());
    QVERIFY(rig.form.monitorRunning);
}

// Replies and a new silence while the first message is still open: the display
// empties again, and no second box opens over the first.
void TestMonitorCycle::silenceWhileItsBoxIsOpenGivesNoSecondBox()
{
    class Messenger : public ui::Messenger {
    public:
        void inform(QWidget *, const QString &text) override
        {
            messages << text;
            if (whileOpen) {
                whileOpen();
            }
        }
        QStringList messages;
        std::function<void()> whileOpen;
    } messenger;
    Rig rig(messenger);
    rig.start();
    messenger.whileOpen = [&] {
        messenger.whileOpen = nullptr;
        rig.comm.feed(kWorkedReply);
        QVERIFY(rig.form.Timer2->Enabled());
        QCOMPARE(rig.form.T1->Text(), QStringLiteral("12.34"));
        rig.form.Timer2_Timer();
        rig.form.Timer2_Timer();
    };
    rig.form.Timer2_Timer();
    QCOMPARE(messenger.messages, QStringList{kFailed});
    QCOMPARE(rig.display(), QStringList({"", "", "", "", "", ""}));
    QVERIFY(!rig.form.Timer2->Enabled());
    // Replies after the box closed arm it again as usual.
    rig.comm.feed(kWorkedReply);
    QVERIFY(rig.form.Timer2->Enabled());
}

void TestMonitorCycle::startAtBroadcastAddress()
{
    RecordingMessenger messenger;
    Rig rig(messenger);
    rig.form.T15->setText(QStringLiteral("0"));
    rig.start();
    rig.form.Timer1_Timer();
    QCOMPARE(rig.comm.written, QList<QByteArray>{QByteArray::fromHex("000310000006C0D9")});
    QVERIFY(!rig.form.Timer1->Enabled());
    rig.form.Timer2_Timer();
    QCOMPARE(messenger.messages, QStringList{kFailed});
    QCOMPARE(rig.display(), QStringList({"", "", "", "", "", ""}));
}

void TestMonitorCycle::startFindsOldReplySeen()
{
    RecordingMessenger messenger;
    Rig rig(messenger);
    rig.openPort();
    rig.comm.feed(kWorkedReply); // a reply while the monitor is stopped
    QVERIFY(rig.form.replySeen);
    rig.form.C1_Click();
    QVERIFY(rig.form.replySeen); // a start leaves it as it was
    rig.form.Timer2_Timer();
    QVERIFY(messenger.messages.isEmpty());
    rig.form.Timer2_Timer();
    QCOMPARE(messenger.messages, QStringList{kFailed});
}

void TestMonitorCycle::decode_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("address");
    QTest::addColumn<QString>("c25Before");
    // T1, T2, T3, T4, Text5, Text4 before (written while running) and after.
    QTest::addColumn<QStringList>("before");
    QTest::addColumn<QStringList>("after");
    QTest::addColumn<QString>("t1Tag");
    QTest::addColumn<QString>("c25After");

    const QStringList shown{"01.00", "0.100", "02.00", "0.200", "ON", "CC"};
    const QString start = Form1::kOutputStart;
    const QString stop = Form1::kOutputStop;
    const QStringList worked{"12.34", "0.500", "12.34", "1.500", "ON", "CV"};

    QTest::newRow("worked reply") << kWorkedReply << "1" << start << shown << worked << "12.32"
                                  << stop;
    QTest::newRow("worked reply, other address")
        << kWorkedReply << "2" << start << shown << shown << "" << start;
    QTest::newRow("extra bytes after the reply")
        << kWorkedReply + QByteArray::fromHex("0103") << "1" << start << shown << worked << "12.32"
        << stop;
    QTest::newRow("write echo before the reply")
        << kSwitchOnEcho + kWorkedReply << "1" << start << shown << shown << "" << start;
    QByteArray swapped = kWorkedReply;
    std::swap(swapped[15], swapped[16]);
    QTest::newRow("crc bytes swapped") << swapped << "1" << start << shown << shown << "" << start;
    QByteArray damaged = kWorkedReply;
    damaged[8] = 0x11;
    QTest::newRow("one data byte changed")
        << damaged << "1" << start << shown << shown << "" << start;

    QTest::newRow("12.31 against 12.34")
        << statusReply(1, {1234, 1500, 1231, 500, 1, 1}) << "1" << stop << shown
        << QStringList{"12.31", "0.500", "12.34", "1.500", "ON", "CV"} << "12.31" << stop;
    QTest::newRow("0.07 against 0.05 in double precision")
        << statusReply(1, {5, 1500, 7, 1499, 1, 0}) << "1" << stop << shown
        << QStringList{"00.07", "1.500", "00.05", "1.500", "ON", "CC"} << "0.07" << stop;
    QTest::newRow("1.498 against 1.500 in double precision")
        << statusReply(1, {1234, 1500, 1232, 1498, 1, 0}) << "1" << stop << shown
        << QStringList{"12.34", "1.498", "12.34", "1.500", "ON", "CC"} << "12.32" << stop;
    QTest::newRow("current one count off")
        << statusReply(1, {1234, 1500, 1234, 1501, 1, 0}) << "1" << stop << shown
        << QStringList{"12.34", "1.500", "12.34", "1.500", "ON", "CC"} << "12.34" << stop;
    QTest::newRow("output off, 0.02 V and 0.002 A shown as zero")
        << statusReply(1, {1234, 1500, 2, 2, 0, 1}) << "1" << stop << shown
        << QStringList{"00.00", "0.000", "12.34", "1.500", "OFF", "CV"} << "0.02" << start;
    QTest::newRow("output off, 0.03 V and 0.003 A shown")
        << statusReply(1, {1234, 1500, 3, 3, 0, 2}) << "1" << stop << shown
        << QStringList{"00.03", "0.003", "12.34", "1.500", "OFF", "OC"} << "0.03" << start;
    QTest::newRow("output on, 0.02 V kept")
        << statusReply(1, {1234, 1500, 2, 2, 1, 1}) << "1" << start << shown
        << QStringList{"00.02", "0.002", "12.34", "1.500", "ON", "CV"} << "0.02" << stop;
    QTest::newRow("state 2 and mode 3 keep their texts")
        << statusReply(1, {1234, 1500, 1000, 100, 2, 3}) << "1" << stop << shown
        << QStringList{"10.00", "0.100", "12.34", "1.500", "ON", "CC"} << "10" << stop;
    QTest::newRow("state and mode read from their low bytes")
        << statusReply(1, {1234, 1500, 1000, 100, 0x8000, 0xFF01}) << "1" << start << shown
        << QStringList{"10.00", "0.100", "12.34", "1.500", "OFF", "CV"} << "10" << start;
    // A failure ends the decoding where it happens; what came before stays.
    QTest::newRow("actual voltage word 0x80xx")
        << statusReply(1, {1234, 1500, 0x8000, 100, 1, 1}) << "1" << start << shown
        << QStringList{"01.00", "0.100", "12.34", "1.500", "ON", "CC"} << "" << start;
    QTest::newRow("set voltage word 0xFFxx") << statusReply(1, {0xFF00, 1500, 1000, 100, 1, 1})
                                             << "1" << start << shown << shown << "" << start;
    QTest::newRow("address box no number")
        << kWorkedReply << "x" << start << shown << shown << "" << start;
}

void TestMonitorCycle::decode()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, address);
    QFETCH(QString, c25Before);
    QFETCH(QStringList, before);
    QFETCH(QStringList, after);
    QFETCH(QString, t1Tag);
    QFETCH(QString, c25After);
    RecordingMessenger messenger;
    Rig rig(messenger);
    rig.start();
    Form1 &f = rig.form;
    const std::array<ui::TextBox *, 6> boxes{f.T1, f.T2, f.T3, f.T4, f.Text5, f.Text4};
    for (std::size_t i = 0; i < boxes.size(); ++i) {
        boxes[i]->setText(before[static_cast<int>(i)]);
    }
    f.C25->setCaption(c25Before);
    f.C25->setBackColor(c25Before == Form1::kOutputStop ? Form1::kPink : Form1::kCyan);
    f.T15->setText(address);

    rig.comm.feed(bytes);

    QCOMPARE(rig.display(), after);
    QCOMPARE(f.T1->Tag(), t1Tag);
    QCOMPARE(f.C25->Caption(), c25After);
    QCOMPARE(f.C25->BackColor(), c25After == Form1::kOutputStop ? Form1::kPink : Form1::kCyan);
    QCOMPARE(f.replySeen, address != QStringLiteral("x"));
    QCOMPARE(rig.comm.RThreshold(), 17);
    // Without an address to compare with, the bytes are left for the next poll.
    QCOMPARE(rig.comm.InBufferCount(), f.replySeen ? 0 : bytes.size());
    QVERIFY(messenger.messages.isEmpty());
}

void TestMonitorCycle::decodeHoldsThresholdAtZeroMeanwhile()
{
    RecordingMessenger messenger;
    Rig rig(messenger);
    rig.start();
    int thresholdSeen = -1;
    // A write in the middle of decoding sees the threshold held at 0.
    QObject::connect(rig.form.T2, &ui::TextBox::Change,
                     [&] { thresholdSeen = rig.comm.RThreshold(); });
    rig.comm.journal.clear();
    rig.comm.feed(kWorkedReply);
    QCOMPARE(thresholdSeen, 0);
    QCOMPARE(rig.comm.journal, QStringList({"RThreshold=0", "RThreshold=17"}));
}

void TestMonitorCycle::decodeFailureStillDecodesTheNextReply()
{
    RecordingMessenger messenger;
    Rig rig(messenger);
    rig.start();
    rig.comm.feed(statusReply(1, {1234, 1500, 0x8000, 0, 1, 1}));
    QCOMPARE(rig.comm.RThreshold(), 17);
    rig.comm.feed(kWorkedReply);
    QCOMPARE(rig.display(), QStringList({"12.34", "0.500", "12.34", "1.500", "ON", "CV"}));
}

void TestMonitorCycle::replyWhileStoppedButPolling()
{
    RecordingMessenger messenger;
    Rig rig(messenger);
    rig.openPort();
    rig.form.Timer1->setInterval(350);
    rig.form.Timer1->setEnabled(true);
    rig.comm.feed(kWorkedReply);
    // T1 empties itself at once, so the masking step finds no number and ends
    // the decoding: T2, Text5, Text4 and C25 are not reached.
    QCOMPARE(rig.display(), QStringList({"", "0.000", "12.34", "1.500", "OFF", "CC"}));
    QCOMPARE(rig.form.T1->Tag(), QStringLiteral("12.32"));
    QCOMPARE(rig.form.T3->Tag(), QStringLiteral("12.34"));
    QCOMPARE(rig.form.C25->Caption(), Form1::kOutputStart);
    QVERIFY(rig.form.replySeen);
    QCOMPARE(rig.comm.RThreshold(), 17);
}

void TestMonitorCycle::displayFieldsEmptyThemselvesWhileStopped()
{
    RecordingMessenger messenger;
    Rig rig(messenger);
    Form1 &f = rig.form;
    for (ui::TextBox *box : {f.T1, f.T2, f.Text4, f.Text5}) {
        int changes = 0;
        const auto counter = QObject::connect(box, &ui::TextBox::Change, [&] { ++changes; });
        box->setText(QStringLiteral("7"));
        QCOMPARE(box->Text(), QString());
        QCOMPARE(changes, 2); // the write, then the emptying; an empty box raises nothing more
        QObject::disconnect(counter);
    }
    f.T3->setText(QStringLiteral("7"));
    QCOMPARE(f.T3->Text(), QStringLiteral("7"));

    rig.start();
    for (ui::TextBox *box : {f.T1, f.T2, f.Text4, f.Text5}) {
        box->setText(QStringLiteral("8"));
        QCOMPARE(box->Text(), QStringLiteral("8"));
    }
}

// A port that opens later (a network line connecting) shows so at once; its end
// is reported as an open at once would be, after the line's callback, and not
// at all once the user has pressed again to cancel it.
void TestMonitorCycle::openThatEndsLater_data()
{
    QTest::addColumn<int>("error");
    QTest::addColumn<bool>("cancelled");
    QTest::addColumn<bool>("opened");
    QTest::addColumn<QString>("box");
    QTest::addColumn<QString>("button");
    const QString notFound = QStringLiteral("This serial port is not found！");
    QTest::newRow("opens") << 0 << false << true << QString() << "Close serial port";
    QTest::newRow("not found") << int(serial::kErrPortNotFound) << false << false << notFound
                               << "Open serial port";
    QTest::newRow("other failure")
        << int(serial::kErrDeviceIo) << false << false << "the host is unreachable"
        << "Open serial port";
    QTest::newRow("cancelled, then fails")
        << int(serial::kErrPortNotFound) << true << false << QString() << "Open serial port";
    QTest::newRow("cancelled, then opens") << 0 << true << false << QString() << "Open serial port";
}

void TestMonitorCycle::openThatEndsLater()
{
    QFETCH(int, error);
    QFETCH(bool, cancelled);
    QFETCH(bool, opened);
    QFETCH(QString, box);
    QFETCH(QString, button);
    RecordingMessenger messenger;
    Rig rig(messenger);
    rig.comm.setPort(1, FakeCommControl::Port::Later);
    rig.openPort();
    QVERIFY(!rig.form.portOpened);
    QVERIFY(rig.comm.PortOpening());
    QVERIFY(rig.form.Label1->text().contains(QStringLiteral("connecting")));
    QCOMPARE(rig.form.C31->Caption(), QStringLiteral("Close serial port"));
    if (cancelled) {
        rig.openPort();
        QVERIFY(!rig.comm.PortOpening());
    }
    rig.comm.endOpen(error, QStringLiteral("the host is unreachable"));
    // No box inside the port's own signal.
    QVERIFY(messenger.messages.isEmpty());
    QTest::qWait(20);
    QCOMPARE(rig.form.portOpened, opened);
    QCOMPARE(messenger.messages, box.isEmpty() ? QStringList() : QStringList{box});
    QCOMPARE(rig.form.C31->Caption(), button);
    if (error != 0 && !cancelled) {
        QVERIFY(rig.form.Label1->text().contains(QStringLiteral("the host is unreachable")));
    }
    // The next press opens again (or closes what opened).
    rig.comm.setPort(1, FakeCommControl::Port::Free);
    rig.openPort();
    QCOMPARE(rig.form.portOpened, !opened);
}

QTEST_MAIN(TestMonitorCycle)
#include "tst_monitorcycle.moc"
