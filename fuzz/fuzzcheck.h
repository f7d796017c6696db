#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

// A broken property is a crash to the fuzzer: it keeps the input that caused it.
#define FUZZ_CHECK(condition)                                                                      \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition);     \
            std::abort();                                                                          \
        }                                                                                          \
    } while (false)

namespace fuzz {

// Textbook CRC-16/MODBUS on one 16-bit register, to compare the two-byte routine with.
inline std::uint16_t referenceCrc(const std::uint8_t *data, std::size_t size)
{
    std::uint16_t crc = 0xFFFF;
    for (std::size_t i = 0; i < size; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 1) != 0 ? static_cast<std::uint16_t>((crc >> 1) ^ 0xA001)
                                 : static_cast<std::uint16_t>(crc >> 1);
        }
    }
    return crc;
}

// The two bytes after `size` bytes carry their CRC, low byte first.
inline bool crcFollows(const std::uint8_t *data, std::size_t size)
{
    const std::uint16_t crc = referenceCrc(data, size);
    return data[size] == (crc & 0xFF) && data[size + 1] == (crc >> 8);
}

// The bytes a target reads from the line. A random CRC almost never fits, so the
// fuzzer would hardly get past the CRC test: when bit 0 of `flags` is set, the
// CRC over the first `covered` bytes is written into the two bytes after them.
inline std::vector<std::uint8_t> lineBytes(const std::uint8_t *data, std::size_t size,
                                           std::uint8_t flags, std::size_t covered)
{
    std::vector<std::uint8_t> bytes(data, data + size);
    if ((flags & 0x01) != 0 && size >= covered + 2) {
        const std::uint16_t crc = referenceCrc(bytes.data(), covered);
        bytes[covered] = static_cast<std::uint8_t>(crc & 0xFF);
        bytes[covered + 1] = static_cast<std::uint8_t>(crc >> 8);
    }
    return bytes;
}

} // namespace fuzz
