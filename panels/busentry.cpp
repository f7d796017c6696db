#include "panels/busentry.h"

#include "bus/buswindow.h"
#include "panels/monitorpanels.h"
#include "ui/messenger.h"

#include <QAction>
#include <QDir>

namespace panels {

bus::BusWindow *busWindowOf(QWidget *window)
{
    // A window closed is on its way out (deleted from the event loop).
    for (bus::BusWindow *w :
         window->findChildren<bus::BusWindow *>(QString(), Qt::FindDirectChildrenOnly)) {
        if (!w->closed()) {
            return w;
        }
    }
    return nullptr;
}

void closeBusWindow(QWidget *window)
{
    if (bus::BusWindow *w = busWindowOf(window)) {
        w->close();
    }
}

void addBusEntry(QWidget *window, panels::MonitorPanels &panels,
                 std::function<engine::Client *()> client, std::function<QString()> portName,
                 ui::Messenger &messenger)
{
    bus::BusAccess access;
    access.client = std::move(client);
    access.portName = std::move(portName);
    access.newRecordPath = [&panels](const QString &prefix, QString *problem) {
        const QString folder = panels.recordsFolder();
        if (!QDir().mkpath(folder)) {
            *problem = QObject::tr("The records folder %1 cannot be made.")
                           .arg(QDir::toNativeSeparators(folder));
            return QString();
        }
        return panels.newRecordPath(prefix);
    };
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
        bus::BusWindow *w = busWindowOf(window);
        if (w == nullptr) {
            w = new bus::BusWindow(access, messenger, window);
        }
        w->show();
        w->raise();
        w->activateWindow();
    });
    panels.addEntry(action);
}

} // namespace panels
