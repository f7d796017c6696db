// End to end: the vantel window on the real serial control and real timers,
// against vantel-sim on a pseudo-terminal published in a private port folder.

#include "support/recordingmessenger.h"
#include "support/simprocess.h"

#include "line/enginecommcontrol.h"
#include "monitor/form1.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>
#include <numeric>

using monitor::Form1;
using testsupport::RecordingMessenger;
using testsupport::SimProcess;

namespace {

constexpr int kPollMs = 350;
constexpr int kWatchdogMs = 2000;
constexpr int kWaitMs = 3000; // upper bound for anything due within a few polls

const QString kReadStatusAt1 = QStringLiteral("01 03 10 00 00 06 C1 08");
const QString kFailed = QStringLiteral(
    "Communication failed,Please check whether the communication address is correct！");
const QStringList kWorkedOptions{"--voltage",        "12.34", "--current",        "1.5",
                                 "--actual-voltage", "12.32", "--actual-current", "0.5",
                                 "--output",         "on"};
const QStringList kWorkedDisplay{"12.34", "0.500", "12.34", "1.500", "ON", "CV"};

QStringList display(const Form1 &f)
{
    return {f.T1->Text(), f.T2->Text(),    f.T3->Text(),
            f.T4->Text(), f.Text5->Text(), f.Text4->Text()};
}

} // namespace

class TestMonitorE2e : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void monitorFollowsTheSupply();
    void monitorOverTheNetwork();
    void everySilenceEmptiesTheDisplay();

private:
    QTemporaryDir m_ports;
};

void TestMonitorE2e::initTestCase()
{
    QVERIFY(m_ports.isValid());
    // The window finds COMn in this folder only: no real port is ever touched.
    qputenv("VANTEL_PORT_DIR", QFile::encodeName(m_ports.path()));
}

void TestMonitorE2e::monitorFollowsTheSupply()
{
    SimProcess sim(m_ports.path());
    QVERIFY(sim.start(QStringList{"--port", "1", "--trace"} + kWorkedOptions, kWaitMs));

    std::unique_ptr<line::EngineCommControl> engine = line::makeEngineCommControl();
    line::EngineCommControl &comm = *engine;
    RecordingMessenger messenger;
    Form1 form(comm, messenger);
    form.show();

    form.C32_Click();
    QCOMPARE(form.Combo1->currentText(), QStringLiteral("COM1"));
    form.C31_Click();
    QVERIFY(form.portOpened);
    QVERIFY(comm.PortOpen());
    QVERIFY(messenger.messages.isEmpty());

    form.C1_Click();
    QVERIFY(form.monitorRunning);
    QTRY_COMPARE_WITH_TIMEOUT(display(form), kWorkedDisplay, kWaitMs);
    QCOMPARE(form.C25->Caption(), Form1::kOutputStop);

    // Requests leave every 350 ms: measured on the simulator's clock.
    QTRY_VERIFY_WITH_TIMEOUT(sim.times("rx", kReadStatusAt1).size() >= 7, 6 * kPollMs + kWaitMs);
    const QList<double> sent = sim.times("rx", kReadStatusAt1);
    QList<double> periods;
    for (int i = 1; i < sent.size(); ++i) {
        periods << (sent[i] - sent[i - 1]) * 1000.0;
    }
    const double mean = std::accumulate(periods.begin(), periods.end(), 0.0) / periods.size();
    const auto [shortest, longest] = std::minmax_element(periods.begin(), periods.end());
    qInfo("poll period over %lld requests: mean %.1f ms, shortest %.1f ms, longest %.1f ms",
          static_cast<long long>(periods.size()), mean, *shortest, *longest);
    QVERIFY2(mean > 0.8 * kPollMs && mean < 1.6 * kPollMs, qPrintable(QString::number(mean)));
    QVERIFY(*shortest > 0.5 * kPollMs);

    // Silence: within two watchdog periods the display empties and the message
    // comes once; the polls go on meanwhile.
    sim.send(QStringLiteral("fault silence on"));
    QTRY_COMPARE_WITH_TIMEOUT(sim.count(QStringLiteral("ok")), 1, kWaitMs);
    QElapsedTimer silent;
    silent.start();
    QTRY_COMPARE_WITH_TIMEOUT(messenger.messages.size(), 1, 2 * kWatchdogMs + 1000);
    qInfo("watchdog reported the silence after %lld ms", static_cast<long long>(silent.elapsed()));
    QCOMPARE(messenger.messages.first(), kFailed);
    QCOMPARE(display(form), QStringList({"", "", "", "", "", ""}));
    QCOMPARE(form.C25->Caption(), Form1::kOutputStart);
    QVERIFY(!form.Timer2->Enabled());
    QVERIFY(form.monitorRunning);
    const QStringList lines = sim.lines();
    QVERIFY(std::any_of(lines.begin(), lines.end(),
                        [](const QString &l) { return l.contains(QStringLiteral(" muted ")); }));

    // The supply answers again: the readings come back, without a second message.
    sim.send(QStringLiteral("fault silence off"));
    QTRY_COMPARE_WITH_TIMEOUT(display(form), kWorkedDisplay, kWaitMs);
    QCOMPARE(form.C25->Caption(), Form1::kOutputStop);

    // The output switched off at the supply: zero readings and "OFF".
    sim.send(QStringLiteral("set actual-voltage auto"));
    sim.send(QStringLiteral("set actual-current auto"));
    sim.send(QStringLiteral("set output off"));
    QTRY_COMPARE_WITH_TIMEOUT(
        display(form), QStringList({"00.00", "0.000", "12.34", "1.500", "OFF", "CV"}), kWaitMs);
    QCOMPARE(form.C25->Caption(), Form1::kOutputStart);
    QCOMPARE(messenger.messages.size(), 1);

    // Stop: the requests end.
    form.C1_Click();
    QVERIFY(!form.monitorRunning);
    const qsizetype requests = sim.times("rx", kReadStatusAt1).size();
    QTest::qWait(3 * kPollMs);
    QCOMPARE(sim.times("rx", kReadStatusAt1).size(), requests);
    form.C31_Click();
    QVERIFY(!comm.PortOpen());
}

