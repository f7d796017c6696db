// End to end: `vantelctl serve --mqtt --mqtt-control` on vantel-sim beside its
// SCPI instrument and its page, with a private mosquitto (users and an ACL) and
// the simulator's own state as the judge of what reached the supply.
#include "support/broker.h"
#include "support/ctlrig.h"
#include "support/httpclient.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTcpSocket>
#include <QtTest>

#include <memory>

using testsupport::Broker;
using testsupport::CtlRig;
using testsupport::Subscriber;

namespace {

constexpr int kWaitMs = 20000;
const QString kPassword = QStringLiteral("secret");
const QByteArray kToken = "serve-mqtt-token-0123456789";

QJsonObject json(const QByteArray &payload)
{
    return QJsonDocument::fromJson(payload).object();
}

// How a bench is on the broker: serve with SCPI and its page, serve with
// neither, or log.
enum class Face { Serve, ServeAlone, Log };

// One served bench: its simulator, and serve (or log) on it under `prefix`.
struct Served {
    std::unique_ptr<CtlRig> rig;
    QProcess process;
    QString prefix;
    QString err;
    quint16 scpiPort = 0;
    quint16 httpPort = 0;

    QString status(int address = 1) const
    {
        return rig->sim().command(QStringLiteral("status %1").arg(address));
    }
    const QString &errors()
    {
        err += QString::fromUtf8(process.readAllStandardError());
        return err;
    }
    bool waitFor(const QString &pattern)
    {
        return testsupport::waitForErr(process, err, QRegularExpression(pattern), kWaitMs)
            .hasMatch();
    }
};

// Sends a SCPI line and waits for its whole answer line.
QByteArray scpiAnswer(QTcpSocket &scpi, const QByteArray &line)
{
    scpi.write(line);
    QByteArray answer;
    // An answer cut short fails the comparison that follows.
    (void)QTest::qWaitFor(
        [&] {
            answer += scpi.readAll();
            return answer.endsWith('\n');
        },
        kWaitMs);
    return answer;
}

} // namespace

class TestE2eServeMqtt : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanup();
    void commandsBesideScpiAndPage_data();
    void commandsBesideScpiAndPage();
    void ceilingSetOverScpiRefuses();
    void retainedOnNeverCarriedOut();
    void labWideAllOffOnServeAndLog();
    void discoveryOfTheControls();
    void commandWhileEndingNotCarriedOut();
    void withoutThePageReadingsAndNoRecord();

private:
    // serve (or log) with control on a simulator of its own.
    Served *start(const QString &prefix, const QStringList &simArguments,
                  const QStringList &extra = {}, Face face = Face::Serve);
    QJsonObject command(Subscriber &sub, const QString &topic, const QByteArray &payload,
                        const QString &resultTopic);
    static void stop(Served &served);

    Broker m_broker;
    std::vector<std::unique_ptr<Served>> m_served;
};

void TestE2eServeMqtt::initTestCase()
{
    if (!Broker::available()) {
        QSKIP("mosquitto is not installed");
    }
    QVERIFY(testsupport::startLabBroker(m_broker, kPassword));
}

void TestE2eServeMqtt::cleanup()
{
    for (auto &served : m_served) {
        stop(*served);
    }
    m_served.clear();
}

