// The judging of replies, against frames whose CRCs come from crcmod's
// CRC-16/MODBUS (python3-crcmod), not from our own routine.
#include "protocol/frames.h"
#include "protocol/reply.h"
#include "support/hexframe.h"

#include <QtTest>

#include <string>

using protocol::EchoMatch;
using protocol::Frame;
using protocol::ReplyVerdict;

Q_DECLARE_METATYPE(Frame)
Q_DECLARE_METATYPE(ReplyVerdict)
Q_DECLARE_METATYPE(EchoMatch)

namespace {

using testsupport::bytes;

const char *const kStatus = "01 03 0C 04 D2 05 DC 04 D0 01 F4 00 01 00 01 E9 2B";
const char *const kStatusFrom2 = "02 03 0C 04 D2 05 DC 04 D0 01 F4 00 01 00 01 AA 2A";
const char *const kReadRequest = "01 03 10 00 00 06 C1 08";
const char *const kException2 = "01 83 02 C0 F1";
const char *const kSetVoltage = "01 06 10 00 05 00 8E 5A";

struct ExceptionRow {
    int address;
    int function;
    int code;
    const char *reply;
};
const ExceptionRow kExceptionRows[] = {
#include "vectors/exceptions.inc"
};

} // namespace

class TestReply : public QObject {
    Q_OBJECT
private slots:
    void judge_data();
    void judge();
    void judgeEveryPrefix();
    void exceptions();
    void wholeFrames_data();
    void wholeFrames();
    void echoes_data();
    void echoes();
};

void TestReply::judge_data()
{
    QTest::addColumn<Frame>("request");
    QTest::addColumn<int>("replySize");
    QTest::addColumn<Frame>("data");
    QTest::addColumn<ReplyVerdict>("verdict");
    QTest::addColumn<int>("length");
    QTest::addColumn<int>("code");

    const Frame read = bytes(kReadRequest);
    const Frame status = bytes(kStatus);
    Frame badCrc = status;
    badCrc[15] ^= 0x01;
    Frame junkAfter = status;
    junkAfter.insert(junkAfter.end(), {0xFF, 0x00});

    QTest::newRow("status reply") << read << 17 << status << ReplyVerdict::Ok << 17 << 0;
    QTest::newRow("junk after it") << read << 17 << junkAfter << ReplyVerdict::Ok << 17 << 0;
    QTest::newRow("nothing yet") << read << 17 << Frame{} << ReplyVerdict::Incomplete << 0 << 0;
    QTest::newRow("first 16 bytes") << read << 17 << Frame(status.begin(), status.end() - 1)
                                    << ReplyVerdict::Incomplete << 0 << 0;
    QTest::newRow("bad crc") << read << 17 << badCrc << ReplyVerdict::BadCrc << 17 << 0;
    QTest::newRow("another address, first byte")
        << read << 17 << Frame{0x02} << ReplyVerdict::NotOurs << 0 << 0;
    QTest::newRow("another address")
        << read << 17 << bytes(kStatusFrom2) << ReplyVerdict::NotOurs << 0 << 0;
    QTest::newRow("another byte count, known at byte 3")
        << read << 17 << bytes("01 03 0A") << ReplyVerdict::NotOurs << 0 << 0;
    QTest::newRow("the read request itself")
        << read << 17 << read << ReplyVerdict::NotOurs << 0 << 0;
    QTest::newRow("exception 2") << read << 17 << bytes(kException2) << ReplyVerdict::Exception << 5
                                 << 2;
    QTest::newRow("exception, 4 bytes")
        << read << 17 << bytes("01 83 02 C0") << ReplyVerdict::Incomplete << 0 << 0;
    QTest::newRow("exception, bad crc")
        << read << 17 << bytes("01 83 02 C0 F0") << ReplyVerdict::BadCrc << 5 << 0;
    QTest::newRow("exception of another function")
        << read << 17 << bytes("01 84 02 C2 C1") << ReplyVerdict::NotOurs << 0 << 0;
    QTest::newRow("write echo") << bytes(kSetVoltage) << 8 << bytes(kSetVoltage) << ReplyVerdict::Ok
                                << 8 << 0;
    QTest::newRow("write answered by a read reply")
        << bytes(kSetVoltage) << 8 << status << ReplyVerdict::NotOurs << 0 << 0;
}

void TestReply::judge()
{
    QFETCH(Frame, request);
    QFETCH(int, replySize);
    QFETCH(Frame, data);
    QFETCH(ReplyVerdict, verdict);
    QFETCH(int, length);
    QFETCH(int, code);
    const auto j = protocol::judgeReply(request, std::size_t(replySize), data.data(), data.size());
    QCOMPARE(j.verdict, verdict);
    QCOMPARE(int(j.length), length);
    QCOMPARE(int(j.exceptionCode), code);
}

