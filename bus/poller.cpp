#include "bus/poller.h"

#include <algorithm>

namespace bus {

Poller::Poller(engine::SessionLine &line, QObject *parent)
    : QObject(parent),
      m_session(
          line, engine::steadyClock(), engine::makeQtSessionTimer(),
          engine::SessionSettings{kShortestRound, {}, records::kWriteAttempts, 1, kSilentEvery - 1})
{
}

// The session goes with it: requests on the line end uncalled.
Poller::~Poller() = default;

void Poller::setAddresses(const std::vector<std::uint8_t> &addresses)
{
    m_addresses = addresses;
    if (m_running) {
        m_session.poll(m_caller, m_addresses,
                       [this](const engine::LineAnswer &answer) { taken(answer); });
    }
}

void Poller::setShortestRound(milliseconds shortest)
{
    engine::SessionSettings settings = m_session.settings();
    settings.roundInterval = shortest;
    m_session.setSettings(settings);
}

void Poller::start()
{
    if (m_running) {
        return;
    }
    m_running = true;
    setAddresses(m_addresses);
}

void Poller::stop()
{
    m_running = false;
    m_session.poll(m_caller, {}, {});
}

void Poller::write(std::uint8_t address, records::Target target, std::uint16_t value,
                   WriteDone done)
{
    engine::WriteWatch watch;
    watch.readBack = [this](const engine::LineAnswer &answer) { taken(answer); };
    watch.done = [this, done = std::move(done)](const engine::WriteOutcome &outcome) {
        const records::WriteResult result = ended(outcome);
        if (done) {
            done(result);
        }
        tellIfDone();
    };
    m_session.write(m_caller, {records::writeRequest(address, target, value)},
                    records::confirmsWrite(target, value), std::move(watch));
}

int Poller::allOutputsOff(std::function<void(const OffResults &)> done)
{
    const std::vector<std::uint8_t> addresses = m_addresses;
    m_switchingOff = true;
    m_dropped = 0;
    // The writes it drops end inside this call, before its first switch-off goes out.
    m_session.allOff(
        m_caller, addresses,
        [this, addresses, done = std::move(done)](const engine::AllOffOutcome &outcome) {
            OffResults results;
            for (std::uint8_t address : addresses) {
                const auto failed =
                    std::find_if(outcome.failed.begin(), outcome.failed.end(),
                                 [address](const auto &entry) { return entry.first == address; });
                records::WriteResult result;
                if (failed != outcome.failed.end()) {
                    result = records::writeResultOf(failed->second);
                } else {
                    result.confirmed = true;
                    result.sent = true;
                }
                results.emplace_back(address, result);
            }
            if (done) {
                done(results);
            }
            tellIfDone();
        },
        [this](const engine::LineAnswer &answer) { taken(answer); });
    m_switchingOff = false;
    return m_dropped;
}

records::WriteResult Poller::ended(const engine::WriteOutcome &outcome)
{
    records::WriteResult result = records::writeResultOf(outcome);
    if (m_switchingOff && outcome.failure.error == engine::Error::Interrupted) {
        if (outcome.sent) {
            result.problem = tr("stopped by “All outputs off”");
        } else {
            result.problem = tr("dropped by “All outputs off”");
            ++m_dropped;
        }
    }
    return result;
}

void Poller::taken(const engine::LineAnswer &answer)
{
    if (answer.failure.error == engine::Error::Interrupted) {
        return; // nothing was read
    }
    records::Reading reading;
    reading.failure = answer.failure;
    reading.bytes = answer.bytes;
    reading.undecoded = answer.undecoded;
    // A request that never went out (the port refused it) counts from now.
    reading.sentTime = answer.wentOut() ? answer.sentTime : records::RowMaker::Clock::now();
    reading.row = m_rows.make(answer.address, reading.sentTime, answer.reading, answer.failure);
    emit readingTaken(reading);
}

void Poller::tellIfDone()
{
    if (!writing()) {
        emit writesDone();
    }
}

} // namespace bus
