#include "numtext/quantity.h"

#include "numtext/numtext.h"

#include <algorithm>
#include <cctype>
#include <cmath>

namespace numtext {

namespace {

std::string lower(std::string_view text)
{
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return out;
}

std::string_view trimmed(std::string_view text)
{
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (!text.empty() && blank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && blank(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

bool startsLikeNumber(std::string_view text)
{
    return !text.empty() && (std::isdigit(static_cast<unsigned char>(text.front())) ||
                             text.front() == '.' || text.front() == '+' || text.front() == '-');
}

} // namespace

std::optional<UnitWord> unitOf(std::string_view word)
{
    struct Entry {
        const char *name;
        Unit unit;
        double factor;
    };
    static const Entry kUnits[] = {
        {"v", Unit::Volt, 1},          {"mv", Unit::Volt, 1e-3},      {"a", Unit::Amp, 1},
        {"ma", Unit::Amp, 1e-3},       {"w", Unit::Watt, 1},          {"mw", Unit::Watt, 1e-3},
        {"ah", Unit::AmpHour, 1},      {"mah", Unit::AmpHour, 1e-3},  {"wh", Unit::WattHour, 1},
        {"mwh", Unit::WattHour, 1e-3}, {"ms", Unit::Duration, 1},     {"s", Unit::Duration, 1e3},
        {"m", Unit::Duration, 60e3},   {"h", Unit::Duration, 3600e3},
    };
    const std::string key = lower(word);
    for (const Entry &e : kUnits) {
        if (key == e.name) {
            return UnitWord{e.unit, e.factor};
        }
    }
    return std::nullopt;
}

const char *unitName(Unit unit)
{
    switch (unit) {
    case Unit::Volt:
        return "a voltage (V, mV)";
    case Unit::Amp:
        return "a current (A, mA)";
    case Unit::Watt:
        return "a power (W, mW)";
    case Unit::AmpHour:
        return "a charge (Ah, mAh)";
    case Unit::WattHour:
        return "an energy (Wh, mWh)";
    case Unit::Duration:
        return "a duration (ms, s, m, h)";
    case Unit::None:
        break;
    }
    return "a number";
}

Quantity readQuantity(std::string_view text)
{
    Quantity q;
    text = trimmed(text);
    const std::size_t length = numberLength(text);
    q.numberText = std::string(text.substr(0, length));
    const std::string_view rest = trimmed(text.substr(length));
    // "1.2.3V" or "5-3": more number after the number is no unit but a bad number.
    if (length == 0 || startsLikeNumber(rest)) {
        q.fault = Quantity::Fault::NotANumber;
        return q;
    }
    q.unitText = std::string(rest);
    const auto number = readStrict(q.numberText);
    if (!number) {
        q.fault = Quantity::Fault::OutOfRange;
        return q;
    }
    q.number = *number;
    q.value = *number;
    if (!rest.empty()) {
        const auto unit = unitOf(rest);
        if (!unit) {
            // Letters may be a unit misspelt; "1,5" or "5%" is a number miswritten.
            const bool letters = std::all_of(rest.begin(), rest.end(),
                                             [](unsigned char c) { return std::isalpha(c) != 0; });
            q.fault = letters ? Quantity::Fault::UnknownUnit : Quantity::Fault::NotANumber;
            return q;
        }
        q.unit = unit->unit;
        q.value = *number * unit->factor;
    }
    return q;
}

SetCount toSetCount(double value, int decimals, int largest)
{
    SetCount out;
    if (value < 0 || std::signbit(value)) {
        out.fault = SetCount::Fault::Negative;
        return out;
    }
    // Far above the range the count is not worked out: it would not fit.
    const double count =
        value * std::pow(10.0, decimals) > largest + 1.0 ? largest + 1.0 : toCount(value, decimals);
    if (!(count <= largest)) {
        out.fault = SetCount::Fault::AboveLargest;
        return out;
    }
    out.count = static_cast<std::uint16_t>(count);
    return out;
}

std::optional<bool> readSwitch(std::string_view text)
{
    const std::string word = lower(trimmed(text));
    if (word == "on") {
        return true;
    }
    if (word == "off") {
        return false;
    }
    return std::nullopt;
}

} // namespace numtext
