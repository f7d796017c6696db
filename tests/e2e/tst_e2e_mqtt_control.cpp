// End to end: commands from a private mosquitto (users and an ACL) carried out by
// `vantelctl log --mqtt-control` on vantel-sim, with the simulator's own state as
// the judge of what reached the supply.
#include "support/broker.h"
#include "support/ctlrig.h"
#include "support/supplyline.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QtTest>

#include <memory>

using testsupport::Broker;
using testsupport::CtlRig;
using testsupport::Subscriber;

namespace {

constexpr int kWaitMs = 20000;
const QString kPassword = QStringLiteral("secret");

QJsonObject json(const QByteArray &payload)
{
    return QJsonDocument::fromJson(payload).object();
}

// One bench: a simulator, and a log with control on it under `prefix`.
struct Bench {
    std::unique_ptr<CtlRig> rig;
    QProcess log;
    QString prefix;
    QString err;

    QString status(int address = 1)
    {
        return rig->sim().command(QStringLiteral("status %1").arg(address));
    }
    // stderr so far.
    const QString &errors()
    {
        err += QString::fromUtf8(log.readAllStandardError());
        return err;
    }
};

} // namespace

class TestE2eMqttControl : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanup();
    void commandCarriedOut_data();
    void commandCarriedOut();
    void responseTopicAndCorrelation();
    void ceilingOfRunRefuses();
    void retainedOnNeverCarriedOut();
    void queuedWhileAwayRefusedAsStale();
    void userWithoutWriteRightChangesNothing();
    void labWideAllOffOnTwoBenches();
    void commandOnJoinedBench();
    void sentWhileBrokerAwayCarriedOutOnce();
    void twoBenchesWithOnePrefix();
    void setAndSwitchOnEveryLine_data();
    void setAndSwitchOnEveryLine();
    void commandOnServeThatJoinedALog();

private:
    // A bench with its own simulator (or, with `sharedRig`, on that bench's line).
    // `url`: the broker's, or a relay's in front of it.
    Bench *startBench(const QString &prefix, const QStringList &simArguments,
                      const QStringList &extra = {}, CtlRig *sharedRig = nullptr,
                      const QString &url = {});
    bool waitForControl(Bench &bench);
    // Publishes as the dashboard and waits for the next result on `resultTopic`.
    QJsonObject command(Subscriber &sub, const QString &topic, const QByteArray &payload,
                        const QString &resultTopic, const QString &user = "dashboard");
    void stopBench(Bench &bench);

    Broker m_broker;
    std::vector<std::unique_ptr<Bench>> m_benches;
    std::unique_ptr<testsupport::SupplyLine> m_line; // ends after the benches on it
};

void TestE2eMqttControl::initTestCase()
{
    if (!Broker::available()) {
        QSKIP("mosquitto is not installed");
    }
    QVERIFY(testsupport::startLabBroker(m_broker, kPassword));
}

void TestE2eMqttControl::cleanup()
{
    for (auto &bench : m_benches) {
        stopBench(*bench);
    }
    m_benches.clear();
    m_line.reset();
}

Bench *TestE2eMqttControl::startBench(const QString &prefix, const QStringList &simArguments,
                                      const QStringList &extra, CtlRig *sharedRig,
                                      const QString &url)
{
    auto bench = std::make_unique<Bench>();
    bench->prefix = prefix;
    CtlRig *rig = sharedRig;
    if (!rig) {
        bench->rig = std::make_unique<CtlRig>(QStringLiteral(VANTELCTL_PATH));
        if (!bench->rig->startSim(simArguments)) {
            return nullptr;
        }
        rig = bench->rig.get();
    }
    QProcessEnvironment env = rig->environment();
    env.insert(QStringLiteral("VANTEL_MQTT_PASSWORD"), kPassword);
    bench->log.setProcessEnvironment(env);
    bench->log.start(QStringLiteral(VANTELCTL_PATH),
                     QStringList{"log", "--port", "COM1", "--output",
                                 rig->path(QString(prefix).replace('/', '_') + ".csv"),
                                 "--overwrite", "--mqtt",
                                 url.isEmpty() ? m_broker.url(QStringLiteral("bench")) : url,
                                 "--mqtt-topic", prefix, "--mqtt-control"} +
                         extra);
    if (!bench->log.waitForStarted(kWaitMs)) {
        return nullptr;
    }
    m_benches.push_back(std::move(bench));
    return m_benches.back().get();
}

