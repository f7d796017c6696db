#include "line/localport.h"

#include "line/sharedport.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>

namespace line {

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

} // namespace

QString lineSocketName(const QString &device)
{
    return lineSocketPlace(shortHash(canonicalDevice(device)));
}

QStringList lineSocketNames(const QString &device)
{
    return lineSocketPlaces(shortHash(canonicalDevice(device)));
}

QString lineFolderOf(const QString &socketName)
{
    const QFileInfo info(socketName);
    return info.isAbsolute() ? info.absolutePath() : QString();
}

QString stalledOwnerText(const QString &portName, qint64 pid)
{
    return pid > 0
               ? QStringLiteral("the program of ours that owns %1 (pid %2) does not answer")
                     .arg(portName)
                     .arg(pid)
               : QStringLiteral("the program of ours that owns %1 does not answer").arg(portName);
}

LocalPort::LocalPort(QString serverName, QObject *parent)
    : engine::MbapPort(parent), m_serverName(std::move(serverName))
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
    m_refusal.clear();
    m_ownerPid = 0;
    auto socket = connectTrusted();
    connect(socket.get(), &QLocalSocket::readyRead, this, &LocalPort::onReadyRead);
    connect(socket.get(), &QLocalSocket::disconnected, this, &LocalPort::onBroken);
    connect(socket.get(), &QLocalSocket::errorOccurred, this, &LocalPort::onBroken);
    m_socket = std::move(socket);
    if (m_socket->bytesAvailable() > 0) {
        onReadyRead();
    }
}

std::unique_ptr<QLocalSocket> LocalPort::connectTrusted()
{
    const auto refuse = [this](const QString &why) {
        m_refusal = why;
        throw serial::CommError(serial::kErrNoAccess, why.toStdString());
    };
    // Another user's folder may hold a socket planted to take our requests:
    // nothing in it is touched.
    const QString folder = lineFolderOf(m_serverName);
    if (!folder.isEmpty()) {
        bool exists = false;
        const QString problem = m_trust.folderProblem(folder, &exists);
        if (!problem.isEmpty()) {
            refuse(problem);
        }
        if (!exists) {
            throw serial::CommError(serial::kErrPortNotFound, "no program offers the line");
        }
    }
    // A local socket connects at once, or its listener takes no more
    // connections: nothing here waits for it.
    auto socket = std::make_unique<QLocalSocket>();
    socket->connectToServer(m_serverName);
    if (socket->state() == QLocalSocket::ConnectingState) {
        // A listener in the user's own folder whose queue of connections is
        // full: a program of ours that does not take them (stopped, or stuck).
        socket->abort();
        throw serial::CommError(serial::kErrOpenFailed, "the line's owner takes no connection");
    }
    if (socket->state() != QLocalSocket::ConnectedState) {
        const QString reason = socket->errorString();
        socket->abort();
        throw serial::CommError(serial::kErrPortNotFound, reason.toStdString());
    }
    // The peer is checked before a byte is sent to it.
    const LinePeer peer = m_trust.peer(socket->socketDescriptor());
    if (!peer.known || !peer.ours) {
        socket->abort();
        QString who = peer.known ? QStringLiteral("user ") + peer.user
                                 : QStringLiteral("a program the system does not name");
        if (peer.pid > 0) {
            who += QStringLiteral(", pid %1").arg(peer.pid);
        }
        refuse(QStringLiteral("the line's socket %1 is held by %2").arg(m_serverName, who));
    }
    m_ownerPid = peer.pid;
    return socket;
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
    connectTrusted()->abort();
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

} // namespace line
