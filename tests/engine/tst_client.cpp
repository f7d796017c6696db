// The asynchronous client over a scripted serial control that plays the line:
// after each request goes out, its bytes come at given times, in given pieces.
// Pieces keep the line's pace (a piece of n bytes comes no sooner than n
// characters after the request's end could have been answered), as a real line
// does, since the client judges bytes by when they can have arrived.
#include "engine/client.h"
#include "protocol/frames.h"
#include "support/fakecommcontrol.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <memory>

using engine::Client;
using engine::Error;
using std::chrono::milliseconds;

namespace {

// More than this late, a piece of a script no longer stands for the timing it was
// written for (a UART's echo against a reply is told apart by a few milliseconds).
constexpr qint64 kLateMs = 3;
// Set 12.34 V / 1.500 A, actual 12.32 V / 0.500 A, output on, CV, from address 1.
const QByteArray kStatus = QByteArray::fromHex("01030C04D205DC04D001F400010001E92B");
// All values 0, from address 1; and kStatus's reading from address 2.
const QByteArray kZeroStatus = QByteArray::fromHex("01030C0000000000000000000000009370");
const QByteArray kStatusFrom2 = QByteArray::fromHex("02030C04D205DC04D001F400010001AA2A");
const QByteArray kReadRequest = QByteArray::fromHex("010310000006C108");
// Exception 2 (illegal data address) to a read of address 1.
const QByteArray kException2 = QByteArray::fromHex("018302C0F1");
// Registers 0x1002..0x1003 of address 1 (12.32 V, 0.500 A), and their reply (pymodbus).
const protocol::Frame kReadTwo =
    protocol::buildRequest(1, protocol::kReadHoldingRegisters, 0x1002, 2);
const QByteArray kTwoRegisters = QByteArray::fromHex("01030404D001F4FAED");

QByteArray bytesOf(const protocol::Frame &frame)
{
    return QByteArray(reinterpret_cast<const char *>(frame.data()),
                      static_cast<qsizetype>(frame.size()));
}

const protocol::Frame kOutputOn = protocol::buildSwitchOutputRequest(1, true);

// Bytes the line delivers `atMs` after the request (or the row's start).
struct Piece {
    int atMs;
    QByteArray bytes;
};
using Script = QList<Piece>;

Script byteByByte(const QByteArray &bytes, int fromMs)
{
    Script script;
    for (int i = 0; i < bytes.size(); ++i) {
        script << Piece{fromMs + (i * 105) / 100, bytes.mid(i, 1)};
    }
    return script;
}

// One request (a linger when `request` is empty) and how it must end.
struct Step {
    protocol::Frame request;
    Script script;
    Error expected = Error::None;
    QByteArray bytes; // the reply's bytes, when given
    int exceptionCode = 0;
    std::optional<milliseconds> firstByte;
    int interruptAtMs = -1;
    int unplugAtMs = -1;
    bool writeRefused = false;
    bool callback = false; // through the callback form instead of a Reply's signal
};

Step request(protocol::Frame frame, Script script, Error expected, QByteArray bytes)
{
    Step step;
    step.request = std::move(frame);
    step.script = std::move(script);
    step.expected = expected;
    step.bytes = std::move(bytes);
    return step;
}

Step read(Script script, Error expected = Error::None, QByteArray bytes = {})
{
    return request(protocol::buildReadStatusRequest(1), std::move(script), expected,
                   std::move(bytes));
}

Step readTwo(Script script, Error expected = Error::None, QByteArray bytes = {})
{
    return request(kReadTwo, std::move(script), expected, std::move(bytes));
}

Step write(Script script, Error expected = Error::None, QByteArray bytes = {})
{
    return request(kOutputOn, std::move(script), expected, std::move(bytes));
}

Step firstByteWithin(int ms, Step step)
{
    step.firstByte = milliseconds(ms);
    return step;
}

Step stoppedAt(int ms, Step step)
{
    step.interruptAtMs = ms;
    return step;
}

Step unpluggedAt(int ms, Step step)
{
    step.unplugAtMs = ms;
    return step;
}

Step refused(Step step)
{
    step.writeRefused = true;
    return step;
}

Step byCallback(Step step)
{
    step.callback = true;
    return step;
}

// What a finished reply said, taken while it was there to ask.
class Outcome : public QObject {
    Q_OBJECT
public:
    int calls = 0;
    QString errorWord;
    QString errorText;
    QByteArray bytes;
    bool hasReading = false;

