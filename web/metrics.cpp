#include "web/metrics.h"

#include "web/exposition.h"

#include <QJsonValue>

namespace web {

namespace {

// The words a failed reading's row carries that every line can meet, counted
// from 0 so that a rate over them holds from the first scrape. An exception's
// word carries the supply's code and is counted once it comes.
const char *const kFailureWords[] = {"timeout", "crc", "foreign", "short", "port"};

// The modes a supply reports; each gets a sample, 1 for the supply's own.
const char *const kModes[] = {"CV", "CC", "OC"};

std::optional<double> number(const QJsonObject &object, const char *key)
{
    const QJsonValue value = object.value(QLatin1String(key));
    return value.isDouble() ? std::optional<double>(value.toDouble()) : std::nullopt;
}

} // namespace

Metrics::Metrics(MetricsSource source) : m_source(std::move(source))
{
    for (const char *word : kFailureWords) {
        m_failures[QString::fromLatin1(word)] = 0;
    }
}

void Metrics::take(const QJsonObject &supply)
{
    const QJsonValue address = supply.value(QLatin1String("address"));
    if (!address.isDouble()) {
        return;
    }
    ++m_readings;
    const QString error = supply.value(QLatin1String("error")).toString();
    if (!error.isEmpty()) {
        ++m_failures[error];
    }
    const bool good = error.isEmpty() && supply.value(QLatin1String("v")).isDouble();
    const auto known = m_supplies.find(address.toInt());
    if (!good && known == m_supplies.end()) {
        return;
    }
    Supply &s = m_supplies[address.toInt()];
    s.volts = number(supply, "v");
    s.amps = number(supply, "a");
    s.watts = number(supply, "w");
    s.setVolts = number(supply, "set_v");
    s.setAmps = number(supply, "set_a");
    const QJsonValue output = supply.value(QLatin1String("output"));
    s.output = output.isBool() ? std::optional<bool>(output.toBool()) : std::nullopt;
    s.mode = supply.value(QLatin1String("mode")).toString();
    // The counters go on through failed readings, which carry them as they stood.
    s.ampHours = supply.value(QLatin1String("ah")).toDouble(s.ampHours);
    s.wattHours = supply.value(QLatin1String("wh")).toDouble(s.wattHours);
}

QByteArray Metrics::text() const
{
    using Kind = Exposition::Kind;
    const std::string bench = m_source.bench.toStdString();
    const std::string port = m_source.port.toStdString();
    Exposition out;

    // Per supply: one family at a time over every supply, as the format wants
    // each family's samples together.
    const auto perSupply = [&](const char *name, const char *help, Kind kind, const auto &value) {
        out.family(name, help, kind);
        for (const auto &[address, s] : m_supplies) {
            const std::optional<double> v = value(s);
            if (v) {
                out.sample({{"bench", bench}, {"port", port}, {"address", std::to_string(address)}},
                           *v);
            }
        }
    };
    perSupply("vantel_voltage_volts", "Output voltage as last read.", Kind::Gauge,
              [](const Supply &s) { return s.volts; });
    perSupply("vantel_current_amperes", "Output current as last read.", Kind::Gauge,
              [](const Supply &s) { return s.amps; });
    perSupply("vantel_power_watts", "Output power as last read.", Kind::Gauge,
              [](const Supply &s) { return s.watts; });
    perSupply("vantel_set_voltage_volts", "Voltage set point as last read.", Kind::Gauge,
              [](const Supply &s) { return s.setVolts; });
    perSupply("vantel_set_current_amperes", "Current limit as last read.", Kind::Gauge,
              [](const Supply &s) { return s.setAmps; });
    perSupply("vantel_output_on", "Whether the output is on (1) or off (0), as last read.",
              Kind::Gauge, [](const Supply &s) {
                  return s.output ? std::optional<double>(*s.output ? 1 : 0) : std::nullopt;
              });
    out.family("vantel_mode",
               "The supply's mode as last read: 1 for its mode (CV, CC or OC), 0 for the others.",
               Kind::Gauge);
    for (const auto &[address, s] : m_supplies) {
        if (s.mode.isEmpty()) {
            continue;
        }
        for (const char *mode : kModes) {
            out.sample({{"bench", bench},
                        {"port", port},
                        {"address", std::to_string(address)},
                        {"mode", mode}},
                       s.mode == QLatin1String(mode) ? 1 : 0);
        }
    }
    perSupply("vantel_energy_watt_hours_total",
              "Energy delivered since the server started, from the readings.", Kind::Counter,
              [](const Supply &s) { return std::optional<double>(s.wattHours); });
    perSupply("vantel_charge_ampere_hours_total",
              "Charge delivered since the server started, from the readings.", Kind::Counter,
              [](const Supply &s) { return std::optional<double>(s.ampHours); });

    // Per line.
    const Exposition::Labels line{{"bench", bench}, {"port", port}};
    out.family("vantel_readings_total", "Readings of the line's supplies, good and failed.",
               Kind::Counter);
    out.sample(line, double(m_readings));
    out.family("vantel_reading_failures_total",
               "Failed readings of the line's supplies, by the word their records carry.",
               Kind::Counter);
    for (const auto &[word, count] : m_failures) {
        Exposition::Labels labels = line;
        labels.emplace_back("error", word.toStdString());
        out.sample(labels, double(count));
    }
    const engine::LinkStats stats = m_source.line ? m_source.line() : engine::LinkStats{};
    out.family("vantel_round_trips_total",
               "Replies whose round trip was timed, from a request to its reply's last byte.",
               Kind::Counter);
    out.sample(line, double(stats.roundTrips));
    if (stats.roundTrips > 0) {
        out.family("vantel_round_trip_median_seconds",
                   "Median round trip of the line since the server started.", Kind::Gauge);
        out.sample(line, stats.medianMs / 1000);
        out.family("vantel_round_trip_p99_seconds",
                   "99th percentile round trip of the line since the server started.", Kind::Gauge);
        out.sample(line, stats.p99Ms / 1000);
        out.family("vantel_round_trip_max_seconds",
                   "Longest round trip of the line since the server started.", Kind::Gauge);
        out.sample(line, stats.maxMs / 1000);
    }
    return QByteArray::fromStdString(out.text());
}

} // namespace web
