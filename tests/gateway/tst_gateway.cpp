// The Modbus TCP gateway on the engine, over a scripted serial control that
// answers each request it knows with given bytes a few milliseconds later, as a
// virtual port does. Connections are plain hooks: no sockets. RTU replies are
// pymodbus's (computeCRC); MBAP answers are written out by hand.
#include "engine/client.h"
#include "engine/session.h"
#include "gateway/gateway.h"
#include "protocol/frames.h"
#include "support/fakecommcontrol.h"

#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <memory>

using gateway::Gateway;

namespace {

QByteArray bytesOf(const protocol::Frame &frame)
{
    return QByteArray(reinterpret_cast<const char *>(frame.data()),
                      static_cast<qsizetype>(frame.size()));
}

QByteArray hex(const char *text)
{
    return QByteArray::fromHex(text);
}

// Supplies 1 and 4 answer; 3 is served but silent. 4's reply has a bad CRC.
class AnsweringLine : public testsupport::FakeCommControl {
    Q_OBJECT
public:
    AnsweringLine()
    {
        setPort(1, Port::Free);
        setCommPort(1);
        setPortOpen(true);
        const auto read = [](int unit, int reg, int count) {
            return bytesOf(protocol::buildRequest(std::uint8_t(unit),
                                                  protocol::kReadHoldingRegisters,
                                                  std::uint16_t(reg), std::uint16_t(count)));
        };
        replies[read(1, 0x1002, 2)] = hex("01030404D001F4FAED");
        replies[read(1, 0x2000, 1)] = hex("018302C0F1");
        replies[read(1, 0x1004, 1)] = hex("01030200017984");
        replies[read(4, 0x1002, 2)] = hex("04030404D001F4AFEE");
        replies[hex("0106100105DCDE03")] = hex("0106100105DCDE03");
    }

    QMap<QByteArray, QByteArray> replies;

protected:
    void writeDevice(const QByteArray &bytes) override
    {
        FakeCommControl::writeDevice(bytes);
        const QByteArray reply = replies.value(bytes);
        if (!reply.isEmpty()) {
            QTimer::singleShot(5, this, [this, reply] { feed(reply); });
        }
    }
};

// A connection: what it was sent, and why it was closed.
struct Peer {
    QList<QByteArray> answers;
    QString closed;
    int answered = 0;
};

struct Rig {
    AnsweringLine line;
    engine::Client client{line};
    Gateway gateway{client, {{1, 3, 4}, 0, 0, false}};

    Rig()
    {
        client.setTimeout(std::chrono::milliseconds(100));
        // A ceiling of 30.00 V / 2.000 A on supply 1, none below the supply's own on the rest.
        const int source = client.ceilings().addSource(true);
        client.ceilings().hold(source, 1, engine::CeilingKind::Voltage, 3000, "vantelctl serve", 1);
        client.ceilings().hold(source, 1, engine::CeilingKind::Current, 2000, "vantelctl serve", 1);
    }

    int open(Peer &peer, QList<QString> *log = nullptr, const QString &name = {})
    {
        return gateway.open({[&peer, log, name](const QByteArray &bytes) {
                                 peer.answers << bytes;
                                 if (log) {
                                     *log << name + QString::number((uchar(bytes[0]) << 8) |
                                                                    uchar(bytes[1]));
                                 }
                             },
                             {},
                             [&peer] { ++peer.answered; },
                             [&peer](const QString &why) { peer.closed = why; }});
    }
};

} // namespace

class TestGateway : public QObject {
    Q_OBJECT
private slots:
    void answers_data();
    void answers();
    void portAwayIsTargetFailed();
    void malformedClosesOnlyThatConnection_data();
    void malformedClosesOnlyThatConnection();
    void turnsAreFairAndAnswersInOrder();
    void aConnectionGoneWhileOnTheLine();
    void outlivesItsClient();
    void allOffOfTheProgramsSession_data();
    void allOffOfTheProgramsSession();
};

