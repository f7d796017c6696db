#include "web/httpserver.h"

#include "protocol/frames.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRandomGenerator>
#include <QTcpSocket>

#include <cmath>

namespace web {

namespace {

using Headers = QList<QPair<QByteArray, QByteArray>>;

// How much of a connection's bytes is read at a time, and how much of a response
// may wait unsent before the next request is read.
constexpr qint64 kReadChunk = 16 * 1024;
constexpr qint64 kUnsent = 256 * 1024;
constexpr qint64 kDownloadChunk = 64 * 1024;
// Requests waiting on one connection before its bytes are left unread.
constexpr int kPipelined = 16;

QByteArray reason(int status)
{
    switch (status) {
    case 200:
        return "OK";
    case 303:
        return "See Other";
    case 400:
        return "Bad Request";
    case 401:
        return "Unauthorized";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 409:
        return "Conflict";
    case 413:
        return "Payload Too Large";
    case 502:
        return "Bad Gateway";
    case 503:
        return "Service Unavailable";
    default:
        return "Error";
    }
}

// The headers every response carries: nothing of another origin runs or loads,
// the page is framed nowhere, and nothing is kept by a cache (the page holds the
// token).
QByteArray commonHeaders()
{
    return QByteArrayLiteral(
        "Content-Security-Policy: default-src 'self'; script-src 'self'; style-src 'self'; "
        "img-src 'self' data:; connect-src 'self'; frame-ancestors 'none'; base-uri 'none'; "
        "form-action 'self'\r\n"
        "X-Content-Type-Options: nosniff\r\n"
        "Referrer-Policy: no-referrer\r\n"
        "Cache-Control: no-store\r\n");
}

// An IPv4 peer of a dual-stack listener comes as ::ffff:a.b.c.d.
QHostAddress plainAddress(const QHostAddress &address)
{
    bool isV4 = false;
    const quint32 v4 = address.toIPv4Address(&isV4);
    return isV4 ? QHostAddress(v4) : address;
}

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

struct HttpServer::Connection {
    int id = 0;
    QTcpSocket *socket = nullptr;
    RequestParser parser;
    bool busy = false;    // a request is being answered
    bool inPump = false;  // pump() is on the stack
    bool stream = false;  // an event stream: nothing more is read
    bool closing = false; // closed once its last response is out
    std::unique_ptr<QFile> download;
    qint64 left = 0; // bytes of the download still to send
    QElapsedTimer lastActive;
};

HttpServer::HttpServer(Bench &bench, HttpOptions options)
    : m_bench(bench), m_options(std::move(options))
{
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
        broadcast("event: reading\ndata: " + QJsonDocument(object).toJson(QJsonDocument::Compact) +
                  "\n\n");
    };
    m_keepAlive.setInterval(kKeepAlive);
    QObject::connect(&m_keepAlive, &QTimer::timeout, this,
                     [this] { broadcast(": keep-alive\n\n"); });
    m_sweep.setInterval(std::chrono::seconds(5));
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

HttpServer::Connection *HttpServer::find(int id)
{
    const auto found = m_connections.find(id);
    return found == m_connections.end() ? nullptr : found->second.get();
}

void HttpServer::accept()
{
    while (QTcpSocket *socket = m_server.nextPendingConnection()) {
        const QHostAddress peer = plainAddress(socket->peerAddress());
        const bool allowed = m_options.allowed ? m_options.allowed(peer) : peer.isLoopback();
        if (!allowed || int(m_connections.size()) >= m_options.maxConnections) {
            ++m_stats.refused;
            if (m_options.log) {
                m_options.log(allowed ? QStringLiteral("http: turned away %1: %2 connections "
                                                       "already")
                                            .arg(peer.toString())
                                            .arg(m_connections.size())
                                      : QStringLiteral("http: refused %1: not an allowed address")
                                            .arg(peer.toString()));
            }
            socket->abort();
            socket->deleteLater();
            continue;
        }
        ++m_stats.connections;
        auto c = std::make_unique<Connection>();
        const int id = ++m_lastId;
        c->id = id;
        c->socket = socket;
        c->lastActive.start();
        socket->setParent(this);
        QObject::connect(socket, &QTcpSocket::readyRead, this, [this, id] {
            if (Connection *c = find(id)) {
                pump(*c);
            }
        });
        QObject::connect(socket, &QTcpSocket::bytesWritten, this, [this, id] {
            Connection *c = find(id);
            if (!c) {
                return;
            }
            if (c->download) {
                sendDownload(*c);
            } else if (!c->stream) {
                pump(*c);
            }
        });
        QObject::connect(socket, &QTcpSocket::disconnected, this, [this, id] { drop(id); });
        QObject::connect(socket, &QTcpSocket::errorOccurred, this,
                         [this, id](QAbstractSocket::SocketError) { drop(id); });
        m_connections[id] = std::move(c);
        if (socket->bytesAvailable() > 0) {
            pump(*m_connections[id]);
        }
    }
}

void HttpServer::pump(Connection &c)
{
    if (c.inPump) {
        return;
    }
    c.inPump = true;
    const int id = c.id;
    while (!c.busy && !c.stream && !c.closing) {
        if (auto request = c.parser.next()) {
            ++m_stats.requests;
            c.lastActive.restart();
            c.busy = true;
            handle(c, *request);
            if (!find(id)) {
                return; // dropped while it was answered
            }
            continue;
        }
        if (const int status = c.parser.failureStatus()) {
            c.busy = true;
            c.closing = true;
            respondError(c, status,
                         status == 413 ? QStringLiteral("the body is over 64 KiB")
                                       : QStringLiteral("malformed request"));
            break;
        }
        if (c.socket->bytesAvailable() <= 0 || c.socket->bytesToWrite() > kUnsent) {
            break;
        }
        // The idle clock runs on from the last answer: a request trickled in a
        // byte at a time holds its connection no longer than an idle one.
        const QByteArray bytes = c.socket->read(kReadChunk);
        c.parser.feed(bytes.constData(), bytes.size());
    }
    c.inPump = false;
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
    if (!request.path.startsWith("/api/")) {
        route(c, request);
        return;
    }
    if (!sameToken(bearerToken(request.header("authorization")), m_options.token)) {
        respondError(c, 401, QStringLiteral("a valid token is needed"),
                     {{"WWW-Authenticate", "Bearer"}});
        return;
    }
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
                     {{"Allow", method}});
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

void HttpServer::respond(Connection &c, int status, const QByteArray &type, const QByteArray &body,
                         const Headers &extra)
{
    QByteArray head = "HTTP/1.1 " + QByteArray::number(status) + ' ' + reason(status) + "\r\n";
    head += commonHeaders();
    head += "Content-Type: " + type + "\r\n";
    head += "Content-Length: " + QByteArray::number(body.size()) + "\r\n";
    for (const auto &h : extra) {
        head += h.first + ": " + h.second + "\r\n";
    }
    if (c.closing) {
        head += "Connection: close\r\n";
    }
    head += "\r\n";
    c.socket->write(head + body);
    finished(c);
}

void HttpServer::respondJson(Connection &c, int status, const QJsonObject &body,
                             const Headers &extra)
{
    respond(c, status, "application/json", QJsonDocument(body).toJson(QJsonDocument::Compact),
            extra);
}

void HttpServer::respondError(Connection &c, int status, const QString &text, const Headers &extra)
{
    respondJson(c, status, {{QStringLiteral("error"), text}}, extra);
}

// A response is out: the next request is read, or the connection closes once
// the response has gone.
void HttpServer::finished(Connection &c)
{
    c.busy = false;
    c.lastActive.restart();
    if (c.closing) {
        // From the event loop, as the caller may still hold the connection; the
        // socket closes once what it holds has gone out.
        const int id = c.id;
        QTimer::singleShot(0, this, [this, id] {
            if (Connection *c = find(id)) {
                c->socket->disconnectFromHost();
            }
        });
        return;
    }
    if (!c.inPump) {
        pump(c);
    }
}

void HttpServer::startStream(Connection &c)
{
    c.stream = true;
    c.busy = false;
    // A small kernel buffer: a client that stops reading shows soon in ours.
    c.socket->setSocketOption(QAbstractSocket::SendBufferSizeSocketOption, 64 * 1024);
    QByteArray bytes = "HTTP/1.1 200 OK\r\n" + commonHeaders() +
                       "Content-Type: text/event-stream\r\nConnection: keep-alive\r\n\r\n";
    for (const std::uint8_t address : m_bench.addresses()) {
        bytes += "event: reading\ndata: " +
                 QJsonDocument(m_bench.supply(address)).toJson(QJsonDocument::Compact) + "\n\n";
    }
    c.socket->write(bytes);
}

void HttpServer::broadcast(const QByteArray &bytes)
{
    std::vector<int> full;
    for (const auto &entry : m_connections) {
        Connection &c = *entry.second;
        if (!c.stream) {
            continue;
        }
        if (c.socket->bytesToWrite() + bytes.size() > kStreamBuffer) {
            full.push_back(c.id);
            continue;
        }
        c.socket->write(bytes);
    }
    for (const int id : full) {
        ++m_stats.dropped;
        if (m_options.log) {
            m_options.log(QStringLiteral("http: dropped an event stream that did not read"));
        }
        drop(id);
    }
}

void HttpServer::startDownload(Connection &c)
{
    auto file = std::make_unique<QFile>(m_bench.recordPath());
    if (!file->open(QIODevice::ReadOnly)) {
        respondError(c, 503,
                     QStringLiteral("the record cannot be read: %1").arg(file->errorString()));
        return;
    }
    // The rows up to now: the file grows as readings come.
    c.left = file->size();
    QByteArray head = "HTTP/1.1 200 OK\r\n" + commonHeaders() +
                      "Content-Type: text/csv; charset=utf-8\r\n"
                      "Content-Disposition: attachment; filename=\"record.csv\"\r\n"
                      "Content-Length: " +
                      QByteArray::number(c.left) + "\r\n";
    if (c.closing) {
        head += "Connection: close\r\n";
    }
    c.socket->write(head + "\r\n");
    c.download = std::move(file);
    sendDownload(c);
}

void HttpServer::sendDownload(Connection &c)
{
    while (c.left > 0 && c.socket->bytesToWrite() < kDownloadChunk) {
        const QByteArray chunk = c.download->read(qMin(c.left, kDownloadChunk));
        if (chunk.isEmpty()) {
            // The file cannot give what it had: the response cannot be whole.
            drop(c.id);
            return;
        }
        c.left -= chunk.size();
        c.socket->write(chunk);
    }
    if (c.left == 0) {
        c.download.reset();
        finished(c);
    }
}

void HttpServer::sweep()
{
    std::vector<int> idle;
    for (const auto &entry : m_connections) {
        const Connection &c = *entry.second;
        if (!c.stream && !c.busy &&
            c.lastActive.hasExpired(std::chrono::milliseconds(kIdle).count())) {
            idle.push_back(c.id);
        }
    }
    for (const int id : idle) {
        drop(id);
    }
}

void HttpServer::drop(int id)
{
    const auto found = m_connections.find(id);
    if (found == m_connections.end()) {
        return;
    }
    std::unique_ptr<Connection> c = std::move(found->second);
    m_connections.erase(found);
    QObject::disconnect(c->socket, nullptr, this, nullptr);
    c->socket->abort();
    c->socket->deleteLater();
}

} // namespace web
