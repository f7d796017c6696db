#include "supply/client.h"

#include "serial/bufferedcommcontrol.h"
#include "supply/bytetext.h"
#include "supply/ceilinglink.h"
#include "supply/mbapengine.h"
#include "supply/networkport.h"

#include <QMetaObject>
#include <QPointer>
#include <QTimer>

#include <algorithm>
#include <deque>

namespace supply {

namespace {

using Clock = std::chrono::steady_clock;
using Outcome = LineTracker::Outcome;
using Verdict = LineTracker::Verdict;

const std::uint8_t *bytesOf(const QByteArray &bytes)
{
    return reinterpret_cast<const std::uint8_t *>(bytes.constData());
}

// Whole milliseconds until `ns` from now, rounded up, so that a timer never wakes
// the client before its time.
int ceilMs(nanoseconds ns)
{
    return ns <= nanoseconds(0) ? 0 : static_cast<int>((ns.count() + 999'999) / 1'000'000);
}

Error errorOf(Outcome outcome)
{
    switch (outcome) {
    case Outcome::Reply:
        return Error::None;
    case Outcome::Exception:
        return Error::Exception;
    case Outcome::Crc:
        return Error::Crc;
    case Outcome::Foreign:
        return Error::Foreign;
    case Outcome::Short:
        return Error::Short;
    case Outcome::Timeout:
        return Error::Timeout;
    case Outcome::Interrupted:
        return Error::Interrupted;
    case Outcome::Abandoned:
        return Error::Port;
    }
    return Error::Port;
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

// Whether a single-register write shows in the status read back after it:
// nullopt for a register the status block does not show.
std::optional<bool> showsIn(const protocol::Frame &write, const protocol::StatusReading &status)
{
    if (write.size() < 6 || write[1] != protocol::kWriteSingleRegister) {
        return std::nullopt;
    }
    const int reg = (write[2] << 8) | write[3];
    const int value = (write[4] << 8) | write[5];
    switch (reg) {
    case protocol::reg::kSetVoltage:
        return status.setVoltage == value;
    case protocol::reg::kSetCurrent:
        return status.setCurrent == value;
    case protocol::reg::kOutputSwitch:
        return status.outputOn == (value != 0);
    case protocol::reg::kSlaveAddress:
        // The supply still answers at its old address: the address did not move.
        return false;
    default:
        return std::nullopt;
    }
}

// Tells a relay that its request went on the line, from the event loop.
void announceSent(Reply *reply)
{
    QMetaObject::invokeMethod(
        reply, [reply] { emit reply->sent(); }, Qt::QueuedConnection);
}

} // namespace

bool isAddressWrite(const protocol::Frame &request)
{
    return request.size() >= 4 && request[1] == protocol::kWriteSingleRegister &&
           ((request[2] << 8) | request[3]) == protocol::reg::kSlaveAddress;
}

QString errorWord(Error error, int exceptionCode)
{
    switch (error) {
    case Error::None:
        return {};
    case Error::Timeout:
        return QStringLiteral("timeout");
    case Error::Crc:
        return QStringLiteral("crc");
    case Error::Foreign:
        return QStringLiteral("foreign");
    case Error::Short:
        return QStringLiteral("short");
    case Error::Exception:
        return QStringLiteral("exception %1").arg(exceptionCode);
    case Error::Port:
        return QStringLiteral("port");
    case Error::Interrupted:
        return QStringLiteral("interrupted");
    case Error::Refused:
        return QStringLiteral("refused");
    }
    return {};
}

Reply::Reply(protocol::Frame request, QObject *parent)
    : QObject(parent), m_request(std::move(request))
{
}

void Reply::complete(bool direct)
{
    if (direct) {
        m_finished = true;
        emit finished();
        return;
    }
    QMetaObject::invokeMethod(
        this,
        [this] {
            m_finished = true;
            emit finished();
        },
        Qt::QueuedConnection);
}

QString Reply::errorWord() const
{
    return supply::errorWord(m_error, m_exceptionCode);
}

// The driver: a queue of requests, one timer and the control's receive signal
// around a LineTracker. Between requests the control wakes the client at every
// byte, so that late frames are named as they come; while a reply is awaited it
// wakes the client once as many bytes have come as the tracker waits for.
class Client::Private {
public:
    enum class Kind { Read, Write, Linger, Registers };
    struct Job {
        QPointer<Reply> reply;
        // A request made with a callback: its reply is the client's, handed to
        // `done` when finished and deleted after.
        std::unique_ptr<Reply> owned;
        Done done;
        Kind kind = Kind::Read;
        Caller caller = kSelf;
        std::size_t replySize = 0;
        std::optional<milliseconds> firstByte;
        milliseconds linger{0};
        bool refused = false; // its caller stopped before it went out
        std::shared_ptr<WriteCheck> check;
        std::function<void(const Reply &)> onEnd;
    };
    // What the one timer waits for: the line's silence before a request, the
    // tracker's next deadline while a reply is awaited, or a linger's end.
    enum class State { Idle, Silence, Waiting, Lingering };

    Private(Client *client, serial::CommControl &control);

    Reply *enqueue(protocol::Frame request, Job job);
    void schedule();
    void processQueue();
    void trySend();
    void send();
    // Ends the job in flight. `direct` emits finished() at once, for the event
    // handlers that end with it; otherwise it comes from the event loop.
    void finish(Error error, const QString &text = {}, bool direct = false);
    // After the tracker has had its say: trace, threshold, the reply or the timer.
    void afterLine();
    void onComm();
    void pull();
    // Bytes read while a reply is awaited are kept with it, as they came.
    void keepReceived(const QByteArray &bytes);
    void onTimer();
    void onExpiry();
    void onPortLost(const QString &reason);
    // Takes out the request in flight and the queued ones for the next engine.
    std::vector<HeldRequest> release();
    void adopt(HeldRequest held);
    // The job's caller asked for a stop.
    bool stopped(const Job &j) const { return q->interrupted(j.caller); }
    void setThreshold(int bytes);
    void applyWanted();
    void watchInput(bool watched);
    void traceEvents();
    void trace(nanoseconds at, const QString &text) const;
    nanoseconds now() const { return Clock::now() - epoch; }
    // The job's reply: the caller's, or the client's own for a callback.
    static Reply *replyOf(const Job &j) { return j.owned ? j.owned.get() : j.reply.data(); }
    // Where the job in flight keeps its results: its reply, or a scratch one when
    // the caller has let the reply go while its request was out.
    Reply *out()
    {
        Reply *reply = replyOf(job);
        return reply != nullptr ? reply : &scratch;
    }
    milliseconds quietOnStart() const { return startQuiet ? *startQuiet : line.timeout(); }

    Client *q;
    serial::CommControl &comm;
    LineTracker line;
    std::optional<milliseconds> startQuiet;
    bool scheduled = false;
    State state = State::Idle;
    std::deque<Job> queue;
    Job job;
    QTimer timer;
    // At a deadline, bytes the port held back for the threshold are asked for
    // once before the wait ends.
    bool heldBackAsked = false;
    Clock::time_point epoch = Clock::now();
    int threshold = 0;
    // Off while a read's reply cannot be whole yet (LineTracker::unwatchedUntil).
    bool inputWatched = true;
    QString lastPortReason;
    Reply scratch{protocol::Frame{}};
    LinkStats stats;
};

Client::Private::Private(Client *client, serial::CommControl &control) : q(client), comm(control)
{
    timer.setSingleShot(true);
    timer.setTimerType(Qt::PreciseTimer);
    // The timer is the context of every connection and queued call that reaches
    // this engine, so that none outlives it when the client changes engines.
    QObject::connect(&timer, &QTimer::timeout, &timer, [this] { onTimer(); });
    QObject::connect(&comm, &serial::CommControl::OnComm, &timer, [this] { onComm(); });
    // Queued: the control reports the loss from inside its own error handling.
    QObject::connect(
        &comm, &serial::CommControl::portLost, &timer,
        [this](const QString &reason) { onPortLost(reason); }, Qt::QueuedConnection);
    comm.setInputLen(0);
    setThreshold(1);
}

void Client::Private::setThreshold(int bytes)
{
    bytes = std::max(1, bytes);
    if (bytes != threshold || comm.RThreshold() != bytes) {
        threshold = bytes;
        comm.setRThreshold(bytes);
    }
}

void Client::Private::applyWanted()
{
    const std::size_t wanted = line.wanted();
    if (wanted > 0) {
        setThreshold(static_cast<int>(wanted));
    }
}

void Client::Private::watchInput(bool watched)
{
    if (watched != inputWatched) {
        inputWatched = watched;
        comm.setInputWatched(watched);
    }
}

void Client::Private::trace(nanoseconds at, const QString &text) const
{
    const QString row =
        QStringLiteral("%1 ms %2").arg(static_cast<double>(at.count()) / 1e6, 10, 'f', 1).arg(text);
    qCDebug(lcLine, "%s", qUtf8Printable(row));
}

void Client::Private::traceEvents()
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

Reply *Client::Private::enqueue(protocol::Frame frame, Job next)
{
    Reply *reply = nullptr;
    if (next.done) {
        next.owned.reset(new Reply(std::move(frame)));
        reply = next.owned.get();
    } else {
        // The client owns what its caller never took: a reply still queued when it goes.
        reply = new Reply(std::move(frame), q);
        next.reply = reply;
    }
    next.refused = stopped(next);
    const bool refused = next.refused;
    queue.push_back(std::move(next));
    if (state == State::Idle && !scheduled && queue.size() == 1 && !refused) {
        processQueue(); // it goes out now, or waits for the line's silence
    } else {
        schedule();
    }
    return reply;
}

void Client::Private::schedule()
{
    if (scheduled) {
        return;
    }
    scheduled = true;
    QMetaObject::invokeMethod(
        &timer,
        [this] {
            scheduled = false;
            processQueue();
        },
        Qt::QueuedConnection);
}

void Client::Private::processQueue()
{
    while (state == State::Idle && !queue.empty()) {
        job = std::move(queue.front());
        queue.pop_front();
        if (replyOf(job) == nullptr) {
            continue; // its caller has let it go
        }
        if (job.refused || stopped(job)) {
            finish(Error::Interrupted);
            continue;
        }
        if (job.check && job.check->took == true) {
            // A write that took before the line changed hands: its echo is the
            // request itself, and it is not sent again.
            Reply *reply = replyOf(job);
            reply->m_bytes = bytesOf(reply->request());
            reply->m_received = reply->m_bytes;
            finish(Error::None);
            continue;
        }
        if (job.check && !job.check->took && isAddressWrite(replyOf(job)->request())) {
            // An address that may have moved is not moved again from where it was.
            finish(Error::Timeout, QStringLiteral("the line changed hands while the address was "
                                                  "written, and the supply does not answer at "
                                                  "its old address"));
            continue;
        }
        if (job.kind == Kind::Linger) {
            state = State::Lingering;
            setThreshold(1);
            timer.start(job.linger);
            return;
        }
        state = State::Silence;
        trySend();
    }
}

void Client::Private::trySend()
{
    if (!job.reply && !job.owned) {
        // Its caller let it go while it waited for the line's silence: it never goes.
        finish(Error::Interrupted);
        return;
    }
    if (stopped(job)) {
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
    const nanoseconds wait = line.sendableAt(replyOf(job)->request()[0]) - now();
    if (wait > nanoseconds(0)) {
        timer.start(ceilMs(wait));
        return;
    }
    send();
}

void Client::Private::send()
{
    const protocol::Frame &request = replyOf(job)->request();
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
    const auto firstByte =
        job.firstByte ? std::optional<nanoseconds>(*job.firstByte) : std::optional<nanoseconds>();
    line.setTracing(lcLine().isDebugEnabled());
    line.sent(request, job.replySize, firstByte, sentNs);
    traceEvents(); // what the request's silence left on the line
    if (lcLine().isDebugEnabled()) {
        trace(sentNs, QStringLiteral("-> %1  request").arg(hexOf(bytes)));
    }
    out()->m_sentAt = QDateTime::currentDateTimeUtc();
    out()->m_sentTime = epoch + sentNs;
    if (job.caller != kSelf) {
        announceSent(replyOf(job));
    }
    heldBackAsked = false;
    state = State::Waiting;
    if (stopped(job)) {
        line.interrupt(sentNs);
    }
    applyWanted();
    watchInput(!line.unwatchedUntil());
    if (const auto expiry = line.nextExpiry()) {
        timer.start(ceilMs(*expiry - sentNs));
    }
}

void Client::Private::afterLine()
{
    traceEvents();
    if (auto result = line.takeResult()) {
        Reply *reply = out();
        reply->m_bytes = bytesOf(result->bytes);
        reply->m_roundTripMs = result->roundTripMs;
        reply->m_exceptionCode = result->exceptionCode;
        if (result->outcome == Outcome::Reply && job.kind == Kind::Read) {
            reply->m_reading =
                protocol::decodeStatusReading(bytesOf(reply->m_bytes), reply->m_bytes.size());
        }
        finish(errorOf(result->outcome), QString::fromStdString(result->detail), true);
        return;
    }
    applyWanted();
    if (const auto expiry = line.nextExpiry()) {
        timer.start(ceilMs(*expiry - now()));
    }
}

void Client::Private::finish(Error error, const QString &text, bool direct)
{
    timer.stop();
    state = State::Idle;
    watchInput(true);
    applyWanted();
    QPointer<Reply> reply = job.reply;
    std::unique_ptr<Reply> owned = std::move(job.owned);
    Done done = std::move(job.done);
    auto onEnd = std::move(job.onEnd);
    job = {};
    if (!queue.empty()) {
        schedule();
    }
    Reply *target = owned ? owned.get() : reply.data();
    if (target == nullptr) {
        return;
    }
    target->m_error = error;
    if (!text.isEmpty()) {
        target->m_errorText = text;
    }
    if (error == Error::Port) {
        lastPortReason = text;
    }
    if (onEnd) {
        onEnd(*target);
    }
    if (owned) {
        if (direct) {
            // As below; `owned` goes when `done` returns.
            owned->m_finished = true;
            done(*owned);
            return;
        }
        QMetaObject::invokeMethod(
            q,
            [owned = std::shared_ptr<Reply>(std::move(owned)), done = std::move(done)] {
                owned->m_finished = true;
                done(*owned);
            },
            Qt::QueuedConnection);
        return;
    }
    // Directly, only as the last step of an event handler: nothing here is touched
    // after it, whatever the caller's slot does (a new request, a stop).
    reply->complete(direct);
}

void Client::Private::pull()
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

void Client::Private::keepReceived(const QByteArray &bytes)
{
    if (state == State::Waiting) {
        out()->m_received.append(bytes);
    }
}

void Client::Private::onComm()
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
        timer.stop();
        trySend();
        break;
    case State::Idle:
    case State::Lingering:
        traceEvents();
        applyWanted();
        break;
    }
}

void Client::Private::onTimer()
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

void Client::Private::onExpiry()
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
            timer.start(1);
            return;
        }
    }
    line.handleExpiry(at);
    afterLine();
}

