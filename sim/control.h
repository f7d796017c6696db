#pragma once

#include "faults.h"
#include "supply.h"

#include <string>
#include <vector>

namespace sim {

// One supply on the bus, and the faults it puts on its replies.
struct Unit {
    Supply supply;
    ReplyShaper shaper;
};

// What the adapter does to the line, whichever supply is addressed.
struct LineFaults {
    bool localEcho = false; // every byte the program sends comes straight back to it
};

// One line of the control channel, e.g. "set voltage 12.34" or "fault delay 200",
// acting on every unit, or on the one at the address given as a last word
// ("fault silence on 3"). Returns the answer ("ok", "error: ...", one
// "status ..." line per unit), empty for a blank line or a comment; sets `quit`
// for "quit". `fault local-echo` and `fault clear` act on `lineFaults` too.
std::string runCommand(const std::string &line, std::vector<Unit> &units, LineFaults &lineFaults,
                       bool &quit);

extern const char *const kCommandHelp;

} // namespace sim
