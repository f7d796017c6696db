#include "ctl/serveoptions.h"

#include "ctl/command.h"

#include <algorithm>
#include <optional>

namespace ctl {

namespace {

// ADDRESS:PORT, an IPv6 address in brackets ([::1]:5025), or with `portAlone` a
// port alone, on loopback. [::] is every address, IPv4 ones too, as it is taken
// everywhere else.
std::optional<QPair<QHostAddress, quint16>> parseEndpoint(const QString &text, bool portAlone)
{
    const qsizetype colon = text.lastIndexOf(QLatin1Char(':'));
    if (colon < 0 && portAlone) {
        const auto port = parseWhole(text, 0, 65535);
        return port
                   ? std::optional(qMakePair(QHostAddress(QHostAddress::LocalHost), quint16(*port)))
                   : std::nullopt;
    }
    QString host = text.left(colon);
    if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']'))) {
        host = host.mid(1, host.size() - 2);
    } else if (host.contains(QLatin1Char(':'))) {
        host.clear();
    }
    const auto port = parseWhole(text.mid(colon + 1), 0, 65535);
    if (host == QLatin1String("localhost")) {
        host = QStringLiteral("127.0.0.1");
    }
    const QHostAddress address(host);
    if (colon < 0 || address.isNull() || !port) {
        return std::nullopt;
    }
    return qMakePair(
        address.isEqual(QHostAddress(QHostAddress::AnyIPv6), QHostAddress::StrictConversion)
            ? QHostAddress(QHostAddress::Any)
            : address,
        quint16(*port));
}

} // namespace

Parsed<ServeOptions> parseServeOptions(const ServeTexts &texts)
{
    const auto refuse = [](const QString &why) { return Parsed<ServeOptions>::refused(why); };
    const QString &allow = texts.allow;
    ServeOptions options;
    options.offAtEnd = texts.offAtEnd;
    options.allowAddressChange = texts.allowAddressChange;
    if (texts.listen == QLatin1String("none")) {
        if (texts.modbus.isEmpty() && texts.http.isEmpty() && !texts.mqtt) {
            return refuse(QStringLiteral(
                "--listen none leaves nothing to serve: give --modbus, --http or --mqtt"));
        }
        options.scpi = false;
    } else if (!texts.listen.isEmpty()) {
        const auto endpoint = parseEndpoint(texts.listen, false);
        if (!endpoint) {
            return refuse(QStringLiteral("--listen takes ADDRESS:PORT (127.0.0.1:5025, "
                                         "[::1]:5025, 0.0.0.0:5025) or none, not '%1'")
                              .arg(texts.listen));
        }
        options.listenAddress = endpoint->first;
        options.listenPort = endpoint->second;
    }
    if (!texts.modbus.isEmpty()) {
        const auto endpoint = parseEndpoint(texts.modbus, true);
        if (!endpoint) {
            return refuse(QStringLiteral("--modbus takes [ADDRESS:]PORT (1502, 127.0.0.1:1502, "
                                         "[::]:1502), not '%1'")
                              .arg(texts.modbus));
        }
        options.modbus = true;
        options.modbusAddress = endpoint->first;
        options.modbusPort = endpoint->second;
    }
    if (!texts.http.isEmpty()) {
        const auto endpoint = parseEndpoint(texts.http, true);
        if (!endpoint) {
            return refuse(QStringLiteral("--http takes [ADDRESS:]PORT (8080, 127.0.0.1:8080, "
                                         "0.0.0.0:8080, [::]:8080), not '%1'")
                              .arg(texts.http));
        }
        options.http = true;
        options.httpAddress = endpoint->first;
        options.httpPort = endpoint->second;
    }
    for (const QString &name : texts.httpHosts) {
        for (const QString &item : name.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
            const QString host = item.trimmed();
            const bool plain =
                !host.isEmpty() && std::all_of(host.begin(), host.end(), [](QChar c) {
                    return c.isLetterOrNumber() || c == QLatin1Char('.') || c == QLatin1Char('-') ||
                           c == QLatin1Char('_') || c == QLatin1Char('[') ||
                           c == QLatin1Char(']') || c == QLatin1Char(':');
                });
            if (!plain) {
                return refuse(QStringLiteral("--http-host takes a host name such as "
                                             "bench.lab.example, not '%1'")
                                  .arg(host));
            }
            options.httpHosts.append(host);
        }
    }
    if (!options.httpHosts.isEmpty() && !options.http) {
        return refuse(QStringLiteral("--http-host names the page's host: give --http"));
    }
    if (texts.bench) {
        // A label value may hold any text; a line end or other control character
        // would only make a dashboard's legend unreadable.
        const QString &bench = *texts.bench;
        const bool plain =
            !bench.trimmed().isEmpty() && std::none_of(bench.begin(), bench.end(), [](QChar c) {
                return c.category() == QChar::Other_Control;
            });
        if (!plain) {
            return refuse(
                QStringLiteral("--bench takes a name such as bench-3, not '%1'").arg(bench));
        }
        if (!options.http) {
            return refuse(QStringLiteral("--bench names the bench in /metrics: give --http"));
        }
        options.bench = bench.trimmed();
    }
    if (!allow.isEmpty()) {
        for (const QString &item : allow.split(QLatin1Char(','))) {
            const QString text = item.trimmed();
            QPair<QHostAddress, int> subnet{QHostAddress(text), -1};
            if (text.contains(QLatin1Char('/'))) {
                subnet = QHostAddress::parseSubnet(text);
            } else if (!subnet.first.isNull()) {
                subnet.second = subnet.first.protocol() == QAbstractSocket::IPv6Protocol ? 128 : 32;
            }
            if (subnet.first.isNull() || subnet.second < 0) {
                return refuse(QStringLiteral("--allow takes addresses and subnets such as "
                                             "127.0.0.1,192.168.1.0/24, not '%1'")
                                  .arg(text));
            }
            options.allow.append(subnet);
        }
    }
    if (options.scpi && !options.listenAddress.isLoopback() && options.allow.isEmpty()) {
        return refuse(QStringLiteral("--listen %1 is not a loopback address: SCPI has no password, "
                                     "so give --allow with the addresses that may connect")
                          .arg(texts.listen));
    }
    if (options.modbus && !options.modbusAddress.isLoopback() && options.allow.isEmpty()) {
        return refuse(QStringLiteral("--modbus %1 is not a loopback address: Modbus TCP has no "
                                     "password, so give --allow with the addresses that may "
                                     "connect")
                          .arg(texts.modbus));
    }
    if (options.http && !options.httpAddress.isLoopback() && options.allow.isEmpty()) {
        return refuse(QStringLiteral("--http %1 is not a loopback address: give --allow with the "
                                     "addresses that may connect (the page also needs its token)")
                          .arg(texts.http));
    }
    const auto clients = parseWhole(texts.maxClients, 1, 1000);
    if (!clients) {
        return refuse(QStringLiteral("--max-clients: ") + clients.error());
    }
    options.maxClients = *clients;
    const auto seconds = parseWhole(texts.idleTimeout, 0, 7 * 24 * 3600);
    if (!seconds) {
        return refuse(QStringLiteral("--idle-timeout: ") + seconds.error());
    }
    options.idleTimeout = std::chrono::seconds(*seconds);
    return Parsed<ServeOptions>::of(options);
}

} // namespace ctl
