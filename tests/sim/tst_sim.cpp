// End to end: vantel-sim on a pseudo-terminal, driven by an independent master
// (plain POSIX I/O with the programs' own frame builders, and mbpoll).

#include "protocol/crc16.h"
#include "protocol/frames.h"
#include "serial/portnames.h"
#include "support/simprocess.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

using protocol::Frame;
using testsupport::SimProcess;

namespace {

constexpr int kWaitMs = 3000; // upper bound for anything that is due to happen
constexpr int kQuietMs = 300; // how long "no reply" is watched for

QByteArray bytes(const Frame &frame)
{
    return QByteArray(reinterpret_cast<const char *>(frame.data()), int(frame.size()));
}

const QByteArray kWorkedReply = QByteArray::fromHex("01030C04D205DC04D001F400010001E92B");
const QStringList kWorkedOptions{"--voltage",        "12.34", "--current",        "1.5",
                                 "--actual-voltage", "12.32", "--actual-current", "0.5",
                                 "--output",         "on"};

// The master end: opens the port like a program would (raw, 9600 8N1).
class Master {
public:
    explicit Master(const QString &path, speed_t speed = B9600)
    {
        m_fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        termios tio{};
        if (m_fd >= 0 && ::tcgetattr(m_fd, &tio) == 0) {
            ::cfmakeraw(&tio);
            ::cfsetspeed(&tio, speed);
            ::tcsetattr(m_fd, TCSANOW, &tio);
        }
    }
    ~Master()
    {
        if (m_fd >= 0) {
            ::close(m_fd);
        }
    }
    bool isOpen() const { return m_fd >= 0; }
    void send(const QByteArray &data)
    {
        QCOMPARE(::write(m_fd, data.constData(), data.size()), data.size());
    }
    void send(const Frame &frame) { send(bytes(frame)); }

    // Reads until `count` bytes came or `ms` passed; `reads` counts the reads
    // that returned data.
    QByteArray read(int count, int ms, int *reads = nullptr)
    {
        QByteArray data;
        QElapsedTimer timer;
        timer.start();
        while (data.size() < count && timer.elapsed() < ms) {
            pollfd fd{m_fd, POLLIN, 0};
            if (::poll(&fd, 1, int(std::max<qint64>(1, ms - timer.elapsed()))) <= 0) {
                continue;
            }
            char chunk[256];
            const ssize_t n = ::read(m_fd, chunk, sizeof chunk);
            if (n > 0) {
                data.append(chunk, int(n));
                if (reads) {
                    ++*reads;
                }
            }
        }
        return data;
    }
    QByteArray quiet() { return read(1, kQuietMs); }
    QByteArray ask(const Frame &request, int replySize)
    {
        send(request);
        return read(replySize, kWaitMs);
    }

private:
    int m_fd = -1;
};

Frame withCrc(Frame frame)
{
    const auto crc = protocol::CRC16(frame);
    frame.push_back(crc[1]);
    frame.push_back(crc[0]);
    return frame;
}

// The status word `index` of a good reply from `address`, or -1.
int statusWord(const QByteArray &reply, std::uint8_t address, int index)
{
    const auto *data = reinterpret_cast<const std::uint8_t *>(reply.constData());
    if (protocol::checkStatusReply(data, std::size_t(reply.size()), address) !=
        protocol::StatusCheck::Ok) {
        return -1;
    }
    return protocol::statusWord(data, std::size_t(reply.size()), index).value_or(-1);
}

} // namespace

class TestSim : public QObject {
    Q_OBJECT

private slots:
    void init() { QVERIFY(m_dir.isValid()); }

    void workedStatusReply();
    void loadModel_data();
    void loadModel();
    void writesAndExceptions_data();
    void writesAndExceptions();
    void addressChangeAndBroadcast();
    void addressLists_data();
    void addressLists();
    void severalSupplies();
    void batteryTapers();
    void mbpollReadsAndWrites();
    void lineTiming_data();
    void lineTiming();
    void faults_data();
    void faults();
    void controlFifoAndTrace();
    void junkAndSplitRequests();
    void reopenAndSerialLayerPath();
    void linkOwnership();
    void exitsRemoveTheLink_data();
    void exitsRemoveTheLink();
    void refusedOptions_data();
    void refusedOptions();
    void refusedCommands();

private:
    QTemporaryDir m_dir;
};

void TestSim::workedStatusReply()
{
    SimProcess sim(m_dir.path());
    QVERIFY(sim.start(kWorkedOptions));
    Master master(sim.link());
    QVERIFY(master.isOpen());
    const QByteArray reply = master.ask(protocol::buildReadStatusRequest(1), 17);
    QCOMPARE(reply.toHex(' '), kWorkedReply.toHex(' '));
    QCOMPARE(statusWord(reply, 1, 2), 1232);
    QCOMPARE(master.quiet(), QByteArray());
}

