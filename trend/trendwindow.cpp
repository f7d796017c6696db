#include "trend/trendwindow.h"

#include "help/helpwindow.h"
#include "trend/csvexport.h"
#include "trend/savedialog.h"
#include "ui/messenger.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QImageWriter>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>
#include <QSaveFile>
#include <QStandardPaths>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>

namespace trend {

namespace {

constexpr qint64 kMinute = 60 * 1000;

// The least top of each value axis, so that an idle output still gets a scale.
double leastTop(Quantity quantity)
{
    return quantity == Quantity::Amps ? 0.1 : 1.0;
}

QString timeStamp()
{
    return QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"));
}

} // namespace

PlotView::PlotView(QWidget *parent) : QCustomPlot(parent)
{
    // A left drag draws a rectangle; letting go zooms the time axis into it.
    setSelectionRectMode(QCP::srmZoom);
    axisRect()->setRangeZoom(Qt::Horizontal);
    axisRect()->setRangeZoomAxes(xAxis, nullptr);
}

void PlotView::mouseDoubleClickEvent(QMouseEvent *event)
{
    event->accept();
    emit resetRequested();
}

void PlotView::mousePressEvent(QMouseEvent *event)
{
    // Any button starts the plot's zoom rectangle; only the left one is meant to.
    if (event->button() != Qt::LeftButton) {
        event->accept();
        return;
    }
    QCustomPlot::mousePressEvent(event);
}

void PlotView::mouseReleaseEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton) {
        event->accept();
        return;
    }
    QCustomPlot::mouseReleaseEvent(event);
}

TrendWindow::TrendWindow(History &history, ui::Messenger &messenger, QWidget *parent)
    : QWidget(parent, Qt::Window), m_history(history), m_messenger(messenger)
{
    setObjectName(QStringLiteral("TrendWindow"));
    setWindowTitle(QStringLiteral("vantel - trend"));
    resize(900, 540);
    help::addHelp(this, QStringLiteral("window.md"), QStringLiteral("The trend"));
    m_askPath = [this](const QString &caption, const QString &filter, const QString &suggested) {
        return askSavePath(this, caption, suggested, filter);
    };

    timeWindow = new QComboBox(this);
    timeWindow->addItem(tr("1 min"), kMinute);
    timeWindow->addItem(tr("10 min"), 10 * kMinute);
    timeWindow->addItem(tr("1 h"), 60 * kMinute);
    timeWindow->addItem(tr("All"), 0);
    pause = new QPushButton(tr("Pause"), this);
    pause->setCheckable(true);
    power = new QCheckBox(tr("Power"), this);
    saveCsvButton = new QPushButton(tr("Save CSV…"), this);
    savePngButton = new QPushButton(tr("Save PNG…"), this);
    counters = new QLabel(this);
    counters->setTextInteractionFlags(Qt::TextSelectableByMouse);
    resetCounters = new QPushButton(tr("Reset"), this);
    view = new PlotView(this);
    buildPlot();

    auto *top = new QHBoxLayout;
    top->addWidget(new QLabel(tr("Time window:"), this));
    top->addWidget(timeWindow);
    top->addWidget(pause);
    top->addWidget(power);
    top->addStretch();
    top->addWidget(saveCsvButton);
    top->addWidget(savePngButton);
    auto *bottom = new QHBoxLayout;
    bottom->addWidget(counters);
    bottom->addWidget(resetCounters);
    bottom->addStretch();
    bottom->addWidget(new QLabel(tr("Drag to zoom, double-click to reset"), this));
    auto *layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(view, 1);
    layout->addLayout(bottom);

    connect(&m_history, &History::recorded, this, [this] {
        showCounters();
        // A new sample moves the view by less than a pixel column until a column's
        // worth of time has passed: a long view redraws once a column, not once a poll.
        const std::int64_t column = (m_viewTo - m_viewFrom) / m_columns;
        if (!pause->isChecked() && !m_zoomed && m_history.nowMs() - m_drawnAt >= column) {
            refresh();
        }
    });
    connect(&m_history, &History::countersReset, this, &TrendWindow::showCounters);
    connect(resetCounters, &QPushButton::clicked, &m_history, &History::resetCounters);
    connect(timeWindow, &QComboBox::currentIndexChanged, this, &TrendWindow::resetView);
    connect(pause, &QPushButton::toggled, this, [this](bool paused) {
        m_pausedAt = m_history.nowMs();
        if (!paused) {
            refresh();
        }
    });
    connect(power, &QCheckBox::toggled, this, &TrendWindow::refresh);
    connect(view, &PlotView::resetRequested, this, &TrendWindow::resetView);
    connect(saveCsvButton, &QPushButton::clicked, this, [this] {
        const QString path = askPath(tr("Save CSV"), tr("CSV files (*.csv)"),
                                     QStandardPaths::DocumentsLocation, QStringLiteral("csv"));
        if (!path.isEmpty()) {
            saveCsv(path);
        }
    });
    connect(savePngButton, &QPushButton::clicked, this, [this] {
        const QString path = askPath(tr("Save PNG"), tr("PNG images (*.png)"),
                                     QStandardPaths::PicturesLocation, QStringLiteral("png"));
        if (!path.isEmpty()) {
            savePng(path);
        }
    });
    showCounters();
}

