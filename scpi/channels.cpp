#include "scpi/instrument_p.h"

#include <memory>
#include <string>
#include <vector>

namespace scpi {

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
    std::vector<std::uint8_t> addresses;
    for (const Channel &channel : m_channels) {
        addresses.push_back(channel.address);
    }
    auto alive = m_alive;
    m_link.allOff(std::move(addresses),
                  [alive, done = std::move(done)](
                      const std::vector<std::pair<std::uint8_t, std::string>> &failed) {
                      if (!*alive) {
                          return;
                      }
                      std::vector<std::string> failures;
                      for (const auto &[address, why] : failed) {
                          failures.push_back("address " + std::to_string(address) + ": " + why);
                      }
                      done(std::move(failures));
                  });
}

} // namespace scpi
