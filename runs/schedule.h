#pragma once

#include "engine/roundslots.h"

#include <QDateTime>
#include <QString>

#include <chrono>
#include <cstdint>
#include <optional>

namespace runs {

// The rounds of readings of a log or a run: round k belongs to the slot
// k × interval after the start (RoundSlots). A round starts at its slot, or at
// once when it is late; when a later slot has come too, the slots before it are
// given up (counted, with when), never read back to back. A duration ends the
// schedule between readings. Times are nanoseconds on the caller's monotonic
// clock. A run takes its rounds here; a log's rounds are the session's, and the
// schedule keeps their account.
class Schedule {
public:
    explicit Schedule(std::chrono::milliseconds interval,
                      std::optional<std::chrono::milliseconds> duration = std::nullopt);

    // Slot 0 is at `nowNs`.
    void start(std::int64_t nowNs);
    // Whether the duration has passed at `nowNs`: no reading starts after it.
    bool over(std::int64_t nowNs) const;
    // Nanoseconds from `nowNs` until the next round is due; 0 when it is due now.
    std::int64_t untilNextRound(std::int64_t nowNs) const;
    // A round starts at `nowNs` (when it is due): slots that have passed before
    // the latest one are given up.
    void roundStarted(std::int64_t nowNs);
    // A round started now on a slot taken elsewhere (the session's rounds).
    void roundTaken(const engine::RoundSlots::Taken &taken);
    // A round ended after `tookNs`; `handedOver`: the line changed hands during
    // it. Gives the length of a round longer than the interval to tell of, once
    // per schedule. A round that waited for the line to change hands says
    // nothing of the line's speed, nor does the round before it, which may have
    // waited for the old owner to finish its own work before it left: so a slow
    // round is told of once the next round ended without a handover.
    std::optional<std::int64_t> roundEnded(std::int64_t tookNs, bool handedOver);

    std::chrono::milliseconds interval() const { return m_interval; }
    long rounds() const { return m_rounds; }
    // Slots given up, and the first and last of them as wall-clock times.
    long slotsSkipped() const { return m_skipped; }
    const QDateTime &firstSkip() const { return m_firstSkip; }
    const QDateTime &lastSkip() const { return m_lastSkip; }
    // How late the last round started against its slot.
    double lastLagMs() const { return m_lastLagMs; }

    // "schedule: 10 rounds every 1000 ms; the last started 1.7 ms after its slot",
    // with the slots given up and when, if any.
    QString summary() const;

private:
    std::chrono::milliseconds m_interval;
    std::optional<std::chrono::milliseconds> m_duration;
    std::int64_t m_startNs = 0;
    engine::RoundSlots m_slots;
    long m_rounds = 0;
    long m_skipped = 0;
    QDateTime m_firstSkip;
    QDateTime m_lastSkip;
    double m_lastLagMs = 0;
    std::int64_t m_slowRoundNs = 0; // a slow round not yet told of: its length
    bool m_toldSlow = false;
};

} // namespace runs
