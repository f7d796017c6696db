#pragma once

#include "protocol/reading.h"
#include "records/operations.h"

#include <QObject>
#include <QString>

#include <cstdint>
#include <optional>

namespace bus {

// What a card knows of its supply: the last good reading, the last error, and
// whether it has been without a good reply long enough to turn grey. Times are
// milliseconds on the window's monotonic clock.
class SupplyState {
public:
    static constexpr std::int64_t kGreyAfterMs = 2000;

    // The card appears at `nowMs`: it turns grey when nothing good came by 2 s later.
    explicit SupplyState(std::int64_t nowMs = 0) : m_lastGoodMs(nowMs) {}

    void take(const records::Reading &reading, std::int64_t nowMs);

    // No good reply for kGreyAfterMs.
    bool grey(std::int64_t nowMs) const { return nowMs - m_lastGoodMs >= kGreyAfterMs; }
    // "timeout", "crc", ...; "no reply" before any failure.
    QString lastError() const
    {
        return m_lastError.isEmpty() ? QObject::tr("no reply") : m_lastError;
    }
    const std::optional<protocol::StatusReading> &last() const { return m_last; }
    double ampHours() const { return m_ampHours; }
    double wattHours() const { return m_wattHours; }
    long readings() const { return m_readings; }

private:
    std::int64_t m_lastGoodMs;
    std::optional<protocol::StatusReading> m_last;
    QString m_lastError;
    double m_ampHours = 0;
    double m_wattHours = 0;
    long m_readings = 0;
};

} // namespace bus