    void take(const engine::Reply &reply)
    {
        ++calls;
        errorWord = reply.errorWord();
        errorText = reply.errorText();
        bytes = reply.bytes();
        hasReading = reply.reading().has_value();
        emit taken();
    }

signals:
    void taken();
};

// Counts a row expects of LinkStats; -1 leaves one unchecked.
struct Counts {
    long late = 0;
    long junkBytes = 0;
    long echoes = 0;
    long foreign = 0;
};

// The line: plays each request's script from the moment it is written, and notes
// any request sent within 3.5 characters of the last byte it delivered.
class ScriptedLine : public testsupport::FakeCommControl {
    Q_OBJECT
public:
    ScriptedLine()
    {
        setPort(1, Port::Free);
        m_clock.start();
    }
    QList<Script> scripts; // one per request, in order
    QList<qint64> silenceNs;
    // How much later than its time a piece came, at most: a busy machine may hold
    // the timers back, and then the line's timing that a row tests did not happen.
    qint64 maxLateMs() const { return m_maxLateMs; }

    // Pieces come in order, each at its time or later: a timer for each at once
    // could fire out of order where timers are coarse (Windows' 15.6 ms ticks),
    // which no line does.
    void play(const Script &script)
    {
        if (script.isEmpty()) {
            return;
        }
        QElapsedTimer since;
        since.start();
        playFrom(script, 0, since);
    }

    void playFrom(const Script &script, int next, QElapsedTimer since)
    {
        const int wait = std::max(0, script[next].atMs - static_cast<int>(since.elapsed()));
        QTimer::singleShot(wait, Qt::PreciseTimer, this, [this, script, next, since] {
            m_maxLateMs = std::max(m_maxLateMs, since.elapsed() - script[next].atMs);
            m_lastByteNs = m_clock.nsecsElapsed();
            feed(script[next].bytes);
            if (next + 1 < script.size()) {
                playFrom(script, next + 1, since);
            }
        });
    }

protected:
    void writeDevice(const QByteArray &bytes) override
    {
        FakeCommControl::writeDevice(bytes);
        if (m_lastByteNs >= 0) {
            silenceNs << m_clock.nsecsElapsed() - m_lastByteNs;
        }
        if (!scripts.isEmpty()) {
            play(scripts.takeFirst());
        }
    }

private:
    QElapsedTimer m_clock;
    qint64 m_lastByteNs = -1;
    qint64 m_maxLateMs = 0;
};

// A clock that moves only when told, for the client's engines.
class FakeClock : public engine::EngineClock {
public:
    time_point now() const override { return m_now; }
    void set(time_point at) { m_now = at; }

private:
    time_point m_now{std::chrono::hours(1)};
};

// The line on the fake clock: once a request is written, each piece of its script
// comes at its time after the request, with the clock set to that time, all from
// one turn of the event loop, so that no timer of the real clock comes between.
class ClockedLine : public testsupport::FakeCommControl {
    Q_OBJECT
public:
    explicit ClockedLine(FakeClock &clock) : m_clock(clock)
    {
        setPort(1, Port::Free);
        setCommPort(1);
        setPortOpen(true);
    }
    Script script;

protected:
    void writeDevice(const QByteArray &bytes) override
    {
        FakeCommControl::writeDevice(bytes);
        const FakeClock::time_point sentAt = m_clock.now();
        QTimer::singleShot(0, this, [this, sentAt, pieces = script] {
            for (const Piece &piece : pieces) {
                m_clock.set(sentAt + milliseconds(piece.atMs));
                feed(piece.bytes);
            }
        });
    }

private:
    FakeClock &m_clock;
};

} // namespace

Q_DECLARE_METATYPE(Script)
Q_DECLARE_METATYPE(Step)
Q_DECLARE_METATYPE(Counts)

class TestClient : public QObject {
    Q_OBJECT
private slots:
    void line_data();
    void line();
    void stopRefusesUntilResumed();
    void lateFrameNamedWithItsTrueDelay();
    void roundTripSummaryHoldsStill();
    void bytesJudgedByTheEngineClock_data();
    void bytesJudgedByTheEngineClock();
};

