// The window's serial control over the engine, on a scripted line: every request
// the client puts on the line is answered by the next scripted piece, at the
// line's pace, or not at all.
#include "engine/client.h"
#include "line/enginecommcontrol.h"
#include "protocol/frames.h"
#include "protocol/mbap.h"
#include "support/fakecommcontrol.h"

#include <QTcpServer>
#include <QTcpSocket>

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

using engine::Client;
using engine::Error;
using line::EngineCommControl;
using std::chrono::milliseconds;
using testsupport::FakeCommControl;

namespace {

// Set 12.34 V / 1.500 A, actual 12.32 V / 0.500 A, output on, CV, from address 1.
const QByteArray kStatus = QByteArray::fromHex("01030C04D205DC04D001F400010001E92B");
// Exception 2 (illegal data address) to a read of address 1.
const QByteArray kException2 = QByteArray::fromHex("018302C0F1");

QByteArray bytesOf(const protocol::Frame &frame)
{
    return QByteArray(reinterpret_cast<const char *>(frame.data()),
                      static_cast<qsizetype>(frame.size()));
}

QByteArray readOf(std::uint8_t address)
{
    return bytesOf(protocol::buildReadStatusRequest(address));
}

// Answers each request with the next scripted bytes (empty: silence) 40 ms after
// it went out, later than any copy of the request could come.
class ScriptedPort : public FakeCommControl {
    Q_OBJECT
public:
    ScriptedPort() { setPort(1, Port::Free); }
    QList<QByteArray> answers;
    int answerAfterMs = 40;

protected:
    void writeDevice(const QByteArray &bytes) override
    {
        FakeCommControl::writeDevice(bytes);
        const QByteArray answer = answers.isEmpty() ? QByteArray() : answers.takeFirst();
        if (!answer.isEmpty()) {
            QTimer::singleShot(answerAfterMs, Qt::PreciseTimer, this, [this, answer] {
                if (PortOpen()) {
                    feed(answer);
                }
            });
        }
    }
};

// A Modbus TCP gateway on loopback that answers every request with the status
// reply of its unit, and can drop its connections.
class Gateway : public QObject {
public:
    Gateway()
    {
        server.listen(QHostAddress::LocalHost);
        connect(&server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *socket = server.nextPendingConnection()) {
                sockets << socket;
                connect(socket, &QTcpSocket::readyRead, socket, [socket] {
                    const QByteArray bytes = socket->readAll();
                    protocol::mbap::StreamReader reader;
                    reader.feed(reinterpret_cast<const std::uint8_t *>(bytes.constData()),
                                static_cast<std::size_t>(bytes.size()));
                    while (auto request = reader.next()) {
                        protocol::mbap::Adu answer = *request;
                        const protocol::Frame rtu(kStatus.begin(), kStatus.end());
                        answer.pdu = protocol::mbap::pduOf(rtu);
                        const auto out = protocol::mbap::encode(answer);
                        socket->write(reinterpret_cast<const char *>(out.data()),
                                      static_cast<qint64>(out.size()));
                    }
                });
            }
        });
    }
    QString url() const { return QStringLiteral("tcp://127.0.0.1:%1").arg(server.serverPort()); }
    void dropAll()
    {
        for (QTcpSocket *socket : std::as_const(sockets)) {
            socket->abort();
        }
    }

    QTcpServer server;
    QList<QTcpSocket *> sockets;
};

struct Rig {
    ScriptedPort port;
    Client client{port};
    EngineCommControl control{port, client};
    QSignalSpy events{&control, &serial::CommControl::OnComm};

    explicit Rig(int threshold = 17)
    {
        client.setStartQuiet(milliseconds(0));
        client.setTimeout(milliseconds(150));
        control.setNetworkTargets([](int) { return QString(); });
        control.setRThreshold(threshold);
        control.setCommPort(1);
        control.setPortOpen(true);
    }
    bool settled() { return control.requestsOutstanding() == 0 && client.idle(); }
};

// Counts what is left for a later pass of the event loop: deferred deletes and
// queued calls, to any object.
class PostedEvents : public QObject {
public:
    PostedEvents() { QCoreApplication::instance()->installEventFilter(this); }
    int count = 0;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::DeferredDelete || event->type() == QEvent::MetaCall) {
            ++count;
        }
        return QObject::eventFilter(watched, event);
    }
};

} // namespace

