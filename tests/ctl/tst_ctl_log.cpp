// The log's counters and its rows.
#include "ctl/logrow.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

using ctl::EnergyCounter;
using ctl::LogRow;

namespace {

protocol::StatusReading reading(double volts, double amps, bool on)
{
    protocol::StatusReading r;
    r.setVoltage = 1500;
    r.setCurrent = 3000;
    r.actualVoltage = static_cast<std::uint16_t>(volts * 100 + 0.5);
    r.actualCurrent = static_cast<std::uint16_t>(amps * 1000 + 0.5);
    r.outputOn = on;
    r.mode = 1;
    return r;
}

// A reading every `step` seconds from `from` to `to` (both ends included).
void feed(EnergyCounter &counter, double from, double to, double step,
          const protocol::StatusReading *r)
{
    for (double t = from; t <= to + 1e-9; t += step) {
        counter.add(t, r);
    }
}

LogRow sampleRow()
{
    LogRow row;
    row.time = QDateTime(QDate(2026, 12, 7), QTime(16, 5, 47, 81), Qt::OffsetFromUTC, 3600);
    row.elapsedSeconds = 12.3456;
    row.address = 3;
    row.reading = reading(12.32, 0.5, true);
    row.ampHours = 0.2;
    row.wattHours = 2.0000004;
    return row;
}

} // namespace

class TestCtlLog : public QObject {
    Q_OBJECT
private slots:
    void energy_data();
    void energy();
    void rows();
};

void TestCtlLog::energy_data()
{
    QTest::addColumn<int>("plan");
    QTest::addColumn<double>("ah");
    QTest::addColumn<double>("wh");
    // 10 V / 2 A, readings every 0.35 s unless said otherwise.
    QTest::newRow("steady 360 s") << 0 << 0.2 << 2.0;
    QTest::newRow("uneven steps") << 1 << 0.2 << 2.0;
    QTest::newRow("a gap adds nothing") << 2 << 0.2 << 2.0;
    QTest::newRow("output off adds nothing") << 3 << 0.2 << 2.0;
    QTest::newRow("a ramp is a trapezoid") << 4 << 0.1 << 0.0;
}

void TestCtlLog::energy()
{
    QFETCH(int, plan);
    QFETCH(double, ah);
    QFETCH(double, wh);
    const protocol::StatusReading on = reading(10, 2, true);
    const protocol::StatusReading off = reading(10, 2, false);
    EnergyCounter counter;
    switch (plan) {
    case 0:
        feed(counter, 0, 360, 0.36, &on);
        break;
    case 1:
        for (double t : {0.0, 0.1, 50.0, 50.35, 200.0, 359.9, 360.0}) {
            counter.add(t, &on);
        }
        break;
    case 2: // 180 s on, readings failing for 60 s, 180 s on again
        feed(counter, 0, 180, 0.36, &on);
        feed(counter, 180.36, 240, 0.36, nullptr);
        feed(counter, 240, 420, 0.36, &on);
        break;
    case 3: // on, then off for an hour, then on again
        feed(counter, 0, 180, 0.36, &on);
        feed(counter, 180.36, 3780, 36, &off);
        feed(counter, 3800, 3980, 0.36, &on);
        break;
    case 4: { // 0 A to 2 A linearly over 360 s: half the steady charge
        for (int i = 0; i <= 360; ++i) {
            const protocol::StatusReading r = reading(0, 2.0 * i / 360, true);
            counter.add(i, &r);
        }
        break;
    }
    }
    QVERIFY2(std::abs(counter.ampHours() - ah) < 1e-6,
             qPrintable(QString::number(counter.ampHours())));
    QVERIFY2(std::abs(counter.wattHours() - wh) < 1e-6,
             qPrintable(QString::number(counter.wattHours())));
}

void TestCtlLog::rows()
{
    LogRow good = sampleRow();
    QCOMPARE(LogRow::csvHeader(),
             QStringLiteral("time,elapsed_s,address,set_v,set_a,v,a,w,output,mode,ah,wh,error"));
    QCOMPARE(good.csvLine(), QStringLiteral("2026-12-07T16:05:47.081+01:00,12.346,3,15,3,12.32,0.5,"
                                            "6.16,1,CV,0.2,2,"));

    LogRow failed = good;
    failed.reading.reset();
    failed.error = QStringLiteral("exception 2");
    failed.time =
        QDateTime(QDate(2026, 1, 2), QTime(3, 4, 5, 6), Qt::OffsetFromUTC, -(5 * 3600 + 30 * 60));
    QCOMPARE(failed.csvLine(),
             QStringLiteral("2026-01-02T03:04:05.006-05:30,12.346,3,,,,,,,,0.2,2,exception 2"));

    // JSON lines carry exactly the header's keys, in its order, with typed values.
    const QStringList keys = LogRow::csvHeader().split(QLatin1Char(','));
    for (const LogRow &row : {good, failed}) {
        QJsonParseError error;
        const QJsonDocument doc = QJsonDocument::fromJson(row.jsonLine().toUtf8(), &error);
        QCOMPARE(error.error, QJsonParseError::NoError);
        const QJsonObject o = doc.object();
        QCOMPARE(o.keys().size(), keys.size());
        for (const QString &key : keys) {
            QVERIFY2(o.contains(key), qPrintable(key));
        }
        QVERIFY(row.jsonLine().startsWith(QStringLiteral("{\"time\":")));
        QVERIFY(row.jsonLine().indexOf(QStringLiteral("\"wh\"")) <
                row.jsonLine().indexOf(QStringLiteral("\"error\"")));
        QCOMPARE(o.value(QStringLiteral("address")).toInt(), 3);
        QCOMPARE(o.value(QStringLiteral("ah")).toDouble(), 0.2);
    }
    const QJsonObject g = QJsonDocument::fromJson(good.jsonLine().toUtf8()).object();
    QCOMPARE(g.value(QStringLiteral("output")), QJsonValue(true));
    QCOMPARE(g.value(QStringLiteral("w")).toDouble(), 6.16);
    QCOMPARE(g.value(QStringLiteral("mode")).toString(), QStringLiteral("CV"));
    QVERIFY(g.value(QStringLiteral("error")).isNull());
    const QJsonObject f = QJsonDocument::fromJson(failed.jsonLine().toUtf8()).object();
    for (const char *key : {"set_v", "set_a", "v", "a", "w", "output", "mode"}) {
        QVERIFY2(f.value(QLatin1String(key)).isNull(), key);
    }
    QCOMPARE(f.value(QStringLiteral("error")).toString(), QStringLiteral("exception 2"));
}

QTEST_GUILESS_MAIN(TestCtlLog)
#include "tst_ctl_log.moc"
