#include "scpi/instrument.h"

#include "numtext/numtext.h"
#include "protocol/reply.h"

#include <cmath>
#include <utility>

namespace scpi {

namespace {

enum Id {
    Idn,
    Rst,
    Cls,
    Ese,
    EseQ,
    EsrQ,
    Sre,
    SreQ,
    StbQ,
    Opc,
    OpcQ,
    Wai,
    TstQ,
    ErrorQ,
    ErrorCountQ,
    VersionQ,
    QuesEventQ,
    QuesConditionQ,
    QuesEnable,
    QuesEnableQ,
    OperEventQ,
    OperConditionQ,
    OperEnable,
    OperEnableQ,
    Preset,
    VoltageCeiling,
    VoltageCeilingQ,
    CurrentCeiling,
    CurrentCeilingQ,
    Voltage,
    VoltageQ,
    Current,
    CurrentQ,
    OutputModeQ,
    Output,
    OutputQ,
    MeasureVoltageQ,
    MeasureCurrentQ,
    MeasurePowerQ,
    SelectNumber,
    SelectNumberQ,
    Select,
    SelectQ,
};

// The SCPI version this instrument follows.
const char *const kScpiVersion = "1999.0";

// count / 10^decimals with exactly `decimals` digits after the point ("12.34").
std::string fixedPoint(long long count, int decimals)
{
    long long scale = 1;
    for (int i = 0; i < decimals; ++i) {
        scale *= 10;
    }
    const bool negative = count < 0;
    const unsigned long long magnitude =
        negative ? 0ULL - static_cast<unsigned long long>(count) : count;
    std::string fraction = std::to_string(magnitude % scale);
    fraction.insert(0, std::size_t(decimals) - fraction.size(), '0');
    return (negative ? "-" : "") + std::to_string(magnitude / scale) +
           (decimals > 0 ? "." + fraction : "");
}

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

struct Failure {
    int code = err::kNone;
    std::string detail;
};

// Exactly `count` parameters, or the error that says otherwise.
Failure parameterCount(const Command &command, std::size_t count)
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
                                          Failure &failure)
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
    if (!std::isfinite(value) || value < 0 ||
        value * std::pow(10.0, q.decimals) > q.largest + 1.0) {
        failure = {err::kDataOutOfRange, range};
        return std::nullopt;
    }
    const double code = numtext::toCount(value, q.decimals);
    if (code > q.largest) {
        failure = {err::kDataOutOfRange, range};
        return std::nullopt;
    }
    return static_cast<std::uint16_t>(code);
}

// ON, OFF, 1 or 0.
std::optional<bool> booleanValue(const Parameter &p, Failure &failure)
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
std::optional<unsigned> registerValue(const Parameter &p, unsigned largest, Failure &failure)
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
int limitQuery(const Command &command, const Quantity &q, int def, Failure &failure)
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

const CommandTable &Instrument::table()
{
    static const CommandTable commands({
        {"*IDN?", Idn},
        {"*RST", Rst},
        {"*CLS", Cls},
        {"*ESE", Ese},
        {"*ESE?", EseQ},
        {"*ESR?", EsrQ},
        {"*SRE", Sre},
        {"*SRE?", SreQ},
        {"*STB?", StbQ},
        {"*OPC", Opc},
        {"*OPC?", OpcQ},
        {"*WAI", Wai},
        {"*TST?", TstQ},
        {"SYSTem:ERRor[:NEXT]?", ErrorQ},
        {"SYSTem:ERRor:COUNt?", ErrorCountQ},
        {"SYSTem:VERSion?", VersionQ},
        {"STATus:QUEStionable[:EVENt]?", QuesEventQ},
        {"STATus:QUEStionable:CONDition?", QuesConditionQ},
        {"STATus:QUEStionable:ENABle", QuesEnable},
        {"STATus:QUEStionable:ENABle?", QuesEnableQ},
        {"STATus:OPERation[:EVENt]?", OperEventQ},
        {"STATus:OPERation:CONDition?", OperConditionQ},
        {"STATus:OPERation:ENABle", OperEnable},
        {"STATus:OPERation:ENABle?", OperEnableQ},
        {"STATus:PRESet", Preset},
        {"[SOURce#]:VOLTage:PROTection[:LEVel]", VoltageCeiling},
        {"[SOURce#]:VOLTage:PROTection[:LEVel]?", VoltageCeilingQ},
        {"[SOURce#]:CURRent:PROTection[:LEVel]", CurrentCeiling},
        {"[SOURce#]:CURRent:PROTection[:LEVel]?", CurrentCeilingQ},
        {"[SOURce#]:VOLTage[:LEVel][:IMMediate][:AMPLitude]", Voltage},
        {"[SOURce#]:VOLTage[:LEVel][:IMMediate][:AMPLitude]?", VoltageQ},
        {"[SOURce#]:CURRent[:LEVel][:IMMediate][:AMPLitude]", Current},
        {"[SOURce#]:CURRent[:LEVel][:IMMediate][:AMPLitude]?", CurrentQ},
        {"OUTPut#:MODE?", OutputModeQ},
        {"OUTPut#[:STATe]", Output},
        {"OUTPut#[:STATe]?", OutputQ},
        {"MEASure#[:SCALar]:VOLTage[:DC]?", MeasureVoltageQ},
        {"MEASure#[:SCALar]:CURRent[:DC]?", MeasureCurrentQ},
        {"MEASure#[:SCALar]:POWer[:DC]?", MeasurePowerQ},
        {"INSTrument:NSELect", SelectNumber},
        {"INSTrument:NSELect?", SelectNumberQ},
        {"INSTrument[:SELect]", Select},
        {"INSTrument[:SELect]?", SelectQ},
    });
    return commands;
}

