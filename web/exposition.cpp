#include "web/exposition.h"

#include <prometheus/check_names.h>
#include <prometheus/metric_family.h>
#include <prometheus/text_serializer.h>

#include <algorithm>
#include <set>
#include <unordered_set>

namespace web {

struct Exposition::Data {
    std::vector<prometheus::MetricFamily> families;
    std::set<std::string> names;
    // The label sets of the current family, each as one text (its labels sorted by
    // name, each value after its length), to refuse a second.
    std::unordered_set<std::string> seen;
    bool open = false; // the family started last was taken
};

Exposition::Exposition() : m_data(std::make_unique<Data>()) {}

Exposition::~Exposition() = default;

namespace {

void dropEmptyLast(std::vector<prometheus::MetricFamily> &families)
{
    if (!families.empty() && families.back().metric.empty()) {
        families.pop_back();
    }
}

} // namespace

bool Exposition::family(const std::string &name, const std::string &help, Kind kind)
{
    m_data->open = false;
    m_data->seen.clear();
    const std::string total = "_total";
    const bool endsInTotal = name.size() > total.size() &&
                             name.compare(name.size() - total.size(), total.size(), total) == 0;
    // The serializer writes HELP as it is: a text that would need escaping is refused.
    const bool plainHelp = help.find_first_of("\\\n") == std::string::npos;
    if (!prometheus::CheckMetricName(name) || endsInTotal != (kind == Kind::Counter) ||
        !plainHelp || !m_data->names.insert(name).second) {
        return false;
    }
    dropEmptyLast(m_data->families);
    prometheus::MetricFamily family;
    family.name = name;
    family.help = help;
    family.type =
        kind == Kind::Counter ? prometheus::MetricType::Counter : prometheus::MetricType::Gauge;
    m_data->families.push_back(std::move(family));
    m_data->open = true;
    return true;
}

bool Exposition::sample(const Labels &labels, double value)
{
    if (!m_data->open) {
        return false;
    }
    prometheus::ClientMetric metric;
    metric.label.reserve(labels.size());
    for (const auto &label : labels) {
        if (!prometheus::CheckLabelName(label.first) || label.first.rfind("__", 0) == 0) {
            return false;
        }
        metric.label.push_back({label.first, label.second});
    }
    std::vector<const prometheus::ClientMetric::Label *> sorted;
    sorted.reserve(metric.label.size());
    for (const auto &label : metric.label) {
        sorted.push_back(&label);
    }
    std::sort(sorted.begin(), sorted.end(), [](const auto *a, const auto *b) { return *a < *b; });
    std::string key;
    for (std::size_t i = 0; i < sorted.size(); ++i) {
        if (i > 0 && sorted[i]->name == sorted[i - 1]->name) {
            return false;
        }
        key += sorted[i]->name;
        key += '=';
        key += std::to_string(sorted[i]->value.size());
        key += ':';
        key += sorted[i]->value;
    }
    if (!m_data->seen.insert(std::move(key)).second) {
        return false;
    }
    prometheus::MetricFamily &family = m_data->families.back();
    if (family.type == prometheus::MetricType::Counter) {
        metric.counter.value = value;
    } else {
        metric.gauge.value = value;
    }
    family.metric.push_back(std::move(metric));
    return true;
}

std::string Exposition::text()
{
    dropEmptyLast(m_data->families);
    m_data->open = false;
    return prometheus::TextSerializer().Serialize(m_data->families);
}

} // namespace web
