#pragma once

#include "engine/error.h"

#include <cstdint>
#include <vector>

// How every face tells a failure: one row per error, so that the shell's exit
// code, SCPI's error, the page's HTTP status, Modbus TCP's exception and the words
// in rows and on screen are chosen in one place. Plain C++, for the SCPI
// instrument as well as the programs.
namespace engine {

struct FailureFaces {
    Error error = Error::None;
    const char *rowWord = "";    // in records and JSON: "timeout", "refused", ...
    const char *screenWord = ""; // in the windows' status lines: "no reply", ...
    int exitCode = 0;            // vantelctl's exit code
    int scpiError = 0;           // the SCPI error queued
    int httpStatus = 200;        // the page's answer
    // The exception a Modbus TCP client is answered with; kSupplysOwnException
    // passes on the supply's own code.
    int modbusException = 0;
};

constexpr int kSupplysOwnException = -1;

// Every error, None first, each once.
const std::vector<FailureFaces> &failureTable();
// The row of `error`.
const FailureFaces &facesOf(Error error);

} // namespace engine
