// COM names on Windows are the system's own: COMn is the device, and the system
// numbers adapters itself.
#include "serial/portnames.h"

#include <QFile>
#include <QStandardPaths>

namespace serial {

PortNames::PortNames(const QString &root, const QString &linkDir) : m_root(root), m_linkDir(linkDir)
{
}

QString PortNames::devicePath(int port) const
{
    return QStringLiteral("COM") + QString::number(port);
}

QList<AdapterName> PortNames::assignAdapterNames() const
{
    return {};
}

QString PortNames::linkDirectory() const
{
    if (!m_linkDir.isEmpty()) {
        return m_linkDir;
    }
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QStringLiteral("/vantel/ports");
}

QString PortNames::networkTarget(int port) const
{
    QFile file(linkDirectory() + QStringLiteral("/COM") + QString::number(port));
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        return {};
    }
    const QString text = QString::fromUtf8(file.readLine(512)).trimmed();
    return text.startsWith(QStringLiteral("tcp://"), Qt::CaseInsensitive) ? text : QString();
}

QString devicePath(int port)
{
    return PortNames().devicePath(port);
}

QString networkTarget(int port)
{
    return PortNames().networkTarget(port);
}

QList<AdapterName> assignAdapterNames()
{
    return {};
}

QString noAccessMessage(const QString &, const QString &)
{
    return {};
}

} // namespace serial
