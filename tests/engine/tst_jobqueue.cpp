// The queue under every engine: which requests it settles itself before they go
// out (let go, stopped, a write a handover's read-back showed had taken, an
// address write that may have moved), that the rest reach the engine in order,
// that a stop touches its own caller's requests only, and that a handover takes
// every request out in order with the one in flight marked.
#include "engine/jobqueue.h"
#include "protocol/frames.h"
#include "support/fakecommcontrol.h"

#include <QObject>
#include <QTest>

#include <memory>

using engine::Error;
using engine::Job;
using engine::JobQueue;
using engine::Reply;

Q_DECLARE_METATYPE(engine::Error)

namespace {

// A queue over a client whose own engine is never used, with hooks that record
// what the queue asks of its engine.
struct Rig {
    testsupport::FakeCommControl comm;
    engine::Client client{comm};
    QObject context;
    bool idle = true;
    int begun = 0;
    std::vector<Error> settled;
    std::unique_ptr<JobQueue> queue;

    Rig()
    {
        queue =
            std::make_unique<JobQueue>(client, context,
                                       JobQueue::Hooks{[this] { return idle; },
                                                       [this] {
                                                           ++begun;
                                                           idle = false;
                                                       },
                                                       [this](Error error, const QString &text) {
                                                           settled.push_back(error);
                                                           queue->finish(error, text, true);
                                                       }});
    }
};

Job writeJob(engine::Client::Caller caller = engine::Client::kSelf)
{
    Job job;
    job.kind = Job::Kind::Write;
    job.caller = caller;
    job.replySize = 8;
    return job;
}

} // namespace

class TestJobQueue : public QObject {
    Q_OBJECT
private slots:
    void settledBeforeTheLine_data();
    void settledBeforeTheLine();
    void aCallbacksReplyIsHandedOnceAndGoes();
    void aStopIsItsCallers();
    void releaseKeepsTheOrder();
    void aCeilingHeldWhileQueuedRefusesTheWrite();
};

void TestJobQueue::settledBeforeTheLine_data()
{
    QTest::addColumn<int>("took"); // -1: a handover's read-back has not said; 0 no; 1 yes
    QTest::addColumn<bool>("addressWrite");
    QTest::addColumn<bool>("stopped");
    QTest::addColumn<bool>("goesOut");
    QTest::addColumn<Error>("expected");

    QTest::newRow("a write goes out") << -2 << false << false << true << Error::None;
    QTest::newRow("a stopped caller's write never goes out")
        << -2 << false << true << false << Error::Interrupted;
    QTest::newRow("a write that took before the handover is not sent again")
        << 1 << false << false << false << Error::None;
    QTest::newRow("a write that did not take goes out again")
        << 0 << false << false << true << Error::None;
    QTest::newRow("a write whose read-back failed goes out again")
        << -1 << false << false << true << Error::None;
    QTest::newRow("an address that may have moved is not moved again")
        << -1 << true << false << false << Error::Timeout;
    QTest::newRow("an address write that did not take goes out again")
        << 0 << true << false << true << Error::None;
}

void TestJobQueue::settledBeforeTheLine()
{
    QFETCH(int, took);
    QFETCH(bool, addressWrite);
    QFETCH(bool, stopped);
    QFETCH(bool, goesOut);
    QFETCH(Error, expected);

    Rig rig;
    if (stopped) {
        rig.client.interrupt();
    }
    Job job = writeJob();
    if (took > -2) {
        job.check = std::make_shared<engine::WriteCheck>();
        if (took >= 0) {
            job.check->took = took == 1;
        }
    }
    const protocol::Frame request = addressWrite ? protocol::buildSetAddressRequest(1, 7)
                                                 : protocol::buildSetVoltageRequest(1, 500);
    std::unique_ptr<Reply> reply(rig.queue->add(request, std::move(job)));
    if (goesOut) {
        QCOMPARE(rig.begun, 1);
        QVERIFY(rig.settled.empty());
        QCOMPARE(rig.queue->current().target(), reply.get());
        return;
    }
    // A stopped caller's request is settled from the event loop.
    QTRY_COMPARE(rig.settled.size(), std::size_t{1});
    QCOMPARE(rig.begun, 0);
    QCOMPARE(rig.settled.front(), expected);
    QCOMPARE(reply->error(), expected);
    QVERIFY(reply->isFinished());
    if (expected == Error::None) {
        // A write that took is answered by its own echo.
        QCOMPARE(reply->bytes(),
                 QByteArray(reinterpret_cast<const char *>(request.data()), int(request.size())));
    }
}

