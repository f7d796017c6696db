#pragma once

#include "ctl/command.h"
#include "ctl/mqttlog.h"
#include "line/portkeeper.h"
#include "records/rowwriter.h"

#include <cstdint>
#include <memory>
#include <vector>

namespace ctl {

// The options of the commands that write rows (log, run), read in one place:
// --format (or the global --json), --interval, --output and --mqtt...
struct RowOptions {
    records::RowWriter::Format format = records::RowWriter::Format::Csv;
    milliseconds interval{350};
    QString path; // empty or "-": stdout
    records::RowWriter::Existing existing = records::RowWriter::Existing::Refuse;
    MqttOptions mqtt; // url empty: no publishing
};

// Reads them from `line`; empty, or why they are refused. `withStep`: rows of a
// run, which never writes over a file that holds data.
QString readRowOptions(const CommandLine &line, const CommonOptions &common, bool withStep,
                       records::RowWriter::Existing existing, RowOptions *options);

// Reads the --mqtt options of log, run or serve from `line` (url empty: no
// --mqtt); empty, or why they are refused.
QString readMqttOptions(const CommandLine &line, MqttOptions *options);

// Where the rows of a log or a run go: the opened writer, and the publisher when
// --mqtt was given.
struct RowSinks {
    std::shared_ptr<records::RowWriter> writer;
    std::shared_ptr<MqttLog> publishing;
};

// Opens both for `rows` (`withStep`: a run's rows); empty, or the message saying
// why they cannot be opened.
// A keeper of the port for a long command (log, run): it reopens a lost port every
// second, says so on stderr, and is deleted with `owner`.
line::PortKeeper *keepPort(Context &context, const QString &portName, QObject *owner);

QString openRowSinks(const RowOptions &rows, bool withStep, const QString &portName,
                     const std::vector<std::uint8_t> &addresses, RowSinks *sinks);

} // namespace ctl
