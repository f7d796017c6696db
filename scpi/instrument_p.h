#pragma once

// What the parts of the instrument share, one file for each of its jobs: its
// clients, their turns and the dispatch of their commands (instrument.cpp), the
// commands of IEEE 488.2, SYSTem and STATus (commoncommands.cpp), those of the
// supplies (supplycommands.cpp), its channels' readings and writes (channels.cpp)
// and what each reading sets off (channeltrips.cpp).
#include "scpi/instrument.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace scpi {

// A quantity the supply sets: voltage in 10 mV counts, current in 1 mA counts.
struct Quantity {
    const char *unit;      // "V", "A"
    const char *milliUnit; // "MV", "MA"
    int decimals;
    int largest;
};
inline constexpr Quantity kVolts{"V", "MV", 2, protocol::kLargestVoltageCode};
inline constexpr Quantity kAmps{"A", "MA", 3, protocol::kLargestCurrentCode};
inline constexpr Quantity kWatts{"W", "MW", 2, kLargestPowerCode};

// An error a command queues instead of doing what it was asked.
struct Refusal {
    int code = err::kNone;
    std::string detail;
};

// Exactly `count` parameters, or the error that says otherwise.
inline Refusal parameterCount(const Command &command, std::size_t count)
{
    if (command.parameters.size() < count) {
        return {err::kMissingParameter, command.header};
    }
    if (command.parameters.size() > count) {
        return {err::kParameterNotAllowed, command.header};
    }
    return {};
}

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
    std::optional<int> lineCeiling(engine::CeilingKind kind) const
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

// The commands' handlers, which the command table names: IEEE 488.2's common
// commands, SYSTem and STATus (commoncommands.cpp)...
void identify(Call &c);
void reset(Call &c);
void clearStatus(Call &c);
void eventEnable(Call &c);
void eventEnableQuery(Call &c);
void eventStatusQuery(Call &c);
void serviceEnable(Call &c);
void serviceEnableQuery(Call &c);
void statusByteQuery(Call &c);
void operationComplete(Call &c);
void operationCompleteQuery(Call &c);
void wait(Call &c);
void selfTestQuery(Call &c);
void errorQuery(Call &c);
void errorCountQuery(Call &c);
void versionQuery(Call &c);
void questionableEventQuery(Call &c);
void questionableEnable(Call &c);
void questionableEnableQuery(Call &c);
void operationEventQuery(Call &c);
void operationEnable(Call &c);
void operationEnableQuery(Call &c);
void preset(Call &c);
void questionableConditionQuery(Call &c);
void operationConditionQuery(Call &c);
// ... and the supplies' set values, ceilings, output, measurements and
// INSTrument (supplycommands.cpp).
void voltage(Call &c);
void current(Call &c);
void voltageQuery(Call &c);
void currentQuery(Call &c);
void voltageCeiling(Call &c);
void currentCeiling(Call &c);
void powerCeiling(Call &c);
void voltageCeilingQuery(Call &c);
void currentCeilingQuery(Call &c);
void powerCeilingQuery(Call &c);
void output(Call &c);
void outputQuery(Call &c);
void outputModeQuery(Call &c);
void measureVoltageQuery(Call &c);
void measureCurrentQuery(Call &c);
void measurePowerQuery(Call &c);
void selectNumber(Call &c);
void selectNumberQuery(Call &c);
void select(Call &c);
void selectQuery(Call &c);

} // namespace scpi
