// The SCPI parser against a small table, and the instrument's conversations with a
// scripted supply: what a client sends, what it reads back, what reached the line.
#include "scpi/instrument.h"
#include "scpi/parser.h"

#include <QtTest>

#include <map>

namespace {

// The parser's table: each row's number in the rendering below is its place, from 1.
const std::vector<scpi::CommandEntry> kEntries{
    {"*IDN?", nullptr},
    {"[SOURce#]:VOLTage[:LEVel]", nullptr},
    {"[SOURce#]:VOLTage[:LEVel]?", nullptr},
    {"MEASure#[:SCALar]:VOLTage[:DC]?", nullptr},
    {"MEASure#[:SCALar]:CURRent[:DC]?", nullptr},
    {"SYSTem:ERRor[:NEXT]?", nullptr},
    {"SYSTem:ERRor:COUNt?", nullptr},
    {"OUTPut#[:STATe]", nullptr},
};

// What the parser made of a message: "row:suffixes params" per item, ';' between,
// "E<code>" for an error item.
QString render(const std::vector<scpi::Item> &items)
{
    QStringList parts;
    for (const scpi::Item &item : items) {
        if (item.error != scpi::err::kNone) {
            parts << QStringLiteral("E%1").arg(item.error);
            continue;
        }
        const std::string pattern = item.command.entry->pattern;
        qsizetype row = 0;
        while (row < qsizetype(kEntries.size()) && kEntries[std::size_t(row)].pattern != pattern) {
            ++row;
        }
        QString text = QString::number(row + 1);
        for (const auto &suffix : item.command.match.suffixes) {
            if (suffix) {
                text += QStringLiteral(":%1").arg(*suffix);
            }
        }
        for (const scpi::Parameter &p : item.command.parameters) {
            const char kind = p.kind == scpi::Parameter::Kind::Number    ? 'N'
                              : p.kind == scpi::Parameter::Kind::Keyword ? 'K'
                                                                         : 'S';
            text += QLatin1Char(' ');
            text += QLatin1Char(kind);
            if (p.kind == scpi::Parameter::Kind::Number) {
                text += QString::number(p.number);
            }
            text += QString::fromStdString(p.text);
        }
        parts << text;
    }
    return parts.join(QLatin1Char(';'));
}

// Supplies that answer at once: output on gives the set voltage and 0.5 A in CV.
class ScriptedLink : public scpi::SupplyLink {
public:
    std::map<std::uint8_t, protocol::StatusReading> supplies;
    bool silent = false;
    QStringList operations; // "R5", "V5=1260", "A5=1500", "O5=1"
    // The line's ceilings: the instrument's own and another program's.
    engine::CeilingRegistry line;
    int own = line.addSource(true);
    int elsewhere = line.addSource(false);
    QStringList held; // the instrument's ceilings as held on the line: "5=800,3200,19840"

    explicit ScriptedLink(const std::vector<std::uint8_t> &addresses)
    {
        for (std::uint8_t a : addresses) {
            protocol::StatusReading r;
            r.setVoltage = 500;
            r.setCurrent = 1000;
            r.mode = 1;
            supplies[a] = r;
        }
    }

    void readStatus(std::uint8_t address, Done done) override
    {
        operations << QStringLiteral("R%1").arg(address);
        finish(address, done);
    }
    void setVoltage(std::uint8_t address, std::uint16_t code, Done done) override
    {
        if (refused(address, engine::CeilingKind::Voltage, code, done)) {
            return;
        }
        operations << QStringLiteral("V%1=%2").arg(address).arg(code);
        supplies[address].setVoltage = code;
        finish(address, done);
    }
    void setCurrent(std::uint8_t address, std::uint16_t code, Done done) override
    {
        if (refused(address, engine::CeilingKind::Current, code, done)) {
            return;
        }
        operations << QStringLiteral("A%1=%2").arg(address).arg(code);
        supplies[address].setCurrent = code;
        finish(address, done);
    }
    void setOutput(std::uint8_t address, bool on, Done done) override
    {
        operations << QStringLiteral("O%1=%2").arg(address).arg(on ? 1 : 0);
        supplies[address].outputOn = on;
        finish(address, done);
    }
    // The line's all-off: "X5" for each supply switched off; a silent line
    // confirms none.
    void allOff(std::vector<std::uint8_t> addresses, AllOffDone done) override
    {
        std::vector<std::pair<std::uint8_t, std::string>> failed;
        for (std::uint8_t address : addresses) {
            operations << QStringLiteral("X%1").arg(address);
            if (silent) {
                failed.emplace_back(address, "timeout");
            } else {
                supplies[address].outputOn = false;
            }
        }
        done(std::move(failed));
    }

