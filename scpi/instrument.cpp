#include "scpi/instrument.h"

#include "engine/failuretable.h"
#include "scpi/instrument_p.h"

#include <utility>

namespace scpi {

namespace {

// SCPI's "not a number", the answer of a query that could not be answered.
const char *const kNotANumber = "9.91E37";

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
    using engine::Error;
    // A fault on the line speaks for every error the instrument does not tell apart.
    const Error error = fault == LinkFault::None           ? Error::None
                        : fault == LinkFault::Gone         ? Error::Port
                        : fault == LinkFault::Refused      ? Error::Refused
                        : fault == LinkFault::NotConfirmed ? Error::NotConfirmed
                                                           : Error::Timeout;
    return engine::facesOf(error).scpiError;
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

} // namespace scpi
