#pragma once

#include "engine/ceilingregistry.h"
#include "protocol/reading.h"

#include <optional>
#include <string>

namespace scpi {

// count / 10^decimals with exactly `decimals` digits after the point ("12.34").
std::string fixedPoint(long long count, int decimals);

// A reading above one of the instrument's own ceilings on a channel: the kind, the
// device-specific error it queues and its text ("Voltage protection
// tripped;10.00 V above the ceiling 8.00 V").
struct ChannelTrip {
    engine::CeilingKind kind = engine::CeilingKind::Voltage;
    int code = 0;
    std::string text;
};

// The trip of a reading against ceilings in counts (10 mV, 1 mA, 10 mW), judged in
// the supply's counts as the line's ceilings are; nullopt within all of them.
std::optional<ChannelTrip> channelTrip(const protocol::StatusReading &reading, int voltage,
                                       int current, int power);

} // namespace scpi
