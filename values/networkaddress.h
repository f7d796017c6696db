#pragma once

#include <QString>
#include <QtGlobal>

#include <optional>

namespace values {

// Where a network line leads: a Modbus TCP gateway, "tcp://HOST[:PORT]".
struct NetworkAddress {
    static constexpr quint16 kModbusPort = 502;

    QString host; // a name or an address; an IPv6 address without its brackets
    quint16 port = kModbusPort;
    // "tcp://bench-pc:502", "tcp://[::1]:1502".
    QString name() const;
};

// Whether `text` names a network line: it begins with "tcp://" (in any case).
bool isNetworkPortName(const QString &text);
// Reads "tcp://HOST[:PORT]" (an IPv6 address in brackets, the port 1..65535, 502
// when left out); nullopt with `*error` saying what is wrong.
std::optional<NetworkAddress> parseNetworkAddress(const QString &text, QString *error);

} // namespace values