    void holdCeilings(std::uint8_t address, std::uint16_t voltage, std::uint16_t current,
                      std::uint16_t power) override
    {
        held << QStringLiteral("%1=%2,%3,%4").arg(address).arg(voltage).arg(current).arg(power);
        const auto hold = [&](engine::CeilingKind kind, int value, int largest) {
            value >= largest ? line.release(own, address, kind)
                             : line.hold(own, address, kind, value, "vantelctl serve", 1);
        };
        hold(engine::CeilingKind::Voltage, voltage, protocol::kLargestVoltageCode);
        hold(engine::CeilingKind::Current, current, protocol::kLargestCurrentCode);
        hold(engine::CeilingKind::Power, power, scpi::kLargestPowerCode);
    }
    std::optional<int> lineCeiling(std::uint8_t address, engine::CeilingKind kind) const override
    {
        const auto tightest = line.tightest(address, kind);
        return tightest ? std::optional<int>(tightest->value) : std::nullopt;
    }

private:
    // The line refuses a set value above a ceiling; nothing is sent.
    bool refused(std::uint8_t address, engine::CeilingKind kind, int code, const Done &done)
    {
        const auto why = line.setValueRefusal(address, kind, code, "COM3");
        if (why) {
            operations << QStringLiteral("%1%2 refused")
                              .arg(kind == engine::CeilingKind::Voltage ? 'V' : 'A')
                              .arg(address);
            done(Result::failed(scpi::LinkFault::Refused, *why));
        }
        return why.has_value();
    }

    void finish(std::uint8_t address, const Done &done)
    {
        if (silent) {
            done(Result::failed(scpi::LinkFault::Line, "timeout"));
            return;
        }
        protocol::StatusReading &r = supplies[address];
        r.actualVoltage = r.outputOn ? r.setVoltage : 0;
        r.actualCurrent = r.outputOn ? 500 : 0;
        done(Result::of(r));
    }
};

} // namespace

class TestScpi : public QObject {
    Q_OBJECT
private slots:
    void parsesMessages_data();
    void parsesMessages();
    void conversations_data();
    void conversations();
    void errorQueueOverflows();
    void everyClientKeepsItsTurn();
    void closedClientLeavesTheLineAsItWas();
    void everyLineIsReportedDone();
    void ceilingsOfTheLine_data();
    void ceilingsOfTheLine();
};

