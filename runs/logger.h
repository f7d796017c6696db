#pragma once

#include "engine/client.h"
#include "engine/session.h"
#include "line/portkeeper.h"
#include "records/operations.h"
#include "records/row.h"
#include "runs/schedule.h"

#include <QObject>
#include <QString>
#include <QStringList>

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <vector>

namespace runs {

using std::chrono::milliseconds;

struct LogOptions {
    std::vector<std::uint8_t> addresses{1};
    milliseconds interval{350};
    std::optional<milliseconds> duration; // none: until a stop is asked for
    std::optional<double> stopBelowAmps;
    bool offAtEnd = false;
    QString portName; // for the message when the port is lost
};

// A log: the session's rounds over every address on fixed slots of the
// interval, each reading one row, handed to rowTaken() before the next request
// goes out. With a cut-off it switches an
// output off after three low readings, and it switches the outputs off on its way
// out when asked to. It ends by its duration (between readings), a stop, the
// cut-off, a lost port or a row that could not be kept; message() says what it
// does, finished() comes last. With a port keeper, a lost port does not end it:
// each reading while the port is away is a row with the error `port`, and the
// switching off on its way out waits for the port to come back.
class Logger : public QObject {
    Q_OBJECT
public:
    enum class End { Duration, Stopped, CutOff, PortFailed, WriterFailed };

    Logger(engine::Client &client, LogOptions options, QObject *parent = nullptr);
    // The same, reading and writing over `path` on `clock` and waiting for its
    // rounds with `timer`: a test's fakes. `clock` must outlive it; the client
    // still counts the link and takes the stops.
    Logger(engine::Client &client, LogOptions options, std::shared_ptr<records::WritePath> path,
           const engine::EngineClock &clock, std::unique_ptr<engine::SessionTimer> timer,
           QObject *parent = nullptr);

    void start();
    // A stop asked for: the reading in progress gets its row, then the log ends.
    void stop();
    // A row could not be kept: the log ends before the next request.
    void writerFailed();
    // Switches every logged supply off through the log's session (an all-off
    // asked for from outside, such as a command from the broker); `done` once.
    void allOff(std::function<void(const engine::AllOffOutcome &)> done);
    // Rides out a lost port with `keeper` (set before start()).
    void setPortKeeper(line::PortKeeper *keeper) { m_keeper = keeper; }

    // The link summary and the schedule's, printed at the end.
    QStringList summary() const;

signals:
    void rowTaken(const records::Row &row);
    // A line of the log's account: cut-offs, switch-offs, the summary.
    void message(const QString &text);
    // The log has begun to end (before its switching off on the way out, if any):
    // whatever else writes to its supplies for it stops now.
    void ending();
    // `failed`: the port was lost (or still away at the end), a row could not be
    // kept, or an output was not confirmed off.
    void finished(bool failed);

private:
    struct AddressState {
        int lowReadings = 0;          // consecutive readings below the cut-off
        std::optional<bool> outputOn; // from the last good reading
    };

    qint64 nowNs() const { return nsSinceStart(m_clock.now()); }
    qint64 nsSinceStart(std::chrono::steady_clock::time_point at) const
    {
        return std::chrono::duration_cast<std::chrono::nanoseconds>(at - m_start).count();
    }
    void round(const engine::RoundNotice &notice);
    void roundStarted(const engine::RoundNotice &notice);
    void roundEnded();
    void goOn();
    void taken(const records::Reading &reading);
    void cutOff(std::uint8_t address, const protocol::StatusReading &r);
    bool everyOutputOff() const;
    // How the log ended, handed along the switching off to the summary.
    struct Outcome {
        End how = End::Duration;
        QString portError; // PortFailed: the port's reason
        bool offConfirmed = true;
    };
    void end(End how, const QString &portError = QString());
    void switchOffAll(Outcome outcome);
    void conclude(const Outcome &outcome);

    engine::Client &m_client;
    const engine::EngineClock &m_clock;
    line::PortKeeper *m_keeper = nullptr;
    LogOptions m_options;
    records::RowMaker m_rows;
    Schedule m_schedule;
    // The log's readings, its cut-offs and its switch-off on the way out go
    // through its session, over a path that makes every reading a row.
    records::PathLine m_line;
    engine::Session m_session;
    engine::Session::Caller m_caller = m_session.addCaller();
    std::chrono::steady_clock::time_point m_start = m_clock.now();
    std::map<std::uint8_t, AddressState> m_states;
    std::size_t m_next = 0; // readings taken in the round under way
    qint64 m_roundStartedNs = 0;
    int m_handoversSeen = 0; // the client's handovers when the last round ended
    bool m_inFlight = false;
    bool m_aligned = false; // the schedule starts when the first request goes out
    bool m_stopAsked = false;
    bool m_writerFailed = false;
    bool m_ending = false;
    long m_cutOffs = 0;
};

// What a log says of switching `addresses` off on its way out: one line per
// address, in the order given, confirmed or not and why.
QStringList switchOffLines(const std::vector<std::uint8_t> &addresses,
                           const engine::AllOffOutcome &outcome);

// The lines on the link's counts and round trips that a log and a run end with.
QStringList linkSummary(const engine::LinkStats &stats);

} // namespace runs