Instrument::Instrument(SupplyLink &link, InstrumentInfo info)
    : m_link(link), m_info(std::move(info))
{
    for (std::uint8_t address : m_info.addresses) {
        Channel channel;
        channel.address = address;
        channel.voltageCeiling = kVolts.largest;
        channel.currentCeiling = kAmps.largest;
        m_channels.push_back(channel);
    }
}

Instrument::~Instrument()
{
    *m_alive = false;
}

std::shared_ptr<Session> Instrument::open(Session::Send send, std::function<bool()> ready)
{
    auto session = std::make_shared<Session>();
    session->m_send = std::move(send);
    session->m_ready = std::move(ready);
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
    execute(session, command, [this, alive, session](bool ok) {
        if (!*alive) {
            return;
        }
        Session &done = *session;
        if (!ok || done.m_closed) {
            done.m_next = done.m_items.size(); // a line stops at its first error
        }
        if (done.m_next >= done.m_items.size()) {
            finishLine(done);
        }
        m_busy = false;
        pump();
    });
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
}

void Instrument::execute(const std::shared_ptr<Session> &session, const Command &command,
                         Continue next)
{
    Session &s = *session;
    Status &st = s.status;
    Failure failure;
    auto fail = [&](const Failure &f) {
        st.error(f.code, f.detail);
        next(false);
    };
    auto answer = [&](std::string text) {
        s.m_answers.push_back(std::move(text));
        next(true);
    };
    // Commands that take no parameter refuse one.
    auto noParameters = [&] {
        failure = parameterCount(command, 0);
        return failure.code == err::kNone;
    };

    // The channel: a header's numeric suffix names one, else the selected one.
    std::size_t channel = s.m_selected;
    for (const std::optional<unsigned> &suffix : command.match.suffixes) {
        if (suffix) {
            if (*suffix < 1 || *suffix > m_channels.size()) {
                return fail({err::kSuffixOutOfRange, command.header + ": channels are 1 to " +
                                                         std::to_string(m_channels.size())});
            }
            channel = *suffix - 1;
        }
    }

    switch (command.id) {
    case Idn: {
        if (!noParameters()) {
            return fail(failure);
        }
        std::string port = m_info.portName;
        for (char &c : port) {
            if (c == ',' || c == ';' || static_cast<unsigned char>(c) < 0x20) {
                c = '_';
            }
        }
        return answer("vantel,Modbus RTU gateway," + port + "-" +
                      std::to_string(m_channels[s.m_selected].address) + "," + m_info.version);
    }
    case Cls:
        if (!noParameters()) {
            return fail(failure);
        }
        st.clear();
        return next(true);
    case Ese:
    case Sre:
    case QuesEnable:
    case OperEnable: {
        failure = parameterCount(command, 1);
        if (failure.code != err::kNone) {
            return fail(failure);
        }
        const bool byte = command.id == Ese || command.id == Sre;
        const auto value = registerValue(command.parameters[0], byte ? 255 : 65535, failure);
        if (!value) {
            return fail(failure);
        }
        if (command.id == Ese) {
            st.ese = std::uint8_t(*value);
        } else if (command.id == Sre) {
            st.sre = std::uint8_t(*value & ~stb::kMasterSummary);
        } else if (command.id == QuesEnable) {
            st.questionable.enable = std::uint16_t(*value);
        } else {
            st.operation.enable = std::uint16_t(*value);
        }
        return next(true);
    }
    case EseQ:
    case SreQ:
    case EsrQ:
    case StbQ:
    case QuesEventQ:
    case QuesEnableQ:
    case OperEventQ:
    case OperEnableQ:
    case ErrorQ:
    case ErrorCountQ:
    case VersionQ:
    case OpcQ:
    case SelectNumberQ:
    case SelectQ: {
        if (!noParameters()) {
            return fail(failure);
        }
        switch (command.id) {
        case EseQ:
            return answer(std::to_string(st.ese));
        case SreQ:
            return answer(std::to_string(st.sre));
        case EsrQ: {
            const unsigned value = st.esr;
            st.esr = 0; // reading clears it
            return answer(std::to_string(value));
        }
        case StbQ:
            return answer(std::to_string(st.statusByte()));
        case QuesEventQ: {
            const unsigned value = st.questionable.event;
            st.questionable.event = 0;
            return answer(std::to_string(value));
        }
        case OperEventQ: {
            const unsigned value = st.operation.event;
            st.operation.event = 0;
            return answer(std::to_string(value));
        }
        case QuesEnableQ:
            return answer(std::to_string(st.questionable.enable));
        case OperEnableQ:
            return answer(std::to_string(st.operation.enable));
        case ErrorQ:
            return answer(st.errors.pop());
        case ErrorCountQ:
            return answer(std::to_string(st.errors.size()));
        case VersionQ:
            return answer(kScpiVersion);
        // Every write before it was confirmed before this command began.
        case OpcQ:
            return answer("1");
        case SelectNumberQ:
            return answer(std::to_string(s.m_selected + 1));
        default:
            return answer("CH" + std::to_string(s.m_selected + 1));
        }
    }
    case Opc:
    case Wai:
    case Preset:
        if (!noParameters()) {
            return fail(failure);
        }
        if (command.id == Opc) {
            st.esr |= esr::kOperationComplete;
        } else if (command.id == Preset) {
            st.preset();
        }
        return next(true);
    case SelectNumber:
    case Select: {
        failure = parameterCount(command, 1);
        if (failure.code != err::kNone) {
            return fail(failure);
        }
        const Parameter &p = command.parameters[0];
        double number = -1;
        if (command.id == SelectNumber && p.kind == Parameter::Kind::Number && p.text.empty()) {
            number = p.number;
        } else if (command.id == Select && p.kind == Parameter::Kind::Keyword &&
                   p.text.size() > 2 && p.text.compare(0, 2, "CH") == 0 &&
                   p.text.find_first_not_of("0123456789", 2) == std::string::npos &&
                   p.text.size() < 8) {
            number = std::stod(p.text.substr(2));
        } else {
            return fail({command.id == Select ? err::kIllegalParameterValue : err::kDataType,
                         command.id == Select ? "CH1 to CH" + std::to_string(m_channels.size())
                                              : "a channel number belongs here"});
        }
        if (number != std::floor(number) || number < 1 || number > double(m_channels.size())) {
            return fail(
                {err::kDataOutOfRange, "channels are 1 to " + std::to_string(m_channels.size())});
        }
        s.m_selected = std::size_t(number) - 1;
        return next(true);
    }
    case Rst:
        if (!noParameters()) {
            return fail(failure);
        }
        s.m_selected = 0;
        return resetChannels(session, 0, true, std::move(next));
    case TstQ:
        if (!noParameters()) {
            return fail(failure);
        }
        {
            // Every channel is asked; 0 when all of them answer.
            auto remaining = std::make_shared<std::size_t>(0);
            auto failed = std::make_shared<bool>(false);
            auto step = std::make_shared<std::function<void()>>();
            *step = [this, session, remaining, failed, step, next] {
                if (*remaining == m_channels.size()) {
                    session->m_answers.push_back(*failed ? "1" : "0");
                    *step = nullptr; // breaks the cycle
                    next(true);
                    return;
                }
                const std::size_t c = (*remaining)++;
                m_link.readStatus(m_channels[c].address, [this, session, c, failed,
                                                          step](const SupplyLink::Result &r) {
                    if (!r.reading) {
                        *failed = true;
                        auto again = *step;
                        again();
                        return;
                    }
                    noteReading(c, *r.reading, [session, c, step](const auto &latest) {
                        session->m_readings[c] = latest;
                        auto again = *step;
                        again();
                    });
                });
            };
            auto first = *step;
            return first();
        }
    default:
        return executeSupply(session, command, channel, std::move(next));
    }
}