bool TestE2eMqttControl::waitForControl(Bench &bench)
{
    return QTest::qWaitFor(
        [&] { return bench.errors().contains(QStringLiteral("mqtt: taking commands")); }, kWaitMs);
}

QJsonObject TestE2eMqttControl::command(Subscriber &sub, const QString &topic,
                                        const QByteArray &payload, const QString &resultTopic,
                                        const QString &user)
{
    return testsupport::commandResult(m_broker, sub, user, kPassword, topic, payload, resultTopic,
                                      kWaitMs);
}

void TestE2eMqttControl::stopBench(Bench &bench)
{
    testsupport::endProgram(bench.log, kWaitMs);
    bench.errors();
}

void TestE2eMqttControl::commandCarriedOut_data()
{
    QTest::addColumn<QString>("topic"); // after the prefix
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<QString>("resultTopic");  // after the prefix
    QTest::addColumn<QStringList>("expected"); // in the simulator's status of both supplies
    QTest::newRow("set/v, a comma decimal") << "/1/set/v" << QByteArray("12,5") << "/1/result"
                                            << QStringList{"set-voltage=1250", "set-voltage=500"};
    QTest::newRow("set/a") << "/2/set/a" << QByteArray("0.25") << "/2/result"
                           << QStringList{"set-current=1000", "set-current=250"};
    QTest::newRow("output on") << "/1/output/set" << QByteArray("ON") << "/1/result"
                               << QStringList{"output=on", "output=on"};
    QTest::newRow("output off") << "/2/output/set" << QByteArray("OFF") << "/2/result"
                                << QStringList{"output=on", "output=off"};
    QTest::newRow("all-off") << "/all-off" << QByteArray("OFF") << "/result"
                             << QStringList{"output=off", "output=off"};
}

// Each command reaches the supply, confirmed, and its result says so.
void TestE2eMqttControl::commandCarriedOut()
{
    QFETCH(QString, topic);
    QFETCH(QByteArray, payload);
    QFETCH(QString, resultTopic);
    QFETCH(QStringList, expected);
    const QString prefix = QStringLiteral("vantel/set/COM1");
    Subscriber sub(m_broker, prefix + QStringLiteral("/#"));
    QVERIFY(sub.start());
    Bench *bench =
        startBench(prefix, {"--address", "1,2", "--output", "on"}, {"--addresses", "1,2"});
    QVERIFY(bench);
    QVERIFY(waitForControl(*bench));
    const QJsonObject result = command(sub, prefix + topic, payload, prefix + resultTopic);
    QVERIFY2(result.value("ok").toBool(), qPrintable(QJsonDocument(result).toJson()));
    QVERIFY(result.value("error").isNull());
    QVERIFY2(bench->status(1).contains(expected.at(0)), qPrintable(bench->status(1)));
    QVERIFY2(bench->status(2).contains(expected.at(1)), qPrintable(bench->status(2)));
}

// An MQTT 5 request's result goes to its response topic with its correlation data.
void TestE2eMqttControl::responseTopicAndCorrelation()
{
    const QString prefix = QStringLiteral("vantel/resp/COM1");
    Bench *bench = startBench(prefix, {});
    QVERIFY(bench);
    QVERIFY(waitForControl(*bench));
    QProcess sub;
    sub.start(QStringLiteral("mosquitto_sub"),
              m_broker.clientArguments() + QStringList{"-V", "mqttv5", "-q", "1", "-t",
                                                       "vantel/replies/me", "-C", "1", "-F",
                                                       "%t %D %p", "-W", "20"});
    QVERIFY(sub.waitForStarted());
    QTest::qWait(300); // the subscription is in place
    QVERIFY(testsupport::publishTo(m_broker, prefix + "/1/set/v", "7",
                                   {"-D", "publish", "response-topic", "vantel/replies/me", "-D",
                                    "publish", "correlation-data", "req-17"}));
    QVERIFY(sub.waitForFinished(kWaitMs));
    const QByteArray line = sub.readAllStandardOutput().trimmed();
    QVERIFY2(line.startsWith("vantel/replies/me req-17 {"), line.constData());
    QVERIFY(json(line.mid(line.indexOf('{'))).value("ok").toBool());
    QVERIFY(bench->status().contains("set-voltage=700"));
}

