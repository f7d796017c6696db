#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

namespace protocol {

// The six words of a status reply in reply order (registers 0x1000..0x1005).
// The four values are whole words in counts; the output state and the mode are
// read from their word's low byte alone.
namespace status {
constexpr int kSetVoltage = 0;    // 10 mV counts
constexpr int kSetCurrent = 1;    // 1 mA counts
constexpr int kActualVoltage = 2; // 10 mV counts
constexpr int kActualCurrent = 3; // 1 mA counts
constexpr int kOutputState = 4;   // low byte: 0 off, 1 on
constexpr int kMode = 5;          // low byte: 1 CV, 0 CC, 2 OC
} // namespace status

// A count of 10 mV in volts, of 1 mA in amperes.
inline double countToVolts(int count)
{
    return count / 100.0;
}
inline double countToAmps(int count)
{
    return count / 1000.0;
}

// The output state's low byte: false off (0), true on (1), nullopt for any
// other value, which the supply never sends.
std::optional<bool> outputStateOf(std::uint8_t lowByte);

// One status block (registers 0x1000..0x1005) as the supply sent it.
struct StatusReading {
    std::uint16_t setVoltage = 0;    // 10 mV counts
    std::uint16_t setCurrent = 0;    // 1 mA counts
    std::uint16_t actualVoltage = 0; // 10 mV counts
    std::uint16_t actualCurrent = 0; // 1 mA counts
    bool outputOn = false;           // low byte of the output state word is 1
    std::uint8_t mode = 0;           // low byte of the mode word: 1 CV, 0 CC, 2 OC

    double setVolts() const { return countToVolts(setVoltage); }
    double setAmps() const { return countToAmps(setCurrent); }
    double volts() const { return countToVolts(actualVoltage); }
    double amps() const { return countToAmps(actualCurrent); }
    double watts() const { return volts() * amps(); }

    bool operator==(const StatusReading &other) const;
    bool operator!=(const StatusReading &other) const { return !(*this == other); }
};

// "CV", "CC" or "OC", as the monitor shows the mode; nullptr for any other value.
const char *modeName(std::uint8_t mode);

// Decodes the words of a reply judged Ok (judgeStatusReply). nullopt when a value
// word is outside what the supply ever reports (high byte 0x80 or more) or the
// buffer is shorter than a status reply.
std::optional<StatusReading> decodeStatusReading(const std::uint8_t *reply, std::size_t size);

} // namespace protocol
