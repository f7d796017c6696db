// End to end: several vantelctl programs on one port of the simulator at once.
// A log opens it first and owns it; the others join it: a read and a set, a
// SCPI server, a second log. When the owner is killed (SIGKILL) the second log
// takes the line over and goes on.
#include "engine/client.h"
#include "line/enginecommcontrol.h"
#include "line/linehost.h"
#include "line/sharedport.h"
#include "protocol/frames.h"
#include "support/ctlrig.h"

#include <QDir>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

#include <atomic>
#include <chrono>
#include <csignal>
#include <memory>
#include <thread>
#include <utility>

namespace {

using testsupport::CtlResult;
using testsupport::waitForErr;

constexpr int kAddress = 5;
constexpr int kWaitMs = 20000;
constexpr int kColumns = 13; // a CSV row of a log

QStringList fileLines(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    return QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

// The rows after the header; each must be whole. How many have an error, and
// which errors.
struct Rows {
    qsizetype count = 0;
    QStringList errors;
    QString text;
};

Rows readRows(const QString &path)
{
    Rows rows;
    const QStringList lines = fileLines(path).mid(1);
    rows.count = lines.size();
    rows.text = lines.join(QLatin1Char('\n'));
    for (const QString &line : lines) {
        const QStringList cells = line.split(QLatin1Char(','));
        if (cells.size() != kColumns) {
            rows.errors << QStringLiteral("cut: ") + line;
        } else if (!cells[12].isEmpty()) {
            rows.errors << cells[12];
        }
    }
    return rows;
}

// The longest the event loop went without turning: a timer that ticks every few
// milliseconds, and the longest gap between two ticks. A step of the test's own
// that blocks on purpose (starting a process) is left out with rest().
class LoopMeter {
public:
    LoopMeter()
    {
        m_timer.setInterval(kTickMs);
        QObject::connect(&m_timer, &QTimer::timeout,
                         [this] { m_longest = std::max(m_longest, m_since.restart()); });
        m_since.start();
        m_timer.start();
    }
    void rest() { m_since.restart(); }
    // The longest stall since the last call.
    qint64 takeLongest() { return std::exchange(m_longest, 0); }

    static constexpr int kTickMs = 5;

private:
    QTimer m_timer;
    QElapsedTimer m_since;
    qint64 m_longest = 0;
};

// The same measure on a bare loop of a thread of its own that only wakes every
// few milliseconds: how long the machine's scheduler alone keeps a loop from
// turning, taken over the same span as the window's.
class BareLoopMeter {
public:
    BareLoopMeter()
        : m_thread([this] {
              QElapsedTimer since;
              since.start();
              while (!m_stop.load()) {
                  std::this_thread::sleep_for(std::chrono::milliseconds(LoopMeter::kTickMs));
                  const qint64 gap = since.restart();
                  qint64 longest = m_longest.load();
                  while (gap > longest && !m_longest.compare_exchange_weak(longest, gap)) {
                  }
              }
          })
    {
    }
    ~BareLoopMeter()
    {
        m_stop = true;
        m_thread.join();
    }
    BareLoopMeter(const BareLoopMeter &) = delete;
    BareLoopMeter &operator=(const BareLoopMeter &) = delete;
    // The longest stall since the last call.
    qint64 takeLongest() { return m_longest.exchange(0); }

private:
    std::atomic<bool> m_stop{false};
    std::atomic<qint64> m_longest{0};
    std::thread m_thread; // last: it starts once the rest is there
};

// A window's polls, as its timer sends them: a status read every 350 ms, its
// reply taken when it comes.
class Poller {
public:
    explicit Poller(serial::CommControl &comm) : m_comm(comm)
    {
        const protocol::Frame request = protocol::buildReadStatusRequest(kAddress);
        const QByteArray bytes(reinterpret_cast<const char *>(request.data()),
                               qsizetype(request.size()));
        QObject::connect(&comm, &serial::CommControl::OnComm, &m_timer, [this] {
            m_comm.Input();
            ++m_replies;
        });
        QObject::connect(&m_timer, &QTimer::timeout, [this, bytes] {
            if (m_comm.PortOpen()) {
                m_comm.setOutput(bytes);
            }
        });
        m_timer.start(350);
    }
    int replies() const { return m_replies; }

private:
    serial::CommControl &m_comm;
    QTimer m_timer;
    int m_replies = 0;
};

} // namespace

class TestE2eShared : public QObject {
    Q_OBJECT
private slots:
    void cleanup();
    void programsShareOnePort_data();
    void programsShareOnePort();
    void handoverCostsOnlyTime_data();
    void handoverCostsOnlyTime();
    void windowControlJoinsALog();
    void windowCloseAnswersItsJoiner();
    void stalledOwnerIsNamed_data();
    void stalledOwnerIsNamed();
    void oneShotThatGaveUpLeavesNothing_data();
    void oneShotThatGaveUpLeavesNothing();
    void windowLoopNeverStalls_data();
    void windowLoopNeverStalls();
    void plantedLineIsNeverJoined_data();
    void plantedLineIsNeverJoined();

private:
    QStringList common() const
    {
        return {QStringLiteral("--port"), QStringLiteral("COM1"), QStringLiteral("--address"),
                QString::number(kAddress)};
    }
    QProcess *startLog(const QString &file, const QString &duration);
    void readAndSet();
    void serveJoins();
    void ownerKilled(QProcess &owner);

