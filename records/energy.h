#pragma once

#include "protocol/reading.h"

#include <optional>

namespace records {

// Charge (Ah) and energy (Wh) delivered by one supply, counted from its readings.
//
// The rule: two good readings with the output on at both ends are joined by the
// trapezoid rule when they are at most 2 s apart, whatever failed between them; a
// longer gap adds nothing, and so does an interval with the output off at either
// end. Failed readings are simply not handed in, so one lost reply costs nothing
// while a silence longer than the watchdog period is never guessed across.
class EnergyCounter {
public:
    // The longest interval between two good readings that is still counted.
    static constexpr double kLongestJoinSeconds = 2.0;

    // Takes a good reading at `seconds` on a monotonic clock, in time order.
    void add(double seconds, const protocol::StatusReading &reading);
    // Back to zero; counting goes on from the next reading.
    void reset();

    double ampHours() const { return m_ampSeconds / 3600.0; }
    double wattHours() const { return m_wattSeconds / 3600.0; }

private:
    struct Point {
        double seconds;
        double amps;
        double watts;
        bool outputOn;
    };
    std::optional<Point> m_last; // the last good reading
    double m_ampSeconds = 0;
    double m_wattSeconds = 0;
};

} // namespace records
