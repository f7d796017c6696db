// serve's socket server: each client's session, from its first byte to its leaving.
#include "ctl/socketserver_p.h"

namespace ctl {

bool SocketServer::working(const Connection &c) const
{
    return c.modbus ? m_gateway.working(c.gatewayId) : c.session->working();
}

void SocketServer::pumpAll()
{
    m_instrument.pump();
    m_gateway.pump();
}

void SocketServer::open(ClientSocket *socket, const QString &peer, bool modbus)
{
    auto c = std::make_unique<Connection>();
    const int id = ++m_served;
    c->id = id;
    c->peer = peer;
    c->socket = socket;
    c->modbus = modbus;
    if (modbus) {
        c->gatewayId = m_gateway.open({[socket](const QByteArray &bytes) { socket->write(bytes); },
                                       [socket] { return socket->bytesToWrite() < kUnreadAnswers; },
                                       [this, id] { lineDone(id); },
                                       [this, id](const QString &why) { drop(id, why); }});
    } else {
        c->session = m_instrument.open(
            [socket](const std::string &text) {
                socket->write(QByteArray(text.data(), qsizetype(text.size())));
            },
            [socket] { return socket->bytesToWrite() < kUnreadAnswers; },
            // From the event loop: the instrument is in the middle of its work here.
            [this, id] {
                QMetaObject::invokeMethod(
                    &m_context, [this, id] { lineDone(id); }, Qt::QueuedConnection);
            });
        c->lines = std::make_unique<ScpiLines>(m_instrument, c->session);
    }
    if (m_options.idleTimeout.count() > 0) {
        c->idle = new QTimer(socket);
        c->idle->setSingleShot(true);
        c->idle->setInterval(m_options.idleTimeout);
        QObject::connect(c->idle, &QTimer::timeout, &m_context, [this, id] { idle(id); });
        c->idle->start();
    }
    socket->received = [this, id](const QByteArray &bytes) { read(id, bytes); };
    socket->ended = [this, id] { ended(id); };
    socket->failed = [this, id](const QString &why) {
        drop(id, QStringLiteral("connection lost (%1)").arg(why));
    };
    socket->written = [this, id] {
        pumpAll();
        settle(id);
    };
    m_connections[id] = std::move(c);
    m_comings.note(QStringLiteral("connected ") + addressOf(peer),
                   QStringLiteral("%1client %2 connected from %3 (%4 of at most %5)")
                       .arg(modbus ? QStringLiteral("Modbus TCP ") : QString())
                       .arg(id)
                       .arg(peer)
                       .arg(clients(modbus))
                       .arg(m_options.maxClients));
}

Connection *SocketServer::find(int id)
{
    const auto found = m_connections.find(id);
    return found == m_connections.end() ? nullptr : found->second.get();
}

// Takes the client's complete lines.
void SocketServer::read(int id, const QByteArray &chunk)
{
    Connection *c = find(id);
    if (!c) {
        return;
    }
    if (c->modbus) {
        m_gateway.receive(c->gatewayId, chunk);
        restartIdle(*c);
        return;
    }
    if (c->lines->receive(chunk)) {
        restartIdle(*c);
    }
    m_instrument.pump();
}

// The client has sent its last byte: its lines, an unterminated last one too,
// are carried out and answered, and then it is closed.
void SocketServer::ended(int id)
{
    Connection *c = find(id);
    if (!c) {
        return;
    }
    c->ended = true;
    if (c->idle) {
        c->idle->stop();
    }
    if (!c->modbus) {
        c->lines->end();
    }
    pumpAll();
    settle(id);
}

void SocketServer::lineDone(int id)
{
    Connection *c = find(id);
    if (!c) {
        return;
    }
    restartIdle(*c);
    settle(id);
}

// A client that has finished sending is closed once its last answer is out.
void SocketServer::settle(int id)
{
    Connection *c = find(id);
    if (c && c->ended && !working(*c) && c->socket->bytesToWrite() == 0) {
        drop(id, QStringLiteral("closed by the client"));
    }
}

// The idle clock runs only while the client has nothing waiting or under way,
// from its last whole line or the end of its last command, whichever is later:
// a client that waits for its answers is not idle, one that trickles bytes is.
void SocketServer::restartIdle(Connection &c)
{
    if (!c.idle || c.ended) {
        return;
    }
    if (working(c)) {
        c.idle->stop();
    } else {
        c.idle->start();
    }
}

void SocketServer::idle(int id)
{
    Connection *c = find(id);
    if (!c || working(*c)) {
        return;
    }
    drop(id, QStringLiteral("idle for %1 s").arg(m_options.idleTimeout.count() / 1000));
}

void SocketServer::drop(int id, const QString &why)
{
    const auto found = m_connections.find(id);
    if (found == m_connections.end()) {
        return;
    }
    std::unique_ptr<Connection> c = std::move(found->second);
    m_connections.erase(found);
    if (c->modbus) {
        m_gateway.close(c->gatewayId);
    } else {
        m_instrument.close(c->session);
    }
    c->socket->received = nullptr;
    c->socket->ended = nullptr;
    c->socket->failed = nullptr;
    c->socket->written = nullptr;
    c->socket->close();
    c->socket->deleteLater();
    const QString leaving = QStringLiteral("left ") + addressOf(c->peer);
    if (c->modbus) {
        m_comings.note(
            leaving,
            QStringLiteral("Modbus TCP client %1 (%2) left: %3").arg(c->id).arg(c->peer, why));
    } else {
        m_comings.note(leaving, QStringLiteral("client %1 (%2) left: %3; %4 lines")
                                    .arg(c->id)
                                    .arg(c->peer, why)
                                    .arg(c->lines->lines()));
        m_lines += c->lines->lines();
    }
    if (m_acceptPaused && !m_stopping) {
        accepting(true); // a descriptor is free again
    }
    pumpAll();
}

} // namespace ctl
