#include "scpi/ceilingtrip.h"

#include "scpi/instrument.h"

namespace scpi {

std::string fixedPoint(long long count, int decimals)
{
    long long scale = 1;
    for (int i = 0; i < decimals; ++i) {
        scale *= 10;
    }
    const bool negative = count < 0;
    const unsigned long long magnitude =
        negative ? 0ULL - static_cast<unsigned long long>(count) : count;
    std::string fraction = std::to_string(magnitude % scale);
    fraction.insert(0, std::size_t(decimals) - fraction.size(), '0');
    return (negative ? "-" : "") + std::to_string(magnitude / scale) +
           (decimals > 0 ? "." + fraction : "");
}

std::optional<ChannelTrip> channelTrip(const protocol::StatusReading &reading, int voltage,
                                       int current, int power)
{
    engine::CeilingCounts own;
    own.volts = voltage;
    own.amps = current;
    own.watts = power;
    const auto tripped = engine::tripOf(reading, own, engine::TripSlack::None);
    if (!tripped) {
        return std::nullopt;
    }
    static const struct {
        const char *what;
        const char *unit;
        int decimals;
        int code;
    } kTrips[] = {
        {"Voltage", "V", 2, kVoltageTripped},
        {"Current", "A", 3, kCurrentTripped},
        {"Power", "W", 2, kPowerTripped},
    };
    const auto &t = kTrips[static_cast<int>(tripped->kind) - 1];
    return ChannelTrip{tripped->kind, t.code,
                       std::string(t.what) + " protection tripped;" +
                           fixedPoint(tripped->reading, t.decimals) + " " + t.unit +
                           " above the ceiling " + fixedPoint(tripped->ceiling, t.decimals) + " " +
                           t.unit};
}

} // namespace scpi
