// How typed values are read: set values, on/off, ports, address lists, durations.
#include "values/values.h"

#include <QTest>

using namespace values;

class TestValues : public QObject {
    Q_OBJECT
private slots:
    void setCode_data();
    void setCode();
    void switchWords();
    void ports_data();
    void ports();
    void badGatewayUrls_data();
    void badGatewayUrls();
    void addressList_data();
    void addressList();
    void duration_data();
    void duration();
    void refusalsSayWhy_data();
    void refusalsSayWhy();
};

void TestValues::setCode_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("decimals");
    QTest::addColumn<int>("largest");
    QTest::addColumn<int>("code"); // -1: refused

    QTest::newRow("volts") << "12.34" << 2 << 6200 << 1234;
    QTest::newRow("limit") << "62.00" << 2 << 6200 << 6200;
    QTest::newRow("just above") << "62.01" << 2 << 6200 << -1;
    QTest::newRow("half to even, down") << "12.345" << 2 << 6200 << 1234;
    QTest::newRow("half to even, up") << "12.355" << 2 << 6200 << 1236;
    QTest::newRow("half below limit rounds in") << "62.005" << 2 << 6200 << 6200;
    QTest::newRow("amps") << "1.5" << 3 << 3200 << 1500;
    QTest::newRow("amp limit") << "3.2" << 3 << 3200 << 3200;
    QTest::newRow("amps above") << "3.2006" << 3 << 3200 << -1;
    QTest::newRow("zero") << "0" << 2 << 6200 << 0;
    QTest::newRow("tiny rounds to zero") << "0.0005" << 3 << 3200 << 0;
    QTest::newRow("negative") << "-1" << 2 << 6200 << -1;
    QTest::newRow("negative zero") << "-0" << 2 << 6200 << -1;
    // The unit may follow as a sequence file writes it, or its thousandth.
    QTest::newRow("unit") << "12.6V" << 2 << 6200 << 1260;
    QTest::newRow("unit after a blank, any case") << " 12.6 v " << 2 << 6200 << 1260;
    QTest::newRow("millivolts") << "12600mV" << 2 << 6200 << 1260;
    QTest::newRow("other quantity") << "2A" << 2 << 6200 << -1;
    QTest::newRow("no unit") << "12x" << 2 << 6200 << -1;
    QTest::newRow("comma") << "1,5" << 2 << 6200 << -1;
    QTest::newRow("unit inside") << "12V5" << 2 << 6200 << -1;
    QTest::newRow("exponent and unit, above") << "1e2V" << 2 << 6200 << -1;
    QTest::newRow("exponent and unit") << "1e1V" << 2 << 6200 << 1000;
    QTest::newRow("empty") << "" << 2 << 6200 << -1;
    QTest::newRow("exponent") << "1e1" << 2 << 6200 << 1000;
    QTest::newRow("huge") << "1e400" << 2 << 6200 << -1;
}

void TestValues::setCode()
{
    QFETCH(QString, text);
    QFETCH(int, decimals);
    QFETCH(int, largest);
    QFETCH(int, code);
    const auto parsed = parseSetCode(text, decimals, largest, QStringLiteral("V"));
    QCOMPARE(parsed ? int(*parsed) : -1, code);
    QCOMPARE(parsed.ok(), code >= 0);
}

void TestValues::ports_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("comPort"); // -1: refused
    QTest::addColumn<QString>("path");

    QTest::newRow("COM3") << "COM3" << 3 << "";
    QTest::newRow("lower case") << "com12" << 12 << "";
    QTest::newRow("COM256") << "COM256" << 256 << "";
    QTest::newRow("COM257") << "COM257" << -1 << "";
    QTest::newRow("COM0") << "COM0" << -1 << "";
    QTest::newRow("COM+1") << "COM+1" << -1 << "";
    QTest::newRow("bare number") << "3" << -1 << "";
    QTest::newRow("device path") << "/dev/ttyUSB0" << 1 << "/dev/ttyUSB0";
    QTest::newRow("relative path") << "./ttyX" << 1 << "./ttyX";
    // A gateway: its name is the URL written out whole; a path it is not.
    QTest::newRow("gateway") << "tcp://bench-pc" << 1 << "tcp://bench-pc:502";
    QTest::newRow("gateway, ipv6") << "tcp://[::1]:1502" << 1 << "tcp://[::1]:1502";
    QTest::newRow("gateway, port 0") << "tcp://bench-pc:0" << -1 << "";
}

