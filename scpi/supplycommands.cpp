#include "scpi/instrument_p.h"

#include "scpi/ceilingtrip.h"

#include "numtext/numtext.h"
#include "protocol/reply.h"

#include <cmath>
#include <string>

namespace scpi {

namespace {

// The same with trailing zeros dropped ("6.16", "0").
std::string shortestPoint(long long count, int decimals)
{
    std::string text = fixedPoint(count, decimals);
    if (text.find('.') != std::string::npos) {
        while (text.back() == '0') {
            text.pop_back();
        }
        if (text.back() == '.') {
            text.pop_back();
        }
    }
    return text;
}

// A set value or ceiling in counts: a number with an optional unit, or MIN, MAX,
// DEF (`def` counts). Rounded to the register's resolution, halves to even.
std::optional<std::uint16_t> quantityCode(const Parameter &p, const Quantity &q, int def,
                                          Refusal &failure)
{
    if (p.kind == Parameter::Kind::String) {
        failure = {err::kDataType, "a string where a value belongs"};
        return std::nullopt;
    }
    if (p.kind == Parameter::Kind::Keyword) {
        if (p.text == "MIN" || p.text == "MINIMUM") {
            return std::uint16_t(0);
        }
        if (p.text == "MAX" || p.text == "MAXIMUM") {
            return std::uint16_t(q.largest);
        }
        if (p.text == "DEF" || p.text == "DEFAULT") {
            return std::uint16_t(def);
        }
        failure = {err::kIllegalParameterValue, p.text};
        return std::nullopt;
    }
    double value = p.number;
    if (p.text == q.milliUnit) {
        value /= 1000.0;
    } else if (!p.text.empty() && p.text != q.unit) {
        failure = {err::kInvalidSuffix, p.text + " where " + q.unit + " belongs"};
        return std::nullopt;
    }
    const std::string range =
        std::string("0 to ") + fixedPoint(q.largest, q.decimals) + " " + q.unit;
    // Rounded to the register's resolution first and then compared with the range, at
    // both ends alike: 62.004 V sets 62.00 and -0.004 V sets 0.00, while 62.006 V and
    // -0.006 V are out of range. Far outside it the count is not worked out.
    if (!std::isfinite(value) || std::fabs(value) * std::pow(10.0, q.decimals) > q.largest + 1.0) {
        failure = {err::kDataOutOfRange, range};
        return std::nullopt;
    }
    const double code = numtext::toCount(std::fabs(value), q.decimals);
    if (code > q.largest || (value < 0 && code > 0)) {
        failure = {err::kDataOutOfRange, range};
        return std::nullopt;
    }
    return static_cast<std::uint16_t>(code);
}

// ON, OFF, 1 or 0.
std::optional<bool> booleanValue(const Parameter &p, Refusal &failure)
{
    if (p.kind == Parameter::Kind::Keyword && (p.text == "ON" || p.text == "OFF")) {
        return p.text == "ON";
    }
    if (p.kind == Parameter::Kind::Number && p.text.empty() && (p.number == 0 || p.number == 1)) {
        return p.number == 1;
    }
    failure = {p.kind == Parameter::Kind::String ? err::kDataType : err::kIllegalParameterValue,
               "ON, OFF, 1 or 0"};
    return std::nullopt;
}

// A query's optional MIN / MAX / DEF; nullopt for none, -1 for an error.
int limitQuery(const Command &command, const Quantity &q, int def, Refusal &failure)
{
    if (command.parameters.empty()) {
        return -2;
    }
    if (command.parameters.size() > 1 || command.parameters[0].kind != Parameter::Kind::Keyword) {
        failure = {err::kParameterNotAllowed, command.header};
        return -1;
    }
    const std::optional<std::uint16_t> code = quantityCode(command.parameters[0], q, def, failure);
    return code ? int(*code) : -1;
}

// VOLT and CURR: a value above a ceiling held on the line (the instrument's own or
// another program's) is refused there, before it is sent.
void setValue(Call &c, const Quantity &q)
{
    if (!c.takes(1)) {
        return;
    }
    Refusal refusal;
    const auto code = quantityCode(c.command.parameters[0], q, 0, refusal);
    if (!code) {
        return c.fail(refusal);
    }
    &q == &kVolts ? c.setVoltage(*code) : c.setCurrent(*code);
}

// VOLT? and CURR?: the supply's set value, or MIN / MAX / DEF.
void setValueQuery(Call &c, const Quantity &q)
{
    Refusal refusal;
    const int limit = limitQuery(c.command, q, 0, refusal);
    if (limit == -1) {
        return c.fail(refusal);
    }
    if (limit >= 0) {
        return c.answer(fixedPoint(limit, q.decimals));
    }
    const bool volts = &q == &kVolts;
    c.answerFromReading([volts](const protocol::StatusReading &r) {
        return volts ? fixedPoint(r.setVoltage, 2) : fixedPoint(r.setCurrent, 3);
    });
}

// A ceiling is the instrument's own: setting it clears its trip.
void setCeiling(Call &c, const Quantity &q)
{
    if (!c.takes(1)) {
        return;
    }
    Refusal refusal;
    const auto code = quantityCode(c.command.parameters[0], q, q.largest, refusal);
    if (!code) {
        return c.fail(refusal);
    }
    auto &ch = c.supply();
    if (&q == &kVolts) {
        ch.voltageCeiling = *code;
        ch.voltageTripped = false;
    } else if (&q == &kAmps) {
        ch.currentCeiling = *code;
        ch.currentTripped = false;
    } else {
        ch.powerCeiling = *code;
        ch.powerTripped = false;
    }
    c.holdCeilings();
    c.done();
}

void ceilingQuery(Call &c, const Quantity &q)
{
    Refusal refusal;
    const int limit = limitQuery(c.command, q, q.largest, refusal);
    if (limit == -1) {
        return c.fail(refusal);
    }
    // The tightest ceiling on the line, whoever holds it; the instrument's own
    // where the line holds none.
    const auto kind = &q == &kVolts  ? engine::CeilingKind::Voltage
                      : &q == &kAmps ? engine::CeilingKind::Current
                                     : engine::CeilingKind::Power;
    const int own = &q == &kVolts  ? c.supply().voltageCeiling
                    : &q == &kAmps ? c.supply().currentCeiling
                                   : c.supply().powerCeiling;
    c.answer(fixedPoint(limit >= 0 ? limit : c.lineCeiling(kind).value_or(own), q.decimals));
}

void selectChannel(Call &c, double number)
{
    if (number != std::floor(number) || number < 1 || number > double(c.channels())) {
        return c.fail({err::kDataOutOfRange, "channels are 1 to " + std::to_string(c.channels())});
    }
    c.session->select(std::size_t(number) - 1);
    c.done();
}

} // namespace

// Set values and ceilings.
void voltage(Call &c)
{
    setValue(c, kVolts);
}
void current(Call &c)
{
    setValue(c, kAmps);
}

void voltageQuery(Call &c)
{
    setValueQuery(c, kVolts);
}
void currentQuery(Call &c)
{
    setValueQuery(c, kAmps);
}

void voltageCeiling(Call &c)
{
    setCeiling(c, kVolts);
}
void currentCeiling(Call &c)
{
    setCeiling(c, kAmps);
}
// A power ceiling refuses no set value (the power depends on the load): a
// reading above it switches the output off.
void powerCeiling(Call &c)
{
    setCeiling(c, kWatts);
}

void voltageCeilingQuery(Call &c)
{
    ceilingQuery(c, kVolts);
}
void currentCeilingQuery(Call &c)
{
    ceilingQuery(c, kAmps);
}
void powerCeilingQuery(Call &c)
{
    ceilingQuery(c, kWatts);
}

// The output and the measurements.

void output(Call &c)
{
    if (!c.takes(1)) {
        return;
    }
    Refusal refusal;
    const auto on = booleanValue(c.command.parameters[0], refusal);
    if (!on) {
        return c.fail(refusal);
    }
    if (*on) {
        // Switching on again is the acknowledgement of a trip.
        c.supply().voltageTripped = false;
        c.supply().currentTripped = false;
        c.supply().powerTripped = false;
    }
    c.setOutput(*on);
}
void outputQuery(Call &c)
{
    c.answerFromReading(
        [](const protocol::StatusReading &r) { return std::string(r.outputOn ? "1" : "0"); });
}
void outputModeQuery(Call &c)
{
    c.answerFromReading([](const protocol::StatusReading &r) {
        const char *name = protocol::modeName(r.mode);
        return name ? std::string(name) : std::to_string(r.mode);
    });
}
void measureVoltageQuery(Call &c)
{
    c.answerFromReading(
        [](const protocol::StatusReading &r) { return fixedPoint(r.actualVoltage, 2); });
}
void measureCurrentQuery(Call &c)
{
    c.answerFromReading(
        [](const protocol::StatusReading &r) { return fixedPoint(r.actualCurrent, 3); });
}
// 10 mV counts times 1 mA counts: 10 µW.
void measurePowerQuery(Call &c)
{
    c.answerFromReading([](const protocol::StatusReading &r) {
        return shortestPoint(static_cast<long long>(r.actualVoltage) * r.actualCurrent, 5);
    });
}

// INSTrument: the channel a header without a suffix addresses.
void selectNumber(Call &c)
{
    if (!c.takes(1)) {
        return;
    }
    const Parameter &p = c.command.parameters[0];
    if (p.kind != Parameter::Kind::Number || !p.text.empty()) {
        return c.fail({err::kDataType, "a channel number belongs here"});
    }
    selectChannel(c, p.number);
}
void selectNumberQuery(Call &c)
{
    if (c.takes(0)) {
        c.answer(std::to_string(c.session->selected() + 1));
    }
}
void select(Call &c)
{
    if (!c.takes(1)) {
        return;
    }
    const Parameter &p = c.command.parameters[0];
    if (p.kind != Parameter::Kind::Keyword || p.text.size() <= 2 || p.text.size() >= 8 ||
        p.text.compare(0, 2, "CH") != 0 ||
        p.text.find_first_not_of("0123456789", 2) != std::string::npos) {
        return c.fail({err::kIllegalParameterValue, "CH1 to CH" + std::to_string(c.channels())});
    }
    selectChannel(c, std::stod(p.text.substr(2)));
}
void selectQuery(Call &c)
{
    if (c.takes(0)) {
        c.answer("CH" + std::to_string(c.session->selected() + 1));
    }
}

} // namespace scpi
