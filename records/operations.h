#pragma once

#include "engine/client.h"
#include "engine/session.h"
#include "protocol/frames.h"
#include "protocol/reading.h"
#include "records/energy.h"
#include "records/row.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

// The operations every program does on a supply, each asynchronous over a
// engine::Client: they call back once, always later than the call.
namespace records {

// The clock and counters behind a program's rows: seconds since its start and the
// charge and energy of each address. A row's time is the wall clock read once, at
// the start, plus the monotonic time since: a step of the wall clock (NTP, a
// change by hand) neither bends a record's times nor its elapsed seconds.
class RowMaker {
public:
    using Clock = std::chrono::steady_clock;

    RowMaker(); // the clock starts now
    // The clock starts at `start`, when the wall clock read `wallAtStart`.
    RowMaker(Clock::time_point start, const QDateTime &wallAtStart);

    // Seconds since the origin at `at`, which has just passed (a request's send time).
    double elapsedAt(Clock::time_point at) const;
    double elapsedNow() const;

    // The row of a reading of `address` whose request went out at `sentTime` (a
    // default time_point: it never went out, and counts from now): a good reading
    // counts its energy; every row carries the counters so far. The first row's
    // request is the origin of every row's elapsed time (0 on the first row).
    Row make(int address, Clock::time_point sentTime,
             const std::optional<protocol::StatusReading> &reading, const engine::Failure &failure);
    // The wall-clock time of `at` on this maker's clock.
    QDateTime wallTimeAt(Clock::time_point at) const;

    double ampHours(int address) const;
    double wattHours(int address) const;

private:
    Clock::time_point m_start;
    QDateTime m_wallAtStart;
    std::optional<Clock::time_point> m_origin;
    std::map<int, EnergyCounter> m_energy;
};

// A reading taken: its row, and how the request fared.
struct Reading {
    Row row;
    // How it fared (also in row.failure). Interrupted: nothing was read and the
    // row is no row to keep.
    engine::Failure failure;
    QByteArray bytes; // the reply as it came, for messages
    // Undecoded: a whole, well-formed reply held words no supply reports.
    bool undecoded = false;
    // When its request went out, on the monotonic clock (row.time is the wall clock).
    std::chrono::steady_clock::time_point sentTime;
    bool good() const { return row.reading.has_value(); }
};

// Reads the status of `address`, decodes it, counts its energy and makes its row
// (time: when the request went out). A reply whose words no supply reports is
// `undecoded`.
void takeReading(engine::Client &client, RowMaker &rows, std::uint8_t address,
                 std::function<void(const Reading &)> done);

// What a confirmed write did.
struct WriteResult {
    bool confirmed = false;
    // The last attempt's failure: a write's or its read-back's, or NotConfirmed
    // when a good read-back showed something else.
    engine::Failure failure;
    // Why it was not confirmed, for messages: "timeout", "exception 2",
    // "the read-back differs", "no read-back (timeout)".
    QString problem;
    std::optional<protocol::StatusReading> readBack; // the last good read-back
    // Where the last attempt failed: the index of the request whose write failed,
    // none when the writes went through and the read-back failed or differed.
    std::optional<std::size_t> failedWrite;
    QByteArray bytes;       // what came back where it failed, for messages
    bool undecoded = false; // the read-back held words no supply reports
    bool sent = false;      // a write went out on the line (a stop may have come after it)
    // The failure is NotConfirmed: a good read-back showed another value.
    bool readBackDiffers() const { return failure.error == engine::Error::NotConfirmed; }
};

struct WriteCallbacks {
    // Every read-back, as a reading with its row (may be empty).
    std::function<void(const Reading &)> readBack;
    // The first attempt was not confirmed for `problem`; the second goes out now
    // (may be empty).
    std::function<void(const QString &problem)> retrying;
    std::function<void(const WriteResult &)> done;
};

// How one write request fared: its reply's failure, what came back, and whether
// it went out on the line at all.
struct Sent {
    engine::Failure failure;
    QByteArray bytes;
    bool wentOut = false;
};

// The way a confirmed write reaches a supply and learns what the supply holds.
class WritePath {
public:
    virtual ~WritePath() = default;
    // Sends one write request; `done` is called once with how it fared.
    virtual void send(const protocol::Frame &request, std::function<void(const Sent &)> done) = 0;
    // The next reading of `address` that may show the writes; `done` is called
    // once with it.
    virtual void read(std::uint8_t address, std::function<void(const Reading &)> done) = 0;
    // How many readings an attempt takes before it counts as not confirmed.
    virtual int readingsPerAttempt() const { return 1; }
};

// Writes through a client and reads the status back with a request of its own.
class ClientWritePath : public WritePath {
public:
    ClientWritePath(engine::Client &client, RowMaker &rows) : m_client(client), m_rows(&rows) {}
    // With rows of its own, for a program that keeps none.
    explicit ClientWritePath(engine::Client &client)
        : m_client(client), m_ownRows(std::make_unique<RowMaker>()), m_rows(m_ownRows.get())
    {
    }
    void send(const protocol::Frame &request, std::function<void(const Sent &)> done) override;
    void read(std::uint8_t address, std::function<void(const Reading &)> done) override;

private:
    engine::Client &m_client;
    std::unique_ptr<RowMaker> m_ownRows;
    RowMaker *m_rows;
};

// A write path as the line of a session: the session's confirmed writes and
// all-offs drive it, and its readings keep their rows for the caller.
class PathLine : public engine::SessionLine {
public:
    explicit PathLine(std::shared_ptr<WritePath> path) : m_path(std::move(path)) {}

