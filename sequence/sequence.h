#pragma once

#include "protocol/frames.h"
#include "protocol/reading.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// A sequence file for `vantelctl run`: one step a line, read and checked whole
// before anything is sent. Set values are kept in the supply's counts (10 mV,
// 1 mA), rounded half to even as `vantelctl set` rounds them; durations in ms.
namespace sequence {

constexpr int kLargestVoltageCount = protocol::kLargestVoltageCode; // 62.00 V
constexpr int kLargestCurrentCount = protocol::kLargestCurrentCode; // 3.200 A
// Until's readings in a row by default.
constexpr int kDefaultUntilCount = 3;
constexpr std::int64_t kDefaultDwellMs = 1000;

enum class Quantity { Voltage, Current, Power, AmpHours, WattHours };
enum class Compare { Below, AtMost, Above, AtLeast };

struct Condition {
    Quantity quantity = Quantity::Current;
    Compare compare = Compare::Below;
    double value = 0; // V, A, W, Ah or Wh

    bool holds(double measured) const;
};

struct SequenceStep {
    enum class Kind { Set, Output, Hold, Until, Sweep, Repeat, End };
    Kind kind = Kind::Hold;
    int line = 0;
    std::string text; // the line as written, blanks collapsed, comment dropped

    std::optional<std::uint16_t> voltage; // Set
    std::optional<std::uint16_t> current; // Set
    bool on = false;                      // Output
    std::int64_t ms = 0;                  // Hold: its length; Sweep: the dwell; Until: max, 0 none
    Condition condition;                  // Until
    int count = kDefaultUntilCount;       // Until: readings in a row; Repeat: times
    bool sweepsVoltage = true;            // Sweep: voltage (else current), in counts:
    std::uint16_t from = 0;
    std::uint16_t to = 0;
    std::uint16_t step = 1;
    std::size_t match = 0; // Repeat: index of its End; End: index of its Repeat

    // Sweep: FROM, FROM ± STEP, ... up to TO; TO is the last point even when STEP
    // does not divide the span.
    std::size_t pointCount() const;
    std::uint16_t point(std::size_t index) const;
};

struct SequenceLimits {
    std::optional<std::uint16_t> voltage; // counts
    std::optional<std::uint16_t> current; // counts
    std::optional<double> watts;
    int line = 0; // 0: the file has no limit line

    // What a reading exceeds by more than the supply's resolution, as
    // "12.95 V above the limit of 12.80 V"; empty when it is within every limit.
    std::string exceededBy(const protocol::StatusReading &reading) const;
};

struct SequenceError {
    int line = 0;
    std::string message;
};

// Something a file asks that a run may not do as written; the file is taken.
using SequenceWarning = SequenceError;

struct Sequence {
    SequenceLimits limits;
    std::vector<SequenceStep> steps; // Repeat ... End in place, as in the file

    // The longest the waits can take (holds, dwells, until's max), repeats
    // counted; nullopt when an until has no max. Saturates at kLongestMs.
    std::optional<std::int64_t> longestMs() const;
    // The line of the first until without max, 0 when there is none.
    int unboundedLine() const;
    // The plan `run --check` prints: one line a step, then the longest duration.
    std::vector<std::string> plan() const;
    // The untils whose readings in a row cannot all come within their max when
    // a reading is taken every `intervalMs`: N readings span (N - 1) intervals.
    std::vector<SequenceWarning> warnings(std::int64_t intervalMs) const;
};

constexpr std::int64_t kLongestMs = 1000LL * 3600 * 24 * 366 * 1000; // a thousand years

struct ParsedSequence {
    Sequence sequence;
    std::optional<SequenceError> error; // set: the file is refused
};

// Reads a whole file's text (UTF-8 or ASCII).
ParsedSequence parseSequence(std::string_view text);

// A file's bytes as the parser's text: a UTF-8 byte order mark is skipped, and
// UTF-16 (LE or BE) with its mark, as Windows PowerShell 5.1 writes it, becomes
// UTF-8. Other bytes pass as they are. UTF-16 that does not decode is refused.
struct SequenceText {
    std::string text;
    std::optional<SequenceError> error;
};
SequenceText decodeSequenceText(std::string_view bytes);

// decodeSequenceText, then parseSequence: how every program reads a file.
ParsedSequence parseSequenceFile(std::string_view bytes);

// "500ms", "2.5s", "10m", "1h12m", "4h".
std::string durationText(std::int64_t ms);

const char *quantityName(Quantity quantity);
const char *quantityUnit(Quantity quantity);
const char *compareText(Compare compare);

} // namespace sequence
