// The supply session on a fake line and a fake clock: the order and pace of the
// polling rounds, writes slipped in between polls, the all-off that preempts
// what waits and names the supply that did not confirm, one caller's cancel,
// reads of several callers answered by one request, and how a confirmed write
// ends for each way the supply can answer.
#include "engine/session.h"
#include "protocol/frames.h"

#include <QTest>

#include <algorithm>
#include <deque>
#include <map>
#include <set>
#include <utility>

using namespace std::chrono_literals;
using engine::Error;
using engine::LineAnswer;
using engine::Session;

Q_DECLARE_METATYPE(engine::Error)

namespace {

struct FakeClock : engine::EngineClock {
    time_point t{std::chrono::hours(1)};
    time_point now() const override { return t; }
};

struct FakeTimer : engine::SessionTimer {
    std::function<void()> pending;
    std::chrono::milliseconds last{-1};
    void start(std::chrono::milliseconds after, std::function<void()> fire) override
    {
        last = after;
        pending = std::move(fire);
    }
    void stop() override { pending = nullptr; }
    void fire()
    {
        auto f = std::move(pending);
        pending = nullptr;
        if (f) {
            f();
        }
    }
};

// How a fake supply answers.
enum class Behaviour { Takes, Ignores, SilentReadBack, WriteException, Refuses };

// Supplies behind one line: requests wait until the test answers them, each
// answer moving the clock by the line's latency. Every request is logged as
// "r1" (status read of 1) or "w1" (write to 1).
struct FakeLine : engine::SessionLine {
    FakeClock &clock;
    std::chrono::milliseconds latency{10};
    std::map<std::uint8_t, protocol::StatusReading> state;
    std::map<std::uint8_t, Behaviour> behaviour;
    std::map<std::uint8_t, int> timeouts; // status reads that time out before one answers
    std::deque<std::pair<protocol::Frame, Done>> pending;
    // The relay handed to the line ("x<unit>:<function>" in the log), and its
    // notice that it went out, which the test may give before the answer.
    struct Relayed {
        engine::RelayRequest request;
        std::function<void()> sent;
        Done done;
    };
    std::optional<Relayed> relayed;
    QStringList log;
    bool instant = false; // answers from inside the call

    explicit FakeLine(FakeClock &c) : clock(c) {}

    void readStatus(std::uint8_t address, Done done) override
    {
        log << QStringLiteral("r%1").arg(address);
        pending.emplace_back(protocol::buildReadStatusRequest(address), std::move(done));
        if (instant) {
            answerOne();
        }
    }
    void write(const protocol::Frame &request, Done done) override
    {
        log << QStringLiteral("w%1").arg(request[0]);
        pending.emplace_back(request, std::move(done));
        if (instant) {
            answerOne();
        }
    }

    void relay(const engine::RelayRequest &request, std::function<void()> sent, Done done) override
    {
        log << QStringLiteral("x%1:%2").arg(request.unit).arg(request.pdu.at(0));
        relayed = Relayed{request, std::move(sent), std::move(done)};
    }
    void abortRelay() override
    {
        log << QStringLiteral("abort");
        relayed.reset();
    }
    void sendRelay()
    {
        if (relayed && relayed->sent) {
            std::exchange(relayed->sent, nullptr)();
        }
    }