void TestSim::loadModel_data()
{
    QTest::addColumn<QStringList>("settings"); // "set" commands: voltage current load output
    QTest::addColumn<QList<int>>("expected");  // actual V, actual I, output state, mode

    QTest::newRow("off gives nothing")
        << QStringList{"12", "1", "10", "off"} << QList<int>{0, 0, 0, 1};
    QTest::newRow("cv") << QStringList{"12.34", "1.5", "10", "on"} << QList<int>{1234, 1234, 1, 1};
    QTest::newRow("cv at the limit")
        << QStringList{"10", "1", "10", "on"} << QList<int>{1000, 1000, 1, 1};
    QTest::newRow("cc") << QStringList{"30", "1", "10", "on"} << QList<int>{1000, 1000, 1, 0};
    QTest::newRow("cc rounds") << QStringList{"12", "0.333", "1.5", "on"}
                               << QList<int>{50, 333, 1, 0};
    QTest::newRow("cv rounds") << QStringList{"1", "1", "3", "on"} << QList<int>{100, 333, 1, 1};
    QTest::newRow("open load") << QStringList{"5", "1", "open", "on"} << QList<int>{500, 0, 1, 1};
    QTest::newRow("full scale") << QStringList{"62", "3.2", "10", "on"}
                                << QList<int>{3200, 3200, 1, 0};
    QTest::newRow("battery cv") << QStringList{"12.6", "1", "battery:12,1", "on"}
                                << QList<int>{1260, 600, 1, 1};
    QTest::newRow("battery cc") << QStringList{"12.6", "1", "battery:10,1", "on"}
                                << QList<int>{1100, 1000, 1, 0};
    QTest::newRow("battery above set")
        << QStringList{"12", "1", "battery:13,0.5,200", "on"} << QList<int>{1300, 0, 1, 1};
    QTest::newRow("battery off") << QStringList{"12.6", "1", "battery:12,1", "off"}
                                 << QList<int>{0, 0, 0, 1};
    // The supply measures no more than its full scale.
    QTest::newRow("battery above full scale")
        << QStringList{"12", "1", "battery:100,1", "on"} << QList<int>{6200, 0, 1, 1};
}

void TestSim::loadModel()
{
    QFETCH(QStringList, settings);
    QFETCH(QList<int>, expected);
    SimProcess sim(m_dir.path());
    QVERIFY(sim.start({}));
    const char *names[] = {"voltage", "current", "load", "output"};
    for (int i = 0; i < 4; ++i) {
        QCOMPARE(sim.command(QString("set %1 %2").arg(names[i], settings[i])), QString("ok"));
    }
    Master master(sim.link());
    const QByteArray reply = master.ask(protocol::buildReadStatusRequest(1), 17);
    QList<int> actual;
    for (int word = 2; word < 6; ++word) {
        actual << statusWord(reply, 1, word);
    }
    QCOMPARE(actual, expected);
}

void TestSim::writesAndExceptions_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<int>("exception"); // 0: the reply is the echo
    QTest::addColumn<int>("word");      // status word to look at afterwards
    QTest::addColumn<int>("value");

    QTest::newRow("set voltage") << bytes(protocol::buildSetVoltageRequest(1, 1234)) << 0 << 0
                                 << 1234;
    QTest::newRow("set current") << bytes(protocol::buildSetCurrentRequest(1, 3200)) << 0 << 1
                                 << 3200;
    QTest::newRow("output on") << bytes(protocol::buildSwitchOutputRequest(1, true)) << 0 << 4 << 1;
    QTest::newRow("voltage too high")
        << bytes(protocol::buildSetVoltageRequest(1, 6201)) << 3 << 0 << 500;
    QTest::newRow("current too high")
        << bytes(protocol::buildSetCurrentRequest(1, 3201)) << 3 << 1 << 1000;
    QTest::newRow("switch value 2")
        << bytes(protocol::buildRequest(1, 6, 0x1006, 2)) << 3 << 4 << 0;
    QTest::newRow("address 0") << bytes(protocol::buildSetAddressRequest(1, 0)) << 3 << 0 << 500;
    QTest::newRow("read-only register")
        << bytes(protocol::buildRequest(1, 6, 0x1002, 1)) << 2 << 2 << 0;
    QTest::newRow("unknown register")
        << bytes(protocol::buildRequest(1, 3, 0x2000, 1)) << 2 << 0 << 500;
    QTest::newRow("past the map") << bytes(protocol::buildRequest(1, 3, 0x1008, 2)) << 2 << 0
                                  << 500;
    QTest::newRow("unknown function")
        << bytes(protocol::buildRequest(1, 4, 0x1000, 1)) << 1 << 0 << 500;
}

