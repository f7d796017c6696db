#include "engine/clock.h"

namespace supply {

namespace {

class SteadyClock final : public EngineClock {
public:
    time_point now() const override { return std::chrono::steady_clock::now(); }
};

} // namespace

const EngineClock &steadyClock()
{
    static const SteadyClock clock;
    return clock;
}

} // namespace supply