void TestClient::line_data()
{
    QTest::addColumn<QList<Step>>("steps");
    QTest::addColumn<Script>("beforeStart"); // with start(): bytes already on the line
    QTest::addColumn<bool>("echo");
    QTest::addColumn<Counts>("counts");

    QByteArray badCrc = kStatus;
    badCrc[16] = char(badCrc[16] ^ 0xFF);
    QByteArray otherBadCrc = kStatusFrom2;
    otherBadCrc[16] = char(otherBadCrc[16] ^ 0xFF);
    // Address 1, function 3, a byte count of 10: a good frame, but no status reply.
    const QByteArray otherByteCount = QByteArray::fromHex("01030A04D205DC04D001F400017DAC");
    const QByteArray junk("\xFF\x00\x55", 3);
    const QByteArray writeEcho = bytesOf(kOutputOn);
    const QByteArray otherWrite = bytesOf(protocol::buildSwitchOutputRequest(1, false));
    const Step silentFor2 = request(protocol::buildReadStatusRequest(2), {}, Error::Timeout, {});
    Step exception = read({{30, kException2}}, Error::Exception, kException2);
    exception.exceptionCode = 2;
    Step registersRefused = readTwo({{30, kException2}}, Error::Exception, kException2);
    registersRefused.exceptionCode = 2;

    auto row = [](const char *name, QList<Step> steps, Counts counts = {}, bool echo = false,
                  Script before = {}) { QTest::newRow(name) << steps << before << echo << counts; };
    row("whole", {read({{40, kStatus}}, Error::None, kStatus)});
    row("split in two",
        {read({{30, kStatus.left(5)}, {45, kStatus.mid(5)}}, Error::None, kStatus)});
    row("byte by byte", {read(byteByByte(kStatus, 15), Error::None, kStatus)});
    row("junk after", {read({{40, kStatus + junk}}, Error::None, kStatus)});
    row("junk before an intact reply", {read({{40, junk + kStatus}}, Error::None, kStatus)},
        {0, 3, 0, 0});
    // Frames and fragments of other addresses never end the wait.
    row("a foreign frame alone", {read({{30, kStatusFrom2}}, Error::Foreign)}, {0, 0, 0, 1});
    row("a foreign frame, then ours",
        {read({{30, kStatusFrom2}, {60, kStatus}}, Error::None, kStatus)}, {0, 0, 0, 1});
    row("a fragment of a foreign frame", {read({{30, kStatusFrom2.left(6)}}, Error::Foreign)},
        {0, 6, 0, 1});
    row("a fragment, then ours",
        {read({{30, kStatusFrom2.left(6)}, {60, kStatus}}, Error::None, kStatus)}, {0, 6, 0, 0});
    // A virtual port answers at once, whatever the baud: a whole reply is the
    // reply however soon it comes.
    row("a reply 0.1 ms after the request", {read({{0, kStatus}}, Error::None, kStatus)});
    row("a write's reply at once", {write({{0, writeEcho}}, Error::None, writeEcho)});
    row("an echoing adapter on an instant line",
        {read({{0, kReadRequest}, {0, kStatus}}, Error::None, kStatus),
         write({{0, writeEcho}, {0, writeEcho}}, Error::None, writeEcho)},
        {0, 0, 2, 0});
    row("a foreign frame at once, then ours",
        {read({{0, kStatusFrom2}, {30, kStatus}}, Error::None, kStatus)}, {0, 0, 0, 1});
    row("another address with a bad crc", {read({{40, otherBadCrc}}, Error::Foreign)},
        {0, 17, 0, 1});
    row("our address, another byte count", {read({{40, otherByteCount}}, Error::Foreign)},
        {0, 0, 0, 1});
    row("a write echo to a read", {read({{30, writeEcho}}, Error::Foreign)}, {0, 0, 0, 1});
    row("bad crc", {read({{40, badCrc}}, Error::Crc)});
    row("exception", {exception});
    row("silence", {read({}, Error::Timeout)});
    row("cut short", {read({{30, kStatus.left(9)}}, Error::Short)});
    row("too slow to finish",
        {read({{30, kStatus.left(1)}, {80, kStatus.mid(1, 1)}, {130, kStatus.mid(2, 1)}},
              Error::Short)});
    // Another address timed out; its reply comes during our wait, named late.
    row("a late frame of another address",
        {silentFor2, read({{10, kStatusFrom2}, {50, kStatus}}, Error::None, kStatus)},
        {1, 0, 0, 0});
    // Our own address timed out; its late reply is drained before it is asked again,
    // and counted late, not foreign.
    row("our late reply is never the next one's",
        {read({{175, kZeroStatus}}, Error::Timeout), read({{40, kStatus}}, Error::None, kStatus)},
        {1, 0, 0, 0});
    row("our late write echo during a read",
        {write({}, Error::Timeout), read({{10, writeEcho}, {50, kStatus}}, Error::None, kStatus)},
        {1, 0, 0, 0});
    row("the adapter's echo on a read",
        {read({{5, kReadRequest}, {40, kStatus}}, Error::None, kStatus)}, {0, 0, 1, 0});
    // On a UART a write's copy that began before a reply could have is the echo.
    row("the adapter's echo on a write, by its time",
        {write({{9, writeEcho}, {30, writeEcho}}, Error::None, writeEcho)}, {0, 0, 1, 0});
    // A copy with nothing after it is the reply, however early: a virtual port's
    // reply read late looks the same; the write's read-back confirms it.
    row("a write's copy at a UART's echo time, and nothing after it",
        {write({{9, writeEcho}}, Error::None, writeEcho)}, {0, 0, 0, 0});
    // Sooner than a UART could have sent it: a virtual port's copy, the echo if
    // the supply's copy follows by the reply's usual time, else the reply.
    row("a virtual port's echo on a write",
        {write({{5, writeEcho}, {12, writeEcho}}, Error::None, writeEcho)}, {0, 0, 1, 0});
    row("a virtual port's echo on a write, the supply's copy after its usual time",
        {write({{5, writeEcho}, {30, writeEcho}}, Error::None, writeEcho),
         read({{40, kStatus}}, Error::None, kStatus)},
        {0, 0, 1, 0});
    row("a write answered without echo", {write({{30, writeEcho}}, Error::None, writeEcho)});
    // The echo came too late to be told by its time: the second copy tells it.
    row("the adapter's echo on a write, by the supply's copy",
        {write({{20, writeEcho}, {45, writeEcho}}, Error::None, writeEcho),
         read({{5, kReadRequest}, {60, kStatus}}, Error::None, kStatus),
         write({{5, writeEcho}, {30, writeEcho}}, Error::None, writeEcho)},
        {0, 0, 3, 0});
    row("echo set: the echo alone confirms no write", {write({{5, writeEcho}}, Error::Timeout)},
        {0, 0, 1, 0}, true);
    row("echo set, then the supply's copy",
        {write({{5, writeEcho}, {35, writeEcho}}, Error::None, writeEcho)}, {0, 0, 1, 0}, true);
    row("a write echo that differs", {write({{30, otherWrite}}, Error::Foreign)}, {0, 0, 0, 1});
    row("first byte in time, the rest slower",
        {firstByteWithin(
            40, read({{10, kStatus.left(1)}, {70, kStatus.mid(1)}}, Error::None, kStatus))});
    row("nothing by the first-byte wait",
        {firstByteWithin(40, read({{140, kStatus}}, Error::Timeout))});
    row("a stop with a reply in flight",
        {stoppedAt(20, read({{120, kStatus}}, Error::None, kStatus))});
    row("a stop and no reply", {stoppedAt(20, read({}, Error::Interrupted))});
    row("the port lost", {unpluggedAt(30, read({}, Error::Port)), read({}, Error::Port)});
    row("the write refused", {refused(read({}, Error::Port))});
    // Any run of registers: the reply's length follows the count asked.
    row("registers whole", {readTwo({{30, kTwoRegisters}}, Error::None, kTwoRegisters)});
    row("registers byte by byte",
        {readTwo(byteByByte(kTwoRegisters, 15), Error::None, kTwoRegisters)});
    row("registers: a status reply to another count", {readTwo({{30, kStatus}}, Error::Foreign)},
        {0, 0, 0, 1});
    row("registers: an exception", {registersRefused});
    row("registers: silence, then a status read",
        {readTwo({}, Error::Timeout), read({{40, kStatus}}, Error::None, kStatus)});
    // The callback form ends each way the signal does: a reply, a wait's end, a
    // stop, a lost port, a refused write; a request after it still goes out.
    row("by callback: whole, then through a reply object",
        {byCallback(read({{40, kStatus}}, Error::None, kStatus)),
         read({{40, kStatus}}, Error::None, kStatus)});
    row("by callback: a write answered",
        {byCallback(write({{30, writeEcho}}, Error::None, writeEcho)),
         byCallback(read({{40, kStatus}}, Error::None, kStatus))});
    row("by callback: nothing came back", {byCallback(read({}, Error::Timeout))});
    row("by callback: an exception", {byCallback(exception)});
    row("by callback: a stop and no reply",
        {byCallback(stoppedAt(20, read({}, Error::Interrupted)))});
    row("by callback: the port lost",
        {byCallback(unpluggedAt(30, read({}, Error::Port))), byCallback(read({}, Error::Port))});
    row("by callback: the write refused", {byCallback(refused(write({}, Error::Port)))});
    // A reply to an earlier program's request is still on its way when we start.
    row("the opening drain", {read({{40, kStatus}}, Error::None, kStatus)}, {}, false,
        {{0, kZeroStatus.left(5)}, {50, kZeroStatus.mid(5)}});
}

