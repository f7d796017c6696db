// A row's elapsed time is its request's send time on the monotonic clock, the
// first row's request being the origin; its time is the wall clock at the start
// plus the monotonic time since.
#include "records/operations.h"

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
    const Clock::time_point start = Clock::now() - 4s;
    const QDateTime wall = QDateTime::currentDateTimeUtc().addSecs(-4);
    records::RowMaker rows(start, wall);
    const Clock::time_point first = start + 1s;
    // A wall clock that jumps (an NTP step, a DST change) moves neither a row's
    // time nor its elapsed time: only the send times count.
    const records::Row one = rows.make(1, first, std::nullopt, {engine::Error::Timeout});
    QCOMPARE(one.elapsedSeconds, 0.0);
    QCOMPARE(one.time, wall.addSecs(1));
    const records::Row second = rows.make(2, first + 1500ms, std::nullopt, {});
    QCOMPARE(second.elapsedSeconds, 1.5);
    QCOMPARE(second.time, wall.addMSecs(2500));
    QCOMPARE(rows.make(1, first + 2250ms, std::nullopt, {}).elapsedSeconds, 2.25);
    QCOMPARE(rows.elapsedAt(first + 10s), 10.0);
    // A request that never went out (the port refused it) counts from now.
    const double unsent =
        rows.make(1, Clock::time_point{}, std::nullopt, {engine::Error::Port}).elapsedSeconds;
    QVERIFY2(unsent >= 3.0 && unsent < 3600, qPrintable(QString::number(unsent)));
}

QTEST_GUILESS_MAIN(TestRowMaker)
#include "tst_rowmaker.moc"
