#pragma once

#include "protocol/reading.h"
#include "trend/energycounter.h"
#include "trend/samplestore.h"

#include <QElapsedTimer>
#include <QObject>

#include <cstdint>

namespace trend {

// What the monitor has read since it started: every good status reading with its
// time, and the charge and energy counters. It only listens; it never asks the
// supply for anything.
class History : public QObject {
    Q_OBJECT
public:
    explicit History(QObject *parent = nullptr);

    // A reading taken now.
    void record(const protocol::StatusReading &reading);
    // A reading taken at `ms` on this history's clock (see nowMs()).
    void recordAt(std::int64_t ms, const protocol::StatusReading &reading);
    // The readings were interrupted (silence, monitor stopped, port closed).
    void endSegment();
    void resetCounters();

    const SampleStore &samples() const { return m_samples; }
    const EnergyCounter &counters() const { return m_counters; }
    // Monotonic milliseconds since this history began.
    std::int64_t nowMs() const { return m_clock.elapsed(); }
    // The wall clock when this history began, in ms since 1970.
    std::int64_t wallEpochMs() const { return m_wallEpochMs; }
    // The wall clock at a time of this history's clock.
    std::int64_t wallMs(std::int64_t ms) const { return m_wallEpochMs + ms; }

signals:
    void recorded();
    void countersReset();

private:
    QElapsedTimer m_clock;
    std::int64_t m_wallEpochMs = 0;
    SampleStore m_samples;
    EnergyCounter m_counters;
};

} // namespace trend