    void readStatus(std::uint8_t address, Done done) override;
    void write(const protocol::Frame &request, Done done) override;

    int readingsPerAttempt() const { return m_path->readingsPerAttempt(); }

    // The reading the session heard last, with its row.
    const Reading &last() const { return *m_last; }

private:
    std::shared_ptr<WritePath> m_path;
    // Shared with the path's callbacks, which may come after this is gone.
    std::shared_ptr<Reading> m_last = std::make_shared<Reading>();
};

// A confirmed write's outcome as the session tells it, in the terms above.
WriteResult writeResultOf(const engine::WriteOutcome &outcome);

// A confirmed write under way.
class WriteHandle {
public:
    virtual ~WriteHandle() = default;
    // Ends it where it is: nothing more is sent and `done` is never called.
    virtual void cancel() = 0;
};

// How many attempts a confirmed write makes unless told otherwise.
constexpr int kWriteAttempts = 2;

// The one confirmed write of every program, the session's (engine/session.h)
// over `path`: sends `requests` (register writes of
// protocol/, all to one address) one after the other, each taking its reply,
// then takes the path's readings of that address until one shows `confirms` or
// the path's readings per attempt have passed. An attempt that fails is made
// again, all its requests, up to `attempts` in all. A stop (Interrupted) or a
// lost port ends it at once. `done` is called once, never from inside this call
// unless the path answers at once.
std::shared_ptr<WriteHandle> confirmedWrite(std::shared_ptr<WritePath> path,
                                            std::vector<protocol::Frame> requests,
                                            engine::Confirms confirms, WriteCallbacks callbacks,
                                            int attempts = kWriteAttempts);

// One confirmed write of one request through a client, read back by a request
// of its own.
void confirmedWrite(engine::Client &client, RowMaker &rows, const protocol::Frame &request,
                    engine::Confirms confirms, WriteCallbacks callbacks);

// The three things a program writes to a supply, with what confirms each.
enum class Target { Voltage, Current, Output };
protocol::Frame writeRequest(std::uint8_t address, Target target, std::uint16_t value);
engine::Confirms confirmsWrite(Target target, std::uint16_t value);

// One confirmed switch-off of `address`, used by every cut-off and every way out:
// a confirmed write of output off. On the way out after a stop, resume() the
// client first.
void switchOff(engine::Client &client, RowMaker &rows, std::uint8_t address,
               WriteCallbacks callbacks);

} // namespace records
