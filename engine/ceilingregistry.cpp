#include "engine/ceilingregistry.h"

#include "protocol/frames.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace engine {

namespace {

std::string fixed(int counts, int decimals, const char *unit)
{
    char text[32];
    const double scale = decimals == 3 ? 1000.0 : 100.0;
    std::snprintf(text, sizeof text, "%.*f %s", decimals, counts / scale, unit);
    return text;
}

std::string countsText(CeilingKind kind, int value)
{
    switch (kind) {
    case CeilingKind::Voltage:
        return fixed(value, protocol::kVoltageDecimals, "V");
    case CeilingKind::Current:
        return fixed(value, protocol::kCurrentDecimals, "A");
    case CeilingKind::Power:
        return fixed(value, 2, "W");
    }
    return {};
}

std::uint16_t wordAt(const protocol::Frame &frame, std::size_t at)
{
    return static_cast<std::uint16_t>((frame[at] << 8) | frame[at + 1]);
}

} // namespace

const std::optional<int> &CeilingCounts::of(CeilingKind kind) const
{
    return kind == CeilingKind::Voltage ? volts : kind == CeilingKind::Current ? amps : watts;
}

int ceilingCounts(CeilingKind kind, double value)
{
    const double perUnit = kind == CeilingKind::Current ? 1000.0 : 100.0;
    // The small addend keeps 12.34 typed from becoming 12.33 through the binary value.
    return static_cast<int>(std::floor(value * perUnit + 1e-6));
}

std::optional<CeilingTrip> tripOf(const protocol::StatusReading &reading,
                                  const CeilingCounts &ceilings, TripSlack slack)
{
    if (!reading.outputOn) {
        return std::nullopt;
    }
    const int step = slack == TripSlack::Resolution ? 1 : 0;
    if (ceilings.volts && reading.actualVoltage > *ceilings.volts + step) {
        return CeilingTrip{CeilingKind::Voltage, reading.actualVoltage, *ceilings.volts};
    }
    if (ceilings.amps && reading.actualCurrent > *ceilings.amps + step) {
        return CeilingTrip{CeilingKind::Current, reading.actualCurrent, *ceilings.amps};
    }
    if (ceilings.watts) {
        // Volts times amps in counts of 10 uW; the ceiling counts 10 mW. One count of
        // either factor adds the other factor's counts.
        const long long power =
            static_cast<long long>(reading.actualVoltage) * reading.actualCurrent;
        const long long margin =
            step ? static_cast<long long>(reading.actualVoltage) + reading.actualCurrent : 0;
        if (power > static_cast<long long>(*ceilings.watts) * 1000 + margin) {
            return CeilingTrip{CeilingKind::Power, static_cast<int>((power + 500) / 1000),
                               *ceilings.watts};
        }
    }
    return std::nullopt;
}

bool refusesSetValue(const CeilingCounts &ceilings, CeilingKind kind, int value)
{
    if (kind == CeilingKind::Power) {
        return false;
    }
    const std::optional<int> &ceiling = ceilings.of(kind);
    return ceiling && value > *ceiling;
}

std::string HeldCeiling::holderText() const
{
    return holder + " (pid " + std::to_string(pid) + ")";
}

std::string HeldCeiling::valueText() const
{
    return countsText(kind, value);
}

int CeilingRegistry::addSource(bool own)
{
    const int id = ++m_lastSource;
    m_sources[id] = own;
    return id;
}

bool CeilingRegistry::isOwn(int source) const
{
    const auto found = m_sources.find(source);
    return found != m_sources.end() && found->second;
}

void CeilingRegistry::noteChange(int source, std::uint8_t address, CeilingKind kind)
{
    if (m_changed) {
        m_changed(address, kind);
    }
    if (!isOwn(source)) {
        return;
    }
    const std::pair<std::uint8_t, CeilingKind> key{address, kind};
    if (std::find(m_ownKeys.begin(), m_ownKeys.end(), key) == m_ownKeys.end()) {
        m_ownKeys.push_back(key);
    }
    if (m_ownChanged) {
        m_ownChanged(address, kind);
    }
}

void CeilingRegistry::hold(int source, std::uint8_t address, CeilingKind kind, int value,
                           std::string holder, std::uint32_t pid)
{
    Entry &entry = m_entries[{address, kind, source}];
    const bool same = entry.order != 0 && entry.value == value;
    entry.value = value;
    entry.holder = std::move(holder);
    entry.pid = pid;
    if (entry.order == 0) {
        entry.order = ++m_order;
    }
    if (!same) {
        noteChange(source, address, kind);
    }
}

void CeilingRegistry::release(int source, std::uint8_t address, CeilingKind kind)
{
    if (m_entries.erase({address, kind, source}) > 0) {
        noteChange(source, address, kind);
    }
}

void CeilingRegistry::dropSource(int source)
{
    std::vector<Key> gone;
    for (const auto &[key, entry] : m_entries) {
        if (std::get<2>(key) == source) {
            gone.push_back(key);
        }
    }
    for (const Key &key : gone) {
        m_entries.erase(key);
        noteChange(source, std::get<0>(key), std::get<1>(key));
    }
    m_sources.erase(source);
}

std::optional<HeldCeiling> CeilingRegistry::tightest(std::uint8_t address, CeilingKind kind,
                                                     bool ownOnly) const
{
    std::optional<HeldCeiling> best;
    long bestOrder = 0;
    // Entries of one address and kind lie together, ordered by source.
    for (auto it = m_entries.lower_bound({address, kind, 0});
         it != m_entries.end() && std::get<0>(it->first) == address &&
         std::get<1>(it->first) == kind;
         ++it) {
        const int source = std::get<2>(it->first);
        const Entry &entry = it->second;
        if (ownOnly && !isOwn(source)) {
            continue;
        }
        if (!best || entry.value < best->value ||
            (entry.value == best->value && entry.order < bestOrder)) {
            best = HeldCeiling{source, address, kind, entry.value, entry.holder, entry.pid};
            bestOrder = entry.order;
        }
    }
    return best;
}

