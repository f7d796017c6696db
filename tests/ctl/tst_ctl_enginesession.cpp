// SCPI's link on the engine's session, shared with the page's polling: the
// all-off it asks for drops or stops a SCPI write and names the supply it could
// not switch off, a SCPI read of a supply the page polls goes out once for
// both, and the session's answers reach the instrument in the words they had.
#include "ctl/enginelink.h"
#include "engine/ceilingregistry.h"
#include "engine/session.h"
#include "protocol/frames.h"
#include "scpi/instrument.h"

#include <QTest>

#include <deque>
#include <map>
#include <set>
#include <utility>

using engine::Error;
using engine::LineAnswer;

Q_DECLARE_METATYPE(engine::Failure)

namespace {

// Holds the next round; the tests never fire it.
struct IdleTimer : engine::SessionTimer {
    void start(std::chrono::milliseconds, std::function<void()>) override {}
    void stop() override {}
};

// Moved on by each answer of the line.
struct FakeClock : engine::EngineClock {
    time_point t{std::chrono::hours(1)};
    time_point now() const override { return t; }
};

// Supplies behind a line whose requests wait until the test answers them. Each
// request is logged: "r1" a status read of 1, "w1:V=1200" or "w1:O=0" a write.
struct FakeLine : engine::SessionLine {
    FakeClock &clock;
    std::map<std::uint8_t, protocol::StatusReading> state;
    std::set<std::uint8_t> silent; // every request to these times out
    std::deque<std::pair<protocol::Frame, Done>> pending;
    QStringList log;

    explicit FakeLine(FakeClock &c) : clock(c) {}

    void readStatus(std::uint8_t address, Done done) override
    {
        log << QStringLiteral("r%1").arg(address);
        pending.emplace_back(protocol::buildReadStatusRequest(address), std::move(done));
    }
    void write(const protocol::Frame &request, Done done) override
    {
        const bool voltage = request[3] == protocol::buildSetVoltageRequest(0, 0)[3];
        log << QStringLiteral("w%1:%2=%3")
                   .arg(request[0])
                   .arg(voltage ? "V" : "O")
                   .arg(request[4] << 8 | request[5]);
        pending.emplace_back(request, std::move(done));
    }
    bool answerOne()
    {
        if (pending.empty()) {
            return false;
        }
        auto [request, done] = std::move(pending.front());
        pending.pop_front();
        clock.t += std::chrono::milliseconds(10);
        const std::uint8_t address = request[0];
        LineAnswer answer;
        answer.address = address;
        answer.sentTime = clock.t;
        if (silent.count(address) != 0) {
            answer.failure = {Error::Timeout};
        } else if (request[1] == protocol::kWriteSingleRegister) {
            const std::uint16_t value = std::uint16_t(request[4] << 8 | request[5]);
            if (request[3] == protocol::buildSetVoltageRequest(0, 0)[3]) {
                state[address].setVoltage = value;
            } else {
                state[address].outputOn = value != 0;
            }
        } else {
            answer.reading = state[address];
        }
        done(answer);
        return true;
    }
    void answer(int count)
    {
        for (int i = 0; i < count && answerOne(); ++i) {
        }
    }
};

// One session under the page's polling and SCPI's link, as serve has them.
struct Rig {
    FakeClock clock;
    FakeLine line{clock};
    engine::Session session{line, clock, std::make_unique<IdleTimer>()};
    engine::CeilingRegistry ceilings;
    ctl::EngineLink link{session, ceilings, QStringLiteral("COM3")};
    scpi::Instrument instrument{link, {"COM3", {1, 2}, "1.0.0"}};
    engine::Session::Caller page = session.addCaller();
    QStringList pageHeard;

    Rig()
    {
        line.state[1].outputOn = true;
        line.state[2].outputOn = true;
    }
    void pagePolls(std::vector<std::uint8_t> addresses)
    {
        session.poll(page, std::move(addresses),
                     [this](const LineAnswer &a) { pageHeard << QString::number(a.address); });
    }
};

} // namespace

class TestEngineSession : public QObject {
    Q_OBJECT

private slots:
    void allOffPreemptsScpiWrite_data();
    void allOffPreemptsScpiWrite();
    void scpiReadJoinsPagePoll_data();
    void scpiReadJoinsPagePoll();
    void answersInTheirWords_data();
    void answersInTheirWords();
};

void TestEngineSession::allOffPreemptsScpiWrite_data()
{
    QTest::addColumn<bool>("pagePolls");   // a page poll is on the line first
    QTest::addColumn<bool>("scpiWrites");  // SCPI's VOLT 12 on address 1
    QTest::addColumn<int>("silent");       // a supply that never answers; 0: none
    QTest::addColumn<QStringList>("line"); // what goes out, in order
    QTest::addColumn<QString>("written");  // how SCPI's write ended
    QTest::addColumn<QStringList>("notOff");

    const QString dropped = QStringLiteral("interrupted (every output is switched off)");
    QTest::newRow("a SCPI write waiting behind a poll is dropped unsent")
        << true << true << 0 << QStringList{"r1", "w1:O=0", "r1", "w2:O=0", "r2"} << dropped
        << QStringList{};
    QTest::newRow("a SCPI write on the line stops after its request")
        << false << true << 0 << QStringList{"w1:V=1200", "w1:O=0", "r1", "w2:O=0", "r2"} << dropped
        << QStringList{};
    QTest::newRow("a silent supply is named, the other switched off")
        << false << false << 2 << QStringList{"w1:O=0", "r1", "w2:O=0", "w2:O=0"} << QString()
        << QStringList{"address 2: timeout"};
}

