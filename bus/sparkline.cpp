#include "bus/sparkline.h"

#include "trend/reduce.h"

#include <QPainter>
#include <QPainterPath>

#include <algorithm>

namespace bus {

Sparkline::Sparkline(QWidget *parent) : QWidget(parent)
{
    setMinimumHeight(48);
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
    const double half = area.height() / 2;
    painter.setPen(QPen(palette().midlight().color(), 1, Qt::DotLine));
    painter.drawLine(QPointF(area.left(), area.top() + half),
                     QPointF(area.right(), area.top() + half));
    painter.setRenderHint(QPainter::Antialiasing);
    const auto draw = [&](trend::Quantity quantity, const QRectF &band, double span,
                          const QPen &pen) {
        const trend::Trace trace =
            trend::reduce(m_store, from, m_nowMs, static_cast<int>(band.width()), quantity);
        if (trace.points.empty()) {
            return;
        }
        const auto [lowest, highest] = std::minmax_element(
            trace.points.begin(), trace.points.end(),
            [](const trend::Point &a, const trend::Point &b) { return a.value < b.value; });
        const Range range = rangeOf(lowest->value, highest->value, span);
        QPainterPath path;
        std::size_t nextStart = 0;
        for (std::size_t i = 0; i < trace.points.size(); ++i) {
            const trend::Point &p = trace.points[i];
            const double share = (p.value - range.low) / (range.high - range.low);
            const QPointF at(band.left() + band.width() * double(p.ms - from) / double(kSpanMs),
                             band.bottom() - band.height() * share);
            if (nextStart < trace.starts.size() && trace.starts[nextStart] == i) {
                path.moveTo(at);
                ++nextStart;
            } else {
                path.lineTo(at);
            }
        }
        painter.setPen(pen);
        painter.drawPath(path);
    };
    // A little room between the bands, so that the lines never touch.
    const QRectF upper(area.left(), area.top(), area.width(), half - 2);
    const QRectF lower(area.left(), area.top() + half + 2, area.width(), half - 2);
    draw(trend::Quantity::Volts, upper, kVoltsSpan, QPen(QColor(30, 90, 200), 1.5));
    draw(trend::Quantity::Amps, lower, kAmpsSpan, QPen(QColor(200, 40, 40), 1.5, Qt::DashLine));
}

Sparkline::Range Sparkline::rangeOf(double lowest, double highest, double span)
{
    if (highest - lowest >= span) {
        return {lowest, highest};
    }
    const double middle = (lowest + highest) / 2;
    const double low = std::max(0.0, middle - span / 2);
    return {low, low + span};
}

} // namespace bus
