#pragma once

#include "protocol/mbap.h"
#include "supply/client.h"
#include "supply/roundtrips.h"

#include <QPointer>
#include <QTimer>

#include <deque>
#include <functional>
#include <memory>

namespace supply {

class MbapPort;

// A write of the slave address register.
bool isAddressWrite(const protocol::Frame &request);

// Whether a write that was on its way when the line changed hands took: the
// status read back before it is sent again says so.
struct WriteCheck {
    std::optional<bool> took; // unknown until the read-back ends, or when it failed
};

// A request taken from one engine to go on in the next when the line changes
// hands (Client::followLine), with the reply its caller holds.
struct HeldRequest {
    enum class Kind { Read, Registers, Write, Linger };
    Kind kind = Kind::Read;
    QPointer<Reply> reply;
    Client::Caller caller = Client::kSelf;
    std::optional<milliseconds> firstByte;
    milliseconds linger{0};
    std::size_t replySize = 0; // what the serial line waits for
    bool inFlight = false;     // it was on the line, its answer lost
    // A write that may have taken: sent again only when the read-back says it did not.
    std::shared_ptr<WriteCheck> check;
    // Called as it ends, its verdict and bytes set, before its caller hears.
    std::function<void(const Reply &)> onEnd;
    bool refused = false; // its caller stopped before it went out
};

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
class MbapEngine {
public:
    MbapEngine(Client *client, MbapPort &port);

    void setTimeout(milliseconds timeout) { m_timeout = timeout; }
    milliseconds timeout() const { return m_timeout; }
    void start();
    Reply *readStatus(std::uint8_t address, std::optional<milliseconds> firstByteTimeout);
    Reply *write(const protocol::Frame &request, Client::Caller caller = Client::kSelf);
    Reply *readRegisters(std::uint8_t address, std::uint16_t start, std::uint16_t count,
                         Client::Caller caller = Client::kSelf);
    Reply *linger(milliseconds ms);
    std::vector<LateFrame> takeLateFrames();
    // The caller's queued requests are refused, and its request in flight gets
    // its grace.
    void interrupt(Client::Caller caller);
    // Takes out the request in flight (its answer will never come) and every
    // queued one, in order, for the next engine.
    std::vector<HeldRequest> release();
    // Queues a request taken from another engine.
    void adopt(HeldRequest held);
    bool idle() const { return m_state == State::Idle && m_queue.empty(); }
    const LinkStats &stats() const;
    const RoundTripSummary &roundTrips() const { return m_roundTrips; }

private:
    enum class Kind { Read, Registers, Write, Linger };
    enum class State { Idle, Waiting, Lingering };
    struct Job {
        QPointer<Reply> reply;
        Kind kind = Kind::Read;
        Client::Caller caller = Client::kSelf;
        std::optional<milliseconds> firstByte;
        milliseconds linger{0};
        std::size_t replySize = 0; // Registers: the RTU reply's whole length
        bool refused = false;      // its caller stopped before it went out
        std::shared_ptr<WriteCheck> check;
        std::function<void(const Reply &)> onEnd;
    };
    // A request whose wait ended: its answer may still come, late.
    struct Expired {
        std::uint16_t transaction = 0;
        std::uint8_t unit = 0;
        std::chrono::steady_clock::time_point sentTime;
    };

    Reply *enqueue(protocol::Frame request, Job job);
    void schedule();
    void processQueue();
    void send();
    void finish(Error error, const QString &text = {}, bool direct = false);
    void onComm();
    // Takes up what the reader holds; stops after a reply, whose caller hears of
    // it last, and goes on from the event loop.
    void drain();
    // The owner's notice: the request in flight went on its line now.
    void onTheWire(const protocol::mbap::Adu &adu);
    void answered(const protocol::mbap::Adu &adu);
    void judge(const protocol::mbap::Adu &adu);
    // A verdict named by an engine of ours at the far end; false for any other answer.
    bool judgeNamedVerdict(const protocol::mbap::Adu &adu);
    void onTimer();
    void onPortLost(const QString &reason);
    void streamBroken(const QString &reason);
    void trace(const QString &text) const;
    Reply *out() { return m_job.reply ? m_job.reply.data() : &m_scratch; }

    Client *m_client;
    MbapPort &m_port;
    milliseconds m_timeout{500};
    bool m_scheduled = false;
    bool m_drainQueued = false;
    State m_state = State::Idle;
    std::deque<Job> m_queue;
    Job m_job;
    QTimer m_timer;
    std::chrono::steady_clock::time_point m_deadline;
    std::uint16_t m_transaction = 0; // the request in flight's, or the last one's
    protocol::mbap::StreamReader m_reader;
    std::deque<Expired> m_expired;
    std::vector<LateFrame> m_late;
    QString m_lastPortReason;
    Reply m_scratch{protocol::Frame{}};
    LinkStats m_stats;
    RoundTripSummary m_roundTrips;
    mutable LinkStats m_statsOut;
};

} // namespace supply
