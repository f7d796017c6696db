// The ceilings every program on a line holds, kept by the line's owner: the
// tightest on a supply refuses a write above it, whoever holds it, and ceilings
// leave with their source. Then the owner's gateway: it takes ceilings from
// programs of ours only, answers a refused write with the refusal's text (ours) or
// exception 3 (a network client), and drops a connection's ceilings with it.
#include "engine/ceilingregistry.h"
#include "engine/client.h"
#include "gateway/gateway.h"
#include "line/networkport.h"
#include "protocol/frames.h"
#include "support/fakecommcontrol.h"

#include <QTest>
#include <QTimer>

using engine::CeilingKind;
using engine::CeilingRegistry;
namespace mbap = protocol::mbap;

namespace {

// One step of a script: a source holds (value > 0) or releases (value 0) a
// ceiling, or goes altogether (value -1). Sources 1 and 2 are own, 3 a joiner's.
struct Step {
    int source;
    std::uint8_t address;
    CeilingKind kind;
    int value;
    const char *holder = "vantelctl serve";
};
using Script = std::vector<Step>;

QByteArray bytesOf(const mbap::Bytes &bytes)
{
    return QByteArray(reinterpret_cast<const char *>(bytes.data()),
                      static_cast<qsizetype>(bytes.size()));
}

} // namespace

Q_DECLARE_METATYPE(Script)
Q_DECLARE_METATYPE(protocol::Frame)

class TestCeilings : public QObject {
    Q_OBJECT
private slots:
    void refusals_data();
    void refusals();
    void trips_data();
    void trips();
    void typedCeilingsInCounts();
    void gatewayTakesCeilingsFromOursOnly_data();
    void gatewayTakesCeilingsFromOursOnly();
    void aJoinerRegistersWithEveryOwner();
    void aJoinerHearsWhatTheLineHolds();
};

