#include "supply/client.h"

#include "protocol/reply.h"

#include <QElapsedTimer>
#include <QMetaObject>
#include <QPointer>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <deque>
#include <map>

Q_LOGGING_CATEGORY(lcLine, "vantel.line", QtInfoMsg)

namespace supply {

namespace {

constexpr qint64 kNsPerMs = 1'000'000;
// One character on the line, rounded up.
const qint64 kCharNs = static_cast<qint64>(std::ceil(kCharMs * kNsPerMs));
// Past the time a reply usually takes, the client stops waiting for the whole of
// it and looks at whatever has come (a short or exception reply).
constexpr qint64 kDueMarginNs = 3 * kNsPerMs;
// Bytes kept in the receive buffer at most; a flood beyond it is junk.
constexpr qsizetype kMaxBuffered = 4096;
// Late frames kept until takeLateFrames(): a caller that never asks loses the oldest.
constexpr std::size_t kMaxLateFrames = 256;
// The start drains the line for at most this many quiet times.
constexpr int kDrainLimitQuietTimes = 3;

qint64 charsNs(double chars)
{
    return static_cast<qint64>(std::ceil(chars * kCharMs * kNsPerMs));
}

int ceilMs(qint64 ns)
{
    return ns <= 0 ? 0 : static_cast<int>((ns + kNsPerMs - 1) / kNsPerMs);
}

const std::uint8_t *bytesOf(const QByteArray &bytes, qsizetype offset = 0)
{
    return reinterpret_cast<const std::uint8_t *>(bytes.constData()) + offset;
}

QString hexOf(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.toHex(' ').toUpper());
}

QByteArray bytesOfFrame(const protocol::Frame &frame)
{
    return QByteArray(reinterpret_cast<const char *>(frame.data()),
                      static_cast<qsizetype>(frame.size()));
}

// Round trips counted in buckets 0.2 % wide from 10 µs to 100 s: 32 kB however
// long the program runs, with quantiles good to a tenth of a percent.
class RoundTripSummary {
public:
    void add(double ms)
    {
        if (m_counts.empty()) {
            m_counts.assign(kBuckets, 0);
        }
        ++m_counts[bucket(ms)];
        m_min = m_count == 0 ? ms : std::min(m_min, ms);
        m_max = std::max(m_max, ms);
        ++m_count;
    }
    long count() const { return m_count; }
    double max() const { return m_max; }
    double quantile(double q) const
    {
        if (m_count == 0) {
            return 0;
        }
        const long rank = std::max(1L, static_cast<long>(std::ceil(q * m_count)));
        long seen = 0;
        for (std::size_t i = 0; i < m_counts.size(); ++i) {
            seen += m_counts[i];
            if (seen >= rank) {
                return std::clamp(middle(i), m_min, m_max);
            }
        }
        return m_max;
    }

private:
    static constexpr double kLowestMs = 0.01;
    static constexpr double kStep = 1.002;
    static constexpr std::size_t kBuckets = 8070; // log(1e7) / log(1.002), rounded up

    static std::size_t bucket(double ms)
    {
        if (ms <= kLowestMs) {
            return 0;
        }
        const auto i = static_cast<std::size_t>(std::log(ms / kLowestMs) / std::log(kStep)) + 1;
        return std::min(i, kBuckets - 1);
    }
    static double middle(std::size_t i)
    {
        return i == 0 ? kLowestMs : kLowestMs * std::pow(kStep, static_cast<double>(i) - 0.5);
    }

    std::vector<std::uint32_t> m_counts;
    long m_count = 0;
    double m_min = 0;
    double m_max = 0;
};

std::FILE *g_traceOut = nullptr;
QtMessageHandler g_previousHandler = nullptr;
QLoggingCategory::CategoryFilter g_previousFilter = nullptr;

void traceFilter(QLoggingCategory *category)
{
    if (g_previousFilter != nullptr) {
        g_previousFilter(category);
    }
    if (qstrcmp(category->categoryName(), "vantel.line") == 0) {
        category->setEnabled(QtDebugMsg, true);
    }
}

void traceHandler(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (g_traceOut != nullptr && context.category != nullptr &&
        qstrcmp(context.category, "vantel.line") == 0) {
        std::fprintf(g_traceOut, "%s\n", message.toLocal8Bit().constData());
        std::fflush(g_traceOut);
        return;
    }
    if (g_previousHandler != nullptr) {
        g_previousHandler(type, context, message);
    }
}

} // namespace

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
    }
    return {};
}