void TestSim::writesAndExceptions()
{
    QFETCH(QByteArray, request);
    QFETCH(int, exception);
    QFETCH(int, word);
    QFETCH(int, value);
    SimProcess sim(m_dir.path());
    QVERIFY(sim.start({}));
    Master master(sim.link());
    master.send(request);
    if (exception == 0) {
        QCOMPARE(master.read(8, kWaitMs).toHex(' '), request.toHex(' '));
    } else {
        const Frame expected =
            withCrc({1, std::uint8_t(request[1] | 0x80), std::uint8_t(exception)});
        QCOMPARE(master.read(5, kWaitMs).toHex(' '), bytes(expected).toHex(' '));
    }
    QCOMPARE(statusWord(master.ask(protocol::buildReadStatusRequest(1), 17), 1, word), value);
}

void TestSim::addressChangeAndBroadcast()
{
    SimProcess sim(m_dir.path());
    QVERIFY(sim.start({"--address", "3"}));
    Master master(sim.link());

    // Nobody else answers: another address, and the broadcast address.
    master.send(protocol::buildReadStatusRequest(1));
    QCOMPARE(master.quiet(), QByteArray());
    master.send(protocol::buildReadStatusRequest(0));
    QCOMPARE(master.quiet(), QByteArray());

    // A broadcast write is carried out without a reply.
    master.send(protocol::buildSetVoltageRequest(0, 777));
    QCOMPARE(master.quiet(), QByteArray());
    QCOMPARE(statusWord(master.ask(protocol::buildReadStatusRequest(3), 17), 3, 0), 777);

    // The echo comes from the old address, then only the new one answers.
    const Frame setAddress = protocol::buildSetAddressRequest(3, 42);
    const QByteArray echo = master.ask(setAddress, 8);
    QCOMPARE(echo.toHex(' '), bytes(setAddress).toHex(' '));
    QVERIFY(
        protocol::checkAddressEcho(reinterpret_cast<const std::uint8_t *>(echo.constData()), 8, 3));
    master.send(protocol::buildReadStatusRequest(3));
    QCOMPARE(master.quiet(), QByteArray());
    QCOMPARE(statusWord(master.ask(protocol::buildReadStatusRequest(42), 17), 42, 0), 777);
    QVERIFY(sim.command("status").contains("address=42 "));
}

void TestSim::addressLists_data()
{
    QTest::addColumn<QString>("list");
    QTest::addColumn<QList<int>>("answering"); // empty: refused with exit status 2

    QTest::newRow("one") << "7" << QList<int>{7};
    QTest::newRow("list and range") << "1,3,5-7" << QList<int>{1, 3, 5, 6, 7};
    QTest::newRow("edges") << "1,247" << QList<int>{1, 247};
    QTest::newRow("zero") << "0" << QList<int>{};
    QTest::newRow("too high") << "1,248" << QList<int>{};
    QTest::newRow("backwards range") << "5-3" << QList<int>{};
    QTest::newRow("twice") << "1,2-4,3" << QList<int>{};
    QTest::newRow("empty item") << "1,,3" << QList<int>{};
    QTest::newRow("trailing comma") << "1," << QList<int>{};
    QTest::newRow("not a number") << "a" << QList<int>{};
}

void TestSim::addressLists()
{
    QFETCH(QString, list);
    QFETCH(QList<int>, answering);
    SimProcess sim(m_dir.path());
    if (answering.isEmpty()) {
        QVERIFY(!sim.start({"--address", list}));
        QCOMPARE(sim.process().exitCode(), 2);
        return;
    }
    QVERIFY(sim.start({"--address", list}));
    Master master(sim.link());
    for (int address = 1; address <= 8; ++address) {
        const Frame request = protocol::buildReadStatusRequest(std::uint8_t(address));
        if (answering.contains(address)) {
            QCOMPARE(statusWord(master.ask(request, 17), std::uint8_t(address), 0), 500);
        } else {
            master.send(request);
            QCOMPARE(master.quiet(), QByteArray());
        }
    }
}

