#include "ctl/serve.h"

#include "ctl/command.h"
#include "ctl/commands.h"
#include "ctl/rowoptions.h"
#include "ctl/serveoptions.h"
#include "ctl/socketserver.h"
#include "web/httpserver.h"

namespace ctl {

Prepared prepareServe(const CommandLine &line, const CommonOptions &common)
{
    const auto isSet = [&line](const char *name) { return line.isSet(QString::fromUtf8(name)); };
    const auto value = [&line](const char *name) { return line.value(QString::fromUtf8(name)); };
    if (common.json) {
        return Prepared::refused(
            QStringLiteral("serve answers on its socket and writes no data to stdout: --json "
                           "has nothing to format"));
    }
    const auto options = parseServeOptions(
        {value("listen"), value("modbus"), value("allow"), value("max-clients"),
         value("idle-timeout"), isSet("off-at-end"), isSet("allow-address-change"), value("http"),
         line.values(QStringLiteral("http-host")),
         isSet("bench") ? std::optional(value("bench")) : std::nullopt, isSet("mqtt")});
    if (!options) {
        return Prepared::refused(options.error());
    }
    ServeOptions served = *options;
    const QString mqtt = readMqttOptions(line, &served.mqtt);
    if (!mqtt.isEmpty()) {
        return Prepared::refused(mqtt);
    }
    if (served.http) {
        // Never from the command line, where every user of the machine sees it.
        served.httpToken = qgetenv("VANTEL_HTTP_TOKEN");
        if (served.httpToken.isEmpty()) {
            served.httpToken = web::randomToken();
        }
        const QString why = web::tokenRefusal(served.httpToken);
        if (!why.isEmpty()) {
            return Prepared::refused(why);
        }
    }
    ServeTarget target{common.port.name(), {common.address}};
    if (isSet("addresses")) {
        const auto list = parseAddressList(value("addresses"));
        if (!list) {
            return Prepared::refused(QStringLiteral("--addresses: ") + list.error());
        }
        target.addresses = *list;
    }
    return Prepared::run(
        [target, options = served](Context &context, Done done) {
            startServer(context.comm, context.client, target, options, context.stops,
                        std::move(done));
        },
        true, true);
}

} // namespace ctl
