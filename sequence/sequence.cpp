#include "sequence/sequence.h"

#include "numtext/numtext.h"
#include "numtext/quantity.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>

namespace sequence {

namespace {

constexpr int kDeepestNesting = 32;
constexpr const char *kUnitList = "V, mV, A, mA, W, mW, Ah, mAh, Wh, mWh, ms, s, m, h";
constexpr int kMostRepeats = 1'000'000;
constexpr int kMostReadings = 1'000'000;
constexpr std::int64_t kLongestStepMs = 1000LL * 3600 * 24 * 366; // a year

using numtext::Unit;

struct Value {
    double number = 0; // in the base unit: V, A, W, Ah, Wh, ms
    Unit unit = Unit::None;
    std::string text; // as written, for messages
};

std::string lower(std::string_view text)
{
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return out;
}

// Splits a line into words: blanks separate, and <, <=, >, >= stand alone.
std::vector<std::string> words(std::string_view line)
{
    std::vector<std::string> out;
    std::string word;
    const auto flush = [&] {
        if (!word.empty()) {
            out.push_back(word);
            word.clear();
        }
    };
    for (std::size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f') {
            flush();
        } else if (c == '<' || c == '>') {
            flush();
            word = c;
            if (i + 1 < line.size() && line[i + 1] == '=') {
                word += '=';
                ++i;
            }
            flush();
        } else {
            word += c;
        }
    }
    flush();
    return out;
}

// Reads the words of one line in order and says what is wrong with them.
class Reader {
public:
    explicit Reader(std::vector<std::string> words) : m_words(std::move(words)) {}

    bool atEnd() const { return m_next >= m_words.size(); }
    std::string peek() const { return atEnd() ? std::string() : lower(m_words[m_next]); }
    std::string take() { return atEnd() ? std::string() : m_words[m_next++]; }
    const std::string &error() const { return m_error; }
    bool failed() const { return !m_error.empty(); }

    bool fail(std::string message)
    {
        if (m_error.empty()) {
            m_error = std::move(message);
        }
        return false;
    }

    // A number with its unit, written "12.6V" or "12.6 V"; `missing` is the
    // refusal when the line ends before it.
    bool value(Value *out, const std::string &missing)
    {
        if (atEnd()) {
            return fail(missing);
        }
        const std::string word = take();
        const numtext::Quantity q = numtext::readQuantity(word);
        switch (q.fault) {
        case numtext::Quantity::Fault::None:
            break;
        case numtext::Quantity::Fault::NotANumber:
            return fail("'" + word + "' is not a number with a unit");
        case numtext::Quantity::Fault::OutOfRange:
            return fail("'" + word + "' is out of range");
        case numtext::Quantity::Fault::UnknownUnit:
            return fail("'" + q.unitText + "' is not a unit (" + kUnitList + ")");
        }
        out->text = word;
        Unit unit = q.unit;
        double factor = 1;
        if (unit == Unit::None && !atEnd()) {
            if (const auto next = numtext::unitOf(m_words[m_next])) {
                unit = next->unit;
                factor = next->factor;
                out->text += ' ' + take();
            }
        }
        if (unit == Unit::None) {
            return fail("'" + out->text + "' has no unit");
        }
        out->unit = unit;
        out->number = q.value * factor;
        if (q.number < 0 || std::signbit(q.number)) {
            return fail(out->text + " is negative");
        }
        return true;
    }

    // A value in `unit`; `example` shows the step written whole.
    bool valueOf(Value *out, Unit unit, const char *what, const std::string &example)
    {
        if (!value(out, std::string(what) + " needs " + numtext::unitName(unit) +
                            ", for example '" + example + "'")) {
            return false;
        }
        if (out->unit != unit) {
            return fail(std::string(what) + ": " + out->text + " is not " +
                        numtext::unitName(unit));
        }
        return true;
    }

    bool duration(std::int64_t *ms, const char *what, const char *example)
    {
        Value v;
        if (!valueOf(&v, Unit::Duration, what, example)) {
            return false;
        }
        const double rounded = std::round(v.number);
        if (rounded <= 0) {
            return fail(std::string(what) + ": " + v.text + " is no time at all");
        }
        if (rounded > static_cast<double>(kLongestStepMs)) {
            return fail(std::string(what) + ": " + v.text + " is longer than a year");
        }
        *ms = static_cast<std::int64_t>(rounded);
        return true;
    }

