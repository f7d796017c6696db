#include "engine/roundslots.h"

#include <algorithm>

namespace engine {

void RoundSlots::setInterval(std::chrono::nanoseconds interval)
{
    m_interval = std::max(interval, std::chrono::nanoseconds(1));
}

void RoundSlots::start(time_point origin)
{
    m_origin = origin;
    m_next = 0;
}

std::chrono::nanoseconds RoundSlots::untilDue(time_point now) const
{
    return std::max(std::chrono::nanoseconds(0), m_origin + m_next * m_interval - now);
}

RoundSlots::Taken RoundSlots::take(time_point now)
{
    Taken taken;
    const std::int64_t latest = std::max<std::int64_t>(0, (now - m_origin) / m_interval);
    if (latest > m_next) {
        taken.givenUp = latest - m_next;
        m_next = latest;
    }
    taken.slot = m_next;
    taken.lag = now - m_origin - m_next * m_interval;
    ++m_next;
    return taken;
}

} // namespace engine
