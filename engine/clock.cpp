#include "engine/clock.h"

#include <QTimer>

namespace engine {

namespace {

class SteadyClock final : public EngineClock {
public:
    time_point now() const override { return std::chrono::steady_clock::now(); }
};

class QtEngineTimer final : public EngineTimer {
public:
    explicit QtEngineTimer(std::function<void()> fire)
    {
        m_timer.setSingleShot(true);
        m_timer.setTimerType(Qt::PreciseTimer);
        QObject::connect(&m_timer, &QTimer::timeout, &m_timer, std::move(fire));
    }
    void start(std::chrono::nanoseconds after) override
    {
        // Whole milliseconds, rounded up: the timer never ends early.
        const auto ms = after <= std::chrono::nanoseconds(0)
                            ? std::chrono::milliseconds(0)
                            : std::chrono::ceil<std::chrono::milliseconds>(after);
        m_timer.start(ms);
    }
    void stop() override { m_timer.stop(); }
    bool isActive() const override { return m_timer.isActive(); }

private:
    QTimer m_timer;
};

} // namespace

std::unique_ptr<EngineTimer> EngineClock::makeTimer(std::function<void()> fire) const
{
    return std::make_unique<QtEngineTimer>(std::move(fire));
}

const EngineClock &steadyClock()
{
    static const SteadyClock clock;
    return clock;
}

} // namespace engine
