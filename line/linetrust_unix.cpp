#include "line/linetrust.h"

#include "line/lineplaces.h"

#include <QDir>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

namespace line {

namespace {

constexpr mode_t kPrivate = S_IRWXU;

// "1001 (mallory)", or the number alone when the user has no name.
QString userText(uid_t uid)
{
    const passwd *entry = ::getpwuid(uid);
    const QString number = QString::number(uid);
    return entry && entry->pw_name ? QStringLiteral("%1 (%2)").arg(number, entry->pw_name) : number;
}

} // namespace

QStringList lineFoldersFor(const LinePlaceFacts &facts)
{
    QStringList folders;
    const QString runtime = QStringLiteral("/run/user/%1").arg(facts.uid);
    if (facts.privateFolder(runtime)) {
        folders << runtime + QStringLiteral("/vantel");
    }
    // An unset, relative or missing $TMPDIR, or /, is passed over: a folder
    // made there would be relative to the working directory, or at the root.
    const QString own = QStringLiteral("vantel-%1").arg(facts.uid);
    const QString temp = QDir::cleanPath(facts.tempDir);
    if (!facts.tempDir.isEmpty() && QDir::isAbsolutePath(temp) && temp != QLatin1String("/") &&
        facts.folder(temp)) {
        folders << temp + QLatin1Char('/') + own;
    }
    const QString fallback = QStringLiteral("/tmp/") + own;
    if (!folders.contains(fallback)) {
        folders << fallback;
    }
    return folders;
}

LinePlaceFacts linePlaceFacts()
{
    LinePlaceFacts facts;
    facts.uid = ::geteuid();
    facts.tempDir = qEnvironmentVariable("TMPDIR");
    facts.privateFolder = [](const QString &path) {
        bool exists = false;
        return lineFolderProblem(path, &exists).isEmpty() && exists;
    };
    facts.folder = [](const QString &path) { return QFileInfo(path).isDir(); };
    return facts;
}

QStringList lineSocketPlaces(const QString &hash)
{
    QStringList names;
    for (const QString &folder : lineFoldersFor(linePlaceFacts())) {
        names << folder + QStringLiteral("/line-") + hash;
    }
    return names;
}

QString lineSocketPlace(const QString &hash)
{
    return lineSocketPlaces(hash).constFirst();
}

QString lineFolderProblem(const QString &folder, bool *exists)
{
    struct stat info {};
    if (::lstat(QFile::encodeName(folder).constData(), &info) != 0) {
        *exists = false;
        return errno == ENOENT ? QString()
                               : QStringLiteral("%1 cannot be examined: %2")
                                     .arg(folder, QString::fromLocal8Bit(std::strerror(errno)));
    }
    *exists = true;
    if (S_ISLNK(info.st_mode)) {
        return QStringLiteral("%1 is a symbolic link").arg(folder);
    }
    if (!S_ISDIR(info.st_mode)) {
        return QStringLiteral("%1 is not a folder").arg(folder);
    }
    if (info.st_uid != ::geteuid()) {
        return QStringLiteral("%1 belongs to user %2").arg(folder, userText(info.st_uid));
    }
    if ((info.st_mode & 07777) != kPrivate) {
        return QStringLiteral("%1 has mode %2, not 0700")
            .arg(folder)
            .arg(info.st_mode & 07777, 4, 8, QLatin1Char('0'));
    }
    return {};
}

QString makeLineFolder(const QString &folder)
{
    const QByteArray path = QFile::encodeName(folder);
    // The parent ($XDG_RUNTIME_DIR, the temporary folder) is the system's.
    if (::mkdir(path.constData(), kPrivate) != 0 && errno != EEXIST) {
        return QStringLiteral("%1 cannot be made: %2")
            .arg(folder, QString::fromLocal8Bit(std::strerror(errno)));
    }
    struct stat info {};
    if (::lstat(path.constData(), &info) == 0 && S_ISDIR(info.st_mode) &&
        info.st_uid == ::geteuid() && (info.st_mode & 07777) != kPrivate) {
        // The user's own folder, opened to others since: nobody else's again.
        ::chmod(path.constData(), kPrivate);
    }
    bool exists = false;
    const QString problem = lineFolderProblem(folder, &exists);
    if (problem.isEmpty() && !exists) {
        return QStringLiteral("%1 vanished as it was made").arg(folder);
    }
    return problem;
}

LinePeer linePeer(qintptr descriptor)
{
    LinePeer peer;
#if defined(SO_PEERCRED)
    ucred credentials{};
    socklen_t size = sizeof credentials;
    if (::getsockopt(int(descriptor), SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0) {
        return peer;
    }
    peer.pid = credentials.pid;
    const uid_t uid = credentials.uid;
#else
    uid_t uid = 0;
    gid_t group = 0;
    if (::getpeereid(int(descriptor), &uid, &group) != 0) {
        return peer;
    }
#endif
    peer.known = true;
    peer.ours = uid == ::geteuid();
    peer.user = userText(uid);
    return peer;
}

} // namespace line
