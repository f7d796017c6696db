#include "protocol/crc16.h"
#include "protocol/frames.h"
#include "protocol/reading.h"
#include "protocol/reply.h"
#include "support/hexframe.h"

#include <QtTest>

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

using protocol::Frame;
using protocol::ReplyVerdict;
using protocol::StatusCheck;

Q_DECLARE_METATYPE(Frame)
Q_DECLARE_METATYPE(ReplyVerdict)

namespace {

using testsupport::bytes;

Frame concat(Frame a, const Frame &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Frame cut(Frame a, std::size_t size)
{
    a.resize(size);
    return a;
}

Frame changed(Frame a, std::size_t index, std::uint8_t xorMask)
{
    a[index] ^= xorMask;
    return a;
}

// The frame with its last two (CRC) bytes swapped.
Frame crcSwapped(Frame a)
{
    std::swap(a[a.size() - 2], a[a.size() - 1]);
    return a;
}

// A frame whose CRC matches its other bytes, for headers that must fail on their own.
Frame withOwnCrc(Frame body)
{
    return protocol::withCrc(std::move(body));
}

struct CrcRow {
    const char *input;
    std::uint16_t crc;
};
const CrcRow kCrcRows[] = {
#include "vectors/crc16_crcmod.inc"
};

enum class RequestKind { Read, Voltage, Current, Switch, Address };
struct RequestRow {
    RequestKind kind;
    int address;
    int value;
    const char *frame;
};
const RequestRow kRequestRows[] = {
#include "vectors/requests.inc"
};

struct StatusRow {
    int address;
    const char *reply;
    std::array<int, 6> words; // -1: does not decode
};
const StatusRow kStatusRows[] = {
#include "vectors/status_replies.inc"
};

// Frames worked out by hand in the protocol description, CRC included.
const char *const kReadStatus1 = "01 03 10 00 00 06 C1 08";
const char *const kSwitchOn1 = "01 06 10 06 00 01 AC CB";
const char *const kSetVoltage1234 = "01 06 10 00 04 D2 0F 97";
const char *const kSetCurrent3200 = "01 06 10 01 0C 80 D8 6A";
const char *const kReadStatus0 = "00 03 10 00 00 06 C0 D9";
const char *const kSetAddress3To7 = "03 06 10 08 00 07 4C E8";
const char *const kStatusReply1 = "01 03 0C 04 D2 05 DC 04 D0 01 F4 00 01 00 01 E9 2B";

Frame build(RequestKind kind, int address, int value)
{
    const auto a = static_cast<std::uint8_t>(address);
    const auto v = static_cast<std::uint16_t>(value);
    switch (kind) {
    case RequestKind::Read:
        return protocol::buildReadStatusRequest(a);
    case RequestKind::Voltage:
        return protocol::buildSetVoltageRequest(a, v);
    case RequestKind::Current:
        return protocol::buildSetCurrentRequest(a, v);
    case RequestKind::Switch:
        return protocol::buildSwitchOutputRequest(a, value != 0);
    case RequestKind::Address:
        return protocol::buildSetAddressRequest(a, static_cast<std::uint8_t>(value));
    }
    return {};
}

} // namespace

class TestFrames : public QObject {
    Q_OBJECT
private slots:
    void crc16_data();
    void crc16();
    void crcByteOrder();
    void frameCrc_data();
    void frameCrc();
    void requests_data();
    void requests();
    void statusReply_data();
    void statusReply();
    void statusReplyAnyDataByteChanged();
    void statusWords_data();
    void statusWords();
    void statusWordLimits();
    void statusMeaning();
    void addressEcho_data();
    void addressEcho();
};

void TestFrames::crc16_data()
{
    QTest::addColumn<Frame>("input");
    QTest::addColumn<int>("crc");
    // The hand-worked frames: their last two bytes are the CRC, low byte first.
    for (const char *frame : {kReadStatus1, kSwitchOn1, kSetVoltage1234, kSetCurrent3200,
                              kReadStatus0, kSetAddress3To7, kStatusReply1}) {
        const Frame f = bytes(frame);
        QTest::newRow(frame) << cut(f, f.size() - 2) << (f[f.size() - 1] << 8 | f[f.size() - 2]);
    }
    for (const CrcRow &row : kCrcRows) {
        QTest::newRow(row.input[0] ? row.input : "(empty)") << bytes(row.input) << int(row.crc);
    }
}

void TestFrames::crc16()
{
    QFETCH(Frame, input);
    QFETCH(int, crc);
    const std::array<std::uint8_t, 2> expected{static_cast<std::uint8_t>(crc >> 8),
                                               static_cast<std::uint8_t>(crc & 0xFF)};
    QCOMPARE(protocol::CRC16(input), expected);
    QCOMPARE(protocol::crc16Modbus(input.data(), input.size()), crc);
}

void TestFrames::crcByteOrder()
{
    // CRC16 hands back the high byte first; the frame carries the low byte first.
    const Frame body = bytes("01 03 10 00 00 06");
    const std::array<std::uint8_t, 2> highFirst{0x08, 0xC1};
    QCOMPARE(protocol::CRC16(body), highFirst);
    const Frame frame = protocol::buildReadStatusRequest(1);
    QCOMPARE(frame[6], std::uint8_t{0xC1});
    QCOMPARE(frame[7], std::uint8_t{0x08});
}

void TestFrames::frameCrc_data()
{
    QTest::addColumn<Frame>("body");
    QTest::addColumn<int>("crc");
    for (const CrcRow &row : kCrcRows) {
        QTest::newRow(row.input[0] ? row.input : "(empty)") << bytes(row.input) << int(row.crc);
    }
}

void TestFrames::frameCrc()
{
    QFETCH(Frame, body);
    QFETCH(int, crc);
    // appendCrc writes crcmod's register low byte first; crcOk takes exactly that.
    const Frame frame = protocol::withCrc(body);
    QCOMPARE(frame.size(), body.size() + 2);
    QCOMPARE(int(frame[body.size()]), crc & 0xFF);
    QCOMPARE(int(frame[body.size() + 1]), crc >> 8);
    QCOMPARE(protocol::crcOk(frame), !body.empty());
    if (body.empty()) {
        return;
    }
    if ((crc & 0xFF) != (crc >> 8)) {
        QVERIFY(!protocol::crcOk(crcSwapped(frame)));
    }
    for (std::size_t i = 0; i < frame.size(); ++i) {
        QVERIFY2(!protocol::crcOk(changed(frame, i, 0x01)), qPrintable(QString::number(i)));
    }
}

void TestFrames::requests_data()
{
    QTest::addColumn<Frame>("built");
    QTest::addColumn<Frame>("expected");
    QTest::newRow("read status, address 1")
        << protocol::buildReadStatusRequest(1) << bytes(kReadStatus1);
    QTest::newRow("read status, address 0")
        << protocol::buildReadStatusRequest(0) << bytes(kReadStatus0);
    QTest::newRow("switch on, address 1")
        << protocol::buildSwitchOutputRequest(1, true) << bytes(kSwitchOn1);
    QTest::newRow("set voltage 1234, address 1")
        << protocol::buildSetVoltageRequest(1, 1234) << bytes(kSetVoltage1234);
    QTest::newRow("set current 3200, address 1")
        << protocol::buildSetCurrentRequest(1, 3200) << bytes(kSetCurrent3200);
    QTest::newRow("set address 3 -> 7")
        << protocol::buildSetAddressRequest(3, 7) << bytes(kSetAddress3To7);
    const char *kindNames[] = {"read", "voltage", "current", "switch", "address"};
    for (const RequestRow &row : kRequestRows) {
        const QByteArray name = QByteArray(kindNames[int(row.kind)]) +
                                " a=" + QByteArray::number(row.address) +
                                " v=" + QByteArray::number(row.value);
        QTest::newRow(name.constData())
            << build(row.kind, row.address, row.value) << bytes(row.frame);
    }
}

void TestFrames::requests()
{
    QFETCH(Frame, built);
    QFETCH(Frame, expected);
    QCOMPARE(built.size(), protocol::kRequestSize);
    QCOMPARE(built, expected);
}

void TestFrames::statusReply_data()
{
    QTest::addColumn<Frame>("reply");
    QTest::addColumn<int>("address");
    QTest::addColumn<ReplyVerdict>("result");

    const Frame whole = bytes(kStatusReply1);
    const Frame echo = protocol::buildSwitchOutputRequest(1, true);
    QTest::newRow("whole") << whole << 1 << ReplyVerdict::Ok;
    QTest::newRow("one byte after") << concat(whole, {0x00}) << 1 << ReplyVerdict::Ok;
    QTest::newRow("second reply after") << concat(whole, whole) << 1 << ReplyVerdict::Ok;
    QTest::newRow("echo after") << concat(whole, echo) << 1 << ReplyVerdict::Ok;
    QTest::newRow("16 bytes") << cut(whole, 16) << 1 << ReplyVerdict::Incomplete;
    QTest::newRow("15 bytes") << cut(whole, 15) << 1 << ReplyVerdict::Incomplete;
    QTest::newRow("header only") << cut(whole, 3) << 1 << ReplyVerdict::Incomplete;
    QTest::newRow("2 bytes") << cut(whole, 2) << 1 << ReplyVerdict::Incomplete;
    QTest::newRow("1 byte") << cut(whole, 1) << 1 << ReplyVerdict::Incomplete;
    QTest::newRow("empty") << Frame{} << 1 << ReplyVerdict::Incomplete;
    QTest::newRow("CRC bytes swapped") << crcSwapped(whole) << 1 << ReplyVerdict::BadCrc;
    QTest::newRow("CRC low byte changed") << changed(whole, 15, 0x01) << 1 << ReplyVerdict::BadCrc;
    QTest::newRow("CRC high byte changed") << changed(whole, 16, 0x80) << 1 << ReplyVerdict::BadCrc;
    QTest::newRow("another address") << whole << 2 << ReplyVerdict::NotOurs;
    QTest::newRow("expecting broadcast 0") << whole << 0 << ReplyVerdict::NotOurs;
    // Header faults are judged before the CRC, even where the CRC fits the bytes.
    QTest::newRow("another address, own CRC")
        << withOwnCrc(cut(changed(whole, 0, 0x03), 15)) << 1 << ReplyVerdict::NotOurs;
    QTest::newRow("function 6, own CRC")
        << withOwnCrc(cut(changed(whole, 1, 0x05), 15)) << 1 << ReplyVerdict::NotOurs;
    QTest::newRow("byte count 11, own CRC")
        << withOwnCrc(cut(changed(whole, 2, 0x07), 15)) << 1 << ReplyVerdict::NotOurs;
    QTest::newRow("byte count 13, own CRC")
        << withOwnCrc(cut(changed(whole, 2, 0x01), 15)) << 1 << ReplyVerdict::NotOurs;
    QTest::newRow("write echo alone") << echo << 1 << ReplyVerdict::NotOurs;
    QTest::newRow("write echo, then the reply")
        << concat(echo, whole) << 1 << ReplyVerdict::NotOurs;
    QTest::newRow("stray byte first") << concat({0x01}, whole) << 1 << ReplyVerdict::NotOurs;
    QTest::newRow("wrong header, 5 bytes")
        << cut(changed(whole, 1, 0x05), 5) << 1 << ReplyVerdict::NotOurs;
    QTest::newRow("exception 2") << bytes("01 83 02 C0 F1") << 1 << ReplyVerdict::Exception;
    QTest::newRow("exception, bad CRC") << bytes("01 83 02 C0 F0") << 1 << ReplyVerdict::BadCrc;
    QTest::newRow("exception of another address")
        << bytes("01 83 02 C0 F1") << 2 << ReplyVerdict::NotOurs;
    for (const StatusRow &row : kStatusRows) {
        const Frame reply = bytes(row.reply);
        QTest::newRow(row.reply) << reply << row.address << ReplyVerdict::Ok;
        QTest::newRow((QByteArray(row.reply) + " swapped CRC").constData())
            << crcSwapped(reply) << row.address << ReplyVerdict::BadCrc;
        QTest::newRow((QByteArray(row.reply) + " cut short").constData())
            << cut(reply, 16) << row.address << ReplyVerdict::Incomplete;
    }
}

void TestFrames::statusReply()
{
    QFETCH(Frame, reply);
    QFETCH(int, address);
    QFETCH(ReplyVerdict, result);
    const auto a = static_cast<std::uint8_t>(address);
    QCOMPARE(protocol::judgeStatusReply(a, reply.data(), reply.size()).verdict, result);
    // The older yes-or-no test says Ok for exactly the same bytes.
    QCOMPARE(protocol::checkStatusReply(reply.data(), reply.size(), a) == StatusCheck::Ok,
             result == ReplyVerdict::Ok);
}

void TestFrames::statusReplyAnyDataByteChanged()
{
    const Frame whole = bytes(kStatusReply1);
    for (std::size_t i = 3; i < 15; ++i) {
        for (std::uint8_t mask : {0x01, 0x80, 0xFF}) {
            const Frame damaged = changed(whole, i, mask);
            QVERIFY2(protocol::judgeStatusReply(1, damaged.data(), damaged.size()).verdict ==
                         ReplyVerdict::BadCrc,
                     qPrintable(QStringLiteral("byte %1 ^ %2").arg(i).arg(mask)));
        }
    }
}

void TestFrames::statusWords_data()
{
    QTest::addColumn<Frame>("reply");
    QTest::addColumn<QList<int>>("words");
    for (const StatusRow &row : kStatusRows) {
        QTest::newRow(row.reply) << bytes(row.reply)
                                 << QList<int>(row.words.begin(), row.words.end());
    }
}

void TestFrames::statusWords()
{
    QFETCH(Frame, reply);
    QFETCH(QList<int>, words);
    for (int i = 0; i < protocol::kStatusWords; ++i) {
        const std::optional<std::int16_t> word =
            protocol::statusWord(reply.data(), reply.size(), i);
        if (words[i] < 0) {
            QVERIFY2(!word.has_value(), qPrintable(QStringLiteral("word %1").arg(i)));
        } else {
            QVERIFY2(word.has_value(), qPrintable(QStringLiteral("word %1").arg(i)));
            QCOMPARE(int(*word), words[i]);
        }
    }

    // The decoded reading takes the four values whole and the last two by low byte.
    const auto reading = protocol::decodeStatusReading(reply.data(), reply.size());
    if (words[0] < 0 || words[1] < 0 || words[2] < 0 || words[3] < 0) {
        QVERIFY(!reading.has_value());
        return;
    }
    QVERIFY(reading.has_value());
    QCOMPARE(int(reading->setVoltage), words[0]);
    QCOMPARE(int(reading->setCurrent), words[1]);
    QCOMPARE(int(reading->actualVoltage), words[2]);
    QCOMPARE(int(reading->actualCurrent), words[3]);
    QCOMPARE(reading->outputOn, (words[4] & 0xFF) == 1);
    QCOMPARE(int(reading->mode), words[5] & 0xFF);
    QVERIFY(!protocol::decodeStatusReading(reply.data(), reply.size() - 1));
}

void TestFrames::statusWordLimits()
{
    const Frame reply = bytes(kStatusReply1);
    QVERIFY(!protocol::statusWord(reply.data(), reply.size(), -1));
    QVERIFY(!protocol::statusWord(reply.data(), reply.size(), protocol::kStatusWords));
    // A buffer too short for the word yields nothing rather than reading past it.
    QVERIFY(!protocol::statusWord(reply.data(), 14, 5));
    QCOMPARE(protocol::statusWord(reply.data(), 15, 5), std::optional<std::int16_t>(1));
    // Largest value that decodes, and the first that does not.
    const Frame top = {0x01, 0x03, 0x0C, 0x7F, 0xFF, 0x80, 0x00, 0xFF, 0xFF};
    QCOMPARE(protocol::statusWord(top.data(), top.size(), 0), std::optional<std::int16_t>(32767));
    QVERIFY(!protocol::statusWord(top.data(), top.size(), 1));
    QVERIFY(!protocol::statusWord(top.data(), top.size(), 2));
}

void TestFrames::statusMeaning()
{
    // Low byte -> output state, mode name; the supply sends only 0..2.
    const struct {
        int low;
        std::optional<bool> on;
        const char *mode;
    } rows[] = {
        {0, false, "CC"}, {1, true, "CV"}, {2, {}, "OC"}, {3, {}, nullptr}, {255, {}, nullptr}};
    for (const auto &row : rows) {
        const auto low = static_cast<std::uint8_t>(row.low);
        QCOMPARE(protocol::outputStateOf(low), row.on);
        QCOMPARE(QByteArray(protocol::modeName(low)), QByteArray(row.mode));
    }
    QCOMPARE(protocol::countToVolts(1234), 12.34);
    QCOMPARE(protocol::countToAmps(3200), 3.2);
}

void TestFrames::addressEcho_data()
{
    QTest::addColumn<Frame>("reply");
    QTest::addColumn<int>("oldAddress");
    QTest::addColumn<bool>("accepted");

    const Frame echo = bytes(kSetAddress3To7);
    QTest::newRow("echo") << echo << 3 << true;
    QTest::newRow("longer: byte after") << concat(echo, {0x55}) << 3 << true;
    QTest::newRow("longer: echo twice") << concat(echo, echo) << 3 << true;
    QTest::newRow("longer: junk after")
        << concat(echo, bytes("FF FF FF FF FF FF FF FF FF")) << 3 << true;
    // Bytes 4 and 5 are not compared: any new address, even a non-zero byte 4
    // (CRC of 03 06 10 08 00 09 from crcmod).
    QTest::newRow("other new address") << bytes("03 06 10 08 00 09 CD 2C") << 3 << true;
    QTest::newRow("byte 4 set") << withOwnCrc(bytes("03 06 10 08 12 34")) << 3 << true;
    QTest::newRow("7 bytes") << cut(echo, 7) << 3 << false;
    QTest::newRow("empty") << Frame{} << 3 << false;
    QTest::newRow("another old address") << echo << 4 << false;
    QTest::newRow("CRC bytes swapped") << crcSwapped(echo) << 3 << false;
    QTest::newRow("new address changed, CRC kept") << changed(echo, 5, 0x01) << 3 << false;
    QTest::newRow("CRC high byte changed") << changed(echo, 7, 0x10) << 3 << false;
    QTest::newRow("function 3, own CRC") << withOwnCrc(bytes("03 03 10 08 00 07")) << 3 << false;
    QTest::newRow("register 0x1009, own CRC")
        << withOwnCrc(bytes("03 06 10 09 00 07")) << 3 << false;
    QTest::newRow("register 0x0008, own CRC")
        << withOwnCrc(bytes("03 06 00 08 00 07")) << 3 << false;
    QTest::newRow("stray byte first") << concat({0x00}, echo) << 3 << false;
    QTest::newRow("stray address byte first") << concat({0x03}, echo) << 3 << false;
    QTest::newRow("set voltage echo") << protocol::buildSetVoltageRequest(3, 7) << 3 << false;
    QTest::newRow("status reply") << bytes(kStatusReply1) << 1 << false;
    for (const RequestRow &row : kRequestRows) {
        if (row.kind == RequestKind::Address) {
            QTest::newRow(row.frame) << bytes(row.frame) << row.address << true;
        }
    }
}

void TestFrames::addressEcho()
{
    QFETCH(Frame, reply);
    QFETCH(int, oldAddress);
    QFETCH(bool, accepted);
    QCOMPARE(protocol::checkAddressEcho(reply.data(), reply.size(),
                                        static_cast<std::uint8_t>(oldAddress)),
             accepted);
}

QTEST_APPLESS_MAIN(TestFrames)
#include "tst_frames.moc"
