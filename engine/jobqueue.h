#pragma once

#include "engine/engine.h"

#include <deque>
#include <functional>
#include <vector>

class QObject;

namespace engine {

// The queue of requests under every engine: requests go out one at a time, in
// order, each caller's stop refusing its own queued ones. It makes each request's
// reply, settles the requests that never go out (let go by their caller, stopped,
// or a write a handover's read-back showed had taken), and hands the next one to
// its engine when the engine is idle. The job in flight is current() until its
// engine ends it with finish(), which tells its caller once: at once when
// `direct` (the last step of an event handler), else from the event loop.
class JobQueue {
public:
    struct Hooks {
        // Whether the engine can take up the next job.
        std::function<bool()> idle;
        // Takes up current(): a request on its way to the line, or a linger.
        std::function<void()> begin;
        // Ends current() before it went out, with the engine's own ending.
        std::function<void(Error, const QString &)> settle;
    };

    // Queued calls go through `context`, so that none outlives the engine.
    JobQueue(Client &client, QObject &context, Hooks hooks);

    // Makes the request's reply and queues it; it goes out now when the engine is
    // idle and nothing waits before it.
    Reply *add(protocol::Frame request, Job job);
    // Queues a job taken from another engine, from the event loop.
    void adopt(Job job);
    // Takes up queued jobs from the event loop.
    void schedule();
    // Takes up queued jobs while the engine is idle.
    void process();

    Job &current() { return m_current; }
    const Job &current() const { return m_current; }
    // Where the job in flight keeps its results: its reply, or a scratch one when
    // its caller has let the reply go while its request was out.
    Reply *out();
    bool empty() const { return m_queue.empty(); }
    // The job's caller asked for a stop.
    bool stopped(const Job &job) const { return m_client.interrupted(job.caller); }

    // Ends the job in flight with its verdict: its onEnd, then its caller hears.
    void finish(Error error, const QString &text, bool direct);
    // Refuses the caller's queued jobs; true when the job in flight is the caller's.
    bool interrupt(Client::Caller caller);
    // Takes out the job in flight (when `active`; `inFlight`: its answer is lost)
    // and every queued one, in order.
    std::vector<Job> release(bool active, bool inFlight);

private:
    Client &m_client;
    QObject &m_context;
    Hooks m_hooks;
    bool m_scheduled = false;
    std::deque<Job> m_queue;
    Job m_current;
    Reply m_scratch{protocol::Frame{}};
};

} // namespace engine
