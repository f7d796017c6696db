// Requests relayed for other programs: any function for one unit, answered with
// the reply's bytes, taking turns with the rounds' polls.
#include "engine/client.h"
#include "engine/session.h"
#include "engine/sessionjobs.h"
#include "protocol/frames.h"
#include "protocol/mbap.h"

#include <algorithm>
#include <utility>

namespace engine {

bool RelayRequest::writes() const
{
    // Reads of coils, inputs and registers change nothing; any other function may.
    return pdu.empty() || pdu[0] < 0x01 || pdu[0] > 0x04;
}

void SessionLine::relay(const RelayRequest &request, std::function<void()>, Done done)
{
    LineAnswer answer;
    answer.address = request.unit;
    answer.failure = {Error::Port, 0, QStringLiteral("this line relays nothing")};
    done(answer);
}

void ClientLine::relay(const RelayRequest &request, std::function<void()> sent, Done done)
{
    if (m_relayCaller == 0) {
        // A caller of its own: the program's stop ends its own requests, not relays.
        m_relayCaller = m_client.addCaller();
    }
    const RequestWait wait{request.timeout, request.firstByte};
    const std::vector<std::uint8_t> &pdu = request.pdu;
    const auto word = [&pdu](std::size_t at) {
        return static_cast<std::uint16_t>((pdu[at] << 8) | pdu[at + 1]);
    };
    Reply *reply =
        pdu.size() == 5 && pdu[0] == protocol::kReadHoldingRegisters
            ? m_client.readRegisters(request.unit, word(1), word(3), m_relayCaller, wait)
            : m_client.write(protocol::mbap::toRtu(request.unit, pdu), m_relayCaller, wait);
    m_relay = reply;
    QObject::connect(reply, &Reply::sent, reply, [sent = std::move(sent)] {
        if (sent) {
            sent();
        }
    });
    QObject::connect(reply, &Reply::finished, reply,
                     [reply, unit = request.unit, done = std::move(done)] {
                         LineAnswer answer;
                         answer.address = unit;
                         answer.failure = reply->failure();
                         answer.bytes = reply->bytes();
                         if (reply->sentAt().isValid()) {
                             answer.sentTime = reply->sentTime();
                         }
                         reply->deleteLater();
                         done(answer);
                     });
}

void ClientLine::abortRelay()
{
    // The client never sends a request whose reply has gone.
    delete m_relay.data();
}

int Session::relay(Caller caller, RelayRequest request, std::function<void()> sent, Listener done)
{
    auto job = std::make_shared<RelayJob>();
    job->id = ++m_lastRelay;
    job->caller = caller;
    job->request = std::move(request);
    job->sent = std::move(sent);
    job->done = std::move(done);
    m_relays.push_back(job);
    const int id = job->id;
    pump();
    return id;
}

bool Session::abortRelay(int relay)
{
    const auto waiting = std::find_if(m_relays.begin(), m_relays.end(),
                                      [relay](const auto &job) { return job->id == relay; });
    if (waiting != m_relays.end()) {
        (*waiting)->aborted = true;
        m_relays.erase(waiting);
        return true;
    }
    if (!m_inFlight || !m_inFlight->relay || m_inFlight->relay->id != relay ||
        m_inFlight->relay->onLine) {
        return false;
    }
    // Handed to the line but not on it yet: the line lets it go unsent.
    m_inFlight->relay->aborted = true;
    m_line.abortRelay();
    m_inFlight.reset();
    goOnEvenIfHeldUp();
    return true;
}

std::unique_ptr<Session::Step> Session::takeRelay()
{
    // A relayed write waits for an all-off under way to end, as any write does.
    const auto next = std::find_if(m_relays.begin(), m_relays.end(), [this](const auto &job) {
        return m_allOffs.empty() || !job->request.writes();
    });
    if (next == m_relays.end()) {
        return nullptr;
    }
    const std::shared_ptr<RelayJob> job = *next;
    m_relays.erase(next);
    auto step = std::make_unique<Step>();
    step->rank = Rank::Poll; // never taken for a caller's read of the round's address
    step->address = job->request.unit;
    step->relay = job;
    step->waiters.push_back({job->caller, std::move(job->done)});
    return step;
}

std::unique_ptr<Session::Step> Session::relayInTurn()
{
    // After anything else, a waiting relay goes before the callers' reads, so
    // that neither kind can keep the other off the line; the all-off and the
    // confirmed write under way still go first.
    if (m_relayedLast || m_relays.empty() || !m_steps[int(Rank::AllOff)].empty() ||
        !m_steps[int(Rank::Write)].empty()) {
        return nullptr;
    }
    return takeRelay();
}

std::unique_ptr<Session::Step> Session::relayOrPoll()
{
    // After a relay, a poll that is due goes before the next relay.
    if (m_relayedLast) {
        const std::shared_ptr<bool> alive = m_alive;
        if (auto poll = pollStep()) {
            return poll;
        }
        if (!*alive) {
            return nullptr; // ended by a round's notice
        }
    }
    if (auto relay = takeRelay()) {
        return relay;
    }
    return pollStep();
}

void Session::sendRelay(const std::shared_ptr<RelayJob> &job, SessionLine::Done done)
{
    auto sent = [alive = m_alive, job] {
        if (*alive && !job->aborted && !job->onLine) {
            job->onLine = true;
            if (job->sent) {
                job->sent();
            }
        }
    };
    m_line.relay(job->request, std::move(sent), std::move(done));
}

void Session::dropRelays(std::vector<std::function<void()>> &calls, const Failure &failure,
                         std::optional<Caller> caller, bool writesOnly)
{
    for (auto it = m_relays.begin(); it != m_relays.end();) {
        const std::shared_ptr<RelayJob> job = *it;
        if ((caller && job->caller != *caller) || (writesOnly && !job->request.writes())) {
            ++it;
            continue;
        }
        LineAnswer answer;
        answer.address = job->request.unit;
        answer.failure = failure;
        if (job->done) {
            calls.push_back([done = std::move(job->done), answer] { done(answer); });
        }
        it = m_relays.erase(it);
    }
}

} // namespace engine
