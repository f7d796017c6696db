// vantel's main window beside a bare Qt window, per poll; a table, no pass or fail.
//
// The window is hosted as main() builds it (its serial control over the engine, its
// port shared as every program of ours shares it) and monitors vantel-sim on its
// timed line at 350 ms; a bare Qt window (bench/barewindow.h) polls a second
// simulator at the same period with a plain QSerialPort and shows the six values.
// Both simulators change their actual values between polls, so that every reply
// shows something new. The two alternate in rounds in this one process, so that a
// change in the machine's load falls on both alike. Printed for each: CPU time per
// poll (every thread, the scheduler's counters), and context switches per poll,
// voluntary (a thread went to sleep: each is a wake-up) and the others.
//
// Under callgrind (valgrind --tool=callgrind --collect-atstart=no) each phase is
// also collected and dumped apart, named "window POLLS" or "bare POLLS", so that
// instructions per poll can be read from the dumps: a figure that does not swing
// with the machine's load (scripts/bench-window.sh does so).
//
// Usage: window-bench [SECONDS [ROUNDS [LINE]]]
//   default 20 s a phase, 3 rounds, the simulators' timed line ("instant": bytes
//   take no time, each reply comes whole)

#include "bench/barewindow.h"
#include "bench/processclock.h"
#include "line/enginecommcontrol.h"
#include "monitor/form1.h"
#include "support/recordingmessenger.h"
#include "support/simprocess.h"
#include "ui/ceilings.h"

#include <QApplication>
#include <QFile>
#include <QRandomGenerator>
#include <QSettings>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>

#include <fcntl.h>
#include <functional>
#include <unistd.h>

#if __has_include(<valgrind/callgrind.h>)
#include <valgrind/callgrind.h>
#define VANTEL_CALLGRIND 1
#endif

namespace {

using bench::processCpuMs;
using bench::processSwitches;
using bench::wait;

struct Phase {
    double cpuMs = 0;
    double polls = 0;
    double voluntary = 0;
    double involuntary = 0;

    double per(double total) const { return polls > 0 ? total / polls : 0; }
};

// Measures `seconds` of what runs now into `phase`, `polls` counting its polls; under
// callgrind the same span is collected and dumped as "NAME POLLS".
void measure(Phase &phase, const char *name, int seconds, const std::function<long()> &polls)
{
    const long polls0 = polls();
    const double cpu0 = processCpuMs();
    const bench::Switches switches0 = processSwitches();
#ifdef VANTEL_CALLGRIND
    CALLGRIND_ZERO_STATS;
    CALLGRIND_TOGGLE_COLLECT;
#endif
    wait(seconds * 1000);
#ifdef VANTEL_CALLGRIND
    CALLGRIND_TOGGLE_COLLECT;
    const QByteArray dump = QByteArray(name) + ' ' + QByteArray::number(polls() - polls0);
    CALLGRIND_DUMP_STATS_AT(dump.constData());
#else
    Q_UNUSED(name);
#endif
    const bench::Switches switches = processSwitches();
    phase.cpuMs += processCpuMs() - cpu0;
    phase.polls += double(polls() - polls0);
    phase.voluntary += switches.voluntary - switches0.voluntary;
    phase.involuntary += switches.involuntary - switches0.involuntary;
}

// A simulator on COM`port` whose commands come through a FIFO, so that changing
// its values costs this process one plain write and no turn of the event loop.
// Returns the FIFO's descriptor, or -1.
int startSim(testsupport::SimProcess &sim, const QTemporaryDir &dir, int port, const QString &line)
{
    const QString fifo = dir.filePath(QStringLiteral("control%1").arg(port));
    sim.setOutputFile(dir.filePath(QStringLiteral("sim%1.txt").arg(port)));
    sim.forwardErrors();
    if (!sim.start({"--port", QString::number(port), "--voltage", "10", "--current", "1",
                    "--output", "on", "--line", line, "--control", fifo},
                   5000)) {
        return -1;
    }
    return ::open(QFile::encodeName(fifo).constData(), O_WRONLY | O_NONBLOCK);
}

// New actual values for the simulator behind `fifo`.
void vary(int fifo)
{
    auto *random = QRandomGenerator::global();
    const QByteArray commands = QStringLiteral("set actual-voltage %1\nset actual-current %2\n")
                                    .arg(random->bounded(600, 999) / 100.0)
                                    .arg(random->bounded(100, 999) / 1000.0)
                                    .toUtf8();
    [[maybe_unused]] const ssize_t n =
        ::write(fifo, commands.constData(), static_cast<std::size_t>(commands.size()));
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20;
    const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
    const QString line = argc > 3 ? QString::fromLocal8Bit(argv[3]) : QStringLiteral("timed");
    QTemporaryDir dir;
    qputenv("VANTEL_PORT_DIR", QFile::encodeName(dir.path()));
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, dir.filePath("settings"));
    ui::userSettings()->setValue(QStringLiteral("records/folder"), dir.filePath("records"));
    testsupport::SimProcess simWindow(dir.path());
    testsupport::SimProcess simBare(dir.path());
    const int fifoWindow = startSim(simWindow, dir, 1, line);
    const int fifoBare = startSim(simBare, dir, 2, line);
    if (fifoWindow < 0 || fifoBare < 0) {
        std::fprintf(stderr, "window-bench: vantel-sim did not start\n");
        return 1;
    }

