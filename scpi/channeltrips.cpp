#include "scpi/instrument.h"

#include "scpi/ceilingtrip.h"

#include <string>

namespace scpi {

void Instrument::noteReading(std::size_t channel, const protocol::StatusReading &reading,
                             ReadingNoted then)
{
    Channel &ch = m_channels[channel];
    const auto trip = channelTrip(reading, ch.voltageCeiling, ch.currentCeiling, ch.powerCeiling);
    if (trip) {
        (trip->kind == engine::CeilingKind::Voltage   ? ch.voltageTripped
         : trip->kind == engine::CeilingKind::Current ? ch.currentTripped
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

} // namespace scpi
