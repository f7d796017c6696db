#include "sequence/internal.h"
#include "sequence/sequence.h"

#include "numtext/numtext.h"
#include "numtext/quantity.h"

#include <algorithm>
#include <cctype>
#include <cmath>

// Reading a sequence file: its lines into steps, each line's words checked as
// they are read; the checks of the whole file follow in checking.cpp.
namespace sequence {

namespace {

constexpr int kDeepestNesting = 32;
constexpr const char *kUnitList = "V, mV, A, mA, W, mW, Ah, mAh, Wh, mWh, ms, s, m, h";
constexpr int kMostRepeats = 1'000'000;
constexpr int kMostReadings = 1'000'000;

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

} // namespace

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
    if (const auto refused = checkSteps(seq)) {
        return refuse(refused->line, refused->message);
    }
    return result;
}

} // namespace sequence
