// End to end: the vantelctl program against vantel-sim on a pseudo-terminal
// published as COM1 in a private port folder.
#include "support/simprocess.h"

#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

namespace {

constexpr int kWaitMs = 10000; // upper bound for a whole command

struct Run {
    int code = -1;
    QString out;
    QString err;
};

} // namespace

class TestE2eVantelctl : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void scanFindsExactlyTheAnsweringAddress();
    void readsUnderFaults_data();
    void readsUnderFaults();
    void refusedValueSendsNothing_data();
    void refusedValueSendsNothing();
    void setRoundsConfirmsAndReadsBack();
    void outputSwitchesBothWays();
    void addressChangeIsProven();
    void absentPortExits3();
    void portsListsDevicesAndStates();
    void stopSignalEndsAWaitPromptly_data();
    void stopSignalEndsAWaitPromptly();

private:
    void startProcess(QProcess &process, const QStringList &arguments);
    Run run(const QStringList &arguments);
    int requestsSeen();

    std::unique_ptr<QTemporaryDir> m_ports;
    std::unique_ptr<testsupport::SimProcess> m_sim;
};

void TestE2eVantelctl::init()
{
    m_ports = std::make_unique<QTemporaryDir>();
    m_sim = std::make_unique<testsupport::SimProcess>(m_ports->path());
    QVERIFY(m_sim->start(
        {QStringLiteral("--port"), QStringLiteral("1"), QStringLiteral("--address"),
         QStringLiteral("7"), QStringLiteral("--trace"), QStringLiteral("--voltage"),
         QStringLiteral("12.34"), QStringLiteral("--current"), QStringLiteral("1.5")}));
}

void TestE2eVantelctl::cleanup()
{
    m_sim.reset();
    m_ports.reset();
}

void TestE2eVantelctl::startProcess(QProcess &process, const QStringList &arguments)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("VANTEL_PORT_DIR"), m_ports->path());
    process.setProcessEnvironment(env);
    process.start(QStringLiteral(VANTELCTL_PATH), arguments);
    QVERIFY(process.waitForStarted(kWaitMs));
}

Run TestE2eVantelctl::run(const QStringList &arguments)
{
    QProcess process;
    startProcess(process, arguments);
    Run result;
    if (!process.waitForFinished(kWaitMs)) {
        process.kill();
        process.waitForFinished();
        return result;
    }
    result.code = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    result.out = QString::fromUtf8(process.readAllStandardOutput());
    result.err = QString::fromUtf8(process.readAllStandardError());
    return result;
}

int TestE2eVantelctl::requestsSeen()
{
    // The answer to a command follows every trace line printed before it.
    m_sim->command(QStringLiteral("status"));
    int count = 0;
    for (const testsupport::TraceLine &line : m_sim->trace()) {
        count += line.kind == QLatin1String("rx") ? 1 : 0;
    }
    return count;
}

void TestE2eVantelctl::scanFindsExactlyTheAnsweringAddress()
{
    Run r = run({QStringLiteral("scan"), QStringLiteral("--from"), QStringLiteral("1"),
                 QStringLiteral("--to"), QStringLiteral("20"), QStringLiteral("--json")});
    QCOMPARE(r.code, 0);
    const QStringList lines = r.out.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 1);
    QVERIFY2(lines[0].startsWith(QStringLiteral(R"({"address":7,"set_v":12.34,"set_a":1.5,)")),
             qPrintable(lines[0]));
    QCOMPARE(requestsSeen(), 20);

    r = run({QStringLiteral("scan"), QStringLiteral("--from"), QStringLiteral("8"),
             QStringLiteral("--to"), QStringLiteral("10")});
    QCOMPARE(r.code, 1);
    QVERIFY(r.out.isEmpty());
}

void TestE2eVantelctl::readsUnderFaults_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("message");

    QTest::newRow("none") << "" << 0 << "";
    QTest::newRow("delay") << "fault delay 60" << 0 << "";
    QTest::newRow("trickle") << "fault trickle 4" << 0 << "";
    QTest::newRow("junk after") << "fault junk after" << 0 << "";
    QTest::newRow("silence") << "fault silence on" << 1 << "no reply from address 7";
    QTest::newRow("bad crc") << "fault badcrc on" << 1 << "bad CRC";
    // A whole frame of another address does not end the wait for ours.
    QTest::newRow("foreign") << "fault foreign on" << 1 << "no reply from address 7 within 500 ms";
    QTest::newRow("junk before") << "fault junk before" << 1 << ": FF 00 55 07 03";
}