Q_DECLARE_METATYPE(engine::Error)
Q_DECLARE_METATYPE(testsupport::FakeCommControl::Port)

class TestEngineCommControl : public QObject {
    Q_OBJECT
private slots:
    void delivers_data();
    void delivers();
    void droppedByInBufferCount();
    void aPollLeavesNothingBehind_data();
    void aPollLeavesNothingBehind();
    void waitingPollsAreReplaced();
    void closedPortDeliversNothing();
    void portErrors_data();
    void portErrors();
    void lostPortClosesTheControl();
    void settingsReachThePort();
    void comNamingANetworkLine();
    void networkOpenEndsLater_data();
    void networkOpenEndsLater();
};

void TestEngineCommControl::delivers_data()
{
    QTest::addColumn<int>("threshold");
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<int>("events");
    QTest::addColumn<QByteArray>("waiting"); // in the receive buffer at the end
    QTest::addColumn<Error>("error");

    QByteArray badCrc = kStatus;
    badCrc[16] = char(badCrc[16] ^ 0xFF);
    const QByteArray setVolts = bytesOf(protocol::buildSetVoltageRequest(1, 1234));
    const QByteArray setAddress = bytesOf(protocol::buildSetAddressRequest(1, 7));

    QTest::newRow("a status reply raises the event")
        << 17 << readOf(1) << kStatus << 1 << kStatus << Error::None;
    QTest::newRow("a bad crc comes for the window to judge")
        << 17 << readOf(1) << badCrc << 1 << badCrc << Error::Crc;
    QTest::newRow("an exception waits below the threshold")
        << 17 << readOf(1) << kException2 << 0 << kException2 << Error::Exception;
    QTest::newRow("a cut reply waits below the threshold")
        << 17 << readOf(1) << kStatus.left(9) << 0 << kStatus.left(9) << Error::Short;
    // A window on the line itself reads what came before the reply too.
    const QByteArray junk("\xFF\x00\x55", 3);
    QTest::newRow("junk before a reply comes with it")
        << 17 << readOf(1) << junk + kStatus << 1 << junk + kStatus << Error::None;
    QTest::newRow("silence brings nothing")
        << 17 << readOf(1) << QByteArray() << 0 << QByteArray() << Error::Timeout;
    QTest::newRow("a write's echo waits below the status threshold")
        << 17 << setVolts << setVolts << 0 << setVolts << Error::None;
    QTest::newRow("the address write's echo raises its event")
        << 8 << setAddress << setAddress << 1 << setAddress << Error::None;
}

void TestEngineCommControl::delivers()
{
    QFETCH(int, threshold);
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, answer);
    QFETCH(int, events);
    QFETCH(QByteArray, waiting);
    QFETCH(Error, error);

    Rig rig(threshold);
    rig.port.answers << answer;
    QList<Error> replied;
    QObject::connect(&rig.control, &EngineCommControl::replied,
                     [&replied](const engine::Reply &reply) { replied << reply.error(); });
    rig.control.setOutput(request);
    QTRY_VERIFY(rig.settled());
    QTest::qWait(20); // nothing more comes
    QCOMPARE(rig.port.written, QList<QByteArray>{request});
    QCOMPARE(replied, QList<Error>{error});
    QCOMPARE(rig.events.size(), events);
    QCOMPARE(rig.control.InBufferCount(), waiting.size());
    QCOMPARE(rig.control.Input(), waiting);
}

void TestEngineCommControl::droppedByInBufferCount()
{
    Rig rig(0);
    rig.port.answers << kStatus;
    rig.control.setOutput(readOf(1));
    QTRY_VERIFY(rig.settled());
    QCOMPARE(rig.control.InBufferCount(), kStatus.size());
    rig.control.setInBufferCount(0);
    QCOMPARE(rig.control.InBufferCount(), 0);
    QVERIFY(rig.control.Input().isEmpty());
}

