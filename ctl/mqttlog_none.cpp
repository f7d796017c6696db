// A build without libmosquitto: the log cannot publish.

#include "ctl/mqttlog.h"

namespace ctl {

bool MqttLog::available()
{
    return false;
}

QString MqttLog::check(const MqttOptions &)
{
    return QStringLiteral("--mqtt: this build of vantelctl cannot publish (built without "
                          "libmosquitto)");
}

std::unique_ptr<MqttLog> MqttLog::start(const MqttOptions &options, const QString &,
                                        const std::vector<std::uint8_t> &, QString *error)
{
    *error = check(options);
    return nullptr;
}

} // namespace ctl
