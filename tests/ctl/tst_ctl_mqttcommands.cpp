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
    supply::Client client(comm);
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

QTEST_GUILESS_MAIN(TestCtlMqttCommands)
#include "tst_ctl_mqttcommands.moc"
