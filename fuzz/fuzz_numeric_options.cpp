// Input: one byte choosing the option, then its text as UTF-8: --voltage,
// --current and --stop-below (set values), or a whole number (--timeout,
// --interval, --from, --to, --address, --mqtt-queue).
#include "fuzzcheck.h"
#include "values/values.h"

#include <QString>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size < 1) {
        return 0;
    }
    const QString text = QString::fromUtf8(reinterpret_cast<const char *>(data + 1),
                                           static_cast<qsizetype>(size - 1));
    switch (data[0] % 4) {
    case 0:
    case 1: {
        const bool volts = data[0] % 4 == 0;
        const int largest = volts ? values::kLargestVoltageCode : values::kLargestCurrentCode;
        const auto code = values::parseSetCode(text, volts ? 2 : 3, largest,
                                               volts ? QStringLiteral("V") : QStringLiteral("A"));
        FUZZ_CHECK(code.error().isEmpty() == code.ok());
        if (code) {
            FUZZ_CHECK(*code <= largest);
        }
        break;
    }
    case 2: {
        const auto whole = values::parseWhole(text, 1, 60000);
        FUZZ_CHECK(whole.error().isEmpty() == whole.ok());
        if (whole) {
            FUZZ_CHECK(*whole >= 1 && *whole <= 60000);
        }
        break;
    }
    default: {
        const auto address = values::parseAddress(text);
        FUZZ_CHECK(address.error().isEmpty() == address.ok());
        if (address) {
            FUZZ_CHECK(*address >= values::kFirstAddress && *address <= values::kLastAddress);
        }
        break;
    }
    }
    return 0;
}
