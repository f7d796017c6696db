// End to end: who may reach vantelctl serve and what it leaves behind. The
// address a server prints may connect whatever --allow names (SCPI, Modbus TCP
// and the page on every address), and the record's folder of a killed server is
// removed by the next one while a live one's is kept.
#include "support/ctlrig.h"
#include "support/httpclient.h"

#include <QDir>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpServer>
#include <QtTest>

#include <memory>

namespace {

using testsupport::HttpConnection;
using testsupport::httpRequest;
using testsupport::HttpResponse;

const QByteArray kToken = "e2e-token-0123456789abcdef";

bool ipv6Loopback()
{
    QTcpServer probe;
    return probe.listen(QHostAddress(QHostAddress::LocalHostIPv6), 0);
}

} // namespace

class TestE2eServeAccess : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void thePrintedAddressMayConnect_data();
    void thePrintedAddressMayConnect();
    void aKilledServersRecordIsRemovedAtTheNextStart();

private:
    // Starts serve with `arguments` after `serve`, with TMPDIR in the rig's folder;
    // what it printed up to a line that matches `re`, or an empty match.
    QRegularExpressionMatch startServe(const QStringList &arguments, const QRegularExpression &re);
    QStringList recordFolders() const
    {
        return QDir(m_temp).entryList({QStringLiteral("vantelctl-*")}, QDir::Dirs);
    }

    std::unique_ptr<testsupport::CtlRig> m_rig;
    std::vector<std::unique_ptr<QProcess>> m_processes;
    QString m_temp;
};

void TestE2eServeAccess::init()
{
    m_rig = std::make_unique<testsupport::CtlRig>(QStringLiteral(VANTELCTL_PATH));
    m_temp = m_rig->path(QStringLiteral("tmp"));
    QVERIFY(QDir().mkpath(m_temp));
    QVERIFY(m_rig->startSim({QStringLiteral("--address"), QStringLiteral("1")}));
}

void TestE2eServeAccess::cleanup()
{
    testsupport::killAll(m_processes);
    m_rig.reset();
}

QRegularExpressionMatch TestE2eServeAccess::startServe(const QStringList &arguments,
                                                       const QRegularExpression &re)
{
    m_processes.push_back(std::make_unique<QProcess>());
    QProcess &serve = *m_processes.back();
    QProcessEnvironment env = m_rig->environment();
    env.insert(QStringLiteral("VANTEL_HTTP_TOKEN"), QString::fromLatin1(kToken));
    env.insert(QStringLiteral("TMPDIR"), m_temp);
    serve.setProcessEnvironment(env);
    serve.start(QStringLiteral(VANTELCTL_PATH),
                QStringList{QStringLiteral("--port"), QStringLiteral("COM1"),
                            QStringLiteral("--address"), QStringLiteral("1"),
                            QStringLiteral("serve")} +
                    arguments);
    QString err;
    const QRegularExpressionMatch match = testsupport::waitForErr(serve, err, re);
    if (!match.hasMatch()) {
        qWarning("%s", qPrintable(err));
    }
    return match;
}

void TestE2eServeAccess::thePrintedAddressMayConnect_data()
{
    QTest::addColumn<QString>("face");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<bool>("needsIpv6");

    const QString none = QStringLiteral("none");
    QTest::newRow("page on 0.0.0.0, another network allowed")
        << "http" << QStringList{"--listen", none,           "--http",      "0.0.0.0:0",
                                 "--allow",  "192.0.2.0/24", "--http-host", "bench.lab.example"}
        << false;
    QTest::newRow("page on [::], ::1 allowed")
        << "http" << QStringList{"--listen", none, "--http", "[::]:0", "--allow", "::1"} << true;
    QTest::newRow("SCPI on 0.0.0.0, another network allowed")
        << "scpi" << QStringList{"--listen", "0.0.0.0:0", "--allow", "192.0.2.0/24"} << false;
    QTest::newRow("SCPI on [::], ::1 allowed")
        << "scpi" << QStringList{"--listen", "[::]:0", "--allow", "::1"} << true;
    QTest::newRow("Modbus TCP on 0.0.0.0, another network allowed")
        << "modbus"
        << QStringList{"--listen", none, "--modbus", "0.0.0.0:0", "--allow", "192.0.2.0/24"}
        << false;
}

