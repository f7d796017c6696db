#include "numtext/numtext.h"
#include "numtext/quantity.h"
#include "support/commalocale.h"

#include <QtTest>

#include <clocale>
#include <cmath>
#include <optional>
#include <string>

using OptDouble = std::optional<double>;
using OptInt = std::optional<int>;

Q_DECLARE_METATYPE(std::string)
Q_DECLARE_METATYPE(OptDouble)
Q_DECLARE_METATYPE(OptInt)

namespace {

OptInt asInt(std::optional<std::uint8_t> v)
{
    return v ? OptInt(*v) : std::nullopt;
}

OptInt asInt(std::optional<std::int16_t> v)
{
    return v ? OptInt(*v) : std::nullopt;
}

} // namespace

class TestNumText : public QObject {
    Q_OBJECT
private slots:
    void readLenient_data();
    void readLenient();
    void readStrict_data();
    void readStrict();
    void roundHalfEven_data();
    void roundHalfEven();
    void toByte_data();
    void toByte();
    void toInt16_data();
    void toInt16();
    void formatPlain_data();
    void formatPlain();
    void formatPatterns_data();
    void formatPatterns();
    void independentOfNumericLocale();
    void quantities_data();
    void quantities();
};

void TestNumText::readLenient_data()
{
    QTest::addColumn<std::string>("text");
    QTest::addColumn<double>("value");
    QTest::newRow("empty") << std::string() << 0.0;
    QTest::newRow("blanks only") << std::string(" \t\r\n ") << 0.0;
    QTest::newRow("whole") << std::string("12") << 12.0;
    QTest::newRow("decimal") << std::string("12.34") << 12.34;
    QTest::newRow("blanks around") << std::string("  7  ") << 7.0;
    QTest::newRow("blank inside") << std::string("1 2") << 12.0;
    QTest::newRow("tab, LF, CR inside") << std::string("1\t2\n3\r.5") << 123.5;
    QTest::newRow("blank after sign") << std::string("- 3") << -3.0;
    QTest::newRow("minus") << std::string("-3") << -3.0;
    QTest::newRow("plus") << std::string("+3") << 3.0;
    QTest::newRow("two signs") << std::string("--3") << 0.0;
    QTest::newRow("plus minus") << std::string("+-3") << 0.0;
    QTest::newRow("sign only") << std::string("-") << 0.0;
    QTest::newRow("trailing letters") << std::string("12abc") << 12.0;
    QTest::newRow("leading letters") << std::string("abc12") << 0.0;
    QTest::newRow("point first") << std::string(".5") << 0.5;
    QTest::newRow("minus point first") << std::string("-.5") << -0.5;
    QTest::newRow("point last") << std::string("5.") << 5.0;
    QTest::newRow("point only") << std::string(".") << 0.0;
    QTest::newRow("second point ends it") << std::string("1.2.3") << 1.2;
    QTest::newRow("comma ends it") << std::string("3,5") << 3.0;
    QTest::newRow("leading zeros") << std::string("007") << 7.0;
    QTest::newRow("exponent") << std::string("2E-1") << 0.2;
    QTest::newRow("letter e without digits") << std::string("1e") << 1.0;
    QTest::newRow("exponent sign without digits") << std::string("1e+x") << 1.0;
    QTest::newRow("twenty digits") << std::string("99999999999999999999") << 1e20;
    QTest::newRow("huge but finite") << std::string("1e300") << 1e300;
    QTest::newRow("beyond double") << std::string("1e400") << 0.0;
    QTest::newRow("400 digits") << std::string(400, '9') << 0.0;
    QTest::newRow("hex") << std::string("0x1F") << 0.0;
    QTest::newRow("inf") << std::string("inf") << 0.0;
    QTest::newRow("nan") << std::string("nan") << 0.0;
    QTest::newRow("full-width digits") << std::string("\xEF\xBC\x91\xEF\xBC\x92") << 0.0;
    QTest::newRow("NUL first") << std::string("\0"
                                              "5",
                                              2)
                               << 0.0;
}

void TestNumText::readLenient()
{
    QFETCH(std::string, text);
    QFETCH(double, value);
    QCOMPARE(numtext::readLenient(text), value);
}

