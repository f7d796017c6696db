// End to end: `vantelctl log` against vantel-sim on a pseudo-terminal.
#include "support/simprocess.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>
#include <csignal>

namespace {

constexpr int kWaitMs = 15000; // upper bound for a whole log in these tests

QStringList fileLines(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    return QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

} // namespace

class TestE2eVantelctlLog : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void rowsOnScheduleAndASilentAddress();
    void stopEndsWithWholeFileAndSummary_data();
    void stopEndsWithWholeFileAndSummary();
    void stopBelowSwitchesOffAndEnds();
    void offAtEndSwitchesOff();
    void portFailureExits1AndKeepsRows();
    void absentPortExits3();

private:
    void startLog(QProcess &process, const QStringList &arguments);
    QString path(const QString &name) const { return m_dir->filePath(name); }
    bool waitForRows(const QString &file, int rows);

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<testsupport::SimProcess> m_sim;
};

void TestE2eVantelctlLog::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    m_sim = std::make_unique<testsupport::SimProcess>(m_dir->path());
    QVERIFY(m_sim->start({QStringLiteral("--port"), QStringLiteral("1"),
                          QStringLiteral("--voltage"), QStringLiteral("5"),
                          QStringLiteral("--current"), QStringLiteral("1"),
                          QStringLiteral("--output"), QStringLiteral("on")}));
}

void TestE2eVantelctlLog::cleanup()
{
    m_sim.reset();
    m_dir.reset();
}

void TestE2eVantelctlLog::startLog(QProcess &process, const QStringList &arguments)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("VANTEL_PORT_DIR"), m_dir->path());
    process.setProcessEnvironment(env);
    process.start(QStringLiteral(VANTELCTL_PATH), QStringList{QStringLiteral("log")} + arguments);
    QVERIFY(process.waitForStarted(kWaitMs));
}

bool TestE2eVantelctlLog::waitForRows(const QString &file, int rows)
{
    return QTest::qWaitFor([&] { return fileLines(file).size() >= rows; }, kWaitMs);
}

void TestE2eVantelctlLog::rowsOnScheduleAndASilentAddress()
{
    QProcess log;
    startLog(log, {QStringLiteral("--addresses"), QStringLiteral("1-2"), QStringLiteral("--duration"),
                   QStringLiteral("5s"), QStringLiteral("--output"), path("log.csv")});
    QVERIFY(log.waitForFinished(kWaitMs));
    QCOMPARE(log.exitCode(), 0);
    const QStringList lines = fileLines(path("log.csv"));
    QCOMPARE(lines.value(0),
             QStringLiteral("time,elapsed_s,address,set_v,set_a,v,a,w,output,mode,ah,wh,error"));
    // Rounds start at 0, 0.35, ... 4.9 s: fifteen rows per address.
    QList<double> startsOf1;
    int timeoutsOf2 = 0;
    for (const QString &line : lines.mid(1)) {
        const QStringList cells = line.split(QLatin1Char(','));
        QCOMPARE(cells.size(), 13);
        if (cells[2] == QLatin1String("1")) {
            // 5 V on 10 ohms: 0.5 A in CV.
            QCOMPARE(cells.mid(3, 7).join(QLatin1Char(',')), QStringLiteral("5,1,5,0.5,2.5,1,CV"));
            QCOMPARE(cells[12], QString());
            startsOf1 << cells[1].toDouble();
        } else {
            QCOMPARE(cells[2], QStringLiteral("2"));
            QCOMPARE(cells.mid(3, 7).join(QString()), QString());
            QCOMPARE(cells[12], QStringLiteral("timeout"));
            ++timeoutsOf2;
        }
    }
    QCOMPARE(startsOf1.size(), 15);
    QCOMPARE(timeoutsOf2, 15);
    // The silent address costs its timeout, and address 1 keeps its period: round k
    // starts k x 350 ms after the first, not later and later.
    for (int k = 0; k < startsOf1.size(); ++k) {
        QVERIFY2(startsOf1[k] >= k * 0.35 - 0.001, qPrintable(QString::number(startsOf1[k])));
    }
    QVERIFY2(startsOf1.last() < 14 * 0.35 + 0.2, qPrintable(QString::number(startsOf1.last())));
    // 2.5 W for 14 intervals of 0.35 s.
    const QStringList last = lines.value(lines.size() - 2).split(QLatin1Char(','));
    QVERIFY2(std::abs(last.value(11).toDouble() - 2.5 * (startsOf1.last() - startsOf1.first()) /
                                                      3600) < 1e-5,
             qPrintable(lines.value(lines.size() - 2)));
    const QString summary = QString::fromUtf8(log.readAllStandardError());
    QVERIFY2(summary.contains(QStringLiteral("link: 30 requests, 15 replies, 15 timeouts")),
             qPrintable(summary));
}

void TestE2eVantelctlLog::stopEndsWithWholeFileAndSummary_data()
{
    QTest::addColumn<int>("signal");
    QTest::newRow("SIGTERM") << SIGTERM;
    QTest::newRow("SIGINT") << SIGINT;
    QTest::newRow("SIGKILL") << SIGKILL;
}