void TestScpi::parsesMessages_data()
{
    QTest::addColumn<QByteArray>("message");
    QTest::addColumn<QString>("parsed");
    const auto row = [](const char *name, QByteArray message, const char *parsed) {
        QTest::newRow(name) << message << QString::fromUtf8(parsed);
    };
    row("common, any case", "*idn?", "1");
    row("short form with a number", "volt 12.6", "2 N12.6");
    row("long form, optional nodes, unit", "SOURCE2:VOLTAGE:LEVEL 1.5V", "2:2 N1.5V");
    row("query with optional nodes", "sour:volt:lev?", "3");
    row("exponent and milli unit", "VOLT 1.5E3MV", "2 N1500MV");
    row("blanks around the exponent and unit", "VOLT 1.5 e-3 mv", "2 N0.0015MV");
    row("keyword", "VOLT max", "2 KMAX");
    row("string with a doubled quote", "VOLT \"a\"\"b\"", "2 Sa\"b");
    row("compound: the path continues", "MEAS:VOLT?;CURR?", "4;5");
    row("compound: from the root", "MEAS:VOLT?;:MEAS:CURR?", "4;5");
    row("compound: a whole header again", "MEAS:VOLT?;MEAS:CURR?", "4;5");
    row("compound after a common command", "*IDN?;volt 1;*IDN?;VOLT?", "1;2 N1;1;3");
    row("suffix on a node", "meas2:scal:volt:dc?", "4:2");
    row("optional leaf", "SYST:ERR:NEXT?", "6");
    row("the longer pattern", "syst:err:coun?", "7");
    row("suffix with a keyword", "OUTP3 ON", "8:3 KON");
    row("trailing semicolon and CR", "VOLT 1;\r", "2 N1");
    row("blanks only", " \t", "");
    row("a command without its parameter", "VOLT", "2");
    row("an error stops the message", "VOLT 5;*IDN?;CURRX 1;*IDN?", "2 N5;1;E-113");
    row("unknown header", "VOLTS 1", "E-113");
    row("node repeated", "VOLT:LEV:LEV 1", "E-113");
    row("suffix where none belongs", "SYST2:ERR?", "E-113");
    row("suffix 0", "OUTP0 ON", "E-114");
    row("suffix too long", "OUTP12345 ON", "E-114");
    row("empty parameter", "VOLT 1,,2", "E-102");
    row("two parameters without a comma", "VOLT 1 2", "E-102");
    row("unterminated string", "VOLT 'abc", "E-151");
    row("leading semicolon", ";VOLT 1", "E-102");
    row("header ends in a colon", "VOLT:", "E-102");
    row("NUL after a header", QByteArray("*IDN?\0", 6), "E-101");
    row("byte 0xFF", "\xff", "E-101");
    row("mnemonic too long", "VOLTAGEVOLTAGE 1", "E-112");
    row("sign without digits", "VOLT -", "E-120");
    row("block data", "VOLT #H1F", "E-102");
}

void TestScpi::parsesMessages()
{
    QFETCH(QByteArray, message);
    QFETCH(QString, parsed);
    static const scpi::CommandTable table(kEntries);
    const auto items = scpi::parseMessage(
        table, std::string_view(message.constData(), std::size_t(message.size())));
    QCOMPARE(render(items), parsed);
}

