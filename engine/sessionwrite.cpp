// The session's confirmed write and its all-off.

#include "engine/session.h"
#include "engine/sessionjobs.h"

#include <QTimer>

#include <algorithm>
#include <utility>

namespace engine {

namespace {

// A stop, a port away and a refusal by a ceiling end a write at once: asking
// again changes nothing.
bool endsAtOnce(const Failure &failure)
{
    return failure.error == Error::Interrupted || failure.error == Error::Port ||
           failure.error == Error::Refused;
}

} // namespace

void Session::write(Caller caller, std::vector<protocol::Frame> requests, Confirms confirms,
                    WriteWatch watch)
{
    auto job = std::make_shared<WriteJob>();
    job->caller = caller;
    job->requests = std::move(requests);
    job->confirms = std::move(confirms);
    job->watch = std::move(watch);
    if (job->requests.empty()) {
        job->ended = true;
        job->result.failure = {Error::Foreign, 0, QStringLiteral("nothing to write")};
        // Answered from the event loop, as every answer is.
        QTimer::singleShot(0, this, [job] {
            if (job->watch.done) {
                job->watch.done(job->result);
            }
        });
        return;
    }
    m_writes.push_back(std::move(job));
    startWrite();
}

void Session::startWrite()
{
    if (m_write || m_writes.empty() || !m_allOffs.empty()) {
        return;
    }
    m_write = std::move(m_writes.front());
    m_writes.pop_front();
    m_write->result.started = true;
    const std::shared_ptr<WriteJob> job = m_write;
    if (job->change) {
        addressNext(job, nullptr);
    } else {
        attempt(job);
    }
}

void Session::attempt(const std::shared_ptr<WriteJob> &job)
{
    ++job->attempt;
    job->next = 0;
    sendNext(job);
}

void Session::sendNext(const std::shared_ptr<WriteJob> &job)
{
    if (job->next >= job->requests.size()) {
        job->readingsLeft = std::max(1, m_settings.readingsPerAttempt);
        readBack(job);
        return;
    }
    auto step = std::make_unique<Step>();
    step->rank = job->rank;
    step->address = job->address();
    step->write = job->requests[job->next];
    step->owner = job.get();
    step->waiters.push_back({job->caller, [this, job](const LineAnswer &answer) {
                                 if (!job->ended) {
                                     written(job, answer);
                                 }
                             }});
    enqueue(std::move(step));
}

void Session::written(const std::shared_ptr<WriteJob> &job, const LineAnswer &answer)
{
    WriteOutcome &result = job->result;
    result.sent = result.sent || answer.wentOut();
    if (!answer.failure) {
        ++job->next;
        sendNext(job);
        return;
    }
    result.failure = answer.failure;
    result.bytes = answer.bytes;
    result.undecoded = false;
    result.failedWrite = job->next;
    if (endsAtOnce(answer.failure)) {
        result.problem =
            answer.failure.error == Error::Refused ? answer.failure.detail : answer.failure.word();
        finish(job);
        return;
    }
    attemptFailed(job, answer.failure.word());
}

void Session::readBack(const std::shared_ptr<WriteJob> &job)
{
    // A read-back is a request of its own: a reading asked before the write
    // could not show it.
    auto step = std::make_unique<Step>();
    step->rank = job->rank;
    step->address = job->address();
    step->owner = job.get();
    step->waiters.push_back({job->caller, [this, job](const LineAnswer &answer) {
                                 if (!job->ended) {
                                     readBackCame(job, answer);
                                 }
                             }});
    enqueue(std::move(step));
}

void Session::readBackCame(const std::shared_ptr<WriteJob> &job, const LineAnswer &answer)
{
    if (answer.failure.error != Error::Interrupted && job->watch.readBack) {
        const std::shared_ptr<bool> alive = m_alive;
        job->watch.readBack(answer);
        if (!*alive || job->ended) {
            return; // ended, or cancelled, from inside the call
        }
    }
    WriteOutcome &result = job->result;
    result.failure = answer.failure;
    result.bytes = answer.bytes;
    result.undecoded = answer.undecoded;
    result.failedWrite.reset();
    if (endsAtOnce(answer.failure)) {
        result.problem = answer.failure.word();
        finish(job);
        return;
    }
    QString problem;
    if (answer.good()) {
        result.readBack = answer.reading;
        if (job->confirms(*answer.reading)) {
            result.failure = {};
            result.problem.clear();
            finish(job);
            return;
        }
        problem = QStringLiteral("the read-back differs");
        result.failure = {Error::NotConfirmed, 0, problem};
    } else {
        problem = QStringLiteral("no read-back (%1)").arg(answer.failure.word());
    }
    result.problem = problem;
    if (--job->readingsLeft > 0) {
        readBack(job);
        return;
    }
    attemptFailed(job, problem);
}

void Session::attemptFailed(const std::shared_ptr<WriteJob> &job, const QString &problem)
{
    job->result.problem = problem;
    if (job->attempt >= std::max(1, m_settings.writeAttempts)) {
        finish(job);
        return;
    }
    const std::shared_ptr<bool> alive = m_alive;
    if (job->watch.retrying) {
        job->watch.retrying(problem);
    }
    if (*alive && !job->ended) {
        attempt(job);
    }
}

void Session::finish(std::shared_ptr<WriteJob> job)
{
    job->ended = true;
    if (m_write == job) {
        m_write.reset();
    }
    const std::shared_ptr<bool> alive = m_alive;
    if (job->watch.done) {
        job->watch.done(job->result);
    }
    if (!*alive) {
        return; // ended from inside the call
    }
    startWrite();
    pump();
}

std::function<void()> Session::stop(std::shared_ptr<WriteJob> job, const Failure &failure,
                                    bool started)
{
    job->ended = true;
    job->result.failure = failure;
    job->result.problem = failure.word();
    job->result.started = started;
    // A register write handed to the line has gone out, whatever its reply says.
    if (m_inFlight && m_inFlight->owner == job.get() && m_inFlight->write) {
        job->result.sent = true;
    }
    auto &steps = m_steps[int(job->rank)];
    steps.erase(std::remove_if(steps.begin(), steps.end(),
                               [owner = job.get()](const auto &s) { return s->owner == owner; }),
                steps.end());
    if (m_write == job) {
        m_write.reset();
    }
    return [done = job->watch.done, result = job->result] {
        if (done) {
            done(result);
        }
    };
}

void Session::allOff(Caller caller, std::vector<std::uint8_t> addresses,
                     std::function<void(const AllOffOutcome &)> done, Listener readBack)
{
    auto job = std::make_unique<AllOffJob>();
    job->caller = caller;
    job->addresses = std::move(addresses);
    job->done = std::move(done);
    job->readBack = std::move(readBack);
    m_allOffs.push_back(std::move(job));
    const bool first = m_allOffs.size() == 1;
    // What waits is dropped, and the write under way stops after its request on
    // the line; the all-off, queued first, keeps any other write from starting.
    // A second all-off follows the one under way.
    std::vector<std::function<void()>> calls;
    const Failure dropped{Error::Interrupted, 0, QStringLiteral("every output is switched off")};
    for (const auto &waiting : m_writes) {
        calls.push_back(stop(waiting, dropped, false));
    }
    m_writes.clear();
    dropRelays(calls, dropped, std::nullopt, true);
    if (m_write) {
        calls.push_back(stop(m_write, dropped, true));
    }
    const std::shared_ptr<bool> alive = m_alive;
    for (const auto &call : calls) {
        call();
        if (!*alive) {
            return;
        }
    }
    if (first) {
        startAllOff();
    }
}

void Session::startAllOff()
{
    if (m_allOffs.empty()) {
        return;
    }
    m_allOffs.front()->next = 0;
    allOffNext();
}

void Session::allOffNext()
{
    AllOffJob &all = *m_allOffs.front();
    if (all.next >= all.addresses.size()) {
        std::unique_ptr<AllOffJob> ended = std::move(m_allOffs.front());
        m_allOffs.pop_front();
        const std::shared_ptr<bool> alive = m_alive;
        if (ended->done) {
            ended->done(ended->outcome);
        }
        if (!*alive) {
            return;
        }
        if (m_allOffs.empty()) {
            startWrite();
        } else {
            startAllOff();
        }
        pump();
        return;
    }
    const std::uint8_t address = all.addresses[all.next];
    auto job = std::make_shared<WriteJob>();
    job->caller = all.caller;
    job->rank = Rank::AllOff;
    job->requests = {protocol::buildSwitchOutputRequest(address, false)};
    job->confirms = [](const protocol::StatusReading &r) { return !r.outputOn; };
    job->watch.readBack = all.readBack;
    job->watch.done = [this, address](const WriteOutcome &outcome) {
        AllOffJob &current = *m_allOffs.front();
        if (outcome.confirmed()) {
            current.outcome.off.push_back(address);
        } else {
            current.outcome.failed.emplace_back(address, outcome);
        }
        ++current.next;
        allOffNext();
    };
    job->result.started = true;
    attempt(job);
}

} // namespace engine
