// Input: the expected address, a flags byte (see fuzzcheck::lineBytes), then the
// bytes read from the line.
#include "fuzzcheck.h"
#include "protocol/crc16.h"
#include "protocol/frames.h"

using protocol::StatusCheck;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size < 2) {
        return 0;
    }
    const std::uint8_t address = data[0];
    const std::vector<std::uint8_t> bytes = fuzzcheck::lineBytes(data + 2, size - 2, data[1], 15);
    const std::uint8_t *reply = bytes.data();
    const std::size_t n = bytes.size();

    const StatusCheck result = protocol::checkStatusReply(reply, n, address);
    const bool headerOk = n >= 3 && reply[0] == address && reply[1] == 0x03 && reply[2] == 12;
    if (n < 3) {
        FUZZ_CHECK(result == StatusCheck::TooShort);
    } else if (!headerOk) {
        FUZZ_CHECK(result == StatusCheck::BadHeader);
    } else if (n < 17) {
        FUZZ_CHECK(result == StatusCheck::TooShort);
    } else {
        FUZZ_CHECK(result ==
                   (fuzzcheck::crcFollows(reply, 15) ? StatusCheck::Ok : StatusCheck::BadCrc));
    }
    if (n > 17) {
        FUZZ_CHECK(protocol::checkStatusReply(reply, 17, address) == result);
    }

    // The two CRC routines agree with the textbook one on any bytes.
    const auto crc = protocol::CRC16(reply, n);
    const std::uint16_t reference = fuzzcheck::referenceCrc(reply, n);
    FUZZ_CHECK(crc[0] == (reference >> 8) && crc[1] == (reference & 0xFF));
    FUZZ_CHECK(protocol::crc16Modbus(reply, n) == reference);

    // Words of any buffer, indices out of range included, never read past its end.
    for (int i = -1; i <= protocol::kStatusWords; ++i) {
        const auto word = protocol::statusWord(reply, n, i);
        const std::size_t at = 3 + 2 * static_cast<std::size_t>(i);
        if (i < 0 || i >= protocol::kStatusWords || at + 1 >= n) {
            FUZZ_CHECK(!word);
            continue;
        }
        FUZZ_CHECK(word.has_value() == (reply[at] < 0x80));
        if (word) {
            FUZZ_CHECK(*word == reply[at] * 256 + reply[at + 1]);
        }
    }
    return 0;
}
