#include "web/recordfolder.h"

#include <QDir>
#include <QFileInfo>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

namespace web {

RecordFolder::~RecordFolder()
{
    m_lock.reset();
    m_dir.reset();
}

QString RecordFolder::make()
{
    const QString temp = QDir::tempPath();
    sweep(temp);
    auto dir = std::make_unique<QTemporaryDir>(temp + QLatin1Char('/') + QLatin1String(kPrefix) +
                                               "XXXXXX");
    if (!dir->isValid()) {
        return QStringLiteral("cannot make a folder for the record in %1: %2")
            .arg(temp, dir->errorString());
    }
    auto lock = std::make_unique<QLockFile>(dir->filePath(QLatin1String(kLockName)));
    // A server that runs for days holds its lock all along.
    lock->setStaleLockTime(0);
    if (!lock->tryLock(0)) {
        return QStringLiteral("cannot lock the record's folder %1").arg(dir->path());
    }
    m_dir = std::move(dir);
    m_lock = std::move(lock);
    return {};
}

QString RecordFolder::path() const
{
    return m_dir ? m_dir->path() : QString();
}

QString RecordFolder::filePath(const QString &name) const
{
    return m_dir ? m_dir->filePath(name) : QString();
}

qint64 RecordFolder::currentUser()
{
#ifdef Q_OS_UNIX
    return qint64(::geteuid());
#else
    return -1;
#endif
}

RecordFolder::State RecordFolder::sweepOne(const QString &folder, qint64 userId)
{
    const QFileInfo info(folder);
    // A link or a file of that name is nobody's record.
    if (info.isSymLink() || !info.isDir()) {
        return State::Unknown;
    }
    if (userId >= 0 && qint64(info.ownerId()) != userId) {
        return State::Foreign;
    }
    const QString lockPath = QDir(folder).filePath(QLatin1String(kLockName));
    if (!QFileInfo::exists(lockPath)) {
        return State::Unknown;
    }
    // The lock is taken only when its holder is gone (its process no longer runs);
    // age alone never makes it stale.
    QLockFile lock(lockPath);
    lock.setStaleLockTime(0);
    if (!lock.tryLock(0)) {
        return State::Live;
    }
    // Let go of the lock before the folder goes: Windows deletes no file that is
    // open. The folder's random name is nobody else's meanwhile.
    lock.unlock();
    QDir(folder).removeRecursively();
    return State::Stale;
}

int RecordFolder::sweep(const QString &tempDir)
{
    const qint64 user = currentUser();
    int removed = 0;
    const QStringList names =
        QDir(tempDir).entryList({QLatin1String(kPrefix) + QLatin1Char('*')},
                                QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System);
    for (const QString &name : names) {
        if (sweepOne(QDir(tempDir).filePath(name), user) == State::Stale) {
            ++removed;
        }
    }
    return removed;
}

} // namespace web
