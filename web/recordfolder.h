#pragma once

#include <QLockFile>
#include <QString>
#include <QTemporaryDir>

#include <memory>

namespace web {

// The private folder a server keeps its record in: "vantelctl-XXXXXX" in the
// temporary directory, with a lock file inside that names the server holding it.
// The folder goes when the server ends; one left by a server that was killed is
// removed by the next server that makes its own.
class RecordFolder {
public:
    static constexpr const char *kPrefix = "vantelctl-";
    static constexpr const char *kLockName = "owner.lock";

    // What a folder of that name in the temporary directory is to us.
    enum class State {
        Live,    // its server runs: kept
        Stale,   // its server is gone: removed
        Unknown, // no lock inside (one being made, or not a record's): kept
        Foreign, // another user's: never touched
    };

    RecordFolder() = default;
    RecordFolder(const RecordFolder &) = delete;
    RecordFolder &operator=(const RecordFolder &) = delete;
    ~RecordFolder();

    // Removes the stale folders of the temporary directory, then makes this one and
    // takes its lock; empty on success, else why.
    QString make();
    bool isValid() const { return m_dir != nullptr; }
    QString path() const;
    QString filePath(const QString &name) const;

    // Judges `folder` for user `userId` (on Windows, where the temporary directory
    // is the user's own, the owner is not asked) and removes it when it is stale.
    static State sweepOne(const QString &folder, qint64 userId);
    // sweepOne() on every record folder in `tempDir`; how many were removed.
    static int sweep(const QString &tempDir);
    // This process's user, as sweepOne() takes it (-1 where owners are not asked).
    static qint64 currentUser();

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<QLockFile> m_lock; // released before the folder goes
};

} // namespace web