Served *TestE2eServeMqtt::start(const QString &prefix, const QStringList &simArguments,
                                const QStringList &extra, Face face)
{
    auto served = std::make_unique<Served>();
    served->prefix = prefix;
    served->rig = std::make_unique<CtlRig>(QStringLiteral(VANTELCTL_PATH));
    if (!served->rig->startSim(simArguments)) {
        return nullptr;
    }
    QProcessEnvironment env = served->rig->environment();
    env.insert(QStringLiteral("VANTEL_MQTT_PASSWORD"), kPassword);
    env.insert(QStringLiteral("VANTEL_HTTP_TOKEN"), QString::fromLatin1(kToken));
    // Where a server keeps its record.
    QDir(served->rig->dir()).mkdir(QStringLiteral("tmp"));
    env.insert(QStringLiteral("TMPDIR"), served->rig->path(QStringLiteral("tmp")));
    served->process.setProcessEnvironment(env);
    const QStringList mqtt{"--mqtt", m_broker.url(QStringLiteral("bench")), "--mqtt-topic", prefix,
                           "--mqtt-control"};
    QStringList command{"serve", "--listen", "127.0.0.1:0", "--http", "127.0.0.1:0"};
    if (face == Face::Log) {
        command = QStringList{"log", "--output", served->rig->path("log.csv")};
    } else if (face == Face::ServeAlone) {
        command = QStringList{"serve", "--listen", "none"};
    }
    served->process.start(QStringLiteral(VANTELCTL_PATH),
                          QStringList{"--port", "COM1"} + command + mqtt + extra);
    if (!served->process.waitForStarted(kWaitMs)) {
        return nullptr;
    }
    m_served.push_back(std::move(served));
    Served *s = m_served.back().get();
    if (face == Face::Serve) {
        const auto scpi = testsupport::waitForErr(
            s->process, s->err, QRegularExpression(QStringLiteral("listening on [\\d.]+:(\\d+)")));
        const auto page = testsupport::waitForErr(
            s->process, s->err, QRegularExpression(QStringLiteral("page on [\\d.]+:(\\d+)")));
        if (!scpi.hasMatch() || !page.hasMatch()) {
            qWarning("%s", qPrintable(s->err));
            return nullptr;
        }
        s->scpiPort = scpi.captured(1).toUShort();
        s->httpPort = page.captured(1).toUShort();
    }
    if (!s->waitFor(QStringLiteral("mqtt: taking commands"))) {
        qWarning("%s", qPrintable(s->err));
        return nullptr;
    }
    return s;
}

QJsonObject TestE2eServeMqtt::command(Subscriber &sub, const QString &topic,
                                      const QByteArray &payload, const QString &resultTopic)
{
    return testsupport::commandResult(m_broker, sub, QStringLiteral("dashboard"), kPassword, topic,
                                      payload, resultTopic, kWaitMs);
}

void TestE2eServeMqtt::stop(Served &served)
{
    testsupport::endProgram(served.process, kWaitMs);
    served.errors();
}

void TestE2eServeMqtt::commandsBesideScpiAndPage_data()
{
    QTest::addColumn<QString>("topic"); // after the prefix
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<QString>("status"); // in the simulator's status of supply 2
    QTest::addColumn<QString>("key");    // in the readings published and on the page
    QTest::addColumn<QJsonValue>("value");
    QTest::newRow("set/v, a comma decimal")
        << "/2/set/v" << QByteArray("12,5") << "set-voltage=1250"
        << "set_v" << QJsonValue(12.5);
    QTest::newRow("output on") << "/2/output/set" << QByteArray("ON") << "output=on"
                               << "output" << QJsonValue(true);
}

// A command from the broker reaches the supply, confirmed, while SCPI and the
// page are served too; the readings serve publishes, and the page's, show it.
void TestE2eServeMqtt::commandsBesideScpiAndPage()
{
    QFETCH(QString, topic);
    QFETCH(QByteArray, payload);
    QFETCH(QString, status);
    QFETCH(QString, key);
    QFETCH(QJsonValue, value);
    const QString prefix = QStringLiteral("vantel/served/COM1");
    Subscriber sub(m_broker, prefix + QStringLiteral("/#"));
    QVERIFY(sub.start());
    Served *served = start(prefix, {"--address", "1,2"}, {"--addresses", "1,2"});
    QVERIFY(served);
    QTcpSocket scpi;
    scpi.connectToHost(QStringLiteral("127.0.0.1"), served->scpiPort);
    QVERIFY(scpi.waitForConnected(kWaitMs));

    const QJsonObject result = command(sub, prefix + topic, payload, prefix + "/2/result");
    QVERIFY2(result.value("ok").toBool(), qPrintable(QJsonDocument(result).toJson()));
    QVERIFY2(served->status(2).contains(status), qPrintable(served->status(2)));
    QVERIFY(!served->status(1).contains(status));

    // A published reading of supply 2 shows the new state.
    const QString readings = prefix + QStringLiteral("/2/reading");
    QVERIFY(QTest::qWaitFor(
        [&] {
            const auto all = sub.payloads(readings);
            return !all.isEmpty() && json(all.last()).value(key) == value;
        },
        kWaitMs));
    // SCPI goes on answering on the same line.
    const QByteArray answer = scpiAnswer(scpi, "INST:NSEL 2;MEAS:VOLT?\n");
    QVERIFY2(answer.trimmed().toDouble() >= 0 && answer.contains('.'), answer.constData());
    // And so does the page, from the same readings.
    testsupport::HttpConnection page(served->httpPort);
    page.send(testsupport::httpRequest("GET", "/api/supplies",
                                       {"Host: 127.0.0.1:" + QByteArray::number(served->httpPort),
                                        "Authorization: Bearer " + kToken}));
    const testsupport::HttpResponse response = page.next(kWaitMs);
    QCOMPARE(response.status, 200);
    const QJsonArray supplies =
        QJsonDocument::fromJson(response.body).object().value("supplies").toArray();
    QCOMPARE(supplies.size(), 2);
    QCOMPARE(supplies.at(1).toObject().value(key), value);
}

