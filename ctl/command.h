#pragma once

#include "engine/client.h"
#include "serial/bufferedcommcontrol.h"
#include "values/values.h"

#include <QString>

#include <chrono>
#include <cstdint>
#include <functional>

// What a command of vantelctl is: the options every command shares, what a
// command gets to work with, and the preparation each entry of the command table
// carries (its options read and checked before the port opens, so that a
// refusal sends nothing).
namespace ctl {

using std::chrono::milliseconds;
using values::kFirstAddress;
using values::kLargestCurrentCode;
using values::kLargestVoltageCode;
using values::kLastAddress;
using values::parseAddress;
using values::parseAddressList;
using values::Parsed;
using values::parseDuration;
using values::parsePort;
using values::parseSetCode;
using values::parseSwitch;
using values::parseWhole;
using values::PortChoice;

enum ExitCode {
    kExitOk = 0,      // done and confirmed
    kExitFailed = 1,  // no answer, an exception, or a read-back that differs
    kExitUsage = 2,   // bad usage or a refused value; nothing sent
    kExitNoPort = 3,  // the port cannot be opened
    kExitSigint = 130 // interrupted (SIGTERM gives 143)
};

// What every command shares.
struct CommonOptions {
    PortChoice port;
    std::uint8_t address = 1;
    // A supply may start its reply 300 ms after the request; the reply's 17
    // characters and the line's silences fit in the rest.
    milliseconds timeout{500};
    bool timeoutGiven = false; // --timeout: it is scan's wait too
    bool json = false;
    bool echo = false;    // the adapter gives back every request
    bool verbose = false; // every frame on stderr
};

class Console;
class StopSignals;
class CommandLine;

// What a command works with once its options are read.
struct Context {
    serial::BufferedCommControl &comm;
    engine::Client &client;
    const CommonOptions &options;
    StopSignals &stops;
    Console &console;
};

// Called once, later, with the exit code.
using Done = std::function<void(int exitCode)>;
using Action = std::function<void(Context &context, Done done)>;

// A command ready to run, or why it is refused.
struct Prepared {
    Action action;
    // Refused: the message (printed with a pointer to --help), or said already
    // with `exitCode` set.
    QString usageError;
    int exitCode = kExitOk;
    bool opensPort = true;
    // The command takes the stop signals itself (log, run); otherwise a stop
    // interrupts the client and the command ends with 128 + the signal.
    bool takesStops = false;

    static Prepared refused(const QString &message)
    {
        Prepared p;
        p.usageError = message;
        p.exitCode = kExitUsage;
        return p;
    }
    static Prepared run(Action action, bool opensPort = true, bool takesStops = false)
    {
        Prepared p;
        p.action = std::move(action);
        p.opensPort = opensPort;
        p.takesStops = takesStops;
        return p;
    }
};

using Prepare = Prepared (*)(const CommandLine &line, const CommonOptions &common);

// The options every command shares, read from the line; empty, or why refused.
QString readCommonOptions(const CommandLine &line, CommonOptions *common);

// Reads the command line and runs its command to its end: the process's exit code.
int dispatch(const QStringList &arguments, bool stdoutClosed);

} // namespace ctl
