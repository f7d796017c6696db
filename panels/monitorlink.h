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

// The monitor window's poll and write path as seen from the tools beside it. The
// window tells it when a request went out and how its reply was judged; it turns
// that into one Poll per request, and sends writes through the window's own write
// path, each confirmed by the status replies that follow it.
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
    // Sends one write frame as the window's set and output buttons do; returns the
    // error's text, empty when the frame went out.
    std::function<QString(const protocol::Frame &)> send;

    // What the window reports.
    void requestSent(std::uint8_t address);
    void replyDecoded(const protocol::StatusReading &reading);
    void replyRejected(const supply::Failure &failure);
    // The monitor stopped or the port is about to close: a poll in flight is
    // dropped, and pending writes fail.
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
    void finish(const Poll &poll);
    void startWrite();
    void judgeWrite(const Poll &poll);
    void failWrites(const QString &why);

    QElapsedTimer m_clock;
    std::optional<Poll> m_inFlight;
    std::optional<protocol::StatusReading> m_last;
    std::deque<Write> m_writes;
    int m_lastNumber = 0;
};

} // namespace panels
