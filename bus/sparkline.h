#pragma once

#include "trend/samplestore.h"

#include <QWidget>

#include <cstdint>

namespace bus {

// The last minute of one supply's voltage (blue) and current (red) as two lines,
// each scaled to its own highest value: small enough for a card, drawn from the
// trend's reduction so that its cost does not grow with the readings.
class Sparkline : public QWidget {
    Q_OBJECT
public:
    static constexpr std::int64_t kSpanMs = 60'000;

    explicit Sparkline(QWidget *parent = nullptr);

    void add(std::int64_t ms, const protocol::StatusReading &reading);
    // A failed reading: the lines break here.
    void gap() { m_store.endSegment(); }
    void setNow(std::int64_t ms) { m_nowMs = ms; }
    const trend::SampleStore &store() const { return m_store; }

    QSize sizeHint() const override { return {220, 48}; }

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    // About two readings a second for a minute, with room to spare.
    static constexpr std::size_t kCapacity = 1200;
    trend::SampleStore m_store{kCapacity};
    std::int64_t m_nowMs = 0;
};

} // namespace bus
