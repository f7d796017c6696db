#include "protocol/reply.h"

#include <algorithm>

namespace protocol {

namespace {

// address + function + byte count + CRC (2)
constexpr std::size_t kReadReplyOverhead = 5;

} // namespace

ReplyJudgement judgeReply(const Frame &request, std::size_t replySize, const std::uint8_t *data,
                          std::size_t size)
{
    ReplyJudgement j;
    if (size == 0 || request.size() < 2) {
        return j;
    }
    if (data[0] != request[0]) {
        j.verdict = ReplyVerdict::NotOurs;
        return j;
    }
    if (size < 2) {
        return j;
    }
    const std::uint8_t function = request[1];
    if (data[1] == (function | kExceptionFlag)) {
        if (size < kExceptionReplySize) {
            return j;
        }
        j.length = kExceptionReplySize;
        j.verdict = crcOk(data, j.length) ? ReplyVerdict::Exception : ReplyVerdict::BadCrc;
        j.exceptionCode = j.verdict == ReplyVerdict::Exception ? data[2] : 0;
        return j;
    }
    if (data[1] != function || replySize < kReadReplyOverhead) {
        j.verdict = ReplyVerdict::NotOurs;
        return j;
    }
    if (function == kReadHoldingRegisters && size >= 3 &&
        data[2] != replySize - kReadReplyOverhead) {
        j.verdict = ReplyVerdict::NotOurs;
        return j;
    }
    if (size < replySize) {
        return j;
    }
    j.length = replySize;
    j.verdict = crcOk(data, replySize) ? ReplyVerdict::Ok : ReplyVerdict::BadCrc;
    return j;
}

ReplyJudgement judgeStatusReply(std::uint8_t address, const std::uint8_t *data, std::size_t size)
{
    return judgeReply(buildReadStatusRequest(address), kStatusReplySize, data, size);
}

std::size_t wholeFrameLength(const std::uint8_t *data, std::size_t size)
{
    if (size < 2) {
        return 0;
    }
    const std::uint8_t function = data[1];
    if ((function & kExceptionFlag) != 0) {
        return size >= kExceptionReplySize && crcOk(data, kExceptionReplySize) ? kExceptionReplySize
                                                                               : 0;
    }
    if (function == kReadHoldingRegisters && size >= 3) {
        const std::size_t reply = kReadReplyOverhead + data[2];
        if (size >= reply && crcOk(data, reply)) {
            return reply;
        }
    }
    if ((function == kReadHoldingRegisters || function == kWriteSingleRegister) &&
        size >= kRequestSize && crcOk(data, kRequestSize)) {
        return kRequestSize;
    }
    return 0;
}

EchoMatch matchEcho(const Frame &request, const std::uint8_t *data, std::size_t size)
{
    const std::size_t n = std::min(size, request.size());
    if (!std::equal(data, data + n, request.begin())) {
        return EchoMatch::No;
    }
    return n == request.size() ? EchoMatch::Whole : EchoMatch::Partial;
}

bool isWriteEcho(const Frame &request, const std::uint8_t *data, std::size_t size)
{
    return size == request.size() && std::equal(data, data + size, request.begin());
}

const char *exceptionName(int code)
{
    switch (code) {
    case 1:
        return "illegal function";
    case 2:
        return "illegal data address";
    case 3:
        return "illegal data value";
    case 4:
        return "device failure";
    default:
        return "unknown";
    }
}

} // namespace protocol
