#pragma once

#include <QtGlobal>

#include <chrono>
#include <functional>
#include <map>
#include <vector>

namespace web {

// Who holds the server's connections, and for how long. A connection that has
// not shown the token is closed `login` after it opened; one that has is closed
// `idle` after its last answer, unless it is held (an answer under way, a
// stream). When every slot is taken, the oldest connection that has not shown
// the token gives way to the newcomer. Idle or silent connections, however many
// and however often re-opened, so never keep out the one that brings the token:
// it is the newest, and a slot is made for it, where a share kept back for token
// holders would still have to admit it before it could show one. Times are
// milliseconds on any steady clock, given by the caller.
class Admission {
public:
    struct Limits {
        int capacity = 256;
        std::chrono::milliseconds login{10000};
        std::chrono::milliseconds idle{60000};
    };
    // What makeRoom() says when every slot is held by a token holder.
    static constexpr int kFull = -1;

    explicit Admission(Limits limits) : m_limits(limits) {}

    // Room for one more: 0 when a slot is free, the connection to close first
    // when one must give way, kFull when none may.
    int makeRoom() const;
    void opened(int id, qint64 now);
    // It showed a valid token: it is kept from now on, and idles longer.
    void shown(int id);
    // An answer went out (or a request came): the idle time starts again.
    void active(int id, qint64 now);
    void closed(int id) { m_entries.erase(id); }
    // The connections whose time is up; `held` tells those not to be closed.
    std::vector<int> expired(qint64 now, const std::function<bool(int)> &held) const;
    int size() const { return int(m_entries.size()); }

private:
    struct Entry {
        qint64 opened = 0;
        qint64 last = 0;
        bool shown = false;
    };
    Limits m_limits;
    std::map<int, Entry> m_entries; // ids rise as connections come: oldest first
};

} // namespace web
