// How vantelctl writes a reading: as a line of text and as JSON.
#include "ctl/format.h"

#include <QTest>

using namespace ctl;

class TestCtlFormat : public QObject {
    Q_OBJECT
private slots:
    void readingLines();
    void jsonEscapes();
};

void TestCtlFormat::readingLines()
{
    protocol::StatusReading r;
    r.setVoltage = 1234;
    r.setCurrent = 1500;
    r.actualVoltage = 1232;
    r.actualCurrent = 500;
    r.outputOn = true;
    r.mode = 1;
    QCOMPARE(statusText(r),
             QStringLiteral("12.32 V  0.500 A  6.16 W  (set 12.34 V 1.500 A)  output on  CV"));
    QCOMPARE(statusJson(1, r),
             QStringLiteral(R"({"address":1,"set_v":12.34,"set_a":1.5,"v":12.32,"a":0.5,)"
                            R"("w":6.16,"output":true,"mode":"CV"})"));

    // Power keeps its full resolution in JSON and is rounded to 10 mW in text;
    // a mode the window does not name is shown as its number.
    r.actualVoltage = 6200;
    r.actualCurrent = 3199;
    r.setCurrent = 0;
    r.outputOn = false;
    r.mode = 7;
    QCOMPARE(
        statusText(r),
        QStringLiteral("62.00 V  3.199 A  198.34 W  (set 12.34 V 0.000 A)  output off  mode 7"));
    QVERIFY(statusJson(247, r).contains(
        QStringLiteral(R"("set_a":0,"v":62,"a":3.199,"w":198.338,"output":false,"mode":"7"})")));
}

void TestCtlFormat::jsonEscapes()
{
    QCOMPARE(jsonString(QStringLiteral("a\"b\\c\nd")), QStringLiteral("\"a\\\"b\\\\c\\u000ad\""));
}

QTEST_GUILESS_MAIN(TestCtlFormat)
#include "tst_ctl_format.moc"
