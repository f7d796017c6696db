#include "line/linehost.h"

#include "engine/client.h"
#include "line/localpeer.h"
#include "line/sharedport.h"

#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QTimer>

namespace supply {

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

LineHost::LineHost(SharedPort &port, Client &client, QObject *parent)
    : QObject(parent), m_port(port), m_gateway(client, transparentPolicy())
{
    m_gateway.setNamesVerdicts(true);
    m_server.setSocketOptions(QLocalServer::UserAccessOption);
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
    stop();
}

void LineHost::follow()
{
    if (m_port.role() == SharedPort::Role::Owner) {
        if (!m_server.isListening()) {
            listen(m_port.socketName());
        }
    } else {
        stop();
    }
}

void LineHost::listen(const QString &name)
{
    m_finishing = false;
    const QString folder = lineFolderOf(name);
    if (!folder.isEmpty()) {
        // A folder that is not the user's own is no place for our line: another
        // user could replace the socket there.
        const QString problem = makeLineFolder(folder);
        if (!problem.isEmpty()) {
            qWarning("cannot offer the line to other programs: %s", qUtf8Printable(problem));
            return;
        }
    }
    // The owner holds the device alone: a socket already there is a dead owner's.
    QLocalServer::removeServer(name);
    if (!m_server.listen(name)) {
        qWarning("cannot offer the line to other programs at %s: %s", qUtf8Printable(name),
                 qUtf8Printable(m_server.errorString()));
    }
}

void LineHost::stop()
{
    while (!m_connections.empty()) {
        drop(m_connections.begin()->first);
    }
    if (m_server.isListening()) {
        m_server.close();
    }
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

void LineHost::finishTaken(std::chrono::milliseconds within)
{
    // A program that connects meanwhile waits in the server's backlog, and finds
    // its connection closed when this one leaves: it then takes the line over.
    m_finishing = true;
    for (const auto &[socket, id] : m_connections) {
        disconnect(socket, &QLocalSocket::readyRead, this, nullptr);
    }
    if (relaying()) {
        QEventLoop loop;
        QTimer check;
        QElapsedTimer waited;
        waited.start();
        connect(&check, &QTimer::timeout, &loop, [&] {
            if (!relaying() || waited.elapsed() >= within.count()) {
                loop.quit();
            }
        });
        check.start(5);
        loop.exec();
    }
    // The answers reach the joiners before their sockets are closed.
    for (const auto &[socket, id] : m_connections) {
        socket->flush();
    }
}

void LineHost::accept()
{
    if (m_finishing) {
        return;
    }
    while (QLocalSocket *socket = m_server.nextPendingConnection()) {
        const int id =
            m_gateway.open({[socket](const QByteArray &bytes) { socket->write(bytes); },
                            [socket] { return socket->bytesToWrite() < kUnreadAnswers; }, nullptr,
                            [this, socket](const QString &why) {
                                emit dropped(why);
                                drop(socket);
                            },
                            [socket] { return !localPeerGone(*socket); }});
        m_connections[socket] = id;
        connect(socket, &QLocalSocket::readyRead, this,
                [this, socket, id] { m_gateway.receive(id, socket->readAll()); });
        connect(socket, &QLocalSocket::bytesWritten, this, [this] { m_gateway.pump(); });
        connect(socket, &QLocalSocket::disconnected, this, [this, socket] { drop(socket); });
        if (socket->bytesAvailable() > 0) {
            m_gateway.receive(id, socket->readAll());
        }
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
}

} // namespace supply
