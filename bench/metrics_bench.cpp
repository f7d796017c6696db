// The cost of a scrape of serve --http's /metrics with 32 supplies, beside a
// request for /api/supplies in the same run: the server's CPU time per request
// (from its scheduler counters, less what the server spends meanwhile on the
// line, measured between the phases), and the text's making alone in this
// process. Figures, not checks: the aim is printed beside them.
//   metrics-bench VANTELCTL [REQUESTS]
#include "servestart.h"
#include "support/httpclient.h"
#include "web/metrics.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonObject>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <vector>

using testsupport::HttpConnection;
using testsupport::httpRequest;

namespace {

constexpr int kSupplies = 32;

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

double threadCpuMs()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

struct Server {
    qint64 pid = 0;
    quint16 port = 0;
    QList<QByteArray> headers() const
    {
        return {"Host: 127.0.0.1:" + QByteArray::number(port),
                "Authorization: Bearer " + bench::kToken};
    }
};

// The server's CPU per request of `path`, `count` of them on one connection,
// less its CPU over as long a time without requests.
double cpuPerRequest(const Server &server, const QByteArray &path, int count, qint64 &bytes)
{
    const double idleStart = cpuMs(server.pid);
    QElapsedTimer idle;
    idle.start();
    QTest::qWait(1000);
    const double idleRate = (cpuMs(server.pid) - idleStart) / idle.elapsed();

    HttpConnection c(server.port);
    const double start = cpuMs(server.pid);
    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < count; ++i) {
        c.send(httpRequest("GET", path, server.headers()));
        bytes = c.next(30000).body.size();
    }
    const double spent = cpuMs(server.pid) - start - idleRate * clock.elapsed();
    return spent / count;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: metrics-bench VANTELCTL [REQUESTS]\n");
        return 2;
    }
    const int count = argc > 2 ? QByteArray(argv[2]).toInt() : 500;

    // The text alone, in this process: 32 supplies with a reading each.
    web::Metrics metrics({QStringLiteral("bench-3"), QStringLiteral("/dev/ttyUSB0"), [] {
                              engine::LinkStats stats;
                              stats.roundTrips = 1000;
                              stats.medianMs = 32;
                              stats.p99Ms = 40;
                              stats.maxMs = 45;
                              return stats;
                          }});
    for (int address = 1; address <= kSupplies; ++address) {
        metrics.take({{QStringLiteral("address"), address},
                      {QStringLiteral("set_v"), 12.0},
                      {QStringLiteral("set_a"), 1.5},
                      {QStringLiteral("v"), 11.98},
                      {QStringLiteral("a"), 0.731},
                      {QStringLiteral("w"), 8.76},
                      {QStringLiteral("output"), true},
                      {QStringLiteral("mode"), QStringLiteral("CV")},
                      {QStringLiteral("ah"), 0.125},
                      {QStringLiteral("wh"), 1.5}});
    }
    qint64 textBytes = 0;
    const double textStart = threadCpuMs();
    for (int i = 0; i < 1000; ++i) {
        textBytes += metrics.text().size();
    }
    const double perText = (threadCpuMs() - textStart) / 1000;

    const QRegularExpression openAt(QStringLiteral("open http://127\\.0\\.0\\.1:(\\d+)/"));
    const QString addresses = QStringLiteral("1-%1").arg(kSupplies);
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
    Server server{run.serve.processId(), openAt.match(run.err).captured(1).toUShort()};

    // Every supply read once, so that a scrape carries all 32.
    QElapsedTimer waited;
    waited.start();
    for (;;) {
        HttpConnection c(server.port);
        c.send(httpRequest("GET", "/metrics", server.headers()));
        if (c.next(30000).body.count("vantel_voltage_volts{") == kSupplies) {
            break;
        }
        if (waited.elapsed() > 120000) {
            std::fprintf(stderr, "not every supply was read within 120 s\n");
            return 1;
        }
        QTest::qWait(500);
    }

    std::vector<double> scrape;
    std::vector<double> supplies;
    qint64 scrapeBytes = 0;
    qint64 suppliesBytes = 0;
    for (int round = 0; round < 3; ++round) {
        scrape.push_back(cpuPerRequest(server, "/metrics", count, scrapeBytes));
        supplies.push_back(cpuPerRequest(server, "/api/supplies", count, suppliesBytes));
    }
    std::printf("supplies: %d on vantel-sim's 9600-baud timing; %d requests a phase, 3 phases "
                "each (median)\n",
                kSupplies, count);
    std::printf("server CPU a scrape of /metrics:     %.3f ms (%lld bytes; aim <= 1 ms)\n",
                median(scrape), scrapeBytes);
    std::printf("server CPU a GET of /api/supplies:   %.3f ms (%lld bytes; the reference)\n",
                median(supplies), suppliesBytes);
    std::printf("the text alone, in this process:     %.3f ms (%lld bytes)\n", perText,
                textBytes / 1000);
    run.serve.terminate();
    run.serve.waitForFinished(10000);
    return 0;
}
