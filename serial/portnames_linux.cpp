// COM names over Linux devices: links, UARTs reported by sysfs, adapters found
// through udev's /dev/serial folders, and why a device may not be opened.
#include "serial/linuxports.h"
#include "serial/portnames.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSet>
#include <QtGlobal>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace serial {

namespace {

constexpr int kLastNamedPort = 16;

QString comName(int port)
{
    return QStringLiteral("COM") + QString::number(port);
}

QString readTrimmed(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    return QString::fromLatin1(file.readAll()).trimmed();
}

bool entryExists(const QString &path)
{
    const QFileInfo info(path);
    return info.exists() || info.isSymLink();
}

// Every entry of a folder, links whose target is gone included.
QStringList entriesOf(const QString &folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot,
                                  QDir::Name);
}

// A serial adapter the kernel has now, with the stable name udev gave it.
struct Adapter {
    QString kind; // "ttyACM" or "ttyUSB"
    int number = 0;
    QString node;       // the device, links followed
    QString stableName; // in dev/serial/by-id or dev/serial/by-path
};

// The entry of `folder` that leads to `node`; empty when none does.
QString entryLeadingTo(const QString &folder, const QString &node)
{
    for (const QString &name : entriesOf(folder)) {
        const QString path = folder + QLatin1Char('/') + name;
        if (QFileInfo(path).canonicalFilePath() == node) {
            return path;
        }
    }
    return {};
}

// Whether the USB device above tty `name` carries a serial number. Without one,
// identical adapters share one by-id name, and only the jack tells them apart.
bool hasSerialNumber(const QDir &root, const QString &name)
{
    const QString stop = root.canonicalPath();
    QString dir = QFileInfo(root.filePath(QStringLiteral("sys/class/tty/") + name +
                                          QStringLiteral("/device")))
                      .canonicalFilePath();
    while (!dir.isEmpty() && dir.size() > stop.size()) {
        if (QFileInfo::exists(dir + QStringLiteral("/idVendor"))) {
            return !readTrimmed(dir + QStringLiteral("/serial")).isEmpty();
        }
        dir = QFileInfo(dir).path();
    }
    return false;
}

std::vector<Adapter> findAdapters(const QDir &root)
{
    static const QRegularExpression kAdapterName(QStringLiteral("^(ttyACM|ttyUSB)([0-9]+)$"));
    const QString byId = root.filePath(QStringLiteral("dev/serial/by-id"));
    const QString byPath = root.filePath(QStringLiteral("dev/serial/by-path"));
    std::vector<Adapter> adapters;
    for (const QString &name : entriesOf(root.filePath(QStringLiteral("sys/class/tty")))) {
        const QRegularExpressionMatch match = kAdapterName.match(name);
        if (!match.hasMatch()) {
            continue;
        }
        Adapter adapter;
        adapter.kind = match.captured(1);
        adapter.number = match.captured(2).toInt();
        adapter.node = QFileInfo(root.filePath(QStringLiteral("dev/") + name)).canonicalFilePath();
        if (adapter.node.isEmpty()) {
            continue;
        }
        const QString idName = entryLeadingTo(byId, adapter.node);
        const QString pathName = entryLeadingTo(byPath, adapter.node);
        adapter.stableName =
            !idName.isEmpty() && (pathName.isEmpty() || hasSerialNumber(root, name)) ? idName
                                                                                     : pathName;
        if (!adapter.stableName.isEmpty()) {
            adapters.push_back(adapter);
        }
    }
    // Kernel numbers follow the order of plugging in, which is the order a first
    // search should hand out COM numbers in.
    std::sort(adapters.begin(), adapters.end(), [](const Adapter &a, const Adapter &b) {
        return a.kind != b.kind ? a.kind < b.kind : a.number < b.number;
    });
    return adapters;
}

} // namespace

PortNames::PortNames(const QString &root, const QString &linkDir) : m_root(root), m_linkDir(linkDir)
{
}

QString PortNames::linkDirectory() const
{
    if (!m_linkDir.isEmpty()) {
        return m_linkDir;
    }
    return QDir::homePath() + QStringLiteral("/.config/vantel/ports");
}

namespace {

// The closed world of $VANTEL_PORT_DIR, for the machine's own names only.
QString closedPortDir(const QString &root)
{
    return root.isEmpty() ? qEnvironmentVariable("VANTEL_PORT_DIR") : QString();
}

// The kernel lists every ttyS node it made, UART or not; sysfs gives the UART
// type, 0 when nothing is there, readable without opening the device.
bool hasUart(const QDir &root, int index)
{
    const QString type = readTrimmed(root.filePath(
        QStringLiteral("sys/class/tty/ttyS") + QString::number(index) + QStringLiteral("/type")));
    bool ok = false;
    return type.toInt(&ok) != 0 && ok;
}

QDir rootDir(const QString &root)
{
    return QDir(root.isEmpty() ? QStringLiteral("/") : root);
}

} // namespace

QString PortNames::devicePath(int port) const
{
    const QString closed = closedPortDir(m_root);
    if (!closed.isEmpty()) {
        return closed + QLatin1Char('/') + comName(port);
    }
    const QString linked = linkDirectory() + QLatin1Char('/') + comName(port);
    if (entryExists(linked)) {
        return linked;
    }
    const QDir root = rootDir(m_root);
    if (port >= 1 && hasUart(root, port - 1)) {
        return root.filePath(QStringLiteral("dev/ttyS") + QString::number(port - 1));
    }
    return {};
}

