#include "protocol/mbap.h"

#include "protocol/frames.h"

#include <algorithm>

namespace protocol::mbap {

namespace {

void putWord(Bytes &out, std::uint16_t word)
{
    out.push_back(static_cast<std::uint8_t>(word >> 8));
    out.push_back(static_cast<std::uint8_t>(word & 0xFF));
}

std::uint16_t wordAt(const std::uint8_t *p)
{
    return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}

// Past this many framed bytes at the buffer's front, they are dropped, so that a
// connection that stays open for a month keeps a small buffer.
constexpr std::size_t kCompactAt = 4096;

} // namespace

Bytes encode(const Adu &adu)
{
    Bytes out;
    out.reserve(kHeaderSize + adu.pdu.size());
    putWord(out, adu.transaction);
    putWord(out, 0);
    putWord(out, static_cast<std::uint16_t>(adu.pdu.size() + 1));
    out.push_back(adu.unit);
    out.insert(out.end(), adu.pdu.begin(), adu.pdu.end());
    return out;
}

void StreamReader::feed(const std::uint8_t *data, std::size_t size)
{
    if (malformed() || size == 0) {
        return;
    }
    if (m_start >= kCompactAt) {
        m_buffer.erase(m_buffer.begin(), m_buffer.begin() + static_cast<std::ptrdiff_t>(m_start));
        m_start = 0;
    }
    m_buffer.insert(m_buffer.end(), data, data + size);
}

std::optional<Adu> StreamReader::next()
{
    if (malformed() || pending() < 6) {
        return std::nullopt;
    }
    const std::uint8_t *head = m_buffer.data() + m_start;
    const std::uint16_t protocolId = wordAt(head + 2);
    const std::uint16_t length = wordAt(head + 4);
    if (protocolId != 0) {
        m_why = "protocol id " + std::to_string(protocolId);
        return std::nullopt;
    }
    // The unit id and at least a function code; no more than a PDU's worth.
    if (length < 2 || length > kMaxPduSize + 1) {
        m_why = "length " + std::to_string(length);
        return std::nullopt;
    }
    const std::size_t whole = 6 + std::size_t{length};
    if (pending() < whole) {
        return std::nullopt;
    }
    Adu adu;
    adu.transaction = wordAt(head);
    adu.unit = head[6];
    adu.pdu.assign(head + kHeaderSize, head + whole);
    m_start += whole;
    if (m_start == m_buffer.size()) {
        m_buffer.clear();
        m_start = 0;
    }
    return adu;
}

Frame toRtu(std::uint8_t unit, const Bytes &pdu)
{
    Frame frame;
    frame.reserve(1 + pdu.size() + kCrcSize);
    frame.push_back(unit);
    frame.insert(frame.end(), pdu.begin(), pdu.end());
    appendCrc(frame);
    return frame;
}

Bytes pduOf(const Frame &rtu)
{
    if (rtu.size() < 2 + kCrcSize) {
        return {};
    }
    return Bytes(rtu.begin() + 1, rtu.end() - static_cast<std::ptrdiff_t>(kCrcSize));
}

Bytes exceptionPdu(std::uint8_t function, std::uint8_t code)
{
    return {static_cast<std::uint8_t>(function | 0x80), code};
}

Bytes noticePdu(NoticeStage stage)
{
    return {kNoticeFunction, static_cast<std::uint8_t>(stage)};
}

std::optional<NoticeStage> noticeStageOf(const Adu &adu)
{
    if (adu.pdu.size() != 2 || adu.pdu[0] != kNoticeFunction) {
        return std::nullopt;
    }
    switch (adu.pdu[1]) {
    case static_cast<std::uint8_t>(NoticeStage::Queued):
        return NoticeStage::Queued;
    case static_cast<std::uint8_t>(NoticeStage::OnLine):
        return NoticeStage::OnLine;
    default:
        return std::nullopt;
    }
}

} // namespace protocol::mbap

namespace protocol::mbap {

GatewayVerdict judgeGatewayRequest(const Adu &request, const GatewayPolicy &policy)
{
    const std::uint8_t function = request.pdu.empty() ? 0 : request.pdu[0];
    auto refuse = [&](std::uint8_t code) {
        return GatewayVerdict{{}, exceptionPdu(function, code)};
    };
    if (function != kReadHoldingRegisters && function != kWriteSingleRegister) {
        return refuse(kIllegalFunction);
    }
    if (std::find(policy.units.begin(), policy.units.end(), request.unit) == policy.units.end()) {
        return refuse(kGatewayPathUnavailable);
    }
    // Both functions carry a register and a word (a count or a value), nothing more.
    if (request.pdu.size() != 5) {
        return refuse(kIllegalDataValue);
    }
    const std::uint16_t reg = wordAt(request.pdu.data() + 1);
    const std::uint16_t word = wordAt(request.pdu.data() + 3);
    if (function == kReadHoldingRegisters) {
        // A read asks for 1..125 registers.
        if (word == 0 || word > 125) {
            return refuse(kIllegalDataValue);
        }
    } else if (reg == reg::kSlaveAddress && !policy.allowAddressChange) {
        return refuse(kIllegalDataAddress);
    } else if ((reg == reg::kSetVoltage && word > policy.largestVoltageCount) ||
               (reg == reg::kSetCurrent && word > policy.largestCurrentCount)) {
        return refuse(kIllegalDataValue);
    }
    return GatewayVerdict{toRtu(request.unit, request.pdu), {}};
}

} // namespace protocol::mbap

