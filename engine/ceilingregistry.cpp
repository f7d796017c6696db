#include "engine/ceilingregistry.h"

#include "protocol/frames.h"

#include <algorithm>
#include <cstdio>

namespace supply {

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

std::optional<std::string> CeilingRegistry::addressRefusal(std::uint8_t address, int next,
                                                           const std::string &line) const
{
    // Any ceiling on the address, the tightest of the first kind held; a power
    // ceiling counts too, as its holder trips on what it reads there.
    for (const CeilingKind kind :
         {CeilingKind::Voltage, CeilingKind::Current, CeilingKind::Power}) {
        if (const auto ceiling = tightest(address, kind)) {
            return "address " + std::to_string(address) + " stays: " + ceiling->holderText() +
                   " holds a " + ceiling->valueText() + " ceiling on " + line + " address " +
                   std::to_string(address) + ", which would not follow the supply to address " +
                   std::to_string(next);
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

} // namespace supply
