// Fault soak: the whole vantel window (real serial control, real timers) against
// vantel-sim, cycling through every line fault, the supply falling silent and the
// adapter being pulled out and put back. SOAK_SECONDS sets how long it runs (one
// cycle when unset or 0).
//
// After every phase the window must show the supply's true values again (or the
// watchdog's report during a silence); in between, every display box is sampled
// and may only hold an empty text, its start-up text, the dialled set value or
// what the supply reports now or reported just before.

#include "line/enginecommcontrol.h"
#include "monitor/form1.h"
#include "numtext/numtext.h"
#include "support/simprocess.h"
#include "ui/messenger.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <array>
#include <exception>
#include <functional>
#include <vector>

namespace {

constexpr int kPort = 5;
constexpr int kLoadOhms = 10;
constexpr int kSetMilliamps = 1500;     // above every V/R used, so the supply stays in CV
constexpr int kCatchUpMs = 4000;        // a display catching up: a few polls, slow machine
constexpr int kFrozenMs = 1200;         // a rejecting fault: three or four polls
constexpr int kWatchdogReportMs = 6000; // two watchdog periods and some
constexpr int kSilentAfterReportMs = 800;
constexpr int kSampleMs = 20;
constexpr long kRssGrowthLimitKb = 8 * 1024; // loose: allocator noise, not a leak

const QString kCommunicationFailed = QStringLiteral(
    "Communication failed,Please check whether the communication address is correct！");

int exceptionsInHandlers = 0;

// Counts (and stops) exceptions that reach the event loop from any handler.
class CheckingApplication : public QApplication {
public:
    using QApplication::QApplication;
    bool notify(QObject *receiver, QEvent *event) override
    {
        try {
            return QApplication::notify(receiver, event);
        } catch (const std::exception &error) {
            ++exceptionsInHandlers;
            qWarning("handler threw: %s", error.what());
        } catch (...) {
            ++exceptionsInHandlers;
            qWarning("handler threw");
        }
        return false;
    }
};

// What the supply holds; with the load of 10 ohms it regulates voltage (CV).
struct Supply {
    int centivolts = 1234;
    bool output = true;

    QStringList arguments() const
    {
        return {"--voltage", QString::number(centivolts / 100.0, 'f', 2),
                "--current", QString::number(kSetMilliamps / 1000.0, 'f', 3),
                "--load",    QString::number(kLoadOhms),
                "--output",  output ? "on" : "off"};
    }
};

// The simulator publishes COM5 in the test's port folder.
QStringList simArguments(const Supply &s)
{
    return QStringList{"--port", QString::number(kPort)} + s.arguments();
}

// The six display boxes in a fixed order.
enum Field { kT1, kT2, kT3, kT4, kText5, kText4, kFieldCount };
using Display = std::array<QString, kFieldCount>;
const std::array<const char *, kFieldCount> kFieldNames{"T1", "T2", "T3", "T4", "Text5", "Text4"};
const Display kStartUp{"00.00", "0.000", "00.00", "0.000", "OFF", "CC"};
const Display kEmpty{};

QString volts(double v)
{
    return QString::fromStdString(numtext::formatVolts(v));
}
QString amps(double a)
{
    return QString::fromStdString(numtext::formatAmps(a));
}

// What the window shows for `s`: in CV the actual voltage equals the set one and
// the current is V/R (in mA that is the voltage's count of 10 mV at 10 ohms).
Display shownFor(const Supply &s)
{
    const double v = s.centivolts / 100.0;
    return {s.output ? volts(v) : QStringLiteral("00.00"),
            s.output ? amps(s.centivolts / 1000.0) : QStringLiteral("0.000"),
            volts(v),
            amps(kSetMilliamps / 1000.0),
            s.output ? QStringLiteral("ON") : QStringLiteral("OFF"),
            QStringLiteral("CV")};
}

QString describe(const Display &d)
{
    QStringList parts;
    for (int f = 0; f < kFieldCount; ++f) {
        parts << QStringLiteral("%1=\"%2\"").arg(kFieldNames[f], d[f]);
    }
    return parts.join(' ');
}

// Records each message with what the display showed when it came.
class SoakMessenger : public ui::Messenger {
public:
    std::function<Display()> snapshot;
    void inform(QWidget *, const QString &text) override
    {
        messages << text;
        shownAtMessage.push_back(snapshot());
    }
    QStringList messages;
    std::vector<Display> shownAtMessage;
};

class TestSoak : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void soak();

private:
    Display shown() const;
    void sample();
    bool waitFor(const Display &expected, int ms);
    void press(QAbstractButton *button);
    void dialVoltage(int centivolts);
    void changeSupply(const Supply &next, bool throughSim);
    void rearmWatchdog();
    void expectOneReport(const char *phase);

