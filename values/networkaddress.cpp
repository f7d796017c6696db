#include "values/networkaddress.h"

#include <QUrl>

namespace values {

namespace {

const QLatin1String kScheme("tcp://");

} // namespace

QString NetworkAddress::name() const
{
    const bool v6 = host.contains(QLatin1Char(':'));
    return QStringLiteral("tcp://%1:%2")
        .arg(v6 ? QLatin1Char('[') + host + QLatin1Char(']') : host)
        .arg(port);
}

bool isNetworkPortName(const QString &text)
{
    return text.startsWith(kScheme, Qt::CaseInsensitive);
}

std::optional<NetworkAddress> parseNetworkAddress(const QString &text, QString *error)
{
    const auto refuse = [&](const QString &why) {
        *error = QStringLiteral("port '%1': %2 (the form is tcp://HOST[:PORT])").arg(text, why);
        return std::nullopt;
    };
    if (!isNetworkPortName(text)) {
        return refuse(QStringLiteral("it does not begin with tcp://"));
    }
    const QString rest = text.mid(kScheme.size());
    if (rest.isEmpty()) {
        return refuse(QStringLiteral("no host"));
    }
    if (rest.endsWith(QLatin1Char(':'))) {
        return refuse(QStringLiteral("no port after the colon"));
    }
    // Two colons outside brackets can only be an IPv6 address without them.
    if (!rest.startsWith(QLatin1Char('[')) && rest.count(QLatin1Char(':')) > 1) {
        return refuse(QStringLiteral("an IPv6 address goes in brackets, as tcp://[::1]:502"));
    }
    const QUrl url(QStringLiteral("tcp://") + rest, QUrl::StrictMode);
    if (!url.isValid()) {
        return refuse(url.errorString());
    }
    if (!url.userInfo().isEmpty() || !url.path().isEmpty() || url.hasQuery() || url.hasFragment()) {
        return refuse(QStringLiteral("only a host and a port may follow tcp://"));
    }
    NetworkAddress address;
    address.host = url.host();
    if (address.host.isEmpty()) {
        return refuse(QStringLiteral("no host"));
    }
    const int port = url.port(NetworkAddress::kModbusPort);
    if (port < 1 || port > 65535) {
        return refuse(QStringLiteral("the port is not 1..65535"));
    }
    address.port = static_cast<quint16>(port);
    return address;
}

} // namespace values