QList<AdapterName> PortNames::assignAdapterNames() const
{
    if (!closedPortDir(m_root).isEmpty()) {
        return {};
    }
    const QDir root = rootDir(m_root);
    const QString folder = linkDirectory();
    static const QRegularExpression kComName(QStringLiteral("^COM([0-9]+)$"));

    QSet<QString> linkedNodes;
    QSet<int> taken;
    for (const QString &name : entriesOf(folder)) {
        linkedNodes.insert(QFileInfo(folder + QLatin1Char('/') + name).canonicalFilePath());
        const QRegularExpressionMatch match = kComName.match(name);
        if (match.hasMatch()) {
            taken.insert(match.captured(1).toInt());
        }
    }
    for (int port = 1; port <= kLastNamedPort; ++port) {
        if (hasUart(root, port - 1)) {
            taken.insert(port);
        }
    }

    QList<AdapterName> made;
    for (const Adapter &adapter : findAdapters(root)) {
        if (linkedNodes.contains(adapter.node)) {
            continue;
        }
        int port = 1;
        while (port <= kLastNamedPort && taken.contains(port)) {
            ++port;
        }
        if (port > kLastNamedPort) {
            break;
        }
        QDir().mkpath(folder);
        const QString link = folder + QLatin1Char('/') + comName(port);
        taken.insert(port);
        // A name that appeared since the folder was read is left alone.
        if (QFile::link(adapter.stableName, link)) {
            linkedNodes.insert(adapter.node);
            made.append({port, link, adapter.stableName});
        }
    }
    return made;
}

QString PortNames::networkTarget(int port) const
{
    const QString path = devicePath(port);
    if (path.isEmpty() || !QFileInfo(path).isSymLink()) {
        return {};
    }
    // The link's own text: QFileInfo would make it an absolute path.
    const QByteArray local = QFile::encodeName(path);
    char target[512];
    const ssize_t size = ::readlink(local.constData(), target, sizeof target - 1);
    if (size <= 0) {
        return {};
    }
    const QString text = QFile::decodeName(QByteArray(target, static_cast<qsizetype>(size)));
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
    return PortNames().assignAdapterNames();
}

QString accessAdvice(const AccessFacts &facts)
{
    QString text = QStringLiteral("You may not open %1 (%2, group %3).")
                       .arg(facts.portName, facts.device, facts.group);
    if (!facts.groupMayUse) {
        text += QStringLiteral(" Its permissions (%1) do not let the group read and write it: "
                               "ask the administrator to change them.")
                    .arg(facts.mode, 4, 8, QLatin1Char('0'));
    } else if (!facts.userInGroup) {
        text += QStringLiteral(" Add your account to the group with\n    sudo adduser %1 %2\n"
                               "then log out and log in again.")
                    .arg(facts.user, facts.group);
    } else if (!facts.sessionHasGroup) {
        text += QStringLiteral(" Your account is in the group %1, but this login session does "
                               "not have it yet: log out and log in again.")
                    .arg(facts.group);
    } else {
        text += QStringLiteral(" Your account and this session are in the group %1, yet the "
                               "system refuses: %2.")
                    .arg(facts.group, facts.reason);
    }
    return text;
}

namespace {

std::vector<gid_t> sessionGroups()
{
    std::vector<gid_t> groups(static_cast<std::size_t>(std::max(::getgroups(0, nullptr), 0)));
    const int count = ::getgroups(static_cast<int>(groups.size()), groups.data());
    groups.resize(static_cast<std::size_t>(std::max(count, 0)));
    groups.push_back(::getgid());
    return groups;
}

std::vector<gid_t> databaseGroups(const char *user, gid_t primary)
{
    int count = 64;
    std::vector<gid_t> groups(static_cast<std::size_t>(count));
    if (::getgrouplist(user, primary, groups.data(), &count) < 0) {
        groups.resize(static_cast<std::size_t>(count));
        ::getgrouplist(user, primary, groups.data(), &count);
    }
    groups.resize(static_cast<std::size_t>(std::max(count, 0)));
    return groups;
}

bool holds(const std::vector<gid_t> &groups, gid_t group)
{
    return std::find(groups.begin(), groups.end(), group) != groups.end();
}

} // namespace

QString noAccessMessage(const QString &portName, const QString &device)
{
    QString node = QFileInfo(device).canonicalFilePath();
    if (node.isEmpty()) {
        node = device;
    }
    const QByteArray path = QFile::encodeName(node);
    if (::access(path.constData(), R_OK | W_OK) == 0 || (errno != EACCES && errno != EPERM)) {
        return {};
    }
    AccessFacts facts;
    facts.reason = QString::fromLocal8Bit(std::strerror(errno));
    struct stat status {};
    if (::stat(path.constData(), &status) != 0) {
        return {};
    }
    facts.portName = portName;
    facts.device = node;
    facts.mode = status.st_mode & 07777U;
    facts.groupMayUse = (status.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP);
    const group *deviceGroup = ::getgrgid(status.st_gid);
    facts.group = deviceGroup != nullptr ? QString::fromLocal8Bit(deviceGroup->gr_name)
                                         : QString::number(status.st_gid);
    const passwd *account = ::getpwuid(::getuid());
    if (account != nullptr) {
        facts.user = QString::fromLocal8Bit(account->pw_name);
        facts.userInGroup = holds(databaseGroups(account->pw_name, account->pw_gid), status.st_gid);
    } else {
        facts.user = QString::number(::getuid());
    }
    facts.sessionHasGroup = holds(sessionGroups(), status.st_gid);
    return accessAdvice(facts);
}

} // namespace serial