// A run holds a 10 V ceiling on the line the log owns: 20 V from the broker is
// refused, naming the run, and the supply keeps its set value.
void TestE2eMqttControl::ceilingOfRunRefuses()
{
    const QString prefix = QStringLiteral("vantel/ceiling/COM1");
    Subscriber sub(m_broker, prefix + QStringLiteral("/#"));
    QVERIFY(sub.start());
    Bench *bench = startBench(prefix, {});
    QVERIFY(bench);
    QVERIFY(waitForControl(*bench));
    QFile sequence(bench->rig->path("limit.txt"));
    QVERIFY(sequence.open(QIODevice::WriteOnly));
    sequence.write("limit 10V\nhold 60s\n");
    sequence.close();
    QProcess run;
    QVERIFY(bench->rig->start(
        run, {"run", sequence.fileName(), "--interval", "200", "--output", bench->rig->path("r")}));
    QVERIFY(QTest::qWaitFor([&] { return QFile(bench->rig->path("r")).size() > 100; }, kWaitMs));

    const QJsonObject result = command(sub, prefix + "/1/set/v", "20", prefix + "/1/result");
    QCOMPARE(result.value("ok").toBool(true), false);
    QCOMPARE(result.value("error").toString(), QStringLiteral("refused"));
    QCOMPARE(result.value("holder").toString(),
             QStringLiteral("vantelctl run (pid %1)").arg(run.processId()));
    QVERIFY2(result.value("text").toString().contains("above the 10.00 V ceiling"),
             qPrintable(result.value("text").toString()));
    QVERIFY(bench->status().contains("set-voltage=500"));
    // Within the ceiling it goes through.
    QVERIFY(command(sub, prefix + "/1/set/v", "9.5", prefix + "/1/result").value("ok").toBool());
    QVERIFY(bench->status().contains("set-voltage=950"));
    run.terminate();
    run.waitForFinished(kWaitMs);
}

// A retained ON, there before the bench connects or published while it listens,
// is refused every time and said once on stderr; the output stays off.
void TestE2eMqttControl::retainedOnNeverCarriedOut()
{
    const QString prefix = QStringLiteral("vantel/retained/COM1");
    const QString topic = prefix + QStringLiteral("/1/output/set");
    QVERIFY(testsupport::publishTo(m_broker, topic, "ON", {"-r"}));
    Subscriber sub(m_broker, prefix + QStringLiteral("/1/result"));
    QVERIFY(sub.start());
    Bench *bench = startBench(prefix, {});
    QVERIFY(bench);
    QVERIFY(sub.waitFor(prefix + "/1/result", 1, kWaitMs));
    QVERIFY(testsupport::publishTo(m_broker, topic, "ON", {"-r"}));
    QVERIFY(sub.waitFor(prefix + "/1/result", 2, kWaitMs));
    for (const QByteArray &payload : sub.payloads(prefix + "/1/result")) {
        QCOMPARE(json(payload).value("error").toString(), QStringLiteral("retained"));
    }
    QVERIFY(bench->status().contains("output=off"));
    QVERIFY(testsupport::publishTo(m_broker, topic, "", {"-r"})); // the retained one goes
    stopBench(*bench);
    QCOMPARE(bench->errors().count("retained command"), 1);
}

// A set sent while the bench was away and kept by the broker for longer than the
// command age is refused as stale when the bench is back.
void TestE2eMqttControl::queuedWhileAwayRefusedAsStale()
{
    const QString prefix = QStringLiteral("vantel/away/COM1");
    Subscriber sub(m_broker, prefix + QStringLiteral("/1/result"));
    QVERIFY(sub.start());
    Bench *bench = startBench(prefix, {}, {"--mqtt-command-age", "1s"});
    QVERIFY(bench);
    QVERIFY(waitForControl(*bench));
    stopBench(*bench);
    QCOMPARE(bench->log.exitCode(), 0);
    QVERIFY(testsupport::publishTo(m_broker, prefix + "/1/set/v", "30"));
    QTest::qWait(1500);

    Bench *back = startBench(prefix, {}, {"--mqtt-command-age", "1s"}, bench->rig.get());
    QVERIFY(back);
    QVERIFY2(sub.waitFor(prefix + "/1/result", 1, kWaitMs), qPrintable(back->errors()));
    const QJsonObject result = json(sub.payloads(prefix + "/1/result").at(0));
    QCOMPARE(result.value("error").toString(), QStringLiteral("stale"));
    QCOMPARE(result.value("payload").toString(), QStringLiteral("30"));
    QVERIFY(bench->status().contains("set-voltage=500"));
}