// A SCPI client of the same server sets a 10 V ceiling: 20 V from the broker is
// refused, naming the server, and the supply keeps its set value.
void TestE2eServeMqtt::ceilingSetOverScpiRefuses()
{
    const QString prefix = QStringLiteral("vantel/servedceiling/COM1");
    Subscriber sub(m_broker, prefix + QStringLiteral("/1/result"));
    QVERIFY(sub.start());
    Served *served = start(prefix, {});
    QVERIFY(served);
    QTcpSocket scpi;
    scpi.connectToHost(QStringLiteral("127.0.0.1"), served->scpiPort);
    QVERIFY(scpi.waitForConnected(kWaitMs));
    const QByteArray answer = scpiAnswer(scpi, "VOLT:PROT 10;VOLT:PROT?\n");
    QCOMPARE(answer, QByteArray("10.00\n"));

    const QJsonObject result = command(sub, prefix + "/1/set/v", "20", prefix + "/1/result");
    QCOMPARE(result.value("error").toString(), QStringLiteral("refused"));
    QCOMPARE(result.value("holder").toString(),
             QStringLiteral("vantelctl serve (pid %1)").arg(served->process.processId()));
    QVERIFY(served->status().contains("set-voltage=500"));
    QVERIFY(command(sub, prefix + "/1/set/v", "9.5", prefix + "/1/result").value("ok").toBool());
    QVERIFY(served->status().contains("set-voltage=950"));
}

// A retained ON, there before serve connects, is refused and said once on
// stderr; the output stays off.
void TestE2eServeMqtt::retainedOnNeverCarriedOut()
{
    const QString prefix = QStringLiteral("vantel/servedretained/COM1");
    const QString topic = prefix + QStringLiteral("/1/output/set");
    QVERIFY(testsupport::publishTo(m_broker, topic, "ON", {"-r"}));
    Subscriber sub(m_broker, prefix + QStringLiteral("/1/result"));
    QVERIFY(sub.start());
    Served *served = start(prefix, {});
    QVERIFY(served);
    QVERIFY(sub.waitFor(prefix + "/1/result", 1, kWaitMs));
    QCOMPARE(json(sub.payloads(prefix + "/1/result").at(0)).value("error").toString(),
             QStringLiteral("retained"));
    QVERIFY(testsupport::publishTo(m_broker, topic, "", {"-r"})); // the retained one goes
    QVERIFY(served->status().contains("output=off"));
    stop(*served);
    QCOMPARE(served->process.exitCode(), 0);
    QCOMPARE(served->errors().count("retained command"), 1);
}

// vantel/all-off switches every output off on a serve bench and a log bench,
// each confirmed; serve's goes through its bench's own all-off.
void TestE2eServeMqtt::labWideAllOffOnServeAndLog()
{
    Subscriber sub(m_broker, QStringLiteral("vantel/+/COM1/result"));
    QVERIFY(sub.start());
    Served *serve = start("vantel/labserve/COM1", {"--address", "1,2", "--output", "on"},
                          {"--addresses", "1,2"});
    Served *log = start("vantel/lablog/COM1", {"--output", "on"}, {}, Face::Log);
    QVERIFY(serve && log);
    QVERIFY(testsupport::publishTo(m_broker, "vantel/all-off", "OFF"));
    QVERIFY(sub.waitFor("vantel/labserve/COM1/result", 1, kWaitMs));
    QVERIFY(sub.waitFor("vantel/lablog/COM1/result", 1, kWaitMs));
    const QJsonObject served = json(sub.payloads("vantel/labserve/COM1/result").at(0));
    QVERIFY2(served.value("ok").toBool() && served.value("lab").toBool(),
             qPrintable(QJsonDocument(served).toJson()));
    QCOMPARE(served.value("off").toArray(), (QJsonArray{1, 2}));
    QVERIFY(json(sub.payloads("vantel/lablog/COM1/result").at(0)).value("ok").toBool());
    QVERIFY(serve->status(1).contains("output=off"));
    QVERIFY(serve->status(2).contains("output=off"));
    QVERIFY(log->status(1).contains("output=off"));
}

