#pragma once

#include <chrono>
#include <cstdint>

namespace engine {

// Rounds on fixed slots: round k belongs to the slot k × interval after the
// origin. A round starts at its slot, or at once when it is late; when a later
// slot has come too, the slots before it are given up (counted), never asked
// back to back. Plain arithmetic on the monotonic clock.
class RoundSlots {
public:
    using time_point = std::chrono::steady_clock::time_point;

    // What a round that starts takes: its slot, the slots given up just before
    // it, and how late it starts against its slot.
    struct Taken {
        std::int64_t slot = 0;
        std::int64_t givenUp = 0;
        std::chrono::nanoseconds lag{0};
    };

    explicit RoundSlots(std::chrono::nanoseconds interval) { setInterval(interval); }

    void setInterval(std::chrono::nanoseconds interval);
    std::chrono::nanoseconds interval() const { return m_interval; }
    // Slot 0 is at `origin`, and it is the next to take.
    void start(time_point origin);
    // Moves the origin and keeps the slots taken (the first round's request
    // went out later than the round began).
    void align(time_point origin) { m_origin = origin; }
    time_point origin() const { return m_origin; }
    // How long from `now` until the next slot; zero when it has come.
    std::chrono::nanoseconds untilDue(time_point now) const;
    // A round starts at `now`: it takes the latest slot that has come, or the
    // next one when none has.
    Taken take(time_point now);

private:
    std::chrono::nanoseconds m_interval{1};
    time_point m_origin;
    std::int64_t m_next = 0; // the next round's slot
};

} // namespace engine