// The viewer may read readings only: its set never reaches the bench. A set the
// dashboard sends after it is the first and only result.
void TestE2eMqttControl::userWithoutWriteRightChangesNothing()
{
    const QString prefix = QStringLiteral("vantel/acl/COM1");
    Subscriber sub(m_broker, prefix + QStringLiteral("/#"));
    QVERIFY(sub.start());
    Bench *bench = startBench(prefix, {});
    QVERIFY(bench);
    QVERIFY(waitForControl(*bench));
    QProcess pub;
    pub.start(QStringLiteral("mosquitto_pub"),
              {"-h", "127.0.0.1", "-p", QString::number(m_broker.port()), "-u", "viewer", "-P",
               kPassword, "-q", "1", "-t", prefix + "/1/set/v", "-m", "40"});
    QVERIFY(pub.waitForFinished(kWaitMs));
    const QJsonObject result = command(sub, prefix + "/1/set/a", "0.5", prefix + "/1/result");
    QCOMPARE(result.value("command").toString(), QStringLiteral("set/a"));
    QCOMPARE(sub.payloads(prefix + "/1/set/v").size(), 0);
    QCOMPARE(sub.payloads(prefix + "/1/result").size(), 1);
    QVERIFY(bench->status().contains("set-voltage=500"));
}

// vantel/all-off switches every output of both benches off, each confirmed.
void TestE2eMqttControl::labWideAllOffOnTwoBenches()
{
    Subscriber sub(m_broker, QStringLiteral("vantel/+/COM1/result"));
    QVERIFY(sub.start());
    Bench *one = startBench("vantel/lab1/COM1", {"--address", "1,2", "--output", "on"},
                            {"--addresses", "1,2"});
    Bench *two = startBench("vantel/lab2/COM1", {"--output", "on"});
    QVERIFY(one && two);
    QVERIFY(waitForControl(*one) && waitForControl(*two));
    QVERIFY(testsupport::publishTo(m_broker, "vantel/all-off", "OFF"));
    QVERIFY(sub.waitFor("vantel/lab1/COM1/result", 1, kWaitMs));
    QVERIFY(sub.waitFor("vantel/lab2/COM1/result", 1, kWaitMs));
    const QJsonObject first = json(sub.payloads("vantel/lab1/COM1/result").at(0));
    QVERIFY(first.value("ok").toBool() && first.value("lab").toBool());
    QCOMPARE(first.value("off").toVariant().toList().size(), 2);
    QVERIFY(json(sub.payloads("vantel/lab2/COM1/result").at(0)).value("ok").toBool());
    QVERIFY(one->status(1).contains("output=off"));
    QVERIFY(one->status(2).contains("output=off"));
    QVERIFY(two->status(1).contains("output=off"));
}

// A second log joins the line the first owns; its commands go through the owner.
void TestE2eMqttControl::commandOnJoinedBench()
{
    const QString owner = QStringLiteral("vantel/owner/COM1");
    const QString joined = QStringLiteral("vantel/joined/COM1");
    Subscriber sub(m_broker, joined + QStringLiteral("/#"));
    QVERIFY(sub.start());
    Bench *first = startBench(owner, {});
    QVERIFY(first);
    QVERIFY(waitForControl(*first));
    Bench *second = startBench(joined, {}, {}, first->rig.get());
    QVERIFY(second);
    QVERIFY(waitForControl(*second));
    const QJsonObject result = command(sub, joined + "/1/set/v", "3.3", joined + "/1/result");
    QVERIFY2(result.value("ok").toBool(), qPrintable(QJsonDocument(result).toJson()));
    QVERIFY(first->status().contains("set-voltage=330"));
}

