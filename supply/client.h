#pragma once

#include "protocol/frames.h"
#include "protocol/reading.h"
#include "serial/commcontrol.h"
#include "supply/failure.h"

#include <QByteArray>
#include <QDateTime>
#include <QLoggingCategory>
#include <QObject>
#include <QString>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <vector>

// Every frame on the line, with its time, direction, bytes and verdict, at debug
// level: QT_LOGGING_RULES="vantel.line.debug=true", or vantelctl's --verbose.
Q_DECLARE_LOGGING_CATEGORY(lcLine)

namespace supply {

// Turns the vantel.line category on and writes its lines, and only its, to `out`
// as they are, one a line ("   123.4 ms -> 01 03 10 00 00 06 C1 08  request");
// every other message goes where it went before.
void enableLineTrace(std::FILE *out = stderr);

using std::chrono::milliseconds;

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

// How a request fared: one vocabulary for every row, key, message and count.
enum class Error {
    None,
    Timeout,     // nothing came back (frames of other addresses are no answer)
    Crc,         // a reply of the right shape whose CRC does not match
    Foreign,     // bytes that are no reply to this request, or a write echo that differs
    Short,       // the start of a reply, cut off when the wait ended
    Exception,   // an exception reply with a good CRC; exceptionCode() holds its code
    Port,        // the port went away or refused the write; the reason is kept apart
    Interrupted, // a stop was asked for; nothing more was sent
};

// "timeout", "crc", "foreign", "short", "exception N", "port", "interrupted";
// empty for None.
QString errorWord(Error error, int exceptionCode = 0);

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
    // Round trips of the good and exception replies, kept in a bounded summary
    // (a log of a month must not grow): count, median and p99 estimates.
    long roundTrips = 0;
    double medianMs = 0;
    double p99Ms = 0;
    double maxMs = 0;
};

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
    Error error() const { return m_error; }
    int exceptionCode() const { return m_exceptionCode; }
    // errorWord(error(), exceptionCode()).
    QString errorWord() const;
    // What more there is to say: the port's reason (Port), what differed (Foreign).
    const QString &errorText() const { return m_errorText; }

    std::uint8_t address() const { return m_request.empty() ? 0 : m_request[0]; }
    const protocol::Frame &request() const { return m_request; }
    // The reply's bytes as they came (the echo and skipped frames left out).
    const QByteArray &bytes() const { return m_bytes; }
    // A good status reply, decoded; nullopt for writes and failures.
    const std::optional<protocol::StatusReading> &reading() const { return m_reading; }
    // When the request went out (wall clock, in UTC, for rows) and how long the reply took.
    const QDateTime &sentAt() const { return m_sentAt; }
    double roundTripMs() const { return m_roundTripMs; }

signals:
    void finished();

private:
    friend class Client;
    explicit Reply(protocol::Frame request, QObject *parent = nullptr);

    protocol::Frame m_request;
    bool m_finished = false;
    Error m_error = Error::None;
    int m_exceptionCode = 0;
    QString m_errorText;
    QByteArray m_bytes;
    std::optional<protocol::StatusReading> m_reading;
    QDateTime m_sentAt;
    double m_roundTripMs = 0;
};

// An asynchronous Modbus RTU master for the supply over a serial control, in the
// manner of QModbusClient: requests queue and go out one at a time, each with
// the line's rules, and each hands back a Reply. It never waits in a nested event
// loop: timers and the control's receive signal drive a state machine.
//
// The line's rules it keeps:
// - 3.5 character times of silence after the last byte sent or received before
//   a request goes out;
// - on start(), the line must be quiet first and whatever waited is dropped, so
//   a reply to an earlier program's request is never taken for ours;
// - bytes that arrive before the request could have been answered (while it is
//   still going out, or within its own echo time) are the adapter's echo, never
//   the supply's reply;
// - junk before a reply is skipped and counted; a whole frame from another
//   address, or a fragment of one, never ends a wait: only our reply or the
//   timeout do;
// - a late frame of an address asked before is drained and named (late, not
//   foreign); an address that timed out is asked again only once the line has
//   been quiet for half a timeout, or its late frame has come and gone;
// - with echo set, the adapter's copy of every request is dropped; without it,
//   the copy of a read request is recognised by its bytes, and the copy of a
//   write by its time or, failing that, by the supply's second copy that follows
//   within the timeout; either turns echo on;
// - a reply of known length is waited for whole (the control's receive
//   threshold), with a timer at its usual time for a shorter one, so that a
//   reading costs one wake-up;
// - interrupt() gives a reply in flight up to kStopGrace more, then ends.
class Client : public QObject {
    Q_OBJECT
public:
    explicit Client(serial::CommControl &comm, QObject *parent = nullptr);
    ~Client() override;

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
    Reply *write(const protocol::Frame &request);

    // Listens `ms` for late frames, then finishes (scan's tail); Interrupted on a stop.
    Reply *linger(milliseconds ms);

    // Frames that came after their wait had ended, since the last call.
    std::vector<LateFrame> takeLateFrames();

    // Ends the request in flight (after its grace) and every queued one with
    // Interrupted, and refuses later ones the same way, until resume().
    void interrupt();
    bool interrupted() const;
    // Takes requests again after a stop (to switch outputs off on the way out).
    void resume();

    // No request is queued or in flight.
    bool idle() const;
    const LinkStats &stats() const;

signals:
    // The port went away or refused a write; `reason` is the port's own text.
    void portFailed(const QString &reason);

private:
    class Private;
    std::unique_ptr<Private> d;
};

} // namespace supply
