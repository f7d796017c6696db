// /metrics: the writer against the text format's rules, the readings as samples
// (none before a good reading, none for what a failed one lacks), the output as
// promtool reads it, and the route behind the token.
#include "support/httpclient.h"
#include "web/exposition.h"
#include "web/httpserver.h"
#include "web/metrics.h"

#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using testsupport::HttpConnection;
using testsupport::httpRequest;
using testsupport::HttpResponse;
using Kind = web::Exposition::Kind;

namespace {

const QByteArray kToken = "0123456789abcdef0123456789abcdef";

// A record's JSON line of a supply as the bench hands it out.
QJsonObject goodReading(int address, double volts, const char *mode = "CV", double wh = 0.5)
{
    return {{QStringLiteral("address"), address},
            {QStringLiteral("set_v"), 12.0},
            {QStringLiteral("set_a"), 1.5},
            {QStringLiteral("v"), volts},
            {QStringLiteral("a"), 0.25},
            {QStringLiteral("w"), volts * 0.25},
            {QStringLiteral("output"), true},
            {QStringLiteral("mode"), mode},
            {QStringLiteral("ah"), wh / 10},
            {QStringLiteral("wh"), wh},
            {QStringLiteral("error"), QJsonValue()}};
}

QJsonObject failedReading(int address, const char *word, double wh = 0.5)
{
    QJsonObject object;
    for (const char *key : {"set_v", "set_a", "v", "a", "w", "output", "mode"}) {
        object.insert(QLatin1String(key), QJsonValue());
    }
    object.insert(QStringLiteral("address"), address);
    object.insert(QStringLiteral("ah"), wh / 10);
    object.insert(QStringLiteral("wh"), wh);
    object.insert(QStringLiteral("error"), QLatin1String(word));
    return object;
}

// The sample lines of a text (no comments), and the families its TYPE lines name.
QStringList samples(const QByteArray &text)
{
    QStringList lines;
    for (const QByteArray &line : text.split('\n')) {
        if (!line.isEmpty() && !line.startsWith('#')) {
            lines << QString::fromUtf8(line);
        }
    }
    return lines;
}

// The format's structure: each family's HELP and TYPE once, before its samples,
// which come together and whose names are the family's.
QString structureFault(const QByteArray &text)
{
    QSet<QString> typed;
    QString current;
    QSet<QString> seenSeries;
    for (const QByteArray &raw : text.split('\n')) {
        const QString line = QString::fromUtf8(raw);
        if (line.startsWith(QLatin1String("# TYPE "))) {
            current = line.section(QLatin1Char(' '), 2, 2);
            if (typed.contains(current)) {
                return QStringLiteral("a second TYPE of ") + current;
            }
            typed << current;
        } else if (!line.isEmpty() && !line.startsWith(QLatin1Char('#'))) {
            const QString series = line.left(line.lastIndexOf(QLatin1Char(' ')));
            if (!series.startsWith(current)) {
                return QStringLiteral("a sample outside its family: ") + line;
            }
            if (seenSeries.contains(series)) {
                return QStringLiteral("a series twice: ") + series;
            }
            seenSeries << series;
        }
    }
    return {};
}

} // namespace

class TestWebMetrics : public QObject {
    Q_OBJECT

private slots:
    void exposition_data();
    void exposition();
    void numbersReadBack();
    void readings_data();
    void readings();
    void promtoolReadsIt();
    void route_data();
    void route();
    void headHasNoBody();
};