    bool whole(int *out, int first, int last, const char *what)
    {
        const std::string word = take();
        const bool digits = !word.empty() && word.size() <= 9 &&
                            std::all_of(word.begin(), word.end(),
                                        [](unsigned char c) { return std::isdigit(c) != 0; });
        const long value = digits ? std::stol(word) : -1;
        if (!digits || value < first || value > last) {
            return fail(std::string(what) + " takes a whole number from " + std::to_string(first) +
                        " to " + std::to_string(last) +
                        (word.empty() ? "" : ", not '" + word + "'"));
        }
        *out = static_cast<int>(value);
        return true;
    }

    bool done()
    {
        if (!atEnd()) {
            return fail("unexpected '" + take() + "'");
        }
        return true;
    }

private:
    std::vector<std::string> m_words;
    std::size_t m_next = 0;
    std::string m_error;
};

std::string fixed(long long count, int decimals)
{
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.*f", decimals,
                  static_cast<double>(count) / std::pow(10.0, decimals));
    return buffer;
}

std::string voltsText(std::uint16_t count)
{
    return fixed(count, 2) + " V";
}

std::string ampsText(std::uint16_t count)
{
    return fixed(count, 3) + " A";
}

// A set value in counts: within the supply's range once rounded.
bool setCount(Reader &reader, const Value &v, std::optional<std::uint16_t> *out)
{
    const bool volts = v.unit == Unit::Volt;
    const int decimals = volts ? protocol::kVoltageDecimals : protocol::kCurrentDecimals;
    const int largest = volts ? kLargestVoltageCount : kLargestCurrentCount;
    if (out->has_value()) {
        return reader.fail(std::string("two ") + (volts ? "voltages" : "currents"));
    }
    const numtext::SetCount count = numtext::toSetCount(v.number, decimals, largest);
    if (count.fault != numtext::SetCount::Fault::None) {
        return reader.fail(v.text + " is above the supply's " +
                           (volts ? voltsText(static_cast<std::uint16_t>(largest))
                                  : ampsText(static_cast<std::uint16_t>(largest))));
    }
    *out = count.count;
    return true;
}

// "[V] [A]" in either order, at least one; with `watts`, also "[W]".
bool setValues(Reader &reader, std::optional<std::uint16_t> *volts,
               std::optional<std::uint16_t> *amps, std::optional<double> *watts)
{
    if (reader.atEnd()) {
        return reader.fail(watts ? "limit needs a voltage, a current or a power"
                                 : "set needs a voltage, a current or both");
    }
    while (!reader.atEnd()) {
        Value v;
        if (!reader.value(&v, "a value")) {
            return false;
        }
        if (v.unit == Unit::Volt) {
            if (!setCount(reader, v, volts)) {
                return false;
            }
        } else if (v.unit == Unit::Amp) {
            if (!setCount(reader, v, amps)) {
                return false;
            }
        } else if (watts && v.unit == Unit::Watt) {
            if (watts->has_value()) {
                return reader.fail("two powers");
            }
            if (v.number > 1e6) {
                return reader.fail(v.text + " is beyond any supply");
            }
            *watts = v.number;
        } else {
            return reader.fail(v.text + " is neither a voltage nor a current" +
                               (watts ? " nor a power" : ""));
        }
    }
    return true;
}

bool quantity(const std::string &word, Quantity *out)
{
    static const std::pair<const char *, Quantity> kNames[] = {
        {"voltage", Quantity::Voltage}, {"current", Quantity::Current}, {"power", Quantity::Power},
        {"ah", Quantity::AmpHours},     {"wh", Quantity::WattHours},
    };
    for (const auto &[name, q] : kNames) {
        if (word == name) {
            *out = q;
            return true;
        }
    }
    return false;
}

Unit unitFor(Quantity q)
{
    switch (q) {
    case Quantity::Voltage:
        return Unit::Volt;
    case Quantity::Current:
        return Unit::Amp;
    case Quantity::Power:
        return Unit::Watt;
    case Quantity::AmpHours:
        return Unit::AmpHour;
    case Quantity::WattHours:
        return Unit::WattHour;
    }
    return Unit::None;
}

