#include "ctl/tool.h"

#include "ctl/output.h"
#include "ctl/platform.h"
#include "line/sharedport.h"
#include "records/format.h"

namespace ctl {

Prepared preparePorts(const CommandLine &, const CommonOptions &)
{
    return Prepared::run(
        [](Context &context, Done done) {
            std::vector<PortEntry> entries = listPorts(context.comm);
            // A port a program of ours owns is open to every other one of ours.
            if (const auto *shared = qobject_cast<const line::SharedPort *>(&context.comm)) {
                for (PortEntry &p : entries) {
                    const int n = p.name.mid(3).toInt();
                    if (p.state != portState(-1) && n > 0 && shared->offeredByOurs(n)) {
                        p.state = QStringLiteral("shared");
                    }
                }
            }
            for (const PortEntry &p : entries) {
                if (context.options.json) {
                    records::JsonObject json;
                    json.text("port", p.name)
                        .text("device", p.device)
                        .text("state", p.state)
                        .textOrNull("description", p.description);
                    context.console.out(QString::fromUtf8(json.toJson()));
                } else {
                    QString line = QStringLiteral("%1  %2  %3")
                                       .arg(p.name, -6)
                                       .arg(p.device, -24)
                                       .arg(p.state);
                    if (!p.description.isEmpty()) {
                        line += QStringLiteral("  ") + p.description;
                    }
                    context.console.out(line.trimmed());
                }
            }
            if (entries.empty()) {
                printErr(QStringLiteral("no COM port resolves to a device"));
            }
            done(kExitOk);
        },
        false);
}

} // namespace ctl
