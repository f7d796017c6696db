// Figures for the supply client on vantel-sim's timed line (9600 baud, latency
// 10 ms), printed as a table; no pass or fail.
//
//   - CPU time per reading of a 350 ms poll through the client, against mbpoll
//     polling a second simulator at the same period, side by side;
//   - wake-ups per reading: how often the serial port's notifier woke the client;
//   - the round trip of a status read against the line's floor;
//   - a bus of 20 supplies read back to back, against the line's floor;
//   - resident memory at the start and the end of the poll.
//
// Usage: client-bench [SECONDS]   (length of the side-by-side poll, default 60)

#include "engine/client.h"
#include "serial/qtcommcontrol.h"
#include "support/simprocess.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEvent>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QSerialPort>
#include <QSocketNotifier>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <memory>

namespace {

constexpr int kPollMs = 350;
constexpr int kLatencyMs = 10;
constexpr int kBusSeconds = 10;

// CPU time of every thread of process `pid` ("self" for this one), in ms.
double cpuMs(const QString &pid)
{
    double total = 0;
    const QDir tasks(QStringLiteral("/proc/%1/task").arg(pid));
    for (const QString &task : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile f(tasks.filePath(task + "/schedstat"));
        if (f.open(QIODevice::ReadOnly)) {
            total += f.readAll().split(' ').value(0).toDouble() / 1e6;
        }
    }
    return total;
}

// Counts the serial port's notifier events: each is one wake-up for bytes.
class CountingApplication : public QCoreApplication {
public:
    using QCoreApplication::QCoreApplication;
    QObject *serialPort = nullptr;
    long wakeUps = 0;

