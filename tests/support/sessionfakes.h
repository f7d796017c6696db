#pragma once

#include "engine/clock.h"
#include "engine/session.h"
#include "protocol/frames.h"

#include <QString>
#include <QStringList>

#include <chrono>
#include <deque>
#include <functional>
#include <utility>

namespace testsupport {

// A clock the test moves by hand.
struct ManualClock : engine::EngineClock {
    explicit ManualClock(time_point::duration start = std::chrono::hours(1)) : t(start) {}
    time_point t;
    time_point now() const override { return t; }
};

// A session timer that never fires: for tests that drive every answer by hand.
struct IdleTimer : engine::SessionTimer {
    void start(std::chrono::milliseconds, std::function<void()>) override {}
    void stop() override {}
};

// A session timer that keeps what it was armed with, for the test to fire.
struct ManualTimer : engine::SessionTimer {
    explicit ManualTimer(ManualClock &c) : clock(c) {}
    ManualClock &clock;
    std::function<void()> pending;
    ManualClock::time_point due;
    void start(std::chrono::milliseconds after, std::function<void()> fire) override
    {
        due = clock.t + after;
        pending = std::move(fire);
    }
    void stop() override { pending = nullptr; }
};

// A session's line whose requests wait until the test answers them; each is
// logged "r9" (status read of 9) or "w7" (write to 7).
struct PendingLine : engine::SessionLine {
    std::deque<std::pair<protocol::Frame, Done>> pending;
    QStringList log;

    void readStatus(std::uint8_t address, Done done) override
    {
        log << QStringLiteral("r%1").arg(address);
        pending.emplace_back(protocol::buildReadStatusRequest(address), std::move(done));
    }
    void write(const protocol::Frame &request, Done done) override
    {
        log << QStringLiteral("w%1").arg(request[0]);
        pending.emplace_back(request, std::move(done));
    }
};

} // namespace testsupport