void Client::Private::onPortLost(const QString &reason)
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

std::vector<HeldRequest> Client::Private::release()
{
    std::vector<HeldRequest> held;
    const auto take = [this, &held](Job &j, bool inFlight) {
        if (replyOf(j) == nullptr) {
            return; // its caller has let it go
        }
        HeldRequest out;
        switch (j.kind) {
        case Kind::Read:
            out.kind = HeldRequest::Kind::Read;
            break;
        case Kind::Write:
            out.kind = HeldRequest::Kind::Write;
            break;
        case Kind::Registers:
            out.kind = HeldRequest::Kind::Registers;
            break;
        case Kind::Linger:
            out.kind = HeldRequest::Kind::Linger;
            break;
        }
        if (j.owned) {
            // A callback's reply becomes one the client hands to the callback.
            Reply *reply = j.owned.release();
            reply->setParent(q);
            q->byReply(reply, std::move(j.done));
            out.reply = reply;
        } else {
            out.reply = j.reply;
        }
        out.caller = j.caller;
        out.replySize = j.replySize;
        out.firstByte = j.firstByte;
        out.linger = j.linger;
        out.inFlight = inFlight;
        out.refused = j.refused;
        out.check = std::move(j.check);
        out.onEnd = std::move(j.onEnd);
        held.push_back(std::move(out));
    };
    timer.stop();
    if (state == State::Waiting) {
        line.abandon(now());
        line.takeResult();
        traceEvents();
    }
    if (state != State::Idle) {
        take(job, state == State::Waiting);
    }
    job = {};
    state = State::Idle;
    watchInput(true);
    for (Job &next : queue) {
        take(next, false);
    }
    queue.clear();
    return held;
}

