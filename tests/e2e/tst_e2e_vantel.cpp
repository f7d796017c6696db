// End to end: the vantel window on the real serial control and real timers,
// against vantel-sim on a pseudo-terminal published in a private port folder.

#include "support/recordingmessenger.h"

#include "monitor/form1.h"
#include "serial/qtcommcontrol.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>
#include <numeric>

using testsupport::RecordingMessenger;
using vantel::Form1;

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

// One simulator process; its output lines are collected as they come, so the
// window's event loop keeps running while the test waits.
class Sim : public QObject {
public:
    explicit Sim(const QString &portDir)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("VANTEL_PORT_DIR"), portDir);
        m_process.setProcessEnvironment(env);
        connect(&m_process, &QProcess::readyReadStandardOutput, this, [this] {
            while (m_process.canReadLine()) {
                lines << QString::fromUtf8(m_process.readLine()).trimmed();
            }
        });
    }
    ~Sim() override
    {
        m_process.closeWriteChannel(); // end of input ends the simulator
        if (!m_process.waitForFinished(kWaitMs)) {
            m_process.kill();
            m_process.waitForFinished();
        }
    }

    bool start(const QStringList &arguments)
    {
        m_process.start(QStringLiteral(VANTEL_SIM_PATH), arguments);
        return m_process.waitForStarted(kWaitMs);
    }
    bool ready() const
    {
        return std::any_of(lines.begin(), lines.end(),
                           [](const QString &l) { return l.startsWith(QStringLiteral("ready ")); });
    }
    // Sends a command; the answer shows up among the lines.
    void command(const QString &text)
    {
        m_process.write(text.toUtf8() + '\n');
        m_process.waitForBytesWritten();
    }
    int count(const QString &line) const { return int(lines.count(line)); }

    // Times in seconds of the trace lines of `kind` carrying `hex`.
    QList<double> times(const QString &kind, const QString &hex) const
    {
        QList<double> result;
        for (const QString &l : lines) {
            const int first = int(l.indexOf(QLatin1Char(' ')));
            if (first > 0 && l.mid(first + 1) == kind + QLatin1Char(' ') + hex) {
                result << l.left(first).toDouble();
            }
        }
        return result;
    }

    QStringList lines;

private:
    QProcess m_process;
};

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
    Sim sim(m_ports.path());
    QVERIFY(sim.start(QStringList{"--port", "1", "--trace"} + kWorkedOptions));
    QTRY_VERIFY_WITH_TIMEOUT(sim.ready(), kWaitMs);

    serial::QtCommControl comm;
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
    sim.command(QStringLiteral("fault silence on"));
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
    QVERIFY(std::any_of(sim.lines.begin(), sim.lines.end(),
                        [](const QString &l) { return l.contains(QStringLiteral(" muted ")); }));

    // The supply answers again: the readings come back, without a second message.
    sim.command(QStringLiteral("fault silence off"));
    QTRY_COMPARE_WITH_TIMEOUT(display(form), kWorkedDisplay, kWaitMs);
    QCOMPARE(form.C25->Caption(), Form1::kOutputStop);

    // The output switched off at the supply: zero readings and "OFF".
    sim.command(QStringLiteral("set actual-voltage auto"));
    sim.command(QStringLiteral("set actual-current auto"));
    sim.command(QStringLiteral("set output off"));
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

QTEST_MAIN(TestMonitorE2e)
#include "tst_e2e_vantel.moc"
