// vantelctl's request and reply over the QSerialPort control on pseudo-terminals:
// the test plays the supply on the master side, on timers, while the link waits.
#include "ctl/link.h"
#include "protocol/crc16.h"
#include "serial/makecommcontrol.h"
#include "support/ptyports.h"

#include <QElapsedTimer>
#include <QSocketNotifier>
#include <QTest>
#include <QTimer>

using ctl::Link;
using ctl::milliseconds;
using ctl::Outcome;

namespace {

// Set 12.34 V / 1.500 A, actual 12.32 V / 0.500 A, output on, CV, from address 1.
const QByteArray kStatus = QByteArray::fromHex("01030C04D205DC04D001F400010001E92B");
// All values 0, from address 1; and the same reading from address 2.
const QByteArray kZeroStatus = QByteArray::fromHex("01030C000000000000000000000000"
                                                   "9370");
const QByteArray kStatusFrom2 = QByteArray::fromHex("02030C04D205DC04D001F400010001AA2A");
// The status read of address 1, as an echoing adapter gives it back.
const QByteArray kRequest = QByteArray::fromHex("010310000006C108");

QByteArray withCrc(QByteArray frame)
{
    const auto crc = protocol::CRC16(reinterpret_cast<const std::uint8_t *>(frame.constData()),
                                     static_cast<std::size_t>(frame.size()));
    return frame + char(crc[1]) + char(crc[0]);
}

// A piece of the supply's answer: `bytes` sent `atMs` after the request.
struct Piece {
    int atMs;
    QByteArray bytes;
};
using Script = QList<Piece>;

Script byteByByte(const QByteArray &bytes, int everyMs)
{
    Script script;
    for (int i = 0; i < bytes.size(); ++i) {
        script << Piece{i * everyMs, bytes.mid(i, 1)};
    }
    return script;
}

} // namespace

Q_DECLARE_METATYPE(Script)

class TestCtlLink : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void replies_data();
    void replies();
    void lateBytesOfAnEarlierReplyAreDropped();
    void firstByteWaitOnlyBoundsTheStart();
    void interruptEndsTheWaitAndRefusesMore();
    void silenceBeforeEveryRequest();
    void lateReplyOfAnotherAddressIsNoted();
    void lateReplyIsNeverTakenForTheNextRequest();
    void echoAloneNeverConfirmsAWrite();
    void devicePathInsteadOfComName();
    void pulledAdapterIsAPortFailure();

private:
    // Plays `script` and runs one status read of address 1.
    ctl::Reply play(const Script &script, std::optional<milliseconds> firstByte = {});
    // Plays `script` on COMn, timed from the moment the next request arrives
    // there: what the line held before that is cleared by the request.
    void answer(int port, const Script &script);

    std::unique_ptr<testsupport::PtyPorts> m_ports;
    std::unique_ptr<serial::BufferedCommControl> m_comm;
    std::unique_ptr<Link> m_link;
};

void TestCtlLink::init()
{
    m_ports = std::make_unique<testsupport::PtyPorts>();
    QVERIFY(!m_ports->add(1).isEmpty());
    m_comm = serial::makeCommControl();
    m_comm->setCommPort(1);
    m_comm->setPortOpen(true);
    m_link = std::make_unique<Link>(*m_comm);
    m_link->setReplyTimeout(milliseconds(500));
}

void TestCtlLink::cleanup()
{
    m_link.reset();
    m_comm.reset();
    m_ports.reset();
}

void TestCtlLink::answer(int port, const Script &script)
{
    // Earlier requests nobody read would count as this one.
    const int device = m_ports->master(port);
    char stale[256];
    while (::read(device, stale, sizeof stale) > 0) {
    }
    auto *request = new QSocketNotifier(device, QSocketNotifier::Read, m_link.get());
    connect(request, &QSocketNotifier::activated, request, [this, request, port, script] {
        request->setEnabled(false);
        request->deleteLater();
        for (const Piece &piece : script) {
            QTimer::singleShot(piece.atMs, m_link.get(),
                               [this, port, bytes = piece.bytes] { m_ports->send(port, bytes); });
        }
    });
}

