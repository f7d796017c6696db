// End to end: `vantelctl log` against vantel-sim on a pseudo-terminal.
#include "support/ctlrig.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>
#include <cmath>
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
    void portLossIsRiddenOutWithPortRows();
    void appendAddsRowsUnderOneHeader();
    void endsCleanlyOnHangUpAndClosedPipe_data();
    void endsCleanlyOnHangUpAndClosedPipe();
    void absentPortExits3();
    void rowTimeIsItsRequestsTime();
    void saysWhatHappened_data();
    void saysWhatHappened();

private:
    void startLog(QProcess &process, const QStringList &arguments);
    QString path(const QString &name) const { return m_rig->path(name); }
    bool waitForRows(const QString &file, int rows);

    std::unique_ptr<testsupport::CtlRig> m_rig;
    testsupport::SimProcess *m_sim = nullptr;
};

void TestE2eVantelctlLog::init()
{
    m_rig = std::make_unique<testsupport::CtlRig>(QStringLiteral(VANTELCTL_PATH));
    // Two supplies on one bus.
    QVERIFY(m_rig->startSim({QStringLiteral("--address"), QStringLiteral("1,2"),
                             QStringLiteral("--voltage"), QStringLiteral("5"),
                             QStringLiteral("--current"), QStringLiteral("1"),
                             QStringLiteral("--output"), QStringLiteral("on")}));
    m_sim = &m_rig->sim();
}

void TestE2eVantelctlLog::cleanup()
{
    m_sim = nullptr;
    m_rig.reset();
}

void TestE2eVantelctlLog::startLog(QProcess &process, const QStringList &arguments)
{
    QVERIFY(m_rig->start(process, QStringList{QStringLiteral("log")} + arguments));
}

bool TestE2eVantelctlLog::waitForRows(const QString &file, int rows)
{
    return QTest::qWaitFor([&] { return fileLines(file).size() >= rows; }, kWaitMs);
}

