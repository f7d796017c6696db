#include "runs/schedule.h"

#include <algorithm>
#include <utility>

namespace runs {

namespace {

std::int64_t toNs(std::chrono::milliseconds ms)
{
    return std::chrono::nanoseconds(ms).count();
}

engine::RoundSlots::time_point at(std::int64_t ns)
{
    return engine::RoundSlots::time_point(std::chrono::nanoseconds(ns));
}

QString clockText(const QDateTime &time)
{
    return time.toString(QStringLiteral("HH:mm:ss.zzz"));
}

} // namespace

Schedule::Schedule(std::chrono::milliseconds interval,
                   std::optional<std::chrono::milliseconds> duration)
    : m_interval(std::max(interval, std::chrono::milliseconds(1))), m_duration(duration),
      m_slots(m_interval)
{
}

void Schedule::start(std::int64_t nowNs)
{
    m_startNs = nowNs;
    m_slots.start(at(nowNs));
    m_rounds = 0;
    m_skipped = 0;
    m_firstSkip = m_lastSkip = QDateTime();
    m_lastLagMs = 0;
}

bool Schedule::over(std::int64_t nowNs) const
{
    return m_duration && nowNs - m_startNs >= toNs(*m_duration);
}

std::int64_t Schedule::untilNextRound(std::int64_t nowNs) const
{
    return m_slots.untilDue(at(nowNs)).count();
}

void Schedule::roundStarted(std::int64_t nowNs)
{
    roundTaken(m_slots.take(at(nowNs)));
}

void Schedule::roundTaken(const engine::RoundSlots::Taken &taken)
{
    const std::int64_t interval = toNs(m_interval);
    const std::int64_t lag = taken.lag.count();
    if (taken.givenUp > 0) {
        // When the slots given up were due, on the wall clock: the first of them
        // `givenUp` slots before the one taken, the last one slot before it.
        const QDateTime now = QDateTime::currentDateTime();
        const auto ago = [&](std::int64_t slotsBefore) {
            return now.addMSecs(-(lag + slotsBefore * interval) / 1'000'000);
        };
        if (m_skipped == 0) {
            m_firstSkip = ago(taken.givenUp);
        }
        m_lastSkip = ago(1);
        m_skipped += taken.givenUp;
    }
    m_lastLagMs = static_cast<double>(lag) / 1e6;
    ++m_rounds;
}

std::optional<std::int64_t> Schedule::roundEnded(std::int64_t tookNs, bool handedOver)
{
    const std::int64_t before = std::exchange(m_slowRoundNs, 0);
    if (!handedOver && tookNs > toNs(m_interval)) {
        m_slowRoundNs = tookNs;
    }
    if (before == 0 || handedOver || m_toldSlow) {
        return std::nullopt;
    }
    m_toldSlow = true;
    return before;
}

QString Schedule::summary() const
{
    QString text =
        QStringLiteral("schedule: %1 rounds every %2 ms; ").arg(m_rounds).arg(m_interval.count());
    if (m_skipped > 0) {
        text += m_skipped == 1
                    ? QStringLiteral("1 slot given up at %1, when a round overran; ")
                          .arg(clockText(m_firstSkip))
                    : QStringLiteral("%1 slots given up between %2 and %3, when rounds overran; ")
                          .arg(m_skipped)
                          .arg(clockText(m_firstSkip), clockText(m_lastSkip));
    }
    return text +
           QStringLiteral("the last started %1 ms after its slot").arg(m_lastLagMs, 0, 'f', 1);
}

} // namespace runs
