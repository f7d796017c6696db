#include "ctl/tool.h"

#include "ctl/commands.h"
#include "ctl/output.h"
#include "ctl/tool_p.h"
#include "engine/sessionaddress.h"
#include "records/format.h"

namespace ctl {

namespace {

using Step = engine::AddressOutcome::Step;

// Says how the change of `old` to `next` ended, and its exit code.
int addressExit(const Context &context, const engine::AddressOutcome &outcome, std::uint8_t old,
                std::uint8_t next)
{
    const milliseconds timeout = context.options.timeout;
    const Error heard = outcome.heard.error;
    if (outcome.confirmed()) {
        if (context.options.json) {
            records::JsonObject json;
            json.number("old_address", old).number("address", next).boolean("confirmed", true);
            context.console.out(QString::fromUtf8(json.toJson()));
        } else {
            context.console.out(
                QStringLiteral("address %1 -> %2: the new address answers, the old one is silent")
                    .arg(old)
                    .arg(next));
        }
        return kExitOk;
    }
    switch (outcome.step) {
    case Step::Check:
        if (outcome.write.failure.error == Error::Refused) {
            printErr(QStringLiteral("address: address %1 is taken: a supply answers there; "
                                    "nothing was sent to address %2")
                         .arg(next)
                         .arg(old));
            return kExitUsage;
        }
        return failure(context, outcome.heard, outcome.bytes, next, QStringLiteral("address"),
                       timeout);
    case Step::Write:
        if (heard == Error::Foreign) {
            printErr(QStringLiteral("address: the echo is not the request's: %1")
                         .arg(hexBytes(outcome.bytes)));
            return kExitFailed;
        }
        return failure(context, outcome.heard, outcome.bytes, old, QStringLiteral("address"),
                       timeout);
    case Step::NewAddress:
        return failure(context, outcome.heard, outcome.bytes, next,
                       QStringLiteral("address: proof at the new address"), timeout);
    case Step::OldAddress:
        if (heard == Error::Interrupted || heard == Error::Port) {
            return failure(context, outcome.heard, outcome.bytes, old,
                           QStringLiteral("address: proof at the old address"), timeout);
        }
        printErr(QStringLiteral("address: the old address %1 still answers").arg(old));
        return kExitFailed;
    }
    return kExitFailed;
}

} // namespace

Prepared prepareAddress(const CommandLine &line, const CommonOptions &common)
{
    const QString given = line.arguments().value(0);
    const auto next = parseAddress(given);
    if (!next) {
        const bool broadcast = given.trimmed() == QLatin1String("0");
        return Prepared::refused(QStringLiteral("address NEW: ") + next.error() +
                                 (broadcast ? QStringLiteral(" (0 is the broadcast address, "
                                                             "which no supply answers)")
                                            : QString()));
    }
    if (*next == common.address) {
        return Prepared::refused(QStringLiteral("the supply is at address %1 already").arg(*next));
    }
    return Prepared::run([newAddress = *next](Context &context, Done done) {
        const std::uint8_t old = context.options.address;
        engine::SessionSettings settings;
        settings.writeAttempts = records::kWriteAttempts;
        // The session goes once the change has ended, never from inside its call.
        auto *session = new engine::Session(context.client, settings, &context.client);
        session->changeAddress(
            session->addCaller(), old, newAddress,
            [&context, done, session, old, newAddress](const engine::AddressOutcome &outcome) {
                session->deleteLater();
                done(addressExit(context, outcome, old, newAddress));
            });
    });
}

} // namespace ctl
