// serve's socket server: who is let in (allowed addresses, the bound on clients, a
// shortage of descriptors) and how a client turned away is told.
#include "ctl/socketserver_p.h"

namespace ctl {

// Pauses or resumes every listener that listens (a listener that does not has
// nothing to pause, and Qt's would crash on it).
void SocketServer::accepting(bool on)
{
    for (Listener *listener : {&m_listener, &m_modbusListener}) {
        if (listener->isListening()) {
            on ? listener->resumeAccepting() : listener->pauseAccepting();
        }
    }
}

int SocketServer::clients(bool modbus) const
{
    return int(std::count_if(m_connections.begin(), m_connections.end(),
                             [modbus](const auto &c) { return c.second->modbus == modbus; }));
}

// The process is out of descriptors (or the system of sockets): accepting
// pauses, and is tried again in a second or when a client leaves, rather than
// at once, which would spin. Once a shortage has passed, Qt's listener may
// still report it at the end of a burst of accepts; with descriptors to spare
// that is taken up again shortly and silently.
void SocketServer::acceptFailed()
{
    accepting(false);
    const long limit = descriptorLimit();
    const long inUse = descriptorsInUse();
    if (limit > 0 && inUse >= 0 && inUse + kSpareDescriptors < limit) {
        m_acceptRetry.start(kStaleAcceptError);
        return;
    }
    if (!m_acceptPaused) {
        m_acceptPaused = true;
        printErr(QStringLiteral("accepting paused: %1 (%2 clients connected); trying again "
                                "every second")
                     .arg(m_listener.errorString())
                     .arg(m_connections.size()));
    }
    m_acceptRetry.start(kRetryInterval);
}

void SocketServer::accept(qintptr descriptor, bool modbus)
{
    if (m_acceptPaused) {
        m_acceptPaused = false;
        printErr(QStringLiteral("accepting again"));
    }
    quint16 port = 0;
    const QHostAddress address = socketPeer(descriptor, &port);
    const QString peer = endpointText(plainPeerAddress(address), port);
    if (m_stopping || !allowed(address)) {
        // Nothing it sent is read.
        if (!m_stopping) {
            ++m_refused;
            const QString from = plainPeerAddress(address).toString();
            m_refusals.note(QStringLiteral("refused ") + from,
                            QStringLiteral("refused %1: not an allowed address").arg(from));
        }
        closeSocket(descriptor);
        return;
    }
    if (clients(modbus) >= m_options.maxClients) {
        ++m_turnedAway;
        const QString from = plainPeerAddress(address).toString();
        m_refusals.note(
            QStringLiteral("turned away ") + from,
            QStringLiteral("turned away %1: %2 clients already").arg(from).arg(clients(modbus)));
        if (modbus) {
            turnAway(descriptor);
            return;
        }
        prepareSocket(descriptor);
        const QByteArray told = QStringLiteral("vantel: at most %1 clients at a time; closing\n")
                                    .arg(m_options.maxClients)
                                    .toUtf8();
        socketSend(descriptor, told.constData(), told.size());
        closeSocket(descriptor);
        return;
    }
    open(new ClientSocket(descriptor), peer, modbus);
}

// A Modbus TCP client has no text to read: its first request is answered with
// exception 6 (server busy), then it is closed.
void SocketServer::turnAway(qintptr descriptor)
{
    if (m_turningAway >= kTurningAway) {
        closeSocket(descriptor);
        return;
    }
    ++m_turningAway;
    auto *socket = new ClientSocket(descriptor);
    socket->setParent(&m_context); // gone with the server, whatever its state
    auto reader = std::make_shared<protocol::mbap::StreamReader>();
    auto *timer = new QTimer(socket);
    const auto gone = [this, socket] {
        socket->received = nullptr;
        socket->ended = nullptr;
        socket->failed = nullptr;
        socket->close();
        socket->deleteLater();
        --m_turningAway;
    };
    timer->setSingleShot(true);
    QObject::connect(timer, &QTimer::timeout, socket, gone);
    timer->start(kTurnAwayWait);
    socket->received = [socket, reader, timer](const QByteArray &bytes) {
        reader->feed(reinterpret_cast<const std::uint8_t *>(bytes.constData()),
                     std::size_t(bytes.size()));
        const auto request = reader->next();
        if (!request && !reader->malformed()) {
            return;
        }
        if (request) {
            const auto answer = protocol::mbap::encode(
                {request->transaction, request->unit,
                 protocol::mbap::exceptionPdu(request->pdu[0], protocol::mbap::kServerBusy)});
            socket->write(QByteArray(reinterpret_cast<const char *>(answer.data()),
                                     qsizetype(answer.size())));
        }
        timer->start(0); // closed from the event loop, outside this call
    };
    socket->ended = [timer] { timer->start(0); };
    socket->failed = [timer](const QString &) { timer->start(0); };
}

} // namespace ctl
