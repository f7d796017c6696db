// vantelctl over --port tcp:// against an independent Modbus TCP server:
// pymodbus holding the supply's registers (tests/e2e/pymodbus_slave.py --tcp).
// Skipped where pymodbus is missing.
#include "support/ctlrig.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <memory>

namespace {

constexpr int kAddress = 1;
constexpr int kSkipCode = 77;

} // namespace

class TestE2eNetwork : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void commands_data();
    void commands();
    void logRidesOutAServerThatGoes();
    void logKeepsItsSlotsWhileTheHostIsAway();
    void logTakesASilentHostAsLost();
    void cleanupTestCase();

private:
    bool startServer();
    void stopServer();
    QString url() const { return QStringLiteral("tcp://127.0.0.1:%1").arg(m_tcpPort); }

    testsupport::CtlRig m_rig{QStringLiteral(VANTELCTL_PATH)};
    std::unique_ptr<QProcess> m_server;
    quint16 m_tcpPort = 0;
    bool m_missing = false;
};

bool TestE2eNetwork::startServer()
{
    m_server = std::make_unique<QProcess>();
    m_server->start(QStringLiteral(VANTEL_PYTHON3),
                    {QStringLiteral(SLAVE_SCRIPT), QStringLiteral("--tcp"),
                     QString::number(m_tcpPort), QString::number(kAddress)});
    if (!m_server->waitForStarted(5000)) {
        return false;
    }
    QDeadlineTimer deadline(10000);
    while (!m_server->canReadLine() && m_server->state() == QProcess::Running &&
           !deadline.hasExpired()) {
        m_server->waitForReadyRead(100);
    }
    if (m_server->state() != QProcess::Running) {
        if (m_server->exitCode() == kSkipCode) {
            m_missing = true;
            return true;
        }
        qWarning("%s", m_server->readAllStandardError().constData());
        return false;
    }
    return m_server->readLine().startsWith("ready tcp");
}

void TestE2eNetwork::stopServer()
{
    if (m_server) {
        m_server->kill();
        m_server->waitForFinished(5000);
        m_server.reset();
    }
}

void TestE2eNetwork::initTestCase()
{
    {
        // A free port on loopback; the server is started (and restarted) on it.
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost));
        m_tcpPort = probe.serverPort();
    }
    QVERIFY(startServer());
    if (m_missing) {
        QSKIP("pymodbus is missing");
    }
}

void TestE2eNetwork::cleanupTestCase()
{
    stopServer();
}

void TestE2eNetwork::commands_data()
{
    QTest::addColumn<QString>("port");          // empty: the server's
    QTest::addColumn<QStringList>("arguments"); // after --port
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("out"); // a pattern
    QTest::addColumn<QString>("err"); // a pattern

    // In order: each row sees what the one before it wrote.
    QTest::newRow("read")
        << QString() << QStringList{"read"} << 0
        << R"(^0\.00 V  0\.000 A  0\.00 W  \(set 5\.00 V 1\.000 A\)  output off  CV\n$)"
        << "^$";
    QTest::newRow("set") << QString() << QStringList{"set", "--voltage", "12.5", "--current", "2"}
                         << 0 << R"(^sent 12\.50 V 2\.000 A\n.*\(set 12\.50 V 2\.000 A\))"
                         << "^$";
    QTest::newRow("output on") << QString() << QStringList{"output", "on"} << 0
                               << R"(12\.50 V  1\.250 A  15\.63 W .* output on  CV)"
                               << "^$";
    QTest::newRow("read, json")
        << QString() << QStringList{"--json", "read"} << 0
        << R"(^\{"address":1,"set_v":12\.5,"set_a":2,"v":12\.5,"a":1\.25,"w":15\.625,"output":true,"mode":"CV"\}\n$)"
        << "^$";
    QTest::newRow("output off") << QString() << QStringList{"output", "off"} << 0 << "output off"
                                << "^$";
    // pymodbus does not answer a unit it does not serve: a timeout there.
    QTest::newRow("scan") << QString() << QStringList{"--timeout", "100", "scan", "--to", "2"} << 0
                          << R"(^  1  0\.00 V)"
                          << "1 address answered in 1\\.\\.2";
    // Its wait is the timeout and the gateway's room: pymodbus stays silent.
    QTest::newRow("silent unit") << QString() << QStringList{"--timeout", "100", "-a", "9", "read"}
                                 << 1 << "^$"
                                 << "no reply from address 9 within 1100 ms\\n$";
    QTest::newRow("refused") << "tcp://127.0.0.1:1" << QStringList{"read"} << 3 << "^$"
                             << "^vantelctl: tcp://127.0.0.1:1 cannot be reached: .*refused";
    QTest::newRow("no port number") << "tcp://127.0.0.1:99999" << QStringList{"read"} << 2 << "^$"
                                    << "port 'tcp://127.0.0.1:99999'.*a good one looks like tcp://";
}

