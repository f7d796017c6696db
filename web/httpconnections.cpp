// The HTTP server's connections: who comes in, how their bytes are read and
// answered, and when they close.
#include "web/httpconnection.h"

#ifdef Q_OS_WIN
#include <winsock2.h>
#else
#include <sys/ioctl.h>
#endif

#include <QJsonDocument>

namespace web {

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
    case 417:
        return "Expectation Failed";
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

QHostAddress plainAddress(const QHostAddress &address)
{
    bool isV4 = false;
    const quint32 v4 = address.toIPv4Address(&isV4);
    return isV4 ? QHostAddress(v4) : address;
}

qint64 HttpServer::heldBytes() const
{
    qint64 n = 0;
    for (const auto &c : m_connections) {
        const QTcpSocket &socket = *c.second->socket;
        n += socket.bytesAvailable() + socket.bytesToWrite() + c.second->parser.heldBytes();
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
    // While connections pour in, the listener would hand them over one after
    // another for as long as the system has more, and no socket would be read
    // and no reply of the line taken meanwhile. A turn of the event loop takes
    // at most kAcceptBurst; the rest wait in the listener's queue for the next.
    while (m_takenThisTurn < kAcceptBurst) {
        QTcpSocket *socket = m_server.nextPendingConnection();
        if (!socket) {
            break;
        }
        if (m_takenThisTurn++ == 0) {
            QTimer::singleShot(0, this, [this] {
                m_takenThisTurn = 0;
                if (m_server.hasPendingConnections()) {
                    accept();
                }
            });
        }
        const QHostAddress peer = plainAddress(socket->peerAddress());
        const QString address = peer.toString();
        const bool allowed = m_options.allowed ? m_options.allowed(peer) : peer.isLoopback();
        const int room = allowed ? makeRoom() : Admission::kFull;
        if (room > 0) {
            // The oldest that has not shown the token gives way.
            ++m_stats.refused;
            const Connection *old = find(room);
            const QString from = old ? old->peer : QString();
            m_refusals.note(QStringLiteral("room ") + from,
                            QStringLiteral("http: closed a connection from %1 that showed no "
                                           "token, to make room: %2 connections already")
                                .arg(from)
                                .arg(m_connections.size()));
            drop(room);
        } else if (room == Admission::kFull) {
            ++m_stats.refused;
            if (allowed) {
                m_refusals.note(QStringLiteral("turned away ") + address,
                                QStringLiteral("http: turned away %1: %2 connections already")
                                    .arg(address)
                                    .arg(m_connections.size()));
            } else {
                m_refusals.note(
                    QStringLiteral("refused ") + address,
                    QStringLiteral("http: refused %1: not an allowed address").arg(address));
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
        c->peer = address;
        m_admission.opened(id, now());
        socket->setParent(this);
        socket->setReadBufferSize(kReadChunk);
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

namespace {

// Whether the system holds received bytes that the socket has not read yet.
bool systemHolds(qintptr descriptor)
{
    if (descriptor < 0) {
        return false;
    }
#ifdef Q_OS_WIN
    u_long n = 0;
    return ioctlsocket(SOCKET(descriptor), FIONREAD, &n) == 0 && n > 0;
#else
    int n = 0;
    return ioctl(int(descriptor), FIONREAD, &n) == 0 && n > 0;
#endif
}

} // namespace

// The connection to close for a newcomer, as Admission chooses it, but only once
// what that one has sent is read: while connections pour in, the server accepts
// them one after another before any socket's bytes are read, and a token holder
// whose request has arrived would otherwise give way unheard. A connection is
// heard once; one that showed the token is kept and the next is chosen.
int HttpServer::makeRoom()
{
    for (;;) {
        const int room = m_admission.makeRoom();
        Connection *old = room > 0 ? find(room) : nullptr;
        if (!old || old->heard) {
            return room;
        }
        old->heard = true;
        // Only when the system holds bytes for it: waiting on a silent socket
        // would end in a timeout error. readyRead answers what is read at once.
        if (systemHolds(old->socket->socketDescriptor())) {
            old->socket->waitForReadyRead(0);
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
    // Nothing more is answered while earlier answers wait unsent, and nothing
    // more is read while cut requests wait: the socket's bounded buffer fills
    // and the system's flow control holds the client back until it reads.
    while (!c.busy && !c.stream && !c.closing && c.socket->bytesToWrite() <= kUnsent) {
        if (auto request = c.parser.next()) {
            ++m_stats.requests;
            m_admission.active(id, now());
            c.busy = true;
            // HEAD is served wherever GET is, with the same head and no body.
            c.head = request->method == "HEAD";
            if (c.head) {
                request->method = "GET";
            }
            handle(c, *request);
            if (!find(id)) {
                return; // dropped while it was answered
            }
            if (c.authenticated) {
                m_admission.shown(id);
            }
            continue;
        }
        if (const int status = c.parser.failureStatus()) {
            c.busy = true;
            c.closing = true;
            respondError(c, status,
                         status == 413   ? QStringLiteral("the body is over 64 KiB")
                         : status == 417 ? QStringLiteral("only 100-continue is expected")
                                         : QStringLiteral("malformed request"));
            break;
        }
        // Every earlier request is answered: the client that waits to send a
        // body is told to go on.
        if (c.parser.takeContinue()) {
            c.socket->write("HTTP/1.1 100 Continue\r\n\r\n");
        }
        if (c.socket->bytesAvailable() <= 0) {
            break;
        }
        // The idle clock runs on from the last answer: a request trickled in a
        // byte at a time holds its connection no longer than an idle one.
        const QByteArray bytes = c.socket->read(kReadChunk);
        c.parser.feed(bytes.constData(), bytes.size());
    }
    c.inPump = false;
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
    c.socket->write(c.head ? head : head + body);
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
    m_admission.active(c.id, now());
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
    if (c.head) {
        c.socket->write("HTTP/1.1 200 OK\r\n" + commonHeaders() +
                        "Content-Type: text/event-stream\r\n\r\n");
        finished(c);
        return;
    }
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
                      "Content-Disposition: attachment; filename=\"vantel-record.csv\"\r\n"
                      "Content-Length: " +
                      QByteArray::number(c.left) + "\r\n";
    if (c.closing) {
        head += "Connection: close\r\n";
    }
    c.socket->write(head + "\r\n");
    if (c.head) {
        c.left = 0;
        finished(c);
        return;
    }
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
    const std::vector<int> expired = m_admission.expired(now(), [this](int id) {
        const Connection *c = find(id);
        return c && (c->busy || c->stream || c->download);
    });
    for (const int id : expired) {
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
    m_admission.closed(id);
    QObject::disconnect(c->socket, nullptr, this, nullptr);
    c->socket->abort();
    c->socket->deleteLater();
}

} // namespace web
