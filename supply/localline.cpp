#include "supply/localline.h"

#include "supply/client.h"
#include "supply/localpeer.h"
#include "supply/sharedport.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace supply {

namespace {

// The device's one name: links resolved where it is a path, the system's own
// name (COM3) in upper case where it is not.
QString canonicalDevice(const QString &device)
{
    if (!QDir::isAbsolutePath(device)) {
        return device.toUpper();
    }
    const QString canonical = QFileInfo(device).canonicalFilePath();
    return canonical.isEmpty() ? QDir::cleanPath(device) : canonical;
}

QString shortHash(const QString &text)
{
    return QString::fromLatin1(
        QCryptographicHash::hash(text.toUtf8(), QCryptographicHash::Sha256).toHex().left(16));
}

// The user's number: the owner of the home folder, which Qt reads without a
// system call of our own.
[[maybe_unused]] uint userId()
{
    return QFileInfo(QDir::homePath()).ownerId();
}

} // namespace

QString lineSocketName(const QString &device)
{
    const QString hash = shortHash(canonicalDevice(device));
#ifdef Q_OS_WIN
    // A pipe's name is the machine's: the user's name keeps two users apart (the
    // pipe itself admits only its user).
    return QStringLiteral("vantel-line-%1-%2")
        .arg(shortHash(qEnvironmentVariable("USERNAME")), hash);
#else
    // $XDG_RUNTIME_DIR (the user's own, mode 0700), else a folder of the user's
    // own under the temporary folder, which the owner makes with mode 0700.
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    const QString folder = !runtime.isEmpty() && QFileInfo(runtime).isDir()
                               ? runtime + QStringLiteral("/vantel")
                               : QStringLiteral("%1/vantel-%2").arg(QDir::tempPath()).arg(userId());
    return folder + QStringLiteral("/line-") + hash;
#endif
}

LocalPort::LocalPort(QString serverName, QObject *parent)
    : MbapPort(parent), m_serverName(std::move(serverName))
{
}

LocalPort::~LocalPort()
{
    if (m_socket) {
        m_socket->disconnect(this);
        m_socket->abort();
    }
}

QString LocalPort::name() const
{
    return QStringLiteral("the line's owner at ") + m_serverName;
}

void LocalPort::openDevice(int)
{
    closeDevice();
    auto socket = std::make_unique<QLocalSocket>();
    socket->connectToServer(m_serverName);
    if (!socket->waitForConnected(static_cast<int>(kConnectWait.count()))) {
        const QString reason = socket->errorString();
        socket->abort();
        throw serial::CommError(serial::kErrPortNotFound, reason.toStdString());
    }
    connect(socket.get(), &QLocalSocket::readyRead, this, &LocalPort::onReadyRead);
    connect(socket.get(), &QLocalSocket::disconnected, this, &LocalPort::onBroken);
    connect(socket.get(), &QLocalSocket::errorOccurred, this, &LocalPort::onBroken);
    m_socket = std::move(socket);
    if (m_socket->bytesAvailable() > 0) {
        onReadyRead();
    }
}

void LocalPort::closeDevice()
{
    if (!m_socket) {
        return;
    }
    m_socket->disconnect(this);
    m_socket->abort();
    // This may run inside one of the socket's own signals (its loss).
    m_socket.release()->deleteLater();
}

void LocalPort::probeDevice(int)
{
    QLocalSocket socket;
    socket.connectToServer(m_serverName);
    if (!socket.waitForConnected(static_cast<int>(kConnectWait.count()))) {
        throw serial::CommError(serial::kErrPortNotFound, socket.errorString().toStdString());
    }
    socket.abort();
}

bool LocalPort::deviceIsOpen() const
{
    return m_socket && m_socket->state() == QLocalSocket::ConnectedState;
}

void LocalPort::writeDevice(const QByteArray &bytes)
{
    if (m_socket->write(bytes) != bytes.size()) {
        throw serial::CommError(serial::kErrDeviceIo, m_socket->errorString().toStdString());
    }
}

void LocalPort::discardDeviceInput()
{
    m_socket->readAll();
}

void LocalPort::onReadyRead()
{
    const QByteArray bytes = m_socket->readAll();
    if (!bytes.isEmpty()) {
        receive(bytes);
    }
}

void LocalPort::onBroken()
{
    if (!m_socket) {
        return;
    }
    closeDevice();
    deviceLost(QStringLiteral("the program that owned the line ended"));
}

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
    const QFileInfo info(name);
    if (info.isAbsolute()) {
        const QString folder = info.absolutePath();
        QDir().mkpath(folder);
        // Another user's folder under the temporary one is no place for our line.
        if (QFileInfo(folder).ownerId() != userId()) {
            qWarning("cannot offer the line to other programs: %s belongs to another user",
                     qUtf8Printable(folder));
            return;
        }
        QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
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

void LineHost::accept()
{
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