ctl::Reply TestCtlLink::play(const Script &script, std::optional<milliseconds> firstByte)
{
    answer(1, script);
    return m_link->readStatus(1, firstByte);
}

void TestCtlLink::replies_data()
{
    QTest::addColumn<Script>("script");
    QTest::addColumn<int>("outcome");
    QTest::addColumn<int>("exceptionCode");

    const QByteArray exception2 = withCrc(QByteArray::fromHex("018302"));
    QByteArray badCrc = kStatus;
    badCrc[16] = char(badCrc[16] ^ 0xFF);
    QByteArray otherAddress = kStatus;
    otherAddress[0] = 2;
    const QByteArray otherByteCount = withCrc(QByteArray::fromHex("01030A04D205DC04D001F4000100"));
    const QByteArray writeEcho = withCrc(QByteArray::fromHex("010610060001"));

    QTest::newRow("whole") << Script{{0, kStatus}} << int(Outcome::Ok) << 0;
    QTest::newRow("split in two") << Script{{0, kStatus.left(5)}, {20, kStatus.mid(5)}}
                                  << int(Outcome::Ok) << 0;
    QTest::newRow("byte by byte") << byteByByte(kStatus, 3) << int(Outcome::Ok) << 0;
    QTest::newRow("junk after") << Script{{0, kStatus + "\xFF\x00\x55"}} << int(Outcome::Ok) << 0;
    QTest::newRow("junk before") << Script{{0, QByteArray("\xFF\x00\x55", 3) + kStatus}}
                                 << int(Outcome::Foreign) << 0;
    // A whole frame of another address is no answer: the wait goes on.
    QTest::newRow("another address") << Script{{0, kStatusFrom2}} << int(Outcome::Timeout) << 0;
    QTest::newRow("another address, then ours")
        << Script{{0, kStatusFrom2}, {30, kStatus}} << int(Outcome::Ok) << 0;
    QTest::newRow("another address, bad crc")
        << Script{{0, otherAddress}} << int(Outcome::Foreign) << 0;
    QTest::newRow("the adapter's echo, then the reply")
        << Script{{0, kRequest}, {20, kStatus}} << int(Outcome::Ok) << 0;
    QTest::newRow("another byte count")
        << Script{{0, otherByteCount}} << int(Outcome::Foreign) << 0;
    QTest::newRow("a write echo") << Script{{0, writeEcho}} << int(Outcome::Foreign) << 0;
    QTest::newRow("bad crc") << Script{{0, badCrc}} << int(Outcome::BadCrc) << 0;
    QTest::newRow("exception") << Script{{0, exception2}} << int(Outcome::Exception) << 2;
    QTest::newRow("silence") << Script{} << int(Outcome::Timeout) << 0;
    QTest::newRow("cut short") << Script{{0, kStatus.left(9)}} << int(Outcome::Short) << 0;
    QTest::newRow("too slow to finish") << byteByByte(kStatus, 60) << int(Outcome::Short) << 0;
}

void TestCtlLink::replies()
{
    QFETCH(Script, script);
    QFETCH(int, outcome);
    QFETCH(int, exceptionCode);
    const ctl::Reply reply = play(script);
    QCOMPARE(int(reply.outcome), outcome);
    QCOMPARE(reply.exceptionCode, exceptionCode);
    if (reply.ok()) {
        QCOMPARE(reply.bytes, kStatus);
    }
    // The request went out as built.
    QCOMPARE(m_ports->receive(1, 8), QByteArray::fromHex("010310000006C108"));
    const ctl::LinkStats &stats = m_link->stats();
    QCOMPARE(stats.requests, 1L);
    const long foreignOutcome = reply.outcome == Outcome::Foreign ? 1 : 0;
    QCOMPARE(stats.replies + stats.timeouts + stats.badCrc + foreignOutcome + stats.shortReplies,
             1L);
    QCOMPARE(long(stats.roundTripsMs.size()), stats.replies);
}

