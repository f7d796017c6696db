#include "web/httpserver.h"

#include "web/httpconnection.h"

#include "protocol/frames.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRandomGenerator>
#include <QTcpSocket>
#include <QUrlQuery>

#include <cmath>

namespace web {

namespace {

QByteArray hostText(const QHostAddress &address)
{
    const QHostAddress plain = plainAddress(address);
    return plain.protocol() == QAbstractSocket::IPv6Protocol
               ? "[" + plain.toString().toLatin1() + "]"
               : plain.toString().toLatin1();
}

QByteArray bearerToken(const QByteArray &authorization)
{
    const QByteArray prefix = QByteArrayLiteral("bearer ");
    if (authorization.size() > prefix.size() &&
        authorization.left(prefix.size()).toLower() == prefix) {
        return authorization.mid(prefix.size()).trimmed();
    }
    return {};
}

// A set point as the supply's counts: the JSON number in units times `perUnit`,
// rounded half to even, within 0..largest.
std::optional<std::uint16_t> counts(const QJsonValue &value, double perUnit, int largest,
                                    const char *unit, QString &why)
{
    if (!value.isDouble()) {
        why = QStringLiteral("must be a number");
        return std::nullopt;
    }
    const double number = value.toDouble();
    if (!std::isfinite(number) || number < 0) {
        why = QStringLiteral("must not be negative");
        return std::nullopt;
    }
    const double code = std::nearbyint(number * perUnit);
    if (code > largest) {
        why = QStringLiteral("%1 is above %2 %3")
                  .arg(number)
                  .arg(largest / perUnit, 0, 'f', perUnit == 100 ? 2 : 3)
                  .arg(QLatin1String(unit));
        return std::nullopt;
    }
    return std::uint16_t(code);
}

} // namespace

bool sameToken(const QByteArray &given, const QByteArray &token)
{
    if (given.size() != token.size() || token.isEmpty()) {
        return false;
    }
    unsigned char differ = 0;
    for (qsizetype i = 0; i < token.size(); ++i) {
        differ |= static_cast<unsigned char>(given[i] ^ token[i]);
    }
    return differ == 0;
}

QByteArray randomToken()
{
    quint32 words[4];
    QRandomGenerator::system()->fillRange(words);
    return QByteArray(reinterpret_cast<const char *>(words), sizeof words).toHex();
}

QString tokenRefusal(const QByteArray &token)
{
    if (token.size() < 16) {
        return QStringLiteral("VANTEL_HTTP_TOKEN must be at least 16 characters");
    }
    for (const char c : token) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                           (c >= '0' && c <= '9') || c == '-' || c == '_' || c == '.' || c == '~';
        if (!plain) {
            return QStringLiteral("VANTEL_HTTP_TOKEN may hold only letters, digits and - _ . ~");
        }
    }
    return {};
}

HttpServer::HttpServer(Bench &bench, HttpOptions options)
    : m_bench(bench), m_options(std::move(options)),
      m_admission({m_options.maxConnections, kLogin, kIdle}), m_refusals(m_options.log),
      m_metrics(m_options.metrics)
{
    m_clock.start();
    const auto file = [this](const char *path, const char *resource, const char *type) {
        QFile f(QString::fromLatin1(resource));
        m_files[path] = {type, f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray()};
    };
    file("/", ":/page/index.html", "text/html; charset=utf-8");
    file("/login", ":/page/login.html", "text/html; charset=utf-8");
    file("/link.js", ":/page/link.js", "text/javascript; charset=utf-8");
    file("/app.js", ":/page/app.js", "text/javascript; charset=utf-8");
    file("/style.css", ":/page/style.css", "text/css; charset=utf-8");
    file("/chart.min.js", ":/page/chart.min.js", "text/javascript; charset=utf-8");

    m_server.setMaxPendingConnections(m_options.maxConnections);
    QObject::connect(&m_server, &QTcpServer::newConnection, this, [this] { accept(); });
    m_bench.reading = [this](const QJsonObject &object) {
        m_metrics.take(object);
        broadcast("event: reading\ndata: " + QJsonDocument(object).toJson(QJsonDocument::Compact) +
                  "\n\n");
    };
    m_keepAlive.setInterval(kKeepAlive);
    QObject::connect(&m_keepAlive, &QTimer::timeout, this,
                     [this] { broadcast(": keep-alive\n\n"); });
    m_sweep.setInterval(std::chrono::seconds(1));
    QObject::connect(&m_sweep, &QTimer::timeout, this, [this] { sweep(); });
}

HttpServer::~HttpServer()
{
    m_bench.reading = nullptr;
    close();
}