void TestCeilings::refusals_data()
{
    QTest::addColumn<Script>("script");
    QTest::addColumn<protocol::Frame>("request");
    QTest::addColumn<QString>("refusal"); // empty: it may go out

    const auto v = CeilingKind::Voltage;
    const auto a = CeilingKind::Current;
    const auto p = CeilingKind::Power;
    const auto volts = [](std::uint8_t address, int code) {
        return protocol::buildSetVoltageRequest(address, std::uint16_t(code));
    };
    const auto amps = [](std::uint8_t address, int code) {
        return protocol::buildSetCurrentRequest(address, std::uint16_t(code));
    };
    const QString above10 =
        QStringLiteral("20.00 V is above the 10.00 V ceiling that vantelctl serve (pid 4121) "
                       "holds on COM3 address 5");

    QTest::newRow("none held") << Script{} << volts(5, 2000) << QString();
    QTest::newRow("above") << Script{{1, 5, v, 1000}} << volts(5, 2000) << above10;
    QTest::newRow("at the ceiling") << Script{{1, 5, v, 1000}} << volts(5, 1000) << QString();
    QTest::newRow("other address untouched")
        << Script{{1, 5, v, 1000}} << volts(4, 2000) << QString();
    QTest::newRow("current ceiling leaves voltage alone")
        << Script{{1, 5, a, 500}} << volts(5, 2000) << QString();
    QTest::newRow("current above")
        << Script{{1, 5, a, 500, "vantel"}} << amps(5, 1500)
        << QStringLiteral("1.500 A is above the 0.500 A ceiling that vantel (pid 4121) holds "
                          "on COM3 address 5");
    QTest::newRow("tightest wins, whoever holds it")
        << Script{{1, 5, v, 1500, "vantel"}, {3, 5, v, 1000}, {2, 5, v, 1200, "vantelctl run"}}
        << volts(5, 2000) << above10;
    QTest::newRow("a new value replaces the source's own")
        << Script{{1, 5, v, 500}, {1, 5, v, 1000}} << volts(5, 800) << QString();
    QTest::newRow("released, the next tightest holds")
        << Script{{3, 5, v, 500, "vantel"}, {1, 5, v, 1000}, {3, 5, v, 0}} << volts(5, 2000)
        << above10;
    QTest::newRow("a source gone takes all of its ceilings")
        << Script{{3, 5, v, 500}, {3, 5, a, 100}, {3, 6, v, 100}, {3, 0, v, -1}} << volts(5, 2000)
        << QString();
    QTest::newRow("another source's going leaves the rest")
        << Script{{3, 5, v, 500, "vantel"}, {1, 5, v, 1000}, {3, 0, v, -1}} << volts(5, 2000)
        << above10;
    QTest::newRow("a tie names the first holder")
        << Script{{1, 5, v, 1000}, {3, 5, v, 1000, "vantel"}} << volts(5, 2000) << above10;
    QTest::newRow("a power ceiling refuses no set value")
        << Script{{1, 5, p, 100}} << volts(5, 6000) << QString();
    QTest::newRow("other registers pass")
        << Script{{1, 5, v, 100}} << protocol::buildSwitchOutputRequest(5, true) << QString();
    // A supply under a ceiling keeps its address: its holder watches it there.
    const QString stays = QStringLiteral(
        "address 5 stays: vantelctl serve (pid 4121) holds a 10.00 V ceiling on COM3 address "
        "5, which would not follow the supply to address 9");
    QTest::newRow("an address change under a ceiling")
        << Script{{1, 5, v, 1000}} << protocol::buildSetAddressRequest(5, 9) << stays;
    QTest::newRow("an address change under a joiner's ceiling")
        << Script{{3, 5, v, 1000}} << protocol::buildSetAddressRequest(5, 9) << stays;
    QTest::newRow("an address change under a power ceiling")
        << Script{{1, 5, p, 2500}} << protocol::buildSetAddressRequest(5, 9)
        << QStringLiteral("address 5 stays: vantelctl serve (pid 4121) holds a 25.00 W ceiling "
                          "on COM3 address 5, which would not follow the supply to address 9");
    QTest::newRow("an address change with the ceiling released")
        << Script{{1, 5, v, 1000}, {1, 5, v, 0}} << protocol::buildSetAddressRequest(5, 9)
        << QString();
    QTest::newRow("an address change of another supply")
        << Script{{1, 5, v, 1000}} << protocol::buildSetAddressRequest(4, 9) << QString();
    // Nor does a supply move onto an address under a ceiling, whoever holds it.
    const QString onto = QStringLiteral(
        "address 5 is under a ceiling: vantel (pid 4121) holds a 1.000 A ceiling on COM3 "
        "address 5, which would hold the supply moved there from address 4");
    QTest::newRow("an address change onto a ceiling")
        << Script{{3, 5, a, 1000, "vantel"}} << protocol::buildSetAddressRequest(4, 5) << onto;
    QTest::newRow("an address change onto a ceiling in a write of several registers")
        << Script{{3, 5, a, 1000, "vantel"}}
        << protocol::withCrc({4, 0x10, 0x10, 0x08, 0x00, 0x01, 0x02, 0x00, 0x05}) << onto;
    QTest::newRow("an address change onto a released ceiling")
        << Script{{1, 5, v, 1000}, {1, 5, v, 0}} << protocol::buildSetAddressRequest(4, 5)
        << QString();
    QTest::newRow("an address change in a write of several registers")
        << Script{{1, 5, v, 1000}}
        << protocol::withCrc({5, 0x10, 0x10, 0x08, 0x00, 0x01, 0x02, 0x00, 0x09}) << stays;
    // Set voltage and current in one write of two registers.
    QTest::newRow("write of several registers")
        << Script{{1, 5, a, 500}}
        << protocol::withCrc({5, 0x10, 0x10, 0x00, 0x00, 0x02, 0x04, 0x03, 0xE8, 0x05, 0xDC})
        << QStringLiteral("1.500 A is above the 0.500 A ceiling that vantelctl serve (pid 4121) "
                          "holds on COM3 address 5");
}

void TestCeilings::refusals()
{
    QFETCH(Script, script);
    QFETCH(protocol::Frame, request);
    QFETCH(QString, refusal);

    CeilingRegistry registry;
    std::map<int, int> sources;
    for (int s = 1; s <= 3; ++s) {
        sources[s] = registry.addSource(s != 3);
    }
    for (const Step &step : script) {
        const int source = sources[step.source];
        if (step.value > 0) {
            registry.hold(source, step.address, step.kind, step.value, step.holder, 4121);
        } else if (step.value == 0) {
            registry.release(source, step.address, step.kind);
        } else {
            registry.dropSource(source);
        }
    }
    const auto why = registry.refusal(request, "COM3");
    QCOMPARE(why ? QString::fromStdString(*why) : QString(), refusal);
}

