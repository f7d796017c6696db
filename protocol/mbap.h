#pragma once

#include "protocol/frame.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// Modbus TCP's framing (the MBAP header) and its bridge to RTU frames: what a
// gateway between network clients and one serial line needs, over bytes only.
namespace protocol::mbap {

// transaction id (2), protocol id (2, always 0), length (2), unit id (1), all
// words high byte first. The length counts the unit id and the PDU.
constexpr std::size_t kHeaderSize = 7;
// A PDU (function code and data) is at most 253 bytes, as on the serial line,
// where address and CRC take the other three of 256.
constexpr std::size_t kMaxPduSize = 253;
constexpr std::size_t kMaxAduSize = kHeaderSize + kMaxPduSize;

// Exception codes a gateway answers with.
constexpr std::uint8_t kIllegalFunction = 0x01;
constexpr std::uint8_t kIllegalDataAddress = 0x02;
constexpr std::uint8_t kIllegalDataValue = 0x03;
constexpr std::uint8_t kServerBusy = 0x06;
constexpr std::uint8_t kGatewayPathUnavailable = 0x0A;
constexpr std::uint8_t kGatewayTargetFailed = 0x0B;

using Bytes = std::vector<std::uint8_t>;

// One request or response: the header's ids and the PDU.
struct Adu {
    std::uint16_t transaction = 0;
    std::uint8_t unit = 0;
    Bytes pdu; // function code, then its data
};

// The ADU's bytes. The PDU must hold 1..kMaxPduSize bytes.
Bytes encode(const Adu &adu);

// Reads ADUs from a stream (a socket's bytes in whatever pieces they come).
// A header that cannot begin a valid ADU (a protocol id other than 0, a length
// that leaves no function code or a PDU over kMaxPduSize) makes the stream
// malformed for good: nothing after it can be framed, so the connection must go.
class StreamReader {
public:
    void feed(const std::uint8_t *data, std::size_t size);
    // The next whole ADU, in order; nullopt while one is still incomplete or once
    // the stream is malformed.
    std::optional<Adu> next();
    bool malformed() const { return !m_why.empty(); }
    // What was wrong, for a message: "protocol id 7", "length 300".
    const std::string &why() const { return m_why; }
    // Bytes received and not yet framed.
    std::size_t pending() const { return m_buffer.size() - m_start; }

private:
    Bytes m_buffer;
    std::size_t m_start = 0;
    std::string m_why;
};

// The RTU request for `unit` carrying `pdu`: address, PDU, CRC.
Frame toRtu(std::uint8_t unit, const Bytes &pdu);
// The PDU of an RTU frame whose CRC was checked: without address and CRC. Empty
// for a frame shorter than address + function + CRC.
Bytes pduOf(const Frame &rtu);
// An exception PDU answering `function`: the function with its high bit set, and
// the code.
Bytes exceptionPdu(std::uint8_t function, std::uint8_t code);

// A notice between programs of ours on one machine, never taken from a client
// of a Modbus TCP listener: the owner of a line tells a joiner how its request
// fares in the owner's queue, so that the joiner's wait for the reply counts
// from when the request went on the line, not from when it was queued. The
// request's answer follows as usual, with the same transaction id.
//
//   transaction id  2 bytes, the request's
//   protocol id     2 bytes, 0
//   length          2 bytes, 3 (unit id, function, stage)
//   unit id         1 byte, the request's
//   function        1 byte, 0x41 (a code Modbus leaves to users)
//   stage           1 byte, 0x00 taken into the owner's queue,
//                           0x01 sent on the line now
constexpr std::uint8_t kNoticeFunction = 0x41;
enum class NoticeStage : std::uint8_t { Queued = 0x00, OnLine = 0x01 };
// The PDU of a notice: the function and the stage.
Bytes noticePdu(NoticeStage stage);
// The stage an ADU's PDU gives notice of; nullopt for any other PDU.
std::optional<NoticeStage> noticeStageOf(const Adu &adu);

} // namespace protocol::mbap

