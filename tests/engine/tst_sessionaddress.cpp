// The session's address change on a fake line of supplies that move when their
// address register is written: how the change ends for each way a supply can
// answer, and an all-off or a cancel at each of its steps.
#include "engine/sessionaddress.h"
#include "protocol/frame.h"
#include "protocol/frames.h"
#include "support/sessionfakes.h"

#include <QTest>

#include <deque>

using namespace std::chrono_literals;
using engine::AddressOutcome;
using engine::Error;
using engine::LineAnswer;
using engine::Session;
using Step = AddressOutcome::Step;

Q_DECLARE_METATYPE(engine::Error)
Q_DECLARE_METATYPE(AddressOutcome::Step)

namespace {

using FakeClock = testsupport::ManualClock;
using NoTimer = testsupport::IdleTimer;

// How a supply answers a write of its address register.
enum class Echo { Request, Lost, AddressEcho, OtherBytes, Exception, Refused };

struct FakeSupply {
    std::uint8_t address = 7;
    bool moves = true;            // takes a new address when told
    bool silentAfterMove = false; // answers nothing once moved
    Echo echo = Echo::Request;
    bool outputOn = true;
    bool moved = false;
};

// Requests wait until the test answers them (logged "r9", "w7").
struct FakeLine : testsupport::PendingLine {
    std::vector<FakeSupply> supplies;

    bool answerOne()
    {
        if (pending.empty()) {
            return false;
        }
        auto [request, done] = std::move(pending.front());
        pending.pop_front();
        LineAnswer answer;
        answer.address = request[0];
        answer.sentTime = std::chrono::steady_clock::time_point(1s);
        answer.failure = {Error::Timeout};
        const bool addressWrite = request[1] == protocol::kWriteSingleRegister &&
                                  (request[2] << 8 | request[3]) == protocol::reg::kSlaveAddress;
        for (FakeSupply &s : supplies) {
            if (s.address != request[0] || (s.moved && s.silentAfterMove)) {
                continue;
            }
            if (addressWrite) {
                answer = answerAddressWrite(s, request);
            } else if (request[1] == protocol::kWriteSingleRegister) {
                s.outputOn = request[5] != 0;
                answer.failure = {};
            } else {
                answer.failure = {};
                protocol::StatusReading reading;
                reading.outputOn = s.outputOn;
                answer.reading = reading;
            }
            break;
        }
        done(answer);
        return true;
    }
    static LineAnswer answerAddressWrite(FakeSupply &s, const protocol::Frame &request)
    {
        LineAnswer answer;
        answer.sentTime = std::chrono::steady_clock::time_point(1s);
        if (s.echo == Echo::Refused) {
            answer.sentTime = {};
            answer.failure = {Error::Refused, 0, QStringLiteral("a ceiling of 10 V on 7")};
            return answer;
        }
        if (s.echo == Echo::Exception) {
            answer.failure = {Error::Exception, 2};
            return answer;
        }
        if (s.moves) {
            s.address = request[5];
            s.moved = true;
        }
        QByteArray bytes(reinterpret_cast<const char *>(request.data()), int(request.size()));
        switch (s.echo) {
        case Echo::Lost:
            answer.failure = {Error::Timeout};
            break;
        case Echo::AddressEcho: // the echo's value differs, its register is the address
            bytes[5] = char(0x42);
            bytes = bytes.left(6);
            {
                const protocol::Frame f(bytes.begin(), bytes.end());
                const protocol::Frame whole = protocol::withCrc(f);
                bytes = QByteArray(reinterpret_cast<const char *>(whole.data()), 8);
            }
            answer.failure = {Error::Foreign};
            break;
        case Echo::OtherBytes:
            bytes[2] = char(0x55);
            answer.failure = {Error::Foreign};
            break;
        default:
            break;
        }
        answer.bytes = bytes;
        return answer;
    }
    void answerAll()
    {
        for (int i = 0; i < 100 && answerOne(); ++i) {
        }
    }
};

struct Rig {
    FakeClock clock;
    FakeLine line;
    Session session{line, clock, std::make_unique<NoTimer>()};
    std::vector<AddressOutcome> outcomes;
    void change(Session::Caller caller, std::uint8_t from, std::uint8_t to)
    {
        session.changeAddress(caller, from, to,
                              [this](const AddressOutcome &o) { outcomes.push_back(o); });
    }
};

} // namespace

