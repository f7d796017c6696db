// A command from the broker as the log carries it out: the value its payload
// names, and what stops when the log ends.

#include "ctl/mqttcommands.h"
#include "engine/client.h"
#include "support/fakecommcontrol.h"

#include <QTest>

using publish::Command;
using publish::CommandKind;

Q_DECLARE_METATYPE(CommandKind)

class TestCtlMqttCommands : public QObject {
    Q_OBJECT
private slots:
    void values_data();
    void values();
    void closedRefusesAndStopsTheWriteUnderWay();
    void allOffThroughTheProgramsWay_data();
    void allOffThroughTheProgramsWay();
};

void TestCtlMqttCommands::values_data()
{
    QTest::addColumn<CommandKind>("kind");
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<int>("code"); // -1: refused
    using K = CommandKind;
    QTest::newRow("volts") << K::SetVoltage << QByteArray("12.5") << 1250;
    QTest::newRow("comma") << K::SetVoltage << QByteArray("12,5") << 1250;
    QTest::newRow("blanks and unit") << K::SetVoltage << QByteArray(" 12.5V\n") << 1250;
    QTest::newRow("rounded to 10 mV") << K::SetVoltage << QByteArray("5.004") << 500;
    QTest::newRow("the top") << K::SetVoltage << QByteArray("62") << 6200;
    QTest::newRow("above the top") << K::SetVoltage << QByteArray("62.01") << -1;
    QTest::newRow("negative") << K::SetVoltage << QByteArray("-1") << -1;
    QTest::newRow("two commas") << K::SetVoltage << QByteArray("1,2,5") << -1;
    QTest::newRow("comma and point") << K::SetVoltage << QByteArray("1,012.5") << -1;
    QTest::newRow("empty") << K::SetVoltage << QByteArray() << -1;
    QTest::newRow("amperes in volts") << K::SetVoltage << QByteArray("1A") << -1;
    QTest::newRow("amps comma") << K::SetCurrent << QByteArray("0,25") << 250;
    QTest::newRow("milliamps") << K::SetCurrent << QByteArray("500mA") << 500;
    QTest::newRow("amps above") << K::SetCurrent << QByteArray("3.201") << -1;
    QTest::newRow("ON") << K::Output << QByteArray("ON") << 1;
    QTest::newRow("off") << K::Output << QByteArray("off") << 0;
    QTest::newRow("toggle") << K::Output << QByteArray("TOGGLE") << -1;
}

void TestCtlMqttCommands::values()
{
    QFETCH(CommandKind, kind);
    QFETCH(QByteArray, payload);
    QFETCH(int, code);
    Command command;
    command.kind = kind;
    command.address = 1;
    command.payload = payload;
    std::uint16_t got = 0;
    QString why;
    QCOMPARE(ctl::commandValue(command, &got, &why), code >= 0);
    if (code >= 0) {
        QCOMPARE(int(got), code);
    } else {
        QVERIFY(!why.isEmpty());
    }
}

// Once the log is ending, a command is answered "ending" without a byte sent,
// and a write that waits for its reply stops: neither its read-back nor its
// second attempt follows the log's switching off.
void TestCtlMqttCommands::closedRefusesAndStopsTheWriteUnderWay()
{
    testsupport::FakeCommControl comm;
    comm.setPort(1, testsupport::FakeCommControl::Port::Free);
    comm.setCommPort(1);
    comm.setPortOpen(true);
    engine::Client client(comm);
    client.setTimeout(std::chrono::milliseconds(50));
    client.setStartQuiet(std::chrono::milliseconds(0));
    client.start();
    ctl::MqttCommands commands(client, {1});

    Command set;
    set.kind = CommandKind::SetVoltage;
    set.address = 1;
    set.payload = "5";
    QList<publish::CommandResult> results;
    commands.carryOut(set, [&](const publish::CommandResult &r) { results << r; });
    QTRY_COMPARE_WITH_TIMEOUT(comm.written.size(), 1, 2000); // the write, never answered
    commands.close();
    QCOMPARE(results.size(), 1);
    QCOMPARE(results[0].error, QStringLiteral("ending"));
    QTest::qWait(500); // ten timeouts: time enough for a read-back and a second attempt
    QCOMPARE(comm.written.size(), 1);
    QCOMPARE(results.size(), 1);

    commands.carryOut(set, [&](const publish::CommandResult &r) { results << r; });
    QCOMPARE(results.size(), 2);
    QCOMPARE(results[1].error, QStringLiteral("ending"));
    QCOMPARE(comm.written.size(), 1);
}

void TestCtlMqttCommands::allOffThroughTheProgramsWay_data()
{
    QTest::addColumn<QList<int>>("off");
    QTest::addColumn<QList<int>>("failed");
    QTest::addColumn<QString>("error"); // empty: ok
    QTest::addColumn<QString>("text");
    QTest::newRow("every output off") << QList<int>{1, 2} << QList<int>{} << ""
                                      << "";
    QTest::newRow("one not confirmed") << QList<int>{1} << QList<int>{2} << "not-off"
                                       << "1 of 2 outputs not confirmed off";
    // An address the way neither switched off nor reported is not off.
    QTest::newRow("one left out") << QList<int>{2} << QList<int>{} << "not-off"
                                  << "1 of 2 outputs not confirmed off";
    QTest::newRow("none") << QList<int>{} << QList<int>{} << "not-off"
                          << "2 of 2 outputs not confirmed off";
}

// A program with an all-off of its own (serve's bench) has the command carried
// out by it, not by switching each address through the client, and its outcome
// becomes the command's result.
void TestCtlMqttCommands::allOffThroughTheProgramsWay()
{
    QFETCH(QList<int>, off);
    QFETCH(QList<int>, failed);
    QFETCH(QString, error);
    QFETCH(QString, text);
    testsupport::FakeCommControl comm;
    comm.setPort(1, testsupport::FakeCommControl::Port::Free);
    comm.setCommPort(1);
    comm.setPortOpen(true);
    engine::Client client(comm);
    client.start();
    ctl::MqttCommands commands(client, {1, 2});
    int calls = 0;
    ctl::ControlWays ways;
    ways.program = QStringLiteral("server");
    ways.allOff = [&](const std::function<void(const ctl::AllOffResult &)> &done) {
        ++calls;
        ctl::AllOffResult all;
        all.off.assign(off.begin(), off.end());
        for (const int address : failed) {
            all.failed.emplace_back(address, QStringLiteral("no reply"));
        }
        done(all);
    };
    commands.setWays(ways);

    QList<publish::CommandResult> results;
    commands.carryOut(Command{}, [&](const publish::CommandResult &r) { results << r; });
    QCOMPARE(calls, 1);
    QCOMPARE(results.size(), 1);
    QCOMPARE(results[0].ok, error.isEmpty());
    QCOMPARE(results[0].error, error);
    QCOMPARE(results[0].text, text);
    QCOMPARE(results[0].off, off);
    QCOMPARE(results[0].failed.size(), failed.size());
    QTest::qWait(50);
    QCOMPARE(comm.written.size(), 0); // nothing of its own on the line

    commands.close();
    commands.carryOut(Command{}, [&](const publish::CommandResult &r) { results << r; });
    QCOMPARE(calls, 1);
    QCOMPARE(results.last().error, QStringLiteral("ending"));
    QVERIFY(results.last().text.startsWith(QStringLiteral("the server is ending")));
}

QTEST_GUILESS_MAIN(TestCtlMqttCommands)
#include "tst_ctl_mqttcommands.moc"
