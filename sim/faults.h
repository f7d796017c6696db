#pragma once

#include "rtu.h"

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace sim {

// Faults the supply can put on the line, each one deterministic.
struct Faults {
    bool silence = false;                 // replies are not sent (requests are still carried out)
    std::chrono::milliseconds delay{0};   // every reply is held back this long
    bool badCrc = false;                  // the last byte of every reply (CRC high) is inverted
    std::optional<std::uint8_t> foreign;  // replies carry this address, with a matching CRC
    std::chrono::milliseconds trickle{0}; // reply bytes go one at a time, this far apart
    bool junkBefore = false;              // kJunk is sent in front of every reply
    bool junkAfter = false;               // kJunk is sent behind every reply
    bool echoBefore = false; // a write echo is held and sent just before the next read reply

    bool any() const;
    std::string describe() const;
};

// The bytes the junk fault puts on the line.
extern const Bytes kJunk;

// Bytes due on the line `after` the reply was made.
struct Chunk {
    std::chrono::milliseconds after;
    Bytes bytes;
};

// Turns replies into what goes on the line under the faults switched on.
class ReplyShaper {
public:
    Faults &faults() { return m_faults; }
    const Faults &faults() const { return m_faults; }
    void clear();

    enum class Outcome { Sent, Muted, Held };
    // `reply` answers a request with function code `function`. Fills `chunks`.
    Outcome shape(const Bytes &reply, std::uint8_t function, std::vector<Chunk> &chunks);

private:
    Faults m_faults;
    Bytes m_heldEcho;
};

} // namespace sim