// A value of `q` as an example in a refusal.
const char *exampleValue(Quantity q)
{
    switch (q) {
    case Quantity::Voltage:
        return "12.5V";
    case Quantity::Current:
        return "0.1A";
    case Quantity::Power:
        return "1W";
    case Quantity::AmpHours:
        return "2.5Ah";
    case Quantity::WattHours:
        return "30Wh";
    }
    return "";
}

bool until(Reader &reader, SequenceStep *step)
{
    if (!quantity(reader.peek(), &step->condition.quantity)) {
        return reader.fail("until takes voltage, current, power, ah or wh" +
                           (reader.atEnd() ? std::string() : ", not '" + reader.peek() + "'"));
    }
    reader.take();
    const std::string op = reader.take();
    static const std::pair<const char *, Compare> kOps[] = {{"<", Compare::Below},
                                                            {"<=", Compare::AtMost},
                                                            {">", Compare::Above},
                                                            {">=", Compare::AtLeast}};
    const auto found = std::find_if(std::begin(kOps), std::end(kOps),
                                    [&](const auto &entry) { return op == entry.first; });
    if (found == std::end(kOps)) {
        return reader.fail("until needs <, <=, > or >= after the quantity" +
                           (op.empty() ? std::string() : ", not '" + op + "'"));
    }
    step->condition.compare = found->second;
    Value v;
    if (!reader.valueOf(&v, unitFor(step->condition.quantity), "until",
                        std::string("until ") + quantityName(step->condition.quantity) + ' ' +
                            found->first + ' ' + exampleValue(step->condition.quantity))) {
        return false;
    }
    step->condition.value = v.number;
    bool seenFor = false;
    bool seenMax = false;
    while (!reader.atEnd()) {
        const std::string word = reader.peek();
        if (word == "for" && !seenFor) {
            reader.take();
            seenFor = true;
            if (!reader.whole(&step->count, 1, kMostReadings, "for")) {
                return false;
            }
        } else if (word == "max" && !seenMax) {
            reader.take();
            seenMax = true;
            if (!reader.duration(&step->ms, "max", "max 4h")) {
                return false;
            }
        } else {
            return reader.done();
        }
    }
    return true;
}

bool sweep(Reader &reader, SequenceStep *step)
{
    const std::string what = lower(reader.take());
    if (what != "voltage" && what != "current") {
        return reader.fail("sweep takes voltage or current" +
                           (what.empty() ? std::string() : ", not '" + what + "'"));
    }
    step->sweepsVoltage = what == "voltage";
    const Unit unit = step->sweepsVoltage ? Unit::Volt : Unit::Amp;
    std::optional<std::uint16_t> counts[3];
    const char *names[] = {"sweep FROM", "sweep TO", "sweep STEP"};
    for (int i = 0; i < 3; ++i) {
        Value v;
        const std::string example =
            step->sweepsVoltage ? "sweep voltage 0V 12V 0.5V" : "sweep current 0A 1A 100mA";
        if (!reader.valueOf(&v, unit, names[i], example) || !setCount(reader, v, &counts[i])) {
            return false;
        }
    }
    step->from = *counts[0];
    step->to = *counts[1];
    step->step = *counts[2];
    if (step->step == 0) {
        return reader.fail(std::string("sweep STEP rounds to 0 (the resolution is ") +
                           (step->sweepsVoltage ? "10 mV)" : "1 mA)"));
    }
    step->ms = kDefaultDwellMs;
    if (!reader.atEnd()) {
        if (reader.peek() != "dwell") {
            return reader.done();
        }
        reader.take();
        if (!reader.duration(&step->ms, "dwell", "dwell 500ms")) {
            return false;
        }
    }
    return reader.done();
}

std::string collapsed(const std::vector<std::string> &list)
{
    std::string out;
    for (const std::string &w : list) {
        out += (out.empty() ? "" : " ") + w;
    }
    return out;
}

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

bool Condition::holds(double measured) const
{
    switch (compare) {
    case Compare::Below:
        return measured < value;
    case Compare::AtMost:
        return measured <= value;
    case Compare::Above:
        return measured > value;
    case Compare::AtLeast:
        return measured >= value;
    }
    return false;
}

std::size_t SequenceStep::pointCount() const
{
    const int span = std::abs(int(to) - int(from));
    return static_cast<std::size_t>((span + step - 1) / step) + 1;
}

