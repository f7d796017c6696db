#pragma once

#include "protocol/frames.h"
#include "protocol/reply.h"
#include "serial/commcontrol.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <vector>

class QEventLoop;

namespace ctl {

using std::chrono::milliseconds;

// 9600 baud, 8N1: ten bits a character.
constexpr double kCharMs = 10.0 * 1000.0 / 9600.0;
// A status read on the wire: the 8-byte request and the 17-byte reply (26.0 ms),
// before the supply's own latency.
constexpr double kStatusFloorMs = (8 + 17) * kCharMs;
// The silence every frame keeps after the last one on the line: 3.5 characters.
constexpr double kSilenceMs = 3.5 * kCharMs;

// How one request fared.
enum class Outcome {
    Ok,          // the reply has the expected address, function, length and CRC
    Exception,   // an exception reply with a good CRC; Reply::exceptionCode holds its code
    Timeout,     // nothing came back (frames of other addresses are no answer)
    BadCrc,      // a reply of the right shape whose CRC does not match
    Foreign,     // bytes that are not a reply to this request (another address or function)
    Short,       // the start of a reply, cut off when the wait ended
    Interrupted, // a stop was asked for; nothing more is sent
    PortFailed,  // the port went away or refused the write; Reply::error says why
};

// The word a log row uses for a failed outcome: timeout, crc, foreign, short,
// "exception N"; empty for Ok.
QString outcomeWord(Outcome outcome, int exceptionCode);

struct Reply {
    Outcome outcome = Outcome::Timeout;
    QByteArray bytes; // what arrived, as it arrived
    int exceptionCode = 0;
    double roundTripMs = 0; // request handed over to the last byte of the reply
    QString error;          // PortFailed: the port's description; Foreign: what was wrong
    bool ok() const { return outcome == Outcome::Ok; }
    const std::uint8_t *data() const
    {
        return reinterpret_cast<const std::uint8_t *>(bytes.data());
    }
    std::size_t size() const { return static_cast<std::size_t>(bytes.size()); }
};

// Counts over every request this link made.
struct LinkStats {
    long requests = 0;
    long replies = 0; // good replies and exception replies
    long timeouts = 0;
    long badCrc = 0;
    long foreign = 0; // bytes or frames that were no reply to the request they met
    long shortReplies = 0;
    long echoes = 0;                  // requests the adapter gave back
    std::vector<double> roundTripsMs; // of the good and exception replies
};

// A frame with a good CRC from an address that was asked earlier and whose wait
// had ended: a reply that came too late.
struct LateFrame {
    std::uint8_t address = 0;
    double afterMs = 0; // its last byte, after its request was handed over
    QByteArray bytes;
};

// Synchronous request and reply over a serial control: writes a frame, then waits
// in a local event loop until the reply is complete, its time is up or a stop is
// asked for. It never blocks in a read, so a stop ends a wait at once.
//
// It keeps the line's rules: a request leaves only after 3.5 character times of
// silence after the last byte sent or received; a whole frame from another
// address does not end the wait (it is counted as foreign, and as late when that
// address was asked before); and an address that timed out is asked again only
// once the line has been quiet for half a reply timeout since, or its late frame
// has come and gone, so a late reply is not taken for the next one.
// The judging of the bytes is protocol::judgeReply's; this class only waits.
class Link : public QObject {
    Q_OBJECT
public:
    explicit Link(serial::CommControl &comm, QObject *parent = nullptr);

    void setReplyTimeout(milliseconds timeout) { m_timeout = timeout; }
    milliseconds replyTimeout() const { return m_timeout; }

    // The adapter gives back every request before the reply (two-wire RS-485
    // with its receiver on): the copy is dropped, and a write is confirmed only
    // by a second copy, the supply's. Without it the echo of a read request is
    // still recognised (a supply never sends one) and turns this on.
    void setEcho(bool echo) { m_echo = echo; }
    bool echo() const { return m_echo; }

    // Frames that came after their wait had ended, since the last call.
    std::vector<LateFrame> takeLateFrames();
    // Waits `ms` for late frames, or less once a stop is asked for.
    bool linger(milliseconds ms) { return sleep(ms); }

    // Sends `request` and waits for a reply of `replySize` bytes from the same
    // address with the same function (or a 5-byte exception reply). With
    // `firstByteTimeout`, a reply whose first byte has not come by then counts as
    // a timeout; once it has begun, the whole reply timeout applies.
    Reply transact(const protocol::Frame &request, std::size_t replySize,
                   std::optional<milliseconds> firstByteTimeout = std::nullopt);

    // Sends a read of the status block to `address`.
    Reply readStatus(std::uint8_t address,
                     std::optional<milliseconds> firstByteTimeout = std::nullopt);

    // Writes one register and checks its echo: a good reply that is not the
    // request byte for byte counts as Foreign, with Reply::error saying so.
    Reply write(const protocol::Frame &request);

    // Waits `ms` unless a stop is asked for first; false when stopped.
    bool sleep(milliseconds ms);

    // Ends the current wait and refuses every later request, until resume().
    void interrupt();
    bool interrupted() const { return m_interrupted; }
    // Takes requests again after a stop (to switch outputs off on the way out).
    void resume() { m_interrupted = false; }

    const LinkStats &stats() const { return m_stats; }

private:
    enum class Shape { Incomplete, Complete, NotOurs };
    // Reads what came into m_received and notes when the line was last busy.
    void takeInput();
    // Drops whole frames from the front of m_received that are no reply to
    // `request` (its echo, other addresses' frames); judges what is left.
    Shape judge(const protocol::Frame &request, std::size_t replySize);
    // Drops a whole foreign frame from the front of m_received; false if none.
    bool dropForeignFrame();
    // Drops what waits in m_received between requests, noting late frames; with
    // `all`, bytes that are no whole frame go too.
    void dropStale(bool all);
    // Waits until the line has been silent long enough for `request`; false when
    // stopped or the port failed.
    bool waitForSilence(std::uint8_t address);
    Reply finish(Shape shape, double elapsedMs);
    qint64 nowNs() const { return m_clock.nsecsElapsed(); }

    serial::CommControl &m_comm;
    milliseconds m_timeout{500};
    bool m_echo = false;
    bool m_interrupted = false;
    QEventLoop *m_loop = nullptr; // the wait in progress, if any
    // While a request waits for its reply: the timer that gives the reply in flight
    // its last chance once a stop is asked for.
    QTimer *m_stopGrace = nullptr;
    QByteArray m_received;
    LinkStats m_stats;
    QElapsedTimer m_clock;
    qint64 m_lineBusyUntilNs = 0;                // end of the last byte sent or received
    std::map<std::uint8_t, qint64> m_askedAtNs;  // last request to each address
    std::map<std::uint8_t, qint64> m_unanswered; // timed out: quiet needed until then
    std::vector<LateFrame> m_late;
    bool m_echoPending = false;           // the echo of the request in progress is still due
    protocol::ReplyJudgement m_judgement; // of the reply in progress
};

} // namespace ctl
