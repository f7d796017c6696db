// End to end: vantelctl serve --http on the simulator with four supplies, asked
// over HTTP as a page's script would: a set reaches the supply, all-off switches
// every output off, the stream carries the line's readings, the record has the
// log's columns, and a ceiling that another program holds refuses a set with
// nothing sent.
#include "support/ctlrig.h"
#include "support/httpclient.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTimer>
#include <QtTest>

#include <memory>

namespace {

using testsupport::HttpConnection;
using testsupport::httpRequest;
using testsupport::HttpResponse;

const QByteArray kToken = "e2e-token-0123456789abcdef";

} // namespace

class TestE2eHttp : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void aSetReachesTheSupply_data();
    void aSetReachesTheSupply();
    void allOffSwitchesEveryOutputOff();
    void theStartAddressLeavesNoCredential();
    void theStreamAndTheRecordCarryTheLine();
    void aCeilingHeldByAnotherProgramRefuses();
    void aListenerOffLoopbackNeedsAllow();
    void allOffGetsThroughHeldConnections();

private:
    // serve --http on the line with `extra` options; false if it did not start.
    bool startServe(const QStringList &common, const QStringList &extra = {});
    HttpResponse ask(const QByteArray &method, const QByteArray &path, const QByteArray &body = {})
    {
        HttpConnection connection(m_port);
        connection.send(httpRequest(
            method, path,
            {"Host: 127.0.0.1:" + QByteArray::number(m_port), "Authorization: Bearer " + kToken},
            body));
        return connection.next(20000);
    }
    QString status(int address)
    {
        return m_rig->sim().command(QStringLiteral("status %1").arg(address));
    }

    std::unique_ptr<testsupport::CtlRig> m_rig;
    std::vector<std::unique_ptr<QProcess>> m_processes;
    quint16 m_port = 0;
};

void TestE2eHttp::init()
{
    m_rig = std::make_unique<testsupport::CtlRig>(QStringLiteral(VANTELCTL_PATH));
}

void TestE2eHttp::cleanup()
{
    testsupport::killAll(m_processes);
    m_rig.reset();
}

bool TestE2eHttp::startServe(const QStringList &common, const QStringList &extra)
{
    m_processes.push_back(std::make_unique<QProcess>());
    QProcess &serve = *m_processes.back();
    QProcessEnvironment env = m_rig->environment();
    env.insert(QStringLiteral("VANTEL_HTTP_TOKEN"), QString::fromLatin1(kToken));
    serve.setProcessEnvironment(env);
    serve.start(QStringLiteral(VANTELCTL_PATH),
                common +
                    QStringList{QStringLiteral("serve"), QStringLiteral("--listen"),
                                QStringLiteral("none"), QStringLiteral("--http"),
                                QStringLiteral("127.0.0.1:0")} +
                    extra);
    QString err;
    const auto open =
        testsupport::waitForErr(serve, err,
                                QRegularExpression(QStringLiteral(
                                    "open http://127\\.0\\.0\\.1:(\\d+)/\\?token=(\\S+)\\n")));
    if (!open.hasMatch()) {
        qWarning("%s", qPrintable(err));
        return false;
    }
    m_port = open.captured(1).toUShort();
    // The token is printed in the start message, and there only.
    return open.captured(2) == QString::fromLatin1(kToken) &&
           err.count(QString::fromLatin1(kToken)) == 1;
}

void TestE2eHttp::aSetReachesTheSupply_data()
{
    QTest::addColumn<QString>("line");
    QTest::newRow("timed") << QStringLiteral("timed");
    QTest::newRow("instant") << QStringLiteral("instant");
}

