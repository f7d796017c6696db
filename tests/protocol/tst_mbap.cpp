#include "protocol/frames.h"
#include "protocol/mbap.h"
#include "support/hexframe.h"

#include <QtTest>

#include <cstdint>
#include <vector>

using protocol::Frame;
using protocol::mbap::Adu;
using protocol::mbap::StreamReader;

Q_DECLARE_METATYPE(Frame)

namespace {

using testsupport::bytes;

struct MbapVector {
    const char *name;
    std::uint16_t transaction;
    std::uint8_t unit;
    const char *pdu;
    const char *adu;
};

const MbapVector kVectors[] = {
#include "vectors/mbap.inc"
};

// Everything the reader gives for `stream` fed in pieces of `piece` bytes.
std::vector<Adu> readAll(const Frame &stream, std::size_t piece, StreamReader &reader)
{
    std::vector<Adu> out;
    for (std::size_t at = 0; at < stream.size(); at += piece) {
        reader.feed(stream.data() + at, std::min(piece, stream.size() - at));
        while (auto adu = reader.next()) {
            out.push_back(*adu);
        }
    }
    return out;
}

} // namespace

class TestMbap : public QObject {
    Q_OBJECT
private slots:
    void vectors_data();
    void vectors();
    void streamInPieces_data();
    void streamInPieces();
    void malformed_data();
    void malformed();
    void rtuBridge();
    void gateway_data();
    void gateway();
    void ceilingMessages_data();
    void ceilingMessages();
};

void TestMbap::vectors_data()
{
    QTest::addColumn<int>("index");
    for (int i = 0; i < int(std::size(kVectors)); ++i) {
        QTest::newRow(kVectors[i].name) << i;
    }
}

// Encoded as pymodbus frames it, and read back whole, split in two and byte by
// byte to the same ids and PDU.
void TestMbap::vectors()
{
    QFETCH(int, index);
    const MbapVector &v = kVectors[index];
    const Frame pdu = bytes(v.pdu);
    const Frame adu = bytes(v.adu);
    QCOMPARE(protocol::mbap::encode(Adu{v.transaction, v.unit, pdu}), adu);

    for (std::size_t piece : {adu.size(), adu.size() / 2, std::size_t{1}}) {
        StreamReader reader;
        const std::vector<Adu> read = readAll(adu, piece, reader);
        QCOMPARE(read.size(), std::size_t{1});
        QCOMPARE(read[0].transaction, v.transaction);
        QCOMPARE(read[0].unit, v.unit);
        QCOMPARE(read[0].pdu, pdu);
        QCOMPARE(reader.pending(), std::size_t{0});
        QVERIFY(!reader.malformed());
    }
}

void TestMbap::streamInPieces_data()
{
    QTest::addColumn<int>("piece");
    for (int piece : {1, 2, 3, 7, 11, 64, 4096}) {
        QTest::addRow("pieces of %d", piece) << piece;
    }
}

// Every vector back to back, many times over (past the reader's compaction), in
// pieces that cut headers and PDUs anywhere: each ADU comes out once, in order.
void TestMbap::streamInPieces()
{
    QFETCH(int, piece);
    Frame stream;
    std::vector<std::uint16_t> transactions;
    for (int round = 0; round < 40; ++round) {
        for (const MbapVector &v : kVectors) {
            const Frame adu = bytes(v.adu);
            stream.insert(stream.end(), adu.begin(), adu.end());
            transactions.push_back(v.transaction);
        }
    }
    StreamReader reader;
    const std::vector<Adu> read = readAll(stream, std::size_t(piece), reader);
    QCOMPARE(read.size(), transactions.size());
    for (std::size_t i = 0; i < read.size(); ++i) {
        QCOMPARE(read[i].transaction, transactions[i]);
    }
    QCOMPARE(reader.pending(), std::size_t{0});
}

void TestMbap::malformed_data()
{
    QTest::addColumn<Frame>("stream");
    QTest::addColumn<int>("goodBefore");
    QTest::addColumn<QString>("why");
    const Frame good = bytes("00 01 00 00 00 06 05 03 10 00 00 06");
    auto after = [&](const char *hex) {
        Frame f = good;
        const Frame bad = bytes(hex);
        f.insert(f.end(), bad.begin(), bad.end());
        f.insert(f.end(), good.begin(), good.end());
        return f;
    };
    QTest::newRow("protocol id 1")
        << bytes("00 01 00 01 00 06 05 03 10 00 00 06") << 0 << "protocol id 1";
    QTest::newRow("length 0, no unit") << bytes("00 01 00 00 00 00") << 0 << "length 0";
    QTest::newRow("length 1, no function") << bytes("00 01 00 00 00 01 05") << 0 << "length 1";
    QTest::newRow("length 255, PDU over 253")
        << bytes("00 01 00 00 00 FF 05 03") << 0 << "length 255";
    QTest::newRow("length 65535") << bytes("00 01 00 00 FF FF") << 0 << "length 65535";
    // A good ADU before the bad header is still given; nothing after it is.
    QTest::newRow("good, then a bad id, then good")
        << after("00 02 12 34 00 06 05 03 10 00 00 06") << 1 << "protocol id 4660";
}