void TestE2eServeAccess::thePrintedAddressMayConnect()
{
    QFETCH(QString, face);
    QFETCH(QStringList, arguments);
    QFETCH(bool, needsIpv6);
    if (needsIpv6 && !ipv6Loopback()) {
        QSKIP("no IPv6 loopback here");
    }
    if (face == QLatin1String("http")) {
        const auto open = startServe(
            arguments,
            QRegularExpression(QStringLiteral("open http://([^/]+):(\\d+)/\\?token=(\\S+)\\n")));
        QVERIFY(open.hasMatch());
        QString host = open.captured(1);
        const quint16 port = open.captured(2).toUShort();
        if (host.startsWith(QLatin1Char('['))) {
            host = host.mid(1, host.size() - 2);
        }
        HttpConnection connection(port, host);
        QVERIFY(connection.connected());
        connection.send(
            httpRequest("GET", "/api/supplies",
                        {"Host: " + open.captured(1).toLatin1() + ':' + QByteArray::number(port),
                         "Authorization: Bearer " + open.captured(3).toLatin1()}));
        QCOMPARE(connection.next().status, 200);
        return;
    }
    const bool modbus = face == QLatin1String("modbus");
    const auto listening = startServe(
        arguments, QRegularExpression(modbus ? QStringLiteral("Modbus TCP on \\S+:(\\d+) ")
                                             : QStringLiteral("listening on \\S+:(\\d+)")));
    QVERIFY(listening.hasMatch());
    QTcpSocket socket;
    socket.connectToHost(QHostAddress(QHostAddress::LocalHost), listening.captured(1).toUShort());
    QVERIFY(socket.waitForConnected(10000));
    // Read the output register of unit 1, or ask who it is.
    socket.write(modbus ? QByteArray::fromHex("000100000006010310010001") : "*IDN?\n");
    QByteArray got;
    HttpConnection::waitUntil(
        [&] {
            got += socket.readAll();
            return modbus ? got.size() >= 11 : got.endsWith('\n');
        },
        20000);
    if (modbus) {
        QCOMPARE(got.left(8).toHex(), QByteArray("0001000000050103"));
    } else {
        QVERIFY2(got.contains(','), got.constData());
    }
}

void TestE2eServeAccess::aKilledServersRecordIsRemovedAtTheNextStart()
{
    const QStringList page{QStringLiteral("--listen"), QStringLiteral("none"),
                           QStringLiteral("--http"), QStringLiteral("127.0.0.1:0")};
    const QRegularExpression open(QStringLiteral("open http://127\\.0\\.0\\.1:(\\d+)/"));
    QVERIFY(startServe(page, open).hasMatch());
    const QStringList killed = recordFolders();
    QCOMPARE(killed.size(), 1);
    m_processes.back()->kill(); // SIGKILL: nothing of it runs again
    QVERIFY(m_processes.back()->waitForFinished(10000));
    QCOMPARE(recordFolders(), killed);

    QVERIFY(startServe(page, open).hasMatch());
    const QStringList live = recordFolders();
    QCOMPARE(live.size(), 1);
    QVERIFY(live != killed);

    // A second server beside it keeps the first one's folder.
    const auto second = startServe(page, open);
    QVERIFY(second.hasMatch());
    const QStringList both = recordFolders();
    QCOMPARE(both.size(), 2);
    QVERIFY(both.contains(live.first()));
    HttpConnection connection(second.captured(1).toUShort());
    connection.send(httpRequest(
        "GET", "/api/record.csv",
        {"Host: 127.0.0.1:" + second.captured(1).toLatin1(), "Authorization: Bearer " + kToken}));
    QCOMPARE(connection.next().status, 200);

    // Servers that end take their folders with them.
    for (auto &process : m_processes) {
        if (process->state() != QProcess::NotRunning) {
            process->terminate();
            QVERIFY(process->waitForFinished(20000));
        }
    }
    QCOMPARE(recordFolders(), QStringList());
}

QTEST_GUILESS_MAIN(TestE2eServeAccess)
#include "tst_e2e_serve_access.moc"