// Supplies on one bus keep their own values, faults and trace.
void TestSim::severalSupplies()
{
    SimProcess sim(m_dir.path());
    QVERIFY(sim.start({"--address", "1,3", "--output", "on", "--trace"}));
    Master master(sim.link());
    QCOMPARE(sim.command("set voltage 7 3"), QString("ok"));
    QCOMPARE(sim.command("set output off 1"), QString("ok"));
    QCOMPARE(sim.command("set voltage 7 2"), QString("error: no supply at address 2"));
    QVERIFY(sim.command("set address 3 1").startsWith("error: address 3 is taken"));
    QVERIFY(sim.command("set address 9").startsWith("error: several supplies"));

    // One status line per supply, in address order.
    QVERIFY(sim.command("status").startsWith("status address=1 set-voltage=500 "));
    QVERIFY(sim.waitForLine([](const QString &l) { return l.startsWith("status "); })
                .startsWith("status address=3 set-voltage=700 set-current=1000 output=on"));

    QCOMPARE(statusWord(master.ask(protocol::buildReadStatusRequest(1), 17), 1, 4), 0);
    QCOMPARE(statusWord(master.ask(protocol::buildReadStatusRequest(3), 17), 3, 2), 700);

    // A fault on one address leaves the other alone; without an address it hits both.
    QCOMPARE(sim.command("fault silence on 3"), QString("ok"));
    master.send(protocol::buildReadStatusRequest(3));
    QCOMPARE(master.quiet(), QByteArray());
    QCOMPARE(statusWord(master.ask(protocol::buildReadStatusRequest(1), 17), 1, 0), 500);
    QCOMPARE(sim.command("fault badcrc on"), QString("ok"));
    QCOMPARE(sim.command("fault clear 3"), QString("ok"));
    QCOMPARE(statusWord(master.ask(protocol::buildReadStatusRequest(3), 17), 3, 0), 700);
    QCOMPARE(statusWord(master.ask(protocol::buildReadStatusRequest(1), 17), 1, 0), -1);
    QVERIFY(sim.command("status 1").endsWith("faults=badcrc"));
    QCOMPARE(sim.command("fault clear"), QString("ok"));

    // A broadcast write reaches both; an address change moves one of them.
    master.send(protocol::buildSetCurrentRequest(0, 2000));
    QCOMPARE(master.quiet(), QByteArray());
    QCOMPARE(sim.command("set address 9 3"), QString("ok"));
    QCOMPARE(statusWord(master.ask(protocol::buildReadStatusRequest(9), 17), 9, 1), 2000);
    QCOMPARE(statusWord(master.ask(protocol::buildReadStatusRequest(1), 17), 1, 1), 2000);

    // Every trace line says which supply was addressed (the status answer comes after them).
    QVERIFY(sim.command("status 9").startsWith("status address=9 "));
    const QList<testsupport::TraceLine> trace = sim.trace();
    const auto count = [&](const QString &kind, int address) {
        return std::count_if(trace.begin(), trace.end(), [&](const testsupport::TraceLine &l) {
            return l.kind == kind && l.address == address;
        });
    };
    QCOMPARE(count("rx", 3), 3);
    QCOMPARE(count("muted", 3), 1);
    QCOMPARE(count("tx", 3), 2);
    QCOMPARE(count("tx", 1), 4);
    QCOMPARE(count("rx", 0), 1);
    QCOMPARE(count("tx", 9), 1);
}

// A battery charged at a set voltage draws a current that falls as it charges:
// 12 V behind 1 ohm taking 1 mAh per volt (time constant 3.6 s), held at 12.6 V.
void TestSim::batteryTapers()
{
    SimProcess sim(m_dir.path());
    QVERIFY(sim.start({"--load", "battery:12,1,1", "--voltage", "12.6", "--current", "3"}));
    Master master(sim.link());
    QCOMPARE(sim.command("set output on"), QString("ok"));
    const int first = statusWord(master.ask(protocol::buildReadStatusRequest(1), 17), 1, 3);
    QVERIFY2(first > 500 && first <= 600, qPrintable(QString::number(first)));
    // It falls below 0.6 A / e (more than one time constant) and is still charging.
    QElapsedTimer charging;
    charging.start();
    int later = first;
    QTRY_VERIFY_WITH_TIMEOUT(
        (later = statusWord(master.ask(protocol::buildReadStatusRequest(1), 17), 1, 3)) < 221,
        15000);
    QVERIFY2(later > 0, qPrintable(QString::number(later)));
    // Not at once: the charge takes its time constant (3.6 s), less the reading's own.
    QVERIFY2(charging.elapsed() > 2000, qPrintable(QString::number(charging.elapsed())));
    // Switched off, it keeps its charge, also across a request on the line.
    QCOMPARE(sim.command("set output off"), QString("ok"));
    const auto batteryVolts = [&sim] {
        const QString status = sim.command("status");
        return QRegularExpression("battery-voltage=([0-9.]+)").match(status).captured(1).toDouble();
    };
    const double volts = batteryVolts();
    QVERIFY2(volts > 12.37 && volts < 12.6, qPrintable(QString::number(volts)));
    QCOMPARE(statusWord(master.ask(protocol::buildReadStatusRequest(1), 17), 1, 3), 0);
    QCOMPARE(batteryVolts(), volts);
    QCOMPARE(sim.command("set load battery:x,1"),
             QString("error: load must be ohms above 0, open, or battery:V0,R[,MAH]"));
}