void TestCeilings::trips_data()
{
    QTest::addColumn<int>("volts"); // actual voltage, 10 mV
    QTest::addColumn<int>("amps");  // actual current, 1 mA
    QTest::addColumn<bool>("on");
    QTest::addColumn<bool>("resolution"); // the windows' slack of one count
    QTest::addColumn<QString>("trip");    // "kind reading ceiling", empty for none

    // Ceilings held: 12.00 V, 1.000 A, 10.00 W.
    QTest::newRow("within") << 1200 << 800 << true << false << QString();
    QTest::newRow("one count above the voltage") << 1201 << 800 << true << false << "V 1201 1200";
    QTest::newRow("one count above, with slack") << 1201 << 800 << true << true << QString();
    QTest::newRow("two counts above, with slack") << 1202 << 800 << true << true << "V 1202 1200";
    QTest::newRow("output off trips nothing") << 5000 << 3000 << false << false << QString();
    QTest::newRow("current above") << 500 << 1001 << true << false << "A 1001 1000";
    QTest::newRow("voltage is told before current")
        << 1300 << 1100 << true << false << "V 1300 1200";
    // 11.00 V at 0.950 A is 10.45 W; rounded to counts of 10 mW.
    QTest::newRow("power above") << 1100 << 950 << true << false << "W 1045 1000";
    // 10.01 W is within the 10 mW that one count of either factor adds.
    QTest::newRow("power within its slack") << 1001 << 1000 << true << true << QString();
    QTest::newRow("power just above without slack")
        << 1001 << 1000 << true << false << "W 1001 1000";
}

void TestCeilings::trips()
{
    QFETCH(int, volts);
    QFETCH(int, amps);
    QFETCH(bool, on);
    QFETCH(bool, resolution);
    QFETCH(QString, trip);

    CeilingRegistry registry;
    const int holder = registry.addSource(true);
    const int other = registry.addSource(false);
    registry.hold(holder, 5, CeilingKind::Voltage, 1200, "vantel", 1);
    registry.hold(holder, 5, CeilingKind::Current, 1000, "vantel", 1);
    registry.hold(holder, 5, CeilingKind::Power, 1000, "vantel", 1);
    // Another holder's tighter ceiling is its own to watch.
    registry.hold(other, 5, CeilingKind::Voltage, 100, "vantelctl run", 2);
    protocol::StatusReading reading;
    reading.actualVoltage = std::uint16_t(volts);
    reading.actualCurrent = std::uint16_t(amps);
    reading.outputOn = on;
    const auto slack = resolution ? engine::TripSlack::Resolution : engine::TripSlack::None;
    const auto tripped = registry.trip(holder, 5, reading, slack);
    const char *kinds[] = {"", "V", "A", "W"};
    QCOMPARE(tripped ? QStringLiteral("%1 %2 %3")
                           .arg(QLatin1String(kinds[int(tripped->kind)]))
                           .arg(tripped->reading)
                           .arg(tripped->ceiling)
                     : QString(),
             trip);
    // The same reading at an address with nothing held trips nothing.
    QVERIFY(!registry.trip(holder, 6, reading, slack));
}

// A typed ceiling is held in counts never above what was typed, and a set value
// is compared with it in counts: the windows and the line agree on every value.
void TestCeilings::typedCeilingsInCounts()
{
    const struct {
        CeilingKind kind;
        double typed;
        int counts;
    } cases[] = {
        {CeilingKind::Voltage, 12.34, 1234}, {CeilingKind::Voltage, 12.345, 1234},
        {CeilingKind::Voltage, 0.29, 29},    {CeilingKind::Current, 1.5, 1500},
        {CeilingKind::Current, 0.0015, 1},   {CeilingKind::Power, 25.0, 2500},
    };
    for (const auto &c : cases) {
        QCOMPARE(engine::ceilingCounts(c.kind, c.typed), c.counts);
    }
    engine::CeilingCounts held;
    held.volts = engine::ceilingCounts(CeilingKind::Voltage, 12.345);
    held.watts = 100;
    // 12.35 V is above a 12.345 V ceiling as it is held (12.34 V), in every face.
    QVERIFY(engine::refusesSetValue(held, CeilingKind::Voltage, 1235));
    QVERIFY(!engine::refusesSetValue(held, CeilingKind::Voltage, 1234));
    QVERIFY(!engine::refusesSetValue(held, CeilingKind::Current, 3200));
    QVERIFY(!engine::refusesSetValue(held, CeilingKind::Power, 9999));
}

