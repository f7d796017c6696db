#pragma once

#include "ctl/command.h"

namespace ctl {

// vantelctl log: its options, and the log run over the client with its rows
// written (and published) and its account on stderr.
Prepared prepareLog(const CommandLine &line, const CommonOptions &common);

} // namespace ctl
