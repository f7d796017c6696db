#pragma once

namespace ctl {

class CommandLine;
struct CommonOptions;
struct Prepared;

// vantelctl serve: the supply as a SCPI instrument on a raw TCP socket, and as
// Modbus TCP units on another. serve's entry in the command table: its options
// read and checked, and the action that serves until a stop signal (exit 0) or
// until the port fails (exit 1).
Prepared prepareServe(const CommandLine &line, const CommonOptions &common);

} // namespace ctl
