// serve's memory while one client floods a face with requests and never reads an
// answer: HTTP without the token (the page, 200 requests a write), HTTP with the
// token (the supplies' list), SCPI (MEAS:VOLT?) and Modbus TCP (a read of the
// status block), one after the other against one serve on the simulator's timed
// line. For each: the server's resident memory before, at its highest and at the
// end of the flood, and after the flooder has gone; what the system's socket
// queues hold for the server at the flood's end (the unread requests are where
// the flood waits when the server stops reading); what the flooder got written;
// the lines the server said meanwhile. Figures, not checks: the aim (the flood
// moves the server's memory by at most 10 MB) is printed beside them.
//   flood-bench VANTELCTL [SECONDS]
#include "servestart.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

using bench::kToken;
using bench::rssKiB;
constexpr int kPerWrite = 200;
constexpr double kAimMB = 10.0;
// A server that grows past this is not flooded further: the figure is made, and
// the machine is shared.
constexpr long kGiveUpKiB = 1024L * 1024;
constexpr auto kSample = 100ms;
constexpr auto kSettle = 3s; // after the flooder has gone, before "after" is taken

struct Queues {
    long unread = 0; // requests the system holds that the server has not read
    long unsent = 0; // answers the server wrote that the client has not taken
};

// The system's queues of the server's established connections on `port`
// (/proc/net/tcp: "sl local rem st tx_queue:rx_queue ...", ports in hex).
Queues serverQueues(quint16 port)
{
    Queues q;
    for (const char *table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        QFile f(QString::fromLatin1(table));
        if (!f.open(QIODevice::ReadOnly)) {
            continue;
        }
        const QList<QByteArray> lines = f.readAll().split('\n');
        for (qsizetype i = 1; i < lines.size(); ++i) {
            const QList<QByteArray> fields = lines[i].simplified().split(' ');
            if (fields.size() < 5 || fields[3] != "01") {
                continue; // not established
            }
            bool ok = false;
            const quint16 local = fields[1].split(':').value(1).toUShort(&ok, 16);
            if (!ok || local != port) {
                continue;
            }
            const QList<QByteArray> queues = fields[4].split(':');
            q.unsent += queues.value(0).toLong(nullptr, 16);
            q.unread += queues.value(1).toLong(nullptr, 16);
        }
    }
    return q;
}

int connectTo(quint16 port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) {
        return -1;
    }
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<const sockaddr *>(&to), sizeof to) != 0) {
        ::close(fd);
        return -1;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    return fd;
}

struct Flood {
    QString name;
    quint16 port = 0;
    QByteArray request; // one request; a write holds kPerWrite of them
};

struct Result {
    long before = 0, peak = 0, end = 0, after = 0; // KiB
    Queues queues;
    double sentMB = 0;
    int connections = 0;
    bool gaveUp = false;
    QStringList said;
};

// The server's standard error as it comes; a pipe left unread would stall it.
class ErrorLines {
public:
    explicit ErrorLines(QProcess &process) : m_process(process) {}
    QStringList take()
    {
        QCoreApplication::processEvents();
        m_process.waitForReadyRead(0);
        m_pending += QString::fromUtf8(m_process.readAllStandardError());
        QStringList lines = m_pending.split(QLatin1Char('\n'));
        m_pending = lines.takeLast();
        return lines;
    }

private:
    QProcess &m_process;
    QString m_pending;
};

void idle(ErrorLines &errors, std::chrono::milliseconds span)
{
    const auto until = Clock::now() + span;
    while (Clock::now() < until) {
        errors.take();
        QThread::msleep(50);
    }
}

Result flood(qint64 pid, ErrorLines &errors, const Flood &what, std::chrono::seconds span)
{
    Result r;
    idle(errors, 1s);
    r.before = rssKiB(pid);
    QByteArray batch;
    for (int i = 0; i < kPerWrite; ++i) {
        batch += what.request;
    }
    int fd = -1;
    qsizetype offset = 0;
    double sent = 0;
    const auto until = Clock::now() + span;
    auto nextSample = Clock::now();
    while (Clock::now() < until && !r.gaveUp) {
        if (fd < 0) {
            // The server closed the last one (its deadline, or its bound on
            // waiting requests): the flooder comes straight back.
            fd = connectTo(what.port);
            offset = 0;
            if (fd < 0) {
                QThread::msleep(10);
                continue;
            }
            ++r.connections;
        }
        const ssize_t n =
            ::send(fd, batch.constData() + offset, size_t(batch.size() - offset), MSG_NOSIGNAL);
        if (n > 0) {
            sent += double(n);
            offset = (offset + n) % batch.size();
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd p{fd, POLLOUT, 0};
            ::poll(&p, 1, 20);
        } else if (n < 0 && errno != EINTR) {
            ::close(fd);
            fd = -1;
        }
        if (Clock::now() >= nextSample) {
            nextSample += kSample;
            const long rss = rssKiB(pid);
            r.peak = std::max(r.peak, rss);
            r.gaveUp = rss > kGiveUpKiB;
            r.said += errors.take();
        }
    }
    r.end = rssKiB(pid);
    r.peak = std::max(r.peak, r.end);
    r.queues = serverQueues(what.port);
    r.sentMB = sent / 1e6;
    r.said += errors.take();
    if (fd >= 0) {
        ::close(fd);
    }
    idle(errors, kSettle);
    r.after = rssKiB(pid);
    r.said += errors.take();
    r.said.removeAll(QString());
    return r;
}

