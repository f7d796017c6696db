#pragma once

#include "engine/ceilingregistry.h"
#include "engine/clock.h"
#include "engine/failure.h"
#include "engine/linetrace.h"
#include "engine/linetracker.h"
#include "engine/roundtrips.h"
#include "protocol/frames.h"
#include "protocol/reading.h"
#include "serial/commcontrol.h"

#include <QByteArray>
#include <QDateTime>
#include <QObject>
#include <QString>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace engine {

class CeilingLink;
class Engine;

// A frame with a good CRC from an address that was asked earlier and whose wait
// had ended: a reply that came too late.
struct LateFrame {
    std::uint8_t address = 0;
    double afterMs = 0; // its last byte, after its request went out
    QByteArray bytes;
};

// The answer to one request, handed out by Client. finished() is emitted once,
// always later than the call that made the request (never from inside it). The
// caller deletes it (deleteLater() in the slot connected to finished()); one still
// queued when the client goes is deleted with the client, its parent.
class Reply : public QObject {
    Q_OBJECT
public:
    bool isFinished() const { return m_finished; }
    // How it fared, as one value; the accessors below read its parts.
    const Failure &failure() const { return m_failure; }
    Error error() const { return m_failure.error; }
    // Exception: the supply's code.
    int exceptionCode() const { return m_failure.exceptionCode; }
    // Timeout over a Modbus TCP line: the gateway's 0x0A or 0x0B when it answered
    // for its target, 0 when nothing came.
    int gatewayCode() const { return m_failure.gatewayCode; }
    // errorWord(error(), exceptionCode()).
    QString errorWord() const { return m_failure.word(); }
    // What more there is to say: the port's reason (Port), what differed (Foreign).
    const QString &errorText() const { return m_failure.detail; }

    std::uint8_t address() const { return m_request.empty() ? 0 : m_request[0]; }
    const protocol::Frame &request() const { return m_request; }
    // The reply's bytes as they came (the echo and skipped frames left out).
    const QByteArray &bytes() const { return m_bytes; }
    // Every byte that came while the request waited for its reply, as it came:
    // junk and other frames before the reply, the adapter's copy, the reply and
    // what followed it in the same read.
    const QByteArray &received() const { return m_received; }
    // A good status reply, decoded; nullopt for writes and failures.
    const std::optional<protocol::StatusReading> &reading() const { return m_reading; }
    // When the request went out (wall clock, in UTC, for rows) and how long the reply took.
    const QDateTime &sentAt() const { return m_sentAt; }
    // When the request went out on the monotonic clock, for elapsed times.
    std::chrono::steady_clock::time_point sentTime() const { return m_sentTime; }
    double roundTripMs() const { return m_roundTripMs; }

signals:
    void finished();
    // The request went on the line (its turn came and the line was quiet): for
    // requests relayed for another caller (Client::addCaller) only, from the
    // event loop.
    void sent();

private:
    friend class Client;
    friend class JobQueue;
    friend class RtuEngine;
    friend class MbapEngine;
    // Marks it finished and emits finished(): now when `direct` (the last step of
    // an event handler), else from the event loop, so that the caller's slot
    // never meets a half-done step of the engine.
    void complete(bool direct);
    explicit Reply(protocol::Frame request, QObject *parent = nullptr);

    protocol::Frame m_request;
    bool m_finished = false;
    Failure m_failure;
    QByteArray m_bytes;
    QByteArray m_received;
    std::optional<protocol::StatusReading> m_reading;
    QDateTime m_sentAt;
    std::chrono::steady_clock::time_point m_sentTime;
    double m_roundTripMs = 0;
};

// A request's own wait for its reply, where it is not the client's: a request
// relayed for a program that joined this line waits that program's timeout.
struct RequestWait {
    std::optional<milliseconds> timeout;
    std::optional<milliseconds> firstByte; // a reply not begun by then is a timeout
};

