// The line's rules on a fake clock: a small driver plays what the Client does (a
// port that holds bytes back for the receive threshold, one timer at the
// tracker's next deadline), with timers that fire on time, up to a Windows tick
// (15.6 ms) late, or rounded to the nearest tick, which may be early.
#include "engine/linetracker.h"
#include "protocol/frames.h"

#include <QByteArray>
#include <QTest>

#include <algorithm>
#include <cmath>

using engine::Error;
using engine::LineTracker;
using engine::nanoseconds;
using std::chrono::milliseconds;

namespace {

// Set 12.34 V / 1.500 A, actual 12.32 V / 0.500 A, output on, CV, from address 1.
const QByteArray kStatus = QByteArray::fromHex("01030C04D205DC04D001F400010001E92B");
const QByteArray kStatusFrom2 = QByteArray::fromHex("02030C04D205DC04D001F400010001AA2A");
const QByteArray kReadRequest = QByteArray::fromHex("010310000006C108");
// Exception 2 (illegal data address) to a read of address 1.
const QByteArray kException2 = QByteArray::fromHex("018302C0F1");
const protocol::Frame kOutputOn = protocol::buildSwitchOutputRequest(1, true);
const QByteArray kWriteCopy(reinterpret_cast<const char *>(kOutputOn.data()),
                            static_cast<qsizetype>(kOutputOn.size()));

constexpr milliseconds kTimeout{150};
constexpr double kTickMs = 15.625;

nanoseconds ms(double value)
{
    return nanoseconds(static_cast<nanoseconds::rep>(std::llround(value * 1e6)));
}

double toMs(nanoseconds value)
{
    return static_cast<double>(value.count()) / 1e6;
}

enum class Timers { Exact, LateTick, NearestTick };

// Bytes the line delivers `atMs` after the request.
struct Piece {
    double atMs;
    QByteArray bytes;
};
using Script = QList<Piece>;

Script byteByByte(const QByteArray &bytes, double fromMs, double apartMs = 1.05)
{
    Script script;
    for (int i = 0; i < bytes.size(); ++i) {
        script << Piece{fromMs + i * apartMs, bytes.mid(i, 1)};
    }
    return script;
}

struct Played {
    Error outcome = Error::Timeout;
    QByteArray bytes;
    double endedMs = 0;     // after the request, when the tracker gave its result
    int wakeUps = 0;        // receive events and timer firings
    int byteWakeUps = 0;    // pieces that came while the port was watched: each wakes
                            // the program in the system, whether it is readable or not
    bool unwatched = false; // the port was left unwatched after the request
};

// Plays what the Client does around the tracker for one request.
class FakeDriver {
public:
    explicit FakeDriver(Timers timers) : m_timers(timers) { m_line.setTimeout(kTimeout); }

    LineTracker &line() { return m_line; }
    nanoseconds now() const { return m_now; }
    void advance(double byMs) { m_now += ms(byMs); }