    // Answers the request on the line; false when none is.
    bool answerOne()
    {
        if (relayed) {
            sendRelay();
            Relayed r = std::move(*relayed);
            relayed.reset();
            clock.t += latency;
            LineAnswer answer;
            answer.address = r.request.unit;
            answer.sentTime = clock.t - latency;
            answer.bytes = QByteArray(1, char(r.request.unit)) +
                           QByteArray(reinterpret_cast<const char *>(r.request.pdu.data()),
                                      qsizetype(r.request.pdu.size()));
            r.done(answer);
            return true;
        }
        if (pending.empty()) {
            return false;
        }
        auto [request, done] = std::move(pending.front());
        pending.pop_front();
        clock.t += latency;
        const std::uint8_t address = request[0];
        const Behaviour b = behaviour.count(address) ? behaviour[address] : Behaviour::Takes;
        LineAnswer answer;
        answer.address = address;
        answer.sentTime = clock.t - latency;
        if (request[1] == protocol::kWriteSingleRegister) {
            if (b == Behaviour::WriteException) {
                answer.failure = {Error::Exception, 4};
            } else if (b == Behaviour::Refuses) {
                answer.failure = {Error::Refused, 0, QStringLiteral("ceiling 10 V")};
                answer.sentTime = {};
            } else if (b != Behaviour::Ignores) {
                apply(address, request);
            }
        } else if (b == Behaviour::SilentReadBack || timeouts[address] > 0) {
            --timeouts[address];
            answer.failure = {Error::Timeout};
        } else {
            answer.reading = state[address];
        }
        done(answer);
        return true;
    }
    void answerAll()
    {
        for (int i = 0; i < 100 && answerOne(); ++i) {
        }
    }
    void apply(std::uint8_t address, const protocol::Frame &request)
    {
        const std::uint16_t value = std::uint16_t(request[4] << 8 | request[5]);
        auto &s = state[address];
        const auto same = [&](const protocol::Frame &f) {
            return f[2] == request[2] && f[3] == request[3];
        };
        if (same(protocol::buildSetVoltageRequest(address, 0))) {
            s.setVoltage = value;
        } else if (same(protocol::buildSetCurrentRequest(address, 0))) {
            s.setCurrent = value;
        } else {
            s.outputOn = value != 0;
        }
    }
};

struct Rig {
    FakeClock clock;
    FakeLine line{clock};
    FakeTimer *timer = new FakeTimer;
    Session session{line, clock, std::unique_ptr<engine::SessionTimer>(timer)};
};

engine::Confirms voltageIs(std::uint16_t v)
{
    return [v](const protocol::StatusReading &r) { return r.setVoltage == v; };
}

} // namespace

class TestSession : public QObject {
    Q_OBJECT
private slots:
    void roundsInOrderAtTheirRate_data();
    void roundsInOrderAtTheirRate();
    void writeSlipsInBetweenPolls();
    void allOffPreemptsAndNamesTheOneNotOff();
    void cancelLeavesOtherCallers();
    void identicalReadsAreOneRequest();
    void confirmedWriteEnds_data();
    void confirmedWriteEnds();
    void lineThatAnswersAtOnce();
    void silentAddressLeftOut_data();
    void silentAddressLeftOut();
    void lineGoesOnWhileHeldUp_data();
    void lineGoesOnWhileHeldUp();
    void endedFromInsideACall_data() { lineGoesOnWhileHeldUp_data(); }
    void endedFromInsideACall();
    void relays_data();
    void relays();
    void roundsOnFixedSlots_data();
    void roundsOnFixedSlots();
};

void TestSession::roundsInOrderAtTheirRate_data()
{
    QTest::addColumn<int>("latencyMs");
    QTest::addColumn<int>("waitMs"); // -1: the next round starts at once
    QTest::newRow("fast line waits out the interval") << 10 << 70;
    QTest::newRow("slow line sets the pace") << 50 << -1;
}

void TestSession::roundsInOrderAtTheirRate()
{
    QFETCH(int, latencyMs);
    QFETCH(int, waitMs);
    Rig rig;
    rig.line.latency = std::chrono::milliseconds(latencyMs);
    QStringList heardA, heardB;
    const auto a = rig.session.addCaller();
    const auto b = rig.session.addCaller();
    rig.session.poll(a, {1, 2}, [&](const LineAnswer &r) { heardA << QString::number(r.address); });
    rig.session.poll(b, {2, 3}, [&](const LineAnswer &r) { heardB << QString::number(r.address); });
    for (int i = 0; i < 3; ++i) {
        QVERIFY(rig.line.answerOne());
    }
    // Address 2, polled by both, is read once a round and heard by both.
    QCOMPARE(rig.line.log.mid(0, 3), (QStringList{"r1", "r2", "r3"}));
    QCOMPARE(heardA, (QStringList{"1", "2"}));
    QCOMPARE(heardB, (QStringList{"2", "3"}));
    if (waitMs < 0) {
        QVERIFY(!rig.timer->pending);
        QCOMPARE(rig.line.pending.size(), std::size_t(1));
    } else {
        QCOMPARE(rig.timer->last.count(), waitMs);
        QVERIFY(rig.line.pending.empty());
        rig.timer->fire();
    }
    // The next round begins where the last one did.
    QCOMPARE(rig.line.log.mid(3), (QStringList{"r1"}));
}