// The connection to the broker breaks for a moment; a set sent meanwhile waits at
// the broker and is carried out once when the bench is back, well within the age.
void TestE2eMqttControl::sentWhileBrokerAwayCarriedOutOnce()
{
    const QString prefix = QStringLiteral("vantel/relay/COM1");
    Subscriber sub(m_broker, prefix + QStringLiteral("/#"));
    QVERIFY(sub.start());
    testsupport::Relay relay(m_broker);
    QVERIFY(relay.listen());
    const QString url = QStringLiteral("mqtt://bench@127.0.0.1:%1").arg(relay.port());
    Bench *bench = startBench(prefix, {}, {"--mqtt-command-age", "60s"}, nullptr, url);
    QVERIFY(bench);
    QVERIFY(waitForControl(*bench));
    QVERIFY(command(sub, prefix + "/1/set/v", "6", prefix + "/1/result").value("ok").toBool());
    relay.close();
    QVERIFY(sub.waitFor(prefix + "/status", 2, kWaitMs)); // online, then the will
    QVERIFY(testsupport::publishTo(m_broker, prefix + "/1/set/v", "8"));
    QVERIFY(relay.listen());
    // QoS 1 may bring a result twice across the break; the command is carried out once.
    const auto resultOf = [&](const QByteArray &payload) {
        for (const QByteArray &r : sub.payloads(prefix + "/1/result")) {
            if (json(r).value("payload").toString() == QString::fromUtf8(payload)) {
                return json(r);
            }
        }
        return QJsonObject();
    };
    QVERIFY(QTest::qWaitFor([&] { return !resultOf("8").isEmpty(); }, kWaitMs));
    QVERIFY2(resultOf("8").value("ok").toBool(), qPrintable(bench->errors()));
    QVERIFY(bench->status().contains("set-voltage=800"));
    QVERIFY(command(sub, prefix + "/1/set/a", "0.4", prefix + "/1/result").value("ok").toBool());
    stopBench(*bench);
    QVERIFY2(bench->errors().contains("mqtt: 3 commands carried out"), qPrintable(bench->errors()));
}

// Two benches given one prefix share one broker session. The broker gives it to
// the one that came last; the other is told once, never takes it back (so the two
// do not push each other off in turns), and logs on; commands reach the last.
void TestE2eMqttControl::twoBenchesWithOnePrefix()
{
    const QString prefix = QStringLiteral("vantel/twin/COM1");
    const QString told =
        QStringLiteral("another bench with the same prefix %1 took over").arg(prefix);
    Subscriber sub(m_broker, prefix + QStringLiteral("/#"));
    QVERIFY(sub.start());
    Bench *first = startBench(prefix, {});
    QVERIFY(first);
    QVERIFY(waitForControl(*first));
    Bench *second = startBench(prefix, {});
    QVERIFY(second);
    QVERIFY(waitForControl(*second));
    QVERIFY2(QTest::qWaitFor([&] { return first->errors().contains(told); }, kWaitMs),
             qPrintable(first->errors()));
    QVERIFY(first->errors().contains(QStringLiteral("--mqtt-topic")));
    const QString rows = first->rig->path(QString(prefix).replace('/', '_') + ".csv");
    const auto rowCount = [&rows] {
        QFile file(rows);
        return file.open(QIODevice::ReadOnly) ? file.readAll().count('\n') : 0;
    };
    const auto rowsAtTakeOver = rowCount();
    // Longer than the first two waits before a connection is tried again: a bench
    // that took the session back would push the other off, and it would be told.
    QTest::qWait(4000);
    const QJsonObject result = command(sub, prefix + "/1/set/v", "4.5", prefix + "/1/result");
    QVERIFY2(result.value("ok").toBool(), qPrintable(QJsonDocument(result).toJson()));
    QVERIFY2(second->status().contains("set-voltage=450"), qPrintable(second->status()));
    QVERIFY2(!first->status().contains("set-voltage=450"), qPrintable(first->status()));
    QCOMPARE(first->log.state(), QProcess::Running);
    QVERIFY(rowCount() > rowsAtTakeOver);
    stopBench(*first);
    stopBench(*second);
    QCOMPARE(first->errors().count(told), 1);
    QVERIFY2(!second->errors().contains(told), qPrintable(second->errors()));
    QVERIFY2(
        first->errors().contains("mqtt: commands stopped: another bench with the prefix " + prefix),
        qPrintable(first->errors()));
    QCOMPARE(first->log.exitCode(), 0);
}