class TestSessionAddress : public QObject {
    Q_OBJECT
private slots:
    void changeEnds_data();
    void changeEnds();
    void stoppedAtEachStep_data();
    void stoppedAtEachStep();
};

void TestSessionAddress::changeEnds_data()
{
    QTest::addColumn<std::vector<FakeSupply>>("supplies");
    QTest::addColumn<Error>("error");
    QTest::addColumn<Error>("heard");
    QTest::addColumn<Step>("step");
    QTest::addColumn<QStringList>("requests");
    QTest::addColumn<int>("addressNow"); // of the first supply

    const FakeSupply plain;
    auto with = [](auto change) {
        FakeSupply s;
        change(s);
        return std::vector<FakeSupply>{s};
    };
    const QStringList proven{"r9", "w7", "r9", "r7"};
    QTest::newRow("proven") << std::vector<FakeSupply>{plain} << Error::None << Error::Timeout
                            << Step::OldAddress << proven << 9;
    FakeSupply other;
    other.address = 9;
    QTest::newRow("new address taken: nothing written")
        << std::vector<FakeSupply>{plain, other} << Error::Refused << Error::None << Step::Check
        << QStringList{"r9"} << 7;
    QTest::newRow("refused by a ceiling")
        << with([](FakeSupply &s) { s.echo = Echo::Refused; }) << Error::Refused << Error::Refused
        << Step::Write << QStringList{"r9", "w7"} << 7;
    QTest::newRow("echo lost, yet moved")
        << with([](FakeSupply &s) { s.echo = Echo::Lost; }) << Error::None << Error::Timeout
        << Step::OldAddress << proven << 9;
    QTest::newRow("address register echoed with another value")
        << with([](FakeSupply &s) { s.echo = Echo::AddressEcho; }) << Error::None << Error::Timeout
        << Step::OldAddress << proven << 9;
    QTest::newRow("echo of other bytes") << with([](FakeSupply &s) {
        s.echo = Echo::OtherBytes;
        s.moves = false;
    }) << Error::Foreign << Error::Foreign
                                         << Step::Write << QStringList{"r9", "w7", "w7"} << 7;
    QTest::newRow("exception") << with([](FakeSupply &s) { s.echo = Echo::Exception; })
                               << Error::Exception << Error::Exception << Step::Write
                               << QStringList{"r9", "w7", "w7"} << 7;
    // Echoed: the write is not sent again to an address the supply may have left.
    QTest::newRow("silent at the new address")
        << with([](FakeSupply &s) { s.silentAfterMove = true; }) << Error::NotConfirmed
        << Error::Timeout << Step::NewAddress << QStringList{"r9", "w7", "r9", "r9"} << 9;
    QTest::newRow("echoed but stays")
        << with([](FakeSupply &s) { s.moves = false; }) << Error::NotConfirmed << Error::Timeout
        << Step::NewAddress << QStringList{"r9", "w7", "r9", "r9"} << 7;
    QTest::newRow("nothing at the old address")
        << std::vector<FakeSupply>{} << Error::Timeout << Error::Timeout << Step::Write
        << QStringList{"r9", "w7", "r9", "w7", "r9"} << 0;
    FakeSupply stays;
    stays.moves = false;
    QTest::newRow("the old address still answers")
        << std::vector<FakeSupply>{plain, stays} << Error::NotConfirmed << Error::None
        << Step::OldAddress << proven << 9;
}

