#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace protocol {

// CRC-16/MODBUS: reflected polynomial 0xA001, initial value 0xFFFF, no final XOR.
// Returns the register's high byte first and its low byte second; frames carry
// them the other way round (low byte, then high byte).
std::array<std::uint8_t, 2> CRC16(const std::uint8_t *data, std::size_t size);

inline std::array<std::uint8_t, 2> CRC16(const std::vector<std::uint8_t> &bytes)
{
    return CRC16(bytes.data(), bytes.size());
}

// The same CRC as one 16-bit value (high byte in the upper half).
std::uint16_t crc16Modbus(const std::uint8_t *data, std::size_t size);

} // namespace protocol