    Played play(const protocol::Frame &request, std::size_t replySize, const Script &script,
                int firstByteMs = 0, double stopAtMs = -1)
    {
        m_now = std::max(m_now, m_line.sendableAt(request[0]));
        const nanoseconds sent = m_now;
        std::optional<nanoseconds> firstByte;
        if (firstByteMs > 0) {
            firstByte = milliseconds(firstByteMs);
        }
        m_line.sent(request, replySize, firstByte, sent);
        Played played;
        played.unwatched = m_line.unwatchedUntil().has_value();
        QByteArray held; // what the port holds back for the threshold
        int next = 0;
        std::optional<nanoseconds> timer = arm();
        for (int steps = 0; m_line.waiting() && steps < 1000; ++steps) {
            const nanoseconds piece =
                next < script.size() ? sent + ms(script[next].atMs) : nanoseconds::max();
            const nanoseconds stop =
                stopAtMs >= 0 && !m_stopped ? sent + ms(stopAtMs) : nanoseconds::max();
            const nanoseconds fire = timer.value_or(nanoseconds::max());
            m_now = std::min({piece, stop, fire});
            if (m_now == nanoseconds::max()) {
                break;
            }
            if (m_now == stop) {
                m_stopped = true;
                m_line.interrupt(m_now);
            } else if (m_now == piece) {
                held += script[next++].bytes;
                if (m_line.unwatchedUntil()) {
                    continue; // it waits in the system and wakes nobody
                }
                ++played.byteWakeUps;
                if (static_cast<std::size_t>(held.size()) < m_line.wanted()) {
                    continue;
                }
                ++played.wakeUps;
                deliver(held);
            } else if (m_line.unwatchedUntil()) {
                // Watched again: what waits is read at once if the threshold is met.
                ++played.wakeUps;
                m_line.handleExpiry(m_now);
                if (!m_line.unwatchedUntil() && !held.isEmpty() &&
                    static_cast<std::size_t>(held.size()) >= m_line.wanted()) {
                    deliver(held);
                }
            } else {
                ++played.wakeUps;
                deliver(held); // the driver takes what came before it looks
                m_line.handleExpiry(m_now);
            }
            timer = arm();
        }
        // What comes after the wait is the line's too (late frames, a second copy).
        for (; next < script.size(); ++next) {
            m_now = std::max(m_now, sent + ms(script[next].atMs));
            m_line.received(bytesOf(script[next].bytes), size(script[next].bytes), m_now);
        }
        const auto result = m_line.takeResult();
        if (result) {
            played.outcome = result->error;
            played.bytes = QByteArray(reinterpret_cast<const char *>(result->bytes.data()),
                                      static_cast<qsizetype>(result->bytes.size()));
        }
        played.endedMs = toMs(m_ended - sent);
        return played;
    }

private:
    static const std::uint8_t *bytesOf(const QByteArray &bytes)
    {
        return reinterpret_cast<const std::uint8_t *>(bytes.constData());
    }
    static std::size_t size(const QByteArray &bytes)
    {
        return static_cast<std::size_t>(bytes.size());
    }

    void deliver(QByteArray &held)
    {
        if (!held.isEmpty()) {
            m_line.received(bytesOf(held), size(held), m_now);
            held.clear();
        }
        if (!m_line.waiting()) {
            m_ended = m_now;
        }
    }

    // The driver's timer for the tracker's next deadline, in whole milliseconds
    // rounded up, as the platform fires it.
    std::optional<nanoseconds> arm()
    {
        const auto expiry = m_line.nextExpiry();
        if (!expiry) {
            m_ended = m_now;
            return std::nullopt;
        }
        const double wantMs = std::ceil(std::max(0.0, toMs(*expiry - m_now)));
        const double at = toMs(m_now) + wantMs;
        const double tick = std::floor(toMs(m_now) / kTickMs) + 1;
        switch (m_timers) {
        case Timers::Exact:
            return ms(at);
        case Timers::LateTick:
            return ms(std::max(tick, std::ceil(at / kTickMs)) * kTickMs);
        case Timers::NearestTick:
            return ms(std::max(tick, std::round(at / kTickMs)) * kTickMs);
        }
        return std::nullopt;
    }

    Timers m_timers;
    LineTracker m_line;
    nanoseconds m_now{ms(1000)};
    nanoseconds m_ended{0};
    bool m_stopped = false;
};

struct Expected {
    Error outcome = Error::None;
    QByteArray bytes;
};

} // namespace

Q_DECLARE_METATYPE(Script)
Q_DECLARE_METATYPE(QList<Script>)
Q_DECLARE_METATYPE(Timers)
Q_DECLARE_METATYPE(engine::Error)

class TestLineTracker : public QObject {
    Q_OBJECT
private slots:
    void reply_data();
    void reply();
    void readingsWakeTheProgramRarely_data();
    void readingsWakeTheProgramRarely();
    void neverUnwatchedWhereTimesDecide();
    void lateFrameNamedWithItsDelay();
    void roundTripMedian();
    void silenceBeforeEveryRequest();
    void drainAtHandover_data();
    void drainAtHandover();
    void everyRequestEndsOnce();
    void writeCopies_data();
    void writeCopyReadLate_data();
    void writeCopyReadLate();
    void writeCopies();
    void lateCopyOfTheLastWrite_data();
    void lateCopyOfTheLastWrite();
};