void TestSim::mbpollReadsAndWrites()
{
    const QString mbpoll = QStandardPaths::findExecutable("mbpoll");
    if (mbpoll.isEmpty()) {
        QSKIP("mbpoll is not installed");
    }
    SimProcess sim(m_dir.path());
    QVERIFY(sim.start(kWorkedOptions));
    const QStringList common{"-m",   "rtu", "-a", "1",  "-b", "9600", "-P",
                             "none", "-t",  "4",  "-0", "-r", "4096", "-1"};
    QProcess poll;
    poll.start(mbpoll, QStringList(common) << "-c"
                                           << "6" << sim.link());
    QVERIFY(poll.waitForFinished(kWaitMs * 2));
    const QString out = QString::fromUtf8(poll.readAllStandardOutput());
    const QList<int> expected{1234, 1500, 1232, 500, 1, 1};
    for (int i = 0; i < 6; ++i) {
        const QRegularExpression row(QString(R"(\[%1\]:\s+(\d+))").arg(4096 + i));
        QCOMPARE(row.match(out).captured(1).toInt(), expected[i]);
    }

    poll.start(mbpoll, QStringList(common) << sim.link() << "2500");
    QVERIFY(poll.waitForFinished(kWaitMs * 2));
    QCOMPARE(poll.exitCode(), 0);
    Master master(sim.link());
    QCOMPARE(statusWord(master.ask(protocol::buildReadStatusRequest(1), 17), 1, 0), 2500);
}

void TestSim::lineTiming_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QString>("fault");       // a command before the reads, empty for none
    QTest::addColumn<int>("baud");            // the port's speed; 0 for the instant line
    QTest::addColumn<double>("minLatencyMs"); // from a request's end to its reply's start
    QTest::addColumn<double>("maxLatencyMs");

    QTest::newRow("default") << QStringList{} << QString() << 9600 << 10.0 << 10.0;
    QTest::newRow("no latency") << QStringList{"--latency", "0"} << QString() << 9600 << 0.0 << 0.0;
    QTest::newRow("jitter") << QStringList{"--latency", "30,10"} << QString() << 9600 << 30.0
                            << 40.0;
    QTest::newRow("fault delay adds")
        << QStringList{"--latency", "5.5"} << QString("fault delay 40") << 9600 << 45.5 << 45.5;
    QTest::newRow("the port's speed") << QStringList{} << QString() << 19200 << 10.0 << 10.0;
    QTest::newRow("instant") << QStringList{"--line", "instant"} << QString() << 0 << 0.0 << 0.0;
}

// The trace holds the line's times exactly; the program sees them within the
// half millisecond a byte may be early.
void TestSim::lineTiming()
{
    QFETCH(QStringList, options);
    QFETCH(QString, fault);
    QFETCH(int, baud);
    QFETCH(double, minLatencyMs);
    QFETCH(double, maxLatencyMs);
    SimProcess sim(m_dir.path());
    QVERIFY(sim.start(QStringList(kWorkedOptions) << options << "--trace"));
    if (!fault.isEmpty()) {
        QCOMPARE(sim.command(fault), QString("ok"));
    }
    Master master(sim.link(), baud == 19200 ? B19200 : B9600);
    const double charMs = baud > 0 ? 10000.0 / baud : 0;
    constexpr int kRounds = 4;
    for (int round = 0; round < kRounds; ++round) {
        QElapsedTimer timer;
        timer.start();
        master.send(protocol::buildReadStatusRequest(1));
        QCOMPARE(master.read(17, kWaitMs), kWorkedReply);
        const double elapsedMs = double(timer.nsecsElapsed()) / 1e6;
        QVERIFY2(elapsedMs >= 25 * charMs + minLatencyMs - 0.6,
                 qPrintable(QString::number(elapsedMs)));
    }

    QVERIFY(sim.command("status").startsWith("status ")); // every trace line is in
    QList<testsupport::TraceLine> rx;
    QList<testsupport::TraceLine> tx;
    for (const testsupport::TraceLine &line : sim.trace()) {
        (line.kind == "rx" ? rx : tx) << line;
    }
    QCOMPARE(rx.size(), kRounds);
    QCOMPARE(tx.size(), kRounds);
    constexpr double kPrintedMs = 0.002; // each time is printed to the microsecond
    QSet<int> latencies;
    for (int i = 0; i < kRounds; ++i) {
        const double latencyMs = (tx[i].seconds - rx[i].end) * 1000;
        QVERIFY2(latencyMs > minLatencyMs - kPrintedMs && latencyMs < maxLatencyMs + kPrintedMs,
                 qPrintable(QString::number(latencyMs)));
        QCOMPARE_LT(std::abs((rx[i].end - rx[i].seconds) * 1000 - 8 * charMs), kPrintedMs);
        QCOMPARE_LT(std::abs((tx[i].end - tx[i].seconds) * 1000 - 17 * charMs), kPrintedMs);
        latencies << qRound(latencyMs * 10); // tenths of a millisecond
    }
    QCOMPARE(latencies.size() > 1, maxLatencyMs > minLatencyMs);
}

