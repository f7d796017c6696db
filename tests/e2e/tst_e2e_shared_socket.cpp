// End to end: the local socket of a shared port. Programs of one user share a
// port whatever environment started them: a log owns COM1 with one
// environment, a read joins it with another (a desktop's session sets
// $XDG_RUNTIME_DIR, cron, sudo and su do not, and a relative one is no folder at
// all). A joiner that floods the owner and never reads is held back, not
// buffered, and the other joiners are served.
#include "line/localport.h"
#include "support/ctlrig.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocalSocket>
#include <QProcess>
#include <QScopeGuard>
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

// A process's resident memory in KiB, from the system; -1 where it does not tell.
qint64 residentKib(qint64 pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly)) {
        return -1;
    }
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:")) {
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
        }
    }
    return -1;
}

} // namespace

class TestE2eSharedSocket : public QObject {
    Q_OBJECT
private slots:
    void cleanup();
    void environmentsShareOneLine_data();
    void environmentsShareOneLine();
    void flooderIsHeldBack_data();
    void flooderIsHeldBack();

private:
    // Starts vantelctl in the rig's folder with $XDG_RUNTIME_DIR set to `runtime`
    // ("-" unsets it; "@" stands for the rig's folder).
    bool start(QProcess &process, const QString &runtime, const QStringList &arguments) const;

    std::unique_ptr<testsupport::CtlRig> m_rig;
    std::unique_ptr<QProcess> m_owner;
};

void TestE2eSharedSocket::cleanup()
{
    if (m_owner && m_owner->state() != QProcess::NotRunning) {
        m_owner->kill();
        m_owner->waitForFinished();
    }
    m_owner.reset();
    m_rig.reset();
}

bool TestE2eSharedSocket::start(QProcess &process, const QString &runtime,
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

void TestE2eSharedSocket::environmentsShareOneLine_data()
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

void TestE2eSharedSocket::environmentsShareOneLine()
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

void TestE2eSharedSocket::flooderIsHeldBack_data()
{
    QTest::addColumn<QString>("line");
    QTest::newRow("timed") << "timed";
    QTest::newRow("instant") << "instant";
}

// A joiner of the owner's socket (the user's own program, as the owner's checks
// require) that sends read requests as fast as the socket takes them and never
// reads: the owner reads only what it can answer, so its memory moves little,
// the flooder is held back rather than cut off, and another joiner is served.
void TestE2eSharedSocket::flooderIsHeldBack()
{
    QFETCH(QString, line);
    m_rig = std::make_unique<testsupport::CtlRig>(QStringLiteral(VANTELCTL_PATH));
    QVERIFY(m_rig->startSim(
        {QStringLiteral("--address"), QString::number(kAddress), QStringLiteral("--line"), line}));
    QVERIFY(QDir(m_rig->dir()).mkdir(QStringLiteral("temp")));
    const QString file = m_rig->path(QStringLiteral("owner.csv"));
    m_owner = std::make_unique<QProcess>();
    QVERIFY(start(*m_owner, QStringLiteral("-"),
                  {QStringLiteral("log"), QStringLiteral("--interval"), QStringLiteral("200"),
                   QStringLiteral("--duration"), QStringLiteral("60s"), QStringLiteral("--output"),
                   file}));
    QTRY_VERIFY_WITH_TIMEOUT(fileLines(file) >= 2, kWaitMs);

    // The owner's socket, where the owner's own environment puts it.
    const QByteArray savedTemp = qgetenv("TMPDIR");
    qputenv("TMPDIR", m_rig->path(QStringLiteral("temp")).toLocal8Bit());
    const QStringList names = line::lineSocketNames(m_rig->path(QStringLiteral("COM1")));
    if (savedTemp.isNull()) {
        qunsetenv("TMPDIR");
    } else {
        qputenv("TMPDIR", savedTemp);
    }
    QLocalSocket flooder;
    for (const QString &name : names) {
        flooder.connectToServer(name);
        if (flooder.waitForConnected(1000)) {
            break;
        }
    }
    QCOMPARE(flooder.state(), QLocalSocket::ConnectedState);
    const qint64 before = residentKib(m_owner->processId());
    QVERIFY(before > 0);

    // Read holding registers 0x1000..0x1001 of the supply, transaction ids 1, 2, ...
    QByteArray requests;
    for (int n = 1; n <= 200000; ++n) {
        const char adu[] = {char(n >> 8), char(n), 0, 0, 0, 6, char(kAddress), 3, 0x10, 0, 0, 2};
        requests.append(adu, sizeof adu);
    }
    flooder.write(requests);
    qint64 peak = before;
    for (int n = 0; n < 30 && flooder.state() == QLocalSocket::ConnectedState; ++n) {
        QTest::qWait(100);
        peak = std::max(peak, residentKib(m_owner->processId()));
    }
    // Held back: the system's socket buffers are full, the owner reads no more.
    QCOMPARE(flooder.state(), QLocalSocket::ConnectedState);
    QVERIFY2(flooder.bytesToWrite() > 0, "the owner took every request");
    QVERIFY2(peak - before < 10 * 1024,
             qPrintable(QStringLiteral("%1 KiB before, %2 KiB at most").arg(before).arg(peak)));

    QProcess read;
    QVERIFY(start(read, QStringLiteral("-"), {QStringLiteral("read")}));
    const CtlResult joined = testsupport::CtlRig::finish(read, kWaitMs);
    QVERIFY2(joined.code == 0, qPrintable(joined.err));
    QVERIFY2(joined.out.contains(QStringLiteral("(set 5.00 V")), qPrintable(joined.out));

    // Once it reads, its own requests are answered, the first first.
    QTRY_VERIFY_WITH_TIMEOUT(flooder.bytesAvailable() >= 64, kWaitMs);
    const QByteArray answers = flooder.readAll();
    QCOMPARE(answers.left(4), QByteArray::fromHex("00010000"));
    QCOMPARE(flooder.state(), QLocalSocket::ConnectedState);
}

QTEST_GUILESS_MAIN(TestE2eSharedSocket)
#include "tst_e2e_shared_socket.moc"
