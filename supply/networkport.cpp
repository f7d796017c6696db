#include "supply/networkport.h"

#include <QHostAddress>
#include <QUrl>

namespace supply {

namespace {

const QLatin1String kScheme("tcp://");

// The socket's reason, in the words a message about the gateway needs.
QString reasonOf(const QTcpSocket &socket)
{
    switch (socket.error()) {
    case QAbstractSocket::SocketTimeoutError:
        return QStringLiteral("no answer to the connection within %1 ms")
            .arg(TcpPort::kConnectWait.count());
    case QAbstractSocket::RemoteHostClosedError:
        return QStringLiteral("the gateway closed the connection");
    default:
        return socket.errorString();
    }
}

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

TcpPort::TcpPort(NetworkAddress address, QObject *parent)
    : MbapPort(parent), m_address(std::move(address))
{
}

TcpPort::~TcpPort()
{
    if (m_socket) {
        m_socket->disconnect(this);
        m_socket->abort();
    }
}

void TcpPort::openDevice(int)
{
    closeDevice();
    auto socket = std::make_unique<QTcpSocket>();
    socket->connectToHost(m_address.host, m_address.port);
    if (!socket->waitForConnected(static_cast<int>(kConnectWait.count()))) {
        const QString reason = reasonOf(*socket);
        socket->abort();
        throw serial::CommError(serial::kErrPortNotFound, reason.toStdString());
    }
    // Requests are a few bytes each and wait for their answer: send them at once.
    socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    connect(socket.get(), &QTcpSocket::readyRead, this, &TcpPort::onReadyRead);
    connect(socket.get(), &QTcpSocket::disconnected, this, &TcpPort::onBroken);
    connect(socket.get(), &QTcpSocket::errorOccurred, this, &TcpPort::onBroken);
    m_socket = std::move(socket);
    // What came with the connection itself.
    if (m_socket->bytesAvailable() > 0) {
        onReadyRead();
    }
}

void TcpPort::closeDevice()
{
    if (!m_socket) {
        return;
    }
    m_socket->disconnect(this);
    m_socket->abort();
    // This may run inside one of the socket's own signals (its loss).
    m_socket.release()->deleteLater();
}

void TcpPort::probeDevice(int)
{
    QTcpSocket socket;
    socket.connectToHost(m_address.host, m_address.port);
    if (!socket.waitForConnected(static_cast<int>(kConnectWait.count()))) {
        throw serial::CommError(serial::kErrPortNotFound, reasonOf(socket).toStdString());
    }
    socket.abort();
}

bool TcpPort::deviceIsOpen() const
{
    return m_socket && m_socket->state() == QAbstractSocket::ConnectedState;
}

void TcpPort::writeDevice(const QByteArray &bytes)
{
    if (m_socket->write(bytes) != bytes.size()) {
        throw serial::CommError(serial::kErrDeviceIo, reasonOf(*m_socket).toStdString());
    }
}

void TcpPort::discardDeviceInput()
{
    m_socket->readAll();
}

void TcpPort::onReadyRead()
{
    const QByteArray bytes = m_socket->readAll();
    if (!bytes.isEmpty()) {
        receive(bytes);
    }
}

void TcpPort::onBroken()
{
    if (!m_socket) {
        return;
    }
    const QString reason = reasonOf(*m_socket);
    closeDevice();
    deviceLost(reason);
}

} // namespace supply