void TestMbap::malformed()
{
    QFETCH(Frame, stream);
    QFETCH(int, goodBefore);
    QFETCH(QString, why);
    for (std::size_t piece : {stream.size(), std::size_t{1}}) {
        StreamReader reader;
        const std::vector<Adu> read = readAll(stream, piece, reader);
        QCOMPARE(int(read.size()), goodBefore);
        QVERIFY(reader.malformed());
        QCOMPARE(QString::fromStdString(reader.why()), why);
    }
}

void TestMbap::rtuBridge()
{
    // The PDU of a status read, addressed on the line, is the request our own
    // builder makes, CRC included.
    QCOMPARE(protocol::mbap::toRtu(5, bytes("03 10 00 00 06")),
             protocol::buildReadStatusRequest(5));
    QCOMPARE(protocol::mbap::toRtu(1, bytes("06 10 06 00 01")),
             protocol::buildSwitchOutputRequest(1, true));
    // Back from a reply on the line: address and CRC go, the PDU stays.
    const Frame reply = protocol::withCrc(bytes("05 03 0C 01 F4 03 E8 01 F3 00 00 00 01 00 00"));
    QCOMPARE(protocol::mbap::pduOf(reply), bytes("03 0C 01 F4 03 E8 01 F3 00 00 00 01 00 00"));
    QCOMPARE(protocol::mbap::pduOf(bytes("05 83 0B AA BB")), bytes("83 0B"));
    QCOMPARE(protocol::mbap::pduOf(bytes("05 83 0B")), Frame{});
    QCOMPARE(protocol::mbap::exceptionPdu(0x03, protocol::mbap::kGatewayTargetFailed),
             bytes("83 0B"));
    QCOMPARE(protocol::mbap::exceptionPdu(0x83, 0x01), bytes("83 01"));
}

void TestMbap::gateway_data()
{
    QTest::addColumn<int>("unit");
    QTest::addColumn<Frame>("pdu");
    QTest::addColumn<bool>("addressChange");
    QTest::addColumn<Frame>("expected"); // the RTU frame, or the exception PDU

    auto pass = [](int unit, const char *pdu) {
        return protocol::withCrc(
            bytes((QByteArray::number(unit, 16).rightJustified(2, '0') + " " + pdu).constData()));
    };
    QTest::newRow("status read") << 5 << bytes("03 10 00 00 06") << false
                                 << pass(5, "03 10 00 00 06");
    QTest::newRow("62.00 V") << 5 << bytes("06 10 00 18 38") << false << pass(5, "06 10 00 18 38");
    QTest::newRow("62.01 V") << 5 << bytes("06 10 00 18 39") << false << bytes("86 03");
    QTest::newRow("a ceiling's 20.00 V")
        << 7 << bytes("06 10 00 07 D0") << false << pass(7, "06 10 00 07 D0");
    QTest::newRow("over a ceiling") << 7 << bytes("06 10 00 07 D1") << false << bytes("86 03");
    QTest::newRow("3.200 A") << 5 << bytes("06 10 01 0C 80") << false << pass(5, "06 10 01 0C 80");
    QTest::newRow("3.201 A") << 5 << bytes("06 10 01 0C 81") << false << bytes("86 03");
    QTest::newRow("output on") << 5 << bytes("06 10 06 00 01") << false
                               << pass(5, "06 10 06 00 01");
    QTest::newRow("address, not allowed")
        << 5 << bytes("06 10 08 00 09") << false << bytes("86 02");
    QTest::newRow("address, allowed")
        << 5 << bytes("06 10 08 00 09") << true << pass(5, "06 10 08 00 09");
    QTest::newRow("unit not served") << 6 << bytes("03 10 00 00 06") << false << bytes("83 0A");
    QTest::newRow("broadcast") << 0 << bytes("06 10 06 00 00") << false << bytes("86 0A");
    QTest::newRow("write multiple")
        << 5 << bytes("10 10 00 00 01 02 00 64") << false << bytes("90 01");
    QTest::newRow("read input registers")
        << 5 << bytes("04 10 00 00 06") << false << bytes("84 01");
    QTest::newRow("read of 0 registers") << 5 << bytes("03 10 00 00 00") << false << bytes("83 03");
    QTest::newRow("read of 126 registers")
        << 5 << bytes("03 10 00 00 7E") << false << bytes("83 03");
    QTest::newRow("read, a byte short") << 5 << bytes("03 10 00 00") << false << bytes("83 03");
    QTest::newRow("write, a byte over")
        << 5 << bytes("06 10 06 00 01 00") << false << bytes("86 03");
}