void TestWebMetrics::exposition_data()
{
    // Each row drives a writer through its steps: what each step returned, and
    // what the text holds and lacks.
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QStringList>("holds");
    QTest::addColumn<QStringList>("lacks");
    QTest::addColumn<QList<bool>>("taken");
    QTest::addColumn<QList<bool>>("want"); // what family() and sample() return, in order

    const auto run = [](const std::function<QList<bool>(web::Exposition &)> &steps) {
        web::Exposition out;
        const QList<bool> taken = steps(out);
        return std::make_pair(QByteArray::fromStdString(out.text()), taken);
    };
    const auto row = [&](const char *name, const std::function<QList<bool>(web::Exposition &)> &f,
                         const QStringList &holds, const QStringList &lacks,
                         const QList<bool> &want) {
        const auto [text, taken] = run(f);
        QTest::newRow(name) << text << holds << lacks << taken << want;
    };

    row("label values escaped",
        [](web::Exposition &o) {
            return QList<bool>{o.family("a_volts", "A.", Kind::Gauge),
                               o.sample({{"port", "C:\\dev\\\"x\"\nnext"}}, 1)};
        },
        {QStringLiteral("a_volts{port=\"C:\\\\dev\\\\\\\"x\\\"\\nnext\"} 1")}, {}, {true, true});
    // prometheus-cpp 1.0 writes a HELP text as it is given: one that would need
    // escaping is refused rather than left to break the text.
    row("help that would need escaping",
        [](web::Exposition &o) {
            return QList<bool>{o.family("a_volts", "back\\slash", Kind::Gauge),
                               o.family("b_volts", "line\nbreak", Kind::Gauge),
                               o.family("c_volts", "quotes \"q\" stay", Kind::Gauge),
                               o.sample({}, 1)};
        },
        {QStringLiteral("# HELP c_volts quotes \"q\" stay\n")},
        {QStringLiteral("a_volts"), QStringLiteral("b_volts")}, {false, false, true, true});
    row("names the format refuses",
        [](web::Exposition &o) {
            return QList<bool>{o.family("1volts", "", Kind::Gauge),
                               o.sample({}, 1),
                               o.family("a-b", "", Kind::Gauge),
                               o.family("", "", Kind::Gauge),
                               o.family("a b", "", Kind::Gauge),
                               o.family("x:y_ok", "", Kind::Gauge),
                               o.sample({}, 2)};
        },
        {QStringLiteral("x:y_ok 2")}, {QStringLiteral("1volts"), QStringLiteral("a-b")},
        {false, false, false, false, false, true, true});
    row("counters end in _total, gauges do not",
        [](web::Exposition &o) {
            return QList<bool>{o.family("energy_wh", "", Kind::Counter),
                               o.family("energy_total", "", Kind::Gauge),
                               o.family("energy_wh_total", "", Kind::Counter), o.sample({}, 3)};
        },
        {QStringLiteral("# TYPE energy_wh_total counter"), QStringLiteral("energy_wh_total 3")},
        {QStringLiteral("energy_wh ")}, {false, false, true, true});
    row("one family per name",
        [](web::Exposition &o) {
            return QList<bool>{o.family("v_volts", "", Kind::Gauge), o.sample({{"a", "1"}}, 1),
                               o.family("v_volts", "", Kind::Gauge), o.sample({{"a", "2"}}, 2)};
        },
        {QStringLiteral("v_volts{a=\"1\"} 1")}, {QStringLiteral("v_volts{a=\"2\"}")},
        {true, true, false, false});
    row("one sample per series, labels in any order",
        [](web::Exposition &o) {
            return QList<bool>{o.family("v_volts", "", Kind::Gauge),
                               o.sample({{"a", "1"}, {"b", "2"}}, 1),
                               o.sample({{"b", "2"}, {"a", "1"}}, 2), o.sample({{"a", "2"}}, 3)};
        },
        {QStringLiteral("} 1"), QStringLiteral("v_volts{a=\"2\"} 3")}, {QStringLiteral("} 2")},
        {true, true, false, true});
    row("label names the format refuses or keeps",
        [](web::Exposition &o) {
            return QList<bool>{
                o.family("v_volts", "", Kind::Gauge),  o.sample({{"1a", "x"}}, 1),
                o.sample({{"a-b", "x"}}, 2),           o.sample({{"__name__", "x"}}, 3),
                o.sample({{"a", "x"}, {"a", "y"}}, 4), o.sample({{"_a", "x"}}, 5)};
        },
        {QStringLiteral("v_volts{_a=\"x\"} 5")}, {QStringLiteral("} 1"), QStringLiteral("} 4")},
        {true, false, false, false, false, true});
    row("a family without samples is left out",
        [](web::Exposition &o) {
            return QList<bool>{o.family("empty_volts", "", Kind::Gauge),
                               o.family("full_volts", "", Kind::Gauge), o.sample({}, 1),
                               o.family("last_volts", "", Kind::Gauge)};
        },
        {QStringLiteral("full_volts 1")},
        {QStringLiteral("empty_volts"), QStringLiteral("last_volts")}, {true, true, true, true});
    row("no sample without a family",
        [](web::Exposition &o) { return QList<bool>{o.sample({}, 1)}; }, {}, {QStringLiteral("1")},
        {false});
}

