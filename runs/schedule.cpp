#include "runs/schedule.h"

#include <algorithm>
#include <utility>

namespace supply {

namespace {

std::int64_t toNs(std::chrono::milliseconds ms)
{
    return std::chrono::nanoseconds(ms).count();
}

QString clockText(const QDateTime &time)
{
    return time.toString(QStringLiteral("HH:mm:ss.zzz"));
}

} // namespace

Schedule::Schedule(std::chrono::milliseconds interval,
                   std::optional<std::chrono::milliseconds> duration)
    : m_interval(std::max(interval, std::chrono::milliseconds(1))), m_duration(duration)
{
}

void Schedule::start(std::int64_t nowNs)
{
    m_startNs = nowNs;
    m_next = 0;
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
    return std::max<std::int64_t>(0, m_startNs + m_next * toNs(m_interval) - nowNs);
}

void Schedule::roundStarted(std::int64_t nowNs)
{
    const std::int64_t interval = toNs(m_interval);
    // The latest slot that has come: the round takes it, and the slots between
    // the one owed and it are given up rather than read back to back.
    const std::int64_t latest = std::max<std::int64_t>(0, (nowNs - m_startNs) / interval);
    if (latest > m_next) {
        const QDateTime now = QDateTime::currentDateTime();
        const auto ago = [&](std::int64_t slot) {
            return now.addMSecs(-(nowNs - m_startNs - slot * interval) / 1'000'000);
        };
        if (m_skipped == 0) {
            m_firstSkip = ago(m_next);
        }
        m_lastSkip = ago(latest - 1);
        m_skipped += latest - m_next;
        m_next = latest;
    }
    m_lastLagMs = static_cast<double>(nowNs - m_startNs - m_next * interval) / 1e6;
    ++m_next;
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

} // namespace supply