void TestE2eVantelctlLog::rowsOnScheduleAndASilentAddress()
{
    QProcess log;
    // A timeout that fits the interval with the other address's reading, and
    // leaves the instant simulator's answers room on a machine four times slower.
    constexpr int kRounds = 8;
    constexpr double kIntervalS = 1.0;
    startLog(log, {QStringLiteral("--addresses"), QStringLiteral("1-2"),
                   QStringLiteral("--interval"), QStringLiteral("1000"),
                   QStringLiteral("--timeout"), QStringLiteral("600"), QStringLiteral("--duration"),
                   QStringLiteral("8s"), QStringLiteral("--output"), path("log.csv")});
    // Address 2 falls silent after a few rounds.
    QVERIFY(waitForRows(path("log.csv"), 1 + 2 * 3));
    QCOMPARE(m_sim->command(QStringLiteral("fault silence on 2")), QStringLiteral("ok"));
    QVERIFY(log.waitForFinished(kWaitMs));
    QCOMPARE(log.exitCode(), 0);
    const QStringList lines = fileLines(path("log.csv"));
    QCOMPARE(lines.value(0),
             QStringLiteral("time,elapsed_s,address,set_v,set_a,v,a,w,output,mode,ah,wh,error"));
    QList<double> startsOf1;
    int goodOf2 = 0;
    int timeoutsOf2 = 0;
    for (const QString &line : lines.mid(1)) {
        const QStringList cells = line.split(QLatin1Char(','));
        QCOMPARE(cells.size(), 13);
        const bool good = cells[12].isEmpty();
        if (good) {
            // 5 V on 10 ohms: 0.5 A in CV.
            QCOMPARE(cells.mid(3, 7).join(QLatin1Char(',')), QStringLiteral("5,1,5,0.5,2.5,1,CV"));
        } else {
            QCOMPARE(cells[12], QStringLiteral("timeout"));
            QCOMPARE(cells.mid(3, 7).join(QString()), QString());
        }
        if (cells[2] == QLatin1String("1")) {
            QVERIFY(good);
            startsOf1 << cells[1].toDouble();
        } else {
            QCOMPARE(cells[2], QStringLiteral("2"));
            QVERIFY(!good || timeoutsOf2 == 0); // once silent, silent to the end
            (good ? goodOf2 : timeoutsOf2)++;
        }
    }
    // Rounds start at 0, 1, ... 7 s: eight rows per address.
    QCOMPARE(startsOf1.size(), kRounds);
    QCOMPARE(goodOf2 + timeoutsOf2, kRounds);
    QVERIFY(goodOf2 >= 3 && timeoutsOf2 >= 3);
    // The silent address costs its timeout, and address 1 keeps its period: round k
    // starts k intervals after the start, not later and later.
    for (int k = 0; k < startsOf1.size(); ++k) {
        QVERIFY2(startsOf1[k] >= k * kIntervalS - 0.001, qPrintable(QString::number(startsOf1[k])));
    }
    QVERIFY2(startsOf1.last() < kRounds * kIntervalS,
             qPrintable(QString::number(startsOf1.last())));
    // 2.5 W over the whole run for address 1.
    const QStringList last = lines.value(lines.size() - 2).split(QLatin1Char(','));
    QVERIFY2(std::abs(last.value(11).toDouble() -
                      2.5 * (startsOf1.last() - startsOf1.first()) / 3600) < 1e-5,
             qPrintable(lines.value(lines.size() - 2)));
    const QString summary = QString::fromUtf8(log.readAllStandardError());
    QVERIFY2(summary.contains(QStringLiteral("link: %1 requests, %2 replies, %3 timeouts")
                                  .arg(2 * kRounds)
                                  .arg(kRounds + goodOf2)
                                  .arg(timeoutsOf2)),
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
        QVERIFY2(summary.contains(
                     QStringLiteral("link: %1 requests, %1 replies, 0 timeouts").arg(lines.size())),
                 qPrintable(summary));
        QVERIFY(summary.contains(QStringLiteral("round trip: median ")));
    }
}

void TestE2eVantelctlLog::stopBelowSwitchesOffAndEnds()
{
    // Two batteries charging at 12.6 V through 1 ohm: their current starts at 0.6 A
    // and tapers, that of address 2 half as fast.
    for (const QString &command :
         {QStringLiteral("set voltage 12.6"), QStringLiteral("set load battery:12,1,1 1"),
          QStringLiteral("set load battery:12,1,2 2")}) {
        QCOMPARE(m_sim->command(command), QStringLiteral("ok"));
    }
    QProcess log;
    startLog(log,
             {QStringLiteral("--addresses"), QStringLiteral("1,2"), QStringLiteral("--interval"),
              QStringLiteral("100"), QStringLiteral("--stop-below"), QStringLiteral("0.3"),
              QStringLiteral("--output"), path("log.csv")});
    QVERIFY(log.waitForFinished(kWaitMs));
    QCOMPARE(log.exitCode(), 0);
    const QString status =
        m_sim->command(QStringLiteral("status 1")) + m_sim->command(QStringLiteral("status 2"));
    QCOMPARE(status.count(QStringLiteral(" output=off ")), 2);
    const QString err = QString::fromUtf8(log.readAllStandardError());
    QVERIFY2(err.contains(QStringLiteral("address 1: output switched off at 0.2")),
             qPrintable(err));
    QVERIFY2(err.contains(QStringLiteral("address 2: output switched off at 0.2")),
             qPrintable(err));

    // Per address: readings with the output on, the last three below the cut-off,
    // then (address 1, cut off first) readings with the output off to the end.
    QMap<QString, QStringList> rows;
    for (const QString &line : fileLines(path("log.csv")).mid(1)) {
        const QStringList cells = line.split(QLatin1Char(','));
        if (cells[12].isEmpty()) {
            rows[cells[2]] << cells[6] + QLatin1Char(',') + cells[8];
        }
    }
    for (const QString &address : {QStringLiteral("1"), QStringLiteral("2")}) {
        const QStringList &r = rows[address];
        const auto firstOff = std::find_if(r.begin(), r.end(), [](const QString &cell) {
            return cell.endsWith(QLatin1String(",0"));
        });
        const auto on = std::distance(r.begin(), firstOff);
        QVERIFY2(on >= 4, qPrintable(r.join(QLatin1Char(' '))));
        for (auto i = on - 3; i < on; ++i) {
            QVERIFY2(r[i].split(QLatin1Char(',')).value(0).toDouble() < 0.3, qPrintable(r[i]));
        }
        QVERIFY(r[on - 4].split(QLatin1Char(',')).value(0).toDouble() >= 0.3);
        QVERIFY(std::all_of(firstOff, r.end(),
                            [](const QString &cell) { return cell == QLatin1String("0,0"); }));
        if (address == QLatin1String("1")) {
            QVERIFY2(r.end() - firstOff >= 3, qPrintable(r.join(QLatin1Char(' '))));
        }
    }
}

