// serve's options: the listeners' addresses, who may connect, and the refusals
// that end the command before anything opens.
#include "ctl/serveoptions.h"

#include <QTest>

using namespace ctl;

class TestCtlServeOptions : public QObject {
    Q_OBJECT
private slots:
    void refused_data();
    void refused();
    void accepted_data();
    void accepted();
    void http_data();
    void http();
    void bench_data();
    void bench();
};

namespace {

ServeTexts texts(const QString &listen, const QString &modbus, const QString &allow,
                 const QString &maxClients = QStringLiteral("4"),
                 const QString &idleTimeout = QStringLiteral("0"))
{
    return {listen, modbus, allow, maxClients, idleTimeout, false, false, {}, {}, {}};
}

} // namespace

void TestCtlServeOptions::refused_data()
{
    QTest::addColumn<QString>("listen");
    QTest::addColumn<QString>("modbus");
    QTest::addColumn<QString>("allow");
    QTest::addColumn<QString>("maxClients");
    QTest::addColumn<QString>("idleTimeout");
    QTest::addColumn<QString>("said");

    const QString none;
    const QString four = QStringLiteral("4");
    const QString zero = QStringLiteral("0");
    const QString offLoopback = QStringLiteral("is not a loopback address");
    // A listener anyone on the network may reach needs the addresses that may.
    QTest::newRow("SCPI on every IPv4 address")
        << "0.0.0.0:5025" << none << none << four << zero << offLoopback;
    QTest::newRow("SCPI on every address")
        << "[::]:5025" << none << none << four << zero << offLoopback;
    QTest::newRow("SCPI on a LAN address")
        << "192.168.1.2:5025" << none << none << four << zero << offLoopback;
    QTest::newRow("Modbus TCP on every address")
        << none << "0.0.0.0:1502" << none << four << zero << offLoopback;
    QTest::newRow("Modbus TCP off loopback, SCPI none")
        << "none"
        << "[::]:1502" << none << four << zero << offLoopback;
    // Endpoints that cannot be read.
    QTest::newRow("nothing to serve")
        << "none" << none << none << four << zero << "leaves nothing to serve";
    QTest::newRow("SCPI port alone") << "5025" << none << none << four << zero << "--listen takes";
    QTest::newRow("IPv6 without brackets")
        << "::1:5025" << none << none << four << zero << "--listen takes";
    QTest::newRow("port beyond 65535")
        << "127.0.0.1:65536" << none << none << four << zero << "--listen takes";
    QTest::newRow("host name") << "example.org:5025" << none << none << four << zero
                               << "--listen takes";
    QTest::newRow("Modbus TCP port not a number")
        << none << "127.0.0.1:x" << none << four << zero << "--modbus takes";
    // --allow is checked item by item, before the listeners are judged by it.
    QTest::newRow("prefix too long")
        << "0.0.0.0:5025" << none << "192.168.1.0/33" << four << zero << "--allow takes";
    QTest::newRow("empty item") << "0.0.0.0:5025" << none << "127.0.0.1," << four << zero
                                << "--allow takes";
    QTest::newRow("host name allowed")
        << "0.0.0.0:5025" << none << "lab-pc" << four << zero << "--allow takes";
    QTest::newRow("no clients") << none << none << none << "0" << zero << "--max-clients";
    QTest::newRow("too many clients") << none << none << none << "1001" << zero << "--max-clients";
    QTest::newRow("idle beyond a week") << none << none << none << four << "604801"
                                        << "--idle-timeout";
    QTest::newRow("idle negative") << none << none << none << four << "-1"
                                   << "--idle-timeout";
}

void TestCtlServeOptions::refused()
{
    QFETCH(QString, listen);
    QFETCH(QString, modbus);
    QFETCH(QString, allow);
    QFETCH(QString, maxClients);
    QFETCH(QString, idleTimeout);
    QFETCH(QString, said);
    const auto options = parseServeOptions(texts(listen, modbus, allow, maxClients, idleTimeout));
    QVERIFY(!options);
    QVERIFY2(options.error().contains(said), qPrintable(options.error()));
}

void TestCtlServeOptions::accepted_data()
{
    QTest::addColumn<QString>("listen");
    QTest::addColumn<QString>("modbus");
    QTest::addColumn<QString>("allow");
    // "-": no such listener; [::] stands for every address, IPv4 ones too.
    QTest::addColumn<QString>("scpiAt");
    QTest::addColumn<QString>("modbusAt");
    QTest::addColumn<QStringList>("allowed");

    const QString none;
    QTest::newRow("defaults") << none << none << none << "127.0.0.1:5025"
                              << "-" << QStringList();
    QTest::newRow("localhost") << "localhost:5026" << none << none << "127.0.0.1:5026"
                               << "-" << QStringList();
    QTest::newRow("any free port") << "[::1]:0" << none << none << "::1:0"
                                   << "-" << QStringList();
    QTest::newRow("Modbus TCP port alone is loopback") << none << "1502" << none << "127.0.0.1:5025"
                                                       << "127.0.0.1:1502" << QStringList();
    QTest::newRow("Modbus TCP only") << "none"
                                     << "[::1]:1502" << none << "-"
                                     << "::1:1502" << QStringList();
    QTest::newRow("every address, a subnet allowed")
        << "[::]:5025"
        << "0.0.0.0:1502"
        << "192.168.1.0/24"
        << "any:5025"
        << "0.0.0.0:1502" << QStringList{QStringLiteral("192.168.1.0/24")};
    QTest::newRow("single addresses are whole prefixes")
        << "0.0.0.0:5025" << none << " 10.0.0.5 , fe80::1"
        << "0.0.0.0:5025"
        << "-" << QStringList{QStringLiteral("10.0.0.5/32"), QStringLiteral("fe80::1/128")};
}