void Client::Private::adopt(HeldRequest held)
{
    Job next;
    switch (held.kind) {
    case HeldRequest::Kind::Read:
        next.kind = Kind::Read;
        break;
    case HeldRequest::Kind::Write:
        next.kind = Kind::Write;
        break;
    case HeldRequest::Kind::Registers:
        next.kind = Kind::Registers;
        break;
    case HeldRequest::Kind::Linger:
        next.kind = Kind::Linger;
        break;
    }
    next.reply = held.reply;
    next.caller = held.caller;
    next.replySize = held.replySize;
    next.firstByte = held.firstByte;
    next.linger = held.linger;
    next.refused = held.refused || q->interrupted(held.caller);
    next.check = std::move(held.check);
    next.onEnd = std::move(held.onEnd);
    queue.push_back(std::move(next));
    schedule();
}

Client::Client(serial::CommControl &comm, QObject *parent) : QObject(parent), m_comm(comm)
{
    makeEngine();
    if (auto *port = qobject_cast<MbapPort *>(&comm)) {
        connect(port, &MbapPort::lineChanged, this, &Client::followLine);
        m_ceilingLink = std::make_unique<CeilingLink>(m_ceilings, *port);
    }
}

QString Client::refusalOf(const protocol::Frame &request) const
{
    // The line as the user named it: a device path given, else COMn.
    const auto *buffered = qobject_cast<const serial::BufferedCommControl *>(&m_comm);
    const QString path = buffered ? buffered->devicePathOverride() : QString();
    const QString line = path.isEmpty() ? QStringLiteral("COM%1").arg(m_comm.CommPort()) : path;
    const auto why = m_ceilings.refusal(request, line.toStdString());
    return why ? QString::fromStdString(*why) : QString();
}