std::uint16_t SequenceStep::point(std::size_t index) const
{
    const int offset = static_cast<int>(std::min<std::size_t>(index, pointCount())) * step;
    const int value =
        to >= from ? std::min<int>(from + offset, to) : std::max<int>(from - offset, to);
    return static_cast<std::uint16_t>(value);
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

ParsedSequence parseSequence(std::string_view text)
{
    ParsedSequence result;
    Sequence &seq = result.sequence;
    std::vector<std::size_t> open; // indexes of the repeats not yet ended
    int lineNumber = 0;
    const auto refuse = [&](int line, std::string message) {
        result.error = SequenceError{line, std::move(message)};
        return result;
    };
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t stop = text.find('\n', start);
        if (stop == std::string_view::npos) {
            stop = text.size();
        }
        std::string_view line = text.substr(start, stop - start);
        start = stop + 1;
        ++lineNumber;
        if (line.find('\0') != std::string_view::npos) {
            return refuse(lineNumber, "a NUL byte: this is not a text file");
        }
        line = line.substr(0, line.find('#'));
        const std::vector<std::string> list = words(line);
        if (list.empty()) {
            if (stop == text.size()) {
                break;
            }
            continue;
        }
        SequenceStep step;
        step.line = lineNumber;
        step.text = collapsed(list);
        Reader reader(std::vector<std::string>(list.begin() + 1, list.end()));
        const std::string keyword = lower(list.front());
        if (keyword == "limit") {
            if (!open.empty()) {
                return refuse(lineNumber, "limit inside the repeat of line " +
                                              std::to_string(seq.steps[open.back()].line) +
                                              ": a limit holds for the whole run, so it "
                                              "stands outside every repeat");
            }
            if (seq.limits.line != 0) {
                return refuse(lineNumber, "a second limit line (the first is line " +
                                              std::to_string(seq.limits.line) + ")");
            }
            seq.limits.line = lineNumber;
            if (!setValues(reader, &seq.limits.voltage, &seq.limits.current, &seq.limits.watts)) {
                return refuse(lineNumber, "limit: " + reader.error());
            }
            continue;
        }
        if (keyword == "set") {
            step.kind = SequenceStep::Kind::Set;
            setValues(reader, &step.voltage, &step.current, nullptr);
        } else if (keyword == "output") {
            step.kind = SequenceStep::Kind::Output;
            const std::string state = lower(reader.take());
            if (state != "on" && state != "off") {
                reader.fail("output takes on or off" +
                            (state.empty() ? std::string() : ", not '" + state + "'"));
            }
            step.on = state == "on";
            reader.done();
        } else if (keyword == "hold") {
            step.kind = SequenceStep::Kind::Hold;
            reader.duration(&step.ms, "hold", "hold 10m") && reader.done();
        } else if (keyword == "until") {
            step.kind = SequenceStep::Kind::Until;
            until(reader, &step);
        } else if (keyword == "sweep") {
            step.kind = SequenceStep::Kind::Sweep;
            sweep(reader, &step);
        } else if (keyword == "repeat") {
            step.kind = SequenceStep::Kind::Repeat;
            if (open.size() >= kDeepestNesting) {
                return refuse(lineNumber,
                              "repeat blocks nest deeper than " + std::to_string(kDeepestNesting));
            }
            reader.whole(&step.count, 1, kMostRepeats, "repeat") && reader.done();
            open.push_back(seq.steps.size());
        } else if (keyword == "end") {
            step.kind = SequenceStep::Kind::End;
            if (open.empty()) {
                return refuse(lineNumber, "end without repeat");
            }
            reader.done();
            step.match = open.back();
            seq.steps[open.back()].match = seq.steps.size();
            open.pop_back();
        } else {
            return refuse(lineNumber,
                          "unknown step '" + list.front() +
                              "' (limit, set, output, hold, until, repeat, end, sweep)");
        }
        if (reader.failed()) {
            return refuse(lineNumber, reader.error());
        }
        seq.steps.push_back(std::move(step));
    }
    if (!open.empty()) {
        return refuse(seq.steps[open.back()].line, "repeat without end");
    }
    if (seq.steps.empty()) {
        return refuse(lineNumber, "no steps");
    }
    if (const auto overlong = overlongBlock(seq.steps, 0, seq.steps.size())) {
        return refuse(overlong->line, overlong->message);
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
            return refuse(s.line, voltsText(*volts) + " is above the limit of " +
                                      voltsText(*limit.voltage) + " (line " +
                                      std::to_string(limit.line) + ")");
        }
        if (limit.current && amps && *amps > *limit.current) {
            return refuse(s.line, ampsText(*amps) + " is above the limit of " +
                                      ampsText(*limit.current) + " (line " +
                                      std::to_string(limit.line) + ")");
        }
    }
    return result;
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

