// Figures for vantel's monitor, printed as a table; no pass or fail.
//
// This process hosts vantel's window exactly as vantel's main() does (real serial
// control, real timers) and drives it like a user: look for ports, open COM1,
// start the monitor. A simulator with --trace answers on COM1; a second one on
// COM2 is polled by mbpoll at the same period, for comparison:
//
//   - poll period: from the simulators' traces (time between read requests);
//   - reply to display: from the event that delivers the reply's last byte to
//     this process to the end of the window's repaint that shows it (the
//     simulator changes the actual voltage before every poll so that each reply
//     shows something new);
//   - CPU time per poll and resident memory, this process against mbpoll, while
//     both poll for the same time;
//   - start-up: from starting a fresh process to its window's first paint;
//   - CPU time per poll against a bare Qt window that polls a third simulator the
//     same way with a plain QSerialPort and shows the six values in six fields,
//     in alternating rounds in this same process.
//
// Usage: vantel-bench [SECONDS]    (monitoring time for the CPU figures, default 60)
//        vantel-bench --startup-child   (internal: one start-up to a shown window)

#include "bench/barewindow.h"
#include "line/enginecommcontrol.h"
#include "line/sharedport.h"
#include "monitor/form1.h"
#include "support/simprocess.h"
#include "ui/messenger.h"
#include "ui/widgets.h"

#include <QApplication>
#include <QDir>
#include <QEvent>
#include <QEventLoop>
#include <QFile>
#include <QLineEdit>
#include <QProcess>
#include <QRandomGenerator>
#include <QSerialPort>
#include <QTemporaryDir>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <numeric>
#include <vector>

namespace {

constexpr int kPollMs = 350;
constexpr int kLatencySeconds = 20;
constexpr int kStartups = 10;

double monotonicMs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

// CPU time of every thread of process `pid` ("self" for this one), in ms, from
// the scheduler's nanosecond counters.
double cpuMs(const QString &pid)
{
    double total = 0;
    const QDir tasks(QStringLiteral("/proc/%1/task").arg(pid));
    for (const QString &task : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile f(tasks.filePath(task + "/schedstat"));
        if (f.open(QIODevice::ReadOnly)) {
            total += f.readAll().split(' ').value(0).toDouble() / 1e6;
        }
    }
    return total;
}

struct Stats {
    std::size_t count = 0;
    double mean = 0, sd = 0, min = 0, max = 0, p50 = 0, p99 = 0;
};

Stats statsOf(std::vector<double> v)
{
    Stats s;
    if (v.empty()) {
        return s;
    }
    std::sort(v.begin(), v.end());
    s.count = v.size();
    s.mean = std::accumulate(v.begin(), v.end(), 0.0) / double(v.size());
    double sq = 0;
    for (double x : v) {
        sq += (x - s.mean) * (x - s.mean);
    }
    s.sd = std::sqrt(sq / double(v.size()));
    s.min = v.front();
    s.max = v.back();
    s.p50 = v[v.size() / 2];
    s.p99 = v[std::min(v.size() - 1, std::size_t(double(v.size()) * 0.99))];
    return s;
}

std::vector<double> intervalsMs(const std::vector<double> &times)
{
    std::vector<double> d;
    for (std::size_t i = 1; i < times.size(); ++i) {
        d.push_back((times[i] - times[i - 1]) * 1e3);
    }
    return d;
}

using bench::BareWindow;

class QuietMessenger : public ui::Messenger {
public:
    void inform(QWidget *, const QString &text) override { messages << text; }
    QStringList messages;
};

// Notes when the serial port's notifier fires (bytes arrived) and when the
// window's repaint has been done, to time a reply from arrival to display.
class TimingApplication : public QApplication {
public:
    using QApplication::QApplication;

    QObject *serialPort = nullptr;
    QWidget *window = nullptr;
    double lastArrival = 0;  // the arrival that delivered the bytes being handled
    double shownArrival = 0; // arrival of a reply whose values await their repaint
    std::vector<double> latencies;
    double firstPaint = 0; // end of the window's first repaint

