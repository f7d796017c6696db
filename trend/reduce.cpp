#include "trend/reduce.h"

#include <algorithm>

namespace trend {

double valueOf(const Sample &sample, Quantity quantity)
{
    switch (quantity) {
    case Quantity::Volts:
        return sample.volts();
    case Quantity::Amps:
        return sample.amps();
    case Quantity::Watts:
        return sample.watts();
    }
    return 0;
}

namespace {

// The extremes of one column so far.
struct Column {
    Point low{};
    Point high{};
    bool breaks = false; // a segment starts in it
    bool used = false;
};

void flush(const Column &column, Trace &trace)
{
    if (column.breaks || trace.points.empty()) {
        trace.starts.push_back(trace.points.size());
    }
    const bool lowFirst = column.low.ms <= column.high.ms;
    trace.points.push_back(lowFirst ? column.low : column.high);
    if (column.low.ms != column.high.ms || column.low.value != column.high.value) {
        trace.points.push_back(lowFirst ? column.high : column.low);
    }
}

} // namespace

Trace reduce(const SampleStore &store, std::int64_t fromMs, std::int64_t toMs, int columns,
             Quantity quantity)
{
    Trace trace;
    if (columns <= 0 || toMs <= fromMs) {
        return trace;
    }
    const double span = double(toMs - fromMs);
    Column column;
    int current = -1;
    for (std::size_t i = store.lowerBound(fromMs); i < store.size(); ++i) {
        const Sample &sample = store[i];
        if (sample.time() > toMs) {
            break;
        }
        const int index =
            std::min(columns - 1, int(double(sample.time() - fromMs) * columns / span));
        const Point point{sample.time(), valueOf(sample, quantity)};
        if (index != current) {
            if (column.used) {
                flush(column, trace);
            }
            column = Column{point, point, false, true};
            current = index;
        } else {
            if (point.value < column.low.value) {
                column.low = point;
            }
            if (point.value > column.high.value) {
                column.high = point;
            }
        }
        column.breaks = column.breaks || sample.segmentStart;
    }
    if (column.used) {
        flush(column, trace);
    }
    return trace;
}

} // namespace trend
