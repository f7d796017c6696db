#pragma once

#include "ctl/mqttlog.h"
#include "values/values.h"

#include <QHostAddress>
#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>

#include <chrono>
#include <optional>

namespace ctl {

// How serve serves: its listeners, who may connect and how many at a time.
struct ServeOptions {
    bool scpi = true; // --listen none: Modbus TCP or HTTP only
    QHostAddress listenAddress = QHostAddress(QHostAddress::LocalHost);
    quint16 listenPort = 5025; // 0: any free port (the line "listening on" names it)
    bool modbus = false;
    QHostAddress modbusAddress = QHostAddress(QHostAddress::LocalHost);
    quint16 modbusPort = 0;
    // The page and its API (--http), and the more names its Host may carry.
    bool http = false;
    QHostAddress httpAddress = QHostAddress(QHostAddress::LocalHost);
    quint16 httpPort = 0;
    QStringList httpHosts;
    QByteArray httpToken; // from VANTEL_HTTP_TOKEN, else made at start
    QString bench;        // the bench label of /metrics; empty: the host name
    // Modbus TCP may write the slave address register.
    bool allowAddressChange = false;
    // Who may connect, as subnets; empty: loopback addresses only.
    QList<QPair<QHostAddress, int>> allow;
    int maxClients = 4;
    std::chrono::milliseconds idleTimeout{0}; // 0: never
    bool offAtEnd = false;
    // Every reading published to a broker, and its commands (--mqtt...): url
    // empty, none.
    MqttOptions mqtt;
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
    QString http;
    QStringList httpHosts;
    std::optional<QString> bench;
    bool mqtt = false; // --mqtt: the bench is published, something to serve
};

// Reads serve's options. A listener on an address other than loopback needs --allow.
values::Parsed<ServeOptions> parseServeOptions(const ServeTexts &texts);

} // namespace ctl
