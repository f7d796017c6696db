// The one confirmed write over a scripted supply, with a read-back of its own (the
// shell's commands, run, serve, the bus window) and with the polls that follow
// (the monitor window): what each supply fault ends as, and how many requests it
// costs.

#include "engine/client.h"
#include "protocol/frames.h"
#include "records/operations.h"

#include <QTest>
#include <QTimer>

#include <memory>
#include <utility>

using records::Target;

namespace {

// A supply behind a write path. `behaviour`:
//   "applies"     every write takes effect;
//   "ignores"     writes are answered but change nothing;
//   "second"      only the second copy of a write takes effect;
//   "slow"        a write shows only from the second reading after it;
//   "exception"   every write is answered with exception 2;
//   "silent"      nothing answers;
//   "deaf reads"  writes take effect, readings time out;
//   "port"        the port refuses the write;
//   "stopped"     the first reading is interrupted by a stop.
class ScriptedSupply : public records::WritePath {
public:
    ScriptedSupply(QString behaviour, int readingsPerAttempt)
        : m_behaviour(std::move(behaviour)), m_readingsPerAttempt(readingsPerAttempt)
    {
    }

    void send(const protocol::Frame &request,
              std::function<void(const records::Sent &)> done) override
    {
        ++sends;
        records::Sent sent;
        sent.wentOut = !is("port");
        if (is("exception")) {
            sent.failure = {engine::Error::Exception, 2};
            sent.bytes = QByteArray::fromHex("018602C3A1");
        } else if (is("silent")) {
            sent.failure = {engine::Error::Timeout};
        } else if (is("port")) {
            sent.failure = {engine::Error::Port, 0, QStringLiteral("the device went away")};
        } else if (!is("ignores") && (!is("second") || sends >= 2)) {
            apply(request);
            m_shownAfter = reads + (is("slow") ? 2 : 1);
        }
        QTimer::singleShot(0, [done = std::move(done), sent] { done(sent); });
    }

    void read(std::uint8_t address, std::function<void(const records::Reading &)> done) override
    {
        ++reads;
        records::Reading reading;
        reading.row.address = address;
        if (is("silent") || is("deaf reads")) {
            reading.failure.error = engine::Error::Timeout;
        } else if (is("stopped")) {
            reading.failure.error = engine::Error::Interrupted;
        } else {
            reading.row.reading = reads >= m_shownAfter ? m_state : m_before;
        }
        reading.row.failure = reading.failure;
        if (holdReadings) {
            held = [done = std::move(done), reading] { done(reading); };
            return;
        }
        QTimer::singleShot(0, [done = std::move(done), reading] { done(reading); });
    }

    int readingsPerAttempt() const override { return m_readingsPerAttempt; }

    int sends = 0;
    int reads = 0;
    bool holdReadings = false;
    std::function<void()> held; // a reading kept back, to deliver later

private:
    bool is(const char *name) const { return m_behaviour == QLatin1String(name); }

    void apply(const protocol::Frame &request)
    {
        m_before = m_state;
        const std::uint16_t value = std::uint16_t(request[4] << 8 | request[5]);
        if (request == records::writeRequest(request[0], Target::Voltage, value)) {
            m_state.setVoltage = value;
        } else if (request == records::writeRequest(request[0], Target::Current, value)) {
            m_state.setCurrent = value;
        } else {
            m_state.outputOn = value != 0;
        }
    }

    QString m_behaviour;
    int m_readingsPerAttempt;
    protocol::StatusReading m_state;
    protocol::StatusReading m_before;
    int m_shownAfter = 0;
};

} // namespace

class TestConfirmedWrite : public QObject {
    Q_OBJECT
private slots:
    void faults_data();
    void faults();
    void cancelledEndsSilently();
};