void TestSession::writeSlipsInBetweenPolls()
{
    Rig rig;
    const auto poller = rig.session.addCaller();
    const auto writer = rig.session.addCaller();
    rig.session.poll(poller, {1, 2, 3}, {});
    QVERIFY(rig.line.answerOne()); // r1
    std::optional<engine::WriteOutcome> outcome;
    rig.session.write(writer, {protocol::buildSetVoltageRequest(2, 500)}, voltageIs(500),
                      {{}, {}, [&](const engine::WriteOutcome &o) { outcome = o; }});
    QVERIFY(rig.line.answerOne()); // r2, already on the line
    rig.line.answerAll();
    QCOMPARE(rig.line.log, (QStringList{"r1", "r2", "w2", "r2", "r3"}));
    QVERIFY(outcome && outcome->confirmed());
}

void TestSession::allOffPreemptsAndNamesTheOneNotOff()
{
    Rig rig;
    for (std::uint8_t address : {1, 2, 3}) {
        rig.line.state[address].outputOn = true;
    }
    rig.line.behaviour[2] = Behaviour::Ignores;
    const auto page = rig.session.addCaller();
    rig.session.poll(page, {1, 2, 3}, {});
    QVERIFY(rig.line.answerOne()); // r1
    std::vector<engine::WriteOutcome> ended;
    const auto keep = [&](const engine::WriteOutcome &o) { ended.push_back(o); };
    rig.session.write(page, {protocol::buildSetVoltageRequest(1, 100)}, voltageIs(100),
                      {{}, {}, keep});
    rig.session.write(page, {protocol::buildSetVoltageRequest(3, 100)}, voltageIs(100),
                      {{}, {}, keep});
    QVERIFY(rig.line.answerOne()); // r2, the poll on the line
    QCOMPARE(rig.line.log.last(), QStringLiteral("w1"));
    std::optional<engine::AllOffOutcome> all;
    rig.session.allOff(page, {1, 2, 3}, [&](const engine::AllOffOutcome &o) { all = o; });
    // The write under way and the one waiting end at once, as a stop.
    QCOMPARE(ended.size(), std::size_t(2));
    QCOMPARE(ended[0].failure.error, Error::Interrupted);
    QVERIFY(!ended[0].started);
    QCOMPARE(ended[1].failure.error, Error::Interrupted);
    QVERIFY(ended[1].started);
    // Only the one whose write was on the line may have changed the supply.
    QVERIFY(!ended[0].sent);
    QVERIFY(ended[1].sent);
    rig.line.answerAll();
    QVERIFY(all);
    // Nothing else goes out before every supply is off; 2 takes two attempts.
    QCOMPARE(rig.line.log.mid(3, 8), (QStringList{"w1", "r1", "w2", "r2", "w2", "r2", "w3", "r3"}));
    QCOMPARE(rig.line.log.value(11), QStringLiteral("r3")); // then the round goes on
    QCOMPARE(all->off, (std::vector<std::uint8_t>{1, 3}));
    QCOMPARE(all->failed.size(), std::size_t(1));
    QCOMPARE(all->failed[0].first, std::uint8_t(2));
    QCOMPARE(all->failed[0].second.failure.error, Error::NotConfirmed);
    QCOMPARE(all->failure().error, Error::NotConfirmed);
    QVERIFY(!rig.line.state[1].outputOn);
    QVERIFY(!rig.line.state[3].outputOn);
}