void TestEngineCommControl::aPollLeavesNothingBehind_data()
{
    QTest::addColumn<QByteArray>("answer");
    QTest::newRow("a status reply") << kStatus;
    QTest::newRow("an exception") << kException2;
    QTest::newRow("silence") << QByteArray();
}

// A poll's reply reaches the window in the pass of the event loop that brought its
// bytes, or its timeout: nothing is posted for another pass, which would wake the
// window once more every poll. The reply goes with the next request, or the close.
void TestEngineCommControl::aPollLeavesNothingBehind()
{
    QFETCH(QByteArray, answer);
    Rig rig;
    const PostedEvents posted;
    for (int poll = 0; poll < 3; ++poll) {
        rig.port.answers << answer;
        rig.control.setOutput(readOf(1));
        QCOMPARE(rig.client.findChildren<engine::Reply *>().size(), 1);
        QTRY_VERIFY_WITH_TIMEOUT(rig.settled(), 2000);
    }
    QCOMPARE(posted.count, 0);
    QCOMPARE(rig.events.size(), answer == kStatus ? 3 : 0);
    rig.control.setPortOpen(false);
    QVERIFY(rig.client.findChildren<engine::Reply *>().isEmpty());
}

void TestEngineCommControl::waitingPollsAreReplaced()
{
    // The supply is silent: every poll waits out the timeout. Polls that never
    // reached the line are replaced by the next request, writes never.
    Rig rig;
    const QByteArray setVolts = bytesOf(protocol::buildSetVoltageRequest(1, 1234));
    rig.control.setOutput(readOf(1));
    QTRY_COMPARE(rig.port.written.size(), 1);
    rig.control.setOutput(readOf(2)); // replaced by the write
    rig.control.setOutput(setVolts);
    rig.control.setOutput(readOf(3)); // replaced by the next
    rig.control.setOutput(readOf(4));
    QTRY_VERIFY_WITH_TIMEOUT(rig.settled(), 2000);
    QCOMPARE(rig.port.written, (QList<QByteArray>{readOf(1), setVolts, readOf(4)}));

    // A poll of an address that just timed out waits for a quiet line before it
    // goes; the next poll replaces it even then.
    rig.port.written.clear();
    rig.control.setOutput(readOf(1));
    QTRY_COMPARE(rig.port.written.size(), 1);
    QTest::qWait(160); // timed out: address 1 waits for quiet
    rig.control.setOutput(readOf(1));
    QTest::qWait(10);
    QCOMPARE(rig.port.written.size(), 1);
    rig.control.setOutput(readOf(5));
    QTRY_VERIFY_WITH_TIMEOUT(rig.settled(), 2000);
    QCOMPARE(rig.port.written, (QList<QByteArray>{readOf(1), readOf(5)}));
    QCOMPARE(rig.events.size(), 0);
}

void TestEngineCommControl::closedPortDeliversNothing()
{
    // A reply to a request of before the close never reaches the reopened port.
    Rig rig;
    rig.port.answers << kStatus;
    // Late enough that the port is closed and open again before it comes, however
    // slowly the wait for the request below is polled.
    rig.port.answerAfterMs = 150;
    rig.control.setOutput(readOf(1));
    QTRY_COMPARE(rig.port.written.size(), 1);
    rig.control.setPortOpen(false);
    rig.control.setPortOpen(true);
    QTest::qWait(200);
    QCOMPARE(rig.events.size(), 0);
    QCOMPARE(rig.control.InBufferCount(), 0);
    QTRY_VERIFY(rig.client.idle());
}

void TestEngineCommControl::portErrors_data()
{
    QTest::addColumn<FakeCommControl::Port>("state");
    QTest::addColumn<int>("error");
    QTest::newRow("not found") << FakeCommControl::Port::Absent << serial::kErrPortNotFound;
    QTest::newRow("occupied") << FakeCommControl::Port::Busy << serial::kErrPortInUse;
    QTest::newRow("no access") << FakeCommControl::Port::NoAccess << serial::kErrNoAccess;
    QTest::newRow("free") << FakeCommControl::Port::Free << 0;
}

