#include "panels/monitorlink.h"

#include <algorithm>
#include <utility>

namespace panels {

namespace {

// A write that ends unconfirmed: `problem` for messages, `failure` for what to do.
supply::WriteResult unconfirmed(const QString &problem, supply::Failure failure = {})
{
    supply::WriteResult result;
    result.problem = problem;
    result.failure = std::move(failure);
    return result;
}

// A port that refused a frame: "port (its reason)" in messages.
supply::WriteResult refusedByPort(const QString &reason)
{
    return unconfirmed(QStringLiteral("port: %1").arg(reason), {supply::Error::Port, 0, reason});
}

} // namespace

MonitorLink::MonitorLink(QObject *parent) : QObject(parent)
{
    m_clock.start();
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

void MonitorLink::requestSent(std::uint8_t address)
{
    // A request that got no judged reply before the next one went out timed out.
    if (m_inFlight) {
        Poll missed = *std::exchange(m_inFlight, std::nullopt);
        missed.failure = {supply::Error::Timeout};
        finish(missed);
    }
    Poll poll;
    poll.time = QDateTime::currentDateTime();
    poll.elapsedMs = m_clock.elapsed();
    poll.address = address;
    m_inFlight = poll;
}

void MonitorLink::replyDecoded(const protocol::StatusReading &reading)
{
    if (!m_inFlight) {
        return; // a reply with no poll of ours waiting: nothing to count it for
    }
    Poll poll = *std::exchange(m_inFlight, std::nullopt);
    poll.reading = reading;
    m_last = reading;
    finish(poll);
}

void MonitorLink::replyRejected(const supply::Failure &failure)
{
    if (!m_inFlight) {
        return;
    }
    Poll poll = *std::exchange(m_inFlight, std::nullopt);
    poll.failure = failure;
    finish(poll);
}

void MonitorLink::pollingEnded(const QString &why)
{
    m_inFlight.reset();
    failWrites(why);
    emit ended(why);
}

void MonitorLink::finish(const Poll &poll)
{
    emit polled(poll);
    judgeWrite(poll);
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
    while (!m_writes.empty() && m_writes.front().attempt == 0) {
        Write &w = m_writes.front();
        ++w.attempt;
        w.pollsLeft = kConfirmPolls;
        const QString error = send ? send(w.frame) : tr("no window to send through");
        if (error.isEmpty()) {
            return;
        }
        Write failed = std::move(m_writes.front());
        m_writes.pop_front();
        failed.done(refusedByPort(error));
    }
}

void MonitorLink::judgeWrite(const Poll &poll)
{
    if (m_writes.empty()) {
        return;
    }
    Write &w = m_writes.front();
    if (poll.reading && w.confirms(*poll.reading)) {
        Write done = std::move(m_writes.front());
        m_writes.pop_front();
        supply::WriteResult confirmed;
        confirmed.confirmed = true;
        done.done(confirmed);
        startWrite();
        return;
    }
    w.result = poll.reading
                   ? unconfirmed(tr("the read-back differs"))
                   : unconfirmed(tr("no read-back (%1)").arg(poll.failure.word()), poll.failure);
    if (--w.pollsLeft > 0) {
        return;
    }
    if (w.attempt < 2) {
        ++w.attempt;
        if (w.retrying) {
            w.retrying(w.result.problem);
        }
        w.pollsLeft = kConfirmPolls;
        const QString error = send ? send(w.frame) : tr("no window to send through");
        if (error.isEmpty()) {
            return;
        }
        w.result = refusedByPort(error);
    }
    Write failed = std::move(m_writes.front());
    m_writes.pop_front();
    failed.done(failed.result);
    startWrite();
}

void MonitorLink::failWrites(const QString &why)
{
    std::deque<Write> writes;
    writes.swap(m_writes);
    for (Write &w : writes) {
        w.done(unconfirmed(why));
    }
}

} // namespace panels