double mb(long kib)
{
    return double(kib) / 1024.0;
}

QByteArray modbusReads()
{
    // MBAP: transaction, protocol 0, length 6, unit 1; function 3, 6 registers
    // from 0x1000 (the status block).
    return QByteArray::fromHex("000100000006010310000006");
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: flood-bench VANTELCTL [SECONDS]\n");
        return 2;
    }
    const std::chrono::seconds span(argc > 2 ? QByteArray(argv[2]).toInt() : 10);
    const QRegularExpression scpiAt(QStringLiteral("listening on 127\\.0\\.0\\.1:(\\d+)"));
    const QRegularExpression modbusAt(QStringLiteral("Modbus TCP on 127\\.0\\.0\\.1:(\\d+)"));
    const QRegularExpression httpAt(QStringLiteral("open http://127\\.0\\.0\\.1:(\\d+)/"));
    bench::ServeRun run;
    if (!run.start(argv[1],
                   {QStringLiteral("--port"), QStringLiteral("1"), QStringLiteral("--address"),
                    QStringLiteral("1"), QStringLiteral("--output"), QStringLiteral("on")},
                   {QStringLiteral("--port"), QStringLiteral("COM1"), QStringLiteral("--address"),
                    QStringLiteral("1"), QStringLiteral("serve"), QStringLiteral("--listen"),
                    QStringLiteral("127.0.0.1:0"), QStringLiteral("--modbus"),
                    QStringLiteral("127.0.0.1:0"), QStringLiteral("--http"),
                    QStringLiteral("127.0.0.1:0")},
                   httpAt)) {
        return 1;
    }
    QProcess &serve = run.serve;
    const QString &err = run.err;
    const quint16 scpi = scpiAt.match(err).captured(1).toUShort();
    const quint16 modbus = modbusAt.match(err).captured(1).toUShort();
    const quint16 http = httpAt.match(err).captured(1).toUShort();
    if (!scpi || !modbus || !http) {
        std::fprintf(stderr, "serve did not start: %s\n", qPrintable(err));
        return 1;
    }
    const qint64 pid = serve.processId();
    ErrorLines errors(serve);
    idle(errors, 2s); // the first readings are in

    const QByteArray host = "Host: 127.0.0.1:" + QByteArray::number(http) + "\r\n";
    const QList<Flood> floods = {
        {QStringLiteral("HTTP, no token (GET /)"), http, "GET / HTTP/1.1\r\n" + host + "\r\n"},
        {QStringLiteral("HTTP, token (GET /api/supplies)"), http,
         "GET /api/supplies HTTP/1.1\r\n" + host + "Authorization: Bearer " + kToken + "\r\n\r\n"},
        {QStringLiteral("SCPI (MEAS:VOLT?)"), scpi, "MEAS:VOLT?\n"},
        {QStringLiteral("Modbus TCP (read 6 registers)"), modbus, modbusReads()},
    };
    std::printf("one client, %d requests a write, never reading, %lld s a face; line: "
                "vantel-sim's 9600-baud timing, 1 supply\n",
                kPerWrite, static_cast<long long>(span.count()));
    std::printf("%-32s %8s %8s %8s %8s %8s  %-14s %9s %5s\n", "face", "before", "peak", "end",
                "after", "change", "aim", "sent", "conns");
    bool met = true;
    QList<Result> results;
    for (const Flood &what : floods) {
        const Result r = flood(pid, errors, what, span);
        const double change = mb(r.peak - r.before);
        met = met && change <= kAimMB && !r.gaveUp;
        std::printf("%-32s %6.1fMB %6.1fMB %6.1fMB %6.1fMB %+6.1fMB  %-14s %7.1fMB %5d\n",
                    qPrintable(what.name), mb(r.before), mb(r.peak), mb(r.end), mb(r.after), change,
                    change <= kAimMB && !r.gaveUp ? "<= 10 MB: met" : "<= 10 MB: MISSED", r.sentMB,
                    r.connections);
        if (r.gaveUp) {
            std::printf("  stopped early: the server passed %ld MB\n", kGiveUpKiB / 1024);
        }
        results.append(r);
    }
    std::printf("\nat the end of each flood, the system's queues of the server's connections:\n");
    for (qsizetype i = 0; i < floods.size(); ++i) {
        std::printf("%-32s unread requests %7.1f KiB, unsent answers %7.1f KiB\n",
                    qPrintable(floods[i].name), results[i].queues.unread / 1024.0,
                    results[i].queues.unsent / 1024.0);
    }
    // A flood that makes a line each time shows here: the count, and the first
    // and last of each face's lines.
    std::printf("\nthe server's lines meanwhile:\n");
    for (qsizetype i = 0; i < floods.size(); ++i) {
        const QStringList &said = results[i].said;
        std::printf("%-32s %lld lines\n", qPrintable(floods[i].name),
                    static_cast<long long>(said.size()));
        for (qsizetype k = 0; k < said.size(); ++k) {
            if (k < 2 || k == said.size() - 1) {
                std::printf("    %s\n", qPrintable(said[k]));
            } else if (k == 2) {
                std::printf("    ...\n");
            }
        }
    }
    std::printf("\nthe aim (each flood moves the server's memory by at most %.0f MB): %s\n", kAimMB,
                met ? "met" : "MISSED");
    serve.terminate();
    serve.waitForFinished(10000);
    return 0;
}
