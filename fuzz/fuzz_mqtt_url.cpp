// Input: the text of --mqtt, as UTF-8. Each input is also tried with a password
// around it, which no message may repeat.
#include "fuzzcheck.h"
#include "publish/mqtturl.h"

#include <QString>

namespace {

const QString kPassword = QStringLiteral("Pw9zQx");

void check(const QString &text)
{
    QString error;
    const std::optional<publish::MqttUrl> url = publish::parseMqttUrl(text, error);
    FUZZ_CHECK(error.isEmpty() == url.has_value());
    if (url) {
        FUZZ_CHECK(!url->host.isEmpty() && url->port >= 1 && url->port <= 65535);
    }
    if (text.contains(kPassword)) {
        FUZZ_CHECK(!error.contains(kPassword));
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QString text =
        QString::fromUtf8(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    if (text.contains(kPassword)) {
        return 0; // only where the target puts it
    }
    check(text);
    check(QStringLiteral("mqtt://lab:") + kPassword + text + QStringLiteral("@broker"));
    check(QStringLiteral("mqtts://lab:") + text + kPassword + QStringLiteral("@broker:8883"));
    return 0;
}
