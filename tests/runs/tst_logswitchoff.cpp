// A log's switch-off on its way out, run by the session's all-off on a fake
// line: every logged supply is switched off in the order the log names them,
// one that does not confirm is named with why, and the others are switched off
// all the same.
#include "engine/session.h"
#include "protocol/frames.h"
#include "runs/logger.h"
#include "support/sessionfakes.h"

#include <QTest>

#include <deque>
#include <map>
#include <utility>

using engine::Error;
using engine::LineAnswer;

namespace {

using FakeClock = testsupport::ManualClock;
using testsupport::IdleTimer;

// How a fake supply takes a switch-off.
enum class Takes { Off, StaysOn, SilentReadBack, Exception, Refused };

// Supplies whose outputs are on until a write switches them off; requests are
// answered one by one by run(), each logged as "w1" (write to 1) or "r1".
struct FakeLine : testsupport::PendingLine {
    std::map<std::uint8_t, Takes> takes;
    std::map<std::uint8_t, bool> on;
    void run()
    {
        for (int i = 0; i < 100 && !pending.empty(); ++i) {
            auto [request, done] = std::move(pending.front());
            pending.pop_front();
            const std::uint8_t address = request[0];
            const Takes how = takes.count(address) ? takes[address] : Takes::Off;
            LineAnswer answer;
            answer.address = address;
            answer.sentTime = std::chrono::steady_clock::now();
            if (request[1] == protocol::kWriteSingleRegister) {
                if (how == Takes::Exception) {
                    answer.failure = {Error::Exception, 4};
                } else if (how == Takes::Refused) {
                    answer.failure = {Error::Refused, 0, QStringLiteral("held by serve")};
                    answer.sentTime = {};
                } else if (how != Takes::StaysOn) {
                    on[address] = false;
                }
            } else if (how == Takes::SilentReadBack) {
                answer.failure = {Error::Timeout};
            } else {
                protocol::StatusReading r;
                r.outputOn = on.count(address) ? on[address] : true;
                answer.reading = r;
            }
            done(answer);
        }
    }
};

} // namespace

class TestLogSwitchOff : public QObject {
    Q_OBJECT
private slots:
    void everySupplyInTurn_data();
    void everySupplyInTurn();
    void noWordIsNoConfirmation();
};

using Behaviours = std::map<std::uint8_t, Takes>;
using Addresses = std::vector<std::uint8_t>;

void TestLogSwitchOff::everySupplyInTurn_data()
{
    QTest::addColumn<Addresses>("addresses");
    QTest::addColumn<Behaviours>("takes");
    QTest::addColumn<QStringList>("lines");
    QTest::addColumn<QString>("onLine");

    const QString off = QStringLiteral("address %1: output switched off");
    const QString mayBeOn = QStringLiteral(
        "address %1: switching the output off was not confirmed (%2): it may still be on");

    QTest::newRow("all off, in the log's order")
        << Addresses{3, 1, 2} << Behaviours{} << QStringList{off.arg(3), off.arg(1), off.arg(2)}
        << "w3 r3 w1 r1 w2 r2";
    QTest::newRow("one stays on: asked twice, named, the next still off")
        << Addresses{1, 2, 3} << Behaviours{{2, Takes::StaysOn}}
        << QStringList{off.arg(1), mayBeOn.arg(2).arg("the read-back differs"), off.arg(3)}
        << "w1 r1 w2 r2 w2 r2 w3 r3";
    QTest::newRow("a silent read-back is no confirmation")
        << Addresses{1, 2} << Behaviours{{1, Takes::SilentReadBack}}
        << QStringList{mayBeOn.arg(1).arg("no read-back (timeout)"), off.arg(2)}
        << "w1 r1 w1 r1 w2 r2";
    QTest::newRow("an exception to the write")
        << Addresses{1, 2} << Behaviours{{2, Takes::Exception}}
        << QStringList{off.arg(1), mayBeOn.arg(2).arg("exception 4")} << "w1 r1 w2 w2";
    QTest::newRow("a refusal ends that supply's attempts at once")
        << Addresses{1, 2} << Behaviours{{1, Takes::Refused}}
        << QStringList{mayBeOn.arg(1).arg("held by serve"), off.arg(2)} << "w1 w2 r2";
}

void TestLogSwitchOff::everySupplyInTurn()
{
    QFETCH(Addresses, addresses);
    QFETCH(Behaviours, takes);
    QFETCH(QStringList, lines);
    QFETCH(QString, onLine);

    FakeClock clock;
    FakeLine line;
    line.takes = takes;
    engine::Session session(line, clock, std::make_unique<IdleTimer>());
    std::optional<engine::AllOffOutcome> outcome;
    session.allOff(session.addCaller(), addresses,
                   [&](const engine::AllOffOutcome &all) { outcome = all; });
    line.run();

    QVERIFY(outcome);
    QCOMPARE(runs::switchOffLines(addresses, *outcome), lines);
    QCOMPARE(line.log.join(u' '), onLine);
    // The log fails exactly when one of them may still be on.
    const bool allConfirmed = lines.filter(QStringLiteral("may still be on")).isEmpty();
    QCOMPARE(outcome->failed.empty(), allConfirmed);
    QCOMPARE(outcome->failure().error == Error::None, allConfirmed);
    for (const std::uint8_t address : addresses) {
        if (!takes.count(address)) {
            QCOMPARE(line.on[address], false);
        }
    }
}

void TestLogSwitchOff::noWordIsNoConfirmation()
{
    // An address the all-off says nothing of is not reported off.
    engine::AllOffOutcome outcome;
    outcome.off = {1};
    QCOMPARE(runs::switchOffLines({1, 2}, outcome),
             (QStringList{QStringLiteral("address 1: output switched off"),
                          QStringLiteral("address 2: switching the output off was not confirmed "
                                         "(no answer): it may still be on")}));
}

QTEST_GUILESS_MAIN(TestLogSwitchOff)
#include "tst_logswitchoff.moc"
