// The line's timing rules as the client keeps them, on a clock the test moves:
// the silence before every request, the reply's wait, and the first look at a
// line that was just started or handed over. Every wait, the engine's and the
// line's, ends on the same clock, so each time checked is the rule's to the
// nanosecond, however busy the machine is.
#include "engine/client.h"
#include "engine/mbapport.h"
#include "protocol/frames.h"
#include "support/simclock.h"

#include <QTest>

#include <cmath>
#include <memory>
#include <vector>

using engine::Client;
using engine::Error;
using engine::nanoseconds;
using std::chrono::milliseconds;
using testsupport::SimClock;

namespace {

// Set 12.34 V / 1.500 A, actual 12.32 V / 0.500 A, output on, CV, from address 1.
const QByteArray kStatus = QByteArray::fromHex("01030C04D205DC04D001F400010001E92B");
const QByteArray kStatusFrom2 = QByteArray::fromHex("02030C04D205DC04D001F400010001AA2A");
const QByteArray kReadRequest = QByteArray::fromHex("010310000006C108");

nanoseconds ms(double value)
{
    return nanoseconds(static_cast<nanoseconds::rep>(std::llround(value * 1e6)));
}

double msOf(nanoseconds span)
{
    return static_cast<double>(span.count()) / 1e6;
}

// Bytes the line delivers `atMs` after the request they answer (or the start).
struct Piece {
    double atMs;
    QByteArray bytes;
};
using Script = QList<Piece>;

// A port that carries the line's RTU frames and can change hands under the
// client, as a shared line's does; it plays a script after each request on the
// test's clock and notes when each request went out.
class SimLine : public engine::MbapPort {
    Q_OBJECT
public:
    explicit SimLine(SimClock &clock) : m_clock(clock)
    {
        setCommPort(1);
        setPortOpen(true);
    }
    QList<Script> scripts; // one per request, in order
    std::vector<SimClock::time_point> sentAt;
    SimClock::time_point lastByteAt{};

    void play(const Script &script)
    {
        for (const Piece &piece : script) {
            m_clock.after(ms(piece.atMs), [this, bytes = piece.bytes] {
                lastByteAt = m_clock.now();
                receive(bytes);
            });
        }
    }
    void handOver() { emit lineChanged(); }

    milliseconds extraWait() const override { return milliseconds(0); }
    QString name() const override { return QStringLiteral("sim"); }
    bool carriesMbap() const override { return false; }

protected:
    void openDevice(int) override { m_open = true; }
    void closeDevice() override { m_open = false; }
    void probeDevice(int) override {}
    bool deviceIsOpen() const override { return m_open; }
    void writeDevice(const QByteArray &) override
    {
        sentAt.push_back(m_clock.now());
        if (!scripts.isEmpty()) {
            play(scripts.takeFirst());
        }
    }

private:
    SimClock &m_clock;
    bool m_open = false;
};

struct Rig {
    SimClock clock;
    SimLine line{clock};
    Client client{line, clock};

    Rig()
    {
        client.setTimeout(milliseconds(150));
        // The line has been quiet a long while.
        clock.advance(std::chrono::seconds(1));
    }
    // Runs until the reply is finished; false if it never is.
    bool finish(const engine::Reply *reply, milliseconds limit = milliseconds(5000))
    {
        return clock.run([reply] { return reply->isFinished(); }, limit);
    }
};

} // namespace

Q_DECLARE_METATYPE(Script)

class TestLineTiming : public QObject {
    Q_OBJECT
private slots:
    void silenceBeforeEveryRequest_data();
    void silenceBeforeEveryRequest();
    void replyWaitEndsOnItsTime_data();
    void replyWaitEndsOnItsTime();
    void firstRequestWaitsForTheLine_data();
    void firstRequestWaitsForTheLine();
};

void TestLineTiming::silenceBeforeEveryRequest_data()
{
    QTest::addColumn<Script>("first");       // what the line carries after the first request
    QTest::addColumn<quint8>("nextAddress"); // the second request's
    QTest::addColumn<double>("nextAtMs");    // when it goes, after the first request

    // Once the line has been quiet 3.5 characters after its last byte: not
    // sooner, and not needlessly later.
    const double silence = engine::kSilenceMs;
    QTest::newRow("after a reply") << Script{{30, kStatus}} << quint8(1) << 30 + silence;
    QTest::newRow("after another address's frame that followed the reply")
        << Script{{30, kStatus}, {32, kStatusFrom2}} << quint8(2) << 32 + silence;
    QTest::newRow("after the adapter's echo and the reply")
        << Script{{5, kReadRequest}, {40, kStatus}} << quint8(2) << 40 + silence;
    // The line has been quiet since the request's own bytes: at the wait's end.
    QTest::newRow("after a timeout, another address") << Script{} << quint8(2) << 150.0;
}

void TestLineTiming::silenceBeforeEveryRequest()
{
    QFETCH(Script, first);
    QFETCH(quint8, nextAddress);
    QFETCH(double, nextAtMs);

    Rig rig;
    rig.line.scripts << first << Script{{30, kStatus}};
    std::unique_ptr<engine::Reply> one(rig.client.readStatus(1));
    // Asked at once: it waits its turn and then the line's silence.
    std::unique_ptr<engine::Reply> two(rig.client.readStatus(nextAddress));
    QVERIFY(rig.finish(two.get()));
    QVERIFY(one->isFinished());
    QCOMPARE(rig.line.sentAt.size(), std::size_t(2));
    const double atMs = msOf(rig.line.sentAt[1] - rig.line.sentAt[0]);
    QVERIFY2(std::abs(atMs - nextAtMs) < 0.01, qPrintable(QStringLiteral("%1 ms").arg(atMs)));
}

