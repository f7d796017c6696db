// The client over a Modbus TCP port, against a scripted gateway on a local
// QTcpServer: what each answer of a gateway becomes, a lost connection and its
// reopening by the keeper, and the tcp:// names.
#include "engine/client.h"
#include "line/networkport.h"
#include "line/portkeeper.h"
#include "protocol/frames.h"
#include "serial/commcontrol.h"

#include <QPointer>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <functional>
#include <memory>

using engine::Client;
using engine::Error;
using line::TcpPort;
using std::chrono::milliseconds;
using values::NetworkAddress;

namespace {

constexpr int kWaitMs = 5000;

// Set 12.34 V / 1.500 A, actual 12.32 V / 0.500 A, output on, CV: the PDU, and the
// RTU frame from address 1 with its CRC.
const QByteArray kStatusPdu = QByteArray::fromHex("030C04D205DC04D001F400010001");
const QByteArray kStatusRtu = QByteArray::fromHex("01030C04D205DC04D001F400010001E92B");
// The same values, other set voltage (10.00 V).
const QByteArray kOtherStatusPdu = QByteArray::fromHex("030C03E805DC04D001F400010001");

// One request as the gateway read it.
struct Request {
    quint16 transaction = 0;
    quint8 unit = 0;
    QByteArray pdu;
};

// A Modbus TCP frame written out by hand: transaction, protocol 0, length, unit.
QByteArray adu(quint16 transaction, quint8 unit, const QByteArray &pdu, quint16 protocolId = 0)
{
    QByteArray out;
    const auto word = [&out](quint16 w) {
        out.append(char(w >> 8));
        out.append(char(w & 0xFF));
    };
    word(transaction);
    word(protocolId);
    word(quint16(pdu.size() + 1));
    out.append(char(unit));
    return out + pdu;
}

// A gateway on 127.0.0.1 that answers each request as the test says.
class Gateway : public QObject {
public:
    using Answer = std::function<void(Gateway &, const Request &)>;

    Gateway()
    {
        QVERIFY(m_server.listen(QHostAddress::LocalHost));
        connect(&m_server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *socket = m_server.nextPendingConnection()) {
                m_peer = socket;
                ++connections;
                connect(socket, &QTcpSocket::readyRead, this, [this, socket] { read(socket); });
            }
        });
    }

    NetworkAddress address() const { return {QStringLiteral("127.0.0.1"), m_server.serverPort()}; }

    void send(const QByteArray &bytes)
    {
        if (m_peer) {
            m_peer->write(bytes);
        }
    }
    void answer(const Request &r, const QByteArray &pdu) { send(adu(r.transaction, r.unit, pdu)); }
    void drop()
    {
        if (m_peer) {
            m_peer->abort();
        }
    }

    Answer onRequest;
    QList<Request> requests;
    int connections = 0;

private:
    void read(QTcpSocket *socket)
    {
        m_buffer += socket->readAll();
        while (m_buffer.size() >= 7) {
            const int length = (quint8(m_buffer[4]) << 8) | quint8(m_buffer[5]);
            if (m_buffer.size() < 6 + length) {
                return;
            }
            Request r;
            r.transaction = quint16((quint8(m_buffer[0]) << 8) | quint8(m_buffer[1]));
            r.unit = quint8(m_buffer[6]);
            r.pdu = m_buffer.mid(7, length - 1);
            m_buffer.remove(0, 6 + length);
            requests << r;
            if (onRequest) {
                onRequest(*this, r);
            }
        }
    }

    QTcpServer m_server;
    QPointer<QTcpSocket> m_peer;
    QByteArray m_buffer;
};

// A port and its client, connected to `gateway`.
struct Rig {
    explicit Rig(const Gateway &gateway) : port(gateway.address())
    {
        port.setPortOpen(true);
        client.setTimeout(milliseconds(100));
        client.start();
    }
    TcpPort port;
    Client client{port};
};

QByteArray bytesOf(const protocol::Frame &frame)
{
    return QByteArray(reinterpret_cast<const char *>(frame.data()),
                      static_cast<qsizetype>(frame.size()));
}

engine::Reply *finished(engine::Reply *reply)
{
    if (!QTest::qWaitFor([reply] { return reply->isFinished(); }, kWaitMs)) {
        qWarning("no finished() within %d ms", kWaitMs);
    }
    return reply;
}

} // namespace

Q_DECLARE_METATYPE(Gateway::Answer)
Q_DECLARE_METATYPE(engine::Error)

class TestNetClient : public QObject {
    Q_OBJECT
private slots:
    void answers_data();
    void answers();
    void lateAnswerIsNamedNotTaken();
    void aSlotMayLetTheClientGo();
    void lostConnectionReopensThroughKeeper();
    void refusedConnectionIsNotFound();
    void names_data();
    void names();
};

