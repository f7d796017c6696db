#pragma once

#include "trend/samplestore.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace trend {

enum class Quantity { Volts, Amps, Watts };

double valueOf(const Sample &sample, Quantity quantity);

struct Point {
    std::int64_t ms; // sample time, as in the store
    double value;
};

// What a plot draws of one quantity: points in time order, cut into polylines
// where a segment of the history starts.
struct Trace {
    std::vector<Point> points;
    std::vector<std::size_t> starts; // index of each polyline's first point
};

// The samples from `fromMs` to `toMs` reduced to the lowest and the highest value
// in each of `columns` equal slices of that time (one per pixel column): at most
// two points a column, in time order, so every peak and dip still shows however
// long the history. A polyline breaks before a column in which a segment starts.
Trace reduce(const SampleStore &store, std::int64_t fromMs, std::int64_t toMs, int columns,
             Quantity quantity);

} // namespace trend
