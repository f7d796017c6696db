#pragma once

#include "protocol/frames.h"
#include "serial/commcontrol.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

class QEventLoop;

namespace ctl {

using std::chrono::milliseconds;

// 9600 baud, 8N1: ten bits a character.
constexpr double kCharMs = 10.0 * 1000.0 / 9600.0;
// A status read on an idle line: 8-byte request, 3.5 characters of silence, the
// 17-byte reply, 3.5 characters again (about 33.3 ms).
constexpr double kStatusFloorMs = (8 + 3.5 + 17 + 3.5) * kCharMs;

// How one request fared.
enum class Outcome {
    Ok,          // the reply has the expected address, function, length and CRC
    Exception,   // an exception reply with a good CRC; Reply::exceptionCode holds its code
    Timeout,     // nothing came back
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
    long foreign = 0;
    long shortReplies = 0;
    std::vector<double> roundTripsMs; // of the good and exception replies
};

// Synchronous request and reply over a serial control: writes a frame, then waits
// in a local event loop until the reply is complete, its time is up or a stop is
// asked for. It never blocks in a read, so a stop ends a wait at once.
class Link : public QObject {
    Q_OBJECT
public:
    explicit Link(serial::CommControl &comm, QObject *parent = nullptr);

    void setReplyTimeout(milliseconds timeout) { m_timeout = timeout; }
    milliseconds replyTimeout() const { return m_timeout; }

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
    Shape judge(const protocol::Frame &request, std::size_t replySize) const;
    Reply finish(const protocol::Frame &request, std::size_t replySize, Shape shape,
                 double elapsedMs);

    serial::CommControl &m_comm;
    milliseconds m_timeout{200};
    bool m_interrupted = false;
    QEventLoop *m_loop = nullptr; // the wait in progress, if any
    QByteArray m_received;
    LinkStats m_stats;
};

} // namespace ctl