void TestE2eVantelctlLog::offAtEndSwitchesOff()
{
    QProcess log;
    startLog(log, {QStringLiteral("--duration"), QStringLiteral("1s"),
                   QStringLiteral("--off-at-end"), QStringLiteral("--output"), path("log.csv")});
    QVERIFY(log.waitForFinished(kWaitMs));
    QCOMPARE(log.exitCode(), 0);
    QVERIFY(m_sim->command(QStringLiteral("status")).contains(QStringLiteral(" output=off ")));
    // Every row was read before the switch-off.
    for (const QString &line : fileLines(path("log.csv")).mid(1)) {
        QVERIFY(line.contains(QStringLiteral(",CV,")));
    }
}

void TestE2eVantelctlLog::portLossIsRiddenOutWithPortRows()
{
    QProcess log;
    startLog(log, {QStringLiteral("--interval"), QStringLiteral("50"), QStringLiteral("--output"),
                   path("log.csv")});
    QVERIFY(waitForRows(path("log.csv"), 4));
    const int before = static_cast<int>(fileLines(path("log.csv")).size());
    // The simulator dies and leaves its link dangling: the port cannot be opened
    // again, and the log goes on, a `port` row for each reading, until stopped.
    m_sim->stop(testsupport::SimProcess::Stop::Kill);
    QVERIFY(waitForRows(path("log.csv"), before + 6));
    QVERIFY(log.state() == QProcess::Running);
    ::kill(static_cast<pid_t>(log.processId()), SIGINT);
    QVERIFY(log.waitForFinished(kWaitMs));
    // It ended without its port: a failure, whatever stopped it.
    QCOMPARE(log.exitCode(), 1);
    const QStringList lines = fileLines(path("log.csv"));
    QVERIFY2(lines.last().endsWith(QStringLiteral(",port")), qPrintable(lines.last()));
    QVERIFY(lines.mid(before).filter(QStringLiteral(",port")).size() >= 6);
    const QString err = QString::fromUtf8(log.readAllStandardError());
    QVERIFY(err.contains(QStringLiteral("link: ")));
    QCOMPARE(err.count(QStringLiteral("the port COM1 was lost (")), 1);
    QVERIFY2(err.contains(QStringLiteral("opening it again every second")), qPrintable(err));
    QVERIFY2(!err.contains(QStringLiteral("valid only when the port is open")), qPrintable(err));
}

