#pragma once

#include <QList>

class QWidget;

namespace ui {
class Messenger;
}

namespace trend {

class History;

// Gives `window` and each of `boxes` a context menu with the one entry "Trend…"
// (also on F2), which opens the trend window of `history` beside `window`.
// A build without QCustomPlot has no trend window, and this adds nothing.
void addTrendEntry(QWidget *window, const QList<QWidget *> &boxes, History &history,
                   ui::Messenger &messenger);

} // namespace trend
