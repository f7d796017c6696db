#include "engine/session.h"

#include "engine/client.h"
#include "engine/sessionjobs.h"

#include <QStringList>
#include <QTimer>

#include <algorithm>
#include <utility>

namespace engine {

namespace {

class QtSessionTimer : public SessionTimer {
public:
    explicit QtSessionTimer(bool precise)
    {
        m_timer.setSingleShot(true);
        if (precise) {
            m_timer.setTimerType(Qt::PreciseTimer);
        }
        QObject::connect(&m_timer, &QTimer::timeout, [this] {
            if (m_fire) {
                auto fire = std::move(m_fire);
                m_fire = nullptr;
                fire();
            }
        });
    }
    void start(std::chrono::milliseconds after, std::function<void()> fire) override
    {
        m_fire = std::move(fire);
        m_timer.start(after);
    }
    void stop() override
    {
        m_timer.stop();
        m_fire = nullptr;
    }

private:
    QTimer m_timer;
    std::function<void()> m_fire;
};

bool contains(const std::vector<std::uint8_t> &list, std::uint8_t address)
{
    return std::find(list.begin(), list.end(), address) != list.end();
}

} // namespace

std::unique_ptr<SessionTimer> makeQtSessionTimer(bool precise)
{
    return std::make_unique<QtSessionTimer>(precise);
}

void ClientLine::readStatus(std::uint8_t address, Done done)
{
    m_client.readStatus(address, [address, done = std::move(done)](const Reply &reply) {
        LineAnswer answer;
        answer.address = address;
        answer.failure = reply.failure();
        answer.bytes = reply.bytes();
        answer.reading = reply.reading();
        answer.sentTime = reply.sentTime();
        if (!answer.failure && !answer.reading) {
            // A reply of the right shape whose words no supply reports.
            answer.failure = {Error::Undecoded, 0,
                              QStringLiteral("values outside what a supply reports")};
            answer.undecoded = true;
        }
        done(answer);
    });
}

void ClientLine::write(const protocol::Frame &request, Done done)
{
    m_client.write(request, [done = std::move(done)](const Reply &reply) {
        LineAnswer answer;
        answer.address = reply.address();
        answer.failure = reply.failure();
        answer.bytes = reply.bytes();
        if (reply.sentAt().isValid()) {
            answer.sentTime = reply.sentTime();
        }
        done(answer);
    });
}

Failure AllOffOutcome::failure() const
{
    if (failed.empty()) {
        return {};
    }
    QStringList addresses;
    for (const auto &entry : failed) {
        addresses << QString::number(entry.first);
    }
    return {Error::NotConfirmed, 0, QStringLiteral("not off: %1").arg(addresses.join(u", "))};
}

Session::Session(SessionLine &line, const EngineClock &clock, std::unique_ptr<SessionTimer> timer,
                 SessionSettings settings, QObject *parent)
    : QObject(parent), m_line(line), m_clock(clock), m_timer(std::move(timer)), m_settings(settings)
{
}

Session::Session(Client &client, SessionSettings settings, QObject *parent)
    : QObject(parent), m_ownLine(std::make_unique<ClientLine>(client)), m_line(*m_ownLine),
      m_clock(client.clock()), m_timer(makeQtSessionTimer()), m_settings(settings)
{
}

Session::~Session()
{
    *m_alive = false;
    m_timer->stop();
}

bool Session::idle() const
{
    if (m_inFlight || m_write || !m_writes.empty() || !m_allOffs.empty() || !m_relays.empty()) {
        return false;
    }
    return std::all_of(std::begin(m_steps), std::end(m_steps),
                       [](const auto &steps) { return steps.empty(); });
}

bool Session::writing(Caller caller) const
{
    const auto mine = [caller](const auto &job) { return job->caller == caller; };
    return (m_write && mine(m_write)) || std::any_of(m_writes.begin(), m_writes.end(), mine) ||
           std::any_of(m_allOffs.begin(), m_allOffs.end(), mine);
}

void Session::poll(Caller caller, std::vector<std::uint8_t> addresses, Listener reading)
{
    if (addresses.empty()) {
        m_pollers.erase(caller);
        forgetUnpolled();
        return;
    }
    // Addresses new to the round under way join it at its end.
    if (m_roundNext < m_round.size()) {
        for (std::uint8_t address : addresses) {
            if (!contains(m_round, address)) {
                m_round.push_back(address);
            }
        }
    }
    m_pollers[caller] = {std::move(addresses), std::move(reading)};
    forgetUnpolled();
    pump();
}

void Session::read(Caller caller, std::uint8_t address, Listener done)
{
    for (auto &step : m_steps[int(Rank::Read)]) {
        if (step->address == address) {
            step->waiters.push_back({caller, std::move(done)});
            return;
        }
    }
    auto step = std::make_unique<Step>();
    step->rank = Rank::Read;
    step->address = address;
    step->waiters.push_back({caller, std::move(done)});
    enqueue(std::move(step));
}

void Session::enqueue(std::unique_ptr<Step> step)
{
    m_steps[int(step->rank)].push_back(std::move(step));
    pump();
}

void Session::pump()
{
    if (m_pumping) {
        return;
    }
    m_pumping = true;
    // A line may answer from inside the call (a path that knows at once): the
    // loop then takes up the next step itself.
    while (!m_inFlight) {
        std::unique_ptr<Step> step = relayInTurn();
        for (auto &steps : m_steps) {
            if (!step && !steps.empty()) {
                step = std::move(steps.front());
                steps.pop_front();
                break;
            }
        }
        if (step && step->rank == Rank::Read && !m_pollWaiting && m_roundNext < m_round.size() &&
            m_round[m_roundNext] == step->address) {
            step->poll = true; // a caller's read is the round's poll as well
        }
        if (!step) {
            const std::shared_ptr<bool> alive = m_alive;
            step = relayOrPoll();
            if (!*alive) {
                return; // ended by a round's notice
            }
            const bool waits = std::any_of(std::begin(m_steps), std::end(m_steps),
                                           [](const auto &steps) { return !steps.empty(); });
            if (!step && waits) {
                continue; // a round's notice asked for something
            }
        }
        if (!step) {
            break;
        }
        m_inFlight = std::move(step);
        auto done = [this, alive = m_alive](const LineAnswer &answer) {
            if (*alive) {
                answered(answer);
            }
        };
        // Copies: an answer from inside the call ends the step.
        const std::optional<protocol::Frame> write = m_inFlight->write;
        const std::uint8_t address = m_inFlight->address;
        m_relayedLast = m_inFlight->relay != nullptr;
        if (const std::shared_ptr<RelayJob> relay = m_inFlight->relay) {
            sendRelay(relay, std::move(done));
        } else if (write) {
            m_line.write(*write, std::move(done));
        } else {
            m_line.readStatus(address, std::move(done));
        }
    }
    m_pumping = false;
}

std::unique_ptr<Session::Step> Session::pollStep()
{
    if (m_pollWaiting || m_pollers.empty()) {
        return nullptr;
    }
    // Each round built takes one round off every silent address it passes over,
    // so that one address is asked within silentRounds + 1 rounds: the loop ends.
    while (!passOver()) {
        const std::shared_ptr<bool> alive = m_alive;
        if (!m_round.empty()) {
            // The round is over, asked or not: the next begins at its time.
            m_round.clear();
            m_roundNext = 0;
            RoundNotice ended;
            ended.started = false;
            ended.began = m_roundStart;
            tellRound(ended);
            if (!*alive || m_pollWaiting || m_pollers.empty()) {
                return nullptr;
            }
            if (!nextRoundDue()) {
                waitForRound(untilNextRound());
                return nullptr;
            }
        } else if (m_settings.fixedSlots && !nextRoundDue()) {
            waitForRound(untilNextRound()); // a timer that fired before the slot
            return nullptr;
        }
        for (const auto &[caller, poller] : m_pollers) {
            for (std::uint8_t address : poller.addresses) {
                if (!contains(m_round, address)) {
                    m_round.push_back(address);
                }
            }
        }
        m_roundNext = 0;
        roundBegins();
        if (!*alive || m_pollWaiting || m_pollers.empty()) {
            return nullptr;
        }
    }
    auto step = std::make_unique<Step>();
    step->rank = Rank::Poll;
    step->address = m_round[m_roundNext];
    step->poll = true;
    return step;
}

bool Session::passOver()
{
    while (m_roundNext < m_round.size()) {
        const std::uint8_t address = m_round[m_roundNext];
        const auto silent = m_silent.find(address);
        if (!polledByAny(address)) {
            ++m_roundNext; // no caller polls it any more
        } else if (silent != m_silent.end() && silent->second > 0) {
            --silent->second;
            ++m_roundNext;
        } else {
            return true;
        }
    }
    return false;
}

bool Session::polledByAny(std::uint8_t address) const
{
    return std::any_of(m_pollers.begin(), m_pollers.end(),
                       [address](const auto &p) { return contains(p.second.addresses, address); });
}

bool Session::silent(std::uint8_t address) const
{
    const auto it = m_silent.find(address);
    return it != m_silent.end() && it->second > 0;
}

void Session::noteSilence(const LineAnswer &answer)
{
    const Error error = answer.failure.error;
    if (error == Error::Interrupted) {
        return; // nothing was heard of the supply
    }
    if (error == Error::Timeout && m_settings.silentRounds > 0 && polledByAny(answer.address)) {
        m_silent[answer.address] = m_settings.silentRounds;
    } else {
        m_silent.erase(answer.address);
    }
}

void Session::forgetUnpolled()
{
    for (auto it = m_silent.begin(); it != m_silent.end();) {
        it = polledByAny(it->first) ? std::next(it) : m_silent.erase(it);
    }
}

void Session::goOnEvenIfHeldUp()
{
    // Whoever is told next may wait in an event loop of its own (a message box):
    // the next request then goes out from that loop instead of waiting for it.
    if (m_goOnPosted) {
        return;
    }
    m_goOnPosted = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            m_goOnPosted = false;
            pump();
        },
        Qt::QueuedConnection);
}