void TestNumText::readStrict_data()
{
    QTest::addColumn<std::string>("text");
    QTest::addColumn<OptDouble>("value");
    const OptDouble none;
    QTest::newRow("whole") << std::string("12") << OptDouble(12);
    QTest::newRow("decimal") << std::string("12.34") << OptDouble(12.34);
    QTest::newRow("blanks around") << std::string(" \t12\r\n ") << OptDouble(12);
    QTest::newRow("minus") << std::string("-0.4") << OptDouble(-0.4);
    QTest::newRow("plus") << std::string("+7") << OptDouble(7);
    QTest::newRow("point first") << std::string(".5") << OptDouble(0.5);
    QTest::newRow("point last") << std::string("5.") << OptDouble(5);
    QTest::newRow("exponent") << std::string("1e3") << OptDouble(1000);
    QTest::newRow("huge but finite") << std::string("1e300") << OptDouble(1e300);
    QTest::newRow("empty") << std::string() << none;
    QTest::newRow("blanks only") << std::string("  ") << none;
    QTest::newRow("blank inside") << std::string("1 2") << none;
    QTest::newRow("trailing letters") << std::string("12abc") << none;
    QTest::newRow("letters") << std::string("abc") << none;
    QTest::newRow("sign only") << std::string("-") << none;
    QTest::newRow("point only") << std::string(".") << none;
    QTest::newRow("two signs") << std::string("--1") << none;
    QTest::newRow("two points") << std::string("1.2.3") << none;
    QTest::newRow("comma") << std::string("3,5") << none;
    QTest::newRow("hex") << std::string("0x10") << none;
    QTest::newRow("dangling exponent") << std::string("1e") << none;
    QTest::newRow("beyond double") << std::string("1e400") << none;
    QTest::newRow("inf") << std::string("inf") << none;
    QTest::newRow("nan") << std::string("nan") << none;
}

void TestNumText::readStrict()
{
    QFETCH(std::string, text);
    QFETCH(OptDouble, value);
    QCOMPARE(numtext::readStrict(text), value);
}

void TestNumText::roundHalfEven_data()
{
    QTest::addColumn<double>("value");
    QTest::addColumn<double>("rounded");
    QTest::newRow("0.5") << 0.5 << 0.0;
    QTest::newRow("1.5") << 1.5 << 2.0;
    QTest::newRow("2.5") << 2.5 << 2.0;
    QTest::newRow("3.5") << 3.5 << 4.0;
    QTest::newRow("-0.5") << -0.5 << 0.0;
    QTest::newRow("-2.5") << -2.5 << -2.0;
    QTest::newRow("-3.5") << -3.5 << -4.0;
    QTest::newRow("-0.4") << -0.4 << 0.0;
    QTest::newRow("2.4999") << 2.4999 << 2.0;
    QTest::newRow("2.5001") << 2.5001 << 3.0;
    QTest::newRow("-2.5001") << -2.5001 << -3.0;
    QTest::newRow("254.5") << 254.5 << 254.0;
    QTest::newRow("255.5") << 255.5 << 256.0;
    QTest::newRow("whole") << 7.0 << 7.0;
    QTest::newRow("1e15 + 0.5") << 1e15 + 0.5 << 1e15;
}

void TestNumText::roundHalfEven()
{
    QFETCH(double, value);
    QFETCH(double, rounded);
    QCOMPARE(numtext::roundHalfEven(value), rounded);
}

void TestNumText::toByte_data()
{
    QTest::addColumn<std::string>("text");
    QTest::addColumn<OptInt>("byte");
    const OptInt none;
    QTest::newRow("0") << std::string("0") << OptInt(0);
    QTest::newRow("255") << std::string("255") << OptInt(255);
    QTest::newRow("128") << std::string("128") << OptInt(128);
    QTest::newRow("blanks around") << std::string(" 12 ") << OptInt(12);
    QTest::newRow("0.4") << std::string("0.4") << OptInt(0);
    QTest::newRow("0.5 to even") << std::string("0.5") << OptInt(0);
    QTest::newRow("1.5 to even") << std::string("1.5") << OptInt(2);
    QTest::newRow("-0.4") << std::string("-0.4") << OptInt(0);
    QTest::newRow("-0.5 to even") << std::string("-0.5") << OptInt(0);
    QTest::newRow("254.5 to even") << std::string("254.5") << OptInt(254);
    QTest::newRow("255.4") << std::string("255.4") << OptInt(255);
    QTest::newRow("exponent") << std::string("1e2") << OptInt(100);
    QTest::newRow("255.5 rounds to 256") << std::string("255.5") << none;
    QTest::newRow("256") << std::string("256") << none;
    QTest::newRow("-0.6") << std::string("-0.6") << none;
    QTest::newRow("-1") << std::string("-1") << none;
    QTest::newRow("letters") << std::string("abc") << none;
    QTest::newRow("trailing letters") << std::string("12abc") << none;
    QTest::newRow("empty") << std::string() << none;
    QTest::newRow("huge") << std::string("1e300") << none;
}

