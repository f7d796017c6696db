#include "sequence/internal.h"
#include "sequence/sequence.h"

#include "numtext/numtext.h"

#include <algorithm>
#include <cmath>

// The checks of a whole sequence once read: blocks that wait too long, set values
// above the file's limit, the longest duration, and what a run's readings can meet.
namespace sequence {

namespace {

std::int64_t saturatingAdd(std::int64_t a, std::int64_t b)
{
    return std::min(kLongestMs, a + b); // each below kLongestMs: no overflow
}

std::int64_t saturatingMultiply(std::int64_t a, std::int64_t n)
{
    return n != 0 && a > kLongestMs / n ? kLongestMs : std::min(kLongestMs, a * n);
}

// The longest wait of steps[first, last).
std::int64_t longest(const std::vector<SequenceStep> &steps, std::size_t first, std::size_t last)
{
    std::int64_t total = 0;
    for (std::size_t i = first; i < last; ++i) {
        const SequenceStep &s = steps[i];
        switch (s.kind) {
        case SequenceStep::Kind::Hold:
        case SequenceStep::Kind::Until:
            total = saturatingAdd(total, s.ms);
            break;
        case SequenceStep::Kind::Sweep:
            total = saturatingAdd(
                total, saturatingMultiply(s.ms, static_cast<std::int64_t>(s.pointCount())));
            break;
        case SequenceStep::Kind::Repeat:
            total =
                saturatingAdd(total, saturatingMultiply(longest(steps, i + 1, s.match), s.count));
            i = s.match;
            break;
        default:
            break;
        }
    }
    return total;
}

// The first repeat or sweep, inner blocks first, whose waits total more than
// one step may wait (a year).
std::optional<SequenceError> overlongBlock(const std::vector<SequenceStep> &steps,
                                           std::size_t first, std::size_t last)
{
    for (std::size_t i = first; i < last; ++i) {
        const SequenceStep &s = steps[i];
        if (s.kind == SequenceStep::Kind::Sweep &&
            saturatingMultiply(s.ms, static_cast<std::int64_t>(s.pointCount())) > kLongestStepMs) {
            return SequenceError{s.line, "sweep: " + std::to_string(s.pointCount()) +
                                             " points of " + durationText(s.ms) +
                                             " take longer than a year"};
        }
        if (s.kind != SequenceStep::Kind::Repeat) {
            continue;
        }
        if (auto inner = overlongBlock(steps, i + 1, s.match)) {
            return inner;
        }
        const std::int64_t once = longest(steps, i + 1, s.match);
        if (saturatingMultiply(once, s.count) > kLongestStepMs) {
            return SequenceError{s.line, "repeat " + std::to_string(s.count) + " of " +
                                             durationText(once) +
                                             " waits longer than a year in all"};
        }
        i = s.match;
    }
    return std::nullopt;
}

} // namespace

std::optional<SequenceError> checkSteps(const Sequence &seq)
{
    if (auto overlong = overlongBlock(seq.steps, 0, seq.steps.size())) {
        return overlong;
    }
    // Every set value against the file's limit, wherever the limit line stands.
    const SequenceLimits &limit = seq.limits;
    for (const SequenceStep &s : seq.steps) {
        std::optional<std::uint16_t> volts = s.voltage;
        std::optional<std::uint16_t> amps = s.current;
        if (s.kind == SequenceStep::Kind::Sweep) {
            (s.sweepsVoltage ? volts : amps) = std::max(s.from, s.to);
        }
        if (limit.voltage && volts && *volts > *limit.voltage) {
            return SequenceError{s.line, voltsText(*volts) + " is above the limit of " +
                                             voltsText(*limit.voltage) + " (line " +
                                             std::to_string(limit.line) + ")"};
        }
        if (limit.current && amps && *amps > *limit.current) {
            return SequenceError{s.line, ampsText(*amps) + " is above the limit of " +
                                             ampsText(*limit.current) + " (line " +
                                             std::to_string(limit.line) + ")"};
        }
    }
    return std::nullopt;
}

std::string SequenceLimits::exceededBy(const protocol::StatusReading &r) const
{
    // One count over is within the supply's resolution.
    if (voltage && r.actualVoltage > *voltage + 1) {
        return voltsText(r.actualVoltage) + " above the limit of " + voltsText(*voltage);
    }
    if (current && r.actualCurrent > *current + 1) {
        return ampsText(r.actualCurrent) + " above the limit of " + ampsText(*current);
    }
    if (watts && r.actualVoltage > 0 && r.actualCurrent > 0 &&
        (r.actualVoltage - 1) / 100.0 * ((r.actualCurrent - 1) / 1000.0) > *watts) {
        return fixed(std::llround(r.watts() * 1000), 3) + " W above the limit of " +
               numtext::formatPlain(*watts) + " W";
    }
    return {};
}

std::optional<std::int64_t> Sequence::longestMs() const
{
    if (unboundedLine() != 0) {
        return std::nullopt;
    }
    return longest(steps, 0, steps.size());
}

int Sequence::unboundedLine() const
{
    for (const SequenceStep &s : steps) {
        if (s.kind == SequenceStep::Kind::Until && s.ms == 0) {
            return s.line;
        }
    }
    return 0;
}

std::vector<SequenceWarning> Sequence::warnings(std::int64_t intervalMs) const
{
    std::vector<SequenceWarning> out;
    for (const SequenceStep &s : steps) {
        if (s.kind != SequenceStep::Kind::Until || s.ms == 0 || s.count < 2 || intervalMs <= 0) {
            continue;
        }
        const std::int64_t needed = (static_cast<std::int64_t>(s.count) - 1) * intervalMs;
        if (needed < s.ms) {
            continue;
        }
        out.push_back(SequenceWarning{
            s.line, std::string(needed > s.ms ? "cannot be met: " : "can hardly be met: ") +
                        std::to_string(s.count) + " readings in a row at " +
                        durationText(intervalMs) + " take " + durationText(needed) +
                        ", and max is " + durationText(s.ms)});
    }
    return out;
}

} // namespace sequence