void TestLineTracker::reply_data()
{
    QTest::addColumn<Script>("script");
    QTest::addColumn<Timers>("timers");
    QTest::addColumn<Error>("outcome");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<double>("minEndMs"); // not judged before
    QTest::addColumn<double>("maxEndMs"); // judged by
    QTest::addColumn<int>("firstByteMs"); // 0: none
    QTest::addColumn<double>("stopAtMs"); // -1: no stop

    const QByteArray junk("\xFF\x00\x55", 3);
    QByteArray badCrc = kStatus;
    badCrc[16] = char(badCrc[16] ^ 0xFF);
    const struct {
        const char *name;
        Timers timers;
    } clocks[] = {{"exact", Timers::Exact},
                  {"a tick late", Timers::LateTick},
                  {"nearest tick", Timers::NearestTick}};
    for (const auto &clock : clocks) {
        auto row = [&](const char *name, Script script, Error outcome, QByteArray bytes,
                       double minEnd, double maxEnd, int firstByte = 0, double stopAt = -1) {
            QTest::addRow("%s, %s", name, clock.name) << script << clock.timers << outcome << bytes
                                                      << minEnd << maxEnd << firstByte << stopAt;
        };
        const double tick = clock.timers == Timers::Exact ? 1 : kTickMs + 1;
        row("whole", {{30, kStatus}}, Error::None, kStatus, 30, 30 + tick);
        row("at once", {{0.1, kStatus}}, Error::None, kStatus, 0.1, 30 + tick);
        // A reply a byte at a time is judged whole, however the timers fall.
        row("byte by byte", byteByByte(kStatus, 15), Error::None, kStatus, 31.8, 31.8 + tick);
        row("byte by byte, slowly", byteByByte(kStatus, 15, 7), Error::None, kStatus, 127,
            127 + tick);
        row("byte by byte past the timeout", byteByByte(kStatus, 15, 10), Error::Short, {}, 150,
            150 + 2 * tick);
        row("split in two", {{30, kStatus.left(5)}, {45, kStatus.mid(5)}}, Error::None, kStatus, 45,
            45 + tick);
        row("junk before", {{30, junk + kStatus}}, Error::None, kStatus, 30, 30 + tick);
        row("bad crc", {{30, badCrc}}, Error::Crc, badCrc, 30, 30 + tick);
        row("exception", {{20, kException2}}, Error::Exception, kException2, 20, 40 + tick);
        row("a foreign frame, then ours", {{30, kStatusFrom2}, {60, kStatus}}, Error::None, kStatus,
            60, 60 + tick);
        row("a foreign frame alone", {{30, kStatusFrom2}}, Error::Foreign, {}, 150, 150 + 2 * tick);
        row("silence", {}, Error::Timeout, {}, 150, 150 + 2 * tick);
        row("cut short", {{30, kStatus.left(9)}}, Error::Short, {}, 150, 150 + 2 * tick);
        row("first byte in time, the rest slower", {{10, kStatus.left(1)}, {70, kStatus.mid(1)}},
            Error::None, kStatus, 70, 70 + tick, 40);
        row("nothing by the first-byte wait", {{140, kStatus}}, Error::Timeout, {}, 40,
            40 + 2 * tick, 40);
        row("a stop with a reply in flight", {{120, kStatus}}, Error::None, kStatus, 120,
            120 + tick, 0, 20);
        // A stop ends the wait by its grace, or by the timeout if that comes first.
        row("a stop and no reply", {}, Error::Interrupted, {}, 150, 150 + 2 * tick, 0, 20);
    }
}

void TestLineTracker::reply()
{
    QFETCH(Script, script);
    QFETCH(Timers, timers);
    QFETCH(Error, outcome);
    QFETCH(QByteArray, bytes);
    QFETCH(double, minEndMs);
    QFETCH(double, maxEndMs);
    QFETCH(int, firstByteMs);
    QFETCH(double, stopAtMs);

    FakeDriver driver(timers);
    const Played played = driver.play(protocol::buildReadStatusRequest(1),
                                      protocol::kStatusReplySize, script, firstByteMs, stopAtMs);
    QCOMPARE(played.outcome, outcome);
    if (!bytes.isEmpty()) {
        QCOMPARE(played.bytes, bytes);
    }
    QVERIFY2(played.endedMs >= minEndMs - 1e-6 && played.endedMs <= maxEndMs,
             qPrintable(QString::number(played.endedMs)));
}