void TestNumText::toByte()
{
    QFETCH(std::string, text);
    QFETCH(OptInt, byte);
    QCOMPARE(asInt(numtext::toByte(text)), byte);
}

void TestNumText::toInt16_data()
{
    QTest::addColumn<double>("value");
    QTest::addColumn<OptInt>("word");
    const OptInt none;
    QTest::newRow("0") << 0.0 << OptInt(0);
    QTest::newRow("1234.5 to even") << 1234.5 << OptInt(1234);
    QTest::newRow("6200") << 6200.0 << OptInt(6200);
    QTest::newRow("32767") << 32767.0 << OptInt(32767);
    QTest::newRow("32766.5") << 32766.5 << OptInt(32766);
    QTest::newRow("32767.5 rounds to 32768") << 32767.5 << none;
    QTest::newRow("-32768") << -32768.0 << OptInt(-32768);
    QTest::newRow("-32768.5 to even") << -32768.5 << OptInt(-32768);
    QTest::newRow("-32769") << -32769.0 << none;
    QTest::newRow("huge") << 1e300 << none;
    QTest::newRow("inf") << double(INFINITY) << none;
    QTest::newRow("nan") << double(NAN) << none;
}

void TestNumText::toInt16()
{
    QFETCH(double, value);
    QFETCH(OptInt, word);
    QCOMPARE(asInt(numtext::toInt16(value)), word);
}

void TestNumText::formatPlain_data()
{
    QTest::addColumn<double>("value");
    QTest::addColumn<std::string>("text");
    QTest::newRow("1") << 1.0 << std::string("1");
    QTest::newRow("10") << 10.0 << std::string("10");
    QTest::newRow("12.34") << 12.34 << std::string("12.34");
    QTest::newRow("1.5") << 1.5 << std::string("1.5");
    QTest::newRow("0") << 0.0 << std::string("0");
    QTest::newRow("-0") << -0.0 << std::string("0");
    QTest::newRow("-1") << -1.0 << std::string("-1");
    QTest::newRow("dialled digits") << 10 * 1.0 + 2 + 0.1 * 3 + 0.01 * 4 << std::string("12.34");
    QTest::newRow("0.1 + 0.2") << 0.1 + 0.2 << std::string("0.3");
    QTest::newRow("word / 100") << 1234 / 100.0 << std::string("12.34");
    QTest::newRow("word / 1000") << 1500 / 1000.0 << std::string("1.5");
    QTest::newRow("small word / 1000") << 2 / 1000.0 << std::string("0.002");
    QTest::newRow("largest word / 100") << 32767 / 100.0 << std::string("327.67");
    QTest::newRow("spinner below 0") << 0.0 - 1 << std::string("-1");
}

void TestNumText::formatPlain()
{
    QFETCH(double, value);
    QFETCH(std::string, text);
    QCOMPARE(numtext::formatPlain(value), text);
}