void TestEngineSession::allOffPreemptsScpiWrite()
{
    QFETCH(bool, pagePolls);
    QFETCH(bool, scpiWrites);
    QFETCH(int, silent);
    QFETCH(QStringList, line);
    QFETCH(QString, written);
    QFETCH(QStringList, notOff);

    Rig rig;
    if (silent != 0) {
        rig.line.silent.insert(std::uint8_t(silent));
    }
    if (pagePolls) {
        rig.pagePolls({1});
    }
    QString writeEnded = QStringLiteral("(not ended)");
    if (scpiWrites) {
        rig.link.setVoltage(1, 1200, [&](const scpi::SupplyLink::Result &r) {
            writeEnded = QString::fromStdString(r.detail);
            QVERIFY(!r.reading);
            QCOMPARE(scpi::errorNumber(r.fault), -240);
        });
    }
    std::optional<QStringList> failures;
    rig.instrument.switchAllOff([&](const std::vector<std::string> &failed) {
        failures = QStringList{};
        for (const std::string &f : failed) {
            *failures << QString::fromStdString(f);
        }
    });
    rig.line.answer(int(line.size()));
    if (pagePolls) {
        rig.session.poll(rig.page, {}, {}); // no next round to muddle the line
    }
    rig.line.answer(10);

    QCOMPARE(rig.line.log, line);
    QVERIFY(failures.has_value());
    QCOMPARE(*failures, notOff);
    if (scpiWrites) {
        QCOMPARE(writeEnded, written);
    }
    QVERIFY(!rig.line.state[1].outputOn);
}

void TestEngineSession::scpiReadJoinsPagePoll_data()
{
    QTest::addColumn<int>("address"); // SCPI reads it while the page's r2 is on the line
    QTest::addColumn<QStringList>("line");
    QTest::addColumn<QStringList>("pageHeard");

    QTest::newRow("the supply next in the round: one request for both")
        << 1 << QStringList{"r2", "r1"} << QStringList{"2", "1"};
    QTest::newRow("a supply the page does not poll: a request of its own")
        << 3 << QStringList{"r2", "r3", "r1"} << QStringList{"2", "1"};
}

void TestEngineSession::scpiReadJoinsPagePoll()
{
    QFETCH(int, address);
    QFETCH(QStringList, line);
    QFETCH(QStringList, pageHeard);

    Rig rig;
    rig.line.state[std::uint8_t(address)].setVoltage = 1234;
    rig.pagePolls({2, 1});
    std::optional<std::uint16_t> scpiRead;
    rig.link.readStatus(std::uint8_t(address), [&](const scpi::SupplyLink::Result &r) {
        QVERIFY(r.reading);
        scpiRead = r.reading->setVoltage;
    });
    rig.line.answer(int(line.size()));

    QCOMPARE(rig.line.log, line);
    QCOMPARE(rig.pageHeard, pageHeard);
    QCOMPARE(scpiRead, std::optional<std::uint16_t>(1234));
}

void TestEngineSession::answersInTheirWords_data()
{
    QTest::addColumn<engine::Failure>("failure");
    QTest::addColumn<bool>("undecoded");
    QTest::addColumn<QString>("detail");

    const QString outside = QStringLiteral("values outside what a supply reports");
    QTest::newRow("an undecoded reply named so")
        << engine::Failure{Error::Foreign, 0, outside} << true
        << QStringLiteral("undecoded (values outside what a supply reports)");
    QTest::newRow("a stop, whatever stopped it")
        << engine::Failure{Error::Interrupted, 0, QStringLiteral("the port is handed over")}
        << false << QStringLiteral("interrupted");
    QTest::newRow("a timeout") << engine::Failure{Error::Timeout} << false
                               << QStringLiteral("timeout");
}

void TestEngineSession::answersInTheirWords()
{
    QFETCH(engine::Failure, failure);
    QFETCH(bool, undecoded);
    QFETCH(QString, detail);

    LineAnswer answer;
    answer.address = 5;
    answer.failure = failure;
    answer.undecoded = undecoded;
    const auto result = ctl::linkResult(ctl::readingOf(answer), QStringLiteral("COM3: gone"));
    QVERIFY(!result.reading);
    QCOMPARE(QString::fromStdString(result.detail), detail);
    QCOMPARE(scpi::errorNumber(result.fault), -240);
}

QTEST_GUILESS_MAIN(TestEngineSession)
#include "tst_ctl_enginesession.moc"
