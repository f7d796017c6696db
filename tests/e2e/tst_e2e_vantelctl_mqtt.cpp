// End to end: `vantelctl log --mqtt` against vantel-sim and a private mosquitto.
#include "support/broker.h"
#include "support/ctlrig.h"

#include <QFile>
#include <QJsonDocument>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

using testsupport::Broker;
using testsupport::Subscriber;

namespace {

constexpr int kWaitMs = 20000; // upper bound for a whole log in these tests
const QString kPrefix = QStringLiteral("lab/bench1");

QList<QByteArray> fileLines(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    QList<QByteArray> lines = file.readAll().split('\n');
    lines.removeAll(QByteArray());
    return lines;
}

// First arrivals only: QoS 1 may deliver a reading twice across a reconnection.
QList<QByteArray> firstArrivals(const QList<QByteArray> &payloads)
{
    QList<QByteArray> first;
    for (const QByteArray &p : payloads) {
        if (!first.contains(p)) {
            first << p;
        }
    }
    return first;
}

} // namespace

class TestE2eVantelctlMqtt : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();
    void publishesEveryRow_data();
    void publishesEveryRow();
    void brokerAwayForThreeSeconds();
    void noBrokerAtAll();
    void willWhenKilled();
    void badOptionsExit2_data();
    void badOptionsExit2();

private:
    void startLog(QProcess &process, const QStringList &arguments);
    // Waits for the end while the event loop runs (the relay lives in it).
    bool waitForEnd(QProcess &process);
    QString path(const QString &name) const { return m_rig->path(name); }

    Broker m_broker;
    std::unique_ptr<testsupport::CtlRig> m_rig;
    testsupport::SimProcess *m_sim = nullptr;
};

void TestE2eVantelctlMqtt::initTestCase()
{
    if (!Broker::available()) {
        QSKIP("mosquitto is not installed");
    }
    QVERIFY(m_broker.start());
}

void TestE2eVantelctlMqtt::init()
{
    m_rig = std::make_unique<testsupport::CtlRig>(QStringLiteral(VANTELCTL_PATH));
    QVERIFY(m_rig->startSim({"--address", "1,2", "--output", "on"}));
    m_sim = &m_rig->sim();
}

void TestE2eVantelctlMqtt::cleanup()
{
    m_sim = nullptr;
    m_rig.reset();
}

void TestE2eVantelctlMqtt::startLog(QProcess &process, const QStringList &arguments)
{
    QVERIFY(m_rig->start(process, QStringList{QStringLiteral("log")} + arguments));
}

bool TestE2eVantelctlMqtt::waitForEnd(QProcess &process)
{
    return QTest::qWaitFor([&] { return process.state() == QProcess::NotRunning; }, kWaitMs);
}

void TestE2eVantelctlMqtt::publishesEveryRow_data()
{
    QTest::addColumn<QStringList>("command"); // SEQ: a sequence file
    QTest::addColumn<int>("leastRows");
    QTest::addColumn<QString>("prefix"); // each its own: the status is retained
    QTest::newRow("log") << QStringList{"log", "--addresses", "1,2", "--duration", "5s"} << 2 * 12
                         << kPrefix;
    // A run publishes its rows as a log does, step and point included.
    QTest::newRow("run") << QStringList{"run", "SEQ"} << 5 << QStringLiteral("lab/bench2");
}

// Every row is published with the same bytes; status online while it runs, offline after.
void TestE2eVantelctlMqtt::publishesEveryRow()
{
    QFETCH(QStringList, command);
    QFETCH(int, leastRows);
    QFETCH(QString, prefix);
    QFile sequence(path("seq.txt"));
    QVERIFY(sequence.open(QIODevice::WriteOnly));
    sequence.write("set 5V 1A\noutput on\nhold 3s\n");
    sequence.close();
    command.replaceInStrings(QStringLiteral("SEQ"), sequence.fileName());
    Subscriber sub(m_broker, prefix + QStringLiteral("/#"));
    QVERIFY(sub.start());
    QProcess log;
    QVERIFY(
        m_rig->start(log, command + QStringList{"--format", "jsonl", "--output", path("log.jsonl"),
                                                "--mqtt", m_broker.url(), "--mqtt-topic", prefix}));
    QVERIFY(sub.waitFor(prefix + QStringLiteral("/status"), 1));
    QCOMPARE(testsupport::retained(m_broker, prefix + QStringLiteral("/status")),
             QByteArray("online"));
    QVERIFY(waitForEnd(log));
    QCOMPARE(log.exitCode(), 0);
    QVERIFY(sub.waitFor(prefix + QStringLiteral("/status"), 2));
    QCOMPARE(testsupport::retained(m_broker, prefix + QStringLiteral("/status")),
             QByteArray("offline"));

    const QList<QByteArray> rows = fileLines(path("log.jsonl"));
    QVERIFY(rows.size() >= leastRows);
    QList<QByteArray> published;
    for (const auto &message : sub.messages()) {
        if (message.first.endsWith(QStringLiteral("/reading"))) {
            published << message.second;
            const int address = message.first.section(QLatin1Char('/'), -2, -2).toInt();
            QCOMPARE(QJsonDocument::fromJson(message.second)["address"].toInt(), address);
        }
    }
    QCOMPARE(published, rows);
    const QString errors = QString::fromUtf8(log.readAllStandardError());
    QVERIFY2(errors.contains(
                 QStringLiteral("mqtt: %1 published, 0 dropped, 0 reconnects").arg(rows.size())),
             qPrintable(errors));
}

