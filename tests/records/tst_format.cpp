// The formatter's texts: numbers and times written by hand, byte for byte as Qt
// writes them, and the row writer's reused line buffer.

#include "engine/client.h"
#include "records/format.h"
#include "records/rowwriter.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QTimeZone>

#include <climits>
#include <ctime>

#ifdef Q_OS_UNIX
#include <csignal>
#include <sys/resource.h>
#endif

using records::Row;
using records::RowWriter;

class TestFormat : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void numbers_data();
    void numbers();
    void times_data();
    void times();
    void timesOverTwoCenturies();
    void jsonStrings_data();
    void jsonStrings();
    void reusedLineKeepsNoOldBytes();
    void failedAppendKeepsWhatTheFileHeld();
};

namespace {

// The time as Qt writes it, the way the formatter wrote it before it wrote times
// by hand: the local offset for UTC and local times, the time's own otherwise.
QString qtTimeText(const QDateTime &time)
{
    const qint64 ms = time.toMSecsSinceEpoch();
    const int offset = time.timeSpec() == Qt::UTC || time.timeSpec() == Qt::LocalTime
                           ? QDateTime::fromMSecsSinceEpoch(ms).offsetFromUtc()
                           : time.offsetFromUtc();
    const int minutes = std::abs(offset) / 60;
    return QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC)
               .toOffsetFromUtc(offset)
               .toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzz")) +
           (offset < 0 ? QLatin1Char('-') : QLatin1Char('+')) +
           QStringLiteral("%1:%2")
               .arg(minutes / 60, 2, 10, QLatin1Char('0'))
               .arg(minutes % 60, 2, 10, QLatin1Char('0'));
}

Row goodRow(int address, const engine::Failure &failure)
{
    Row row;
    row.time = QDateTime(QDate(2026, 12, 7), QTime(17, 5, 47, 123), QTimeZone(3600));
    row.address = address;
    if (!failure) {
        protocol::StatusReading r;
        r.setVoltage = 6000;
        r.setCurrent = 3000;
        r.actualVoltage = 5999;
        r.actualCurrent = 2999;
        r.outputOn = true;
        r.mode = 2;
        row.reading = r;
    }
    row.failure = failure;
    row.ampHours = 123.456789;
    return row;
}

} // namespace

void TestFormat::initTestCase()
{
#ifdef Q_OS_UNIX
    // A zone with summer time, so that local times cross its changes.
    qputenv("TZ", "Europe/Berlin");
    tzset();
#endif
}

void TestFormat::numbers_data()
{
    QTest::addColumn<qlonglong>("count");
    QTest::addColumn<int>("decimals");
    QTest::addColumn<QString>("fixed");
    QTest::addColumn<QString>("shortest");
    QTest::newRow("volts") << 1230LL << 2 << "12.30"
                           << "12.3";
    QTest::newRow("zero") << 0LL << 3 << "0.000"
                          << "0";
    QTest::newRow("below one") << 5LL << 3 << "0.005"
                               << "0.005";
    QTest::newRow("negative below one") << -5LL << 3 << "-0.005"
                                        << "-0.005";
    QTest::newRow("negative whole") << -2000LL << 3 << "-2.000"
                                    << "-2";
    QTest::newRow("no decimals") << 100LL << 0 << "100"
                                 << "100";
    QTest::newRow("negative, no decimals") << -10LL << 0 << "-10"
                                           << "-10";
    QTest::newRow("watts, 60 V at 3 A") << 6000LL * 3000 << 5 << "180.00000"
                                        << "180";
    QTest::newRow("micro") << 123456789LL << 6 << "123.456789"
                           << "123.456789";
    QTest::newRow("largest") << LLONG_MAX << 0 << "9223372036854775807"
                             << "9223372036854775807";
    QTest::newRow("most negative") << LLONG_MIN << 3 << "-9223372036854775.808"
                                   << "-9223372036854775.808";
}

void TestFormat::numbers()
{
    QFETCH(qlonglong, count);
    QFETCH(int, decimals);
    QFETCH(QString, fixed);
    QFETCH(QString, shortest);
    QCOMPARE(records::fixedPoint(count, decimals), fixed);
    QCOMPARE(records::shortestPoint(count, decimals), shortest);
    // Appended after what a line holds already, never over it.
    QByteArray line = "x,";
    records::appendShortestPoint(line, count, decimals);
    QCOMPARE(line, "x," + shortest.toLatin1());
}

void TestFormat::times_data()
{
    QTest::addColumn<QDateTime>("time");
    const QTime noon(12, 34, 56, 789);
    QTest::newRow("epoch, UTC") << QDateTime::fromMSecsSinceEpoch(0, Qt::UTC);
    QTest::newRow("a millisecond before the epoch") << QDateTime::fromMSecsSinceEpoch(-1, Qt::UTC);
    QTest::newRow("leap day, local") << QDateTime(QDate(2024, 2, 29), noon, Qt::LocalTime);
    QTest::newRow("2000-02-29, UTC") << QDateTime(QDate(2000, 2, 29), noon, Qt::UTC);
    QTest::newRow("summer time starts")
        << QDateTime(QDate(2026, 3, 29), QTime(1, 59, 59, 999), Qt::UTC);
    QTest::newRow("summer time ends")
        << QDateTime(QDate(2026, 10, 25), QTime(0, 59, 59, 999), Qt::UTC);
    QTest::newRow("+14:00, over the new year")
        << QDateTime(QDate(2026, 12, 31), QTime(10, 0), QTimeZone(14 * 3600));
    QTest::newRow("-09:30") << QDateTime(QDate(2027, 1, 1), QTime(0, 0), QTimeZone(-34200));
    QTest::newRow("+05:45") << QDateTime(QDate(1999, 12, 31), noon, QTimeZone(20700));
    QTest::newRow("year 1") << QDateTime(QDate(1, 1, 1), QTime(0, 0), QTimeZone(0));
    QTest::newRow("year 9999") << QDateTime(QDate(9999, 12, 31), noon, QTimeZone(0));
    QTest::newRow("year 10000 by its offset")
        << QDateTime(QDate(9999, 12, 31), QTime(23, 0), QTimeZone(-3600)).toOffsetFromUtc(3 * 3600);
}