namespace {

// Echoes every write at once, as a supply does.
class EchoLine : public testsupport::FakeCommControl {
    Q_OBJECT
public:
    EchoLine()
    {
        setPort(3, Port::Free);
        setCommPort(3);
        setPortOpen(true);
    }
    QList<QByteArray> written;

protected:
    void writeDevice(const QByteArray &bytes) override
    {
        FakeCommControl::writeDevice(bytes);
        written << bytes;
        QTimer::singleShot(2, this, [this, bytes] { feed(bytes); });
    }
};

QByteArray adu(std::uint16_t transaction, std::uint8_t unit, const mbap::Bytes &pdu)
{
    return bytesOf(mbap::encode({transaction, unit, pdu}));
}

} // namespace

void TestCeilings::gatewayTakesCeilingsFromOursOnly_data()
{
    QTest::addColumn<bool>("ours");
    QTest::newRow("a program of ours") << true;
    QTest::newRow("a network client") << false;
}

void TestCeilings::gatewayTakesCeilingsFromOursOnly()
{
    QFETCH(bool, ours);
    EchoLine line;
    engine::Client client(line);
    client.setTimeout(std::chrono::milliseconds(100));
    mbap::GatewayPolicy policy;
    policy.units = {5};
    gateway::Gateway gateway(client, policy);
    gateway.setNamesVerdicts(ours);

    // Answers apart: the notices of a request's turn that our programs get are left
    // out, and what they hear of the line's ceilings is kept as notes.
    QList<QByteArray> holderAnswers, writerAnswers, notes;
    auto answers = [&notes](QList<QByteArray> &into) {
        return [&into, &notes](const QByteArray &b) {
            const auto function = b.size() > 7 ? std::uint8_t(b[7]) : 0;
            if (function == mbap::kHoldCeiling || function == mbap::kReleaseCeiling) {
                notes << b;
            } else if (function != mbap::kNoticeFunction) {
                into << b;
            }
        };
    };
    const int holder = gateway.open({answers(holderAnswers), {}, {}, {}});
    const int writer = gateway.open({answers(writerAnswers), {}, {}, {}});
    const mbap::Bytes write20 = mbap::pduOf(protocol::buildSetVoltageRequest(5, 2000));

    gateway.receive(holder,
                    adu(0, 5, mbap::holdPdu({CeilingKind::Voltage, 1000, 77, "vantelctl run"})));
    gateway.receive(writer, adu(1, 5, write20));
    QTRY_COMPARE(writerAnswers.size(), 1);
    if (ours) {
        // Nothing went out; the writer hears why, and the hold itself is not answered.
        QVERIFY(line.written.isEmpty());
        QVERIFY(holderAnswers.isEmpty());
        const std::string why =
            "20.00 V is above the 10.00 V ceiling that vantelctl run (pid 77) holds on COM3 "
            "address 5";
        QCOMPARE(writerAnswers[0], adu(1, 5, mbap::refusalPdu(0x06, why)));
        QCOMPARE(client.ceilings().held().size(), std::size_t(1));
        // Both connections hear what the line now holds on the supply.
        const QByteArray held =
            adu(0, 5, mbap::holdPdu({CeilingKind::Voltage, 1000, 77, "vantelctl run"}));
        QCOMPARE(notes, (QList<QByteArray>{held, held}));
    } else {
        QVERIFY(notes.isEmpty());
        // A network client can neither hold nor release: its frame is an unknown function.
        QCOMPARE(holderAnswers.size(), 1);
        QCOMPARE(holderAnswers[0], adu(0, 5, mbap::exceptionPdu(0x42, mbap::kIllegalFunction)));
        QCOMPARE(line.written.size(), 1);
        QVERIFY(client.ceilings().held().empty());
    }

    // The holder's connection goes (its program ended, killed or not): its ceiling
    // goes with it, and the same write passes.
    notes.clear();
    gateway.close(holder);
    QVERIFY(client.ceilings().held().empty());
    if (ours) {
        QCOMPARE(notes, QList<QByteArray>{adu(0, 5, mbap::releasePdu(CeilingKind::Voltage))});
    }
    gateway.receive(writer, adu(2, 5, write20));
    QTRY_COMPARE(writerAnswers.size(), 2);
    QCOMPARE(writerAnswers[1], adu(2, 5, write20));

    // A refusal to a network client is exception 3.
    const int local = client.ceilings().addSource(true);
    client.ceilings().hold(local, 5, CeilingKind::Voltage, 1000, "vantelctl serve", 1);
    gateway.receive(writer, adu(3, 5, write20));
    QTRY_COMPARE(writerAnswers.size(), 3);
    if (!ours) {
        QCOMPARE(writerAnswers[2], adu(3, 5, mbap::exceptionPdu(0x06, mbap::kIllegalDataValue)));
    }
}