void TestE2eHttp::aSetReachesTheSupply()
{
    QFETCH(QString, line);
    QVERIFY(m_rig->startSim(
        {QStringLiteral("--address"), QStringLiteral("1-4"), QStringLiteral("--line"), line}));
    QVERIFY(startServe({QStringLiteral("--port"), QStringLiteral("COM1"),
                        QStringLiteral("--addresses"), QStringLiteral("1-4")}));
    const HttpResponse set = ask("POST", "/api/supplies/3/set", "{\"v\": 12.6, \"a\": 1.5}");
    QCOMPARE(set.status, 200);
    const QJsonObject reading =
        QJsonDocument::fromJson(set.body).object().value(QStringLiteral("reading")).toObject();
    QCOMPARE(reading.value(QStringLiteral("address")).toInt(), 3);
    QCOMPARE(reading.value(QStringLiteral("set_v")).toDouble(), 12.6);
    QCOMPARE(reading.value(QStringLiteral("set_a")).toDouble(), 1.5);
    QVERIFY2(status(3).contains(QStringLiteral("set-voltage=1260 set-current=1500")),
             qPrintable(status(3)));
    // The others are left as they were.
    QVERIFY(status(2).contains(QStringLiteral("set-voltage=500 set-current=1000")));
    // Refused values send nothing.
    QCOMPARE(ask("POST", "/api/supplies/3/set", "{\"v\": 70}").status, 400);
    QCOMPARE(ask("POST", "/api/supplies/9/set", "{\"v\": 7}").status, 404);
    QVERIFY(status(3).contains(QStringLiteral("set-voltage=1260")));
    QVERIFY(!status(3).contains(QStringLiteral("output=on")));
    const HttpResponse on = ask("POST", "/api/supplies/3/output", "{\"on\": true}");
    QCOMPARE(on.status, 200);
    QVERIFY(status(3).contains(QStringLiteral("output=on")));
}

void TestE2eHttp::allOffSwitchesEveryOutputOff()
{
    QVERIFY(m_rig->startSim({QStringLiteral("--address"), QStringLiteral("1-4"),
                             QStringLiteral("--output"), QStringLiteral("on")}));
    QVERIFY(startServe({QStringLiteral("--port"), QStringLiteral("COM1"),
                        QStringLiteral("--addresses"), QStringLiteral("1-4")}));
    for (int address = 1; address <= 4; ++address) {
        QVERIFY(status(address).contains(QStringLiteral("output=on")));
    }
    const HttpResponse off = ask("POST", "/api/all-off");
    QCOMPARE(off.status, 200);
    const QJsonObject body = QJsonDocument::fromJson(off.body).object();
    QCOMPARE(body.value(QStringLiteral("off")).toArray(), (QJsonArray{1, 2, 3, 4}));
    QCOMPARE(body.value(QStringLiteral("failed")).toArray(), QJsonArray());
    for (int address = 1; address <= 4; ++address) {
        QVERIFY2(status(address).contains(QStringLiteral("output=off")),
                 qPrintable(status(address)));
    }

    // A supply that does not answer is listed with why, in words that do not
    // repeat the list's own "not confirmed".
    QCOMPARE(m_rig->sim().command(QStringLiteral("set output on")), QStringLiteral("ok"));
    QCOMPARE(m_rig->sim().command(QStringLiteral("fault silence on 2")), QStringLiteral("ok"));
    const HttpResponse partly = ask("POST", "/api/all-off");
    QCOMPARE(partly.status, 200);
    const QJsonObject answer = QJsonDocument::fromJson(partly.body).object();
    QCOMPARE(answer.value(QStringLiteral("off")).toArray(), (QJsonArray{1, 3, 4}));
    const QJsonArray failed = answer.value(QStringLiteral("failed")).toArray();
    QCOMPARE(failed.size(), 1);
    QCOMPARE(failed[0].toObject().value(QStringLiteral("address")).toInt(), 2);
    QCOMPARE(failed[0].toObject().value(QStringLiteral("error")).toString(),
             QStringLiteral("timeout"));
    QCOMPARE(failed[0].toObject().value(QStringLiteral("failure")).toString(),
             QStringLiteral("timeout"));
}

void TestE2eHttp::theStartAddressLeavesNoCredential()
{
    QVERIFY(m_rig->startSim({QStringLiteral("--address"), QStringLiteral("1")}));
    QVERIFY(startServe({QStringLiteral("--port"), QStringLiteral("COM1"),
                        QStringLiteral("--addresses"), QStringLiteral("1")}));
    // The printed address gets the page: no cookie, no token in it. The page's
    // script keeps the token for its origin.
    const QByteArray host = "Host: 127.0.0.1:" + QByteArray::number(m_port);
    HttpConnection start(m_port);
    start.send(httpRequest("GET", "/?token=" + kToken, {host}));
    const HttpResponse page = start.next(20000);
    QCOMPARE(page.status, 200);
    QVERIFY(!page.headers.contains("set-cookie"));
    QVERIFY(!page.body.contains(kToken));
    // A cookie with the token opens nothing.
    HttpConnection cookie(m_port);
    cookie.send(httpRequest("GET", "/api/supplies", {host, "Cookie: vantel_token=" + kToken}));
    QCOMPARE(cookie.next(20000).status, 401);
}

