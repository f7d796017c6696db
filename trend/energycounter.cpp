#include "trend/energycounter.h"

namespace trend {

void EnergyCounter::add(const Sample &sample)
{
    if (m_last && !sample.segmentStart && m_last->outputOn && sample.outputOn) {
        const double seconds = double(sample.time() - m_last->time()) / 1000.0;
        m_ampSeconds += (m_last->amps() + sample.amps()) / 2 * seconds;
        m_wattSeconds += (m_last->watts() + sample.watts()) / 2 * seconds;
    }
    m_last = sample;
}

void EnergyCounter::reset()
{
    m_last.reset();
    m_ampSeconds = 0;
    m_wattSeconds = 0;
}

} // namespace trend
