#include "sequence/internal.h"
#include "sequence/sequence.h"

#include "numtext/numtext.h"

// The plan `run --check` prints: a line a step, indented by its repeats.
namespace sequence {

std::vector<std::string> Sequence::plan() const
{
    std::vector<std::string> out;
    if (limits.line != 0) {
        std::string text = "line " + std::to_string(limits.line) + ": limit";
        if (limits.voltage) {
            text += ' ' + voltsText(*limits.voltage);
        }
        if (limits.current) {
            text += ' ' + ampsText(*limits.current);
        }
        if (limits.watts) {
            text += ' ' + numtext::formatPlain(*limits.watts) + " W";
        }
        out.push_back(text);
    }
    std::size_t depth = 0;
    for (const SequenceStep &s : steps) {
        if (s.kind == SequenceStep::Kind::End && depth > 0) {
            --depth;
        }
        std::string text = "line " + std::to_string(s.line) + ": " + std::string(2 * depth, ' ');
        switch (s.kind) {
        case SequenceStep::Kind::Set:
            text += "set";
            if (s.voltage) {
                text += ' ' + voltsText(*s.voltage);
            }
            if (s.current) {
                text += ' ' + ampsText(*s.current);
            }
            break;
        case SequenceStep::Kind::Output:
            text += s.on ? "output on" : "output off";
            break;
        case SequenceStep::Kind::Hold:
            text += "hold " + durationText(s.ms);
            break;
        case SequenceStep::Kind::Until:
            text += std::string("until ") + quantityName(s.condition.quantity) + ' ' +
                    compareText(s.condition.compare) + ' ' +
                    numtext::formatPlain(s.condition.value) + ' ' +
                    quantityUnit(s.condition.quantity) + " for " + std::to_string(s.count) +
                    (s.ms > 0 ? ", at most " + durationText(s.ms) : ", no max");
            break;
        case SequenceStep::Kind::Sweep: {
            const auto value = [&](std::uint16_t c) {
                return s.sweepsVoltage ? voltsText(c) : ampsText(c);
            };
            text += std::string("sweep ") + (s.sweepsVoltage ? "voltage " : "current ") +
                    value(s.from) + " to " + value(s.to) + " by " + value(s.step) + ", " +
                    std::to_string(s.pointCount()) + " points, " + durationText(s.ms) + " each";
            break;
        }
        case SequenceStep::Kind::Repeat:
            text += "repeat " + std::to_string(s.count);
            ++depth;
            break;
        case SequenceStep::Kind::End:
            text += "end";
            break;
        }
        out.push_back(text);
    }
    const auto most = longestMs();
    out.push_back(most ? "longest duration: " + durationText(*most) +
                             (*most >= kLongestMs ? " or more" : "") +
                             " (the waits; each set and output adds a few replies)"
                       : "longest duration: no bound (line " + std::to_string(unboundedLine()) +
                             ": until without max)");
    return out;
}

} // namespace sequence
