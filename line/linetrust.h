#pragma once

#include <QString>
#include <QStringList>

#include <functional>

namespace line {

// Who listens at the far end of a line's local socket, as the system tells.
struct LinePeer {
    bool known = false; // the system told who it is
    bool ours = false;  // the user this program runs as
    qint64 pid = 0;     // 0 where the system does not tell
    QString user;       // for messages: "1001 (mallory)"
};

// The system's side of trusting a line's local socket; one file a platform
// (linetrust_unix.cpp, linetrust_win.cpp).
//
// The full names a socket for the device whose name hashes to `hash` may have,
// the one an owner tries first first: on Unix in a folder of the effective
// user's own, the same whatever the environment (lineplaces.h); on Windows one
// pipe's name, which has no folder.
QStringList lineSocketPlaces(const QString &hash);
// The first of them.
QString lineSocketPlace(const QString &hash);
// Why `folder` is no place for this user's line: it is a link, not a folder,
// another user's, or open to others (a mode other than 0700). Empty when it is
// the user's own, or does not exist (`*exists` false then).
QString lineFolderProblem(const QString &folder, bool *exists);
// Makes `folder` the user's own place for a line: creates it with mode 0700, or
// takes the one there when the user owns it (and it is no link), its mode set to
// 0700; then checks it as a joiner would. Empty, or why not.
QString makeLineFolder(const QString &folder);
// Who is at the far end of a connected local socket (its native descriptor:
// a Unix socket's file descriptor, a pipe's handle on Windows).
LinePeer linePeer(qintptr descriptor);

// A program that holds a device open, as the system tells: found among the
// processes that have it open, or in the device's lock file.
struct DeviceHolder {
    qint64 pid = 0;        // 0 where the system does not tell
    QString program;       // its name: "vantelctl"
    bool ours = false;     // a program of ours (vantel, vantelctl, pellow)
    bool sameUser = false; // it runs as this program's user
    QString user;          // for messages: "1001 (mallory)"
};
// Who holds `device` (a path); pid 0 when nobody can be told. On Windows the
// system does not tell.
DeviceHolder deviceHolder(const QString &device);

// What a joiner checks before it sends a byte, replaceable in tests (a second
// user is not at hand there).
struct LineTrust {
    std::function<QString(const QString &folder, bool *exists)> folderProblem = lineFolderProblem;
    std::function<LinePeer(qintptr descriptor)> peer = linePeer;
};

// The folder of a socket's full name; empty for a name without one (a pipe).
QString lineFolderOf(const QString &socketName);

} // namespace line
