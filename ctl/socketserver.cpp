#include "ctl/socketserver.h"

#include "ctl/allowedpeers.h"
#include "ctl/clientsocket.h"
#include "ctl/enginelink.h"
#include "ctl/httpoptions.h"
#include "ctl/output.h"
#include "ctl/scpilines.h"
#include "ctl/socket.h"
#include "ctl/stopsignals.h"
#include "engine/client.h"
#include "gateway/gateway.h"
#include "line/portkeeper.h"
#include "runs/logger.h"
#include "scpi/instrument.h"
#include "serial/bufferedcommcontrol.h"
#include "web/enginebench.h"
#include "web/httpserver.h"
#include "web/refusallog.h"

#include <QCoreApplication>
#include <QTcpServer>
#include <QTimer>

#include <algorithm>
#include <map>
#include <memory>

namespace ctl {

namespace {

// A listener that hands over each accepted socket's descriptor.
class Listener : public QTcpServer {
public:
    std::function<void(qintptr)> accepted;

protected:
    void incomingConnection(qintptr descriptor) override
    {
        if (accepted) {
            accepted(descriptor);
        } else {
            closeSocket(descriptor);
        }
    }
};

struct Connection {
    int id = 0;
    QString peer;
    bool modbus = false; // a Modbus TCP client: its requests go to the gateway
    int gatewayId = 0;
    ClientSocket *socket = nullptr; // owns the idle timer
    QTimer *idle = nullptr;
    std::shared_ptr<scpi::Session> session;
    std::unique_ptr<ScpiLines> lines; // a SCPI client's bytes cut into lines
    bool ended = false;               // the client has sent its last byte
};

// Connections and leavings from one address said one by one in a minute; the
// rest of that minute is counted.
constexpr long kComingsPerMinute = 30;

// Descriptors kept free beyond one a client: the listener, a client being turned
// away, the port while it is reopened, and one to spare.
constexpr long kSpareDescriptors = 4;
// How often a port that went away is tried again, and accepting after it failed.
constexpr std::chrono::milliseconds kRetryInterval{1000};
// How soon accepting resumes after an accept error while descriptors are to spare.
constexpr std::chrono::milliseconds kStaleAcceptError{50};
// A Modbus TCP client turned away is told so by exception 6 (server busy) to its
// first request, if that comes this soon; a few such at a time, the rest closed.
constexpr std::chrono::milliseconds kTurnAwayWait{1000};
constexpr int kTurningAway = 2;
// The page's connections at a time (event streams and requests); fewer where
// the descriptors do not allow so many.
constexpr long kHttpConnections = 256;
constexpr long kFewestHttpConnections = 8;

// Owns itself from start() until it has called `done`.
class Server {
public:
    Server(serial::BufferedCommControl &comm, supply::Client &client, const ServeTarget &target,
           const ServeOptions &options)
        : m_comm(comm), m_client(client), m_link(client, target.portName), m_options(options),
          m_instrument(m_link, {target.portName.toStdString(), target.addresses,
                                QCoreApplication::applicationVersion().toStdString()}),
          m_gateway(client, {target.addresses, 0, 0, options.allowAddressChange}),
          m_allowed(options.allow,
                    {options.listenAddress, options.modbusAddress, options.httpAddress})
    {
        m_units = target.addresses;
    }

