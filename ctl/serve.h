#pragma once

#include "ctl/values.h"

#include <QHostAddress>
#include <QList>
#include <QPair>
#include <QString>

#include <chrono>
#include <cstdint>
#include <vector>

namespace serial {
class CommControl;
}

namespace ctl {

class StopSignals;

// vantelctl serve: the supply as a SCPI instrument on a raw TCP socket.
struct ServeOptions {
    QHostAddress listenAddress = QHostAddress(QHostAddress::LocalHost);
    quint16 listenPort = 5025; // 0: any free port (the line "listening on" names it)
    // Who may connect, as subnets; empty: loopback addresses only.
    QList<QPair<QHostAddress, int>> allow;
    int maxClients = 4;
    std::chrono::milliseconds idleTimeout{0}; // 0: never
    bool offAtEnd = false;
};

// Reads serve's options as the command line gives them (empty: not given). A
// listener on an address other than loopback needs --allow.
Parsed<ServeOptions> parseServeOptions(const QString &listen, const QString &allow,
                                       const QString &maxClients, const QString &idleTimeout,
                                       bool offAtEnd);

// What the instrument says of itself and where it reaches the supplies.
struct ServeTarget {
    QString portName; // "COM3"
    std::vector<std::uint8_t> addresses;
    std::chrono::milliseconds timeout{500};
    bool echo = false;
};

// Serves on the open port `comm` until a stop signal (exit 0) or until the port
// fails (exit 1); exit 2 when the socket cannot be opened.
int serve(serial::CommControl &comm, const ServeTarget &target, const ServeOptions &options,
          StopSignals &stops);

} // namespace ctl