void TestE2eHttp::theStreamAndTheRecordCarryTheLine()
{
    QVERIFY(m_rig->startSim({QStringLiteral("--address"), QStringLiteral("1-4"),
                             QStringLiteral("--voltage"), QStringLiteral("7.5")}));
    QVERIFY(startServe({QStringLiteral("--port"), QStringLiteral("COM1"),
                        QStringLiteral("--addresses"), QStringLiteral("1-4")}));
    HttpConnection stream(m_port);
    stream.send(
        httpRequest("GET", "/api/events", {"Host: localhost", "Authorization: Bearer " + kToken}));
    // The greeting's four, then readings as they come: every supply's.
    const QByteArray got = stream.readUntil(
        [](const QByteArray &b) { return b.count("event: reading\n") >= 12; }, 20000);
    QVERIFY(got.count("event: reading\n") >= 12);
    for (int address = 1; address <= 4; ++address) {
        QVERIFY(got.contains("\"address\":" + QByteArray::number(address) + ","));
    }
    QVERIFY(got.contains("\"set_v\":7.5"));

    const HttpResponse record = ask("GET", "/api/record.csv");
    QCOMPARE(record.status, 200);
    const QList<QByteArray> rows = record.body.trimmed().split('\n');
    QCOMPARE(rows.value(0),
             QByteArray("time,elapsed_s,address,set_v,set_a,v,a,w,output,mode,ah,wh,error"));
    QVERIFY(rows.size() >= 5);
    QVERIFY(rows.value(1).contains(",1,7.5,"));

    const HttpResponse supplies = ask("GET", "/api/supplies");
    const QJsonArray list =
        QJsonDocument::fromJson(supplies.body).object().value(QStringLiteral("supplies")).toArray();
    QCOMPARE(list.size(), 4);
    const QJsonObject first = list.at(0).toObject();
    QCOMPARE(first.value(QStringLiteral("name")).toString(), QStringLiteral("address 1"));
    QVERIFY(first.value(QStringLiteral("output")).isBool());
    QVERIFY(first.value(QStringLiteral("error")).isNull());
    QVERIFY(first.value(QStringLiteral("ceilings")).toObject().value(QStringLiteral("v")).isNull());
}

void TestE2eHttp::aCeilingHeldByAnotherProgramRefuses()
{
    QVERIFY(m_rig->startSim({QStringLiteral("--address"), QStringLiteral("5")}));
    const QStringList common{QStringLiteral("--port"), QStringLiteral("COM1"),
                             QStringLiteral("--address"), QStringLiteral("5")};
    // A run holds 10 V on the supply and owns the line; serve joins it.
    const QString sequence = m_rig->path(QStringLiteral("limit.txt"));
    QFile file(sequence);
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write("limit 10V\nhold 60s\n") > 0);
    file.close();
    const QString rows = m_rig->path(QStringLiteral("run.csv"));
    m_processes.push_back(std::make_unique<QProcess>());
    QProcess &run = *m_processes.back();
    QVERIFY(m_rig->start(
        run, common + QStringList{QStringLiteral("run"), sequence, QStringLiteral("--interval"),
                                  QStringLiteral("200"), QStringLiteral("--output"), rows}));
    HttpConnection::waitUntil(
        [&rows] {
            QFile f(rows);
            return f.open(QIODevice::ReadOnly) && f.readAll().count('\n') >= 2;
        },
        20000);
    QVERIFY(startServe(common));

    // The page shows the ceiling the line holds, though its holder is another program.
    const auto ceilingV = [this] {
        const QJsonArray list = QJsonDocument::fromJson(ask("GET", "/api/supplies").body)
                                    .object()
                                    .value(QStringLiteral("supplies"))
                                    .toArray();
        return list.at(0)
            .toObject()
            .value(QStringLiteral("ceilings"))
            .toObject()
            .value(QStringLiteral("v"));
    };
    HttpConnection::waitUntil([&] { return !ceilingV().isNull(); }, 20000);
    QCOMPARE(ceilingV().toDouble(), 10.0);

    const HttpResponse refused = ask("POST", "/api/supplies/5/set", "{\"v\": 20}");
    QCOMPARE(refused.status, 409);
    const QJsonObject body = QJsonDocument::fromJson(refused.body).object();
    // The failure's word beside its text, for a page that acts on the kind.
    QCOMPARE(body.value(QStringLiteral("failure")).toString(), QStringLiteral("refused"));
    const QString said = body.value(QStringLiteral("error")).toString();
    QCOMPARE(said,
             QStringLiteral("20.00 V is above the 10.00 V ceiling that vantelctl run (pid %1) "
                            "holds on COM1 address 5")
                 .arg(run.processId()));
    QVERIFY2(status(5).contains(QStringLiteral("set-voltage=500")), qPrintable(status(5)));
    // Within it, the set goes through.
    QCOMPARE(ask("POST", "/api/supplies/5/set", "{\"v\": 10}").status, 200);
    QVERIFY(status(5).contains(QStringLiteral("set-voltage=1000")));
}

