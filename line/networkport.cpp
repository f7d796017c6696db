#include "line/networkport.h"

#include <QHostAddress>
#include <QHostInfo>

namespace line {

namespace {

QString noAnswerWithin(milliseconds wait)
{
    return QStringLiteral("no answer to the connection within %1 ms").arg(wait.count());
}

// The socket's reason, in the words a message about the gateway needs.
QString reasonOf(const QTcpSocket &socket, milliseconds waited)
{
    switch (socket.error()) {
    case QAbstractSocket::SocketTimeoutError:
        return noAnswerWithin(waited);
    case QAbstractSocket::RemoteHostClosedError:
        return QStringLiteral("the gateway closed the connection");
    default:
        return socket.errorString();
    }
}

// Connects `socket` to `address`, waiting at most `wait`; throws kErrPortNotFound
// with the reason when it is not connected by then.
void connectWaiting(QTcpSocket &socket, const values::NetworkAddress &address, milliseconds wait)
{
    socket.connectToHost(address.host, address.port);
    if (!socket.waitForConnected(static_cast<int>(wait.count()))) {
        const QString reason = reasonOf(socket, wait);
        socket.abort();
        throw serial::CommError(serial::kErrPortNotFound, reason.toStdString());
    }
}

} // namespace

HostLookup systemHostLookup()
{
    return [](const QString &host, QObject *context,
              std::function<void(const QList<QHostAddress> &, const QString &)> done) {
        QHostInfo::lookupHost(host, context, [done = std::move(done)](const QHostInfo &info) {
            done(info.addresses(),
                 info.error() == QHostInfo::NoError ? QString() : info.errorString());
        });
    };
}

TcpPort::TcpPort(values::NetworkAddress address, QObject *parent)
    : engine::MbapPort(parent), m_address(std::move(address))
{
    m_openTimer.setSingleShot(true);
    connect(&m_openTimer, &QTimer::timeout, this, &TcpPort::onOpenTimedOut);
    m_checkTimer.setSingleShot(true);
    m_checkTimer.setInterval(kConnectWait);
    connect(&m_checkTimer, &QTimer::timeout, this,
            [this] { onCheckEnded(false, noAnswerWithin(kConnectWait)); });
}

TcpPort::~TcpPort()
{
    if (m_socket) {
        m_socket->disconnect(this);
        m_socket->abort();
    }
    dropAttempt(m_pending);
    dropAttempt(m_check);
    dropAttempt(m_connecting);
}

void TcpPort::openDevice(int)
{
    closeDevice();
    if (m_reconnecting) {
        openInBackground();
        return;
    }
    if (m_opensLater) {
        startOpening();
        return;
    }
    auto socket = std::make_unique<QTcpSocket>();
    connectWaiting(*socket, m_address, kConnectWait);
    adopt(std::move(socket));
}

void TcpPort::adopt(std::unique_ptr<QTcpSocket> socket)
{
    socket->disconnect(this);
    // Requests are a few bytes each and wait for their answer: send them at once.
    socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    // The system's keepalive finds a connection to a host that went off while
    // the line is idle, after its own idle time (Qt offers no way to shorten
    // it); a gateway silent while requests go out is checked by checkSilence().
    socket->setSocketOption(QAbstractSocket::KeepAliveOption, 1);
    connect(socket.get(), &QTcpSocket::readyRead, this, &TcpPort::onReadyRead);
    connect(socket.get(), &QTcpSocket::disconnected, this, &TcpPort::onBroken);
    connect(socket.get(), &QTcpSocket::errorOccurred, this, &TcpPort::onBroken);
    m_socket = std::move(socket);
    m_unanswered = 0;
    m_silent.invalidate();
    // What came with the connection itself.
    if (m_socket->bytesAvailable() > 0) {
        onReadyRead();
    }
}

void TcpPort::startOpening()
{
    m_opening = true;
    m_lookingUp = true;
    m_connectReason.clear();
    const quint64 round = ++m_openRound;
    m_openTimer.start(kLookupWait);
    m_lookup(m_address.host, this,
             [this, round](const QList<QHostAddress> &addresses, const QString &error) {
                 if (round == m_openRound && m_opening) {
                     onLookedUp(addresses, error);
                 }
             });
}

void TcpPort::onLookedUp(const QList<QHostAddress> &addresses, const QString &error)
{
    m_lookingUp = false;
    if (addresses.isEmpty()) {
        failOpening(QStringLiteral("the host %1 was not found: %2")
                        .arg(m_address.host,
                             error.isEmpty() ? QStringLiteral("it has no address") : error));
        return;
    }
    m_addresses = addresses;
    m_openTimer.start(kConnectWait);
    connectNext();
}

void TcpPort::connectNext()
{
    dropAttempt(m_connecting);
    if (m_addresses.isEmpty()) {
        failOpening(m_connectReason);
        return;
    }
    m_connecting = Attempt{std::make_unique<QTcpSocket>(), {}};
    QTcpSocket *socket = m_connecting.socket.get();
    const quint64 round = m_openRound;
    // From the event loop: what the open sets going must not run inside the
    // socket's own signal.
    connect(
        socket, &QTcpSocket::connected, this,
        [this, round] {
            if (round != m_openRound || !m_opening) {
                return;
            }
            m_opening = false;
            m_openTimer.stop();
            m_addresses.clear();
            adopt(std::move(m_connecting.socket));
            m_connecting = {};
            deviceOpenEnded(0);
        },
        Qt::QueuedConnection);
    connect(
        socket, &QTcpSocket::errorOccurred, this,
        [this, round, socket] {
            if (round != m_openRound || !m_opening || m_connecting.socket.get() != socket) {
                return;
            }
            // The next address of the host, if it has one, within the same bound.
            m_connectReason = reasonOf(*socket, kConnectWait);
            connectNext();
        },
        Qt::QueuedConnection);
    socket->connectToHost(m_addresses.takeFirst(), m_address.port);
}

void TcpPort::onOpenTimedOut()
{
    if (!m_opening) {
        return;
    }
    if (m_lookingUp) {
        failOpening(QStringLiteral("the host %1 was not found within %2 s")
                        .arg(m_address.host)
                        .arg(kLookupWait.count() / 1000));
        return;
    }
    failOpening(m_connectReason.isEmpty() ? noAnswerWithin(kConnectWait) : m_connectReason);
}

void TcpPort::failOpening(const QString &reason)
{
    stopOpening();
    deviceOpenEnded(serial::kErrPortNotFound, reason);
}

void TcpPort::stopOpening()
{
    m_opening = false;
    m_lookingUp = false;
    ++m_openRound;
    m_openTimer.stop();
    m_addresses.clear();
    dropAttempt(m_connecting);
}

void TcpPort::openInBackground()
{
    if (m_pending) {
        const QAbstractSocket::SocketState state = m_pending.socket->state();
        if (state == QAbstractSocket::ConnectedState) {
            adopt(std::move(m_pending.socket));
            m_pending = {};
            m_pendingReason.clear();
            return;
        }
        const bool failed = state == QAbstractSocket::UnconnectedState;
        if (!failed && m_pending.age.elapsed() < kConnectWait.count()) {
            // Still on its way: the next open looks again.
            throw serial::CommError(serial::kErrPortNotFound,
                                    (m_pendingReason.isEmpty()
                                         ? QStringLiteral("connecting")
                                         : m_pendingReason + QStringLiteral("; connecting again"))
                                        .toStdString());
        }
        m_pendingReason =
            failed ? reasonOf(*m_pending.socket, kConnectWait) : noAnswerWithin(kConnectWait);
        dropAttempt(m_pending);
    }
    m_pending = startAttempt();
    // From the event loop: the open it calls for must not run inside the
    // socket's own signal.
    connect(m_pending.socket.get(), &QTcpSocket::connected, this, &TcpPort::ready,
            Qt::QueuedConnection);
    throw serial::CommError(
        serial::kErrPortNotFound,
        (m_pendingReason.isEmpty() ? QStringLiteral("connecting") : m_pendingReason).toStdString());
}

TcpPort::Attempt TcpPort::startAttempt()
{
    Attempt attempt;
    attempt.socket = std::make_unique<QTcpSocket>();
    attempt.socket->connectToHost(m_address.host, m_address.port);
    attempt.age.start();
    return attempt;
}

void TcpPort::dropAttempt(Attempt &attempt)
{
    if (!attempt) {
        return;
    }
    attempt.socket->disconnect();
    attempt.socket->abort();
    // This may run inside one of the socket's own signals.
    attempt.socket.release()->deleteLater();
    attempt = {};
}

void TcpPort::checkSilence()
{
    if (!m_reconnecting || m_check || m_unanswered < kSilentRequests ||
        m_silent.elapsed() < kSilentFor.count()) {
        return;
    }
    m_check = startAttempt();
    QTcpSocket *check = m_check.socket.get();
    connect(check, &QTcpSocket::connected, this, [this] { onCheckEnded(true, {}); });
    connect(check, &QTcpSocket::errorOccurred, this,
            [this, check] { onCheckEnded(false, reasonOf(*check, kConnectWait)); });
    m_checkTimer.start();
}

void TcpPort::onCheckEnded(bool hostAnswers, const QString &reason)
{
    m_checkTimer.stop();
    dropAttempt(m_check);
    if (!m_socket) {
        return;
    }
    if (hostAnswers) {
        // The host is there: the gateway just has nothing to say. Look again
        // after as long a silence.
        m_unanswered = 0;
        m_silent.invalidate();
        return;
    }
    const QString why = QStringLiteral("the gateway has sent nothing for %1 s across %2 requests, "
                                       "and its host takes no new connection: %3")
                            .arg(m_silent.elapsed() / 1000)
                            .arg(m_unanswered)
                            .arg(reason);
    closeDevice();
    deviceLost(why);
}

void TcpPort::closeDevice()
{
    stopOpening();
    m_checkTimer.stop();
    dropAttempt(m_check);
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
    // A name is listed as it is: looking it up may take seconds, and the open
    // says whether the gateway is there.
    if (QHostAddress(m_address.host).isNull()) {
        return;
    }
    QTcpSocket socket;
    connectWaiting(socket, m_address, kProbeWait);
    socket.abort();
}

bool TcpPort::deviceIsOpen() const
{
    return m_socket && m_socket->state() == QAbstractSocket::ConnectedState;
}

void TcpPort::writeDevice(const QByteArray &bytes)
{
    if (m_socket->write(bytes) != bytes.size()) {
        throw serial::CommError(serial::kErrDeviceIo,
                                reasonOf(*m_socket, kConnectWait).toStdString());
    }
    if (m_unanswered++ == 0) {
        m_silent.start();
    }
    checkSilence();
}

void TcpPort::discardDeviceInput()
{
    m_socket->readAll();
}

void TcpPort::onReadyRead()
{
    const QByteArray bytes = m_socket->readAll();
    if (!bytes.isEmpty()) {
        // The gateway is there: a check of its host is moot.
        m_checkTimer.stop();
        dropAttempt(m_check);
        m_unanswered = 0;
        m_silent.invalidate();
        receive(bytes);
    }
}

void TcpPort::onBroken()
{
    if (!m_socket) {
        return;
    }
    const QString reason = reasonOf(*m_socket, kConnectWait);
    closeDevice();
    deviceLost(reason);
}

} // namespace line
