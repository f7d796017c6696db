// Input: the expected address, a flags byte (see fuzz::lineBytes), then the
// bytes read from the line.
#include "fuzzcheck.h"
#include "protocol/crc16.h"
#include "protocol/frames.h"
#include "protocol/reading.h"
#include "protocol/reply.h"

using protocol::ReplyVerdict;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size < 2) {
        return 0;
    }
    const std::uint8_t address = data[0];
    const std::vector<std::uint8_t> bytes = fuzz::lineBytes(data + 2, size - 2, data[1], 15);
    const std::uint8_t *reply = bytes.data();
    const std::size_t n = bytes.size();

    // The windows' and the shell's one judgement: Ok exactly for a whole status
    // header from `address` and a CRC that fits, whatever follows.
    const ReplyVerdict result = protocol::judgeStatusReply(address, reply, n).verdict;
    const bool whole = n >= 17 && reply[0] == address && reply[1] == 0x03 && reply[2] == 12 &&
                       fuzz::crcFollows(reply, 15);
    FUZZ_CHECK((result == ReplyVerdict::Ok) == whole);
    FUZZ_CHECK((protocol::checkStatusReply(reply, n, address) == protocol::StatusCheck::Ok) ==
               whole);
    if (n > 17) {
        FUZZ_CHECK(protocol::judgeStatusReply(address, reply, 17).verdict == result);
    }
    if (whole) {
        const auto reading = protocol::decodeStatusReading(reply, n);
        FUZZ_CHECK(reading.has_value() ==
                   (reply[3] < 0x80 && reply[5] < 0x80 && reply[7] < 0x80 && reply[9] < 0x80));
    }
    // crcOk takes the CRC low byte first, as the textbook routine puts it.
    FUZZ_CHECK(protocol::crcOk(reply, n) == (n >= 3 && fuzz::crcFollows(reply, n - 2)));

    // The two CRC routines agree with the textbook one on any bytes.
    const auto crc = protocol::CRC16(reply, n);
    const std::uint16_t reference = fuzz::referenceCrc(reply, n);
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