    void healthy(const char *phase);
    void following(const char *phase, const char *fault);
    void frozen(const char *phase, const char *fault);
    void echoBefore(int cycle);
    void silence();
    void unplug(int cycle);

    QTemporaryDir m_portDir;
    testsupport::SimProcess m_sim{m_portDir.path()};
    std::unique_ptr<line::EngineCommControl> m_engine = line::makeEngineCommControl();
    line::EngineCommControl &m_comm = *m_engine;
    SoakMessenger m_messenger;
    std::unique_ptr<monitor::Form1> m_window;
    QTimer m_sampler;

    Supply m_now;
    Supply m_before;
    int m_dialled = 0; // the voltage in the digit boxes, in 10 mV
    int m_expectedMessages = 0;
    QString m_phase;
    QStringList m_violations;
};

void TestSoak::initTestCase()
{
    QVERIFY(m_portDir.isValid());
    qputenv("VANTEL_PORT_DIR", QFile::encodeName(m_portDir.path()));
    m_before = m_now;
    m_sim.forwardErrors();
    QVERIFY(m_sim.start(simArguments(m_now), kCatchUpMs));

    m_window = std::make_unique<monitor::Form1>(m_comm, m_messenger);
    m_messenger.snapshot = [this] { return shown(); };
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));

    connect(&m_sampler, &QTimer::timeout, this, &TestSoak::sample);
    m_sampler.start(kSampleMs);

    // The user's road: look for ports, open COM5, start the monitor.
    press(m_window->C32);
    QCOMPARE(m_window->Combo1->currentText(), QStringLiteral("COM%1").arg(kPort));
    press(m_window->C31);
    QVERIFY(m_comm.PortOpen());
    press(m_window->C1);
    QVERIFY(m_window->monitorRunning);
    QVERIFY2(waitFor(shownFor(m_now), kCatchUpMs), qPrintable(describe(shown())));
}

void TestSoak::cleanupTestCase()
{
    m_sampler.stop();
    if (m_window) {
        m_window->close();
    }
    m_window.reset();
    m_sim.stop(testsupport::SimProcess::Stop::Terminate);
}

Display TestSoak::shown() const
{
    const monitor::Form1 &w = *m_window;
    return {w.T1->Text(), w.T2->Text(),    w.T3->Text(),
            w.T4->Text(), w.Text5->Text(), w.Text4->Text()};
}

// Any box holding a value the supply never reported (nor the user dialled) is a
// violation, recorded with the phase it happened in.
void TestSoak::sample()
{
    if (!m_window) {
        return;
    }
    const Display now = shown();
    const Display current = shownFor(m_now);
    const Display previous = shownFor(m_before);
    for (int f = 0; f < kFieldCount; ++f) {
        const QString &text = now[f];
        bool allowed =
            text.isEmpty() || text == kStartUp[f] || text == current[f] || text == previous[f];
        if (f == kT3) {
            allowed = allowed || text == volts(m_dialled / 100.0);
        }
        if (!allowed && m_violations.size() < 20) {
            m_violations << QStringLiteral("%1: %2=\"%3\" (supply: %4)")
                                .arg(m_phase, kFieldNames[f], text, describe(current));
        }
    }
}

bool TestSoak::waitFor(const Display &expected, int ms)
{
    QElapsedTimer timer;
    timer.start();
    while (shown() != expected) {
        if (timer.elapsed() > ms) {
            return false;
        }
        QTest::qWait(kSampleMs);
    }
    return true;
}

// A click as the user gives it; a handler that throws is counted, not fatal.
void TestSoak::press(QAbstractButton *button)
{
    try {
        button->click();
    } catch (const std::exception &error) {
        ++exceptionsInHandlers;
        qWarning("%s threw: %s", qPrintable(button->text()), error.what());
    }
}