void TestGateway::answers_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<bool>("onLine");

    const auto row = [](const char *name, const char *request, const char *answer, bool onLine) {
        QTest::newRow(name) << hex(request) << hex(answer) << onLine;
    };
    // transaction, protocol 0, length, unit, PDU
    row("read passes through", "1234 0000 0006 01 03 1002 0002",
        "1234 0000 0007 01 03 04 04D0 01F4", true);
    row("write passes through", "0002 0000 0006 01 06 1001 05DC", "0002 0000 0006 01 06 1001 05DC",
        true);
    row("the supply's exception passes back", "0003 0000 0006 01 03 2000 0001",
        "0003 0000 0003 01 83 02", true);
    row("another function: 1", "0004 0000 0006 01 04 1000 0001", "0004 0000 0003 01 84 01", false);
    row("a unit not served: 0x0A", "0005 0000 0006 09 03 1000 0006", "0005 0000 0003 09 83 0A",
        false);
    row("62.01 V: 3", "0006 0000 0006 04 06 1000 1839", "0006 0000 0003 04 86 03", false);
    row("3.201 A: 3", "0007 0000 0006 04 06 1001 0C81", "0007 0000 0003 04 86 03", false);
    row("above a ceiling: 3", "0008 0000 0006 01 06 1000 0BB9", "0008 0000 0003 01 86 03", false);
    row("the address register: 2", "0009 0000 0006 01 06 1008 0002", "0009 0000 0003 01 86 02",
        false);
    row("a read of 126 registers: 3", "000A 0000 0006 01 03 1000 007E", "000A 0000 0003 01 83 03",
        false);
    row("a silent supply: 0x0B", "000B 0000 0006 03 03 1002 0002", "000B 0000 0003 03 83 0B", true);
    row("a reply with a bad CRC: 0x0B", "000C 0000 0006 04 03 1002 0002", "000C 0000 0003 04 83 0B",
        true);
}

void TestGateway::answers()
{
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, answer);
    QFETCH(bool, onLine);

    Rig rig;
    Peer peer;
    const int id = rig.open(peer);
    // In two pieces, as a socket may deliver it.
    rig.gateway.receive(id, request.left(5));
    QVERIFY(peer.answers.isEmpty());
    rig.gateway.receive(id, request.mid(5));
    QTRY_COMPARE(peer.answers.size(), 1);
    QCOMPARE(peer.answers.first().toHex(), answer.toHex());
    QCOMPARE(rig.line.written.size(), onLine ? 1 : 0);
    QTRY_COMPARE(peer.answered, 1);
    QVERIFY(!rig.gateway.working(id));
    QVERIFY(peer.closed.isEmpty());
}

void TestGateway::portAwayIsTargetFailed()
{
    Rig rig;
    rig.line.setPortOpen(false);
    Peer peer;
    rig.gateway.receive(rig.open(peer), hex("0001 0000 0006 01 03 1002 0002"));
    QTRY_COMPARE(peer.answers.size(), 1);
    QCOMPARE(peer.answers.first().toHex(), hex("0001 0000 0003 01 83 0B").toHex());
    QCOMPARE(rig.gateway.stats().failed, 1L);
}

void TestGateway::malformedClosesOnlyThatConnection_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("why");
    QTest::newRow("protocol id 7")
        << hex("0001 0007 0006 01 03 1002 0002") << QStringLiteral("protocol id 7");
    QTest::newRow("length over 254") << hex("0001 0000 012C 01") << QStringLiteral("length 300");
    QTest::newRow("no function code") << hex("0001 0000 0001 01") << QStringLiteral("length 1");
    // A good request, then a bad header: the good one is not answered either, as
    // the connection goes at once.
    QTest::newRow("after a good request")
        << hex("0001 0000 0006 01 03 1002 0002 0002 0001 0006") << QStringLiteral("protocol id 1");
}

void TestGateway::malformedClosesOnlyThatConnection()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, why);

    Rig rig;
    Peer bad;
    Peer good;
    const int badId = rig.open(bad);
    const int goodId = rig.open(good);
    rig.gateway.receive(badId, bytes);
    rig.gateway.receive(goodId, hex("0001 0000 0006 01 03 1002 0002"));
    QTRY_VERIFY(!bad.closed.isEmpty());
    QVERIFY2(bad.closed.contains(why), qPrintable(bad.closed));
    QTRY_COMPARE(good.answers.size(), 1);
    QCOMPARE(good.answers.first().toHex(), hex("0001 0000 0007 01 03 04 04D0 01F4").toHex());
    // Whatever the closed connection still sends is not read.
    rig.gateway.receive(badId, hex("0002 0000 0006 01 03 1002 0002"));
    QTest::qWait(50);
    QVERIFY(bad.answers.size() <= 1);
    QVERIFY(!rig.gateway.working(badId));
    QVERIFY(good.closed.isEmpty());
}