    bool notify(QObject *receiver, QEvent *event) override
    {
        if (event->type() == QEvent::SockAct && serialPort && receiver->parent() == serialPort) {
            lastArrival = monotonicMs();
        }
        const bool result = QApplication::notify(receiver, event);
        if (event->type() == QEvent::UpdateRequest && receiver == window) {
            if (firstPaint == 0) {
                firstPaint = monotonicMs();
            }
            if (shownArrival > 0) {
                latencies.push_back(monotonicMs() - shownArrival);
                shownArrival = 0;
            }
        }
        return result;
    }
};

// A simulator publishing COMn in `dir`, its trace going to a file (so that
// reading it costs this process no CPU time while the figures are taken).
void startSim(testsupport::SimProcess &sim, const QString &dir, int port, const QStringList &extra)
{
    sim.setOutputFile(QStringLiteral("%1/trace-COM%2.txt").arg(dir).arg(port));
    sim.forwardErrors();
    sim.start(QStringList{"--port", QString::number(port), "--trace"} + extra, 5000);
}

// Times (s) of the read-status requests in a simulator's trace, from `since` on.
std::vector<double> requestTimes(testsupport::SimProcess &sim, double since = 0)
{
    std::vector<double> times;
    for (const testsupport::TraceLine &line : sim.trace()) {
        const QStringList bytes = line.hex.split(' ');
        if (line.kind == "rx" && bytes.size() >= 6 && bytes[1] == "03" && bytes[2] == "10" &&
            bytes[3] == "00" && line.seconds >= since) {
            times.push_back(line.seconds);
        }
    }
    return times;
}

// Runs the event loop for `ms` without spinning, so that this process's CPU time
// is the window's own.
void wait(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

void row(const char *figure, const QString &vantel, const QString &mbpoll = {},
         const QString &ratio = {})
{
    std::printf("| %-40s | %-24s | %-18s | %-7s |\n", figure, qPrintable(vantel),
                qPrintable(mbpoll), qPrintable(ratio));
}

QString ms(double v)
{
    return QString::number(v, 'f', v < 10 ? 2 : 1) + " ms";
}

QString periodText(const Stats &s)
{
    return QStringLiteral("%1 ms, sd %2").arg(s.mean, 0, 'f', 1).arg(s.sd, 0, 'f', 1);
}

// One start-up in this process: the window as main() builds it, shown; prints the
// monotonic time of the end of its first paint.
int startupChild(int argc, char *argv[])
{
    TimingApplication a(argc, argv);
    ui::installFontSubstitutes();
    const auto comm = line::makeEngineCommControl();
    ui::BoxMessenger messenger;
    monitor::Form1 window(*comm, messenger);
    a.window = &window;
    window.show();
    while (a.firstPaint == 0) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    }
    std::printf("%.3f\n", a.firstPaint);
    return 0;
}

// Starts `self --startup-child` `count` times; the figures are from just before
// the start to the child's first paint.
std::vector<double> startupTimes(const QString &self, int count)
{
    std::vector<double> times;
    for (int i = 0; i < count; ++i) {
        QProcess child;
        const double before = monotonicMs();
        child.start(self, {"--startup-child"});
        child.waitForFinished(20000);
        const double shown = child.readAllStandardOutput().trimmed().toDouble();
        if (shown > before) {
            times.push_back(shown - before);
        }
    }
    return times;
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc > 1 && qstrcmp(argv[1], "--startup-child") == 0) {
        return startupChild(argc, argv);
    }
    const int seconds = argc > 1 ? std::max(10, QByteArray(argv[1]).toInt()) : 60;

    TimingApplication a(argc, argv);
    ui::installFontSubstitutes();
    QTemporaryDir dir;
    qputenv("VANTEL_PORT_DIR", QFile::encodeName(dir.path()));
    const QStringList supply{"--voltage", "5", "--current", "1", "--output", "on"};

    std::printf("vantel-bench: platform %s, %d s monitoring, poll period %d ms\n",
                qPrintable(QGuiApplication::platformName()), seconds, kPollMs);

    // The window, driven as a user would: look for ports, open COM1, start.
    testsupport::SimProcess simVantel(dir.path());
    startSim(simVantel, dir.path(), 1, supply);
    // The window's serial control as main() makes it: over the engine, its port
    // shared; the device's QSerialPort tells when a reply's bytes arrive.
    const auto comm = line::makeEngineCommControl();
    QuietMessenger messenger;
    monitor::Form1 window(*comm, messenger);
    window.show();
    a.window = &window;
    if (auto *shared = comm->findChild<line::SharedPort *>()) {
        a.serialPort = shared->device().findChild<QSerialPort *>();
    }
    QObject::connect(window.T1, &ui::TextBox::Change, [&a] { a.shownArrival = a.lastArrival; });
    window.C32->click();
    window.Combo1->setCurrentText(QStringLiteral("COM1"));
    window.C31->click();
    window.C1->click();
    if (!comm->PortOpen() || !window.monitorRunning) {
        std::fprintf(stderr, "vantel-bench: could not start monitoring COM1\n");
        return 1;
    }

