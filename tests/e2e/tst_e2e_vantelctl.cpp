// End to end: the vantelctl program against vantel-sim on a pseudo-terminal
// published as COM1 in a private port folder.
#include "support/ctlrig.h"

#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

namespace {

constexpr int kWaitMs = 10000; // upper bound for a whole command

using Run = testsupport::CtlResult;

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
    void outputThatCannotBeWrittenExits1_data();
    void outputThatCannotBeWrittenExits1();
    void setRoundsConfirmsAndReadsBack();
    void outputSwitchesBothWays();
    void addressChangeIsProven();
    void slowSupplyNeedsNoOption_data();
    void slowSupplyNeedsNoOption();
    void scanWaitAndLateReplies();
    void addressOntoATakenAddressSendsNoWrite();
    void echoingAdapter();
    void echoingAdapterWritesFirst_data();
    void echoingAdapterWritesFirst();
    void absentPortExits3();
    void portsListsDevicesAndStates();
    void stopSignalEndsAWaitPromptly_data();
    void stopSignalEndsAWaitPromptly();
    void outputStoppedSaysWhatItMayBe();

private:
    void startProcess(QProcess &process, const QStringList &arguments);
    Run run(const QStringList &arguments);
    int requestsSeen();

    std::unique_ptr<testsupport::CtlRig> m_rig;
    testsupport::SimProcess *m_sim = nullptr;
};

void TestE2eVantelctl::init()
{
    m_rig = std::make_unique<testsupport::CtlRig>(QStringLiteral(VANTELCTL_PATH));
    QVERIFY(m_rig->startSim({QStringLiteral("--address"), QStringLiteral("7"),
                             QStringLiteral("--trace"), QStringLiteral("--voltage"),
                             QStringLiteral("12.34"), QStringLiteral("--current"),
                             QStringLiteral("1.5")}));
    m_sim = &m_rig->sim();
}

void TestE2eVantelctl::cleanup()
{
    m_sim = nullptr;
    m_rig.reset();
}

void TestE2eVantelctl::startProcess(QProcess &process, const QStringList &arguments)
{
    QVERIFY(m_rig->start(process, arguments));
}

Run TestE2eVantelctl::run(const QStringList &arguments)
{
    return m_rig->run(arguments);
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
    // Junk before an intact reply is skipped: the reply is found after it.
    QTest::newRow("junk before") << "fault junk before" << 0 << "";
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
    QTest::addColumn<QStringList>("arguments"); // FILE: a file holding `existing`
    QTest::addColumn<QString>("message");       // what the refusal says; !text: must not
    QTest::addColumn<QByteArray>("existing");

    const auto row = [](const char *name, const QStringList &arguments, const char *message = "",
                        const QByteArray &existing = {}) {
        QTest::newRow(name) << arguments << QString::fromUtf8(message) << existing;
    };
    row("voltage above", {"set", "--voltage", "62.01"});
    row("current above", {"set", "--current", "3.2006"});
    row("negative", {"set", "--voltage=-0.01"});
    row("not a number", {"set", "--current", "1,5"}, "'1,5' is not a number");
    row("too large for a double", {"set", "--voltage", "1e400"}, "1e400 V is out of range");
    row("one good, one bad", {"set", "--voltage", "5", "--current", "x"});
    row("nothing to set", {"set"});
    row("broadcast address", {"address", "0"}, "broadcast");
    row("address 248", {"address", "248"}, "!broadcast");
    row("output maybe", {"output", "maybe"});
    row("option of another command", {"read", "--from", "3"}, "--from is not an option of read");
    row("log option to read", {"read", "--duration", "2h"}, "--duration is not an option of read");
    row("log option to output", {"output", "on", "--output", "x.csv"},
        "--output is not an option of output");
    row("unknown command", {"reboot"});
    row("bad port name", {"--port", "COMX", "read"});
    row("duration past a long's nanoseconds", {"log", "--duration", "25620478h"},
        "longer than 366 days");
    row("log onto a file with rows", {"log", "--output", "FILE"}, "--append", "time,x\n1,2\n");
    row("append under another header", {"log", "--append", "--output", "FILE"},
        "does not begin as this log's CSV header", "time,x\n1,2\n");
    row("append JSON lines to CSV", {"log", "--append", "--format", "jsonl", "--output", "FILE"},
        "JSON lines", "time,elapsed_s,address,set_v,set_a,v,a,w,output,mode,ah,wh,error\n");
    row("append and overwrite", {"log", "--append", "--overwrite", "--output", "FILE"},
        "exclude each other", "x\n");
}