    std::unique_ptr<testsupport::CtlRig> m_rig;
    std::vector<std::unique_ptr<QProcess>> m_processes;
};

void TestE2eShared::cleanup()
{
    testsupport::killAll(m_processes);
    m_rig.reset();
}

QProcess *TestE2eShared::startLog(const QString &file, const QString &duration)
{
    m_processes.push_back(std::make_unique<QProcess>());
    QProcess *log = m_processes.back().get();
    if (!m_rig->start(*log,
                      common() + QStringList{QStringLiteral("log"), QStringLiteral("--interval"),
                                             QStringLiteral("200"), QStringLiteral("--duration"),
                                             duration, QStringLiteral("--output"), file})) {
        return nullptr;
    }
    return log;
}

void TestE2eShared::programsShareOnePort_data()
{
    QTest::addColumn<QString>("joiner");
    QTest::addColumn<QString>("line");
    for (const char *line : {"timed", "instant"}) {
        for (const char *joiner : {"read and set", "serve", "owner killed"}) {
            QTest::addRow("%s, %s", joiner, line)
                << QString::fromUtf8(joiner) << QString::fromUtf8(line);
        }
    }
}

void TestE2eShared::programsShareOnePort()
{
    QFETCH(QString, joiner);
    QFETCH(QString, line);
    m_rig = std::make_unique<testsupport::CtlRig>(QStringLiteral(VANTELCTL_PATH));
    QVERIFY(m_rig->startSim(
        {QStringLiteral("--address"), QString::number(kAddress), QStringLiteral("--line"), line}));
    const QString ownerFile = m_rig->path(QStringLiteral("owner.csv"));
    QProcess *owner = startLog(ownerFile, QStringLiteral("6s"));
    QVERIFY(owner);
    // The owner has opened the port once its first row is there.
    QTRY_VERIFY_WITH_TIMEOUT(fileLines(ownerFile).size() >= 3, kWaitMs);

    if (joiner == QLatin1String("read and set")) {
        readAndSet();
    } else if (joiner == QLatin1String("serve")) {
        serveJoins();
    } else {
        ownerKilled(*owner);
        return;
    }
    if (QTest::currentTestFailed()) {
        return;
    }
    const CtlResult ended = testsupport::CtlRig::finish(*owner, kWaitMs);
    QCOMPARE(ended.code, 0);
    const Rows rows = readRows(ownerFile);
    // 6 s at 200 ms, every one read while the others joined.
    QVERIFY2(rows.count >= 25, qPrintable(rows.text));
    QVERIFY2(rows.errors.isEmpty(), qPrintable(rows.errors.join(QLatin1Char(' '))));
}

void TestE2eShared::readAndSet()
{
    // The log owns COM1: the port list says another program of ours may join it.
    const CtlResult ports = m_rig->run({QStringLiteral("ports")});
    QCOMPARE(ports.code, 0);
    QVERIFY2(
        QRegularExpression(QStringLiteral("^COM1 .* shared"), QRegularExpression::MultilineOption)
            .match(ports.out)
            .hasMatch(),
        qPrintable(ports.out + ports.err));
    const CtlResult before = m_rig->run(common() + QStringList{QStringLiteral("read")});
    QCOMPARE(before.code, 0);
    QVERIFY2(before.out.contains(QStringLiteral("(set 5.00 V")), qPrintable(before.out));
    const CtlResult set =
        m_rig->run(common() + QStringList{QStringLiteral("set"), QStringLiteral("--voltage"),
                                          QStringLiteral("9")});
    QCOMPARE(set.code, 0);
    QVERIFY2(set.out.contains(QStringLiteral("sent 9.00 V")), qPrintable(set.out + set.err));
    const CtlResult after =
        m_rig->run(common() + QStringList{QStringLiteral("read"), QStringLiteral("--json")});
    QCOMPARE(after.code, 0);
    QVERIFY2(after.out.contains(QStringLiteral("\"set_v\":9")), qPrintable(after.out));
}

void TestE2eShared::serveJoins()
{
    QProcess server;
    QVERIFY(m_rig->start(server,
                         common() + QStringList{QStringLiteral("serve"), QStringLiteral("--listen"),
                                                QStringLiteral("127.0.0.1:0")}));
    QString err;
    const auto listening =
        waitForErr(server, err, QRegularExpression(QStringLiteral("listening on [\\d.]+:(\\d+)")));
    QVERIFY2(listening.hasMatch(), qPrintable(err));
    QTcpSocket socket;
    socket.connectToHost(QStringLiteral("127.0.0.1"), listening.captured(1).toUShort());
    QVERIFY(socket.waitForConnected(5000));
    socket.write("VOLT 8.25;VOLT?\nMEAS:CURR?\n");
    QString answers;
    QDeadlineTimer deadline(kWaitMs);
    while (answers.count(QLatin1Char('\n')) < 2 && !deadline.hasExpired() &&
           socket.state() == QAbstractSocket::ConnectedState) {
        socket.waitForReadyRead(100);
        answers += QString::fromUtf8(socket.readAll());
    }
    ::kill(static_cast<pid_t>(server.processId()), SIGINT);
    const CtlResult ended = testsupport::CtlRig::finish(server);
    QCOMPARE(ended.code, 0);
    QVERIFY2(
        QRegularExpression(QStringLiteral("^8\\.25\\n\\d+\\.\\d+\\n$")).match(answers).hasMatch(),
        qPrintable(answers + err + ended.err));
}

void TestE2eShared::ownerKilled(QProcess &owner)
{
    const QString file = m_rig->path(QStringLiteral("second.csv"));
    QProcess *second = startLog(file, QStringLiteral("4s"));
    QVERIFY(second);
    QTRY_VERIFY_WITH_TIMEOUT(fileLines(file).size() >= 6, kWaitMs);
    ::kill(static_cast<pid_t>(owner.processId()), SIGKILL);
    const CtlResult ended = testsupport::CtlRig::finish(*second, kWaitMs);
    QCOMPARE(ended.code, 0);
    const Rows rows = readRows(file);
    const QString all = rows.text + QStringLiteral("\n") + ended.err;
    // 4 s at 200 ms: 20 slots; the handover costs one at most, said as `port`.
    QVERIFY2(rows.count >= 19, qPrintable(all));
    QVERIFY2(rows.errors.isEmpty() || rows.errors == QStringList{QStringLiteral("port")},
             qPrintable(all));
    // The killed owner's rows are whole up to its end.
    const Rows ownerRows = readRows(m_rig->path(QStringLiteral("owner.csv")));
    QVERIFY2(ownerRows.errors.isEmpty(), qPrintable(ownerRows.text));
}

void TestE2eShared::handoverCostsOnlyTime_data()
{
    QTest::addColumn<int>("signal");
    QTest::addColumn<QString>("line");
    for (const char *line : {"timed", "instant"}) {
        for (const auto &[name, signal] :
             {std::pair{"SIGINT", SIGINT}, std::pair{"SIGTERM", SIGTERM},
              std::pair{"SIGKILL", SIGKILL}}) {
            QTest::addRow("%s, %s", name, line) << signal << QString::fromUtf8(line);
        }
    }
}

// The owner of the line ends while a run and a log have joined it: the run
// completes and leaves the output off, the log goes on, each losing only time.
void TestE2eShared::handoverCostsOnlyTime()
{
    QFETCH(int, signal);
    QFETCH(QString, line);
    m_rig = std::make_unique<testsupport::CtlRig>(QStringLiteral(VANTELCTL_PATH));
    QVERIFY(m_rig->startSim(
        {QStringLiteral("--address"), QString::number(kAddress), QStringLiteral("--line"), line}));
    const QString ownerFile = m_rig->path(QStringLiteral("owner.csv"));
    QProcess *owner = startLog(ownerFile, QStringLiteral("60s"));
    QVERIFY(owner);
    QTRY_VERIFY_WITH_TIMEOUT(fileLines(ownerFile).size() >= 3, kWaitMs);

    // Writes back to back once the output is on, each confirmed by a read, so
    // that one of the run's requests is on the owner's line or in its queue
    // when the owner ends.
    const int repeats = 20;
    QFile sequence(m_rig->path(QStringLiteral("seq.txt")));
    QVERIFY(sequence.open(QIODevice::WriteOnly));
    sequence.write(QStringLiteral("set 6V 1A\noutput on\nrepeat %1\nset 5V 1A\nset 6V 1A\nend\n"
                                  "output off\nhold 1s\n")
                       .arg(repeats)
                       .toUtf8());
    sequence.close();
    const QString logFile = m_rig->path(QStringLiteral("joined.csv"));
    QProcess *log = startLog(logFile, QStringLiteral("5s"));
    QVERIFY(log);
    QTRY_VERIFY_WITH_TIMEOUT(fileLines(logFile).size() >= 3, kWaitMs);
    const QString runFile = m_rig->path(QStringLiteral("run.csv"));
    m_processes.push_back(std::make_unique<QProcess>());
    QProcess *run = m_processes.back().get();
    QVERIFY(m_rig->start(*run, common() + QStringList{QStringLiteral("run"), sequence.fileName(),
                                                      QStringLiteral("--output"), runFile}));
    QTRY_VERIFY_WITH_TIMEOUT(
        m_rig->sim().command(QStringLiteral("status")).contains(QStringLiteral("output=on")),
        kWaitMs);
    // How long the scheduler alone keeps a loop from turning, from here on.
    BareLoopMeter bare;
    ::kill(static_cast<pid_t>(owner->processId()), signal);

    const CtlResult ran = testsupport::CtlRig::finish(*run, kWaitMs);
    const QString runText =
        fileLines(runFile).join(QLatin1Char('\n')) + QStringLiteral("\n") + ran.err;
    QVERIFY2(ran.code == 0, qPrintable(runText));
    QVERIFY2(!ran.err.contains(QStringLiteral("no replies")), qPrintable(runText));
    // The supply's own word: the run left its output off.
    const QString status = m_rig->sim().command(QStringLiteral("status"));
    QVERIFY2(status.contains(QStringLiteral("output=off")), qPrintable(status));

    const CtlResult logged = testsupport::CtlRig::finish(*log, kWaitMs);
    const Rows rows = readRows(logFile);
    const QString logText = rows.text + QStringLiteral("\n") + logged.err;
    QVERIFY2(logged.code == 0, qPrintable(logText));
    // 5 s at 200 ms: 25 slots, with room for the handover's wait.
    QVERIFY2(rows.count >= 20, qPrintable(logText));
    QVERIFY2(rows.errors.isEmpty() || rows.errors == QStringList{QStringLiteral("port")},
             qPrintable(logText));
    // A round that waited for the handover is not called slow. A round that a
    // busy machine, or the run's writes queued at the owner as it ends, made
    // longer than the interval may still be said so: only a round as long as a
    // handover's wait for a quiet line (half a second), beyond the longest stall
    // of a bare loop beside it, counts against it.
    static const QRegularExpression slow(QStringLiteral("a round over .* took (\\d+) ms"));
    const QRegularExpressionMatch said = slow.match(logged.err);
    const qint64 stall = bare.takeLongest();
    QVERIFY2(!said.hasMatch() || said.captured(1).toInt() < 500 + stall,
             qPrintable(logged.err + QStringLiteral(" (a bare loop stalled %1 ms)").arg(stall)));
}

// The windows' control over the engine joins a log as any program does: its
// status read comes back as the supply's reply bytes; when the log ends, the
// control takes the line over and reads on.
void TestE2eShared::windowControlJoinsALog()
{
    m_rig = std::make_unique<testsupport::CtlRig>(QStringLiteral(VANTELCTL_PATH));
    QVERIFY(m_rig->startSim({QStringLiteral("--address"), QString::number(kAddress),
                             QStringLiteral("--line"), QStringLiteral("instant")}));
    qputenv("VANTEL_PORT_DIR", m_rig->dir().toLocal8Bit());
    const QString file = m_rig->path(QStringLiteral("owner.csv"));
    QProcess *owner = startLog(file, QStringLiteral("2s"));
    QVERIFY(owner);
    QTRY_VERIFY_WITH_TIMEOUT(fileLines(file).size() >= 2, kWaitMs);

    const std::unique_ptr<line::EngineCommControl> comm = line::makeEngineCommControl();
    auto *shared = comm->findChild<line::SharedPort *>();
    QVERIFY(shared);
    comm->setCommPort(1);
    comm->setRThreshold(protocol::kStatusReplySize);
    comm->setPortOpen(true);
    QCOMPARE(shared->role(), line::SharedPort::Role::Joiner);
    const protocol::Frame request = protocol::buildReadStatusRequest(kAddress);
    const auto readOnce = [&] {
        QSignalSpy received(comm.get(), &serial::CommControl::OnComm);
        comm->setOutput(
            QByteArray(reinterpret_cast<const char *>(request.data()), qsizetype(request.size())));
        return received.wait(kWaitMs) ? comm->Input() : QByteArray();
    };
    QByteArray reply = readOnce();
    QCOMPARE(reply.size(), qsizetype(protocol::kStatusReplySize));
    QCOMPARE(quint8(reply[0]), quint8(kAddress));

    QCOMPARE(testsupport::CtlRig::finish(*owner, kWaitMs).code, 0);
    QTRY_COMPARE_WITH_TIMEOUT(shared->role(), line::SharedPort::Role::Owner, kWaitMs);
    reply = readOnce();
    QCOMPARE(reply.size(), qsizetype(protocol::kStatusReplySize));
    comm->setPortOpen(false);
}

// A window that owns the line and closes its port while another window's write
// waits for the supply's reply answers it before it hands the line over: the
// close returns at once, the joiner's write is answered before any handover.
void TestE2eShared::windowCloseAnswersItsJoiner()
{
    m_rig = std::make_unique<testsupport::CtlRig>(QStringLiteral(VANTELCTL_PATH));
    // A slow supply: the write is on the line long after the close.
    QVERIFY(m_rig->startSim({QStringLiteral("--address"), QString::number(kAddress),
                             QStringLiteral("--line"), QStringLiteral("timed"),
                             QStringLiteral("--latency"), QStringLiteral("300")}));
    qputenv("VANTEL_PORT_DIR", m_rig->dir().toLocal8Bit());
    const auto window = [] {
        std::unique_ptr<line::EngineCommControl> comm = line::makeEngineCommControl();
        comm->setCommPort(1);
        comm->setRThreshold(8);
        comm->setPortOpen(true);
        return comm;
    };
    const std::unique_ptr<line::EngineCommControl> owner = window();
    const std::unique_ptr<line::EngineCommControl> joiner = window();
    // Timeouts far beyond the supply's 300 ms, so that a busy machine's delays
    // never turn the answer into a timeout; the owner's finish is bounded by its own.
    owner->client().setTimeout(std::chrono::milliseconds(3000));
    joiner->client().setTimeout(std::chrono::milliseconds(3000));
    auto *host = owner->findChild<line::LineHost *>();
    auto *joined = joiner->findChild<line::SharedPort *>();
    QVERIFY(host && joined);
    QCOMPARE(joined->role(), line::SharedPort::Role::Joiner);

    const int handovers = joiner->client().handovers();
    int handoversAtReply = -1;
    engine::Error error = engine::Error::Timeout;
    connect(joiner.get(), &line::EngineCommControl::replied, this, [&](const engine::Reply &reply) {
        handoversAtReply = joiner->client().handovers();
        error = reply.error();
    });
    QSignalSpy released(owner.get(), &line::EngineCommControl::released);
    const protocol::Frame off = protocol::buildSwitchOutputRequest(kAddress, false);
    joiner->setOutput(
        QByteArray(reinterpret_cast<const char *>(off.data()), qsizetype(off.size())));
    // Looked at after each short turn of the loop: the write is relayed for the
    // supply's 300 ms.
    QElapsedTimer waited;
    waited.start();
    while (!host->relaying() && waited.elapsed() < kWaitMs) {
        QTest::qWait(1);
    }
    QVERIFY(host->relaying());
    owner->setPortOpen(false);
    QVERIFY(!owner->PortOpen());
    QVERIFY(owner->releasing());
    QCOMPARE(handoversAtReply, -1);

    QTRY_COMPARE_WITH_TIMEOUT(handoversAtReply, handovers, kWaitMs);
    QCOMPARE(error, engine::Error::None);
    QTRY_COMPARE_WITH_TIMEOUT(released.size(), 1, kWaitMs);
    QTRY_COMPARE_WITH_TIMEOUT(joined->role(), line::SharedPort::Role::Owner, kWaitMs);
    joiner->setPortOpen(false);
}

void TestE2eShared::stalledOwnerIsNamed_data()
{
    QTest::addColumn<QString>("line");
    QTest::newRow("timed") << QStringLiteral("timed");
    QTest::newRow("instant") << QStringLiteral("instant");
}

// An owner of ours that is stopped takes a joiner's connection and answers
// nothing: the joiner says so, naming it, and does not call it another program.
void TestE2eShared::stalledOwnerIsNamed()
{
    QFETCH(QString, line);
    m_rig = std::make_unique<testsupport::CtlRig>(QStringLiteral(VANTELCTL_PATH));
    QVERIFY(m_rig->startSim(
        {QStringLiteral("--address"), QString::number(kAddress), QStringLiteral("--line"), line}));
    const QString file = m_rig->path(QStringLiteral("owner.csv"));
    QProcess *owner = startLog(file, QStringLiteral("30s"));
    QVERIFY(owner);
    QTRY_VERIFY_WITH_TIMEOUT(fileLines(file).size() >= 2, kWaitMs);
    const auto pid = static_cast<pid_t>(owner->processId());
    ::kill(pid, SIGSTOP);
    const CtlResult read = m_rig->run(common() + QStringList{QStringLiteral("read")});
    ::kill(pid, SIGCONT);
    QCOMPARE(read.code, 1);
    QVERIFY2(
        read.err.contains(
            QStringLiteral("the program of ours that owns COM1 (pid %1) does not answer").arg(pid)),
        qPrintable(read.err));
    QVERIFY2(!read.err.contains(QStringLiteral("another program")), qPrintable(read.err));
}

void TestE2eShared::oneShotThatGaveUpLeavesNothing_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<QStringList>("command");
    for (const char *line : {"timed", "instant"}) {
        QTest::addRow("set, %s", line)
            << QString::fromUtf8(line)
            << QStringList{QStringLiteral("set"), QStringLiteral("--voltage"), QStringLiteral("9")};
        QTest::addRow("output on, %s", line)
            << QString::fromUtf8(line)
            << QStringList{QStringLiteral("output"), QStringLiteral("on")};
    }
}

