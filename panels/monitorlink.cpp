#include "panels/monitorlink.h"

#include "engine/client.h"

#include <QPointer>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <utility>

namespace panels {

namespace {

// A write that ends unconfirmed: `problem` for messages, `failure` for what to do.
records::WriteResult unconfirmed(const QString &problem, engine::Failure failure = {})
{
    records::WriteResult result;
    result.problem = problem;
    result.failure = std::move(failure);
    return result;
}

// A poll as a confirmed write's read-back.
records::Reading readingOf(const Poll &poll)
{
    records::Reading reading;
    reading.row.time = poll.time;
    reading.row.address = poll.address;
    reading.row.reading = poll.reading;
    reading.row.failure = poll.failure;
    reading.failure = poll.failure;
    return reading;
}

} // namespace

// The window's way for a confirmed write: the frame goes out through the window's
// engine, and its read-backs are the polls that follow, whichever address they
// read (the window polls the one it writes).
class MonitorLink::PollPath : public records::WritePath {
public:
    explicit PollPath(MonitorLink *link) : m_link(link) {}

    void send(const protocol::Frame &request,
              std::function<void(const records::Sent &)> done) override
    {
        if (!m_link || !m_link->send) {
            QTimer::singleShot(0, [done = std::move(done)] {
                records::Sent refused;
                refused.failure = {engine::Error::Port, 0,
                                   MonitorLink::tr("no window to send through")};
                done(refused);
            });
            return;
        }
        m_link->send(request, std::move(done));
    }

    void read(std::uint8_t, std::function<void(const records::Reading &)> done) override
    {
        if (m_link) {
            m_link->m_pollWanted = std::move(done);
        }
    }

    // One poll may have been on its way before the write.
    int readingsPerAttempt() const override { return kConfirmPolls; }

private:
    QPointer<MonitorLink> m_link;
};

MonitorLink::MonitorLink(QObject *parent)
    : QObject(parent), m_path(std::make_shared<PollPath>(this))
{
    m_clock.start();
}

MonitorLink::~MonitorLink()
{
    std::deque<Write> writes;
    writes.swap(m_writes);
    for (Write &w : writes) {
        if (w.handle) {
            w.handle->cancel();
        }
    }
}

bool MonitorLink::ready() const
{
    return notReadyReason().isEmpty();
}

QString MonitorLink::notReadyReason() const
{
    if (!portOpen || !portOpen()) {
        return tr("The serial port is not open: open it first.");
    }
    if (!monitorRunning || !monitorRunning()) {
        return tr("The output monitor is not running: start it first.");
    }
    if (!address || !address()) {
        return tr("The instrument address names no supply.");
    }
    return {};
}

void MonitorLink::replied(const engine::Reply &reply)
{
    if (reply.request().size() != protocol::kRequestSize ||
        reply.request() != protocol::buildReadStatusRequest(reply.address())) {
        return; // a write: its confirmation is the polls after it
    }
    Poll poll;
    poll.address = reply.address();
    if (reply.sentAt().isValid()) {
        poll.time = reply.sentAt().toLocalTime();
        poll.sentTime = reply.sentTime();
        const auto ago = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - reply.sentTime());
        poll.elapsedMs = std::max<qint64>(0, m_clock.elapsed() - ago.count());
    } else {
        // It never went out (the port was closed): it ended now.
        poll.time = QDateTime::currentDateTime();
        poll.elapsedMs = m_clock.elapsed();
    }
    poll.reading = reply.reading();
    if (reply.error() == engine::Error::None && !poll.reading) {
        poll.failure = {engine::Error::Undecoded, 0,
                        QStringLiteral("values outside what a supply reports")};
    } else if (!poll.reading) {
        poll.failure = reply.failure();
    }
    take(poll);
}

void MonitorLink::take(const Poll &poll)
{
    if (poll.reading) {
        m_last = poll.reading;
    }
    emit polled(poll);
    if (m_pollWanted) {
        std::exchange(m_pollWanted, nullptr)(readingOf(poll));
    }
}

QString MonitorLink::endedText(const engine::Failure &why)
{
    if (why.error == engine::Error::Port) {
        return why.detail.isEmpty() ? tr("the port failed")
                                    : tr("the port failed: %1").arg(why.detail);
    }
    return why.detail.isEmpty() ? why.word() : why.detail;
}

void MonitorLink::pollingEnded(const engine::Failure &why)
{
    failWrites(why);
    emit ended(why);
}

int MonitorLink::write(const protocol::Frame &frame, Confirms confirms, Done done,
                       Retrying retrying)
{
    const int number = ++m_lastNumber;
    Write w;
    w.number = number;
    w.frame = frame;
    w.confirms = std::move(confirms);
    w.done = std::move(done);
    w.retrying = std::move(retrying);
    m_writes.push_back(std::move(w));
    if (m_writes.size() == 1) {
        startWrite();
    }
    return number;
}

void MonitorLink::cancel(int write)
{
    const auto it = std::find_if(m_writes.begin(), m_writes.end(),
                                 [write](const Write &w) { return w.number == write; });
    if (it == m_writes.end()) {
        return;
    }
    const bool wasFront = it == m_writes.begin();
    if (it->handle) {
        it->handle->cancel();
        m_pollWanted = nullptr;
    }
    m_writes.erase(it);
    if (wasFront) {
        startWrite();
    }
}

void MonitorLink::switchOutput(bool on, Done done)
{
    const auto to = address ? address() : std::nullopt;
    if (!to) {
        done(unconfirmed(tr("the instrument address names no supply")));
        return;
    }
    (void)write(
        protocol::buildSwitchOutputRequest(*to, on),
        [on](const protocol::StatusReading &r) { return r.outputOn == on; }, std::move(done));
}

void MonitorLink::startWrite()
{
    // A write already under way (started from a callback) is left to its polls.
    if (m_writes.empty() || m_writes.front().started) {
        return;
    }
    Write &w = m_writes.front();
    w.started = true;
    const int number = w.number;
    records::WriteCallbacks callbacks;
    callbacks.retrying = w.retrying;
    QPointer<MonitorLink> self(this);
    callbacks.done = [self, number](const records::WriteResult &result) {
        if (self) {
            self->writeEnded(number, result);
        }
    };
    auto handle = records::confirmedWrite(m_path, {w.frame}, w.confirms, std::move(callbacks));
    // The write may have ended already, and the next begun.
    if (!m_writes.empty() && m_writes.front().number == number) {
        m_writes.front().handle = std::move(handle);
    }
}

void MonitorLink::writeEnded(int number, const records::WriteResult &result)
{
    if (m_writes.empty() || m_writes.front().number != number) {
        return;
    }
    Write ended = std::move(m_writes.front());
    m_writes.pop_front();
    m_pollWanted = nullptr;
    ended.done(result);
    startWrite();
}

void MonitorLink::failWrites(const engine::Failure &why)
{
    std::deque<Write> writes;
    writes.swap(m_writes);
    m_pollWanted = nullptr;
    for (Write &w : writes) {
        if (w.handle) {
            w.handle->cancel();
        }
        w.done(unconfirmed(endedText(why), why));
    }
}

} // namespace panels