CeilingCounts CeilingRegistry::tightestCounts(std::uint8_t address) const
{
    CeilingCounts counts;
    const auto value = [&](CeilingKind kind) -> std::optional<int> {
        const auto ceiling = tightest(address, kind);
        return ceiling ? std::optional<int>(ceiling->value) : std::nullopt;
    };
    counts.volts = value(CeilingKind::Voltage);
    counts.amps = value(CeilingKind::Current);
    counts.watts = value(CeilingKind::Power);
    return counts;
}

CeilingCounts CeilingRegistry::heldBy(int source, std::uint8_t address) const
{
    CeilingCounts counts;
    const auto value = [&](CeilingKind kind) -> std::optional<int> {
        const auto found = m_entries.find({address, kind, source});
        return found == m_entries.end() ? std::nullopt : std::optional<int>(found->second.value);
    };
    counts.volts = value(CeilingKind::Voltage);
    counts.amps = value(CeilingKind::Current);
    counts.watts = value(CeilingKind::Power);
    return counts;
}

std::optional<CeilingTrip> CeilingRegistry::trip(int source, std::uint8_t address,
                                                 const protocol::StatusReading &reading,
                                                 TripSlack slack) const
{
    return tripOf(reading, heldBy(source, address), slack);
}

std::optional<std::string> CeilingRegistry::setValueRefusal(std::uint8_t address, CeilingKind kind,
                                                            int value,
                                                            const std::string &line) const
{
    return kind == CeilingKind::Power ? std::nullopt : refusalOf(address, kind, value, line);
}

std::vector<HeldCeiling> CeilingRegistry::held() const
{
    std::vector<HeldCeiling> all;
    for (const auto &[key, entry] : m_entries) {
        all.push_back({std::get<2>(key), std::get<0>(key), std::get<1>(key), entry.value,
                       entry.holder, entry.pid});
    }
    return all;
}

std::vector<std::pair<std::uint8_t, CeilingKind>> CeilingRegistry::ownKeys() const
{
    return m_ownKeys;
}

std::optional<std::string> CeilingRegistry::refusalOf(std::uint8_t address, CeilingKind kind,
                                                      int value, const std::string &line) const
{
    const auto ceiling = tightest(address, kind);
    if (!ceiling || value <= ceiling->value) {
        return std::nullopt;
    }
    return countsText(kind, value) + " is above the " + ceiling->valueText() + " ceiling that " +
           ceiling->holderText() + " holds on " + line + " address " + std::to_string(address);
}

std::optional<HeldCeiling> CeilingRegistry::anyCeiling(std::uint8_t address) const
{
    // The tightest of the first kind held; a power ceiling counts too, as its holder
    // trips on what it reads there.
    for (const CeilingKind kind :
         {CeilingKind::Voltage, CeilingKind::Current, CeilingKind::Power}) {
        if (auto ceiling = tightest(address, kind)) {
            return ceiling;
        }
    }
    return std::nullopt;
}

std::optional<std::string> CeilingRegistry::addressRefusal(std::uint8_t address, int next,
                                                           const std::string &line) const
{
    if (const auto ceiling = anyCeiling(address)) {
        return "address " + std::to_string(address) + " stays: " + ceiling->holderText() +
               " holds a " + ceiling->valueText() + " ceiling on " + line + " address " +
               std::to_string(address) + ", which would not follow the supply to address " +
               std::to_string(next);
    }
    if (next >= 0 && next <= 0xFF) {
        if (const auto ceiling = anyCeiling(static_cast<std::uint8_t>(next))) {
            return "address " + std::to_string(next) +
                   " is under a ceiling: " + ceiling->holderText() + " holds a " +
                   ceiling->valueText() + " ceiling on " + line + " address " +
                   std::to_string(next) +
                   ", which would hold the supply moved there from address " +
                   std::to_string(address);
        }
    }
    return std::nullopt;
}

std::optional<std::string> CeilingRegistry::refusal(const protocol::Frame &request,
                                                    const std::string &line) const
{
    if (m_entries.empty() || request.size() < 2) {
        return std::nullopt;
    }
    const std::uint8_t address = request[0];
    const auto judge = [&](std::uint16_t reg, int value) -> std::optional<std::string> {
        if (reg == protocol::reg::kSetVoltage) {
            return refusalOf(address, CeilingKind::Voltage, value, line);
        }
        if (reg == protocol::reg::kSetCurrent) {
            return refusalOf(address, CeilingKind::Current, value, line);
        }
        if (reg == protocol::reg::kSlaveAddress && value != address) {
            return addressRefusal(address, value, line);
        }
        return std::nullopt;
    };
    const std::uint8_t function = request[1];
    if (function == protocol::kWriteSingleRegister && request.size() >= 6) {
        return judge(wordAt(request, 2), wordAt(request, 4));
    }
    // Write multiple registers: start (2), count (2), byte count (1), the words.
    if (function == 0x10 && request.size() >= 7) {
        const std::uint16_t start = wordAt(request, 2);
        const std::size_t count = wordAt(request, 4);
        for (std::size_t i = 0; i < count && 7 + 2 * i + 1 < request.size(); ++i) {
            if (auto why =
                    judge(static_cast<std::uint16_t>(start + i), wordAt(request, 7 + 2 * i))) {
                return why;
            }
        }
    }
    return std::nullopt;
}

} // namespace engine
