#pragma once

#include "engine/ceilingregistry.h"
#include "protocol/reading.h"
#include "sequence/sequence.h"

#include <QPointer>
#include <QString>

#include <cstdint>
#include <map>
#include <memory>
#include <optional>

class QSettings;

namespace engine {
class Client;
} // namespace engine

namespace ui {

// The user's settings the windows keep (ceilings, the records folder), under one
// name on every platform, whatever the application object is told.
std::unique_ptr<QSettings> userSettings();

// The user's software ceilings for voltage, current and power, each optional.
// They are checked on every reading the monitor takes and on every set value
// before it is sent; the supply's own protection does not depend on them.
struct Ceilings {
    std::optional<double> volts;
    std::optional<double> amps;
    std::optional<double> watts;

    bool any() const { return volts || amps || watts; }
    // In the supply's counts, as they are held on the line, and back.
    engine::CeilingCounts counts() const;
    static Ceilings fromCounts(const engine::CeilingCounts &counts);
    // What a reading exceeds by more than the supply's resolution (10 mV, 1 mA,
    // and their product for power), as "12.95 V above the ceiling of 12.80 V";
    // empty when it is within every ceiling. The line's registry judges it.
    QString exceededBy(const protocol::StatusReading &reading) const;
    // Why a set value may not be sent, naming the ceiling; empty when it may.
    QString refusesVoltage(double volts) const;
    QString refusesCurrent(double amps) const;
    // The first set value of a sequence above a ceiling, as "line 4: ..."; empty
    // when every set and sweep point is within them.
    QString refusesSequence(const sequence::Sequence &sequence) const;
    // "ceilings active: 12.80 V, 1.500 A" or empty when none is set.
    QString summary() const;

    // Kept between sessions.
    static Ceilings load();
    void save() const;
};

// A ceiling as typed: a number from 0 to `top`, its unit after it or not
// ("12.5", "12.5 V"). Either the value or why it is refused.
struct TypedCeiling {
    std::optional<double> value;
    QString problem; // "99 is above 62.00 V", "12,5 is not a number"
};
TypedCeiling readCeiling(const QString &text, double top, const QString &unit);

// A window's ceilings held on the line it reads through, so that every program on
// the line is held to them: a set value above one is refused whoever sends it.
// They move with the window to another line (another client), and are released
// when changed to none, or when this goes.
class HeldCeilings {
public:
    HeldCeilings() = default;
    ~HeldCeilings();
    HeldCeilings(const HeldCeilings &) = delete;
    HeldCeilings &operator=(const HeldCeilings &) = delete;

    // The client of the line open now; nullptr while none is.
    void setClient(engine::Client *client);
    // The ceilings on the supply at `address`; none set releases them.
    void hold(std::uint8_t address, const Ceilings &ceilings);
    // Nothing held on any supply.
    void clear();

private:
    void apply(std::uint8_t address, const Ceilings &ceilings);
    void releaseAll();

    QPointer<engine::Client> m_client;
    int m_source = 0; // in m_client's registry
    std::map<std::uint8_t, Ceilings> m_held;
};

} // namespace ui
