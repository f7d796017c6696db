#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// Values with their unit, read the same way on the command line and in a
// sequence file: "12.6", "12.6V", "12.6 V", "250mA", "1e1", "500ms", "2.5Ah".
namespace numtext {

enum class Unit { None, Volt, Amp, Watt, AmpHour, WattHour, Duration };

// A unit word in any case: V mV A mA W mW Ah mAh Wh mWh ms s m h. `factor` takes
// it to the base unit (V, A, W, Ah, Wh, ms).
struct UnitWord {
    Unit unit = Unit::None;
    double factor = 1;
};
std::optional<UnitWord> unitOf(std::string_view word);

// "a voltage (V, mV)", "a duration (ms, s, m, h)", ...; "a number" for None.
const char *unitName(Unit unit);

// A number, then a unit or nothing, blanks around and between allowed.
struct Quantity {
    enum class Fault {
        None,
        NotANumber,  // no number at the start, or anything but letters after it
        OutOfRange,  // a number too large for a double (1e400)
        UnknownUnit, // letters after the number that are no unit
    };
    Fault fault = Fault::None;
    double number = 0;      // as written, before the unit's factor
    Unit unit = Unit::None; // None: no unit written
    double value = 0;       // number in the base unit
    std::string numberText; // the number as written
    std::string unitText;   // the unit as written, empty when none
};
Quantity readQuantity(std::string_view text);

// A set value in the supply's counts of 10^-decimals, rounded half to even as
// the supply takes it, or why not.
struct SetCount {
    enum class Fault { None, Negative, AboveLargest };
    Fault fault = Fault::None;
    std::uint16_t count = 0;
};
SetCount toSetCount(double value, int decimals, int largest);

// "on" or "off" in any case, blanks around allowed.
std::optional<bool> readSwitch(std::string_view text);

} // namespace numtext
