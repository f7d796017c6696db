#pragma once

#include "panels/preview.h"

class QWidget;

namespace protocol {
struct StatusReading;
}

namespace panels {

// The preview's plot: the planned set voltage and current against time, the
// spans the output is off, and during a run the readings taken so far, drawn
// with the trend's plot library; a build without it shows the plan's summary only.
QWidget *makePreviewPlot(QWidget *parent);
void drawPreview(QWidget *plot, const Preview &preview);
// No plan: the plot is emptied and says `why` ("line 3 has an error").
void clearPreview(QWidget *plot, const QString &why);
// A run's reading `seconds` after its start, over the plan; clearReadings before
// the next run.
void addReading(QWidget *plot, double seconds, const protocol::StatusReading &reading);
void clearReadings(QWidget *plot);
// What the plot holds: the plan's points and the readings drawn.
int drawnPlanPoints(const QWidget *plot);
int drawnReadings(const QWidget *plot);

} // namespace panels
