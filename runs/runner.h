#pragma once

#include "records/operations.h"
#include "records/row.h"
#include "sequence/sequence.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

namespace runs {

// The runner carries out the sequence language's steps.
using sequence::Compare;
using sequence::Condition;
using sequence::Quantity;
using sequence::Sequence;
using sequence::SequenceStep;

// The supply as a sequence run sees it: readings come in on the line's own
// schedule, writes go out and are confirmed by the line's own means. vantelctl
// implements it with its schedule and the client (echo, read-back, one retry);
// vantel's window with its 350 ms poll and its own write path (the value asked
// for in the following status replies within three polls, else sent once more).
class RunLine {
public:
    virtual ~RunLine() = default;

    // Starts taking readings, handing each to `reading` as a row (its step and
    // point are the runner's to fill), in order, one call per reading, never from
    // inside this call. `failed` says the line ended under the run: the port was
    // lost (Port, its reason in the detail) or the polls were stopped (Interrupted,
    // what stopped them in the detail).
    virtual void begin(std::function<void(const records::Row &)> reading,
                       std::function<void(const engine::Failure &why)> failed) = 0;
    // Takes no more readings; nothing is handed on after it.
    virtual void end() = 0;
    // The next reading is wanted as soon as the line can take it (the end of a
    // sweep point's dwell): one extra reading, or simply the next poll.
    virtual void readSoon() = 0;
    // Writes `value` (counts; 1 or 0 for the output) and confirms it. Its
    // read-backs, if it takes any, come in as readings. `retrying` is told when
    // the first attempt was not confirmed; `done` is called once, later.
    virtual void write(records::Target target, std::uint16_t value,
                       std::function<void(const QString &problem)> retrying,
                       std::function<void(const records::WriteResult &)> done) = 0;
    // A stop: what is in flight ends as soon as it may (a reply on its way gets
    // its grace); readings and writes after it end with Interrupted.
    virtual void interrupt() = 0;
    // The confirmed switch-off of every way out but completion; it goes out after
    // interrupt() and end() too. A line may hand on the readings that confirm it
    // until `done` is called.
    virtual void switchOff(std::function<void(const records::WriteResult &)> done) = 0;
};

// What a window shows of a run in progress.
struct RunProgress {
    int line = 0;      // the step running
    QString step;      // its text
    QString waitFor;   // an until's condition, "current < 0.1A"; empty otherwise
    int metInARow = 0; // readings in a row that met it
    int needed = 0;    // readings in a row it needs
    double elapsedSeconds = 0;
    std::optional<double> remainingSeconds; // the longest it may still take; none: open-ended
    long rows = 0;
    double ampHours = 0;
    double wattHours = 0;
};

// How a run ended.
struct RunEnd {
    enum class How {
        Completed, // every step done
        Aborted,   // a fault, a limit, a max, a write not confirmed, a row not kept
        Stopped,   // a stop asked for (a signal, the Stop button)
    };
    enum class Output {
        AsTheFileLeavesIt, // completed
        Off,               // switched off, confirmed
        LeftAsIs,          // kept on purpose
        MayBeOn,           // the switch-off was not confirmed
    };
    How how = How::Completed;
    QString why;  // empty when completed
    int line = 0; // the step running when it ended
    Output output = Output::AsTheFileLeavesIt;
    QString outputProblem; // MayBeOn: why the switch-off was not confirmed
};

struct RunOptions {
    std::uint8_t address = 1;
    bool keepOnAbort = false; // leave the output as it is on every way out
};

// Runs a checked sequence against one supply through a RunLine. Every reading
// becomes a row with its step (and point), emitted before anything else is done
// with it. Every way out but completion switches the output off with a confirmed
// write (unless told to keep it) and says why and at which line. It never waits
// in a nested event loop: readings, write confirmations and timers drive it.
class Runner : public QObject {
    Q_OBJECT
public:
    Runner(RunLine &line, const Sequence &sequence, RunOptions options, QObject *parent = nullptr);
    ~Runner() override;

    void start();
    // A stop asked for: the step in progress ends and the output is switched off
    // (unless `keepOutput`). A stop during the switching off does not cut it short.
    void stop(const QString &why, bool keepOutput = false);
    // Something outside the runner ends the run (a row that could not be written):
    // it aborts with `why`.
    void fail(const QString &why);

    bool running() const { return m_state != State::Idle && m_state != State::Done; }
    // The run is on its way out (its output being switched off) or over: what it
    // says from now on is its closing account.
    bool ending() const { return m_ending; }
    const RunProgress &progress() const { return m_progress; }

signals:
    // Every reading, with its step and point: to be written, published, shown.
    void rowTaken(const records::Row &row);
    // The run's account, a line at a time: "line 4: until current < 0.1A for 3
    // max 4h: met after 1h12m (0.098 A)", "line 5: aborted: …".
    void message(const QString &text);
    void progressChanged(const runs::RunProgress &progress);
    void finished(const runs::RunEnd &end);

private:
    enum class State { Idle, Stepping, Writing, Waiting, SwitchingOff, Done };
    struct Level; // one level of steps, with its repeat count

    void next(); // on to the next step
    void beginStep(const SequenceStep &step);
    void writeNext(); // the next write of a set, output or sweep step
    void onReading(const records::Row &row);
    void onWritten(records::Target target, const records::WriteResult &result);
    void stepDone(const QString &how);
    void armTimer(std::int64_t ms);
    void waitEnded();  // a hold's or dwell's or max's timer ran out
    void sweepPoint(); // the current sweep point: write it, then dwell
    void abort(RunEnd::How how, const QString &why, bool keepOutput);
    // The line ended under the run: it aborts saying why.
    void lineFailed(const engine::Failure &why);
    void finish();
    void emitProgress();
    double elapsedSeconds() const;

    RunLine &m_line;
    const Sequence &m_sequence;
    RunOptions m_options;
    State m_state = State::Idle;
    QElapsedTimer m_clock;
    QTimer m_timer; // the end of a hold, a dwell or an until's max
    std::vector<Level> m_levels;
    const SequenceStep *m_step = nullptr;
    qint64 m_stepStartedNs = 0;
    qint64 m_pointStartedNs = 0;
    qint64 m_deadlineNs = 0; // the end of the wait the timer is armed for
    int m_token = 0;         // callbacks of a write carry it; a later step or an abort moves it on
    // Writes still to do in this step: target and value.
    std::vector<std::pair<records::Target, std::uint16_t>> m_writes;
    std::size_t m_point = 0;        // sweep: the point in progress
    bool m_pointReadingDue = false; // sweep: the next reading ends the point's dwell
    int m_metInARow = 0;
    double m_lastMeasured = 0;
    int m_failedInARow = 0;
    std::int64_t m_boundDoneMs = 0; // the longest the finished steps could take
    bool m_ending = false;
    RunEnd m_end;
    RunProgress m_progress;
};

} // namespace runs
