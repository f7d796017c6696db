#include "scpi/instrument.h"

#include "engine/failuretable.h"
#include "scpi/ceilingtrip.h"

#include "numtext/numtext.h"
#include "protocol/reply.h"

#include <cmath>
#include <utility>

namespace scpi {

namespace {

// The SCPI version this instrument follows.
const char *const kScpiVersion = "1999.0";
// SCPI's "not a number", the answer of a query that could not be answered.
const char *const kNotANumber = "9.91E37";

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

// A quantity the supply sets: voltage in 10 mV counts, current in 1 mA counts.
struct Quantity {
    const char *unit;      // "V", "A"
    const char *milliUnit; // "MV", "MA"
    int decimals;
    int largest;
};
constexpr Quantity kVolts{"V", "MV", 2, protocol::kLargestVoltageCode};
constexpr Quantity kAmps{"A", "MA", 3, protocol::kLargestCurrentCode};
constexpr Quantity kWatts{"W", "MW", 2, kLargestPowerCode};

// An error a command queues instead of doing what it was asked.
struct Refusal {
    int code = err::kNone;
    std::string detail;
};

// Exactly `count` parameters, or the error that says otherwise.
Refusal parameterCount(const Command &command, std::size_t count)
{
    if (command.parameters.size() < count) {
        return {err::kMissingParameter, command.header};
    }
    if (command.parameters.size() > count) {
        return {err::kParameterNotAllowed, command.header};
    }
    return {};
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

// A register's value: a whole number from 0 to `largest`.
std::optional<unsigned> registerValue(const Parameter &p, unsigned largest, Refusal &failure)
{
    if (p.kind != Parameter::Kind::Number || !p.text.empty()) {
        failure = {err::kDataType, "a number belongs here"};
        return std::nullopt;
    }
    const double value = numtext::roundHalfEven(p.number);
    if (!std::isfinite(value) || value < 0 || value > largest) {
        failure = {err::kDataOutOfRange, "0 to " + std::to_string(largest)};
        return std::nullopt;
    }
    return static_cast<unsigned>(value);
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

} // namespace

// What a handler is given: the instrument, the client, the command and the channel
// its header names, and `next`, which every handler calls exactly once, at once or
// when the line has answered (true to go on with the line, false to end it).
struct Call {
    Instrument &instrument;
    std::shared_ptr<Session> session;
    const Command &command;
    std::size_t channel; // the header's suffix, else the client's selected channel
    Instrument::Continue next;

    Status &status() { return session->status; }
    Instrument::Channel &supply() { return instrument.m_channels[channel]; }
    // The channel's ceilings hold for every program on the line.
    void holdCeilings()
    {
        const Instrument::Channel &ch = supply();
        instrument.m_link.holdCeilings(ch.address, ch.voltageCeiling, ch.currentCeiling,
                                       ch.powerCeiling);
    }
    // The tightest ceiling of `kind` on the channel's supply, whoever holds it.
    std::optional<int> lineCeiling(supply::CeilingKind kind) const
    {
        return instrument.m_link.lineCeiling(instrument.m_channels[channel].address, kind);
    }
    std::size_t channels() const { return instrument.m_channels.size(); }
    const InstrumentInfo &info() const { return instrument.m_info; }
    std::uint8_t address(std::size_t index) const { return instrument.m_channels[index].address; }

    void fail(const Refusal &refusal)
    {
        status().error(refusal.code, refusal.detail);
        next(false);
    }
    void answer(std::string text)
    {
        session->m_answers.push_back(std::move(text));
        next(true);
    }
    void done() { next(true); }
    // Exactly `count` parameters; false once the error is queued.
    bool takes(std::size_t count)
    {
        const Refusal refusal = parameterCount(command, count);
        if (refusal.code != err::kNone) {
            fail(refusal);
            return false;
        }
        return true;
    }

    // A query that reads the supply: a reading no older than the line, then `text`.
    void answerFromReading(std::function<std::string(const protocol::StatusReading &)> text)
    {
        if (!takes(0)) {
            return;
        }
        instrument.freshReading(session, channel,
                                [session = session, next = next,
                                 text = std::move(text)](const protocol::StatusReading *reading) {
                                    if (!reading) {
                                        next(false);
                                        return;
                                    }
                                    session->m_answers.push_back(text(*reading));
                                    next(true);
                                });
    }

    // The continuation of a confirmed write: its read-back becomes the line's reading.
    SupplyLink::Done written(const char *what)
    {
        return [&in = instrument, session = session, channel = channel, next = next,
                what](const SupplyLink::Result &r) {
            if (!r.reading) {
                // A refusal speaks for itself: nothing was sent.
                session->status.error(errorNumber(r.fault),
                                      r.fault == LinkFault::Refused
                                          ? r.detail
                                          : std::string(what) + " not confirmed: " + r.detail);
                next(false);
                return;
            }
            in.noteReading(channel, *r.reading,
                           [session, channel, next](const auto &, const auto &latest) {
                               session->m_readings[channel] = latest;
                               next(true);
                           });
        };
    }

    void setVoltage(std::uint16_t code)
    {
        session->m_readings.erase(channel);
        instrument.m_link.setVoltage(supply().address, code, written("voltage"));
    }
    void setCurrent(std::uint16_t code)
    {
        session->m_readings.erase(channel);
        instrument.m_link.setCurrent(supply().address, code, written("current"));
    }
    void setOutput(bool on)
    {
        session->m_readings.erase(channel);
        instrument.m_link.setOutput(supply().address, on, written(on ? "output on" : "output off"));
    }
    void resetChannels() { instrument.resetChannels(session, 0, true, next); }
    void selfTest() { instrument.selfTest(session, 0, false, next); }
};

namespace {

// IEEE 488.2's common commands.

void identify(Call &c)
{
    if (!c.takes(0)) {
        return;
    }
    std::string port = c.info().portName;
    for (char &ch : port) {
        if (ch == ',' || ch == ';' || static_cast<unsigned char>(ch) < 0x20) {
            ch = '_';
        }
    }
    const std::uint8_t address = c.address(c.session->selected());
    c.answer("vantel,Modbus RTU gateway," + port + "-" + std::to_string(address) + "," +
             c.info().version);
}

void reset(Call &c)
{
    if (c.takes(0)) {
        c.session->select(0);
        c.resetChannels();
    }
}

void clearStatus(Call &c)
{
    if (c.takes(0)) {
        c.status().clear();
        c.done();
    }
}

// A register set from one whole number from 0 to `largest`.
template <typename Store> void setRegister(Call &c, unsigned largest, Store store)
{
    if (!c.takes(1)) {
        return;
    }
    Refusal refusal;
    const auto value = registerValue(c.command.parameters[0], largest, refusal);
    if (!value) {
        return c.fail(refusal);
    }
    store(c.status(), *value);
    c.done();
}

// A query without parameters that answers `text(status)`.
template <typename Text> void answerStatus(Call &c, Text text)
{
    if (c.takes(0)) {
        c.answer(text(c.status()));
    }
}

void eventEnable(Call &c)
{
    setRegister(c, 255, [](Status &st, unsigned v) { st.ese = std::uint8_t(v); });
}
void eventEnableQuery(Call &c)
{
    answerStatus(c, [](Status &st) { return std::to_string(st.ese); });
}
void eventStatusQuery(Call &c)
{
    answerStatus(c, [](Status &st) {
        const unsigned value = st.esr;
        st.esr = 0; // reading clears it
        return std::to_string(value);
    });
}
void serviceEnable(Call &c)
{
    setRegister(c, 255, [](Status &st, unsigned v) {
        st.sre = std::uint8_t(v & ~unsigned(stb::kMasterSummary));
    });
}
void serviceEnableQuery(Call &c)
{
    answerStatus(c, [](Status &st) { return std::to_string(st.sre); });
}
void statusByteQuery(Call &c)
{
    answerStatus(c, [](Status &st) { return std::to_string(st.statusByte()); });
}
void operationComplete(Call &c)
{
    if (c.takes(0)) {
        c.status().esr |= esr::kOperationComplete;
        c.done();
    }
}
// Every write before it was confirmed before this command began.
void operationCompleteQuery(Call &c)
{
    answerStatus(c, [](Status &) { return std::string("1"); });
}
void wait(Call &c)
{
    if (c.takes(0)) {
        c.done();
    }
}
void selfTestQuery(Call &c)
{
    if (c.takes(0)) {
        c.selfTest();
    }
}

// SYSTem and STATus.

void errorQuery(Call &c)
{
    answerStatus(c, [](Status &st) { return st.errors.pop(); });
}
void errorCountQuery(Call &c)
{
    answerStatus(c, [](Status &st) { return std::to_string(st.errors.size()); });
}
void versionQuery(Call &c)
{
    answerStatus(c, [](Status &) { return std::string(kScpiVersion); });
}
void questionableEventQuery(Call &c)
{
    answerStatus(c, [](Status &st) {
        const unsigned value = st.questionable.event;
        st.questionable.event = 0;
        return std::to_string(value);
    });
}
void questionableEnable(Call &c)
{
    setRegister(c, 65535,
                [](Status &st, unsigned v) { st.questionable.enable = std::uint16_t(v); });
}
void questionableEnableQuery(Call &c)
{
    answerStatus(c, [](Status &st) { return std::to_string(st.questionable.enable); });
}
void operationEventQuery(Call &c)
{
    answerStatus(c, [](Status &st) {
        const unsigned value = st.operation.event;
        st.operation.event = 0;
        return std::to_string(value);
    });
}
void operationEnable(Call &c)
{
    setRegister(c, 65535, [](Status &st, unsigned v) { st.operation.enable = std::uint16_t(v); });
}
void operationEnableQuery(Call &c)
{
    answerStatus(c, [](Status &st) { return std::to_string(st.operation.enable); });
}
void preset(Call &c)
{
    if (c.takes(0)) {
        c.status().preset();
        c.done();
    }
}
// The condition registers follow the supply: they are worked out from a fresh reading.
void questionableConditionQuery(Call &c)
{
    auto &ch = c.supply();
    c.answerFromReading(
        [&ch](const protocol::StatusReading &) { return std::to_string(ch.questionable); });
}
void operationConditionQuery(Call &c)
{
    auto &ch = c.supply();
    c.answerFromReading(
        [&ch](const protocol::StatusReading &) { return std::to_string(ch.operation); });
}

// Set values and ceilings.

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
void voltage(Call &c)
{
    setValue(c, kVolts);
}
void current(Call &c)
{
    setValue(c, kAmps);
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
void voltageQuery(Call &c)
{
    setValueQuery(c, kVolts);
}
void currentQuery(Call &c)
{
    setValueQuery(c, kAmps);
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
void ceilingQuery(Call &c, const Quantity &q)
{
    Refusal refusal;
    const int limit = limitQuery(c.command, q, q.largest, refusal);
    if (limit == -1) {
        return c.fail(refusal);
    }
    // The tightest ceiling on the line, whoever holds it; the instrument's own
    // where the line holds none.
    const auto kind = &q == &kVolts  ? supply::CeilingKind::Voltage
                      : &q == &kAmps ? supply::CeilingKind::Current
                                     : supply::CeilingKind::Power;
    const int own = &q == &kVolts  ? c.supply().voltageCeiling
                    : &q == &kAmps ? c.supply().currentCeiling
                                   : c.supply().powerCeiling;
    c.answer(fixedPoint(limit >= 0 ? limit : c.lineCeiling(kind).value_or(own), q.decimals));
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

void selectChannel(Call &c, double number)
{
    if (number != std::floor(number) || number < 1 || number > double(c.channels())) {
        return c.fail({err::kDataOutOfRange, "channels are 1 to " + std::to_string(c.channels())});
    }
    c.session->select(std::size_t(number) - 1);
    c.done();
}
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

} // namespace

const CommandTable &Instrument::table()
{
    static const CommandTable commands({
        {"*IDN?", identify},
        {"*RST", reset},
        {"*CLS", clearStatus},
        {"*ESE", eventEnable},
        {"*ESE?", eventEnableQuery},
        {"*ESR?", eventStatusQuery},
        {"*SRE", serviceEnable},
        {"*SRE?", serviceEnableQuery},
        {"*STB?", statusByteQuery},
        {"*OPC", operationComplete},
        {"*OPC?", operationCompleteQuery},
        {"*WAI", wait},
        {"*TST?", selfTestQuery},
        {"SYSTem:ERRor[:NEXT]?", errorQuery},
        {"SYSTem:ERRor:COUNt?", errorCountQuery},
        {"SYSTem:VERSion?", versionQuery},
        {"STATus:QUEStionable[:EVENt]?", questionableEventQuery},
        {"STATus:QUEStionable:CONDition?", questionableConditionQuery},
        {"STATus:QUEStionable:ENABle", questionableEnable},
        {"STATus:QUEStionable:ENABle?", questionableEnableQuery},
        {"STATus:OPERation[:EVENt]?", operationEventQuery},
        {"STATus:OPERation:CONDition?", operationConditionQuery},
        {"STATus:OPERation:ENABle", operationEnable},
        {"STATus:OPERation:ENABle?", operationEnableQuery},
        {"STATus:PRESet", preset},
        {"[SOURce#]:VOLTage:PROTection[:LEVel]", voltageCeiling},
        {"[SOURce#]:VOLTage:PROTection[:LEVel]?", voltageCeilingQuery},
        {"[SOURce#]:CURRent:PROTection[:LEVel]", currentCeiling},
        {"[SOURce#]:CURRent:PROTection[:LEVel]?", currentCeilingQuery},
        {"[SOURce#]:POWer:PROTection[:LEVel]", powerCeiling},
        {"[SOURce#]:POWer:PROTection[:LEVel]?", powerCeilingQuery},
        {"[SOURce#]:VOLTage[:LEVel][:IMMediate][:AMPLitude]", voltage},
        {"[SOURce#]:VOLTage[:LEVel][:IMMediate][:AMPLitude]?", voltageQuery},
        {"[SOURce#]:CURRent[:LEVel][:IMMediate][:AMPLitude]", current},
        {"[SOURce#]:CURRent[:LEVel][:IMMediate][:AMPLitude]?", currentQuery},
        {"OUTPut#:MODE?", outputModeQuery},
        {"OUTPut#[:STATe]", output},
        {"OUTPut#[:STATe]?", outputQuery},
        {"MEASure#[:SCALar]:VOLTage[:DC]?", measureVoltageQuery},
        {"MEASure#[:SCALar]:CURRent[:DC]?", measureCurrentQuery},
        {"MEASure#[:SCALar]:POWer[:DC]?", measurePowerQuery},
        {"INSTrument:NSELect", selectNumber},
        {"INSTrument:NSELect?", selectNumberQuery},
        {"INSTrument[:SELect]", select},
        {"INSTrument[:SELect]?", selectQuery},
    });
    return commands;
}

int errorNumber(LinkFault fault)
{
    using supply::Error;
    // A fault on the line speaks for every error the instrument does not tell apart.
    const Error error = fault == LinkFault::None           ? Error::None
                        : fault == LinkFault::Gone         ? Error::Port
                        : fault == LinkFault::Refused      ? Error::Refused
                        : fault == LinkFault::NotConfirmed ? Error::NotConfirmed
                                                           : Error::Timeout;
    return supply::facesOf(error).scpiError;
}

Instrument::Instrument(SupplyLink &link, InstrumentInfo info)
    : m_link(link), m_info(std::move(info))
{
    for (std::uint8_t address : m_info.addresses) {
        Channel channel;
        channel.address = address;
        channel.voltageCeiling = kVolts.largest;
        channel.currentCeiling = kAmps.largest;
        channel.powerCeiling = kWatts.largest;
        m_channels.push_back(channel);
    }
}

std::optional<Instrument::Ceilings> Instrument::ceilings(std::uint8_t address) const
{
    for (const Channel &channel : m_channels) {
        if (channel.address == address) {
            return Ceilings{channel.voltageCeiling, channel.currentCeiling, channel.powerCeiling};
        }
    }
    return std::nullopt;
}

Instrument::~Instrument()
{
    *m_alive = false;
}

std::shared_ptr<Session> Instrument::open(Session::Send send, std::function<bool()> ready,
                                          std::function<void()> lineDone)
{
    auto session = std::make_shared<Session>();
    session->m_send = std::move(send);
    session->m_ready = std::move(ready);
    session->m_lineDone = std::move(lineDone);
    m_sessions.push_back(session);
    return session;
}

void Instrument::close(const std::shared_ptr<Session> &session)
{
    session->m_closed = true;
    session->m_lines.clear();
    for (std::size_t i = 0; i < m_sessions.size(); ++i) {
        if (m_sessions[i] == session) {
            m_sessions.erase(m_sessions.begin() + std::ptrdiff_t(i));
            if (m_turn >= i && m_turn > 0) {
                --m_turn;
            }
            break;
        }
    }
}

void Instrument::submit(Session &session, std::string line)
{
    if (!session.m_closed) {
        session.m_lines.push_back({err::kNone, std::move(line)});
    }
}

void Instrument::submitError(Session &session, int error, std::string detail)
{
    if (!session.m_closed) {
        session.m_lines.push_back({error, std::move(detail)});
    }
}

void Instrument::pump()
{
    if (m_pumping) {
        return;
    }
    m_pumping = true;
    while (!m_busy && !m_sessions.empty()) {
        std::shared_ptr<Session> chosen;
        for (std::size_t k = 1; k <= m_sessions.size(); ++k) {
            const std::size_t index = (m_turn + k) % m_sessions.size();
            const auto &candidate = m_sessions[index];
            if (candidate->working() && (!candidate->m_ready || candidate->m_ready())) {
                chosen = candidate;
                m_turn = index;
                break;
            }
        }
        if (!chosen) {
            break;
        }
        runOne(chosen);
    }
    m_pumping = false;
}

void Instrument::runOne(const std::shared_ptr<Session> &session)
{
    Session &s = *session;
    if (!s.m_inLine) {
        Session::Line line = std::move(s.m_lines.front());
        s.m_lines.pop_front();
        if (line.error != err::kNone) {
            s.status.error(line.error, line.text);
            if (s.m_lineDone) {
                s.m_lineDone();
            }
            return;
        }
        s.m_items = parseMessage(table(), line.text);
        s.m_next = 0;
        s.m_answers.clear();
        s.m_readings.clear();
        s.m_inLine = true;
        if (s.m_items.empty()) {
            finishLine(s);
            return;
        }
    }
    const Item &item = s.m_items[s.m_next++];
    if (item.error != err::kNone) {
        s.status.error(item.error, item.detail);
        finishLine(s);
        return;
    }
    m_busy = true;
    // The command is copied: a client closing meanwhile must not free it under us.
    const Command command = item.command;
    auto alive = m_alive;
    Continue next = [this, alive, session, query = command.query](bool ok) {
        if (!*alive) {
            return;
        }
        Session &done = *session;
        if (!ok && query) {
            // A query that failed still answers, with SCPI's "not a number", so that
            // a client waiting for its answer reads one beside the queued error.
            done.m_answers.push_back(kNotANumber);
        }
        if (!ok || done.m_closed) {
            done.m_next = done.m_items.size(); // a line stops at its first error
        }
        if (done.m_next >= done.m_items.size()) {
            finishLine(done);
        }
        m_busy = false;
        pump();
    };
    // The channel: a header's numeric suffix names one, else the selected one.
    std::size_t channel = s.m_selected;
    for (const std::optional<unsigned> &suffix : command.match.suffixes) {
        if (!suffix) {
            continue;
        }
        if (*suffix < 1 || *suffix > m_channels.size()) {
            s.status.error(err::kSuffixOutOfRange, command.header + ": channels are 1 to " +
                                                       std::to_string(m_channels.size()));
            return next(false);
        }
        channel = *suffix - 1;
    }
    Call call{*this, session, command, channel, std::move(next)};
    command.entry->handler(call);
}

void Instrument::finishLine(Session &session)
{
    session.m_inLine = false;
    session.m_items.clear();
    session.m_readings.clear();
    if (!session.m_answers.empty() && !session.m_closed) {
        std::string text;
        for (std::size_t i = 0; i < session.m_answers.size(); ++i) {
            text += (i ? ";" : "") + session.m_answers[i];
        }
        session.m_send(text + "\n");
    }
    session.m_answers.clear();
    if (session.m_lineDone && !session.m_closed) {
        session.m_lineDone();
    }
}

void Instrument::freshReading(const std::shared_ptr<Session> &session, std::size_t channel,
                              ReadingDone done)
{
    const auto cached = session->m_readings.find(channel);
    if (cached != session->m_readings.end()) {
        done(&cached->second);
        return;
    }
    m_link.readStatus(
        m_channels[channel].address, [this, session, channel, done](const SupplyLink::Result &r) {
            if (!r.reading) {
                session->status.error(errorNumber(r.fault),
                                      "address " + std::to_string(m_channels[channel].address) +
                                          ": " + r.detail);
                done(nullptr);
                return;
            }
            // The answer is the reading taken, even one that tripped a ceiling; the line
            // goes on with the reading after the trip.
            noteReading(channel, *r.reading,
                        [session, channel, done](const auto &taken, const auto &latest) {
                            session->m_readings[channel] = latest;
                            done(&taken);
                        });
        });
}

void Instrument::noteReading(std::size_t channel, const protocol::StatusReading &reading,
                             ReadingNoted then)
{
    Channel &ch = m_channels[channel];
    const auto trip = channelTrip(reading, ch.voltageCeiling, ch.currentCeiling, ch.powerCeiling);
    if (trip) {
        (trip->kind == supply::CeilingKind::Voltage   ? ch.voltageTripped
         : trip->kind == supply::CeilingKind::Current ? ch.currentTripped
                                                      : ch.powerTripped) = true;
    }
    const std::uint16_t questionable = std::uint16_t(
        (ch.voltageTripped ? ques::kVoltage : 0) |
        ((ch.currentTripped || (reading.outputOn && reading.mode == 0)) ? ques::kCurrent : 0) |
        (ch.powerTripped ? ques::kPower : 0));
    std::uint16_t operation = reading.outputOn ? oper::kOutputOn : 0;
    if (reading.outputOn) {
        operation |= reading.mode == 0   ? oper::kConstantCurrent
                     : reading.mode == 1 ? oper::kConstantVoltage
                                         : 0;
    }
    for (const auto &session : m_sessions) {
        session->status.questionable.event |= std::uint16_t(questionable & ~ch.questionable);
        session->status.operation.event |= std::uint16_t(operation & ~ch.operation);
    }
    ch.questionable = questionable;
    ch.operation = operation;

    if (!trip) {
        then(reading, reading);
        return;
    }
    broadcastError(trip->code,
                   trip->text + "; output switched off at address " + std::to_string(ch.address));
    auto alive = m_alive;
    m_link.setOutput(
        ch.address, false, [this, alive, channel, reading, then](const SupplyLink::Result &r) {
            if (!*alive) {
                return;
            }
            if (!r.reading) {
                broadcastError(errorNumber(r.fault),
                               "output at address " + std::to_string(m_channels[channel].address) +
                                   " not confirmed off after a trip: " + r.detail);
                then(reading, reading);
                return;
            }
            noteReading(channel, *r.reading, [reading, then](const auto &, const auto &latest) {
                then(reading, latest);
            });
        });
}

void Instrument::broadcastError(int code, const std::string &detail)
{
    for (const auto &session : m_sessions) {
        session->status.error(code, detail);
    }
}

void Instrument::resetChannels(const std::shared_ptr<Session> &session, std::size_t index, bool ok,
                               Continue next)
{
    if (index == m_channels.size()) {
        next(ok);
        return;
    }
    session->m_readings.erase(index);
    m_link.setOutput(m_channels[index].address, false,
                     [this, session, index, ok, next](const SupplyLink::Result &r) {
                         if (!r.reading) {
                             session->status.error(errorNumber(r.fault),
                                                   "output off at address " +
                                                       std::to_string(m_channels[index].address) +
                                                       " not confirmed: " + r.detail);
                             resetChannels(session, index + 1, false, next);
                             return;
                         }
                         noteReading(
                             index, *r.reading,
                             [this, session, index, ok, next](const auto &, const auto &latest) {
                                 session->m_readings[index] = latest;
                                 resetChannels(session, index + 1, ok, next);
                             });
                     });
}

void Instrument::selfTest(const std::shared_ptr<Session> &session, std::size_t index, bool failed,
                          Continue next)
{
    if (index == m_channels.size()) {
        session->m_answers.push_back(failed ? "1" : "0");
        next(true);
        return;
    }
    m_link.readStatus(m_channels[index].address, [this, session, index, failed,
                                                  next](const SupplyLink::Result &r) {
        if (!r.reading) {
            selfTest(session, index + 1, true, next);
            return;
        }
        noteReading(index, *r.reading,
                    [this, session, index, failed, next](const auto &, const auto &latest) {
                        session->m_readings[index] = latest;
                        selfTest(session, index + 1, failed, next);
                    });
    });
}

void Instrument::switchAllOff(std::function<void(std::vector<std::string>)> done)
{
    auto failures = std::make_shared<std::vector<std::string>>();
    auto step = std::make_shared<std::function<void(std::size_t)>>();
    *step = [this, failures, step, done](std::size_t index) {
        if (index == m_channels.size()) {
            auto finish = done;
            *step = nullptr;
            finish(*failures);
            return;
        }
        m_link.setOutput(m_channels[index].address, false,
                         [this, failures, step, index](const SupplyLink::Result &r) {
                             if (!r.reading) {
                                 failures->push_back("address " +
                                                     std::to_string(m_channels[index].address) +
                                                     ": " + r.detail);
                             }
                             auto again = *step;
                             again(index + 1);
                         });
    };
    auto first = *step;
    first(0);
}

} // namespace scpi
