// Input: the text of a box.
#include "fuzzcheck.h"
#include "numtext/numtext.h"

#include <cmath>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const std::string text(reinterpret_cast<const char *>(data), size);
    const double value = numtext::readLenient(text);
    FUZZ_CHECK(std::isfinite(value));

    // Nothing appended after the number can extend it; a strict number reads the same.
    FUZZ_CHECK(numtext::readLenient(text + "x") == value);
    if (const auto strict = numtext::readStrict(text)) {
        FUZZ_CHECK(*strict == value);
    }

    // What is written back reads back (the spinners' round trip).
    const std::string plain = numtext::formatPlain(value);
    const auto again = numtext::readStrict(plain);
    FUZZ_CHECK(again.has_value());
    FUZZ_CHECK(std::fabs(*again - value) <= std::fabs(value) * 1e-14);
    FUZZ_CHECK(numtext::readStrict(numtext::formatVolts(value)).has_value());
    FUZZ_CHECK(numtext::readStrict(numtext::formatAmps(value)).has_value());
    return 0;
}
