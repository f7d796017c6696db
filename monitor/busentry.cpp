#include "monitor/busentry.h"

#include "panels/monitorpanels.h"
#include "ui/messenger.h"

#include <QAction>

namespace bus {

BusWindow *busWindowOf(QWidget *window)
{
    // A window closed is on its way out (deleted from the event loop).
    for (BusWindow *w : window->findChildren<BusWindow *>(QString(), Qt::FindDirectChildrenOnly)) {
        if (!w->closed()) {
            return w;
        }
    }
    return nullptr;
}

void addBusEntry(QWidget *window, panels::MonitorPanels &panels, BusAccess access,
                 ui::Messenger &messenger)
{
    auto *action = new QAction(QObject::tr("Bus…"), window);
    action->setObjectName(QStringLiteral("busAction"));
    action->setShortcut(Qt::Key_F6);
    QObject::connect(action, &QAction::triggered, window, [window, access, &messenger] {
        if (!access.client || access.client() == nullptr) {
            messenger.inform(window, QObject::tr("Open a serial port first: the bus window "
                                                 "reads the supplies on the port this "
                                                 "window has open."));
            return;
        }
        // One bus window at a time; closing it ends it.
        BusWindow *w = busWindowOf(window);
        if (w == nullptr) {
            w = new BusWindow(access, messenger, window);
        }
        w->show();
        w->raise();
        w->activateWindow();
    });
    panels.addEntry(action);
}

} // namespace bus
