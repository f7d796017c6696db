#pragma once

// The parts of serve's socket server, one file for each of its jobs: its start
// and listeners (socketserver.cpp), who is let in (serveradmission.cpp), each
// client's session (serversessions.cpp) and its way out (servershutdown.cpp).
#include "ctl/socketserver.h"

#include "ctl/allowedpeers.h"
#include "ctl/clientsocket.h"
#include "ctl/enginelink.h"
#include "ctl/mqttlog.h"
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
class SocketServer {
public:
    SocketServer(serial::BufferedCommControl &comm, engine::Client &client,
                 const ServeTarget &target, const ServeOptions &options);

    void start(StopSignals &stops, Done done);

private:
    // The bench, which reads every served supply in turn and keeps the record
    // from now, for the page and for the broker: the one source of readings.
    bool startBench();
    // The page and its API, on the bench.
    bool startHttp(int connections);
    // Every reading of the bench published to the broker and, with control, its
    // commands carried out (servemqtt.cpp). False, with the exit code, when it
    // cannot start.
    bool startMqtt();
    // A broker's all-off, through the bench's own: what waits is dropped first.
    void allOffForBroker(std::function<void(const AllOffResult &)> done);

    bool listen(Listener &listener, bool wanted, const QHostAddress &address, quint16 port,
                bool modbus);

    // Pauses or resumes every listener that listens (a listener that does not has
    // nothing to pause, and Qt's would crash on it).
    void accepting(bool on);

    int clients(bool modbus) const;

    bool working(const Connection &c) const;

    void pumpAll();

    bool allowed(const QHostAddress &peer) const { return m_allowed.allows(peer); }

    // The process is out of descriptors (or the system of sockets): accepting
    // pauses, and is tried again in a second or when a client leaves, rather than
    // at once, which would spin. Once a shortage has passed, Qt's listener may
    // still report it at the end of a burst of accepts; with descriptors to spare
    // that is taken up again shortly and silently.
    void acceptFailed();

    void accept(qintptr descriptor, bool modbus);

    // A Modbus TCP client has no text to read: its first request is answered with
    // exception 6 (server busy), then it is closed.
    void turnAway(qintptr descriptor);

    void open(ClientSocket *socket, const QString &peer, bool modbus);

    Connection *find(int id);

    // Takes the client's complete lines.
    void read(int id, const QByteArray &chunk);

    // The client has sent its last byte: its lines, an unterminated last one too,
    // are carried out and answered, and then it is closed.
    void ended(int id);

    void lineDone(int id);

    // A client that has finished sending is closed once its last answer is out.
    void settle(int id);

    // The idle clock runs only while the client has nothing waiting or under way,
    // from its last whole line or the end of its last command, whichever is later:
    // a client that waits for its answers is not idle, one that trickles bytes is.
    void restartIdle(Connection &c);

    void idle(int id);

    void drop(int id, const QString &why);

    // The port went away: clients are told so (-240) while the keeper opens it
    // again every second, as it does for log and run.
    void portGone();

    void portBack();

    void stop(int code);

    void finishWhenIdle();

    void finish();

    // Hands the exit code on once this server is gone.
    void end();

    serial::BufferedCommControl &m_comm;
    engine::Client &m_client;
    // The one session every face drives the supplies through: SCPI's link, the
    // Modbus TCP gateway, and the bench of the page and the broker.
    engine::Session m_session;
    EngineLink m_link;
    ServeOptions m_options;
    scpi::Instrument m_instrument;
    gateway::Gateway m_gateway;
    AllowedPeers m_allowed;
    std::vector<std::uint8_t> m_units;
    QObject m_context; // the receiver of every connection, gone before the rest
    Listener m_listener;
    Listener m_modbusListener;
    QTimer m_acceptRetry;
    line::PortKeeper m_keeper{m_comm, m_client, m_link.portName()};
    Done m_done;
    std::unique_ptr<web::EngineBench> m_bench;
    std::unique_ptr<web::HttpServer> m_http; // gone before the bench it serves
    std::unique_ptr<MqttLog> m_mqtt;         // gone before the bench and the commands
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

} // namespace ctl