void TestFormat::times()
{
    QFETCH(QDateTime, time);
    QCOMPARE(records::localTimeText(time), qtTimeText(time));
}

void TestFormat::timesOverTwoCenturies()
{
    // Every 13 days and 7 hours, 1901 to 2099, in UTC and in local time: every
    // month, every weekday and every hour of the day comes by.
    constexpr qint64 kStep = (13 * 24 + 7) * 3'600'000LL + 123;
    const qint64 first = QDateTime(QDate(1901, 1, 1), QTime(0, 0), Qt::UTC).toMSecsSinceEpoch();
    const qint64 last = QDateTime(QDate(2099, 12, 31), QTime(0, 0), Qt::UTC).toMSecsSinceEpoch();
    int compared = 0;
    for (qint64 ms = first; ms < last; ms += kStep) {
        for (const Qt::TimeSpec clock : {Qt::UTC, Qt::LocalTime}) {
            const QDateTime time = QDateTime::fromMSecsSinceEpoch(ms, clock);
            const QString text = records::localTimeText(time);
            if (text != qtTimeText(time)) {
                QFAIL(qPrintable(
                    QStringLiteral("%1: %2, Qt writes %3").arg(ms).arg(text, qtTimeText(time))));
            }
            ++compared;
        }
    }
    QVERIFY(compared > 10'000);
}

void TestFormat::jsonStrings_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("json");
    QTest::newRow("plain") << "timeout" << QByteArray(R"("timeout")");
    QTest::newRow("quote and backslash") << R"(a"b\c)" << QByteArray(R"("a\"b\\c")");
    QTest::newRow("control characters")
        << QStringLiteral("a\tb\nc\x1f") << QByteArray(R"("a\u0009b\u000ac\u001f")");
    QTest::newRow("beyond ASCII") << QStringLiteral("Ω µA €")
                                  << QStringLiteral("\"Ω µA €\"").toUtf8();
    QTest::newRow("empty") << "" << QByteArray(R"("")");
}

void TestFormat::jsonStrings()
{
    QFETCH(QString, text);
    QFETCH(QByteArray, json);
    QCOMPARE(records::jsonString(text), json);
}

void TestFormat::reusedLineKeepsNoOldBytes()
{
    // A long row, then a shorter one, then a failed one: each line in the file is
    // the row's own text, whole, in both formats.
    const QList<Row> rows{goodRow(247, {}), goodRow(1, {engine::Error::Interrupted}),
                          goodRow(3, {engine::Error::Crc})};
    QTemporaryDir dir;
    for (const auto format : {RowWriter::Format::Csv, RowWriter::Format::Jsonl}) {
        const QString path =
            dir.filePath(format == RowWriter::Format::Csv ? "rows.csv" : "rows.jsonl");
        RowWriter writer(format);
        QCOMPARE(writer.open(path, RowWriter::Existing::Refuse), QString());
        QByteArray expected = format == RowWriter::Format::Csv
                                  ? (RowWriter::csvHeader(false) + '\n').toUtf8()
                                  : QByteArray();
        for (const Row &row : rows) {
            QCOMPARE(writer.write(row), QString());
            expected += format == RowWriter::Format::Csv ? RowWriter::csvLine(row, false).toUtf8()
                                                         : RowWriter::jsonLine(row, false);
            expected += '\n';
        }
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), expected);
    }
}

void TestFormat::failedAppendKeepsWhatTheFileHeld()
{
#ifdef Q_OS_LINUX
    // Appending to a file with rows in it: a row that does not fit is cut away,
    // back to the last whole row, and never into what the file held before.
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("rows.csv"));
    {
        RowWriter first(RowWriter::Format::Csv);
        QCOMPARE(first.open(path, RowWriter::Existing::Refuse), QString());
        QCOMPARE(first.write(goodRow(1, {})), QString());
    }
    RowWriter writer(RowWriter::Format::Csv);
    QCOMPARE(writer.open(path, RowWriter::Existing::Append), QString());
    QCOMPARE(writer.write(goodRow(2, {})), QString());
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray whole = file.readAll();
    file.close();
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit before{};
    getrlimit(RLIMIT_FSIZE, &before);
    rlimit small = before;
    small.rlim_cur = static_cast<rlim_t>(whole.size() + 20);
    setrlimit(RLIMIT_FSIZE, &small);
    const QString cut = writer.write(goodRow(3, {}));
    setrlimit(RLIMIT_FSIZE, &before);
    QVERIFY2(cut.startsWith(path + QStringLiteral(": ")), qPrintable(cut));
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), whole);
#else
    QSKIP("needs RLIMIT_FSIZE");
#endif
}

QTEST_GUILESS_MAIN(TestFormat)
#include "tst_format.moc"
