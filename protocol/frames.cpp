#include "protocol/frames.h"

#include "protocol/crc16.h"

namespace protocol {

namespace {

std::uint8_t highByte(std::uint16_t word)
{
    return static_cast<std::uint8_t>(word >> 8);
}

std::uint8_t lowByte(std::uint16_t word)
{
    return static_cast<std::uint8_t>(word & 0xFF);
}

// The CRC over `size` bytes matches the two bytes after them (low byte first).
bool crcMatches(const std::uint8_t *data, std::size_t size)
{
    const auto crc = CRC16(data, size);
    return data[size] == crc[1] && data[size + 1] == crc[0];
}

} // namespace

Frame buildRequest(std::uint8_t address, std::uint8_t function, std::uint16_t reg,
                   std::uint16_t value)
{
    Frame frame{address, function, highByte(reg), lowByte(reg), highByte(value), lowByte(value)};
    const auto crc = CRC16(frame);
    frame.push_back(crc[1]);
    frame.push_back(crc[0]);
    return frame;
}

Frame buildReadStatusRequest(std::uint8_t address)
{
    return buildRequest(address, kReadHoldingRegisters, reg::kSetVoltage, kStatusWords);
}

Frame buildSetVoltageRequest(std::uint8_t address, std::uint16_t code)
{
    return buildRequest(address, kWriteSingleRegister, reg::kSetVoltage, code);
}

Frame buildSetCurrentRequest(std::uint8_t address, std::uint16_t code)
{
    return buildRequest(address, kWriteSingleRegister, reg::kSetCurrent, code);
}

Frame buildSwitchOutputRequest(std::uint8_t address, bool on)
{
    return buildRequest(address, kWriteSingleRegister, reg::kOutputSwitch, on ? 1 : 0);
}

Frame buildSetAddressRequest(std::uint8_t oldAddress, std::uint8_t newAddress)
{
    return buildRequest(oldAddress, kWriteSingleRegister, reg::kSlaveAddress, newAddress);
}

StatusCheck checkStatusReply(const std::uint8_t *data, std::size_t size,
                             std::uint8_t expectedAddress)
{
    if (size < 3) {
        return StatusCheck::TooShort;
    }
    if (data[0] != expectedAddress || data[1] != kReadHoldingRegisters ||
        data[2] != kStatusByteCount) {
        return StatusCheck::BadHeader;
    }
    if (size < kStatusReplySize) {
        return StatusCheck::TooShort;
    }
    return crcMatches(data, kStatusReplySize - 2) ? StatusCheck::Ok : StatusCheck::BadCrc;
}

std::optional<std::int16_t> statusWord(const std::uint8_t *reply, std::size_t size, int index)
{
    // Word i sits at bytes 3 + 2i (high) and 4 + 2i (low).
    const std::size_t at = 3 + 2 * static_cast<std::size_t>(index);
    if (index < 0 || index >= kStatusWords || at + 1 >= size) {
        return std::nullopt;
    }
    if (reply[at] >= 0x80) {
        return std::nullopt;
    }
    return static_cast<std::int16_t>(reply[at] * 256 + reply[at + 1]);
}

std::optional<std::uint8_t> statusLowByte(const std::uint8_t *reply, std::size_t size, int index)
{
    const std::size_t at = 4 + 2 * static_cast<std::size_t>(index);
    if (index < 0 || index >= kStatusWords || at >= size) {
        return std::nullopt;
    }
    return reply[at];
}

bool checkAddressEcho(const std::uint8_t *data, std::size_t size, std::uint8_t oldAddress)
{
    if (size < kWriteEchoSize) {
        return false;
    }
    if (data[0] != oldAddress || data[1] != kWriteSingleRegister ||
        data[2] != highByte(reg::kSlaveAddress) || data[3] != lowByte(reg::kSlaveAddress)) {
        return false;
    }
    return crcMatches(data, kWriteEchoSize - 2);
}

} // namespace protocol
