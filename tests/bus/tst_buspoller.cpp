// The bus window's poller on a scripted line: which request goes out when, for
// supplies that answer, fall silent and come back, and for writes between reads.

#include "bus/bussettings.h"
#include "bus/poller.h"
#include "bus/supplycard.h"
#include "bus/supplystate.h"

#include <QPushButton>
#include <QSignalSpy>
#include <QtTest>

#include <deque>
#include <map>
#include <optional>

using bus::Poller;
using engine::Error;

namespace {

// Takes each request and holds it until the test answers it; a second request
// while one is held is a fault of the poller, and is counted. A confirmed write
// is logged and answered as one request ("w3v200"), as the window asks for it:
// the status read that follows its register write, of the same address, is its
// read-back, and is answered with it.
class ScriptedLine : public engine::SessionLine {
public:
    QStringList sent;
    int overlaps = 0;
    int readBacks = 0;
    // How many reads of each address time out before it answers.
    std::map<int, int> timeouts;

    void readStatus(std::uint8_t address, Done done) override
    {
        const bool readBack = m_written == address;
        m_written.reset();
        if (!readBack) {
            sent << QStringLiteral("r%1").arg(address);
        }
        hold(readBack, [this, address, readBack, done] {
            engine::LineAnswer answer = answerFrom(address);
            if (readBack) {
                ++readBacks;
            } else if (timeouts[address] > 0) {
                --timeouts[address];
                answer.failure.error = Error::Timeout;
            }
            if (!answer.failure) {
                answer.reading = stateOf(address);
            }
            done(answer);
        });
    }
    void write(const protocol::Frame &request, Done done) override
    {
        const std::uint8_t address = request[0];
        const auto reg = std::uint16_t(request[2] << 8 | request[3]);
        const auto value = std::uint16_t(request[4] << 8 | request[5]);
        const char *what = reg == protocol::reg::kOutputSwitch ? "o"
                           : reg == protocol::reg::kSetVoltage ? "v"
                                                               : "a";
        m_written.reset();
        sent << QStringLiteral("w%1%2%3").arg(address).arg(QLatin1String(what)).arg(value);
        hold(false, [this, address, reg, value, done] {
            protocol::StatusReading &state = stateOf(address);
            if (reg == protocol::reg::kOutputSwitch) {
                state.outputOn = value != 0;
            } else if (reg == protocol::reg::kSetVoltage) {
                state.setVoltage = value;
            } else {
                state.setCurrent = value;
            }
            m_written = address;
            done(answerFrom(address));
        });
    }
    // Answers the request on the line, and a write's read-back with it.
    bool answer()
    {
        if (!m_held) {
            return false;
        }
        do {
            auto held = std::move(m_held);
            m_held = nullptr;
            held();
        } while (m_held && m_heldReadBack);
        return true;
    }

private:
    static engine::LineAnswer answerFrom(std::uint8_t address)
    {
        engine::LineAnswer answer;
        answer.address = address;
        answer.sentTime = std::chrono::steady_clock::now();
        return answer;
    }
    // Each supply starts at 5.00 V, 1.000 A, output on.
    protocol::StatusReading &stateOf(std::uint8_t address)
    {
        return m_state.try_emplace(address, protocol::StatusReading{500, 1000, 500, 500, true, 1})
            .first->second;
    }
    void hold(bool readBack, std::function<void()> reply)
    {
        overlaps += m_held ? 1 : 0;
        m_held = std::move(reply);
        m_heldReadBack = readBack;
    }
    std::function<void()> m_held;
    bool m_heldReadBack = false;
    std::optional<std::uint8_t> m_written; // the address whose write was answered last
    std::map<std::uint8_t, protocol::StatusReading> m_state;
};

std::vector<std::uint8_t> addressesOf(const QString &list)
{
    std::vector<std::uint8_t> out;
    for (const QString &a : list.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        out.push_back(static_cast<std::uint8_t>(a.toInt()));
    }
    return out;
}

} // namespace

class TestBusPoller : public QObject {
    Q_OBJECT
private slots:
    void schedule_data();
    void schedule();
    void allOutputsOffGoesFirst_data();
    void allOutputsOffGoesFirst();
    void lineGoesOnWhileHeldUp_data();
    void lineGoesOnWhileHeldUp();
    void writeOnReadingGoesFirst();
    void greyAfterSilence_data();
    void greyAfterSilence();
    void addressListText_data();
    void addressListText();
    void cardSwitch_data();
    void cardSwitch();
    void sparklineRange_data();
    void sparklineRange();
};

