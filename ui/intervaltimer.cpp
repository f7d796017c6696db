#include "ui/intervaltimer.h"

namespace ui {

IntervalTimer::IntervalTimer(bool enabled, int intervalMs, QObject *parent)
    : QObject(parent), m_enabled(enabled), m_interval(intervalMs < 0 ? 0 : intervalMs)
{
    m_timer.setTimerType(Qt::PreciseTimer);
    connect(&m_timer, &QTimer::timeout, this, &IntervalTimer::tick);
    update();
}

void IntervalTimer::setEnabled(bool enabled)
{
    if (enabled == m_enabled) {
        return;
    }
    m_enabled = enabled;
    update();
}

void IntervalTimer::setInterval(int ms)
{
    m_interval = ms < 0 ? 0 : ms;
    update();
}

void IntervalTimer::update()
{
    if (!m_enabled || m_interval == 0) {
        m_timer.stop();
        return;
    }
    m_timer.start(m_interval);
}

} // namespace ui
