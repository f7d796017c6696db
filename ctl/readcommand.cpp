#include "ctl/tool.h"

#include "ctl/output.h"
#include "ctl/tool_p.h"
#include "records/format.h"

#include <optional>

namespace ctl {

namespace {

// A good status reading from `reply`, or nullopt after saying why (`code` set).
std::optional<protocol::StatusReading> readingOf(const Context &context, const Reply &reply,
                                                 const QString &what, int *code)
{
    if (reply.error() != Error::None) {
        *code = failure(context, reply, reply.address(), what, context.options.timeout);
        return std::nullopt;
    }
    if (!reply.reading()) {
        *code = failure(context, engine::Failure(Error::Undecoded), reply.bytes(), reply.address(),
                        what, context.options.timeout);
    }
    return reply.reading();
}

} // namespace

Prepared prepareRead(const CommandLine &, const CommonOptions &)
{
    return Prepared::run([](Context &context, Done done) {
        const std::uint8_t address = context.options.address;
        whenFinished(context.client.readStatus(address), [&context, done](const Reply &reply) {
            int code = kExitOk;
            const auto reading = readingOf(context, reply, QStringLiteral("read"), &code);
            if (reading) {
                context.console.out(
                    context.options.json
                        ? QString::fromUtf8(records::statusJson(reply.address(), *reading).toJson())
                        : statusText(*reading));
            }
            done(code);
        });
    });
}

} // namespace ctl