void enableLineTrace(std::FILE *out)
{
    if (g_traceOut == nullptr) {
        g_previousHandler = qInstallMessageHandler(traceHandler);
        g_traceOut = out;
        g_previousFilter = QLoggingCategory::installFilter(traceFilter);
    }
    g_traceOut = out;
}

Reply::Reply(protocol::Frame request, QObject *parent)
    : QObject(parent), m_request(std::move(request))
{
}

QString Reply::errorWord() const
{
    return supply::errorWord(m_error, m_exceptionCode);
}

// The state machine. Between requests the control wakes the client at every byte,
// so that late frames are named as they come; while a reply is awaited it wakes
// the client only once as many bytes have come as the reply still needs, and a
// timer at the reply's usual time looks at what a shorter answer left.
class Client::Private {
public:
    enum class Kind { Read, Write, Linger };
    struct Job {
        QPointer<Reply> reply;
        Kind kind = Kind::Read;
        std::size_t replySize = 0;
        std::optional<milliseconds> firstByte;
        milliseconds linger{0};
        bool refused = false; // a stop came before it went out
    };
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
    void complete(const protocol::ReplyJudgement &judgement);
    void onComm();
    void pull();
    void append(const QByteArray &bytes, qint64 now);
    void examine();
    // Bytes that may be the reply have come: a first-byte wait gives way to the timeout.
    void markBegun();
    void onStep();
    void onDeadline();
    void onDue();
    void onGrace();
    void onPortLost(const QString &reason);
    void setThreshold(int bytes);
    // Drops whole frames at the head of the buffer, naming late ones; with `all`,
    // what is no frame goes too, as junk.
    void dropStale(bool all);
    void dropFrame(qsizetype length);
    void dropJunk(qsizetype length, const char *verdict = "junk");
    void dropHead(qsizetype length);
    void trace(const char *direction, const QByteArray &bytes, qint64 atNs,
               const QString &verdict) const;
    qint64 now() const { return clock.nsecsElapsed(); }
    // Where the job in flight keeps its results: its reply, or a scratch one when
    // the caller has let the reply go while its request was out.
    Reply *out() { return job.reply ? job.reply.data() : &scratch; }
    milliseconds quietOnStart() const { return startQuiet ? *startQuiet : timeout; }

    Client *q;
    serial::CommControl &comm;
    milliseconds timeout{500};
    std::optional<milliseconds> startQuiet;
    bool echo = false;
    bool interrupted = false;
    bool scheduled = false;
    State state = State::Idle;
    std::deque<Job> queue;
    Job job;
    QTimer stepTimer;  // the silence before a request, a linger, a reply's deadline
    QTimer dueTimer;   // a reply's usual time
    QTimer graceTimer; // a stop's grace for the reply in flight
    QElapsedTimer clock;

    QByteArray rx;
    std::vector<qint64> rxAtNs; // for each byte, the latest it can have arrived
    qint64 lastChunkNs = 0;
    qint64 lineBusyUntilNs = 0; // end of the last byte sent or received
    bool draining = false;      // from start() until the first request goes out
    qint64 drainUntilNs = 0;
    qint64 drainLimitNs = 0;
    std::map<std::uint8_t, qint64> unansweredNs; // address: when its unanswered request went
    std::map<std::uint8_t, qint64> quietUntilNs; // address timed out: not asked before then
    std::vector<LateFrame> late;
    mutable LinkStats stats;
    RoundTripSummary roundTrips;
    qint64 usualRoundTripNs = 0;
    int threshold = 0;
    QString lastPortReason;
    Reply scratch{protocol::Frame{}};
    // A write taken as answered by a copy of itself while the echo was off.
    QByteArray unconfirmedEcho;
    qint64 unconfirmedEchoNs = 0;