void TestSoak::dialVoltage(int centivolts)
{
    monitor::Form1 &w = *m_window;
    const std::array<ui::TextBox *, 4> digits{w.T6, w.T8, w.T10, w.T12};
    int rest = centivolts;
    for (int i = 3; i >= 0; --i) {
        digits[std::size_t(i)]->setText(QString::number(rest % 10));
        rest /= 10;
    }
    m_dialled = centivolts;
}

void TestSoak::changeSupply(const Supply &next, bool throughSim)
{
    m_before = m_now;
    m_now = next;
    if (throughSim) {
        m_sim.send(QStringLiteral("set voltage %1").arg(next.centivolts / 100.0, 0, 'f', 2));
        m_sim.send(QStringLiteral("set output %1").arg(next.output ? "on" : "off"));
    }
}

Supply randomSupply()
{
    Supply s;
    s.centivolts = QRandomGenerator::global()->bounded(100, 1400); // 1.00 .. 13.99 V
    s.output = QRandomGenerator::global()->bounded(5) != 0;
    return s;
}

// A stop and a new start arm the watchdog again after it reported.
void TestSoak::rearmWatchdog()
{
    press(m_window->C1);
    QVERIFY(!m_window->monitorRunning);
    press(m_window->C1);
    QVERIFY(m_window->monitorRunning);
    QVERIFY2(waitFor(shownFor(m_now), kCatchUpMs),
             qPrintable(m_phase + ", re-armed: " + describe(shown())));
}

void TestSoak::expectOneReport(const char *phase)
{
    ++m_expectedMessages;
    QTRY_COMPARE_WITH_TIMEOUT(m_messenger.messages.size(), m_expectedMessages, kWatchdogReportMs);
    QCOMPARE(m_messenger.messages.last(), kCommunicationFailed);
    QVERIFY2(m_messenger.shownAtMessage.back() == kEmpty,
             qPrintable(
                 QStringLiteral("%1: %2").arg(phase, describe(m_messenger.shownAtMessage.back()))));
}

void TestSoak::healthy(const char *phase)
{
    m_phase = phase;
    QVERIFY2(waitFor(shownFor(m_now), kCatchUpMs),
             qPrintable(QStringLiteral("%1: %2").arg(phase, describe(shown()))));
}

// A fault the window reads through: the new values come through.
void TestSoak::following(const char *phase, const char *fault)
{
    m_phase = phase;
    m_sim.send(fault);
    changeSupply(randomSupply(), true);
    healthy(phase);
    m_sim.send("fault clear");
    healthy("healthy again");
}

// A fault whose replies the window must reject: the display keeps the last true
// values while the supply already holds new ones, then shows those once healed.
void TestSoak::frozen(const char *phase, const char *fault)
{
    m_phase = phase;
    const Display before = shown();
    m_sim.send(fault);
    Supply next = randomSupply();
    next.output = true;
    if (next.centivolts == m_now.centivolts) {
        next.centivolts += 1;
    }
    changeSupply(next, true);
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < kFrozenMs) {
        QTest::qWait(kSampleMs);
        QVERIFY2(shown() == before,
                 qPrintable(QStringLiteral("%1: %2 instead of %3")
                                .arg(phase, describe(shown()), describe(before))));
    }
    QCOMPARE(m_messenger.messages.size(), m_expectedMessages);
    m_sim.send("fault clear");
    healthy("healthy again");
}

// A write whose echo the supply sends right before the next read reply, in one
// piece: that poll is lost, the following ones show the new value.
void TestSoak::echoBefore(int cycle)
{
    m_phase = "echo before reply";
    m_sim.send("fault echo-before on");
    Supply next = m_now;
    if (cycle % 2 == 0 || !m_now.output) {
        next.centivolts = randomSupply().centivolts;
        changeSupply(next, false);
        dialVoltage(next.centivolts);
        press(m_window->C18);
    } else {
        next.output = false;
        changeSupply(next, false);
        press(m_window->C25);
    }
    healthy("echo before reply");
    m_sim.send("fault clear");
    healthy("healthy again");
}

