#pragma once

#include <chrono>

namespace supply {

// The monotonic clock the engines judge the line by: when a request went out,
// when its bytes came, how long a reply took. A program uses steadyClock(); a
// test gives the client a clock it moves itself, so that a rule of timing holds
// however late a busy machine runs the test. The engines' timers still wait on
// the real clock; when one fires, the engine asks this clock what time it is.
class EngineClock {
public:
    using time_point = std::chrono::steady_clock::time_point;

    virtual ~EngineClock() = default;
    virtual time_point now() const = 0;
};

// The steady clock of the machine: the one every program runs on.
const EngineClock &steadyClock();

} // namespace supply
