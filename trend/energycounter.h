#pragma once

#include "records/energy.h"
#include "trend/samplestore.h"

namespace trend {

// The history's charge and energy counters: records::EnergyCounter (and its
// rule, shared with vantelctl) over the store's samples.
class EnergyCounter {
public:
    // Takes the next sample in time order.
    void add(const Sample &sample);
    // Back to zero; counting goes on from the next sample.
    void reset() { m_counter.reset(); }

    double ampHours() const { return m_counter.ampHours(); }
    double wattHours() const { return m_counter.wattHours(); }

private:
    records::EnergyCounter m_counter;
};

} // namespace trend