void Session::answered(const LineAnswer &line)
{
    std::unique_ptr<Step> step = std::move(m_inFlight);
    LineAnswer answer = line;
    answer.address = step->address;
    if (!step->write && !step->relay) {
        noteSilence(answer); // a read-back or a caller's read tells of silence too
    }
    alignSlots(*step, answer);
    goOnEvenIfHeldUp();
    // The round moves on before anyone hears, so that a request asked from a
    // listener never repeats this poll.
    const std::vector<Listener> listeners = step->poll ? polled(answer) : std::vector<Listener>{};
    // Whoever is told may end the session itself: nothing of it is touched after.
    const std::shared_ptr<bool> alive = m_alive;
    for (auto &waiter : step->waiters) {
        if (waiter.done) {
            waiter.done(answer);
            if (!*alive) {
                return;
            }
        }
    }
    for (const Listener &listener : listeners) {
        listener(answer);
        if (!*alive) {
            return;
        }
    }
    pump();
}

std::vector<Session::Listener> Session::polled(const LineAnswer &answer)
{
    // The listeners are copied: one may change the pollers as it is called.
    std::vector<Listener> listeners;
    for (const auto &[caller, poller] : m_pollers) {
        if (contains(poller.addresses, answer.address) && poller.reading) {
            listeners.push_back(poller.reading);
        }
    }
    ++m_roundNext;
    const Error error = answer.failure.error;
    if (error == Error::Port || error == Error::Interrupted) {
        waitForRound(m_settings.portRetry);
    }
    return listeners;
}