void TestJobQueue::aCallbacksReplyIsHandedOnceAndGoes()
{
    Rig rig;
    int calls = 0;
    Error seen = Error::None;
    Job job = writeJob();
    job.done = [&](const Reply &reply) {
        ++calls;
        seen = reply.error();
    };
    rig.queue->add(protocol::buildSetVoltageRequest(1, 500), std::move(job));
    QCOMPARE(rig.begun, 1);
    QCOMPARE(calls, 0); // never from inside the call
    rig.queue->finish(Error::Crc, {}, false);
    QCOMPARE(calls, 0); // from the event loop
    QTRY_COMPARE(calls, 1);
    QCOMPARE(seen, Error::Crc);
    QVERIFY(rig.queue->current().target() == nullptr);
}

void TestJobQueue::aStopIsItsCallers()
{
    Rig rig;
    const engine::Client::Caller relay = rig.client.addCaller();
    std::unique_ptr<Reply> first(
        rig.queue->add(protocol::buildReadStatusRequest(1), writeJob(relay)));
    QCOMPARE(rig.begun, 1); // in flight; the next two wait
    std::unique_ptr<Reply> own(
        rig.queue->add(protocol::buildSetVoltageRequest(1, 500), writeJob()));
    std::unique_ptr<Reply> relayed(
        rig.queue->add(protocol::buildSetCurrentRequest(1, 100), writeJob(relay)));

    rig.client.interrupt();
    QVERIFY(!rig.queue->interrupt(engine::Client::kSelf)); // the one in flight is the relay's
    rig.idle = true;
    rig.queue->finish(Error::None, {}, true);
    QTRY_VERIFY(own->isFinished());
    QCOMPARE(own->error(), Error::Interrupted);
    // The relay's next request went out after it.
    QCOMPARE(rig.begun, 2);
    QCOMPARE(rig.queue->current().target(), relayed.get());
}

// A write is judged by the ceilings again when it is taken up, not only when queued.
void TestJobQueue::aCeilingHeldWhileQueuedRefusesTheWrite()
{
    Rig rig;
    rig.idle = false;
    std::unique_ptr<Reply> reply(
        rig.queue->add(protocol::buildSetVoltageRequest(1, 2000), writeJob()));
    engine::CeilingRegistry &ceilings = rig.client.ceilings();
    ceilings.hold(ceilings.addSource(false), 1, engine::CeilingKind::Voltage, 1000, "vantel", 7);
    rig.idle = true;
    rig.queue->process();
    QCOMPARE(rig.begun, 0);
    QCOMPARE(reply->error(), Error::Refused);
    QVERIFY2(reply->errorText().contains(QStringLiteral("10.00 V ceiling that vantel (pid 7)")),
             qPrintable(reply->errorText()));
}

void TestJobQueue::releaseKeepsTheOrder()
{
    Rig rig;
    std::vector<std::unique_ptr<Reply>> replies;
    for (std::uint8_t address = 1; address <= 4; ++address) {
        replies.emplace_back(rig.queue->add(protocol::buildReadStatusRequest(address), Job{}));
    }
    replies[2].reset(); // its caller let it go: nothing to carry over
    const std::vector<Job> held = rig.queue->release(true, true);
    QCOMPARE(held.size(), std::size_t{3});
    QCOMPARE(held[0].target(), replies[0].get());
    QVERIFY(held[0].inFlight);
    QCOMPARE(held[1].target(), replies[1].get());
    QVERIFY(!held[1].inFlight);
    QCOMPARE(held[2].target(), replies[3].get());
    QVERIFY(rig.queue->empty());
    QVERIFY(rig.queue->current().target() == nullptr);
}

QTEST_GUILESS_MAIN(TestJobQueue)
#include "tst_jobqueue.moc"
