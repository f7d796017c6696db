// Sequence files for `vantelctl run`: every line form, its errors, the plan.
#include "sequence/sequence.h"

#include <QTest>

using sequence::SequenceStep;

namespace {

// A compact account of the steps: S<V>/<A> set (counts, - for none), O1/O0
// output, H<ms> hold, U<q><op><value>x<for>m<max> until, W<v|c><points>@<dwell>
// sweep, R<n> repeat, E end.
QString digest(const sequence::Sequence &seq)
{
    QStringList out;
    for (const SequenceStep &s : seq.steps) {
        switch (s.kind) {
        case SequenceStep::Kind::Set:
            out << QStringLiteral("S%1/%2").arg(
                s.voltage ? QString::number(*s.voltage) : QStringLiteral("-"),
                s.current ? QString::number(*s.current) : QStringLiteral("-"));
            break;
        case SequenceStep::Kind::Output:
            out << (s.on ? QStringLiteral("O1") : QStringLiteral("O0"));
            break;
        case SequenceStep::Kind::Hold:
            out << QStringLiteral("H%1").arg(s.ms);
            break;
        case SequenceStep::Kind::Until:
            out << QStringLiteral("U%1%2%3x%4m%5")
                       .arg(QLatin1String(sequence::quantityName(s.condition.quantity)),
                            QLatin1String(sequence::compareText(s.condition.compare)))
                       .arg(s.condition.value)
                       .arg(s.count)
                       .arg(s.ms);
            break;
        case SequenceStep::Kind::Sweep: {
            QStringList points;
            for (std::size_t i = 0; i < s.pointCount(); ++i) {
                points << QString::number(s.point(i));
            }
            out << QStringLiteral("W%1%2@%3")
                       .arg(s.sweepsVoltage ? QLatin1Char('v') : QLatin1Char('c'))
                       .arg(points.join(QLatin1Char(',')))
                       .arg(s.ms);
            break;
        }
        case SequenceStep::Kind::Repeat:
            out << QStringLiteral("R%1").arg(s.count);
            break;
        case SequenceStep::Kind::End:
            out << QStringLiteral("E");
            break;
        }
    }
    return out.join(QLatin1Char(' '));
}

const char *const kExample = R"(# CC-CV charge of a 3-cell pack, rest, then three burn-in cycles
limit 12.8V 2.1A
set 12.6V 2A
output on
until current < 0.1A for 3 max 4h
output off
hold 10m
repeat 3
  set 12V 1A
  output on
  hold 30m
  output off
  hold 5m
end
)";

} // namespace

class TestSequence : public QObject {
    Q_OBJECT
private slots:
    void accepted_data();
    void accepted();
    void refused_data();
    void refused();
    void limitsOnReadings();
    void fileText_data();
    void fileText();
    void untilAgainstInterval_data();
    void untilAgainstInterval();
};

