#pragma once

#include <QString>
#include <QStringList>

#include <functional>

namespace line {

// What the folders of a user's line depend on, as the system tells; a test
// gives its own, so that no real environment or folder is needed.
struct LinePlaceFacts {
    unsigned uid = 0;
    QString tempDir; // $TMPDIR as set, perhaps empty or relative
    // `path` is a folder (no link) of this user's own with mode 0700.
    std::function<bool(const QString &path)> privateFolder;
    // `path` is a folder (links followed).
    std::function<bool(const QString &path)> folder;
};

// The folders in which a program of ours running as `facts.uid` may offer a
// line, in the order an owner tries them: /run/user/<uid>/vantel when the
// system keeps /run/user/<uid> for the user, else vantel-<uid> in $TMPDIR when
// it is an absolute folder other than /, and /tmp/vantel-<uid> last. Only the
// user's id and $TMPDIR count: $XDG_RUNTIME_DIR is set for a desktop's session
// and an SSH shell but not for cron, sudo or su, and programs of one user must
// meet whatever started them. A joiner looks in every one of them.
QStringList lineFoldersFor(const LinePlaceFacts &facts);
// The facts of this process: its effective user, $TMPDIR and its file system.
LinePlaceFacts linePlaceFacts();

} // namespace line