void TestSession::cancelLeavesOtherCallers()
{
    Rig rig;
    const auto a = rig.session.addCaller();
    const auto b = rig.session.addCaller();
    QStringList heard;
    const auto note = [&](const char *who) {
        return [&heard, who](const LineAnswer &r) {
            heard << QStringLiteral("%1:%2").arg(QLatin1String(who), r.failure.word());
        };
    };
    std::map<Session::Caller, Error> writes;
    const auto wrote = [&](Session::Caller c) {
        return engine::WriteWatch{
            {}, {}, [&writes, c](const engine::WriteOutcome &o) { writes[c] = o.failure.error; }};
    };
    rig.session.read(a, 1, note("a")); // on the line at once
    rig.session.read(a, 2, note("a"));
    rig.session.read(b, 2, note("b"));
    rig.session.write(a, {protocol::buildSetVoltageRequest(1, 100)}, voltageIs(100), wrote(a));
    rig.session.write(b, {protocol::buildSetVoltageRequest(2, 200)}, voltageIs(200), wrote(b));
    rig.session.poll(a, {1}, note("poll a"));
    rig.session.cancel(a);
    QCOMPARE(heard, (QStringList{"a:interrupted", "a:interrupted"}));
    QCOMPARE(writes[a], Error::Interrupted);
    rig.line.answerAll();
    QCOMPARE(heard.mid(2), (QStringList{"b:"}));
    QCOMPARE(writes[b], Error::None);
    QCOMPARE(rig.line.log, (QStringList{"r1", "w2", "r2", "r2"}));
    QVERIFY(rig.session.idle());
}

void TestSession::identicalReadsAreOneRequest()
{
    Rig rig;
    const auto a = rig.session.addCaller();
    const auto b = rig.session.addCaller();
    rig.session.read(a, 7, {}); // goes out at once: nothing to share yet
    int heard = 0;
    const auto count = [&](const LineAnswer &r) {
        QVERIFY(r.good());
        ++heard;
    };
    rig.session.read(a, 1, count);
    rig.session.read(b, 1, count);
    rig.session.read(b, 2, count);
    rig.line.answerAll();
    QCOMPARE(rig.line.log, (QStringList{"r7", "r1", "r2"}));
    QCOMPARE(heard, 3);
}

void TestSession::confirmedWriteEnds_data()
{
    QTest::addColumn<int>("behaviour");
    QTest::addColumn<Error>("error");
    QTest::addColumn<QString>("problem");
    QTest::addColumn<QStringList>("requests");
    QTest::newRow("takes") << int(Behaviour::Takes) << Error::None << QString()
                           << QStringList{"w1", "r1"};
    QTest::newRow("read-back differs")
        << int(Behaviour::Ignores) << Error::NotConfirmed << "the read-back differs"
        << QStringList{"w1", "r1", "w1", "r1"};
    QTest::newRow("no read-back") << int(Behaviour::SilentReadBack) << Error::Timeout
                                  << "no read-back (timeout)"
                                  << QStringList{"w1", "r1", "w1", "r1"};
    QTest::newRow("exception") << int(Behaviour::WriteException) << Error::Exception
                               << "exception 4" << QStringList{"w1", "w1"};
    QTest::newRow("refused once") << int(Behaviour::Refuses) << Error::Refused << "ceiling 10 V"
                                  << QStringList{"w1"};
}

void TestSession::confirmedWriteEnds()
{
    QFETCH(int, behaviour);
    QFETCH(Error, error);
    QFETCH(QString, problem);
    QFETCH(QStringList, requests);
    Rig rig;
    rig.line.behaviour[1] = Behaviour(behaviour);
    std::vector<engine::WriteOutcome> outcomes;
    int retries = 0;
    rig.session.write(rig.session.addCaller(), {protocol::buildSetVoltageRequest(1, 1234)},
                      voltageIs(1234),
                      {{},
                       [&](const QString &) { ++retries; },
                       [&](const engine::WriteOutcome &o) { outcomes.push_back(o); }});
    rig.line.answerAll();
    QCOMPARE(outcomes.size(), std::size_t(1));
    QCOMPARE(outcomes[0].failure.error, error);
    QCOMPARE(outcomes[0].confirmed(), error == Error::None);
    QCOMPARE(outcomes[0].problem, problem);
    QCOMPARE(rig.line.log, requests);
    QCOMPARE(retries, requests.count(QStringLiteral("w1")) - 1);
    QVERIFY(rig.session.idle());
}

