#include "ctl/serve.h"

#include "ctl/command.h"
#include "ctl/commands.h"
#include "ctl/output.h"
#include "ctl/stopsignals.h"
#include "scpi/instrument.h"
#include "supply/client.h"
#include "supply/gateway.h"
#include "supply/logger.h"
#include "supply/operations.h"
#include "supply/portkeeper.h"

#include "ctl/socket.h"
#include "serial/bufferedcommcontrol.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTcpServer>
#include <QTimer>

#include <algorithm>
#include <map>
#include <memory>
#include <optional>

namespace ctl {

namespace {

// A line longer than this, its terminator not counted, is discarded up to its end.
constexpr qsizetype kLongestLine = 4096;
// Lines of one client waiting for their turn. A client's socket is read as its
// bytes come, so that a broken connection is seen at once and its waiting lines
// dropped; what comes beyond this many is dropped with -363 (as an instrument's input
// buffer overruns), at most 1 MiB a client.
constexpr std::size_t kWaitingLines = 256;
// A client that does not read its answers is served again once they have gone out.
constexpr qint64 kUnreadAnswers = 64 * 1024;

QString endpoint(const QHostAddress &address, quint16 port)
{
    if (address.protocol() == QAbstractSocket::AnyIPProtocol) {
        return QStringLiteral("[::]:%1 (IPv6 and IPv4)").arg(port);
    }
    return address.protocol() == QAbstractSocket::IPv6Protocol
               ? QStringLiteral("[%1]:%2").arg(address.toString()).arg(port)
               : QStringLiteral("%1:%2").arg(address.toString()).arg(port);
}

// An IPv4 peer of a dual-stack listener comes as ::ffff:a.b.c.d.
QHostAddress plainAddress(const QHostAddress &address)
{
    bool isV4 = false;
    const quint32 v4 = address.toIPv4Address(&isV4);
    return isV4 ? QHostAddress(v4) : address;
}

// The supplies through the engine: readings and confirmed writes on the client. A
// port that went away fails every request at once, in the same words, until it is
// back.
class EngineLink : public scpi::SupplyLink {
public:
    EngineLink(supply::Client &client, const QString &portName)
        : m_client(client), m_portName(portName)
    {
    }

    // "COM1: the device is gone": the port's own text varies with the way it went
    // (and from run to run), so it is not passed on.
    QString goneText() const { return m_portName + QStringLiteral(": the device is gone"); }
    const QString &portName() const { return m_portName; }
    void setGone(bool gone) { m_gone = gone; }
    bool gone() const { return m_gone; }

    void readStatus(std::uint8_t address, Done done) override
    {
        if (m_gone) {
            done({std::nullopt, goneText().toStdString()});
            return;
        }
        supply::takeReading(m_client, m_rows, address, [this, done](const supply::Reading &r) {
            if (r.good()) {
                done({r.row.reading, {}});
                return;
            }
            done({std::nullopt, why(r.row.failure).toStdString()});
        });
    }
    void setVoltage(std::uint8_t address, std::uint16_t code, Done done) override
    {
        write(address, supply::Target::Voltage, code, std::move(done));
    }
    void setCurrent(std::uint8_t address, std::uint16_t code, Done done) override
    {
        write(address, supply::Target::Current, code, std::move(done));
    }
    void setOutput(std::uint8_t address, bool on, Done done) override
    {
        write(address, supply::Target::Output, on ? 1 : 0, std::move(done));
    }
    void holdCeilings(std::uint8_t address, std::uint16_t voltage, std::uint16_t current) override
    {
        supply::CeilingRegistry &ceilings = m_client.ceilings();
        if (m_ceilingSource == 0) {
            m_ceilingSource = ceilings.addSource(true);
        }
        const auto pid = static_cast<std::uint32_t>(QCoreApplication::applicationPid());
        const auto hold = [&](supply::CeilingKind kind, int value, int largest) {
            if (value >= largest) {
                ceilings.release(m_ceilingSource, address, kind);
            } else {
                ceilings.hold(m_ceilingSource, address, kind, value, "vantelctl serve", pid);
            }
        };
        hold(supply::CeilingKind::Voltage, voltage, protocol::kLargestVoltageCode);
        hold(supply::CeilingKind::Current, current, protocol::kLargestCurrentCode);
    }

private:
    // The -240's detail: the port's own reason varies with the way it went, so a
    // port failure is named the same every time.
    QString why(const supply::Failure &failure) const
    {
        return failure.error == supply::Error::Port ? goneText() : failure.text();
    }

