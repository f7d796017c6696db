// Figures for the trend window, printed as a table; no pass or fail.
//
//   - memory of a full history: resident memory before and after recording a
//     day of samples (24 h at 350 ms), beside the bytes the samples themselves take;
//   - reduction: one pass of the min/max reduction over the whole day, per
//     quantity;
//   - redraw: the trend window showing "All" of that day at its default size:
//     the refresh that reduces the history and fills the plot, then the paint
//     (the replot and a grab of the widget, as the screen would get it). The
//     current is noise over its whole range, the worst case for the paint. Qt
//     Charts, which drew the trend before, is no longer built: its figures,
//     measured the same way on this machine, are printed beside as the reference;
//   - cost per poll of the open trend: vantel's window, hosted here as main()
//     builds it, monitors vantel-sim whose actual voltage and current change
//     before every poll. CPU time per poll of this process with vantel alone, with
//     its trend open on the 1-minute window, and with the trend closed again;
//     then, with vantel stopped, a bare live plot built here: a window holding
//     only a QCustomPlot with two graphs, the same size as the trend's plot, that
//     appends one point to each every poll period over a sliding minute and
//     replots. The phases alternate over several rounds, so that a change in the
//     machine's load falls on all of them.
//
// Usage: trend-bench [REDRAWS [SECONDS]]   (default 20 redraws, 20 s a phase and round)

#include "bench/processclock.h"
#include "monitor/form1.h"
#include "serial/qtcommcontrol.h"
#include "support/recordingmessenger.h"
#include "support/simprocess.h"
#include "trend/history.h"
#include "trend/reduce.h"
#include "trend/trendwindow.h"
#include "ui/widgets.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QPixmap>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTimer>
#include <qcustomplot.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <numeric>
#include <vector>

namespace {

using bench::processCpuMs;
using bench::wait;

constexpr int kPollMs = 350;
constexpr int kRounds = 3;
// Qt Charts drawing the same day in the same window, from the last run that had it.
constexpr double kChartsFillMs = 33.0;
constexpr double kChartsPaintMs = 12.0;

struct Figures {
    double mean = 0, max = 0;
};

Figures figuresOf(const std::vector<double> &ms)
{
    Figures f;
    f.mean = std::accumulate(ms.begin(), ms.end(), 0.0) / double(ms.size());
    f.max = *std::max_element(ms.begin(), ms.end());
    return f;
}

double threadCpuMs()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) * 1e3 + double(ts.tv_nsec) / 1e6;
}

void row(const char *figure, const QString &value, const QString &reference = {})
{
    std::printf("| %-52s | %-28s | %-22s |\n", figure, qPrintable(value), qPrintable(reference));
}

// A live plot as small as one gets: two graphs, one point appended to each every
// poll period, the time axis sliding over the last minute, a replot each time.
class BarePlot : public QCustomPlot {
public:
    explicit BarePlot(QSize size)
    {
        resize(size);
        auto ticker = QSharedPointer<QCPAxisTickerDateTime>::create();
        ticker->setDateTimeFormat(QStringLiteral("HH:mm:ss"));
        xAxis->setTicker(ticker);
        addGraph(xAxis, yAxis)->setPen(QPen(Qt::red, 1));
        addGraph(xAxis, yAxis2)->setPen(QPen(Qt::darkGreen, 1));
        yAxis->setRange(0, 11);
        yAxis2->setVisible(true);
        yAxis2->setRange(0, 1.1);
        connect(&m_timer, &QTimer::timeout, this, [this] {
            const double now = double(QDateTime::currentMSecsSinceEpoch()) / 1000.0;
            auto *random = QRandomGenerator::global();
            graph(0)->addData(now, 6.0 + random->bounded(4.0));
            graph(1)->addData(now, 0.1 + random->bounded(0.9));
            xAxis->setRange(now, 60, Qt::AlignRight);
            replot();
            ++appended;
        });
    }
    void start() { m_timer.start(kPollMs); }
    void stop() { m_timer.stop(); }

    long appended = 0;

private:
    QTimer m_timer;
};

// The CPU time per poll of each phase, summed over the rounds.
struct Phase {
    const char *name;
    double cpuMs = 0;
    double polls = 0;
    double perPoll() const { return polls > 0 ? cpuMs / polls : 0; }
};

