// Figures for the sequence window, printed as a table; no pass or fail.
//
// vantel's window, hosted here as main() builds it, monitors vantel-sim whose actual
// voltage and current change before every poll. CPU time per poll of this process
// (every thread) in three phases: the window alone; its trend open on the 1-minute
// window; the trend closed and the sequence window open with a run going (an until
// judged on every reading, each reading a row flushed to the run's record). The
// phases alternate over several rounds, so that a change in the machine's load
// falls on all of them. The run's own cost per poll is set beside the trend's.
//
// Usage: sequence-bench [SECONDS]   (default 20 s a phase and round)

#include "bench/processclock.h"
#include "monitor/form1.h"
#include "panels/codeeditor.h"
#include "panels/monitorpanels.h"
#include "panels/windows.h"
#include "serial/qtcommcontrol.h"
#include "support/recordingmessenger.h"
#include "support/simprocess.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QPushButton>
#include <QRandomGenerator>
#include <QSettings>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>
#include <functional>
#include <vector>

namespace {

using bench::processCpuMs;
using bench::wait;

constexpr int kPollMs = 350;
constexpr int kRounds = 3;

struct Phase {
    const char *name;
    double cpuMs = 0;
    double polls = 0;
    double perPoll() const { return polls > 0 ? cpuMs / polls : 0; }
};

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
    if (!sim.start({"--port", "1", "--voltage", "10", "--current", "1", "--output", "on"}, 5000)) {
        std::fprintf(stderr, "sequence-bench: vantel-sim did not start\n");
        return 1;
    }
    serial::QtCommControl comm;
    testsupport::RecordingMessenger messenger;
    monitor::Form1 form(comm, messenger);
    form.show();
    form.C32->click();
    form.Combo1->setCurrentText(QStringLiteral("COM1"));
    form.C31->click();
    form.C1->click();
    if (!form.monitorRunning) {
        std::fprintf(stderr, "sequence-bench: could not start monitoring COM1\n");
        return 1;
    }
    QTimer vary;
    QObject::connect(&vary, &QTimer::timeout, [&sim] {
        auto *random = QRandomGenerator::global();
        sim.send(QStringLiteral("set actual-voltage %1").arg(random->bounded(600, 999) / 100.0));
        sim.send(QStringLiteral("set actual-current %1").arg(random->bounded(100, 999) / 1000.0));
    });
    vary.start(kPollMs / 2);
    double polls = 0;
    QObject::connect(&form, &monitor::Form1::pollSent, [&polls] { ++polls; });

    auto *openTrend = form.findChild<QAction *>(QStringLiteral("trendAction"));
    QWidget *trend = nullptr;
    if (openTrend != nullptr) {
        openTrend->trigger();
        for (QWidget *w : QApplication::topLevelWidgets()) {
            if (w->objectName() == QLatin1String("TrendWindow")) {
                trend = w;
            }
        }
        if (trend != nullptr) {
            trend->hide();
        }
    }
    panels::MonitorPanels &bench = form.panels();
    bench.showSequenceWindow();
    auto *sequence = form.findChild<panels::SequenceWindow *>();
    sequence->editor->setPlainText(QStringLiteral("until current < 0.01A for 3\n"));
    sequence->hide();
    wait(2000);

    std::vector<Phase> phases{{"vantel alone"},
                              {"vantel, its trend open on 1 min"},
                              {"vantel, the sequence window open, a run going"}};
    const auto measure = [&](Phase &phase) {
        wait(1000); // settles after the change
        const double cpu0 = processCpuMs();
        const double polls0 = polls;
        wait(seconds * 1000);
        phase.cpuMs += processCpuMs() - cpu0;
        phase.polls += polls - polls0;
    };
    for (int round = 0; round < kRounds; ++round) {
        measure(phases[0]);
        if (trend != nullptr) {
            openTrend->trigger();
            measure(phases[1]);
            trend->hide();
        }
        bench.showSequenceWindow();
        sequence->startButton->click();
        if (!bench.running()) {
            std::fprintf(stderr, "sequence-bench: the run did not start\n");
            return 1;
        }
        measure(phases[2]);
        sequence->stopKeepButton->click();
        sequence->hide();
    }

    std::printf("\nCPU time per poll (%d rounds of %d s a phase, values changing every poll)\n\n",
                kRounds, seconds);
    std::printf("| %-48s | %-24s |\n", "phase", "CPU per poll (polls)");
    std::printf("|%s|%s|\n", QByteArray(50, '-').constData(), QByteArray(26, '-').constData());
    for (const Phase &p : phases) {
        if (p.polls > 0) {
            std::printf("| %-48s | %7.3f ms (%5.0f)       |\n", p.name, p.perPoll(), p.polls);
        }
    }
    const double runCost = phases[2].perPoll() - phases[0].perPoll();
    std::printf("\nThe run's own cost per poll: %.3f ms", runCost);
    if (phases[1].polls > 0) {
        const double trendCost = phases[1].perPoll() - phases[0].perPoll();
        std::printf(", the open trend's: %.3f ms (goal: the run's no more than the trend's)",
                    trendCost);
    }
    std::printf("\n");
    return 0;
}