    void write(std::uint8_t address, supply::Target target, std::uint16_t value, Done done)
    {
        if (m_gone) {
            done({std::nullopt, goneText().toStdString()});
            return;
        }
        supply::WriteCallbacks callbacks;
        callbacks.done = [this, done](const supply::WriteResult &w) {
            if (w.confirmed && w.readBack) {
                done({w.readBack, {}});
                return;
            }
            const QString text = w.failure.error == supply::Error::Port ? goneText()
                                 : w.problem.isEmpty() ? QStringLiteral("not confirmed")
                                                       : w.problem;
            done({std::nullopt, text.toStdString(), w.failure.error == supply::Error::Refused});
        };
        supply::confirmedWrite(m_client, m_rows, supply::writeRequest(address, target, value),
                               supply::confirmsWrite(target, value), std::move(callbacks));
    }

    supply::Client &m_client;
    QString m_portName;
    bool m_gone = false;
    int m_ceilingSource = 0; // the instrument's ceilings in the client's registry
    supply::RowMaker m_rows;
};

// A client's socket, read and written here rather than by QTcpSocket: that one
// takes a client's last byte sent (a half-close, as `nc -N` and socat do after
// their input) for the end of the connection and drops the answers still due,
// where such a client has only finished sending and still reads.
class ClientSocket : public QObject {
public:
    explicit ClientSocket(qintptr descriptor)
        : m_socket(descriptor), m_reader(descriptor, QSocketNotifier::Read, this),
          m_writer(descriptor, QSocketNotifier::Write, this)
    {
        prepareSocket(descriptor);
        m_writer.setEnabled(false);
        QObject::connect(&m_reader, &QSocketNotifier::activated, this, [this] { readSome(); });
        QObject::connect(&m_writer, &QSocketNotifier::activated, this, [this] { writeSome(true); });
    }
    ~ClientSocket() override { close(); }

    std::function<void(const QByteArray &)> received;
    std::function<void()> ended;                 // the client sends nothing more
    std::function<void(const QString &)> failed; // reset by the client, or a socket error
    std::function<void()> written;               // some of what waited went out later

    void write(const QByteArray &bytes)
    {
        if (m_socket < 0) {
            return;
        }
        m_out += bytes;
        writeSome(false);
    }
    qint64 bytesToWrite() const { return m_out.size(); }
    // Stops reading and writing and closes the socket; safe to call twice.
    void close()
    {
        if (m_socket >= 0) {
            m_reader.setEnabled(false);
            m_writer.setEnabled(false);
            closeSocket(m_socket);
            m_socket = -1;
        }
    }

private:
    void readSome()
    {
        char buffer[64 * 1024];
        while (m_socket >= 0) {
            const qint64 n = socketReceive(m_socket, buffer, sizeof buffer);
            if (n == kSocketWouldBlock) {
                return;
            }
            if (n == kSocketFailed) {
                fail();
                return;
            }
            if (n == 0) {
                m_reader.setEnabled(false);
                if (ended) {
                    ended();
                }
                return;
            }
            if (received) {
                received(QByteArray(buffer, qsizetype(n)));
            }
        }
    }

    // `notify`: say so when some went out; not when called from write(), whose
    // caller may be in the middle of its work.
    void writeSome(bool notify)
    {
        qint64 sent = 0;
        while (m_socket >= 0 && sent < m_out.size()) {
            const qint64 n = socketSend(m_socket, m_out.constData() + sent, m_out.size() - sent);
            if (n == kSocketWouldBlock) {
                break;
            }
            if (n < 0) {
                fail();
                return;
            }
            sent += n;
        }
        m_out.remove(0, qsizetype(sent));
        m_writer.setEnabled(m_socket >= 0 && !m_out.isEmpty());
        if (notify && sent > 0 && written) {
            written();
        }
    }

