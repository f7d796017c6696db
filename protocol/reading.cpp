#include "protocol/reading.h"

#include "protocol/frames.h"

namespace protocol {

namespace {

enum Word { kSetVolts, kSetAmps, kActualVolts, kActualAmps, kOutputState, kMode };

} // namespace

bool StatusReading::operator==(const StatusReading &other) const
{
    return setVoltage == other.setVoltage && setCurrent == other.setCurrent &&
           actualVoltage == other.actualVoltage && actualCurrent == other.actualCurrent &&
           outputOn == other.outputOn && mode == other.mode;
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
    for (int index = kSetVolts; index <= kActualAmps; ++index) {
        const auto word = statusWord(reply, size, index);
        if (!word) {
            return std::nullopt;
        }
        *values[index] = static_cast<std::uint16_t>(*word);
    }
    reading.outputOn = statusLowByte(reply, size, kOutputState) == 1;
    reading.mode = *statusLowByte(reply, size, kMode);
    return reading;
}

} // namespace protocol