void TestCtlLink::lateBytesOfAnEarlierReplyAreDropped()
{
    // The tail of a reply that came after its wait ended waits in the line.
    m_ports->send(1, kStatus.mid(4));
    QTest::qWait(30);
    const ctl::Reply reply = play({{10, kStatus}});
    QCOMPARE(int(reply.outcome), int(Outcome::Ok));
    QCOMPARE(reply.bytes, kStatus);
}

void TestCtlLink::firstByteWaitOnlyBoundsTheStart()
{
    // Nothing by the first-byte wait: a timeout, though the reply timeout would
    // have taken the reply that comes later.
    QCOMPARE(int(play({{150, kStatus}}, milliseconds(40)).outcome), int(Outcome::Timeout));
    QTest::qWait(200); // the late reply comes and is left behind

    // A reply that begins in time may take the whole reply timeout to finish.
    const ctl::Reply slow = play(byteByByte(kStatus, 8), milliseconds(40));
    QCOMPARE(int(slow.outcome), int(Outcome::Ok));
}

void TestCtlLink::interruptEndsTheWaitAndRefusesMore()
{
    m_link->setReplyTimeout(milliseconds(10000));
    QTimer::singleShot(50, m_link.get(), [this] { m_link->interrupt(); });
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(int(m_link->readStatus(1).outcome), int(Outcome::Interrupted));
    QVERIFY2(clock.elapsed() < 5000, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(int(m_link->readStatus(1).outcome), int(Outcome::Interrupted));
    QVERIFY(!m_link->sleep(milliseconds(10000)));
    QCOMPARE(m_link->stats().requests, 1L);
}

void TestCtlLink::silenceBeforeEveryRequest()
{
    // The supply answers each request at once; the next request may not start
    // within 3.5 character times (3.65 ms) of the reply's last byte. The time of
    // that byte is taken before the test writes it, so before the link can read it.
    QElapsedTimer clock;
    clock.start();
    std::vector<qint64> requestNs;
    std::vector<qint64> replyNs;
    const int device = m_ports->master(1);
    QSocketNotifier supply(device, QSocketNotifier::Read);
    connect(&supply, &QSocketNotifier::activated, this, [&] {
        char request[64];
        while (::read(device, request, sizeof request) > 0) {
        }
        requestNs.push_back(clock.nsecsElapsed());
        replyNs.push_back(clock.nsecsElapsed());
        m_ports->send(1, kStatus);
    });
    for (int i = 0; i < 5; ++i) {
        QCOMPARE(int(m_link->readStatus(1).outcome), int(Outcome::Ok));
    }
    QCOMPARE(requestNs.size(), std::size_t(5));
    for (std::size_t i = 1; i < requestNs.size(); ++i) {
        const qint64 silence = requestNs[i] - replyNs[i - 1];
        QVERIFY2(silence >= 3'645'000, qPrintable(QString::number(silence)));
    }
}

void TestCtlLink::lateReplyOfAnotherAddressIsNoted()
{
    // Address 2 times out; its reply comes during the wait for address 1, which
    // still gets its own.
    m_link->setReplyTimeout(milliseconds(80));
    QCOMPARE(int(m_link->readStatus(2).outcome), int(Outcome::Timeout));
    answer(1, {{5, kStatusFrom2}, {40, kStatus}});
    const ctl::Reply reply = m_link->readStatus(1);
    QCOMPARE(int(reply.outcome), int(Outcome::Ok));
    QCOMPARE(reply.bytes, kStatus);
    const std::vector<ctl::LateFrame> late = m_link->takeLateFrames();
    QCOMPARE(late.size(), std::size_t(1));
    QCOMPARE(int(late[0].address), 2);
    QVERIFY(late[0].afterMs >= 80);
    QCOMPARE(late[0].bytes, kStatusFrom2);
    QVERIFY(m_link->takeLateFrames().empty());
}

void TestCtlLink::lateReplyIsNeverTakenForTheNextRequest()
{
    // The first reply comes 60 ms after a wait of 80 ms ended; asked again at
    // once, address 1 must not pass it off as the answer to the second request.
    m_link->setReplyTimeout(milliseconds(80));
    answer(1, {{140, kZeroStatus}});
    QCOMPARE(int(m_link->readStatus(1).outcome), int(Outcome::Timeout));
    char first[64];
    while (::read(m_ports->master(1), first, sizeof first) > 0) {
    }
    auto *second = new QSocketNotifier(m_ports->master(1), QSocketNotifier::Read, this);
    bool sent = false;
    connect(second, &QSocketNotifier::activated, second, [this, second, &sent] {
        second->setEnabled(false);
        second->deleteLater();
        char request[64];
        while (::read(m_ports->master(1), request, sizeof request) > 0) {
        }
        sent = true;
        QTimer::singleShot(100, m_link.get(), [this] { m_ports->send(1, kStatus); });
    });
    // Sent at once, the second request would take the late reply (it comes while
    // its answer is still 100 ms away).
    m_link->setReplyTimeout(milliseconds(300));
    const ctl::Reply reply = m_link->readStatus(1);
    QVERIFY(sent);
    QCOMPARE(int(reply.outcome), int(Outcome::Ok));
    QCOMPARE(reply.bytes, kStatus);
}

void TestCtlLink::echoAloneNeverConfirmsAWrite()
{
    m_link->setReplyTimeout(milliseconds(100));
    m_link->setEcho(true);
    const protocol::Frame request = protocol::buildSwitchOutputRequest(1, true);
    const QByteArray bytes(reinterpret_cast<const char *>(request.data()),
                           static_cast<qsizetype>(request.size()));
    answer(1, {{0, bytes}});
    QCOMPARE(int(m_link->write(request).outcome), int(Outcome::Timeout));
    answer(1, {{0, bytes}, {20, bytes}});
    const ctl::Reply confirmed = m_link->write(request);
    QCOMPARE(int(confirmed.outcome), int(Outcome::Ok));
    QCOMPARE(confirmed.bytes, bytes);
    QCOMPARE(m_link->stats().echoes, 2L);
}

void TestCtlLink::devicePathInsteadOfComName()
{
    const QString device = m_ports->add(2);
    m_ports->unlink(2);
    auto comm = serial::makeCommControl();
    comm->setCommPort(2);
    QVERIFY_THROWS_EXCEPTION(serial::CommError, comm->setPortOpen(true));
    comm->setDevicePath(device);
    comm->setPortOpen(true);
    Link link(*comm);
    answer(2, {{5, kStatus}});
    QCOMPARE(int(link.readStatus(1).outcome), int(Outcome::Ok));
    comm->setPortOpen(false);
    comm->setDevicePath(QStringLiteral("/nonexistent/ttyUSB9"));
    try {
        comm->setPortOpen(true);
        QFAIL("a missing device opened");
    } catch (const serial::CommError &error) {
        QCOMPARE(error.number(), serial::kErrPortNotFound);
    }
}

void TestCtlLink::pulledAdapterIsAPortFailure()
{
    QTimer::singleShot(20, m_link.get(), [this] { m_ports->hangUp(1); });
    const ctl::Reply reply = m_link->readStatus(1);
    QCOMPARE(int(reply.outcome), int(Outcome::PortFailed));
    QCOMPARE(int(m_link->readStatus(1).outcome), int(Outcome::PortFailed));
}

QTEST_GUILESS_MAIN(TestCtlLink)
#include "tst_ctl_link.moc"
