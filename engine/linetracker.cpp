#include "engine/linetracker.h"
#include "engine/linechars.h"

#include "protocol/reply.h"

#include <algorithm>

// The tracker's times: when a request may go, its deadlines and expiry, the port's
// unwatched time, and how a wait ends; the bytes' judgement is in linejudgement.cpp.
namespace engine {

namespace {

using namespace std::chrono_literals;

const nanoseconds kChar = charsTime(1);
// Past the time a reply usually takes, the tracker stops waiting for the whole of
// it and looks at whatever has come (a short or exception reply).
constexpr nanoseconds kDueMargin = 3ms;
// A read's port is watched again this many characters before its reply would be
// whole at the quickest turnaround seen: the last bytes are read as they come.
constexpr double kWatchAheadChars = 2;
// Shorter unwatched times are not worth a timer of their own.
constexpr nanoseconds kMinUnwatched = 2ms;
// Bytes kept in the receive buffer at most; a flood beyond it is junk.
constexpr std::size_t kMaxBuffered = 4096;
// The start drains the line for at most this many quiet times.
constexpr int kDrainLimitQuietTimes = 3;
// The bytes a drain at a handover keeps to judge: two requests' worth.
constexpr std::size_t kHeardKept = 2 * protocol::kRequestSize;

} // namespace

void LineTracker::start(nanoseconds now, nanoseconds quiet, Drain drain,
                        std::optional<nanoseconds> answerBy)
{
    m_rx.clear();
    m_rxAt.clear();
    m_drainUntil.reset();
    m_drain = drain;
    m_heard.clear();
    if (quiet > 0ns) {
        m_drainQuiet = quiet;
        m_drainUntil = now + std::min(quiet, kFirstLook);
        m_drainLimit = now + kDrainLimitQuietTimes * quiet;
        if (drain == Drain::Exchange && answerBy) {
            m_drainUntil = std::max(*m_drainUntil, *answerBy);
        }
    }
}

void LineTracker::markBusy(nanoseconds now)
{
    m_busyUntil = std::max(m_busyUntil, now);
}

nanoseconds LineTracker::sendableAt(std::uint8_t address) const
{
    nanoseconds at = m_busyUntil + charsTime(3.5);
    if (m_drainUntil) {
        at = std::max(at, std::min(*m_drainUntil, m_drainLimit));
    }
    const auto quiet = m_quietUntil.find(address);
    if (quiet != m_quietUntil.end()) {
        at = std::max(at, quiet->second);
    }
    return at;
}

void LineTracker::sent(const protocol::Frame &request, std::size_t replySize,
                       std::optional<nanoseconds> firstByte, nanoseconds now)
{
    if (m_drainUntil) {
        m_drainUntil.reset();
        dropJunk(m_rx.size(), Verdict::Stale);
    }
    dropStale(true);
    m_quietUntil.erase(request[0]);
    ++m_stats.requests;
    m_waiting = true;
    m_request = request;
    m_replySize = replySize;
    m_sent = now;
    m_busyUntil = now + charsTime(static_cast<double>(request.size()));
    // A supply answers once the whole request has reached it: the first byte of
    // its reply ends a character after that at the earliest, on a UART.
    m_earliest = now + charsTime(static_cast<double>(request.size() + 1));
    m_echoPending = true;
    m_firstByteWait = firstByte.has_value();
    m_strangers = false;
    m_foreignAtSend = m_stats.foreign;
    m_deadline = now + (firstByte ? *firstByte : nanoseconds(m_timeout));
    const std::size_t echoSize = m_echo ? request.size() : 0;
    const nanoseconds floor = wireTime(replySize);
    m_dueAt = now + std::max(floor, m_usualRoundTrip) + kDueMargin;
    m_graceAt.reset();
    m_want = echoSize + replySize;
    m_unwatchedUntil.reset();
    if (request[1] == protocol::kReadHoldingRegisters && !firstByte && m_turnaroundCount > 0) {
        const nanoseconds quickest = *std::min_element(
            m_turnarounds.begin(),
            m_turnarounds.begin() + static_cast<std::ptrdiff_t>(m_turnaroundCount));
        const nanoseconds unwatched = floor + quickest - charsTime(kWatchAheadChars);
        if (unwatched >= kMinUnwatched) {
            m_unwatchedUntil = now + unwatched;
        }
    }
}

void LineTracker::received(const std::uint8_t *data, std::size_t size, nanoseconds now)
{
    if (size == 0) {
        return;
    }
    // Bytes on the line come a character apart, so the first of a piece read now
    // ended no later than the piece's length before now; none before the last read.
    for (std::size_t i = 0; i < size; ++i) {
        m_rxAt.push_back(
            std::max(m_lastChunk, now - static_cast<nanoseconds::rep>(size - 1 - i) * kChar));
    }
    m_rx.insert(m_rx.end(), data, data + size);
    m_lastChunk = now;
    m_busyUntil = std::max(m_busyUntil, now);
    if (m_drainUntil) {
        nanoseconds quiet = m_drainQuiet;
        if (m_drain == Drain::Exchange) {
            m_heard.insert(m_heard.end(), data, data + size);
            if (m_heard.size() > kHeardKept) {
                m_heard.erase(m_heard.begin(),
                              m_heard.end() - static_cast<std::ptrdiff_t>(kHeardKept));
            }
            if (!heardRequestLast()) {
                quiet = std::min(quiet, nanoseconds(kFirstLook));
            }
        }
        m_drainUntil = now + quiet;
    }
    if (m_rx.size() > kMaxBuffered) {
        dropJunk(m_rx.size() - kMaxBuffered);
    }
    if (m_waiting) {
        examine();
    } else {
        dropStale(false);
    }
}

std::optional<nanoseconds> LineTracker::nextExpiry() const
{
    if (!m_waiting) {
        return std::nullopt;
    }
    nanoseconds at = m_deadline;
    if (m_dueAt) {
        at = std::min(at, *m_dueAt);
    }
    if (m_unwatchedUntil) {
        at = std::min(at, *m_unwatchedUntil);
    }
    if (m_graceAt) {
        at = std::min(at, *m_graceAt);
    }
    return at;
}

bool LineTracker::expiryEnds(nanoseconds now) const
{
    return m_waiting && (now >= m_deadline || (m_graceAt && now >= *m_graceAt));
}

void LineTracker::handleExpiry(nanoseconds now)
{
    if (!m_waiting) {
        return;
    }
    if (m_unwatchedUntil && now >= *m_unwatchedUntil) {
        m_unwatchedUntil.reset();
    }
    if (m_dueAt && now >= *m_dueAt) {
        // The reply is later than usual, or shorter than expected: from now on
        // every byte is looked at as it comes. A reply still coming is not judged
        // before it is whole or its wait ends.
        m_dueAt.reset();
        examine();
    }
    if (!expiryEnds(now)) {
        return; // early, or the reply has begun and has its whole timeout
    }
    m_dueAt.reset();
    examine();
    if (!expiryEnds(now)) {
        return;
    }
    if (m_graceAt) {
        ++m_stats.interrupted;
        finish(Error::Interrupted, now);
        return;
    }
    judgeWhatIsLeft(now);
}

void LineTracker::interrupt(nanoseconds now)
{
    if (m_waiting && !m_graceAt) {
        m_graceAt = now + kStopGrace;
    }
}

void LineTracker::abandon(nanoseconds now)
{
    if (m_waiting) {
        ++m_stats.portLost;
        finish(Error::Port, now);
    }
}

void LineTracker::handOver(nanoseconds now)
{
    if (m_waiting) {
        ++m_stats.handedOver;
        finish(Error::Port, now);
    }
}

std::size_t LineTracker::wanted() const
{
    if (m_waiting) {
        return lookingAtEveryByte() ? 1 : std::max<std::size_t>(1, m_want);
    }
    // Between requests a late reply or a stale byte is looked at as it comes, so
    // that its delay is named right; with none due, the threshold may stay.
    return m_unanswered.empty() && !m_drainUntil ? 0 : 1;
}

std::optional<LineTracker::Result> LineTracker::takeResult()
{
    std::optional<Result> result;
    result.swap(m_result);
    return result;
}

std::vector<LineTracker::Event> LineTracker::takeEvents()
{
    std::vector<Event> events;
    events.swap(m_events);
    return events;
}

std::vector<LineTracker::Late> LineTracker::takeLate()
{
    std::vector<Late> late;
    late.swap(m_late);
    return late;
}

LinkStats LineTracker::stats() const
{
    LinkStats stats = m_stats;
    stats.roundTrips = m_roundTrips.count();
    stats.medianMs = m_roundTrips.quantile(0.5);
    stats.p99Ms = m_roundTrips.quantile(0.99);
    stats.maxMs = m_roundTrips.max();
    return stats;
}

nanoseconds LineTracker::wireTime(std::size_t replySize) const
{
    const std::size_t echoSize = m_echo ? m_request.size() : 0;
    return charsTime(static_cast<double>(m_request.size() + echoSize + replySize));
}

void LineTracker::noteTurnaround(nanoseconds turnaround)
{
    // Read late, a reply shows a longer turnaround than it took, never a shorter
    // one: the quickest of the last few is a bound the next reply keeps. Should
    // the supply get quicker, its replies are read late until the bound, falling
    // by the look-ahead each time, has reached them. A port quicker than its baud
    // (a virtual one) shows a turnaround below zero, and is watched throughout.
    m_turnarounds[m_turnaroundNext] = turnaround;
    m_quickerThanWire = m_quickerThanWire || turnaround < 0ns;
    m_turnaroundNext = (m_turnaroundNext + 1) % m_turnarounds.size();
    m_turnaroundCount = std::min(m_turnaroundCount + 1, m_turnarounds.size());
}

void LineTracker::finish(Error error, nanoseconds now, std::string detail)
{
    m_waiting = false;
    m_timedCopy.clear();
    m_dueAt.reset();
    m_unwatchedUntil.reset();
    m_graceAt.reset();
    const std::uint8_t address = m_request[0];
    if (error == Error::None || error == Error::Exception) {
        m_unanswered.erase(address); // a later frame of it is no late reply
    } else {
        m_unanswered[address] = m_sent;
    }
    if (error == Error::Timeout || error == Error::Short) {
        // Its reply may still come: asked again within half a timeout, the
        // address waits for that first (time spent on other addresses counts, so
        // a bus keeps one timeout per silent address a round).
        m_quietUntil[address] = now + nanoseconds(m_timeout) / 2;
    }
    if (!m_result) {
        m_result = Result{};
    }
    m_result->error = error;
    m_result->detail = std::move(detail);
}

} // namespace engine
