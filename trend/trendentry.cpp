#include "trend/trendentry.h"

#include "trend/trendwindow.h"

#include <QAction>

namespace trend {

void addTrendEntry(QWidget *window, const QList<QWidget *> &boxes, History &history,
                   ui::Messenger &messenger)
{
    auto *action = new QAction(QObject::tr("Trend…"), window);
    action->setObjectName(QStringLiteral("trendAction"));
    action->setShortcut(Qt::Key_F2);
    QObject::connect(action, &QAction::triggered, window, [window, &history, &messenger] {
        // One trend window, made at first use; closing it only hides it.
        auto *trend = window->findChild<TrendWindow *>(QString(), Qt::FindDirectChildrenOnly);
        if (trend == nullptr) {
            trend = new TrendWindow(history, messenger, window);
        }
        trend->show();
        trend->raise();
        trend->activateWindow();
    });
    for (QWidget *widget : QList<QWidget *>{window} + boxes) {
        widget->setContextMenuPolicy(Qt::ActionsContextMenu);
        widget->addAction(action);
    }
}

} // namespace trend