void TestScpi::conversations_data()
{
    QTest::addColumn<QString>("addresses");
    QTest::addColumn<QStringList>("lines");
    QTest::addColumn<QStringList>("answers");
    QTest::addColumn<QString>("operations");
    const auto row = [](const char *name, const char *addresses, const char *lines,
                        const char *answers, const char *operations) {
        const auto split = [](const char *text) {
            return QString::fromUtf8(text).split(QLatin1Char('|'), Qt::SkipEmptyParts);
        };
        QTest::newRow(name) << QString::fromUtf8(addresses) << split(lines) << split(answers)
                            << QString::fromUtf8(operations);
    };
    row("identify", "5", "*IDN?", "vantel,Modbus RTU gateway,COM3-5,1.0.0", "");
    row("set, then query in a new line", "5", "VOLT 12.6|VOLT?", "12.60", "V5=1260 R5");
    row("a query after a write in one line takes the read-back", "5", "VOLT 12.6;VOLT?", "12.60",
        "V5=1260");
    row("several measurements take one reading", "5", "OUTP ON|MEAS:VOLT?;CURR?;POW?;:OUTP?",
        "5.00;0.500;2.5;1", "O5=1 R5");
    row("milli units, rounded halves to even", "5", "VOLT 12345 MV;VOLT?|CURR 1500.5MA;CURR?",
        "12.34|1.500", "V5=1234 A5=1500");
    row("MIN, MAX and DEF", "5", "VOLT MAX;VOLT?|CURR? MAX|CURR MIN;CURR?|VOLT DEF",
        "62.00|3.200|0.000", "V5=6200 A5=0 V5=0");
    row("above the limit sends nothing", "5", "VOLT 62.01|CURR 3.21|VOLT -1|SYST:ERR:COUN?", "3",
        "");
    // Rounded to 10 mV first, then compared with the range, at both ends alike.
    row("values that round into the range are taken", "5",
        "VOLT 62.004;VOLT?|VOLT 62.005;VOLT?|VOLT -0.004;VOLT?|VOLT -0.005;VOLT?|"
        "CURR 3.2004;CURR?|CURR -0.0004;CURR?",
        "62.00|62.00|0.00|0.00|3.200|0.000", "V5=6200 V5=6200 V5=0 V5=0 A5=3200 A5=0");
    row("values that round out of it are refused", "5",
        "VOLT 62.006|VOLT -0.006|VOLT -0.01|CURR 3.2006|CURR -0.0006|SYST:ERR:COUN?", "5", "");
    row("the error texts", "5",
        "VOLT 62.01|SYST:ERR?|VOLT 5 A|SYST:ERR?|FOO|SYST:ERR?|SYST:ERR?|VOLT|SYST:ERR?|"
        "*IDN? 1|SYST:ERR?|OUTP 2|SYST:ERR?|VOLT 'x'|SYST:ERR?",
        "-222,\"Data out of range;0 to 62.00 V\"|-131,\"Invalid suffix;A where V belongs\"|"
        "-113,\"Undefined header;:FOO\"|0,\"No error\"|-109,\"Missing parameter;:VOLT\"|"
        "9.91E37|-108,\"Parameter not allowed;*IDN?\"|-224,\"Illegal parameter value;ON, OFF, 1 or "
        "0\"|"
        "-104,\"Data type error;a string where a value belongs\"",
        "");
    row("a line stops at its first error", "5", "VOLT 70;OUTP ON|OUTP?", "0", "R5");
    row("queries before the error are answered", "5", "*IDN?;BOGUS;*IDN?",
        "vantel,Modbus RTU gateway,COM3-5,1.0.0", "");
    row("booleans", "5", "OUTP 1|OUTP?|OUTP OFF|OUTP:STAT?", "1|0", "O5=1 R5 O5=0 R5");
    row("mode", "5", "OUTP:MODE?", "CV", "R5");
    row("status byte and event register", "5",
        "*CLS|FOO|*STB?|*ESR?|*ESR?|*ESE 32|FOO|*STB?|*SRE 32|*STB?|*CLS|*STB?", "4|32|0|36|100|0",
        "");
    row("*OPC and *OPC?", "5", "*CLS;*OPC?;*OPC;*ESR?;*WAI", "1;1", "");
    row("*RST switches off and keeps set values and errors", "5",
        "OUTP ON|VOLT 7|FOO|*RST|OUTP?;VOLT?|SYST:ERR:COUN?", "0;7.00|1", "O5=1 V5=700 O5=0 R5");
    row("*TST? asks the supply", "5", "*TST?", "0", "R5");
    row("a voltage ceiling trips and switches off", "5",
        "VOLT 10|VOLT:PROT 8|VOLT:PROT?|OUTP ON|MEAS:VOLT?|STAT:QUES:COND?|STAT:QUES?|SYST:ERR?",
        "8.00|0.00|1|1|301,\"Voltage protection tripped;10.00 V above the ceiling 8.00 V; "
        "output switched off at address 5\"",
        "V5=1000 O5=1 O5=0 R5 R5");
    row("a measurement that trips a ceiling answers what it measured", "5",
        "VOLT 5|OUTP ON|VOLT:PROT 4|MEAS:VOLT?;:OUTP?|SYST:ERR?",
        "5.00;0|301,\"Voltage protection tripped;5.00 V above the ceiling 4.00 V; output "
        "switched off at address 5\"",
        "V5=500 O5=1 R5 O5=0");
    row("a current ceiling trips", "5", "CURR:PROT 0.4|OUTP ON|OUTP?|SYST:ERR?",
        "0|302,\"Current protection tripped;0.500 A above the ceiling 0.400 A; output switched "
        "off at address 5\"",
        "O5=1 O5=0 R5");
    row("a power ceiling trips and switches off", "5",
        "VOLT 10|POW:PROT 4.99|POW:PROT?|OUTP ON|OUTP?|STAT:QUES:COND?|SYST:ERR?",
        "4.99|0|8|303,\"Power protection tripped;5.00 W above the ceiling 4.99 W; output "
        "switched off at address 5\"",
        "V5=1000 O5=1 O5=0 R5 R5");
    row("a power ceiling at the power drawn holds", "5", "VOLT 10|POW:PROT 5|OUTP ON|OUTP?", "1",
        "V5=1000 O5=1 R5");
    row("a set value above the ceiling is refused by the line", "5", "VOLT:PROT 8|VOLT 9|SYST:ERR?",
        "-221,\"Settings conflict;9.00 V is above the 8.00 V ceiling that vantelctl serve (pid 1) "
        "holds on COM3 address 5\"",
        "V5 refused");
    row("status registers", "5",
        "STAT:QUES:ENAB 3;ENAB?|STAT:OPER:ENAB 512|OUTP ON|STAT:OPER:COND?|*STB?|STAT:OPER?|"
        "STAT:OPER?|STAT:PRES|STAT:QUES:ENAB?;:STAT:OPER:ENAB?",
        "3|768|128|768|0|0;0", "O5=1 R5");
    row("channels", "1,3",
        "INST:NSEL 2|*IDN?|SOUR1:VOLT 3|VOLT?|INST:SEL CH1|INST:SEL?;NSEL?|MEAS2:VOLT?|INST:NSEL 3|"
        "SOUR3:VOLT 1|SYST:ERR?|SYST:ERR?",
        "vantel,Modbus RTU gateway,COM3-3,1.0.0|5.00|CH1;1|0.00|"
        "-222,\"Data out of range;channels are 1 to 2\"|"
        "-114,\"Header suffix out of range;:SOUR3:VOLT: channels are 1 to 2\"",
        "V1=300 R3 R3");
    // A query that cannot be answered answers "not a number" beside its error.
    row("a silent supply", "5", "MEAS:VOLT?|VOLT 3|SYST:ERR?|SYST:ERR?|*TST?",
        "9.91E37|-240,\"Hardware error;address 5: timeout\"|"
        "-240,\"Hardware error;voltage not confirmed: timeout\"|1",
        "R5 V5=300 R5");
    row("versions", "5", "SYST:VERS?", "1999.0", "");
}

