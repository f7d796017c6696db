#include "trend/energycounter.h"

namespace trend {

void EnergyCounter::add(const Sample &sample)
{
    protocol::StatusReading reading;
    reading.actualVoltage = sample.voltage;
    reading.actualCurrent = sample.current;
    reading.outputOn = sample.outputOn != 0;
    m_counter.add(static_cast<double>(sample.time()) / 1000.0, reading);
}

} // namespace trend
