#pragma once

#include "engine/engine.h"
#include "engine/jobqueue.h"
#include "engine/roundtrips.h"
#include "protocol/mbap.h"

#include <QObject>

#include <deque>
#include <functional>
#include <memory>

namespace engine {

class MbapPort;

// The Client's engine on a port that carries Modbus TCP frames (MbapPort): the
// same requests and replies as on a serial line, with the gateway at the far
// end keeping the line's rules. Each request goes out with its own transaction
// id, one at a time; only the answer with that id is its reply. An answer to a
// request whose wait had ended is a late frame; any other is dropped and counted
// as foreign. A reply keeps the RTU view of the answer (address, PDU and the CRC
// computed here), so it is decoded and a write confirmed as on a serial line.
//
// What the answers mean:
// - no answer within the timeout plus the port's extraWait() is Timeout;
// - the gateway's "target failed to respond" (0x0B) is Timeout as well, and its
//   "path unavailable" (0x0A) Timeout with a detail: the supply did not answer;
//   the reply keeps the gateway's code, so that a message can say who gave up;
// - any other exception is Exception with its code;
// - bytes that are no Modbus TCP (a protocol id other than 0, a length no PDU
//   has) leave the stream unframeable: the port is closed and the request in
//   flight ends with Port, so that a keeper connects afresh;
// - a connection refused or lost is Port with the system's reason.
class MbapEngine : public Engine {
public:
    MbapEngine(Client &client, MbapPort &port);

    void setTimeout(milliseconds timeout) override { m_timeout = timeout; }
    milliseconds timeout() const override { return m_timeout; }
    void start() override;
    Reply *submit(protocol::Frame request, Job job) override;
    std::vector<LateFrame> takeLateFrames() override;
    void interrupt(Client::Caller caller) override;
    std::vector<Job> release() override;
    void adopt(Job job) override;
    bool idle() const override { return m_state == State::Idle && m_jobs.empty(); }
    const LinkStats &stats() const override;
    const RoundTripSummary &roundTrips() const override { return m_roundTrips; }
    bool carriesMbap() const override { return true; }

private:
    enum class State { Idle, Waiting, Lingering };
    // A request whose wait ended: its answer may still come, late.
    struct Expired {
        std::uint16_t transaction = 0;
        std::uint8_t unit = 0;
        std::chrono::steady_clock::time_point sentTime;
    };

    Job &job() { return m_jobs.current(); }
    // How long the job in flight waits for its supply's reply, and as the owner
    // of a shared line is told it.
    milliseconds ownWait() const;
    protocol::mbap::ReplyWait replyWait() const;
    // Takes up the queue's next job: a linger, or a request that goes out now.
    void begin();
    void send();
    void finish(Error error, const QString &text = {}, bool direct = false);
    void onComm();
    // Takes up what the reader holds; stops after a reply, whose caller hears of
    // it last, and goes on from the event loop.
    void drain();
    // The owner's notice: the request in flight went on its line now.
    void onTheWire(const protocol::mbap::Adu &adu);
    void answered(const protocol::mbap::Adu &adu);
    // A ceiling the line's owner holds or released (kHoldCeiling, kReleaseCeiling).
    bool isCeilingNote(const protocol::mbap::Adu &adu) const;
    void judge(const protocol::mbap::Adu &adu);
    // A verdict named by an engine of ours at the far end; false for any other answer.
    bool judgeNamedVerdict(const protocol::mbap::Adu &adu);
    void onTimer();
    void onPortLost(const QString &reason);
    // Ends the job under way with the port's loss, counted when it was a request.
    void portEnded(const QString &reason, bool direct);
    void streamBroken(const QString &reason);
    void trace(const QString &text) const;
    Reply *out() { return m_jobs.out(); }

    Client *m_client;
    MbapPort &m_port;
    milliseconds m_timeout{500};
    bool m_drainQueued = false;
    State m_state = State::Idle;
    // The context of every connection and queued call that reaches this engine,
    // so that none outlives it when the client changes engines.
    QObject m_context;
    std::unique_ptr<EngineTimer> m_timer; // on the client's clock
    JobQueue m_jobs;
    std::chrono::steady_clock::time_point m_deadline;
    std::uint16_t m_transaction = 0; // the request in flight's, or the last one's
    protocol::mbap::StreamReader m_reader;
    std::deque<Expired> m_expired;
    // The wait the owner of a shared line was told last on this connection.
    std::optional<protocol::mbap::ReplyWait> m_toldWait;
    std::vector<LateFrame> m_late;
    QString m_lastPortReason;
    LinkStats m_stats;
    RoundTripSummary m_roundTrips;
    mutable LinkStats m_statsOut;
};

} // namespace engine
