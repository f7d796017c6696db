#pragma once

#include "protocol/frames.h"
#include "protocol/reading.h"
#include "supply/client.h"
#include "supply/energy.h"
#include "supply/row.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>

// The operations every program does on a supply, each asynchronous over a
// supply::Client: they call back once, always later than the call.
namespace supply {

// The clock and counters behind a program's rows: seconds since its start and the
// charge and energy of each address.
class RowMaker {
public:
    using Clock = std::chrono::steady_clock;

    RowMaker(); // the clock starts now

    // Seconds since the origin at `at`, which has just passed (a request's send time).
    double elapsedAt(Clock::time_point at) const;
    double elapsedNow() const;

    // The row of a reading of `address` whose request went out at `sentAt` (wall
    // clock, for the row) and `sentTime` (monotonic, for elapsed time and energy):
    // a good reading counts its energy; every row carries the counters so far. The
    // first row's request is the origin of every row's elapsed time (0 on the
    // first row).
    Row make(int address, const QDateTime &sentAt, Clock::time_point sentTime,
             const std::optional<protocol::StatusReading> &reading, const Failure &failure);
    // The same for a window's poll, which knows only its wall-clock time.
    Row make(int address, const QDateTime &sentAt,
             const std::optional<protocol::StatusReading> &reading, const Failure &failure);

    double ampHours(int address) const;
    double wattHours(int address) const;

private:
    Clock::time_point m_start = Clock::now();
    std::optional<Clock::time_point> m_origin;
    std::map<int, EnergyCounter> m_energy;
};

// A reading taken: its row, and how the request fared.
struct Reading {
    Row row;
    // Interrupted: nothing was read and the row is no row to keep.
    Error error = Error::None;
    int exceptionCode = 0;
    QString detail;   // Port: the port's reason; Foreign: what was wrong
    QByteArray bytes; // the reply as it came, for messages
    // When its request went out, on the monotonic clock (row.time is the wall clock).
    std::chrono::steady_clock::time_point sentTime;
    bool good() const { return row.reading.has_value(); }
};

// Reads the status of `address`, decodes it, counts its energy and makes its row
// (time: when the request went out). A reply whose words no supply reports is
// `foreign`.
void takeReading(Client &client, RowMaker &rows, std::uint8_t address,
                 std::function<void(const Reading &)> done);

// What a confirmed write did.
struct WriteResult {
    bool confirmed = false;
    // The last attempt's failure: the write's or its read-back's, or none when a
    // good read-back showed something else.
    Failure failure;
    // Why it was not confirmed, for messages: "timeout", "exception 2",
    // "the read-back differs", "no read-back (timeout)".
    QString problem;
    std::optional<protocol::StatusReading> readBack; // the last good read-back
};

// What a read-back must show for a write to count.
using Confirms = std::function<bool(const protocol::StatusReading &)>;

struct WriteCallbacks {
    // Every read-back, as a reading with its row (may be empty).
    std::function<void(const Reading &)> readBack;
    // The first attempt was not confirmed for `problem`; the second goes out now
    // (may be empty).
    std::function<void(const QString &problem)> retrying;
    std::function<void(const WriteResult &)> done;
};

// One confirmed write: sends `request` (a register write of protocol/), takes its
// echo, reads the status back and asks `confirms`; a failed attempt is made once
// more. A stop (Interrupted) or a lost port ends it at once.
void confirmedWrite(Client &client, RowMaker &rows, const protocol::Frame &request,
                    Confirms confirms, WriteCallbacks callbacks);

// The three things a program writes to a supply, with what confirms each.
enum class Target { Voltage, Current, Output };
protocol::Frame writeRequest(std::uint8_t address, Target target, std::uint16_t value);
Confirms confirmsWrite(Target target, std::uint16_t value);

// One confirmed switch-off of `address`, used by every cut-off and every way out:
// a confirmed write of output off. On the way out after a stop, resume() the
// client first.
void switchOff(Client &client, RowMaker &rows, std::uint8_t address, WriteCallbacks callbacks);

} // namespace supply