Reply *Client::refused(const protocol::Frame &request, const QString &why)
{
    auto *reply = new Reply(request, this);
    reply->m_error = Error::Refused;
    reply->m_errorText = why;
    reply->complete(false);
    return reply;
}

void Client::makeEngine()
{
    auto *port = qobject_cast<MbapPort *>(&m_comm);
    if (port && port->carriesMbap()) {
        m_net = std::make_unique<MbapEngine>(this, *port);
    } else {
        d = std::make_unique<Private>(this, m_comm);
    }
}

void Client::followLine()
{
    std::vector<HeldRequest> held = m_net ? m_net->release() : d->release();
    ++m_handovers;
    auto *port = qobject_cast<MbapPort *>(&m_comm);
    if (port->carriesMbap() != (m_net != nullptr)) {
        // What the engine was told, kept for the next one.
        const milliseconds wait = timeout();
        const bool echoed = echo();
        m_statsBefore = stats();
        m_roundTripsBefore.merge(m_net ? m_net->roundTrips() : d->line.roundTrips());
        // A reply a caller still holds never hears of the old engine again.
        m_net.reset();
        d.reset();
        makeEngine();
        setTimeout(wait);
        setEcho(echoed);
        setStartQuiet(m_startQuiet);
    }
    // The new line is quiet before its first request, so that an answer meant
    // for the old one is never taken.
    if (m_comm.PortOpen()) {
        start();
    }
    for (HeldRequest &request : held) {
        if (request.reply) {
            // Asked afresh: nothing of the lost attempt stays with the reply.
            request.reply->m_bytes.clear();
            request.reply->m_received.clear();
            request.reply->m_reading.reset();
            request.reply->m_exceptionCode = 0;
        }
        if (request.inFlight && request.kind == HeldRequest::Kind::Write && request.reply &&
            !request.check) {
            // It may have reached the supply before the line changed hands: the
            // status read back says whether it goes out again.
            const protocol::Frame &write = request.reply->request();
            auto check = std::make_shared<WriteCheck>();
            auto *readBack = new Reply(protocol::buildReadStatusRequest(write[0]), this);
            connect(readBack, &Reply::finished, readBack, &QObject::deleteLater);
            HeldRequest read;
            read.kind = HeldRequest::Kind::Read;
            read.reply = readBack;
            read.caller = request.caller;
            read.replySize = protocol::kStatusReplySize;
            read.onEnd = [check, write](const Reply &reply) {
                if (reply.error() == Error::None && reply.reading()) {
                    // A register the status does not show is written again.
                    check->took = showsIn(write, *reply.reading()).value_or(false);
                }
            };
            request.check = check;
            adoptHeld(std::move(read));
        }
        adoptHeld(std::move(request));
    }
}

