#include "trend/trendwindow.h"

#include "trend/csvexport.h"
#include "ui/messenger.h"

#include <QChart>
#include <QCheckBox>
#include <QComboBox>
#include <QDateTimeAxis>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QImageWriter>
#include <QLabel>
#include <QLegendMarker>
#include <QLineSeries>
#include <QMouseEvent>
#include <QPushButton>
#include <QSaveFile>
#include <QStandardPaths>
#include <QTimer>
#include <QVBoxLayout>
#include <QValueAxis>

#include <algorithm>

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

void ChartView::mouseDoubleClickEvent(QMouseEvent *event)
{
    event->accept();
    emit resetRequested();
}

void ChartView::mousePressEvent(QMouseEvent *event)
{
    if (event->button() == Qt::RightButton) {
        event->accept();
        return;
    }
    QChartView::mousePressEvent(event);
}

void ChartView::mouseReleaseEvent(QMouseEvent *event)
{
    // The base class zooms out on a right click; the double-click resets instead.
    if (event->button() == Qt::RightButton) {
        event->accept();
        return;
    }
    QChartView::mouseReleaseEvent(event);
}

TrendWindow::TrendWindow(History &history, ui::Messenger &messenger, QWidget *parent)
    : QWidget(parent, Qt::Window), m_history(history), m_messenger(messenger)
{
    setObjectName(QStringLiteral("TrendWindow"));
    setWindowTitle(QStringLiteral("vantel - trend"));
    resize(900, 540);
    m_askPath = [this](const QString &caption, const QString &filter, const QString &suggested) {
        return QFileDialog::getSaveFileName(this, caption, suggested, filter);
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
    view = new ChartView(this);
    buildChart();

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
    connect(view, &ChartView::resetRequested, this, &TrendWindow::resetView);
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

void TrendWindow::buildChart()
{
    auto *chart = new QChart;
    chart->legend()->setAlignment(Qt::AlignTop);
    chart->setMargins(QMargins(4, 4, 4, 4));
    // The view hands back the chart it made for itself; it is ours to delete.
    QChart *const initial = view->chart();
    view->setChart(chart);
    delete initial;
    view->setRenderHint(QPainter::Antialiasing);
    view->setRubberBand(QChartView::HorizontalRubberBand);

    m_timeAxis = new QDateTimeAxis;
    m_timeAxis->setFormat(QStringLiteral("HH:mm:ss"));
    m_timeAxis->setTickCount(7);
    chart->addAxis(m_timeAxis, Qt::AlignBottom);

    m_plots.resize(3);
    m_plots[0] = {Quantity::Volts, tr("Voltage (V)"), QColor(220, 0, 0), nullptr, {}};
    m_plots[1] = {Quantity::Amps, tr("Current (A)"), QColor(0, 150, 0), nullptr, {}};
    m_plots[2] = {Quantity::Watts, tr("Power (W)"), QColor(0, 70, 220), nullptr, {}};
    const Qt::Alignment sides[] = {Qt::AlignLeft, Qt::AlignRight, Qt::AlignRight};
    const QString units[] = {QStringLiteral("V"), QStringLiteral("A"), QStringLiteral("W")};
    for (std::size_t i = 0; i < m_plots.size(); ++i) {
        Plot &plot = m_plots[i];
        plot.axis = new QValueAxis;
        plot.axis->setTitleText(units[i]);
        plot.axis->setLabelFormat(QStringLiteral("%.3g"));
        plot.axis->setLinePenColor(plot.colour);
        plot.axis->setLabelsColor(plot.colour);
        plot.axis->setTitleBrush(plot.colour);
        chart->addAxis(plot.axis, sides[i]);
        // Each quantity has its first series before the window shows: the time axis
        // of Qt Charts 6.4 is never drawn when its first series comes after that.
        addSeries(plot);
    }
    connect(m_timeAxis, &QDateTimeAxis::rangeChanged, this, &TrendWindow::zoomed);
}

void TrendWindow::addSeries(Plot &plot)
{
    QChart *chart = view->chart();
    auto *series = new QLineSeries;
    series->setName(plot.name);
    series->setPen(QPen(plot.colour, 1.5));
    chart->addSeries(series);
    series->attachAxis(m_timeAxis);
    series->attachAxis(plot.axis);
    // One legend entry a quantity, however many pieces its line is cut into.
    if (!plot.series.empty()) {
        for (QLegendMarker *marker : chart->legend()->markers(series)) {
            marker->setVisible(false);
        }
    }
    plot.series.push_back(series);
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

void TrendWindow::refresh()
{
    if (!isVisible()) {
        return;
    }
    if (!m_zoomed) {
        const SampleStore &samples = m_history.samples();
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
    // The chart moves its axes itself while series are added and filled: only a
    // change made outside a refresh is the user's zoom.
    m_settingRange = true;
    m_drawnAt = m_history.nowMs();
    m_columns = std::max(50, int(view->chart()->plotArea().width()));
    for (Plot &plot : m_plots) {
        draw(plot, plot.quantity != Quantity::Watts || power->isChecked());
    }
    m_timeAxis->setRange(QDateTime::fromMSecsSinceEpoch(m_history.wallMs(m_viewFrom)),
                         QDateTime::fromMSecsSinceEpoch(m_history.wallMs(m_viewTo)));
    m_settingRange = false;
}

void TrendWindow::draw(Plot &plot, bool shown)
{
    QChart *chart = view->chart();
    const Trace trace =
        shown ? reduce(m_history.samples(), m_viewFrom, m_viewTo, m_columns, plot.quantity)
              : Trace{};
    const std::size_t lines = trace.starts.size();
    while (plot.series.size() < lines) {
        addSeries(plot);
    }

    double top = leastTop(plot.quantity);
    for (std::size_t line = 0; line < plot.series.size(); ++line) {
        QList<QPointF> points;
        if (line < lines) {
            const std::size_t end = line + 1 < lines ? trace.starts[line + 1] : trace.points.size();
            points.reserve(qsizetype(end - trace.starts[line]));
            for (std::size_t i = trace.starts[line]; i < end; ++i) {
                const Point &p = trace.points[i];
                points.append(QPointF(double(m_history.wallMs(p.ms)), p.value));
                top = std::max(top, p.value * 1.1);
            }
        }
        plot.series[line]->replace(points);
        plot.series[line]->setVisible(shown);
    }
    for (QLegendMarker *marker : chart->legend()->markers(plot.series.front())) {
        marker->setVisible(shown);
    }
    plot.axis->setVisible(shown);
    plot.axis->setRange(0, top);
    plot.axis->applyNiceNumbers();
}

void TrendWindow::showCounters()
{
    const EnergyCounter &c = m_history.counters();
    counters->setText(tr("Since start or reset: %1 Ah, %2 Wh")
                          .arg(c.ampHours(), 0, 'f', 3)
                          .arg(c.wattHours(), 0, 'f', 3));
}

void TrendWindow::zoomed(const QDateTime &from, const QDateTime &to)
{
    if (m_settingRange) {
        return;
    }
    // A drag on the chart chose this time: it stays until a double-click.
    m_zoomed = true;
    m_viewFrom = std::int64_t(from.toMSecsSinceEpoch()) - m_history.wallEpochMs();
    m_viewTo =
        std::max(std::int64_t(to.toMSecsSinceEpoch()) - m_history.wallEpochMs(), m_viewFrom + 1);
    // Redrawn once the chart has finished its own zoom.
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
