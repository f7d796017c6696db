#include "panels/previewplot.h"

#include <QLabel>

namespace panels {

QWidget *makePreviewPlot(QWidget *parent)
{
    auto *label = new QLabel(QObject::tr("This build draws no preview."), parent);
    label->setObjectName(QStringLiteral("previewPlot"));
    return label;
}

void drawPreview(QWidget *, const Preview &) {}
void clearPreview(QWidget *, const QString &) {}
void addReading(QWidget *, double, const protocol::StatusReading &) {}
void clearReadings(QWidget *) {}
int drawnPlanPoints(const QWidget *)
{
    return 0;
}
int drawnReadings(const QWidget *)
{
    return 0;
}

} // namespace panels