void Client::adoptHeld(HeldRequest request)
{
    if (m_net) {
        m_net->adopt(std::move(request));
    } else {
        d->adopt(std::move(request));
    }
}

Client::~Client() = default;

void Client::setTimeout(milliseconds timeout)
{
    if (m_net) {
        m_net->setTimeout(timeout);
        return;
    }
    d->line.setTimeout(timeout);
}

milliseconds Client::timeout() const
{
    return m_net ? m_net->timeout() : d->line.timeout();
}

void Client::setEcho(bool echo)
{
    if (d) {
        d->line.setEcho(echo);
    }
}

bool Client::echo() const
{
    return d && d->line.echo();
}

void Client::setStartQuiet(std::optional<milliseconds> quiet)
{
    m_startQuiet = quiet;
    if (d) {
        d->startQuiet = quiet;
    }
}

void Client::start()
{
    if (m_net) {
        m_net->start();
        return;
    }
    try {
        d->comm.setInBufferCount(0);
    } catch (const serial::CommError &) {
        // A closed port: the first request says so.
    }
    d->line.start(d->now(), d->quietOnStart());
    d->setThreshold(1);
}

// A network engine hands out reply objects only: the callback is called from the
// reply's end, once, and the reply goes with it.
void Client::byReply(Reply *reply, Done done)
{
    connect(reply, &Reply::finished, reply, [reply, done = std::move(done)] {
        reply->deleteLater();
        done(*reply);
    });
}

