// A log's rounds on a fake supply and a fake clock: rows keep to the slots of
// the interval, a slow line gives slots up (and says so once), a silent supply
// still has its row each round, and a stop or the duration ends the log with no
// request after it.
#include "engine/client.h"
#include "runs/logger.h"
#include "support/fakecommcontrol.h"
#include "support/sessionfakes.h"

#include <QTest>

#include <deque>
#include <map>
#include <set>
#include <utility>

using namespace std::chrono_literals;
using engine::Error;

namespace {

// Starts after the machine's steady clock did, so that rows count from their
// own first request.
struct FakeClock : testsupport::ManualClock {
    FakeClock() : ManualClock(std::chrono::seconds(1)) {}
};
using FakeTimer = testsupport::ManualTimer;

// Supplies that answer a status read after their latency; a silent one times
// out after its latency.
struct FakePath : records::WritePath {
    FakeClock &clock;
    records::RowMaker rows{std::chrono::steady_clock::time_point(std::chrono::seconds(1)),
                           QDateTime::currentDateTimeUtc()};
    std::chrono::milliseconds latency{10};
    std::chrono::milliseconds silentLatency{50};
    std::set<std::uint8_t> silent;
    std::deque<std::pair<std::uint8_t, std::function<void(const records::Reading &)>>> reads;
    int requests = 0;

    explicit FakePath(FakeClock &c) : clock(c) {}

    void send(const protocol::Frame &, std::function<void(const records::Sent &)> done) override
    {
        ++requests;
        records::Sent sent;
        sent.wentOut = true;
        done(sent);
    }
    void read(std::uint8_t address, std::function<void(const records::Reading &)> done) override
    {
        ++requests;
        reads.emplace_back(address, std::move(done));
    }
    bool answerOne()
    {
        if (reads.empty()) {
            return false;
        }
        auto [address, done] = std::move(reads.front());
        reads.pop_front();
        const bool quiet = silent.count(address) > 0;
        records::Reading reading;
        reading.sentTime = clock.t;
        clock.t += quiet ? silentLatency : latency;
        std::optional<protocol::StatusReading> decoded;
        if (quiet) {
            reading.failure = {Error::Timeout};
        } else {
            decoded = protocol::StatusReading{};
            decoded->outputOn = true;
        }
        reading.row = rows.make(address, reading.sentTime, decoded, reading.failure);
        done(reading);
        return true;
    }
};

struct Rig {
    FakeClock clock;
    FakePath path{clock};
    FakeTimer *timer = nullptr;
    testsupport::FakeCommControl comm;
    engine::Client client{comm, clock};
    std::unique_ptr<runs::Logger> log;
    QStringList rows;
    QStringList messages;
    std::optional<bool> failed;

    explicit Rig(runs::LogOptions options)
    {
        auto t = std::make_unique<FakeTimer>(clock);
        timer = t.get();
        log = std::make_unique<runs::Logger>(
            client, std::move(options),
            std::shared_ptr<records::WritePath>(&path, [](records::WritePath *) {}), clock,
            std::move(t));
        QObject::connect(log.get(), &runs::Logger::rowTaken, [this](const records::Row &row) {
            rows << QStringLiteral("%1%2@%3")
                        .arg(row.address)
                        .arg(row.failure ? QStringLiteral("!") : QString())
                        .arg(qRound(row.elapsedSeconds * 1000));
        });
        QObject::connect(log.get(), &runs::Logger::message,
                         [this](const QString &text) { messages << text; });
        QObject::connect(log.get(), &runs::Logger::finished, [this](bool f) { failed = f; });
    }

    // Runs the log until it ends or nothing is left to do; stops it once
    // `stopAfter` rows are in.
    void run(int stopAfter)
    {
        for (int guard = 0; guard < 1000 && !failed; ++guard) {
            if (stopAfter >= 0 && rows.size() >= stopAfter) {
                stopAfter = -1;
                log->stop();
                continue;
            }
            QCoreApplication::processEvents();
            if (path.answerOne()) {
                continue;
            }
            if (timer->pending) {
                clock.t = std::max(clock.t, timer->due);
                auto fire = std::move(timer->pending);
                timer->pending = nullptr;
                fire();
                continue;
            }
            break;
        }
    }
};

} // namespace