void TestEngineCommControl::portErrors()
{
    QFETCH(FakeCommControl::Port, state);
    QFETCH(int, error);

    ScriptedPort port;
    Client client(port);
    EngineCommControl control(port, client);
    port.setPort(2, state);
    QCOMPARE(control.probePort(2), error);
    control.setCommPort(2);
    int opened = 0;
    try {
        control.setPortOpen(true);
    } catch (const serial::CommError &failure) {
        opened = failure.number();
    }
    QCOMPARE(opened, error);
    QCOMPARE(control.PortOpen(), error == 0);
    QCOMPARE(port.PortOpen(), error == 0);
    QCOMPARE(control.CommPort(), 2);
    if (error == 0) {
        // Open, the port number stays; a frame the supply never gets is refused.
        QVERIFY_THROWS_EXCEPTION(serial::CommError, control.setCommPort(3));
        QVERIFY_THROWS_EXCEPTION(serial::CommError, control.setOutput(QByteArray("AT\r\n")));
        control.setPortOpen(false);
        QVERIFY(!port.PortOpen());
    }
    try {
        control.setOutput(readOf(1));
        QFAIL("a closed port took a request");
    } catch (const serial::CommError &failure) {
        QCOMPARE(failure.number(), serial::kErrPortNotOpen);
    }
}

void TestEngineCommControl::lostPortClosesTheControl()
{
    Rig rig;
    QSignalSpy lost(&rig.control, &serial::CommControl::portLost);
    rig.control.setOutput(readOf(1));
    QTRY_COMPARE(rig.port.written.size(), 1);
    rig.port.unplug();
    QCOMPARE(lost.size(), 1);
    QVERIFY(!rig.control.PortOpen());
    QTRY_VERIFY(rig.client.idle());
    QCOMPARE(rig.events.size(), 0);
}

void TestEngineCommControl::settingsReachThePort()
{
    Rig rig;
    rig.control.setSettings(QStringLiteral("19200,e,8,1"));
    QCOMPARE(rig.port.Settings(), QStringLiteral("19200,e,8,1"));
    rig.control.setPortOpen(false);
    rig.control.setSettings(QStringLiteral("9600,n,8,2"));
    rig.control.setPortOpen(true);
    QCOMPARE(rig.port.Settings(), QStringLiteral("9600,n,8,2"));
    // The window's receive threshold is its own: the client sets the port's.
    rig.control.setRThreshold(0);
    QVERIFY(rig.port.RThreshold() > 0);
}

// COM5 names a Modbus TCP gateway: the search finds it, the window's reads go
// over the network and come back as RTU bytes, a dropped connection is a lost
// port, a gateway gone is a port not found; COM1 is still the serial line.
void TestEngineCommControl::comNamingANetworkLine()
{
    Rig rig;
    rig.port.answers << kStatus;
    auto gateway = std::make_unique<Gateway>();
    const QString url = gateway->url();
    rig.control.setNetworkTargets([&url](int port) { return port == 5 ? url : QString(); });
    rig.control.setPortOpen(false);
    QCOMPARE(rig.control.probePort(5), 0);
    QSignalSpy ended(&rig.control, &serial::CommControl::openEnded);
    rig.control.setCommPort(5);
    rig.control.setPortOpen(true);
    QVERIFY(rig.control.PortOpening());
    QVERIFY(!rig.control.PortOpen());
    QTRY_COMPARE(ended.size(), 1);
    QCOMPARE(ended.first().first().toInt(), 0);
    QVERIFY(rig.control.PortOpen());
    QVERIFY(&rig.control.client() != &rig.client);
    rig.control.setOutput(readOf(1));
    QTRY_COMPARE(rig.events.size(), 1);
    QCOMPARE(rig.control.Input(), kStatus);
    QVERIFY(rig.port.written.isEmpty()); // nothing went to the serial line

    QSignalSpy lost(&rig.control, &serial::CommControl::portLost);
    gateway->dropAll();
    QTRY_COMPARE(lost.size(), 1);
    QVERIFY(!rig.control.PortOpen());

    gateway.reset();
    QCOMPARE(rig.control.probePort(5), serial::kErrPortNotFound);
    rig.control.setPortOpen(true);
    QTRY_COMPARE(ended.size(), 2);
    QCOMPARE(ended.last().first().toInt(), serial::kErrPortNotFound);
    QVERIFY(!rig.control.PortOpen());
    QVERIFY(!rig.control.PortOpening());

    rig.control.setCommPort(1);
    rig.control.setPortOpen(true);
    QCOMPARE(&rig.control.client(), &rig.client);
    rig.control.setOutput(readOf(1));
    QTRY_COMPARE(rig.events.size(), 2);
    QCOMPARE(rig.control.Input(), kStatus);
}