void TestSession::lineThatAnswersAtOnce()
{
    Rig rig;
    rig.line.instant = true;
    rig.line.behaviour[1] = Behaviour::Ignores;
    std::optional<engine::WriteOutcome> outcome;
    std::optional<engine::AllOffOutcome> all;
    const auto caller = rig.session.addCaller();
    rig.session.write(caller, {protocol::buildSetVoltageRequest(1, 100)}, voltageIs(100),
                      {{}, {}, [&](const engine::WriteOutcome &o) { outcome = o; }});
    rig.session.allOff(caller, {2}, [&](const engine::AllOffOutcome &o) { all = o; });
    QVERIFY(outcome);
    QCOMPARE(outcome->failure.error, Error::NotConfirmed);
    QVERIFY(all && all->failed.empty());
    QCOMPARE(rig.line.log, (QStringList{"w1", "r1", "w1", "r1", "w2", "r2"}));
    QVERIFY(rig.session.idle());
}

void TestSession::silentAddressLeftOut_data()
{
    QTest::addColumn<int>("silentRounds");
    QTest::addColumn<QString>("addresses");
    QTest::addColumn<QString>("timeouts"); // address:reads that time out
    QTest::addColumn<QString>("expected"); // requests and the timer's waits ("~70")
    // 10 ms a request, a round at most every 100 ms.
    QTest::newRow("asked every round by default") << 0 << "1,2,3"
                                                  << "2:99"
                                                  << "r1 r2 r3 ~70 r1 r2 r3 ~70 r1 r2 r3";
    QTest::newRow("left out of three rounds")
        << 3 << "1,2,3"
        << "2:99"
        << "r1 r2 r3 ~70 r1 r3 ~80 r1 r3 ~80 r1 r3 ~80 r1 r2 r3 ~70 r1 r3";
    QTest::newRow("back after one timeout")
        << 3 << "1,2,3"
        << "2:1"
        << "r1 r2 r3 ~70 r1 r3 ~80 r1 r3 ~80 r1 r3 ~80 r1 r2 r3 ~70 r1 r2 r3";
    QTest::newRow("every other round") << 1 << "1,2"
                                       << "2:99"
                                       << "r1 r2 ~80 r1 ~90 r1 r2 ~80 r1";
    // Rounds that ask no one keep their pace: the line is not asked flat out.
    QTest::newRow("every address silent") << 3 << "1,2"
                                          << "1:99,2:99"
                                          << "r1 r2 ~80 ~100 ~100 ~100 r1 r2 ~80 ~100";
}

void TestSession::silentAddressLeftOut()
{
    QFETCH(int, silentRounds);
    QFETCH(QString, addresses);
    QFETCH(QString, timeouts);
    QFETCH(QString, expected);
    Rig rig;
    engine::SessionSettings settings = rig.session.settings();
    settings.silentRounds = silentRounds;
    rig.session.setSettings(settings);
    for (const QString &t : timeouts.split(u',', Qt::SkipEmptyParts)) {
        rig.line.timeouts[std::uint8_t(t.section(u':', 0, 0).toInt())] = t.section(u':', 1).toInt();
    }
    std::vector<std::uint8_t> list;
    for (const QString &a : addresses.split(u',')) {
        list.push_back(std::uint8_t(a.toInt()));
    }
    QStringList heard;
    rig.session.poll(rig.session.addCaller(), list,
                     [&](const LineAnswer &r) { heard << QString::number(r.address); });
    const QStringList want = expected.split(u' ');
    while (rig.line.log.size() < want.size()) {
        if (!rig.line.answerOne()) {
            QVERIFY(rig.timer->pending);
            rig.line.log << QStringLiteral("~%1").arg(rig.timer->last.count());
            rig.timer->fire();
        }
    }
    QCOMPARE(rig.line.log.join(u' '), expected);
    // Every poll answered is heard, a timeout too.
    const auto asked = std::count_if(want.begin(), want.end(),
                                     [](const QString &w) { return w.startsWith(u'r'); });
    QCOMPARE(qsizetype(heard.size()) + qsizetype(rig.line.pending.size()), qsizetype(asked));
}

void TestSession::lineGoesOnWhileHeldUp_data()
{
    // Whoever is told (0 of a reading, 1 of a write's end, 2 of an all-off's end)
    // opens a message box with an event loop of its own; a round every 100 ms.
    QTest::addColumn<int>("told");
    QTest::addColumn<QString>("log"); // in brackets: what went out and was answered in the box
    QTest::newRow("a reading") << 0 << "r1 [r2]";
    QTest::newRow("a write's end") << 1 << "w2 r2 [r1 r2]";
    QTest::newRow("an all-off's end") << 2 << "w1 r1 w2 r2 [r1 r2]";
}

