#include "line/linetrust.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace line {

namespace {

// The process that has `device` open, among those whose descriptors this user
// may see (its own; every one for root).
qint64 openerOf(const QString &device)
{
    const QDir proc(QStringLiteral("/proc"));
    for (const QString &entry : proc.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        bool number = false;
        const qint64 pid = entry.toLongLong(&number);
        if (!number || pid == ::getpid()) {
            continue;
        }
        const QDir fds(proc.filePath(entry + QStringLiteral("/fd")));
        for (const QString &fd : fds.entryList(QDir::Files | QDir::System)) {
            if (QFileInfo(fds.filePath(fd)).symLinkTarget() == device) {
                return pid;
            }
        }
    }
    return 0;
}

// The process named in the device's lock file (the serial library's, one line
// with the pid first), which every user may read.
qint64 lockerOf(const QString &device)
{
    const QString name = QStringLiteral("LCK..") + QFileInfo(device).fileName();
    for (const QString &folder : {QStringLiteral("/var/lock"), QStringLiteral("/run/lock"),
                                  QStringLiteral("/var/spool/locks"), QDir::tempPath()}) {
        QFile lock(folder + QLatin1Char('/') + name);
        if (lock.open(QIODevice::ReadOnly)) {
            const qint64 pid = lock.readLine().trimmed().toLongLong();
            if (pid > 0 && pid != ::getpid() &&
                QFileInfo::exists(QStringLiteral("/proc/%1").arg(pid))) {
                return pid;
            }
        }
    }
    return 0;
}

} // namespace

DeviceHolder deviceHolder(const QString &device)
{
    DeviceHolder holder;
    const QString canonical = QFileInfo(device).canonicalFilePath();
    if (canonical.isEmpty()) {
        return holder;
    }
    holder.pid = openerOf(canonical);
    if (holder.pid == 0) {
        holder.pid = lockerOf(canonical);
    }
    if (holder.pid == 0) {
        return holder;
    }
    const QString process = QStringLiteral("/proc/%1").arg(holder.pid);
    QFile comm(process + QStringLiteral("/comm"));
    if (comm.open(QIODevice::ReadOnly)) {
        holder.program = QString::fromLocal8Bit(comm.readAll().trimmed());
    }
    holder.ours = holder.program == QLatin1String("vantel") ||
                  holder.program == QLatin1String("vantelctl") ||
                  holder.program == QLatin1String("pellow");
    struct stat info {};
    if (::stat(QFile::encodeName(process).constData(), &info) == 0) {
        holder.sameUser = info.st_uid == ::geteuid();
        const passwd *entry = ::getpwuid(info.st_uid);
        holder.user = entry && entry->pw_name
                          ? QStringLiteral("%1 (%2)").arg(info.st_uid).arg(entry->pw_name)
                          : QString::number(info.st_uid);
    }
    return holder;
}

} // namespace line