// An asynchronous Modbus RTU master for the supply over a serial control, in the
// manner of QModbusClient: requests queue and go out one at a time, each with
// the line's rules, and each hands back a Reply. It never waits in a nested event
// loop: one timer and the control's receive signal drive it, and a LineTracker
// judges the line.
//
// The line's rules it keeps:
// - 3.5 character times of silence after the last byte sent or received before
//   a request goes out;
// - on start(), the line must be quiet first and whatever waited is dropped, so
//   a reply to an earlier program's request is never taken for ours;
// - a whole frame from the address asked, with the function asked and a good
//   CRC, that is not the request's own copy, is the reply however soon it comes
//   (a virtual port answers at once, whatever the baud);
// - junk before a reply is skipped and counted; a whole frame from another
//   address, or a fragment of one, never ends a wait: only our reply or the
//   timeout do;
// - a late frame of an address asked before is drained and named (late, not
//   foreign); an address that timed out is asked again only once the line has
//   been quiet for half a timeout, or its late frame has come and gone;
// - with echo set, the adapter's copy of every request is dropped; without it,
//   the copy of a read request is recognised by its bytes, and the copy of a
//   write by its time on a UART (it began before a reply could have) or, on a
//   port that answers sooner than a UART can (a virtual one), by a second copy
//   by the reply's usual time; a copy taken for the reply is shown to be the echo
//   by a second copy within the timeout; each turns echo on;
// - a reply of known length is waited for whole (the control's receive
//   threshold), with a timer at its usual time for a shorter one; a read's port
//   goes unwatched until shortly before its reply can be whole, so that its bytes
//   do not wake the program one by one; a reply still coming is judged when
//   whole, or when its wait ends, never before;
// - interrupt() gives a reply in flight up to kStopGrace more, then ends.
//
// A stop is its caller's: the program's own requests (kSelf) stop on
// interrupt(), while requests it relays for other programs (a gateway, a caller
// of its own from addCaller()) go on, and the other way round.
//
// The client hands each request to its Engine (engine.h), made for the port's
// framing: RtuEngine on a serial line keeps the rules above itself. Over a port
// that carries Modbus TCP frames (an MbapPort: a network gateway or the owner of
// a shared line) the same calls go through MbapEngine instead: the
// far end keeps the line's rules, and echo and the start's quiet do not apply.
// A port whose framing changes while it runs (a shared line handed from one
// program to another) switches the engine with it. A handover costs its callers
// nothing but time: a read that was on the line is asked again of the new line,
// a write that was is settled by reading the status back (sent again only when
// it did not take), and the queued requests go on in order.
class Client : public QObject {
    Q_OBJECT
public:
    // Who a request is for: the program itself, or one whose requests it relays.
    using Caller = int;
    static constexpr Caller kSelf = 0;

    explicit Client(serial::CommControl &comm, QObject *parent = nullptr);
    // The same on `clock`, which must outlive the client: a test's own clock.
    Client(serial::CommControl &comm, const EngineClock &clock, QObject *parent = nullptr);
    ~Client() override;

    // The clock its engines judge the line by (steadyClock() unless given).
    const EngineClock &clock() const { return *m_clock; }

    void setTimeout(milliseconds timeout);
    milliseconds timeout() const;
    void setEcho(bool echo);
    bool echo() const;
    // How long the line must have been quiet after start() before the first
    // request: by default the reply timeout, so that a reply to an earlier
    // program's request, which may come that late, is dropped, not taken.
    void setStartQuiet(std::optional<milliseconds> quiet);

    // Call once the port is open: the first request waits until the line has been
    // quiet and drops what waited.
    void start();

    // Reads the status block (0x1000..0x1005). With `firstByteTimeout`, a reply
    // whose first byte has not begun by then counts as a timeout (scan).
    Reply *readStatus(std::uint8_t address,
                      std::optional<milliseconds> firstByteTimeout = std::nullopt);
    // Writes one register (a request built by protocol/), confirmed by its echo
    // only: a good reply that is not the request byte for byte is Foreign.
    Reply *write(const protocol::Frame &request, Caller caller = kSelf, RequestWait wait = {});
    // Reads `count` (1..125) holding registers from `start`, with the same rules and
    // verdicts as a status read; the reply is kept as its bytes (no reading).
    Reply *readRegisters(std::uint8_t address, std::uint16_t start, std::uint16_t count,
                         Caller caller = kSelf, RequestWait wait = {});