namespace protocol::mbap {

// What a gateway to the supply lets through, and up to which set values.
struct GatewayPolicy {
    // Units (slave addresses) it serves; any other is kGatewayPathUnavailable.
    std::vector<std::uint8_t> units;
    // Set values above these (in the supply's counts) are kIllegalDataValue.
    int largestVoltageCount = 0;
    int largestCurrentCount = 0;
    // Writing the slave address register moves the supply off its address.
    bool allowAddressChange = false;
};

// A request let through, as the RTU frame to send, or the exception PDU that
// answers it without touching the line.
struct GatewayVerdict {
    Frame rtu;       // empty when refused
    Bytes exception; // empty when let through
};

// Judges one request from a network client: reads of holding registers and
// writes of one register pass to a served unit (writes checked against the
// supply's limits); any other function is kIllegalFunction.
GatewayVerdict judgeGatewayRequest(const Adu &request, const GatewayPolicy &policy);

} // namespace protocol::mbap

// Private messages between programs of ours on one machine, over the local socket
// of the program that owns a serial line. A gateway takes them from such
// connections only; to a network client they are functions like any other it does
// not serve. The unit id of each is the supply's address.
namespace protocol::mbap {

// A joiner holds a ceiling on a supply: the line's owner refuses any write above
// it from any program until the joiner releases it or its connection goes.
// PDU: 0x42, kind (1), value (2, in the supply's counts: 10 mV, 1 mA; power in
// 10 mW), pid (4), the holder's name in UTF-8 to the end (at most kMaxHolderName
// bytes). No answer.
constexpr std::uint8_t kHoldCeiling = 0x42;
// A joiner holds that ceiling no more. PDU: 0x43, kind (1). No answer.
constexpr std::uint8_t kReleaseCeiling = 0x43;
// The owner's answer to a write it refused because of a ceiling, in place of the
// write's echo: 0x44, the refused request's function (1), the refusal in UTF-8 to
// the end (at most kMaxRefusalText bytes).
constexpr std::uint8_t kRefused = 0x44;
// How long a joiner waits for its supply's reply: the owner gives the joiner's
// later requests that wait on its line instead of its own timeout, so that a
// joined program's timeout is its own. PDU: 0x45, the timeout in ms (4), the
// wait for a reply's first byte in ms (4, 0 when there is none). No answer.
constexpr std::uint8_t kReplyWait = 0x45;

constexpr std::size_t kMaxHolderName = kMaxPduSize - 8;
constexpr std::size_t kMaxRefusalText = kMaxPduSize - 2;

enum class CeilingKind : std::uint8_t { Voltage = 1, Current = 2, Power = 3 };

struct CeilingHold {
    CeilingKind kind = CeilingKind::Voltage;
    std::uint16_t value = 0;
    std::uint32_t pid = 0;
    std::string holder; // "vantelctl serve"
};

struct ReplyWait {
    std::uint32_t timeoutMs = 0;
    std::uint32_t firstByteMs = 0; // 0: the timeout alone
};

// The PDUs above; a name or text too long is cut at a character's boundary.
Bytes holdPdu(const CeilingHold &hold);
Bytes replyWaitPdu(const ReplyWait &wait);
Bytes releasePdu(CeilingKind kind);
Bytes refusalPdu(std::uint8_t function, const std::string &text);

// The message a PDU carries; nullopt for a PDU of another function or one that is
// malformed (a kind no ceiling has, a short PDU).
std::optional<CeilingHold> readHold(const Bytes &pdu);
std::optional<CeilingKind> readRelease(const Bytes &pdu);
std::optional<std::string> readRefusal(const Bytes &pdu);
// A wait of 0 ms is malformed: no reply could come.
std::optional<ReplyWait> readReplyWait(const Bytes &pdu);

} // namespace protocol::mbap