    // Reply to display: the actual voltage changes before every poll.
    QTimer vary;
    QObject::connect(&vary, &QTimer::timeout, [&simVantel] {
        const int centivolts = QRandomGenerator::global()->bounded(600, 999);
        simVantel.send(QStringLiteral("set actual-voltage %1").arg(centivolts / 100.0, 0, 'f', 2));
    });
    vary.start(kPollMs / 2);
    wait(kLatencySeconds * 1000);
    vary.stop();
    simVantel.send("set actual-voltage auto");
    const Stats latency = statsOf(a.latencies);
    wait(1000);

    // CPU and memory side by side with mbpoll on a second simulator.
    testsupport::SimProcess simMbpoll(dir.path());
    startSim(simMbpoll, dir.path(), 2, supply);
    QProcess mbpoll;
    mbpoll.setStandardOutputFile(QProcess::nullDevice());
    mbpoll.setStandardErrorFile(QProcess::nullDevice());
    mbpoll.start(QStringLiteral("mbpoll"),
                 {"-m", "rtu", "-a", "1", "-b", "9600", "-P", "none", "-t", "4", "-0", "-r", "4096",
                  "-c", "6", "-l", QString::number(kPollMs), dir.path() + "/COM2"});
    if (!mbpoll.waitForStarted()) {
        std::fprintf(stderr, "vantel-bench: mbpoll did not start\n");
        return 1;
    }
    const QString mbpollPid = QString::number(mbpoll.processId());
    wait(2000); // both settle

    const std::size_t vantelPollsBefore = requestTimes(simVantel).size();
    const std::size_t mbpollPollsBefore = requestTimes(simMbpoll).size();
    const double cpuVantel0 = cpuMs("self");
    const double cpuMbpoll0 = cpuMs(mbpollPid);
    long rssVantelMax = 0, rssMbpollMax = 0;
    double rssVantelSum = 0, rssMbpollSum = 0;
    int samples = 0;
    for (int s = 0; s < seconds; ++s) {
        wait(1000);
        const long rv = testsupport::residentKb();
        const long rm = testsupport::residentKb(mbpollPid);
        rssVantelMax = std::max(rssVantelMax, rv);
        rssMbpollMax = std::max(rssMbpollMax, rm);
        rssVantelSum += double(rv);
        rssMbpollSum += double(rm);
        ++samples;
    }
    const double cpuVantel = cpuMs("self") - cpuVantel0;
    const double cpuMbpoll = cpuMs(mbpollPid) - cpuMbpoll0;
    const std::vector<double> vantelTimes = requestTimes(simVantel);
    const std::vector<double> mbpollTimes = requestTimes(simMbpoll);
    const double vantelPolls = double(vantelTimes.size() - vantelPollsBefore);
    const double mbpollPolls = double(mbpollTimes.size() - mbpollPollsBefore);
    mbpoll.terminate();
    mbpoll.waitForFinished(3000);

    // vantel's window against the bare one, in alternating rounds, so that a
    // change in the machine's load falls on both alike.
    testsupport::SimProcess simBare(dir.path());
    startSim(simBare, dir.path(), 3, supply);
    BareWindow bare;
    bare.show();
    const int roundMs = std::max(5, seconds / 4) * 1000;
    double cpuRoundsV = 0, cpuRoundsB = 0, pollsRoundsV = 0, pollsRoundsB = 0;
    for (int round = 0; round < 2; ++round) {
        if (!window.monitorRunning) {
            window.C1->click();
        }
        wait(1000);
        double polls0 = double(requestTimes(simVantel).size());
        double cpu0 = cpuMs("self");
        wait(roundMs);
        cpuRoundsV += cpuMs("self") - cpu0;
        pollsRoundsV += double(requestTimes(simVantel).size()) - polls0;
        window.C1->click(); // the monitor stops
        if (!bare.start(dir.path() + "/COM3")) {
            std::fprintf(stderr, "vantel-bench: the bare window could not open COM3\n");
            break;
        }
        wait(1000);
        polls0 = double(requestTimes(simBare).size());
        cpu0 = cpuMs("self");
        wait(roundMs);
        cpuRoundsB += cpuMs("self") - cpu0;
        pollsRoundsB += double(requestTimes(simBare).size()) - polls0;
        bare.stop();
    }
    bare.close();
    window.close();

