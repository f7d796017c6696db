// serve's socket server: the way out, the commands under way finished first.
#include "ctl/socketserver_p.h"

namespace ctl {

void SocketServer::stop(int code)
{
    if (m_stopping) {
        return; // a second signal cannot cut the way out short
    }
    m_stopping = true;
    m_exit = code;
    m_listener.close();
    m_modbusListener.close();
    m_acceptRetry.stop();
    if (m_mqtt) {
        // From now on a command from the broker is answered "ending": nothing it
        // asks may follow the switching off on the way out.
        m_mqtt->stopControl();
    }
    if (m_http) {
        m_http->close();
    }
    if (m_bench) {
        m_bench->stop();
    }
    while (!m_connections.empty()) {
        drop(m_connections.begin()->first, QStringLiteral("the server stops"));
    }
    finishWhenIdle();
}

void SocketServer::finishWhenIdle()
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

void SocketServer::finish()
{
    printErr(QStringLiteral("serve: %1 clients served, %2 refused, %3 turned away, %4 lines")
                 .arg(m_served)
                 .arg(m_refused)
                 .arg(m_turnedAway)
                 .arg(m_lines));
    if (m_options.modbus) {
        const gateway::Gateway::Stats &stats = m_gateway.stats();
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
    if (m_mqtt) {
        m_bench->rowTaken = nullptr;
        m_mqtt->finish();
    }
    for (const QString &line : runs::linkSummary(m_client.stats())) {
        printErr(line);
    }
    end();
}

// Hands the exit code on once this server is gone.
void SocketServer::end()
{
    QTimer::singleShot(0, QCoreApplication::instance(),
                       [this, done = std::move(m_done), code = m_exit] {
                           delete this;
                           done(code);
                       });
}

} // namespace ctl