    // Said from the event loop: a write fails inside the instrument's own work.
    void fail()
    {
        const QString why = socketError();
        close();
        QMetaObject::invokeMethod(
            this,
            [this, why] {
                if (failed) {
                    failed(why);
                }
            },
            Qt::QueuedConnection);
    }

    qintptr m_socket;
    QSocketNotifier m_reader;
    QSocketNotifier m_writer;
    QByteArray m_out;
};

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
    QByteArray partial;
    bool discarding = false; // inside a line that was too long
    bool overrun = false;    // lines are being dropped, -363 said
    bool ended = false;      // the client has sent its last byte
    long lines = 0;
};

// What the instrument says of itself and where it reaches the supplies.
struct ServeTarget {
    QString portName; // "COM3"
    std::vector<std::uint8_t> addresses;
};

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

// Owns itself from start() until it has called `done`.
class Server {
public:
    Server(serial::BufferedCommControl &comm, supply::Client &client, const ServeTarget &target,
           const ServeOptions &options)
        : m_comm(comm), m_client(client), m_link(client, target.portName), m_options(options),
          m_instrument(m_link, {target.portName.toStdString(), target.addresses,
                                QCoreApplication::applicationVersion().toStdString()}),
          m_gateway(client, {target.addresses, 0, 0, options.allowAddressChange})
    {
        // A ceiling set over SCPI holds for Modbus TCP's writes too.
        m_gateway.setCeilings([this](std::uint8_t unit) {
            const auto ceilings = m_instrument.ceilings(unit);
            return ceilings ? supply::Gateway::Ceilings{ceilings->voltage, ceilings->current}
                            : supply::Gateway::Ceilings{};
        });
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
        if (!listen(m_listener, m_options.scpi, m_options.listenAddress, m_options.listenPort,
                    false) ||
            !listen(m_modbusListener, m_options.modbus, m_options.modbusAddress,
                    m_options.modbusPort, true)) {
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
                         .arg(endpoint(m_listener.serverAddress(), m_listener.serverPort())));
        }
        if (m_options.modbus) {
            QStringList units;
            for (std::uint8_t unit : m_units) {
                units << QString::number(unit);
            }
            printErr(
                QStringLiteral("Modbus TCP on %1 for units %2; Ctrl-C ends")
                    .arg(endpoint(m_modbusListener.serverAddress(), m_modbusListener.serverPort()),
                         units.join(QLatin1Char(','))));
        }
    }

private:
    bool listen(Listener &listener, bool wanted, const QHostAddress &address, quint16 port,
                bool modbus)
    {
        if (!wanted) {
            return true;
        }
        if (!listener.listen(address, port)) {
            printErr(QStringLiteral("cannot listen on %1: %2")
                         .arg(endpoint(address, port), listener.errorString()));
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
    bool allowed(const QHostAddress &peer) const
    {
        const QHostAddress address = plainAddress(peer);
        if (m_options.allow.isEmpty()) {
            return address.isLoopback();
        }
        for (const auto &subnet : m_options.allow) {
            if (address.isInSubnet(subnet.first, subnet.second)) {
                return true;
            }
        }
        return false;
    }

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
        const QString peer = endpoint(plainAddress(address), port);
        if (m_stopping || !allowed(address)) {
            // Nothing it sent is read.
            if (!m_stopping) {
                ++m_refused;
                printErr(QStringLiteral("refused %1: not an allowed address").arg(peer));
            }
            closeSocket(descriptor);
            return;
        }
        if (clients(modbus) >= m_options.maxClients) {
            ++m_turnedAway;
            printErr(QStringLiteral("turned away %1: %2 clients already")
                         .arg(peer)
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
        printErr(QStringLiteral("%1client %2 connected from %3 (%4 of at most %5)")
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
        qsizetype start = 0;
        while (true) {
            const qsizetype end = chunk.indexOf('\n', start);
            append(*c, chunk.mid(start, end < 0 ? -1 : end - start));
            if (end < 0) {
                break;
            }
            endLine(*c);
            start = end + 1;
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
        if (!c->modbus && (!c->partial.isEmpty() || c->discarding)) {
            endLine(*c);
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

    void append(Connection &c, const QByteArray &bytes)
    {
        if (c.discarding) {
            return;
        }
        c.partial += bytes;
        // A CR before the terminator is no part of the line's length.
        const qsizetype length = c.partial.size() - (c.partial.endsWith('\r') ? 1 : 0);
        if (length > kLongestLine) {
            c.discarding = true;
            c.partial.clear();
        }
    }

    void endLine(Connection &c)
    {
        ++c.lines;
        ++m_lines;
        const bool tooLong = c.discarding;
        c.discarding = false;
        if (c.partial.endsWith('\r')) {
            c.partial.chop(1);
        }
        const std::string line = c.partial.toStdString();
        c.partial.clear();
        if (c.session->waitingLines() >= kWaitingLines) {
            if (!c.overrun) {
                c.overrun = true;
                m_instrument.submitError(*c.session, scpi::err::kInputBufferOverrun,
                                         "lines were dropped: more than 256 waited");
            }
            return;
        }
        c.overrun = false;
        if (tooLong) {
            m_instrument.submitError(*c.session, scpi::err::kTooMuchData,
                                     "a line longer than 4096 bytes was discarded");
        } else {
            m_instrument.submit(*c.session, line);
        }
        restartIdle(c);
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
        if (c->modbus) {
            printErr(
                QStringLiteral("Modbus TCP client %1 (%2) left: %3").arg(c->id).arg(c->peer, why));
        } else {
            printErr(QStringLiteral("client %1 (%2) left: %3; %4 lines")
                         .arg(c->id)
                         .arg(c->peer, why)
                         .arg(c->lines));
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
        while (!m_connections.empty()) {
            drop(m_connections.begin()->first, QStringLiteral("the server stops"));
        }
        finishWhenIdle();
    }

    void finishWhenIdle()
    {
        if (m_instrument.busy() || m_gateway.busy()) {
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
    std::vector<std::uint8_t> m_units;
    QObject m_context; // the receiver of every connection, gone before the rest
    Listener m_listener;
    Listener m_modbusListener;
    QTimer m_acceptRetry;
    supply::PortKeeper m_keeper{m_comm, m_client, m_link.portName()};
    Done m_done;
    std::map<int, std::unique_ptr<Connection>> m_connections;
    int m_served = 0;
    int m_refused = 0;
    int m_turnedAway = 0;
    long m_lines = 0;
    bool m_stopping = false;
    bool m_acceptPaused = false;
    int m_turningAway = 0;
    int m_exit = kExitOk;
};

} // namespace

namespace {

// ADDRESS:PORT, an IPv6 address in brackets ([::1]:5025), or with `portAlone` a
// port alone, on loopback. [::] is every address, IPv4 ones too, as it is taken
// everywhere else.
std::optional<QPair<QHostAddress, quint16>> parseEndpoint(const QString &text, bool portAlone)
{
    const qsizetype colon = text.lastIndexOf(QLatin1Char(':'));
    if (colon < 0 && portAlone) {
        const auto port = parseWhole(text, 0, 65535);
        return port
                   ? std::optional(qMakePair(QHostAddress(QHostAddress::LocalHost), quint16(*port)))
                   : std::nullopt;
    }
    QString host = text.left(colon);
    if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']'))) {
        host = host.mid(1, host.size() - 2);
    } else if (host.contains(QLatin1Char(':'))) {
        host.clear();
    }
    const auto port = parseWhole(text.mid(colon + 1), 0, 65535);
    if (host == QLatin1String("localhost")) {
        host = QStringLiteral("127.0.0.1");
    }
    const QHostAddress address(host);
    if (colon < 0 || address.isNull() || !port) {
        return std::nullopt;
    }
    return qMakePair(
        address.isEqual(QHostAddress(QHostAddress::AnyIPv6), QHostAddress::StrictConversion)
            ? QHostAddress(QHostAddress::Any)
            : address,
        quint16(*port));
}

} // namespace

Parsed<ServeOptions> parseServeOptions(const ServeTexts &texts)
{
    const auto refuse = [](const QString &why) { return Parsed<ServeOptions>{std::nullopt, why}; };
    const QString &allow = texts.allow;
    ServeOptions options;
    options.offAtEnd = texts.offAtEnd;
    options.allowAddressChange = texts.allowAddressChange;
    if (texts.listen == QLatin1String("none")) {
        if (texts.modbus.isEmpty()) {
            return refuse(QStringLiteral("--listen none leaves nothing to serve: give --modbus"));
        }
        options.scpi = false;
    } else if (!texts.listen.isEmpty()) {
        const auto endpoint = parseEndpoint(texts.listen, false);
        if (!endpoint) {
            return refuse(QStringLiteral("--listen takes ADDRESS:PORT (127.0.0.1:5025, "
                                         "[::1]:5025, 0.0.0.0:5025) or none, not '%1'")
                              .arg(texts.listen));
        }
        options.listenAddress = endpoint->first;
        options.listenPort = endpoint->second;
    }
    if (!texts.modbus.isEmpty()) {
        const auto endpoint = parseEndpoint(texts.modbus, true);
        if (!endpoint) {
            return refuse(QStringLiteral("--modbus takes [ADDRESS:]PORT (1502, 127.0.0.1:1502, "
                                         "[::]:1502), not '%1'")
                              .arg(texts.modbus));
        }
        options.modbus = true;
        options.modbusAddress = endpoint->first;
        options.modbusPort = endpoint->second;
    }
    if (!allow.isEmpty()) {
        for (const QString &item : allow.split(QLatin1Char(','))) {
            const QString text = item.trimmed();
            QPair<QHostAddress, int> subnet{QHostAddress(text), -1};
            if (text.contains(QLatin1Char('/'))) {
                subnet = QHostAddress::parseSubnet(text);
            } else if (!subnet.first.isNull()) {
                subnet.second = subnet.first.protocol() == QAbstractSocket::IPv6Protocol ? 128 : 32;
            }
            if (subnet.first.isNull() || subnet.second < 0) {
                return refuse(QStringLiteral("--allow takes addresses and subnets such as "
                                             "127.0.0.1,192.168.1.0/24, not '%1'")
                                  .arg(text));
            }
            options.allow.append(subnet);
        }
    }
    if (options.scpi && !options.listenAddress.isLoopback() && options.allow.isEmpty()) {
        return refuse(QStringLiteral("--listen %1 is not a loopback address: SCPI has no password, "
                                     "so give --allow with the addresses that may connect")
                          .arg(texts.listen));
    }
    if (options.modbus && !options.modbusAddress.isLoopback() && options.allow.isEmpty()) {
        return refuse(QStringLiteral("--modbus %1 is not a loopback address: Modbus TCP has no "
                                     "password, so give --allow with the addresses that may "
                                     "connect")
                          .arg(texts.modbus));
    }
    const auto clients = parseWhole(texts.maxClients, 1, 1000);
    if (!clients) {
        return refuse(QStringLiteral("--max-clients: ") + clients.error);
    }
    options.maxClients = *clients;
    const auto seconds = parseWhole(texts.idleTimeout, 0, 7 * 24 * 3600);
    if (!seconds) {
        return refuse(QStringLiteral("--idle-timeout: ") + seconds.error);
    }
    options.idleTimeout = std::chrono::seconds(*seconds);
    return {options, {}};
}

Prepared prepareServe(const CommandLine &line, const CommonOptions &common)
{
    const auto isSet = [&line](const char *name) { return line.isSet(QString::fromUtf8(name)); };
    const auto value = [&line](const char *name) { return line.value(QString::fromUtf8(name)); };
    if (common.json) {
        return Prepared::refused(
            QStringLiteral("serve answers on its socket and writes no data to stdout: --json "
                           "has nothing to format"));
    }
    const auto options = parseServeOptions({value("listen"), value("modbus"), value("allow"),
                                            value("max-clients"), value("idle-timeout"),
                                            isSet("off-at-end"), isSet("allow-address-change")});
    if (!options) {
        return Prepared::refused(options.error);
    }
    ServeTarget target{common.port.name(), {common.address}};
    if (isSet("addresses")) {
        const auto list = parseAddressList(value("addresses"));
        if (!list) {
            return Prepared::refused(QStringLiteral("--addresses: ") + list.error);
        }
        target.addresses = *list;
    }
    return Prepared::run(
        [target, options = *options](Context &context, Done done) {
            (new Server(context.comm, context.client, target, options))
                ->start(context.stops, std::move(done));
        },
        true, true);
}

} // namespace ctl