    const Stats periodV = statsOf(intervalsMs(vantelTimes));
    const Stats periodM = statsOf(intervalsMs(mbpollTimes));
    const std::vector<double> startups =
        startupTimes(QCoreApplication::applicationFilePath(), kStartups);
    const Stats startup = statsOf(startups);

    const double perPollV = cpuVantel / std::max(1.0, vantelPolls);
    const double perPollM = cpuMbpoll / std::max(1.0, mbpollPolls);
    const double rssV = rssVantelSum / std::max(1, samples) / 1024.0;
    const double rssM = rssMbpollSum / std::max(1, samples) / 1024.0;
    auto ratio = [](double a, double b) { return b > 0 ? QString::number(a / b, 'f', 1) : "-"; };

    std::printf("\n");
    row("figure", "vantel", "mbpoll", "ratio");
    std::printf("|%s|%s|%s|%s|\n", QByteArray(42, '-').constData(), QByteArray(26, '-').constData(),
                QByteArray(20, '-').constData(), QByteArray(9, '-').constData());
    row("poll period, mean, sd (target 350 ms)", periodText(periodV), periodText(periodM));
    row("poll period, min / p50 / p99 / max",
        QStringLiteral("%1 / %2 / %3 / %4")
            .arg(periodV.min, 0, 'f', 0)
            .arg(periodV.p50, 0, 'f', 0)
            .arg(periodV.p99, 0, 'f', 0)
            .arg(periodV.max, 0, 'f', 0),
        QStringLiteral("%1 / %2 / %3 / %4")
            .arg(periodM.min, 0, 'f', 0)
            .arg(periodM.p50, 0, 'f', 0)
            .arg(periodM.p99, 0, 'f', 0)
            .arg(periodM.max, 0, 'f', 0));
    row("polls counted (periods / CPU window)",
        QStringLiteral("%1 / %2").arg(periodV.count).arg(vantelPolls),
        QStringLiteral("%1 / %2").arg(periodM.count).arg(mbpollPolls));
    row("reply's last byte to display, mean, sd",
        QStringLiteral("%1, sd %2").arg(ms(latency.mean), ms(latency.sd)));
    row("reply's last byte to display, p50 / p99",
        QStringLiteral("%1 / %2 (n=%3)").arg(ms(latency.p50), ms(latency.p99)).arg(latency.count));
    row("CPU time per poll cycle", ms(perPollV), ms(perPollM), ratio(perPollV, perPollM));
    row("CPU load while polling",
        QStringLiteral("%1 %").arg(100.0 * cpuVantel / (seconds * 1000.0), 0, 'f', 2),
        QStringLiteral("%1 %").arg(100.0 * cpuMbpoll / (seconds * 1000.0), 0, 'f', 2),
        ratio(cpuVantel, cpuMbpoll));
    row("resident memory, mean (max)",
        QStringLiteral("%1 MB (%2)").arg(rssV, 0, 'f', 1).arg(rssVantelMax / 1024.0, 0, 'f', 1),
        QStringLiteral("%1 MB (%2)").arg(rssM, 0, 'f', 1).arg(rssMbpollMax / 1024.0, 0, 'f', 1),
        ratio(rssV, rssM));
    row("start-up to a shown window, mean, sd",
        QStringLiteral("%1, sd %2").arg(ms(startup.mean), ms(startup.sd)));
    row("start-up, min / max",
        QStringLiteral("%1 / %2 (n=%3)").arg(ms(startup.min), ms(startup.max)).arg(startup.count));

    const double perPollRoundsV = cpuRoundsV / std::max(1.0, pollsRoundsV);
    const double perPollRoundsB = cpuRoundsB / std::max(1.0, pollsRoundsB);
    std::printf("\n");
    row("figure", "vantel", "bare Qt window", "ratio");
    std::printf("|%s|%s|%s|%s|\n", QByteArray(42, '-').constData(), QByteArray(26, '-').constData(),
                QByteArray(20, '-').constData(), QByteArray(9, '-').constData());
    row("CPU time per poll, alternating rounds",
        QStringLiteral("%1 (%2 polls)").arg(ms(perPollRoundsV)).arg(pollsRoundsV),
        QStringLiteral("%1 (%2 polls)").arg(ms(perPollRoundsB)).arg(pollsRoundsB),
        QString::number(perPollRoundsB > 0 ? perPollRoundsV / perPollRoundsB : 0, 'f', 2));
    return 0;
}