void TestLineTracker::readingsWakeTheProgramRarely_data()
{
    // Readings one after the other, each a script; for each reading from the
    // second on: at most so many wake-ups of the program and of the system by the
    // reply's bytes, and when the tracker ends it (-1: when its last byte came).
    QTest::addColumn<QList<Script>>("readings");
    QTest::addColumn<bool>("unwatched"); // the port goes unwatched from the second on
    QTest::addColumn<int>("maxWakeUps");
    QTest::addColumn<int>("maxByteWakeUps");
    QTest::addColumn<QList<double>>("endedMs");

    // A UART's pace: the 8-byte request, 10 ms, then the reply a byte at a time.
    const Script paced = byteByByte(kStatus, 8 * engine::kCharMs + 10, engine::kCharMs);
    const Script quicker = byteByByte(kStatus, 8 * engine::kCharMs + 2, engine::kCharMs);
    QTest::newRow("a paced reply: whole once, read as its last byte comes")
        << QList<Script>{paced, paced, paced} << true << 2 << 3 << QList<double>{-1, -1, -1};
    QTest::newRow("a whole reply at once")
        << QList<Script>{{{30, kStatus}}, {{30.5, kStatus}}, {{30, kStatus}}} << true << 2 << 1
        << QList<double>{-1, -1, -1};
    // A virtual port answers sooner than its baud: its replies are read as they come.
    QTest::newRow("a virtual port") << QList<Script>{{{0.1, kStatus}}, {{0.1, kStatus}}} << false
                                    << 1 << 1 << QList<double>{-1, -1};
    // The supply got quicker: its replies are read late, by two characters less
    // each time (the timer in whole milliseconds), until the bound has fallen to them.
    QTest::newRow("the supply got 8 ms quicker")
        << QList<Script>{paced, paced, quicker, quicker, quicker, quicker, quicker, quicker} << true
        << 2 << 3 << QList<double>{-1, -1, 33, 31, 29, -1, -1, -1};
    // An exception's five bytes: read at the usual time of a reply (35 ms) and
    // 3 ms, as when the port is watched throughout.
    QTest::newRow("an exception") << QList<Script>{paced, {{20, kException2}}} << true << 2 << 0
                                  << QList<double>{-1, 38};
}

void TestLineTracker::readingsWakeTheProgramRarely()
{
    QFETCH(QList<Script>, readings);
    QFETCH(bool, unwatched);
    QFETCH(int, maxWakeUps);
    QFETCH(int, maxByteWakeUps);
    QFETCH(QList<double>, endedMs);

    FakeDriver driver(Timers::Exact);
    for (int i = 0; i < readings.size(); ++i) {
        const Script &script = readings[i];
        const Played played =
            driver.play(protocol::buildReadStatusRequest(1), protocol::kStatusReplySize, script);
        const QString what = QStringLiteral("reading %1: %2 wake-ups, %3 by bytes, ended %4 ms")
                                 .arg(i)
                                 .arg(played.wakeUps)
                                 .arg(played.byteWakeUps)
                                 .arg(played.endedMs);
        QVERIFY2(played.outcome == Error::None || played.outcome == Error::Exception,
                 qPrintable(what));
        const double lastByteMs = script.last().atMs;
        const double expectedEnd = endedMs[i] < 0 ? lastByteMs : endedMs[i];
        QVERIFY2(std::abs(played.endedMs - expectedEnd) < 0.1, qPrintable(what));
        if (i > 0) {
            QVERIFY2(played.unwatched == unwatched, qPrintable(what));
            QVERIFY2(played.wakeUps <= maxWakeUps, qPrintable(what));
            QVERIFY2(played.byteWakeUps <= maxByteWakeUps, qPrintable(what));
        }
        driver.advance(100);
    }
}

void TestLineTracker::neverUnwatchedWhereTimesDecide()
{
    // A write's copy is told from its reply by time, and a first-byte wait (a
    // scan) ends at its first byte's time: neither leaves the port unwatched,
    // whatever turnaround the supply has shown.
    FakeDriver driver(Timers::Exact);
    const Script paced = byteByByte(kStatus, 8 * engine::kCharMs + 10, engine::kCharMs);
    driver.play(protocol::buildReadStatusRequest(1), protocol::kStatusReplySize, paced);
    driver.advance(100);
    QVERIFY(!driver.play(kOutputOn, kOutputOn.size(), {{20, kWriteCopy}}).unwatched);
    driver.advance(100);
    QVERIFY(!driver.play(protocol::buildReadStatusRequest(1), protocol::kStatusReplySize, paced, 30)
                 .unwatched);
    driver.advance(100);
    QVERIFY(driver.play(protocol::buildReadStatusRequest(1), protocol::kStatusReplySize, paced)
                .unwatched);
}

