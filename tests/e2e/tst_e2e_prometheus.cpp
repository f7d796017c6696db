// End to end: Debian's Prometheus server scrapes vantelctl serve --http with the
// token as its bearer credential, on the timed and the instant simulator with
// three supplies and on the independent slave with one, and its query API then
// holds each supply's voltage as the line reads it.
#include "support/ctlrig.h"
#include "support/supplyline.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTcpServer>
#include <QUrlQuery>
#include <QtTest>

#include <memory>

namespace {

const QByteArray kToken = "e2e-token-0123456789abcdef";
// Anything due on a machine four times slower than a quiet one, with room.
constexpr int kWaitMs = 120000;

// The simulator's voltage of each supply, pinned, as volts in its counts.
const QMap<int, QString> kSimVolts{
    {1, QStringLiteral("5.01")}, {2, QStringLiteral("12.34")}, {3, QStringLiteral("47.5")}};

} // namespace

class TestE2ePrometheus : public QObject {
    Q_OBJECT
private slots:
    void cleanup();
    void prometheusHoldsEverySuppliesVoltage_data();
    void prometheusHoldsEverySuppliesVoltage();

private:
    quint16 startServe(const QString &addresses);
    bool startPrometheus(quint16 servePort);
    // The result of an instant query; empty when it failed.
    QJsonArray query(const QString &promql);

    std::unique_ptr<testsupport::SupplyLine> m_line;
    testsupport::CtlRig *m_rig = nullptr; // the line's
    std::vector<std::unique_ptr<QProcess>> m_processes;
    QNetworkAccessManager m_network;
    quint16 m_prometheusPort = 0;
};

void TestE2ePrometheus::cleanup()
{
    testsupport::killAll(m_processes);
    m_rig = nullptr;
    m_line.reset();
}

quint16 TestE2ePrometheus::startServe(const QString &addresses)
{
    m_processes.push_back(std::make_unique<QProcess>());
    QProcess &serve = *m_processes.back();
    QProcessEnvironment env = m_rig->environment();
    env.insert(QStringLiteral("VANTEL_HTTP_TOKEN"), QString::fromLatin1(kToken));
    serve.setProcessEnvironment(env);
    serve.start(QStringLiteral(VANTELCTL_PATH),
                {"--port", "COM1", "--addresses", addresses, "serve", "--listen", "none", "--http",
                 "127.0.0.1:0", "--bench", "bench \"e2e\""});
    QString err;
    const auto open = testsupport::waitForErr(
        serve, err, QRegularExpression(QStringLiteral("open http://127\\.0\\.0\\.1:(\\d+)/")));
    if (!open.hasMatch()) {
        qWarning("%s", qPrintable(err));
        return 0;
    }
    return open.captured(1).toUShort();
}

bool TestE2ePrometheus::startPrometheus(quint16 servePort)
{
    const QString tokenFile = m_rig->path(QStringLiteral("token"));
    QFile token(tokenFile);
    if (!token.open(QIODevice::WriteOnly) ||
        !token.setPermissions(QFile::ReadOwner | QFile::WriteOwner) || token.write(kToken) < 0) {
        return false;
    }
    token.close();
    QFile config(m_rig->path(QStringLiteral("prometheus.yml")));
    if (!config.open(QIODevice::WriteOnly)) {
        return false;
    }
    config.write(QStringLiteral("global:\n"
                                "  scrape_interval: 1s\n"
                                "  scrape_timeout: 1s\n"
                                "scrape_configs:\n"
                                "  - job_name: vantel\n"
                                "    authorization:\n"
                                "      credentials_file: %1\n"
                                "    static_configs:\n"
                                "      - targets: ['127.0.0.1:%2']\n")
                     .arg(tokenFile)
                     .arg(servePort)
                     .toUtf8());
    config.close();
    // A free port, taken again by the server; another program may take it in
    // between, so the start is tried a few times.
    for (int attempt = 0; attempt < 3; ++attempt) {
        QTcpServer probe;
        if (!probe.listen(QHostAddress::LocalHost, 0)) {
            return false;
        }
        m_prometheusPort = probe.serverPort();
        probe.close();
        m_processes.push_back(std::make_unique<QProcess>());
        QProcess &prometheus = *m_processes.back();
        // Its log goes to a file, so that a pipe nobody reads never holds it up.
        const QString log = m_rig->path(QStringLiteral("prometheus-%1.log").arg(attempt));
        prometheus.setStandardErrorFile(log);
        prometheus.setStandardOutputFile(QProcess::nullDevice());
        prometheus.start(
            QStandardPaths::findExecutable(QStringLiteral("prometheus")),
            {QStringLiteral("--config.file=") + config.fileName(),
             QStringLiteral("--storage.tsdb.path=") + m_rig->path(QStringLiteral("data")),
             QStringLiteral("--web.listen-address=127.0.0.1:%1").arg(m_prometheusPort)});
        QString said;
        const bool ready = QTest::qWaitFor(
            [&] {
                QFile f(log);
                said = f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
                return said.contains(QLatin1String("Server is ready to receive web requests")) ||
                       prometheus.state() == QProcess::NotRunning;
            },
            kWaitMs);
        if (ready && prometheus.state() == QProcess::Running) {
            return true;
        }
        qWarning("%s", qPrintable(said.right(2000)));
        prometheus.kill();
        prometheus.waitForFinished();
    }
    return false;
}