void TestE2eVantelctl::readsUnderFaults()
{
    QFETCH(QString, fault);
    QFETCH(int, code);
    QFETCH(QString, message);
    if (!fault.isEmpty()) {
        QCOMPARE(m_sim->command(fault), QStringLiteral("ok"));
    }
    const Run r = run({QStringLiteral("--address"), QStringLiteral("7"), QStringLiteral("read")});
    QCOMPARE(r.code, code);
    if (code == 0) {
        QCOMPARE(r.out, QStringLiteral("0.00 V  0.000 A  0.00 W  (set 12.34 V 1.500 A)  "
                                       "output off  CV\n"));
    } else {
        QVERIFY(r.out.isEmpty()); // never values taken from bytes that are no reply
        QVERIFY2(r.err.contains(message), qPrintable(r.err));
    }
}

void TestE2eVantelctl::refusedValueSendsNothing_data()
{
    QTest::addColumn<QStringList>("arguments");

    QTest::newRow("voltage above") << QStringList{"set", "--voltage", "62.01"};
    QTest::newRow("current above") << QStringList{"set", "--current", "3.2006"};
    QTest::newRow("negative") << QStringList{"set", "--voltage=-0.01"};
    QTest::newRow("not a number") << QStringList{"set", "--current", "1,5"};
    QTest::newRow("one good, one bad") << QStringList{"set", "--voltage", "5", "--current", "x"};
    QTest::newRow("nothing to set") << QStringList{"set"};
    QTest::newRow("broadcast address") << QStringList{"address", "0"};
    QTest::newRow("address 248") << QStringList{"address", "248"};
    QTest::newRow("output maybe") << QStringList{"output", "maybe"};
    QTest::newRow("option of another command") << QStringList{"read", "--from", "3"};
    QTest::newRow("unknown command") << QStringList{"reboot"};
    QTest::newRow("bad port name") << QStringList{"--port", "COMX", "read"};
}

void TestE2eVantelctl::refusedValueSendsNothing()
{
    QFETCH(QStringList, arguments);
    const Run r = run(QStringList{QStringLiteral("--address"), QStringLiteral("7")} + arguments);
    QCOMPARE(r.code, 2);
    QVERIFY(r.out.isEmpty());
    QVERIFY(!r.err.isEmpty());
    QTest::qWait(100);
    QCOMPARE(requestsSeen(), 0);
}

void TestE2eVantelctl::setRoundsConfirmsAndReadsBack()
{
    Run r = run({QStringLiteral("-a"), QStringLiteral("7"), QStringLiteral("set"),
                 QStringLiteral("--voltage"), QStringLiteral("12.345"), QStringLiteral("--current"),
                 QStringLiteral("0.25")});
    QCOMPARE(r.code, 0);
    QVERIFY2(r.out.startsWith(QStringLiteral("sent 12.34 V 0.250 A\n")), qPrintable(r.out));
    QVERIFY(m_sim->command(QStringLiteral("status"))
                .contains(QStringLiteral("set-voltage=1234 set-current=250 ")));
    QCOMPARE(requestsSeen(), 3); // two writes and one read-back

    // A supply that stays silent after the write is a failure, not a success.
    QCOMPARE(m_sim->command(QStringLiteral("fault silence on")), QStringLiteral("ok"));
    r = run({QStringLiteral("-a"), QStringLiteral("7"), QStringLiteral("set"),
             QStringLiteral("--voltage"), QStringLiteral("1")});
    QCOMPARE(r.code, 1);
    QVERIFY(r.err.contains(QStringLiteral("set voltage: no reply")));
}

void TestE2eVantelctl::outputSwitchesBothWays()
{
    for (const QString &state : {QStringLiteral("on"), QStringLiteral("off")}) {
        const Run r = run({QStringLiteral("-a"), QStringLiteral("7"), QStringLiteral("--json"),
                           QStringLiteral("output"), state});
        QCOMPARE(r.code, 0);
        const QString expected = state == QLatin1String("on") ? "true" : "false";
        QVERIFY2(r.out.startsWith(
                     QStringLiteral(R"({"address":7,"output":%1,"confirmed":true,)").arg(expected)),
                 qPrintable(r.out));
        QVERIFY(m_sim->command(QStringLiteral("status"))
                    .contains(QStringLiteral(" output=") + state + QLatin1Char(' ')));
    }
}

