#include "protocol/crc16.h"

namespace protocol {

namespace {

// The register's change for each value of its low byte XORed with a data byte:
// eight shifts of the reflected polynomial 0xA001, worked out once at compile time.
constexpr std::array<std::uint16_t, 256> makeTable()
{
    std::array<std::uint16_t, 256> table{};
    for (unsigned value = 0; value < 256; ++value) {
        unsigned crc = value;
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 0x0001U) != 0 ? (crc >> 1) ^ 0xA001U : crc >> 1;
        }
        table[value] = static_cast<std::uint16_t>(crc);
    }
    return table;
}

constexpr std::array<std::uint16_t, 256> kTable = makeTable();

static_assert(kTable[1] == 0xC0C1 && kTable[128] == 0xA001 && kTable[255] == 0x4040);

} // namespace

std::uint16_t crc16Modbus(const std::uint8_t *data, std::size_t size)
{
    // One table step a byte: the low byte of the register, XORed with the data
    // byte, picks the change; the high byte shifts down into the low.
    std::uint16_t crc = 0xFFFF;
    for (std::size_t i = 0; i < size; ++i) {
        crc = static_cast<std::uint16_t>((crc >> 8) ^ kTable[(crc ^ data[i]) & 0xFFU]);
    }
    return crc;
}

std::array<std::uint8_t, 2> CRC16(const std::uint8_t *data, std::size_t size)
{
    const std::uint16_t crc = crc16Modbus(data, size);
    return {static_cast<std::uint8_t>(crc >> 8), static_cast<std::uint8_t>(crc & 0xFF)};
}

} // namespace protocol
