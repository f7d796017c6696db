#pragma once

#include <QString>

#include <optional>

namespace panels {

// A run's time to the second, as a clock reads: "0:00:03", "3:59:58", "26:00:00".
QString clockText(double seconds);

// The run's time line: "elapsed 0:00:03, remaining at most 3:59:58". Without a
// remaining time (the sequence has an until without max) it says that the rest is
// unknown; once the run has ended it gives the elapsed time only, not "0:00:00 left"
// of a plan that was stopped.
QString runTimeText(double elapsedSeconds, std::optional<double> remainingSeconds, bool running);

} // namespace panels
