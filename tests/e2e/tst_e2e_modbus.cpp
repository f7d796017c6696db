// End to end: vantelctl serve --modbus against the simulator, driven by two
// independent Modbus TCP clients, Debian's mbpoll (libmodbus) and pymodbus
// (tests/e2e/modbus_client.py): reads, writes and each exception the gateway
// answers; the client over --max-clients; a listener off loopback without --allow.
#include "support/ctlrig.h"

#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTcpSocket>
#include <QtTest>

#include <memory>

namespace {

using testsupport::waitForErr;

constexpr int kSkipCode = 77; // the client script: pymodbus missing
constexpr int kWaitMs = 20000;

// One operation as modbus_client.py takes it: "read:5:0x1000:2".
struct Operation {
    QString kind; // read, write, input
    int unit;
    int reg;
    int number; // count or value
};

} // namespace

Q_DECLARE_METATYPE(Operation)

class TestE2eModbus : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void clients_data();
    void clients();
    void vantelctlThroughTheGateway_data();
    void vantelctlThroughTheGateway();
    void offLoopbackNeedsAllow();
    void overMaxClientsToldBusy(); // last: it ends the shared server

private:
    // Starts serve with `options`; the Modbus TCP port, or 0.
    quint16 startServe(QProcess &server, const QStringList &options, QString &seen);
    // One operation through `client` ("pymodbus" or "mbpoll"): its output, or a
    // null string when that client is missing.
    QString ask(const QString &client, quint16 port, const Operation &op);

    std::unique_ptr<testsupport::CtlRig> m_rig;
    QProcess m_server;
    QString m_serverErr;
    quint16 m_port = 0;
    quint16 m_scpiPort = 0;
};

quint16 TestE2eModbus::startServe(QProcess &server, const QStringList &options, QString &seen)
{
    if (!m_rig->start(server, QStringList{QStringLiteral("--port"), QStringLiteral("COM1"),
                                          QStringLiteral("serve")} +
                                  options)) {
        return 0;
    }
    const auto match = waitForErr(server, seen,
                                  QRegularExpression(QStringLiteral(
                                      "Modbus TCP on 127\\.0\\.0\\.1:(\\d+) for units [\\d,]+")));
    return match.hasMatch() ? quint16(match.captured(1).toUInt()) : 0;
}

void TestE2eModbus::initTestCase()
{
    m_rig = std::make_unique<testsupport::CtlRig>(QStringLiteral(VANTELCTL_PATH));
    // Supply 5 only; 6 is served but silent, 7 not served.
    QVERIFY(m_rig->startSim({QStringLiteral("--address"), QStringLiteral("5"),
                             QStringLiteral("--voltage"), QStringLiteral("12.34"),
                             QStringLiteral("--current"), QStringLiteral("1.5")}));
    m_port = startServe(m_server,
                        {QStringLiteral("--addresses"), QStringLiteral("5,6"),
                         QStringLiteral("--listen"), QStringLiteral("127.0.0.1:0"),
                         QStringLiteral("--modbus"), QStringLiteral("0")},
                        m_serverErr);
    QVERIFY2(m_port != 0, qPrintable(m_serverErr));
    const auto scpi = QRegularExpression(QStringLiteral("listening on 127\\.0\\.0\\.1:(\\d+)"))
                          .match(m_serverErr);
    QVERIFY(scpi.hasMatch());
    // A voltage ceiling of 20 V on supply 5, set over SCPI: Modbus TCP's writes keep it.
    QTcpSocket socket;
    socket.connectToHost(QStringLiteral("127.0.0.1"), quint16(scpi.captured(1).toUInt()));
    QVERIFY(socket.waitForConnected(kWaitMs));
    socket.write("VOLT:PROT 20\n*OPC?\n");
    QTRY_VERIFY_WITH_TIMEOUT(socket.waitForReadyRead(100) || socket.canReadLine(), kWaitMs);
    QCOMPARE(socket.readLine().trimmed(), QByteArray("1"));
}

void TestE2eModbus::cleanupTestCase()
{
    if (m_server.state() == QProcess::Running) {
        m_server.kill();
        m_server.waitForFinished();
    }
    m_rig.reset();
}