void TestSequence::accepted_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("steps");
    QTest::addColumn<qlonglong>("longestMs"); // -1: no bound

    QTest::newRow("the example")
        << kExample
        << "S1260/2000 O1 Ucurrent<0.1x3m14400000 O0 H600000 R3 S1200/1000 O1 H1800000 O0 "
           "H300000 E"
        << qlonglong((4 * 60 + 10 + 3 * 35) * 60'000LL);
    QTest::newRow("units with and without a space, any case") << "SET 12.6 v 1.5A\nSet 1.5 a 12.6V"
                                                              << "S1260/1500 S1260/1500" << 0LL;
    QTest::newRow("milli-units") << "set 500mV 250 mA"
                                 << "S50/250" << 0LL;
    QTest::newRow("halves to even as set rounds")
        << "set 12.345V 1.0005A\nset 12.355V 0.0015A\nset 62.005V 3.2005A"
        << "S1234/1000 S1236/2 S6200/3200" << 0LL;
    QTest::newRow("comments, blanks, tabs, CRLF")
        << "  # a comment\r\n\r\n\thold 500ms # wait\r\nOUTPUT Off"
        << "H500 O0" << 500LL;
    QTest::newRow("every duration unit")
        << "hold 500ms\nhold 1.5s\nhold 10m\nhold 4H"
        << "H500 H1500 H600000 H14400000" << qlonglong(500 + 1500 + 600'000 + 14'400'000);
    QTest::newRow("until forms")
        << "until voltage>=12.5V\nuntil ah > 2.5Ah max 4h\nuntil wh >= 30Wh for 1 max 1s\n"
           "until power <= 20 W max 2s for 5"
        << "Uvoltage>=12.5x3m0 Uah>2.5x3m14400000 Uwh>=30x1m1000 Upower<=20x5m2000" << -1LL;
    QTest::newRow("nested repeats") << "repeat 2\n repeat 3\n  hold 1s\n end\n hold 2s\nend"
                                    << "R2 R3 H1000 E H2000 E" << 10'000LL;
    QTest::newRow("sweep up, default dwell") << "sweep voltage 0V 12V 2V"
                                             << "Wv0,200,400,600,800,1000,1200@1000" << 7000LL;
    QTest::newRow("sweep down, the last step shorter") << "sweep current 1A 0.1A 0.4A dwell 500ms"
                                                       << "Wc1000,600,200,100@500" << 2000LL;
    QTest::newRow("a sweep of one point") << "sweep voltage 5V 5V 1V"
                                          << "Wv500@1000" << 1000LL;
    QTest::newRow("exponents, milliwatts, milliwatt-hours")
        << "set 1e1V 5e-1A\nuntil power < 500mW max 1s\nuntil wh >= 250 mWh max 1s"
        << "S1000/500 Upower<0.5x3m1000 Uwh>=0.25x3m1000" << 2000LL;
    QTest::newRow("a repeat of just a year") << "repeat 366\nhold 24h\nend"
                                             << "R366 H86400000 E" << 366 * 86'400'000LL;
    QTest::newRow("limit after the steps, equal values pass") << "set 12V 1A\nlimit 12V 1A 20W"
                                                              << "S1200/1000" << 0LL;
}

void TestSequence::accepted()
{
    QFETCH(QString, text);
    QFETCH(QString, steps);
    QFETCH(qlonglong, longestMs);
    const sequence::ParsedSequence parsed = sequence::parseSequence(text.toStdString());
    QVERIFY2(!parsed.error, parsed.error ? parsed.error->message.c_str() : "");
    QCOMPARE(digest(parsed.sequence), steps);
    const auto longest = parsed.sequence.longestMs();
    QCOMPARE(longest ? qlonglong(*longest) : -1LL, longestMs);
    QCOMPARE(parsed.sequence.plan().size(),
             parsed.sequence.steps.size() + (parsed.sequence.limits.line ? 2 : 1));
}

void TestSequence::refused_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("line");
    QTest::addColumn<QString>("message"); // a part of it

    QTest::newRow("above the supply's voltage")
        << "set 62.01V" << 1 << "above the supply's 62.00 V";
    QTest::newRow("above the supply's current, once rounded")
        << "hold 1s\nset 3.2015A" << 2 << "above the supply's 3.200 A";
    QTest::newRow("negative") << "set -1V" << 1 << "negative";
    QTest::newRow("no unit") << "set 12" << 1 << "has no unit";
    QTest::newRow("unknown unit") << "set 12X" << 1 << "'X' is not a unit";
    QTest::newRow("not a number") << "set V" << 1 << "not a number";
    QTest::newRow("a power is no set value") << "set 1W" << 1 << "neither a voltage nor a current";
    QTest::newRow("two voltages") << "set 12V 13V" << 1 << "two voltages";
    QTest::newRow("set with nothing") << "set" << 1 << "needs a voltage";
    QTest::newRow("no time at all") << "hold 0s" << 1 << "no time at all";
    QTest::newRow("a voltage is no duration") << "hold 5V" << 1 << "not a duration";
    QTest::newRow("longer than a year") << "hold 9000h" << 1 << "longer than a year";
    QTest::newRow("extra word") << "\n\nhold 1s more" << 3 << "unexpected 'more'";
    QTest::newRow("output maybe") << "output maybe" << 1 << "on or off";
    QTest::newRow("until unit mismatch") << "until current < 0.1V" << 1 << "not a current";
    QTest::newRow("until unknown quantity") << "until temperature < 3A" << 1 << "voltage, current";
    QTest::newRow("until without an operator") << "until current = 1A" << 1 << "<, <=, > or >=";
    QTest::newRow("for 0") << "until current < 1A for 0" << 1 << "from 1 to";
    QTest::newRow("max twice") << "until current < 1A max 1s max 2s" << 1 << "unexpected 'max'";
    QTest::newRow("repeat 0") << "repeat 0\nend" << 1 << "repeat takes a whole number";
    QTest::newRow("end without repeat") << "hold 1s\nend" << 2 << "end without repeat";
    QTest::newRow("repeat without end")
        << "repeat 2\nrepeat 2\nend\nhold 1s" << 1 << "repeat without end";
    QTest::newRow("unknown step") << "frobnicate 3" << 1 << "unknown step 'frobnicate'";
    QTest::newRow("set above the file's limit") << "limit 12.8V 2A\nset 12V 1A\nset 13V" << 3
                                                << "13.00 V is above the limit of 12.80 V (line 1)";
    QTest::newRow("the limit checks lines before it")
        << "set 2.5A\nlimit 2A" << 1 << "2.500 A is above the limit of 2.000 A";
    QTest::newRow("a sweep above the limit")
        << "limit 10V\nsweep voltage 12V 0V 1V" << 2 << "12.00 V is above the limit";
    QTest::newRow("a second limit") << "limit 5W\nlimit 1A" << 2 << "a second limit line";
    QTest::newRow("a limit inside repeat")
        << "repeat 2\nlimit 5V\nhold 1s\nend" << 2 << "limit inside the repeat of line 1";
    QTest::newRow("an exponent above the supply")
        << "set 1e2V" << 1 << "1e2V is above the supply's";
    QTest::newRow("too large for a double") << "hold 1e400s" << 1 << "'1e400s' is out of range";
    QTest::newRow("hold without its time")
        << "hold" << 1 << "hold needs a duration (ms, s, m, h), for example 'hold 10m'";
    QTest::newRow("until without its value")
        << "until current <" << 1
        << "until needs a current (A, mA), for example 'until current < 0.1A'";
    QTest::newRow("max without its time") << "until wh >= 1Wh max" << 1 << "for example 'max 4h'";
    QTest::newRow("an inner repeat over a year")
        << "repeat 2\nrepeat 1000\nhold 9h\nend\nend" << 2 << "longer than a year in all";
    QTest::newRow("nested repeats over a year")
        << "repeat 100\nrepeat 100\nhold 1h\nend\nend" << 1 << "repeat 100 of 100h waits longer";
    QTest::newRow("a sweep over a year")
        << "sweep voltage 0V 62V 10mV dwell 2h" << 1 << "6201 points of 2h take longer than a year";
    QTest::newRow("limit with nothing") << "limit" << 1 << "limit needs";
    QTest::newRow("sweep step rounds to 0") << "sweep voltage 0V 12V 4mV" << 1 << "rounds to 0";
    QTest::newRow("sweep of mixed units") << "sweep voltage 0V 1A 1V" << 1 << "not a voltage";
    QTest::newRow("sweep of power") << "sweep power 0W 1W 1W" << 1 << "voltage or current";
    QTest::newRow("no steps") << "# nothing\n\n" << 3 << "no steps";
    QTest::newRow("a NUL byte") << QString::fromLatin1("hold 1s\nho\0ld", 13) << 2 << "NUL";
    QTest::newRow("nesting too deep")
        << QString(QStringLiteral("repeat 2\n")).repeated(33) + QStringLiteral("hold 1s\n") +
               QString(QStringLiteral("end\n")).repeated(33)
        << 33 << "nest deeper";
}

