#include "sequence/sequence.h"
#include "sequence/internal.h"

#include "numtext/numtext.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

// The steps' own values and the words every part of the language shares.
namespace sequence {

std::string fixed(long long count, int decimals)
{
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.*f", decimals,
                  static_cast<double>(count) / std::pow(10.0, decimals));
    return buffer;
}

std::string voltsText(std::uint16_t count)
{
    return fixed(count, 2) + " V";
}

std::string ampsText(std::uint16_t count)
{
    return fixed(count, 3) + " A";
}

bool Condition::holds(double measured) const
{
    switch (compare) {
    case Compare::Below:
        return measured < value;
    case Compare::AtMost:
        return measured <= value;
    case Compare::Above:
        return measured > value;
    case Compare::AtLeast:
        return measured >= value;
    }
    return false;
}

std::size_t SequenceStep::pointCount() const
{
    const int span = std::abs(int(to) - int(from));
    return static_cast<std::size_t>((span + step - 1) / step) + 1;
}

std::uint16_t SequenceStep::point(std::size_t index) const
{
    const int offset = static_cast<int>(std::min<std::size_t>(index, pointCount())) * step;
    const int value =
        to >= from ? std::min<int>(from + offset, to) : std::max<int>(from - offset, to);
    return static_cast<std::uint16_t>(value);
}

std::string durationText(std::int64_t ms)
{
    if (ms < 1000) {
        return std::to_string(ms) + "ms";
    }
    const std::int64_t hours = ms / 3'600'000;
    const std::int64_t minutes = ms / 60'000 % 60;
    const std::int64_t millis = ms % 60'000;
    std::string out;
    if (hours > 0) {
        out += std::to_string(hours) + 'h';
    }
    if (minutes > 0) {
        out += std::to_string(minutes) + 'm';
    }
    if (millis > 0) {
        out += numtext::formatPlain(static_cast<double>(millis) / 1000.0) + 's';
    }
    return out;
}

const char *quantityName(Quantity quantity)
{
    switch (quantity) {
    case Quantity::Voltage:
        return "voltage";
    case Quantity::Current:
        return "current";
    case Quantity::Power:
        return "power";
    case Quantity::AmpHours:
        return "ah";
    case Quantity::WattHours:
        return "wh";
    }
    return "";
}

const char *quantityUnit(Quantity quantity)
{
    switch (quantity) {
    case Quantity::Voltage:
        return "V";
    case Quantity::Current:
        return "A";
    case Quantity::Power:
        return "W";
    case Quantity::AmpHours:
        return "Ah";
    case Quantity::WattHours:
        return "Wh";
    }
    return "";
}

const char *compareText(Compare compare)
{
    switch (compare) {
    case Compare::Below:
        return "<";
    case Compare::AtMost:
        return "<=";
    case Compare::Above:
        return ">";
    case Compare::AtLeast:
        return ">=";
    }
    return "";
}

} // namespace sequence
