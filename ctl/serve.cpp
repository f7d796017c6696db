#include "ctl/serve.h"

#include "ctl/command.h"
#include "ctl/commands.h"
#include "ctl/output.h"
#include "ctl/stopsignals.h"
#include "scpi/instrument.h"
#include "supply/client.h"
#include "supply/logger.h"
#include "supply/operations.h"

#include <QCoreApplication>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <map>
#include <memory>

namespace ctl {

namespace {

// A line longer than this, its terminator not counted, is discarded up to its end.
constexpr qsizetype kLongestLine = 4096;
// Lines of one client waiting for their turn. A client's socket is read as its
// bytes come, so that its leaving is seen at once and its waiting lines dropped;
// what comes beyond this many is dropped with -363 (as an instrument's input
// buffer overruns), at most 1 MiB a client.
constexpr std::size_t kWaitingLines = 256;
// A client that does not read its answers is served again once they have gone out.
constexpr qint64 kUnreadAnswers = 64 * 1024;

QString endpoint(const QHostAddress &address, quint16 port)
{
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

// The supplies through the engine: readings and confirmed writes on the client.
class EngineLink : public scpi::SupplyLink {
public:
    explicit EngineLink(supply::Client &client) : m_client(client) {}

    void readStatus(std::uint8_t address, Done done) override
    {
        supply::takeReading(m_client, m_rows, address, [done](const supply::Reading &r) {
            if (r.good()) {
                done({r.row.reading, {}});
                return;
            }
            QString why = supply::errorWord(r.error, r.exceptionCode);
            if (!r.detail.isEmpty()) {
                why += QStringLiteral(" (%1)").arg(r.detail);
            }
            done({std::nullopt, why.toStdString()});
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

private:
    void write(std::uint8_t address, supply::Target target, std::uint16_t value, Done done)
    {
        supply::WriteCallbacks callbacks;
        callbacks.done = [done](const supply::WriteResult &w) {
            if (w.confirmed && w.readBack) {
                done({w.readBack, {}});
                return;
            }
            QString why = w.problem.isEmpty() ? QStringLiteral("not confirmed") : w.problem;
            if (!w.detail.isEmpty()) {
                why += QStringLiteral(" (%1)").arg(w.detail);
            }
            done({std::nullopt, why.toStdString()});
        };
        supply::confirmedWrite(m_client, m_rows, supply::writeRequest(address, target, value),
                               supply::confirmsWrite(target, value), std::move(callbacks));
    }

    supply::Client &m_client;
    supply::RowMaker m_rows;
};

struct Connection {
    int id = 0;
    QString peer;
    QTcpSocket *socket = nullptr; // owns the idle timer
    QTimer *idle = nullptr;
    std::shared_ptr<scpi::Session> session;
    QByteArray partial;
    bool discarding = false; // inside a line that was too long
    bool overrun = false;    // lines are being dropped, -363 said
    long lines = 0;
};

// What the instrument says of itself and where it reaches the supplies.
struct ServeTarget {
    QString portName; // "COM3"
    std::vector<std::uint8_t> addresses;
};

// Owns itself from start() until it has called `done`.
class Server {
public:
    Server(supply::Client &client, const ServeTarget &target, const ServeOptions &options)
        : m_client(client), m_link(client), m_options(options),
          m_instrument(m_link, {target.portName.toStdString(), target.addresses,
                                QCoreApplication::applicationVersion().toStdString()})
    {
    }

    void start(StopSignals &stops, Done done)
    {
        m_done = std::move(done);
        if (!m_listener.listen(m_options.listenAddress, m_options.listenPort)) {
            printErr(QStringLiteral("cannot listen on %1: %2")
                         .arg(endpoint(m_options.listenAddress, m_options.listenPort),
                              m_listener.errorString()));
            m_exit = kExitFailed;
            end();
            return;
        }
        QObject::connect(&m_listener, &QTcpServer::newConnection, &m_context, [this] { accept(); });
        QObject::connect(&stops, &StopSignals::stopRequested, &m_context,
                         [this] { stop(kExitOk); });
        QObject::connect(
            &m_client, &supply::Client::portFailed, &m_context, [this](const QString &reason) {
                if (!m_stopping) {
                    printErr(QStringLiteral("the port failed: %1; serve ends").arg(reason));
                    m_portFailed = true;
                    stop(kExitFailed);
                }
            });
        printErr(QStringLiteral("listening on %1; SCPI commands end in \\n; Ctrl-C ends")
                     .arg(endpoint(m_listener.serverAddress(), m_listener.serverPort())));
    }

private:
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

    void accept()
    {
        while (QTcpSocket *socket = m_listener.nextPendingConnection()) {
            const QString peer = endpoint(plainAddress(socket->peerAddress()), socket->peerPort());
            if (m_stopping || !allowed(socket->peerAddress())) {
                // Nothing it sent is read.
                if (!m_stopping) {
                    ++m_refused;
                    printErr(QStringLiteral("refused %1: not an allowed address").arg(peer));
                }
                socket->abort();
                socket->deleteLater();
                continue;
            }
            if (int(m_connections.size()) >= m_options.maxClients) {
                ++m_turnedAway;
                printErr(QStringLiteral("turned away %1: %2 clients already")
                             .arg(peer)
                             .arg(m_connections.size()));
                socket->write(QStringLiteral("vantel: at most %1 clients at a time; closing\n")
                                  .arg(m_options.maxClients)
                                  .toUtf8());
                QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
                socket->disconnectFromHost();
                continue;
            }
            open(socket, peer);
        }
    }

    void open(QTcpSocket *socket, const QString &peer)
    {
        auto c = std::make_unique<Connection>();
        const int id = ++m_served;
        c->id = id;
        c->peer = peer;
        c->socket = socket;
        // An answer is one short line: send it at once rather than wait for more.
        socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        c->session = m_instrument.open(
            [socket](const std::string &text) { socket->write(text.data(), qint64(text.size())); },
            [socket] { return socket->bytesToWrite() < kUnreadAnswers; });
        if (m_options.idleTimeout.count() > 0) {
            c->idle = new QTimer(socket);
            c->idle->setSingleShot(true);
            c->idle->setInterval(m_options.idleTimeout);
            QObject::connect(c->idle, &QTimer::timeout, &m_context, [this, id] {
                drop(id, QStringLiteral("idle for %1 s").arg(m_options.idleTimeout.count() / 1000));
            });
            c->idle->start();
        }
        QObject::connect(socket, &QTcpSocket::readyRead, &m_context, [this, id] {
            const auto found = m_connections.find(id);
            if (found != m_connections.end() && found->second->idle) {
                found->second->idle->start();
            }
            read(id);
        });
        QObject::connect(socket, &QTcpSocket::disconnected, &m_context,
                         [this, id] { drop(id, QStringLiteral("closed by the client")); });
        QObject::connect(socket, &QTcpSocket::bytesWritten, &m_context,
                         [this] { m_instrument.pump(); });
        m_connections[id] = std::move(c);
        printErr(QStringLiteral("client %1 connected from %2 (%3 of at most %4)")
                     .arg(id)
                     .arg(peer)
                     .arg(m_connections.size())
                     .arg(m_options.maxClients));
        read(id);
    }

    // Takes the client's complete lines.
    void read(int id)
    {
        const auto found = m_connections.find(id);
        if (found == m_connections.end()) {
            return;
        }
        Connection &c = *found->second;
        while (c.socket->bytesAvailable() > 0) {
            const QByteArray chunk = c.socket->read(64 * 1024);
            qsizetype start = 0;
            while (true) {
                const qsizetype end = chunk.indexOf('\n', start);
                append(c, chunk.mid(start, end < 0 ? -1 : end - start));
                if (end < 0) {
                    break;
                }
                endLine(c);
                start = end + 1;
            }
        }
        m_instrument.pump();
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
    }

    void drop(int id, const QString &why)
    {
        const auto found = m_connections.find(id);
        if (found == m_connections.end()) {
            return;
        }
        std::unique_ptr<Connection> c = std::move(found->second);
        m_connections.erase(found);
        m_instrument.close(c->session);
        QObject::disconnect(c->socket, nullptr, &m_context, nullptr);
        c->socket->abort();
        c->socket->deleteLater();
        printErr(QStringLiteral("client %1 (%2) left: %3; %4 lines")
                     .arg(c->id)
                     .arg(c->peer, why)
                     .arg(c->lines));
        m_instrument.pump();
    }

    void stop(int code)
    {
        if (m_stopping) {
            return; // a second signal cannot cut the way out short
        }
        m_stopping = true;
        m_exit = code;
        m_listener.close();
        while (!m_connections.empty()) {
            drop(m_connections.begin()->first, QStringLiteral("the server stops"));
        }
        finishWhenIdle();
    }

    void finishWhenIdle()
    {
        if (m_instrument.busy()) {
            // The command on the line finishes as it would have.
            QTimer::singleShot(10, &m_context, [this] { finishWhenIdle(); });
            return;
        }
        if (m_options.offAtEnd && !m_portFailed) {
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
        finish();
    }

    void finish()
    {
        printErr(QStringLiteral("serve: %1 clients served, %2 refused, %3 turned away, %4 lines")
                     .arg(m_served)
                     .arg(m_refused)
                     .arg(m_turnedAway)
                     .arg(m_lines));
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

    supply::Client &m_client;
    EngineLink m_link;
    ServeOptions m_options;
    scpi::Instrument m_instrument;
    QObject m_context; // the receiver of every connection, gone before the rest
    QTcpServer m_listener;
    Done m_done;
    std::map<int, std::unique_ptr<Connection>> m_connections;
    int m_served = 0;
    int m_refused = 0;
    int m_turnedAway = 0;
    long m_lines = 0;
    bool m_stopping = false;
    bool m_portFailed = false;
    int m_exit = kExitOk;
};

} // namespace

Parsed<ServeOptions> parseServeOptions(const QString &listen, const QString &allow,
                                       const QString &maxClients, const QString &idleTimeout,
                                       bool offAtEnd)
{
    const auto refuse = [](const QString &why) { return Parsed<ServeOptions>{std::nullopt, why}; };
    ServeOptions options;
    options.offAtEnd = offAtEnd;
    if (!listen.isEmpty()) {
        // ADDRESS:PORT, an IPv6 address in brackets: [::1]:5025.
        const qsizetype colon = listen.lastIndexOf(QLatin1Char(':'));
        QString host = listen.left(colon);
        if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']'))) {
            host = host.mid(1, host.size() - 2);
        } else if (host.contains(QLatin1Char(':'))) {
            host.clear();
        }
        const auto port = parseWhole(listen.mid(colon + 1), 0, 65535);
        if (host == QLatin1String("localhost")) {
            host = QStringLiteral("127.0.0.1");
        }
        const QHostAddress address(host);
        if (colon < 0 || address.isNull() || !port) {
            return refuse(QStringLiteral("--listen takes ADDRESS:PORT (127.0.0.1:5025, "
                                         "[::1]:5025, 0.0.0.0:5025), not '%1'")
                              .arg(listen));
        }
        options.listenAddress = address;
        options.listenPort = quint16(*port);
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
    if (!options.listenAddress.isLoopback() && options.allow.isEmpty()) {
        return refuse(QStringLiteral("--listen %1 is not a loopback address: SCPI has no password, "
                                     "so give --allow with the addresses that may connect")
                          .arg(listen));
    }
    const auto clients = parseWhole(maxClients, 1, 1000);
    if (!clients) {
        return refuse(QStringLiteral("--max-clients: ") + clients.error);
    }
    options.maxClients = *clients;
    const auto seconds = parseWhole(idleTimeout, 0, 7 * 24 * 3600);
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
    const auto options = parseServeOptions(value("listen"), value("allow"), value("max-clients"),
                                           value("idle-timeout"), isSet("off-at-end"));
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
            (new Server(context.client, target, options))->start(context.stops, std::move(done));
        },
        true, true);
}

} // namespace ctl