void TrendWindow::buildPlot()
{
    // Keys are seconds since 1970 (the wall clock), as the date-time ticker reads them.
    auto ticker = QSharedPointer<QCPAxisTickerDateTime>::create();
    ticker->setDateTimeFormat(QStringLiteral("HH:mm:ss"));
    ticker->setTickCount(7);
    view->xAxis->setTicker(ticker);
    view->legend->setVisible(true);
    // The zoom rectangle's layer shares the plot's one paint buffer: a second,
    // full-size buffer would be cleared and blended at every replot, which costs
    // more than the full replots a drag then takes.
    view->layer(QStringLiteral("overlay"))->setMode(QCPLayer::lmLogical);
    view->legend->setFillOrder(QCPLegend::foColumnsFirst);
    view->axisRect()->insetLayout()->setInsetAlignment(0, Qt::AlignTop | Qt::AlignHCenter);

    struct Look {
        Quantity quantity;
        QString name;
        QString unit;
        QColor colour;
        QCPAxis *axis;
    };
    const Look looks[] = {
        {Quantity::Volts, tr("Voltage (V)"), QStringLiteral("V"), QColor(220, 0, 0), view->yAxis},
        {Quantity::Amps, tr("Current (A)"), QStringLiteral("A"), QColor(0, 150, 0), view->yAxis2},
        {Quantity::Watts, tr("Power (W)"), QStringLiteral("W"), QColor(0, 70, 220),
         view->axisRect()->addAxis(QCPAxis::atRight)},
    };
    for (const Look &look : looks) {
        QCPAxis *axis = look.axis;
        axis->setVisible(true);
        axis->setLabel(look.unit);
        axis->setNumberFormat(QStringLiteral("g"));
        axis->setNumberPrecision(3);
        axis->setBasePen(QPen(look.colour));
        axis->setTickPen(QPen(look.colour));
        axis->setSubTickPen(QPen(look.colour));
        axis->setTickLabelColor(look.colour);
        axis->setLabelColor(look.colour);
        axis->setRange(0, leastTop(look.quantity));
        QCPGraph *graph = view->addGraph(view->xAxis, axis);
        graph->setName(look.name);
        // One pixel wide: QCustomPlot draws that as a cosmetic pen, many times
        // faster than a wider line over a noisy day.
        graph->setPen(QPen(look.colour, 1));
        // A full day holds at most two points a pixel column after reduce();
        // the graph's own sampling thins whatever a zoom leaves denser.
        graph->setAdaptiveSampling(true);
        m_plots.push_back({look.quantity, axis, graph});
    }
    connect(view->xAxis, qOverload<const QCPRange &>(&QCPAxis::rangeChanged), this,
            &TrendWindow::zoomed);
}

void TrendWindow::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    QTimer::singleShot(0, this, &TrendWindow::refresh);
}

void TrendWindow::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    QTimer::singleShot(0, this, &TrendWindow::refresh);
}

void TrendWindow::changeEvent(QEvent *event)
{
    QWidget::changeEvent(event);
    // Nothing is drawn while minimised: catch up when shown again.
    if (event->type() == QEvent::WindowStateChange && !isMinimized()) {
        QTimer::singleShot(0, this, &TrendWindow::refresh);
    }
}

