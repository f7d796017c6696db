#include "bus/poller.h"

#include <algorithm>

namespace bus {

Poller::Poller(BusLine &line, QObject *parent) : QObject(parent), m_line(line)
{
    m_roundWait.setSingleShot(true);
    connect(&m_roundWait, &QTimer::timeout, this, [this] {
        m_roundClock.start();
        next();
    });
}

Poller::~Poller()
{
    *m_alive = false;
}

void Poller::setAddresses(const std::vector<std::uint8_t> &addresses)
{
    m_addresses = addresses;
    m_index = 0;
    std::map<std::uint8_t, AddressState> kept;
    for (std::uint8_t a : m_addresses) {
        kept[a] = m_states[a];
    }
    m_states = std::move(kept);
    next();
}

void Poller::start()
{
    if (m_running) {
        return;
    }
    m_running = true;
    m_roundClock.start();
    next();
}

void Poller::stop()
{
    m_running = false;
    m_roundWait.stop();
}

bool Poller::silent(std::uint8_t address) const
{
    const auto it = m_states.find(address);
    return it != m_states.end() && it->second.skips > 0;
}

void Poller::write(std::uint8_t address, supply::Target target, std::uint16_t value, WriteDone done)
{
    m_writes.push_back({address, target, value, std::move(done)});
    next();
}

int Poller::allOutputsOff(std::function<void(const OffResults &)> done)
{
    std::deque<Pending> dropped;
    dropped.swap(m_writes);
    for (Pending &p : dropped) {
        if (p.done) {
            supply::WriteResult result;
            result.problem = tr("dropped by “All outputs off”");
            p.done(result);
        }
    }
    auto results = std::make_shared<OffResults>();
    auto left = std::make_shared<std::size_t>(m_addresses.size());
    if (m_addresses.empty()) {
        done({});
        return static_cast<int>(dropped.size());
    }
    for (std::uint8_t a : m_addresses) {
        results->emplace_back(a, supply::WriteResult{});
        const std::size_t slot = results->size() - 1;
        m_writes.push_back({a, supply::Target::Output, 0,
                            [results, left, slot, done](const supply::WriteResult &r) {
                                (*results)[slot].second = r;
                                if (--*left == 0) {
                                    done(*results);
                                }
                            }});
    }
    next();
    return static_cast<int>(dropped.size());
}

void Poller::next()
{
    if (m_busy) {
        return;
    }
    if (!m_writes.empty()) {
        Pending pending = std::move(m_writes.front());
        m_writes.pop_front();
        send(std::move(pending));
        return;
    }
    if (!m_running || m_addresses.empty() || m_roundWait.isActive()) {
        return;
    }
    // Every address leaves its skips after at most kSilentEvery rounds, so one is
    // read within that many rounds.
    const std::size_t visits = m_addresses.size() * (kSilentEvery + 1);
    for (std::size_t visit = 0; visit <= visits; ++visit) {
        if (m_index >= m_addresses.size()) {
            m_index = 0;
            ++m_rounds;
            const qint64 left = m_shortestRound.count() - m_roundClock.elapsed();
            if (left > 0) {
                m_roundWait.start(static_cast<int>(left));
                return;
            }
            m_roundClock.start();
        }
        const std::uint8_t address = m_addresses[m_index++];
        AddressState &state = m_states[address];
        if (state.skips > 0) {
            --state.skips;
            continue;
        }
        read(address);
        return;
    }
}

void Poller::read(std::uint8_t address)
{
    m_busy = true;
    m_line.read(address, [this, alive = m_alive](const supply::Reading &reading) {
        if (!*alive) {
            return;
        }
        m_busy = false;
        const bool keep = note(reading);
        goOnEvenIfHeldUp();
        // A write asked for on this reading (a ceiling's switch-off) goes first.
        if (keep) {
            emit readingTaken(reading);
        }
        if (*alive) {
            next();
        }
    });
}

void Poller::send(Pending pending)
{
    m_busy = true;
    m_writing = true;
    supply::WriteCallbacks callbacks;
    callbacks.readBack = [this, alive = m_alive](const supply::Reading &reading) {
        if (*alive && note(reading)) {
            emit readingTaken(reading);
        }
    };
    callbacks.done = [this, alive = m_alive,
                      done = std::move(pending.done)](const supply::WriteResult &result) {
        if (!*alive) {
            return;
        }
        m_busy = false;
        m_writing = false;
        goOnEvenIfHeldUp();
        if (done) {
            done(result);
        }
        if (!*alive) {
            return;
        }
        next();
        if (!writing()) {
            emit writesDone();
        }
    };
    m_line.write(pending.address, pending.target, pending.value, std::move(callbacks));
}

void Poller::goOnEvenIfHeldUp()
{
    // Whoever is told next may wait in an event loop of its own (a message box):
    // the next request then goes out from that loop instead of waiting for it.
    QTimer::singleShot(0, this, [this] { next(); });
}

bool Poller::note(const supply::Reading &reading)
{
    if (reading.failure.error == supply::Error::Interrupted) {
        return false;
    }
    const auto address = static_cast<std::uint8_t>(reading.row.address);
    if (m_states.count(address) != 0) {
        m_states[address].skips =
            reading.failure.error == supply::Error::Timeout ? kSilentEvery - 1 : 0;
    }
    return true;
}

} // namespace bus