void TestValues::ports()
{
    QFETCH(QString, text);
    QFETCH(int, comPort);
    QFETCH(QString, path);
    const auto parsed = parsePort(text);
    QCOMPARE(parsed ? parsed->comPort : -1, comPort);
    if (parsed) {
        const bool network = text.startsWith(QStringLiteral("tcp://"));
        QCOMPARE(parsed->network.has_value(), network);
        QCOMPARE(parsed->devicePath, network ? QString() : path);
        QCOMPARE(parsed->name(), path.isEmpty() ? QStringLiteral("COM%1").arg(comPort) : path);
    }
}

// A malformed gateway URL is told in plain words, with what a good one looks like.
void TestValues::badGatewayUrls_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("said");
    const QString host = QStringLiteral("after tcp:// comes a host name or address");
    QTest::newRow("blank in the host") << "tcp://a b" << host;
    QTest::newRow("port too large") << "tcp://host:99999" << host;
    QTest::newRow("unclosed bracket") << "tcp://[::1" << host;
    QTest::newRow("percent in the host") << "tcp://ho%st" << host;
    QTest::newRow("no host") << "tcp://"
                             << "no host";
    QTest::newRow("a path") << "tcp://host/x"
                            << "only a host and a port";
    QTest::newRow("ipv6 without brackets") << "tcp://fd00::7"
                                           << "in brackets";
}

void TestValues::badGatewayUrls()
{
    QFETCH(QString, text);
    QFETCH(QString, said);
    const auto parsed = parsePort(text);
    QVERIFY(!parsed);
    const QString why = parsed.error();
    QVERIFY2(why.contains(said), qPrintable(why));
    QVERIFY2(why.contains(QStringLiteral("a good one looks like tcp://bench-pc")), qPrintable(why));
    for (const char *parserWord : {"scheme =", "source was", "host = "}) {
        QVERIFY2(!why.contains(QLatin1String(parserWord)), qPrintable(why));
    }
}

void TestValues::addressList_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QList<int>>("addresses"); // empty: refused

    QTest::newRow("one") << "1" << QList<int>{1};
    QTest::newRow("list and range") << "1,3,5-7" << QList<int>{1, 3, 5, 6, 7};
    QTest::newRow("order kept, twice once") << "9,2,9,1-2" << QList<int>{9, 2, 1};
    QTest::newRow("ends") << "1,247" << QList<int>{1, 247};
    QTest::newRow("zero") << "0" << QList<int>{};
    QTest::newRow("248") << "248" << QList<int>{};
    QTest::newRow("backwards") << "7-5" << QList<int>{};
    QTest::newRow("open range") << "5-" << QList<int>{};
    QTest::newRow("two dashes") << "1-2-3" << QList<int>{};
    QTest::newRow("empty item") << "1,,2" << QList<int>{};
    QTest::newRow("empty") << "" << QList<int>{};
    QTest::newRow("letters") << "a" << QList<int>{};
}

void TestValues::addressList()
{
    QFETCH(QString, text);
    QFETCH(QList<int>, addresses);
    const auto parsed = parseAddressList(text);
    QList<int> got;
    if (parsed) {
        for (const std::uint8_t a : *parsed) {
            got << a;
        }
    }
    QCOMPARE(got, addresses);
}

