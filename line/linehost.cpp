#include "line/linehost.h"

#include "engine/client.h"
#include "line/localpeer.h"
#include "line/sharedport.h"

#include <QDir>
#include <QFileInfo>
#include <QMetaObject>

#include <utility>

namespace line {

namespace {

// Every unit a line can carry, the address register writable: a joiner's
// requests fare as on its own port.
protocol::mbap::GatewayPolicy transparentPolicy()
{
    protocol::mbap::GatewayPolicy policy;
    for (int unit = 1; unit <= 247; ++unit) {
        policy.units.push_back(static_cast<std::uint8_t>(unit));
    }
    policy.allowAddressChange = true;
    return policy;
}

} // namespace

LineHost::LineHost(SharedPort &port, engine::Client &client, QObject *parent)
    : QObject(parent), m_port(port), m_gateway(client, transparentPolicy())
{
    m_gateway.setNamesVerdicts(true);
    m_server.setSocketOptions(QLocalServer::UserAccessOption);
    m_finishBound.setSingleShot(true);
    connect(&m_finishBound, &QTimer::timeout, this, [this] { settle(true); });
    connect(&m_server, &QLocalServer::newConnection, this, &LineHost::accept);
    connect(&port, &SharedPort::roleChanged, this, &LineHost::follow);
    connect(&port, &SharedPort::leaving, this, [this] {
        if (m_server.isListening()) {
            m_server.close();
        }
    });
    follow();
}

LineHost::~LineHost()
{
    m_finished = nullptr;
    stop();
}

void LineHost::follow()
{
    if (m_port.role() == SharedPort::Role::Owner) {
        if (!m_server.isListening()) {
            listen(m_port.socketNames());
        }
    } else {
        stop();
    }
}

void LineHost::listen(const QStringList &names)
{
    m_finishing = false;
    m_finished = nullptr;
    m_finishBound.stop();
    // The first place whose folder is the user's own: a folder that is not
    // (another user's, a link, open to others) is no place for our line, as
    // another user could replace the socket there. Joiners look at every place.
    QStringList problems;
    for (const QString &name : names) {
        const QString folder = lineFolderOf(name);
        if (!folder.isEmpty()) {
            const QString problem = makeLineFolder(folder);
            if (!problem.isEmpty()) {
                problems << problem;
                continue;
            }
        }
        // The owner holds the device alone: a socket already there is a dead owner's.
        QLocalServer::removeServer(name);
        if (m_server.listen(name)) {
            return;
        }
        problems << QStringLiteral("%1: %2").arg(name, m_server.errorString());
    }
    qWarning("cannot offer the line to other programs: %s",
             qUtf8Printable(problems.join(QStringLiteral("; "))));
}

void LineHost::stop()
{
    while (!m_connections.empty()) {
        drop(m_connections.begin()->first);
    }
    if (m_server.isListening()) {
        m_server.close();
    }
    // Nothing is left to answer: a finish under way ends.
    settleLater();
}

bool LineHost::relaying() const
{
    for (const auto &[socket, id] : m_connections) {
        if (m_gateway.working(id)) {
            return true;
        }
    }
    return false;
}

void LineHost::finish(std::chrono::milliseconds within, std::function<void()> done)
{
    // A program that connects meanwhile waits in the server's backlog, and finds
    // its connection closed when this one leaves: it then takes the line over.
    m_finishing = true;
    for (const auto &[socket, id] : m_connections) {
        disconnect(socket, &QLocalSocket::readyRead, this, nullptr);
    }
    m_finished = std::move(done);
    m_finishBound.start(within);
    // Each answer and each joiner that goes settles it again.
    settleLater();
}

void LineHost::finishNow()
{
    settle(true);
}

void LineHost::resume()
{
    m_finished = nullptr;
    m_finishBound.stop();
    if (!m_finishing) {
        return;
    }
    m_finishing = false;
    for (const auto &[socket, id] : m_connections) {
        watch(socket);
    }
    // What came meanwhile is taken now, in the order of the connections.
    const auto connections = m_connections;
    for (const auto &connection : connections) {
        take(connection.first);
    }
    accept();
}

void LineHost::settleLater()
{
    if (m_finished) {
        QMetaObject::invokeMethod(
            this, [this] { settle(false); }, Qt::QueuedConnection);
    }
}

void LineHost::settle(bool now)
{
    if (!m_finished || (!now && relaying())) {
        return;
    }
    m_finishBound.stop();
    // The answers reach the joiners before their sockets are closed.
    for (const auto &[socket, id] : m_connections) {
        socket->flush();
    }
    std::exchange(m_finished, nullptr)();
}

void LineHost::accept()
{
    if (m_finishing) {
        return;
    }
    while (QLocalSocket *socket = m_server.nextPendingConnection()) {
        // The system's socket buffer holds the rest: the joiner waits there.
        socket->setReadBufferSize(kReadBuffer);
        const int id = m_gateway.open({[socket](const QByteArray &bytes) { socket->write(bytes); },
                                       [socket] { return socket->bytesToWrite() < kUnreadAnswers; },
                                       [this, socket] {
                                           settle(false);
                                           take(socket);
                                       },
                                       [this, socket](const QString &why) {
                                           emit dropped(why);
                                           drop(socket);
                                       },
                                       [socket] { return !localPeerGone(*socket); }});
        m_connections[socket] = id;
        watch(socket);
        connect(socket, &QLocalSocket::bytesWritten, this, [this, socket] {
            m_gateway.pump();
            take(socket);
        });
        connect(socket, &QLocalSocket::disconnected, this, [this, socket] { drop(socket); });
        take(socket);
    }
}

void LineHost::watch(QLocalSocket *socket)
{
    connect(socket, &QLocalSocket::readyRead, this, [this, socket] { take(socket); });
}

void LineHost::take(QLocalSocket *socket)
{
    // A queued hook may come for a joiner that has gone since.
    const auto found = m_connections.find(socket);
    if (found == m_connections.end()) {
        return;
    }
    const int id = found->second;
    while (!m_finishing && socket->bytesAvailable() > 0 &&
           socket->bytesToWrite() < kUnreadAnswers && m_gateway.pending(id) < kTakenRequests) {
        m_gateway.receive(id, socket->read(kReadPiece));
    }
}

void LineHost::drop(QLocalSocket *socket)
{
    const auto found = m_connections.find(socket);
    if (found == m_connections.end()) {
        return;
    }
    m_gateway.close(found->second);
    m_connections.erase(found);
    socket->disconnect(this);
    socket->abort();
    socket->deleteLater();
    settleLater();
}

} // namespace line