void TestSession::lineGoesOnWhileHeldUp()
{
    QFETCH(int, told);
    QFETCH(QString, log);
    Rig rig;
    bool boxShown = false;
    const auto box = [&] {
        if (std::exchange(boxShown, true)) {
            return;
        }
        rig.line.log << QStringLiteral("[");
        do {
            QCoreApplication::processEvents();
        } while (rig.line.answerOne());
        rig.line.log << QStringLiteral("]");
    };
    const auto caller = rig.session.addCaller();
    if (told == 1) {
        rig.session.write(caller, {protocol::buildSetVoltageRequest(2, 300)}, voltageIs(300),
                          {{}, {}, [&](const engine::WriteOutcome &) { box(); }});
    } else if (told == 2) {
        rig.session.allOff(caller, {1, 2}, [&](const engine::AllOffOutcome &) { box(); });
    }
    rig.session.poll(caller, {1, 2}, [&](const LineAnswer &) {
        if (told == 0) {
            box();
        }
    });
    while (!boxShown && rig.line.answerOne()) {
    }
    // Nothing is asked twice once the box is closed: the round waits for its time.
    rig.line.answerAll();
    QCOMPARE(rig.line.log.join(u' ')
                 .replace(QStringLiteral("[ "), QStringLiteral("["))
                 .replace(QStringLiteral(" ]"), QStringLiteral("]")),
             log);
    QVERIFY(rig.timer->pending);
}

void TestSession::endedFromInsideACall()
{
    // Whoever is told closes its window, and the session with it.
    QFETCH(int, told);
    FakeClock clock;
    FakeLine line{clock};
    auto *session = new Session(line, clock, std::make_unique<FakeTimer>());
    qsizetype sentBefore = -1;
    const auto end = [&] {
        if (sentBefore < 0) {
            sentBefore = line.log.size();
            delete session;
        }
    };
    const auto caller = session->addCaller();
    if (told == 1) {
        session->write(caller, {protocol::buildSetVoltageRequest(2, 300)}, voltageIs(300),
                       {{}, {}, [&](const engine::WriteOutcome &) { end(); }});
    } else if (told == 2) {
        session->allOff(caller, {1, 2}, [&](const engine::AllOffOutcome &) { end(); });
    }
    session->poll(caller, {1, 2, 3}, [&](const LineAnswer &) {
        if (told == 0) {
            end();
        }
    });
    while (sentBefore < 0 && line.answerOne()) {
    }
    QVERIFY(sentBefore > 0);
    QCoreApplication::processEvents();
    line.answerAll();
    QCOMPARE(line.log.size(), sentBefore); // nothing went out after it
}

void TestSession::relays_data()
{
    // Steps: "poll N" (one caller polls N), "read N" / "write N" (a relayed read
    // of holding registers or register write to unit N, numbered 1, 2, … as
    // asked), "sent" (the line says the relay went out), "answer" (the line
    // answers what it holds), "abort K", "alloff N", "cancel" (the relaying
    // caller), "ask N" (a caller's status read of N: "read N" when answered). Events: "sent K",
    // "done K <word>", "abort K yes|no", "off".
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<QStringList>("line");
    QTest::addColumn<QStringList>("events");
    QTest::newRow("answered, its notice first")
        << QStringList{"read 1", "answer"} << QStringList{"x1:3"}
        << QStringList{"sent 1", "done 1 ok 0103"};
    QTest::newRow("withdrawn while it waits: never sent")
        << QStringList{"poll 2", "read 1", "abort 1", "answer", "answer"} << QStringList{"r2"}
        << QStringList{"abort 1 yes"};
    QTest::newRow("withdrawn when handed to the line, not on it: the next goes")
        << QStringList{"read 1", "abort 1", "read 2", "answer"}
        << QStringList{"x1:3", "abort", "x2:3"}
        << QStringList{"abort 1 yes", "sent 2", "done 2 ok 0203"};
    QTest::newRow("on the line: it is answered")
        << QStringList{"read 1", "sent", "abort 1", "answer"} << QStringList{"x1:3"}
        << QStringList{"sent 1", "abort 1 no", "done 1 ok 0103"};
    QTest::newRow("all-off drops a waiting relayed write, not a read")
        << QStringList{"poll 2", "write 1", "read 1", "alloff 3",
                       "answer", "answer",  "answer", "answer"}
        << QStringList{"r2", "w3", "r3", "x1:3"}
        << QStringList{"done 1 interrupted", "off", "sent 2", "done 2 ok 0103"};
    QTest::newRow("cancel ends the caller's relays")
        << QStringList{"poll 2", "read 1", "write 3", "cancel", "answer"} << QStringList{"r2"}
        << QStringList{"done 1 interrupted", "done 2 interrupted"};
    QTest::newRow("a relay takes turns with the callers' reads")
        << QStringList{"poll 2", "read 1", "read 3", "ask 4",  "ask 5",
                       "answer", "answer", "answer", "answer", "answer"}
        << QStringList{"r2", "x1:3", "r4", "x3:3", "r5"}
        << QStringList{"sent 1", "done 1 ok 0103", "read 4", "sent 2", "done 2 ok 0303", "read 5"};
    QTest::newRow("a due poll goes between two relays")
        << QStringList{"read 1", "read 3", "read 5", "poll 2",
                       "answer", "answer", "answer", "answer"}
        << QStringList{"x1:3", "r2", "x3:3", "x5:3"}
        << QStringList{"sent 1",         "done 1 ok 0103", "sent 2",
                       "done 2 ok 0303", "sent 3",         "done 3 ok 0503"};
}

