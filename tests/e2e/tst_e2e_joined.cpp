// End to end: a vantelctl program that joins the line another one owns fares as
// on a line of its own. Its --timeout is its supply's, whatever the owner's own:
// a silent supply is named within it, a slow one answers within it; only an
// owner that answers nothing at all is named.
#include "line/localport.h"
#include "support/ctlrig.h"

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QtTest>

#include <csignal>
#include <memory>

namespace {

using testsupport::CtlResult;

constexpr int kOwned = 5;  // the owner's log polls this supply
constexpr int kJoined = 9; // the joiner reads this one
constexpr int kWaitMs = 20000;

qsizetype lineCount(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return 0;
    }
    return file.readAll().count('\n');
}

} // namespace

class TestE2eJoined : public QObject {
    Q_OBJECT
private slots:
    void cleanup();
    void joinedTimeoutIsItsOwn_data();
    void joinedTimeoutIsItsOwn();

private:
    QStringList port() const { return {QStringLiteral("--port"), QStringLiteral("COM1")}; }
    // A log that owns the line, polling kOwned every 200 ms with `timeout`.
    QProcess *startOwner(const QString &timeout);
    // A joined read of `address`, and how long the program took.
    CtlResult timedRead(int address, const QString &timeout, qint64 *ms) const;

    std::unique_ptr<testsupport::CtlRig> m_rig;
    std::unique_ptr<QProcess> m_owner;
};

void TestE2eJoined::cleanup()
{
    if (m_owner && m_owner->state() != QProcess::NotRunning) {
        ::kill(static_cast<pid_t>(m_owner->processId()), SIGCONT);
        m_owner->kill();
        m_owner->waitForFinished();
    }
    m_owner.reset();
    m_rig.reset();
}

QProcess *TestE2eJoined::startOwner(const QString &timeout)
{
    const QString file = m_rig->path(QStringLiteral("owner.csv"));
    m_owner = std::make_unique<QProcess>();
    if (!m_rig->start(*m_owner,
                      port() + QStringList{QStringLiteral("--address"), QString::number(kOwned),
                                           QStringLiteral("--timeout"), timeout,
                                           QStringLiteral("log"), QStringLiteral("--interval"),
                                           QStringLiteral("200"), QStringLiteral("--duration"),
                                           QStringLiteral("60s"), QStringLiteral("--output"),
                                           file})) {
        return nullptr;
    }
    // It owns the line once its first row is there.
    QElapsedTimer waited;
    waited.start();
    while (lineCount(file) < 2 && waited.elapsed() < kWaitMs) {
        QTest::qWait(50);
    }
    return lineCount(file) >= 2 ? m_owner.get() : nullptr;
}

CtlResult TestE2eJoined::timedRead(int address, const QString &timeout, qint64 *ms) const
{
    QElapsedTimer took;
    took.start();
    CtlResult result = m_rig->run(
        port() + QStringList{QStringLiteral("--address"), QString::number(address),
                             QStringLiteral("--timeout"), timeout, QStringLiteral("read")});
    *ms = took.elapsed();
    return result;
}

void TestE2eJoined::joinedTimeoutIsItsOwn_data()
{
    QTest::addColumn<QString>("ownerTimeout");
    QTest::addColumn<QString>("timeout"); // the joiner's
    QTest::addColumn<int>("delay");       // the joined supply's reply delay; -1 silent
    QTest::addColumn<bool>("frozen");     // the owner is stopped before the read
    QTest::addColumn<QString>("said");    // in the joiner's error; empty: a reading
    const QString silent = QStringLiteral("no reply from address %1 within %2 ms");
    // The owner would wait 2 s: the joiner's 100 ms is what counts.
    QTest::newRow("silent, shorter than the owner's")
        << QStringLiteral("2000") << QStringLiteral("100") << -1 << false
        << silent.arg(kJoined).arg(100);
    QTest::newRow("silent, longer than the owner's")
        << QStringLiteral("200") << QStringLiteral("1500") << -1 << false
        << silent.arg(kJoined).arg(1500);
    // A supply slower than the owner's timeout answers within the joiner's, with
    // room for a scheduler four times slower.
    QTest::newRow("slow, within its own")
        << QStringLiteral("200") << QStringLiteral("3000") << 600 << false << QString();
    QTest::newRow("owner frozen")
        << QStringLiteral("500") << QStringLiteral("100") << -1 << true
        << QStringLiteral("the program of ours that owns COM1 (pid %1) does not answer");
}

void TestE2eJoined::joinedTimeoutIsItsOwn()
{
    QFETCH(QString, ownerTimeout);
    QFETCH(QString, timeout);
    QFETCH(int, delay);
    QFETCH(bool, frozen);
    QFETCH(QString, said);
    m_rig = std::make_unique<testsupport::CtlRig>(QStringLiteral(VANTELCTL_PATH));
    QVERIFY(m_rig->startSim({QStringLiteral("--address"),
                             QStringLiteral("%1,%2").arg(kOwned).arg(kJoined),
                             QStringLiteral("--line"), QStringLiteral("instant")}));
    const QString fault = delay < 0 ? QStringLiteral("fault silence on %1").arg(kJoined)
                                    : QStringLiteral("fault delay %1 %2").arg(delay).arg(kJoined);
    const QString faulted = m_rig->sim().command(fault);
    QVERIFY2(faulted.startsWith(QStringLiteral("ok")), qPrintable(faulted));
    QProcess *owner = startOwner(ownerTimeout);
    QVERIFY(owner);

    // The reference, side by side: a joined read of a supply that answers at once
    // (the program's start, its join, one round trip through the owner).
    qint64 reference = 0;
    const CtlResult answered = timedRead(kOwned, timeout, &reference);
    QVERIFY2(answered.code == 0, qPrintable(answered.err));

    const auto pid = static_cast<pid_t>(owner->processId());
    if (frozen) {
        ::kill(pid, SIGSTOP);
    }
    qint64 took = 0;
    const CtlResult read = timedRead(kJoined, timeout, &took);
    if (frozen) {
        ::kill(pid, SIGCONT);
    }
    const QString all = read.out + read.err;
    if (said.isEmpty()) {
        QVERIFY2(read.code == 0, qPrintable(all));
        return;
    }
    QVERIFY2(read.code == 1, qPrintable(all));
    QVERIFY2(read.err.contains(frozen ? said.arg(pid) : said), qPrintable(all));
    if (!frozen) {
        QVERIFY2(!read.err.contains(QStringLiteral("does not answer")), qPrintable(all));
        // Its own timeout, not the room it leaves an owner to answer: the silent
        // read ends before the owner would be given up on.
        const qint64 bound = reference + timeout.toLongLong() + line::LocalPort::kExtraWait.count();
        QVERIFY2(took < bound, qPrintable(QStringLiteral("%1 ms, bound %2 ms (reference %3 ms)")
                                              .arg(took)
                                              .arg(bound)
                                              .arg(reference)));
    }
}

QTEST_GUILESS_MAIN(TestE2eJoined)
#include "tst_e2e_joined.moc"