// The supply stops answering: one report, an empty display that stays empty,
// and the values again once it answers.
void TestSoak::silence()
{
    m_phase = "silence";
    m_sim.send("fault silence on");
    expectOneReport("silence");
    QTest::qWait(kSilentAfterReportMs);
    QCOMPARE(shown(), kEmpty);
    m_sim.send("fault silence off");
    healthy("after silence");
    QCOMPARE(m_messenger.messages.size(), m_expectedMessages);
    rearmWatchdog();
}

// The adapter is pulled out under the open port (the simulator ends; every other
// cycle it is killed and leaves a dangling link), then plugged in again under the
// same name and the user closes and reopens the port.
void TestSoak::unplug(int cycle)
{
    m_phase = "unplugged";
    m_sim.stop(cycle % 2 == 1 ? testsupport::SimProcess::Stop::Kill
                              : testsupport::SimProcess::Stop::Terminate);
    expectOneReport("unplugged");
    QTRY_VERIFY_WITH_TIMEOUT(!m_comm.PortOpen(), kCatchUpMs);
    QCOMPARE(shown(), kEmpty);

    m_phase = "plugged in";
    m_before = m_now;
    QVERIFY(m_sim.start(simArguments(m_now), kCatchUpMs));
    press(m_window->C31);
    QCOMPARE(m_window->C31->Caption(), QStringLiteral("Open serial port"));
    press(m_window->C31);
    QCOMPARE(m_window->C31->Caption(), QStringLiteral("Close serial port"));
    QCOMPARE(m_window->Label1->text(),
             QStringLiteral("Serial port COM%1 Opened successfully").arg(kPort));
    healthy("plugged in");
    QCOMPARE(m_messenger.messages.size(), m_expectedMessages);
    rearmWatchdog();
}

void TestSoak::soak()
{
    const int seconds = qEnvironmentVariableIntValue("SOAK_SECONDS");
    QElapsedTimer clock;
    clock.start();
    long rssStart = 0;
    long rssMax = 0;
    int cycle = 0;
    // One cycle: every fault in turn, each followed by a healthy line.
    const std::vector<std::function<void(int)>> phases{
        [this](int) { healthy("healthy"); },
        [this](int) { following("delay", "fault delay 120"); },
        [this](int) { following("trickle", "fault trickle 6"); },
        [this](int) { following("junk after", "fault junk after"); },
        [this](int) { frozen("junk before", "fault junk before"); },
        [this](int) { frozen("junk before and after", "fault junk both"); },
        [this](int) { frozen("bad CRC", "fault badcrc on"); },
        [this](int) { frozen("foreign address", "fault foreign on"); },
        [this](int c) { echoBefore(c); },
        [this](int) { silence(); },
        [this](int c) { unplug(c); },
    };
    do {
        for (const auto &phase : phases) {
            phase(cycle);
            if (QTest::currentTestFailed()) {
                return;
            }
            if (cycle == 0 && rssStart == 0) {
                rssStart = testsupport::residentKb();
            }
        }
        ++cycle;
        const long rss = testsupport::residentKb();
        rssMax = std::max(rssMax, rss);
        qInfo("soak cycle %d: %lld s, rss %ld kB, messages %d", cycle,
              static_cast<long long>(clock.elapsed() / 1000), rss,
              int(m_messenger.messages.size()));
    } while (clock.elapsed() < seconds * 1000LL);

    const long rssEnd = testsupport::residentKb();
    qInfo("soak result: cycles %d, %lld s, rss start %ld kB, end %ld kB, max %ld kB, "
          "messages %d, violations %d, handler exceptions %d",
          cycle, static_cast<long long>(clock.elapsed() / 1000), rssStart, rssEnd, rssMax,
          int(m_messenger.messages.size()), int(m_violations.size()), exceptionsInHandlers);

    QVERIFY2(m_violations.isEmpty(), qPrintable(m_violations.join('\n')));
    QCOMPARE(exceptionsInHandlers, 0);
    QCOMPARE(m_messenger.messages.size(), m_expectedMessages);
#if !defined(__SANITIZE_ADDRESS__)
    // The address sanitizer's quarantine grows on purpose; no bound there.
    QVERIFY2(rssEnd - rssStart < kRssGrowthLimitKb,
             qPrintable(QStringLiteral("%1 kB -> %2 kB").arg(rssStart).arg(rssEnd)));
#endif
}

} // namespace

int main(int argc, char *argv[])
{
    CheckingApplication app(argc, argv);
    TestSoak test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_soak.moc"
