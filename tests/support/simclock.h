#pragma once

#include "engine/clock.h"

#include <QCoreApplication>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <vector>

namespace testsupport {

// A clock that moves only when a test runs it, with timers that end on it: the
// engines' and the port keeper's waits, and the test's own scripted line. run()
// takes up what the event loop holds, then moves the clock to the earliest timer
// and fires it, so that every time a test reads is the one its rule names,
// however busy the machine is.
class SimClock : public engine::EngineClock {
public:
    using nanoseconds = std::chrono::nanoseconds;

    time_point now() const override { return m_now; }

    std::unique_ptr<engine::EngineTimer> makeTimer(std::function<void()> fire) const override
    {
        return std::make_unique<Timer>(*this, std::move(fire));
    }

    // Calls `what` once when `after` has passed (the test's own events).
    void after(nanoseconds after, std::function<void()> what)
    {
        m_owned.push_back(makeTimer(std::move(what)));
        m_owned.back()->start(after);
    }

    // Runs until `done` holds or `limit` has passed on this clock; false when it
    // did not come to hold.
    bool run(const std::function<bool()> &done, nanoseconds limit)
    {
        const time_point end = m_now + limit;
        for (;;) {
            settle();
            if (done()) {
                return true;
            }
            Timer *next = nullptr;
            for (Timer *t : m_timers) {
                if (t->armed && (next == nullptr || t->at < next->at ||
                                 (t->at == next->at && t->order < next->order))) {
                    next = t;
                }
            }
            if (next == nullptr || next->at > end) {
                m_now = std::max(m_now, end);
                settle();
                return done();
            }
            m_now = std::max(m_now, next->at);
            next->armed = false;
            next->fire();
        }
    }
    // Moves the clock on by `span`, firing what comes due on the way.
    void advance(nanoseconds span)
    {
        run([] { return false; }, span);
    }

private:
    struct Timer : engine::EngineTimer {
        Timer(const SimClock &clock, std::function<void()> f) : owner(clock), fire(std::move(f))
        {
            owner.m_timers.push_back(this);
        }
        ~Timer() override
        {
            auto &all = owner.m_timers;
            all.erase(std::remove(all.begin(), all.end(), this), all.end());
        }
        void start(nanoseconds after) override
        {
            armed = true;
            at = owner.m_now + std::max(after, nanoseconds(0));
            order = ++owner.m_order;
        }
        void stop() override { armed = false; }
        bool isActive() const override { return armed; }

        const SimClock &owner;
        std::function<void()> fire;
        bool armed = false;
        time_point at;
        long order = 0;
    };

    // Queued calls and signals, until none is left (a chain takes a few turns).
    static void settle()
    {
        for (int i = 0; i < 50; ++i) {
            QCoreApplication::sendPostedEvents();
        }
    }
    time_point m_now{std::chrono::hours(1)};
    mutable long m_order = 0;
    mutable std::vector<Timer *> m_timers;
    std::vector<std::unique_ptr<engine::EngineTimer>> m_owned; // the test's own events
};

} // namespace testsupport