void TestNumText::formatPatterns_data()
{
    QTest::addColumn<double>("value");
    QTest::addColumn<std::string>("volts");
    QTest::addColumn<std::string>("amps");
    QTest::newRow("0") << 0.0 << std::string("00.00") << std::string("0.000");
    QTest::newRow("5.5") << 5.5 << std::string("05.50") << std::string("5.500");
    QTest::newRow("1.5") << 1.5 << std::string("01.50") << std::string("1.500");
    QTest::newRow("12.34") << 12.34 << std::string("12.34") << std::string("12.340");
    QTest::newRow("62.01") << 62.01 << std::string("62.01") << std::string("62.010");
    QTest::newRow("99.99") << 99.99 << std::string("99.99") << std::string("99.990");
    QTest::newRow("3.201") << 3.201 << std::string("03.20") << std::string("3.201");
    QTest::newRow("0.002") << 0.002 << std::string("00.00") << std::string("0.002");
    QTest::newRow("0.03") << 0.03 << std::string("00.03") << std::string("0.030");
    QTest::newRow("327.67") << 327.67 << std::string("327.67") << std::string("327.670");
    QTest::newRow("dialled 62.01")
        << 10 * 6.0 + 2 + 0.1 * 0 + 0.01 * 1 << std::string("62.01") << std::string("62.010");
    QTest::newRow("dialled 3.201")
        << 3.0 + 0.1 * 2 + 0.01 * 0 + 0.001 * 1 << std::string("03.20") << std::string("3.201");
    QTest::newRow("-1.5") << -1.5 << std::string("-01.50") << std::string("-1.500");
}

void TestNumText::formatPatterns()
{
    QFETCH(double, value);
    QFETCH(std::string, volts);
    QFETCH(std::string, amps);
    QCOMPARE(numtext::formatVolts(value), volts);
    QCOMPARE(numtext::formatAmps(value), amps);
}

void TestNumText::independentOfNumericLocale()
{
    // Qt programs take the user's locale at start-up; box texts keep the point.
    testsupport::CommaLocale comma;
    if (!comma.active()) {
        QSKIP("no locale with a decimal comma (install the package locales)");
    }
    QCOMPARE(numtext::readLenient("12.34"), 12.34);
    QCOMPARE(numtext::readStrict(" 1.5 "), OptDouble(1.5));
    QCOMPARE(numtext::readStrict("3,5"), OptDouble());
    QCOMPARE(asInt(numtext::toByte("254.5")), OptInt(254));
    QCOMPARE(numtext::formatPlain(12.34), std::string("12.34"));
    QCOMPARE(numtext::formatVolts(5.5), std::string("05.50"));
    QCOMPARE(numtext::formatAmps(1.5), std::string("1.500"));
}

void TestNumText::quantities_data()
{
    using F = numtext::Quantity::Fault;
    using U = numtext::Unit;
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("fault");
    QTest::addColumn<int>("unit");
    QTest::addColumn<double>("value"); // in the base unit

    const auto row = [](const char *text, F fault, U unit, double value) {
        QTest::newRow(text) << QString::fromUtf8(text) << int(fault) << int(unit) << value;
    };
    row("12.6", F::None, U::None, 12.6);
    row("12.6V", F::None, U::Volt, 12.6);
    row(" 12.6 v ", F::None, U::Volt, 12.6);
    row("250mA", F::None, U::Amp, 0.25);
    row("1e1", F::None, U::None, 10);
    row("1e2V", F::None, U::Volt, 100);
    row("1E-3A", F::None, U::Amp, 0.001);
    row("500mW", F::None, U::Watt, 0.5);
    row("250mWh", F::None, U::WattHour, 0.25);
    row("2.5Ah", F::None, U::AmpHour, 2.5);
    row("1.5h", F::None, U::Duration, 5'400'000);
    row("2m", F::None, U::Duration, 120'000);
    row("-1V", F::None, U::Volt, -1);
    row("1e", F::UnknownUnit, U::None, 0);
    row("12X", F::UnknownUnit, U::None, 0);
    row("1,5", F::NotANumber, U::None, 0);
    row("1.2.3V", F::NotANumber, U::None, 0);
    row("12V5", F::NotANumber, U::None, 0);
    row("V", F::NotANumber, U::None, 0);
    row("", F::NotANumber, U::None, 0);
    row("1e400", F::OutOfRange, U::None, 0);
}

void TestNumText::quantities()
{
    QFETCH(QString, text);
    QFETCH(int, fault);
    QFETCH(int, unit);
    QFETCH(double, value);
    const numtext::Quantity q = numtext::readQuantity(text.toStdString());
    QCOMPARE(int(q.fault), fault);
    if (q.fault == numtext::Quantity::Fault::None) {
        QCOMPARE(int(q.unit), unit);
        QCOMPARE(q.value, value);
    }
}

QTEST_APPLESS_MAIN(TestNumText)
#include "tst_numtext.moc"