void TestSession::relays()
{
    QFETCH(QStringList, steps);
    QFETCH(QStringList, line);
    QFETCH(QStringList, events);
    Rig rig;
    const auto poller = rig.session.addCaller();
    const auto relayer = rig.session.addCaller();
    QStringList heard;
    std::vector<int> numbers;
    for (const QString &step : steps) {
        const QString what = step.section(QLatin1Char(' '), 0, 0);
        const int n = step.section(QLatin1Char(' '), 1, 1).toInt();
        if (what == QLatin1String("poll")) {
            rig.session.poll(poller, {std::uint8_t(n)}, {});
        } else if (what == QLatin1String("read") || what == QLatin1String("write")) {
            engine::RelayRequest request;
            request.unit = std::uint8_t(n);
            request.pdu = what == QLatin1String("read")
                              ? std::vector<std::uint8_t>{0x03, 0x10, 0x04, 0x00, 0x01}
                              : std::vector<std::uint8_t>{0x06, 0x10, 0x01, 0x05, 0xDC};
            const int k = int(numbers.size()) + 1;
            numbers.push_back(rig.session.relay(
                relayer, request, [&heard, k] { heard << QStringLiteral("sent %1").arg(k); },
                [&heard, k](const LineAnswer &answer) {
                    const QString word = answer.failure ? answer.failure.word() : "ok";
                    heard << QStringLiteral("done %1 %2 %3")
                                 .arg(k)
                                 .arg(word, QString::fromLatin1(answer.bytes.left(2).toHex()))
                                 .trimmed();
                }));
        } else if (what == QLatin1String("ask")) {
            rig.session.read(poller, std::uint8_t(n), [&heard, n](const LineAnswer &) {
                heard << QStringLiteral("read %1").arg(n);
            });
        } else if (what == QLatin1String("sent")) {
            rig.line.sendRelay();
        } else if (what == QLatin1String("answer")) {
            rig.line.answerOne();
        } else if (what == QLatin1String("abort")) {
            const bool withdrawn = rig.session.abortRelay(numbers.at(std::size_t(n - 1)));
            heard << QStringLiteral("abort %1 %2").arg(n).arg(withdrawn ? "yes" : "no");
        } else if (what == QLatin1String("alloff")) {
            rig.session.allOff(poller, {std::uint8_t(n)},
                               [&heard](const engine::AllOffOutcome &) { heard << "off"; });
        } else if (what == QLatin1String("cancel")) {
            rig.session.cancel(relayer);
        } else {
            QFAIL(qPrintable(step));
        }
    }
    QCOMPARE(rig.line.log, line);
    QCOMPARE(heard, events);
}

