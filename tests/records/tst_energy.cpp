// The one charge and energy counter of vantelctl and the trend window.
#include "records/energy.h"

#include <QStringList>
#include <QTest>

#include <cmath>

namespace {

// Readings at 10 V every `step` seconds from `from` to `to`, both ends included:
// "t,amps,1" with the output on, "t,amps,0" off, "t,-" a failed reading.
QString readings(double from, double to, double step, const QString &what)
{
    QString script;
    const long count = std::lround((to - from) / step);
    for (long i = 0; i <= count; ++i) {
        script +=
            QStringLiteral("%1,%2 ").arg(from + static_cast<double>(i) * step, 0, 'f', 3).arg(what);
    }
    return script;
}

} // namespace

class TestEnergy : public QObject {
    Q_OBJECT
private slots:
    void counts_data();
    void counts();
};

void TestEnergy::counts_data()
{
    QTest::addColumn<QString>("script");
    QTest::addColumn<double>("ampHours"); // at 10 V, so Wh = 10 × Ah

    QTest::newRow("2 A for 360 s") << readings(0, 360, 0.36, "2,1") << 0.2;
    QTest::newRow("uneven steps up to 2 s")
        << "0,2,1 0.1,2,1 2.1,2,1 3,2,1 5,2,1 5.35,2,1" << 2.0 * 5.35 / 3600;
    // 29 readings 0.35 s apart at 0.5 A, two of them failed: all 28 intervals count.
    QString twoFailed = readings(0, 9.8, 0.35, "0.5,1");
    twoFailed.replace(QStringLiteral("1.750,0.5,1"), QStringLiteral("1.750,-"));
    twoFailed.replace(QStringLiteral("7.000,0.5,1"), QStringLiteral("7.000,-"));
    QTest::newRow("failed readings are joined across") << twoFailed << 0.5 * 9.8 / 3600;
    QTest::newRow("a gap of exactly 2 s counts") << "0,1,1 1.9,-  2,1,1" << 2.0 / 3600;
    QTest::newRow("a longer gap adds nothing")
        << readings(0, 180, 0.36, "2,1") + readings(180.36, 239.64, 0.36, "-") +
               readings(240, 420, 0.36, "2,1")
        << 0.2;
    QTest::newRow("just over 2 s adds nothing") << "0,1,1 2.001,1,1" << 0.0;
    QTest::newRow("output off at one end adds nothing")
        << "0,2,1 1,2,1 2,2,0 3,2,0 4,2,1 5,2,1" << 2.0 * 2 / 3600;
    QTest::newRow("a ramp is a trapezoid") << "0,0,1 1,1,1 2,2,1 3,0,1" << (0.5 + 1.5 + 1.0) / 3600;
    QTest::newRow("time standing still adds nothing") << "0,1,1 0,3,1 1,3,1" << 3.0 / 3600;
    QTest::newRow("reset starts again") << "0,2,1 1,2,1 reset 1.5,2,1 2,2,1" << 1.0 / 3600;
}

void TestEnergy::counts()
{
    QFETCH(QString, script);
    QFETCH(double, ampHours);
    records::EnergyCounter counter;
    for (const QString &step : script.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        if (step == QLatin1String("reset")) {
            counter.reset();
            continue;
        }
        const QStringList f = step.split(QLatin1Char(','));
        if (f[1] == QLatin1String("-")) {
            continue; // a failed reading is not handed in
        }
        protocol::StatusReading r;
        r.actualVoltage = 1000;
        r.actualCurrent = static_cast<std::uint16_t>(std::lround(f[1].toDouble() * 1000));
        r.outputOn = f[2] == QLatin1String("1");
        counter.add(f[0].toDouble(), r);
    }
    QVERIFY2(std::abs(counter.ampHours() - ampHours) < 1e-9,
             qPrintable(QString::number(counter.ampHours(), 'f', 9)));
    QVERIFY2(std::abs(counter.wattHours() - 10 * ampHours) < 1e-8,
             qPrintable(QString::number(counter.wattHours(), 'f', 9)));
}

QTEST_APPLESS_MAIN(TestEnergy)
#include "tst_energy.moc"