    // The same two, for callers that take a reading or a write at a time: `done`
    // is called with the finished reply instead of finished(), under the same
    // rules (once, never from inside the call). The reply is the client's and is
    // deleted when `done` returns, so nothing is left for the event loop to delete.
    // Requests still queued when the client goes are dropped without a call.
    using Done = std::function<void(const Reply &)>;
    void readStatus(std::uint8_t address, Done done);
    void write(const protocol::Frame &request, Done done);

    // Listens `ms` for late frames, then finishes (scan's tail); Interrupted on a stop.
    Reply *linger(milliseconds ms);

    // Frames that came after their wait had ended, since the last call.
    std::vector<LateFrame> takeLateFrames();

    // A caller of its own, whose stop is apart from the program's (a gateway's).
    Caller addCaller();
    // Ends the caller's request in flight (after its grace) and every queued one
    // with Interrupted, and refuses its later ones the same way, until resume().
    // Other callers' requests go on. interrupt() is the program's own stop (a
    // slot for a signal of any arguments).
    void interrupt() { interruptCaller(kSelf); }
    void interruptCaller(Caller caller);
    bool interrupted(Caller caller = kSelf) const;
    // Takes the caller's requests again after a stop (to switch outputs off on
    // the way out).
    void resume(Caller caller = kSelf);
    // Times the line changed hands under the client (a shared line's handover).
    int handovers() const { return m_handovers; }

    // The ceilings held on this line, by this program's own holders and, while it
    // owns a shared line, by the programs that join it. A write above the tightest
    // is refused before it goes out: its reply finishes with Error::Refused and the
    // refusal as its text. While the program joins another's line, its own
    // ceilings are registered with the owner, which refuses for every program.
    CeilingRegistry &ceilings() { return m_ceilings; }
    const CeilingRegistry &ceilings() const { return m_ceilings; }
    // The refusal of a write by a ceiling held on the line; empty when it may go.
    // Asked when the write is queued and again when it goes out, so that a ceiling
    // held in between stops it too.
    QString refusalOf(const protocol::Frame &request) const;
    // The line's owner told of the tightest ceiling of a kind on `address`: the
    // hold or release PDU as sent (protocol::mbap). It is kept as the line's own
    // source, so that a joined program shows and refuses what the line holds,
    // and dropped when the line changes hands.
    void heardCeiling(std::uint8_t address, const std::vector<std::uint8_t> &pdu);

    // No request is queued or in flight.
    bool idle() const;
    const LinkStats &stats() const;

signals:
    // The port went away or refused a write; `reason` is the port's own text.
    void portFailed(const QString &reason);

private:
    void byReply(Reply *reply, Done done);
    Reply *refused(const protocol::Frame &request, const QString &why);
    // The port leads elsewhere now: the engine the new framing calls for takes
    // over with the same settings and what was in flight or queued (see above).
    void followLine();

    serial::CommControl &m_comm;
    const EngineClock *m_clock; // before m_engine: the engine reads it as it is made
    std::optional<milliseconds> m_startQuiet;
    LinkStats m_statsBefore; // the counts of the engines before this one
    RoundTripSummary m_roundTripsBefore;
    mutable LinkStats m_statsOut;
    std::vector<Caller> m_stopped;
    Caller m_lastCaller = kSelf;
    int m_handovers = 0;
    std::unique_ptr<Engine> m_engine; // RtuEngine on a serial line, MbapEngine on a stream
    CeilingRegistry m_ceilings;
    std::unique_ptr<CeilingLink> m_ceilingLink;
    int m_lineCeilings = 0; // the owner's say in m_ceilings while joined; 0 before it
};

} // namespace engine
