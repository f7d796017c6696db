#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace engine {

// Round trips counted in buckets 0.2 % wide from 10 µs to 100 s: 32 kB however
// long the program runs, with quantiles good to a tenth of a percent.
class RoundTripSummary {
public:
    void add(double ms);
    // Adds every round trip of `other` (a link's account over several engines).
    void merge(const RoundTripSummary &other);
    long count() const { return m_count; }
    double max() const { return m_max; }
    double quantile(double q) const;

private:
    static constexpr double kLowestMs = 0.01;
    static constexpr double kStep = 1.002;
    static constexpr std::size_t kBuckets = 8070; // log(1e7) / log(1.002), rounded up

    static std::size_t bucket(double ms);
    static double middle(std::size_t i);

    std::vector<std::uint32_t> m_counts;
    long m_count = 0;
    double m_min = 0;
    double m_max = 0;
};

} // namespace engine
