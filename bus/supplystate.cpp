#include "bus/supplystate.h"

namespace bus {

void SupplyState::take(const records::Reading &reading, std::int64_t nowMs)
{
    m_ampHours = reading.row.ampHours;
    m_wattHours = reading.row.wattHours;
    if (reading.good()) {
        m_last = reading.row.reading;
        m_lastGoodMs = nowMs;
        ++m_readings;
    } else {
        m_lastError = reading.row.failure.word();
    }
}

} // namespace bus