void TestE2eVantelctl::refusedValueSendsNothing()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, message);
    QFETCH(QByteArray, existing);
    const QString file = m_rig->path(QStringLiteral("log.csv"));
    if (!existing.isEmpty()) {
        QFile out(file);
        QVERIFY(out.open(QIODevice::WriteOnly));
        out.write(existing);
    }
    arguments.replaceInStrings(QRegularExpression(QStringLiteral("^FILE$")), file);
    const Run r = run(QStringList{QStringLiteral("--address"), QStringLiteral("7")} + arguments);
    QCOMPARE(r.code, 2);
    QVERIFY(r.out.isEmpty());
    QVERIFY(!r.err.isEmpty());
    if (message.startsWith(QLatin1Char('!'))) {
        QVERIFY2(!r.err.contains(message.mid(1)), qPrintable(r.err));
    } else {
        QVERIFY2(r.err.contains(message), qPrintable(r.err));
    }
    if (!existing.isEmpty()) {
        QFile in(file);
        QVERIFY(in.open(QIODevice::ReadOnly));
        QCOMPARE(in.readAll(), existing);
    }
    QTest::qWait(100);
    QCOMPARE(requestsSeen(), 0);
}

void TestE2eVantelctl::outputThatCannotBeWrittenExits1_data()
{
    QTest::addColumn<QString>("command"); // a shell command; $V is vantelctl
    QTest::newRow("read to a full disk") << "$V -a 7 read > /dev/full";
    QTest::newRow("JSON read, stdout closed") << "$V -a 7 --json read >&-";
    QTest::newRow("scan to a full disk") << "$V scan --from 6 --to 8 > /dev/full";
    QTest::newRow("ports, stdout closed") << "$V ports >&-";
}