void TestBusPoller::schedule_data()
{
    QTest::addColumn<QString>("addresses");
    QTest::addColumn<QString>("timeouts"); // address:count of reads that time out
    QTest::addColumn<int>("writeAt");      // a write of 2.00 V to 3 is asked during this request
    QTest::addColumn<QString>("expected");

    QTest::newRow("round-robin") << "1,2,3"
                                 << "" << -1 << "r1 r2 r3 r1 r2 r3 r1";
    // A silent supply costs one timeout, then is asked every fourth round.
    QTest::newRow("one silent") << "1,2,3"
                                << "2:99" << -1 << "r1 r2 r3 r1 r3 r1 r3 r1 r3 r1 r2 r3 r1 r3";
    QTest::newRow("silent, then back")
        << "1,2,3"
        << "2:1" << -1 << "r1 r2 r3 r1 r3 r1 r3 r1 r3 r1 r2 r3 r1 r2 r3";
    QTest::newRow("every supply silent") << "1,2"
                                         << "1:99,2:99" << -1 << "r1 r2 r1 r2 r1 r2";
    QTest::newRow("one supply") << "7"
                                << "" << -1 << "r7 r7 r7";
    QTest::newRow("write between reads") << "1,2,3"
                                         << "" << 0 << "r1 w3v200 r2 r3 r1";
    QTest::newRow("write during a silent one's read") << "1,2,3"
                                                      << "2:99" << 1 << "r1 r2 w3v200 r3 r1 r3";
}

void TestBusPoller::schedule()
{
    QFETCH(QString, addresses);
    QFETCH(QString, timeouts);
    QFETCH(int, writeAt);
    QFETCH(QString, expected);

    ScriptedLine line;
    for (const QString &t : timeouts.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        line.timeouts[t.section(QLatin1Char(':'), 0, 0).toInt()] =
            t.section(QLatin1Char(':'), 1).toInt();
    }
    Poller poller(line);
    poller.setShortestRound(std::chrono::milliseconds(0));
    poller.setAddresses(addressesOf(addresses));
    int readings = 0;
    connect(&poller, &Poller::readingTaken, this, [&readings] { ++readings; });
    poller.start();
    const int count = static_cast<int>(expected.split(QLatin1Char(' ')).size());
    bool writeDone = false;
    for (int i = 0; i < count - 1; ++i) {
        if (i == writeAt) {
            poller.write(3, records::Target::Voltage, 200,
                         [&writeDone](const records::WriteResult &r) { writeDone = r.confirmed; });
        }
        QVERIFY(line.answer());
    }
    QCOMPARE(line.sent.join(QLatin1Char(' ')), expected);
    QCOMPARE(line.overlaps, 0);
    QCOMPARE(writeDone, writeAt >= 0);
    // Each poll answered is a reading, and so is the write's read-back.
    QCOMPARE(readings, count - 1 - (writeAt >= 0 ? 1 : 0) + line.readBacks);
    // A stop lets the request on the line end and sends nothing after it.
    poller.stop();
    QVERIFY(line.answer());
    QCOMPARE(line.sent.size(), count);
}

void TestBusPoller::allOutputsOffGoesFirst_data()
{
    QTest::addColumn<bool>("writeOnLine"); // else a poll is on the line, the write waits
    QTest::addColumn<QString>("expected");
    QTest::addColumn<int>("dropped");
    QTest::addColumn<QString>("problem"); // what the switch-on's end says
    QTest::newRow("a waiting write is dropped")
        << false << "r1 w1o0 w2o0 w3o0 r2 r3" << 1 << "dropped by “All outputs off”";
    // Its request may have reached the supply: the switch-off follows it.
    QTest::newRow("the write on the line stops")
        << true << "w2o1 w1o0 w2o0 w3o0 r1 r2" << 0 << "stopped by “All outputs off”";
}

void TestBusPoller::allOutputsOffGoesFirst()
{
    QFETCH(bool, writeOnLine);
    QFETCH(QString, expected);
    QFETCH(int, dropped);
    QFETCH(QString, problem);
    ScriptedLine line;
    Poller poller(line);
    poller.setShortestRound(std::chrono::milliseconds(0));
    poller.setAddresses({1, 2, 3});
    QString said;
    const auto switchOn = [&] {
        poller.write(2, records::Target::Output, 1,
                     [&said](const records::WriteResult &r) { said = r.problem; });
    };
    if (writeOnLine) {
        switchOn();
    }
    poller.start();
    if (!writeOnLine) {
        switchOn();
    }
    // Then the emergency stop comes.
    Poller::OffResults results;
    bool finished = false;
    const int droppedCount = poller.allOutputsOff([&](const Poller::OffResults &r) {
        results = r;
        finished = true;
    });
    QCOMPARE(said, problem); // the switch-on ends before any switch-off goes out
    QCOMPARE(droppedCount, dropped);
    for (int i = 0; i < 5; ++i) {
        QVERIFY(line.answer());
    }
    QVERIFY(finished);
    QCOMPARE(line.sent.join(QLatin1Char(' ')), expected);
    QCOMPARE(line.overlaps, 0);
    QCOMPARE(results.size(), std::size_t(3));
    for (const auto &[address, result] : results) {
        QVERIFY2(result.confirmed, qPrintable(QString::number(address)));
    }
}

