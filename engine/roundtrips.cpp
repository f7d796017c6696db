#include "engine/roundtrips.h"

#include <algorithm>
#include <cmath>

namespace engine {

void RoundTripSummary::add(double ms)
{
    if (m_counts.empty()) {
        m_counts.assign(kBuckets, 0);
    }
    ++m_counts[bucket(ms)];
    m_min = m_count == 0 ? ms : std::min(m_min, ms);
    m_max = std::max(m_max, ms);
    ++m_count;
}

void RoundTripSummary::merge(const RoundTripSummary &other)
{
    if (other.m_count == 0) {
        return;
    }
    if (m_counts.empty()) {
        m_counts.assign(kBuckets, 0);
    }
    for (std::size_t i = 0; i < kBuckets; ++i) {
        m_counts[i] += other.m_counts[i];
    }
    m_min = m_count == 0 ? other.m_min : std::min(m_min, other.m_min);
    m_max = std::max(m_max, other.m_max);
    m_count += other.m_count;
}

double RoundTripSummary::quantile(double q) const
{
    if (m_count == 0) {
        return 0;
    }
    const long rank = std::max(1L, static_cast<long>(std::ceil(q * m_count)));
    long seen = 0;
    for (std::size_t i = 0; i < m_counts.size(); ++i) {
        seen += m_counts[i];
        if (seen >= rank) {
            return std::clamp(middle(i), m_min, m_max);
        }
    }
    return m_max;
}

std::size_t RoundTripSummary::bucket(double ms)
{
    if (ms <= kLowestMs) {
        return 0;
    }
    const auto i = static_cast<std::size_t>(std::log(ms / kLowestMs) / std::log(kStep)) + 1;
    return std::min(i, kBuckets - 1);
}

double RoundTripSummary::middle(std::size_t i)
{
    return i == 0 ? kLowestMs : kLowestMs * std::pow(kStep, static_cast<double>(i) - 0.5);
}

} // namespace engine
