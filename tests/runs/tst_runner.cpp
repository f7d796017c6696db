// The sequence runner over a scripted line: how each way out ends, what it says,
// where the output is left.

#include "engine/client.h"
#include "runs/runner.h"

#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include <deque>

using runs::RunEnd;

namespace {

// A supply behind a line that reads every 5 ms and confirms a write when the next
// reading shows it. `behaviour` picks a fault:
//   ""         a load of 1 Ω up to the set current;
//   "silent"   every reading times out;
//   "deaf"     writes are never confirmed, the switch-off included;
//   "lost"     the port is lost at the third reading, with its reason;
//   "lost quietly" the same without a reason;
//   "stopped"  the polls are stopped under the run at the third reading;
//   "falling"  the current falls 100 mA a reading from 1 A;
//   "overshoot" the voltage reads 1 V above its set value.
class ScriptedLine : public runs::RunLine {
public:
    explicit ScriptedLine(QString behaviour) : m_behaviour(std::move(behaviour))
    {
        m_timer.setInterval(5);
        QObject::connect(&m_timer, &QTimer::timeout, [this] { readOne(); });
    }

    void begin(std::function<void(const records::Row &)> reading,
               std::function<void(const engine::Failure &)> failed) override
    {
        m_reading = std::move(reading);
        m_failed = std::move(failed);
        m_timer.start();
    }
    void end() override { m_timer.stop(); }
    void readSoon() override
    {
        QTimer::singleShot(0, &m_timer, [this] { readOne(); });
    }
    void write(records::Target target, std::uint16_t value,
               std::function<void(const QString &)> retrying,
               std::function<void(const records::WriteResult &)> done) override
    {
        ++writes;
        QTimer::singleShot(1, &m_timer, [this, target, value, retrying, done] {
            records::WriteResult result;
            result.confirmed = m_behaviour != QLatin1String("deaf");
            if (result.confirmed) {
                apply(target, value);
            } else {
                retrying(QStringLiteral("the read-back differs"));
                result.problem = QStringLiteral("the read-back differs");
            }
            done(result);
        });
    }
    void interrupt() override { ++interrupts; }
    void switchOff(std::function<void(const records::WriteResult &)> done) override
    {
        ++switchOffs;
        write(
            records::Target::Output, 0, [](const QString &) {}, std::move(done));
    }

    protocol::StatusReading state;
    int writes = 0;
    int interrupts = 0;
    int switchOffs = 0;
    int readings = 0;

private:
    void apply(records::Target target, std::uint16_t value)
    {
        switch (target) {
        case records::Target::Voltage:
            state.setVoltage = value;
            break;
        case records::Target::Current:
            state.setCurrent = value;
            break;
        case records::Target::Output:
            state.outputOn = value != 0;
            break;
        }
    }

    void readOne()
    {
        ++readings;
        records::Row row;
        row.time = QDateTime::currentDateTime();
        row.address = 1;
        if (m_behaviour == QLatin1String("lost") && readings >= 3) {
            m_timer.stop();
            row.failure = {engine::Error::Port, 0, QStringLiteral("Input/output error")};
            m_reading(row);
            m_failed(row.failure);
            return;
        }
        if (m_behaviour == QLatin1String("lost quietly") && readings >= 3) {
            m_timer.stop();
            m_failed({engine::Error::Port});
            return;
        }
        if (m_behaviour == QLatin1String("stopped") && readings >= 3) {
            m_timer.stop();
            m_failed({engine::Error::Interrupted, 0, QStringLiteral("the polls stopped")});
            return;
        }
        if (m_behaviour == QLatin1String("silent")) {
            row.failure = {engine::Error::Timeout};
            m_reading(row);
            return;
        }
        protocol::StatusReading r = state;
        r.actualVoltage = !r.outputOn                                 ? 0
                          : m_behaviour == QLatin1String("overshoot") ? r.setVoltage + 100
                                                                      : r.setVoltage;
        r.actualCurrent = !r.outputOn ? 0
                          : m_behaviour == QLatin1String("falling")
                              ? std::uint16_t(std::max(0, 1000 - 100 * readings))
                              : std::min<std::uint16_t>(r.setCurrent, r.actualVoltage * 10);
        row.reading = r;
        m_reading(row);
    }

    QString m_behaviour;
    QTimer m_timer;
    std::function<void(const records::Row &)> m_reading;
    std::function<void(const engine::Failure &)> m_failed;
};

} // namespace

class TestRunner : public QObject {
    Q_OBJECT
private slots:
    void waysOut_data();
    void waysOut();
    void stopSwitchesOffOnce();
    void sweepMarksItsPoints();
};

