#include "ctl/tool.h"

#include "ctl/commands.h"
#include "ctl/output.h"
#include "ctl/tool_p.h"
#include "protocol/frames.h"
#include "records/format.h"

namespace ctl {

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
        const milliseconds timeout = context.options.timeout;
        supply::Client &client = context.client;
        // Two supplies must never share an address: one that answers at NEW already
        // keeps it, and nothing is written.
        whenFinished(client.readStatus(newAddress), [&context, &client, done, old, newAddress,
                                                     timeout](const Reply &taken) {
            if (taken.error() == Error::Interrupted || taken.error() == Error::Port) {
                done(failure(context, taken, newAddress, QStringLiteral("address"), timeout));
                return;
            }
            if (taken.error() != Error::Timeout) {
                printErr(QStringLiteral("address: address %1 is taken: a supply answers there; "
                                        "nothing was sent to address %2")
                             .arg(newAddress)
                             .arg(old));
                done(kExitUsage);
                return;
            }
            const protocol::Frame request = protocol::buildSetAddressRequest(old, newAddress);
            whenFinished(client.write(request), [&context, &client, done, old, newAddress,
                                                 timeout](const Reply &echo) {
                const auto *data = reinterpret_cast<const std::uint8_t *>(echo.bytes().data());
                const bool echoed =
                    echo.error() == Error::None ||
                    (echo.error() == Error::Foreign &&
                     protocol::checkAddressEcho(data, std::size_t(echo.bytes().size()), old));
                if (!echoed) {
                    if (echo.error() == Error::Foreign) {
                        printErr(QStringLiteral("address: the echo is not the request's: %1")
                                     .arg(hexBytes(echo.bytes())));
                        done(kExitFailed);
                        return;
                    }
                    done(failure(context, echo, old, QStringLiteral("address"), timeout));
                    return;
                }
                whenFinished(client.readStatus(newAddress), [&context, &client, done, old,
                                                             newAddress,
                                                             timeout](const Reply &atNew) {
                    if (atNew.error() != Error::None) {
                        done(failure(context, atNew, newAddress,
                                     QStringLiteral("address: proof at the new address"), timeout));
                        return;
                    }
                    whenFinished(client.readStatus(old), [&context, done, old, newAddress,
                                                          timeout](const Reply &atOld) {
                        if (atOld.error() == Error::Interrupted || atOld.error() == Error::Port) {
                            done(failure(context, atOld, old,
                                         QStringLiteral("address: proof at the old address"),
                                         timeout));
                            return;
                        }
                        if (atOld.error() != Error::Timeout) {
                            printErr(QStringLiteral("address: the old address %1 still answers")
                                         .arg(old));
                            done(kExitFailed);
                            return;
                        }
                        if (context.options.json) {
                            supply::JsonObject json;
                            json.number("old_address", old)
                                .number("address", newAddress)
                                .boolean("confirmed", true);
                            context.console.out(QString::fromUtf8(json.toJson()));
                        } else {
                            context.console.out(QStringLiteral("address %1 -> %2: the new "
                                                               "address answers, the old one "
                                                               "is silent")
                                                    .arg(old)
                                                    .arg(newAddress));
                        }
                        done(kExitOk);
                    });
                });
            });
        });
    });
}

} // namespace ctl
