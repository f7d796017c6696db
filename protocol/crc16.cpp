#include "protocol/crc16.h"

namespace protocol {

std::array<std::uint8_t, 2> CRC16(const std::uint8_t *data, std::size_t size)
{
    // Two register bytes shifted as one 16-bit register: the low bit of H moves
    // into the top of L, and a 1 falling out of L applies the polynomial 0xA001.
    std::uint8_t high = 0xFF;
    std::uint8_t low = 0xFF;
    for (std::size_t i = 0; i < size; ++i) {
        low ^= data[i];
        for (int bit = 0; bit < 8; ++bit) {
            const bool highLsb = (high & 0x01) != 0;
            const bool lowLsb = (low & 0x01) != 0;
            high = static_cast<std::uint8_t>(high >> 1);
            low = static_cast<std::uint8_t>(low >> 1);
            if (highLsb) {
                low |= 0x80;
            }
            if (lowLsb) {
                high ^= 0xA0;
                low ^= 0x01;
            }
        }
    }
    return {high, low};
}

std::uint16_t crc16Modbus(const std::uint8_t *data, std::size_t size)
{
    const auto crc = CRC16(data, size);
    return static_cast<std::uint16_t>((crc[0] << 8) | crc[1]);
}

} // namespace protocol
