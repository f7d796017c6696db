// The row's texts, the row writer's failures and the schedule's slots.

#include "engine/client.h"
#include "records/rowwriter.h"
#include "runs/schedule.h"

#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>
#include <QTimeZone>

#ifdef Q_OS_UNIX
#include <csignal>
#include <sys/resource.h>
#endif

using records::Row;
using records::RowWriter;

class TestRows : public QObject {
    Q_OBJECT
private slots:
    void lines_data();
    void lines();
    void refusals_data();
    void refusals();
    void failedWriteNamesCauseAndKeepsWholeRows();
    void schedule_data();
    void schedule();
    void slowRounds_data();
    void slowRounds();
};

namespace {

Row sampleRow(bool good, bool withStep)
{
    Row row;
    row.time = QDateTime(QDate(2026, 12, 7), QTime(17, 5, 47, 123), QTimeZone(3600));
    row.elapsedSeconds = 1.5004;
    row.address = 3;
    if (good) {
        protocol::StatusReading r;
        r.setVoltage = 1234;
        r.setCurrent = 1500;
        r.actualVoltage = 1232;
        r.actualCurrent = 500;
        r.outputOn = true;
        r.mode = 1;
        row.reading = r;
    } else {
        row.failure = {engine::Error::Exception, 2};
    }
    row.ampHours = 0.0001234;
    row.wattHours = 2;
    row.withStep = withStep;
    row.step = 4;
    if (good && withStep) {
        row.point = 0;
    }
    return row;
}

} // namespace

void TestRows::lines_data()
{
    QTest::addColumn<bool>("good");
    QTest::addColumn<bool>("withStep");
    QTest::addColumn<QString>("csv");
    QTest::addColumn<QString>("json");
    QTest::newRow("good") << true << false
                          << "2026-12-07T17:05:47.123+01:00,1.500,3,12.34,1.5,12.32,0.5,6.16,1,CV,"
                             "0.000123,2,"
                          << R"({"time":"2026-12-07T17:05:47.123+01:00","elapsed_s":1.500,)"
                             R"("address":3,"set_v":12.34,"set_a":1.5,"v":12.32,"a":0.5,"w":6.16,)"
                             R"("output":true,"mode":"CV","ah":0.000123,"wh":2,"error":null})";
    QTest::newRow("failed") << false << false
                            << "2026-12-07T17:05:47.123+01:00,1.500,3,,,,,,,,0.000123,2,exception 2"
                            << R"({"time":"2026-12-07T17:05:47.123+01:00","elapsed_s":1.500,)"
                               R"("address":3,"set_v":null,"set_a":null,"v":null,"a":null,)"
                               R"("w":null,"output":null,"mode":null,"ah":0.000123,"wh":2,)"
                               R"("error":"exception 2"})";
    QTest::newRow("run, point 0")
        << true << true
        << "2026-12-07T17:05:47.123+01:00,1.500,3,12.34,1.5,12.32,0.5,6.16,1,CV,0.000123,2,,4,0"
        << R"({"time":"2026-12-07T17:05:47.123+01:00","elapsed_s":1.500,"address":3,)"
           R"("set_v":12.34,"set_a":1.5,"v":12.32,"a":0.5,"w":6.16,"output":true,"mode":"CV",)"
           R"("ah":0.000123,"wh":2,"error":null,"step":4,"point":0})";
    QTest::newRow("run, failed") << false << true
                                 << "2026-12-07T17:05:47.123+01:00,1.500,3,,,,,,,,0.000123,2,"
                                    "exception 2,4,"
                                 << R"({"time":"2026-12-07T17:05:47.123+01:00","elapsed_s":1.500,)"
                                    R"("address":3,"set_v":null,"set_a":null,"v":null,"a":null,)"
                                    R"("w":null,"output":null,"mode":null,"ah":0.000123,"wh":2,)"
                                    R"("error":"exception 2","step":4,"point":null})";
}