    void start(StopSignals &stops, Done done)
    {
        m_done = std::move(done);
        // Each client holds a descriptor: more clients than the limit leaves room for
        // would stop the listener on the first one too many.
        const long limit = descriptorLimit();
        const long inUse = descriptorsInUse();
        const long faces = (m_options.scpi ? 1 : 0) + (m_options.modbus ? 1 : 0);
        const long needed = faces * m_options.maxClients + kSpareDescriptors + kTurningAway;
        if (limit > 0 && inUse >= 0 && inUse + needed > limit) {
            printErr(
                QStringLiteral("--max-clients %1 needs %2 file descriptors beside the %3 in "
                               "use, and the limit is %4 (ulimit -n): lower --max-clients "
                               "to %5 or raise the limit")
                    .arg(m_options.maxClients)
                    .arg(needed)
                    .arg(inUse)
                    .arg(limit)
                    .arg(qMax(0L, (limit - inUse - kSpareDescriptors - kTurningAway) / faces)));
            m_exit = kExitUsage;
            end();
            return;
        }
        long httpConnections = kHttpConnections;
        if (limit > 0 && inUse >= 0) {
            httpConnections = qMin(httpConnections, limit - inUse - needed);
        }
        if (m_options.http && httpConnections < kFewestHttpConnections) {
            printErr(QStringLiteral("--http needs at least %1 more file descriptors beside the "
                                    "%2 in use, and the limit is %3 (ulimit -n): lower "
                                    "--max-clients or raise the limit")
                         .arg(kFewestHttpConnections + needed)
                         .arg(inUse)
                         .arg(limit));
            m_exit = kExitUsage;
            end();
            return;
        }
        if (!listen(m_listener, m_options.scpi, m_options.listenAddress, m_options.listenPort,
                    false) ||
            !listen(m_modbusListener, m_options.modbus, m_options.modbusAddress,
                    m_options.modbusPort, true) ||
            !startHttp(int(httpConnections))) {
            m_exit = kExitFailed;
            end();
            return;
        }
        m_acceptRetry.setSingleShot(true);
        QObject::connect(&m_acceptRetry, &QTimer::timeout, &m_context, [this] { accepting(true); });
        QObject::connect(&m_keeper, &supply::PortKeeper::lost, &m_context,
                         [this](const QString &) { portGone(); });
        QObject::connect(&m_keeper, &supply::PortKeeper::restored, &m_context,
                         [this](qint64) { portBack(); });
        QObject::connect(&stops, &StopSignals::stopRequested, &m_context,
                         [this] { stop(kExitOk); });
        if (m_options.scpi) {
            printErr(QStringLiteral("listening on %1; SCPI commands end in \\n; Ctrl-C ends")
                         .arg(endpointText(m_listener.serverAddress(), m_listener.serverPort())));
        }
        if (m_options.modbus) {
            QStringList units;
            for (std::uint8_t unit : m_units) {
                units << QString::number(unit);
            }
            printErr(QStringLiteral("Modbus TCP on %1 for units %2; Ctrl-C ends")
                         .arg(endpointText(m_modbusListener.serverAddress(),
                                           m_modbusListener.serverPort()),
                              units.join(QLatin1Char(','))));
        }
    }

private:
    // The page and its API, on the same engine: it reads every served supply in
    // turn and keeps the record from now.
    bool startHttp(int connections)
    {
        if (!m_options.http) {
            return true;
        }
        m_bench = std::make_unique<web::EngineBench>(m_client, m_link.portName(), m_units);
        m_http = std::make_unique<web::HttpServer>(
            *m_bench,
            httpOptions(
                m_options, connections, [this](const QHostAddress &peer) { return allowed(peer); },
                m_link.portName(), m_client));
        const QString why = m_http->listen();
        if (!why.isEmpty()) {
            printErr(QStringLiteral("cannot listen on %1: %2")
                         .arg(endpointText(m_options.httpAddress, m_options.httpPort), why));
            return false;
        }
        const QString record = m_bench->start();
        if (!record.isEmpty()) {
            printErr(QStringLiteral("--http: %1").arg(record));
            return false;
        }
        printErr(QStringLiteral("page on %1; Ctrl-C ends")
                     .arg(endpointText(m_http->serverAddress(), m_http->serverPort())));
        // The one place the token is shown.
        printErr(QStringLiteral("open ") + m_http->startUrl());
        return true;
    }

    bool listen(Listener &listener, bool wanted, const QHostAddress &address, quint16 port,
                bool modbus)
    {
        if (!wanted) {
            return true;
        }
        if (!listener.listen(address, port)) {
            printErr(QStringLiteral("cannot listen on %1: %2")
                         .arg(endpointText(address, port), listener.errorString()));
            return false;
        }
        listener.accepted = [this, modbus](qintptr descriptor) { accept(descriptor, modbus); };
        QObject::connect(&listener, &QTcpServer::acceptError, &m_context,
                         [this](QAbstractSocket::SocketError) { acceptFailed(); });
        return true;
    }

