#pragma once

#include "sequence/sequence.h"

#include <QString>

#include <cstddef>
#include <vector>

namespace panels {

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
    struct Span {
        double from;
        double to;
    };
    std::vector<Span> offSpans; // while the output is off
    // Set when the plan was not drawn whole: where it was cut, outermost first.
    QString summary;
};

// An until without max is drawn this long, and marked open-ended.
constexpr double kOpenEndedSeconds = 60;
// Repeats and sweeps are unrolled until the plan holds this many points (a
// sweep of 6001 points takes 12002).
constexpr std::size_t kMostPreviewPoints = 20000;

// The plan of `sequence` from the set values and output state it starts with.
Preview planPreview(const sequence::Sequence &sequence, double startVolts, double startAmps,
                    std::size_t mostPoints = kMostPreviewPoints, bool startOn = false);

// The time axis' unit for a plan `spanSeconds` long: seconds up to 3 minutes,
// minutes up to 3 hours, hours beyond.
struct TimeScale {
    double secondsPerUnit;
    QString unit; // "s", "min", "h"
};
TimeScale timeScaleFor(double spanSeconds);

} // namespace panels
