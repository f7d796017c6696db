#include "protocol/reading.h"

#include "protocol/frames.h"

namespace protocol {

bool StatusReading::operator==(const StatusReading &other) const
{
    return setVoltage == other.setVoltage && setCurrent == other.setCurrent &&
           actualVoltage == other.actualVoltage && actualCurrent == other.actualCurrent &&
           outputOn == other.outputOn && mode == other.mode;
}

std::optional<bool> outputStateOf(std::uint8_t lowByte)
{
    switch (lowByte) {
    case 0:
        return false;
    case 1:
        return true;
    default:
        return std::nullopt;
    }
}

const char *modeName(std::uint8_t mode)
{
    switch (mode) {
    case 1:
        return "CV";
    case 0:
        return "CC";
    case 2:
        return "OC";
    default:
        return nullptr;
    }
}

std::optional<StatusReading> decodeStatusReading(const std::uint8_t *reply, std::size_t size)
{
    if (size < kStatusReplySize) {
        return std::nullopt;
    }
    StatusReading reading;
    std::uint16_t *const values[] = {&reading.setVoltage, &reading.setCurrent,
                                     &reading.actualVoltage, &reading.actualCurrent};
    for (int index = status::kSetVoltage; index <= status::kActualCurrent; ++index) {
        const auto word = statusWord(reply, size, index);
        if (!word) {
            return std::nullopt;
        }
        *values[index] = static_cast<std::uint16_t>(*word);
    }
    // Only a state of 1 is on; a value the supply never sends is not taken for it.
    reading.outputOn = outputStateOf(*statusLowByte(reply, size, status::kOutputState)) == true;
    reading.mode = *statusLowByte(reply, size, status::kMode);
    return reading;
}

} // namespace protocol