void TestValues::switchWords()
{
    // As a sequence file reads them: any case, blanks around.
    const struct {
        const char *text;
        int on; // -1: refused
    } rows[] = {{"on", 1}, {"ON", 1}, {" Off ", 0}, {"oFF", 0}, {"1", -1}, {"onn", -1}, {"", -1}};
    for (const auto &row : rows) {
        const auto parsed = parseSwitch(QString::fromLatin1(row.text));
        QCOMPARE(parsed ? int(*parsed) : -1, row.on);
        QCOMPARE(parsed.ok(), row.on >= 0);
    }
    QCOMPARE(parseSwitch(QStringLiteral("maybe")).error(),
             QStringLiteral("output takes on or off, not 'maybe'"));
}

void TestValues::duration_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<qlonglong>("ms"); // -1: refused

    QTest::newRow("seconds") << "90s" << 90000LL;
    QTest::newRow("minutes") << "10m" << 600000LL;
    QTest::newRow("hours") << "2h" << 7200000LL;
    QTest::newRow("no unit") << "90" << -1LL;
    QTest::newRow("zero") << "0s" << -1LL;
    QTest::newRow("negative") << "-5s" << -1LL;
    QTest::newRow("fraction") << "1.5h" << -1LL;
    QTest::newRow("unit only") << "s" << -1LL;
    QTest::newRow("other unit") << "3d" << -1LL;
    QTest::newRow("366 days in hours") << "8784h" << 8784LL * 3600 * 1000;
    QTest::newRow("just longer") << "8785h" << -1LL;
    QTest::newRow("count small, time huge") << "25620478h" << -1LL;
    QTest::newRow("more digits than a long") << "99999999999999999999s" << -1LL;
}

void TestValues::duration()
{
    QFETCH(QString, text);
    QFETCH(qlonglong, ms);
    const auto parsed = parseDuration(text);
    QCOMPARE(parsed ? qlonglong(parsed->count()) : -1LL, ms);
}

void TestValues::refusalsSayWhy_data()
{
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("says");
    const auto volts = [](const char *text) {
        return parseSetCode(QString::fromUtf8(text), 2, 6200, QStringLiteral("V")).error();
    };
    QTest::newRow("too large for a double") << volts("1e400") << "1e400 V is out of range";
    QTest::newRow("negative beyond a double") << volts("-1e400") << "out of range";
    QTest::newRow("comma") << volts("1,5") << "'1,5' is not a number";
    QTest::newRow("not a unit") << volts("12x") << "'12x' is not a voltage (V, mV)";
    QTest::newRow("another unit") << volts("2A") << "'2A' is not a voltage (V, mV)";
    QTest::newRow("above the limit") << volts("70") << "70 V is above the limit of 62.00 V";
    QTest::newRow("above, unit written") << volts("70V") << "70V is above the limit of 62.00 V";
    QTest::newRow("negative, unit written") << volts("-1V") << "-1V is negative";
    // The limit is written in the register's decimals, every digit of it exact.
    const auto amps = [](const char *text, int largest) {
        return parseSetCode(QString::fromUtf8(text), 3, largest, QStringLiteral("A")).error();
    };
    QTest::newRow("out of range names the range") << volts("1e400") << "(0 to 62.00 V)";
    QTest::newRow("amps above the limit")
        << amps("3.5", 3200) << "3.5 A is above the limit of 3.200 A";
    QTest::newRow("a limit not round") << amps("9", 3005) << "above the limit of 3.005 A";
    QTest::newRow("a limit below one") << amps("1", 7) << "above the limit of 0.007 A";
    QTest::newRow("duration too long")
        << parseDuration(QStringLiteral("25620478h")).error() << "longer than 366 days";
    QTest::newRow("duration, no unit")
        << parseDuration(QStringLiteral("90")).error() << "with s, m or h";
}

void TestValues::refusalsSayWhy()
{
    QFETCH(QString, message);
    QFETCH(QString, says);
    QVERIFY2(message.contains(says), qPrintable(message));
}

QTEST_GUILESS_MAIN(TestValues)
#include "tst_values.moc"