// A joined one-shot command whose owner is stopped gives up and exits; when the
// owner goes on, nothing of what the command asked reaches the supply.
void TestE2eShared::oneShotThatGaveUpLeavesNothing()
{
    QFETCH(QString, line);
    QFETCH(QStringList, command);
    m_rig = std::make_unique<testsupport::CtlRig>(QStringLiteral(VANTELCTL_PATH));
    QVERIFY(m_rig->startSim(
        {QStringLiteral("--address"), QString::number(kAddress), QStringLiteral("--line"), line}));
    const QString file = m_rig->path(QStringLiteral("owner.csv"));
    QProcess *owner = startLog(file, QStringLiteral("30s"));
    QVERIFY(owner);
    QTRY_VERIFY_WITH_TIMEOUT(fileLines(file).size() >= 2, kWaitMs);
    const auto pid = static_cast<pid_t>(owner->processId());
    ::kill(pid, SIGSTOP);
    const CtlResult gaveUp = m_rig->run(common() + command);
    ::kill(pid, SIGCONT);
    QVERIFY2(gaveUp.code != 0, qPrintable(gaveUp.out + gaveUp.err));
    // The owner goes on: its log has rows again, read after what it took in.
    const qsizetype rows = fileLines(file).size();
    QTRY_VERIFY_WITH_TIMEOUT(fileLines(file).size() >= rows + 3, kWaitMs);
    const CtlResult after =
        m_rig->run(common() + QStringList{QStringLiteral("read"), QStringLiteral("--json")});
    QCOMPARE(after.code, 0);
    QVERIFY2(after.out.contains(QStringLiteral("\"set_v\":5")), qPrintable(after.out));
    QVERIFY2(after.out.contains(QStringLiteral("\"output\":false")), qPrintable(after.out));
}

