#pragma once

#include "protocol/frames.h"
#include "values/networkaddress.h"

#include <QString>

#include <chrono>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

// How the values a user types are read: set values, on/off, addresses and lists
// of them, ports and durations; the same for the command line and the windows.
namespace values {

constexpr int kFirstAddress = 1;
constexpr int kLastAddress = 247;
constexpr int kLargestVoltageCode = protocol::kLargestVoltageCode;
constexpr int kLargestCurrentCode = protocol::kLargestCurrentCode;

// A parsed value, or why it was refused: one or the other, never both. Success
// is the value's presence; the reason is only for people to read.
template <typename T> class Parsed {
public:
    static Parsed of(T value)
    {
        Parsed parsed;
        parsed.m_value = std::move(value);
        return parsed;
    }
    static Parsed refused(QString why)
    {
        Parsed parsed;
        parsed.m_error = std::move(why);
        return parsed;
    }

    bool ok() const { return m_value.has_value(); }
    explicit operator bool() const { return ok(); }
    const T &operator*() const { return *m_value; }
    const T *operator->() const { return &*m_value; }
    // Why it was refused; empty for a value.
    const QString &error() const { return m_error; }

private:
    Parsed() = default;

    std::optional<T> m_value;
    QString m_error;
};

// A set value in the register's unit: `text` is a decimal number in `unit` ("V"
// or "A"), which may follow it, or its thousandth (12.6V, 500mA); rounded to
// `decimals` places (halves to even) and refused when negative or above `largest`.
Parsed<std::uint16_t> parseSetCode(const QString &text, int decimals, int largest,
                                   const QString &unit);

// "on" or "off", in any case.
Parsed<bool> parseSwitch(const QString &text);

// A slave address 1..247.
Parsed<std::uint8_t> parseAddress(const QString &text);

// A whole number within first..last.
Parsed<int> parseWhole(const QString &text, int first, int last);

// Where --port points: COMn (resolved as the windows do), a device path, or a
// Modbus TCP gateway (tcp://HOST[:PORT]).
struct PortChoice {
    int comPort = 1;
    QString devicePath; // empty: COMn
    std::optional<values::NetworkAddress> network;
    QString name() const;
};
Parsed<PortChoice> parsePort(const QString &text);

// "1,3,5-7": addresses in the order given, each once.
Parsed<std::vector<std::uint8_t>> parseAddressList(const QString &text);

// "90s", "10m", "2h" (a whole number and a unit).
Parsed<std::chrono::milliseconds> parseDuration(const QString &text);

} // namespace values
