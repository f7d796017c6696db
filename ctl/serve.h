#pragma once

#include "values/values.h"

#include <QHostAddress>
#include <QList>
#include <QPair>
#include <QString>

#include <chrono>
#include <cstdint>
#include <vector>

namespace ctl {

// vantelctl serve: the supply as a SCPI instrument on a raw TCP socket, and as
// Modbus TCP units on another.
struct ServeOptions {
    bool scpi = true; // --listen none: Modbus TCP only
    QHostAddress listenAddress = QHostAddress(QHostAddress::LocalHost);
    quint16 listenPort = 5025; // 0: any free port (the line "listening on" names it)
    bool modbus = false;
    QHostAddress modbusAddress = QHostAddress(QHostAddress::LocalHost);
    quint16 modbusPort = 0;
    // Modbus TCP may write the slave address register.
    bool allowAddressChange = false;
    // Who may connect, as subnets; empty: loopback addresses only.
    QList<QPair<QHostAddress, int>> allow;
    int maxClients = 4;
    std::chrono::milliseconds idleTimeout{0}; // 0: never
    bool offAtEnd = false;
};

// serve's options as the command line gives them (empty: not given).
struct ServeTexts {
    QString listen;
    QString modbus;
    QString allow;
    QString maxClients;
    QString idleTimeout;
    bool offAtEnd = false;
    bool allowAddressChange = false;
};

// Reads serve's options. A listener on an address other than loopback needs --allow.
values::Parsed<ServeOptions> parseServeOptions(const ServeTexts &texts);

class CommandLine;
struct CommonOptions;
struct Prepared;

// serve's entry in the command table: its options read and checked, and the
// action that serves until a stop signal (exit 0) or until the port fails (exit 1).
Prepared prepareServe(const CommandLine &line, const CommonOptions &common);

} // namespace ctl
