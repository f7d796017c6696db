#pragma once

#include "ctl/link.h"
#include "ctl/values.h"
#include "protocol/reading.h"
#include "serial/bufferedcommcontrol.h"

#include <QString>

#include <chrono>
#include <cstdint>
#include <optional>

namespace ctl {

enum ExitCode {
    kExitOk = 0,      // done and confirmed
    kExitFailed = 1,  // no answer, an exception, or a read-back that differs
    kExitUsage = 2,   // bad usage or a refused value; nothing sent
    kExitNoPort = 3,  // the port cannot be opened
    kExitSigint = 130 // interrupted (SIGTERM gives 143)
};

// Data lines to stdout, messages to stderr, each written out at once.
void printOut(const QString &line);
void printErr(const QString &line);

// What every command shares.
struct CommonOptions {
    PortChoice port;
    std::uint8_t address = 1;
    // A supply may start its reply 300 ms after the request; the reply's 17
    // characters and the line's silences fit in the rest.
    milliseconds timeout{500};
    bool timeoutGiven = false; // --timeout: it is scan's wait too
    bool json = false;
    bool echo = false;  // the adapter gives back every request
    bool first = false; // scan: stop at the first address that answers
};

// The commands that talk to one supply, over one serial control. Each returns
// the process's exit code; a stop asked for ends it with kExitSigint.
class Tool {
public:
    Tool(serial::BufferedCommControl &comm, CommonOptions options);

    Link &link() { return m_link; }

    // Opens the port; kExitOk, or kExitNoPort after saying why.
    int open();

    int ports();
    int scan(int from, int to);
    int read();
    int set(std::optional<std::uint16_t> voltageCode, std::optional<std::uint16_t> currentCode);
    int output(bool on);
    int address(std::uint8_t newAddress);

private:
    // Reads the status of `address`; a reading, or nullopt after saying why.
    std::optional<protocol::StatusReading> readStatus(std::uint8_t address);
    // Writes one register and checks its echo; false after saying why.
    bool write(const protocol::Frame &request, const QString &what);
    // Says why `reply` from `address` is no answer; returns the exit code for it.
    int failure(const Reply &reply, std::uint8_t address, const QString &what);

    serial::BufferedCommControl &m_comm;
    CommonOptions m_options;
    Link m_link;
    int m_failure = kExitFailed; // exit code of the last failure
};

// The message and advice for a port that cannot be opened.
QString openFailureText(const QString &portName, int error, const QString &description);

} // namespace ctl