void TestE2eShared::windowLoopNeverStalls_data()
{
    QTest::addColumn<QString>("line");
    QTest::newRow("timed") << QStringLiteral("timed");
    QTest::newRow("instant") << QStringLiteral("instant");
}

// A window's event loop keeps turning while its line's owner is stopped, killed
// and handed over, while it searches the ports, and while a network line's
// gateway takes the connection and never answers. Each stall is compared with a
// bare loop's, measured beside it: a loop that turns stalls a few milliseconds
// more than the scheduler makes a bare one stall, whatever the machine's load; a
// wait inside the window's loop (a second's, or a connect's) stands out.
void TestE2eShared::windowLoopNeverStalls()
{
    QFETCH(QString, line);
    // The window's own work between two turns, and a bare loop's stall counted
    // twice for a loop that wakes more often and has more to do when it does.
    constexpr qint64 kOwnWorkMs = 100;
    constexpr qint64 kSchedulerFactor = 2;
    m_rig = std::make_unique<testsupport::CtlRig>(QStringLiteral(VANTELCTL_PATH));
    QVERIFY(m_rig->startSim(
        {QStringLiteral("--address"), QString::number(kAddress), QStringLiteral("--line"), line}));
    qputenv("VANTEL_PORT_DIR", m_rig->dir().toLocal8Bit());
    const QString file = m_rig->path(QStringLiteral("owner.csv"));
    QProcess *owner = startLog(file, QStringLiteral("30s"));
    QVERIFY(owner);
    QTRY_VERIFY_WITH_TIMEOUT(fileLines(file).size() >= 2, kWaitMs);

    const std::unique_ptr<line::EngineCommControl> comm = line::makeEngineCommControl();
    auto *shared = comm->findChild<line::SharedPort *>();
    QVERIFY(shared);
    comm->setCommPort(1);
    comm->setRThreshold(protocol::kStatusReplySize);
    LoopMeter meter;
    BareLoopMeter bare;
    QStringList stalls;
    const auto note = [&](const char *what) {
        const qint64 longest = meter.takeLongest();
        const qint64 reference = bare.takeLongest();
        if (longest >= kOwnWorkMs + kSchedulerFactor * reference) {
            stalls << QStringLiteral("%1: %2 ms (a bare loop: %3 ms)")
                          .arg(QLatin1String(what))
                          .arg(longest)
                          .arg(reference);
        }
    };
    comm->setPortOpen(true);
    QCOMPARE(shared->role(), line::SharedPort::Role::Joiner);
    Poller poller(*comm);
    QTRY_VERIFY_WITH_TIMEOUT(poller.replies() >= 2, kWaitMs);
    note("joined");

    // The owner stopped: polls go unanswered, another window joins it, and a
    // port search looks at the port.
    ::kill(static_cast<pid_t>(owner->processId()), SIGSTOP);
    QTest::qWait(1500);
    {
        const std::unique_ptr<line::EngineCommControl> other = line::makeEngineCommControl();
        other->setCommPort(1);
        try {
            other->setPortOpen(true);
            other->setPortOpen(false);
        } catch (const serial::CommError &) {
            // Whether it opens does not matter here; that it does not wait does.
        }
        QCOMPARE(other->probePort(1), 0);
    }
    QTest::qWait(1000);
    note("owner stopped");

    // Killed while stopped: the window takes the line over.
    ::kill(static_cast<pid_t>(owner->processId()), SIGKILL);
    QTRY_COMPARE_WITH_TIMEOUT(shared->role(), line::SharedPort::Role::Owner, kWaitMs);
    const int before = poller.replies();
    QTRY_VERIFY_WITH_TIMEOUT(poller.replies() >= before + 2, kWaitMs);
    note("owner killed");

    // Handed over both ways: a log joins the window, the window closes and opens
    // again (the log owns the line then), and the log ends.
    const QString second = m_rig->path(QStringLiteral("second.csv"));
    QProcess *log = startLog(second, QStringLiteral("30s"));
    QVERIFY(log);
    meter.rest();
    QTRY_VERIFY_WITH_TIMEOUT(fileLines(second).size() >= 3, kWaitMs);
    comm->setPortOpen(false);
    QTRY_VERIFY_WITH_TIMEOUT(fileLines(second).size() >= 6, kWaitMs);
    comm->setPortOpen(true);
    ::kill(static_cast<pid_t>(log->processId()), SIGINT);
    QTRY_COMPARE_WITH_TIMEOUT(shared->role(), line::SharedPort::Role::Owner, kWaitMs);
    const int after = poller.replies();
    QTRY_VERIFY_WITH_TIMEOUT(poller.replies() >= after + 2, kWaitMs);
    note("handed over");
    comm->setPortOpen(false);

    // A gateway that takes the connection and never answers.
    QTcpServer gateway;
    QVERIFY(gateway.listen(QHostAddress::LocalHost));
    const std::unique_ptr<line::EngineCommControl> net = line::makeEngineCommControl();
    const QString target = QStringLiteral("tcp://localhost:%1").arg(gateway.serverPort());
    net->setNetworkTargets([target](int n) { return n == 9 ? target : QString(); });
    net->setRThreshold(protocol::kStatusReplySize);
    QCOMPARE(net->probePort(9), 0);
    net->setCommPort(9);
    net->setPortOpen(true);
    QTRY_VERIFY_WITH_TIMEOUT(net->PortOpen(), kWaitMs);
    Poller silent(*net);
    QTest::qWait(2500);
    QCOMPARE(silent.replies(), 0);
    net->setPortOpen(false);
    note("silent gateway");

    // A host whose name is never answered: the open says so within its bound.
    net->setNetworkTargets(
        [](int n) { return n == 9 ? QStringLiteral("tcp://unanswered.invalid:502") : QString(); });
    net->setHostLookup([](const QString &, QObject *, auto) {});
    QSignalSpy ended(net.get(), &serial::CommControl::openEnded);
    QCOMPARE(net->probePort(9), 0);
    net->setPortOpen(true);
    QVERIFY(net->PortOpening());
    QTRY_COMPARE_WITH_TIMEOUT(ended.size(), 1, kWaitMs);
    QCOMPARE(ended.first().first().toInt(), serial::kErrPortNotFound);
    QVERIFY(!net->PortOpen());
    note("host never found");
    QVERIFY2(stalls.isEmpty(), qPrintable(stalls.join(QStringLiteral("; "))));
}

