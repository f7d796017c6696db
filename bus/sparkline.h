#pragma once

#include "trend/samplestore.h"

#include <QWidget>

#include <cstdint>

namespace bus {

// The last minute of one supply's voltage (blue, upper band) and current (red,
// lower band, dashed) as two lines, each in its own band and scaled on its own
// range: steady values never draw one line over the other. Small enough for a
// card, drawn from the trend's reduction so that its cost does not grow with the
// readings.
class Sparkline : public QWidget {
    Q_OBJECT
public:
    static constexpr std::int64_t kSpanMs = 60'000;
    // The narrowest range a band shows: a steady value sits in its middle, and a
    // change of a few counts is not blown up to the band's height.
    static constexpr double kVoltsSpan = 1.0;
    static constexpr double kAmpsSpan = 0.1;

    struct Range {
        double low = 0;
        double high = 0;
    };
    // The range a band shows for values from `lowest` to `highest`: at least
    // `span` wide, never below 0.
    static Range rangeOf(double lowest, double highest, double span);

    explicit Sparkline(QWidget *parent = nullptr);

    void add(std::int64_t ms, const protocol::StatusReading &reading);
    // A failed reading: the lines break here.
    void gap() { m_store.endSegment(); }
    void setNow(std::int64_t ms) { m_nowMs = ms; }
    const trend::SampleStore &store() const { return m_store; }

    QSize sizeHint() const override { return {220, 56}; }

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    // About two readings a second for a minute, with room to spare.
    static constexpr std::size_t kCapacity = 1200;
    trend::SampleStore m_store{kCapacity};
    std::int64_t m_nowMs = 0;
};

} // namespace bus
