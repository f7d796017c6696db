// Commands over MQTT: `log --mqtt-control` and `serve --mqtt --mqtt-control` on
// vantel-sim's timed line with a private mosquitto. Prints (1) a command's way from
// the broker's delivery to its confirmed result, for a log and for a server side by
// side, beside the line's round trip, and (2) 20 benches on one broker
// (20 logs on 20 simulators with control): readings delivered against the rows
// the logs wrote, and every command's result time against 200 ms.
// Arguments: VANTELCTL [SECONDS of the 20-bench phase, default 20].

#include "support/broker.h"
#include "support/simprocess.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>

#include <mosquitto.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// Every message on vantel/#, with its arrival time.
class Watcher {
public:
    explicit Watcher(int port)
    {
        mosquitto_lib_init();
        m_mosq = mosquitto_new(nullptr, true, this);
        mosquitto_message_callback_set(m_mosq,
                                       [](mosquitto *, void *self, const mosquitto_message *m) {
                                           auto *w = static_cast<Watcher *>(self);
                                           const std::lock_guard<std::mutex> lock(w->m_mutex);
                                           w->m_arrivals[m->topic].push_back(Clock::now());
                                       });
        mosquitto_connect(m_mosq, "127.0.0.1", port, 30);
        mosquitto_subscribe(m_mosq, nullptr, "vantel/#", 1);
        mosquitto_loop_start(m_mosq);
    }
    ~Watcher()
    {
        mosquitto_disconnect(m_mosq);
        mosquitto_loop_stop(m_mosq, false);
        mosquitto_destroy(m_mosq);
    }
    void publish(const QString &topic, const QByteArray &payload)
    {
        const QByteArray name = topic.toUtf8();
        mosquitto_publish(m_mosq, nullptr, name.constData(), int(payload.size()),
                          payload.constData(), 1, false);
    }
    std::vector<Clock::time_point> arrivals(const QString &topic)
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        return m_arrivals[topic.toStdString()];
    }

private:
    mosquitto *m_mosq = nullptr;
    std::mutex m_mutex;
    std::map<std::string, std::vector<Clock::time_point>> m_arrivals;
};

void spin(int ms)
{
    const auto until = Clock::now() + std::chrono::milliseconds(ms);
    while (Clock::now() < until) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QThread::msleep(2);
    }
}

bool waitFor(const std::function<bool()> &done, int ms)
{
    const auto until = Clock::now() + std::chrono::milliseconds(ms);
    while (!done()) {
        if (Clock::now() > until) {
            return false;
        }
        spin(5);
    }
    return true;
}

struct Bench {
    std::unique_ptr<testsupport::SimProcess> sim;
    QProcess log;
    QString prefix;
    QString rows;
    QString err;
};

double ms(Clock::duration d)
{
    return std::chrono::duration<double, std::milli>(d).count();
}

double percentile(std::vector<double> values, double p)
{
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, std::size_t(p * double(values.size())))];
}

class Lab {
public:
    Lab(QString vantelctl, const testsupport::Broker &broker)
        : m_vantelctl(std::move(vantelctl)), m_broker(broker)
    {
    }

    // A bench: a log with control, or with `serve` a `serve --mqtt --mqtt-control`.
    Bench *add(int n, bool serve = false)
    {
        auto bench = std::make_unique<Bench>();
        const QString dir = m_dir.filePath(QString::number(n));
        QDir().mkpath(dir);
        bench->sim = std::make_unique<testsupport::SimProcess>(dir);
        if (!bench->sim->start({"--port", "1", "--output", "on", "--latency", "10"})) {
            return nullptr;
        }
        bench->prefix = QStringLiteral("vantel/b%1/COM1").arg(n);
        bench->rows = dir + QStringLiteral("/rows.jsonl");
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("VANTEL_PORT_DIR"), dir);
        bench->log.setProcessEnvironment(env);
        if (serve) {
            bench->log.start(m_vantelctl,
                             {"--port", "COM1", "serve", "--listen", "none", "--mqtt",
                              m_broker.url(), "--mqtt-topic", bench->prefix, "--mqtt-control"});
        } else {
            bench->log.start(m_vantelctl, {"log", "--port", "COM1", "--format", "jsonl", "--output",
                                           bench->rows, "--mqtt", m_broker.url(), "--mqtt-topic",
                                           bench->prefix, "--mqtt-control"});
        }
        m_benches.push_back(std::move(bench));
        return m_benches.back().get();
    }

    bool listening(Bench &bench)
    {
        return waitFor(
            [&] {
                bench.err += QString::fromUtf8(bench.log.readAllStandardError());
                return bench.err.contains(QStringLiteral("taking commands"));
            },
            30000);
    }

    // Ends every log; their stderr.
    void stop()
    {
        for (auto &bench : m_benches) {
            bench->log.terminate();
        }
        for (auto &bench : m_benches) {
            bench->log.waitForFinished(20000);
            bench->err += QString::fromUtf8(bench->log.readAllStandardError());
        }
    }

    std::vector<std::unique_ptr<Bench>> &benches() { return m_benches; }

private:
    QString m_vantelctl;
    const testsupport::Broker &m_broker;
    QTemporaryDir m_dir;
    std::vector<std::unique_ptr<Bench>> m_benches;
};

int fileLines(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return 0;
    }
    return int(file.readAll().count('\n'));
}

double medianRoundTrip(const QString &err)
{
    static const QRegularExpression median(QStringLiteral("round trip: median ([\\d.]+) ms"));
    return median.match(err).captured(1).toDouble();
}