void TestCtlServeOptions::accepted()
{
    QFETCH(QString, listen);
    QFETCH(QString, modbus);
    QFETCH(QString, allow);
    QFETCH(QString, scpiAt);
    QFETCH(QString, modbusAt);
    QFETCH(QStringList, allowed);
    const auto parsed = parseServeOptions(texts(listen, modbus, allow));
    QVERIFY2(parsed, qPrintable(parsed.error()));
    const ServeOptions &o = *parsed;
    const auto at = [](bool on, const QHostAddress &address, quint16 port) {
        if (!on) {
            return QStringLiteral("-");
        }
        const QString host = address.protocol() == QAbstractSocket::AnyIPProtocol
                                 ? QStringLiteral("any")
                                 : address.toString();
        return QStringLiteral("%1:%2").arg(host).arg(port);
    };
    QCOMPARE(at(o.scpi, o.listenAddress, o.listenPort), scpiAt);
    QCOMPARE(at(o.modbus, o.modbusAddress, o.modbusPort), modbusAt);
    QStringList subnets;
    for (const auto &subnet : o.allow) {
        subnets << QStringLiteral("%1/%2").arg(subnet.first.toString()).arg(subnet.second);
    }
    QCOMPARE(subnets, allowed);
}

void TestCtlServeOptions::http_data()
{
    QTest::addColumn<QString>("listen");
    QTest::addColumn<QString>("http");
    QTest::addColumn<QStringList>("hosts");
    QTest::addColumn<QString>("allow");
    QTest::addColumn<QString>("outcome"); // where the page is, or what the refusal says

    const QString none;
    const QStringList noHosts;
    QTest::newRow("port alone is loopback")
        << none << "8080" << noHosts << none << "127.0.0.1:8080";
    QTest::newRow("any free port") << none << "0" << noHosts << none << "127.0.0.1:0";
    QTest::newRow("the page alone") << "none"
                                    << "[::1]:8080" << noHosts << none << "::1:8080";
    QTest::newRow("every address needs --allow")
        << none << "0.0.0.0:8080" << noHosts << none << "is not a loopback address";
    QTest::newRow("a LAN address needs --allow")
        << none << "192.168.1.2:8080" << noHosts << none << "is not a loopback address";
    QTest::newRow("every address, a subnet allowed")
        << none << "0.0.0.0:8080" << QStringList{QStringLiteral("bench.lab.example")}
        << "192.168.1.0/24"
        << "0.0.0.0:8080";
    QTest::newRow("not an endpoint")
        << none << "example.org:8080" << noHosts << none << "--http takes";
    QTest::newRow("a host name without the page")
        << none << none << QStringList{QStringLiteral("bench")} << none << "give --http";
    QTest::newRow("a host name with a slash")
        << none << "8080" << QStringList{QStringLiteral("evil/x")} << none << "--http-host takes";
    QTest::newRow("nothing to serve")
        << "none" << none << noHosts << none << "give --modbus, --http or --mqtt";
}

void TestCtlServeOptions::http()
{
    QFETCH(QString, listen);
    QFETCH(QString, http);
    QFETCH(QStringList, hosts);
    QFETCH(QString, allow);
    QFETCH(QString, outcome);
    ServeTexts given = texts(listen, QString(), allow);
    given.http = http;
    given.httpHosts = hosts;
    const auto parsed = parseServeOptions(given);
    if (!outcome.front().isDigit() && !outcome.startsWith(QLatin1Char(':'))) {
        QVERIFY(!parsed);
        QVERIFY2(parsed.error().contains(outcome), qPrintable(parsed.error()));
        return;
    }
    QVERIFY2(parsed, qPrintable(parsed.error()));
    QVERIFY((*parsed).http);
    QCOMPARE(QStringLiteral("%1:%2").arg((*parsed).httpAddress.toString()).arg((*parsed).httpPort),
             outcome);
    QCOMPARE((*parsed).httpHosts, hosts);
}

void TestCtlServeOptions::bench_data()
{
    QTest::addColumn<QString>("http");
    QTest::addColumn<std::optional<QString>>("bench");
    QTest::addColumn<QString>("outcome"); // the label, or what the refusal says
    QTest::newRow("not given: the host name, later") << "8080" << std::optional<QString>() << "";
    QTest::newRow("a name") << "8080" << std::optional(QStringLiteral("bench-3")) << "bench-3";
    QTest::newRow("spaces inside kept, around dropped")
        << "8080" << std::optional(QStringLiteral(" lab \"3\" east ")) << "lab \"3\" east";
    QTest::newRow("empty") << "8080" << std::optional(QString()) << "!--bench takes";
    QTest::newRow("blank") << "8080" << std::optional(QStringLiteral("  ")) << "!--bench takes";
    QTest::newRow("a line end") << "8080" << std::optional(QStringLiteral("a\nb"))
                                << "!--bench takes";
    QTest::newRow("without the page")
        << QString() << std::optional(QStringLiteral("bench-3")) << "!give --http";
}

void TestCtlServeOptions::bench()
{
    QFETCH(QString, http);
    QFETCH(std::optional<QString>, bench);
    QFETCH(QString, outcome);
    ServeTexts given = texts(QString(), QString(), QString());
    given.http = http;
    given.bench = bench;
    const auto parsed = parseServeOptions(given);
    if (outcome.startsWith(QLatin1Char('!'))) {
        QVERIFY(!parsed);
        QVERIFY2(parsed.error().contains(outcome.mid(1)), qPrintable(parsed.error()));
        return;
    }
    QVERIFY2(parsed, qPrintable(parsed.error()));
    QCOMPARE((*parsed).bench, outcome);
}

QTEST_GUILESS_MAIN(TestCtlServeOptions)
#include "tst_ctl_serveoptions.moc"