QString HttpServer::listen()
{
    if (!m_server.listen(m_options.address, m_options.port)) {
        return m_server.errorString();
    }
    m_keepAlive.start();
    m_sweep.start();
    return {};
}

QString HttpServer::startUrl() const
{
    QHostAddress shown = m_server.serverAddress();
    if (shown == QHostAddress(QHostAddress::Any) || shown == QHostAddress(QHostAddress::AnyIPv4)) {
        shown = QHostAddress(QHostAddress::LocalHost);
    } else if (shown == QHostAddress(QHostAddress::AnyIPv6)) {
        shown = QHostAddress(QHostAddress::LocalHostIPv6);
    }
    return QStringLiteral("http://%1:%2/?token=%3")
        .arg(QString::fromLatin1(hostText(shown)))
        .arg(m_server.serverPort())
        .arg(QString::fromLatin1(m_options.token));
}

void HttpServer::close()
{
    m_server.close();
    m_keepAlive.stop();
    m_sweep.stop();
    while (!m_connections.empty()) {
        drop(m_connections.begin()->first);
    }
}

int HttpServer::streams() const
{
    int n = 0;
    for (const auto &c : m_connections) {
        n += c.second->stream ? 1 : 0;
    }
    return n;
}

bool HttpServer::knownHost(const Connection &c, const QByteArray &header) const
{
    const QByteArray host = header.toLower();
    QByteArray name = host;
    QByteArray port;
    const qsizetype colon = host.lastIndexOf(':');
    if (colon >= 0 && colon > host.lastIndexOf(']')) {
        name = host.left(colon);
        port = host.mid(colon + 1);
    }
    bool ok = true;
    port.toUInt(&ok);
    if (name.isEmpty() || (!port.isEmpty() && !ok)) {
        return false;
    }
    // A name is checked, not its port: a tunnel or a forwarded port changes the
    // port, and a foreign site's page can only come by another name. The
    // addresses typed as such (the one the client reached, the one listened on,
    // loopback) are never another site's name.
    if (name == "localhost" || name == "127.0.0.1" || name == "[::1]" ||
        name == hostText(c.socket->localAddress()) || name == hostText(m_server.serverAddress())) {
        return true;
    }
    for (const QString &allowed : m_options.hosts) {
        if (name == allowed.toLower().toUtf8()) {
            return true;
        }
    }
    return false;
}

void HttpServer::handle(Connection &c, const Request &request)
{
    if (!request.keepAlive) {
        c.closing = true;
    }
    if (!knownHost(c, request.header("host"))) {
        respondError(c, 403,
                     QStringLiteral("unknown Host: open the address the server printed, "
                                    "or start it with --http-host NAME"));
        return;
    }
    // The page's own files hold no secret and come to anyone who may connect;
    // the page keeps the token for its origin and sends it with every API
    // request. No cookie is read: a browser sends a cookie to every port of the
    // host, so another program listening there would collect it.
    if (!request.path.startsWith("/api/") && request.path != "/metrics") {
        // A page opened at the printed address brings the token in its query:
        // its connection is a token holder's and keeps its room.
        if (request.path == "/" &&
            sameToken(QUrlQuery(QString::fromLatin1(request.query))
                          .queryItemValue(QStringLiteral("token"), QUrl::FullyDecoded)
                          .toUtf8(),
                      m_options.token)) {
            c.authenticated = true;
        }
        route(c, request);
        return;
    }
    if (!sameToken(bearerToken(request.header("authorization")), m_options.token)) {
        respondError(c, 401, QStringLiteral("a valid token is needed"),
                     {{"WWW-Authenticate", "Bearer"}});
        return;
    }
    c.authenticated = true;
    route(c, request);
}