void TestBusPoller::lineGoesOnWhileHeldUp_data()
{
    // The window, told of something, shows a message box with its own event loop.
    QTest::addColumn<QString>("told");
    QTest::newRow("a reading") << "reading";
    QTest::newRow("a write's end") << "write";
    QTest::newRow("all outputs off's end") << "all off";
}

void TestBusPoller::lineGoesOnWhileHeldUp()
{
    QFETCH(QString, told);
    ScriptedLine line;
    Poller poller(line);
    poller.setShortestRound(std::chrono::milliseconds(0));
    poller.setAddresses({1, 2});
    int calls = 0;
    int readsWhileHeld = 0;
    const auto heldUp = [&] {
        if (calls++ > 0) {
            return;
        }
        // The box's event loop: the line's replies come while it is open.
        for (int i = 0; i < 3; ++i) {
            QCoreApplication::processEvents();
            if (line.answer()) {
                ++readsWhileHeld;
            }
        }
    };
    if (told == QStringLiteral("reading")) {
        connect(&poller, &Poller::readingTaken, this, heldUp);
    } else if (told == QStringLiteral("write")) {
        poller.write(2, records::Target::Voltage, 300,
                     [&](const records::WriteResult &) { heldUp(); });
    } else {
        poller.allOutputsOff([&](const Poller::OffResults &) { heldUp(); });
    }
    poller.start();
    for (int i = 0; i < 4 && calls == 0; ++i) {
        QVERIFY(line.answer());
    }
    QCOMPARE(calls > 0, true);
    QCOMPARE(readsWhileHeld, 3);
    QCOMPARE(line.overlaps, 0);
}

void TestBusPoller::writeOnReadingGoesFirst()
{
    // A ceiling's switch-off asked for on a reading goes out before the next read.
    ScriptedLine line;
    Poller poller(line);
    poller.setShortestRound(std::chrono::milliseconds(0));
    poller.setAddresses({1, 2, 3});
    bool asked = false;
    connect(&poller, &Poller::readingTaken, this, [&](const records::Reading &r) {
        if (!asked && r.row.address == 1) {
            asked = true;
            poller.write(1, records::Target::Output, 0, {});
        }
    });
    poller.start();
    for (int i = 0; i < 3; ++i) {
        QVERIFY(line.answer());
    }
    QCOMPARE(line.sent.join(QLatin1Char(' ')), QStringLiteral("r1 w1o0 r2 r3"));
}

void TestBusPoller::greyAfterSilence_data()
{
    QTest::addColumn<QString>("events"); // "g@ms" a good reading, "t@ms" a timeout
    QTest::addColumn<int>("at");
    QTest::addColumn<bool>("grey");
    QTest::addColumn<QString>("word");

    QTest::newRow("nothing yet, 1.9 s") << "" << 1999 << false << "no reply";
    QTest::newRow("nothing for 2 s") << "" << 2000 << true << "no reply";
    QTest::newRow("good, then timeouts for 2 s")
        << "g@500 t@1000 t@2400" << 2500 << true << "timeout";
    QTest::newRow("timeouts under 2 s after a good one")
        << "g@500 t@1000" << 2499 << false << "timeout";
    QTest::newRow("recovers by itself") << "t@1000 t@2100 g@3000" << 3100 << false << "timeout";
}

void TestBusPoller::greyAfterSilence()
{
    QFETCH(QString, events);
    QFETCH(int, at);
    QFETCH(bool, grey);
    QFETCH(QString, word);
    bus::SupplyState state(0);
    for (const QString &e : events.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        records::Reading r;
        if (e.startsWith(QLatin1Char('g'))) {
            r.row.reading = protocol::StatusReading{};
        } else {
            r.failure.error = Error::Timeout;
            r.row.failure = {Error::Timeout};
        }
        state.take(r, e.mid(2).toInt());
    }
    QCOMPARE(state.grey(at), grey);
    QCOMPARE(state.lastError(), word);
}

void TestBusPoller::addressListText_data()
{
    QTest::addColumn<QString>("addresses");
    QTest::addColumn<QString>("text");
    QTest::newRow("none") << ""
                          << "";
    QTest::newRow("one") << "5"
                         << "5";
    QTest::newRow("two in a row stay apart") << "1,2"
                                             << "1,2";
    QTest::newRow("three make a range") << "1,2,3,7"
                                        << "1-3,7";
    QTest::newRow("order kept") << "9,1,2,3"
                                << "9,1-3";
    QTest::newRow("the ends") << "1,2,3,245,246,247"
                              << "1-3,245-247";
}