// With discovery, serve's control entities are announced as log's are.
void TestE2eServeMqtt::discoveryOfTheControls()
{
    const QString prefix = QStringLiteral("vantel/serveddisc/COM1");
    Served *served = start(prefix, {}, {"--mqtt-discovery"});
    QVERIFY(served);
    const QString id = QStringLiteral("vantel_serveddisc_COM1");
    const QStringList topics{"homeassistant/number/" + id + "_1_set_v/config",
                             "homeassistant/number/" + id + "_1_set_a/config",
                             "homeassistant/switch/" + id + "_1_switch/config",
                             "homeassistant/button/" + id + "_all_off/config",
                             "homeassistant/sensor/" + id + "_1_v/config"};
    QStringList commandTopics;
    for (const QString &topic : topics) {
        QByteArray config;
        QVERIFY(QTest::qWaitFor(
            [&] {
                config = testsupport::retained(m_broker, topic);
                return !config.isEmpty();
            },
            kWaitMs));
        commandTopics << json(config).value("command_topic").toString();
        QVERIFY(testsupport::publishTo(m_broker, topic, "", {"-r"}));
    }
    QCOMPARE(commandTopics, (QStringList{prefix + "/1/set/v", prefix + "/1/set/a",
                                         prefix + "/1/output/set", prefix + "/all-off", ""}));
}

// Once serve begins to end (here switching its outputs off on a slow line), a
// command is answered "ending" and never switches an output back on.
void TestE2eServeMqtt::commandWhileEndingNotCarriedOut()
{
    const QString prefix = QStringLiteral("vantel/servedending/COM1");
    Subscriber sub(m_broker, prefix + QStringLiteral("/1/result"));
    QVERIFY(sub.start());
    Served *served = start(prefix, {"--output", "on"}, {"--off-at-end", "--timeout", "12000"});
    QVERIFY(served);
    QTcpSocket scpi;
    scpi.connectToHost(QStringLiteral("127.0.0.1"), served->scpiPort);
    QVERIFY(scpi.waitForConnected(kWaitMs));
    // Each reply now comes 2.5 s late: the switching off on the way out takes
    // at least 5 s, and the timeout leaves room for a slow machine.
    served->rig->sim().command(QStringLiteral("fault delay 2500"));
    served->process.terminate();
    // The server closes its clients when it begins to end.
    QVERIFY(QTest::qWaitFor([&] { return scpi.state() == QAbstractSocket::UnconnectedState; },
                            kWaitMs));
    const QJsonObject result =
        command(sub, prefix + "/1/output/set", "ON", prefix + QStringLiteral("/1/result"));
    QCOMPARE(result.value("error").toString(), QStringLiteral("ending"));
    QVERIFY(served->process.waitForFinished(kWaitMs * 2));
    QCOMPARE(served->process.exitCode(), 0);
    served->rig->sim().command(QStringLiteral("fault clear"));
    QVERIFY2(served->status().contains("output=off"), qPrintable(served->errors()));
}

// serve with neither SCPI nor the page reads its supplies for the broker alone:
// their readings are published, a command is carried out, and no record grows in
// the temporary folder, since nothing could download it.
void TestE2eServeMqtt::withoutThePageReadingsAndNoRecord()
{
    const QString prefix = QStringLiteral("vantel/servedalone/COM1");
    Subscriber sub(m_broker, prefix + QStringLiteral("/#"));
    QVERIFY(sub.start());
    Served *served = start(prefix, {"--address", "1,2"}, {"--addresses", "1,2"}, Face::ServeAlone);
    QVERIFY(served);
    QVERIFY(sub.waitFor(prefix + "/1/reading", 3, kWaitMs));
    QVERIFY(sub.waitFor(prefix + "/2/reading", 3, kWaitMs));
    QCOMPARE(json(sub.payloads(prefix + "/2/reading").last()).value("address").toInt(), 2);
    QVERIFY(command(sub, prefix + "/1/set/a", "0,5", prefix + "/1/result").value("ok").toBool());
    QVERIFY(served->status(1).contains("set-current=500"));
    // (The line's own socket folder and locks may be there too.)
    QCOMPARE(QDir(served->rig->path("tmp")).entryList({"vantelctl-*"}, QDir::AllEntries),
             QStringList());
    stop(*served);
    QCOMPARE(served->process.exitCode(), 0);
}

QTEST_GUILESS_MAIN(TestE2eServeMqtt)
#include "tst_e2e_serve_mqtt.moc"
