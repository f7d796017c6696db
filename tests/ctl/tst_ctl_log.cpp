// The log's rows.
#include "engine/client.h"
#include "records/rowwriter.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

using LogRow = records::Row;
using records::RowWriter;

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
    void rows();
};

void TestCtlLog::rows()
{
    LogRow good = sampleRow();
    QCOMPARE(RowWriter::csvHeader(false),
             QStringLiteral("time,elapsed_s,address,set_v,set_a,v,a,w,output,mode,ah,wh,error"));
    QCOMPARE(RowWriter::csvLine(good, false),
             QStringLiteral("2026-12-07T16:05:47.081+01:00,12.346,3,15,3,12.32,0.5,"
                            "6.16,1,CV,0.2,2,"));

    LogRow failed = good;
    failed.reading.reset();
    failed.failure = {engine::Error::Exception, 2};
    failed.time =
        QDateTime(QDate(2026, 1, 2), QTime(3, 4, 5, 6), Qt::OffsetFromUTC, -(5 * 3600 + 30 * 60));
    QCOMPARE(RowWriter::csvLine(failed, false),
             QStringLiteral("2026-01-02T03:04:05.006-05:30,12.346,3,,,,,,,,0.2,2,exception 2"));

    // JSON lines carry exactly the header's keys, in its order, with typed values.
    const QStringList keys = RowWriter::csvHeader(false).split(QLatin1Char(','));
    for (const LogRow &row : {good, failed}) {
        QJsonParseError error;
        const QJsonDocument doc = QJsonDocument::fromJson(RowWriter::jsonLine(row, false), &error);
        QCOMPARE(error.error, QJsonParseError::NoError);
        const QJsonObject o = doc.object();
        QCOMPARE(o.keys().size(), keys.size());
        for (const QString &key : keys) {
            QVERIFY2(o.contains(key), qPrintable(key));
        }
        QVERIFY(QString::fromUtf8(RowWriter::jsonLine(row, false))
                    .startsWith(QStringLiteral("{\"time\":")));
        QVERIFY(
            QString::fromUtf8(RowWriter::jsonLine(row, false)).indexOf(QStringLiteral("\"wh\"")) <
            QString::fromUtf8(RowWriter::jsonLine(row, false))
                .indexOf(QStringLiteral("\"error\"")));
        QCOMPARE(o.value(QStringLiteral("address")).toInt(), 3);
        QCOMPARE(o.value(QStringLiteral("ah")).toDouble(), 0.2);
    }
    const QJsonObject g = QJsonDocument::fromJson(RowWriter::jsonLine(good, false)).object();
    QCOMPARE(g.value(QStringLiteral("output")), QJsonValue(true));
    QCOMPARE(g.value(QStringLiteral("w")).toDouble(), 6.16);
    QCOMPARE(g.value(QStringLiteral("mode")).toString(), QStringLiteral("CV"));
    QVERIFY(g.value(QStringLiteral("error")).isNull());
    const QJsonObject f = QJsonDocument::fromJson(RowWriter::jsonLine(failed, false)).object();
    for (const char *key : {"set_v", "set_a", "v", "a", "w", "output", "mode"}) {
        QVERIFY2(f.value(QLatin1String(key)).isNull(), key);
    }
    QCOMPARE(f.value(QStringLiteral("error")).toString(), QStringLiteral("exception 2"));
}

QTEST_GUILESS_MAIN(TestCtlLog)
#include "tst_ctl_log.moc"