void TestE2eShared::plantedLineIsNeverJoined_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<bool>("held");
    for (const char *line : {"timed", "instant"}) {
        QTest::addRow("%s, port free", line) << QString::fromUtf8(line) << false;
        QTest::addRow("%s, port held", line) << QString::fromUtf8(line) << true;
    }
}

// A socket listening where the line's socket would be, in a folder others may
// write to, takes no request of ours: a free port is opened, and a held one is
// exit 3 with the folder named.
void TestE2eShared::plantedLineIsNeverJoined()
{
    QFETCH(QString, line);
    QFETCH(bool, held);
    const QByteArray savedTemp = qgetenv("TMPDIR");
    const auto restore = qScopeGuard([&] {
        if (savedTemp.isNull()) {
            qunsetenv("TMPDIR");
        } else {
            qputenv("TMPDIR", savedTemp);
        }
    });
    m_rig = std::make_unique<testsupport::CtlRig>(QStringLiteral(VANTELCTL_PATH));
    QVERIFY(m_rig->startSim(
        {QStringLiteral("--address"), QString::number(kAddress), QStringLiteral("--line"), line}));
    const QString temp = m_rig->path(QStringLiteral("temp"));
    QVERIFY(QDir().mkdir(temp));
    qputenv("TMPDIR", temp.toLocal8Bit());
    const QString name = line::lineSocketName(m_rig->path(QStringLiteral("COM1")));
    const QString folder = line::lineFolderOf(name);
    if (!folder.startsWith(temp)) {
        QSKIP("the line's folder is the user's session's, not the test's own");
    }
    if (held) {
        // A program whose line is in a temporary folder that this one does not
        // look in: to the one under test, its line is not to be found.
        const QString elsewhere = m_rig->path(QStringLiteral("elsewhere"));
        QVERIFY(QDir().mkdir(elsewhere));
        qputenv("TMPDIR", elsewhere.toLocal8Bit());
        const QString file = m_rig->path(QStringLiteral("holder.csv"));
        QVERIFY(startLog(file, QStringLiteral("30s")));
        QTRY_VERIFY_WITH_TIMEOUT(fileLines(file).size() >= 2, kWaitMs);
        qputenv("TMPDIR", temp.toLocal8Bit());
    }
    QVERIFY(QDir().mkdir(folder));
    QVERIFY(QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                              QFile::ReadOther | QFile::WriteOther |
                                              QFile::ExeOther));
    QLocalServer planted;
    QVERIFY(planted.listen(name));

    const CtlResult read = m_rig->run(common() + QStringList{QStringLiteral("read")});
    if (held) {
        QCOMPARE(read.code, 3);
        QVERIFY2(read.err.contains(folder + QStringLiteral(" has mode 0707")),
                 qPrintable(read.err));
    } else {
        QVERIFY2(read.code == 0, qPrintable(read.err));
    }
    QTest::qWait(50);
    QVERIFY(!planted.hasPendingConnections());
}

QTEST_GUILESS_MAIN(TestE2eShared)
#include "tst_e2e_shared.moc"