void TestSim::faults_data()
{
    QTest::addColumn<QString>("on");
    QTest::addColumn<QString>("off");
    QTest::addColumn<bool>("writeFirst"); // a set-voltage write goes out before the poll
    QTest::addColumn<QByteArray>("expected");
    QTest::addColumn<int>("minimumMs"); // the reply cannot arrive sooner

    const QByteArray junk = QByteArray::fromHex("FF0055");
    QByteArray badCrc = kWorkedReply;
    badCrc[16] = char(badCrc[16] ^ 0xFF);
    Frame foreign(kWorkedReply.begin(), kWorkedReply.end() - 2);
    foreign[0] = 7;
    const QByteArray echo = bytes(protocol::buildSetVoltageRequest(1, 1234));

    QTest::newRow("silence") << "fault silence on"
                             << "fault silence off" << false << QByteArray() << 0;
    QTest::newRow("delay") << "fault delay 300"
                           << "fault delay 0" << false << kWorkedReply << 300;
    QTest::newRow("bad crc") << "fault badcrc on"
                             << "fault badcrc off" << false << badCrc << 0;
    QTest::newRow("foreign") << "fault foreign 7"
                             << "fault foreign off" << false << bytes(withCrc(foreign)) << 0;
    QTest::newRow("trickle") << "fault trickle 15"
                             << "fault trickle 0" << false << kWorkedReply << 16 * 15;
    QTest::newRow("junk before") << "fault junk before"
                                 << "fault junk off" << false << junk + kWorkedReply << 0;
    QTest::newRow("junk after") << "fault junk after"
                                << "fault junk off" << false << kWorkedReply + junk << 0;
    QTest::newRow("echo before") << "fault echo-before on"
                                 << "fault echo-before off" << true << echo + kWorkedReply << 0;
    QTest::newRow("local echo") << "fault local-echo on"
                                << "fault local-echo off" << false
                                << bytes(protocol::buildReadStatusRequest(1)) + kWorkedReply << 0;
    QTest::newRow("clear") << "fault badcrc on"
                           << "fault clear" << false << badCrc << 0;
}

void TestSim::faults()
{
    QFETCH(QString, on);
    QFETCH(QString, off);
    QFETCH(bool, writeFirst);
    QFETCH(QByteArray, expected);
    QFETCH(int, minimumMs);
    SimProcess sim(m_dir.path());
    QVERIFY(sim.start(kWorkedOptions));
    Master master(sim.link());

    QCOMPARE(sim.command(on), QString("ok"));
    if (writeFirst) {
        master.send(protocol::buildSetVoltageRequest(1, 1234));
        QCOMPARE(master.quiet(), QByteArray()); // held back
    }
    QElapsedTimer timer;
    timer.start();
    int reads = 0;
    master.send(protocol::buildReadStatusRequest(1));
    const QByteArray seen =
        expected.isEmpty() ? master.quiet() : master.read(expected.size(), kWaitMs, &reads);
    QVERIFY(timer.elapsed() >= minimumMs);
    QCOMPARE(seen.toHex(' '), expected.toHex(' '));
    if (on.contains("trickle")) {
        QVERIFY(reads > 1);
    }

    QCOMPARE(sim.command(off), QString("ok"));
    QCOMPARE(master.quiet(), QByteArray()); // nothing left over
    QCOMPARE(master.ask(protocol::buildReadStatusRequest(1), 17).toHex(' '),
             kWorkedReply.toHex(' '));
    QVERIFY(sim.command("status").endsWith("faults=none"));
}

