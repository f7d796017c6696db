// A row's elapsed time is its request's send time on the monotonic clock, the
// first row's request being the origin; the wall clock only names the row.
#include "supply/operations.h"

#include <QTest>

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

class TestRowMaker : public QObject {
    Q_OBJECT
private slots:
    void elapsedFollowsTheSendTimes();
};

void TestRowMaker::elapsedFollowsTheSendTimes()
{
    supply::RowMaker rows;
    const Clock::time_point first = Clock::now() - 3s;
    // A wall clock that jumps (an NTP step, a DST change) moves no elapsed time.
    const QDateTime wall = QDateTime::currentDateTimeUtc();
    QCOMPARE(rows.make(1, wall, first, std::nullopt, {supply::Error::Timeout}).elapsedSeconds, 0.0);
    const supply::Row second = rows.make(2, wall.addSecs(-3600), first + 1500ms, std::nullopt, {});
    QCOMPARE(second.elapsedSeconds, 1.5);
    QCOMPARE(second.time, wall.addSecs(-3600));
    QCOMPARE(rows.make(1, wall, first + 2250ms, std::nullopt, {}).elapsedSeconds, 2.25);
    QCOMPARE(rows.elapsedAt(first + 10s), 10.0);
    // A request that never went out (the port refused it) counts from now.
    const double unsent =
        rows.make(1, {}, Clock::time_point{}, std::nullopt, {supply::Error::Port}).elapsedSeconds;
    QVERIFY2(unsent >= 3.0 && unsent < 3600, qPrintable(QString::number(unsent)));
}

QTEST_GUILESS_MAIN(TestRowMaker)
#include "tst_rowmaker.moc"