void TestE2eHttp::aListenerOffLoopbackNeedsAllow()
{
    // Refused before anything opens: no simulator is needed.
    const testsupport::CtlResult result =
        m_rig->run({QStringLiteral("--port"), QStringLiteral("COM1"), QStringLiteral("serve"),
                    QStringLiteral("--listen"), QStringLiteral("none"), QStringLiteral("--http"),
                    QStringLiteral("0.0.0.0:0")});
    QCOMPARE(result.code, 2);
    QVERIFY2(result.err.contains(QStringLiteral("--allow")), qPrintable(result.err));
}

void TestE2eHttp::allOffGetsThroughHeldConnections()
{
    QVERIFY(m_rig->startSim({QStringLiteral("--address"), QStringLiteral("1-2"),
                             QStringLiteral("--output"), QStringLiteral("on")}));
    QVERIFY(startServe({QStringLiteral("--port"), QStringLiteral("COM1"),
                        QStringLiteral("--addresses"), QStringLiteral("1-2")}));
    const QByteArray host = "Host: 127.0.0.1:" + QByteArray::number(m_port);
    const QList<QByteArray> page{host, "Authorization: Bearer " + kToken,
                                 "Origin: http://127.0.0.1:" + QByteArray::number(m_port)};
    const auto allOff = [&] {
        HttpConnection connection(m_port);
        connection.send(httpRequest("POST", "/api/all-off", page));
        return connection.next(20000).status;
    };
    // The time an all-off takes here, with nothing else going on.
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(allOff(), 200);
    const qint64 reference = clock.elapsed();
    for (const QByteArray address : {"1", "2"}) {
        QCOMPARE(ask("POST", "/api/supplies/" + address + "/output", "{\"on\": true}").status, 200);
    }
    // 300 silent connections, each one the server closes opened again.
    std::vector<std::unique_ptr<QTcpSocket>> held;
    const quint16 port = m_port;
    for (int i = 0; i < 300; ++i) {
        held.push_back(std::make_unique<QTcpSocket>());
        QTcpSocket *socket = held.back().get();
        const auto again = [socket, port] {
            QTimer::singleShot(0, socket, [socket, port] {
                if (socket->state() == QAbstractSocket::UnconnectedState) {
                    socket->connectToHost(QStringLiteral("127.0.0.1"), port);
                }
            });
        };
        QObject::connect(socket, &QTcpSocket::disconnected, socket, again);
        QObject::connect(socket, &QTcpSocket::errorOccurred, socket, again);
        socket->connectToHost(QStringLiteral("127.0.0.1"), port);
    }
    QTest::qWait(2000);
    clock.restart();
    QCOMPARE(allOff(), 200);
    const qint64 flooded = clock.elapsed();
    QVERIFY2(flooded < reference + 2000,
             qPrintable(QStringLiteral("%1 ms, %2 ms without them").arg(flooded).arg(reference)));
    for (int address = 1; address <= 2; ++address) {
        QVERIFY2(status(address).contains(QStringLiteral("output=off")),
                 qPrintable(status(address)));
    }
    // A page loads meanwhile.
    for (const QByteArray path : {"/", "/app.js", "/api/supplies"}) {
        HttpConnection connection(m_port);
        connection.send(httpRequest("GET", path, page));
        QCOMPARE(connection.next(20000).status, 200);
    }
    held.clear();
    // The server said it made room, once a minute, not once a connection.
    QProcess &serve = *m_processes.back();
    serve.terminate();
    QVERIFY(serve.waitForFinished(20000));
    const QString err = QString::fromUtf8(serve.readAllStandardError());
    QVERIFY2(err.count(QStringLiteral("to make room")) <= 2, qPrintable(err.right(2000)));
}

QTEST_GUILESS_MAIN(TestE2eHttp)
#include "tst_e2e_http.moc"
