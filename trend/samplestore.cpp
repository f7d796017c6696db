#include "trend/samplestore.h"

#include <algorithm>

namespace trend {

void SampleStore::append(std::int64_t ms, const protocol::StatusReading &reading)
{
    if (!m_samples.empty()) {
        ms = std::max(ms, back().time());
    }
    Sample sample{};
    sample.ms = static_cast<std::uint64_t>(std::max<std::int64_t>(ms, 0));
    sample.mode = reading.mode;
    sample.outputOn = reading.outputOn;
    sample.segmentStart = m_segmentEnded || m_samples.empty() || ms - back().time() > kMaxStepMs;
    sample.setVoltage = reading.setVoltage;
    sample.setCurrent = reading.setCurrent;
    sample.voltage = reading.actualVoltage;
    sample.current = reading.actualCurrent;
    m_segmentEnded = false;

    while (!m_samples.empty() &&
           (m_samples.size() >= m_capacity || front().time() < sample.time() - kKeepMs)) {
        m_samples.pop_front();
    }
    m_samples.push_back(sample);
    // What is left of a segment whose start was dropped begins a segment of its own.
    m_samples.front().segmentStart = true;
}

std::size_t SampleStore::lowerBound(std::int64_t ms) const
{
    const auto it = std::partition_point(m_samples.begin(), m_samples.end(),
                                         [ms](const Sample &s) { return s.time() < ms; });
    return static_cast<std::size_t>(it - m_samples.begin());
}

} // namespace trend