    // Pauses or resumes every listener that listens (a listener that does not has
    // nothing to pause, and Qt's would crash on it).
    void accepting(bool on)
    {
        for (Listener *listener : {&m_listener, &m_modbusListener}) {
            if (listener->isListening()) {
                on ? listener->resumeAccepting() : listener->pauseAccepting();
            }
        }
    }

    int clients(bool modbus) const
    {
        return int(std::count_if(m_connections.begin(), m_connections.end(),
                                 [modbus](const auto &c) { return c.second->modbus == modbus; }));
    }

    bool working(const Connection &c) const
    {
        return c.modbus ? m_gateway.working(c.gatewayId) : c.session->working();
    }

    void pumpAll()
    {
        m_instrument.pump();
        m_gateway.pump();
    }
    bool allowed(const QHostAddress &peer) const { return m_allowed.allows(peer); }

    // The process is out of descriptors (or the system of sockets): accepting
    // pauses, and is tried again in a second or when a client leaves, rather than
    // at once, which would spin. Once a shortage has passed, Qt's listener may
    // still report it at the end of a burst of accepts; with descriptors to spare
    // that is taken up again shortly and silently.
    void acceptFailed()
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

    void accept(qintptr descriptor, bool modbus)
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
            m_refusals.note(QStringLiteral("turned away ") + from,
                            QStringLiteral("turned away %1: %2 clients already")
                                .arg(from)
                                .arg(clients(modbus)));
            if (modbus) {
                turnAway(descriptor);
                return;
            }
            prepareSocket(descriptor);
            const QByteArray told =
                QStringLiteral("vantel: at most %1 clients at a time; closing\n")
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
    void turnAway(qintptr descriptor)
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