void TestLineTiming::replyWaitEndsOnItsTime_data()
{
    QTest::addColumn<Script>("script");
    QTest::addColumn<int>("timeoutMs");
    QTest::addColumn<int>("firstByteMs"); // 0: none
    QTest::addColumn<Error>("expected");
    QTest::addColumn<double>("endsAtMs"); // after the request went out

    QTest::newRow("silence ends at the timeout") << Script{} << 150 << 0 << Error::Timeout << 150.0;
    QTest::newRow("a longer timeout is waited whole")
        << Script{} << 500 << 0 << Error::Timeout << 500.0;
    QTest::newRow("a reply just before the timeout is taken")
        << Script{{149, kStatus}} << 150 << 0 << Error::None << 149.0;
    QTest::newRow("a reply just after the timeout is not")
        << Script{{151, kStatus}} << 150 << 0 << Error::Timeout << 150.0;
    QTest::newRow("another address's frame does not end the wait")
        << Script{{30, kStatusFrom2}} << 150 << 0 << Error::Foreign << 150.0;
    QTest::newRow("nothing by the first-byte wait")
        << Script{{60, kStatus}} << 150 << 40 << Error::Timeout << 40.0;
    QTest::newRow("a reply begun by the first-byte wait runs on")
        << Script{{10, kStatus.left(1)}, {70, kStatus.mid(1)}} << 150 << 40 << Error::None << 70.0;
}

void TestLineTiming::replyWaitEndsOnItsTime()
{
    QFETCH(Script, script);
    QFETCH(int, timeoutMs);
    QFETCH(int, firstByteMs);
    QFETCH(Error, expected);
    QFETCH(double, endsAtMs);

    Rig rig;
    rig.client.setTimeout(milliseconds(timeoutMs));
    rig.line.scripts << script;
    std::unique_ptr<engine::Reply> reply(rig.client.readStatus(
        1, firstByteMs > 0 ? std::optional<milliseconds>(firstByteMs) : std::nullopt));
    SimClock::time_point endedAt{};
    QObject::connect(reply.get(), &engine::Reply::finished, reply.get(),
                     [&] { endedAt = rig.clock.now(); });
    QVERIFY(rig.finish(reply.get()));
    QCOMPARE(reply->errorWord(), engine::errorWord(expected));
    QCOMPARE(rig.line.sentAt.size(), std::size_t(1));
    const double tookMs = msOf(endedAt - rig.line.sentAt[0]);
    QVERIFY2(std::abs(tookMs - endsAtMs) < 0.01, qPrintable(QStringLiteral("%1 ms").arg(tookMs)));
}

void TestLineTiming::firstRequestWaitsForTheLine_data()
{
    QTest::addColumn<bool>("handover"); // else a start
    QTest::addColumn<Script>("heard");  // on the line after the start or handover
    QTest::addColumn<double>("sendsAtMs");

    // Long enough to hear a supply that is answering, far shorter than the quiet time.
    const double firstLook = 20.0;
    const QByteArray replyTail = kStatusFrom2.mid(5);
    // Start: the line is quiet for the first look, or for the whole quiet time
    // (60 ms here) after anything heard, as an earlier program's reply may run on.
    QTest::newRow("start, a quiet line") << false << Script{} << firstLook;
    QTest::newRow("start, the tail of a reply") << false << Script{{5, replyTail}} << 5.0 + 60.0;
    // Handover: the last master was ours and has gone. The end of its exchange
    // needs only the first look after it; a request it left on the line keeps the
    // line for the quiet time, as its reply may still come.
    QTest::newRow("handover, a quiet line") << true << Script{} << firstLook;
    QTest::newRow("handover, the tail of the old owner's reply")
        << true << Script{{5, replyTail}} << 5.0 + firstLook;
    QTest::newRow("handover, the old owner's request heard last")
        << true << Script{{5, kReadRequest}} << 5.0 + 60.0;
}

void TestLineTiming::firstRequestWaitsForTheLine()
{
    QFETCH(bool, handover);
    QFETCH(Script, heard);
    QFETCH(double, sendsAtMs);

    Rig rig;
    rig.client.setStartQuiet(milliseconds(60));
    if (handover) {
        rig.client.start();
        rig.clock.advance(std::chrono::seconds(1));
    }
    const SimClock::time_point startedAt = rig.clock.now();
    if (handover) {
        rig.line.handOver();
    } else {
        rig.client.start();
    }
    rig.line.play(heard);
    rig.line.scripts << Script{{30, kStatus}};
    std::unique_ptr<engine::Reply> reply(rig.client.readStatus(1));
    QVERIFY(rig.finish(reply.get()));
    QCOMPARE(reply->error(), Error::None);
    QCOMPARE(rig.line.sentAt.size(), std::size_t(1));
    const double atMs = msOf(rig.line.sentAt[0] - startedAt);
    QVERIFY2(std::abs(atMs - sendsAtMs) < 0.01, qPrintable(QStringLiteral("%1 ms").arg(atMs)));
    QCOMPARE(rig.client.handovers(), handover ? 1 : 0);
}

QTEST_GUILESS_MAIN(TestLineTiming)
#include "tst_linetiming.moc"