namespace {

void appendUtf8(std::string &out, std::uint32_t code)
{
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (code >> 18));
        out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

// UTF-16 after its byte order mark, to UTF-8. A refusal names the line it is on.
SequenceText fromUtf16(std::string_view bytes, bool bigEndian)
{
    SequenceText out;
    out.text.reserve(bytes.size() / 2);
    int line = 1;
    const auto unitAt = [&](std::size_t i) {
        const auto first = static_cast<unsigned char>(bytes[i]);
        const auto second = static_cast<unsigned char>(bytes[i + 1]);
        return static_cast<std::uint32_t>(bigEndian ? first << 8 | second : second << 8 | first);
    };
    const auto refuse = [&](const char *why) {
        out.text.clear();
        out.error =
            SequenceError{line, std::string("UTF-16 text ") + why + ": this is not a text file"};
        return out;
    };
    std::size_t i = 0;
    for (; i + 1 < bytes.size(); i += 2) {
        std::uint32_t code = unitAt(i);
        if (code >= 0xDC00 && code <= 0xDFFF) {
            return refuse("with half a character");
        }
        if (code >= 0xD800 && code <= 0xDBFF) {
            const std::uint32_t low = i + 3 < bytes.size() ? unitAt(i + 2) : 0;
            if (low < 0xDC00 || low > 0xDFFF) {
                return refuse("with half a character");
            }
            code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
            i += 2;
        }
        if (code == '\n') {
            ++line;
        }
        appendUtf8(out.text, code);
    }
    if (i != bytes.size()) {
        return refuse("cut off inside a character");
    }
    return out;
}

} // namespace

SequenceText decodeSequenceText(std::string_view bytes)
{
    const auto startsWith = [&](std::string_view mark) {
        return bytes.substr(0, mark.size()) == mark;
    };
    if (startsWith("\xEF\xBB\xBF")) {
        return SequenceText{std::string(bytes.substr(3)), std::nullopt};
    }
    if (startsWith("\xFF\xFE")) {
        return fromUtf16(bytes.substr(2), false);
    }
    if (startsWith("\xFE\xFF")) {
        return fromUtf16(bytes.substr(2), true);
    }
    return SequenceText{std::string(bytes), std::nullopt};
}

ParsedSequence parseSequenceFile(std::string_view bytes)
{
    SequenceText text = decodeSequenceText(bytes);
    if (text.error) {
        ParsedSequence refused;
        refused.error = std::move(text.error);
        return refused;
    }
    return parseSequence(text.text);
}

std::string durationText(std::int64_t ms)
{
    if (ms < 1000) {
        return std::to_string(ms) + "ms";
    }
    const std::int64_t hours = ms / 3'600'000;
    const std::int64_t minutes = ms / 60'000 % 60;
    const std::int64_t millis = ms % 60'000;
    std::string out;
    if (hours > 0) {
        out += std::to_string(hours) + 'h';
    }
    if (minutes > 0) {
        out += std::to_string(minutes) + 'm';
    }
    if (millis > 0) {
        out += numtext::formatPlain(static_cast<double>(millis) / 1000.0) + 's';
    }
    return out;
}

const char *quantityName(Quantity quantity)
{
    switch (quantity) {
    case Quantity::Voltage:
        return "voltage";
    case Quantity::Current:
        return "current";
    case Quantity::Power:
        return "power";
    case Quantity::AmpHours:
        return "ah";
    case Quantity::WattHours:
        return "wh";
    }
    return "";
}

const char *quantityUnit(Quantity quantity)
{
    switch (quantity) {
    case Quantity::Voltage:
        return "V";
    case Quantity::Current:
        return "A";
    case Quantity::Power:
        return "W";
    case Quantity::AmpHours:
        return "Ah";
    case Quantity::WattHours:
        return "Wh";
    }
    return "";
}

const char *compareText(Compare compare)
{
    switch (compare) {
    case Compare::Below:
        return "<";
    case Compare::AtMost:
        return "<=";
    case Compare::Above:
        return ">";
    case Compare::AtLeast:
        return ">=";
    }
    return "";
}

} // namespace sequence