void TestSequence::refused()
{
    QFETCH(QString, text);
    QFETCH(int, line);
    QFETCH(QString, message);
    const QByteArray bytes = text.toLatin1();
    const sequence::ParsedSequence parsed =
        sequence::parseSequence(std::string_view(bytes.constData(), size_t(bytes.size())));
    QVERIFY(parsed.error);
    QVERIFY2(QString::fromStdString(parsed.error->message).contains(message),
             parsed.error->message.c_str());
    QCOMPARE(parsed.error->line, line);
}

void TestSequence::limitsOnReadings()
{
    const auto parsed = sequence::parseSequence("limit 12.8V 2A 20W\nhold 1s");
    QVERIFY(!parsed.error);
    const sequence::SequenceLimits &limits = parsed.sequence.limits;
    protocol::StatusReading r;
    r.actualVoltage = 1281; // one count over: within the resolution
    r.actualCurrent = 1501;
    QVERIFY(limits.exceededBy(r).empty());
    r.actualVoltage = 1282;
    QCOMPARE(QString::fromStdString(limits.exceededBy(r)),
             QStringLiteral("12.82 V above the limit of 12.80 V"));
    r.actualVoltage = 1200;
    r.actualCurrent = 2002;
    QVERIFY(!limits.exceededBy(r).empty());
    r.actualCurrent = 1800; // 21.6 W
    QVERIFY(QString::fromStdString(limits.exceededBy(r)).contains(QStringLiteral("20 W")));
}

