#pragma once

#include "engine/error.h"
#include "engine/roundtrips.h"
#include "protocol/frames.h"
#include "protocol/reply.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace engine {

using std::chrono::milliseconds;
using std::chrono::nanoseconds;

// 9600 baud, 8N1: ten bits a character.
constexpr double kCharMs = 10.0 * 1000.0 / 9600.0;
// A status read on the wire: the 8-byte request and the 17-byte reply (26.0 ms),
// before the supply's own latency.
constexpr double kStatusFloorMs = (8 + 17) * kCharMs;
// The silence every frame keeps after the last one on the line: 3.5 characters.
constexpr double kSilenceMs = 3.5 * kCharMs;
// How long a reply in flight may still come after a stop: a supply may start its
// reply 300 ms after the request.
constexpr milliseconds kStopGrace{300};

// Counts over every request the client made.
struct LinkStats {
    long requests = 0;
    long replies = 0; // good replies and exception replies
    long timeouts = 0;
    long badCrc = 0;
    long foreign = 0; // frames or bytes from other addresses, or no frame at all
    long late = 0;    // replies of our own addresses that came after their wait
    long shortReplies = 0;
    long echoes = 0;    // requests the adapter gave back
    long junkBytes = 0; // bytes skipped before a reply that were no frame
    // Requests that ended with no reply and none of the verdicts above: their
    // answer was lost when the line changed hands (each is asked again of the new
    // line, and counted again there), their caller stopped them, the port went,
    // or the line's owner refused a write for a ceiling. With these, every
    // request is counted once by how it ended; foreign also counts frames of
    // other addresses heard while a request went on to its own reply.
    long handedOver = 0;
    long interrupted = 0;
    long portLost = 0;
    long refused = 0;
    // Round trips of the good and exception replies, kept in a bounded summary
    // (a log of a month must not grow): count, median and p99 estimates.
    long roundTrips = 0;
    double medianMs = 0;
    double p99Ms = 0;
    double maxMs = 0;

    // Adds the counts of `other` (not its round trips): a link's account over
    // more than one engine.
    void addCounts(const LinkStats &other)
    {
        requests += other.requests;
        replies += other.replies;
        timeouts += other.timeouts;
        badCrc += other.badCrc;
        foreign += other.foreign;
        late += other.late;
        shortReplies += other.shortReplies;
        echoes += other.echoes;
        junkBytes += other.junkBytes;
        handedOver += other.handedOver;
        interrupted += other.interrupted;
        portLost += other.portLost;
        refused += other.refused;
    }
};

// The line's rules without I/O: bytes with their times go in, verdicts come out,
// and the tracker says when it next wants to be asked (its deadline) and how many
// bytes it waits for before it looks again (a receive threshold). Every time is
// the caller's monotonic clock, as a duration since any fixed origin, so that a
// test drives it with a fake one.
class LineTracker {
public:
    using Bytes = std::vector<std::uint8_t>;

    // How the request in flight ended, in the engine's words: None for the reply,
    // whole with a good CRC; Exception, Crc, Short and Timeout as they say;
    // Foreign for bytes that were no reply or a write echo that differs;
    // Interrupted for a stop with no reply within its grace; Port when the caller
    // ended the wait (the port went away).
    struct Result {
        Error error = Error::Timeout;
        Bytes bytes; // the reply's bytes (None, Exception, Crc), or what was left
        int exceptionCode = 0;
        double roundTripMs = 0; // from the request to the reply's last byte
        std::string detail;
    };

    // What a frame or a run of bytes on the line was, for the trace: a frame's
    // part on the line (an echo, a late or stale frame), not how a request fared.
    enum class Verdict {
        Reply,
        Exception,
        Crc,
        Echo,        // the adapter's copy of the request
        EchoLearned, // the same, and the first: the adapter echoes
        SupplyCopy,  // a write's second copy: the first was the adapter's
        Late,        // a frame of an address whose wait had ended
        Foreign,     // a whole frame of no request of ours
        Junk,        // bytes of no frame
        Stale,       // what waited on the line at start()
        Short,       // the start of a reply at the end of its wait
        Timeout,     // no bytes: the address that did not answer
    };
    struct Event {
        Verdict verdict = Verdict::Junk;
        nanoseconds at{0}; // the last byte's time
        Bytes bytes;
        std::uint8_t address = 0; // Late, Timeout
        double afterMs = 0;       // Late: after its request went out
        int exceptionCode = 0;    // Exception
    };