void TestE2eVantelctlLog::appendAddsRowsUnderOneHeader()
{
    for (const char *mode : {"--overwrite", "--append", "--append"}) {
        QProcess log;
        startLog(log, {QStringLiteral("--duration"), QStringLiteral("1s"), QString::fromUtf8(mode),
                       QStringLiteral("--output"), path("log.csv")});
        QVERIFY(log.waitForFinished(kWaitMs));
        QCOMPARE(log.exitCode(), 0);
    }
    const QStringList lines = fileLines(path("log.csv"));
    QCOMPARE(lines.count(lines.value(0)), 1);
    QVERIFY2(lines.size() >= 1 + 3 * 2, qPrintable(lines.join(QLatin1Char('\n'))));
    for (const QString &line : lines.mid(1)) {
        QCOMPARE(line.count(QLatin1Char(',')), 12);
    }
}

void TestE2eVantelctlLog::endsCleanlyOnHangUpAndClosedPipe_data()
{
    QTest::addColumn<QString>("command"); // $V is vantelctl; the exit status is its own
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("said");
    // The reader of the rows goes away: the next write fails, the log ends and
    // switches the output off instead of dying of SIGPIPE.
    QTest::newRow("closed pipe, --off-at-end")
        << "$V log --interval 50 --off-at-end | head -n 3 >/dev/null; exit ${PIPESTATUS[0]}" << 1
        << "cannot write a row to stdout: ";
    // A closed terminal during a charge guarded by --stop-below: the cut-off can
    // no longer be watched, so the output goes off on the way out.
    QTest::newRow("hang-up, --stop-below")
        << "$V log --interval 50 --stop-below 0.1 --output \"$D/rows.csv\" & "
           "sleep 1; kill -HUP $!; wait $!"
        << 0 << "link: ";
}