void TestRows::lines()
{
    QFETCH(bool, good);
    QFETCH(bool, withStep);
    QFETCH(QString, csv);
    QFETCH(QString, json);
    const Row row = sampleRow(good, withStep);
    QCOMPARE(RowWriter::csvLine(row, withStep), csv);
    QCOMPARE(QString::fromUtf8(RowWriter::jsonLine(row, withStep)), json);
    QCOMPARE(RowWriter::csvLine(row, withStep).count(QLatin1Char(',')),
             RowWriter::csvHeader(withStep).count(QLatin1Char(',')));
}

void TestRows::refusals_data()
{
    QTest::addColumn<QString>("name"); // in a fresh folder; "." is the folder itself
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<int>("existing");
    QTest::addColumn<QString>("refusal"); // a part of it; empty: taken
    const int refuse = int(RowWriter::Existing::Refuse);
    const int append = int(RowWriter::Existing::Append);
    const int overwrite = int(RowWriter::Existing::Overwrite);
    QTest::newRow("stdout") << "-" << QByteArray() << refuse << "";
    QTest::newRow("new file") << "log.csv" << QByteArray() << refuse << "";
    QTest::newRow("data, refused")
        << "log.csv" << QByteArray("x\n") << refuse << "holds data already";
    QTest::newRow("data, overwrite") << "log.csv" << QByteArray("x\n") << overwrite << "";
    QTest::newRow("append, another header")
        << "log.csv" << QByteArray("a,b\n") << append << "does not begin as";
    QTest::newRow("append, same header")
        << "log.csv" << (RowWriter::csvHeader(false) + "\n").toUtf8() << append << "";
    QTest::newRow("a folder, overwrite") << "." << QByteArray() << overwrite << "is a folder";
    QTest::newRow("a folder, append") << "." << QByteArray() << append << "is a folder";
}

void TestRows::refusals()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, content);
    QFETCH(int, existing);
    QFETCH(QString, refusal);
    QTemporaryDir dir;
    const QString path = name == QLatin1String("-") ? name : dir.filePath(name);
    if (!content.isEmpty()) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(content);
    }
    const RowWriter writer(RowWriter::Format::Csv);
    const QString said = writer.refusal(path, RowWriter::Existing(existing));
    if (refusal.isEmpty()) {
        QVERIFY2(said.isEmpty(), qPrintable(said));
    } else {
        QVERIFY2(said.contains(refusal), qPrintable(said));
    }
}

void TestRows::failedWriteNamesCauseAndKeepsWholeRows()
{
#ifdef Q_OS_LINUX
    // A full device: the cause is named with the file, not "Unknown error".
    RowWriter full(RowWriter::Format::Jsonl);
    QCOMPARE(full.open(QStringLiteral("/dev/full"), RowWriter::Existing::Overwrite), QString());
    const QString why = full.write(sampleRow(true, false));
    QVERIFY2(why.startsWith(QStringLiteral("/dev/full: ")) && why.contains(QStringLiteral("space")),
             qPrintable(why));

    // A file that can only grow a little: the row that does not fit is cut away.
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("rows.csv"));
    RowWriter writer(RowWriter::Format::Csv);
    QCOMPARE(writer.open(path, RowWriter::Existing::Refuse), QString());
    QCOMPARE(writer.write(sampleRow(true, false)), QString());
    const qint64 whole = QFileInfo(path).size();
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit before{};
    getrlimit(RLIMIT_FSIZE, &before);
    rlimit small = before;
    small.rlim_cur = static_cast<rlim_t>(whole + 20);
    setrlimit(RLIMIT_FSIZE, &small);
    const QString cut = writer.write(sampleRow(false, false));
    setrlimit(RLIMIT_FSIZE, &before);
    QVERIFY2(cut.startsWith(path + QStringLiteral(": ")), qPrintable(cut));
    QCOMPARE(QFileInfo(path).size(), whole);
    QVERIFY(!writer.write(sampleRow(true, false)).isEmpty()); // no rows after a failure
#else
    QSKIP("needs /dev/full and RLIMIT_FSIZE");
#endif
}

