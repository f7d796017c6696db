// Input: a flags byte (bit 0: put a good CRC over the reply's length, see
// fuzz::lineBytes; bit 1: a write request, else a status read), the
// request's address, then the bytes read from the line.
#include "fuzzcheck.h"
#include "protocol/frames.h"
#include "protocol/reply.h"

using protocol::ReplyVerdict;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size < 2) {
        return 0;
    }
    const bool write = (data[0] & 0x02) != 0;
    const protocol::Frame request = write ? protocol::buildSetVoltageRequest(data[1], 1234)
                                          : protocol::buildReadStatusRequest(data[1]);
    const std::size_t replySize = write ? protocol::kWriteEchoSize : protocol::kStatusReplySize;
    const std::vector<std::uint8_t> bytes =
        fuzz::lineBytes(data + 2, size - 2, data[0], replySize - 2);
    const std::uint8_t *line = bytes.data();
    const std::size_t n = bytes.size();

    const auto j = protocol::judgeReply(request, replySize, line, n);
    switch (j.verdict) {
    case ReplyVerdict::Ok:
        FUZZ_CHECK(j.length == replySize && n >= replySize);
        FUZZ_CHECK(line[0] == request[0] && line[1] == request[1]);
        FUZZ_CHECK(fuzz::crcFollows(line, replySize - 2));
        break;
    case ReplyVerdict::Exception:
        FUZZ_CHECK(j.length == 5 && line[1] == (request[1] | 0x80));
        FUZZ_CHECK(fuzz::crcFollows(line, 3) && j.exceptionCode == line[2]);
        break;
    case ReplyVerdict::BadCrc:
        FUZZ_CHECK(j.length <= n && !fuzz::crcFollows(line, j.length - 2));
        break;
    case ReplyVerdict::NotOurs:
        FUZZ_CHECK(n >= 1);
        break;
    case ReplyVerdict::Incomplete:
        FUZZ_CHECK(n < replySize);
        break;
    }
    // A verdict other than Incomplete holds however many bytes follow, and every
    // shorter buffer is judged Incomplete or the same way.
    for (std::size_t m = 0; m < n; ++m) {
        const auto shorter = protocol::judgeReply(request, replySize, line, m);
        FUZZ_CHECK(shorter.verdict == ReplyVerdict::Incomplete || shorter.verdict == j.verdict);
    }

    const std::size_t whole = protocol::wholeFrameLength(line, n);
    if (whole != 0) {
        FUZZ_CHECK(whole >= 5 && whole <= n && fuzz::crcFollows(line, whole - 2));
    }
    const auto echo = protocol::matchEcho(request, line, n);
    FUZZ_CHECK((echo == protocol::EchoMatch::Whole) ==
               (n >= request.size() && std::equal(request.begin(), request.end(), line)));
    return 0;
}