QString TestE2eModbus::ask(const QString &client, quint16 port, const Operation &op)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    if (client == QLatin1String("pymodbus")) {
        process.start(
            QStringLiteral(VANTEL_PYTHON3),
            {QStringLiteral(CLIENT_SCRIPT), QString::number(port),
             QStringLiteral("%1:%2:%3:%4").arg(op.kind).arg(op.unit).arg(op.reg).arg(op.number)});
    } else {
        const QString mbpoll = QStandardPaths::findExecutable(QStringLiteral("mbpoll"));
        if (mbpoll.isEmpty()) {
            return {};
        }
        // -0: registers as on the wire (0x1000 is 4096); -1: once.
        // A write's value follows the host; a read's count is -c.
        const bool write = op.kind == QLatin1String("write");
        process.start(mbpoll, QStringLiteral("-m tcp -0 -1 -o 3 -p %1 -a %2 -r %3 -t %4 %5 %6")
                                  .arg(port)
                                  .arg(op.unit)
                                  .arg(op.reg)
                                  .arg(op.kind == QLatin1String("input") ? 3 : 4)
                                  .arg(write ? QStringLiteral("127.0.0.1")
                                             : QStringLiteral("-c %1 127.0.0.1").arg(op.number))
                                  .arg(write ? QString::number(op.number) : QString())
                                  .split(QLatin1Char(' '), Qt::SkipEmptyParts));
    }
    if (!process.waitForFinished(kWaitMs)) {
        process.kill();
        process.waitForFinished();
        return QStringLiteral("(no end)");
    }
    if (client == QLatin1String("pymodbus") && process.exitCode() == kSkipCode) {
        return {};
    }
    return QString::fromUtf8(process.readAll());
}

void TestE2eModbus::clients_data()
{
    QTest::addColumn<QString>("client");
    QTest::addColumn<Operation>("op");
    QTest::addColumn<QString>("pattern");

    const auto read = [](int unit, int reg, int count) {
        return Operation{QStringLiteral("read"), unit, reg, count};
    };
    const auto write = [](int unit, int reg, int value) {
        return Operation{QStringLiteral("write"), unit, reg, value};
    };
    // What each client says: pymodbus as modbus_client.py prints it, mbpoll as
    // libmodbus names the exception.
    struct Case {
        const char *name;
        Operation op;
        const char *pymodbus;
        const char *mbpoll;
    };
    const QList<Case> cases{
        // The set current is 1.500 A, or 1.400 A once a row below wrote it.
        {"read set values", read(5, 0x1000, 2), "^ok 1234 1[45]00$",
         "\\[4096\\]:\\s+1234\\s+\\[4097\\]:\\s+1[45]00"},
        {"write the set current", write(5, 0x1001, 1400), "^ok 1400$", "Written 1 references"},
        {"another function: 1", Operation{QStringLiteral("input"), 5, 0x1000, 1}, "^exception 1$",
         "Illegal function"},
        {"the supply's exception passes back", read(5, 0x2000, 1), "^exception 2$",
         "Illegal data address"},
        {"a unit not served: 0x0A", read(7, 0x1000, 1), "^exception 10$",
         "Gateway path unavailable"},
        {"a served unit that is silent: 0x0B", read(6, 0x1000, 1), "^exception 11$",
         "Target device failed to respond"},
        {"62.01 V: 3", write(5, 0x1000, 6201), "^exception 3$", "Illegal data value"},
        {"above the SCPI ceiling: 3", write(5, 0x1000, 2001), "^exception 3$",
         "Illegal data value"},
        {"the address register: 2", write(5, 0x1008, 9), "^exception 2$", "Illegal data address"},
    };
    for (const char *client : {"pymodbus", "mbpoll"}) {
        for (const Case &c : cases) {
            QTest::addRow("%s: %s", client, c.name)
                << QString::fromLatin1(client) << c.op
                << QString::fromLatin1(QByteArrayView(client) == "pymodbus" ? c.pymodbus
                                                                            : c.mbpoll);
        }
    }
}

void TestE2eModbus::clients()
{
    QFETCH(QString, client);
    QFETCH(Operation, op);
    QFETCH(QString, pattern);

    const QString said = ask(client, m_port, op);
    if (said.isNull()) {
        QSKIP(qPrintable(client + QStringLiteral(" is missing (scripts/install-deps.sh)")));
    }
    const QRegularExpression re(pattern, QRegularExpression::MultilineOption);
    QVERIFY2(re.match(said).hasMatch(), qPrintable(said));
    if (op.kind == QLatin1String("write") && said.startsWith(QLatin1String("ok"))) {
        // The write reached the supply.
        QVERIFY(m_rig->sim()
                    .command(QStringLiteral("status 5"))
                    .contains(QStringLiteral("set-current=1400")));
    }
}

// vantelctl over tcp:// to the gateway: the gateway's own word for a unit it
// cannot reach or that does not answer, not a wait it never had.
void TestE2eModbus::vantelctlThroughTheGateway_data()
{
    QTest::addColumn<int>("unit");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("err"); // a pattern; %1 is the gateway's name
    QTest::newRow("a reading") << 5 << 0 << "^$";
    QTest::newRow("silent: 0x0B") << 6 << 1
                                  << "^vantelctl: read: the gateway %1: no answer from "
                                     "address 6\n$";
    QTest::newRow("not served: 0x0A") << 7 << 1
                                      << "^vantelctl: read: the gateway %1 reaches no "
                                         "unit 7\n$";
}

