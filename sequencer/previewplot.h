#pragma once

#include "sequencer/preview.h"

class QWidget;

namespace sequencer {

// The preview's plot: the planned set voltage and current against time, drawn
// with the trend's plot library; a build without it shows the plan's summary only.
QWidget *makePreviewPlot(QWidget *parent);
void drawPreview(QWidget *plot, const Preview &preview);

} // namespace sequencer