void HttpServer::route(Connection &c, const Request &request)
{
    const QByteArray &path = request.path;
    const auto only = [&](const char *method) {
        if (request.method == method) {
            return true;
        }
        respondError(c, 405,
                     QStringLiteral("%1 takes %2 only")
                         .arg(QString::fromLatin1(path), QLatin1String(method)),
                     {{"Allow", qstrcmp(method, "GET") == 0 ? "GET, HEAD" : method}});
        return false;
    };
    const auto found = m_files.find(path);
    if (found != m_files.end()) {
        if (only("GET")) {
            respond(c, 200, found->second.first, found->second.second);
        }
        return;
    }
    if (path == "/api/supplies") {
        if (only("GET")) {
            QJsonArray supplies;
            for (const std::uint8_t address : m_bench.addresses()) {
                supplies.append(m_bench.supply(address));
            }
            respondJson(c, 200, {{QStringLiteral("supplies"), supplies}});
        }
        return;
    }
    if (path == "/metrics") {
        if (only("GET")) {
            respond(c, 200, Metrics::kContentType, m_metrics.text());
        }
        return;
    }
    if (path == "/api/events") {
        if (only("GET")) {
            startStream(c);
        }
        return;
    }
    if (path == "/api/record.csv") {
        if (only("GET")) {
            startDownload(c);
        }
        return;
    }
    const bool isPost =
        path == "/api/all-off" ||
        (path.startsWith("/api/supplies/") && (path.endsWith("/set") || path.endsWith("/output")));
    if (!isPost) {
        respondError(c, 404, QStringLiteral("no such path"));
        return;
    }
    if (!only("POST")) {
        return;
    }
    // The header already shown is one a foreign page cannot send; nor can it
    // make the Origin this server's own.
    if (request.hasHeader("origin") &&
        request.header("origin").toLower() != "http://" + request.header("host").toLower()) {
        respondError(c, 403, QStringLiteral("a write from another origin is refused"));
        return;
    }
    post(c, request, path);
}

void HttpServer::post(Connection &c, const Request &request, const QByteArray &path)
{
    QJsonObject body;
    if (!request.body.trimmed().isEmpty()) {
        QJsonParseError parsed;
        const QJsonDocument document = QJsonDocument::fromJson(request.body, &parsed);
        if (parsed.error != QJsonParseError::NoError || !document.isObject()) {
            respondError(c, 400, QStringLiteral("the body is not a JSON object"));
            return;
        }
        body = document.object();
    }
    const int id = c.id;
    const auto answer = [this, id](const Outcome &outcome) {
        if (Connection *c = find(id)) {
            answerLater(*c, outcome);
        }
    };
    if (path == "/api/all-off") {
        if (!body.isEmpty()) {
            respondError(c, 400, QStringLiteral("all-off takes no keys"));
            return;
        }
        m_bench.allOff(answer);
        return;
    }
    // /api/supplies/N/set or /api/supplies/N/output
    const QList<QByteArray> parts = path.split('/');
    bool ok = parts.size() == 5 && !parts[3].isEmpty() && parts[3].size() <= 3;
    for (const char digit : parts.value(3)) {
        ok = ok && digit >= '0' && digit <= '9';
    }
    const int address = ok ? parts[3].toInt() : -1;
    const auto served = m_bench.addresses();
    if (!ok || std::find(served.begin(), served.end(), address) == served.end()) {
        respondError(c, 404,
                     QStringLiteral("address %1 is not served").arg(QString::fromLatin1(parts[3])));
        return;
    }
    const QString action = QString::fromLatin1(parts[4]);
    const QStringList keys = action == QLatin1String("set")
                                 ? QStringList{QStringLiteral("v"), QStringLiteral("a")}
                                 : QStringList{QStringLiteral("on")};
    for (const QString &key : body.keys()) {
        if (!keys.contains(key)) {
            respondError(c, 400,
                         QStringLiteral("unknown key '%1': %2 takes %3")
                             .arg(key, action, keys.join(QLatin1String(", "))));
            return;
        }
    }
    if (action == QLatin1String("output")) {
        if (!body.value(QStringLiteral("on")).isBool()) {
            respondError(c, 400, QStringLiteral("output takes {\"on\": true} or {\"on\": false}"));
            return;
        }
        m_bench.output(std::uint8_t(address), body.value(QStringLiteral("on")).toBool(), answer);
        return;
    }
    if (body.isEmpty()) {
        respondError(c, 400, QStringLiteral("set takes \"v\", \"a\" or both"));
        return;
    }
    std::optional<std::uint16_t> volts;
    std::optional<std::uint16_t> amps;
    QString why;
    if (body.contains(QStringLiteral("v"))) {
        volts =
            counts(body.value(QStringLiteral("v")), 100, protocol::kLargestVoltageCode, "V", why);
        if (!volts) {
            respondError(c, 400, QStringLiteral("v ") + why);
            return;
        }
    }
    if (body.contains(QStringLiteral("a"))) {
        amps =
            counts(body.value(QStringLiteral("a")), 1000, protocol::kLargestCurrentCode, "A", why);
        if (!amps) {
            respondError(c, 400, QStringLiteral("a ") + why);
            return;
        }
    }
    m_bench.set(std::uint8_t(address), volts, amps, answer);
}

void HttpServer::answerLater(Connection &c, const Outcome &outcome)
{
    respondJson(c, outcome.status, outcome.body);
}

} // namespace web