void TestNetClient::answers_data()
{
    QTest::addColumn<bool>("write"); // else a status read of address 1
    QTest::addColumn<Gateway::Answer>("gateway");
    QTest::addColumn<Error>("error");
    QTest::addColumn<int>("exceptionCode"); // the supply's, or a gateway's own for its timeouts
    QTest::addColumn<QString>("detail");    // a part of errorText()
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<long>("foreign");

    const QByteArray writePdu = QByteArray::fromHex("0610060001"); // output on
    const QByteArray writeRtu = bytesOf(protocol::buildSwitchOutputRequest(1, true));
    using G = Gateway;
    using R = Request;
    QTest::addRow("read") << false << G::Answer([](G &g, const R &r) { g.answer(r, kStatusPdu); })
                          << Error::None << 0 << QString() << kStatusRtu << 0L;
    QTest::addRow("read in two pieces") << false << G::Answer([](G &g, const R &r) {
        const QByteArray whole = adu(r.transaction, r.unit, kStatusPdu);
        g.send(whole.left(5));
        QTimer::singleShot(20, &g, [&g, whole] { g.send(whole.mid(5)); });
    }) << Error::None << 0 << QString() << kStatusRtu
                                        << 0L;
    QTest::addRow("write echoed") << true << G::Answer([](G &g, const R &r) { g.answer(r, r.pdu); })
                                  << Error::None << 0 << QString() << writeRtu << 0L;
    QTest::addRow("write echo differs")
        << true
        << G::Answer([](G &g, const R &r) { g.answer(r, QByteArray::fromHex("0610060000")); })
        << Error::Foreign << 0 << QStringLiteral("differs")
        << QByteArray::fromHex("0106100600006D0B") << 1L;
    QTest::addRow("another transaction first") << false << G::Answer([](G &g, const R &r) {
        g.send(adu(quint16(r.transaction + 100), r.unit, kOtherStatusPdu));
        g.answer(r, kStatusPdu);
    }) << Error::None << 0 << QString() << kStatusRtu
                                               << 1L;
    QTest::addRow("another unit") << false << G::Answer([](G &g, const R &r) {
        g.send(adu(r.transaction, 2, kStatusPdu));
    }) << Error::Foreign << 0 << QString()
                                  << QByteArray::fromHex("02030C04D205DC04D001F400010001AA2A")
                                  << 1L;
    QTest::addRow("target failed 0x0B")
        << false << G::Answer([](G &g, const R &r) { g.answer(r, QByteArray::fromHex("830B")); })
        << Error::Timeout << 0x0B << QStringLiteral("failed to respond")
        << QByteArray::fromHex("01830B00F7") << 0L;
    QTest::addRow("path unavailable 0x0A")
        << false << G::Answer([](G &g, const R &r) { g.answer(r, QByteArray::fromHex("830A")); })
        << Error::Timeout << 0x0A << QStringLiteral("reaches no unit 1")
        << QByteArray::fromHex("01830AC137") << 0L;
    QTest::addRow("exception 2") << false << G::Answer([](G &g, const R &r) {
        g.answer(r, QByteArray::fromHex("8302"));
    }) << Error::Exception << 2 << QString()
                                 << QByteArray::fromHex("018302C0F1") << 0L;
    QTest::addRow("stopped short")
        << false
        << G::Answer([](G &g, const R &r) { g.answer(r, QByteArray::fromHex("030C04D205DC")); })
        << Error::Short << 0 << QString() << QByteArray() << 0L;
    QTest::addRow("silent") << false << G::Answer() << Error::Timeout << 0 << QString()
                            << QByteArray() << 0L;
    QTest::addRow("protocol id 7")
        << false
        << G::Answer([](G &g, const R &r) { g.send(adu(r.transaction, r.unit, kStatusPdu, 7)); })
        << Error::Port << 0 << QStringLiteral("no Modbus TCP (protocol id 7)") << QByteArray()
        << 0L;
    QTest::addRow("connection dropped")
        << false << G::Answer([](G &g, const R &) { g.drop(); }) << Error::Port << 0
        << QStringLiteral("closed the connection") << QByteArray() << 0L;
}

