#pragma once

#include "engine/error.h"

#include <QString>

#include <cstdint>

namespace engine {

// The word in rows (failuretable.h): "timeout", "crc", "foreign", "short",
// "exception N", "port", "interrupted", "refused", "unconfirmed", "undecoded";
// empty for None.
QString errorWord(Error error, int exceptionCode = 0);

// Between engines of ours on one machine, a 0x0B answer carries one more byte:
// the owner's verdict, so that a joiner's request fares as it would on its own
// port. 0 for an error with no byte of its own.
std::uint8_t verdictByte(Error error);
// The verdict a byte names; Error::None for a byte that names none.
Error errorOfVerdictByte(std::uint8_t byte);

// One failure as every row, write result and face carries it: the error, the
// supply's exception code and what more there is to say, compared by value and
// written as a word only where it is shown.
struct Failure {
    Error error{};         // None: no failure
    int exceptionCode = 0; // Exception: the supply's code
    QString detail;        // Port: the port's reason; Foreign: what was wrong
    // Timeout over a Modbus TCP gateway: its 0x0A or 0x0B when it answered for its
    // target, so that a message can say who gave up; 0 when nothing came.
    int gatewayCode = 0;

    Failure() = default;
    Failure(Error e, int code = 0, QString text = {})
        : error(e), exceptionCode(code), detail(std::move(text))
    {
    }

    explicit operator bool() const { return error != Error{}; }
    bool operator==(const Failure &other) const
    {
        return error == other.error && exceptionCode == other.exceptionCode &&
               detail == other.detail && gatewayCode == other.gatewayCode;
    }
    bool operator!=(const Failure &other) const { return !(*this == other); }
    // "timeout", "crc", "foreign", "short", "exception N", "port", "interrupted";
    // empty for none.
    QString word() const;
    // The word with the detail after it in brackets: "port (the device went away)".
    QString text() const;
};

} // namespace engine
