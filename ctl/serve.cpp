#include "ctl/serve.h"

#include "ctl/command.h"
#include "ctl/commands.h"
#include "ctl/serveoptions.h"
#include "ctl/socketserver.h"

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
    const auto options = parseServeOptions({value("listen"), value("modbus"), value("allow"),
                                            value("max-clients"), value("idle-timeout"),
                                            isSet("off-at-end"), isSet("allow-address-change")});
    if (!options) {
        return Prepared::refused(options.error);
    }
    ServeTarget target{common.port.name(), {common.address}};
    if (isSet("addresses")) {
        const auto list = parseAddressList(value("addresses"));
        if (!list) {
            return Prepared::refused(QStringLiteral("--addresses: ") + list.error);
        }
        target.addresses = *list;
    }
    return Prepared::run(
        [target, options = *options](Context &context, Done done) {
            startServer(context.comm, context.client, target, options, context.stops,
                        std::move(done));
        },
        true, true);
}

} // namespace ctl
