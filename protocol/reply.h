#pragma once

#include "protocol/frames.h"

#include <cstddef>
#include <cstdint>

namespace protocol {

// address + (function | 0x80) + code + CRC (2)
constexpr std::size_t kExceptionReplySize = 5;
constexpr std::uint8_t kExceptionFlag = 0x80;

// What the bytes at the start of a receive buffer are to one request.
enum class ReplyVerdict {
    Incomplete, // the start of the reply, or nothing yet
    Ok,         // the expected reply with a good CRC
    Exception,  // an exception reply with a good CRC
    BadCrc,     // a reply of the expected shape whose CRC does not match
    NotOurs,    // another address, function or byte count
};

struct ReplyJudgement {
    ReplyVerdict verdict = ReplyVerdict::Incomplete;
    std::size_t length = 0;         // bytes the reply takes (Ok, Exception, BadCrc)
    std::uint8_t exceptionCode = 0; // Exception only
};

// Judges `data` as the reply to `request`, whose normal reply has `replySize`
// bytes: the same address and function, for a read the byte count that fits
// `replySize`, then the CRC (low byte first) over the reply's own length. The
// header is judged as soon as its bytes are there, so a foreign frame is known
// before it ends; bytes after the reply are ignored.
ReplyJudgement judgeReply(const Frame &request, std::size_t replySize, const std::uint8_t *data,
                          std::size_t size);

// The one judgement of a status reply, for the windows and the shell alike:
// judgeReply of the bytes against buildReadStatusRequest(address).
ReplyJudgement judgeStatusReply(std::uint8_t address, const std::uint8_t *data, std::size_t size);

// The length of a whole frame with a good CRC at the start of `data`, as one of
// the functions the supply knows sends it: an exception reply, a read reply (its
// byte count), a read request or a write request and its echo (8 bytes); 0 when
// the bytes there are no such frame, or not yet.
std::size_t wholeFrameLength(const std::uint8_t *data, std::size_t size);

// How far `data` repeats `request`, as an adapter that hears its own sending
// gives it back.
enum class EchoMatch { Partial, Whole, No };
EchoMatch matchEcho(const Frame &request, const std::uint8_t *data, std::size_t size);

// A write reply confirms the write only as the request's exact copy.
bool isWriteEcho(const Frame &request, const std::uint8_t *data, std::size_t size);

// "illegal function", "illegal data address", "illegal data value",
// "device failure"; "unknown" for any other code.
const char *exceptionName(int code);

} // namespace protocol
