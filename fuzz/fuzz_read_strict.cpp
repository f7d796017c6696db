// Input: the text of a box, or a value with its unit.
#include "fuzzcheck.h"
#include "numtext/numtext.h"
#include "numtext/quantity.h"

#include <cmath>
#include <regex>
#include <string>

namespace {

// The decimal numbers the strict reading accepts, blanks around allowed.
bool looksLikeNumber(const std::string &text)
{
    static const std::regex number(
        R"([ \t\r\n]*[+-]?([0-9]+\.?[0-9]*|\.[0-9]+)([eE][+-]?[0-9]+)?[ \t\r\n]*)");
    return std::regex_match(text, number);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const std::string text(reinterpret_cast<const char *>(data), size);
    const auto value = numtext::readStrict(text);
    if (value) {
        FUZZ_CHECK(std::isfinite(*value));
        FUZZ_CHECK(numtext::readLenient(text) == *value);
    }
    // A value with its unit: a number the strict reading takes, then a unit.
    const numtext::Quantity q = numtext::readQuantity(text);
    if (q.fault == numtext::Quantity::Fault::None) {
        FUZZ_CHECK(std::isfinite(q.number) && numtext::readStrict(q.numberText) == q.number);
        FUZZ_CHECK(q.unitText.empty() == (q.unit == numtext::Unit::None));
    }
    if (value) {
        FUZZ_CHECK(q.fault == numtext::Quantity::Fault::None && q.number == *value);
    }
    // std::regex recurses per character; keep it to texts a box would hold.
    if (size <= 200) {
        const bool number = looksLikeNumber(text);
        FUZZ_CHECK(!value || number);
        if (number && !value) {
            // Only a number beyond double's range is refused.
            FUZZ_CHECK(numtext::readLenient(text) == 0.0);
        }
    }
    return 0;
}