void TestE2eMqttControl::setAndSwitchOnEveryLine_data()
{
    testsupport::SupplyLine::addRows();
}

// A set and an output switch from the broker on each kind of line, each
// confirmed by the supply's read-back; the readings published after them show
// both, and the simulator, where it is the line, holds them.
void TestE2eMqttControl::setAndSwitchOnEveryLine()
{
    QFETCH(QString, line);
    m_line = std::make_unique<testsupport::SupplyLine>(QStringLiteral(VANTELCTL_PATH),
                                                       QStringLiteral(VANTEL_PYTHON3),
                                                       QStringLiteral(SLAVE_SCRIPT));
    QVERIFY(m_line->start(line, QStringLiteral("5")));
    if (m_line->missing()) {
        QSKIP("pymodbus, pyserial-asyncio or socat is missing");
    }
    const QString prefix = QStringLiteral("vantel/%1/COM1").arg(line);
    Subscriber sub(m_broker, prefix + QStringLiteral("/#"));
    QVERIFY(sub.start());
    Bench *bench = startBench(prefix, {}, {"--address", "5"}, &m_line->rig());
    QVERIFY(bench);
    QVERIFY2(waitForControl(*bench), qPrintable(bench->errors()));
    for (const auto &[topic, payload] : {std::pair{"/5/set/v", "7,25"}, {"/5/output/set", "ON"}}) {
        const QJsonObject result = command(sub, prefix + topic, payload, prefix + "/5/result");
        QVERIFY2(result.value("ok").toBool(), qPrintable(QJsonDocument(result).toJson()));
    }
    const auto shown = [&] {
        const QList<QByteArray> readings = sub.payloads(prefix + "/5/reading");
        if (readings.isEmpty()) {
            return false;
        }
        const QJsonObject last = json(readings.last());
        return last.value("set_v").toDouble() == 7.25 && last.value("output").toBool();
    };
    QVERIFY2(QTest::qWaitFor(shown, kWaitMs), qPrintable(bench->errors()));
    if (m_line->simulated()) {
        const QString status = m_line->rig().sim().command(QStringLiteral("status 5"));
        QVERIFY2(status.contains("set-voltage=725") && status.contains("output=on"),
                 qPrintable(status));
    }
}

// A server with control joins the line a log owns: the broker's set is carried
// out through the owner.
void TestE2eMqttControl::commandOnServeThatJoinedALog()
{
    const QString prefix = QStringLiteral("vantel/served/COM1");
    Subscriber sub(m_broker, prefix + QStringLiteral("/#"));
    QVERIFY(sub.start());
    Bench *owner = startBench(QStringLiteral("vantel/owning/COM1"), {});
    QVERIFY(owner);
    QVERIFY(waitForControl(*owner));
    QProcess serve;
    QProcessEnvironment env = owner->rig->environment();
    env.insert(QStringLiteral("VANTEL_MQTT_PASSWORD"), kPassword);
    serve.setProcessEnvironment(env);
    serve.start(QStringLiteral(VANTELCTL_PATH),
                {"--port", "COM1", "serve", "--listen", "none", "--mqtt",
                 m_broker.url(QStringLiteral("bench")), "--mqtt-topic", prefix, "--mqtt-control"});
    QVERIFY(serve.waitForStarted(kWaitMs));
    QString said;
    QVERIFY2(QTest::qWaitFor(
                 [&] {
                     said += QString::fromUtf8(serve.readAllStandardError());
                     return said.contains(QStringLiteral("mqtt: taking commands"));
                 },
                 kWaitMs),
             qPrintable(said));
    const QJsonObject result = command(sub, prefix + "/1/set/v", "3.3", prefix + "/1/result");
    QVERIFY2(result.value("ok").toBool(), qPrintable(QJsonDocument(result).toJson()));
    QVERIFY2(owner->status().contains("set-voltage=330"), qPrintable(owner->status()));
    testsupport::endProgram(serve, kWaitMs);
    QCOMPARE(serve.exitCode(), 0);
    // The log still owns the line: the server joined it and left.
    QCOMPARE(owner->log.state(), QProcess::Running);
}

QTEST_GUILESS_MAIN(TestE2eMqttControl)
#include "tst_e2e_mqtt_control.moc"
