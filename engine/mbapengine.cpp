#include "engine/mbapengine.h"

#include "engine/bytetext.h"
#include "engine/linetrace.h"
#include "engine/mbapport.h"
#include "protocol/reply.h"

#include <QMetaObject>

#include <algorithm>
#include <limits>

namespace engine {

namespace {

namespace mbap = protocol::mbap;

// Answers to so many requests that timed out are still told apart as late.
constexpr std::size_t kExpiredKept = 16;
// How long a request the line's owner has taken into its queue may wait there
// for its turn: every other program's request and the owner's own go first, one
// of each in turn, and a reply cannot take longer than its timeout.
constexpr milliseconds kQueuedWait{10000};

double msBetween(EngineClock::time_point then, EngineClock::time_point now)
{
    return std::chrono::duration<double, std::milli>(now - then).count();
}

} // namespace

MbapEngine::MbapEngine(Client &client, MbapPort &port)
    : m_client(&client), m_port(port), m_timer(client.clock().makeTimer([this] { onTimer(); })),
      m_jobs(client, m_context,
             {[this] { return m_state == State::Idle; }, [this] { begin(); },
              [this](Error error, const QString &text) { finish(error, text); }})
{
    QObject::connect(&m_port, &serial::CommControl::OnComm, &m_context, [this] { onComm(); });
    // Queued: the port reports the loss from inside its own error handling.
    QObject::connect(
        &m_port, &serial::CommControl::portLost, &m_context,
        [this](const QString &reason) { onPortLost(reason); }, Qt::QueuedConnection);
    m_port.setInputLen(0);
    m_port.setRThreshold(1);
}

void MbapEngine::trace(const QString &text) const
{
    qCDebug(lcLine, "%s", qUtf8Printable(text));
}

void MbapEngine::start()
{
    try {
        m_port.setInBufferCount(0);
    } catch (const serial::CommError &) {
        // A closed port: the first request says so.
    }
    // A new connection: whatever was half read belonged to the last one.
    m_reader = mbap::StreamReader();
    m_expired.clear();
    m_toldWait.reset();
}

Reply *MbapEngine::submit(protocol::Frame request, Job job)
{
    return m_jobs.add(std::move(request), std::move(job));
}

void MbapEngine::adopt(Job job)
{
    m_jobs.adopt(std::move(job));
}

std::vector<Job> MbapEngine::release()
{
    m_timer->stop();
    if (m_state == State::Waiting) {
        // Its answer is lost with the line; it is asked again of the next one.
        ++m_stats.handedOver;
        if (lcLine().isDebugEnabled()) {
            trace(QStringLiteral("   handover: the line changed hands, asked again (transaction "
                                 "%1)")
                      .arg(m_transaction));
        }
    }
    std::vector<Job> held = m_jobs.release(m_state != State::Idle, m_state == State::Waiting);
    m_state = State::Idle;
    return held;
}

void MbapEngine::begin()
{
    if (job().kind == Job::Kind::Linger) {
        m_state = State::Lingering;
        m_timer->start(job().linger);
        return;
    }
    send();
}

void MbapEngine::send()
{
    const protocol::Frame &request = job().target()->request();
    if (!m_port.PortOpen()) {
        finish(Error::Port, m_lastPortReason.isEmpty() ? QStringLiteral("the port is closed")
                                                       : m_lastPortReason);
        return;
    }
    // Transaction ids run on over restarts, so that an answer to a request made
    // before one is never taken for a later request's.
    ++m_transaction;
    mbap::Bytes adu = mbap::encode({m_transaction, request[0], mbap::pduOf(request)});
    if (m_port.namesVerdicts()) {
        // The owner of the line waits for the supply as long as this program
        // would on a line of its own: told before the first request and when the
        // wait changes (a scan's shorter one).
        const mbap::ReplyWait wait = replyWait();
        if (!m_toldWait || m_toldWait->timeoutMs != wait.timeoutMs ||
            m_toldWait->firstByteMs != wait.firstByteMs) {
            mbap::Bytes told = mbap::encode({m_transaction, request[0], mbap::replyWaitPdu(wait)});
            adu.insert(adu.begin(), told.begin(), told.end());
            m_toldWait = wait;
        }
    }
    try {
        m_port.setOutput(bytesOf(adu));
    } catch (const serial::CommError &error) {
        const QString reason = QString::fromStdString(error.what());
        finish(Error::Port, reason);
        // From the event loop, like finished(): this may run inside a request call.
        Client *client = m_client;
        QMetaObject::invokeMethod(
            m_client, [client, reason] { emit client->portFailed(reason); }, Qt::QueuedConnection);
        return;
    }
    ++m_stats.requests;
    if (lcLine().isDebugEnabled()) {
        trace(QStringLiteral("-> %1  request (transaction %2)").arg(hexOf(adu)).arg(m_transaction));
    }
    out()->m_sentAt = QDateTime::currentDateTimeUtc();
    out()->m_sentTime = m_client->clock().now();
    out()->m_received.clear();
    if (job().caller != Client::kSelf) {
        // Its relay hears that it went out, from the event loop.
        Reply *reply = job().target();
        QMetaObject::invokeMethod(
            reply, [reply] { emit reply->sent(); }, Qt::QueuedConnection);
    }
    m_state = State::Waiting;
    // A scan's shorter wait for an answer to begin stands for the whole answer
    // here: the gateway hands it over in one piece.
    milliseconds wait = ownWait() + m_port.extraWait();
    if (m_jobs.stopped(job())) {
        wait = std::min(wait, milliseconds(kStopGrace));
    }
    m_deadline = out()->m_sentTime + wait;
    m_timer->start(wait);
}

milliseconds MbapEngine::ownWait() const
{
    const milliseconds timeout = m_jobs.current().timeout.value_or(m_timeout);
    const auto &firstByte = m_jobs.current().firstByte;
    return firstByte ? std::min(*firstByte, timeout) : timeout;
}

mbap::ReplyWait MbapEngine::replyWait() const
{
    const auto clamp = [](milliseconds ms) {
        return static_cast<std::uint32_t>(
            std::clamp<milliseconds::rep>(ms.count(), 1, std::numeric_limits<std::int32_t>::max()));
    };
    const Job &job = m_jobs.current();
    const milliseconds timeout = job.timeout.value_or(m_timeout);
    return {clamp(timeout), job.firstByte ? clamp(std::min(*job.firstByte, timeout)) : 0};
}

void MbapEngine::finish(Error error, const QString &text, bool direct)
{
    m_timer->stop();
    m_state = State::Idle;
    if (error == Error::Port) {
        m_lastPortReason = text;
    }
    m_jobs.finish(error, text, direct);
}

void MbapEngine::onComm()
{
    if (!m_port.PortOpen()) {
        return;
    }
    const QByteArray bytes = m_port.Input();
    m_reader.feed(reinterpret_cast<const std::uint8_t *>(bytes.constData()),
                  static_cast<std::size_t>(bytes.size()));
    if (!m_drainQueued) {
        drain();
    }
}

void MbapEngine::drain()
{
    while (auto adu = m_reader.next()) {
        const bool notice = m_port.namesVerdicts() &&
                            (mbap::noticeStageOf(*adu).has_value() || isCeilingNote(*adu));
        if (m_state == State::Waiting && adu->transaction == m_transaction && !notice) {
            // The reply ends its request, and its caller may ask again, stop, or
            // let the client go: the rest of what came waits for the event loop.
            m_drainQueued = true;
            QMetaObject::invokeMethod(
                &m_context,
                [this] {
                    m_drainQueued = false;
                    drain();
                },
                Qt::QueuedConnection);
            answered(*adu);
            return;
        }
        answered(*adu);
    }
    if (m_reader.malformed()) {
        streamBroken(QStringLiteral("the gateway sent bytes that are no Modbus TCP (%1)")
                         .arg(QString::fromStdString(m_reader.why())));
    }
}

void MbapEngine::onTheWire(const mbap::Adu &adu)
{
    if (m_state != State::Waiting || adu.transaction != m_transaction) {
        return; // a notice for a request whose wait has ended
    }
    const auto stage = mbap::noticeStageOf(adu);
    const auto now = m_client->clock().now();
    milliseconds wait{0};
    if (stage == mbap::NoticeStage::Queued) {
        // The owner is there and has the request: it waits for its turn.
        wait = kQueuedWait + job().timeout.value_or(m_timeout);
    } else {
        // Its wait starts now, as on a line of its own; the round trip too.
        wait = ownWait() + m_port.extraWait();
        out()->m_sentAt = QDateTime::currentDateTimeUtc();
        out()->m_sentTime = now;
        job().onWireSince = now;
    }
    if (m_jobs.stopped(job())) {
        return; // its grace runs
    }
    m_deadline = now + wait;
    m_timer->start(wait);
    if (lcLine().isDebugEnabled()) {
        trace(QStringLiteral("<- %1  %2 (transaction %3)")
                  .arg(hexOf(mbap::encode(adu)), stage == mbap::NoticeStage::Queued
                                                     ? QStringLiteral("queued at the owner")
                                                     : QStringLiteral("on the owner's line"))
                  .arg(adu.transaction));
    }
}

bool MbapEngine::isCeilingNote(const mbap::Adu &adu) const
{
    return m_port.namesVerdicts() && !adu.pdu.empty() &&
           (adu.pdu[0] == mbap::kHoldCeiling || adu.pdu[0] == mbap::kReleaseCeiling);
}

void MbapEngine::answered(const mbap::Adu &adu)
{
    if (isCeilingNote(adu)) {
        // The line's owner says what the line holds on a supply.
        m_client->heardCeiling(adu.unit, adu.pdu);
        return;
    }
    if (m_port.namesVerdicts() && mbap::noticeStageOf(adu)) {
        onTheWire(adu);
        return;
    }
    if (m_state == State::Waiting && adu.transaction == m_transaction) {
        judge(adu);
        return;
    }
    const protocol::Frame rtu = mbap::toRtu(adu.unit, adu.pdu);
    const auto expired = std::find_if(m_expired.begin(), m_expired.end(), [&](const Expired &e) {
        return e.transaction == adu.transaction;
    });
    if (expired != m_expired.end()) {
        ++m_stats.late;
        const double afterMs = msBetween(expired->sentTime, m_client->clock().now());
        m_late.push_back({expired->unit, afterMs, bytesOf(rtu)});
        m_expired.erase(expired);
        if (lcLine().isDebugEnabled()) {
            trace(QStringLiteral("<- %1  late (transaction %2, %3 ms)")
                      .arg(hexOf(mbap::encode(adu)))
                      .arg(adu.transaction)
                      .arg(afterMs, 0, 'f', 1));
        }
        return;
    }
    ++m_stats.foreign;
    if (lcLine().isDebugEnabled()) {
        trace(QStringLiteral("<- %1  foreign (transaction %2, none of ours)")
                  .arg(hexOf(mbap::encode(adu)))
                  .arg(adu.transaction));
    }
}

bool MbapEngine::judgeNamedVerdict(const mbap::Adu &adu)
{
    if (m_port.namesVerdicts()) {
        // The owner refused the write for a ceiling held on its line.
        if (const auto why = mbap::readRefusal(adu.pdu)) {
            out()->m_roundTripMs = msBetween(out()->m_sentTime, m_client->clock().now());
            if (lcLine().isDebugEnabled()) {
                trace(QStringLiteral("<- %1  refused by the line's owner (transaction %2)")
                          .arg(hexOf(mbap::encode(adu)))
                          .arg(adu.transaction));
            }
            ++m_stats.refused;
            finish(Error::Refused, QString::fromStdString(*why), true);
            return true;
        }
    }
    // function | 0x80, 0x0B, then the owner's verdict
    if (!m_port.namesVerdicts() || adu.pdu.size() != 3 || (adu.pdu[0] & 0x80) == 0 ||
        adu.pdu[1] != mbap::kGatewayTargetFailed) {
        return false;
    }
    const Error error = errorOfVerdictByte(adu.pdu[2]);
    if (error == Error::None) {
        return false;
    }
    Reply *reply = out();
    reply->m_roundTripMs = msBetween(reply->m_sentTime, m_client->clock().now());
    // The owner answered for the supply: a timeout is the supply's, not the
    // owner's silence.
    reply->m_failure.gatewayCode = mbap::kGatewayTargetFailed;
    switch (error) {
    case Error::Timeout:
        ++m_stats.timeouts;
        break;
    case Error::Crc:
        ++m_stats.badCrc;
        break;
    case Error::Short:
        ++m_stats.shortReplies;
        break;
    case Error::Foreign:
        ++m_stats.foreign;
        break;
    case Error::Port:
        ++m_stats.portLost;
        break;
    case Error::Interrupted:
        ++m_stats.interrupted;
        break;
    case Error::Refused:
        ++m_stats.refused;
        break;
    default:
        break;
    }
    if (lcLine().isDebugEnabled()) {
        trace(QStringLiteral("<- %1  %2 at the line's owner (transaction %3)")
                  .arg(hexOf(mbap::encode(adu)), errorWord(error))
                  .arg(adu.transaction));
    }
    finish(error,
           error == Error::Port ? QStringLiteral("the line's owner lost its port") : QString(),
           true);
    return true;
}

void MbapEngine::judge(const mbap::Adu &adu)
{
    if (judgeNamedVerdict(adu)) {
        return;
    }
    const protocol::Frame rtu = mbap::toRtu(adu.unit, adu.pdu);
    Reply *reply = out();
    reply->m_bytes = bytesOf(rtu);
    reply->m_received = reply->m_bytes; // no junk or echo reaches a network line
    reply->m_roundTripMs = msBetween(reply->m_sentTime, m_client->clock().now());
    const protocol::Frame &request = reply->request();
    const std::size_t replySize = job().replySize;
    const protocol::ReplyJudgement judged =
        protocol::judgeReply(request, replySize, rtu.data(), rtu.size());
    const bool whole = judged.length == rtu.size();
    Error error = Error::Foreign;
    QString detail;
    switch (judged.verdict) {
    case protocol::ReplyVerdict::Ok:
        if (!whole) {
            detail = QStringLiteral("the answer is longer than its function's");
        } else if (job().kind == Job::Kind::Write &&
                   !protocol::isWriteEcho(request, rtu.data(), rtu.size())) {
            detail = QStringLiteral("the echo differs from the request");
        } else {
            error = Error::None;
        }
        break;
    case protocol::ReplyVerdict::Exception:
        if (!whole) {
            detail = QStringLiteral("the answer is longer than its function's");
        } else if (judged.exceptionCode == mbap::kGatewayTargetFailed) {
            error = Error::Timeout;
            reply->m_failure.gatewayCode = judged.exceptionCode;
            detail = QStringLiteral("the gateway's target failed to respond");
        } else if (judged.exceptionCode == mbap::kGatewayPathUnavailable) {
            error = Error::Timeout;
            reply->m_failure.gatewayCode = judged.exceptionCode;
            detail = QStringLiteral("the gateway reaches no unit %1 (gateway path unavailable)")
                         .arg(adu.unit);
        } else {
            error = Error::Exception;
            reply->m_failure.exceptionCode = judged.exceptionCode;
        }
        break;
    case protocol::ReplyVerdict::BadCrc:
        // The CRC is computed here over what came: a mismatch means more came.
        detail = QStringLiteral("the answer is longer than its function's");
        break;
    case protocol::ReplyVerdict::Incomplete:
        error = Error::Short;
        break;
    case protocol::ReplyVerdict::NotOurs:
        break;
    }
    switch (error) {
    case Error::None:
    case Error::Exception:
        ++m_stats.replies;
        m_roundTrips.add(reply->m_roundTripMs);
        break;
    case Error::Timeout:
        ++m_stats.timeouts;
        break;
    case Error::Short:
        ++m_stats.shortReplies;
        break;
    default:
        ++m_stats.foreign;
        break;
    }
    if (error == Error::None && job().kind == Job::Kind::Read) {
        reply->m_reading = protocol::decodeStatusReading(rtu.data(), rtu.size());
    }
    if (lcLine().isDebugEnabled()) {
        trace(QStringLiteral("<- %1  %2 (transaction %3, %4 ms)")
                  .arg(hexOf(mbap::encode(adu)), error == Error::None
                                                     ? QStringLiteral("reply")
                                                     : errorWord(error, judged.exceptionCode))
                  .arg(adu.transaction)
                  .arg(reply->m_roundTripMs, 0, 'f', 1));
    }
    finish(error, detail, true);
}

void MbapEngine::onTimer()
{
    switch (m_state) {
    case State::Lingering:
        finish(Error::None, {}, true);
        break;
    case State::Waiting: {
        m_expired.push_back({m_transaction, out()->address(), out()->m_sentTime});
        if (m_expired.size() > kExpiredKept) {
            m_expired.pop_front();
        }
        if (m_jobs.stopped(job())) {
            ++m_stats.interrupted;
            if (lcLine().isDebugEnabled()) {
                trace(QStringLiteral("   interrupted (transaction %1)").arg(m_transaction));
            }
            finish(Error::Interrupted, {}, true);
            break;
        }
        ++m_stats.timeouts;
        if (lcLine().isDebugEnabled()) {
            trace(QStringLiteral("   timeout of %1 (transaction %2)")
                      .arg(out()->address())
                      .arg(m_transaction));
        }
        finish(Error::Timeout, {}, true);
        break;
    }
    case State::Idle:
        break;
    }
}

void MbapEngine::portEnded(const QString &reason, bool direct)
{
    if (m_state == State::Waiting) {
        ++m_stats.portLost;
        if (lcLine().isDebugEnabled()) {
            trace(
                QStringLiteral("   port lost (transaction %1): %2").arg(m_transaction).arg(reason));
        }
    }
    finish(Error::Port, reason, direct);
}

void MbapEngine::onPortLost(const QString &reason)
{
    m_lastPortReason = reason;
    if (m_state != State::Idle) {
        portEnded(reason, false);
    }
    emit m_client->portFailed(reason);
}

void MbapEngine::streamBroken(const QString &reason)
{
    if (lcLine().isDebugEnabled()) {
        trace(QStringLiteral("   ") + reason);
    }
    m_lastPortReason = reason;
    try {
        m_port.setPortOpen(false);
    } catch (const serial::CommError &) {
        // Closed as far as it can be.
    }
    if (m_state != State::Idle) {
        portEnded(reason, true);
    }
    emit m_client->portFailed(reason);
}

std::vector<LateFrame> MbapEngine::takeLateFrames()
{
    std::vector<LateFrame> frames;
    frames.swap(m_late);
    return frames;
}

void MbapEngine::interrupt(Client::Caller caller)
{
    if (!m_jobs.interrupt(caller)) {
        return; // another caller's request goes on
    }
    switch (m_state) {
    case State::Lingering:
        finish(Error::Interrupted);
        break;
    case State::Waiting: {
        // The answer in flight may still come for a short while.
        const auto graceEnd = m_client->clock().now() + kStopGrace;
        if (graceEnd < m_deadline) {
            m_deadline = graceEnd;
            m_timer->start(kStopGrace);
        }
        break;
    }
    case State::Idle:
        break;
    }
}

const LinkStats &MbapEngine::stats() const
{
    m_statsOut = m_stats;
    m_statsOut.roundTrips = m_roundTrips.count();
    if (m_roundTrips.count() > 0) {
        m_statsOut.medianMs = m_roundTrips.quantile(0.5);
        m_statsOut.p99Ms = m_roundTrips.quantile(0.99);
        m_statsOut.maxMs = m_roundTrips.max();
    }
    return m_statsOut;
}

} // namespace engine