namespace protocol::mbap {

namespace {

bool knownKind(std::uint8_t byte)
{
    return byte >= static_cast<std::uint8_t>(CeilingKind::Voltage) &&
           byte <= static_cast<std::uint8_t>(CeilingKind::Power);
}

// At most `limit` bytes of UTF-8 `text`, never ending inside a character.
void appendCut(Bytes &out, const std::string &text, std::size_t limit)
{
    std::size_t size = std::min(text.size(), limit);
    // A continuation byte (10xxxxxx) at the cut belongs to a character cut in two.
    while (size < text.size() && size > 0 &&
           (static_cast<std::uint8_t>(text[size]) & 0xC0) == 0x80) {
        --size;
    }
    out.insert(out.end(), text.begin(), text.begin() + static_cast<std::ptrdiff_t>(size));
}

} // namespace

Bytes holdPdu(const CeilingHold &hold)
{
    Bytes pdu{kHoldCeiling,
              static_cast<std::uint8_t>(hold.kind),
              static_cast<std::uint8_t>(hold.value >> 8),
              static_cast<std::uint8_t>(hold.value & 0xFF),
              static_cast<std::uint8_t>(hold.pid >> 24),
              static_cast<std::uint8_t>((hold.pid >> 16) & 0xFF),
              static_cast<std::uint8_t>((hold.pid >> 8) & 0xFF),
              static_cast<std::uint8_t>(hold.pid & 0xFF)};
    appendCut(pdu, hold.holder, kMaxHolderName);
    return pdu;
}

namespace {

void appendWord32(Bytes &out, std::uint32_t value)
{
    for (int shift = 24; shift >= 0; shift -= 8) {
        out.push_back(static_cast<std::uint8_t>((value >> shift) & 0xFF));
    }
}

std::uint32_t word32At(const Bytes &pdu, std::size_t at)
{
    return (std::uint32_t{pdu[at]} << 24) | (std::uint32_t{pdu[at + 1]} << 16) |
           (std::uint32_t{pdu[at + 2]} << 8) | std::uint32_t{pdu[at + 3]};
}

} // namespace

Bytes replyWaitPdu(const ReplyWait &wait)
{
    Bytes pdu{kReplyWait};
    appendWord32(pdu, wait.timeoutMs);
    appendWord32(pdu, wait.firstByteMs);
    return pdu;
}

std::optional<ReplyWait> readReplyWait(const Bytes &pdu)
{
    if (pdu.size() != 9 || pdu[0] != kReplyWait) {
        return std::nullopt;
    }
    const ReplyWait wait{word32At(pdu, 1), word32At(pdu, 5)};
    if (wait.timeoutMs == 0) {
        return std::nullopt;
    }
    return wait;
}

Bytes releasePdu(CeilingKind kind)
{
    return {kReleaseCeiling, static_cast<std::uint8_t>(kind)};
}

Bytes refusalPdu(std::uint8_t function, const std::string &text)
{
    Bytes pdu{kRefused, function};
    appendCut(pdu, text, kMaxRefusalText);
    return pdu;
}

std::optional<CeilingHold> readHold(const Bytes &pdu)
{
    if (pdu.size() < 8 || pdu[0] != kHoldCeiling || !knownKind(pdu[1])) {
        return std::nullopt;
    }
    CeilingHold hold;
    hold.kind = static_cast<CeilingKind>(pdu[1]);
    hold.value = wordAt(pdu.data() + 2);
    hold.pid = (std::uint32_t{pdu[4]} << 24) | (std::uint32_t{pdu[5]} << 16) |
               (std::uint32_t{pdu[6]} << 8) | std::uint32_t{pdu[7]};
    hold.holder.assign(pdu.begin() + 8, pdu.end());
    return hold;
}

std::optional<CeilingKind> readRelease(const Bytes &pdu)
{
    if (pdu.size() != 2 || pdu[0] != kReleaseCeiling || !knownKind(pdu[1])) {
        return std::nullopt;
    }
    return static_cast<CeilingKind>(pdu[1]);
}

std::optional<std::string> readRefusal(const Bytes &pdu)
{
    if (pdu.size() < 2 || pdu[0] != kRefused) {
        return std::nullopt;
    }
    return std::string(pdu.begin() + 2, pdu.end());
}

} // namespace protocol::mbap