void TestScpi::conversations()
{
    QFETCH(QString, addresses);
    QFETCH(QStringList, lines);
    QFETCH(QStringList, answers);
    QFETCH(QString, operations);
    std::vector<std::uint8_t> list;
    for (const QString &a : addresses.split(QLatin1Char(','))) {
        list.push_back(std::uint8_t(a.toInt()));
    }
    ScriptedLink link(list);
    scpi::Instrument instrument(link, {"COM3", list, "1.0.0"});
    QStringList got;
    auto session = instrument.open(
        [&got](const std::string &text) { got << QString::fromStdString(text).chopped(1); });
    for (const QString &line : lines) {
        // The silent row: the supply answers nothing at all.
        link.silent = QByteArray(QTest::currentDataTag()) == "a silent supply";
        instrument.submit(*session, line.toStdString());
        instrument.pump();
    }
    QCOMPARE(got, answers);
    QCOMPARE(link.operations.join(QLatin1Char(' ')), operations);
    QVERIFY(!instrument.busy());
}

void TestScpi::errorQueueOverflows()
{
    ScriptedLink link({5});
    scpi::Instrument instrument(link, {"COM3", {5}, "1.0.0"});
    QStringList got;
    auto session = instrument.open(
        [&got](const std::string &text) { got << QString::fromStdString(text).chopped(1); });
    for (int i = 0; i < 20; ++i) {
        instrument.submit(*session, "FOO");
    }
    instrument.submitError(*session, scpi::err::kTooMuchData, "lost: the queue is full");
    instrument.submit(*session, "SYST:ERR:COUN?");
    for (int i = 0; i < 16; ++i) {
        instrument.submit(*session, "SYST:ERR?");
    }
    instrument.submit(*session, "*CLS;FOO" + std::string(5000, 'x'));
    instrument.submitError(*session, scpi::err::kTooMuchData,
                           "a line longer than 4096 bytes was discarded");
    instrument.submit(*session, "SYST:ERR?;SYST:ERR?");
    instrument.pump();
    QCOMPARE(got.size(), 18);
    QCOMPARE(got[0], QStringLiteral("16"));
    QCOMPARE(got[15], QStringLiteral("-113,\"Undefined header;:FOO\""));
    QCOMPARE(got[16], QStringLiteral("-350,\"Queue overflow\""));
    // A long detail is cut short; the discarded line's error follows in the same answer.
    QVERIFY(got[17].startsWith(QStringLiteral("-112,\"Program mnemonic too long;FOOxxx")));
    QVERIFY(got[17].size() < 260);
    QVERIFY(got[17].endsWith(
        QStringLiteral(";-223,\"Too much data;a line longer than 4096 bytes was discarded\"")));
}