// Data that went nowhere is a failure, said on stderr, never exit 0.
void TestE2eVantelctl::outputThatCannotBeWrittenExits1()
{
    QFETCH(QString, command);
    const Run sh = m_rig->shell(command);
    const QString err = sh.err;
    QCOMPARE(sh.code, 1);
    QVERIFY2(err.contains(QStringLiteral("cannot write to stdout: ")), qPrintable(err));
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
    const QStringList requests = {QStringLiteral("09 03 10 00"),
                                  QStringLiteral("07 06 10 08 00 09"),
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

void TestE2eVantelctl::slowSupplyNeedsNoOption_data()
{
    // The simulator's own latency is 10 ms; fault delay adds to it. The default
    // wait of 500 ms leaves a supply up to 120 ms room on a machine four times
    // slower; a supply at 300 ms, the slowest there is, gets a wait with that
    // room too, so that a loaded machine cannot make it time out.
    QTest::addColumn<int>("delay");
    QTest::addColumn<QStringList>("options");
    QTest::newRow("10 ms") << 0 << QStringList{};
    QTest::newRow("120 ms") << 110 << QStringList{};
    QTest::newRow("300 ms, --timeout 1200")
        << 290 << QStringList{QStringLiteral("--timeout"), QStringLiteral("1200")};
}

void TestE2eVantelctl::slowSupplyNeedsNoOption()
{
    QFETCH(int, delay);
    QFETCH(QStringList, options);
    QCOMPARE(m_sim->command(QStringLiteral("fault delay %1").arg(delay)), QStringLiteral("ok"));
    const QList<QStringList> commands = {
        {"read"}, {"set", "--voltage", "3.3"}, {"output", "on"}, {"output", "off"}};
    const QStringList common = QStringList{QStringLiteral("-a"), QStringLiteral("7")} + options;
    for (const QStringList &command : commands) {
        const Run r = run(common + command);
        QVERIFY2(r.code == 0, qPrintable(command.join(' ') + QLatin1Char(' ') + r.err));
    }
    const Run moved = run(common + QStringList{"address", "8"});
    QVERIFY2(moved.code == 0, qPrintable(moved.err));
}

void TestE2eVantelctl::scanWaitAndLateReplies()
{
    // 40 ms, a quarter of the default wait's 200 ms and room for a busy machine:
    // found at the default wait; --first stops there.
    QCOMPARE(m_sim->command(QStringLiteral("fault delay 30")), QStringLiteral("ok"));
    Run r = run({"scan", "--from", "5", "--to", "9", "--first"});
    QCOMPARE(r.code, 0);
    QVERIFY2(r.out.startsWith(QStringLiteral("  7  ")), qPrintable(r.out));
    QCOMPARE(requestsSeen(), 3);

    // 300 ms: too late for the default wait, but named, with the advice.
    QCOMPARE(m_sim->command(QStringLiteral("fault delay 290")), QStringLiteral("ok"));
    r = run({"scan", "--from", "6", "--to", "8"});
    QCOMPARE(r.code, 1);
    QVERIFY(r.out.isEmpty());
    QVERIFY2(r.err.contains(QStringLiteral("address 7 answered 3")) &&
                 r.err.contains(QStringLiteral("longer --timeout")),
             qPrintable(r.err));
    // --timeout is the scan's wait.
    r = run({"--timeout", "1200", "scan", "--from", "6", "--to", "8", "--json"});
    QCOMPARE(r.code, 0);
    QVERIFY2(r.out.startsWith(QStringLiteral(R"({"address":7,"set_v":12.34,)")) &&
                 r.out.contains(QStringLiteral(R"("error":null})")),
             qPrintable(r.out));
}

void TestE2eVantelctl::addressOntoATakenAddressSendsNoWrite()
{
    QVERIFY(m_rig->startSim({"--address", "7,9", "--trace"}));
    m_sim = &m_rig->sim();
    const Run r = run({"-a", "7", "address", "9"});
    QCOMPARE(r.code, 2);
    QVERIFY2(r.err.contains(QStringLiteral("address 9 is taken")), qPrintable(r.err));
    QCOMPARE(requestsSeen(), 1); // the read of address 9, no write
}

void TestE2eVantelctl::echoingAdapter()
{
    QCOMPARE(m_sim->command(QStringLiteral("fault local-echo on")), QStringLiteral("ok"));
    // Recognised on a read without an option; with --echo a write is confirmed by
    // the supply's reply after the copy.
    Run r = run({"-a", "7", "read"});
    QVERIFY2(r.code == 0, qPrintable(r.err));
    r = run({"-a", "7", "--echo", "set", "--voltage", "2"});
    QVERIFY2(r.code == 0, qPrintable(r.err));
    // The copy alone never confirms a write.
    QCOMPARE(m_sim->command(QStringLiteral("fault silence on")), QStringLiteral("ok"));
    for (const QStringList &echo : {QStringList{"--echo"}, QStringList{}}) {
        r = run(echo + QStringList{"-a", "7", "set", "--voltage", "1"});
        QCOMPARE(r.code, 1);
    }
}

void TestE2eVantelctl::echoingAdapterWritesFirst_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("status"); // a part of the simulator's status afterwards
    QTest::newRow("set") << QStringList{"set", "--voltage", "7.5", "--current", "0.5"}
                         << "set-voltage=750 set-current=500";
    QTest::newRow("output on") << QStringList{"output", "on"} << "output=on";
}

// A command that writes first, on an echoing adapter, without --echo: the adapter's
// copy of the write is told from the supply's reply, and the write is confirmed.
void TestE2eVantelctl::echoingAdapterWritesFirst()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, status);
    QCOMPARE(m_sim->command(QStringLiteral("fault local-echo on")), QStringLiteral("ok"));
    const Run r = run(QStringList{"-a", "7"} + arguments);
    QVERIFY2(r.code == 0, qPrintable(r.err));
    const QString state = m_sim->command(QStringLiteral("status"));
    QVERIFY2(state.contains(status), qPrintable(state));
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
    QVERIFY(QFile::link(QStringLiteral("/nonexistent/ttyUSB7"), m_rig->path("COM3")));
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

// A stop while the switch waits for its echo: the switch went out, so the output
// may be on, and the message says so.
void TestE2eVantelctl::outputStoppedSaysWhatItMayBe()
{
    QCOMPARE(m_sim->command(QStringLiteral("fault silence on")), QStringLiteral("ok"));
    QProcess process;
    startProcess(process,
                 {QStringLiteral("--timeout"), QStringLiteral("60000"), QStringLiteral("-a"),
                  QStringLiteral("7"), QStringLiteral("output"), QStringLiteral("on")});
    QVERIFY(QTest::qWaitFor([&] { return requestsSeen() == 1; }, kWaitMs));
    ::kill(static_cast<pid_t>(process.processId()), SIGINT);
    const Run r = testsupport::CtlRig::finish(process);
    QCOMPARE(r.code, 130);
    QVERIFY2(r.err.contains(QStringLiteral("the output may be on")), qPrintable(r.err));
}

QTEST_GUILESS_MAIN(TestE2eVantelctl)
#include "tst_e2e_vantelctl.moc"
