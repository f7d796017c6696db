// Figures for vantel's bus window, printed as a table; no pass or fail.
//
// vantel's window, hosted here as main() builds it over the engine, monitors
// address 1 of vantel-sim with eight supplies (--address 1-8) on its timed line,
// whose actual values change all the time. Phases alternate over three rounds:
// the main window alone, then with the bus window open on all eight. Printed:
// the bus window's readings a second against what the line allows (a status read
// takes its request, its reply, the latency and the silences on the wire), each
// supply's longest wait between two readings, and the CPU time of this process per
// bus reading against the main window's per poll.
//
// Usage: bus-bench [SECONDS]   (default 20 s a phase and round)

#include "bench/processclock.h"
#include "bus/buswindow.h"
#include "bus/supplycard.h"
#include "line/enginecommcontrol.h"
#include "monitor/form1.h"
#include "panels/busentry.h"
#include "support/recordingmessenger.h"
#include "support/simprocess.h"
#include "ui/ceilings.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QLineEdit>
#include <QRandomGenerator>
#include <QSettings>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <map>

namespace {

using bench::processCpuMs;
using bench::wait;

constexpr int kRounds = 3;
constexpr int kSupplies = 8;
// One status read on the wire at 9600 baud: 8 request and 17 reply bytes of 10
// bits, the simulator's 10 ms latency, and 3.5 character times of silence before
// the request.
constexpr double kCharMs = 10.0 / 9600 * 1000;
constexpr double kReadMs = (8 + 17 + 3.5) * kCharMs + 10;

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20;
    QTemporaryDir dir;
    qputenv("VANTEL_PORT_DIR", QFile::encodeName(dir.path()));
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, dir.filePath("settings"));
    ui::userSettings()->setValue(QStringLiteral("records/folder"), dir.filePath("records"));
    testsupport::SimProcess sim(dir.path());
    sim.setOutputFile(dir.filePath(QStringLiteral("sim.txt")));
    sim.forwardErrors();
    if (!sim.start({"--port", "1", "--address", "1-8", "--output", "on"}, 5000)) {
        std::fprintf(stderr, "bus-bench: vantel-sim did not start\n");
        return 1;
    }
    std::unique_ptr<line::EngineCommControl> engine = line::makeEngineCommControl();
    testsupport::RecordingMessenger messenger;
    monitor::Form1 form(*engine, messenger);
    form.show();
    form.C32->click();
    form.Combo1->setCurrentText(QStringLiteral("COM1"));
    form.C31->click();
    form.C1->click();
    if (!form.monitorRunning) {
        std::fprintf(stderr, "bus-bench: could not start monitoring COM1\n");
        return 1;
    }
    QTimer vary;
    QObject::connect(&vary, &QTimer::timeout, [&sim] {
        auto *random = QRandomGenerator::global();
        sim.send(QStringLiteral("set actual-voltage %1").arg(random->bounded(600, 999) / 100.0));
        sim.send(QStringLiteral("set actual-current %1").arg(random->bounded(100, 999) / 1000.0));
    });
    vary.start(100);
    double polls = 0;
    QObject::connect(&form, &monitor::Form1::pollSent, [&polls] { ++polls; });
    auto *entry = form.findChild<QAction *>(QStringLiteral("busAction"));

    double aloneCpu = 0, alonePolls = 0, aloneMs = 0;
    double busCpu = 0, busPolls = 0, busMs = 0, readings = 0;
    std::map<int, double> longestGapMs;
    for (int round = 0; round < kRounds; ++round) {
        wait(1000);
        double cpu0 = processCpuMs(), polls0 = polls;
        QElapsedTimer clock;
        clock.start();
        wait(seconds * 1000);
        aloneCpu += processCpuMs() - cpu0;
        alonePolls += polls - polls0;
        aloneMs += clock.elapsed();

        entry->trigger();
        bus::BusWindow *w = panels::busWindowOf(&form);
        w->addressField()->setText(QStringLiteral("1-%1").arg(kSupplies));
        w->applyAddresses();
        std::map<int, qint64> last;
        double counted = 0;
        bool measuring = false;
        QElapsedTimer gaps;
        gaps.start();
        QObject::connect(w->poller(), &bus::Poller::readingTaken, w,
                         [&](const records::Reading &r) {
                             if (!measuring) {
                                 return;
                             }
                             ++counted;
                             const qint64 now = gaps.elapsed();
                             const auto it = last.find(r.row.address);
                             if (it != last.end()) {
                                 double &longest = longestGapMs[r.row.address];
                                 longest = std::max(longest, double(now - it->second));
                             }
                             last[r.row.address] = now;
                         });
        wait(1000);
        measuring = true;
        cpu0 = processCpuMs();
        polls0 = polls;
        clock.restart();
        wait(seconds * 1000);
        busCpu += processCpuMs() - cpu0;
        busPolls += polls - polls0;
        busMs += clock.elapsed();
        readings += counted;
        measuring = false;
        w->close();
        wait(200);
    }
    const double lineRate = 1000.0 / kReadMs;
    const double readingRate = readings / (busMs / 1000.0);
    const double mainRate = busPolls / (busMs / 1000.0);
    const double perPoll = aloneCpu / alonePolls;
    // The bus window's own CPU: what the phase cost beyond the main window's polls.
    const double perReading = (busCpu - perPoll * busPolls) / readings;
    std::printf("\nThe bus window with %d supplies on the simulator's timed line at 9600 baud "
                "(%d rounds of %d s)\n\n",
                kSupplies, kRounds, seconds);
    std::printf("| %-52s | %-22s |\n", "figure", "value");
    std::printf("|%s|%s|\n", QByteArray(54, '-').constData(), QByteArray(24, '-').constData());
    std::printf("| %-52s | %8.1f /s            |\n", "line's rate for status reads", lineRate);
    std::printf("| %-52s | %8.1f /s            |\n", "bus readings", readingRate);
    std::printf("| %-52s | %8.1f /s            |\n", "main window's polls beside them", mainRate);
    std::printf("| %-52s | %8.1f %%             |\n",
                "line use: (bus readings + polls) / line's rate",
                100.0 * (readingRate + mainRate) / lineRate);
    double worst = 0;
    for (const auto &[address, gap] : longestGapMs) {
        worst = std::max(worst, gap);
    }
    std::printf("| %-52s | %8.0f ms            |\n", "longest wait of a supply between readings",
                worst);
    std::printf("| %-52s | %8.3f ms (%6.0f)   |\n", "CPU per main-window poll, window alone",
                perPoll, alonePolls);
    std::printf("| %-52s | %8.3f ms (%6.0f)   |\n", "CPU per bus reading (beyond the polls)",
                perReading, readings);
    std::printf("\nGoals: line use at least 95 %%; CPU per bus reading at most the main "
                "window's per poll.\n");
    form.C1->click();
    form.C31->click();
    return 0;
}
