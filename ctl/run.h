#pragma once

#include "ctl/link.h"
#include "ctl/logrow.h"
#include "supply/energy.h"
#include "supply/sequence.h"

#include <QElapsedTimer>
#include <QObject>

#include <cstdint>
#include <optional>

namespace ctl {

struct RunOptions {
    std::uint8_t address = 1;
    milliseconds interval{350};
    bool keepOnAbort = false; // --on-abort keep: leave the output as it is
};

// Runs a checked sequence against one supply. Every reading becomes a LogRow
// with the step and point columns, handed to readingTaken() before the next
// request. Every way out but completion switches the output off with a
// confirmed write (unless told to keep it), and stderr says why and where.
class Runner : public QObject {
    Q_OBJECT
public:
    Runner(Link &link, const supply::Sequence &sequence, RunOptions options,
           QObject *parent = nullptr);

    // Runs the sequence to its end or an abort and returns the exit code: 0
    // completed, 1 aborted by a fault, a limit, a max or an output not confirmed
    // off, 128 + the signal's number after a stop.
    int run();
    // A stop asked for by a signal: the step in progress ends and the output is
    // switched off. A second stop does not cut the switching off short.
    void stop(int signalNumber);
    // A row could not be written: the run aborts.
    void writerFailed();

signals:
    void readingTaken(const ctl::LogRow &row);

private:
    enum class Wait { Elapsed, Met, Aborted };

    // Runs steps [first, last); false once the run has aborted.
    bool execute(std::size_t first, std::size_t last);
    bool step(const supply::SequenceStep &s);
    bool sweep(const supply::SequenceStep &s);
    bool until(const supply::SequenceStep &s);
    // Writes `request`, then reads back; retried once; false after aborting.
    bool confirmedWrite(const protocol::Frame &request,
                        const std::function<bool(const protocol::StatusReading &)> &confirms,
                        int line, const QString &what);
    // Takes readings on the schedule until `endNs` (none: until `met` says so).
    Wait readUntil(std::optional<qint64> endNs,
                   const std::function<bool(const LogRow &)> &met = nullptr);
    // One reading, a row written; false when the run must abort.
    bool takeReading(LogRow *row, std::optional<int> point = std::nullopt);
    // Records why the run ends early; returns false for the callers to pass up.
    bool abort(int line, const QString &why);
    // The confirmed switching off on the way out of an aborted run.
    bool switchOff();
    qint64 nowNs() const { return m_clock.nsecsElapsed(); }

    Link &m_link;
    const supply::Sequence &m_sequence;
    RunOptions m_options;
    QElapsedTimer m_clock;
    supply::EnergyCounter m_energy;
    qint64 m_nextReadingNs = 0;
    int m_line = 0; // the step running
    int m_failedInARow = 0;
    bool m_aborted = false;
    bool m_switchingOff = false;
    bool m_writerFailed = false;
    int m_signal = 0;
    QString m_why;
    int m_whyLine = 0;
    std::optional<protocol::StatusReading> m_last; // the last good reading
};

} // namespace ctl