void TestNetClient::answers()
{
    QFETCH(bool, write);
    QFETCH(Gateway::Answer, gateway);
    QFETCH(Error, error);
    QFETCH(int, exceptionCode);
    QFETCH(QString, detail);
    QFETCH(QByteArray, bytes);
    QFETCH(long, foreign);

    Gateway g;
    g.onRequest = gateway;
    Rig rig(g);
    QSignalSpy failed(&rig.client, &Client::portFailed);
    std::unique_ptr<engine::Reply> reply(
        finished(write ? rig.client.write(protocol::buildSwitchOutputRequest(1, true))
                       : rig.client.readStatus(1)));
    QVERIFY(reply->isFinished());
    QCOMPARE(reply->error(), error);
    // A gateway's code on a timeout is the gateway's, never taken for the supply's.
    QCOMPARE(error == Error::Timeout ? reply->gatewayCode() : reply->exceptionCode(),
             exceptionCode);
    if (error == Error::Timeout) {
        QCOMPARE(reply->exceptionCode(), 0);
    }
    QVERIFY2(reply->errorText().contains(detail), qPrintable(reply->errorText()));
    if (!bytes.isEmpty() || error == Error::None) {
        QCOMPARE(reply->bytes().toHex(), bytes.toHex());
    }
    QCOMPARE(reply->reading().has_value(), error == Error::None && !write);
    QCOMPARE(rig.client.stats().foreign, foreign);
    QCOMPARE(rig.client.stats().requests, 1L);
    // The request is counted once by how it ended (foreign also counts frames of
    // no request of ours, so a foreign end is taken from the reply).
    const engine::LinkStats &s = rig.client.stats();
    QCOMPARE(s.replies + s.timeouts + s.badCrc + s.shortReplies + s.handedOver + s.interrupted +
                 s.portLost + s.refused + (error == Error::Foreign ? 1 : 0),
             1L);
    // The gateway got the request's PDU for the request's unit.
    QCOMPARE(g.requests.size(), 1);
    QCOMPARE(g.requests[0].unit, quint8(1));
    QCOMPARE(g.requests[0].pdu.toHex(),
             QByteArray(write ? "0610060001" : "0310000006")); // register 0x1006; 0x1000 x 6
    // Only a broken stream or connection is the port's failure, told once.
    QCOMPARE(failed.size() > 0 || QTest::qWaitFor([&] { return failed.size() > 0; }, 100),
             error == Error::Port);
    if (error == Error::Port) {
        QVERIFY(!rig.port.PortOpen());
        std::unique_ptr<engine::Reply> after(finished(rig.client.readStatus(1)));
        QCOMPARE(after->error(), Error::Port);
    }
}

void TestNetClient::lateAnswerIsNamedNotTaken()
{
    // The first request gets no answer in its wait; the gateway then answers it
    // (with other values) just before the second's.
    Gateway g;
    g.onRequest = [](Gateway &gw, const Request &r) {
        if (gw.requests.size() == 2) {
            gw.send(adu(gw.requests[0].transaction, 1, kOtherStatusPdu));
            gw.answer(r, kStatusPdu);
        }
    };
    Rig rig(g);
    std::unique_ptr<engine::Reply> first(finished(rig.client.readStatus(1)));
    QCOMPARE(first->error(), Error::Timeout);
    std::unique_ptr<engine::Reply> second(finished(rig.client.readStatus(1)));
    QCOMPARE(second->error(), Error::None);
    QCOMPARE(second->bytes().toHex(), kStatusRtu.toHex());
    const std::vector<engine::LateFrame> late = rig.client.takeLateFrames();
    QCOMPARE(late.size(), std::size_t(1));
    QCOMPARE(late[0].address, std::uint8_t(1));
    QVERIFY(late[0].afterMs >= 100 + TcpPort::kExtraWait.count());
    QCOMPARE(rig.client.stats().late, 1L);
    QCOMPARE(rig.client.stats().timeouts, 1L);
    QCOMPARE(rig.client.stats().foreign, 0L);
    QVERIFY(g.requests[1].transaction != g.requests[0].transaction);
}

// A reply's slot may end the client while more frames wait in the same read:
// the reply ends its request as the engine's last step, and nothing of the
// engine runs after it. (The port stays: a port is not deleted inside its own
// signal, whoever drives it.)
void TestNetClient::aSlotMayLetTheClientGo()
{
    Gateway g;
    g.onRequest = [](Gateway &gw, const Request &r) {
        gw.send(adu(r.transaction, r.unit, kStatusPdu) +
                adu(quint16(r.transaction + 1), r.unit, kOtherStatusPdu) +
                adu(quint16(r.transaction + 2), r.unit, kOtherStatusPdu));
    };
    TcpPort port(g.address());
    port.setPortOpen(true);
    auto client = std::make_unique<Client>(port);
    client->setTimeout(milliseconds(100));
    client->start();
    engine::Reply *reply = client->readStatus(1);
    int finishedCount = 0;
    connect(reply, &engine::Reply::finished, this, [&] {
        ++finishedCount;
        QCOMPARE(reply->error(), Error::None);
        client.reset(); // the reply goes with its client
    });
    QTRY_VERIFY_WITH_TIMEOUT(!client, kWaitMs);
    QTest::qWait(50); // what was left in the read would be taken up now
    QCOMPARE(finishedCount, 1);
}