Reply *Client::readStatus(std::uint8_t address, std::optional<milliseconds> firstByteTimeout)
{
    if (m_net) {
        return m_net->readStatus(address, firstByteTimeout);
    }
    Private::Job job;
    job.kind = Private::Kind::Read;
    job.replySize = protocol::kStatusReplySize;
    job.firstByte = firstByteTimeout;
    return d->enqueue(protocol::buildReadStatusRequest(address), std::move(job));
}

Reply *Client::write(const protocol::Frame &request, Caller caller)
{
    if (const QString why = refusalOf(request); !why.isEmpty()) {
        return refused(request, why);
    }
    if (m_net) {
        return m_net->write(request, caller);
    }
    Private::Job job;
    job.caller = caller;
    job.kind = Private::Kind::Write;
    job.replySize = request.size();
    return d->enqueue(request, std::move(job));
}

Reply *Client::readRegisters(std::uint8_t address, std::uint16_t start, std::uint16_t count,
                             Caller caller)
{
    if (m_net) {
        return m_net->readRegisters(address, start, count, caller);
    }
    Private::Job job;
    job.caller = caller;
    job.kind = Private::Kind::Registers;
    // address + function + byte count + two bytes a register + CRC (2)
    job.replySize = 5 + 2 * std::size_t{count};
    return d->enqueue(
        protocol::buildRequest(address, protocol::kReadHoldingRegisters, start, count),
        std::move(job));
}