class TestLogRounds : public QObject {
    Q_OBJECT
private slots:
    void rounds_data();
    void rounds();
};

using Addresses = std::vector<std::uint8_t>;

void TestLogRounds::rounds_data()
{
    QTest::addColumn<Addresses>("addresses");
    QTest::addColumn<int>("latency");
    QTest::addColumn<int>("silent");       // an address that never answers; 0: none
    QTest::addColumn<int>("duration");     // ms; 0: until stopped
    QTest::addColumn<int>("stopAfter");    // rows before a stop; -1: none
    QTest::addColumn<QString>("rows");     // address, ! when failed, @ ms after the first
    QTest::addColumn<QStringList>("said"); // texts the log's messages hold

    // Every round at its slot of 100 ms; the duration ends the log at the
    // round due after it, with no request.
    QTest::newRow("rows on schedule")
        << Addresses{1, 2} << 10 << 0 << 350 << -1 << "1@0 2@10 1@100 2@110 1@200 2@210 1@300 2@310"
        << QStringList{"schedule: 4 rounds every 100 ms; the last started 0.0 ms after its slot"};
    // Rounds of 160 ms: each starts at once when late, and one that starts when
    // a later slot has come too gives the slot before it up. The duration ends
    // the log between two readings of a round.
    QTest::newRow("a slow line gives slots up")
        << Addresses{1, 2} << 80 << 0 << 700 << -1
        << "1@0 2@80 1@160 2@240 1@320 2@400 1@480 2@560 1@640"
        << QStringList{"a round over 2 addresses took 160 ms, more than the 100 ms interval",
                       "schedule: 5 rounds every 100 ms; 2 slots given up between",
                       "the last started 40.0 ms after its slot"};
    QTest::newRow("a silent supply has a row every round")
        << Addresses{1, 2} << 10 << 2 << 250 << -1 << "1@0 2!@10 1@100 2!@110 1@200 2!@210"
        << QStringList{"schedule: 3 rounds every 100 ms"};
    QTest::newRow("a stop between rounds sends nothing more")
        << Addresses{1} << 10 << 0 << 0 << 2 << "1@0 1@100"
        << QStringList{"schedule: 2 rounds every 100 ms"};
    // The reading on the line when the stop comes still has its row.
    QTest::newRow("a stop during a round ends it after the reading on the line")
        << Addresses{1, 2, 3} << 10 << 0 << 0 << 1 << "1@0 2@10"
        << QStringList{"schedule: 1 rounds every 100 ms"};
}

void TestLogRounds::rounds()
{
    QFETCH(Addresses, addresses);
    QFETCH(int, latency);
    QFETCH(int, silent);
    QFETCH(int, duration);
    QFETCH(int, stopAfter);
    QFETCH(QString, rows);
    QFETCH(QStringList, said);

    runs::LogOptions options;
    options.addresses = addresses;
    options.interval = 100ms;
    if (duration > 0) {
        options.duration = std::chrono::milliseconds(duration);
    }
    Rig rig(options);
    rig.path.latency = std::chrono::milliseconds(latency);
    if (silent > 0) {
        rig.path.silent.insert(std::uint8_t(silent));
    }
    rig.log->start();
    rig.run(stopAfter);

    QVERIFY(rig.failed.has_value());
    QCOMPARE(*rig.failed, false);
    QCOMPARE(rig.rows.join(u' '), rows);
    // Nothing went out that did not make a row: no request after the end.
    QCOMPARE(rig.path.requests, int(rig.rows.size()));
    QVERIFY(rig.path.reads.empty());
    const QString all = rig.messages.join(u'\n');
    for (const QString &text : said) {
        QVERIFY2(all.contains(text), qPrintable(all));
    }
    // The slow round is said once, and only on a slow line.
    QCOMPARE(all.count(QStringLiteral("more than the 100 ms interval")), latency * 2 > 100 ? 1 : 0);
}

QTEST_GUILESS_MAIN(TestLogRounds)
#include "tst_logrounds.moc"