    struct Late {
        std::uint8_t address = 0;
        double afterMs = 0;
        Bytes bytes;
    };

    void setTimeout(milliseconds timeout) { m_timeout = timeout; }
    milliseconds timeout() const { return m_timeout; }
    void setEcho(bool echo) { m_echo = echo; }
    bool echo() const { return m_echo; }
    // Events are kept for takeEvents() only while this is on.
    void setTracing(bool on) { m_tracing = on; }

    // What waited is dropped, and what comes until the first request is stale.
    // The first request waits for a quiet line: kFirstLook (at most `quiet`) when
    // nothing is heard, `quiet` after the last byte heard once the line has shown
    // one (an earlier program's exchange is still on it), three times `quiet` at
    // most.
    //
    // At a handover (`Drain::Exchange`) the last master was a program of ours
    // that has gone: only a request heard last (a read request, or a write not
    // followed by its copy) keeps the line for `quiet`, as its reply may still
    // come. Any other bytes are the end of its last exchange (a reply, or the rest
    // of one whose start it read before it went), and a first look after the last
    // of them is enough.
    enum class Drain { Quiet, Exchange };
    // `answerBy`: a request was on the line when it changed hands, and its answer
    // may come until then; the drain waits for it (three quiet times at most)
    // unless the end of an exchange is heard first.
    void start(nanoseconds now, nanoseconds quiet, Drain drain = Drain::Quiet,
               std::optional<nanoseconds> answerBy = std::nullopt);
    // How long a line that shows no byte must stay so after start(): more than
    // 3.5 characters, and long enough to hear a supply that is answering.
    static constexpr nanoseconds kFirstLook = std::chrono::milliseconds(20);
    // The line was busy now, though no byte was seen (the port holds some back).
    void markBusy(nanoseconds now);
    // The earliest time a request to `address` may go out.
    nanoseconds sendableAt(std::uint8_t address) const;
    // The request went out at `now`; its reply has `replySize` bytes. With
    // `firstByte`, a reply that has not begun by then is a timeout.
    void sent(const protocol::Frame &request, std::size_t replySize,
              std::optional<nanoseconds> firstByte, nanoseconds now);
    void received(const std::uint8_t *data, std::size_t size, nanoseconds now);
    // The deadline has come (or the caller's timer fired early: then nothing happens).
    void handleExpiry(nanoseconds now);
    // A stop: the reply in flight may still come within kStopGrace.
    void interrupt(nanoseconds now);
    // Ends the wait without judging it (the port went away).
    void abandon(nanoseconds now);
    // Ends the wait without judging it: the line changes hands, and the request
    // is asked again of the new one.
    void handOver(nanoseconds now);

    bool waiting() const { return m_waiting; }
    // When handleExpiry() wants to be called; none while no request is out.
    std::optional<nanoseconds> nextExpiry() const;
    // The expiry at `now` ends the wait unless a reply comes first.
    bool expiryEnds(nanoseconds now) const;
    // Bytes to wait for before the next look; 0 leaves it to the caller.
    std::size_t wanted() const;
    // Until then the port need not be watched: the request is a read, whose reply
    // is told by its bytes alone, not by their times, and cannot be whole before
    // its time on the wire and the quickest turnaround the supplies have shown of
    // late, less two characters. None when the time is too short to matter.
    // nextExpiry() includes it; handleExpiry() at or after it ends it.
    std::optional<nanoseconds> unwatchedUntil() const { return m_unwatchedUntil; }

