// serve's socket server: its start, its listeners and the port's comings and goings.
#include "ctl/socketserver_p.h"

#include "ctl/httpoptions.h"

namespace ctl {

SocketServer::SocketServer(serial::BufferedCommControl &comm, engine::Client &client,
                           const ServeTarget &target, const ServeOptions &options)
    : m_comm(comm), m_client(client), m_session(client, web::EngineBench::sessionSettings()),
      m_link(m_session, client.ceilings(), target.portName), m_options(options),
      m_instrument(m_link, {target.portName.toStdString(), target.addresses,
                            QCoreApplication::applicationVersion().toStdString()}),
      m_gateway(m_session, client, {target.addresses, 0, 0, options.allowAddressChange}),
      m_allowed(options.allow, {options.listenAddress, options.modbusAddress, options.httpAddress})
{
    m_units = target.addresses;
}

void SocketServer::start(StopSignals &stops, Done done)
{
    m_done = std::move(done);
    // Each client holds a descriptor: more clients than the limit leaves room for
    // would stop the listener on the first one too many.
    const long limit = descriptorLimit();
    const long inUse = descriptorsInUse();
    const long faces = (m_options.scpi ? 1 : 0) + (m_options.modbus ? 1 : 0);
    const long needed = faces * m_options.maxClients + kSpareDescriptors + kTurningAway;
    if (limit > 0 && inUse >= 0 && inUse + needed > limit) {
        printErr(QStringLiteral("--max-clients %1 needs %2 file descriptors beside the %3 in "
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
    if (!listen(m_listener, m_options.scpi, m_options.listenAddress, m_options.listenPort, false) ||
        !listen(m_modbusListener, m_options.modbus, m_options.modbusAddress, m_options.modbusPort,
                true) ||
        !startHttp(int(httpConnections)) || !startBench()) {
        m_exit = kExitFailed;
        end();
        return;
    }
    if (!startMqtt()) {
        end();
        return;
    }
    m_acceptRetry.setSingleShot(true);
    QObject::connect(&m_acceptRetry, &QTimer::timeout, &m_context, [this] { accepting(true); });
    QObject::connect(&m_keeper, &line::PortKeeper::lost, &m_context,
                     [this](const QString &) { portGone(); });
    QObject::connect(&m_keeper, &line::PortKeeper::restored, &m_context,
                     [this](qint64) { portBack(); });
    QObject::connect(&stops, &StopSignals::stopRequested, &m_context, [this] { stop(kExitOk); });
    if (m_options.scpi) {
        printErr(QStringLiteral("listening on %1; SCPI commands end in \\n; Ctrl-C ends")
                     .arg(endpointText(m_listener.serverAddress(), m_listener.serverPort())));
    }
    if (m_options.modbus) {
        QStringList units;
        for (std::uint8_t unit : m_units) {
            units << QString::number(unit);
        }
        printErr(
            QStringLiteral("Modbus TCP on %1 for units %2; Ctrl-C ends")
                .arg(endpointText(m_modbusListener.serverAddress(), m_modbusListener.serverPort()),
                     units.join(QLatin1Char(','))));
    }
}

// The page and its API, on the bench.
bool SocketServer::startHttp(int connections)
{
    if (!m_options.http) {
        return true;
    }
    m_bench = std::make_unique<web::EngineBench>(m_session, m_client, m_link.portName(), m_units);
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
    return true;
}

// The bench, on the same engine, for the page and the broker alike: it reads
// every served supply in turn and keeps the record from now.
bool SocketServer::startBench()
{
    if (!m_bench && m_options.mqtt.url.isEmpty()) {
        return true;
    }
    if (!m_bench) {
        m_bench =
            std::make_unique<web::EngineBench>(m_session, m_client, m_link.portName(), m_units);
    }
    // The record is the page's download: without the page none is kept.
    const QString record = m_bench->start(m_http != nullptr);
    if (!record.isEmpty()) {
        printErr(QStringLiteral("%1: %2").arg(m_http ? "--http" : "--mqtt", record));
        return false;
    }
    if (m_http) {
        printErr(QStringLiteral("page on %1; Ctrl-C ends")
                     .arg(endpointText(m_http->serverAddress(), m_http->serverPort())));
        // The one place the token is shown.
        printErr(QStringLiteral("open ") + m_http->startUrl());
    }
    return true;
}

bool SocketServer::listen(Listener &listener, bool wanted, const QHostAddress &address,
                          quint16 port, bool modbus)
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

// The port went away: clients are told so (-240) while the keeper opens it
// again every second, as it does for log and run.
void SocketServer::portGone()
{
    if (m_stopping || m_link.gone()) {
        return;
    }
    m_link.setGone(true);
    printErr(m_link.goneText() + QStringLiteral("; serving on with -240 errors and opening "
                                                "it again every second"));
}

void SocketServer::portBack()
{
    m_link.setGone(false);
    if (!m_stopping) {
        printErr(m_link.portName() + QStringLiteral(" is back; serving on"));
    }
}

void startServer(serial::BufferedCommControl &comm, engine::Client &client,
                 const ServeTarget &target, const ServeOptions &options, StopSignals &stops,
                 Done done)
{
    (new SocketServer(comm, client, target, options))->start(stops, std::move(done));
}

} // namespace ctl