void TestLineTracker::lateFrameNamedWithItsDelay()
{
    // Address 2 answers after its first-byte wait: the frame is named late, with
    // the time it came, and address 2 is not asked again before half a timeout.
    FakeDriver driver(Timers::NearestTick);
    const Played probe = driver.play(protocol::buildReadStatusRequest(2),
                                     protocol::kStatusReplySize, {{90, kStatusFrom2}}, 30);
    QCOMPARE(probe.outcome, Error::Timeout);
    const std::vector<LineTracker::Late> late = driver.line().takeLate();
    QCOMPARE(late.size(), std::size_t(1));
    QCOMPARE(int(late[0].address), 2);
    QCOMPARE(late[0].afterMs, 90.0);
    const engine::LinkStats stats = driver.line().stats();
    QCOMPARE(stats.late, 1L);
    QCOMPARE(stats.foreign, 0L);
    QCOMPARE(stats.timeouts, 1L);

    // A silent address waits for half a timeout of quiet before it is asked again.
    FakeDriver silent(Timers::Exact);
    silent.play(protocol::buildReadStatusRequest(3), protocol::kStatusReplySize, {});
    const nanoseconds timedOut = silent.now();
    QCOMPARE(silent.line().sendableAt(3) - timedOut, nanoseconds(kTimeout) / 2);
    QVERIFY(silent.line().sendableAt(1) - timedOut < milliseconds(5));
}

void TestLineTracker::roundTripMedian()
{
    FakeDriver driver(Timers::Exact);
    for (int i = 0; i < 20; ++i) {
        driver.play(protocol::buildReadStatusRequest(1), protocol::kStatusReplySize,
                    {{i % 2 == 0 ? 29.0 : 31.0, kStatus}});
        driver.advance(50);
    }
    const engine::LinkStats stats = driver.line().stats();
    QCOMPARE(stats.roundTrips, 20L);
    QVERIFY2(std::abs(stats.medianMs - 29.0) < 0.1, qPrintable(QString::number(stats.medianMs)));
    QVERIFY2(std::abs(stats.maxMs - 31.0) < 1e-9, qPrintable(QString::number(stats.maxMs)));
}

void TestLineTracker::silenceBeforeEveryRequest()
{
    // 3.5 characters after the last byte heard; after start(), a first look at a
    // line that shows nothing, or the quiet time counted from the last stale byte,
    // three quiet times at most.
    LineTracker line;
    const nanoseconds t0 = ms(1000);
    line.start(t0, milliseconds(60));
    QCOMPARE(line.sendableAt(1), t0 + LineTracker::kFirstLook);
    {
        LineTracker shortQuiet;
        shortQuiet.start(t0, milliseconds(5));
        QCOMPARE(shortQuiet.sendableAt(1), t0 + milliseconds(5));
    }
    const QByteArray stale = kStatus.left(5);
    const auto *data = reinterpret_cast<const std::uint8_t *>(stale.constData());
    line.received(data, 5, t0 + milliseconds(50));
    QCOMPARE(line.sendableAt(1), t0 + milliseconds(110));
    line.received(data, 5, t0 + milliseconds(170));
    QCOMPARE(line.sendableAt(1), t0 + milliseconds(180)); // the cap
    line.sent(protocol::buildReadStatusRequest(1), protocol::kStatusReplySize, std::nullopt,
              t0 + milliseconds(180));
    const nanoseconds end = t0 + milliseconds(210);
    line.received(reinterpret_cast<const std::uint8_t *>(kStatus.constData()), 17, end);
    QCOMPARE(line.takeResult()->error, Error::None);
    QCOMPARE(line.sendableAt(1), end + ms(3.5 * engine::kCharMs) + nanoseconds(1));
}