void TestConfirmedWrite::faults_data()
{
    QTest::addColumn<int>("perAttempt"); // 1: a read of its own; 3: the next polls
    QTest::addColumn<QString>("behaviour");
    QTest::addColumn<QString>("targets"); // V, A, O: one request each, in order
    QTest::addColumn<int>("attempts");
    QTest::addColumn<QString>("outcome"); // "confirmed" or the problem
    QTest::addColumn<int>("sends");
    QTest::addColumn<int>("reads");
    QTest::addColumn<int>("failedWrite"); // -1: none
    QTest::addColumn<bool>("sent");

    for (const int per : {1, 3}) {
        const QByteArray face = per == 1 ? "own read: " : "polls: ";
        const auto row = [&](const char *name) -> QTestData & {
            return QTest::newRow((face + name).constData());
        };
        const int ignoredReads = 2 * per;
        row("applies") << per << "applies"
                       << "O" << 2 << "confirmed" << 1 << 1 << -1 << true;
        row("ignores") << per << "ignores"
                       << "O" << 2 << "the read-back differs" << 2 << ignoredReads << -1 << true;
        row("second copy") << per << "second"
                           << "V" << 2 << "confirmed" << 2 << per + 1 << -1 << true;
        row("exception") << per << "exception"
                         << "V" << 2 << "exception 2" << 2 << 0 << 0 << true;
        row("silent") << per << "silent"
                      << "O" << 2 << "timeout" << 2 << 0 << 0 << true;
        row("readings fail") << per << "deaf reads"
                             << "O" << 2 << "no read-back (timeout)" << 2 << ignoredReads << -1
                             << true;
        row("port refuses") << per << "port"
                            << "O" << 2 << "port" << 1 << 0 << 0 << false;
        row("stopped") << per << "stopped"
                       << "O" << 2 << "interrupted" << 1 << 1 << -1 << true;
        // Several registers, one read-back confirming them all.
        row("two writes, one read-back") << per << "applies"
                                         << "VA" << 1 << "confirmed" << 2 << 1 << -1 << true;
        row("two writes ignored, one attempt")
            << per << "ignores"
            << "VA" << 1 << "the read-back differs" << 2 << per << -1 << true;
        row("refused, one attempt") << per << "exception"
                                    << "VA" << 1 << "exception 2" << 1 << 0 << 0 << true;
    }
    // A reading already on its way shows the old value: a poll after it confirms;
    // a read of its own has nothing to wait for and writes once more.
    QTest::newRow("own read: slow") << 1 << "slow"
                                    << "O" << 2 << "confirmed" << 2 << 2 << -1 << true;
    QTest::newRow("polls: slow") << 3 << "slow"
                                 << "O" << 2 << "confirmed" << 1 << 2 << -1 << true;
}

void TestConfirmedWrite::faults()
{
    QFETCH(int, perAttempt);
    QFETCH(QString, behaviour);
    QFETCH(QString, targets);
    QFETCH(int, attempts);
    QFETCH(QString, outcome);
    QFETCH(int, sends);
    QFETCH(int, reads);
    QFETCH(int, failedWrite);
    QFETCH(bool, sent);

    auto supplyPath = std::make_shared<ScriptedSupply>(behaviour, perAttempt);
    std::vector<protocol::Frame> requests;
    std::vector<std::pair<Target, std::uint16_t>> wanted;
    for (const QChar t : targets) {
        const Target target = t == 'V'   ? Target::Voltage
                              : t == 'A' ? Target::Current
                                         : Target::Output;
        const std::uint16_t value = target == Target::Output ? 1 : 1234;
        requests.push_back(records::writeRequest(3, target, value));
        wanted.emplace_back(target, value);
    }
    const engine::Confirms confirms = [wanted](const protocol::StatusReading &r) {
        for (const auto &[target, value] : wanted) {
            if (!records::confirmsWrite(target, value)(r)) {
                return false;
            }
        }
        return true;
    };
    int retries = 0;
    int calls = 0;
    records::WriteResult result;
    records::WriteCallbacks callbacks;
    callbacks.retrying = [&retries](const QString &) { ++retries; };
    callbacks.done = [&](const records::WriteResult &r) {
        ++calls;
        result = r;
    };
    (void)records::confirmedWrite(supplyPath, requests, confirms, callbacks, attempts);
    QCOMPARE(calls, 0); // never from inside the call
    QTRY_COMPARE(calls, 1);
    QTest::qWait(20); // and only once
    QCOMPARE(calls, 1);

    QCOMPARE(result.confirmed ? QStringLiteral("confirmed") : result.problem, outcome);
    QCOMPARE(supplyPath->sends, sends);
    QCOMPARE(supplyPath->reads, reads);
    QCOMPARE(result.failedWrite ? int(*result.failedWrite) : -1, failedWrite);
    QCOMPARE(result.sent, sent);
    // A retry is said once for each attempt after the first.
    QCOMPARE(retries, outcome == QLatin1String("port") || outcome == QLatin1String("interrupted")
                          ? 0
                          : (sends - 1) / int(requests.size()));
    QCOMPARE(result.readBack.has_value(), behaviour != QLatin1String("silent") &&
                                              behaviour != QLatin1String("deaf reads") &&
                                              reads > 0 && outcome != QLatin1String("interrupted"));
}

void TestConfirmedWrite::cancelledEndsSilently()
{
    auto supplyPath = std::make_shared<ScriptedSupply>(QStringLiteral("ignores"), 3);
    supplyPath->holdReadings = true;
    bool called = false;
    records::WriteCallbacks callbacks;
    callbacks.done = [&called](const records::WriteResult &) { called = true; };
    auto handle = records::confirmedWrite(supplyPath, {records::writeRequest(1, Target::Output, 0)},
                                          records::confirmsWrite(Target::Output, 0), callbacks);
    QTRY_VERIFY(supplyPath->held);
    handle->cancel();
    std::exchange(supplyPath->held, nullptr)(); // the reading comes after all
    QTest::qWait(20);
    QVERIFY(!called);
    QCOMPARE(supplyPath->sends, 1);
    QCOMPARE(supplyPath->reads, 1);
}

QTEST_GUILESS_MAIN(TestConfirmedWrite)
#include "tst_confirmedwrite.moc"