void TestSessionAddress::changeEnds()
{
    QFETCH(std::vector<FakeSupply>, supplies);
    QFETCH(Error, error);
    QFETCH(Error, heard);
    QFETCH(Step, step);
    QFETCH(QStringList, requests);
    QFETCH(int, addressNow);
    Rig rig;
    rig.line.supplies = supplies;
    rig.change(rig.session.addCaller(), 7, 9);
    rig.line.answerAll();
    QCOMPARE(rig.outcomes.size(), std::size_t(1));
    const AddressOutcome &o = rig.outcomes[0];
    QCOMPARE(o.write.failure.error, error);
    QCOMPARE(o.confirmed(), error == Error::None);
    QCOMPARE(o.heard.error, heard);
    QCOMPARE(o.step, step);
    QCOMPARE(rig.line.log, requests);
    QCOMPARE(o.write.sent, requests.contains(QStringLiteral("w7")) && error != Error::Refused);
    if (addressNow != 0) {
        QCOMPARE(int(rig.line.supplies[0].address), addressNow);
    }
    QVERIFY(rig.session.idle());
}

void TestSessionAddress::stoppedAtEachStep_data()
{
    QTest::addColumn<int>("answered"); // before the stop; -1: it waits behind a write
    QTest::addColumn<bool>("allOff");  // else a cancel of its caller
    QTest::addColumn<bool>("started");
    QTest::addColumn<bool>("sent");
    QTest::addColumn<QStringList>("requests");
    QTest::newRow("all-off, waiting")
        << -1 << true << false << false << QStringList{"w1", "w7", "r7"};
    QTest::newRow("all-off, check on the line")
        << 0 << true << true << false << QStringList{"r9", "w7", "r7"};
    QTest::newRow("all-off, write on the line")
        << 1 << true << true << true << QStringList{"r9", "w7", "w9", "r9"};
    QTest::newRow("all-off, proof on the line")
        << 2 << true << true << true << QStringList{"r9", "w7", "r9", "w9", "r9"};
    QTest::newRow("cancel, waiting") << -1 << false << false << false << QStringList{"w1", "r1"};
    QTest::newRow("cancel, check on the line") << 0 << false << true << false << QStringList{"r9"};
    QTest::newRow("cancel, write on the line")
        << 1 << false << true << true << QStringList{"r9", "w7"};
}

void TestSessionAddress::stoppedAtEachStep()
{
    QFETCH(int, answered);
    QFETCH(bool, allOff);
    QFETCH(bool, started);
    QFETCH(bool, sent);
    QFETCH(QStringList, requests);
    Rig rig;
    FakeSupply first;
    first.address = 1;
    rig.line.supplies = {FakeSupply{}, first};
    const auto caller = rig.session.addCaller();
    const auto other = rig.session.addCaller();
    std::optional<engine::WriteOutcome> otherWrite;
    if (answered < 0) {
        rig.session.write(other, {protocol::buildSwitchOutputRequest(1, false)},
                          [](const protocol::StatusReading &r) { return !r.outputOn; },
                          {{}, {}, [&](const engine::WriteOutcome &o) { otherWrite = o; }});
    }
    rig.change(caller, 7, 9);
    for (int i = 0; i < answered; ++i) {
        QVERIFY(rig.line.answerOne());
    }
    std::optional<engine::AllOffOutcome> all;
    if (allOff) {
        // The all-off is told where the supply is meant to be once the write went out.
        const std::uint8_t at = answered >= 1 ? 9 : 7;
        rig.session.allOff(other, {at}, [&](const engine::AllOffOutcome &o) { all = o; });
    } else {
        rig.session.cancel(caller);
    }
    // It ends at once, as a stop, and nothing more of it goes out.
    QCOMPARE(rig.outcomes.size(), std::size_t(1));
    const AddressOutcome &o = rig.outcomes[0];
    QCOMPARE(o.write.failure.error, Error::Interrupted);
    QCOMPARE(o.heard.error, Error::Interrupted);
    QCOMPARE(o.write.started, started);
    QCOMPARE(o.write.sent, sent);
    rig.line.answerAll();
    QCOMPARE(rig.line.log, requests);
    if (allOff) {
        QVERIFY(all && all->failed.empty());
    } else if (answered < 0) {
        // Another caller's write goes on.
        QVERIFY(otherWrite && otherWrite->confirmed());
    }
    QCOMPARE(rig.outcomes.size(), std::size_t(1));
    QVERIFY(rig.session.idle());
}

QTEST_GUILESS_MAIN(TestSessionAddress)
#include "tst_sessionaddress.moc"
