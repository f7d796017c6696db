#pragma once

#include "records/row.h"

#include <QString>

#include <cstdint>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

class QObject;

namespace engine {
class Client;
} // namespace engine

namespace ctl {

// The log's --mqtt options, as given.
struct MqttOptions {
    QString url;   // empty: no publishing
    QString topic; // empty: vantel/<host name>/<port name>
    QString caFile;
    QString queue; // readings kept while the broker is away; empty: 10000
    bool discovery = false;
    bool control = false; // --mqtt-control: commands from the broker are carried out
    QString commandAge;   // how old a command kept while away may be; empty: 5s
};

// How every output of a bench went off: the addresses confirmed off, and those
// not, each with why.
struct AllOffResult {
    std::vector<int> off;
    std::vector<std::pair<int, QString>> failed;
};

// How the program that takes commands carries some of them out.
struct ControlWays {
    // Its name in the result of a command that comes while it ends ("log").
    QString program = QStringLiteral("log");
    // Its own way of switching every output off (its session's all-off), which
    // calls its argument once; without it an all-off is refused.
    std::function<void(std::function<void(const AllOffResult &)>)> allOff;
};

// Publishes every row of a log or a run to an MQTT broker. Built on libmosquitto where
// it is found; elsewhere `--mqtt` is refused with a message.
class MqttLog {
public:
    virtual ~MqttLog() = default;

    // Whether this build can publish at all.
    static bool available();
    // Checks the options before anything is opened; an empty answer when they are good.
    static QString check(const MqttOptions &options);
    // Starts publishing (it keeps trying to reach the broker); null with `error`
    // for a setting that cannot be used.
    static std::unique_ptr<MqttLog> start(const MqttOptions &options, const QString &portName,
                                          const std::vector<std::uint8_t> &addresses,
                                          QString *error);

    // With --mqtt-control: takes the commands for `addresses` and carries each out
    // through `client`, an all-off through `ways` where it gives one; what it
    // makes lives as long as `owner`. Empty, or why not.
    virtual QString startControl(engine::Client &client, const std::vector<std::uint8_t> &addresses,
                                 QObject *owner, const ControlWays &ways) = 0;

    // No more commands are carried out: each that comes is answered as refused
    // (the program is ending, and its switching off on the way out must stay off).
    virtual void stopControl() = 0;

    // Queues one row, as its JSON line, for its address's reading topic.
    virtual void publish(const records::Row &row) = 0;

    // Publishes "offline", flushes for up to 2 s, and prints the counts.
    virtual void finish() = 0;
};

} // namespace ctl