void TestScpi::everyClientKeepsItsTurn()
{
    ScriptedLink link({5});
    scpi::Instrument instrument(link, {"COM3", {5}, "1.0.0"});
    QStringList order;
    auto flooder = instrument.open([&order](const std::string &) { order << QStringLiteral("A"); });
    auto polite = instrument.open([&order](const std::string &) { order << QStringLiteral("B"); });
    for (int i = 0; i < 50; ++i) {
        instrument.submit(*flooder, "MEAS:VOLT?;CURR?;:OUTP?");
    }
    instrument.submit(*polite, "MEAS:VOLT?");
    instrument.submit(*polite, "*IDN?");
    instrument.pump();
    QCOMPARE(order.size(), 52);
    // One command of the flooder between each of the polite client's commands: its
    // two lines are answered while the flooder's first lines are still under way.
    QCOMPARE(order.indexOf(QStringLiteral("B")), 0);
    QCOMPARE(order.lastIndexOf(QStringLiteral("B")), 1);
}

void TestScpi::closedClientLeavesTheLineAsItWas()
{
    // A link whose writes finish later, as the line's do.
    struct LaterLink : ScriptedLink {
        using ScriptedLink::ScriptedLink;
        Done pending;
        void setOutput(std::uint8_t address, bool on, Done done) override
        {
            operations << QStringLiteral("O%1=%2").arg(address).arg(on ? 1 : 0);
            supplies[address].outputOn = on;
            pending = std::move(done);
        }
    } link({5});
    scpi::Instrument instrument(link, {"COM3", {5}, "1.0.0"});
    int answers = 0;
    auto gone = instrument.open([&answers](const std::string &) { ++answers; });
    auto other = instrument.open([&answers](const std::string &) { ++answers; });
    instrument.submit(*gone, "OUTP ON;OUTP?");
    instrument.submit(*gone, "VOLT 9");
    instrument.pump();
    QVERIFY(instrument.busy());
    instrument.close(gone);
    instrument.submit(*other, "*IDN?");
    link.pending(scpi::SupplyLink::Result::of(link.supplies[5]));
    QVERIFY(!instrument.busy());
    QCOMPARE(answers, 1); // the other client's; the closed one's line ended
    QCOMPARE(link.operations.join(QLatin1Char(' ')), QStringLiteral("O5=1"));
    QVERIFY(link.supplies[5].outputOn);
}