    std::unique_ptr<line::EngineCommControl> engine = line::makeEngineCommControl();
    testsupport::RecordingMessenger messenger;
    monitor::Form1 form(*engine, messenger);
    form.show();
    form.C32->click();
    form.Combo1->setCurrentText(QStringLiteral("COM1"));
    form.C31->click();
    long windowPolls = 0;
    QObject::connect(&form, &monitor::Form1::pollSent, [&windowPolls] { ++windowPolls; });
    // Only the window measured is shown: the other draws nothing (a focused
    // field's blinking cursor included).
    bench::BareWindow bare;

    // The simulator of the window measured changes its values twice a poll.
    int varied = fifoWindow;
    QTimer changes;
    QObject::connect(&changes, &QTimer::timeout, [&varied] { vary(varied); });
    changes.start(bench::BareWindow::kPollMs / 2);

    Phase window, plain;
    for (int round = 0; round < rounds; ++round) {
        varied = fifoWindow;
        bare.hide();
        form.show();
        form.C1->click(); // the monitor starts
        if (!form.monitorRunning) {
            std::fprintf(stderr, "window-bench: could not start monitoring COM1\n");
            return 1;
        }
        wait(1000); // settles
        measure(window, "window", seconds, [&windowPolls] { return windowPolls; });
        form.C1->click(); // the monitor stops

        form.hide();
        bare.show();
        varied = fifoBare;
        if (!bare.start(simBare.pty())) {
            std::fprintf(stderr, "window-bench: the bare window could not open its port\n");
            return 1;
        }
        wait(1000);
        measure(plain, "bare", seconds, [&bare] { return bare.polls(); });
        bare.stop();
    }
    changes.stop();
    ::close(fifoWindow);
    ::close(fifoBare);

    std::printf("\nvantel's window against a bare Qt window, per poll (%d rounds of %d s, "
                "alternating; values changing every poll; the simulators' %s line)\n\n",
                rounds, seconds, qPrintable(line));
    std::printf("| %-34s | %-16s | %-16s | %-6s |\n", "figure", "vantel", "bare Qt window",
                "ratio");
    std::printf("|%s|%s|%s|%s|\n", QByteArray(36, '-').constData(), QByteArray(18, '-').constData(),
                QByteArray(18, '-').constData(), QByteArray(8, '-').constData());
    const auto row = [](const char *figure, double v, double b, const char *unit) {
        std::printf("| %-34s | %9.3f %-6s | %9.3f %-6s | %6.2f |\n", figure, v, unit, b, unit,
                    b > 0 ? v / b : 0.0);
    };
    row("CPU time per poll", window.per(window.cpuMs), plain.per(plain.cpuMs), "ms");
    row("voluntary context switches a poll", window.per(window.voluntary),
        plain.per(plain.voluntary), "");
    row("other context switches a poll", window.per(window.involuntary),
        plain.per(plain.involuntary), "");
    std::printf("| %-34s | %16.0f | %16.0f | %6s |\n", "polls", window.polls, plain.polls, "");
    form.C31->click();
    return 0;
}