void TestClient::line()
{
    QFETCH(QList<Step>, steps);
    QFETCH(Script, beforeStart);
    QFETCH(bool, echo);
    QFETCH(Counts, counts);

    ScriptedLine comm;
    comm.setCommPort(1);
    comm.setPortOpen(true);
    Client client(comm);
    client.setTimeout(milliseconds(150));
    client.setEcho(echo);
    QSignalSpy portFailures(&client, &Client::portFailed);
    QElapsedTimer sinceStart;
    sinceStart.start();
    if (!beforeStart.isEmpty()) {
        client.setStartQuiet(milliseconds(60));
        comm.play(beforeStart);
        client.start();
    }
    int writes = 0;
    QList<std::shared_ptr<Outcome>> outcomes;
    for (const Step &step : steps) {
        comm.scripts << step.script;
        if (step.writeRefused) {
            comm.failNextWrite(serial::kErrDeviceIo, "the device went away");
        }
        QElapsedTimer clock;
        clock.start();
        const bool status = step.request == protocol::buildReadStatusRequest(step.request[0]);
        const bool registers = !status && step.request[1] == protocol::kReadHoldingRegisters;
        auto outcome = std::make_shared<Outcome>();
        QSignalSpy taken(outcome.get(), &Outcome::taken);
        std::unique_ptr<engine::Reply> reply;
        if (step.callback) {
            auto done = [outcome](const engine::Reply &r) { outcome->take(r); };
            if (status) {
                client.readStatus(step.request[0], done);
            } else {
                client.write(step.request, done);
            }
        } else {
            reply.reset(status      ? client.readStatus(step.request[0], step.firstByte)
                        : registers ? client.readRegisters(
                                          step.request[0],
                                          std::uint16_t((step.request[2] << 8) | step.request[3]),
                                          std::uint16_t((step.request[4] << 8) | step.request[5]))
                                    : client.write(step.request));
            QObject::connect(reply.get(), &engine::Reply::finished, reply.get(),
                             [outcome, r = reply.get()] { outcome->take(*r); });
        }
        QCOMPARE(outcome->calls, 0); // never from inside the call
        if (step.interruptAtMs >= 0) {
            QTimer::singleShot(step.interruptAtMs, &client, [&client] { client.interrupt(); });
        }
        if (step.unplugAtMs >= 0) {
            QTimer::singleShot(step.unplugAtMs, &comm, [&comm] { comm.unplug(); });
        }
        QVERIFY(taken.wait(5000));
        if (comm.maxLateMs() > kLateMs) {
            QSKIP(qPrintable(QStringLiteral("the machine held the line's bytes back by %1 ms: "
                                            "the timing this row tests did not happen")
                                 .arg(comm.maxLateMs())));
        }
        const qint64 tookMs = clock.elapsed();
        outcomes << outcome; // called once: checked at the end, after the other steps
        QCOMPARE(outcome->errorWord, engine::errorWord(step.expected, step.exceptionCode));
        if (!step.bytes.isEmpty()) {
            QCOMPARE(outcome->bytes, step.bytes);
        }
        if (step.expected == Error::None) {
            // Only a status read is decoded into a reading.
            QCOMPARE(outcome->hasReading, status);
        }
        if (step.expected == Error::Timeout ||
            (step.expected == Error::Foreign &&
             step.request[1] == protocol::kReadHoldingRegisters)) {
            // Nothing but our reply or the deadline ends a wait.
            const qint64 wait = step.firstByte ? step.firstByte->count() : 150;
            QVERIFY2(tookMs >= wait, qPrintable(QString::number(tookMs)));
        }
        if (step.expected == Error::Port && step.writeRefused) {
            QCOMPARE(outcome->errorText, QStringLiteral("the device went away"));
        }
        if (step.expected != Error::Port || writes < comm.written.size()) {
            ++writes;
        }
        client.resume();
    }
    QCOMPARE(comm.written.size(), writes);
    QTest::qWait(20);
    for (const auto &outcome : outcomes) {
        QCOMPARE(outcome->calls, 1);
    }
    if (!comm.written.isEmpty()) {
        QCOMPARE(comm.written.first(), bytesOf(steps.first().request));
    }
    for (const qint64 silence : comm.silenceNs) {
        QVERIFY2(silence >= 3'645'000, qPrintable(QString::number(silence)));
    }
    if (!beforeStart.isEmpty()) {
        // The first request waited for the line to be quiet after the stale bytes.
        QVERIFY(comm.silenceNs.first() >= 60'000'000);
    }
    const engine::LinkStats &stats = client.stats();
    QCOMPARE(stats.requests, long(comm.written.size()));
    if (counts.late >= 0) {
        QCOMPARE(stats.late, counts.late);
    }
    QCOMPARE(stats.junkBytes, counts.junkBytes);
    QCOMPARE(stats.echoes, counts.echoes);
    if (counts.foreign >= 0) {
        QCOMPARE(stats.foreign, counts.foreign);
    }
    QCOMPARE(stats.roundTrips, stats.replies);
    if (stats.roundTrips == 0) {
        QCOMPARE(stats.medianMs, 0.0);
    }
    QTRY_COMPARE(portFailures.count(), steps.last().expected == Error::Port ? 1 : 0);
}

