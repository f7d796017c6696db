// End to end: programs of one user share a port whatever environment started
// them. A log owns COM1 with one environment, a read joins it with another: a
// desktop's session sets $XDG_RUNTIME_DIR, cron, sudo and su do not, and a
// relative one is no folder at all.
#include "support/ctlrig.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QtTest>

#include <memory>

namespace {

using testsupport::CtlResult;

constexpr int kAddress = 5;
constexpr int kWaitMs = 20000;

qsizetype fileLines(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return 0;
    }
    return file.readAll().count('\n');
}

} // namespace

class TestE2eSharedEnv : public QObject {
    Q_OBJECT
private slots:
    void cleanup();
    void environmentsShareOneLine_data();
    void environmentsShareOneLine();

private:
    // Starts vantelctl in the rig's folder with $XDG_RUNTIME_DIR set to `runtime`
    // ("-" unsets it; "@" stands for the rig's folder).
    bool start(QProcess &process, const QString &runtime, const QStringList &arguments) const;

    std::unique_ptr<testsupport::CtlRig> m_rig;
    std::unique_ptr<QProcess> m_owner;
};

void TestE2eSharedEnv::cleanup()
{
    if (m_owner && m_owner->state() != QProcess::NotRunning) {
        m_owner->kill();
        m_owner->waitForFinished();
    }
    m_owner.reset();
    m_rig.reset();
}

bool TestE2eSharedEnv::start(QProcess &process, const QString &runtime,
                             const QStringList &arguments) const
{
    QProcessEnvironment env = m_rig->environment();
    // Each program's temporary folder is the test's own, so that nothing of it
    // outlives the test where the system keeps no runtime folder for the user.
    env.insert(QStringLiteral("TMPDIR"), m_rig->path(QStringLiteral("temp")));
    if (runtime == QLatin1String("-")) {
        env.remove(QStringLiteral("XDG_RUNTIME_DIR"));
    } else {
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"),
                   QString(runtime).replace(QLatin1Char('@'), m_rig->dir()));
    }
    process.setProcessEnvironment(env);
    process.setWorkingDirectory(m_rig->dir());
    process.start(QStringLiteral(VANTELCTL_PATH),
                  QStringList{QStringLiteral("--port"), QStringLiteral("COM1"),
                              QStringLiteral("--address"), QString::number(kAddress)} +
                      arguments);
    return process.waitForStarted(kWaitMs);
}

void TestE2eSharedEnv::environmentsShareOneLine_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<QString>("owner");  // the owner's $XDG_RUNTIME_DIR
    QTest::addColumn<QString>("joiner"); // the joiner's
    for (const char *line : {"timed", "instant"}) {
        QTest::addRow("owner with a runtime folder, joiner without, %s", line)
            << line << "@/runtime"
            << "-";
        QTest::addRow("owner without, joiner with a runtime folder, %s", line) << line << "-"
                                                                               << "@/runtime";
        QTest::addRow("owner with a relative one, %s", line) << line << "relative"
                                                             << "-";
        QTest::addRow("joiner with a relative one, %s", line) << line << "-"
                                                              << "relative";
    }
}

void TestE2eSharedEnv::environmentsShareOneLine()
{
    QFETCH(QString, line);
    QFETCH(QString, owner);
    QFETCH(QString, joiner);
    m_rig = std::make_unique<testsupport::CtlRig>(QStringLiteral(VANTELCTL_PATH));
    QVERIFY(m_rig->startSim(
        {QStringLiteral("--address"), QString::number(kAddress), QStringLiteral("--line"), line}));
    const QDir rig(m_rig->dir());
    QVERIFY(rig.mkdir(QStringLiteral("temp")));
    QVERIFY(rig.mkdir(QStringLiteral("relative")));
    QVERIFY(rig.mkdir(QStringLiteral("runtime")));
    QVERIFY(QFile::setPermissions(m_rig->path(QStringLiteral("runtime")),
                                  QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));

    const QString file = m_rig->path(QStringLiteral("owner.csv"));
    m_owner = std::make_unique<QProcess>();
    QVERIFY(start(*m_owner, owner,
                  {QStringLiteral("log"), QStringLiteral("--interval"), QStringLiteral("200"),
                   QStringLiteral("--duration"), QStringLiteral("30s"), QStringLiteral("--output"),
                   file}));
    // The owner has opened the port once its first row is there.
    QTRY_VERIFY_WITH_TIMEOUT(fileLines(file) >= 2, kWaitMs);

    QProcess read;
    QVERIFY(start(read, joiner, {QStringLiteral("read")}));
    const CtlResult joined = testsupport::CtlRig::finish(read, kWaitMs);
    QVERIFY2(joined.code == 0, qPrintable(joined.err));
    QVERIFY2(joined.out.contains(QStringLiteral("(set 5.00 V")), qPrintable(joined.out));
    // A relative runtime folder names no place: nothing of the line under the
    // working directory.
    QVERIFY(!QFileInfo::exists(m_rig->path(QStringLiteral("relative/vantel"))));
    QVERIFY(m_owner->state() == QProcess::Running);
}

QTEST_GUILESS_MAIN(TestE2eSharedEnv)
#include "tst_e2e_shared_env.moc"
