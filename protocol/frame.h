#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace protocol {

// One RTU frame: address, function, data, then the CRC-16/MODBUS of every byte
// before it, low byte first (the one place of the tree that says so is
// appendCrc/crcOk).
using Frame = std::vector<std::uint8_t>;

constexpr std::size_t kCrcSize = 2;

// Appends the CRC of the bytes already in `frame`, low byte first.
void appendCrc(Frame &frame);

// `body` with its CRC appended.
Frame withCrc(Frame body);

// The last two of the `length` bytes at `data` are the CRC of those before them,
// low byte first. False for fewer than three bytes: no frame is that short.
bool crcOk(const std::uint8_t *data, std::size_t length);

inline bool crcOk(const Frame &frame)
{
    return crcOk(frame.data(), frame.size());
}

} // namespace protocol