void TestE2eModbus::vantelctlThroughTheGateway()
{
    QFETCH(int, unit);
    QFETCH(int, code);
    QFETCH(QString, err);
    const QString gateway = QStringLiteral("tcp://127.0.0.1:%1").arg(m_port);
    const testsupport::CtlResult result =
        m_rig->run({QStringLiteral("--port"), gateway, QStringLiteral("-a"), QString::number(unit),
                    QStringLiteral("read")});
    QVERIFY2(result.code == code, qPrintable(result.err));
    QVERIFY2(QRegularExpression(err.arg(QRegularExpression::escape(gateway)))
                 .match(result.err)
                 .hasMatch(),
             qPrintable(result.err));
}

void TestE2eModbus::overMaxClientsToldBusy()
{
    // The shared server ends on SIGTERM with 0 and its account.
    m_server.terminate();
    const testsupport::CtlResult ended = testsupport::CtlRig::finish(m_server);
    QCOMPARE(ended.code, 0);
    QVERIFY2(ended.err.contains(QRegularExpression(
                 QStringLiteral("Modbus TCP: \\d+ requests, \\d+ to the line, \\d+ refused, "
                                "[1-9]\\d* unanswered by the supply"))),
             qPrintable(ended.err));

    // Modbus TCP alone, one client at a time: the second is told busy (exception 6)
    // on its first request, and closed.
    QProcess server;
    QString seen;
    const quint16 port = startServe(server,
                                    {QStringLiteral("--address"), QStringLiteral("5"),
                                     QStringLiteral("--listen"), QStringLiteral("none"),
                                     QStringLiteral("--modbus"), QStringLiteral("127.0.0.1:0"),
                                     QStringLiteral("--max-clients"), QStringLiteral("1")},
                                    seen);
    QVERIFY2(port != 0, qPrintable(seen));
    QVERIFY(!seen.contains(QStringLiteral("SCPI")));
    QTcpSocket holder;
    holder.connectToHost(QStringLiteral("127.0.0.1"), port);
    QVERIFY(holder.waitForConnected(kWaitMs));
    QVERIFY(waitForErr(server, seen, QRegularExpression(QStringLiteral("client 1 connected")))
                .hasMatch());
    for (const char *client : {"pymodbus", "mbpoll"}) {
        const QString said =
            ask(QString::fromLatin1(client), port, {QStringLiteral("read"), 5, 0x1000, 1});
        if (said.isNull()) {
            continue;
        }
        QVERIFY2(said.contains(QStringLiteral("exception 6")) ||
                     said.contains(QStringLiteral("busy"), Qt::CaseInsensitive),
                 qPrintable(said));
    }
    QVERIFY(waitForErr(server, seen, QRegularExpression(QStringLiteral("turned away"))).hasMatch());
    // The client that holds its place is served.
    holder.write(QByteArray::fromHex("000700000006050310000001"));
    QTRY_VERIFY_WITH_TIMEOUT(holder.bytesAvailable() >= 11 || holder.waitForReadyRead(100),
                             kWaitMs);
    // Transaction 7, length 5, unit 5, function 3, 2 bytes: 12.34 V.
    QCOMPARE(holder.readAll().toHex(), QByteArray("00070000000505030204d2"));
    server.terminate();
    QCOMPARE(testsupport::CtlRig::finish(server).code, 0);
}

void TestE2eModbus::offLoopbackNeedsAllow()
{
    for (const QString &listen : {QStringLiteral("0.0.0.0:1502"), QStringLiteral("[::]:1502")}) {
        // COM9 does not exist: an attempt to open it would exit 3.
        const testsupport::CtlResult result =
            m_rig->run({QStringLiteral("--port"), QStringLiteral("COM9"), QStringLiteral("serve"),
                        QStringLiteral("--modbus"), listen});
        QCOMPARE(result.code, 2);
        QVERIFY2(result.err.contains(QStringLiteral("not a loopback address")) &&
                     result.err.contains(QStringLiteral("--allow")),
                 qPrintable(result.err));
    }
    const testsupport::CtlResult none =
        m_rig->run({QStringLiteral("--port"), QStringLiteral("COM9"), QStringLiteral("serve"),
                    QStringLiteral("--listen"), QStringLiteral("none")});
    QCOMPARE(none.code, 2);
}

QTEST_GUILESS_MAIN(TestE2eModbus)
#include "tst_e2e_modbus.moc"
