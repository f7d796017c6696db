#pragma once

#include "ctl/logrow.h"

#include <QString>

#include <cstdint>
#include <memory>
#include <vector>

namespace ctl {

class Logger;

// The log's --mqtt options, as given.
struct MqttOptions {
    QString url;   // empty: no publishing
    QString topic; // empty: vantel/<host name>/<port name>
    QString caFile;
    QString queue; // readings kept while the broker is away; empty: 10000
    bool discovery = false;
};

// Publishes every row of a log to an MQTT broker. Built on libmosquitto where
// it is found; elsewhere `--mqtt` is refused with a message.
class MqttLog {
public:
    virtual ~MqttLog() = default;

    // Whether this build can publish at all.
    static bool available();
    // Checks the options before anything is opened; an empty answer when they are good.
    static QString check(const MqttOptions &options);
    // Starts publishing the rows `logger` takes (it keeps trying to reach the
    // broker); null with `error` for a setting that cannot be used.
    static std::unique_ptr<MqttLog> start(const MqttOptions &options, const QString &portName,
                                          const std::vector<std::uint8_t> &addresses,
                                          Logger &logger, QString *error);

    // Publishes "offline", flushes for up to 2 s, and prints the counts.
    virtual void finish() = 0;
};

} // namespace ctl
