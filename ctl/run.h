#pragma once

#include "ctl/command.h"

namespace ctl {

// vantelctl run: its options and file, checked before the port opens; the run
// over the client on the schedule, its rows written (and published) and its
// account on stderr.
Prepared prepareRun(const CommandLine &line, const CommonOptions &common);

} // namespace ctl