// The broker goes away for about 3 s in the middle of an 8 s log (a relay in front
// of it closes): the file keeps its schedule, the queued readings arrive in
// order, and the summary counts one reconnection.
void TestE2eVantelctlMqtt::brokerAwayForThreeSeconds()
{
    Subscriber sub(m_broker, kPrefix + QStringLiteral("/1/reading"));
    QVERIFY(sub.start());
    testsupport::Relay relay(m_broker);
    QVERIFY(relay.listen());
    QProcess log;
    startLog(log, {"--duration", "8s", "--format", "jsonl", "--output", path("log.jsonl"), "--mqtt",
                   relay.url(), "--mqtt-topic", kPrefix});
    // Away after the first 2.5 s of rows have gone through, however long the start took.
    QVERIFY(sub.waitFor(kPrefix + QStringLiteral("/1/reading"), 7, kWaitMs));
    // Away for as long as the log takes to write 8 more rows (2.8 s at 350 ms).
    const auto away = fileLines(path("log.jsonl")).size();
    relay.close();
    QTRY_VERIFY_WITH_TIMEOUT(fileLines(path("log.jsonl")).size() >= away + 8, kWaitMs);
    QVERIFY(relay.listen());
    QVERIFY(waitForEnd(log));
    QCOMPARE(log.exitCode(), 0);

    const QList<QByteArray> rows = fileLines(path("log.jsonl"));
    // 8 s at 350 ms: rounds 0..22.
    QVERIFY2(rows.size() >= 20 && rows.size() <= 24, qPrintable(QString::number(rows.size())));
    const double lastElapsed = QJsonDocument::fromJson(rows.last())["elapsed_s"].toDouble();
    QVERIFY2(std::abs(lastElapsed - (rows.size() - 1) * 0.35) < 0.35,
             qPrintable(QString::number(lastElapsed)));
    QCOMPARE(firstArrivals(sub.payloads(kPrefix + QStringLiteral("/1/reading"))), rows);
    const QString errors = QString::fromUtf8(log.readAllStandardError());
    QVERIFY2(errors.contains(QStringLiteral("0 dropped, 1 reconnects")), qPrintable(errors));
    QCOMPARE(errors.count(QStringLiteral("MQTT broker")), 1); // "lost", said once
}

// Nobody listens: the rows and the exit code are as without --mqtt.
void TestE2eVantelctlMqtt::noBrokerAtAll()
{
    testsupport::Relay relay(m_broker);
    QVERIFY(relay.listen());
    const QString url = relay.url();
    relay.close();
    QProcess log;
    startLog(log, {"--duration", "2s", "--output", path("log.csv"), "--mqtt", url});
    QVERIFY(waitForEnd(log));
    QCOMPARE(log.exitCode(), 0);
    const int rows = fileLines(path("log.csv")).size() - 1;
    QVERIFY2(rows >= 5 && rows <= 7, qPrintable(QString::number(rows)));
    const QString errors = QString::fromUtf8(log.readAllStandardError());
    QCOMPARE(errors.count(QStringLiteral("not reachable")), 1);
    QVERIFY2(errors.contains(QStringLiteral("mqtt: 0 published, %1 dropped").arg(rows)),
             qPrintable(errors));
}

void TestE2eVantelctlMqtt::willWhenKilled()
{
    const QString prefix = kPrefix + QStringLiteral("-killed"); // nothing retained there yet
    const QString status = prefix + QStringLiteral("/status");
    Subscriber sub(m_broker, status);
    QVERIFY(sub.start());
    QProcess log;
    startLog(log, {"--output", path("log.csv"), "--mqtt", m_broker.url(), "--mqtt-topic", prefix});
    QVERIFY(sub.waitFor(status, 1));
    ::kill(pid_t(log.processId()), SIGKILL);
    QVERIFY(sub.waitFor(status, 2));
    QCOMPARE(sub.payloads(status), (QList<QByteArray>{"online", "offline"}));
}

void TestE2eVantelctlMqtt::badOptionsExit2_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::newRow("scheme") << QStringList{"--mqtt", "http://broker"};
    QTest::newRow("password in the URL") << QStringList{"--mqtt", "mqtt://lab:pw@broker"};
    QTest::newRow("queue 0") << QStringList{"--mqtt", "mqtt://broker", "--mqtt-queue", "0"};
    QTest::newRow("cafile without tls")
        << QStringList{"--mqtt", "mqtt://broker", "--mqtt-cafile", "/etc/hostname"};
    QTest::newRow("topic option alone") << QStringList{"--mqtt-topic", "x"};
    QTest::newRow("control alone") << QStringList{"--mqtt-control"};
    QTest::newRow("command age without control")
        << QStringList{"--mqtt", "mqtt://broker", "--mqtt-command-age", "5s"};
    QTest::newRow("command age 0s")
        << QStringList{"--mqtt", "mqtt://broker", "--mqtt-control", "--mqtt-command-age", "0s"};
    QTest::newRow("command age 2h")
        << QStringList{"--mqtt", "mqtt://broker", "--mqtt-control", "--mqtt-command-age", "2h"};
}

void TestE2eVantelctlMqtt::badOptionsExit2()
{
    QFETCH(QStringList, options);
    QProcess log;
    startLog(log, QStringList{"--duration", "2s"} + options);
    QVERIFY(log.waitForFinished(kWaitMs));
    QCOMPARE(log.exitCode(), 2);
    QVERIFY(!log.readAllStandardError().contains("pw"));
}

QTEST_GUILESS_MAIN(TestE2eVantelctlMqtt)
#include "tst_e2e_vantelctl_mqtt.moc"
