// Figures for the trend window, printed as a table; no pass or fail.
//
//   - memory of a full history: resident memory before and after recording a
//     day of samples (24 h at 350 ms), beside the bytes the samples themselves take;
//   - reduction: one pass of the min/max reduction over the whole day, per
//     quantity;
//   - redraw: the trend window showing "All" of that day at its default size:
//     the refresh that reduces the history and fills the chart, then the paint.
//     The current is noise over its whole range, the worst case for the paint.
//
// Usage: trend-bench [REDRAWS]   (default 20)

#include "support/recordingmessenger.h"
#include "support/simprocess.h"
#include "trend/history.h"
#include "trend/reduce.h"
#include "trend/trendwindow.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QPixmap>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <numeric>
#include <vector>

namespace {

constexpr int kPollMs = 350;

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

void row(const char *figure, const QString &value)
{
    std::printf("| %-52s | %-28s |\n", figure, qPrintable(value));
}

QString msText(const Figures &f)
{
    return QStringLiteral("%1 ms (max %2)").arg(f.mean, 0, 'f', 2).arg(f.max, 0, 'f', 2);
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    const int redraws = argc > 1 ? std::max(1, QByteArray(argv[1]).toInt()) : 20;

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
        const double start = threadCpuMs();
        window.refresh();
        const double refreshed = threadCpuMs();
        const QPixmap shown = window.view->grab(); // paints the chart as the screen would
        paintMs.push_back(threadCpuMs() - refreshed);
        refreshMs.push_back(refreshed - start);
        if (shown.isNull()) {
            return 1;
        }
    }

    std::printf("trend-bench: platform %s, %zu samples (%.1f h at %d ms), %d redraws, "
                "chart %dx%d px\n\n",
                qPrintable(QGuiApplication::platformName()), history.samples().size(),
                double(history.samples().back().time()) / 3.6e6, kPollMs, redraws,
                window.view->width(), window.view->height());
    row("figure", "value");
    std::printf("|%s|%s|\n", QByteArray(54, '-').constData(), QByteArray(30, '-').constData());
    row("samples of a full history, bytes (16 a sample)",
        QStringLiteral("%1 MB").arg(
            double(history.samples().size() * sizeof(trend::Sample)) / 1048576.0, 0, 'f', 2));
    row("resident memory added by a full history",
        QStringLiteral("%1 MB").arg(double(after - before) / 1024.0, 0, 'f', 2));
    row("min/max reduction of a full history, one quantity", msText(figuresOf(reduceMs)));
    row("redraw of a full day: reduce V, A, W, fill the chart", msText(figuresOf(refreshMs)));
    row("redraw of a full day: paint the chart", msText(figuresOf(paintMs)));
    return 0;
}
