#include "records/energy.h"

namespace records {

void EnergyCounter::add(double seconds, const protocol::StatusReading &reading)
{
    const Point now{seconds, reading.amps(), reading.watts(), reading.outputOn};
    if (m_last && m_last->outputOn && now.outputOn) {
        const double step = now.seconds - m_last->seconds;
        if (step > 0 && step <= kLongestJoinSeconds) {
            m_ampSeconds += step * (m_last->amps + now.amps) / 2;
            m_wattSeconds += step * (m_last->watts + now.watts) / 2;
        }
    }
    m_last = now;
}

void EnergyCounter::reset()
{
    m_last.reset();
    m_ampSeconds = 0;
    m_wattSeconds = 0;
}

} // namespace records
