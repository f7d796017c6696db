#include "engine/linechars.h"
#include "engine/linetracker.h"

#include "protocol/reply.h"

#include <algorithm>

// The tracker's judgement of the bytes on the line: the reply to the request in
// flight, the adapter's echo, late and foreign frames, junk, and what is left
// when a wait ends; each noted for the trace.
namespace engine {

namespace {

using namespace std::chrono_literals;

// Late frames kept until takeLate(): a caller that never asks loses the oldest.
constexpr std::size_t kMaxLateFrames = 256;

double toMs(nanoseconds d)
{
    return static_cast<double>(d.count()) / 1e6;
}

std::string hexString(const protocol::Frame &bytes)
{
    static const char kDigits[] = "0123456789ABCDEF";
    std::string text;
    for (const std::uint8_t byte : bytes) {
        if (!text.empty()) {
            text += ' ';
        }
        text += kDigits[byte >> 4];
        text += kDigits[byte & 0x0F];
    }
    return text;
}

} // namespace

void LineTracker::examine()
{
    while (m_waiting) {
        const std::size_t size = m_rx.size();
        if (size == 0) {
            m_want = (m_echoPending && m_echo ? m_request.size() : 0) + m_replySize;
            return;
        }
        const std::uint8_t *data = m_rx.data();
        // Time tells the adapter's echo from a reply only on a UART: a virtual
        // port (USB CDC-ACM, a network bridge, a pty) answers at once. So time
        // only decides between the request's own copy and a write's reply, which
        // looks the same, and not at all once a reply came sooner than the wire
        // could carry it: a virtual port read late on a busy machine would
        // otherwise make a write's reply look like an echo, and cost the timeout.
        const bool early = !m_quickerThanWire && m_rxAt.front() < m_earliest;
        const bool isWrite = m_request[1] != protocol::kReadHoldingRegisters;
        if (const std::size_t copy = lastWriteCopyAtHead(); copy > 0) {
            if (copy <= size) {
                dropFrame(copy);
                continue;
            }
            // Perhaps the rest of that copy is still coming: the head is judged
            // once it is whole or shows it is something else. It may as well be
            // the start of this request's reply, which has begun if it is not
            // too early for one.
            if (!early) {
                markBegun();
            }
            m_want = copy - size;
            return;
        }
        // The adapter's copy of the request: a supply never sends back a read
        // request; a write's copy is the echo when the adapter is known to echo,
        // or when it began before a reply could have on a UART.
        if (m_echoPending && (m_echo || early || !isWrite)) {
            protocol::EchoMatch match = protocol::matchEcho(m_request, data, size);
            if (match == protocol::EchoMatch::Whole && isWrite && !m_echo &&
                size <= m_request.size() &&
                m_rxAt[m_request.size() - 1] < m_sent + charsTime(double(m_request.size()))) {
                // A write's copy that ended before the request could have gone
                // out on a UART: a virtual port's. It is the echo if a second copy
                // follows by the reply's usual time, otherwise the reply (a later
                // second copy still shows it was the echo).
                if (!lookingAtEveryByte()) {
                    m_want = m_replySize;
                    return;
                }
                match = protocol::EchoMatch::No;
            }
            switch (match) {
            case protocol::EchoMatch::Partial:
                // The start of a read's echo looks like the start of its reply.
                if (!early) {
                    markBegun();
                }
                m_want = m_request.size() - size + m_replySize;
                return;
            case protocol::EchoMatch::Whole: {
                nanoseconds at{0};
                const Bytes copy = dropHead(m_request.size(), &at);
                m_echoPending = false;
                if (isWrite && !m_echo) {
                    // Only time says this is the echo: it is, once the supply's
                    // own answer follows before the wait ends; otherwise it was
                    // the reply.
                    m_timedCopy = copy;
                    m_timedCopyAt = at;
                    continue;
                }
                ++m_stats.echoes;
                note(m_echo ? Verdict::Echo : Verdict::EchoLearned, at, copy);
                m_echo = true;
                continue;
            }
            case protocol::EchoMatch::No:
                m_echoPending = false;
                break;
            }
        }
        // A whole reply is the reply whenever it comes; one still coming is judged
        // when whole, or when its wait ends.
        const protocol::ReplyJudgement judgement =
            protocol::judgeReply(m_request, m_replySize, data, size);
        switch (judgement.verdict) {
        case protocol::ReplyVerdict::Ok:
        case protocol::ReplyVerdict::Exception:
        case protocol::ReplyVerdict::BadCrc:
            complete(judgement.length, judgement.verdict, judgement.exceptionCode);
            return;
        case protocol::ReplyVerdict::Incomplete: {
            markBegun();
            const bool exception = size >= 2 && (data[1] & protocol::kExceptionFlag) != 0;
            const std::size_t whole = exception ? protocol::kExceptionReplySize : m_replySize;
            m_want = whole > size ? whole - size : 1;
            return;
        }
        case protocol::ReplyVerdict::NotOurs:
            break;
        }
        // The head is no reply to this request: a whole frame of someone else's,
        // a late one, or bytes of no frame. The reply may follow them.
        const std::size_t frame = protocol::wholeFrameLength(data, size);
        if (frame > 0) {
            dropFrame(frame);
            continue;
        }
        std::size_t start = 1;
        for (; start < size; ++start) {
            const auto verdict =
                protocol::judgeReply(m_request, m_replySize, data + start, size - start).verdict;
            if (verdict == protocol::ReplyVerdict::Ok ||
                verdict == protocol::ReplyVerdict::Exception) {
                break;
            }
        }
        if (start < size) {
            dropJunk(start);
            m_strangers = true;
            continue;
        }
        // A fragment of another frame, or junk: the wait goes on for a whole frame,
        // our reply or the deadline, a byte at a time.
        m_want = 1;
        m_dueAt.reset();
        return;
    }
}

std::size_t LineTracker::lastWriteCopyAtHead() const
{
    // The last write's copy was taken for its answer while the adapter was not
    // known to echo. Its second copy may come after the next request went out (a
    // busy machine reads the line late): within the write's timeout it is the
    // supply's answer to it, not an answer to this request, and the adapter
    // echoes. A copy of this very request looks the same as its own echo or
    // answer, and is judged as one.
    const Bytes &last = m_unconfirmedEcho;
    if (last.empty() || std::equal(m_request.begin(), m_request.end(), last.begin(), last.end())) {
        return 0;
    }
    const std::size_t size = std::min(m_rx.size(), last.size());
    if (!std::equal(m_rx.begin(), m_rx.begin() + static_cast<std::ptrdiff_t>(size), last.begin()) ||
        m_rxAt[size - 1] - m_unconfirmedEchoAt >= nanoseconds(m_timeout)) {
        return 0;
    }
    return last.size();
}

void LineTracker::markBegun()
{
    if (m_firstByteWait) {
        // The reply has begun: the whole timeout applies from its request.
        m_firstByteWait = false;
        m_deadline = m_sent + nanoseconds(m_timeout);
    }
}

void LineTracker::complete(std::size_t length, protocol::ReplyVerdict verdict, int exceptionCode)
{
    if (!m_timedCopy.empty()) {
        // The supply answered after a copy of the request: that copy was the
        // adapter's echo.
        ++m_stats.echoes;
        note(Verdict::EchoLearned, m_timedCopyAt, m_timedCopy);
        m_timedCopy.clear();
        m_echo = true;
    }
    nanoseconds end{0};
    Result result;
    result.bytes = dropHead(length, &end);
    result.roundTripMs = toMs(end - m_sent);
    if (verdict == protocol::ReplyVerdict::BadCrc) {
        ++m_stats.badCrc;
        note(Verdict::Crc, end, result.bytes);
        result.error = Error::Crc;
        m_result = std::move(result);
        finish(Error::Crc, end);
        return;
    }
    ++m_stats.replies;
    m_roundTrips.add(result.roundTripMs);
    m_usualRoundTrip = end - m_sent;
    if (m_request[1] == protocol::kReadHoldingRegisters) {
        noteTurnaround(end - m_sent - wireTime(length));
    }
    if (verdict == protocol::ReplyVerdict::Exception) {
        result.exceptionCode = exceptionCode;
        if (m_tracing) {
            m_events.push_back({Verdict::Exception, end, result.bytes, 0, 0, exceptionCode});
        }
        m_result = std::move(result);
        finish(Error::Exception, end);
        return;
    }
    note(Verdict::Reply, end, result.bytes);
    const bool isWrite = m_request[1] != protocol::kReadHoldingRegisters;
    if (isWrite && !protocol::isWriteEcho(m_request, result.bytes.data(), result.bytes.size())) {
        ++m_stats.foreign;
        m_result = std::move(result);
        finish(Error::Foreign, end, "the echo differs from the request " + hexString(m_request));
        return;
    }
    if (isWrite && !m_echo) {
        // If a second copy follows, this one was the adapter's (it could not be
        // told apart by its time), and the second the supply's answer.
        m_unconfirmedEcho = result.bytes;
        m_unconfirmedEchoAt = m_sent;
    }
    m_result = std::move(result);
    finish(Error::None, end);
}

void LineTracker::judgeWhatIsLeft(nanoseconds now)
{
    // What is left: the start of our reply (short), or what was no reply.
    const std::size_t size = m_rx.size();
    if (!m_timedCopy.empty() && size == 0) {
        // Nothing followed the write's one copy within the timeout: no second
        // copy shows it was the echo, so it is the reply, from a port that answers
        // sooner than a UART (a virtual one, or one read late). A later copy still
        // shows it was the echo.
        Result result;
        result.bytes = std::move(m_timedCopy);
        m_timedCopy.clear();
        result.roundTripMs = toMs(m_timedCopyAt - m_sent);
        ++m_stats.replies;
        m_roundTrips.add(result.roundTripMs);
        note(Verdict::Reply, m_timedCopyAt, result.bytes);
        m_unconfirmedEcho = result.bytes;
        m_unconfirmedEchoAt = m_sent;
        m_result = std::move(result);
        finish(Error::None, now);
        return;
    }
    if (size > 0 && protocol::judgeReply(m_request, m_replySize, m_rx.data(), size).verdict ==
                        protocol::ReplyVerdict::Incomplete) {
        Result result;
        result.bytes = m_rx;
        ++m_stats.shortReplies;
        dropJunk(size, Verdict::Short);
        m_result = std::move(result);
        finish(Error::Short, now);
        return;
    }
    Result result;
    if (size > 0) {
        result.bytes = m_rx;
        dropJunk(size);
        m_strangers = true;
    }
    if (m_strangers) {
        if (m_stats.foreign == m_foreignAtSend) {
            ++m_stats.foreign;
        }
        m_result = std::move(result);
        finish(Error::Foreign, now,
               "bytes that are no reply from address " + std::to_string(m_request[0]));
        return;
    }
    ++m_stats.timeouts;
    if (m_tracing) {
        m_events.push_back({Verdict::Timeout, now, {}, m_request[0], 0, 0});
    }
    finish(Error::Timeout, now);
}

bool LineTracker::heardRequestLast() const
{
    const std::size_t n = protocol::kRequestSize;
    if (m_heard.size() < n) {
        return false;
    }
    const std::uint8_t *last = m_heard.data() + m_heard.size() - n;
    if (protocol::wholeFrameLength(last, n) != n) {
        return false; // a reply, whole or its rest, or no frame: the exchange is over
    }
    if (last[1] == protocol::kReadHoldingRegisters) {
        // A read reply of eight bytes would count three bytes of registers.
        return last[2] != n - 5;
    }
    // A write and its copy look the same: two of them are a request and its
    // answer, one may be a request still to be answered.
    return m_heard.size() < 2 * n || !std::equal(last - n, last, last);
}

void LineTracker::dropStale(bool all)
{
    while (!m_rx.empty()) {
        if (m_drainUntil) {
            dropJunk(m_rx.size(), Verdict::Stale);
            return;
        }
        const std::size_t frame = protocol::wholeFrameLength(m_rx.data(), m_rx.size());
        if (frame > 0) {
            dropFrame(frame);
            continue;
        }
        if (!all) {
            return; // perhaps a frame still arriving
        }
        // Junk up to the next whole frame, or all of it.
        std::size_t next = 1;
        for (; next < m_rx.size(); ++next) {
            if (protocol::wholeFrameLength(m_rx.data() + next, m_rx.size() - next) > 0) {
                break;
            }
        }
        dropJunk(next);
    }
}

void LineTracker::dropFrame(std::size_t length)
{
    nanoseconds end{0};
    const Bytes bytes = dropHead(length, &end);
    const std::uint8_t address = bytes[0];
    // A read request is another master's, not a reply.
    const bool isRequest = length == protocol::kRequestSize &&
                           bytes[1] == protocol::kReadHoldingRegisters && bytes[2] != length - 5;
    if (!m_unconfirmedEcho.empty() && bytes == m_unconfirmedEcho &&
        end - m_unconfirmedEchoAt < nanoseconds(m_timeout)) {
        m_unconfirmedEcho.clear();
        m_echo = true;
        ++m_stats.echoes;
        note(Verdict::SupplyCopy, end, bytes);
        return;
    }
    const auto asked = m_unanswered.find(address);
    if (asked != m_unanswered.end() && !isRequest) {
        const double afterMs = toMs(end - asked->second);
        if (m_late.size() >= kMaxLateFrames) {
            m_late.erase(m_late.begin());
        }
        m_late.push_back({address, afterMs, bytes});
        ++m_stats.late;
        m_unanswered.erase(asked);
        m_quietUntil.erase(address); // its late reply is drained
        if (m_tracing) {
            m_events.push_back({Verdict::Late, end, bytes, address, afterMs, 0});
        }
        return;
    }
    ++m_stats.foreign;
    if (m_waiting) {
        m_strangers = true;
    }
    note(Verdict::Foreign, end, bytes);
}

void LineTracker::dropJunk(std::size_t length, Verdict verdict)
{
    if (length == 0) {
        return;
    }
    nanoseconds end{0};
    const Bytes bytes = dropHead(length, &end);
    if (verdict == Verdict::Junk) {
        m_stats.junkBytes += static_cast<long>(length);
    }
    note(verdict, end, bytes);
}

LineTracker::Bytes LineTracker::dropHead(std::size_t length, nanoseconds *lastAt)
{
    const auto n = static_cast<std::ptrdiff_t>(length);
    if (lastAt != nullptr) {
        *lastAt = m_rxAt[length - 1];
    }
    Bytes head(m_rx.begin(), m_rx.begin() + n);
    m_rx.erase(m_rx.begin(), m_rx.begin() + n);
    m_rxAt.erase(m_rxAt.begin(), m_rxAt.begin() + n);
    return head;
}

void LineTracker::note(Verdict verdict, nanoseconds at, const Bytes &bytes)
{
    if (m_tracing) {
        m_events.push_back({verdict, at, bytes, 0, 0, 0});
    }
}

} // namespace engine