void Session::waitForRound(std::chrono::milliseconds wait)
{
    m_pollWaiting = true;
    m_timer->start(wait, [this] {
        m_pollWaiting = false;
        pump();
    });
}

void Session::cancel(Caller caller)
{
    cancel(caller, true);
}

void Session::cancelWaiting(Caller caller)
{
    cancel(caller, false);
}

void Session::cancel(Caller caller, bool underWay)
{
    m_pollers.erase(caller);
    forgetUnpolled();
    std::vector<std::function<void()>> calls;
    const Failure stopped{Error::Interrupted};
    const auto takeWaiters = [&](Step &step) {
        auto &waiters = step.waiters;
        for (auto it = waiters.begin(); it != waiters.end();) {
            if (it->caller == caller && !step.owner) {
                LineAnswer answer;
                answer.address = step.address;
                answer.failure = stopped;
                if (it->done) {
                    calls.push_back([done = std::move(it->done), answer] { done(answer); });
                }
                it = waiters.erase(it);
            } else {
                ++it;
            }
        }
    };
    auto &reads = m_steps[int(Rank::Read)];
    for (auto it = reads.begin(); it != reads.end();) {
        takeWaiters(**it);
        it = (*it)->waiters.empty() ? reads.erase(it) : it + 1;
    }
    if (m_inFlight) {
        takeWaiters(*m_inFlight);
    }
    for (auto it = m_writes.begin(); it != m_writes.end();) {
        if ((*it)->caller == caller) {
            calls.push_back(stop(*it, stopped, false));
            it = m_writes.erase(it);
        } else {
            ++it;
        }
    }
    if (underWay && m_write && m_write->caller == caller) {
        calls.push_back(stop(m_write, stopped, true));
    }
    dropRelays(calls, stopped, caller, false);
    const std::shared_ptr<bool> alive = m_alive;
    for (const auto &call : calls) {
        call();
        if (!*alive) {
            return;
        }
    }
    startWrite();
}

} // namespace engine
