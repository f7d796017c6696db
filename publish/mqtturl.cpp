#include "publish/mqtturl.h"

#include <QUrl>

namespace publish {

QString withoutPassword(const QString &text)
{
    // USER:PASSWORD@ ends at the last '@': a password may hold '/', '@' or blanks.
    const qsizetype scheme = text.indexOf(QStringLiteral("://"));
    const qsizetype start = scheme < 0 ? 0 : scheme + 3;
    const qsizetype at = text.lastIndexOf(QLatin1Char('@'));
    if (at < start) {
        return text;
    }
    const qsizetype colon = text.indexOf(QLatin1Char(':'), start);
    if (colon < 0 || colon > at) {
        return text;
    }
    return text.left(colon) + QStringLiteral(":***") + text.mid(at);
}

std::optional<MqttUrl> parseMqttUrl(const QString &given, QString &error)
{
    // Every message names the URL without its password.
    const QString text = withoutPassword(given);
    const QUrl url(given, QUrl::StrictMode);
    MqttUrl result;
    const QString scheme = url.scheme().toLower();
    if (!url.isValid() || scheme.isEmpty() || !text.contains(QStringLiteral("://"))) {
        error = QStringLiteral("%1 is not a URL such as mqtt://broker or mqtts://user@broker:8883")
                    .arg(text);
        return std::nullopt;
    }
    if (scheme != QLatin1String("mqtt") && scheme != QLatin1String("mqtts")) {
        error = QStringLiteral("%1: the scheme must be mqtt:// or mqtts://").arg(text);
        return std::nullopt;
    }
    result.tls = scheme == QLatin1String("mqtts");
    if (!url.password().isNull()) {
        error = QStringLiteral("%1: put the password in VANTEL_MQTT_PASSWORD, not in the URL")
                    .arg(text);
        return std::nullopt;
    }
    const QString path = url.path();
    if (url.host().isEmpty() || (!path.isEmpty() && path != QLatin1String("/")) || url.hasQuery() ||
        url.hasFragment()) {
        error = QStringLiteral("%1: expected %2://[USER@]HOST[:PORT] and nothing after it")
                    .arg(text, scheme);
        return std::nullopt;
    }
    const int port = url.port(result.tls ? MqttUrl::kTlsPort : MqttUrl::kPlainPort);
    if (port < 1 || port > 65535) {
        error = QStringLiteral("%1: the port must be 1 to 65535").arg(text);
        return std::nullopt;
    }
    result.user = url.userName();
    if (url.userInfo().isEmpty() != result.user.isEmpty() ||
        (text.contains(QLatin1Char('@')) && result.user.isEmpty())) {
        error = QStringLiteral("%1: the user name is empty").arg(text);
        return std::nullopt;
    }
    result.host = url.host();
    result.port = port;
    return result;
}

} // namespace publish