void TestE2eNetwork::commands()
{
    QFETCH(QString, port);
    QFETCH(QStringList, arguments);
    QFETCH(int, code);
    QFETCH(QString, out);
    QFETCH(QString, err);

    const testsupport::CtlResult result =
        m_rig.run(QStringList{QStringLiteral("--port"), port.isEmpty() ? url() : port} + arguments);
    QVERIFY2(result.code == code,
             qPrintable(QStringLiteral("exit %1: %2").arg(result.code).arg(result.err)));
    QVERIFY2(QRegularExpression(out).match(result.out).hasMatch(), qPrintable(result.out));
    QVERIFY2(QRegularExpression(err).match(result.err).hasMatch(), qPrintable(result.err));
}

void TestE2eNetwork::logRidesOutAServerThatGoes()
{
    QProcess log;
    QVERIFY(m_rig.start(log, {QStringLiteral("--port"), url(), QStringLiteral("--timeout"),
                              QStringLiteral("100"), QStringLiteral("log"),
                              QStringLiteral("--interval"), QStringLiteral("200")}));
    QString out;
    const auto rows = [&](const QString &error) {
        out += QString::fromUtf8(log.readAllStandardOutput());
        return int(out.split(QLatin1Char('\n'))
                       .filter(QRegularExpression(QStringLiteral("^20.*,%1$").arg(error)))
                       .size());
    };
    QVERIFY(QTest::qWaitFor([&] { return rows(QString()) >= 3; }, 10000));
    stopServer();
    QVERIFY(QTest::qWaitFor([&] { return rows(QStringLiteral("port")) >= 3; }, 10000));
    QVERIFY(startServer());
    const int good = rows(QString());
    QVERIFY(QTest::qWaitFor([&] { return rows(QString()) >= good + 3; }, 10000));
    log.terminate(); // SIGTERM: a log ends cleanly
    const testsupport::CtlResult result = testsupport::CtlRig::finish(log);
    out += result.out;
    QCOMPARE(result.code, 0);
    QVERIFY2(result.err.contains(QStringLiteral("the port %1 was lost (").arg(url())),
             qPrintable(result.err));
    QVERIFY2(result.err.contains(QStringLiteral("the port %1 is back after").arg(url())),
             qPrintable(result.err));
    QVERIFY2(result.err.contains(QStringLiteral("port %1: lost once").arg(url())),
             qPrintable(result.err));
    // No reading was taken twice or out of its slot's order.
    QCOMPARE(out.split(QLatin1Char('\n')).filter(QStringLiteral("time,elapsed_s")).size(), 1);
}

