#pragma once

#include "ctl/link.h"
#include "ctl/logrow.h"

#include <QElapsedTimer>
#include <QFile>
#include <QObject>

#include <cstdint>
#include <functional>
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
    // For the message when the port is lost: its name and, asked then, why.
    QString portName;
    std::function<QString()> portLostReason;
};

// The log's schedule: round k over every address starts k × interval after the
// start, whatever the rounds before it cost. Each reading becomes one LogRow,
// handed to readingTaken() before the next request goes out.
class Logger : public QObject {
    Q_OBJECT
public:
    enum class End { Duration, Stopped, CutOff, PortFailed, WriterFailed };

    Logger(Link &link, LogOptions options, QObject *parent = nullptr);

    // Runs the log to its end and returns the exit code.
    int run();
    // Ends the log before the next request because a row could not be kept.
    void writerFailed();

    End end() const { return m_end; }
    long rounds() const { return m_rounds; }
    // How late the last round started against its slot k × interval.
    double lastRoundLagMs() const { return m_lastLagMs; }
    // The link summary printed at the end.
    QStringList summary() const;

signals:
    void readingTaken(const ctl::LogRow &row);

private:
    struct AddressState {
        supply::EnergyCounter energy;
        int lowReadings = 0;          // consecutive readings below the cut-off
        std::optional<bool> outputOn; // from the last good reading
    };

    // One reading of `address`; false when the log must end now.
    bool readOne(std::uint8_t address);
    void checkCutOff(std::uint8_t address, AddressState &state, const protocol::StatusReading &r);
    bool everyOutputCutOff() const;
    // Switches every output off on the way out; false when one was not confirmed.
    bool switchAllOff();

    Link &m_link;
    LogOptions m_options;
    QElapsedTimer m_clock;
    std::map<std::uint8_t, AddressState> m_states;
    End m_end = End::Duration;
    QString m_portError;
    long m_rounds = 0;
    long m_cutOffs = 0;
    double m_lastLagMs = 0;
    bool m_warnedSlow = false;
};

// Writes rows as CSV or JSON lines to a file or stdout. Every row goes out in one
// unbuffered write, so a killed process leaves only whole lines behind.
class RowWriter {
public:
    enum class Format { Csv, Jsonl };
    // What to do with a file that holds something already.
    enum class Existing { Refuse, Append, Overwrite };
    // `withStep`: rows of `run`, with the step and point columns.
    explicit RowWriter(Format format, bool withStep = false)
        : m_format(format), m_withStep(withStep)
    {
    }

    // Why `path` may not be written as `existing` says: it is not empty and neither
    // append nor overwrite was asked for, or its first line is not the header (CSV)
    // or the keys (JSON lines) this log writes. Empty when it may.
    static QString refusal(const QString &path, Format format, Existing existing);

    // Opens `path` (empty: stdout) and writes the CSV header, unless appending to a
    // file that has one; false with a reason.
    bool open(const QString &path, Existing existing, QString *error);
    bool write(const LogRow &row);
    // Why the last open or write failed.
    QString errorString() const;

private:
    bool writeLine(const QString &line);

    Format m_format;
    bool m_withStep = false;
    QFile m_file;
};

// The lines on the link's counts and round trips that a log and a run end with.
QStringList linkSummary(const LinkStats &stats);

} // namespace ctl