    // The request in flight.
    protocol::Frame request;
    qint64 sentNs = 0;
    qint64 earliestNs = 0; // no byte of its reply can have arrived before
    bool echoPending = false;
    bool begun = false;
    bool sawForeign = false;
    bool countedForeign = false;
    bool pastDue = false; // every byte is looked at from now on
    bool deadlineDeferred = false;
    // Asks the control to wake the client once `bytes` more have come.
    void expect(std::size_t bytes) { setThreshold(pastDue ? 1 : static_cast<int>(bytes)); }
};

Client::Private::Private(Client *client, serial::CommControl &control) : q(client), comm(control)
{
    for (QTimer *timer : {&stepTimer, &dueTimer, &graceTimer}) {
        timer->setSingleShot(true);
        timer->setTimerType(Qt::PreciseTimer);
    }
    QObject::connect(&stepTimer, &QTimer::timeout, q, [this] { onStep(); });
    QObject::connect(&dueTimer, &QTimer::timeout, q, [this] { onDue(); });
    QObject::connect(&graceTimer, &QTimer::timeout, q, [this] { onGrace(); });
    QObject::connect(&comm, &serial::CommControl::OnComm, q, [this] { onComm(); });
    // Queued: the control reports the loss from inside its own error handling.
    QObject::connect(
        &comm, &serial::CommControl::portLost, q,
        [this](const QString &reason) { onPortLost(reason); }, Qt::QueuedConnection);
    clock.start();
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

void Client::Private::trace(const char *direction, const QByteArray &bytes, qint64 atNs,
                            const QString &verdict) const
{
    if (!lcLine().isDebugEnabled()) {
        return;
    }
    const QString line = QStringLiteral("%1 ms %2 %3  %4")
                             .arg(static_cast<double>(atNs) / kNsPerMs, 10, 'f', 1)
                             .arg(QLatin1String(direction), hexOf(bytes), verdict);
    qCDebug(lcLine, "%s", qUtf8Printable(line));
}

Reply *Client::Private::enqueue(protocol::Frame frame, Job next)
{
    // The client owns what its caller never took: a reply still queued when it goes.
    auto *reply = new Reply(std::move(frame), q);
    next.reply = reply;
    next.refused = interrupted;
    queue.push_back(std::move(next));
    if (state == State::Idle && !scheduled && queue.size() == 1 && !interrupted) {
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
        q,
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
        if (!job.reply) {
            continue; // its caller has let it go
        }
        if (job.refused || interrupted) {
            finish(Error::Interrupted);
            continue;
        }
        if (job.kind == Kind::Linger) {
            state = State::Lingering;
            setThreshold(1);
            stepTimer.start(job.linger);
            return;
        }
        request = job.reply->request();
        state = State::Silence;
        trySend();
    }
}

void Client::Private::trySend()
{
    if (interrupted) {
        finish(Error::Interrupted);
        return;
    }
    if (!comm.PortOpen()) {
        finish(Error::Port, QStringLiteral("the port is closed"));
        return;
    }
    pull();
    dropStale(false);
    if (threshold > 1 && comm.InBufferCount() > 0) {
        // Bytes came since the last request that the device holds back for the
        // threshold: they come at the next turn of the event loop, and the line
        // was busy just now.
        setThreshold(1);
        lineBusyUntilNs = std::max(lineBusyUntilNs, now());
    }
    const qint64 at = now();
    qint64 until = lineBusyUntilNs + charsNs(3.5);
    if (draining) {
        until = std::max(until, std::min(drainUntilNs, drainLimitNs));
    }
    const auto quiet = quietUntilNs.find(request[0]);
    if (quiet != quietUntilNs.end()) {
        until = std::max(until, quiet->second);
    }
    if (at < until) {
        stepTimer.start(ceilMs(until - at));
        return;
    }
    send();
}

void Client::Private::send()
{
    const std::uint8_t address = request[0];
    if (draining) {
        draining = false;
        dropJunk(rx.size(), "stale");
    }
    dropStale(true);
    quietUntilNs.erase(address);
    const QByteArray bytes = bytesOfFrame(request);
    sentNs = now();
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
    ++stats.requests;
    trace("->", bytes, sentNs, QStringLiteral("request"));
    if (request[1] == protocol::kWriteSingleRegister && bytes != unconfirmedEcho) {
        unconfirmedEcho.clear();
    }
    out()->m_sentAt = QDateTime::currentDateTimeUtc();
    lineBusyUntilNs = sentNs + charsNs(static_cast<double>(request.size()));
    // A supply answers once the whole request has reached it: the first byte of
    // its reply ends a character after that at the earliest.
    earliestNs = sentNs + charsNs(static_cast<double>(request.size() + 1));
    echoPending = true;
    begun = false;
    sawForeign = false;
    countedForeign = false;
    // A wait bounded by the first byte must see that byte when it comes.
    pastDue = job.firstByte.has_value();
    deadlineDeferred = false;
    state = State::Waiting;

    const std::size_t echoSize = echo ? request.size() : 0;
    expect(echoSize + job.replySize);
    stepTimer.start(job.firstByte ? *job.firstByte : timeout);
    const qint64 floorNs = charsNs(static_cast<double>(request.size() + echoSize + job.replySize));
    const qint64 dueNs = std::max(floorNs, usualRoundTripNs) + kDueMarginNs;
    dueTimer.start(ceilMs(dueNs));
    if (interrupted) {
        graceTimer.start(kStopGrace);
    }
}

void Client::Private::finish(Error error, const QString &text, bool direct)
{
    const bool sent = state == State::Waiting;
    stepTimer.stop();
    dueTimer.stop();
    graceTimer.stop();
    state = State::Idle;
    if (sent) {
        const std::uint8_t address = request[0];
        if (error == Error::None || error == Error::Exception) {
            unansweredNs.erase(address); // a later frame of it is no late reply
        } else {
            unansweredNs[address] = sentNs;
        }
        if (error == Error::Timeout || error == Error::Short) {
            // Its reply may still come: asked again within half a timeout, the
            // address waits for that first (time spent on other addresses counts,
            // so a bus keeps one timeout per silent address a round).
            quietUntilNs[address] =
                now() + std::chrono::duration_cast<std::chrono::nanoseconds>(timeout).count() / 2;
        }
    }
    // Until the next request, a late reply is looked at as it comes, so that its
    // delay is named right. With none due, the threshold stays: bytes the device
    // holds back are asked for before the next request goes out.
    if (!unansweredNs.empty()) {
        setThreshold(1);
    }
    QPointer<Reply> reply = job.reply;
    job = {};
    if (!queue.empty()) {
        schedule();
    }
    if (!reply) {
        return;
    }
    reply->m_error = error;
    if (!text.isEmpty()) {
        reply->m_errorText = text;
    }
    if (error == Error::Port) {
        lastPortReason = text;
    }
    if (direct) {
        // The last step of an event handler: nothing here is touched after it,
        // whatever the caller's slot does (a new request, a stop).
        reply->m_finished = true;
        emit reply->finished();
        return;
    }
    // From the event loop: the caller's slot meets no half-done step here.
    QMetaObject::invokeMethod(
        reply,
        [reply] {
            reply->m_finished = true;
            emit reply->finished();
        },
        Qt::QueuedConnection);
}

void Client::Private::complete(const protocol::ReplyJudgement &judgement)
{
    const auto length = static_cast<qsizetype>(judgement.length);
    const QByteArray bytes = rx.left(length);
    const qint64 endNs = rxAtNs[static_cast<std::size_t>(length - 1)];
    dropHead(length);
    Reply *reply = out();
    reply->m_bytes = bytes;
    reply->m_roundTripMs = static_cast<double>(endNs - sentNs) / kNsPerMs;
    if (judgement.verdict == protocol::ReplyVerdict::BadCrc) {
        ++stats.badCrc;
        trace("<-", bytes, endNs, QStringLiteral("crc"));
        finish(Error::Crc, {}, true);
        return;
    }
    ++stats.replies;
    roundTrips.add(reply->m_roundTripMs);
    usualRoundTripNs = endNs - sentNs;
    if (judgement.verdict == protocol::ReplyVerdict::Exception) {
        reply->m_exceptionCode = judgement.exceptionCode;
        trace("<-", bytes, endNs, errorWord(Error::Exception, judgement.exceptionCode));
        finish(Error::Exception, {}, true);
        return;
    }
    trace("<-", bytes, endNs, QStringLiteral("reply"));
    if (job.kind == Kind::Read) {
        reply->m_reading = protocol::decodeStatusReading(bytesOf(bytes), bytes.size());
        finish(Error::None, {}, true);
        return;
    }
    if (!protocol::isWriteEcho(request, bytesOf(bytes), bytes.size())) {
        ++stats.foreign;
        finish(Error::Foreign,
               QStringLiteral("the echo differs from the request ") + hexOf(bytesOfFrame(request)),
               true);
        return;
    }
    if (!echo) {
        // If a second copy follows, this one was the adapter's (it came too late
        // to be told apart by its time), and the second the supply's answer.
        unconfirmedEcho = bytes;
        unconfirmedEchoNs = sentNs;
    }
    finish(Error::None, {}, true);
}

void Client::Private::pull()
{
    if (!comm.PortOpen()) {
        return;
    }
    const QByteArray bytes = comm.Input();
    if (!bytes.isEmpty()) {
        append(bytes, now());
    }
}

void Client::Private::append(const QByteArray &bytes, qint64 at)
{
    // Bytes on the line come a character apart, so the first of a piece read now
    // ended no later than the piece's length before now; none before the last read.
    const auto count = static_cast<qint64>(bytes.size());
    for (qint64 i = 0; i < count; ++i) {
        rxAtNs.push_back(std::max(lastChunkNs, at - (count - 1 - i) * kCharNs));
    }
    rx += bytes;
    lastChunkNs = at;
    lineBusyUntilNs = std::max(lineBusyUntilNs, at);
    if (draining) {
        drainUntilNs =
            at + std::chrono::duration_cast<std::chrono::nanoseconds>(quietOnStart()).count();
    }
    if (rx.size() > kMaxBuffered) {
        dropJunk(rx.size() - kMaxBuffered);
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
    append(bytes, now());
    switch (state) {
    case State::Waiting:
        examine();
        break;
    case State::Silence:
        dropStale(false);
        stepTimer.stop();
        trySend();
        break;
    case State::Idle:
    case State::Lingering:
        dropStale(false);
        break;
    }
}

void Client::Private::examine()
{
    for (;;) {
        const auto size = static_cast<std::size_t>(rx.size());
        if (size == 0) {
            expect((echoPending && echo ? request.size() : 0) + job.replySize);
            return;
        }
        const std::uint8_t *data = bytesOf(rx);
        // Time tells the adapter's echo from a reply only on a real UART: a
        // virtual port (USB CDC-ACM, a network bridge, a pty) answers at once.
        // So time only ever decides between the request's own copy and a write's
        // reply, which looks the same.
        const bool early = rxAtNs.front() < earliestNs;
        const bool isWrite = request[1] != protocol::kReadHoldingRegisters;
        // The adapter's copy of the request: a supply never sends back a read
        // request; a write's copy is the echo when the adapter is known to echo,
        // or perhaps when it came before a reply could have.
        if (echoPending && (echo || early || !isWrite)) {
            const protocol::EchoMatch match = protocol::matchEcho(request, data, size);
            if (match == protocol::EchoMatch::Whole && isWrite && !echo && size <= request.size()) {
                // A copy of a write that came too soon for a reply on a real UART:
                // the echo if the supply's copy follows by the reply's usual time,
                // otherwise the reply itself, from a port that answers at once (a
                // later second copy still shows it was the echo).
                if (!pastDue) {
                    expect(job.replySize);
                    return;
                }
                echoPending = false;
            }
            switch (echoPending ? match : protocol::EchoMatch::No) {
            case protocol::EchoMatch::Partial:
                // The start of a read's echo looks like the start of its reply.
                if (!early) {
                    markBegun();
                }
                expect(request.size() - size + job.replySize);
                return;
            case protocol::EchoMatch::Whole: {
                const QByteArray copy = rx.left(static_cast<qsizetype>(request.size()));
                const qint64 endNs = rxAtNs[request.size() - 1];
                dropHead(static_cast<qsizetype>(request.size()));
                echoPending = false;
                ++stats.echoes;
                trace("<-", copy, endNs,
                      echo ? QStringLiteral("echo") : QStringLiteral("echo (the adapter echoes)"));
                echo = true;
                continue;
            }
            case protocol::EchoMatch::No:
                echoPending = false;
                break;
            }
        }
        {
            // A whole reply is the reply whenever it comes.
            const protocol::ReplyJudgement judgement =
                protocol::judgeReply(request, job.replySize, data, size);
            switch (judgement.verdict) {
            case protocol::ReplyVerdict::Ok:
            case protocol::ReplyVerdict::Exception:
            case protocol::ReplyVerdict::BadCrc:
                complete(judgement);
                return;
            case protocol::ReplyVerdict::Incomplete: {
                markBegun();
                const bool exception = size >= 2 && (data[1] & protocol::kExceptionFlag) != 0;
                const std::size_t whole = exception ? protocol::kExceptionReplySize : job.replySize;
                expect(whole > size ? whole - size : 1);
                return;
            }
            case protocol::ReplyVerdict::NotOurs:
                break;
            }
        }
        // The head is no reply to this request: a whole frame of someone else's,
        // a late one, or bytes of no frame. The reply may follow them.
        const std::size_t frame = protocol::wholeFrameLength(data, size);
        if (frame > 0) {
            dropFrame(static_cast<qsizetype>(frame));
            continue;
        }
        std::size_t start = 1;
        for (; start < size; ++start) {
            const auto verdict =
                protocol::judgeReply(request, job.replySize, data + start, size - start).verdict;
            if (verdict == protocol::ReplyVerdict::Ok ||
                verdict == protocol::ReplyVerdict::Exception) {
                break;
            }
        }
        if (start < size) {
            dropJunk(static_cast<qsizetype>(start));
            sawForeign = true;
            continue;
        }
        // A fragment of another frame, or junk: the wait goes on for a whole frame,
        // our reply or the deadline, a byte at a time.
        setThreshold(1);
        return;
    }
}

void Client::Private::markBegun()
{
    if (begun) {
        return;
    }
    begun = true;
    if (job.firstByte) {
        // The reply has begun: the whole timeout applies from its request.
        pastDue = false;
        stepTimer.start(std::max<qint64>(0, timeout.count() - (now() - sentNs) / kNsPerMs));
    }
}

void Client::Private::dropStale(bool all)
{
    while (!rx.isEmpty()) {
        if (draining) {
            dropJunk(rx.size(), "stale");
            return;
        }
        const std::size_t frame =
            protocol::wholeFrameLength(bytesOf(rx), static_cast<std::size_t>(rx.size()));
        if (frame > 0) {
            dropFrame(static_cast<qsizetype>(frame));
            continue;
        }
        if (!all) {
            return; // perhaps a frame still arriving
        }
        // Junk up to the next whole frame, or all of it.
        qsizetype next = 1;
        for (; next < rx.size(); ++next) {
            if (protocol::wholeFrameLength(bytesOf(rx, next),
                                           static_cast<std::size_t>(rx.size() - next)) > 0) {
                break;
            }
        }
        dropJunk(next);
    }
}

void Client::Private::dropFrame(qsizetype length)
{
    const QByteArray bytes = rx.left(length);
    const qint64 endNs = rxAtNs[static_cast<std::size_t>(length - 1)];
    dropHead(length);
    const auto address = static_cast<std::uint8_t>(bytes.at(0));
    // A read request is another master's, not a reply.
    const bool isRequest =
        length == static_cast<qsizetype>(protocol::kRequestSize) &&
        static_cast<std::uint8_t>(bytes.at(1)) == protocol::kReadHoldingRegisters &&
        static_cast<std::uint8_t>(bytes.at(2)) != length - 5;
    if (!unconfirmedEcho.isEmpty() && bytes == unconfirmedEcho &&
        endNs - unconfirmedEchoNs <
            std::chrono::duration_cast<std::chrono::nanoseconds>(timeout).count()) {
        unconfirmedEcho.clear();
        echo = true;
        ++stats.echoes;
        trace("<-", bytes, endNs, QStringLiteral("the supply's copy: the adapter echoes"));
        return;
    }
    const auto asked = unansweredNs.find(address);
    if (asked != unansweredNs.end() && !isRequest) {
        const double afterMs = static_cast<double>(endNs - asked->second) / kNsPerMs;
        if (late.size() >= kMaxLateFrames) {
            late.erase(late.begin());
        }
        late.push_back({address, afterMs, bytes});
        ++stats.late;
        unansweredNs.erase(asked);
        quietUntilNs.erase(address); // its late reply is drained
        trace("<-", bytes, endNs,
              QStringLiteral("late from %1 (%2 ms)").arg(address).arg(afterMs, 0, 'f', 1));
        return;
    }
    ++stats.foreign;
    if (state == State::Waiting) {
        sawForeign = true;
        countedForeign = true;
    }
    trace("<-", bytes, endNs, QStringLiteral("foreign"));
}

void Client::Private::dropJunk(qsizetype length, const char *verdict)
{
    if (length <= 0) {
        return;
    }
    const QByteArray bytes = rx.left(length);
    const qint64 endNs = rxAtNs[static_cast<std::size_t>(length - 1)];
    dropHead(length);
    if (qstrcmp(verdict, "junk") == 0) {
        stats.junkBytes += length;
    }
    trace("<-", bytes, endNs, QLatin1String(verdict));
}

void Client::Private::dropHead(qsizetype length)
{
    rx.remove(0, length);
    rxAtNs.erase(rxAtNs.begin(), rxAtNs.begin() + length);
}

void Client::Private::onStep()
{
    switch (state) {
    case State::Silence:
        trySend();
        break;
    case State::Lingering:
        pull();
        dropStale(false);
        finish(Error::None, {}, true);
        break;
    case State::Waiting:
        onDeadline();
        break;
    case State::Idle:
        break;
    }
}

void Client::Private::onDeadline()
{
    pastDue = true;
    setThreshold(1);
    pull();
    examine();
    if (state != State::Waiting || stepTimer.isActive()) {
        return; // answered, or its reply has begun and has the whole timeout
    }
    if (!deadlineDeferred && comm.PortOpen() && comm.InBufferCount() > 0) {
        // Bytes the device held back for the threshold come at the next turn of
        // the event loop, now that every byte wakes the client: judge them first.
        deadlineDeferred = true;
        stepTimer.start(1);
        return;
    }
    if (!comm.PortOpen()) {
        const QString reason =
            lastPortReason.isEmpty() ? QStringLiteral("the port closed") : lastPortReason;
        finish(Error::Port, reason, true);
        return;
    }
    if (interrupted) {
        finish(Error::Interrupted, {}, true);
        return;
    }
    // What is left: the start of our reply (short), or what was no reply.
    if (!rx.isEmpty() && protocol::judgeReply(request, job.replySize, bytesOf(rx),
                                              static_cast<std::size_t>(rx.size()))
                                 .verdict == protocol::ReplyVerdict::Incomplete) {
        out()->m_bytes = rx;
        ++stats.shortReplies;
        dropJunk(rx.size(), "short");
        finish(Error::Short, {}, true);
        return;
    }
    if (!rx.isEmpty()) {
        out()->m_bytes = rx;
        dropJunk(rx.size());
        sawForeign = true;
    }
    if (sawForeign) {
        if (!countedForeign) {
            ++stats.foreign;
        }
        finish(Error::Foreign,
               QStringLiteral("bytes that are no reply from address %1").arg(request[0]));
        return;
    }
    ++stats.timeouts;
    if (lcLine().isDebugEnabled()) {
        const QString line = QStringLiteral("%1 ms    timeout of %2")
                                 .arg(static_cast<double>(now()) / kNsPerMs, 10, 'f', 1)
                                 .arg(request[0]);
        qCDebug(lcLine, "%s", qUtf8Printable(line));
    }
    finish(Error::Timeout, {}, true);
}

void Client::Private::onDue()
{
    // The reply is later than usual, or shorter than expected: from now on every
    // byte that comes is looked at.
    pastDue = true;
    setThreshold(1);
    pull();
    if (state == State::Waiting) {
        examine();
    }
}

void Client::Private::onGrace()
{
    if (state != State::Waiting) {
        return;
    }
    pastDue = true;
    setThreshold(1);
    pull();
    examine();
    if (state != State::Waiting) {
        return;
    }
    if (!deadlineDeferred && comm.PortOpen() && comm.InBufferCount() > 0) {
        deadlineDeferred = true; // as at the deadline: judge what the device held back
        graceTimer.start(1);
        return;
    }
    finish(Error::Interrupted, {}, true);
}

void Client::Private::onPortLost(const QString &reason)
{
    lastPortReason = reason;
    if (state != State::Idle) {
        finish(Error::Port, reason);
    }
    emit q->portFailed(reason);
}

Client::Client(serial::CommControl &comm, QObject *parent)
    : QObject(parent), d(std::make_unique<Private>(this, comm))
{
}

Client::~Client() = default;

void Client::setTimeout(milliseconds timeout)
{
    d->timeout = timeout;
}

milliseconds Client::timeout() const
{
    return d->timeout;
}

void Client::setEcho(bool echo)
{
    d->echo = echo;
}

bool Client::echo() const
{
    return d->echo;
}

void Client::setStartQuiet(std::optional<milliseconds> quiet)
{
    d->startQuiet = quiet;
}

void Client::start()
{
    try {
        d->comm.setInBufferCount(0);
    } catch (const serial::CommError &) {
        // A closed port: the first request says so.
    }
    d->rx.clear();
    d->rxAtNs.clear();
    const qint64 at = d->now();
    const qint64 quietNs =
        std::chrono::duration_cast<std::chrono::nanoseconds>(d->quietOnStart()).count();
    d->draining = quietNs > 0;
    d->drainUntilNs = at + quietNs;
    d->drainLimitNs = at + kDrainLimitQuietTimes * quietNs;
    d->setThreshold(1);
}

Reply *Client::readStatus(std::uint8_t address, std::optional<milliseconds> firstByteTimeout)
{
    Private::Job job;
    job.kind = Private::Kind::Read;
    job.replySize = protocol::kStatusReplySize;
    job.firstByte = firstByteTimeout;
    return d->enqueue(protocol::buildReadStatusRequest(address), std::move(job));
}

Reply *Client::write(const protocol::Frame &request)
{
    Private::Job job;
    job.kind = Private::Kind::Write;
    job.replySize = request.size();
    return d->enqueue(request, std::move(job));
}

Reply *Client::linger(milliseconds ms)
{
    Private::Job job;
    job.kind = Private::Kind::Linger;
    job.linger = ms;
    return d->enqueue({}, std::move(job));
}

std::vector<LateFrame> Client::takeLateFrames()
{
    if (d->state != Private::State::Waiting) {
        d->pull();
        d->dropStale(false);
    }
    std::vector<LateFrame> frames;
    frames.swap(d->late);
    return frames;
}

void Client::interrupt()
{
    d->interrupted = true;
    for (Private::Job &job : d->queue) {
        job.refused = true;
    }
    d->schedule();
    switch (d->state) {
    case Private::State::Silence:
    case Private::State::Lingering:
        d->finish(Error::Interrupted);
        break;
    case Private::State::Waiting:
        // The reply in flight may still come for a short while, so that the
        // reading in progress is taken and no late reply is left on the line for
        // the writes that switch outputs off.
        if (!d->graceTimer.isActive()) {
            d->graceTimer.start(kStopGrace);
        }
        break;
    case Private::State::Idle:
        break;
    }
}

bool Client::interrupted() const
{
    return d->interrupted;
}

void Client::resume()
{
    d->interrupted = false;
}

bool Client::idle() const
{
    return d->state == Private::State::Idle && d->queue.empty();
}

const LinkStats &Client::stats() const
{
    d->stats.roundTrips = d->roundTrips.count();
    d->stats.medianMs = d->roundTrips.quantile(0.5);
    d->stats.p99Ms = d->roundTrips.quantile(0.99);
    d->stats.maxMs = d->roundTrips.max();
    return d->stats;
}

} // namespace supply
