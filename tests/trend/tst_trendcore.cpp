#include "support/commalocale.h"

#include "trend/csvexport.h"
#include "trend/energycounter.h"
#include "trend/reduce.h"
#include "trend/samplestore.h"

#include <QBuffer>
#include <QDateTime>
#include <QLocale>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QtTest>

#include <algorithm>
#include <cstdlib>

using trend::Quantity;
using trend::Sample;
using trend::SampleStore;

namespace {

protocol::StatusReading reading(int centivolts, int milliamps, bool on = true, int mode = 1)
{
    protocol::StatusReading r;
    r.setVoltage = 1234;
    r.setCurrent = 1500;
    r.actualVoltage = std::uint16_t(centivolts);
    r.actualCurrent = std::uint16_t(milliamps);
    r.outputOn = on;
    r.mode = std::uint8_t(mode);
    return r;
}

// Feeds a store from a script of times in ms; "|" ends the segment there.
void play(SampleStore &store, const QString &script)
{
    for (const QString &step : script.split(' ', Qt::SkipEmptyParts)) {
        if (step == "|") {
            store.endSegment();
        } else {
            store.append(step.toLongLong(), reading(step.toInt() % 6000, 100));
        }
    }
}

// The store's samples as "time" or "*time" for one that starts a segment.
QString contents(const SampleStore &store)
{
    QStringList out;
    for (std::size_t i = 0; i < store.size(); ++i) {
        out << (store[i].segmentStart ? "*" : "") + QString::number(store[i].time());
    }
    return out.join(' ');
}

} // namespace

class TestTrendCore : public QObject {
    Q_OBJECT
private slots:
    void store_data();
    void store();
    void lowerBound();
    void reduceKeepsEveryExtreme_data();
    void reduceKeepsEveryExtreme();
    void counters_data();
    void counters();
    void csvUnderCommaLocale();
    void csvReportsAFailedWrite();
};

void TestTrendCore::store_data()
{
    QTest::addColumn<int>("capacity");
    QTest::addColumn<QString>("script");
    QTest::addColumn<QString>("expected");
    QTest::newRow("one segment") << 10 << "0 350 700 1050"
                                 << "*0 350 700 1050";
    QTest::newRow("ended segment") << 10 << "0 350 | 700 1050"
                                   << "*0 350 *700 1050";
    QTest::newRow("ended twice, no sample between") << 10 << "0 | | 350"
                                                    << "*0 *350";
    QTest::newRow("step longer than the watchdog") << 10 << "0 2000 4001 4351"
                                                   << "*0 2000 *4001 4351";
    QTest::newRow("cap drops the oldest") << 3 << "0 350 700 1050 1400"
                                          << "*700 1050 1400";
    QTest::newRow("cap cuts a segment") << 3 << "0 350 | 700 1050 1400"
                                        << "*700 1050 1400";
    QTest::newRow("a day is kept, older is dropped") << 10 << "0 3600000 86400000 86400350"
                                                     << "*3600000 *86400000 86400350";
    QTest::newRow("time going back keeps the order") << 10 << "0 700 350 1050"
                                                     << "*0 700 700 1050";
}

void TestTrendCore::store()
{
    QFETCH(int, capacity);
    QFETCH(QString, script);
    QFETCH(QString, expected);
    SampleStore store{std::size_t(capacity)};
    play(store, script);
    QCOMPARE(contents(store), expected);
}

void TestTrendCore::lowerBound()
{
    SampleStore store;
    play(store, "0 350 700 700 1050");
    QCOMPARE(store.lowerBound(-5), std::size_t(0));
    QCOMPARE(store.lowerBound(351), std::size_t(2));
    QCOMPARE(store.lowerBound(700), std::size_t(2));
    QCOMPARE(store.lowerBound(2000), std::size_t(5));
}

