#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// Numbers kept as text in the windows' boxes: one way to read them leniently,
// one strict way, and the ways to write them back.
namespace numtext {

// Blanks, tabs, CR and LF anywhere are ignored; the longest leading run that forms
// a decimal number (optional sign, digits, one decimal point) is taken; text that
// does not begin with a number counts as 0.
double readLenient(std::string_view text);

// The whole text must be one decimal number; blanks around it are allowed.
std::optional<double> readStrict(std::string_view text);

// Length of the longest start of `text` that forms a number: an optional sign,
// digits with at most one decimal point, and an exponent (e2, E-3) only where
// digits follow its letter. 0 when `text` does not begin with a number.
std::size_t numberLength(std::string_view text);

// Nearest whole number, a tie going to the even one (2.5 -> 2, 3.5 -> 4).
double roundHalfEven(double value);

// `value` in counts of 10^-decimals (12.345 V in 10 mV counts: 1234), rounded half
// to even as a set value is; a half written in decimal counts as a half.
double toCount(double value, int decimals);

// Strict reading, rounded half to even, within 0..255.
std::optional<std::uint8_t> toByte(std::string_view text);

// Rounded half to even, within the 16-bit signed range.
std::optional<std::int16_t> toInt16(double value);

// Plain decimal text: 1, 10, 12.34, 1.5, 0, -1 (no leading blank, shortest form).
std::string formatPlain(double value);

// "00.00": at least two integer digits, exactly two decimals (5.5 -> 05.50).
std::string formatVolts(double value);

// "0.000": at least one integer digit, exactly three decimals (1.5 -> 1.500).
std::string formatAmps(double value);

} // namespace numtext