void TestLineTracker::drainAtHandover_data()
{
    QTest::addColumn<Script>("heard");    // after start, at these times
    QTest::addColumn<double>("answerBy"); // a request of ours on the wire; < 0: none
    QTest::addColumn<double>("sendable"); // ms after start

    const double quiet = 60;
    const double look = toMs(LineTracker::kFirstLook);
    QTest::newRow("nothing heard") << Script{} << -1.0 << look;
    QTest::newRow("a reply, whole") << Script{{5, kStatus}} << -1.0 << 5 + look;
    QTest::newRow("the rest of a reply") << Script{{5, kStatus.mid(9)}} << -1.0 << 5 + look;
    QTest::newRow("a reply byte by byte") << byteByByte(kStatus, 2) << -1.0 << 2 + 16 * 1.05 + look;
    QTest::newRow("an exception reply") << Script{{5, kException2}} << -1.0 << 5 + look;
    // A request heard last waits for its reply as long as a start does.
    QTest::newRow("a read request") << Script{{5, kReadRequest}} << -1.0 << 5 + quiet;
    QTest::newRow("a read request, then its reply")
        << Script{{5, kReadRequest}, {30, kStatus}} << -1.0 << 30 + look;
    QTest::newRow("a write") << Script{{5, kWriteCopy}} << -1.0 << 5 + quiet;
    QTest::newRow("a write and its copy")
        << Script{{5, kWriteCopy}, {20, kWriteCopy}} << -1.0 << 20 + look;
    // Our request was on the wire: its answer is waited for, or the end of an
    // exchange heard first.
    QTest::newRow("our answer due, none heard") << Script{} << 90.0 << 90.0;
    QTest::newRow("our answer due, heard") << Script{{40, kStatus}} << 90.0 << 40 + look;
    QTest::newRow("our answer due past three quiet times") << Script{} << 500.0 << 3 * quiet;
}

void TestLineTracker::drainAtHandover()
{
    QFETCH(Script, heard);
    QFETCH(double, answerBy);
    QFETCH(double, sendable);
    const nanoseconds t0 = ms(1000);
    LineTracker line;
    line.start(t0, milliseconds(60), LineTracker::Drain::Exchange,
               answerBy < 0 ? std::nullopt : std::optional<nanoseconds>(t0 + ms(answerBy)));
    for (const Piece &piece : heard) {
        line.received(reinterpret_cast<const std::uint8_t *>(piece.bytes.constData()),
                      static_cast<std::size_t>(piece.bytes.size()), t0 + ms(piece.atMs));
    }
    // The silence after the last byte holds as ever.
    const double last = heard.isEmpty() ? 0 : heard.last().atMs;
    const double silence = last + 3.5 * engine::kCharMs;
    QVERIFY2(std::abs(toMs(line.sendableAt(1) - t0) - std::max(sendable, silence)) < 0.01,
             qPrintable(QString::number(toMs(line.sendableAt(1) - t0))));

    // A start that is no handover waits a quiet time after any byte, as before.
    if (!heard.isEmpty()) {
        LineTracker atStart;
        atStart.start(t0, milliseconds(60));
        for (const Piece &piece : heard) {
            atStart.received(reinterpret_cast<const std::uint8_t *>(piece.bytes.constData()),
                             static_cast<std::size_t>(piece.bytes.size()), t0 + ms(piece.atMs));
        }
        QCOMPARE(atStart.sendableAt(1), t0 + std::min(ms(last + 60), ms(180)));
    }
}

void TestLineTracker::everyRequestEndsOnce()
{
    // Each way a request ends is counted once: a reply, a timeout, the line
    // handed over, the port lost, a stop whose grace ran out.
    LineTracker line;
    line.setTimeout(kTimeout);
    nanoseconds at = ms(1000);
    const auto ask = [&] {
        at += ms(200);
        line.sent(protocol::buildReadStatusRequest(1), protocol::kStatusReplySize, std::nullopt,
                  at);
    };
    ask();
    line.received(reinterpret_cast<const std::uint8_t *>(kStatus.constData()), 17, at + ms(30));
    QCOMPARE(line.takeResult()->error, Error::None);
    ask();
    line.handleExpiry(at + ms(kTimeout.count()));
    QCOMPARE(line.takeResult()->error, Error::Timeout);
    ask();
    line.handOver(at + ms(5));
    QCOMPARE(line.takeResult()->error, Error::Port);
    ask();
    line.abandon(at + ms(5));
    QCOMPARE(line.takeResult()->error, Error::Port);
    ask();
    line.interrupt(at + ms(5));
    line.handleExpiry(at + ms(5) + engine::kStopGrace);
    QCOMPARE(line.takeResult()->error, Error::Interrupted);
    // Once ended, a request is not ended again.
    line.handOver(at + ms(400));
    line.abandon(at + ms(400));
    QVERIFY(!line.takeResult());

    const engine::LinkStats stats = line.stats();
    QCOMPARE(stats.requests, 5L);
    QCOMPARE(stats.replies, 1L);
    QCOMPARE(stats.timeouts, 1L);
    QCOMPARE(stats.handedOver, 1L);
    QCOMPARE(stats.portLost, 1L);
    QCOMPARE(stats.interrupted, 1L);
    engine::LinkStats twice = stats;
    twice.addCounts(stats);
    QCOMPARE(twice.handedOver + twice.portLost + twice.interrupted, 6L);
}

