// COM names on Windows are the system's own: COMn is the device, and the system
// numbers adapters itself.
#include "serial/portnames.h"

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
    return m_linkDir;
}

QString devicePath(int port)
{
    return PortNames().devicePath(port);
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