    bool notify(QObject *receiver, QEvent *event) override
    {
        if (event->type() == QEvent::SockAct && serialPort != nullptr &&
            receiver->parent() == serialPort) {
            const auto *notifier = qobject_cast<QSocketNotifier *>(receiver);
            wakeUps += notifier != nullptr && notifier->type() == QSocketNotifier::Read ? 1 : 0;
        }
        return QCoreApplication::notify(receiver, event);
    }
};

void wait(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

// A simulator on COMn whose trace goes to dir/sim-COMn.txt.
bool startSim(testsupport::SimProcess &sim, const QString &dir, int port, const QString &addresses)
{
    sim.setOutputFile(QStringLiteral("%1/sim-COM%2.txt").arg(dir).arg(port));
    sim.forwardErrors();
    return sim.start({"--port", QString::number(port), "--address", addresses, "--latency",
                      QString::number(kLatencyMs), "--output", "on", "--no-stdin", "--trace"},
                     5000);
}

// The status reads a simulator has answered so far, from its trace.
long answeredReads(const QString &dir, int port)
{
    QFile trace(QStringLiteral("%1/sim-COM%2.txt").arg(dir).arg(port));
    if (!trace.open(QIODevice::ReadOnly)) {
        return 0;
    }
    long count = 0;
    while (!trace.atEnd()) {
        const QByteArray line = trace.readLine();
        count += line.contains(" tx ") && line.contains(" 03 0C ") ? 1 : 0;
    }
    return count;
}

// Sends one read of `address` and returns once it is answered.
engine::Error readOnce(engine::Client &client, std::uint8_t address)
{
    engine::Reply *reply = client.readStatus(address);
    QEventLoop loop;
    QObject::connect(reply, &engine::Reply::finished, &loop, &QEventLoop::quit);
    loop.exec();
    const engine::Error error = reply->error();
    delete reply;
    return error;
}

void row(const char *figure, const QString &client, const QString &other = {})
{
    std::printf("| %-38s | %-30s | %-34s |\n", figure, qPrintable(client), qPrintable(other));
}

} // namespace

// The poll alone in a process of its own, as vantelctl would run it (no child
// processes in its event loop): `client-bench --poll COMn SECONDS` prints
// "readings failures cpu_ms wakes rss0_kb rss1_kb median_ms p99_ms".
int pollChild(CountingApplication &app, int port, int seconds)
{
    serial::QtCommControl comm;
    comm.setCommPort(port);
    comm.setPortOpen(true);
    app.serialPort = comm.findChild<QSerialPort *>();
    engine::Client client(comm);
    client.setStartQuiet(std::chrono::milliseconds(20));
    client.start();
    long readings = 0;
    long failures = 0;
    QTimer poll;
    poll.setTimerType(Qt::PreciseTimer);
    QObject::connect(&poll, &QTimer::timeout, [&] {
        // The callback form, as the engine's readings take it.
        client.readStatus(1, [&](const engine::Reply &reply) {
            ++readings;
            failures += reply.error() == engine::Error::None ? 0 : 1;
        });
    });
    poll.start(kPollMs);
    wait(2000); // settles
    const long rss0 = testsupport::residentKb();
    const double cpu0 = cpuMs("self");
    const long readings0 = readings;
    const long failures0 = failures;
    const long wakes0 = app.wakeUps;
    wait(seconds * 1000);
    const double cpu = cpuMs("self") - cpu0;
    const engine::LinkStats &stats = client.stats();
    std::printf("%ld %ld %.3f %ld %ld %ld %.2f %.2f\n", readings - readings0, failures - failures0,
                cpu, app.wakeUps - wakes0, rss0, testsupport::residentKb(), stats.medianMs,
                stats.p99Ms);
    return 0;
}

int main(int argc, char *argv[])
{
    CountingApplication app(argc, argv);
    if (argc > 3 && qstrcmp(argv[1], "--poll") == 0) {
        return pollChild(app, QByteArray(argv[2]).mid(3).toInt(), QByteArray(argv[3]).toInt());
    }
    const int seconds = argc > 1 ? std::max(10, QByteArray(argv[1]).toInt()) : 60;
    QTemporaryDir dir;
    qputenv("VANTEL_PORT_DIR", QFile::encodeName(dir.path()));
    const double charMs = engine::kCharMs;
    const double floorMs = engine::kStatusFloorMs + kLatencyMs;

    testsupport::SimProcess sim(dir.path());
    testsupport::SimProcess bus(dir.path());
    testsupport::SimProcess simMbpoll(dir.path());
    if (!startSim(sim, dir.path(), 1, "1") || !startSim(bus, dir.path(), 2, "1-20") ||
        !startSim(simMbpoll, dir.path(), 3, "1")) {
        std::fprintf(stderr, "client-bench: a simulator did not start\n");
        return 1;
    }
    std::printf("client-bench: vantel-sim's timed line, 9600 baud, latency %d ms; %d s poll\n\n",
                kLatencyMs, seconds);
    row("figure", "client", "beside");
    std::printf("|%s|%s|%s|\n", QByteArray(40, '-').constData(), QByteArray(32, '-').constData(),
                QByteArray(36, '-').constData());

    // The poll beside mbpoll, each in its own process, over the same seconds.
    QProcess child;
    child.start(QCoreApplication::applicationFilePath(),
                {"--poll", "COM1", QString::number(seconds)});
    QProcess mbpoll;
    mbpoll.setStandardOutputFile(QProcess::nullDevice());
    mbpoll.setStandardErrorFile(QProcess::nullDevice());
    mbpoll.start(QStringLiteral("mbpoll"),
                 {"-m", "rtu", "-a", "1", "-b", "9600", "-P", "none", "-t", "4", "-0", "-r", "4096",
                  "-c", "6", "-l", QString::number(kPollMs), dir.path() + "/COM3"});
    const bool haveMbpoll = mbpoll.waitForStarted();
    const QString mbpollPid = QString::number(mbpoll.processId());
    wait(2000); // both settle
    const double cpuM0 = haveMbpoll ? cpuMs(mbpollPid) : 0;
    const long polls0 = answeredReads(dir.path(), 3);
    wait(seconds * 1000);
    const double cpuM = haveMbpoll ? cpuMs(mbpollPid) - cpuM0 : 0;
    const long polls = answeredReads(dir.path(), 3) - polls0;
    mbpoll.terminate();
    mbpoll.waitForFinished(3000);
    child.waitForFinished(10000);
    const QList<QByteArray> figures = child.readAllStandardOutput().simplified().split(' ');
    if (figures.size() < 8) {
        std::fprintf(stderr, "client-bench: the poll gave no figures\n");
        return 1;
    }
    const long n = figures[0].toLong();
    const double perReading = n > 0 ? figures[2].toDouble() / double(n) : 0;
    const double perPoll = polls > 0 ? cpuM / double(polls) : 0;
    row("CPU time per reading, 350 ms poll",
        QStringLiteral("%1 ms (%2 readings, %3 failed)")
            .arg(perReading, 0, 'f', 3)
            .arg(n)
            .arg(figures[1].toLong()),
        haveMbpoll ? QStringLiteral("mbpoll %1 ms (%2 polls), ratio %3")
                         .arg(perPoll, 0, 'f', 3)
                         .arg(polls)
                         .arg(perPoll > 0 ? perReading / perPoll : 0, 0, 'f', 2)
                   : QStringLiteral("mbpoll did not start"));
    row("serial wake-ups per reading",
        QString::number(n > 0 ? figures[3].toDouble() / double(n) : 0, 'f', 2),
        QStringLiteral("a status reply is 17 bytes"));
    row("round trip, median / p99",
        QStringLiteral("%1 / %2 ms").arg(QString(figures[6]), QString(figures[7])),
        QStringLiteral("floor %1 ms (26.0 on the wire + %2)")
            .arg(floorMs, 0, 'f', 1)
            .arg(kLatencyMs));
    row("resident memory, start / end of poll",
        QStringLiteral("%1 / %2 MB")
            .arg(figures[4].toDouble() / 1024.0, 0, 'f', 1)
            .arg(figures[5].toDouble() / 1024.0, 0, 'f', 1));

    // A bus of 20 read back to back.
    serial::QtCommControl comm;
    comm.setCommPort(2);
    comm.setPortOpen(true);
    engine::Client busClient(comm);
    busClient.setStartQuiet(std::chrono::milliseconds(20));
    busClient.start();
    long busReadings = 0;
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < kBusSeconds * 1000) {
        for (std::uint8_t address = 1; address <= 20; ++address) {
            busReadings += readOnce(busClient, address) == engine::Error::None ? 1 : 0;
        }
    }
    const double perSecond = double(busReadings) * 1000.0 / double(clock.elapsed());
    const double busFloor = 1000.0 / (floorMs + 3.5 * charMs);
    row("bus of 20, readings/s",
        QStringLiteral("%1 (%2 % of floor)")
            .arg(perSecond, 0, 'f', 1)
            .arg(100 * perSecond / busFloor, 0, 'f', 0),
        QStringLiteral("floor %1 (26.0 + 3.65 + %2 ms a reading)")
            .arg(busFloor, 0, 'f', 1)
            .arg(kLatencyMs));
    return 0;
}