void Instrument::executeSupply(const std::shared_ptr<Session> &session, const Command &command,
                               std::size_t channel, Continue next)
{
    Session &s = *session;
    Status &st = s.status;
    Channel &ch = m_channels[channel];
    Failure failure;
    auto fail = [&](const Failure &f) {
        st.error(f.code, f.detail);
        next(false);
    };
    // A query that reads the supply: a reading no older than the line, then `text`.
    auto answerFromReading = [&](std::function<std::string(const protocol::StatusReading &)> text) {
        if (!command.parameters.empty()) {
            return fail({err::kParameterNotAllowed, command.header});
        }
        freshReading(session, channel,
                     [session, next, text](const protocol::StatusReading *reading) {
                         if (!reading) {
                             next(false);
                             return;
                         }
                         session->m_answers.push_back(text(*reading));
                         next(true);
                     });
    };
    // A confirmed write whose read-back becomes the line's reading.
    auto written = [this, session, channel, next](const char *what) {
        return [this, session, channel, next, what](const SupplyLink::Result &r) {
            if (!r.reading) {
                session->status.error(err::kHardware,
                                      std::string(what) + " not confirmed: " + r.error);
                next(false);
                return;
            }
            noteReading(channel, *r.reading, [session, channel, next](const auto &latest) {
                session->m_readings[channel] = latest;
                next(true);
            });
        };
    };

    switch (command.id) {
    case Voltage:
    case Current:
    case VoltageCeiling:
    case CurrentCeiling: {
        failure = parameterCount(command, 1);
        if (failure.code != err::kNone) {
            return fail(failure);
        }
        const bool volts = command.id == Voltage || command.id == VoltageCeiling;
        const bool ceiling = command.id == VoltageCeiling || command.id == CurrentCeiling;
        const Quantity &q = volts ? kVolts : kAmps;
        const auto code = quantityCode(command.parameters[0], q, ceiling ? q.largest : 0, failure);
        if (!code) {
            return fail(failure);
        }
        if (ceiling) {
            (volts ? ch.voltageCeiling : ch.currentCeiling) = *code;
            (volts ? ch.voltageTripped : ch.currentTripped) = false;
            return next(true);
        }
        const std::uint16_t limit = volts ? ch.voltageCeiling : ch.currentCeiling;
        if (*code > limit) {
            return fail({err::kSettingsConflict, fixedPoint(*code, q.decimals) + " " + q.unit +
                                                     " is above the ceiling " +
                                                     fixedPoint(limit, q.decimals) + " " + q.unit});
        }
        s.m_readings.erase(channel);
        if (volts) {
            m_link.setVoltage(ch.address, *code, written("voltage"));
        } else {
            m_link.setCurrent(ch.address, *code, written("current"));
        }
        return;
    }
    case VoltageCeilingQ:
    case CurrentCeilingQ:
    case VoltageQ:
    case CurrentQ: {
        const bool volts = command.id == VoltageCeilingQ || command.id == VoltageQ;
        const bool ceiling = command.id == VoltageCeilingQ || command.id == CurrentCeilingQ;
        const Quantity &q = volts ? kVolts : kAmps;
        const int limit = limitQuery(command, q, ceiling ? q.largest : 0, failure);
        if (limit == -1) {
            return fail(failure);
        }
        if (limit >= 0) {
            s.m_answers.push_back(fixedPoint(limit, q.decimals));
            return next(true);
        }
        if (ceiling) {
            s.m_answers.push_back(
                fixedPoint(volts ? ch.voltageCeiling : ch.currentCeiling, q.decimals));
            return next(true);
        }
        return answerFromReading([volts](const protocol::StatusReading &r) {
            return volts ? fixedPoint(r.setVoltage, 2) : fixedPoint(r.setCurrent, 3);
        });
    }
    case Output: {
        failure = parameterCount(command, 1);
        if (failure.code != err::kNone) {
            return fail(failure);
        }
        const auto on = booleanValue(command.parameters[0], failure);
        if (!on) {
            return fail(failure);
        }
        s.m_readings.erase(channel);
        if (*on) {
            // Switching on again is the acknowledgement of a trip.
            ch.voltageTripped = false;
            ch.currentTripped = false;
        }
        m_link.setOutput(ch.address, *on, written(*on ? "output on" : "output off"));
        return;
    }
    case OutputQ:
        return answerFromReading(
            [](const protocol::StatusReading &r) { return std::string(r.outputOn ? "1" : "0"); });
    case OutputModeQ:
        return answerFromReading([](const protocol::StatusReading &r) {
            const char *name = protocol::modeName(r.mode);
            return name ? std::string(name) : std::to_string(r.mode);
        });
    case MeasureVoltageQ:
        return answerFromReading(
            [](const protocol::StatusReading &r) { return fixedPoint(r.actualVoltage, 2); });
    case MeasureCurrentQ:
        return answerFromReading(
            [](const protocol::StatusReading &r) { return fixedPoint(r.actualCurrent, 3); });
    case MeasurePowerQ:
        // 10 mV counts times 1 mA counts: 10 µW.
        return answerFromReading([](const protocol::StatusReading &r) {
            return shortestPoint(static_cast<long long>(r.actualVoltage) * r.actualCurrent, 5);
        });
    case QuesConditionQ:
    case OperConditionQ:
        return answerFromReading([this, channel, id = command.id](const protocol::StatusReading &) {
            const Channel &c = m_channels[channel];
            return std::to_string(id == QuesConditionQ ? c.questionable : c.operation);
        });
    default:
        return fail({err::kUndefinedHeader, command.header});
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
    m_link.readStatus(m_channels[channel].address, [this, session, channel,
                                                    done](const SupplyLink::Result &r) {
        if (!r.reading) {
            session->status.error(err::kHardware, "address " +
                                                      std::to_string(m_channels[channel].address) +
                                                      ": " + r.error);
            done(nullptr);
            return;
        }
        noteReading(channel, *r.reading, [session, channel, done](const auto &latest) {
            session->m_readings[channel] = latest;
            done(&session->m_readings[channel]);
        });
    });
}

void Instrument::noteReading(std::size_t channel, const protocol::StatusReading &reading,
                             std::function<void(const protocol::StatusReading &)> then)
{
    Channel &ch = m_channels[channel];
    std::string trip;
    int tripCode = 0;
    if (reading.outputOn && reading.actualVoltage > ch.voltageCeiling) {
        ch.voltageTripped = true;
        tripCode = kVoltageTripped;
        trip = "Voltage protection tripped;" + fixedPoint(reading.actualVoltage, 2) +
               " V above the ceiling " + fixedPoint(ch.voltageCeiling, 2) + " V";
    } else if (reading.outputOn && reading.actualCurrent > ch.currentCeiling) {
        ch.currentTripped = true;
        tripCode = kCurrentTripped;
        trip = "Current protection tripped;" + fixedPoint(reading.actualCurrent, 3) +
               " A above the ceiling " + fixedPoint(ch.currentCeiling, 3) + " A";
    }

    const std::uint16_t questionable = std::uint16_t(
        (ch.voltageTripped ? ques::kVoltage : 0) |
        ((ch.currentTripped || (reading.outputOn && reading.mode == 0)) ? ques::kCurrent : 0));
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

    if (tripCode == 0) {
        then(reading);
        return;
    }
    broadcastError(tripCode,
                   trip + "; output switched off at address " + std::to_string(ch.address));
    auto alive = m_alive;
    m_link.setOutput(
        ch.address, false, [this, alive, channel, reading, then](const SupplyLink::Result &r) {
            if (!*alive) {
                return;
            }
            if (!r.reading) {
                broadcastError(err::kHardware, "output at address " +
                                                   std::to_string(m_channels[channel].address) +
                                                   " not confirmed off after a trip: " + r.error);
                then(reading);
                return;
            }
            noteReading(channel, *r.reading, then);
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
                             session->status.error(err::kHardware,
                                                   "output off at address " +
                                                       std::to_string(m_channels[index].address) +
                                                       " not confirmed: " + r.error);
                             resetChannels(session, index + 1, false, next);
                             return;
                         }
                         noteReading(index, *r.reading,
                                     [this, session, index, ok, next](const auto &latest) {
                                         session->m_readings[index] = latest;
                                         resetChannels(session, index + 1, ok, next);
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
                                                     ": " + r.error);
                             }
                             auto again = *step;
                             again(index + 1);
                         });
    };
    auto first = *step;
    first(0);
}

} // namespace scpi
