// Input: the text of the port list, as UTF-8.
#include "fuzzcheck.h"
#include "ui/portconnection.h"

#include <QString>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QString name =
        QString::fromUtf8(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    const std::optional<int> port = ui::portNumberFromName(name);
    if (port) {
        FUZZ_CHECK(*port >= 1 && *port <= 32767);
    }
    // A leading "COM" is removed like any other.
    FUZZ_CHECK(ui::portNumberFromName(QStringLiteral("COM") + name) == port);
    return 0;
}