void TestRunner::waysOut_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QString>("behaviour");
    QTest::addColumn<int>("how");
    QTest::addColumn<int>("line");
    QTest::addColumn<QString>("said"); // a part of the messages
    QTest::addColumn<int>("output");
    const int completed = int(RunEnd::How::Completed);
    const int aborted = int(RunEnd::How::Aborted);
    const int asFile = int(RunEnd::Output::AsTheFileLeavesIt);
    const int off = int(RunEnd::Output::Off);
    const int mayBeOn = int(RunEnd::Output::MayBeOn);
    QTest::newRow("completes") << "set 5V 1A\noutput on\nhold 30ms\n"
                               << "" << completed << 3 << "line 3: hold 30ms: done after" << asFile;
    QTest::newRow("repeats") << "repeat 2\nset 5V 1A\nhold 10ms\nend\n"
                             << "" << completed << 3 << "line 1: repeat 2 of 2" << asFile;
    QTest::newRow("until met") << "set 5V 2A\noutput on\nuntil current < 0.5A for 2 max 5s\n"
                               << "falling" << completed << 3
                               << "line 3: until current < 0.5A for 2 max 5s: met after" << asFile;
    // 0.1 A met it three times, but five in a row were asked for.
    QTest::newRow("until held, not long enough")
        << "set 5V 0.1A\noutput on\nuntil current < 2A for 1000 max 40ms\n"
        << "" << aborted << 3 << "not met within 40ms (held for " << off;
    QTest::newRow("until never held")
        << "set 5V 1A\noutput on\nuntil voltage > 6V max 40ms\n"
        << "" << aborted << 3 << "not met within 40ms (last 5.00 V)" << off;
    QTest::newRow("limit") << "limit 5.5V\nset 5V 1A\noutput on\nhold 1s\n"
                           << "overshoot" << aborted << 4
                           << "6.00 V above the limit of 5.50 V (line 1)" << off;
    QTest::newRow("silent supply")
        << "hold 1s\n"
        << "silent" << aborted << 1 << "3 readings in a row without a good reply (timeout)" << off;
    QTest::newRow("write not confirmed")
        << "set 5V\n"
        << "deaf" << aborted << 1
        << "the voltage set value was not confirmed (the read-back differs); trying once more"
        << mayBeOn;
    QTest::newRow("port lost") << "hold 1s\n"
                               << "lost" << aborted << 1
                               << "line 1: aborted: the port failed: Input/output error" << off;
    // The failure's value words the message, whatever its detail says.
    QTest::newRow("port lost, no reason")
        << "hold 1s\n"
        << "lost quietly" << aborted << 1 << "line 1: aborted: the port failed\n"
        << off;
    QTest::newRow("polls stopped")
        << "hold 1s\n"
        << "stopped" << aborted << 1 << "line 1: aborted: the polls stopped\n"
        << off;
}

void TestRunner::waysOut()
{
    QFETCH(QString, file);
    QFETCH(QString, behaviour);
    QFETCH(int, how);
    QFETCH(int, line);
    QFETCH(QString, said);
    QFETCH(int, output);
    const sequence::ParsedSequence parsed = sequence::parseSequence(file.toStdString());
    QVERIFY(!parsed.error);
    ScriptedLine scripted(behaviour);
    runs::Runner runner(scripted, parsed.sequence, runs::RunOptions{});
    QStringList messages;
    QObject::connect(&runner, &runs::Runner::message,
                     [&](const QString &text) { messages << text; });
    QSignalSpy finished(&runner, &runs::Runner::finished);
    QSignalSpy rows(&runner, &runs::Runner::rowTaken);
    runner.start();
    QVERIFY(finished.wait(5000));
    const auto end = finished.first().first().value<RunEnd>();
    QCOMPARE(int(end.how), how);
    QCOMPARE(end.line, line);
    QCOMPARE(int(end.output), output);
    QVERIFY2(messages.join(QLatin1Char('\n')).contains(said),
             qPrintable(messages.join(QLatin1Char('\n'))));
    QCOMPARE(scripted.switchOffs, how == int(RunEnd::How::Completed) ? 0 : 1);
    for (int i = 0; i < rows.size(); ++i) {
        QVERIFY(rows.at(i).first().value<records::Row>().withStep);
    }
    QVERIFY(!runner.running());
}

void TestRunner::stopSwitchesOffOnce()
{
    const auto parsed = sequence::parseSequence("set 5V 1A\noutput on\nhold 10s\n");
    ScriptedLine scripted(QString{});
    runs::Runner runner(scripted, parsed.sequence, runs::RunOptions{});
    QSignalSpy finished(&runner, &runs::Runner::finished);
    runner.start();
    QTRY_VERIFY(scripted.state.outputOn);
    runner.stop(QStringLiteral("stopped by a signal"));
    runner.stop(QStringLiteral("stopped by a signal")); // a second stop: no second switch-off
    QVERIFY(finished.wait(2000));
    const auto end = finished.first().first().value<RunEnd>();
    QCOMPARE(int(end.how), int(RunEnd::How::Stopped));
    QCOMPARE(end.line, 3);
    QCOMPARE(int(end.output), int(RunEnd::Output::Off));
    QCOMPARE(scripted.switchOffs, 1);
    QCOMPARE(scripted.interrupts, 1);
    QVERIFY(!scripted.state.outputOn);
}

void TestRunner::sweepMarksItsPoints()
{
    const auto parsed =
        sequence::parseSequence("set 0V 1A\noutput on\nsweep voltage 0V 1V 0.25V dwell 15ms\n");
    ScriptedLine scripted(QString{});
    runs::Runner runner(scripted, parsed.sequence, runs::RunOptions{});
    QSignalSpy finished(&runner, &runs::Runner::finished);
    QList<std::pair<int, std::uint16_t>> points; // point, the set voltage its row shows
    QObject::connect(&runner, &runs::Runner::rowTaken, [&](const records::Row &row) {
        if (row.point) {
            points.append({*row.point, row.reading->setVoltage});
        }
    });
    runner.start();
    QVERIFY(finished.wait(5000));
    const QList<std::pair<int, std::uint16_t>> expected{
        {0, 0}, {1, 25}, {2, 50}, {3, 75}, {4, 100}};
    QCOMPARE(points, expected);
    QVERIFY(runner.progress().remainingSeconds.has_value());
    QCOMPARE(*runner.progress().remainingSeconds, 0.0);
}

QTEST_GUILESS_MAIN(TestRunner)
#include "tst_runner.moc"
