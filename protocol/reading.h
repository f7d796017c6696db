#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

namespace protocol {

// One status block (registers 0x1000..0x1005) as the supply sent it.
struct StatusReading {
    std::uint16_t setVoltage = 0;    // 10 mV counts
    std::uint16_t setCurrent = 0;    // 1 mA counts
    std::uint16_t actualVoltage = 0; // 10 mV counts
    std::uint16_t actualCurrent = 0; // 1 mA counts
    bool outputOn = false;           // low byte of the output state word is 1
    std::uint8_t mode = 0;           // low byte of the mode word: 1 CV, 0 CC, 2 OC

    double setVolts() const { return setVoltage / 100.0; }
    double setAmps() const { return setCurrent / 1000.0; }
    double volts() const { return actualVoltage / 100.0; }
    double amps() const { return actualCurrent / 1000.0; }
    double watts() const { return volts() * amps(); }

    bool operator==(const StatusReading &other) const;
    bool operator!=(const StatusReading &other) const { return !(*this == other); }
};

// "CV", "CC" or "OC", as the monitor shows the mode; nullptr for any other value.
const char *modeName(std::uint8_t mode);

// Decodes the words of a reply that passed checkStatusReply. nullopt when a value
// word is outside what the supply ever reports (high byte 0x80 or more) or the
// buffer is shorter than a status reply.
std::optional<StatusReading> decodeStatusReading(const std::uint8_t *reply, std::size_t size);

} // namespace protocol
