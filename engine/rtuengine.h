#pragma once

#include "engine/engine.h"
#include "engine/jobqueue.h"
#include "engine/linetracker.h"

#include <QObject>

#include <chrono>

namespace engine {

// The engine on a serial line (see Client for the line's rules it keeps): one
// timer on the client's clock and the control's receive signal around a
// LineTracker. Between requests
// the control wakes the engine at every byte, so that late frames are named as
// they come; while a reply is awaited it wakes the engine once as many bytes have
// come as the tracker waits for.
class RtuEngine : public Engine {
public:
    RtuEngine(Client &client, serial::CommControl &control);

    void setTimeout(milliseconds timeout) override;
    milliseconds timeout() const override;
    void setEcho(bool echo) override;
    bool echo() const override;
    void setStartQuiet(std::optional<milliseconds> quiet) override;
    void start() override;
    void startAfterHandover(std::optional<EngineClock::time_point> answerBy) override;
    Reply *submit(protocol::Frame request, Job job) override;
    std::vector<LateFrame> takeLateFrames() override;
    void interrupt(Client::Caller caller) override;
    std::vector<Job> release() override;
    void adopt(Job job) override;
    bool idle() const override;
    const LinkStats &stats() const override;
    const RoundTripSummary &roundTrips() const override;
    bool carriesMbap() const override { return false; }

private:
    // What the one timer waits for: the line's silence before a request, the
    // tracker's next deadline while a reply is awaited, or a linger's end.
    enum class State { Idle, Silence, Waiting, Lingering };

    Job &job() { return jobs.current(); }
    // Takes up the queue's next job: a linger, or a request that waits for silence.
    void begin();
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
    void startDrain(LineTracker::Drain drain, std::optional<nanoseconds> answerBy = {});
    void setThreshold(int bytes);
    void applyWanted();
    void watchInput(bool watched);
    void traceEvents();
    void trace(nanoseconds at, const QString &text) const;
    nanoseconds now() const { return q->clock().now() - epoch; }
    Reply *out() { return jobs.out(); }
    milliseconds quietOnStart() const { return startQuiet ? *startQuiet : ownTimeout; }

    Client *q;
    serial::CommControl &comm;
    LineTracker line;
    // The client's timeout; the tracker holds the one of the request on the line,
    // which may be a joined program's own.
    milliseconds ownTimeout{500};
    std::optional<milliseconds> startQuiet;
    State state = State::Idle;
    // The context of every connection and queued call that reaches this engine,
    // so that none outlives it when the client changes engines.
    QObject context;
    std::unique_ptr<EngineTimer> timer;
    JobQueue jobs;
    // At a deadline, bytes the port held back for the threshold are asked for
    // once before the wait ends.
    bool heldBackAsked = false;
    EngineClock::time_point epoch = q->clock().now();
    int threshold = 0;
    // Off while a read's reply cannot be whole yet (LineTracker::unwatchedUntil).
    bool inputWatched = true;
    QString lastPortReason;
    mutable LinkStats statsOut;
};

} // namespace engine