// A server closes a client that has sent its last line once that line is done:
// each line, answered or not, refused or too long, is reported after its answer.
void TestScpi::everyLineIsReportedDone()
{
    ScriptedLink link({5});
    scpi::Instrument instrument(link, {"COM3", {5}, "1.0.0"});
    QStringList events;
    std::shared_ptr<scpi::Session> session;
    session = instrument.open(
        [&events](const std::string &text) { events << QString::fromStdString(text).chopped(1); },
        {},
        [&events, &session] {
            events << (session->working() ? QStringLiteral("done, more") : QStringLiteral("done"));
        });
    instrument.submit(*session, "VOLT 7");
    instrument.submit(*session, "BOGUS");
    instrument.submitError(*session, scpi::err::kTooMuchData, "a line too long");
    instrument.submit(*session, "");
    instrument.submit(*session, "VOLT?;MEAS:VOLT?");
    instrument.pump();
    QCOMPARE(events.join(QLatin1Char('|')),
             QStringLiteral("done, more|done, more|done, more|done, more|7.00;0.00|done"));
    instrument.close(session);
    instrument.submit(*session, "*IDN?");
    instrument.pump();
    QCOMPARE(events.size(), 6);
}

// The instrument's ceilings hold for every program on the line; a ceiling, its own
// or another program's, refuses a set value as a settings conflict in the line's
// words, and VOLT:PROT? answers the tightest on the line.
void TestScpi::ceilingsOfTheLine_data()
{
    QTest::addColumn<QStringList>("lines");
    QTest::addColumn<QStringList>("answers");
    QTest::addColumn<QString>("operations");
    QTest::addColumn<QString>("held");
    const auto split = [](const char *text) {
        return QString::fromUtf8(text).split(QLatin1Char('|'), Qt::SkipEmptyParts);
    };
    QTest::newRow("held as set, on channel 2 too")
        << split("VOLT:PROT 8|CURR:PROT 1.5|SOUR2:VOLT:PROT 3|VOLT:PROT MAX") << QStringList()
        << QString()
        << QStringLiteral("5=800,3200,19840 5=800,1500,19840 6=300,3200,19840 5=6200,1500,19840");
    QTest::newRow("a power ceiling is held and refuses no set value")
        << split("POW:PROT 2.5|POW:PROT?|VOLT 9|SYST:ERR?|POW:PROT MAX|POW:PROT? MIN")
        << split("2.50|0,\"No error\"|0.00") << QStringLiteral("V5=900")
        << QStringLiteral("5=6200,3200,250 5=6200,3200,19840");
    QTest::newRow("held elsewhere is -221, shown by VOLT:PROT?")
        << split("VOLT 20|SYST:ERR?|VOLT 9;VOLT?|VOLT:PROT?|SOUR2:VOLT:PROT?")
        << split("-221,\"Settings conflict;20.00 V is above the 10.00 V ceiling that vantel (pid "
                 "7) holds on COM3 address 5\"|9.00|10.00|62.00")
        << QStringLiteral("V5 refused V5=900") << QString();
    QTest::newRow("its own ceiling is -221 too, nothing sent")
        << split("VOLT:PROT 8|VOLT 9|SYST:ERR?|VOLT:PROT?")
        << split("-221,\"Settings conflict;9.00 V is above the 8.00 V ceiling that vantelctl "
                 "serve (pid 1) holds on COM3 address 5\"|8.00")
        << QStringLiteral("V5 refused") << QStringLiteral("5=800,3200,19840");
}

void TestScpi::ceilingsOfTheLine()
{
    QFETCH(QStringList, lines);
    QFETCH(QStringList, answers);
    QFETCH(QString, operations);
    QFETCH(QString, held);
    ScriptedLink link({5, 6});
    link.line.hold(link.elsewhere, 5, engine::CeilingKind::Voltage, 1000, "vantel", 7);
    scpi::Instrument instrument(link, {"COM3", {5, 6}, "1.0.0"});
    QStringList got;
    auto session = instrument.open(
        [&got](const std::string &text) { got << QString::fromStdString(text).chopped(1); });
    for (const QString &line : lines) {
        instrument.submit(*session, line.toStdString());
        instrument.pump();
    }
    QCOMPARE(got, answers);
    QCOMPARE(link.operations.join(QLatin1Char(' ')), operations);
    QCOMPARE(link.held.join(QLatin1Char(' ')), held);
}

QTEST_GUILESS_MAIN(TestScpi)
#include "tst_scpi.moc"