void TestNetClient::lostConnectionReopensThroughKeeper()
{
    Gateway g;
    g.onRequest = [](Gateway &gw, const Request &r) {
        if (gw.requests.size() == 1) {
            gw.drop(); // mid-request
        } else {
            gw.answer(r, kStatusPdu);
        }
    };
    Rig rig(g);
    line::PortKeeper keeper(rig.port, rig.client, rig.port.name());
    QSignalSpy lost(&keeper, &line::PortKeeper::lost);
    QSignalSpy restored(&keeper, &line::PortKeeper::restored);

    std::unique_ptr<engine::Reply> cut(finished(rig.client.readStatus(1)));
    QCOMPARE(cut->error(), Error::Port);
    QTRY_COMPARE_WITH_TIMEOUT(lost.size(), 1, kWaitMs);
    // While it is away a request ends at once.
    std::unique_ptr<engine::Reply> away(finished(rig.client.readStatus(1)));
    QCOMPARE(away->error(), Error::Port);
    QTRY_COMPARE_WITH_TIMEOUT(restored.size(), 1, kWaitMs);
    QCOMPARE(g.connections, 2);
    std::unique_ptr<engine::Reply> back(finished(rig.client.readStatus(1)));
    QCOMPARE(back->error(), Error::None);
    QCOMPARE(lost.size(), 1);
    QVERIFY2(keeper.summary().startsWith(QStringLiteral("port tcp://127.0.0.1:")),
             qPrintable(keeper.summary()));
}

void TestNetClient::refusedConnectionIsNotFound()
{
    quint16 closedPort = 0;
    {
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost));
        closedPort = server.serverPort();
    }
    TcpPort port({QStringLiteral("127.0.0.1"), closedPort});
    try {
        port.setPortOpen(true);
        QFAIL("a refused connection opened");
    } catch (const serial::CommError &error) {
        QCOMPARE(error.number(), serial::kErrPortNotFound);
        QVERIFY2(QString::fromStdString(error.what()).contains(QStringLiteral("refused")),
                 error.what());
    }
    QVERIFY(!port.PortOpen());
    Client client(port);
    std::unique_ptr<engine::Reply> reply(finished(client.readStatus(1)));
    QCOMPARE(reply->error(), Error::Port);
}

void TestNetClient::names_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("host"); // empty: refused
    QTest::addColumn<int>("port");
    QTest::addColumn<QString>("name"); // or a part of the refusal

    QTest::newRow("host") << "tcp://bench-pc"
                          << "bench-pc" << 502 << "tcp://bench-pc:502";
    QTest::newRow("upper case") << "TCP://Bench-PC:7"
                                << "bench-pc" << 7 << "tcp://bench-pc:7";
    QTest::newRow("ipv6") << "tcp://[::1]:1502"
                          << "::1" << 1502 << "tcp://[::1]:1502";
    QTest::newRow("nothing") << "tcp://"
                             << "" << 0 << "no host";
    QTest::newRow("colon, no port") << "tcp://host:"
                                    << "" << 0 << "no port";
    QTest::newRow("port 0") << "tcp://host:0"
                            << "" << 0 << "1..65535";
    QTest::newRow("port too big") << "tcp://host:70000"
                                  << "" << 0 << "tcp://HOST[:PORT]";
    QTest::newRow("ipv6 without brackets") << "tcp://::1:502"
                                           << "" << 0 << "brackets";
    QTest::newRow("a path") << "tcp://host:502/x"
                            << "" << 0 << "only a host";
}

void TestNetClient::names()
{
    QFETCH(QString, text);
    QFETCH(QString, host);
    QFETCH(int, port);
    QFETCH(QString, name);

    QVERIFY(values::isNetworkPortName(text));
    QString error;
    const auto address = values::parseNetworkAddress(text, &error);
    QCOMPARE(address.has_value(), !host.isEmpty());
    if (!address) {
        QVERIFY2(error.contains(name), qPrintable(error));
        QVERIFY2(error.startsWith(QStringLiteral("port '%1'").arg(text)), qPrintable(error));
        return;
    }
    QCOMPARE(address->host, host);
    QCOMPARE(int(address->port), port);
    QCOMPARE(address->name(), name);
}

QTEST_GUILESS_MAIN(TestNetClient)
#include "tst_netclient.moc"