// vantel and its trend against vantel-sim, then the bare plot: the figures of
// the per-poll cost, or an empty list when the monitor could not start.
std::vector<Phase> pollCosts(int seconds)
{
    QTemporaryDir dir;
    qputenv("VANTEL_PORT_DIR", QFile::encodeName(dir.path()));
    testsupport::SimProcess sim(dir.path());
    sim.setOutputFile(dir.filePath(QStringLiteral("sim.txt")));
    sim.forwardErrors();
    if (!sim.start({"--port", "1", "--voltage", "10", "--current", "1", "--output", "on"}, 5000)) {
        std::fprintf(stderr, "trend-bench: vantel-sim did not start\n");
        return {};
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
        std::fprintf(stderr, "trend-bench: could not start monitoring COM1\n");
        return {};
    }
    // New values before every poll, so that every poll has something new to draw.
    QTimer vary;
    QObject::connect(&vary, &QTimer::timeout, [&sim] {
        auto *random = QRandomGenerator::global();
        sim.send(QStringLiteral("set actual-voltage %1").arg(random->bounded(600, 999) / 100.0));
        sim.send(QStringLiteral("set actual-current %1").arg(random->bounded(100, 999) / 1000.0));
    });
    vary.start(kPollMs / 2);
    auto *openTrend = form.findChild<QAction *>(QStringLiteral("trendAction"));
    openTrend->trigger();
    auto *trendWindow = form.findChild<trend::TrendWindow *>();
    const QSize plotSize = trendWindow->view->size();
    trendWindow->hide();
    BarePlot bare(plotSize);
    wait(2000);

    std::vector<Phase> phases{{"vantel alone"},
                              {"vantel, its trend open on 1 min"},
                              {"vantel, its trend closed again"},
                              {"bare live plot alone (vantel stopped)"}};
    const auto measure = [&](Phase &phase, const std::function<double()> &count) {
        wait(1000); // settles after the change
        const double cpu0 = processCpuMs();
        const double count0 = count();
        wait(seconds * 1000);
        phase.cpuMs += processCpuMs() - cpu0;
        phase.polls += count() - count0;
    };
    const auto samples = [&form] { return double(form.history().samples().size()); };
    for (int round = 0; round < kRounds; ++round) {
        measure(phases[0], samples);
        openTrend->trigger();
        measure(phases[1], samples);
        trendWindow->hide();
        measure(phases[2], samples);
        form.C1->click();
        vary.stop();
        bare.show();
        bare.start();
        measure(phases[3], [&bare] { return double(bare.appended); });
        bare.stop();
        bare.hide();
        vary.start(kPollMs / 2);
        form.C1->click();
    }
    return phases;
}