void TestTrendCore::reduceKeepsEveryExtreme_data()
{
    QTest::addColumn<int>("samples");
    QTest::addColumn<int>("columns");
    QTest::addColumn<int>("from");
    QTest::addColumn<int>("to");
    QTest::newRow("many samples a column") << 20000 << 300 << 0 << 20000 * 350;
    QTest::newRow("fewer samples than columns") << 100 << 800 << 0 << 100 * 350;
    QTest::newRow("a part of the history") << 20000 << 640 << 1000000 << 2000000;
    QTest::newRow("one column") << 500 << 1 << 0 << 500 * 350;
}

void TestTrendCore::reduceKeepsEveryExtreme()
{
    QFETCH(int, samples);
    QFETCH(int, columns);
    QFETCH(int, from);
    QFETCH(int, to);
    // A random walk with a gap now and then.
    QRandomGenerator random(42);
    SampleStore store;
    int centivolts = 3000;
    for (int i = 0; i < samples; ++i) {
        if (random.bounded(50) == 0) {
            store.endSegment();
        }
        centivolts = std::clamp(centivolts + random.bounded(-200, 201), 0, 6000);
        store.append(std::int64_t(i) * 350, reading(centivolts, random.bounded(3000)));
    }

    for (Quantity quantity : {Quantity::Volts, Quantity::Amps, Quantity::Watts}) {
        const trend::Trace trace = trend::reduce(store, from, to, columns, quantity);
        QVERIFY(trace.points.size() <= std::size_t(2 * columns));
        QVERIFY(std::is_sorted(trace.points.begin(), trace.points.end(),
                               [](const auto &a, const auto &b) { return a.ms < b.ms; }));
        const auto columnOf = [&](std::int64_t ms) {
            return std::min(columns - 1, int(double(ms - from) * columns / double(to - from)));
        };
        // Per column: the extremes of the samples, and where polylines must start.
        QMap<int, std::pair<double, double>> extremes;
        QSet<int> breaks;
        for (std::size_t i = store.lowerBound(from); i < store.size(); ++i) {
            const Sample &s = store[i];
            if (s.time() > to) {
                break;
            }
            const double v = trend::valueOf(s, quantity);
            const int c = columnOf(s.time());
            auto it = extremes.find(c);
            if (it == extremes.end()) {
                extremes.insert(c, {v, v});
            } else {
                it->first = std::min(it->first, v);
                it->second = std::max(it->second, v);
            }
            if (s.segmentStart) {
                breaks.insert(c);
            }
        }
        QMap<int, std::pair<double, double>> drawn;
        for (const trend::Point &p : trace.points) {
            auto it = drawn.find(columnOf(p.ms));
            if (it == drawn.end()) {
                drawn.insert(columnOf(p.ms), {p.value, p.value});
            } else {
                it->first = std::min(it->first, p.value);
                it->second = std::max(it->second, p.value);
            }
        }
        QCOMPARE(drawn, extremes);
        QSet<int> started;
        for (std::size_t start : trace.starts) {
            started.insert(columnOf(trace.points[start].ms));
        }
        // Every segment start breaks the line there, and nothing else does.
        QVERIFY((breaks - started).isEmpty());
        QVERIFY((started - breaks - QSet<int>{columnOf(trace.points.front().ms)}).isEmpty());
    }
    QVERIFY(trend::reduce(store, 0, 0, columns, Quantity::Volts).points.empty());
    QVERIFY(trend::reduce(store, from, to, 0, Quantity::Volts).points.empty());
}

