#include "serial/portnames.h"

#include <QDir>
#include <QFileInfo>
#include <QtGlobal>

namespace serial {

QString portDirectory()
{
    const QString fromEnvironment = qEnvironmentVariable("VANTEL_PORT_DIR");
    if (!fromEnvironment.isEmpty()) {
        return fromEnvironment;
    }
    return QDir::homePath() + QStringLiteral("/.config/vantel/ports");
}

QString devicePath(int port)
{
    const QString name = QStringLiteral("COM") + QString::number(port);
#ifdef Q_OS_WIN
    return name;
#else
    if (!qEnvironmentVariableIsEmpty("VANTEL_PORT_DIR")) {
        return portDirectory() + QLatin1Char('/') + name;
    }
    const QString linked = portDirectory() + QLatin1Char('/') + name;
    if (QFileInfo::exists(linked) || QFileInfo(linked).isSymLink()) {
        return linked;
    }
    return QStringLiteral("/dev/ttyS") + QString::number(port - 1);
#endif
}

} // namespace serial
