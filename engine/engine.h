#pragma once

#include "engine/client.h"

#include <QPointer>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace serial {
class CommControl;
}

namespace engine {

// A write of the slave address register.
bool isAddressWrite(const protocol::Frame &request);

// Whether a write that was on its way when the line changed hands took: the
// status read back before it is sent again says so.
struct WriteCheck {
    std::optional<bool> took; // unknown until the read-back ends, or when it failed
};

// One request on its way through an engine, with the reply its caller holds. A
// job taken out of one engine when the line changes hands goes on in the next
// as it is.
struct Job {
    enum class Kind { Read, Write, Registers, Linger };
    Kind kind = Kind::Read;
    QPointer<Reply> reply;
    // A request made with a callback: its reply is the engine's, handed to `done`
    // when finished and deleted after.
    std::unique_ptr<Reply> owned;
    Client::Done done;
    Client::Caller caller = Client::kSelf;
    std::size_t replySize = 0; // the RTU reply's whole length
    std::optional<milliseconds> firstByte;
    // Its own reply timeout, in place of the engine's (a joined program's).
    std::optional<milliseconds> timeout;
    milliseconds linger{0};
    bool refused = false;  // its caller stopped before it went out
    bool inFlight = false; // taken out while on the line: its answer is lost
    // Went on the line's wire at this time (the owner said so), and its answer
    // may still come there after the line changes hands; kept when it is asked
    // again, until the owner says it is on the wire again.
    std::optional<EngineClock::time_point> onWireSince;
    // A write that may have taken: sent again only when the read-back says it did not.
    std::shared_ptr<WriteCheck> check;
    // Called as it ends, its verdict and bytes set, before its caller hears.
    std::function<void(const Reply &)> onEnd;

    // The reply it fills: its caller's, or its own for a callback; null when its
    // caller has let it go.
    Reply *target() const { return owned ? owned.get() : reply.data(); }
};

// What drives requests over one kind of port: a serial line that this program
// judges itself (RtuEngine), or a stream of Modbus TCP frames whose far end keeps
// the line's rules (MbapEngine). Client holds one, made by makeEngine(), and
// hands it every request as a Job; each engine queues them in a JobQueue.
class Engine {
public:
    virtual ~Engine() = default;

    virtual void setTimeout(milliseconds timeout) = 0;
    virtual milliseconds timeout() const = 0;
    // Only a serial line has an adapter's echo and a quiet start.
    virtual void setEcho(bool) {}
    virtual bool echo() const { return false; }
    virtual void setStartQuiet(std::optional<milliseconds>) {}
    virtual void start() = 0;
    // The same when the line has just changed hands: a serial line is drained
    // only until the gone owner's last exchange has ended, and at least until
    // `answerBy` when a request of ours was on its wire then.
    virtual void startAfterHandover(std::optional<EngineClock::time_point> answerBy)
    {
        static_cast<void>(answerBy);
        start();
    }

    // Queues the request; the reply is the caller's (parented to the client) or,
    // with `job.done`, the engine's own.
    virtual Reply *submit(protocol::Frame request, Job job) = 0;
    virtual std::vector<LateFrame> takeLateFrames() = 0;
    // The caller's queued requests are refused, and its request in flight gets
    // its grace.
    virtual void interrupt(Client::Caller caller) = 0;
    // Takes out the request in flight (its answer will never come) and every
    // queued one, in order, for the next engine.
    virtual std::vector<Job> release() = 0;
    // Queues a request taken from another engine.
    virtual void adopt(Job job) = 0;
    virtual bool idle() const = 0;
    virtual const LinkStats &stats() const = 0;
    virtual const RoundTripSummary &roundTrips() const = 0;
    // Whether its frames are Modbus TCP's.
    virtual bool carriesMbap() const = 0;
};

// The engine that the port's framing calls for now.
std::unique_ptr<Engine> makeEngine(Client &client, serial::CommControl &comm);

} // namespace engine
