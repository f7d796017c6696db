// The record's folder: one whose server was killed is removed at the next start;
// a live server's, a folder without a lock and another user's are kept.
#include "web/recordfolder.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QLockFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using web::RecordFolder;

class TestWebRecordFolder : public QObject {
    Q_OBJECT
private slots:
    void judged_data();
    void judged();
    void makeSweepsTheStaleAndKeepsItsOwn();

private:
    QTemporaryDir m_temp;
};

namespace {

// The id of a process that has ended.
qint64 endedProcess()
{
    QProcess process;
    // This very test, asked only for its list of functions: it ends at once, on
    // every platform (Windows has no sh).
    process.start(QCoreApplication::applicationFilePath(), {QStringLiteral("-functions")});
    if (!process.waitForStarted()) {
        return -1;
    }
    const qint64 pid = process.processId();
    process.waitForFinished();
    return pid;
}

// A record folder in `parent` as a server left it when it was killed: a lock file
// as Qt writes it, naming a process that no longer runs.
QString staleFolder(const QString &parent, const QString &name)
{
    const QString folder = QDir(parent).filePath(name);
    QDir().mkpath(folder);
    const QString lockPath = QDir(folder).filePath(QLatin1String(RecordFolder::kLockName));
    QByteArray contents;
    {
        QLockFile lock(lockPath);
        if (!lock.tryLock(0)) {
            return {};
        }
        QFile file(lockPath);
        if (!file.open(QIODevice::ReadOnly)) {
            return {};
        }
        contents = file.readAll();
    }
    const qint64 gone = endedProcess();
    const qsizetype firstLine = contents.indexOf('\n');
    if (gone <= 0 || firstLine < 0) {
        return {};
    }
    QFile file(lockPath);
    if (!file.open(QIODevice::WriteOnly) ||
        file.write(QByteArray::number(gone) + contents.mid(firstLine)) <= 0) {
        return {};
    }
    QFile record(QDir(folder).filePath(QStringLiteral("record.csv")));
    return record.open(QIODevice::WriteOnly) && record.write("time\n") > 0 ? folder : QString();
}

} // namespace

void TestWebRecordFolder::judged_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<bool>("sameUser");
    QTest::addColumn<int>("state");
    QTest::addColumn<bool>("kept");

    QTest::newRow("killed server's") << "stale" << true << int(RecordFolder::State::Stale) << false;
    QTest::newRow("live server's") << "live" << true << int(RecordFolder::State::Live) << true;
    QTest::newRow("no lock inside") << "bare" << true << int(RecordFolder::State::Unknown) << true;
    QTest::newRow("another user's killed server's")
        << "stale" << false << int(RecordFolder::State::Foreign) << true;
    QTest::newRow("a link to a killed server's")
        << "link" << true << int(RecordFolder::State::Unknown) << true;
}

void TestWebRecordFolder::judged()
{
    QFETCH(QString, kind);
    QFETCH(bool, sameUser);
    QFETCH(int, state);
    QFETCH(bool, kept);
    if (RecordFolder::currentUser() < 0 && !sameUser) {
        QSKIP("folders' owners are not asked here");
    }
    QTemporaryDir parent;
    QVERIFY(parent.isValid());
    QString folder = QDir(parent.path()).filePath(QStringLiteral("vantelctl-abcdef"));
    std::unique_ptr<QLockFile> held;
    if (kind == QLatin1String("stale")) {
        QCOMPARE(staleFolder(parent.path(), QStringLiteral("vantelctl-abcdef")), folder);
    } else if (kind == QLatin1String("live")) {
        QVERIFY(QDir().mkpath(folder));
        held = std::make_unique<QLockFile>(
            QDir(folder).filePath(QLatin1String(RecordFolder::kLockName)));
        held->setStaleLockTime(0);
        QVERIFY(held->tryLock(0));
    } else if (kind == QLatin1String("bare")) {
        QVERIFY(QDir().mkpath(folder));
    } else {
        const QString target = staleFolder(parent.path(), QStringLiteral("elsewhere"));
        QVERIFY(!target.isEmpty());
        QVERIFY(QFile::link(target, folder));
    }
    const qint64 user = sameUser ? RecordFolder::currentUser() : RecordFolder::currentUser() + 1;
    QCOMPARE(int(RecordFolder::sweepOne(folder, user)), state);
    QCOMPARE(QFileInfo::exists(folder), kept);
    if (kind == QLatin1String("link")) {
        QVERIFY(QFileInfo::exists(QDir(parent.path()).filePath(QStringLiteral("elsewhere"))));
    }
}

void TestWebRecordFolder::makeSweepsTheStaleAndKeepsItsOwn()
{
    QVERIFY(m_temp.isValid());
    // The temporary folder: $TMPDIR on Unix, $TMP (then $TEMP) on Windows.
    const char *const names[] = {"TMPDIR", "TMP", "TEMP"};
    QList<QByteArray> before;
    for (const char *name : names) {
        before << qgetenv(name);
        qputenv(name, QDir::toNativeSeparators(m_temp.path()).toLocal8Bit());
    }
    const QString stale1 = staleFolder(m_temp.path(), QStringLiteral("vantelctl-111111"));
    const QString stale2 = staleFolder(m_temp.path(), QStringLiteral("vantelctl-222222"));
    // Not a record's name: left alone whatever it holds.
    const QString other = staleFolder(m_temp.path(), QStringLiteral("someone-333333"));
    QVERIFY(!stale1.isEmpty() && !stale2.isEmpty() && !other.isEmpty());

    QString firstPath;
    {
        RecordFolder first;
        QCOMPARE(first.make(), QString());
        firstPath = first.path();
        QVERIFY(firstPath.startsWith(m_temp.path() + QStringLiteral("/vantelctl-")));
        QVERIFY(!QFileInfo::exists(stale1));
        QVERIFY(!QFileInfo::exists(stale2));
        QVERIFY(QFileInfo::exists(other));
        // A second server keeps the first one's folder while it runs.
        RecordFolder second;
        QCOMPARE(second.make(), QString());
        QVERIFY(second.path() != firstPath);
        QVERIFY(QFileInfo::exists(firstPath));
        QCOMPARE(RecordFolder::sweep(m_temp.path()), 0);
    }
    // Both go when their servers end.
    QVERIFY(!QFileInfo::exists(firstPath));
    QCOMPARE(QDir(m_temp.path()).entryList({QStringLiteral("vantelctl-*")}, QDir::Dirs),
             QStringList());
    for (int i = 0; i < 3; ++i) {
        before[i].isNull() ? qunsetenv(names[i]) : qputenv(names[i], before[i]);
    }
}

QTEST_GUILESS_MAIN(TestWebRecordFolder)
#include "tst_web_recordfolder.moc"
