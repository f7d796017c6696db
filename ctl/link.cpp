#include "ctl/link.h"

#include "protocol/reply.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include <algorithm>
#include <cmath>

namespace ctl {

namespace {

// Once bytes that are no frame at all have begun, the wait goes on until the line
// has been quiet this long, so their tail does not meet the next request.
constexpr milliseconds kQuietAfterForeign{20};
// How long a reply in flight may still come after a stop: a supply may start its
// reply 300 ms after the request.
constexpr milliseconds kStopGrace{300};
constexpr qint64 kNsPerMs = 1'000'000;

qint64 charsNs(double chars)
{
    return static_cast<qint64>(std::ceil(chars * kCharMs * kNsPerMs));
}

const std::uint8_t *bytesOf(const QByteArray &bytes)
{
    return reinterpret_cast<const std::uint8_t *>(bytes.constData());
}

} // namespace

QString outcomeWord(Outcome outcome, int exceptionCode)
{
    switch (outcome) {
    case Outcome::Ok:
        return {};
    case Outcome::Exception:
        return QStringLiteral("exception %1").arg(exceptionCode);
    case Outcome::Timeout:
        return QStringLiteral("timeout");
    case Outcome::BadCrc:
        return QStringLiteral("crc");
    case Outcome::Foreign:
        return QStringLiteral("foreign");
    case Outcome::Short:
        return QStringLiteral("short");
    case Outcome::Interrupted:
        return QStringLiteral("interrupted");
    case Outcome::PortFailed:
        return QStringLiteral("port");
    }
    return {};
}

Link::Link(serial::CommControl &comm, QObject *parent) : QObject(parent), m_comm(comm)
{
    m_comm.setInputLen(0);
    m_comm.setRThreshold(1);
    m_clock.start();
}

std::vector<LateFrame> Link::takeLateFrames()
{
    dropStale(false);
    std::vector<LateFrame> late;
    late.swap(m_late);
    return late;
}

void Link::takeInput()
{
    if (!m_comm.PortOpen()) {
        return;
    }
    const QByteArray bytes = m_comm.Input();
    if (!bytes.isEmpty()) {
        m_received += bytes;
        // The last byte ended no later than now.
        m_lineBusyUntilNs = std::max(m_lineBusyUntilNs, nowNs());
    }
}

bool Link::dropForeignFrame()
{
    const std::size_t length = protocol::wholeFrameLength(
        bytesOf(m_received), static_cast<std::size_t>(m_received.size()));
    if (length == 0) {
        return false;
    }
    const auto address = static_cast<std::uint8_t>(m_received.at(0));
    const auto asked = m_askedAtNs.find(address);
    // A frame from an address asked before is its reply, come too late; a read
    // or write request is some other master's or an echo, not a reply.
    const bool request =
        length == protocol::kRequestSize &&
        static_cast<std::uint8_t>(m_received.at(1)) == protocol::kReadHoldingRegisters &&
        static_cast<std::uint8_t>(m_received.at(2)) != length - 5;
    if (asked != m_askedAtNs.end() && !request) {
        m_late.push_back({address, static_cast<double>(nowNs() - asked->second) / 1e6,
                          m_received.left(static_cast<qsizetype>(length))});
        m_unanswered.erase(address); // its late reply is drained
    }
    ++m_stats.foreign;
    m_received.remove(0, static_cast<qsizetype>(length));
    return true;
}

void Link::dropStale(bool all)
{
    takeInput();
    while (!m_received.isEmpty()) {
        if (!dropForeignFrame()) {
            if (!all) {
                return; // perhaps a frame still arriving
            }
            m_received.remove(0, 1); // bytes of no whole frame
        }
    }
}

bool Link::waitForSilence(std::uint8_t address)
{
    for (;;) {
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
        dropStale(false);
        if (m_interrupted || !m_comm.PortOpen()) {
            return false;
        }
        qint64 until = m_lineBusyUntilNs + charsNs(3.5);
        const auto unanswered = m_unanswered.find(address);
        if (unanswered != m_unanswered.end()) {
            until = std::max(until, unanswered->second);
        }
        const qint64 left = until - nowNs();
        if (left <= 0) {
            dropStale(true);
            m_unanswered.erase(address);
            return true;
        }
        // Bytes that arrive meanwhile end the wait early, to be looked at.
        QEventLoop loop;
        QTimer timer;
        timer.setSingleShot(true);
        timer.setTimerType(Qt::PreciseTimer);
        connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
        const auto connection =
            connect(&m_comm, &serial::CommControl::OnComm, &loop, [&loop] { loop.quit(); });
        timer.start(static_cast<int>((left + kNsPerMs - 1) / kNsPerMs));
        m_loop = &loop;
        loop.exec();
        m_loop = nullptr;
        disconnect(connection);
    }
}

Link::Shape Link::judge(const protocol::Frame &request, std::size_t replySize)
{
    for (;;) {
        const auto *data = bytesOf(m_received);
        const auto size = static_cast<std::size_t>(m_received.size());
        if (size == 0) {
            return Shape::Incomplete;
        }
        // A supply never sends back a read request, so a copy of one is the
        // adapter's echo; a write's copy is taken for the echo only when the
        // adapter is known to echo.
        const bool read = request[1] == protocol::kReadHoldingRegisters;
        if (m_echoPending && (m_echo || read)) {
            switch (protocol::matchEcho(request, data, size)) {
            case protocol::EchoMatch::Partial:
                return Shape::Incomplete;
            case protocol::EchoMatch::Whole:
                m_received.remove(0, static_cast<qsizetype>(request.size()));
                m_echoPending = false;
                m_echo = true;
                ++m_stats.echoes;
                continue;
            case protocol::EchoMatch::No:
                m_echoPending = false;
                break;
            }
        }
        m_judgement = protocol::judgeReply(request, replySize, data, size);
        switch (m_judgement.verdict) {
        case protocol::ReplyVerdict::Incomplete:
            return Shape::Incomplete;
        case protocol::ReplyVerdict::Ok:
        case protocol::ReplyVerdict::Exception:
        case protocol::ReplyVerdict::BadCrc:
            return Shape::Complete;
        case protocol::ReplyVerdict::NotOurs:
            // A whole frame of another address is skipped; anything else that is
            // not the reply (our address with another shape, junk) ends the wait.
            if (data[0] == request[0] || !dropForeignFrame()) {
                return Shape::NotOurs;
            }
            break;
        }
    }
}

Reply Link::transact(const protocol::Frame &request, std::size_t replySize,
                     std::optional<milliseconds> firstByteTimeout)
{
    Reply reply;
    // Bytes of an earlier reply that came late are no part of this one; a stop
    // asked for meanwhile is seen here too.
    if (!waitForSilence(request[0])) {
        if (m_interrupted) {
            reply.outcome = Outcome::Interrupted;
            return reply;
        }
        reply.outcome = Outcome::PortFailed;
        reply.error = QStringLiteral("the port closed");
        return reply;
    }
    m_received.clear();
    ++m_stats.requests;
    QElapsedTimer clock;
    try {
        m_comm.setOutput(QByteArray(reinterpret_cast<const char *>(request.data()),
                                    static_cast<qsizetype>(request.size())));
    } catch (const serial::CommError &error) {
        reply.outcome = Outcome::PortFailed;
        reply.error = QString::fromStdString(error.what());
        return reply;
    }
    clock.start();
    const qint64 sentNs = nowNs();
    // The request's last byte leaves no earlier than its characters' time after
    // the write.
    m_lineBusyUntilNs = sentNs + charsNs(static_cast<double>(request.size()));
    m_askedAtNs[request[0]] = sentNs;
    m_unanswered.erase(request[0]);
    m_echoPending = true;

    QEventLoop loop;
    QTimer deadline;
    deadline.setSingleShot(true);
    deadline.setTimerType(Qt::PreciseTimer);
    QTimer quiet;
    quiet.setSingleShot(true);
    connect(&deadline, &QTimer::timeout, &loop, &QEventLoop::quit);
    connect(&quiet, &QTimer::timeout, &loop, &QEventLoop::quit);

    Shape shape = Shape::Incomplete;
    double lastByteMs = 0;
    bool begun = false;
    const auto connection = connect(&m_comm, &serial::CommControl::OnComm, &loop, [&] {
        takeInput();
        if (m_received.isEmpty()) {
            return;
        }
        lastByteMs = static_cast<double>(clock.nsecsElapsed()) / 1e6;
        shape = judge(request, replySize);
        // The first-byte wait ends once the reply itself (not an echo nor a
        // foreign frame) has begun.
        if (!begun && firstByteTimeout && !m_received.isEmpty() && shape != Shape::NotOurs) {
            begun = true;
            const auto left = m_timeout - milliseconds(clock.elapsed());
            deadline.start(std::max(milliseconds(0), left));
        }
        if (shape == Shape::Complete) {
            loop.quit();
        } else if (shape == Shape::NotOurs) {
            quiet.start(kQuietAfterForeign);
        } else {
            quiet.stop();
        }
    });
    // A stop asked for once the request is out still lets its reply come for a
    // short while, so that the reading in progress is taken and no late reply is
    // left on the line for the writes that switch outputs off.
    QTimer stopGrace;
    stopGrace.setSingleShot(true);
    connect(&stopGrace, &QTimer::timeout, &loop, &QEventLoop::quit);
    deadline.start(firstByteTimeout ? *firstByteTimeout : m_timeout);
    m_loop = &loop;
    m_stopGrace = &stopGrace;
    if (m_interrupted) {
        stopGrace.start(kStopGrace);
    }
    loop.exec();
    m_stopGrace = nullptr;
    m_loop = nullptr;
    disconnect(connection);
    m_echoPending = false;
    Reply result = finish(shape, lastByteMs);
    if (result.outcome == Outcome::Timeout || result.outcome == Outcome::Short) {
        // Its reply may still come: asked again within half a timeout, the address
        // waits for the line to stay quiet that long first (time spent on other
        // addresses counts, so a bus keeps one timeout per silent address a round).
        m_unanswered[request[0]] = nowNs() + std::chrono::nanoseconds(m_timeout).count() / 2;
    }
    if (result.outcome == Outcome::Ok || result.outcome == Outcome::Exception) {
        m_askedAtNs.erase(request[0]); // answered: a later frame of it is no late reply
    }
    return result;
}

Reply Link::finish(Shape shape, double elapsedMs)
{
    Reply reply;
    reply.bytes = m_received;
    reply.roundTripMs = elapsedMs;
    switch (shape) {
    case Shape::Complete: {
        const protocol::ReplyJudgement &j = m_judgement;
        reply.bytes.truncate(static_cast<qsizetype>(j.length));
        m_received.remove(0, static_cast<qsizetype>(j.length));
        if (j.verdict == protocol::ReplyVerdict::BadCrc) {
            reply.outcome = Outcome::BadCrc;
            ++m_stats.badCrc;
            return reply;
        }
        reply.outcome =
            j.verdict == protocol::ReplyVerdict::Exception ? Outcome::Exception : Outcome::Ok;
        reply.exceptionCode = j.exceptionCode;
        ++m_stats.replies;
        m_stats.roundTripsMs.push_back(elapsedMs);
        return reply;
    }
    case Shape::NotOurs:
        reply.outcome = Outcome::Foreign;
        ++m_stats.foreign;
        return reply;
    case Shape::Incomplete:
        break;
    }
    if (!m_comm.PortOpen()) {
        reply.outcome = Outcome::PortFailed;
        reply.error = QStringLiteral("the port closed");
    } else if (m_interrupted) {
        reply.outcome = Outcome::Interrupted;
    } else if (m_received.isEmpty()) {
        reply.outcome = Outcome::Timeout;
        ++m_stats.timeouts;
    } else {
        reply.outcome = Outcome::Short;
        ++m_stats.shortReplies;
    }
    return reply;
}

Reply Link::readStatus(std::uint8_t address, std::optional<milliseconds> firstByteTimeout)
{
    return transact(protocol::buildReadStatusRequest(address), protocol::kStatusReplySize,
                    firstByteTimeout);
}

Reply Link::write(const protocol::Frame &request)
{
    Reply reply = transact(request, request.size());
    if (reply.ok() && !protocol::isWriteEcho(request, reply.data(), reply.size())) {
        reply.outcome = Outcome::Foreign;
        reply.error = QStringLiteral("the echo differs from the request ") +
                      QString::fromLatin1(QByteArray(reinterpret_cast<const char *>(request.data()),
                                                     static_cast<qsizetype>(request.size()))
                                              .toHex(' ')
                                              .toUpper());
    }
    return reply;
}

bool Link::sleep(milliseconds ms)
{
    if (m_interrupted) {
        return false;
    }
    if (ms.count() > 0) {
        QEventLoop loop;
        QTimer::singleShot(ms, Qt::PreciseTimer, &loop, &QEventLoop::quit);
        m_loop = &loop;
        loop.exec();
        m_loop = nullptr;
    }
    dropStale(false);
    return !m_interrupted;
}

void Link::interrupt()
{
    m_interrupted = true;
    if (m_stopGrace != nullptr) {
        if (!m_stopGrace->isActive()) {
            m_stopGrace->start(kStopGrace);
        }
    } else if (m_loop != nullptr) {
        m_loop->quit();
    }
}

} // namespace ctl