void TestWebMetrics::exposition()
{
    QFETCH(QByteArray, text);
    QFETCH(QStringList, holds);
    QFETCH(QStringList, lacks);
    QFETCH(QList<bool>, taken);
    QFETCH(QList<bool>, want);
    QCOMPARE(taken, want);
    for (const QString &line : holds) {
        QVERIFY2(text.contains(line.toUtf8()), qPrintable(line + QLatin1String(" in:\n") + text));
    }
    for (const QString &line : lacks) {
        QVERIFY2(!text.contains(line.toUtf8()), qPrintable(line + QLatin1String(" in:\n") + text));
    }
    QCOMPARE(structureFault(text), QString());
}

void TestWebMetrics::numbersReadBack()
{
    // Every value comes back as the double it was, and the three that are no
    // number are written as the format spells them.
    const std::vector<double> values{
        0.1,      1.0 / 3,  59.99,      3.2e-7,
        1e300,    -0.0,     12345678.9, std::numeric_limits<double>::quiet_NaN(),
        HUGE_VAL, -HUGE_VAL};
    web::Exposition out;
    out.family("n_volts", "", Kind::Gauge);
    for (std::size_t i = 0; i < values.size(); ++i) {
        out.sample({{"i", std::to_string(i)}}, values[i]);
    }
    const QStringList lines = samples(QByteArray::fromStdString(out.text()));
    QCOMPARE(lines.size(), qsizetype(values.size()));
    for (const QString &line : lines) {
        const int i = line.section(QLatin1Char('"'), 1, 1).toInt();
        const QString written = line.section(QLatin1Char(' '), -1);
        if (std::isnan(values[i])) {
            // The serializer writes "Nan"; Prometheus reads it in any case.
            QCOMPARE(written.toLower(), QStringLiteral("nan"));
        } else if (std::isinf(values[i])) {
            QCOMPARE(written, values[i] > 0 ? QStringLiteral("+Inf") : QStringLiteral("-Inf"));
        } else {
            QCOMPARE(written.toDouble(), values[i]);
        }
    }
}

void TestWebMetrics::readings_data()
{
    QTest::addColumn<QList<QJsonObject>>("readings");
    QTest::addColumn<QStringList>("holds");
    QTest::addColumn<QStringList>("lacks");
    const QString s1 = QStringLiteral("{bench=\"b1\",port=\"/dev/ttyUSB0\",address=\"1\"");
    const QString s2 = QStringLiteral("{bench=\"b1\",port=\"/dev/ttyUSB0\",address=\"2\"");
    const QString line = QStringLiteral("{bench=\"b1\",port=\"/dev/ttyUSB0\"");

    QTest::newRow("nothing read yet: no supply, the line's counts at 0")
        << QList<QJsonObject>{}
        << QStringList{"vantel_readings_total" + line + "} 0",
                       "vantel_reading_failures_total" + line + ",error=\"timeout\"} 0",
                       "vantel_round_trips_total" + line + "} 0"}
        << QStringList{QStringLiteral("vantel_voltage_volts"),
                       QStringLiteral("vantel_energy_watt_hours_total"),
                       QStringLiteral("vantel_round_trip_median_seconds")};
    QTest::newRow("a failed first reading: still no supply, its failure counted")
        << QList<QJsonObject>{failedReading(1, "timeout", 0)}
        << QStringList{"vantel_readings_total" + line + "} 1",
                       "vantel_reading_failures_total" + line + ",error=\"timeout\"} 1"}
        << QStringList{QStringLiteral("address="), QStringLiteral("vantel_mode")};
    QTest::newRow("good readings of two supplies")
        << QList<QJsonObject>{goodReading(1, 12.0), goodReading(2, 5.5, "CC", 2.0)}
        << QStringList{"vantel_voltage_volts" + s1 + "} 12",
                       "vantel_voltage_volts" + s2 + "} 5.5",
                       "vantel_current_amperes" + s1 + "} 0.25",
                       "vantel_power_watts" + s1 + "} 3",
                       "vantel_set_voltage_volts" + s1 + "} 12",
                       "vantel_set_current_amperes" + s1 + "} 1.5",
                       "vantel_output_on" + s1 + "} 1",
                       "vantel_mode" + s1 + ",mode=\"CV\"} 1",
                       "vantel_mode" + s1 + ",mode=\"CC\"} 0",
                       "vantel_mode" + s2 + ",mode=\"CC\"} 1",
                       "vantel_mode" + s2 + ",mode=\"OC\"} 0",
                       "vantel_energy_watt_hours_total" + s2 + "} 2",
                       "vantel_charge_ampere_hours_total" + s2 + "} 0.2",
                       "# TYPE vantel_energy_watt_hours_total counter",
                       "# TYPE vantel_voltage_volts gauge",
                       "vantel_readings_total" + line + "} 2"}
        << QStringList{QStringLiteral("error=\"exception")};
    QTest::newRow("a failed reading after a good one: the values go, the counters stay")
        << QList<QJsonObject>{goodReading(1, 12.0, "CV", 1.25),
                              failedReading(1, "exception 2", 1.25)}
        << QStringList{"vantel_energy_watt_hours_total" + s1 + "} 1.25",
                       "vantel_charge_ampere_hours_total" + s1 + "} 0.125",
                       "vantel_reading_failures_total" + line + ",error=\"exception 2\"} 1",
                       "vantel_readings_total" + line + "} 2"}
        << QStringList{QStringLiteral("vantel_voltage_volts"), QStringLiteral("vantel_mode"),
                       QStringLiteral("vantel_output_on")};
    QTest::newRow("a reading again after a failure: the values are back")
        << QList<QJsonObject>{goodReading(1, 12.0), failedReading(1, "crc"), goodReading(1, 11.5)}
        << QStringList{"vantel_voltage_volts" + s1 + "} 11.5",
                       "vantel_reading_failures_total" + line + ",error=\"crc\"} 1"}
        << QStringList{};
}