    std::optional<Result> takeResult();
    std::vector<Event> takeEvents();
    std::vector<Late> takeLate();
    LinkStats stats() const;
    const RoundTripSummary &roundTrips() const { return m_roundTrips; }

private:
    void examine();
    void markBegun();
    // The length of the last write's unconfirmed copy when the bytes at the head
    // are that copy, or its start, still within the write's timeout; otherwise 0.
    std::size_t lastWriteCopyAtHead() const;
    bool lookingAtEveryByte() const { return !m_dueAt || m_firstByteWait; }
    void complete(std::size_t length, protocol::ReplyVerdict verdict, int exceptionCode);
    void judgeWhatIsLeft(nanoseconds now);
    // The time a reply of `replySize` to the request in flight takes on the wire,
    // with the adapter's echo when it echoes.
    nanoseconds wireTime(std::size_t replySize) const;
    void noteTurnaround(nanoseconds turnaround);
    void finish(Error error, nanoseconds now, std::string detail = {});
    void dropStale(bool all);
    // A drain at a handover: the bytes heard end with a request whose reply may come.
    bool heardRequestLast() const;
    void dropFrame(std::size_t length);
    Bytes dropHead(std::size_t length, nanoseconds *lastAt = nullptr);
    void dropJunk(std::size_t length, Verdict verdict = Verdict::Junk);
    void note(Verdict verdict, nanoseconds at, const Bytes &bytes);

    milliseconds m_timeout{500};
    bool m_echo = false;
    bool m_tracing = false;

    // The line, request or not.
    Bytes m_rx;
    std::vector<nanoseconds> m_rxAt; // for each byte, the latest it can have arrived
    nanoseconds m_lastChunk{0};
    nanoseconds m_busyUntil{0};              // end of the last byte sent or received
    std::optional<nanoseconds> m_drainUntil; // set from start() until a request goes
    nanoseconds m_drainLimit{0};
    nanoseconds m_drainQuiet{0};
    Drain m_drain = Drain::Quiet;
    Bytes m_heard; // the last bytes heard while draining at a handover
    std::map<std::uint8_t, nanoseconds> m_unanswered; // address: when its request went
    std::map<std::uint8_t, nanoseconds> m_quietUntil; // address timed out: not asked before
    std::vector<Late> m_late;
    LinkStats m_stats;
    RoundTripSummary m_roundTrips;
    nanoseconds m_usualRoundTrip{0};
    // The last replies' times beyond the wire (a ring), and how many it holds.
    std::array<nanoseconds, 8> m_turnarounds{};
    std::size_t m_turnaroundCount = 0;
    std::size_t m_turnaroundNext = 0;
    // A reply came sooner than the wire could carry it: a virtual port, whose
    // bytes' times say nothing of what was sent when.
    bool m_quickerThanWire = false;
    // A write taken as answered by a copy of itself while the echo was off; a
    // second copy within its timeout, during a later request too, was the
    // supply's answer, and shows the adapter echoes.
    Bytes m_unconfirmedEcho;
    nanoseconds m_unconfirmedEchoAt{0};
    // A write's copy taken for the adapter's echo by its time alone, while the
    // adapter is not known to echo: the echo if anything of the supply's follows
    // before the wait ends, otherwise the reply (a virtual port may answer late).
    Bytes m_timedCopy;
    nanoseconds m_timedCopyAt{0};
    std::vector<Event> m_events;
    std::optional<Result> m_result;

    // The request in flight.
    bool m_waiting = false;
    protocol::Frame m_request;
    std::size_t m_replySize = 0;
    nanoseconds m_sent{0};
    nanoseconds m_earliest{0}; // no byte of its reply can have ended before, on a UART
    nanoseconds m_deadline{0};
    std::optional<nanoseconds> m_dueAt; // the reply's usual time; none once past
    std::optional<nanoseconds> m_graceAt;
    std::optional<nanoseconds> m_unwatchedUntil;
    std::size_t m_want = 0;
    bool m_echoPending = false;   // the adapter's copy may still come
    bool m_firstByteWait = false; // bounded by the first byte until the reply begins
    bool m_strangers = false;     // bytes that were no reply came
    long m_foreignAtSend = 0;
};

} // namespace engine
