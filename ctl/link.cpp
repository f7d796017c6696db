#include "ctl/link.h"

#include "protocol/crc16.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <algorithm>

namespace ctl {

namespace {

// Once bytes that are not our reply have begun, the wait goes on until the line
// has been quiet this long, so their tail does not meet the next request.
constexpr milliseconds kQuietAfterForeign{20};
// address + (function | 0x80) + code + CRC (2)
constexpr std::size_t kExceptionReplySize = 5;
constexpr std::uint8_t kExceptionFlag = 0x80;

bool crcMatches(const QByteArray &bytes, std::size_t size)
{
    const auto *data = reinterpret_cast<const std::uint8_t *>(bytes.constData());
    const auto crc = protocol::CRC16(data, size - 2);
    return data[size - 2] == crc[1] && data[size - 1] == crc[0];
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
}

Link::Shape Link::judge(const protocol::Frame &request, std::size_t replySize) const
{
    const auto byteAt = [this](int i) { return static_cast<std::uint8_t>(m_received.at(i)); };
    const auto size = static_cast<std::size_t>(m_received.size());
    if (size == 0) {
        return Shape::Incomplete;
    }
    if (byteAt(0) != request[0]) {
        return Shape::NotOurs;
    }
    if (size < 2) {
        return Shape::Incomplete;
    }
    const std::uint8_t function = request[1];
    if (byteAt(1) == (function | kExceptionFlag)) {
        return size >= kExceptionReplySize ? Shape::Complete : Shape::Incomplete;
    }
    if (byteAt(1) != function) {
        return Shape::NotOurs;
    }
    // A read reply states its byte count: the words, without the header and the CRC.
    if (function == protocol::kReadHoldingRegisters && size >= 3 && byteAt(2) != replySize - 5) {
        return Shape::NotOurs;
    }
    return size >= replySize ? Shape::Complete : Shape::Incomplete;
}

Reply Link::transact(const protocol::Frame &request, std::size_t replySize,
                     std::optional<milliseconds> firstByteTimeout)
{
    Reply reply;
    // Bytes of an earlier reply that came late are no part of this one; a stop
    // asked for meanwhile is seen here too.
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
    if (m_interrupted) {
        reply.outcome = Outcome::Interrupted;
        return reply;
    }
    m_received.clear();
    if (m_comm.PortOpen()) {
        m_comm.setInBufferCount(0);
    }
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
    const auto connection = connect(&m_comm, &serial::CommControl::OnComm, &loop, [&] {
        const bool first = m_received.isEmpty();
        m_received += m_comm.Input();
        if (m_received.isEmpty()) {
            return;
        }
        lastByteMs = static_cast<double>(clock.nsecsElapsed()) / 1e6;
        if (first && firstByteTimeout) {
            const auto left = m_timeout - milliseconds(clock.elapsed());
            deadline.start(std::max(milliseconds(0), left));
        }
        shape = judge(request, replySize);
        if (shape == Shape::Complete) {
            loop.quit();
        } else if (shape == Shape::NotOurs) {
            quiet.start(kQuietAfterForeign);
        }
    });
    deadline.start(firstByteTimeout ? *firstByteTimeout : m_timeout);
    m_loop = &loop;
    if (!m_interrupted) {
        loop.exec();
    }
    m_loop = nullptr;
    disconnect(connection);
    return finish(request, replySize, shape, lastByteMs);
}

Reply Link::finish(const protocol::Frame &request, std::size_t replySize, Shape shape,
                   double elapsedMs)
{
    Reply reply;
    reply.bytes = m_received;
    reply.roundTripMs = elapsedMs;
    switch (shape) {
    case Shape::Complete: {
        const bool exception = static_cast<std::uint8_t>(m_received.at(1)) != request[1];
        const std::size_t size = exception ? kExceptionReplySize : replySize;
        if (!crcMatches(m_received, size)) {
            reply.outcome = Outcome::BadCrc;
            ++m_stats.badCrc;
            return reply;
        }
        reply.outcome = exception ? Outcome::Exception : Outcome::Ok;
        reply.exceptionCode = exception ? static_cast<std::uint8_t>(m_received.at(2)) : 0;
        reply.bytes.truncate(static_cast<qsizetype>(size));
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
    const QByteArray sent(reinterpret_cast<const char *>(request.data()),
                          static_cast<qsizetype>(request.size()));
    if (reply.ok() && reply.bytes != sent) {
        reply.outcome = Outcome::Foreign;
        reply.error = QStringLiteral("the echo differs from the request ") +
                      QString::fromLatin1(sent.toHex(' ').toUpper());
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
    return !m_interrupted;
}

void Link::interrupt()
{
    m_interrupted = true;
    if (m_loop != nullptr) {
        m_loop->quit();
    }
}

} // namespace ctl
