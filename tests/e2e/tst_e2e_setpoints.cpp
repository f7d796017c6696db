// End to end: a user dials set values in the vantel window, sends them, switches
// the output on and watches the simulated supply follow, over the real serial
// control and real timers, against vantel-sim on a pseudo-terminal.

#include "support/recordingmessenger.h"
#include "support/simprocess.h"

#include "line/enginecommcontrol.h"
#include "monitor/form1.h"

#include <QTemporaryDir>
#include <QtTest>

using monitor::Form1;
using testsupport::SimProcess;
using testsupport::TraceLine;

namespace {

constexpr int kPollMs = 350;
constexpr int kWaitMs = 3000; // upper bound for anything due within a few polls

const QString kReadStatusAt1 = QStringLiteral("01 03 10 00 00 06 C1 08");
const QString kSet1234mV = QStringLiteral("01 06 10 00 04 D2 0F 97"); // 12.34 V
const QString kSet500mA = QStringLiteral("01 06 10 01 01 F4 DC DD");  // 0.500 A
const QString kSet1500mA = QStringLiteral("01 06 10 01 05 DC DE 03"); // 1.500 A
const QString kSwitchOn = QStringLiteral("01 06 10 06 00 01 AC CB");
const QString kSwitchOff = QStringLiteral("01 06 10 06 00 00 6D 0B");

QStringList display(const Form1 &f)
{
    return {f.T1->Text(), f.T2->Text(),    f.T3->Text(),
            f.T4->Text(), f.Text5->Text(), f.Text4->Text()};
}

void clickTimes(QPushButton *button, int times)
{
    for (int i = 0; i < times; ++i) {
        button->click();
    }
}

} // namespace

class TestSetpointsE2e : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void dialSetAndSwitch();

private:
    QTemporaryDir m_ports;
};

void TestSetpointsE2e::initTestCase()
{
    QVERIFY(m_ports.isValid());
    // The window and the simulator meet in this folder only: no real port is touched.
    qputenv("VANTEL_PORT_DIR", QFile::encodeName(m_ports.path()));
}

void TestSetpointsE2e::dialSetAndSwitch()
{
    // The supply starts at 5.00 V / 1.000 A, output off, 10 ohm load.
    SimProcess sim(m_ports.path());
    // An instant line: the window sends a write the moment a button is pressed, and
    // this test checks that each one is answered before the next request, which on a
    // line with character times holds only when the presses are far enough apart.
    QVERIFY(sim.start({"--port", "1", "--trace", "--line", "instant"}, kWaitMs));

    std::unique_ptr<line::EngineCommControl> engine = line::makeEngineCommControl();
    line::EngineCommControl &comm = *engine;
    testsupport::RecordingMessenger messenger;
    Form1 form(comm, messenger);
    form.show();
    form.C32_Click();
    form.C31_Click();
    QVERIFY(comm.PortOpen());
    form.C1_Click();
    QVERIFY(form.monitorRunning);
    // A user's clicks come one event-loop turn apart at the least, so a request is
    // on the line before the next click clears the transmit buffer.
    const auto send = [&sim](QPushButton *button, const QString &frame) {
        button->click();
        return QTest::qWaitFor([&] { return sim.count(QStringLiteral("rx"), frame) == 1; },
                               kWaitMs);
    };
    QTRY_COMPARE_WITH_TIMEOUT(
        display(form), QStringList({"00.00", "0.000", "05.00", "1.000", "OFF", "CV"}), kWaitMs);

    // 12.34 V and 0.500 A, digit by digit, then the output on: 12.34 V across
    // 10 ohms would draw 1.234 A, so the supply limits the current (CC at 5.00 V).
    clickTimes(form.C2, 1);
    clickTimes(form.C4, 2);
    clickTimes(form.C6, 3);
    clickTimes(form.C8, 4);
    QVERIFY(send(form.C18, kSet1234mV));
    clickTimes(form.C10, 5);
    QVERIFY(send(form.C19, kSet500mA));
    QVERIFY(send(form.C25, kSwitchOn));
    QCOMPARE(form.C25->Caption(), Form1::kOutputStop);
    QTRY_COMPARE_WITH_TIMEOUT(
        display(form), QStringList({"05.00", "0.500", "12.34", "0.500", "ON", "CC"}), kWaitMs);

    // 1.500 A leaves room for 1.234 A: the supply holds the voltage (CV).
    form.C34->click();
    QVERIFY(send(form.C19, kSet1500mA));
    QTRY_COMPARE_WITH_TIMEOUT(
        display(form), QStringList({"12.34", "1.234", "12.34", "1.500", "ON", "CV"}), kWaitMs);

    QVERIFY(send(form.C25, kSwitchOff));
    QCOMPARE(form.C25->Caption(), Form1::kOutputStart);
    QTRY_COMPARE_WITH_TIMEOUT(
        display(form), QStringList({"00.00", "0.000", "12.34", "1.500", "OFF", "CV"}), kWaitMs);
    QVERIFY(messenger.messages.isEmpty());
    form.C1_Click();
    form.C31_Click();

    // Each write reached the supply exactly once, whole, and was answered before
    // the next request; the next read request followed it about a poll period later.
    const QList<TraceLine> trace = sim.trace();
    for (const QString &write : {kSet1234mV, kSet500mA, kSwitchOn, kSet1500mA, kSwitchOff}) {
        QCOMPARE(sim.count(QStringLiteral("rx"), write), 1);
        QCOMPARE(sim.count(QStringLiteral("tx"), write), 1);
    }
    for (const TraceLine &line : trace) {
        QVERIFY2(line.kind != QStringLiteral("junk"), qPrintable(line.hex));
    }
    for (int i = 0; i < trace.size(); ++i) {
        if (trace[i].kind != QStringLiteral("rx") || !trace[i].hex.startsWith("01 06")) {
            continue;
        }
        QVERIFY(i + 1 < trace.size());
        QCOMPARE(trace[i + 1].kind, QStringLiteral("tx"));
        QCOMPARE(trace[i + 1].hex, trace[i].hex);
        for (int j = i + 1; j < trace.size(); ++j) {
            if (trace[j].kind == QStringLiteral("rx") && trace[j].hex == kReadStatusAt1) {
                const double gapMs = (trace[j].seconds - trace[i].seconds) * 1000.0;
                qInfo("read request %.1f ms after the write %s", gapMs, qPrintable(trace[i].hex));
                QVERIFY2(gapMs > 0.5 * kPollMs, qPrintable(QString::number(gapMs)));
                break;
            }
            QVERIFY2(trace[j].kind != QStringLiteral("rx") || trace[j].hex.startsWith("01 06"),
                     qPrintable(trace[j].hex));
        }
    }
}

QTEST_MAIN(TestSetpointsE2e)
#include "tst_e2e_setpoints.moc"