void TestRows::schedule_data()
{
    QTest::addColumn<int>("interval");
    QTest::addColumn<QList<int>>("roundStarts"); // ms after the start
    QTest::addColumn<long>("skipped");
    QTest::addColumn<double>("lastLagMs");
    QTest::addColumn<int>("untilNext"); // ms from the last start to the next round
    QTest::newRow("on time") << 100 << QList<int>{0, 100, 200} << 0L << 0.0 << 100;
    QTest::newRow("late, caught up at once") << 100 << QList<int>{0, 150, 200} << 0L << 0.0 << 100;
    // A round that overran by more than a slot gives that slot up, never reads it
    // back to back.
    QTest::newRow("overran two slots") << 100 << QList<int>{0, 350} << 2L << 50.0 << 50;
    QTest::newRow("overran, then again") << 100 << QList<int>{0, 250, 520} << 3L << 20.0 << 80;
}

void TestRows::schedule()
{
    QFETCH(int, interval);
    QFETCH(QList<int>, roundStarts);
    QFETCH(long, skipped);
    QFETCH(double, lastLagMs);
    QFETCH(int, untilNext);
    constexpr std::int64_t kMs = 1'000'000;
    runs::Schedule schedule{std::chrono::milliseconds(interval)};
    schedule.start(7 * kMs);
    for (const int at : roundStarts) {
        schedule.roundStarted(7 * kMs + at * kMs);
    }
    QCOMPARE(schedule.rounds(), long(roundStarts.size()));
    QCOMPARE(schedule.slotsSkipped(), skipped);
    QCOMPARE(schedule.lastLagMs(), lastLagMs);
    QCOMPARE(schedule.untilNextRound(7 * kMs + roundStarts.last() * kMs), untilNext * kMs);
    QCOMPARE(schedule.summary().contains(QStringLiteral("given up")), skipped > 0);

    runs::Schedule timed{std::chrono::milliseconds(interval), std::chrono::milliseconds(250)};
    timed.start(0);
    QVERIFY(!timed.over(249 * kMs));
    QVERIFY(timed.over(250 * kMs));
}

// Rounds at a 200 ms interval, each its length in ms, with "h" when the line
// changed hands during it; the slow round said, and after which round it is.
void TestRows::slowRounds_data()
{
    QTest::addColumn<QStringList>("rounds");
    QTest::addColumn<int>("toldAfter"); // the round after whose end it is said; -1 never
    QTest::addColumn<int>("toldMs");
    const auto r = [](const char *text) { return QString::fromLatin1(text).split(u' '); };
    QTest::newRow("quick line") << r("20 30 25 20") << -1 << 0;
    QTest::newRow("slow line, said once") << r("20 250 20 300 20") << 2 << 250;
    QTest::newRow("slow rounds in a row, the first said") << r("250 260 270") << 1 << 250;
    QTest::newRow("the last round slow, nothing after it") << r("20 20 250") << -1 << 0;
    // The round that saw the handover, and the one before it, waited for the old
    // owner: neither is said.
    QTest::newRow("the handover round slow") << r("20 500h 20 20") << -1 << 0;
    QTest::newRow("the round before a handover slow") << r("20 500 20h 20") << -1 << 0;
    QTest::newRow("slow after a handover, then a quiet round") << r("20 20h 400 20") << 3 << 400;
    QTest::newRow("exactly the interval is not slow") << r("200 20 200 20") << -1 << 0;
}

void TestRows::slowRounds()
{
    QFETCH(QStringList, rounds);
    QFETCH(int, toldAfter);
    QFETCH(int, toldMs);
    constexpr std::int64_t kMs = 1'000'000;
    runs::Schedule schedule{std::chrono::milliseconds(200)};
    int saidAfter = -1;
    std::int64_t said = 0;
    for (int i = 0; i < rounds.size(); ++i) {
        QString round = rounds[i];
        const bool handedOver = round.endsWith(u'h');
        round.remove(u'h');
        if (const auto slow = schedule.roundEnded(round.toInt() * kMs, handedOver)) {
            QVERIFY2(saidAfter < 0, "said twice");
            saidAfter = i;
            said = *slow;
        }
    }
    QCOMPARE(saidAfter, toldAfter);
    QCOMPARE(said, toldMs * kMs);
}

QTEST_GUILESS_MAIN(TestRows)
#include "tst_rows.moc"
