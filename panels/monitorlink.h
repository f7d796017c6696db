#pragma once

#include "protocol/frames.h"
#include "protocol/reading.h"
#include "records/operations.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QObject>
#include <QString>

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>

namespace engine {
class Reply;
} // namespace engine

namespace panels {

// The outcome of one of the monitor's polls: the reading it brought, or why it
// brought none (timeout, crc, foreign, short, an exception).
struct Poll {
    QDateTime time;       // when the request went out, local time, for display
    qint64 elapsedMs = 0; // the same on the link's monotonic clock
    // The same on the monotonic clock, the time its row counts from; a default
    // time_point when it never went out.
    std::chrono::steady_clock::time_point sentTime;
    std::uint8_t address = 0;
    std::optional<protocol::StatusReading> reading;
    engine::Failure failure;
};

// The monitor window's polls and writes as seen from the tools beside it. The
// engine under the window's serial control hands it every poll as it ended (its
// time, reading and failure as the engine judged them, a timeout when its wait
// ended); writes go out through the engine's write, each a confirmed write whose
// read-backs are the status replies of the polls that follow it.
class MonitorLink : public QObject {
    Q_OBJECT
public:
    // A write is confirmed when one of this many polls after it shows the value.
    static constexpr int kConfirmPolls = 3;

    explicit MonitorLink(QObject *parent = nullptr);
    // A write still under way is stopped: nothing waits on the polls of a gone window.
    ~MonitorLink() override;

    // What the window provides.
    std::function<bool()> portOpen;       // the port is open (and not failed)
    std::function<bool()> monitorRunning; // the monitor polls
    std::function<std::optional<std::uint8_t>()> address;
    // Sends one write frame; `sent` is called, from the event loop, with how it
    // fared (its reply's failure, a Port failure when the port refused it).
    using Sent = std::function<void(const records::Sent &sent)>;
    std::function<void(const protocol::Frame &, Sent sent)> send;

    // A request of the window ended in the engine: a status read becomes a Poll.
    void replied(const engine::Reply &reply);
    // One poll of the window, as it ended.
    void take(const Poll &poll);
    // The monitor stopped or the port closed (Interrupted) or the port was lost
    // (Port), what happened in the detail: pending writes fail with it.
    void pollingEnded(const engine::Failure &why);
    // Words for people of why the polls ended: "the port failed" for a lost port.
    static QString endedText(const engine::Failure &why);

    using Confirms = std::function<bool(const protocol::StatusReading &)>;
    // `result.readBack` is the last poll's reading it saw; lastReading() the newest.
    using Done = std::function<void(const records::WriteResult &result)>;
    using Retrying = std::function<void(const QString &problem)>;
    // Sends `frame`, then, once it has its reply, watches the next polls for
    // `confirms`; a write that failed or kConfirmPolls polls without it send the
    // frame once more (`retrying` is told), and then `done` says no. A port that
    // refuses the frame ends it at once. Writes go one at a time, in order.
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
    void ended(const engine::Failure &why);

private:
    class PollPath;
    struct Write {
        int number;
        protocol::Frame frame;
        Confirms confirms;
        Done done;
        Retrying retrying;
        bool started = false;
        std::shared_ptr<records::WriteHandle> handle;
    };
    void startWrite();
    void writeEnded(int number, const records::WriteResult &result);
    void failWrites(const engine::Failure &why);

    QElapsedTimer m_clock;
    std::optional<protocol::StatusReading> m_last;
    std::deque<Write> m_writes;
    int m_lastNumber = 0;
    std::shared_ptr<PollPath> m_path;
    // The write waiting for the next poll as its read-back.
    std::function<void(const records::Reading &)> m_pollWanted;
};

} // namespace panels
