#pragma once

#include "web/admission.h"
#include "web/bench.h"
#include "web/metrics.h"
#include "web/refusallog.h"
#include "web/requestparser.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QObject>
#include <QStringList>
#include <QTcpServer>
#include <QTimer>

#include <functional>
#include <map>
#include <memory>

class QFile;
class QTcpSocket;

namespace web {

struct HttpOptions {
    QHostAddress address = QHostAddress(QHostAddress::LocalHost);
    quint16 port = 0;  // 0: any free port
    QStringList hosts; // more names the page may be reached by (Host header)
    QByteArray token;  // URL- and header-safe characters only
    // Whether a peer may connect at all; empty: loopback only.
    std::function<bool(const QHostAddress &)> allowed;
    // Messages for the operator (never with the token).
    std::function<void(const QString &)> log;
    int maxConnections = 256;
    // The labels and line counts of /metrics.
    MetricsSource metrics;
};

// The bench in a browser: the page from the program's resources and a JSON API
// with a stream of readings (Server-Sent Events), on Qt's event loop. Requests
// are cut by http_parser; the page's files come to anyone who may connect,
// every /api/ path needs the token as a bearer header, every request a known
// Host, and a request that changes anything, with an Origin, this server's own.
// /metrics serves the readings in Prometheus's text format, with the same token.
class HttpServer : public QObject {
public:
    // An event stream whose client lets this much pile up unread is dropped.
    static constexpr qint64 kStreamBuffer = 256 * 1024;
    static constexpr std::chrono::seconds kKeepAlive{15};
    // A connection without a request under way is closed this long after its
    // last answer (or its start), however many bytes of a request it trickles.
    static constexpr std::chrono::seconds kIdle{60};
    // A connection that has not shown the token is closed this long after it
    // opened, whatever it does; when the server is full, the oldest of them
    // gives way to a new one (see Admission).
    static constexpr std::chrono::seconds kLogin{10};

    struct Stats {
        long connections = 0;
        long refused = 0; // not an allowed address, too many at once, or made room for another
        long requests = 0;
        long dropped = 0; // event streams dropped for not reading
    };

    HttpServer(Bench &bench, HttpOptions options);
    ~HttpServer() override;

    // Empty on success, else why.
    QString listen();
    QHostAddress serverAddress() const { return m_server.serverAddress(); }
    quint16 serverPort() const { return m_server.serverPort(); }
    // "http://127.0.0.1:8080/?token=...", the address to open.
    QString startUrl() const;
    // Stops listening and closes every connection.
    void close();
    const Stats &stats() const { return m_stats; }
    int streams() const;
    int connectionCount() const { return int(m_connections.size()); }
    // Bytes held for the connections: read and not yet parsed, parsed and not
    // yet answered, answered and not yet sent.
    qint64 heldBytes() const;

private:
    struct Connection;
    void accept();
    int makeRoom();
    void pump(Connection &c);
    void handle(Connection &c, const Request &request);
    bool knownHost(const Connection &c, const QByteArray &host) const;
    void route(Connection &c, const Request &request);
    void post(Connection &c, const Request &request, const QByteArray &path);
    void respond(Connection &c, int status, const QByteArray &type, const QByteArray &body,
                 const QList<QPair<QByteArray, QByteArray>> &extra = {});
    void respondJson(Connection &c, int status, const QJsonObject &body,
                     const QList<QPair<QByteArray, QByteArray>> &extra = {});
    void respondError(Connection &c, int status, const QString &text,
                      const QList<QPair<QByteArray, QByteArray>> &extra = {});
    void answerLater(Connection &c, const Outcome &outcome);
    void startStream(Connection &c);
    void startDownload(Connection &c);
    void sendDownload(Connection &c);
    void broadcast(const QByteArray &bytes);
    void finished(Connection &c);
    void drop(int id);
    void sweep();
    Connection *find(int id);
    qint64 now() const { return m_clock.elapsed(); }

    Bench &m_bench;
    HttpOptions m_options;
    QTcpServer m_server;
    std::map<int, std::unique_ptr<Connection>> m_connections;
    int m_lastId = 0;
    int m_takenThisTurn = 0; // connections taken in this turn of the event loop
    QTimer m_keepAlive;
    QTimer m_sweep;
    Stats m_stats;
    QElapsedTimer m_clock;
    Admission m_admission;
    RefusalLog m_refusals;
    Metrics m_metrics;
    std::map<QByteArray, QPair<QByteArray, QByteArray>> m_files; // path: type, bytes
};

// Whether `given` is `token`, in a time that does not tell how much of it matched.
bool sameToken(const QByteArray &given, const QByteArray &token);
// A random token of 128 bits, as 32 hex digits.
QByteArray randomToken();
// Why a token from the environment may not be used; empty when it may.
QString tokenRefusal(const QByteArray &token);

} // namespace web