// The gateway's host goes away without a word: connections to it go unanswered,
// as to a host that is off (here a listener whose queue is full drops them). The
// log connects again in the background and writes a `port` row in each slot, on
// time, instead of stalling while each attempt waits.
void TestE2eNetwork::logKeepsItsSlotsWhileTheHostIsAway()
{
    QProcess log;
    QVERIFY(m_rig.start(log, {QStringLiteral("--port"), url(), QStringLiteral("--timeout"),
                              QStringLiteral("100"), QStringLiteral("log"),
                              QStringLiteral("--interval"), QStringLiteral("200")}));
    QElapsedTimer clock;
    clock.start();
    QByteArray pending;
    QStringList good;
    QList<qint64> lostAt;      // when each `port` row came, on this clock
    QList<double> lostElapsed; // its elapsed_s
    const auto take = [&] {
        pending += log.readAllStandardOutput();
        qsizetype end = 0;
        while ((end = pending.indexOf('\n')) >= 0) {
            const QString row = QString::fromUtf8(pending.left(end));
            pending.remove(0, end + 1);
            if (!row.startsWith(QLatin1String("20"))) {
                continue;
            }
            if (row.endsWith(QLatin1String(",port"))) {
                lostAt << clock.elapsed();
                lostElapsed << row.section(QLatin1Char(','), 1, 1).toDouble();
            } else if (row.endsWith(QLatin1Char(','))) {
                good << row;
            }
        }
    };
    QVERIFY(QTest::qWaitFor(
        [&] {
            take();
            return good.size() >= 3;
        },
        10000));
    stopServer();
    QTcpServer hole;
    hole.setListenBacklogSize(0);
    QVERIFY(hole.listen(QHostAddress::LocalHost, m_tcpPort));
    hole.pauseAccepting();
    QTcpSocket filler; // the one connection the queue holds
    filler.connectToHost(QHostAddress::LocalHost, m_tcpPort);
    QVERIFY(filler.waitForConnected(5000));
    QTest::qWait(4000);
    take();
    hole.close();
    filler.abort();
    QVERIFY(startServer());
    const int before = int(good.size());
    QVERIFY(QTest::qWaitFor(
        [&] {
            take();
            return good.size() >= before + 3;
        },
        10000));
    log.terminate();
    const testsupport::CtlResult result = testsupport::CtlRig::finish(log);
    QCOMPARE(result.code, 0);
    QVERIFY2(result.err.contains(QStringLiteral("the port %1 is back after").arg(url())),
             qPrintable(result.err));

    // A slot every 200 ms: about 20 in the 4 s away, each written as it came.
    QVERIFY2(lostAt.size() >= 12, qPrintable(result.err));
    for (qsizetype i = 1; i < lostAt.size(); ++i) {
        QVERIFY2(lostAt[i] - lostAt[i - 1] < 1000,
                 qPrintable(QStringLiteral("row %1 came %2 ms after the one before")
                                .arg(i)
                                .arg(lostAt[i] - lostAt[i - 1])));
        QVERIFY2(lostElapsed[i] - lostElapsed[i - 1] < 0.5,
                 qPrintable(QStringLiteral("row %1 is timed %2 s after the one before")
                                .arg(i)
                                .arg(lostElapsed[i] - lostElapsed[i - 1])));
    }
}

// A gateway whose host went off without closing the connection: the connection
// stays up, nothing comes back, and new connections go unanswered. The log takes
// it as a lost port, not as timeouts forever.
void TestE2eNetwork::logTakesASilentHostAsLost()
{
    QTcpServer host;
    host.setListenBacklogSize(0);
    QVERIFY(host.listen(QHostAddress::LocalHost));
    const QString gateway = QStringLiteral("tcp://127.0.0.1:%1").arg(host.serverPort());
    QProcess log;
    QVERIFY(m_rig.start(log, {QStringLiteral("--port"), gateway, QStringLiteral("--timeout"),
                              QStringLiteral("100"), QStringLiteral("log"),
                              QStringLiteral("--interval"), QStringLiteral("200")}));
    QVERIFY(host.waitForNewConnection(10000));
    const std::unique_ptr<QTcpSocket> connection(host.nextPendingConnection());
    host.pauseAccepting();
    QTcpSocket filler; // the one connection the queue holds
    filler.connectToHost(QHostAddress::LocalHost, host.serverPort());
    QVERIFY(filler.waitForConnected(5000));
    QString err;
    const auto lost = testsupport::waitForErr(
        log, err,
        QRegularExpression(QStringLiteral("the port %1 was lost \\(the gateway has sent nothing "
                                          "for \\d+ s across \\d+ requests, and its host takes "
                                          "no new connection")
                               .arg(QRegularExpression::escape(gateway))));
    QVERIFY2(lost.hasMatch(), qPrintable(err));
    QByteArray rows;
    QTRY_VERIFY_WITH_TIMEOUT((rows += log.readAllStandardOutput()).contains(",port\n"), 5000);
    log.terminate();
    // It ended without its port: a failure.
    QCOMPARE(testsupport::CtlRig::finish(log).code, 1);
}

QTEST_GUILESS_MAIN(TestE2eNetwork)
#include "tst_e2e_network.moc"