void TestE2eVantelctl::addressChangeIsProven()
{
    Run r = run({QStringLiteral("-a"), QStringLiteral("7"), QStringLiteral("address"),
                 QStringLiteral("9")});
    QCOMPARE(r.code, 0);
    QVERIFY(m_sim->command(QStringLiteral("status")).contains(QStringLiteral("address=9 ")));
    // Address 9 was found free first; the proof read both addresses after the write.
    const QStringList requests = {QStringLiteral("09 03 10 00"), QStringLiteral("07 06 10 08 00 09"),
                                  QStringLiteral("09 03 10 00"), QStringLiteral("07 03 10 00")};
    QStringList seen;
    for (const testsupport::TraceLine &line : m_sim->trace()) {
        if (line.kind == QLatin1String("rx")) {
            seen << line.hex.left(17).toUpper();
        }
    }
    QCOMPARE(seen.size(), 4);
    for (int i = 0; i < 4; ++i) {
        QVERIFY2(seen[i].startsWith(requests[i].left(seen[i].size())), qPrintable(seen[i]));
    }

    // The old address is gone now.
    r = run({QStringLiteral("-a"), QStringLiteral("7"), QStringLiteral("address"),
             QStringLiteral("10")});
    QCOMPARE(r.code, 1);
}

void TestE2eVantelctl::absentPortExits3()
{
    const Run r = run({QStringLiteral("--port"), QStringLiteral("COM4"), QStringLiteral("read")});
    QCOMPARE(r.code, 3);
    QVERIFY2(r.err.contains(QStringLiteral("COM4 is not found")), qPrintable(r.err));
    const Run path = run({QStringLiteral("--port"), m_sim->pty(), QStringLiteral("-a"),
                          QStringLiteral("7"), QStringLiteral("read")});
    QCOMPARE(path.code, 0);
}

void TestE2eVantelctl::portsListsDevicesAndStates()
{
    // COM3 is a link whose device went away.
    QVERIFY(QFile::link(QStringLiteral("/nonexistent/ttyUSB7"), m_ports->filePath("COM3")));
    Run r = run({QStringLiteral("ports")});
    QCOMPARE(r.code, 0);
    QCOMPARE(
        r.out.split(QLatin1Char('\n'), Qt::SkipEmptyParts),
        QStringList({QStringLiteral("COM1    %1").arg(m_sim->pty(), -24) + QStringLiteral("  free"),
                     QStringLiteral("COM3    %1  absent")
                         .arg(QStringLiteral("/nonexistent/ttyUSB7"), -24)}));
    r = run({QStringLiteral("--json"), QStringLiteral("ports")});
    QVERIFY2(r.out.startsWith(
                 QStringLiteral(R"({"port":"COM1","device":"%1","state":"free","description":)")
                     .arg(m_sim->pty())),
             qPrintable(r.out));
}

void TestE2eVantelctl::stopSignalEndsAWaitPromptly_data()
{
    QTest::addColumn<int>("signal");
    QTest::addColumn<int>("code");
    QTest::newRow("SIGINT") << SIGINT << 130;
    QTest::newRow("SIGTERM") << SIGTERM << 143;
}

void TestE2eVantelctl::stopSignalEndsAWaitPromptly()
{
    QFETCH(int, signal);
    QFETCH(int, code);
    QCOMPARE(m_sim->command(QStringLiteral("fault silence on")), QStringLiteral("ok"));
    QProcess process;
    // A read that would wait a minute for its reply.
    startProcess(process,
                 {QStringLiteral("--timeout"), QStringLiteral("60000"), QStringLiteral("read")});
    QVERIFY(QTest::qWaitFor([&] { return requestsSeen() == 1; }, kWaitMs));
    ::kill(static_cast<pid_t>(process.processId()), signal);
    QVERIFY(process.waitForFinished(kWaitMs));
    QCOMPARE(process.exitCode(), code);
    QVERIFY(process.readAllStandardError().contains("interrupted"));
}

QTEST_GUILESS_MAIN(TestE2eVantelctl)
#include "tst_e2e_vantelctl.moc"
