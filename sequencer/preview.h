#pragma once

#include "supply/sequence.h"

#include <QString>

#include <cstddef>
#include <vector>

namespace sequencer {

// The planned set values against time, as the preview draws them: a step line,
// each change as two points at the same time.
struct Preview {
    struct Point {
        double seconds;
        double volts;
        double amps;
    };
    struct Mark {
        double seconds;
        int line;
        QString text;
        double volts = 0; // the set voltage there
    };
    std::vector<Point> points;
    std::vector<Mark> openEnds;    // an until without max, drawn at kOpenEndedSeconds
    std::vector<Mark> sweepPoints; // the end of each sweep point's dwell
    // Set when the repeats were not all unrolled: which repeat was cut short.
    QString summary;
};

// An until without max is drawn this long, and marked open-ended.
constexpr double kOpenEndedSeconds = 60;
// Repeats are unrolled until the plan holds this many points.
constexpr std::size_t kMostPreviewPoints = 4000;

// The plan of `sequence` from the set values it starts with.
Preview planPreview(const supply::Sequence &sequence, double startVolts, double startAmps,
                    std::size_t mostPoints = kMostPreviewPoints);

} // namespace sequencer
