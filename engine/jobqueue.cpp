#include "engine/jobqueue.h"

#include "engine/bytetext.h"

#include <QMetaObject>
#include <QObject>

#include <utility>

namespace engine {

bool isAddressWrite(const protocol::Frame &request)
{
    return request.size() >= 4 && request[1] == protocol::kWriteSingleRegister &&
           ((request[2] << 8) | request[3]) == protocol::reg::kSlaveAddress;
}

JobQueue::JobQueue(Client &client, QObject &context, Hooks hooks)
    : m_client(client), m_context(context), m_hooks(std::move(hooks))
{
}

Reply *JobQueue::add(protocol::Frame request, Job job)
{
    Reply *reply = nullptr;
    if (job.done) {
        job.owned.reset(new Reply(std::move(request)));
        reply = job.owned.get();
    } else {
        // The client owns what its caller never took: a reply still queued when it goes.
        reply = new Reply(std::move(request), &m_client);
        job.reply = reply;
    }
    job.refused = stopped(job);
    const bool refused = job.refused;
    m_queue.push_back(std::move(job));
    if (m_hooks.idle() && !m_scheduled && m_queue.size() == 1 && !refused) {
        process(); // it goes out now, or waits for the line's silence
    } else {
        schedule();
    }
    return reply;
}

void JobQueue::adopt(Job job)
{
    job.refused = job.refused || stopped(job);
    job.inFlight = false;
    m_queue.push_back(std::move(job));
    schedule();
}

void JobQueue::schedule()
{
    if (m_scheduled) {
        return;
    }
    m_scheduled = true;
    QMetaObject::invokeMethod(
        &m_context,
        [this] {
            m_scheduled = false;
            process();
        },
        Qt::QueuedConnection);
}

void JobQueue::process()
{
    while (m_hooks.idle() && !m_queue.empty()) {
        m_current = std::move(m_queue.front());
        m_queue.pop_front();
        Reply *reply = m_current.target();
        if (reply == nullptr) {
            continue; // its caller has let it go
        }
        if (m_current.refused || stopped(m_current)) {
            m_hooks.settle(Error::Interrupted, {});
            continue;
        }
        if (m_current.check && m_current.check->took == true) {
            // A write that took before the line changed hands: its echo is the
            // request itself, and it is not sent again.
            reply->m_bytes = bytesOf(reply->request());
            reply->m_received = reply->m_bytes;
            m_hooks.settle(Error::None, {});
            continue;
        }
        if (m_current.check && !m_current.check->took && isAddressWrite(reply->request())) {
            // An address that may have moved is not moved again from where it was.
            m_hooks.settle(Error::Timeout,
                           QStringLiteral("the line changed hands while the address was "
                                          "written, and the supply does not answer at its "
                                          "old address"));
            continue;
        }
        if (m_current.kind == Job::Kind::Write) {
            // A ceiling held since the write was queued refuses it still.
            if (const QString why = m_client.refusalOf(reply->request()); !why.isEmpty()) {
                m_hooks.settle(Error::Refused, why);
                continue;
            }
        }
        m_hooks.begin();
    }
}

Reply *JobQueue::out()
{
    Reply *reply = m_current.target();
    return reply != nullptr ? reply : &m_scratch;
}

void JobQueue::finish(Error error, const QString &text, bool direct)
{
    Job ended = std::move(m_current);
    m_current = {};
    if (!m_queue.empty()) {
        schedule();
    }
    Reply *target = ended.target();
    if (target == nullptr) {
        return;
    }
    target->m_failure.error = error;
    if (!text.isEmpty()) {
        target->m_failure.detail = text;
    }
    if (ended.onEnd) {
        ended.onEnd(*target);
    }
    if (ended.owned) {
        if (direct) {
            // The reply goes when `done` returns.
            ended.owned->m_finished = true;
            ended.done(*ended.owned);
            return;
        }
        QMetaObject::invokeMethod(
            &m_client,
            [owned = std::shared_ptr<Reply>(std::move(ended.owned)), done = std::move(ended.done)] {
                owned->m_finished = true;
                done(*owned);
            },
            Qt::QueuedConnection);
        return;
    }
    // Directly, only as the last step of an event handler: nothing here is touched
    // after it, whatever the caller's slot does (a new request, a stop).
    target->complete(direct);
}

bool JobQueue::interrupt(Client::Caller caller)
{
    for (Job &job : m_queue) {
        if (job.caller == caller) {
            job.refused = true;
        }
    }
    schedule();
    return m_current.caller == caller;
}

std::vector<Job> JobQueue::release(bool active, bool inFlight)
{
    std::vector<Job> held;
    if (active && m_current.target() != nullptr) {
        m_current.inFlight = inFlight;
        held.push_back(std::move(m_current));
    }
    m_current = {};
    for (Job &job : m_queue) {
        if (job.target() != nullptr) {
            held.push_back(std::move(job));
        }
    }
    m_queue.clear();
    return held;
}

} // namespace engine
