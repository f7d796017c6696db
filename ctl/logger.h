#pragma once

#include "ctl/command.h"
#include "supply/client.h"
#include "supply/operations.h"
#include "supply/row.h"
#include "supply/schedule.h"

#include <QElapsedTimer>
#include <QObject>
#include <QStringList>
#include <QTimer>

#include <cstdint>
#include <map>
#include <optional>
#include <vector>

namespace ctl {

struct LogOptions {
    std::vector<std::uint8_t> addresses{1};
    milliseconds interval{350};
    std::optional<milliseconds> duration; // none: until a stop is asked for
    std::optional<double> stopBelowAmps;
    bool offAtEnd = false;
    QString portName; // for the message when the port is lost
};

// A log: rounds over every address on the schedule, each reading one row, handed
// to rowTaken() before the next request goes out. It ends by its duration (between
// readings), a stop, the cut-off, a lost port or a row that could not be kept, and
// then finishes with its exit code.
class Logger : public QObject {
    Q_OBJECT
public:
    enum class End { Duration, Stopped, CutOff, PortFailed, WriterFailed };

    Logger(supply::Client &client, LogOptions options, QObject *parent = nullptr);

    void start();
    // A stop asked for: the reading in progress gets its row, then the log ends.
    void stop();
    // A row could not be kept: the log ends before the next request.
    void writerFailed();

    // The link summary and the schedule's, printed at the end.
    QStringList summary() const;

signals:
    void rowTaken(const supply::Row &row);
    void finished(int exitCode);

private:
    struct AddressState {
        int lowReadings = 0;          // consecutive readings below the cut-off
        std::optional<bool> outputOn; // from the last good reading
    };

    qint64 nowNs() const { return m_clock.nsecsElapsed(); }
    void scheduleRound();
    void roundDue();
    void readNext();
    void taken(const supply::Reading &reading);
    void cutOff(std::uint8_t address, const protocol::StatusReading &r);
    bool everyOutputOff() const;
    // How the log ended, handed along the switching off to the summary.
    struct Outcome {
        End how = End::Duration;
        QString portError; // PortFailed: the port's reason
        bool offConfirmed = true;
    };
    void end(End how, const QString &portError = QString());
    void switchOffFrom(std::size_t index, Outcome outcome);
    void conclude(const Outcome &outcome);

    supply::Client &m_client;
    LogOptions m_options;
    supply::RowMaker m_rows;
    supply::Schedule m_schedule;
    QElapsedTimer m_clock;
    QTimer m_wait;
    std::map<std::uint8_t, AddressState> m_states;
    std::size_t m_next = 0; // the address of the round to read next
    qint64 m_roundStartedNs = 0;
    bool m_inFlight = false;
    bool m_aligned = false; // the schedule starts when the first request goes out
    bool m_stopAsked = false;
    bool m_writerFailed = false;
    bool m_ending = false;
    bool m_warnedSlow = false;
    long m_cutOffs = 0;
};

// The lines on the link's counts and round trips that a log and a run end with.
QStringList linkSummary(const supply::LinkStats &stats);

Prepared prepareLog(const CommandLine &line, const CommonOptions &common);

} // namespace ctl