QJsonArray TestE2ePrometheus::query(const QString &promql)
{
    QUrl url(QStringLiteral("http://127.0.0.1:%1/api/v1/query").arg(m_prometheusPort));
    url.setQuery(QUrlQuery{{QStringLiteral("query"), promql}});
    std::unique_ptr<QNetworkReply> reply(m_network.get(QNetworkRequest(url)));
    if (!QTest::qWaitFor([&] { return reply->isFinished(); }, 20000) ||
        reply->error() != QNetworkReply::NoError) {
        return {};
    }
    const QJsonObject answer = QJsonDocument::fromJson(reply->readAll()).object();
    return answer.value(QStringLiteral("data"))
        .toObject()
        .value(QStringLiteral("result"))
        .toArray();
}

void TestE2ePrometheus::prometheusHoldsEverySuppliesVoltage_data()
{
    testsupport::SupplyLine::addRows();
}

void TestE2ePrometheus::prometheusHoldsEverySuppliesVoltage()
{
    QFETCH(QString, line);
    if (QStandardPaths::findExecutable(QStringLiteral("prometheus")).isEmpty()) {
        QSKIP("prometheus (Debian's prometheus) is not installed");
    }
    m_line = std::make_unique<testsupport::SupplyLine>(QStringLiteral(VANTELCTL_PATH),
                                                       QStringLiteral(VANTEL_PYTHON3),
                                                       QStringLiteral(SLAVE_SCRIPT));
    m_rig = &m_line->rig();
    QMap<int, QString> expected = kSimVolts;
    QString addresses = QStringLiteral("1-3");
    if (line == QLatin1String("pymodbus")) {
        // The slave's voltage follows its set value into a 10 ohm load.
        addresses = QStringLiteral("5");
        expected = {{5, QStringLiteral("4.2")}};
        QVERIFY(m_line->start(line, addresses));
        if (m_line->missing()) {
            QSKIP("pymodbus, pyserial-asyncio or socat is missing");
        }
        const QStringList common{"--port", "COM1", "--address", "5", "--timeout", "1000"};
        QCOMPARE(m_rig->run(common + QStringList{"set", "--voltage", "4.2"}).code, 0);
        QCOMPARE(m_rig->run(common + QStringList{"output", "on"}).code, 0);
    } else {
        QVERIFY(m_line->start(line, addresses));
        for (auto it = expected.begin(); it != expected.end(); ++it) {
            QCOMPARE(m_rig->sim().command(
                         QStringLiteral("set actual-voltage %1 %2").arg(it.value()).arg(it.key())),
                     QStringLiteral("ok"));
        }
    }
    const quint16 servePort = startServe(addresses);
    QVERIFY(servePort != 0);
    QVERIFY(startPrometheus(servePort));

    // Two scrapes of every supply at least, the target up with the token, and
    // every supply's voltage as the simulator has it. Waited for whole: a scrape
    // that a busy machine makes late marks the series stale until the next.
    QString why;
    const auto holds = [&] {
        why.clear();
        const QJsonArray counts =
            query(QStringLiteral("count_over_time(vantel_voltage_volts[10m])"));
        for (const QJsonValue &series : counts) {
            if (series[QStringLiteral("value")][1].toString().toInt() < 2) {
                why = QStringLiteral("fewer than two scrapes");
            }
        }
        const QJsonArray up = query(QStringLiteral("up{job=\"vantel\"}"));
        if (up.size() != 1 || up[0][QStringLiteral("value")][1].toString() != QLatin1String("1")) {
            why = QStringLiteral("the target is not up: ") + QJsonDocument(up).toJson();
            return false;
        }
        const QJsonArray volts = query(QStringLiteral("vantel_voltage_volts"));
        if (counts.size() != expected.size() || volts.size() != expected.size()) {
            why += QStringLiteral(" series: ") + QJsonDocument(volts).toJson();
            return false;
        }
        QSet<int> seen;
        for (const QJsonValue &series : volts) {
            const QJsonObject labels = series[QStringLiteral("metric")].toObject();
            const int address = labels.value(QStringLiteral("address")).toString().toInt();
            if (!expected.contains(address) ||
                series[QStringLiteral("value")][1].toString() != expected.value(address) ||
                labels.value(QStringLiteral("bench")).toString() !=
                    QLatin1String("bench \"e2e\"") ||
                labels.value(QStringLiteral("port")).toString() != QLatin1String("COM1")) {
                why = QStringLiteral("a series differs: ") + QJsonDocument(volts).toJson();
                return false;
            }
            seen << address;
        }
        return why.isEmpty() && seen.size() == expected.size();
    };
    QVERIFY2(QTest::qWaitFor(holds, kWaitMs), qPrintable(why));
}

QTEST_GUILESS_MAIN(TestE2ePrometheus)
#include "tst_e2e_prometheus.moc"
