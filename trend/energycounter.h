#pragma once

#include "trend/samplestore.h"

#include <optional>

namespace trend {

// Charge and energy delivered, by the trapezoid rule over each pair of
// consecutive samples of one segment with the output on at both ends. A gap or
// an output off adds nothing.
class EnergyCounter {
public:
    // Takes the next sample in time order.
    void add(const Sample &sample);
    // Back to zero; counting goes on from the next sample.
    void reset();

    double ampHours() const { return m_ampSeconds / 3600.0; }
    double wattHours() const { return m_wattSeconds / 3600.0; }

private:
    std::optional<Sample> m_last;
    double m_ampSeconds = 0;
    double m_wattSeconds = 0;
};

} // namespace trend
