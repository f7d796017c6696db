// End to end: the owner of the line is killed (SIGKILL) while a joined log's
// request is on its line. The log takes the line over at the cost of one reading
// at most, and its link summary counts every request once: a reply, or a named
// failure such as the request cut off by the handover.
#include "support/ctlrig.h"

#include <QDeadlineTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QtTest>

#include <csignal>
#include <memory>

namespace {

using testsupport::CtlResult;

constexpr int kOwned = 5;  // the owner's log polls this supply
constexpr int kJoined = 9; // the joined log's, which answers late
// Late enough that the joined request is on the line for most of each round and
// its answer comes after the kill; the timeout leaves it room on a machine four
// times slower.
constexpr int kDelayMs = 100;
constexpr int kIntervalMs = 200;
constexpr int kWaitMs = 20000;
constexpr int kRounds = 3;

// The slots a log's schedule line says it gave up.
int slotsGivenUp(const QString &err)
{
    static const QRegularExpression given(QStringLiteral("(\\d+) slots? given up"));
    const QRegularExpressionMatch match = given.match(err);
    return match.hasMatch() ? match.captured(1).toInt() : 0;
}

// The link line's requests, and its counts of how they ended (late frames and
// junk bytes are no request's end).
struct LinkLine {
    long requests = -1;
    long ended = 0;
    QString text;
};

LinkLine linkLine(const QString &err)
{
    static const QRegularExpression line(QStringLiteral("link: ([^\\n]*)"));
    static const QRegularExpression count(QStringLiteral("^(\\d+) (.*)$"));
    LinkLine link;
    const QRegularExpressionMatch found = line.match(err);
    if (!found.hasMatch()) {
        return link;
    }
    link.text = found.captured(1);
    const QStringList parts = link.text.split(QStringLiteral(", "));
    for (int i = 0; i < parts.size(); ++i) {
        const QRegularExpressionMatch part = count.match(parts[i]);
        if (!part.hasMatch()) {
            return {-1, 0, link.text};
        }
        const long n = part.captured(1).toLong();
        if (i == 0) {
            link.requests = n;
        } else if (!part.captured(2).startsWith(QLatin1String("late")) &&
                   !part.captured(2).startsWith(QLatin1String("junk"))) {
            link.ended += n;
        }
    }
    return link;
}

qsizetype failedRows(const QString &csv)
{
    qsizetype failed = 0;
    const QStringList lines = csv.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (const QString &row : lines.mid(1)) {
        if (!row.endsWith(QLatin1Char(','))) {
            ++failed; // the error column is the last
        }
    }
    return failed;
}

} // namespace

class TestE2eHandover : public QObject {
    Q_OBJECT
private slots:
    void cleanup();
    void killedOwnerCostsOneReadingAtMost_data();
    void killedOwnerCostsOneReadingAtMost();

private:
    QStringList logArguments(int address, const QString &file, const QString &duration) const;

    std::unique_ptr<testsupport::CtlRig> m_rig;
    std::vector<std::unique_ptr<QProcess>> m_processes;
};

void TestE2eHandover::cleanup()
{
    testsupport::killAll(m_processes);
    m_rig.reset();
}

QStringList TestE2eHandover::logArguments(int address, const QString &file,
                                          const QString &duration) const
{
    return {QStringLiteral("--port"),
            QStringLiteral("COM1"),
            QStringLiteral("--address"),
            QString::number(address),
            QStringLiteral("--timeout"),
            QStringLiteral("1000"),
            QStringLiteral("log"),
            QStringLiteral("--interval"),
            QString::number(kIntervalMs),
            QStringLiteral("--duration"),
            duration,
            QStringLiteral("--output"),
            file};
}

void TestE2eHandover::killedOwnerCostsOneReadingAtMost_data()
{
    QTest::addColumn<QString>("line");
    for (const char *line : {"timed", "instant"}) {
        QTest::newRow(line) << QString::fromUtf8(line);
    }
}

void TestE2eHandover::killedOwnerCostsOneReadingAtMost()
{
    QFETCH(QString, line);
    m_rig = std::make_unique<testsupport::CtlRig>(QStringLiteral(VANTELCTL_PATH));
    QVERIFY(m_rig->startSim({QStringLiteral("--address"),
                             QStringLiteral("%1,%2").arg(kOwned).arg(kJoined),
                             QStringLiteral("--line"), line}));
    const QString delayed =
        m_rig->sim().command(QStringLiteral("fault delay %1 %2").arg(kDelayMs).arg(kJoined));
    QVERIFY2(delayed.startsWith(QStringLiteral("ok")), qPrintable(delayed));

    for (int round = 0; round < kRounds; ++round) {
        const QString ownerFile = m_rig->path(QStringLiteral("owner%1.csv").arg(round));
        m_processes.push_back(std::make_unique<QProcess>());
        QProcess &owner = *m_processes.back();
        QVERIFY(m_rig->start(owner, logArguments(kOwned, ownerFile, QStringLiteral("60s"))));
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(ownerFile).size() > 0, kWaitMs);

        // The joined log traces its line, so that the owner is killed while the
        // log's request is on the owner's line.
        const QString joinedFile = m_rig->path(QStringLiteral("joined%1.csv").arg(round));
        m_processes.push_back(std::make_unique<QProcess>());
        QProcess &joined = *m_processes.back();
        QProcessEnvironment env = m_rig->environment();
        env.insert(QStringLiteral("QT_LOGGING_RULES"), QStringLiteral("vantel.line.debug=true"));
        joined.setProcessEnvironment(env);
        joined.start(QStringLiteral(VANTELCTL_PATH),
                     logArguments(kJoined, joinedFile, QStringLiteral("3s")));
        QVERIFY(joined.waitForStarted(kWaitMs));
        QString err;
        static const QRegularExpression onTheLine(QStringLiteral("on the owner's line"));
        QDeadlineTimer deadline(kWaitMs);
        // The third of its requests on the owner's line: the log runs on schedule.
        while (err.count(onTheLine) < 3 && !deadline.hasExpired() &&
               joined.state() == QProcess::Running) {
            joined.setReadChannel(QProcess::StandardError);
            joined.waitForReadyRead(10);
            err += QString::fromUtf8(joined.readAllStandardError());
        }
        QVERIFY2(err.count(onTheLine) >= 3, qPrintable(err));
        ::kill(static_cast<pid_t>(owner.processId()), SIGKILL);

        const CtlResult ended = testsupport::CtlRig::finish(joined, kWaitMs);
        err += ended.err;
        QVERIFY2(ended.code == 0, qPrintable(err));
        QFile csv(joinedFile);
        QVERIFY(csv.open(QIODevice::ReadOnly));
        const qsizetype failed = failedRows(QString::fromUtf8(csv.readAll()));
        const int skipped = slotsGivenUp(err);
        QVERIFY2(skipped + failed <= 1,
                 qPrintable(QStringLiteral("round %1: %2 slots given up, %3 rows failed:\n%4")
                                .arg(round)
                                .arg(skipped)
                                .arg(failed)
                                .arg(err)));
        const LinkLine link = linkLine(err);
        QVERIFY2(link.requests > 0 && link.ended == link.requests,
                 qPrintable(QStringLiteral("round %1: %2\n%3").arg(round).arg(link.text, err)));
        owner.waitForFinished(kWaitMs);
    }
}

QTEST_GUILESS_MAIN(TestE2eHandover)
#include "tst_e2e_handover.moc"