void TestE2eVantelctlLog::endsCleanlyOnHangUpAndClosedPipe()
{
    QFETCH(QString, command);
    QFETCH(int, code);
    QFETCH(QString, said);
    const testsupport::CtlResult shell = m_rig->shell(command);
    const QString err = shell.err;
    QVERIFY2(shell.code == code, qPrintable(err));
    QVERIFY2(err.contains(said), qPrintable(err));
    QVERIFY2(err.contains(QStringLiteral("address 1: output switched off")), qPrintable(err));
    QVERIFY(m_sim->command(QStringLiteral("status 1")).contains(QStringLiteral(" output=off ")));
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

// After an address timed out, its next request waits for a quiet line: its row
// still carries the moment that request went out, not its slot's.
void TestE2eVantelctlLog::rowTimeIsItsRequestsTime()
{
    // Supply 1 answers 250 ms late and supply 2 not at all (a 400 ms timeout), so
    // a row stamped when its reply came, or when its wait ended, would be 250 ms
    // or more off its request's time: the bound leaves room for a busy machine.
    QVERIFY(m_rig->startSim({"--address", "1,2", "--output", "on", "--trace"}));
    m_sim = &m_rig->sim();
    QCOMPARE(m_sim->command(QStringLiteral("fault delay 250 1")), QStringLiteral("ok"));
    QCOMPARE(m_sim->command(QStringLiteral("fault silence on 2")), QStringLiteral("ok"));
    QProcess log;
    startLog(log, {"--addresses", "1,2", "--interval", "1000", "--timeout", "400", "--duration",
                   "5s", "--output", path("log.csv")});
    QVERIFY(log.waitForFinished(kWaitMs));
    QCOMPARE(log.exitCode(), 0);
    m_sim->command(QStringLiteral("status")); // every trace line so far is in
    QList<double> requests;
    for (const testsupport::TraceLine &line : m_sim->trace()) {
        if (line.kind == QLatin1String("rx")) {
            requests << line.seconds;
        }
    }
    const QStringList rows = fileLines(path("log.csv")).mid(1);
    QVERIFY(rows.size() >= 6);
    QCOMPARE(rows.size(), requests.size());
    const double firstRow = rows.first().section(QLatin1Char(','), 1, 1).toDouble();
    for (qsizetype i = 0; i < rows.size(); ++i) {
        const double rowAt = rows[i].section(QLatin1Char(','), 1, 1).toDouble() - firstRow;
        const double sentAt = requests[i] - requests.first();
        QVERIFY2(std::abs(rowAt - sentAt) < 0.125, qPrintable(rows[i]));
    }
}

void TestE2eVantelctlLog::saysWhatHappened_data()
{
    QTest::addColumn<QString>("before"); // simulator commands, ';' between them
    QTest::addColumn<QString>("script"); // bash: $V vantelctl, $D the folder, $S the simulator
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("said"); // on stderr
    QTest::addColumn<QString>("out");  // on stdout
    QTest::addColumn<QString>("rows"); // a CSV file in $D whose rows must all be whole
    QTest::newRow("a folder for --output")
        << ""
        << "$V log --output \"$D\" --overwrite --duration 1s" << 2 << "is a folder"
        << ""
        << "";
    QTest::newRow("--json writes JSON lines") << ""
                                              << "$V --json log --duration 1s" << 0 << "link: "
                                              << R"({"time":")"
                                              << "";
    QTest::newRow("--json refuses --format csv")
        << ""
        << "$V --json log --format csv --duration 1s" << 2 << "--format csv"
        << ""
        << "";
    QTest::newRow("--output - is stdout") << ""
                                          << "$V log --output - --duration 1s" << 0 << "link: "
                                          << "time,elapsed_s,"
                                          << "";
    // One rule for one output or many: every output off ends the log, however
    // it came to be off.
    QTest::newRow("--stop-below, the only output off already")
        << "set output off 1"
        << "$V log --stop-below 0.1 --duration 30s" << 0 << "link: "
        << ""
        << "";
    QTest::newRow("a reply from another address is foreign")
        << "fault foreign on 1"
        << "$V log --duration 1s" << 0 << "link: "
        << ",foreign\n"
        << "";
    // The port never comes back: the switch-off on the way out waits for it, then
    // says what the output may be. The killed simulator's link goes too: the pty
    // it names may be given to another simulator, which our log would then reach.
    QTest::newRow("port lost with --off-at-end")
        << ""
        << "$V log --off-at-end --interval 50 & sleep 1; kill -9 $S; rm -f \"$D/COM1\"; "
           "sleep 0.5; kill -INT $!; "
           "wait $!"
        << 1 << "it may still be on"
        << ""
        << "";
    QTest::newRow("no reply at all")
        << "fault silence on"
        << "$V log --duration 1s --timeout 100" << 0 << "round trip: no replies"
        << ",timeout\n"
        << "";
    QTest::newRow("a full file")
        << ""
        << "ulimit -f 2; $V log --interval 20 --off-at-end --output \"$D/full.csv\"" << 1
        << "full.csv: File too large; the log ends"
        << ""
        << "full.csv";
}

// Each way a log can go wrong or be asked to do something is said as it is.
void TestE2eVantelctlLog::saysWhatHappened()
{
    QFETCH(QString, before);
    QFETCH(QString, script);
    QFETCH(int, code);
    QFETCH(QString, said);
    QFETCH(QString, out);
    QFETCH(QString, rows);
    for (const QString &command : before.split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
        QCOMPARE(m_sim->command(command.trimmed()), QStringLiteral("ok"));
    }
    const testsupport::CtlResult r = m_rig->shell(script);
    QVERIFY2(r.code == code, qPrintable(QString::number(r.code) + QLatin1Char('\n') + r.err));
    QVERIFY2(r.err.contains(said), qPrintable(r.err));
    QVERIFY2(r.out.contains(out), qPrintable(r.out.left(400)));
    if (!rows.isEmpty()) {
        QFile file(path(rows));
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray text = file.readAll();
        QVERIFY(text.endsWith('\n'));
        const QList<QByteArray> lines = text.trimmed().split('\n');
        QVERIFY(lines.size() > 2);
        for (const QByteArray &line : lines) {
            QCOMPARE(line.count(','), 12);
        }
    }
}

QTEST_GUILESS_MAIN(TestE2eVantelctlLog)
#include "tst_e2e_vantelctl_log.moc"
