#pragma once

#include "protocol/reading.h"

#include <cstddef>
#include <cstdint>
#include <deque>

namespace trend {

// One status reading as the supply sent it, stamped with a monotonic time. The
// values stay in the supply's own counts, so that a day of polling stays small
// (16 bytes a sample) and every figure written out is exact.
struct Sample {
    std::uint64_t ms : 48;          // monotonic milliseconds since the history began
    std::uint64_t mode : 8;         // regulation mode byte as sent (1 CV, 0 CC, 2 OC)
    std::uint64_t outputOn : 1;     // the output state word's low byte was 1
    std::uint64_t segmentStart : 1; // not joined to the sample before it: a gap lies between
    std::uint16_t setVoltage;       // 10 mV counts
    std::uint16_t setCurrent;       // 1 mA counts
    std::uint16_t voltage;          // 10 mV counts
    std::uint16_t current;          // 1 mA counts

    std::int64_t time() const { return static_cast<std::int64_t>(ms); }
    double volts() const { return voltage / 100.0; }
    double amps() const { return current / 1000.0; }
    double watts() const { return volts() * amps(); }
};
static_assert(sizeof(Sample) == 16, "a sample packs into two 64-bit words");

// The recorded history: samples oldest first, at most a day of them. The oldest
// are dropped as new ones come. A segment is a run of samples taken without a
// break; the plot joins samples only within one.
class SampleStore {
public:
    // A little over 24 h at one sample per 350 ms poll (246 858 samples).
    static constexpr std::size_t kCapacity = 250'000;
    static constexpr std::int64_t kKeepMs = 24LL * 60 * 60 * 1000;
    // Good samples further apart than the watchdog period are never joined: a
    // silence, or a supply sending only replies that fail the checks, lies between.
    static constexpr std::int64_t kMaxStepMs = 2000;

    explicit SampleStore(std::size_t capacity = kCapacity) : m_capacity(capacity) {}

    // Appends a reading taken at `ms`. A time before the newest sample's (which a
    // monotonic clock never gives) counts as the newest's, so order always holds.
    void append(std::int64_t ms, const protocol::StatusReading &reading);
    // The readings were interrupted: the next sample starts a new segment.
    void endSegment() { m_segmentEnded = true; }

    bool empty() const { return m_samples.empty(); }
    std::size_t size() const { return m_samples.size(); }
    const Sample &operator[](std::size_t index) const { return m_samples[index]; }
    const Sample &front() const { return m_samples.front(); }
    const Sample &back() const { return m_samples.back(); }
    // Index of the first sample at or after `ms` (size() when there is none).
    std::size_t lowerBound(std::int64_t ms) const;

private:
    std::deque<Sample> m_samples;
    std::size_t m_capacity;
    bool m_segmentEnded = true;
};

} // namespace trend