void TestWebMetrics::readings()
{
    QFETCH(QList<QJsonObject>, readings);
    QFETCH(QStringList, holds);
    QFETCH(QStringList, lacks);
    web::Metrics metrics({QStringLiteral("b1"), QStringLiteral("/dev/ttyUSB0"), {}});
    for (const QJsonObject &reading : readings) {
        metrics.take(reading);
    }
    const QByteArray text = metrics.text();
    const QStringList lines = samples(text);
    for (const QString &sample : holds) {
        QVERIFY2(sample.startsWith(QLatin1Char('#')) ? text.contains(sample.toUtf8())
                                                     : lines.contains(sample),
                 qPrintable(sample + QLatin1String(" in:\n") + text));
    }
    for (const QString &part : lacks) {
        QVERIFY2(!text.contains(part.toUtf8()), qPrintable(part + QLatin1String(" in:\n") + text));
    }
    QCOMPARE(structureFault(text), QString());
}

void TestWebMetrics::promtoolReadsIt()
{
    // Prometheus's own checker reads the text whole, with labels that need
    // escaping and the line's round trips.
    const QString promtool = QStandardPaths::findExecutable(QStringLiteral("promtool"));
    if (promtool.isEmpty()) {
        QSKIP("promtool (Debian's prometheus) is not installed");
    }
    engine::LinkStats stats;
    stats.roundTrips = 10;
    stats.medianMs = 32.5;
    stats.p99Ms = 40;
    stats.maxMs = 41.25;
    web::Metrics metrics({QStringLiteral("lab \"3\"\\east\nwing"), QStringLiteral("COM3"),
                          [stats] { return stats; }});
    metrics.take(goodReading(1, 12.0));
    metrics.take(goodReading(7, 0.0, "OC"));
    metrics.take(failedReading(7, "exception 4"));
    const QByteArray text = metrics.text();
    QVERIFY(text.contains("vantel_round_trip_median_seconds{bench=\"lab \\\"3\\\"\\\\east\\nwing\""
                          ",port=\"COM3\"} 0.0325\n"));
    QProcess check;
    check.start(promtool, {QStringLiteral("check"), QStringLiteral("metrics")});
    QVERIFY(check.waitForStarted());
    check.write(text);
    check.closeWriteChannel();
    QVERIFY(check.waitForFinished(60000));
    const QByteArray said = check.readAllStandardOutput() + check.readAllStandardError();
    // 1: the text could not be read. 3: advice only, of which the one taken is
    // the hours in the energy and charge counters' names, which dashboards know.
    QVERIFY2(check.exitCode() == 0 || check.exitCode() == 3, (said + "\n" + text).constData());
    for (const QByteArray &line : said.split('\n')) {
        QVERIFY2(line.isEmpty() || line.endsWith("use base unit \"seconds\" instead of \"hours\""),
                 (said + "\n" + text).constData());
    }
}