// Every refusal is decided before anything would go out on the line.
void TestMbap::gateway()
{
    QFETCH(int, unit);
    QFETCH(Frame, pdu);
    QFETCH(bool, addressChange);
    QFETCH(Frame, expected);
    protocol::mbap::GatewayPolicy policy;
    policy.units = {5, 7};
    policy.largestVoltageCount = unit == 7 ? 2000 : protocol::kLargestVoltageCode;
    policy.largestCurrentCount = protocol::kLargestCurrentCode;
    policy.allowAddressChange = addressChange;
    const auto verdict =
        protocol::mbap::judgeGatewayRequest(Adu{1, std::uint8_t(unit), pdu}, policy);
    if (verdict.exception.empty()) {
        QCOMPARE(verdict.rtu, expected);
    } else {
        QVERIFY(verdict.rtu.empty());
        QCOMPARE(verdict.exception, expected);
    }
}

QTEST_APPLESS_MAIN(TestMbap)
// The private messages between programs of ours: what a hold, a release and a
// refusal carry, read back; a name or text too long cut whole characters only;
// a malformed one read as none.
void TestMbap::ceilingMessages_data()
{
    using namespace protocol::mbap;
    QTest::addColumn<Frame>("pdu");
    QTest::addColumn<QString>("read"); // what the readers make of it; empty: none

    QTest::newRow("hold") << holdPdu({CeilingKind::Current, 1500, 0x01020304, "vantel"})
                          << QStringLiteral("hold 2 1500 16909060 vantel");
    QTest::newRow("hold, bytes") << bytes("42 01 03 E8 00 00 10 19 72 75 6E")
                                 << QStringLiteral("hold 1 1000 4121 run");
    QTest::newRow("hold of no kind") << bytes("42 04 03 E8 00 00 10 19") << QString();
    QTest::newRow("hold cut short") << bytes("42 01 03 E8 00 00 10") << QString();
    QTest::newRow("release") << releasePdu(CeilingKind::Power) << QStringLiteral("release 3");
    QTest::newRow("release of no kind") << bytes("43 00") << QString();
    QTest::newRow("refusal") << refusalPdu(0x06, "20.00 V is above")
                             << QStringLiteral("refused 20.00 V is above");
    // 251 bytes of text hold 125 two-byte characters and half of one, left out.
    QTest::newRow("refusal cut at a character")
        << refusalPdu(0x06, QString(130, QChar(0xE9)).toStdString())
        << QStringLiteral("refused ") + QString(125, QChar(0xE9));
    QTest::newRow("an echo is no refusal") << bytes("06 10 00 07 D0") << QString();
    QTest::newRow("reply wait") << replyWaitPdu({70000, 200}) << QStringLiteral("wait 70000 200");
    QTest::newRow("reply wait, bytes")
        << bytes("45 00 00 00 64 00 00 00 00") << QStringLiteral("wait 100 0");
    QTest::newRow("reply wait of nothing") << bytes("45 00 00 00 00 00 00 00 00") << QString();
    QTest::newRow("reply wait cut short") << bytes("45 00 00 00 64 00 00 00") << QString();
}

void TestMbap::ceilingMessages()
{
    using namespace protocol::mbap;
    QFETCH(Frame, pdu);
    QFETCH(QString, read);
    QVERIFY(pdu.size() <= kMaxPduSize);
    QString got;
    if (const auto hold = readHold(pdu)) {
        got = QStringLiteral("hold %1 %2 %3 %4")
                  .arg(int(hold->kind))
                  .arg(hold->value)
                  .arg(hold->pid)
                  .arg(QString::fromStdString(hold->holder));
    } else if (const auto kind = readRelease(pdu)) {
        got = QStringLiteral("release %1").arg(int(*kind));
    } else if (const auto text = readRefusal(pdu)) {
        got = QStringLiteral("refused ") + QString::fromStdString(*text);
    } else if (const auto wait = readReplyWait(pdu)) {
        got = QStringLiteral("wait %1 %2").arg(wait->timeoutMs).arg(wait->firstByteMs);
    }
    QCOMPARE(got, read);
}

#include "tst_mbap.moc"
