#include "protocol/frames.h"

#include "protocol/reply.h"

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

} // namespace

Frame buildRequest(std::uint8_t address, std::uint8_t function, std::uint16_t reg,
                   std::uint16_t value)
{
    return withCrc(
        {address, function, highByte(reg), lowByte(reg), highByte(value), lowByte(value)});
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
    switch (judgeStatusReply(expectedAddress, data, size).verdict) {
    case ReplyVerdict::Ok:
        return StatusCheck::Ok;
    case ReplyVerdict::BadCrc:
        return StatusCheck::BadCrc;
    case ReplyVerdict::Incomplete:
        return StatusCheck::TooShort;
    case ReplyVerdict::NotOurs:
    case ReplyVerdict::Exception:
        break;
    }
    return StatusCheck::BadHeader;
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
    return crcOk(data, kWriteEchoSize);
}

} // namespace protocol