void TestWebMetrics::route_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<int>("status");
    const QByteArray host = "Host: 127.0.0.1\r\n";
    const QByteArray auth = "Authorization: Bearer " + kToken + "\r\n";
    QTest::newRow("with the token") << "GET /metrics HTTP/1.1\r\n" + host + auth + "\r\n" << 200;
    QTest::newRow("without a token") << "GET /metrics HTTP/1.1\r\n" + host + "\r\n" << 401;
    QTest::newRow("another token")
        << "GET /metrics HTTP/1.1\r\n" + host + "Authorization: Bearer " + QByteArray(32, 'x') +
               "\r\n\r\n"
        << 401;
    QTest::newRow("the token in the query")
        << "GET /metrics?token=" + kToken + " HTTP/1.1\r\n" + host + "\r\n"
        << 401;
    QTest::newRow("a foreign Host")
        << "GET /metrics HTTP/1.1\r\nHost: evil.example\r\n" + auth + "\r\n"
        << 403;
    QTest::newRow("POST") << "POST /metrics HTTP/1.1\r\n" + host + auth +
                                 "Content-Length: 0\r\n\r\n"
                          << 405;
}

namespace {

// One supply whose readings the test hands out.
class OneSupply : public web::Bench {
public:
    std::vector<std::uint8_t> addresses() const override { return {1}; }
    QJsonObject supply(std::uint8_t) const override { return goodReading(1, 12.0); }
    void set(std::uint8_t, std::optional<std::uint16_t>, std::optional<std::uint16_t>,
             Answer answer) override
    {
        answer({});
    }
    void output(std::uint8_t, bool, Answer answer) override { answer({}); }
    void allOff(Answer answer) override { answer({}); }
    QString recordPath() const override { return {}; }
};

struct Served {
    OneSupply bench;
    std::unique_ptr<web::HttpServer> server;
    Served()
    {
        web::HttpOptions options;
        options.token = kToken;
        options.metrics = {QStringLiteral("b1"), QStringLiteral("/dev/ttyUSB0"), {}};
        server = std::make_unique<web::HttpServer>(bench, options);
    }
};

} // namespace

void TestWebMetrics::route()
{
    QFETCH(QByteArray, request);
    QFETCH(int, status);
    Served served;
    QCOMPARE(served.server->listen(), QString());
    served.bench.reading(goodReading(1, 12.0));
    HttpConnection connection(served.server->serverPort());
    connection.send(request);
    const HttpResponse response = connection.next();
    QCOMPARE(response.status, status);
    if (status == 200) {
        QCOMPARE(response.headers.value("content-type"),
                 QByteArray("text/plain; version=0.0.4; charset=utf-8"));
        QVERIFY2(response.body.contains(
                     "vantel_voltage_volts{bench=\"b1\",port=\"/dev/ttyUSB0\",address=\"1\"} 12\n"),
                 response.body.constData());
    } else {
        QVERIFY(!response.body.contains("vantel_"));
    }
    if (status == 401) {
        QCOMPARE(response.headers.value("www-authenticate"), QByteArray("Bearer"));
    }
}

void TestWebMetrics::headHasNoBody()
{
    Served served;
    QCOMPARE(served.server->listen(), QString());
    served.bench.reading(goodReading(1, 12.0));
    const QList<QByteArray> headers{"Host: 127.0.0.1", "Authorization: Bearer " + kToken};
    HttpConnection connection(served.server->serverPort());
    connection.send(httpRequest("GET", "/metrics", headers));
    const HttpResponse got = connection.next();
    QCOMPARE(got.status, 200);
    // The HEAD's answer is followed at once by the next request's.
    connection.send(httpRequest("HEAD", "/metrics", headers) +
                    httpRequest("GET", "/api/supplies", headers));
    const QByteArray both = connection.readUntil(
        [](const QByteArray &b) { return b.count("HTTP/1.1 ") >= 2 && b.endsWith("]}"); });
    const QByteArray head = both.left(both.indexOf("\r\n\r\n") + 4);
    QVERIFY2(head.startsWith("HTTP/1.1 200"), both.constData());
    QVERIFY2(head.contains("Content-Length: " + QByteArray::number(got.body.size())),
             both.constData());
    QVERIFY2(both.mid(head.size()).startsWith("HTTP/1.1 200"), both.constData());
}

QTEST_GUILESS_MAIN(TestWebMetrics)
#include "tst_web_metrics.moc"