void TestReply::judgeEveryPrefix()
{
    // Fed byte by byte, a reply stays Incomplete until its last byte; a foreign
    // header is known as soon as the byte that differs is there.
    const Frame read = bytes(kReadRequest);
    const Frame status = bytes(kStatus);
    for (std::size_t n = 0; n < status.size(); ++n) {
        QCOMPARE(protocol::judgeReply(read, 17, status.data(), n).verdict,
                 ReplyVerdict::Incomplete);
    }
    const Frame other = bytes("01 03 0A 04 D2 05 DC 04 D0 01 F4 00 01 00 6C 21");
    QCOMPARE(protocol::judgeReply(read, 17, other.data(), 2).verdict, ReplyVerdict::Incomplete);
    for (std::size_t n = 3; n <= other.size(); ++n) {
        QCOMPARE(protocol::judgeReply(read, 17, other.data(), n).verdict, ReplyVerdict::NotOurs);
    }
}

void TestReply::exceptions()
{
    // Every exception reply is judged as such for the request it answers, and
    // for no other address or function.
    for (const ExceptionRow &row : kExceptionRows) {
        const auto a = static_cast<std::uint8_t>(row.address);
        const Frame reply = bytes(row.reply);
        const bool read = row.function == protocol::kReadHoldingRegisters;
        const Frame request =
            read ? protocol::buildReadStatusRequest(a) : protocol::buildSetVoltageRequest(a, 500);
        const Frame other =
            read ? protocol::buildSetVoltageRequest(a, 500) : protocol::buildReadStatusRequest(a);
        const std::size_t size = read ? protocol::kStatusReplySize : protocol::kWriteEchoSize;
        const auto j = protocol::judgeReply(request, size, reply.data(), reply.size());
        QVERIFY2(j.verdict == ReplyVerdict::Exception, row.reply);
        QCOMPARE(int(j.exceptionCode), row.code);
        QCOMPARE(int(j.length), 5);
        QCOMPARE(protocol::judgeReply(other, 8, reply.data(), reply.size()).verdict,
                 ReplyVerdict::NotOurs);
        QCOMPARE(protocol::judgeStatusReply(a, reply.data(), reply.size()).verdict,
                 read ? ReplyVerdict::Exception : ReplyVerdict::NotOurs);
        QCOMPARE(
            protocol::judgeStatusReply(std::uint8_t(a + 1), reply.data(), reply.size()).verdict,
            ReplyVerdict::NotOurs);
        QCOMPARE(protocol::wholeFrameLength(reply.data(), reply.size()), std::size_t(5));
        QVERIFY(protocol::crcOk(reply));
        QCOMPARE(QByteArray(protocol::exceptionName(row.code)) == "unknown", row.code > 4);
    }
}

void TestReply::wholeFrames_data()
{
    QTest::addColumn<Frame>("data");
    QTest::addColumn<int>("length");
    Frame status = bytes(kStatus);
    Frame twoFrames = status;
    const Frame next = bytes(kStatusFrom2);
    twoFrames.insert(twoFrames.end(), next.begin(), next.end());
    Frame badCrc = status;
    badCrc[16] ^= 0x80;

    QTest::newRow("status reply") << status << 17;
    QTest::newRow("two replies: the first") << twoFrames << 17;
    QTest::newRow("status reply, bad crc") << badCrc << 0;
    QTest::newRow("status reply, cut short") << Frame(status.begin(), status.end() - 1) << 0;
    QTest::newRow("read request") << bytes(kReadRequest) << 8;
    QTest::newRow("read request of another master") << bytes("02 03 10 00 00 06 C1 3B") << 8;
    QTest::newRow("read reply of one word") << bytes("01 03 02 12 34 B5 33") << 7;
    QTest::newRow("write echo") << bytes("01 06 10 06 12 34 60 7C") << 8;
    QTest::newRow("exception") << bytes(kException2) << 5;
    QTest::newRow("one byte") << Frame{0x01} << 0;
    QTest::newRow("junk") << bytes("FF 00 55 AA 01 02 03 04 05") << 0;
}

void TestReply::wholeFrames()
{
    QFETCH(Frame, data);
    QFETCH(int, length);
    QCOMPARE(int(protocol::wholeFrameLength(data.data(), data.size())), length);
}

void TestReply::echoes_data()
{
    QTest::addColumn<Frame>("data");
    QTest::addColumn<EchoMatch>("match");
    const Frame read = bytes(kReadRequest);
    QTest::newRow("nothing") << Frame{} << EchoMatch::Partial;
    QTest::newRow("half of it") << Frame(read.begin(), read.begin() + 4) << EchoMatch::Partial;
    QTest::newRow("all of it") << read << EchoMatch::Whole;
    QTest::newRow("then the reply")
        << bytes("01 03 10 00 00 06 C1 08 01 03 0C") << EchoMatch::Whole;
    QTest::newRow("the reply") << bytes(kStatus) << EchoMatch::No;
}

void TestReply::echoes()
{
    QFETCH(Frame, data);
    QFETCH(EchoMatch, match);
    QCOMPARE(protocol::matchEcho(bytes(kReadRequest), data.data(), data.size()), match);
    const Frame write = bytes(kSetVoltage);
    QVERIFY(protocol::isWriteEcho(write, write.data(), write.size()));
    QVERIFY(!protocol::isWriteEcho(write, write.data(), write.size() - 1));
}

QTEST_APPLESS_MAIN(TestReply)
#include "tst_reply.moc"
