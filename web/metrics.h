#pragma once

#include "engine/linetracker.h"

#include <QByteArray>
#include <QJsonObject>
#include <QString>

#include <functional>
#include <map>
#include <optional>

namespace web {

// Who the figures are of: the labels of every sample, and the line's own counts.
struct MetricsSource {
    QString bench; // the machine's host name unless given
    QString port;  // the line's name, as its supplies' records give it
    // The line's counts and round trips so far; none when it has none to give.
    std::function<engine::LinkStats()> line;
};

// The served supplies in Prometheus's text format: each supply's latest reading,
// its set values, output and mode, and its charge and energy since the server
// started; the line's readings, failures by word and round trips. It learns
// from the readings the bench hands out, so a scrape never waits on the line.
// A supply with no good reading yet has no sample, and a value its latest
// reading lacks (a failed reading) has none either, rather than a 0 that a
// graph would take for a true one.
class Metrics {
public:
    explicit Metrics(MetricsSource source);

    // A supply's object as a reading of it comes (the keys of a record's JSON
    // line), good or failed.
    void take(const QJsonObject &supply);
    // The text for GET /metrics.
    QByteArray text() const;

    static constexpr const char *kContentType = "text/plain; version=0.0.4; charset=utf-8";

private:
    struct Supply {
        std::optional<double> volts, amps, watts, setVolts, setAmps;
        std::optional<bool> output;
        QString mode;
        double ampHours = 0;
        double wattHours = 0;
    };

    MetricsSource m_source;
    std::map<int, Supply> m_supplies; // those that have had a good reading
    long m_readings = 0;
    std::map<QString, long> m_failures; // by the records' word
};

} // namespace web
