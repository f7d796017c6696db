// Figures for the trend window, printed as a table; no pass or fail.
//
//   - memory of a full history: resident memory before and after recording a
//     day of samples (24 h at 350 ms), beside the bytes the samples themselves take;
//   - reduction: one pass of the min/max reduction over the whole day, per
//     quantity;
//   - redraw: the trend window showing "All" of that day, from the refresh that
//     reduces the history to the end of the repaint of the chart, at its
//     default size.
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
#include <QElapsedTimer>
#include <QPixmap>

#include <algorithm>
#include <cmath>
#include <cstdio>
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
    QElapsedTimer clock;
    for (int i = 0; i < redraws; ++i) {
        clock.start();
        const trend::Trace t = trend::reduce(history.samples(), 0, history.samples().back().time(),
                                             800, trend::Quantity::Volts);
        reduceMs.push_back(double(clock.nsecsElapsed()) / 1e6);
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
    std::vector<double> redrawMs;
    for (int i = 0; i < redraws; ++i) {
        clock.start();
        window.refresh();
        const QPixmap shown = window.view->grab(); // paints the chart as the screen would
        redrawMs.push_back(double(clock.nsecsElapsed()) / 1e6);
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
    row("redraw of a full history in view, V, A and W", msText(figuresOf(redrawMs)));
    return 0;
}
