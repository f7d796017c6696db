#pragma once

#include "ctl/command.h"
#include "ctl/serveoptions.h"

#include <QString>

#include <cstdint>
#include <vector>

namespace serial {
class BufferedCommControl;
}
namespace engine {
class Client;
} // namespace engine

namespace ctl {

class StopSignals;

// A SCPI or Modbus TCP client's answers waiting to go out, beyond which it is not
// served until it reads them: with the lines or requests it may have waiting, what
// a client that never reads holds of the server's memory.
constexpr qint64 kUnreadAnswers = 64 * 1024;

// What the instrument says of itself and where it reaches the supplies.
struct ServeTarget {
    QString portName; // "COM3"
    std::vector<std::uint8_t> addresses;
};

// Serves the supplies to TCP clients: a SCPI instrument on one listener, Modbus TCP
// units on another, each client in turn, only from the allowed addresses. Serves
// until a stop signal (exit 0, or 1 where --off-at-end is not confirmed), and on
// through a port that goes away; `done` gets the exit code once all is closed.
void startServer(serial::BufferedCommControl &comm, engine::Client &client,
                 const ServeTarget &target, const ServeOptions &options, StopSignals &stops,
                 Done done);

} // namespace ctl
