#include "web/admission.h"

namespace web {

int Admission::makeRoom() const
{
    if (size() < m_limits.capacity) {
        return 0;
    }
    for (const auto &entry : m_entries) {
        if (!entry.second.shown) {
            return entry.first;
        }
    }
    return kFull;
}

void Admission::opened(int id, qint64 now)
{
    m_entries[id] = Entry{now, now, false};
}

void Admission::shown(int id)
{
    const auto found = m_entries.find(id);
    if (found != m_entries.end()) {
        found->second.shown = true;
    }
}

void Admission::active(int id, qint64 now)
{
    const auto found = m_entries.find(id);
    if (found != m_entries.end()) {
        found->second.last = now;
    }
}

std::vector<int> Admission::expired(qint64 now, const std::function<bool(int)> &held) const
{
    std::vector<int> out;
    for (const auto &[id, entry] : m_entries) {
        const bool over = entry.shown ? now - entry.last >= m_limits.idle.count()
                                      : now - entry.opened >= m_limits.login.count();
        if (over && !(held && held(id))) {
            out.push_back(id);
        }
    }
    return out;
}

} // namespace web