void TestSim::controlFifoAndTrace()
{
    const QString fifo = m_dir.filePath("control");
    SimProcess sim(m_dir.path());
    QVERIFY(sim.start(QStringList(kWorkedOptions) << "--trace"
                                                  << "--control" << fifo));
    QVERIFY(QFileInfo(fifo).exists());
    Master master(sim.link());
    QCOMPARE(master.ask(protocol::buildReadStatusRequest(1), 17), kWorkedReply);

    QFile control(fifo);
    QVERIFY(control.open(QIODevice::WriteOnly));
    control.write("fault silence on\n");
    control.close();
    QVERIFY(!sim.waitForLine([](const QString &l) { return l == "ok"; }).isEmpty());
    master.send(protocol::buildReadStatusRequest(1));
    QVERIFY(!sim.waitForLine([](const QString &l) { return l.contains(" muted "); }).isEmpty());

    const QRegularExpression rx(R"(^\d+\.\d{6} \d+\.\d{6} rx 01 03 10 00 00 06 C1 08 @1$)");
    const QRegularExpression tx(R"(^\d+\.\d{6} \d+\.\d{6} tx )" +
                                kWorkedReply.toHex(' ').toUpper() + " @1$");
    QCOMPARE(sim.lines().filter(rx).size(), 2);
    QCOMPARE(sim.lines().filter(tx).size(), 1);
    QVERIFY(sim.lines().filter(" muted " + kWorkedReply.toHex(' ').toUpper() + " @1").size() == 1);
}

void TestSim::junkAndSplitRequests()
{
    SimProcess sim(m_dir.path());
    QVERIFY(sim.start(kWorkedOptions));
    Master master(sim.link());
    const QByteArray request = bytes(protocol::buildReadStatusRequest(1));

    // Junk glued to the front of a request.
    master.send(QByteArray::fromHex("0003FF10") + request);
    QCOMPARE(master.read(17, kWaitMs), kWorkedReply);
    // A broken request, then a pause, then a good one.
    master.send(request.left(5));
    QCOMPARE(master.quiet(), QByteArray());
    QCOMPARE(master.ask(protocol::buildReadStatusRequest(1), 17), kWorkedReply);
    // A request with a damaged CRC gets no answer.
    QByteArray damaged = request;
    damaged[7] = char(damaged[7] ^ 1);
    master.send(damaged);
    QCOMPARE(master.quiet(), QByteArray());
    // A request written byte by byte. A pause of 20 ms ends a frame, so a test
    // machine that stalled that long between two bytes has broken the request.
    QElapsedTimer sinceLast;
    qint64 longestGapMs = 0;
    for (char byte : request) {
        if (sinceLast.isValid()) {
            longestGapMs = std::max(longestGapMs, sinceLast.elapsed());
        }
        master.send(QByteArray(1, byte));
        sinceLast.start();
        QTest::qWait(2);
    }
    const QByteArray reply = master.read(17, kWaitMs);
    if (longestGapMs < 15) {
        QCOMPARE(reply, kWorkedReply);
    }
}

void TestSim::reopenAndSerialLayerPath()
{
    SimProcess sim(m_dir.path());
    QVERIFY(sim.start(QStringList(kWorkedOptions) << "--port"
                                                  << "COM7"));
    QCOMPARE(sim.link(), m_dir.filePath("COM7"));
    QCOMPARE(QFileInfo(sim.link()).symLinkTarget(), sim.pty());
    qputenv("VANTEL_PORT_DIR", m_dir.path().toUtf8());
    QCOMPARE(serial::devicePath(7), sim.link());

    for (int round = 0; round < 3; ++round) {
        Master master(sim.link());
        QCOMPARE(master.ask(protocol::buildReadStatusRequest(1), 17), kWorkedReply);
    }
    // A reply to a program that closed the port in the meantime must not stall the simulator.
    {
        Master master(sim.link());
        master.send(protocol::buildReadStatusRequest(1));
    }
    QCOMPARE(sim.command("status").left(7), QString("status "));
}

void TestSim::linkOwnership()
{
    const QString link = m_dir.filePath("COM2");
    SimProcess first(m_dir.path());
    QVERIFY(first.start({"--port", "2"}));

    // A live owner keeps the name.
    SimProcess second(m_dir.path());
    QVERIFY(!second.start({"--port", "2"}));
    QCOMPARE(second.process().state(), QProcess::NotRunning);
    QCOMPARE(second.process().exitCode(), 1);
    QVERIFY(second.process().readAllStandardError().contains("in use by another vantel-sim (pid"));
    QCOMPARE(QFileInfo(link).symLinkTarget(), first.pty());
    first.process().terminate();
    QVERIFY(first.process().waitForFinished(kWaitMs));

    // A link left behind by a simulator that died is replaced.
    QVERIFY(QFile::link("/dev/pts/99999", link));
    {
        SimProcess again(m_dir.path());
        QVERIFY(again.start({"--port", "2"}));
        QCOMPARE(QFileInfo(link).symLinkTarget(), again.pty());
    }
    QVERIFY(!QFileInfo(link).isSymLink());

    // What the user set up is left alone, and so is the name of an adapter that is
    // unplugged now.
    for (const QString &target : QStringList{"/dev/null", m_dir.filePath("unplugged")}) {
        QVERIFY(QFile::link(target, link));
        SimProcess refused(m_dir.path());
        QVERIFY(!refused.start({"--port", "2"}));
        QVERIFY(refused.process().readAllStandardError().contains("not replacing it"));
        QCOMPARE(QFileInfo(link).symLinkTarget(), target);
        QVERIFY(QFile::remove(link));
    }
}