void TestClient::stopRefusesUntilResumed()
{
    ScriptedLine comm;
    comm.setCommPort(1);
    comm.setPortOpen(true);
    Client client(comm);
    client.interrupt();
    QVERIFY(client.interrupted());
    engine::Reply *refused = client.readStatus(1);
    engine::Reply *queued = client.write(kOutputOn);
    QVERIFY(!refused->isFinished()); // never from inside the call
    QTRY_VERIFY(queued->isFinished());
    QCOMPARE(refused->error(), Error::Interrupted);
    QCOMPARE(queued->error(), Error::Interrupted);
    QVERIFY(comm.written.isEmpty());
    delete refused;
    delete queued;

    client.resume();
    comm.scripts << Script{{30, bytesOf(kOutputOn)}};
    engine::Reply *reply = client.write(kOutputOn);
    QTRY_VERIFY(reply->isFinished());
    QCOMPARE(reply->error(), Error::None);
    QVERIFY(client.idle());
    delete reply;

    // A reply let go while its request is out: the next one is still answered.
    comm.scripts << Script{{30, kStatus}} << Script{{30, kStatus}};
    delete client.readStatus(1);
    reply = client.readStatus(1);
    QTRY_VERIFY(reply->isFinished());
    QCOMPARE(reply->error(), Error::None);
    QCOMPARE(comm.written.size(), 3);
    delete reply;
}

