#pragma once

#include "protocol/frame.h"
#include "protocol/mbap.h"
#include "protocol/reading.h"

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

namespace engine {

using CeilingKind = protocol::mbap::CeilingKind;

// One ceiling a program holds on one supply. Values are in the supply's counts:
// 10 mV, 1 mA, and 10 mW for power.
struct HeldCeiling {
    int source = 0;
    std::uint8_t address = 0;
    CeilingKind kind = CeilingKind::Voltage;
    int value = 0;
    std::string holder; // "vantelctl serve"
    std::uint32_t pid = 0;

    // "vantelctl serve (pid 4121)"
    std::string holderText() const;
    // "10.00 V", "1.500 A", "25.00 W"
    std::string valueText() const;
};

// Ceilings on one supply in its counts, each optional: what one holder holds, or
// the tightest of each kind on the line.
struct CeilingCounts {
    std::optional<int> volts; // 10 mV
    std::optional<int> amps;  // 1 mA
    std::optional<int> watts; // 10 mW

    bool any() const { return volts || amps || watts; }
    const std::optional<int> &of(CeilingKind kind) const;
};

// A typed ceiling (volts, amperes or watts) in the supply's counts, never above
// what was typed: 12.345 V holds 12.34 V.
int ceilingCounts(CeilingKind kind, double value);

// A reading above a ceiling: what was read and the ceiling, in counts (power in
// counts of 10 mW, rounded).
struct CeilingTrip {
    CeilingKind kind = CeilingKind::Voltage;
    int reading = 0;
    int ceiling = 0;
};

// How far above a ceiling a reading may be before it trips: not at all, or by the
// supply's resolution (one count of voltage or current; for power, what one count
// of either factor adds).
enum class TripSlack { None, Resolution };

// The first ceiling (voltage, current, then power) that a reading of a switched-on
// output is above; nullopt when it is within all of them or the output is off.
std::optional<CeilingTrip> tripOf(const protocol::StatusReading &reading,
                                  const CeilingCounts &ceilings, TripSlack slack);
// Whether a set value (voltage or current, in counts) is above the ceiling of its
// kind; a power ceiling refuses no set value.
bool refusesSetValue(const CeilingCounts &ceilings, CeilingKind kind, int value);

// The ceilings every program on one line holds, kept by the program that owns the
// line: the tightest of each kind on a supply holds for every write to it,
// whoever sends it. A source is one program's say: the program's own holders
// (one source each), or a joined program over its connection, whose ceilings go
// with the connection. A source holds at most one ceiling of each kind on each
// address; a new value replaces its old one.
//
// Set voltages and currents above the tightest voltage or current ceiling are
// refused. A power ceiling is kept and shown, but refuses no set value: the power
// depends on the load, and the program that holds it acts on a reading above it.
class CeilingRegistry {
public:
    // A new source; `own` marks this program's own holders, whose ceilings it
    // registers with the line's owner while it joins another program's line.
    int addSource(bool own);
    void hold(int source, std::uint8_t address, CeilingKind kind, int value, std::string holder,
              std::uint32_t pid);
    void release(int source, std::uint8_t address, CeilingKind kind);
    // Every ceiling of the source goes (its program ended or its connection broke).
    void dropSource(int source);

    // The lowest ceiling of `kind` held on `address` (of own sources only, with
    // `ownOnly`); the first one held wins a tie.
    std::optional<HeldCeiling> tightest(std::uint8_t address, CeilingKind kind,
                                        bool ownOnly = false) const;
    // The tightest ceilings of every kind on `address`, whoever holds them.
    CeilingCounts tightestCounts(std::uint8_t address) const;
    // The ceilings one source holds on `address`.
    CeilingCounts heldBy(int source, std::uint8_t address) const;
    // The trip of a reading at `address` against the ceilings `source` holds there:
    // each holder watches its own and switches the supply off.
    std::optional<CeilingTrip> trip(int source, std::uint8_t address,
                                    const protocol::StatusReading &reading,
                                    TripSlack slack = TripSlack::None) const;
    // Why a set value of `kind` (voltage or current, in counts) may not be sent to
    // `address`, in the words of `refusal`; nullopt when it may.
    std::optional<std::string> setValueRefusal(std::uint8_t address, CeilingKind kind, int value,
                                               const std::string &line) const;
    // Every ceiling held, by address and kind.
    std::vector<HeldCeiling> held() const;
    // The addresses and kinds on which own sources hold a ceiling or held one.
    std::vector<std::pair<std::uint8_t, CeilingKind>> ownKeys() const;

    // Why `request` (an RTU frame) may not go out, with `line` naming the line
    // ("COM3"); nullopt when it may:
    // - a set voltage or current above the tightest ceiling on its address, as
    //   "20.00 V is above the 10.00 V ceiling that vantelctl serve (pid 4121) holds
    //   on COM3 address 5";
    // - a new slave address for a supply on which any ceiling is held: its holder
    //   watches and trips the supply at the address it knows, so the supply stays
    //   there until every ceiling on it is released;
    // - a new slave address on which a ceiling is held: the supply moved there would
    //   come under a ceiling its holder set for another supply, and be tripped by
    //   it.
    std::optional<std::string> refusal(const protocol::Frame &request,
                                       const std::string &line) const;

    // Called after a change to what own sources hold on `address` for `kind`.
    void setOwnChanged(std::function<void(std::uint8_t, CeilingKind)> changed)
    {
        m_ownChanged = std::move(changed);
    }
    // Called after a change to what any source holds on `address` for `kind`: the
    // line's owner tells the programs that join it.
    void setChanged(std::function<void(std::uint8_t, CeilingKind)> changed)
    {
        m_changed = std::move(changed);
    }

private:
    using Key = std::tuple<std::uint8_t, CeilingKind, int>; // address, kind, source
    struct Entry {
        int value = 0;
        std::string holder;
        std::uint32_t pid = 0;
        long order = 0; // when it was held, for ties
    };

    bool isOwn(int source) const;
    void noteChange(int source, std::uint8_t address, CeilingKind kind);
    std::optional<std::string> refusalOf(std::uint8_t address, CeilingKind kind, int value,
                                         const std::string &line) const;
    std::optional<std::string> addressRefusal(std::uint8_t address, int next,
                                              const std::string &line) const;
    std::optional<HeldCeiling> anyCeiling(std::uint8_t address) const;

    std::map<Key, Entry> m_entries;
    std::map<int, bool> m_sources; // id, own
    std::vector<std::pair<std::uint8_t, CeilingKind>> m_ownKeys;
    int m_lastSource = 0;
    long m_order = 0;
    std::function<void(std::uint8_t, CeilingKind)> m_ownChanged;
    std::function<void(std::uint8_t, CeilingKind)> m_changed;
};

} // namespace engine
