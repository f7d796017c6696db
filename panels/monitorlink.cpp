#include "panels/monitorlink.h"

#include "supply/client.h"

#include <QPointer>
#include <QTimer>

#include <algorithm>
#include <chrono>
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

void MonitorLink::replied(const supply::Reply &reply)
{
    if (reply.request().size() != protocol::kRequestSize ||
        reply.request() != protocol::buildReadStatusRequest(reply.address())) {
        return; // a write: its confirmation is the polls after it
    }
    Poll poll;
    poll.address = reply.address();
    if (reply.sentAt().isValid()) {
        poll.time = reply.sentAt().toLocalTime();
        const auto ago = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - reply.sentTime());
        poll.elapsedMs = std::max<qint64>(0, m_clock.elapsed() - ago.count());
    } else {
        // It never went out (the port was closed): it ended now.
        poll.time = QDateTime::currentDateTime();
        poll.elapsedMs = m_clock.elapsed();
    }
    poll.reading = reply.reading();
    if (reply.error() == supply::Error::None && !poll.reading) {
        poll.failure = {supply::Error::Foreign, 0,
                        QStringLiteral("values outside what a supply reports")};
    } else if (!poll.reading) {
        poll.failure = {reply.error(), reply.exceptionCode(), reply.errorText()};
    }
    take(poll);
}

void MonitorLink::take(const Poll &poll)
{
    if (poll.reading) {
        m_last = poll.reading;
    }
    emit polled(poll);
    judgeWrite(poll);
}

void MonitorLink::pollingEnded(const QString &why)
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
    if (!m_writes.empty() && m_writes.front().attempt == 0) {
        sendAttempt(m_writes.front());
    }
}

void MonitorLink::sendAttempt(Write &w)
{
    ++w.attempt;
    w.pollsLeft = kConfirmPolls;
    const int number = w.number;
    const int attempt = w.attempt;
    if (!send) {
        QTimer::singleShot(0, this, [this, number, attempt] {
            refused(number, attempt, tr("no window to send through"));
        });
        return;
    }
    QPointer<MonitorLink> self(this);
    send(w.frame, [self, number, attempt](const QString &reason) {
        if (self) {
            self->refused(number, attempt, reason);
        }
    });
}

void MonitorLink::refused(int number, int attempt, const QString &reason)
{
    // Only the attempt still waiting for its polls is ended by its port's refusal.
    if (m_writes.empty() || m_writes.front().number != number ||
        m_writes.front().attempt != attempt) {
        return;
    }
    Write failed = std::move(m_writes.front());
    m_writes.pop_front();
    failed.done(refusedByPort(reason));
    startWrite();
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
        if (w.retrying) {
            w.retrying(w.result.problem);
        }
        sendAttempt(w);
        return;
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