void TestClient::lateFrameNamedWithItsTrueDelay()
{
    // The last address of a scan answers after its wait, while the client lingers:
    // the delay named is when its frame came, not when the linger ended.
    ScriptedLine comm;
    comm.setCommPort(1);
    comm.setPortOpen(true);
    Client client(comm);
    comm.scripts << Script{{90, kStatusFrom2}};
    QElapsedTimer sinceRequest;
    sinceRequest.start();
    engine::Reply *probe = client.readStatus(2, milliseconds(30));
    QTRY_VERIFY(probe->isFinished());
    QCOMPARE(probe->error(), Error::Timeout);
    engine::Reply *linger = client.linger(milliseconds(400));
    QSignalSpy lingered(linger, &engine::Reply::finished);
    QVERIFY(lingered.wait(5000));
    const qint64 lingerEndedMs = sinceRequest.elapsed();
    const std::vector<engine::LateFrame> late = client.takeLateFrames();
    QCOMPARE(late.size(), std::size_t(1));
    QCOMPARE(int(late[0].address), 2);
    QCOMPARE(late[0].bytes, kStatusFrom2);
    // The frame came 90 ms after its request, by a timer that may fire a little
    // early on another clock than the client's (Wine's); the linger ended at 430,
    // or later on a busy machine, as measured here: well after the frame.
    QVERIFY2(late[0].afterMs >= 85 && late[0].afterMs < lingerEndedMs - 100,
             qPrintable(QStringLiteral("%1 ms, the linger ended after %2 ms")
                            .arg(late[0].afterMs)
                            .arg(lingerEndedMs)));
    QVERIFY(client.takeLateFrames().empty());
    QCOMPARE(client.stats().late, 1L);
    QCOMPARE(client.stats().foreign, 0L);
    delete probe;
    delete linger;
}

