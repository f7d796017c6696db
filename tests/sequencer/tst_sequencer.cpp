// The pieces of the sequence, recording and limits windows that need no window:
// the preview's plan, the ceilings, and a write confirmed by the polls after it.

#include "sequencer/ceilings.h"
#include "sequencer/monitorlink.h"
#include "sequencer/preview.h"

#include <QtTest>

using sequencer::Ceilings;
using sequencer::MonitorLink;

namespace {

supply::Sequence parsed(const char *text)
{
    const supply::ParsedSequence p = supply::parseSequence(text);
    return p.sequence;
}

protocol::StatusReading reading(int volts10mV, int amps1mA, bool on)
{
    protocol::StatusReading r;
    r.setVoltage = 1200;
    r.setCurrent = 1000;
    r.actualVoltage = static_cast<std::uint16_t>(volts10mV);
    r.actualCurrent = static_cast<std::uint16_t>(amps1mA);
    r.outputOn = on;
    return r;
}

} // namespace

class TestSequencer : public QObject {
    Q_OBJECT
private slots:
    void preview_data();
    void preview();
    void ceilings_data();
    void ceilings();
    void confirmedWrite_data();
    void confirmedWrite();
};

void TestSequencer::preview_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<double>("endSeconds");
    QTest::addColumn<int>("sweepPoints");
    QTest::addColumn<int>("openEnds");
    QTest::addColumn<QString>("summary"); // what the plot leaves out, a part of it
    QTest::addColumn<QString>("lastSet"); // volts,amps at the end

    QTest::newRow("hold and set") << "set 12V 1A\nhold 2s\nset 5V\nhold 500ms\n"
                                  << 2.5 << 0 << 0 << ""
                                  << "5,1";
    QTest::newRow("until at its max") << "set 4.2V 1A\nuntil current < 0.1A max 30s\n"
                                      << 30.0 << 0 << 0 << ""
                                      << "4.2,1";
    QTest::newRow("until open-ended") << "until voltage > 4V\nhold 1s\n"
                                      << sequencer::kOpenEndedSeconds + 1 << 0 << 1 << ""
                                      << "0,0";
    QTest::newRow("sweep of current") << "sweep current 0.1A 0.5A 0.2A dwell 2s\n"
                                      << 6.0 << 3 << 0 << ""
                                      << "0,0.5";
    QTest::newRow("sweep of voltage") << "sweep voltage 1V 3V 1V dwell 1s\n"
                                      << 3.0 << 3 << 0 << ""
                                      << "3,0";
    QTest::newRow("nested repeats")
        << "repeat 3\nrepeat 2\nset 1V\nhold 1s\nset 2V\nhold 1s\nend\nend\n"
        << 12.0 << 0 << 0 << ""
        << "2,0";
    QTest::newRow("repeats cut short")
        << "repeat 100000\nset 1V\nhold 1s\nset 2V\nhold 1s\nend\n"
        << -1.0 << 0 << 0 << "of 100000 passes of the repeat at line 1"
        << "";
}

void TestSequencer::preview()
{
    QFETCH(QString, text);
    QFETCH(double, endSeconds);
    QFETCH(int, sweepPoints);
    QFETCH(int, openEnds);
    QFETCH(QString, summary);
    QFETCH(QString, lastSet);

    const supply::ParsedSequence p = supply::parseSequence(text.toStdString());
    QVERIFY(!p.error);
    const sequencer::Preview plan = sequencer::planPreview(p.sequence, 0, 0, 1000);
    QVERIFY(plan.points.size() <= 1000 + 4);
    QCOMPARE(int(plan.sweepPoints.size()), sweepPoints);
    QCOMPARE(int(plan.openEnds.size()), openEnds);
    QVERIFY2(summary.isEmpty() ? plan.summary.isEmpty() : plan.summary.contains(summary),
             qPrintable(plan.summary));
    // Each point is marked at the end of its dwell, at the value it held.
    for (std::size_t i = 0; i < plan.sweepPoints.size(); ++i) {
        QCOMPARE(plan.sweepPoints[i].seconds, endSeconds / sweepPoints * (i + 1));
        if (text.startsWith("sweep voltage")) {
            QCOMPARE(plan.sweepPoints[i].volts, 1.0 + i);
        }
    }
    // Time never runs backwards.
    for (std::size_t i = 1; i < plan.points.size(); ++i) {
        QVERIFY(plan.points[i].seconds >= plan.points[i - 1].seconds);
    }
    if (endSeconds >= 0) {
        QCOMPARE(plan.points.back().seconds, endSeconds);
        QCOMPARE(QStringLiteral("%1,%2").arg(plan.points.back().volts).arg(plan.points.back().amps),
                 lastSet);
    }
}