void TestSim::exitsRemoveTheLink_data()
{
    QTest::addColumn<QString>("how");
    QTest::newRow("end of input") << "eof";
    QTest::newRow("quit") << "quit";
    QTest::newRow("SIGINT") << "int";
    QTest::newRow("SIGTERM") << "term";
}

void TestSim::exitsRemoveTheLink()
{
    QFETCH(QString, how);
    SimProcess sim(m_dir.path());
    QVERIFY(sim.start({"--port", "4"}));
    QVERIFY(QFileInfo(sim.link()).isSymLink());
    if (how == "eof") {
        sim.process().closeWriteChannel();
    } else if (how == "quit") {
        sim.process().write("quit\n");
    } else {
        ::kill(pid_t(sim.process().processId()), how == "int" ? SIGINT : SIGTERM);
    }
    QVERIFY(sim.process().waitForFinished(kWaitMs));
    QCOMPARE(sim.process().exitStatus(), QProcess::NormalExit);
    QCOMPARE(sim.process().exitCode(), 0);
    QVERIFY(!QFileInfo(sim.link()).isSymLink());
    QVERIFY(!QFileInfo::exists(m_dir.filePath(".COM4.lock")));
}

void TestSim::refusedOptions_data()
{
    QTest::addColumn<QStringList>("arguments"); // "DIR" stands for the test's folder
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("message");

    QTest::newRow("unknown option") << QStringList{"--bogus"} << 2 << "unknown option --bogus";
    QTest::newRow("unknown option before a value")
        << QStringList{"--bogus", "3"} << 2 << "unknown option --bogus";
    QTest::newRow("a word without dashes")
        << QStringList{"voltage", "5"} << 2 << "unknown option voltage";
    QTest::newRow("no value") << QStringList{"--voltage"} << 2 << "--voltage needs a value";
    QTest::newRow("line") << QStringList{"--line", "fast"} << 2 << "--line takes timed or instant";
    QTest::newRow("latency jitter")
        << QStringList{"--latency", "10,x"} << 2 << "--latency takes MS or MS,JITTER_MS";
    QTest::newRow("negative latency")
        << QStringList{"--latency", "-1"} << 2 << "--latency takes MS or MS,JITTER_MS";
    QTest::newRow("missing port folder")
        << QStringList{"--port-dir", "DIR/missing/x"} << 1 << "no folder DIR/missing/x";
    QTest::newRow("control is a file")
        << QStringList{"--control", "DIR/notes"} << 1 << "DIR/notes exists and is not a FIFO";
}

void TestSim::refusedOptions()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, message);
    arguments.replaceInStrings("DIR", m_dir.path());
    message.replace("DIR", m_dir.path());
    QFile notes(m_dir.filePath("notes"));
    QVERIFY(notes.open(QIODevice::WriteOnly));
    notes.write("keep\n");
    notes.close();

    SimProcess sim(m_dir.path());
    QVERIFY(!sim.start(arguments));
    QCOMPARE(sim.process().exitCode(), exitCode);
    const QString errors = QString::fromUtf8(sim.process().readAllStandardError());
    QVERIFY2(errors.contains(message), qPrintable(errors));
    QVERIFY(!QFileInfo::exists(m_dir.filePath("missing")));
    QVERIFY(notes.open(QIODevice::ReadOnly));
    QCOMPARE(notes.readAll(), QByteArray("keep\n"));
}

// Words after a command that takes none make it unknown, not a quit.
void TestSim::refusedCommands()
{
    SimProcess sim(m_dir.path());
    QVERIFY(sim.start({}));
    for (const QString line : {"quit please", "exit now", "help me", "fault local-echo on 1",
                               "fault local-echo maybe"}) {
        QVERIFY2(sim.command(line).startsWith("error: "), qPrintable(line));
    }
    QCOMPARE(sim.process().state(), QProcess::Running);
    QVERIFY(sim.command("status").endsWith("faults=none"));
    QCOMPARE(sim.command("fault local-echo on"), QString("ok"));
    QVERIFY(sim.command("status").endsWith("faults=local-echo"));
    QCOMPARE(sim.command("fault clear"), QString("ok"));
    QVERIFY(sim.command("status").endsWith("faults=none"));
}

QTEST_GUILESS_MAIN(TestSim)
#include "tst_sim.moc"