void TestGateway::turnsAreFairAndAnswersInOrder()
{
    Rig rig;
    Peer flood;
    Peer polite;
    QList<QString> log;
    const int floodId = rig.open(flood, &log, QStringLiteral("F"));
    const int politeId = rig.open(polite, &log, QStringLiteral("P"));
    // Eight pipelined requests in one piece; the third is refused without the line
    // and still answered in its place.
    QByteArray burst;
    for (int tid = 1; tid <= 8; ++tid) {
        const char *pdu = tid == 3 ? "04 1000 0001" : "03 1004 0001";
        burst += hex("00") + char(tid) + hex("0000 0006 01") + hex(pdu);
    }
    rig.gateway.receive(floodId, burst);
    rig.gateway.receive(politeId, hex("0100 0000 0006 01 03 1002 0002"));
    QTRY_COMPARE(flood.answers.size() + polite.answers.size(), 9);
    // The polite request waits for the one request of the flood on the line, and
    // the one in its turn before it at most.
    QVERIFY2(log.indexOf(QStringLiteral("P256")) <= 2, qPrintable(log.join(QLatin1Char(' '))));
    QList<QString> floodOrder = log;
    floodOrder.removeAll(QStringLiteral("P256"));
    QCOMPARE(floodOrder, (QList<QString>{"F1", "F2", "F3", "F4", "F5", "F6", "F7", "F8"}));
    QCOMPARE(flood.answers[2].toHex(), hex("0003 0000 0003 01 84 01").toHex());
    QCOMPARE(flood.answers[7].toHex(), hex("0008 0000 0005 01 03 02 0001").toHex());
    QCOMPARE(rig.line.written.size(), 8);
    QCOMPARE(rig.gateway.stats().requests, 9L);
    QCOMPARE(rig.gateway.stats().refused, 1L);
}

void TestGateway::aConnectionGoneWhileOnTheLine()
{
    Rig rig;
    Peer gone;
    Peer next;
    const int goneId = rig.open(gone);
    rig.gateway.receive(goneId, hex("0001 0000 0006 01 03 1002 0002"));
    QVERIFY(rig.gateway.busy());
    rig.gateway.close(goneId);
    rig.gateway.receive(rig.open(next), hex("0002 0000 0006 01 03 1004 0001"));
    QTRY_COMPARE(next.answers.size(), 1);
    QCOMPARE(next.answers.first().toHex(), hex("0002 0000 0005 01 03 02 0001").toHex());
    QVERIFY(gone.answers.isEmpty());
    // The gone connection's request was still waiting for the line: it never went.
    QCOMPARE(rig.line.written.size(), 1);
}

// A window's line host, and with it the gateway that tells joiners the line's
// ceilings, may be deleted after the client it serves; the gateway must then
// leave the client's registry alone (AddressSanitizer sees the fault).
void TestGateway::outlivesItsClient()
{
    AnsweringLine line;
    auto client = std::make_unique<engine::Client>(line);
    Gateway gateway{*client, {{1}, 0, 0, false}};
    gateway.setNamesVerdicts(true);
    client.reset();
}

// The gateway relays through the session its program's other faces use: their
// all-off drops a relayed write that waits for the line (0x0B, never sent) and
// leaves a relayed read to be answered.
void TestGateway::allOffOfTheProgramsSession_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<bool>("sent");
    QTest::newRow("write dropped")
        << hex("0002 0000 0006 01 06 1001 05DC") << hex("0002 0000 0003 01 86 0B") << false;
    QTest::newRow("read answered")
        << hex("0002 0000 0006 01 03 1004 0001") << hex("0002 0000 0005 01 03 02 0001") << true;
}

void TestGateway::allOffOfTheProgramsSession()
{
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, answer);
    QFETCH(bool, sent);
    AnsweringLine line;
    engine::Client client{line};
    client.setTimeout(std::chrono::milliseconds(100));
    engine::Session session{client};
    Gateway gateway{session, client, {{1}, 0, 0, false}};
    Peer first;
    Peer second;
    gateway.receive(
        gateway.open({[&first](const QByteArray &b) { first.answers << b; }, {}, {}, {}}),
        hex("0001 0000 0006 01 03 1002 0002"));
    gateway.receive(
        gateway.open({[&second](const QByteArray &b) { second.answers << b; }, {}, {}, {}}),
        request);
    session.allOff(session.addCaller(), {1}, [](const engine::AllOffOutcome &) {});
    QTRY_COMPARE(second.answers.size(), 1);
    QCOMPARE(second.answers.first().toHex(), answer.toHex());
    QTRY_COMPARE(first.answers.size(), 1);
    const auto wentOut = [&] {
        return std::any_of(line.written.begin(), line.written.end(), [&](const QByteArray &w) {
            return w.left(w.size() - 2) == request.mid(6);
        });
    };
    QCOMPARE(wentOut(), sent);
}

QTEST_GUILESS_MAIN(TestGateway)
#include "tst_gateway.moc"
