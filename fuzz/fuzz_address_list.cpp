// Input: the text of --addresses, as UTF-8.
#include "fuzzcheck.h"
#include "values/values.h"

#include <QString>

#include <algorithm>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QString text =
        QString::fromUtf8(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    const auto list = values::parseAddressList(text);
    FUZZ_CHECK(list.error().isEmpty() == list.ok());
    if (list) {
        std::vector<std::uint8_t> addresses = *list;
        FUZZ_CHECK(!addresses.empty() && addresses.size() <= 247);
        for (const std::uint8_t a : addresses) {
            FUZZ_CHECK(a >= values::kFirstAddress && a <= values::kLastAddress);
        }
        std::sort(addresses.begin(), addresses.end());
        FUZZ_CHECK(std::adjacent_find(addresses.begin(), addresses.end()) == addresses.end());
    }
    return 0;
}
