#include "ctl/tool.h"

#include "ctl/commands.h"
#include "ctl/output.h"
#include "ctl/tool_p.h"
#include "records/format.h"
#include "records/operations.h"

#include <memory>

namespace ctl {

namespace {

QString onOff(bool on)
{
    return on ? QStringLiteral("on") : QStringLiteral("off");
}

} // namespace

Prepared prepareOutput(const CommandLine &line, const CommonOptions &)
{
    const auto switched = parseSwitch(line.arguments().value(0));
    if (!switched) {
        return Prepared::refused(switched.error());
    }
    return Prepared::run([on = *switched](Context &context, Done done) {
        const std::uint8_t address = context.options.address;
        // A stop once the switch has gone out leaves the output unknown: say so.
        const auto stopped = [on, done](bool sent) {
            printErr(!sent ? QStringLiteral("stopped before the switch was sent: the output is "
                                            "as it was")
                     : on  ? QStringLiteral("stopped after the switch on was sent, before its "
                                             "read-back: the output may be on")
                           : QStringLiteral("stopped after the switch off was sent, before its "
                                             "read-back: the output may still be on"));
            done(kExitSigint);
        };
        records::WriteCallbacks callbacks;
        callbacks.done = [&context, done, on, address,
                          stopped](const records::WriteResult &result) {
            if (result.failure.error == Error::Interrupted) {
                stopped(result.sent);
                return;
            }
            if (!result.readBack || (result.failure && !result.readBackDiffers())) {
                done(writeFailure(context, result, address, {QStringLiteral("output")}));
                return;
            }
            const protocol::StatusReading &reading = *result.readBack;
            if (context.options.json) {
                records::JsonObject json;
                json.number("address", address)
                    .boolean("output", on)
                    .boolean("confirmed", result.confirmed)
                    .raw("reading", records::statusJson(address, reading).toJson());
                context.console.out(QString::fromUtf8(json.toJson()));
            } else {
                context.console.out(statusText(reading));
            }
            if (!result.confirmed) {
                printErr(QStringLiteral("read-back differs: the output reads %1, sent %2")
                             .arg(onOff(reading.outputOn), onOff(on)));
                done(kExitFailed);
                return;
            }
            done(kExitOk);
        };
        // One attempt: a script that wants another asks again.
        (void)records::confirmedWrite(
            std::make_shared<records::ClientWritePath>(context.client),
            {records::writeRequest(address, records::Target::Output, on ? 1 : 0)},
            records::confirmsWrite(records::Target::Output, on ? 1 : 0), std::move(callbacks), 1);
    });
}

} // namespace ctl
