#include "bus/sparkline.h"

#include "trend/reduce.h"

#include <QPainter>
#include <QPainterPath>

#include <algorithm>

namespace bus {

Sparkline::Sparkline(QWidget *parent) : QWidget(parent)
{
    setMinimumHeight(40);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
}

void Sparkline::add(std::int64_t ms, const protocol::StatusReading &reading)
{
    m_store.append(ms, reading);
    m_nowMs = std::max(m_nowMs, ms);
}

void Sparkline::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.fillRect(rect(), palette().base());
    painter.setPen(palette().mid().color());
    painter.drawRect(rect().adjusted(0, 0, -1, -1));
    if (m_store.empty() || width() < 4) {
        return;
    }
    const std::int64_t from = m_nowMs - kSpanMs;
    const QRectF area = QRectF(rect()).adjusted(2, 3, -2, -3);
    painter.setRenderHint(QPainter::Antialiasing);
    const auto draw = [&](trend::Quantity quantity, const QColor &colour) {
        const trend::Trace trace =
            trend::reduce(m_store, from, m_nowMs, static_cast<int>(area.width()), quantity);
        if (trace.points.empty()) {
            return;
        }
        double top = 0;
        for (const trend::Point &p : trace.points) {
            top = std::max(top, p.value);
        }
        top = top > 0 ? top * 1.1 : 1;
        QPainterPath path;
        std::size_t nextStart = 0;
        for (std::size_t i = 0; i < trace.points.size(); ++i) {
            const trend::Point &p = trace.points[i];
            const QPointF at(area.left() + area.width() * double(p.ms - from) / double(kSpanMs),
                             area.bottom() - area.height() * p.value / top);
            if (nextStart < trace.starts.size() && trace.starts[nextStart] == i) {
                path.moveTo(at);
                ++nextStart;
            } else {
                path.lineTo(at);
            }
        }
        painter.setPen(QPen(colour, 1.5));
        painter.drawPath(path);
    };
    draw(trend::Quantity::Volts, QColor(30, 90, 200));
    draw(trend::Quantity::Amps, QColor(200, 40, 40));
}

} // namespace bus
