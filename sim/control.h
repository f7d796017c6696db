#pragma once

#include "faults.h"
#include "supply.h"

#include <string>

namespace sim {

// One line of the control channel, e.g. "set voltage 12.34" or "fault delay 200".
// Returns the answer line ("ok", "error: ...", "status ..."), empty for a blank
// line or a comment; sets `quit` for "quit".
std::string runCommand(const std::string &line, Supply &supply, ReplyShaper &shaper, bool &quit);

extern const char *const kCommandHelp;

} // namespace sim
