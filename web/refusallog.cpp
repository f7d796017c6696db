#include "web/refusallog.h"

#include <QDeadlineTimer>

namespace web {

RefusalLog::RefusalLog(Say say, Clock clock, long perMinute)
    : m_say(std::move(say)), m_clock(std::move(clock)), m_perMinute(qMax(1L, perMinute))
{
    if (!m_clock) {
        m_clock = [] { return QDeadlineTimer::current().deadline(); };
    }
    m_timer.setInterval(std::chrono::seconds(5));
    QObject::connect(&m_timer, &QTimer::timeout, &m_timer, [this] { flush(); });
}

void RefusalLog::note(const QString &key, const QString &line)
{
    flush();
    const auto found = m_entries.find(key);
    if (found != m_entries.end() && found->second.said >= m_perMinute) {
        ++found->second.more;
        found->second.line = line;
        return;
    }
    if (found != m_entries.end()) {
        ++found->second.said;
    } else {
        m_entries[key] = Entry{m_clock(), 1, 0, line};
    }
    if (m_say) {
        m_say(line);
    }
    if (!m_timer.isActive()) {
        m_timer.start();
    }
}

void RefusalLog::flush()
{
    const qint64 now = m_clock();
    for (auto it = m_entries.begin(); it != m_entries.end();) {
        Entry &entry = it->second;
        if (now - entry.since < kWindowMs) {
            ++it;
            continue;
        }
        if (entry.more == 0) {
            // A quiet minute's end: the next is said at once again.
            it = m_entries.erase(it);
            continue;
        }
        if (m_say) {
            m_say(
                QStringLiteral("%1 (%2 more in the last minute)").arg(entry.line).arg(entry.more));
        }
        // A new minute: what comes in it is counted and said at its end.
        entry = Entry{now, m_perMinute, 0, entry.line};
        ++it;
    }
    if (m_entries.empty()) {
        m_timer.stop();
    }
}

} // namespace web