QString msText(const Figures &f)
{
    return QStringLiteral("%1 ms (max %2)").arg(f.mean, 0, 'f', 2).arg(f.max, 0, 'f', 2);
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    ui::installFontSubstitutes();
    const int redraws = argc > 1 ? std::max(1, QByteArray(argv[1]).toInt()) : 20;
    const int seconds = argc > 2 ? std::max(5, QByteArray(argv[2]).toInt()) : 20;

    // A day and a bit of polling (the store keeps 24 h): a slow sine on the voltage, noise on the
    // current, a silence every two hours.
    const long before = testsupport::residentKb();
    trend::History history;
    const std::size_t day = trend::SampleStore::kCapacity;
    for (std::size_t i = 0; i < day; ++i) {
        const std::int64_t ms = std::int64_t(i) * kPollMs;
        if (ms % (2 * 3600 * 1000) < kPollMs) {
            history.endSegment();
        }
        protocol::StatusReading r;
        r.setVoltage = 1200;
        r.setCurrent = 1500;
        r.actualVoltage = std::uint16_t(1200 + 300 * std::sin(double(ms) / 600000.0));
        r.actualCurrent = std::uint16_t(800 + (i * 7919) % 400);
        r.outputOn = true;
        r.mode = 1;
        history.recordAt(ms, r);
    }
    const long after = testsupport::residentKb();

    std::vector<double> reduceMs;
    for (int i = 0; i < redraws; ++i) {
        const double start = threadCpuMs();
        const trend::Trace t = trend::reduce(history.samples(), 0, history.samples().back().time(),
                                             800, trend::Quantity::Volts);
        reduceMs.push_back(threadCpuMs() - start);
        if (t.points.empty()) {
            return 1;
        }
    }

    testsupport::RecordingMessenger messenger;
    trend::TrendWindow window(history, messenger);
    window.show();
    window.timeWindow->setCurrentIndex(window.timeWindow->count() - 1); // All
    window.power->setChecked(true);
    QApplication::processEvents();
    // Thread CPU time, which a busy shared machine disturbs less than the clock.
    std::vector<double> refreshMs, paintMs;
    for (int i = 0; i < redraws; ++i) {
        // One more poll, as "All" redraws when a new sample has come.
        protocol::StatusReading r;
        r.setVoltage = 1200;
        r.setCurrent = 1500;
        r.actualVoltage = std::uint16_t(1200 + i);
        r.actualCurrent = std::uint16_t(800 + (i * 7919) % 400);
        r.outputOn = true;
        r.mode = 1;
        history.recordAt(history.samples().back().time() + kPollMs, r);
        const double start = threadCpuMs();
        window.refresh();
        const double refreshed = threadCpuMs();
        window.view->replot();
        const QPixmap shown = window.view->grab(); // paints the plot as the screen would
        paintMs.push_back(threadCpuMs() - refreshed);
        refreshMs.push_back(refreshed - start);
        if (shown.isNull()) {
            return 1;
        }
    }

    std::printf("trend-bench: platform %s, %zu samples (%.1f h at %d ms), %d redraws, "
                "plot %dx%d px\n\n",
                qPrintable(QGuiApplication::platformName()), history.samples().size(),
                double(history.samples().back().time()) / 3.6e6, kPollMs, redraws,
                window.view->width(), window.view->height());
    const Figures refresh = figuresOf(refreshMs), paint = figuresOf(paintMs);
    row("figure", "QCustomPlot", "Qt Charts (reference)");
    std::printf("|%s|%s|%s|\n", QByteArray(54, '-').constData(), QByteArray(30, '-').constData(),
                QByteArray(24, '-').constData());
    row("samples of a full history, bytes (16 a sample)",
        QStringLiteral("%1 MB").arg(
            double(history.samples().size() * sizeof(trend::Sample)) / 1048576.0, 0, 'f', 2));
    row("resident memory added by a full history",
        QStringLiteral("%1 MB").arg(double(after - before) / 1024.0, 0, 'f', 2));
    row("min/max reduction of a full history, one quantity", msText(figuresOf(reduceMs)));
    const auto reference = [](double v) { return QStringLiteral("%1 ms").arg(v, 0, 'f', 0); };
    row("redraw of a full day: reduce V, A, W, fill the plot", msText(refresh),
        reference(kChartsFillMs));
    row("redraw of a full day: paint the plot", msText(paint), reference(kChartsPaintMs));
    row("redraw of a full day: both",
        QStringLiteral("%1 ms").arg(refresh.mean + paint.mean, 0, 'f', 2),
        reference(kChartsFillMs + kChartsPaintMs));
    std::fflush(stdout);
    window.hide();

    const std::vector<Phase> phases = pollCosts(seconds);
    if (phases.empty()) {
        return 1;
    }
    std::printf("\nCPU time per poll (%d rounds of %d s a phase, values changing every poll)\n\n",
                kRounds, seconds);
    std::printf("| %-52s | %-28s |\n", "phase", "CPU per poll (polls)");
    std::printf("|%s|%s|\n", QByteArray(54, '-').constData(), QByteArray(30, '-').constData());
    for (const Phase &p : phases) {
        std::printf(
            "| %-52s | %-28s |\n", p.name,
            qPrintable(QStringLiteral("%1 ms (%2)").arg(p.perPoll(), 0, 'f', 3).arg(p.polls)));
    }
    const double trendCost = phases[1].perPoll() - phases[0].perPoll();
    const double closedCost = phases[2].perPoll() - phases[0].perPoll();
    const double bareCost = phases[3].perPoll();
    std::printf("| %-52s | %-28s |\n", "the open trend's own cost (open minus alone)",
                qPrintable(QStringLiteral("%1 ms").arg(trendCost, 0, 'f', 3)));
    std::printf("| %-52s | %-28s |\n", "the closed trend's own cost (closed minus alone)",
                qPrintable(QStringLiteral("%1 ms").arg(closedCost, 0, 'f', 3)));
    std::printf("| %-52s | %-28s |\n", "open trend / bare live plot (goal at most 1.0)",
                qPrintable(bareCost > 0 ? QString::number(trendCost / bareCost, 'f', 2)
                                        : QStringLiteral("-")));
    return 0;
}
