// serve --http's figures on the simulator's timed line with four supplies: the
// line's readings a second with no page and with 20 event streams open, the
// server's CPU time per reading per stream, and its resident memory over 10,000
// requests. Figures, not checks: the targets are printed beside them.
//   http-bench VANTELCTL [SECONDS]
#include "servestart.h"
#include "support/httpclient.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <memory>

using testsupport::HttpConnection;
using testsupport::httpRequest;

namespace {

using bench::kToken;
using bench::rssKiB;

// CPU time of every thread of process `pid`, in ms, from the scheduler's counters.
double cpuMs(qint64 pid)
{
    double total = 0;
    const QDir tasks(QStringLiteral("/proc/%1/task").arg(pid));
    for (const QString &task : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile f(tasks.filePath(task + QStringLiteral("/schedstat")));
        if (f.open(QIODevice::ReadOnly)) {
            total += f.readAll().split(' ').value(0).toDouble() / 1e6;
        }
    }
    return total;
}

QList<QByteArray> headers(quint16 port)
{
    return {"Host: 127.0.0.1:" + QByteArray::number(port), "Authorization: Bearer " + kToken};
}

// Rows in the record so far (the header is not one).
long recordRows(quint16 port)
{
    HttpConnection c(port);
    c.send(httpRequest("GET", "/api/record.csv", headers(port)));
    return long(c.next(30000).body.count('\n')) - 1;
}

struct Phase {
    double seconds = 0;
    long readings = 0;
    double cpu = 0;
    long events = 0;
};

Phase measure(qint64 pid, quint16 port, int streams, int seconds)
{
    std::vector<std::unique_ptr<HttpConnection>> open;
    for (int i = 0; i < streams; ++i) {
        open.push_back(std::make_unique<HttpConnection>(port));
        open.back()->send(httpRequest("GET", "/api/events", headers(port)));
    }
    QTest::qWait(2000); // the streams are open and greeted
    for (auto &c : open) {
        c->socket().readAll();
    }
    Phase phase;
    const long rows = recordRows(port);
    const double cpu = cpuMs(pid);
    QElapsedTimer clock;
    clock.start();
    QTest::qWait(seconds * 1000);
    phase.cpu = cpuMs(pid) - cpu;
    phase.seconds = clock.elapsed() / 1000.0;
    phase.readings = recordRows(port) - rows;
    for (auto &c : open) {
        phase.events += c->socket().readAll().count("event: reading\n");
    }
    return phase;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: http-bench VANTELCTL [SECONDS [SUPPLIES]]\n");
        return 2;
    }
    const int seconds = argc > 2 ? QByteArray(argv[2]).toInt() : 20;
    const int supplies = argc > 3 ? std::clamp(QByteArray(argv[3]).toInt(), 1, 32) : 4;
    const QString addresses = QStringLiteral("1-%1").arg(supplies);
    const QRegularExpression openAt(QStringLiteral("open http://127\\.0\\.0\\.1:(\\d+)/"));
    bench::ServeRun run;
    if (!run.start(argv[1],
                   {QStringLiteral("--port"), QStringLiteral("1"), QStringLiteral("--address"),
                    addresses, QStringLiteral("--output"), QStringLiteral("on")},
                   {QStringLiteral("--port"), QStringLiteral("COM1"), QStringLiteral("--addresses"),
                    addresses, QStringLiteral("serve"), QStringLiteral("--listen"),
                    QStringLiteral("none"), QStringLiteral("--http"),
                    QStringLiteral("127.0.0.1:0")},
                   openAt)) {
        return 1;
    }
    QProcess &serve = run.serve;
    const QRegularExpressionMatch open = openAt.match(run.err);
    const quint16 port = open.captured(1).toUShort();
    const qint64 pid = serve.processId();
    QTest::qWait(1000);

    std::printf("line: vantel-sim's 9600-baud timing, %d supplies, outputs on\n", supplies);
    const Phase bare = measure(pid, port, 0, seconds);
    const Phase loaded = measure(pid, port, 20, seconds);
    const double rateBare = bare.readings / bare.seconds;
    const double rateLoaded = loaded.readings / loaded.seconds;
    std::printf("readings a second, no page:        %.1f\n", rateBare);
    std::printf(
        "readings a second, 20 streams:     %.1f (%.1f %% of the line's; target >= 95 %%)\n",
        rateLoaded, 100.0 * rateLoaded / rateBare);
    std::printf("events received by the 20 streams: %ld (%ld readings x 20 = %ld)\n", loaded.events,
                loaded.readings, loaded.readings * 20);
    const double perReading = bare.readings ? bare.cpu / bare.readings : 0;
    const double perStream =
        loaded.readings ? (loaded.cpu / loaded.readings - perReading) / 20.0 : 0;
    std::printf("server CPU a reading, no page:     %.3f ms\n", perReading);
    std::printf("server CPU a reading per stream:   %.4f ms (target <= 0.2 ms)\n", perStream);

    // Memory over 10,000 requests: reads, refusals and bad input, on fresh and
    // kept-alive connections.
    const auto requests = [port](int count) {
        std::unique_ptr<HttpConnection> c;
        for (int i = 0; i < count; ++i) {
            if (i % 50 == 0) {
                c = std::make_unique<HttpConnection>(port);
            }
            switch (i % 4) {
            case 0:
                c->send(httpRequest("GET", "/api/supplies", headers(port)));
                break;
            case 1:
                c->send(httpRequest("POST", "/api/supplies/2/set", headers(port), "{\"v\": 70}"));
                break;
            case 2:
                c->send(httpRequest("GET", "/api/supplies", {"Host: 127.0.0.1"}));
                break;
            default:
                c->send(httpRequest("GET", "/", headers(port)));
                break;
            }
            c->next();
        }
    };
    requests(1000);
    const long before = rssKiB(pid);
    QElapsedTimer clock;
    clock.start();
    requests(10000);
    const double elapsed = clock.elapsed() / 1000.0;
    const long after = rssKiB(pid);
    std::printf("resident memory after 1,000 requests:  %ld KiB\n", before);
    std::printf("resident memory after 11,000 requests: %ld KiB (%+ld KiB; %.0f requests a "
                "second)\n",
                after, after - before, 10000 / elapsed);
    serve.terminate();
    serve.waitForFinished(10000);
    return 0;
}
