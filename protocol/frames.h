#pragma once

#include "protocol/frame.h"

#include <cstddef>
#include <cstdint>
#include <optional>

namespace protocol {

// Registers of the supply. Set and actual values are counts of 10 mV and 1 mA.
namespace reg {
constexpr std::uint16_t kSetVoltage = 0x1000;
constexpr std::uint16_t kSetCurrent = 0x1001;
constexpr std::uint16_t kActualVoltage = 0x1002;
constexpr std::uint16_t kActualCurrent = 0x1003;
constexpr std::uint16_t kOutputState = 0x1004;
constexpr std::uint16_t kRegulationMode = 0x1005;
constexpr std::uint16_t kOutputSwitch = 0x1006;
constexpr std::uint16_t kSlaveAddress = 0x1008;
} // namespace reg

// Set and actual values in counts: two decimals of a volt, three of an ampere.
constexpr int kVoltageDecimals = 2;
constexpr int kCurrentDecimals = 3;
constexpr double kCountsPerVolt = 100.0;
constexpr double kCountsPerAmp = 1000.0;

// The largest set values the supply takes: 62.00 V in 10 mV, 3.200 A in 1 mA.
constexpr int kLargestVoltageCode = 6200;
constexpr int kLargestCurrentCode = 3200;

constexpr std::uint8_t kReadHoldingRegisters = 0x03;
constexpr std::uint8_t kWriteSingleRegister = 0x06;
constexpr std::uint8_t kBroadcastAddress = 0;

// address + function + register (2) + value or count (2) + CRC (2)
constexpr std::size_t kRequestSize = 8;
// address + function + byte count + six words (12) + CRC (2)
constexpr std::size_t kStatusReplySize = 17;
constexpr std::uint8_t kStatusByteCount = 12;
constexpr int kStatusWords = 6;
// A write request comes back unchanged.
constexpr std::size_t kWriteEchoSize = 8;

// Requests. Words go high byte first, the CRC over bytes 0..5 low byte first.
Frame buildRequest(std::uint8_t address, std::uint8_t function, std::uint16_t reg,
                   std::uint16_t value);
Frame buildReadStatusRequest(std::uint8_t address); // registers 0x1000..0x1005
Frame buildSetVoltageRequest(std::uint8_t address, std::uint16_t code);
Frame buildSetCurrentRequest(std::uint8_t address, std::uint16_t code);
Frame buildSwitchOutputRequest(std::uint8_t address, bool on);
Frame buildSetAddressRequest(std::uint8_t oldAddress, std::uint8_t newAddress);

enum class StatusCheck {
    Ok,
    TooShort,  // the start of a reply, or nothing yet
    BadHeader, // another address, function or byte count, or an exception reply
    BadCrc,
};

// judgeStatusReply (reply.h) in the terms of a yes-or-no test: Ok exactly when
// the judgement is Ok. Kept for callers that only ask whether a reply is good.
StatusCheck checkStatusReply(const std::uint8_t *data, std::size_t size,
                             std::uint8_t expectedAddress);

// Status word `index` (status::kSetVoltage .. status::kMode, reading.h) of a
// reply judged Ok, as a 16-bit signed value. A high byte of 0x80 or more
// is outside what the supply ever reports and yields nullopt.
std::optional<std::int16_t> statusWord(const std::uint8_t *reply, std::size_t size, int index);

// The low byte of status word `index`, whatever its high byte holds: the output
// state and the regulation mode are read from the low byte alone.
std::optional<std::uint8_t> statusLowByte(const std::uint8_t *reply, std::size_t size, int index);

// A write echo of the set-address request sent to `oldAddress`: bytes 0..3 and the
// CRC are compared, bytes 4 and 5 are not; bytes after the 8th are ignored.
bool checkAddressEcho(const std::uint8_t *data, std::size_t size, std::uint8_t oldAddress);

} // namespace protocol