void TestClient::roundTripSummaryHoldsStill()
{
    // Many readings: the summary's median is the round trip's, within a bucket.
    ScriptedLine comm;
    comm.setCommPort(1);
    comm.setPortOpen(true);
    Client client(comm);
    for (int i = 0; i < 20; ++i) {
        comm.scripts << Script{{30, kStatus}};
        engine::Reply *reply = client.readStatus(1);
        QTRY_VERIFY(reply->isFinished());
        QCOMPARE(reply->error(), Error::None);
        delete reply;
    }
    const engine::LinkStats &stats = client.stats();
    QCOMPARE(stats.roundTrips, 20L);
    QVERIFY2(stats.medianMs > 0 && stats.medianMs <= stats.maxMs,
             qPrintable(QString::number(stats.medianMs)));
    QVERIFY(stats.p99Ms >= stats.medianMs && stats.p99Ms <= stats.maxMs);
}

void TestClient::bytesJudgedByTheEngineClock_data()
{
    // The rows of line() whose verdict hangs on a few milliseconds, on a clock that
    // a busy machine cannot hold back: the same bytes at other times, other verdicts.
    QTest::addColumn<bool>("isWrite");
    QTest::addColumn<Script>("script");
    QTest::addColumn<long>("echoes");
    QTest::addColumn<double>("roundTripMs");
    const QByteArray copy = bytesOf(kOutputOn);
    QTest::newRow("a write's copy at a UART's echo time, then the reply")
        << true << Script{{9, copy}, {30, copy}} << 1L << 30.0;
    QTest::newRow("a write's copy sooner than the wire, then the reply")
        << true << Script{{5, copy}, {12, copy}} << 1L << 12.0;
    QTest::newRow("a write's copy after a UART's echo time is the reply")
        << true << Script{{30, copy}} << 0L << 30.0;
    QTest::newRow("the adapter's copy of a read, then the reply")
        << false << Script{{5, kReadRequest}, {40, kStatus}} << 1L << 40.0;
    QTest::newRow("a read's reply at once") << false << Script{{0, kStatus}} << 0L << 0.0;
}

void TestClient::bytesJudgedByTheEngineClock()
{
    QFETCH(bool, isWrite);
    QFETCH(Script, script);
    QFETCH(long, echoes);
    QFETCH(double, roundTripMs);

    FakeClock clock;
    ClockedLine comm(clock);
    comm.script = script;
    Client client(comm, clock);
    QCOMPARE(&client.clock(), &clock);
    // The line has been quiet a while: the request goes at once.
    clock.set(clock.now() + std::chrono::seconds(1));
    std::unique_ptr<engine::Reply> reply(isWrite ? client.write(kOutputOn) : client.readStatus(1));
    QTRY_VERIFY(reply->isFinished());
    QCOMPARE(reply->error(), Error::None);
    QCOMPARE(reply->bytes(), isWrite ? bytesOf(kOutputOn) : kStatus);
    QCOMPARE(client.stats().echoes, echoes);
    // The round trip is the fake clock's to the reply's last piece, to the
    // nanosecond the tracker rounds to.
    QVERIFY2(std::abs(reply->roundTripMs() - roundTripMs) < 0.01,
             qPrintable(QString::number(reply->roundTripMs())));
}

QTEST_GUILESS_MAIN(TestClient)
#include "tst_client.moc"