void TestTrendCore::counters_data()
{
    QTest::addColumn<QString>("script"); // per step: ms,centivolts,milliamps,on ; "|" a gap
    QTest::addColumn<double>("ampHours");
    QTest::addColumn<double>("wattHours");
    QString constant, gap, off, ramp;
    for (int ms = 0; ms <= 360000; ms += 300) {
        constant += QStringLiteral("%1,1000,2000,1 ").arg(ms);
        off += QStringLiteral("%1,1000,2000,%2 ").arg(ms).arg(ms <= 180000 ? 1 : 0);
    }
    // 10 V / 2 A for 360 s, with a silence of 10 s cut out of the middle.
    for (int ms = 0; ms <= 370000; ms += 500) {
        if (ms > 180000 && ms < 190000) {
            continue;
        }
        gap += QStringLiteral("%1%2,1000,2000,1 ").arg(ms == 190000 ? "| " : "").arg(ms);
    }
    // 0 to 2 A in a straight line over an hour at 10 V: 1 Ah, 10 Wh exactly.
    for (int ms = 0; ms <= 3600000; ms += 1800) {
        ramp += QStringLiteral("%1,1000,%2,1 ").arg(ms).arg(ms / 1800);
    }
    QTest::newRow("10 V 2 A for 360 s") << constant << 0.2 << 2.0;
    QTest::newRow("a gap adds nothing") << gap << 0.2 << 2.0;
    QTest::newRow("output off adds nothing") << off << 0.1 << 1.0;
    QTest::newRow("trapezoids follow a ramp") << ramp << 1.0 << 10.0;
}

void TestTrendCore::counters()
{
    QFETCH(QString, script);
    QFETCH(double, ampHours);
    QFETCH(double, wattHours);
    SampleStore store;
    trend::EnergyCounter counter;
    for (const QString &step : script.split(' ', Qt::SkipEmptyParts)) {
        if (step == "|") {
            store.endSegment();
            continue;
        }
        const QStringList f = step.split(',');
        store.append(f[0].toLongLong(), reading(f[1].toInt(), f[2].toInt(), f[3] == "1"));
        counter.add(store.back());
    }
    QVERIFY2(std::abs(counter.ampHours() - ampHours) < 1e-9,
             qPrintable(QString::number(counter.ampHours(), 'f', 9)));
    QVERIFY2(std::abs(counter.wattHours() - wattHours) < 1e-9,
             qPrintable(QString::number(counter.wattHours(), 'f', 9)));
    counter.reset();
    QCOMPARE(counter.ampHours(), 0.0);
    counter.add(store.back());
    QCOMPARE(counter.wattHours(), 0.0);
}

void TestTrendCore::csvUnderCommaLocale()
{
    testsupport::CommaLocale comma;
    const QLocale before;
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    qputenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3");

    SampleStore store;
    store.append(1500, reading(1232, 500, true, 1));
    store.append(1850, reading(6000, 3000, false, 7));
    store.append(2200, reading(5, 1, true, 0));
    const std::int64_t epoch =
        QDateTime(QDate(2026, 12, 7), QTime(17, 5, 46, 623), Qt::OffsetFromUTC, 3600)
            .toMSecsSinceEpoch();
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    QVERIFY(trend::writeCsv(buffer, store, epoch));
    QLocale::setDefault(before);
    qunsetenv("TZ");

    const QList<QByteArray> lines = buffer.data().split('\n');
    QCOMPARE(lines.size(), 5); // header, three rows, nothing after the last line end
    QCOMPARE(lines[0], QByteArray("time,elapsed_s,set_v,set_a,v,a,w,output,mode"));
    QCOMPARE(lines[1], QByteArray("2026-12-07T17:05:48.123+01:00,1.500,12.34,1.5,12.32,0.5,6.16,"
                                  "1,CV"));
    QCOMPARE(lines[2], QByteArray("2026-12-07T17:05:48.473+01:00,1.850,12.34,1.5,60,3,180,0,7"));
    QCOMPARE(lines[3], QByteArray("2026-12-07T17:05:48.823+01:00,2.200,12.34,1.5,0.05,0.001,"
                                  "0.00005,1,CC"));
    QCOMPARE(lines[4], QByteArray());
    if (!comma.active()) {
        QSKIP("no locale with a decimal comma: checked under the C locale only");
    }
}

void TestTrendCore::csvReportsAFailedWrite()
{
    SampleStore store;
    store.append(0, reading(100, 100));
    QBuffer readOnly;
    readOnly.open(QIODevice::ReadOnly);
    QVERIFY(!trend::writeCsv(readOnly, store, 0));
}

QTEST_APPLESS_MAIN(TestTrendCore)
#include "tst_trendcore.moc"
