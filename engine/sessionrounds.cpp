// The pace of the session's polling rounds and what it tells of them: a round
// roundInterval after the one before it began, or on fixed slots, where a late
// round gives up the slots it missed.

#include "engine/session.h"
#include "engine/sessionjobs.h"

#include <algorithm>
#include <utility>

namespace engine {

namespace {

std::chrono::milliseconds roundedUp(std::chrono::nanoseconds wait)
{
    return std::chrono::ceil<std::chrono::milliseconds>(
        std::max(wait, std::chrono::nanoseconds(0)));
}

} // namespace

void Session::watchRounds(Caller caller, std::function<void(const RoundNotice &)> notice)
{
    if (notice) {
        m_roundWatchers[caller] = std::move(notice);
    } else {
        m_roundWatchers.erase(caller);
    }
}

std::chrono::milliseconds Session::untilNextRound() const
{
    if (m_settings.fixedSlots) {
        return roundedUp(m_slots.untilDue(m_clock.now()));
    }
    return roundedUp(m_settings.roundInterval - (m_clock.now() - m_roundStart));
}

bool Session::nextRoundDue() const
{
    if (m_settings.fixedSlots) {
        return !m_slotsStarted || m_slots.untilDue(m_clock.now()).count() == 0;
    }
    return m_clock.now() - m_roundStart >= m_settings.roundInterval;
}

void Session::roundBegins()
{
    m_roundStart = m_clock.now();
    RoundNotice notice;
    notice.began = m_roundStart;
    if (m_settings.fixedSlots) {
        if (!m_slotsStarted) {
            // Slot 0 is here until the first request is known to have gone out.
            m_slotsStarted = true;
            m_slotsAligned = false;
            m_slots.setInterval(m_settings.roundInterval);
            m_slots.start(m_roundStart);
        }
        notice.slot = m_slots.take(m_roundStart);
    }
    tellRound(notice);
}

void Session::tellRound(const RoundNotice &notice)
{
    // Only callers that poll hear of rounds; a watcher may stop polling, or
    // start something, as it is told.
    std::vector<std::function<void(const RoundNotice &)>> watchers;
    for (const auto &[caller, watch] : m_roundWatchers) {
        if (m_pollers.count(caller) > 0) {
            watchers.push_back(watch);
        }
    }
    RoundNotice told = notice;
    told.at = m_clock.now();
    const std::shared_ptr<bool> alive = m_alive;
    for (const auto &watch : watchers) {
        watch(told);
        if (!*alive) {
            return;
        }
    }
}

void Session::alignSlots(const Step &step, const LineAnswer &answer)
{
    // The first round's first request may wait for a quiet line: the slots
    // count from when it went out, so that rows keep to them.
    if (!m_settings.fixedSlots || m_slotsAligned || !step.poll ||
        answer.failure.error == Error::Interrupted) {
        return;
    }
    m_slotsAligned = true;
    const EngineClock::time_point now = m_clock.now();
    const EngineClock::time_point origin = answer.wentOut() ? std::min(now, answer.sentTime) : now;
    m_slots.align(origin);
    m_roundStart = origin;
}

} // namespace engine
