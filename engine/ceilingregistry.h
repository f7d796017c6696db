#pragma once

#include "protocol/frame.h"
#include "protocol/mbap.h"

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

namespace supply {

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
    //   there until every ceiling on it is released.
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

    std::map<Key, Entry> m_entries;
    std::map<int, bool> m_sources; // id, own
    std::vector<std::pair<std::uint8_t, CeilingKind>> m_ownKeys;
    int m_lastSource = 0;
    long m_order = 0;
    std::function<void(std::uint8_t, CeilingKind)> m_ownChanged;
    std::function<void(std::uint8_t, CeilingKind)> m_changed;
};

} // namespace supply
