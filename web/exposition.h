#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace web {

// Families of samples in Prometheus's text format (version 0.0.4), written by
// prometheus-cpp's serializer, which escapes HELP texts and label values and
// writes the numbers. What the serializer leaves to its caller is kept here: a
// family's name and its labels' names follow the format's rules, a counter's
// name ends in _total, no name comes twice, and no family holds two samples of
// the same labels. What breaks a rule is left out, never written half.
class Exposition {
public:
    enum class Kind { Gauge, Counter };
    using Labels = std::vector<std::pair<std::string, std::string>>;

    Exposition();
    ~Exposition();

    // Starts a family, which takes the samples that follow. False, and the
    // samples that follow go nowhere, for a name the format does not allow, a
    // counter without _total or a gauge with it, a name already started, or a
    // help text with a backslash or a line end (which the serializer does not
    // escape).
    bool family(const std::string &name, const std::string &help, Kind kind);
    // A sample of the family started last. False, and nothing added, without a
    // family, for a label name the format does not allow (or one it keeps for
    // itself, starting with __), a name given twice, or labels the family has.
    bool sample(const Labels &labels, double value);

    // The text of the families that have samples; families without are left out.
    std::string text();

private:
    struct Data;
    std::unique_ptr<Data> m_data;
};

} // namespace web
