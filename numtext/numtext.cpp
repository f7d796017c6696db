#include "numtext/numtext.h"

#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace numtext {

namespace {

bool isBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

// Length of the longest prefix of `s` that forms a decimal number: an optional
// sign, digits with at most one decimal point (at least one digit in all), and an
// optional exponent that counts only when digits follow its letter. 0 if none.
std::size_t numberPrefix(std::string_view s)
{
    std::size_t i = 0;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) {
        ++i;
    }
    std::size_t digits = 0;
    while (i < s.size() && isDigit(s[i])) {
        ++i;
        ++digits;
    }
    if (i < s.size() && s[i] == '.') {
        ++i;
        while (i < s.size() && isDigit(s[i])) {
            ++i;
            ++digits;
        }
    }
    if (digits == 0) {
        return 0;
    }
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        std::size_t j = i + 1;
        if (j < s.size() && (s[j] == '+' || s[j] == '-')) {
            ++j;
        }
        if (j < s.size() && isDigit(s[j])) {
            while (j < s.size() && isDigit(s[j])) {
                ++j;
            }
            i = j;
        }
    }
    return i;
}

// strtod and printf use the decimal separator of LC_NUMERIC, which a Qt program
// takes from the user's locale at start-up (a comma in German or French). Box
// texts always carry a point, so it is exchanged on the way in and out.
std::string localDecimalPoint()
{
    const std::lconv *conv = std::localeconv();
    return conv != nullptr && conv->decimal_point != nullptr && conv->decimal_point[0] != '\0'
               ? conv->decimal_point
               : ".";
}

std::string replaceFirst(std::string text, const std::string &from, const std::string &to)
{
    const std::size_t at = from == to ? std::string::npos : text.find(from);
    if (at != std::string::npos) {
        text.replace(at, from.size(), to);
    }
    return text;
}

// `number` is a well-formed decimal number (see numberPrefix) written with a point.
double toDouble(const std::string &number)
{
    return std::strtod(replaceFirst(number, ".", localDecimalPoint()).c_str(), nullptr);
}

double parse(const std::string &number)
{
    const double value = toDouble(number);
    return std::isfinite(value) ? value : 0.0;
}

std::string padInteger(const char *formatted, std::size_t minDigits, bool negative)
{
    std::string text = replaceFirst(formatted, localDecimalPoint(), ".");
    const std::size_t point = text.find('.');
    const std::size_t intDigits = point == std::string::npos ? text.size() : point;
    if (intDigits < minDigits) {
        text.insert(0, minDigits - intDigits, '0');
    }
    // A negative value that rounds to zero shows without its sign.
    if (negative && text.find_first_not_of("0.") != std::string::npos) {
        text.insert(0, 1, '-');
    }
    return text;
}

std::string formatFixed(double value, int decimals, std::size_t minIntDigits)
{
    char buffer[512];
    std::snprintf(buffer, sizeof buffer, "%.*f", decimals, std::fabs(value));
    return padInteger(buffer, minIntDigits, value < 0);
}

} // namespace

std::size_t numberLength(std::string_view text)
{
    return numberPrefix(text);
}

double readLenient(std::string_view text)
{
    std::string compact;
    compact.reserve(text.size());
    for (char c : text) {
        if (!isBlank(c)) {
            compact.push_back(c);
        }
    }
    const std::size_t length = numberPrefix(compact);
    return length == 0 ? 0.0 : parse(compact.substr(0, length));
}

std::optional<double> readStrict(std::string_view text)
{
    std::size_t first = 0;
    std::size_t last = text.size();
    while (first < last && isBlank(text[first])) {
        ++first;
    }
    while (last > first && isBlank(text[last - 1])) {
        --last;
    }
    const std::string_view core = text.substr(first, last - first);
    if (core.empty() || numberPrefix(core) != core.size()) {
        return std::nullopt;
    }
    const double value = toDouble(std::string(core));
    if (!std::isfinite(value)) {
        return std::nullopt;
    }
    return value;
}

double toCount(double value, int decimals)
{
    // Snap away the binary error of the scaling (12.345 * 100 = 1234.4999...) so
    // that a half written in decimal is a half here too.
    const double scaled = value * std::pow(10.0, decimals);
    return roundHalfEven(std::round(scaled * 1e6) / 1e6);
}

double roundHalfEven(double value)
{
    if (!std::isfinite(value)) {
        return value;
    }
    const double lower = std::floor(value);
    const double fraction = value - lower;
    if (fraction > 0.5) {
        return lower + 1.0;
    }
    if (fraction < 0.5) {
        return lower;
    }
    return std::fmod(lower, 2.0) == 0.0 ? lower : lower + 1.0;
}

std::optional<std::uint8_t> toByte(std::string_view text)
{
    const auto value = readStrict(text);
    if (!value) {
        return std::nullopt;
    }
    const double rounded = roundHalfEven(*value);
    if (rounded < 0.0 || rounded > 255.0) {
        return std::nullopt;
    }
    return static_cast<std::uint8_t>(rounded);
}

std::optional<std::int16_t> toInt16(double value)
{
    if (!std::isfinite(value)) {
        return std::nullopt;
    }
    const double rounded = roundHalfEven(value);
    if (rounded < -32768.0 || rounded > 32767.0) {
        return std::nullopt;
    }
    return static_cast<std::int16_t>(rounded);
}

std::string formatPlain(double value)
{
    if (value == 0.0 || !std::isfinite(value)) {
        return "0";
    }
    // Fifteen significant digits hide the binary noise of sums such as
    // 10 * 1 + 2 + 0.1 * 3 + 0.01 * 4 and give the shortest decimal form.
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.15g", value);
    return replaceFirst(buffer, localDecimalPoint(), ".");
}

std::string formatVolts(double value)
{
    return formatFixed(value, 2, 2);
}

std::string formatAmps(double value)
{
    return formatFixed(value, 3, 1);
}

} // namespace numtext