    void open(ClientSocket *socket, const QString &peer, bool modbus)
    {
        auto c = std::make_unique<Connection>();
        const int id = ++m_served;
        c->id = id;
        c->peer = peer;
        c->socket = socket;
        c->modbus = modbus;
        if (modbus) {
            c->gatewayId = m_gateway.open(
                {[socket](const QByteArray &bytes) { socket->write(bytes); },
                 [socket] { return socket->bytesToWrite() < kUnreadAnswers; },
                 [this, id] { lineDone(id); }, [this, id](const QString &why) { drop(id, why); }});
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

    Connection *find(int id)
    {
        const auto found = m_connections.find(id);
        return found == m_connections.end() ? nullptr : found->second.get();
    }

    // Takes the client's complete lines.
    void read(int id, const QByteArray &chunk)
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
    void ended(int id)
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

    void lineDone(int id)
    {
        Connection *c = find(id);
        if (!c) {
            return;
        }
        restartIdle(*c);
        settle(id);
    }

    // A client that has finished sending is closed once its last answer is out.
    void settle(int id)
    {
        Connection *c = find(id);
        if (c && c->ended && !working(*c) && c->socket->bytesToWrite() == 0) {
            drop(id, QStringLiteral("closed by the client"));
        }
    }

    // The idle clock runs only while the client has nothing waiting or under way,
    // from its last whole line or the end of its last command, whichever is later:
    // a client that waits for its answers is not idle, one that trickles bytes is.
    void restartIdle(Connection &c)
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

    void idle(int id)
    {
        Connection *c = find(id);
        if (!c || working(*c)) {
            return;
        }
        drop(id, QStringLiteral("idle for %1 s").arg(m_options.idleTimeout.count() / 1000));
    }

    void drop(int id, const QString &why)
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

    // The port went away: clients are told so (-240) while the keeper opens it
    // again every second, as it does for log and run.
    void portGone()
    {
        if (m_stopping || m_link.gone()) {
            return;
        }
        m_link.setGone(true);
        printErr(m_link.goneText() + QStringLiteral("; serving on with -240 errors and opening "
                                                    "it again every second"));
    }

    void portBack()
    {
        m_link.setGone(false);
        if (!m_stopping) {
            printErr(m_link.portName() + QStringLiteral(" is back; serving on"));
        }
    }

    void stop(int code)
    {
        if (m_stopping) {
            return; // a second signal cannot cut the way out short
        }
        m_stopping = true;
        m_exit = code;
        m_listener.close();
        m_modbusListener.close();
        m_acceptRetry.stop();
        if (m_http) {
            m_http->close();
            m_bench->stop();
        }
        while (!m_connections.empty()) {
            drop(m_connections.begin()->first, QStringLiteral("the server stops"));
        }
        finishWhenIdle();
    }

    void finishWhenIdle()
    {
        if (m_instrument.busy() || m_gateway.busy() || (m_bench && m_bench->busy())) {
            // The command on the line finishes as it would have.
            QTimer::singleShot(10, &m_context, [this] { finishWhenIdle(); });
            return;
        }
        if (m_options.offAtEnd && !m_link.gone()) {
            m_client.resume();
            m_instrument.switchAllOff([this](const std::vector<std::string> &failures) {
                for (const std::string &failure : failures) {
                    printErr(QStringLiteral("switching the output off was not confirmed: %1; "
                                            "it may still be on")
                                 .arg(QString::fromStdString(failure)));
                }
                if (!failures.empty()) {
                    m_exit = kExitFailed;
                }
                finish();
            });
            return;
        }
        if (m_options.offAtEnd) {
            printErr(m_link.goneText() + QStringLiteral(": the outputs could not be switched off"));
            m_exit = kExitFailed;
        }
        finish();
    }

    void finish()
    {
        printErr(QStringLiteral("serve: %1 clients served, %2 refused, %3 turned away, %4 lines")
                     .arg(m_served)
                     .arg(m_refused)
                     .arg(m_turnedAway)
                     .arg(m_lines));
        if (m_options.modbus) {
            const supply::Gateway::Stats &stats = m_gateway.stats();
            printErr(QStringLiteral("Modbus TCP: %1 requests, %2 to the line, %3 refused, %4 "
                                    "unanswered by the supply")
                         .arg(stats.requests)
                         .arg(stats.relayed)
                         .arg(stats.refused)
                         .arg(stats.failed));
        }
        if (m_http) {
            const web::HttpServer::Stats &stats = m_http->stats();
            printErr(QStringLiteral("HTTP: %1 connections, %2 requests, %3 refused, %4 event "
                                    "streams dropped for not reading")
                         .arg(stats.connections)
                         .arg(stats.requests)
                         .arg(stats.refused)
                         .arg(stats.dropped));
        }
        for (const QString &line : supply::linkSummary(m_client.stats())) {
            printErr(line);
        }
        end();
    }

    // Hands the exit code on once this server is gone.
    void end()
    {
        QTimer::singleShot(0, QCoreApplication::instance(),
                           [this, done = std::move(m_done), code = m_exit] {
                               delete this;
                               done(code);
                           });
    }

    serial::BufferedCommControl &m_comm;
    supply::Client &m_client;
    EngineLink m_link;
    ServeOptions m_options;
    scpi::Instrument m_instrument;
    supply::Gateway m_gateway;
    AllowedPeers m_allowed;
    std::vector<std::uint8_t> m_units;
    QObject m_context; // the receiver of every connection, gone before the rest
    Listener m_listener;
    Listener m_modbusListener;
    QTimer m_acceptRetry;
    supply::PortKeeper m_keeper{m_comm, m_client, m_link.portName()};
    Done m_done;
    std::unique_ptr<web::EngineBench> m_bench;
    std::unique_ptr<web::HttpServer> m_http; // gone before the bench it serves
    std::map<int, std::unique_ptr<Connection>> m_connections;
    int m_served = 0;
    int m_refused = 0;
    int m_turnedAway = 0;
    web::RefusalLog m_refusals{[](const QString &line) { printErr(line); }};
    // Clients' comings and goings, line by line, but a client that reconnects
    // as fast as it is closed makes a line a minute, not thousands.
    web::RefusalLog m_comings{[](const QString &line) { printErr(line); }, {}, kComingsPerMinute};
    long m_lines = 0;
    bool m_stopping = false;
    bool m_acceptPaused = false;
    int m_turningAway = 0;
    int m_exit = kExitOk;
};

} // namespace

void startServer(serial::BufferedCommControl &comm, supply::Client &client,
                 const ServeTarget &target, const ServeOptions &options, StopSignals &stops,
                 Done done)
{
    (new Server(comm, client, target, options))->start(stops, std::move(done));
}

} // namespace ctl