void TestSession::roundsOnFixedSlots_data()
{
    QTest::addColumn<int>("latencyMs");
    QTest::addColumn<int>("firstWaitMs"); // the first request waits this long for the line
    QTest::addColumn<int>("silentRounds");
    QTest::addColumn<int>("timeoutsOf2");
    QTest::addColumn<bool>("offAtTheEnd"); // the last notice asks an all-off
    // Each round's start: s<slot>, -<slots given up>, @<ms after the first round
    // began>; e: a round ended.
    QTest::addColumn<QString>("notices");
    QTest::addColumn<QString>("onLine");

    QTest::newRow("rounds on their slots")
        << 10 << 0 << 0 << 0 << false << "s0@0 e s1@100 e s2@200 e s3@300"
        << "r1 r2 r1 r2 r1 r2";
    // The slots count from when the first request went out, not from when the
    // round asked for the line.
    QTest::newRow("the first request waits for the line")
        << 10 << 30 << 0 << 0 << false << "s0@0 e s1@130 e s2@230 e s3@330"
        << "r1 r2 r1 r2 r1 r2";
    // Rounds of 160 ms: a round late by more than a slot gives up the slot it
    // missed and takes the one that has come.
    QTest::newRow("a slow line gives slots up")
        << 80 << 0 << 0 << 0 << false << "s0@0 e s1@160 e s3-1@320 e s4@480"
        << "r1 r2 r1 r2 r1 r2";
    QTest::newRow("a silent address is left out, the rounds keep their slots")
        << 10 << 0 << 1 << 1 << false << "s0@0 e s1@100 e s2@200 e s3@300"
        << "r1 r2 r1 r1 r2";
    // The caller stops as a round starts and switches off: nothing of the round
    // goes out, the all-off does.
    QTest::newRow("an all-off asked as a round starts goes out")
        << 10 << 0 << 0 << 0 << true << "s0@0 e s1@100 e s2@200 e s3@300"
        << "r1 r2 r1 r2 r1 r2 w1 r1 w2 r2";
}

void TestSession::roundsOnFixedSlots()
{
    QFETCH(int, latencyMs);
    QFETCH(int, firstWaitMs);
    QFETCH(int, silentRounds);
    QFETCH(int, timeoutsOf2);
    QFETCH(bool, offAtTheEnd);
    QFETCH(QString, notices);
    QFETCH(QString, onLine);

    Rig rig;
    engine::SessionSettings settings;
    settings.roundInterval = 100ms;
    settings.fixedSlots = true;
    settings.silentRounds = silentRounds;
    rig.session.setSettings(settings);
    rig.line.latency = std::chrono::milliseconds(latencyMs);
    rig.line.timeouts[2] = timeoutsOf2;
    const auto begin = rig.clock.t;
    const auto caller = rig.session.addCaller();
    QStringList heard;
    int started = 0;
    bool offDone = false;
    rig.session.watchRounds(caller, [&](const engine::RoundNotice &notice) {
        if (!notice.started) {
            heard << QStringLiteral("e");
            return;
        }
        QString text = QStringLiteral("s%1").arg(notice.slot.slot);
        if (notice.slot.givenUp > 0) {
            text += QStringLiteral("-%1").arg(notice.slot.givenUp);
        }
        const auto since = std::chrono::duration_cast<std::chrono::milliseconds>(notice.at - begin);
        heard << text + QStringLiteral("@%1").arg(since.count());
        if (++started == 4) {
            rig.session.poll(caller, {}, {});
            if (offAtTheEnd) {
                rig.session.allOff(caller, {1, 2}, [&](const auto &) { offDone = true; });
            }
        }
    });
    rig.session.poll(caller, {1, 2}, {});
    rig.clock.t += std::chrono::milliseconds(firstWaitMs);
    for (int i = 0; i < 100; ++i) {
        if (rig.line.answerOne()) {
            continue;
        }
        if (!rig.timer->pending) {
            break;
        }
        rig.clock.t += rig.timer->last;
        rig.timer->fire();
    }
    QCOMPARE(heard.join(u' '), notices);
    QCOMPARE(rig.line.log.join(u' '), onLine);
    QCOMPARE(offDone, offAtTheEnd);
    QVERIFY(!rig.timer->pending);
}

QTEST_GUILESS_MAIN(TestSession)
#include "tst_session.moc"
