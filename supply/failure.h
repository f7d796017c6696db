#pragma once

#include <QString>

namespace supply {

// How a request fared; its enumerators are in supply/client.h. None is the first,
// so a value-initialised Error is None.
enum class Error;

// One failure as every row, write result and face carries it: the error, the
// supply's exception code and what more there is to say, compared by value and
// written as a word only where it is shown.
struct Failure {
    Error error{};         // None: no failure
    int exceptionCode = 0; // Exception: the supply's code
    QString detail;        // Port: the port's reason; Foreign: what was wrong

    Failure() = default;
    Failure(Error e, int code = 0, QString text = {})
        : error(e), exceptionCode(code), detail(std::move(text))
    {
    }

    explicit operator bool() const { return error != Error{}; }
    // "timeout", "crc", "foreign", "short", "exception N", "port", "interrupted";
    // empty for none.
    QString word() const;
    // The word with the detail after it in brackets: "port (the device went away)".
    QString text() const;
};

} // namespace supply