void TestSequence::fileText_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("steps"); // empty: refused
    QTest::addColumn<QString>("message");

    const QString text = QStringLiteral("# données\r\nset 12V\r\nhold 1s\r\n");
    const auto utf16 = [](const QString &s, bool bigEndian) {
        QByteArray out = bigEndian ? QByteArray("\xFE\xFF") : QByteArray("\xFF\xFE");
        for (const QChar c : s) {
            const char high = char(c.unicode() >> 8);
            const char low = char(c.unicode() & 0xFF);
            out += bigEndian ? QByteArray{1, high} + low : QByteArray{1, low} + high;
        }
        return out;
    };
    const QString steps = QStringLiteral("S1200/- H1000");
    QTest::newRow("UTF-8") << text.toUtf8() << steps << QString();
    QTest::newRow("UTF-8 with its mark") << "\xEF\xBB\xBF" + text.toUtf8() << steps << QString();
    QTest::newRow("UTF-16 LE, PowerShell 5.1") << utf16(text, false) << steps << QString();
    QTest::newRow("UTF-16 BE") << utf16(text, true) << steps << QString();
    QTest::newRow("UTF-16, a character beyond 16 bits")
        << utf16(QStringLiteral("# \U0001F50B\nhold 1s"), false) << "H1000" << QString();
    QTest::newRow("UTF-16 cut inside a character")
        << utf16(text, false).chopped(1) << QString() << "3: UTF-16 text cut off";
    QTest::newRow("UTF-16, half a character")
        << utf16(QStringLiteral("hold 1s\n"), false) + QByteArray::fromHex("00D86800") << QString()
        << "2: UTF-16 text with half a character";
    QTest::newRow("UTF-16 with a NUL")
        << utf16(QStringLiteral("hold 1s\n\0"), false) << QString() << "2: a NUL byte";
    QTest::newRow("UTF-16 without its mark")
        << utf16(text, false).mid(2) << QString() << "1: a NUL byte";
}

void TestSequence::fileText()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, steps);
    QFETCH(QString, message);
    const sequence::ParsedSequence parsed =
        sequence::parseSequenceFile(std::string_view(bytes.constData(), size_t(bytes.size())));
    if (steps.isEmpty()) {
        QVERIFY(parsed.error);
        const QString said = QStringLiteral("%1: %2")
                                 .arg(parsed.error->line)
                                 .arg(QString::fromStdString(parsed.error->message));
        QVERIFY2(said.startsWith(message), qPrintable(said));
        return;
    }
    QVERIFY2(!parsed.error, parsed.error ? parsed.error->message.c_str() : "");
    QCOMPARE(digest(parsed.sequence), steps);
}

void TestSequence::untilAgainstInterval_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("intervalMs");
    QTest::addColumn<QString>("warnings"); // "LINE: message" joined by " | "

    QTest::newRow("five readings need 1.4 s")
        << "hold 1s\nuntil current < 2A for 5 max 1s" << 350
        << "2: cannot be met: 5 readings in a row at 350ms take 1.4s, and max is 1s";
    QTest::newRow("exactly the max") << "until current < 2A for 3 max 700ms" << 350
                                     << "1: can hardly be met: 3 readings in a row at 350ms take "
                                        "700ms, and max is 700ms";
    QTest::newRow("time to spare") << "until current < 2A for 3 max 701ms" << 350 << "";
    QTest::newRow("one reading is the first") << "until current < 2A for 1 max 10ms" << 350 << "";
    QTest::newRow("no max") << "until current < 2A for 100" << 350 << "";
    QTest::newRow("a slower interval")
        << "until voltage > 1V for 3 max 4s\nuntil ah > 1Ah max 1m" << 5000
        << "1: cannot be met: 3 readings in a row at 5s take 10s, and max is 4s";
}

void TestSequence::untilAgainstInterval()
{
    QFETCH(QString, text);
    QFETCH(int, intervalMs);
    QFETCH(QString, warnings);
    const auto parsed = sequence::parseSequence(text.toStdString());
    QVERIFY(!parsed.error);
    QStringList said;
    for (const auto &w : parsed.sequence.warnings(intervalMs)) {
        said << QStringLiteral("%1: %2").arg(w.line).arg(QString::fromStdString(w.message));
    }
    QCOMPARE(said.join(QStringLiteral(" | ")), warnings);
}

QTEST_APPLESS_MAIN(TestSequence)
#include "tst_sequence.moc"