void TrendWindow::refresh()
{
    if (!isVisible() || isMinimized()) {
        return;
    }
    const SampleStore &samples = m_history.samples();
    if (!m_zoomed) {
        std::int64_t end = pause->isChecked() ? m_pausedAt : m_history.nowMs();
        if (!pause->isChecked() && !samples.empty()) {
            end = std::max(end, samples.back().time());
        }
        const std::int64_t span = timeWindow->currentData().toLongLong();
        if (span > 0) {
            m_viewFrom = end - span;
        } else {
            m_viewFrom = samples.empty() ? end - kMinute : std::min(samples.front().time(), end);
        }
        m_viewTo = std::max(end, m_viewFrom + 1000);
    }
    m_drawnAt = m_history.nowMs();
    m_columns = std::max(50, view->axisRect()->width());
    const Drawn drawing{m_viewFrom,     m_viewTo,  samples.empty() ? -1 : samples.back().time(),
                        samples.size(), m_columns, power->isChecked()};
    if (drawing == m_drawn) {
        return;
    }
    m_drawn = drawing;
    for (Plot &plot : m_plots) {
        draw(plot, plot.quantity != Quantity::Watts || power->isChecked());
    }
    // Only a change of the time axis made outside a refresh is the user's zoom.
    m_settingRange = true;
    view->xAxis->setRange(double(m_history.wallMs(m_viewFrom)) / 1000.0,
                          double(m_history.wallMs(m_viewTo)) / 1000.0);
    m_settingRange = false;
    // Drawn once the events queued now are handled, however many refreshes asked.
    view->replot(QCustomPlot::rpQueuedReplot);
}

void TrendWindow::draw(Plot &plot, bool shown)
{
    const Trace trace =
        shown ? reduce(m_history.samples(), m_viewFrom, m_viewTo, m_columns, plot.quantity)
              : Trace{};
    // One line a quantity; a NaN point between two polylines leaves the gap.
    QVector<QCPGraphData> points;
    points.reserve(qsizetype(trace.points.size() + trace.starts.size()));
    double top = leastTop(plot.quantity);
    std::size_t nextStart = 1;
    for (std::size_t i = 0; i < trace.points.size(); ++i) {
        const Point &p = trace.points[i];
        const double key = double(m_history.wallMs(p.ms)) / 1000.0;
        if (nextStart < trace.starts.size() && trace.starts[nextStart] == i) {
            points.append(QCPGraphData(key, qQNaN()));
            ++nextStart;
        }
        points.append(QCPGraphData(key, p.value));
        top = std::max(top, p.value * 1.1);
    }
    plot.graph->data()->set(points, true);
    plot.graph->setVisible(shown);
    if (shown) {
        plot.graph->addToLegend();
    } else {
        plot.graph->removeFromLegend();
    }
    plot.axis->setVisible(shown);
    plot.axis->setRange(0, top);
}

void TrendWindow::showCounters()
{
    const EnergyCounter &c = m_history.counters();
    counters->setText(tr("Since start or reset: %1 Ah, %2 Wh")
                          .arg(c.ampHours(), 0, 'f', 3)
                          .arg(c.wattHours(), 0, 'f', 3));
}

void TrendWindow::zoomed(const QCPRange &range)
{
    if (m_settingRange) {
        return;
    }
    // A drag on the plot chose this time: it stays until a double-click.
    m_zoomed = true;
    m_viewFrom = std::llround(range.lower * 1000.0) - m_history.wallEpochMs();
    m_viewTo = std::max(std::int64_t(std::llround(range.upper * 1000.0)) - m_history.wallEpochMs(),
                        m_viewFrom + 1);
    // Redrawn once the plot has finished its own zoom.
    QTimer::singleShot(0, this, &TrendWindow::refresh);
}

void TrendWindow::resetView()
{
    m_zoomed = false;
    refresh();
}

QString TrendWindow::askPath(const QString &caption, const QString &filter,
                             QStandardPaths::StandardLocation folder, const QString &suffix)
{
    const QString suggested =
        QDir(QStandardPaths::writableLocation(folder))
            .filePath(QStringLiteral("vantel-trend-%1.%2").arg(timeStamp(), suffix));
    QString path = m_askPath(caption, filter, suggested);
    if (!path.isEmpty() && QFileInfo(path).suffix().isEmpty()) {
        path += '.' + suffix;
    }
    return path;
}

bool TrendWindow::saveCsv(const QString &path)
{
    // QSaveFile writes beside the target and renames at the end: a failed export
    // leaves an older file of that name as it was.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        return cannotWrite(path, file.errorString());
    }
    if (!writeCsv(file, m_history.samples(), m_history.wallEpochMs()) || !file.commit()) {
        return cannotWrite(path, file.errorString());
    }
    return true;
}

bool TrendWindow::savePng(const QString &path)
{
    view->replot(); // a queued replot may still be waiting
    const QImage picture = view->grab().toImage();
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        return cannotWrite(path, file.errorString());
    }
    QImageWriter writer(&file, "png");
    if (!writer.write(picture)) {
        return cannotWrite(path, writer.errorString());
    }
    if (!file.commit()) {
        return cannotWrite(path, file.errorString());
    }
    return true;
}

bool TrendWindow::cannotWrite(const QString &path, const QString &why)
{
    m_messenger.inform(
        this, tr("The file %1 could not be written: %2").arg(QDir::toNativeSeparators(path), why));
    return false;
}

} // namespace trend