void TestLineTracker::writeCopies_data()
{
    QTest::addColumn<Script>("script");
    QTest::addColumn<bool>("echo");
    QTest::addColumn<Error>("outcome");
    QTest::addColumn<long>("echoes");
    QTest::addColumn<bool>("echoLearned");

    QTest::newRow("answered at once")
        << Script{{0.1, kWriteCopy}} << false << Error::None << 0L << false;
    QTest::newRow("answered in time")
        << Script{{20, kWriteCopy}} << false << Error::None << 0L << false;
    QTest::newRow("an echoing adapter, at once")
        << Script{{0.1, kWriteCopy + kWriteCopy}} << false << Error::None << 1L << true;
    QTest::newRow("the echo, then the supply's copy in time")
        << Script{{5, kWriteCopy}, {17, kWriteCopy}} << false << Error::None << 1L << true;
    // Taken for the reply at its usual time; the supply's copy shows it was the echo.
    QTest::newRow("the echo, then the supply's copy late")
        << Script{{5, kWriteCopy}, {40, kWriteCopy}} << false << Error::None << 1L << true;
    // On a UART, a copy that began before a reply could have is the echo ...
    // ... once the supply's answer follows before the wait ends. With nothing after
    // it, the copy was the reply of a port read late or answering at once: a
    // write's read-back, not its echo, confirms it.
    QTest::newRow("a copy at a UART's echo time, and nothing after it")
        << Script{{8.5, kWriteCopy}} << false << Error::None << 0L << false;
    QTest::newRow("a UART's echo, then the reply")
        << Script{{8.5, kWriteCopy}, {30, kWriteCopy}} << false << Error::None << 1L << true;
    QTest::newRow("echo set, the echo alone")
        << Script{{5, kWriteCopy}} << true << Error::Timeout << 1L << true;
    QTest::newRow("echo set, a read's copy and reply at once")
        << Script{{0.1, kReadRequest + kStatus}} << true << Error::None << 1L << true;
}

void TestLineTracker::writeCopies()
{
    QFETCH(Script, script);
    QFETCH(bool, echo);
    QFETCH(Error, outcome);
    QFETCH(long, echoes);
    QFETCH(bool, echoLearned);

    FakeDriver driver(Timers::Exact);
    driver.line().setEcho(echo);
    const bool isRead = script.first().bytes.startsWith(kReadRequest);
    const Played played = isRead ? driver.play(protocol::buildReadStatusRequest(1),
                                               protocol::kStatusReplySize, script)
                                 : driver.play(kOutputOn, kOutputOn.size(), script);
    QCOMPARE(played.outcome, outcome);
    if (outcome == Error::None) {
        QCOMPARE(played.bytes, isRead ? kStatus : kWriteCopy);
    }
    QCOMPARE(driver.line().stats().echoes, echoes);
    QCOMPARE(driver.line().echo(), echoLearned);
    QCOMPARE(driver.line().stats().foreign, 0L);
}

void TestLineTracker::writeCopyReadLate_data()
{
    QTest::addColumn<double>("readAtMs");
    QTest::addColumn<double>("endedMs");

    // A write's copy read in one piece 12 ms after the request: on a UART its
    // first byte came before a reply could have, so it may be the echo, and the
    // wait for the supply's answer runs out before it is taken for the reply.
    QTest::newRow("a UART's replies before") << 40.0 << toMs(kTimeout);
    // A port that answered a read sooner than the wire could carry it is a
    // virtual one: the copy's time says nothing, and it is the reply at once. A
    // second copy soon after would still show it was the adapter's echo.
    QTest::newRow("a virtual port's replies before") << 0.1 << 12.0;
}

void TestLineTracker::writeCopyReadLate()
{
    QFETCH(double, readAtMs);
    QFETCH(double, endedMs);

    FakeDriver driver(Timers::Exact);
    for (int i = 0; i < 3; ++i) {
        const Played read = driver.play(protocol::buildReadStatusRequest(1),
                                        protocol::kStatusReplySize, {{readAtMs, kStatus}});
        QCOMPARE(read.outcome, Error::None);
    }
    const Played played = driver.play(kOutputOn, kOutputOn.size(), {{12, kWriteCopy}});
    QCOMPARE(played.outcome, Error::None);
    QCOMPARE(played.bytes, kWriteCopy);
    QVERIFY2(std::abs(played.endedMs - endedMs) < 1, qPrintable(QString::number(played.endedMs)));
    QVERIFY(!driver.line().echo());
    if (endedMs < toMs(kTimeout)) {
        driver.line().received(reinterpret_cast<const std::uint8_t *>(kWriteCopy.constData()),
                               static_cast<std::size_t>(kWriteCopy.size()), driver.now() + ms(1));
        QVERIFY(driver.line().echo());
    }
}

