#include "panels/previewplot.h"

#include "protocol/reading.h"

#include <qcustomplot.h>

namespace panels {

namespace {

// The graphs in the order they are drawn: the current's plan under the voltage's,
// so that both show where their lines meet, and the readings over both.
enum Graph {
    kOffLegend, // no data: the legend's entry for the shaded spans
    kPlanAmps,
    kPlanVolts,
    kSetAmps,
    kSetVolts,
    kAmps,
    kVolts,
    kPoints,
};

const QColor kVoltsColour(0, 70, 200);
const QColor kAmpsColour(220, 110, 0);
const QColor kOffColour(120, 120, 120, 70);
// The axes' tops above the largest value: apart, so that a voltage and a current
// each at its largest are two lines, not one.
constexpr double kVoltsHeadroom = 1.1;
constexpr double kAmpsHeadroom = 1.5;

// What the plot keeps beside its graphs: the time axis' unit, and the readings
// in seconds so that a new plan with another unit redraws them.
class PlotState : public QObject {
public:
    explicit PlotState(QObject *parent) : QObject(parent)
    {
        setObjectName(QStringLiteral("previewState"));
    }
    TimeScale scale{1, QStringLiteral("s")};
    QVector<double> seconds, setVolts, setAmps, volts, amps;
    int planPoints = 0;
};

PlotState *stateOf(const QWidget *plot)
{
    return plot->findChild<PlotState *>(QStringLiteral("previewState"), Qt::FindDirectChildrenOnly);
}

QVector<double> scaled(const QVector<double> &seconds, double secondsPerUnit)
{
    QVector<double> out;
    out.reserve(seconds.size());
    for (const double s : seconds) {
        out << s / secondsPerUnit;
    }
    return out;
}

void drawReadings(QCustomPlot *plot, const PlotState &state)
{
    const QVector<double> t = scaled(state.seconds, state.scale.secondsPerUnit);
    plot->graph(kSetVolts)->setData(t, state.setVolts, true);
    plot->graph(kSetAmps)->setData(t, state.setAmps, true);
    plot->graph(kVolts)->setData(t, state.volts, true);
    plot->graph(kAmps)->setData(t, state.amps, true);
}

// A band over the whole height from `from` to `to` in plot units, under the graphs.
QCPItemRect *band(QCustomPlot *plot, double from, double to, const QColor &colour)
{
    auto *span = new QCPItemRect(plot);
    span->setLayer(QStringLiteral("grid"));
    span->topLeft->setTypeX(QCPItemPosition::ptPlotCoords);
    span->topLeft->setTypeY(QCPItemPosition::ptAxisRectRatio);
    span->topLeft->setCoords(from, 0);
    span->bottomRight->setTypeX(QCPItemPosition::ptPlotCoords);
    span->bottomRight->setTypeY(QCPItemPosition::ptAxisRectRatio);
    span->bottomRight->setCoords(to, 1);
    span->setPen(Qt::NoPen);
    span->setBrush(colour);
    return span;
}

void growRanges(QCustomPlot *plot, const PlotState &state)
{
    double topV = plot->yAxis->range().upper / kVoltsHeadroom;
    double topA = plot->yAxis2->range().upper / kAmpsHeadroom;
    for (int i = 0; i < state.seconds.size(); ++i) {
        topV = std::max({topV, state.volts[i], state.setVolts[i]});
        topA = std::max({topA, state.amps[i], state.setAmps[i]});
    }
    plot->yAxis->setRange(0, topV * kVoltsHeadroom);
    plot->yAxis2->setRange(0, topA * kAmpsHeadroom);
    if (!state.seconds.isEmpty()) {
        const double last = state.seconds.back() / state.scale.secondsPerUnit;
        if (last > plot->xAxis->range().upper) {
            plot->xAxis->setRange(0, last);
        }
    }
}

} // namespace

QWidget *makePreviewPlot(QWidget *parent)
{
    auto *plot = new QCustomPlot(parent);
    plot->setObjectName(QStringLiteral("previewPlot"));
    plot->setMinimumHeight(100);
    new PlotState(plot);
    plot->xAxis->setLabel(QObject::tr("time (s)"));
    plot->yAxis->setLabel(QObject::tr("voltage (V)"));
    plot->yAxis2->setLabel(QObject::tr("current (A)"));
    plot->yAxis2->setVisible(true);
    plot->yAxis->setLabelColor(kVoltsColour);
    plot->yAxis->setTickLabelColor(kVoltsColour);
    plot->yAxis2->setLabelColor(kAmpsColour);
    plot->yAxis2->setTickLabelColor(kAmpsColour);
    const auto graph = [plot](QCPAxis *valueAxis, const QString &name, const QPen &pen) {
        auto *g = plot->addGraph(plot->xAxis, valueAxis);
        g->setName(name);
        g->setPen(pen);
        g->setAdaptiveSampling(true);
        return g;
    };
    auto *off = graph(plot->yAxis, QObject::tr("Output off"), Qt::NoPen);
    off->setBrush(kOffColour);
    graph(plot->yAxis2, QObject::tr("Set current"), QPen(kAmpsColour, 1.5, Qt::DashLine));
    graph(plot->yAxis, QObject::tr("Set voltage"), QPen(kVoltsColour, 2.5));
    graph(plot->yAxis2, QObject::tr("Current set, read"),
          QPen(kAmpsColour.lighter(130), 1, Qt::DotLine));
    graph(plot->yAxis, QObject::tr("Voltage set, read"),
          QPen(kVoltsColour.lighter(150), 1, Qt::DotLine));
    graph(plot->yAxis2, QObject::tr("Current read"), QPen(QColor(160, 60, 0), 1));
    graph(plot->yAxis, QObject::tr("Voltage read"), QPen(QColor(0, 150, 220), 1));
    auto *points = graph(plot->yAxis, QObject::tr("Sweep points"), QPen(kVoltsColour));
    points->setLineStyle(QCPGraph::lsNone);
    points->setScatterStyle(QCPScatterStyle(QCPScatterStyle::ssCircle, 5));
    // The readings' entries appear only once there are readings.
    for (const int g : {kSetAmps, kSetVolts, kAmps, kVolts}) {
        plot->graph(g)->removeFromLegend();
    }
    // The legend in a row above the plot, where it hides no line.
    plot->legend->setVisible(true);
    plot->legend->setFont(QFont(plot->font().family(), 7));
    plot->legend->setBorderPen(Qt::NoPen);
    plot->legend->setFillOrder(QCPLegend::foColumnsFirst);
    plot->plotLayout()->insertRow(0);
    plot->plotLayout()->addElement(0, 0, plot->legend);
    plot->plotLayout()->setRowStretchFactor(0, 0.001);
    return plot;
}

void drawPreview(QWidget *widget, const Preview &preview)
{
    auto *plot = static_cast<QCustomPlot *>(widget);
    PlotState &state = *stateOf(plot);
    const double end = preview.points.empty() ? 1 : preview.points.back().seconds;
    state.scale = timeScaleFor(end);
    const double unit = state.scale.secondsPerUnit;
    plot->xAxis->setLabel(QObject::tr("time (%1)").arg(state.scale.unit));
    QVector<double> t, v, a;
    for (const Preview::Point &p : preview.points) {
        t << p.seconds / unit;
        v << p.volts;
        a << p.amps;
    }
    plot->graph(kPlanVolts)->setData(t, v, true);
    plot->graph(kPlanAmps)->setData(t, a, true);
    state.planPoints = static_cast<int>(t.size());
    // A sweep point sits on the voltage line at the end of its dwell (a current
    // sweep's points on the voltage it holds).
    QVector<double> pt, pv;
    for (const Preview::Mark &m : preview.sweepPoints) {
        pt << m.seconds / unit;
        pv << m.volts;
    }
    plot->graph(kPoints)->setData(pt, pv, true);
    if (pt.isEmpty()) {
        plot->graph(kPoints)->removeFromLegend();
    } else {
        plot->graph(kPoints)->addToLegend();
    }
    plot->clearItems();
    for (const Preview::Span &s : preview.offSpans) {
        if (s.to > s.from) {
            band(plot, s.from / unit, s.to / unit, kOffColour);
        }
    }
    for (const Preview::Mark &m : preview.openEnds) {
        band(plot, m.seconds / unit, (m.seconds + kOpenEndedSeconds) / unit,
             QColor(255, 220, 120, 90));
        auto *label = new QCPItemText(plot);
        label->position->setTypeX(QCPItemPosition::ptPlotCoords);
        label->position->setTypeY(QCPItemPosition::ptAxisRectRatio);
        label->position->setCoords((m.seconds + kOpenEndedSeconds / 2) / unit, 0.05);
        label->setText(m.text);
    }
    plot->xAxis->setRange(0, std::max(1.0, end) / unit);
    double topV = 1, topA = 0.1;
    for (const Preview::Point &p : preview.points) {
        topV = std::max(topV, p.volts);
        topA = std::max(topA, p.amps);
    }
    plot->yAxis->setRange(0, topV * kVoltsHeadroom);
    plot->yAxis2->setRange(0, topA * kAmpsHeadroom);
    drawReadings(plot, state);
    growRanges(plot, state);
    plot->replot(QCustomPlot::rpQueuedReplot);
}

void clearPreview(QWidget *widget, const QString &why)
{
    auto *plot = static_cast<QCustomPlot *>(widget);
    for (const int g : {kPlanAmps, kPlanVolts, kPoints}) {
        plot->graph(g)->data()->clear();
    }
    stateOf(plot)->planPoints = 0;
    plot->clearItems();
    auto *label = new QCPItemText(plot);
    label->position->setType(QCPItemPosition::ptAxisRectRatio);
    label->position->setCoords(0.5, 0.5);
    label->setText(why);
    label->setColor(QColor(176, 0, 0));
    plot->replot(QCustomPlot::rpQueuedReplot);
}

void addReading(QWidget *widget, double seconds, const protocol::StatusReading &r)
{
    auto *plot = static_cast<QCustomPlot *>(widget);
    PlotState &state = *stateOf(plot);
    if (state.seconds.isEmpty()) {
        for (const int g : {kSetAmps, kSetVolts, kAmps, kVolts}) {
            plot->graph(g)->addToLegend();
        }
    }
    state.seconds << seconds;
    state.setVolts << r.setVolts();
    state.setAmps << r.setAmps();
    state.volts << r.volts();
    state.amps << r.amps();
    const double t = seconds / state.scale.secondsPerUnit;
    plot->graph(kSetVolts)->addData(t, r.setVolts());
    plot->graph(kSetAmps)->addData(t, r.setAmps());
    plot->graph(kVolts)->addData(t, r.volts());
    plot->graph(kAmps)->addData(t, r.amps());
    growRanges(plot, state);
    plot->replot(QCustomPlot::rpQueuedReplot);
}

void clearReadings(QWidget *widget)
{
    auto *plot = static_cast<QCustomPlot *>(widget);
    PlotState &state = *stateOf(plot);
    state.seconds.clear();
    state.setVolts.clear();
    state.setAmps.clear();
    state.volts.clear();
    state.amps.clear();
    for (const int g : {kSetAmps, kSetVolts, kAmps, kVolts}) {
        plot->graph(g)->data()->clear();
        plot->graph(g)->removeFromLegend();
    }
    plot->replot(QCustomPlot::rpQueuedReplot);
}

int drawnPlanPoints(const QWidget *plot)
{
    return stateOf(plot)->planPoints;
}

int drawnReadings(const QWidget *plot)
{
    return static_cast<int>(stateOf(plot)->seconds.size());
}

} // namespace panels
