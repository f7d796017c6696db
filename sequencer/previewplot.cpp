#include "sequencer/previewplot.h"

#include <qcustomplot.h>

namespace sequencer {

QWidget *makePreviewPlot(QWidget *parent)
{
    auto *plot = new QCustomPlot(parent);
    plot->setObjectName(QStringLiteral("previewPlot"));
    plot->setMinimumHeight(180);
    plot->xAxis->setLabel(QObject::tr("time (s)"));
    plot->yAxis->setLabel(QObject::tr("set voltage (V)"));
    plot->yAxis2->setLabel(QObject::tr("set current (A)"));
    plot->yAxis2->setVisible(true);
    auto *volts = plot->addGraph(plot->xAxis, plot->yAxis);
    volts->setName(QObject::tr("Voltage"));
    volts->setPen(QPen(QColor(200, 0, 0), 1.5));
    auto *amps = plot->addGraph(plot->xAxis, plot->yAxis2);
    amps->setName(QObject::tr("Current"));
    amps->setPen(QPen(QColor(0, 150, 0), 1.5));
    auto *points = plot->addGraph(plot->xAxis, plot->yAxis);
    points->setName(QObject::tr("Sweep points"));
    points->setLineStyle(QCPGraph::lsNone);
    points->setScatterStyle(QCPScatterStyle(QCPScatterStyle::ssCircle, 5));
    plot->legend->setVisible(true);
    plot->legend->setFont(QFont(plot->font().family(), 7));
    return plot;
}

void drawPreview(QWidget *widget, const Preview &preview)
{
    auto *plot = static_cast<QCustomPlot *>(widget);
    QVector<double> t, v, a;
    for (const Preview::Point &p : preview.points) {
        t << p.seconds;
        v << p.volts;
        a << p.amps;
    }
    plot->graph(0)->setData(t, v, true);
    plot->graph(1)->setData(t, a, true);
    // A sweep point sits on the voltage line at the end of its dwell (a current
    // sweep's points on the voltage it holds).
    QVector<double> pt, pv;
    for (const Preview::Mark &m : preview.sweepPoints) {
        pt << m.seconds;
        pv << m.volts;
    }
    plot->graph(2)->setData(pt, pv, true);
    plot->clearItems();
    for (const Preview::Mark &m : preview.openEnds) {
        auto *span = new QCPItemRect(plot);
        span->topLeft->setTypeX(QCPItemPosition::ptPlotCoords);
        span->topLeft->setTypeY(QCPItemPosition::ptAxisRectRatio);
        span->topLeft->setCoords(m.seconds, 0);
        span->bottomRight->setTypeX(QCPItemPosition::ptPlotCoords);
        span->bottomRight->setTypeY(QCPItemPosition::ptAxisRectRatio);
        span->bottomRight->setCoords(m.seconds + kOpenEndedSeconds, 1);
        span->setPen(Qt::NoPen);
        span->setBrush(QColor(255, 220, 120, 90));
        auto *label = new QCPItemText(plot);
        label->position->setTypeX(QCPItemPosition::ptPlotCoords);
        label->position->setTypeY(QCPItemPosition::ptAxisRectRatio);
        label->position->setCoords(m.seconds + kOpenEndedSeconds / 2, 0.05);
        label->setText(m.text);
    }
    const double end = preview.points.empty() ? 1 : preview.points.back().seconds;
    plot->xAxis->setRange(0, std::max(1.0, end));
    double topV = 1, topA = 0.1;
    for (const Preview::Point &p : preview.points) {
        topV = std::max(topV, p.volts);
        topA = std::max(topA, p.amps);
    }
    plot->yAxis->setRange(0, topV * 1.1);
    plot->yAxis2->setRange(0, topA * 1.1);
    plot->replot(QCustomPlot::rpQueuedReplot);
}

} // namespace sequencer