// COM9 names a Modbus TCP gateway (vantelctl serve --modbus on the simulator's
// COM1): the search lists it, the window polls through it as over a cable, and
// the gateway killed is a silent line for the watchdog.
void TestMonitorE2e::monitorOverTheNetwork()
{
    SimProcess sim(m_ports.path());
    QVERIFY(sim.start(QStringList{"--port", "1", "--trace"} + kWorkedOptions, kWaitMs));
    quint16 port = 0;
    {
        QTcpServer probe; // a free loopback port, given back for the gateway
        QVERIFY(probe.listen(QHostAddress::LocalHost));
        port = probe.serverPort();
    }
    QProcess gateway;
    gateway.setProcessChannelMode(QProcess::SeparateChannels);
    gateway.start(QStringLiteral(VANTELCTL_PATH), {"--port", "COM1", "serve", "--listen", "none",
                                                   "--modbus", QString::number(port)});
    QByteArray said;
    QTRY_VERIFY2_WITH_TIMEOUT((said += gateway.readAllStandardError()).contains("Modbus TCP on"),
                              said.constData(), kWaitMs);
    const QString link = m_ports.path() + QStringLiteral("/COM9");
    QVERIFY(QFile::link(QStringLiteral("tcp://127.0.0.1:%1").arg(port), link));

    std::unique_ptr<line::EngineCommControl> engine = line::makeEngineCommControl();
    RecordingMessenger messenger;
    Form1 form(*engine, messenger);
    form.show();
    form.C32_Click();
    const int com9 = form.Combo1->findText(QStringLiteral("COM9"));
    QVERIFY2(com9 >= 0, "the search did not list COM9");
    form.Combo1->setCurrentIndex(com9);
    form.C31_Click();
    // The connection is made without a wait on the window's event loop.
    QTRY_VERIFY_WITH_TIMEOUT(form.portOpened, kWaitMs);
    QVERIFY(messenger.messages.isEmpty());
    form.C1_Click();
    QTRY_COMPARE_WITH_TIMEOUT(display(form), kWorkedDisplay, kWaitMs);
    QVERIFY(sim.times("rx", kReadStatusAt1).size() >= 1); // it went over the serial line

    gateway.kill();
    QVERIFY(gateway.waitForFinished(kWaitMs));
    QTRY_COMPARE_WITH_TIMEOUT(messenger.messages.size(), 1, 2 * kWatchdogMs + kWaitMs);
    QCOMPARE(messenger.messages.first(), kFailed);
    // The window does not connect again by itself, and its status line says so.
    QTRY_COMPARE_WITH_TIMEOUT(form.Label1->text(),
                              QStringLiteral("Serial port COM9 lost: close it and open it again"),
                              kWaitMs);
    form.C1_Click();
    form.C31_Click();
    QVERIFY(QFile::remove(link));
}

// The supply falls silent twice with replies between: each silence empties the
// display and gives its message, and the readings come back after each.
void TestMonitorE2e::everySilenceEmptiesTheDisplay()
{
    SimProcess sim(m_ports.path());
    QVERIFY(sim.start(QStringList{"--port", "1"} + kWorkedOptions, kWaitMs));
    std::unique_ptr<line::EngineCommControl> engine = line::makeEngineCommControl();
    RecordingMessenger messenger;
    Form1 form(*engine, messenger);
    form.show();
    form.C32_Click();
    form.C31_Click();
    QVERIFY(form.portOpened);
    form.C1_Click();
    QTRY_COMPARE_WITH_TIMEOUT(display(form), kWorkedDisplay, kWaitMs);

    for (int silence = 1; silence <= 2; ++silence) {
        QCOMPARE(sim.command(QStringLiteral("fault silence on")), QStringLiteral("ok"));
        // No values shown as live while the supply is silent.
        QTRY_COMPARE_WITH_TIMEOUT(display(form), QStringList({"", "", "", "", "", ""}),
                                  2 * kWatchdogMs + kWaitMs);
        QTRY_COMPARE_WITH_TIMEOUT(messenger.messages.size(), silence, kWaitMs);
        QCOMPARE(messenger.messages.last(), kFailed);
        QCOMPARE(form.C25->Caption(), Form1::kOutputStart);
        QVERIFY(form.monitorRunning);
        QCOMPARE(sim.command(QStringLiteral("fault silence off")), QStringLiteral("ok"));
        QTRY_COMPARE_WITH_TIMEOUT(display(form), kWorkedDisplay, kWaitMs);
    }
    form.C1_Click();
    form.C31_Click();
}

QTEST_MAIN(TestMonitorE2e)
#include "tst_e2e_vantel.moc"