void TestBusPoller::addressListText()
{
    QFETCH(QString, addresses);
    QFETCH(QString, text);
    QCOMPARE(bus::addressListText(addressesOf(addresses)), text);
}

void TestBusPoller::cardSwitch_data()
{
    // "on"/"off": a good reading with the output so; "t": a timeout; "start": a
    // switch goes out; "ok"/"fail": it ended confirmed or not; "doubt": a
    // ceiling's switch-off was not confirmed.
    QTest::addColumn<QString>("events");
    QTest::addColumn<QString>("offers"); // "on", "off" or "" (disabled)

    QTest::newRow("no reading yet") << ""
                                    << "";
    QTest::newRow("only timeouts") << "t t"
                                   << "";
    QTest::newRow("output on") << "on"
                               << "off";
    QTest::newRow("output off") << "off"
                                << "on";
    QTest::newRow("a timeout keeps the last state") << "on t"
                                                    << "off";
    QTest::newRow("while a switch goes out") << "off start"
                                             << "";
    QTest::newRow("confirmed by its read-back") << "off start on ok"
                                                << "off";
    // All outputs off on a supply that never answered.
    QTest::newRow("never answered, not confirmed") << "start fail"
                                                   << "off";
    QTest::newRow("not confirmed after an off reading") << "off start fail"
                                                        << "off";
    QTest::newRow("in doubt until a good reading") << "off start fail t"
                                                   << "off";
    QTest::newRow("a good reading settles it") << "on start fail off"
                                               << "on";
    QTest::newRow("a ceiling's switch-off in doubt") << "off doubt"
                                                     << "off";
}

void TestBusPoller::cardSwitch()
{
    QFETCH(QString, events);
    QFETCH(QString, offers);
    bus::SupplyCard card(9, 0);
    QSignalSpy asked(&card, &bus::SupplyCard::outputRequested);
    std::int64_t ms = 0;
    for (const QString &e : events.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        ms += 300;
        if (e == QStringLiteral("start")) {
            card.switchStarted();
        } else if (e == QStringLiteral("ok") || e == QStringLiteral("fail")) {
            card.switchEnded(e == QStringLiteral("ok"));
        } else if (e == QStringLiteral("doubt")) {
            card.outputInDoubt();
        } else {
            records::Reading r;
            r.row.address = 9;
            if (e == QStringLiteral("t")) {
                r.failure.error = Error::Timeout;
                r.row.failure = {Error::Timeout};
            } else {
                r.row.reading =
                    protocol::StatusReading{500, 1000, 500, 500, e == QStringLiteral("on"), 1};
            }
            card.take(r, ms);
        }
    }
    QPushButton *button = card.outputButton();
    QCOMPARE(button->isEnabled(), !offers.isEmpty());
    button->click();
    if (offers.isEmpty()) {
        QCOMPARE(asked.size(), 0);
        QVERIFY(!button->text().startsWith(QStringLiteral("Switch o")));
    } else {
        // It asks for what its label says.
        QCOMPARE(asked.size(), 1);
        QCOMPARE(asked.first().first().toBool(), offers == QStringLiteral("on"));
        QCOMPARE(button->text(), offers == QStringLiteral("on") ? QStringLiteral("Switch on")
                                                                : QStringLiteral("Switch off"));
    }
}

void TestBusPoller::sparklineRange_data()
{
    QTest::addColumn<double>("lowest");
    QTest::addColumn<double>("highest");
    QTest::addColumn<double>("span");
    QTest::addColumn<double>("low");
    QTest::addColumn<double>("high");
    // A steady value sits in the middle of its band, not at its top.
    QTest::newRow("steady volts") << 5.0 << 5.0 << 1.0 << 4.5 << 5.5;
    QTest::newRow("steady amps") << 0.5 << 0.5 << 0.1 << 0.45 << 0.55;
    QTest::newRow("a few counts") << 12.00 << 12.02 << 1.0 << 11.51 << 12.51;
    QTest::newRow("wider than the span") << 2.0 << 9.0 << 1.0 << 2.0 << 9.0;
    QTest::newRow("at zero, never below") << 0.0 << 0.0 << 0.1 << 0.0 << 0.1;
    QTest::newRow("near zero") << 0.01 << 0.02 << 0.1 << 0.0 << 0.1;
}

void TestBusPoller::sparklineRange()
{
    QFETCH(double, lowest);
    QFETCH(double, highest);
    QFETCH(double, span);
    QFETCH(double, low);
    QFETCH(double, high);
    const bus::Sparkline::Range range = bus::Sparkline::rangeOf(lowest, highest, span);
    QCOMPARE(range.low, low);
    QCOMPARE(range.high, high);
}

QTEST_MAIN(TestBusPoller)
#include "tst_buspoller.moc"
