#pragma once

#include "ctl/command.h"
#include "line/linetrust.h"

#include <QString>

// The commands that ask a supply once: ports, scan, read, set, output, address.
// Each entry's preparation reads its options; its action runs over the client
// and ends with the exit code.
namespace ctl {

Prepared preparePorts(const CommandLine &line, const CommonOptions &common);
Prepared prepareScan(const CommandLine &line, const CommonOptions &common);
Prepared prepareRead(const CommandLine &line, const CommonOptions &common);
Prepared prepareSet(const CommandLine &line, const CommonOptions &common);
Prepared prepareOutput(const CommandLine &line, const CommonOptions &common);
Prepared prepareAddress(const CommandLine &line, const CommonOptions &common);

// Opens the port named by `options`; kExitOk, or kExitNoPort after saying why.
int openPort(serial::BufferedCommControl &comm, const CommonOptions &options);
// The message and advice for a port that cannot be opened; `holder` is who
// holds it, where the system tells: "in use by another program" only when that
// is not a program of ours, else which one of ours and why it is not joined.
QString openFailureText(const QString &portName, int error, const QString &description,
                        const line::DeviceHolder &holder = {});

} // namespace ctl