namespace {

QByteArray bytesOf(const protocol::Frame &frame)
{
    return QByteArray(reinterpret_cast<const char *>(frame.data()),
                      static_cast<qsizetype>(frame.size()));
}

// Set 7.50 V, then 0.500 A, at address 1.
const protocol::Frame kSetVoltage = protocol::buildSetVoltageRequest(1, 750);
const protocol::Frame kSetCurrent = protocol::buildSetCurrentRequest(1, 500);
const QByteArray kVoltageCopy = bytesOf(kSetVoltage);
const QByteArray kCurrentCopy = bytesOf(kSetCurrent);

} // namespace

void TestLineTracker::lateCopyOfTheLastWrite_data()
{
    QTest::addColumn<Script>("second");   // after the next write
    QTest::addColumn<bool>("again");      // the next write is the voltage write again
    QTest::addColumn<int>("firstByteMs"); // its wait for the first byte, if any
    QTest::addColumn<Error>("outcome");
    QTest::addColumn<long>("echoes"); // the late copy and the next write's echo
    QTest::addColumn<long>("foreign");

    // The voltage write's copy came at once and was taken for its answer. Its
    // second copy, late, comes while the current write waits: it shows the
    // adapter echoes, and the current write waits on for its echo and reply.
    QTest::newRow("late copy before the echo")
        << Script{{1, kVoltageCopy}, {2, kCurrentCopy + kCurrentCopy}} << false << 0 << Error::None
        << 2L << 0L;
    // Bounded by its first byte, the wait looks at every byte: the start of the
    // late copy does not yet say the current write's echo is missing.
    QTest::newRow("late copy a byte at a time")
        << byteByByte(kVoltageCopy, 1) + Script{{12, kCurrentCopy + kCurrentCopy}} << false << 100
        << Error::None << 2L << 0L;
    QTest::newRow("late copy after a reply could have begun")
        << Script{{12, kVoltageCopy}, {14, kCurrentCopy + kCurrentCopy}} << false << 0
        << Error::None << 2L << 0L;
    // A copy after the voltage write's own timeout is no copy of it, and a write
    // answer that differs from both is a wrong answer.
    QTest::newRow("copy after its timeout")
        << Script{{145, kVoltageCopy}} << false << 0 << Error::Foreign << 0L << 1L;
    QTest::newRow("a foreign write answer")
        << Script{{1, bytesOf(protocol::buildSetVoltageRequest(1, 751))}} << false << 0
        << Error::Foreign << 0L << 1L;
    // The same write again: its copy is its own answer, as it cannot be told
    // from the first write's.
    QTest::newRow("the same write, answered at once")
        << Script{{0.1, kVoltageCopy}} << true << 0 << Error::None << 0L << 0L;
}

void TestLineTracker::lateCopyOfTheLastWrite()
{
    QFETCH(Script, second);
    QFETCH(bool, again);
    QFETCH(int, firstByteMs);
    QFETCH(Error, outcome);
    QFETCH(long, echoes);
    QFETCH(long, foreign);

    FakeDriver driver(Timers::Exact);
    const Played voltage = driver.play(kSetVoltage, kSetVoltage.size(), {{0.1, kVoltageCopy}});
    QCOMPARE(voltage.outcome, Error::None);
    QVERIFY(!driver.line().echo());
    const protocol::Frame &next = again ? kSetVoltage : kSetCurrent;
    const Played played = driver.play(next, next.size(), second, firstByteMs);
    QCOMPARE(played.outcome, outcome);
    if (outcome == Error::None) {
        QCOMPARE(played.bytes, bytesOf(next));
    }
    QCOMPARE(driver.line().stats().echoes, echoes);
    QCOMPARE(driver.line().echo(), echoes > 0);
    QCOMPARE(driver.line().stats().foreign, foreign);
}

QTEST_GUILESS_MAIN(TestLineTracker)
#include "tst_linetracker.moc"
