// Input: the text of --duration, as UTF-8.
#include "fuzzcheck.h"
#include "values/values.h"

#include <QString>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QString text =
        QString::fromUtf8(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    const auto duration = values::parseDuration(text);
    FUZZ_CHECK(duration.error().isEmpty() == duration.ok());
    if (duration) {
        // Whole seconds, more than none, at most 366 days: far inside the log's
        // nanosecond clock.
        const long long ms = duration->count();
        FUZZ_CHECK(ms > 0 && ms % 1000 == 0 && ms <= 366LL * 24 * 3600 * 1000);
    }
    return 0;
}
