#include "engine/rtuengine.h"

#include "engine/bytetext.h"

#include <QMetaObject>

#include <algorithm>

namespace engine {

namespace {

using Verdict = LineTracker::Verdict;

const std::uint8_t *bytesOf(const QByteArray &bytes)
{
    return reinterpret_cast<const std::uint8_t *>(bytes.constData());
}

QString verdictText(const LineTracker::Event &event)
{
    switch (event.verdict) {
    case Verdict::Reply:
        return QStringLiteral("reply");
    case Verdict::Exception:
        return errorWord(Error::Exception, event.exceptionCode);
    case Verdict::Crc:
        return QStringLiteral("crc");
    case Verdict::Echo:
        return QStringLiteral("echo");
    case Verdict::EchoLearned:
        return QStringLiteral("echo (the adapter echoes)");
    case Verdict::SupplyCopy:
        return QStringLiteral("the supply's copy: the adapter echoes");
    case Verdict::Late:
        return QStringLiteral("late from %1 (%2 ms)")
            .arg(event.address)
            .arg(event.afterMs, 0, 'f', 1);
    case Verdict::Foreign:
        return QStringLiteral("foreign");
    case Verdict::Junk:
        return QStringLiteral("junk");
    case Verdict::Stale:
        return QStringLiteral("stale");
    case Verdict::Short:
        return QStringLiteral("short");
    case Verdict::Timeout:
        return {};
    }
    return {};
}

// Tells a relay that its request went on the line, from the event loop.
void announceSent(Reply *reply)
{
    QMetaObject::invokeMethod(
        reply, [reply] { emit reply->sent(); }, Qt::QueuedConnection);
}

} // namespace

RtuEngine::RtuEngine(Client &client, serial::CommControl &control)
    : q(&client), comm(control), timer(client.clock().makeTimer([this] { onTimer(); })),
      jobs(client, context,
           {[this] { return state == State::Idle; }, [this] { begin(); },
            [this](Error error, const QString &text) { finish(error, text); }})
{
    QObject::connect(&comm, &serial::CommControl::OnComm, &context, [this] { onComm(); });
    // Queued: the control reports the loss from inside its own error handling.
    QObject::connect(
        &comm, &serial::CommControl::portLost, &context,
        [this](const QString &reason) { onPortLost(reason); }, Qt::QueuedConnection);
    comm.setInputLen(0);
    setThreshold(1);
}

void RtuEngine::setThreshold(int bytes)
{
    bytes = std::max(1, bytes);
    if (bytes != threshold || comm.RThreshold() != bytes) {
        threshold = bytes;
        comm.setRThreshold(bytes);
    }
}

void RtuEngine::applyWanted()
{
    const std::size_t wanted = line.wanted();
    if (wanted > 0) {
        setThreshold(static_cast<int>(wanted));
    }
}

void RtuEngine::watchInput(bool watched)
{
    if (watched != inputWatched) {
        inputWatched = watched;
        comm.setInputWatched(watched);
    }
}

void RtuEngine::trace(nanoseconds at, const QString &text) const
{
    const QString row =
        QStringLiteral("%1 ms %2").arg(static_cast<double>(at.count()) / 1e6, 10, 'f', 1).arg(text);
    qCDebug(lcLine, "%s", qUtf8Printable(row));
}

void RtuEngine::traceEvents()
{
    const bool tracing = lcLine().isDebugEnabled();
    line.setTracing(tracing);
    if (!tracing) {
        return;
    }
    for (const LineTracker::Event &event : line.takeEvents()) {
        if (event.verdict == Verdict::Timeout) {
            trace(event.at, QStringLiteral("   timeout of %1").arg(event.address));
        } else {
            trace(event.at,
                  QStringLiteral("<- %1  %2").arg(hexOf(bytesOf(event.bytes)), verdictText(event)));
        }
    }
}

void RtuEngine::trySend()
{
    if (job().target() == nullptr) {
        // Its caller let it go while it waited for the line's silence: it never goes.
        finish(Error::Interrupted);
        return;
    }
    if (jobs.stopped(job())) {
        finish(Error::Interrupted);
        return;
    }
    if (!comm.PortOpen()) {
        finish(Error::Port, QStringLiteral("the port is closed"));
        return;
    }
    pull();
    if (threshold > 1 && comm.InBufferCount() > 0) {
        // Bytes came since the last request that the port holds back for the
        // threshold: they come at the next turn of the event loop, and the line
        // was busy just now.
        setThreshold(1);
        line.markBusy(now());
    }
    const nanoseconds wait = line.sendableAt(job().target()->request()[0]) - now();
    if (wait > nanoseconds(0)) {
        timer->start(wait);
        return;
    }
    send();
}

void RtuEngine::send()
{
    const protocol::Frame &request = job().target()->request();
    const QByteArray bytes = bytesOf(request);
    const nanoseconds sentNs = now();
    try {
        comm.setOutput(bytes);
    } catch (const serial::CommError &error) {
        const QString reason = QString::fromStdString(error.what());
        finish(Error::Port, reason);
        // From the event loop, like finished(): this may run inside a request call.
        Client *client = q;
        QMetaObject::invokeMethod(
            q, [client, reason] { emit client->portFailed(reason); }, Qt::QueuedConnection);
        return;
    }
    const auto firstByte = job().firstByte ? std::optional<nanoseconds>(*job().firstByte)
                                           : std::optional<nanoseconds>();
    line.setTracing(lcLine().isDebugEnabled());
    line.setTimeout(job().timeout.value_or(ownTimeout));
    line.sent(request, job().replySize, firstByte, sentNs);
    traceEvents(); // what the request's silence left on the line
    if (lcLine().isDebugEnabled()) {
        trace(sentNs, QStringLiteral("-> %1  request").arg(hexOf(bytes)));
    }
    out()->m_sentAt = QDateTime::currentDateTimeUtc();
    out()->m_sentTime = epoch + sentNs;
    if (job().caller != Client::kSelf) {
        announceSent(job().target());
    }
    heldBackAsked = false;
    state = State::Waiting;
    if (jobs.stopped(job())) {
        line.interrupt(sentNs);
    }
    applyWanted();
    watchInput(!line.unwatchedUntil());
    if (const auto expiry = line.nextExpiry()) {
        timer->start(*expiry - sentNs);
    }
}

void RtuEngine::afterLine()
{
    traceEvents();
    if (auto result = line.takeResult()) {
        Reply *reply = out();
        reply->m_bytes = bytesOf(result->bytes);
        reply->m_roundTripMs = result->roundTripMs;
        reply->m_failure.exceptionCode = result->exceptionCode;
        if (result->error == Error::None && job().kind == Job::Kind::Read) {
            reply->m_reading =
                protocol::decodeStatusReading(bytesOf(reply->m_bytes), reply->m_bytes.size());
        }
        finish(result->error, QString::fromStdString(result->detail), true);
        return;
    }
    applyWanted();
    if (const auto expiry = line.nextExpiry()) {
        timer->start(*expiry - now());
    }
}

void RtuEngine::pull()
{
    if (!comm.PortOpen()) {
        return;
    }
    const QByteArray bytes = comm.Input();
    if (!bytes.isEmpty()) {
        keepReceived(bytes);
        line.received(bytesOf(bytes), static_cast<std::size_t>(bytes.size()), now());
    }
}

void RtuEngine::keepReceived(const QByteArray &bytes)
{
    if (state == State::Waiting) {
        out()->m_received.append(bytes);
    }
}

void RtuEngine::onComm()
{
    if (!comm.PortOpen()) {
        return;
    }
    const QByteArray bytes = comm.Input();
    if (bytes.isEmpty()) {
        return;
    }
    keepReceived(bytes);
    line.setTracing(lcLine().isDebugEnabled());
    line.received(bytesOf(bytes), static_cast<std::size_t>(bytes.size()), now());
    switch (state) {
    case State::Waiting:
        afterLine();
        break;
    case State::Silence:
        traceEvents();
        timer->stop();
        trySend();
        break;
    case State::Idle:
    case State::Lingering:
        traceEvents();
        applyWanted();
        break;
    }
}

void RtuEngine::onTimer()
{
    switch (state) {
    case State::Silence:
        trySend();
        break;
    case State::Lingering:
        pull();
        traceEvents();
        finish(Error::None, {}, true);
        break;
    case State::Waiting:
        onExpiry();
        break;
    case State::Idle:
        break;
    }
}

void RtuEngine::onExpiry()
{
    if (!inputWatched) {
        // The reply may be whole soon: its last bytes are read as they come, with
        // the threshold as it is.
        line.handleExpiry(now());
        watchInput(true);
        afterLine();
        return;
    }
    setThreshold(1);
    pull();
    if (!line.waiting()) {
        afterLine(); // the bytes just taken were the reply
        return;
    }
    const nanoseconds at = now();
    if (line.expiryEnds(at)) {
        if (!comm.PortOpen()) {
            line.abandon(at);
            line.takeResult();
            traceEvents();
            finish(Error::Port,
                   lastPortReason.isEmpty() ? QStringLiteral("the port closed") : lastPortReason,
                   true);
            return;
        }
        if (!heldBackAsked && comm.InBufferCount() > 0) {
            // Bytes the port held back for the threshold come at the next turn of
            // the event loop, now that every byte wakes the client: judge them first.
            heldBackAsked = true;
            timer->start(milliseconds(1));
            return;
        }
    }
    line.handleExpiry(at);
    afterLine();
}

void RtuEngine::onPortLost(const QString &reason)
{
    lastPortReason = reason;
    if (state != State::Idle) {
        line.abandon(now());
        line.takeResult();
        traceEvents();
        finish(Error::Port, reason);
    }
    emit q->portFailed(reason);
}

void RtuEngine::begin()
{
    if (job().kind == Job::Kind::Linger) {
        state = State::Lingering;
        setThreshold(1);
        timer->start(job().linger);
        return;
    }
    state = State::Silence;
    trySend();
}

void RtuEngine::finish(Error error, const QString &text, bool direct)
{
    timer->stop();
    state = State::Idle;
    watchInput(true);
    applyWanted();
    if (error == Error::Port && job().target() != nullptr) {
        lastPortReason = text;
    }
    jobs.finish(error, text, direct);
}

void RtuEngine::setTimeout(milliseconds timeout)
{
    ownTimeout = timeout;
    line.setTimeout(timeout);
}

milliseconds RtuEngine::timeout() const
{
    return ownTimeout;
}

void RtuEngine::setEcho(bool echo)
{
    line.setEcho(echo);
}

bool RtuEngine::echo() const
{
    return line.echo();
}

void RtuEngine::setStartQuiet(std::optional<milliseconds> quiet)
{
    startQuiet = quiet;
}

void RtuEngine::start()
{
    startDrain(LineTracker::Drain::Quiet);
}

void RtuEngine::startAfterHandover(std::optional<EngineClock::time_point> answerBy)
{
    startDrain(LineTracker::Drain::Exchange,
               answerBy ? std::optional<nanoseconds>(*answerBy - epoch) : std::nullopt);
}

void RtuEngine::startDrain(LineTracker::Drain drain, std::optional<nanoseconds> answerBy)
{
    try {
        comm.setInBufferCount(0);
    } catch (const serial::CommError &) {
        // A closed port: the first request says so.
    }
    line.start(now(), quietOnStart(), drain, answerBy);
    setThreshold(1);
}

Reply *RtuEngine::submit(protocol::Frame request, Job job)
{
    return jobs.add(std::move(request), std::move(job));
}

std::vector<LateFrame> RtuEngine::takeLateFrames()
{
    if (state != State::Waiting) {
        pull();
        traceEvents();
    }
    std::vector<LateFrame> frames;
    for (LineTracker::Late &late : line.takeLate()) {
        frames.push_back({late.address, late.afterMs, bytesOf(late.bytes)});
    }
    return frames;
}

void RtuEngine::interrupt(Client::Caller caller)
{
    if (!jobs.interrupt(caller)) {
        return; // another caller's request goes on
    }
    switch (state) {
    case State::Silence:
    case State::Lingering:
        finish(Error::Interrupted);
        break;
    case State::Waiting:
        // The reply in flight may still come for a short while, so that the
        // reading in progress is taken and no late reply is left on the line for
        // the writes that switch outputs off.
        line.interrupt(now());
        if (const auto expiry = line.nextExpiry()) {
            timer->start(*expiry - now());
        }
        break;
    case State::Idle:
        break;
    }
}

std::vector<Job> RtuEngine::release()
{
    timer->stop();
    if (state == State::Waiting) {
        line.handOver(now());
        line.takeResult();
        traceEvents();
        if (lcLine().isDebugEnabled()) {
            trace(now(), QStringLiteral("   handover: the line changed hands, asked again"));
        }
    }
    std::vector<Job> held = jobs.release(state != State::Idle, state == State::Waiting);
    state = State::Idle;
    watchInput(true);
    return held;
}

void RtuEngine::adopt(Job job)
{
    jobs.adopt(std::move(job));
}

bool RtuEngine::idle() const
{
    return state == State::Idle && jobs.empty();
}

const LinkStats &RtuEngine::stats() const
{
    statsOut = line.stats();
    return statsOut;
}

const RoundTripSummary &RtuEngine::roundTrips() const
{
    return line.roundTrips();
}

} // namespace engine
