// Input: the text of an address box.
#include "fuzzcheck.h"
#include "numtext/numtext.h"

#include <cmath>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const std::string text(reinterpret_cast<const char *>(data), size);
    const auto byte = numtext::toByte(text);
    const auto value = numtext::readStrict(text);
    if (!value) {
        FUZZ_CHECK(!byte);
        return 0;
    }
    const double rounded = numtext::roundHalfEven(*value);
    FUZZ_CHECK(rounded == std::floor(rounded));
    FUZZ_CHECK(std::fabs(rounded - *value) <= 0.5);
    if (std::fabs(rounded - *value) == 0.5) {
        FUZZ_CHECK(std::fmod(rounded, 2.0) == 0.0);
    }
    FUZZ_CHECK(byte.has_value() == (rounded >= 0.0 && rounded <= 255.0));
    if (byte) {
        FUZZ_CHECK(*byte == rounded);
        const auto word = numtext::toInt16(*value);
        FUZZ_CHECK(word && *word == *byte);
    }
    return 0;
}
