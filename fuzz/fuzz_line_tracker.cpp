// Input: a sequence of steps, each an opcode byte and its operands: send a read
// or a write to an address (with or without a first-byte wait), bytes arriving
// after a delay, the clock moving to the next deadline (on time or a little
// early), a stop. A whole status reply is put in the stream when asked for, so
// that good replies are reached too.
#include "engine/linetracker.h"
#include "fuzzcheck.h"
#include "protocol/frame.h"
#include "protocol/frames.h"
#include "protocol/reply.h"

#include <algorithm>
#include <chrono>

using engine::LineTracker;
using namespace std::chrono_literals;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    LineTracker line;
    line.setTimeout(150ms);
    line.setTracing((size & 1) != 0);
    std::chrono::nanoseconds now = 1s;
    protocol::Frame request;
    std::size_t replySize = 0;
    long sent = 0;
    long results = 0;
    std::size_t i = 0;
    auto next = [&]() -> std::uint8_t { return i < size ? data[i++] : 0; };
    auto check = [&] {
        if (auto result = line.takeResult()) {
            ++results;
            FUZZ_CHECK(!line.waiting());
            if (result->error == engine::Error::None) {
                const auto j = protocol::judgeReply(request, replySize, result->bytes.data(),
                                                    result->bytes.size());
                FUZZ_CHECK(j.verdict == protocol::ReplyVerdict::Ok);
                FUZZ_CHECK(j.length == result->bytes.size());
            }
        }
        FUZZ_CHECK(line.waiting() == line.nextExpiry().has_value());
        FUZZ_CHECK(!line.waiting() || line.wanted() >= 1);
    };
    while (i < size) {
        const std::uint8_t op = next();
        switch (op % 6) {
        case 0: { // a request, once the line allows it
            if (line.waiting()) {
                break;
            }
            const std::uint8_t address = next() % 4;
            const bool write = (op & 0x10) != 0;
            request = write ? protocol::buildSwitchOutputRequest(address, (op & 0x20) != 0)
                            : protocol::buildReadStatusRequest(address);
            replySize = write ? request.size() : protocol::kStatusReplySize;
            now = std::max(now, line.sendableAt(address));
            std::optional<std::chrono::nanoseconds> firstByte;
            if ((op & 0x40) != 0) {
                firstByte = 30ms;
            }
            line.sent(request, replySize, firstByte, now);
            ++sent;
            break;
        }
        case 1: { // bytes after a delay
            now += std::chrono::microseconds(next()) * 100;
            const std::size_t want = next() % 32;
            const std::size_t n = std::min(want, size - i);
            line.received(data + i, n, now);
            i += n;
            break;
        }
        case 2: { // a whole status reply to the address asked, or a copy of the request
            now += std::chrono::microseconds(next()) * 200;
            protocol::Frame frame = request;
            if ((op & 0x10) == 0) {
                // address, 0x03, 12 bytes of six words, CRC
                frame = {request.empty() ? std::uint8_t{1} : request[0], 0x03, 12};
                for (int k = 0; k < 12; ++k) {
                    frame.push_back(next());
                }
                protocol::appendCrc(frame);
            }
            line.received(frame.data(), frame.size(), now);
            break;
        }
        case 3: // the timer, on time or early
            if (const auto at = line.nextExpiry()) {
                now = std::max(now, *at - std::chrono::milliseconds(next() % 8));
                line.handleExpiry(now);
            }
            break;
        case 4:
            line.interrupt(now);
            break;
        case 5:
            line.setEcho((op & 0x10) != 0);
            break;
        }
        check();
        line.takeEvents();
        line.takeLate();
    }
    // Every request ends by its deadline at the latest.
    for (int guard = 0; line.waiting() && guard < 8; ++guard) {
        now = std::max(now, *line.nextExpiry());
        line.handleExpiry(now);
        check();
    }
    FUZZ_CHECK(!line.waiting());
    FUZZ_CHECK(results == sent);
    FUZZ_CHECK(line.stats().requests == sent);
    return 0;
}
