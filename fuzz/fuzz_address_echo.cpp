// Input: the old address, a flags byte (see fuzz::lineBytes), then the bytes
// read from the line.
#include "fuzzcheck.h"
#include "protocol/frames.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size < 2) {
        return 0;
    }
    const std::uint8_t oldAddress = data[0];
    const std::vector<std::uint8_t> bytes = fuzz::lineBytes(data + 2, size - 2, data[1], 6);
    const std::uint8_t *reply = bytes.data();
    const std::size_t n = bytes.size();

    const bool accepted = protocol::checkAddressEcho(reply, n, oldAddress);
    const bool expected = n >= 8 && reply[0] == oldAddress && reply[1] == 0x06 &&
                          reply[2] == 0x10 && reply[3] == 0x08 && fuzz::crcFollows(reply, 6);
    FUZZ_CHECK(accepted == expected);
    if (n > 8) {
        FUZZ_CHECK(protocol::checkAddressEcho(reply, 8, oldAddress) == accepted);
    }
    // Our own request is always its own valid echo.
    if (n >= 2) {
        const auto request = protocol::buildSetAddressRequest(oldAddress, reply[1]);
        FUZZ_CHECK(protocol::checkAddressEcho(request.data(), request.size(), oldAddress));
    }
    return 0;
}