namespace {

// The local socket to a line's owner, as a joiner sees it: what it writes is kept.
class OwnerSocket : public engine::MbapPort {
    Q_OBJECT
public:
    OwnerSocket()
    {
        setCommPort(1);
        setPortOpen(true);
    }
    std::chrono::milliseconds extraWait() const override { return std::chrono::milliseconds(0); }
    QString name() const override { return QStringLiteral("the owner"); }
    bool namesVerdicts() const override { return true; }
    void handOver() { emit lineChanged(); }
    void feed(const QByteArray &bytes) { receive(bytes); }
    QList<QByteArray> written;

protected:
    void openDevice(int) override { m_open = true; }
    void closeDevice() override { m_open = false; }
    void probeDevice(int) override {}
    bool deviceIsOpen() const override { return m_open; }
    void writeDevice(const QByteArray &bytes) override { written << bytes; }

private:
    bool m_open = false;
};

} // namespace

// A joiner tells the owner its own tightest ceiling at each change, and all of
// them again when the line changes hands; what it heard of no one else's.
void TestCeilings::aJoinerRegistersWithEveryOwner()
{
    OwnerSocket socket;
    engine::Client client(socket);
    CeilingRegistry &ceilings = client.ceilings();
    const int run = ceilings.addSource(true);
    const int window = ceilings.addSource(true);
    // Another program's, as an owner would hold it: never passed on.
    ceilings.hold(ceilings.addSource(false), 5, CeilingKind::Voltage, 300, "vantel", 7);
    const auto hold = [](std::uint8_t unit, CeilingKind kind, int value, const char *holder) {
        return adu(0, unit, mbap::holdPdu({kind, std::uint16_t(value), 42, holder}));
    };
    ceilings.hold(run, 5, CeilingKind::Voltage, 1000, "vantelctl run", 42);
    ceilings.hold(window, 5, CeilingKind::Voltage, 1200, "vantel", 42); // not tighter: the same
    ceilings.hold(window, 6, CeilingKind::Current, 500, "vantel", 42);
    QCOMPARE(socket.written,
             (QList<QByteArray>{hold(5, CeilingKind::Voltage, 1000, "vantelctl run"),
                                hold(5, CeilingKind::Voltage, 1000, "vantelctl run"),
                                hold(6, CeilingKind::Current, 500, "vantel")}));
    socket.written.clear();
    ceilings.dropSource(run);
    ceilings.release(window, 6, CeilingKind::Current);
    QCOMPARE(socket.written,
             (QList<QByteArray>{hold(5, CeilingKind::Voltage, 1200, "vantel"),
                                adu(0, 6, mbap::releasePdu(CeilingKind::Current))}));
    socket.written.clear();
    socket.handOver();
    QCOMPARE(socket.written, (QList<QByteArray>{hold(5, CeilingKind::Voltage, 1200, "vantel")}));
}

// A joiner keeps what the owner says the line holds, shows it and refuses by it,
// and forgets it when the line changes hands; none of it goes back to the owner.
void TestCeilings::aJoinerHearsWhatTheLineHolds()
{
    OwnerSocket socket;
    engine::Client client(socket);
    client.start();
    const CeilingRegistry &ceilings = client.ceilings();
    socket.feed(adu(0, 5, mbap::holdPdu({CeilingKind::Voltage, 1000, 77, "vantelctl run"})) +
                adu(0, 6, mbap::holdPdu({CeilingKind::Current, 500, 78, "vantel"})));
    QTRY_COMPARE(ceilings.held().size(), std::size_t(2));
    const auto volts = ceilings.tightest(5, CeilingKind::Voltage);
    QVERIFY(volts);
    QCOMPARE(volts->value, 1000);
    QCOMPARE(volts->holderText(), std::string("vantelctl run (pid 77)"));
    QVERIFY(!client.refusalOf(protocol::buildSetVoltageRequest(5, 2000)).isEmpty());

    socket.feed(adu(0, 6, mbap::releasePdu(CeilingKind::Current)));
    QTRY_COMPARE(ceilings.held().size(), std::size_t(1));
    QVERIFY(socket.written.isEmpty());
    QCOMPARE(client.stats().foreign, 0L);

    socket.handOver();
    QVERIFY(ceilings.held().empty());
    QVERIFY(socket.written.isEmpty());
}

QTEST_GUILESS_MAIN(TestCeilings)
#include "tst_ceilings.moc"