// A network line's open never waits: it ends later, open or with the reason,
// within its bounds whatever the host does; a close on the way ends it unheard.
void TestEngineCommControl::networkOpenEndsLater_data()
{
    QTest::addColumn<QString>("host");
    QTest::addColumn<bool>("closeOnTheWay");
    QTest::addColumn<int>("error");
    QTest::addColumn<QString>("reason");
    // Names the fake lookup knows: "gateway" is loopback, "gone" has no address,
    // "silent" is never answered; a listener that is there accepts.
    QTest::newRow("opens") << "gateway" << false << 0 << "";
    QTest::newRow("host not found") << "gone" << false << int(serial::kErrPortNotFound)
                                    << "the host gone was not found: no such host";
    QTest::newRow("lookup never answers") << "silent" << false << int(serial::kErrPortNotFound)
                                          << "the host silent was not found within 3 s";
    QTest::newRow("refused") << "nobody" << false << int(serial::kErrPortNotFound)
                             << "Connection refused";
    QTest::newRow("closed on the way") << "silent" << true << -1 << "";
}

void TestEngineCommControl::networkOpenEndsLater()
{
    QFETCH(QString, host);
    QFETCH(bool, closeOnTheWay);
    QFETCH(int, error);
    QFETCH(QString, reason);
    Rig rig;
    Gateway gateway;
    quint16 port = gateway.server.serverPort();
    if (host == QLatin1String("nobody")) {
        QTcpServer gone; // a port nobody listens on any more
        QVERIFY(gone.listen(QHostAddress::LocalHost));
        port = gone.serverPort();
    }
    const QString url = QStringLiteral("tcp://%1:%2").arg(host).arg(port);
    rig.control.setPortOpen(false);
    rig.control.setNetworkTargets([&url](int n) { return n == 5 ? url : QString(); });
    int lookups = 0;
    rig.control.setHostLookup(
        [&lookups](const QString &name, QObject *context,
                   std::function<void(const QList<QHostAddress> &, const QString &)> done) {
            ++lookups;
            if (name == QLatin1String("silent")) {
                return;
            }
            QTimer::singleShot(5, context, [name, done] {
                if (name == QLatin1String("gone")) {
                    done({}, QStringLiteral("no such host"));
                } else {
                    done({QHostAddress(QHostAddress::LocalHost)}, QString());
                }
            });
        });
    QSignalSpy ended(&rig.control, &serial::CommControl::openEnded);
    rig.control.setCommPort(5);
    rig.control.setPortOpen(true);
    // Nothing of the open waited: the look-up answers from the event loop.
    QCOMPARE(ended.size(), 0);
    QVERIFY(rig.control.PortOpening());
    QCOMPARE(lookups, 1);
    if (closeOnTheWay) {
        rig.control.setPortOpen(false);
        QVERIFY(!rig.control.PortOpening());
        QTest::qWait(50);
        QCOMPARE(ended.size(), 0);
        QVERIFY(!rig.control.PortOpen());
        QVERIFY(gateway.sockets.size() <= 1);
        return;
    }
    QTRY_COMPARE_WITH_TIMEOUT(ended.size(), 1, 10000);
    QCOMPARE(ended.first().at(0).toInt(), error);
    QVERIFY2(ended.first().at(1).toString().contains(reason, Qt::CaseInsensitive),
             qPrintable(ended.first().at(1).toString()));
    QCOMPARE(rig.control.PortOpen(), error == 0);
    QVERIFY(!rig.control.PortOpening());
    if (error == 0) {
        rig.control.setOutput(readOf(1));
        QTRY_COMPARE(rig.events.size(), 1);
        QCOMPARE(rig.control.Input(), kStatus);
    }
}

QTEST_GUILESS_MAIN(TestEngineCommControl)
#include "tst_enginecommcontrol.moc"
