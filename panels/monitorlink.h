#pragma once

#include "protocol/frames.h"
#include "protocol/reading.h"
#include "supply/operations.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QObject>
#include <QString>

#include <cstdint>
#include <deque>
#include <functional>
#include <optional>

namespace supply {
class Reply;
}

namespace panels {

// The outcome of one of the monitor's polls: the reading it brought, or why it
// brought none (timeout, crc, foreign, short, an exception).
struct Poll {
    QDateTime time;       // when the request went out, local time
    qint64 elapsedMs = 0; // the same on the link's monotonic clock
    std::uint8_t address = 0;
    std::optional<protocol::StatusReading> reading;
    supply::Failure failure;
};

// The monitor window's polls and writes as seen from the tools beside it. The
// engine under the window's serial control hands it every poll as it ended (its
// time, reading and failure as the engine judged them, a timeout when its wait
// ended); writes go out through the engine's write, each confirmed by the status
// replies of the polls that follow it.
class MonitorLink : public QObject {
    Q_OBJECT
public:
    // A write is confirmed when one of this many polls after it shows the value.
    static constexpr int kConfirmPolls = 3;

    explicit MonitorLink(QObject *parent = nullptr);

    // What the window provides.
    std::function<bool()> portOpen;       // the port is open (and not failed)
    std::function<bool()> monitorRunning; // the monitor polls
    std::function<std::optional<std::uint8_t>()> address;
    // Sends one write frame; `refused` is called, from the event loop, with the
    // port's reason when the frame could not go out.
    using Refused = std::function<void(const QString &reason)>;
    std::function<void(const protocol::Frame &, Refused refused)> send;

    // A request of the window ended in the engine: a status read becomes a Poll.
    void replied(const supply::Reply &reply);
    // One poll of the window, as it ended.
    void take(const Poll &poll);
    // The monitor stopped or the port is about to close: pending writes fail.
    void pollingEnded(const QString &why);

    using Confirms = std::function<bool(const protocol::StatusReading &)>;
    // `result.readBack` is left empty: lastReading() has it.
    using Done = std::function<void(const supply::WriteResult &result)>;
    using Retrying = std::function<void(const QString &problem)>;
    // Sends `frame`, then watches the next polls for `confirms`; after
    // kConfirmPolls without it the frame goes once more (`retrying` is told), and
    // then `done` says no. A port that refuses the frame ends it at once.
    // Returns the write's number for cancel().
    int write(const protocol::Frame &frame, Confirms confirms, Done done,
              Retrying retrying = nullptr);
    // Forgets a write that has not ended: it is not sent again and `done` is
    // never called.
    void cancel(int write);
    // Writes the output switch and confirms it.
    void switchOutput(bool on, Done done);
    bool writing() const { return !m_writes.empty(); }

    bool ready() const;
    // Why a run cannot start now, empty when it can.
    QString notReadyReason() const;
    qint64 elapsedMs() const { return m_clock.elapsed(); }
    std::optional<protocol::StatusReading> lastReading() const { return m_last; }

signals:
    // Every poll's outcome, in order: its reading or its error word.
    void polled(const panels::Poll &poll);
    void ended(const QString &why);

private:
    struct Write {
        int number;
        protocol::Frame frame;
        Confirms confirms;
        Done done;
        Retrying retrying;
        int attempt = 0;
        int pollsLeft = 0;
        supply::WriteResult result; // why it is not confirmed yet
    };
    void startWrite();
    // Hands the front write's frame to `send` for its attempt.
    void sendAttempt(Write &w);
    void refused(int number, int attempt, const QString &reason);
    void judgeWrite(const Poll &poll);
    void failWrites(const QString &why);

    QElapsedTimer m_clock;
    std::optional<protocol::StatusReading> m_last;
    std::deque<Write> m_writes;
    int m_lastNumber = 0;
};

} // namespace panels