void TestSequencer::ceilings_data()
{
    QTest::addColumn<int>("volts"); // reading, 10 mV
    QTest::addColumn<int>("amps");  // reading, 1 mA
    QTest::addColumn<QString>("exceeded");

    // Ceilings of 12.00 V, 1.000 A and 10 W; one count above is within the resolution.
    QTest::newRow("at the ceilings") << 1200 << 800 << "";
    QTest::newRow("one count above") << 1201 << 801 << "";
    QTest::newRow("two counts above the voltage")
        << 1202 << 0 << "12.02 V above the ceiling of 12.00 V";
    QTest::newRow("two counts above the current")
        << 500 << 1002 << "1.002 A above the ceiling of 1.000 A";
    QTest::newRow("power") << 1100 << 950 << "10.45 W above the ceiling of 10.00 W";
    QTest::newRow("power within the resolution") << 1000 << 1001 << "";
}

void TestSequencer::ceilings()
{
    QFETCH(int, volts);
    QFETCH(int, amps);
    QFETCH(QString, exceeded);
    Ceilings c;
    c.volts = 12.0;
    c.amps = 1.0;
    c.watts = 10.0;
    QCOMPARE(c.exceededBy(reading(volts, amps, true)), exceeded);

    // Set values: refused above the ceiling, named; a whole sequence by its line.
    QVERIFY(c.refusesVoltage(12.0).isEmpty());
    QVERIFY(c.refusesVoltage(12.01).contains("above the voltage ceiling of 12.00 V"));
    QVERIFY(c.refusesCurrent(1.001).contains("above the current ceiling of 1.000 A"));
    QCOMPARE(c.refusesSequence(parsed("set 5V 0.5A\nsweep voltage 10V 13V 1V\n")),
             QStringLiteral("line 2: 13.00 V is above the voltage ceiling of 12.00 V: nothing was "
                            "sent."));
    QVERIFY(Ceilings{}.exceededBy(reading(6000, 3000, true)).isEmpty());
}

void TestSequencer::confirmedWrite_data()
{
    // Each poll after the write: 'y' shows the value, 'n' shows another, 't' times out.
    QTest::addColumn<QString>("polls");
    QTest::addColumn<int>("sent");
    QTest::addColumn<QString>("outcome"); // "confirmed", the problem, or "" when still open

    QTest::newRow("first poll") << "y" << 1 << "confirmed";
    QTest::newRow("third poll") << "nty" << 1 << "confirmed";
    QTest::newRow("after the retry") << "nnny" << 2 << "confirmed";
    QTest::newRow("still waiting for the retry") << "nnnnn" << 2 << "";
    QTest::newRow("never") << "nnnnnn" << 2 << "the read-back differs";
    QTest::newRow("silence") << "tttttt" << 2 << "no read-back (timeout)";
}

void TestSequencer::confirmedWrite()
{
    QFETCH(QString, polls);
    QFETCH(int, sent);
    QFETCH(QString, outcome);

    MonitorLink link;
    int frames = 0;
    link.send = [&](const protocol::Frame &) {
        ++frames;
        return QString();
    };
    link.address = [] { return std::optional<std::uint8_t>(1); };
    QString result;
    link.switchOutput(false, [&](const supply::WriteResult &written) {
        result = written.confirmed ? QStringLiteral("confirmed") : written.problem;
    });
    for (const QChar c : polls) {
        link.requestSent(1);
        if (c == 'y') {
            link.replyDecoded(reading(0, 0, false));
        } else if (c == 'n') {
            link.replyDecoded(reading(500, 100, true));
        }
    }
    link.requestSent(1); // the last poll's timeout is known at the next request
    QCOMPARE(frames, sent);
    QCOMPARE(result, outcome);
}

QTEST_GUILESS_MAIN(TestSequencer)
#include "tst_sequencer.moc"