void TestE2eVantelctlLog::stopEndsWithWholeFileAndSummary()
{
    QFETCH(int, signal);
    QProcess log;
    startLog(log, {QStringLiteral("--interval"), QStringLiteral("50"), QStringLiteral("--format"),
                   QStringLiteral("jsonl"), QStringLiteral("--output"), path("log.jsonl")});
    QVERIFY(waitForRows(path("log.jsonl"), 5));
    ::kill(static_cast<pid_t>(log.processId()), signal);
    QVERIFY(log.waitForFinished(kWaitMs));
    const QStringList lines = fileLines(path("log.jsonl"));
    QVERIFY(lines.size() >= 5);
    for (const QString &line : lines) {
        QJsonParseError error;
        const QJsonObject row = QJsonDocument::fromJson(line.toUtf8(), &error).object();
        QCOMPARE(error.error, QJsonParseError::NoError);
        QCOMPARE(row.value(QStringLiteral("v")).toDouble(), 5.0);
    }
    if (signal != SIGKILL) {
        QCOMPARE(log.exitStatus(), QProcess::NormalExit);
        QCOMPARE(log.exitCode(), 0);
        const QString summary = QString::fromUtf8(log.readAllStandardError());
        QVERIFY2(summary.contains(QStringLiteral("link: %1 requests, %1 replies, 0 timeouts")
                                      .arg(lines.size())),
                 qPrintable(summary));
        QVERIFY(summary.contains(QStringLiteral("round trip: median ")));
    }
}

void TestE2eVantelctlLog::stopBelowSwitchesOffAndEnds()
{
    QProcess log;
    startLog(log, {QStringLiteral("--interval"), QStringLiteral("100"),
                   QStringLiteral("--stop-below"), QStringLiteral("0.1"), QStringLiteral("--output"),
                   path("log.csv")});
    QVERIFY(waitForRows(path("log.csv"), 6));
    // The load's current tapers below the cut-off.
    QCOMPARE(m_sim->command(QStringLiteral("set actual-current 0.12")), QStringLiteral("ok"));
    QVERIFY(waitForRows(path("log.csv"), 12));
    QCOMPARE(m_sim->command(QStringLiteral("set actual-current 0.05")), QStringLiteral("ok"));
    QVERIFY(log.waitForFinished(kWaitMs));
    QCOMPARE(log.exitCode(), 0);
    QVERIFY(m_sim->command(QStringLiteral("status")).contains(QStringLiteral(" output=off ")));
    const QStringList lines = fileLines(path("log.csv"));
    // The last three rows read the low current with the output still on.
    for (const QString &line : lines.mid(lines.size() - 3)) {
        QVERIFY2(line.contains(QStringLiteral(",0.05,0.25,1,")), qPrintable(line));
    }
    QVERIFY(!lines.value(lines.size() - 4).contains(QStringLiteral(",0.05,")));
    const QString err = QString::fromUtf8(log.readAllStandardError());
    QVERIFY2(err.contains(QStringLiteral("address 1: output switched off at 0.050 A")),
             qPrintable(err));
}

void TestE2eVantelctlLog::offAtEndSwitchesOff()
{
    QProcess log;
    startLog(log, {QStringLiteral("--duration"), QStringLiteral("1s"), QStringLiteral("--off-at-end"),
                   QStringLiteral("--output"), path("log.csv")});
    QVERIFY(log.waitForFinished(kWaitMs));
    QCOMPARE(log.exitCode(), 0);
    QVERIFY(m_sim->command(QStringLiteral("status")).contains(QStringLiteral(" output=off ")));
    // Every row was read before the switch-off.
    for (const QString &line : fileLines(path("log.csv")).mid(1)) {
        QVERIFY(line.contains(QStringLiteral(",CV,")));
    }
}

void TestE2eVantelctlLog::portFailureExits1AndKeepsRows()
{
    QProcess log;
    startLog(log, {QStringLiteral("--interval"), QStringLiteral("50"), QStringLiteral("--output"),
                   path("log.csv")});
    QVERIFY(waitForRows(path("log.csv"), 4));
    m_sim->stop(testsupport::SimProcess::Stop::Kill);
    QVERIFY(log.waitForFinished(kWaitMs));
    QCOMPARE(log.exitCode(), 1);
    const QStringList lines = fileLines(path("log.csv"));
    QVERIFY(lines.size() >= 4);
    QVERIFY(QString::fromUtf8(log.readAllStandardError()).contains(QStringLiteral("link: ")));
}

void TestE2eVantelctlLog::absentPortExits3()
{
    QProcess log;
    startLog(log, {QStringLiteral("--port"), QStringLiteral("COM5"), QStringLiteral("--output"),
                   path("never.csv")});
    QVERIFY(log.waitForFinished(kWaitMs));
    QCOMPARE(log.exitCode(), 3);
    QVERIFY(!QFile::exists(path("never.csv")));
}

QTEST_GUILESS_MAIN(TestE2eVantelctlLog)
#include "tst_e2e_vantelctl_log.moc"