void Client::readStatus(std::uint8_t address, Done done)
{
    if (m_net) {
        byReply(m_net->readStatus(address, std::nullopt), std::move(done));
        return;
    }
    Private::Job job;
    job.kind = Private::Kind::Read;
    job.replySize = protocol::kStatusReplySize;
    job.done = std::move(done);
    d->enqueue(protocol::buildReadStatusRequest(address), std::move(job));
}

void Client::write(const protocol::Frame &request, Done done)
{
    if (const QString why = refusalOf(request); !why.isEmpty()) {
        byReply(refused(request, why), std::move(done));
        return;
    }
    if (m_net) {
        byReply(m_net->write(request), std::move(done));
        return;
    }
    Private::Job job;
    job.kind = Private::Kind::Write;
    job.replySize = request.size();
    job.done = std::move(done);
    d->enqueue(request, std::move(job));
}

Reply *Client::linger(milliseconds ms)
{
    if (m_net) {
        return m_net->linger(ms);
    }
    Private::Job job;
    job.kind = Private::Kind::Linger;
    job.linger = ms;
    return d->enqueue({}, std::move(job));
}

std::vector<LateFrame> Client::takeLateFrames()
{
    if (m_net) {
        return m_net->takeLateFrames();
    }
    if (d->state != Private::State::Waiting) {
        d->pull();
        d->traceEvents();
    }
    std::vector<LateFrame> frames;
    for (LineTracker::Late &late : d->line.takeLate()) {
        frames.push_back({late.address, late.afterMs, bytesOf(late.bytes)});
    }
    return frames;
}

Client::Caller Client::addCaller()
{
    return ++m_lastCaller;
}

void Client::interruptCaller(Caller caller)
{
    if (!interrupted(caller)) {
        m_stopped.push_back(caller);
    }
    if (m_net) {
        m_net->interrupt(caller);
        return;
    }
    for (Private::Job &job : d->queue) {
        if (job.caller == caller) {
            job.refused = true;
        }
    }
    d->schedule();
    if (d->job.caller != caller) {
        return; // another caller's request goes on
    }
    switch (d->state) {
    case Private::State::Silence:
    case Private::State::Lingering:
        d->finish(Error::Interrupted);
        break;
    case Private::State::Waiting:
        // The reply in flight may still come for a short while, so that the
        // reading in progress is taken and no late reply is left on the line for
        // the writes that switch outputs off.
        d->line.interrupt(d->now());
        if (const auto expiry = d->line.nextExpiry()) {
            d->timer.start(ceilMs(*expiry - d->now()));
        }
        break;
    case Private::State::Idle:
        break;
    }
}

bool Client::interrupted(Caller caller) const
{
    return std::find(m_stopped.begin(), m_stopped.end(), caller) != m_stopped.end();
}

void Client::resume(Caller caller)
{
    m_stopped.erase(std::remove(m_stopped.begin(), m_stopped.end(), caller), m_stopped.end());
}

bool Client::idle() const
{
    if (m_net) {
        return m_net->idle();
    }
    return d->state == Private::State::Idle && d->queue.empty();
}

const LinkStats &Client::stats() const
{
    const LinkStats &now = m_net ? m_net->stats() : (d->stats = d->line.stats());
    // The counts and round trips of engines before a handover, added.
    m_statsOut = now;
    m_statsOut.addCounts(m_statsBefore);
    if (m_roundTripsBefore.count() > 0) {
        RoundTripSummary all = m_roundTripsBefore;
        all.merge(m_net ? m_net->roundTrips() : d->line.roundTrips());
        m_statsOut.roundTrips = all.count();
        m_statsOut.medianMs = all.quantile(0.5);
        m_statsOut.p99Ms = all.quantile(0.99);
        m_statsOut.maxMs = all.max();
    }
    return m_statsOut;
}

} // namespace supply