// One bench's commands: delivery to result, and the line's round trip.
struct OneBench {
    bool started = false;
    int count = 0;
    double median = 0;
    double p99 = 0;
    double trip = 0;
};

// 40 set values at times that fall on every phase of the poll, to a log or a server.
OneBench oneBench(const QString &vantelctl, const testsupport::Broker &broker, bool serve)
{
    OneBench figures;
    Watcher watcher(broker.port());
    Lab lab(vantelctl, broker);
    Bench *bench = lab.add(0, serve);
    if (!bench || !lab.listening(*bench)) {
        return figures;
    }
    figures.started = true;
    const QString command = bench->prefix + QStringLiteral("/1/set/v");
    const QString result = bench->prefix + QStringLiteral("/1/result");
    for (int i = 0; i < 40; ++i) {
        watcher.publish(command, i % 2 ? "5.00" : "5.01");
        waitFor([&] { return int(watcher.arrivals(result).size()) > i; }, 5000);
        spin(250 + (i * 37) % 200);
    }
    const auto delivered = watcher.arrivals(command);
    const auto answered = watcher.arrivals(result);
    std::vector<double> toResult;
    for (std::size_t i = 0; i < std::min(delivered.size(), answered.size()); ++i) {
        toResult.push_back(ms(answered[i] - delivered[i]));
    }
    lab.stop();
    figures.count = int(toResult.size());
    figures.trip = medianRoundTrip(bench->err);
    figures.median = percentile(toResult, 0.5);
    figures.p99 = percentile(toResult, 0.99);
    return figures;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: mqtt-bench VANTELCTL [SECONDS]\n");
        return 2;
    }
    const QString vantelctl = QString::fromLocal8Bit(argv[1]);
    const int seconds = argc > 2 ? std::atoi(argv[2]) : 20;
    testsupport::Broker broker;
    if (!testsupport::Broker::available() || !broker.start()) {
        std::fprintf(stderr, "mosquitto is not installed or did not start\n");
        return 1;
    }

    // (1) One bench, a log and then a server: 40 set values each.
    const OneBench log = oneBench(vantelctl, broker, false);
    const OneBench serve = oneBench(vantelctl, broker, true);
    if (!log.started || !serve.started) {
        std::fprintf(stderr, "the %s did not start\n", log.started ? "server" : "log");
        return 1;
    }
    for (const auto &[name, figures] : {std::pair{"log", &log}, std::pair{"serve", &serve}}) {
        std::printf("command (%s): delivery to confirmed result, %d commands: median %.1f ms, "
                    "p99 %.1f ms\n",
                    name, figures->count, figures->median, figures->p99);
    }
    std::printf("command: line round trip, median: log %.1f ms, serve %.1f ms; a result takes "
                "the write and its read-back, two round trips, behind at most one reading in "
                "flight\n",
                log.trip, serve.trip);
    for (const auto &[name, figures] : {std::pair{"log", &log}, std::pair{"serve", &serve}}) {
        std::printf("command (%s): on the supply (result less the read-back's round trip): "
                    "median %.1f ms, p99 %.1f ms; aim: one round trip + 20 ms = %.1f ms\n",
                    name, figures->median - figures->trip, figures->p99 - figures->trip,
                    figures->trip + 20);
    }

    // (2) 20 benches on one broker, a command to each in turn.
    {
        Watcher watcher(broker.port());
        Lab lab(vantelctl, broker);
        for (int n = 1; n <= 20; ++n) {
            if (!lab.add(n)) {
                std::fprintf(stderr, "simulator %d did not start\n", n);
                return 1;
            }
        }
        for (auto &bench : lab.benches()) {
            if (!lab.listening(*bench)) {
                std::fprintf(stderr, "log %s did not start\n", qPrintable(bench->prefix));
                return 1;
            }
        }
        const auto end = Clock::now() + std::chrono::seconds(seconds);
        int sent = 0;
        while (Clock::now() < end) {
            for (auto &bench : lab.benches()) {
                watcher.publish(bench->prefix + QStringLiteral("/1/set/v"),
                                sent % 2 ? "5.00" : "5.01");
                spin(1000 / 20);
            }
            ++sent;
        }
        spin(1000);
        lab.stop();
        spin(500);
        long rows = 0;
        long readings = 0;
        std::vector<double> toResult;
        int missing = 0;
        for (auto &bench : lab.benches()) {
            rows += fileLines(bench->rows);
            readings += long(watcher.arrivals(bench->prefix + QStringLiteral("/1/reading")).size());
            const auto delivered = watcher.arrivals(bench->prefix + QStringLiteral("/1/set/v"));
            const auto answered = watcher.arrivals(bench->prefix + QStringLiteral("/1/result"));
            missing += int(delivered.size()) - int(answered.size());
            for (std::size_t i = 0; i < std::min(delivered.size(), answered.size()); ++i) {
                toResult.push_back(ms(answered[i] - delivered[i]));
            }
        }
        const long within =
            std::count_if(toResult.begin(), toResult.end(), [](double t) { return t <= 200; });
        std::printf("20 benches, %d s: %ld readings delivered of %ld rows written\n", seconds,
                    readings, rows);
        std::printf("20 benches: %zu results (%d missing): median %.1f ms, p99 %.1f ms, max %.1f "
                    "ms; %ld within 200 ms\n",
                    toResult.size(), missing, percentile(toResult, 0.5), percentile(toResult, 0.99),
                    percentile(toResult, 1.0), within);
    }
    return 0;
}
