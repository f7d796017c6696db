#pragma once

#include <chrono>
#include <functional>
#include <memory>

namespace engine {

// A single-shot timer on an EngineClock: start() arms it to call its callback
// once, from the event loop, when `after` has passed on its clock (a second
// start() replaces the first); stop() disarms it. Destroying it disarms it too.
class EngineTimer {
public:
    virtual ~EngineTimer() = default;
    virtual void start(std::chrono::nanoseconds after) = 0;
    virtual void stop() = 0;
    virtual bool isActive() const = 0;
};

// The monotonic clock the engines judge the line by and wait on: when a request
// went out, when its bytes came, how long a reply took, and the timers for the
// line's silence, a reply's wait, a linger and a lost port's reopening. A
// program uses steadyClock(); a test gives the client a clock it moves itself,
// so that a rule of timing holds however late a busy machine runs the test.
class EngineClock {
public:
    using time_point = std::chrono::steady_clock::time_point;

    virtual ~EngineClock() = default;
    virtual time_point now() const = 0;
    // A timer that waits on this clock and calls `fire` when it ends. By default
    // a precise QTimer of the calling thread, rounded up to whole milliseconds so
    // that it never ends before its time: a clock that only says the time still
    // waits on the machine's.
    virtual std::unique_ptr<EngineTimer> makeTimer(std::function<void()> fire) const;
};

// The steady clock of the machine: the one every program runs on.
const EngineClock &steadyClock();

} // namespace engine
