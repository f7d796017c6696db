#pragma once

#include <QObject>
#include <QTimer>

namespace ui {

// A timer with the two properties the windows use: Enabled and Interval. It ticks
// only while enabled with an interval above 0; an interval of 0 never ticks. Setting
// the interval starts the period afresh.
class IntervalTimer : public QObject {
    Q_OBJECT
public:
    IntervalTimer(bool enabled, int intervalMs, QObject *parent = nullptr);

    bool Enabled() const { return m_enabled; }
    void setEnabled(bool enabled);
    int Interval() const { return m_interval; }
    void setInterval(int ms);
    // Enabled with a non-zero interval: ticks will come.
    bool isTicking() const { return m_timer.isActive(); }

signals:
    void tick();

private:
    void update();

    QTimer m_timer;
    bool m_enabled;
    int m_interval;
};

} // namespace ui
