// Where a user's line is offered: the folders come from the user's id and a
// usable $TMPDIR alone, never from $XDG_RUNTIME_DIR, never relative or at /.
#include "line/lineplaces.h"
#include "line/localport.h"

#include <QDir>
#include <QScopeGuard>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>

using line::LinePlaceFacts;

class TestLinePlaces : public QObject {
    Q_OBJECT
private slots:
    void foldersComeFromTheUserAndTemp_data();
    void foldersComeFromTheUserAndTemp();
    void runtimeVariableIsNotConsulted_data();
    void runtimeVariableIsNotConsulted();
};

void TestLinePlaces::foldersComeFromTheUserAndTemp_data()
{
    QTest::addColumn<uint>("uid");
    QTest::addColumn<QString>("tempDir");
    QTest::addColumn<QStringList>("existing"); // folders; "private:" marks the user's own 0700
    QTest::addColumn<QStringList>("folders");

    const QStringList session{QStringLiteral("private:/run/user/1000"),
                              QStringLiteral("/var/tmp/me")};
    QTest::newRow("session folder, then $TMPDIR, then /tmp")
        << 1000u << "/var/tmp/me" << session
        << QStringList{"/run/user/1000/vantel", "/var/tmp/me/vantel-1000", "/tmp/vantel-1000"};
    QTest::newRow("no session folder (cron, su)")
        << 1000u << "/var/tmp/me" << QStringList{"/var/tmp/me"}
        << QStringList{"/var/tmp/me/vantel-1000", "/tmp/vantel-1000"};
    QTest::newRow("session folder not private")
        << 1000u << QString() << QStringList{"/run/user/1000"} << QStringList{"/tmp/vantel-1000"};
    QTest::newRow("another user's session folder")
        << 1001u << QString() << QStringList{"private:/run/user/1000"}
        << QStringList{"/tmp/vantel-1001"};
    QTest::newRow("$TMPDIR unset")
        << 1000u << QString() << QStringList{} << QStringList{"/tmp/vantel-1000"};
    QTest::newRow("$TMPDIR relative")
        << 1000u << "tmp" << QStringList{"tmp"} << QStringList{"/tmp/vantel-1000"};
    QTest::newRow("$TMPDIR missing, root")
        << 0u << "/no/such/folder" << QStringList{} << QStringList{"/tmp/vantel-0"};
    QTest::newRow("$TMPDIR is /") << 0u << "/" << QStringList{"/"} << QStringList{"/tmp/vantel-0"};
    QTest::newRow("$TMPDIR is /tmp, written oddly")
        << 1000u << "/tmp//" << QStringList{"/tmp"} << QStringList{"/tmp/vantel-1000"};
    QTest::newRow("$TMPDIR not clean")
        << 1000u << "/var/./tmp/../tmp/me/" << QStringList{"/var/tmp/me"}
        << QStringList{"/var/tmp/me/vantel-1000", "/tmp/vantel-1000"};
}

void TestLinePlaces::foldersComeFromTheUserAndTemp()
{
    QFETCH(uint, uid);
    QFETCH(QString, tempDir);
    QFETCH(QStringList, existing);
    QFETCH(QStringList, folders);
    QSet<QString> plain;
    QSet<QString> own;
    for (const QString &entry : existing) {
        if (entry.startsWith(QLatin1String("private:"))) {
            own.insert(entry.mid(8));
        }
        plain.insert(entry.startsWith(QLatin1String("private:")) ? entry.mid(8) : entry);
    }
    LinePlaceFacts facts;
    facts.uid = uid;
    facts.tempDir = tempDir;
    facts.privateFolder = [&own](const QString &path) { return own.contains(path); };
    facts.folder = [&plain](const QString &path) { return plain.contains(path); };
    const QStringList found = line::lineFoldersFor(facts);
    QCOMPARE(found, folders);
    for (const QString &folder : found) {
        QVERIFY2(QDir::isAbsolutePath(folder) && QDir(folder).dirName() != QString(),
                 qPrintable(folder));
    }
}

void TestLinePlaces::runtimeVariableIsNotConsulted_data()
{
    QTest::addColumn<QString>("runtime"); // relative to a scratch folder; "@" is the folder
    QTest::newRow("a private runtime folder") << "@/runtime";
    QTest::newRow("a relative one that exists here") << "relative";
    QTest::newRow("an empty one") << "";
}

// Programs started with and without $XDG_RUNTIME_DIR (a desktop's session and
// cron) look for one line in the same places; a relative one never puts the
// socket under the working directory.
void TestLinePlaces::runtimeVariableIsNotConsulted()
{
    QFETCH(QString, runtime);
    QTemporaryDir scratch;
    QVERIFY(scratch.isValid());
    QVERIFY(QDir(scratch.path()).mkpath(QStringLiteral("runtime/vantel")));
    QVERIFY(QDir(scratch.path()).mkpath(QStringLiteral("relative/vantel")));
    const QString device = scratch.filePath(QStringLiteral("ttyUSB0"));
    const QByteArray saved = qgetenv("XDG_RUNTIME_DIR");
    const QString savedDir = QDir::currentPath();
    const auto restore = qScopeGuard([&] {
        QDir::setCurrent(savedDir);
        if (saved.isNull()) {
            qunsetenv("XDG_RUNTIME_DIR");
        } else {
            qputenv("XDG_RUNTIME_DIR", saved);
        }
    });
    QVERIFY(QDir::setCurrent(scratch.path()));
    qunsetenv("XDG_RUNTIME_DIR");
    const QStringList without = line::lineSocketNames(device);
    runtime.replace(QLatin1Char('@'), scratch.path());
    qputenv("XDG_RUNTIME_DIR", runtime.toLocal8Bit());
    const QStringList with = line::lineSocketNames(device);
    QCOMPARE(with, without);
    QCOMPARE(line::lineSocketName(device), with.constFirst());
    for (const QString &name : with) {
        QVERIFY2(QDir::isAbsolutePath(name), qPrintable(name));
        QVERIFY2(!name.startsWith(scratch.path()), qPrintable(name));
    }
}

QTEST_GUILESS_MAIN(TestLinePlaces)
#include "tst_lineplaces.moc"
