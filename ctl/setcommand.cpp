#include "ctl/tool.h"

#include "ctl/commands.h"
#include "ctl/output.h"
#include "ctl/tool_p.h"
#include "records/format.h"
#include "records/operations.h"

#include <QStringList>

#include <memory>
#include <optional>
#include <vector>

namespace ctl {

Prepared prepareSet(const CommandLine &line, const CommonOptions &)
{
    const bool voltageGiven = line.isSet(QStringLiteral("voltage"));
    const bool currentGiven = line.isSet(QStringLiteral("current"));
    if (!voltageGiven && !currentGiven) {
        return Prepared::refused(QStringLiteral("set needs --voltage, --current or both"));
    }
    std::optional<std::uint16_t> voltageCode;
    std::optional<std::uint16_t> currentCode;
    if (voltageGiven) {
        const auto code = parseSetCode(line.value(QStringLiteral("voltage")), 2,
                                       kLargestVoltageCode, QStringLiteral("V"));
        if (!code) {
            return Prepared::refused(QStringLiteral("--voltage: ") + code.error());
        }
        voltageCode = *code;
    }
    if (currentGiven) {
        const auto code = parseSetCode(line.value(QStringLiteral("current")), 3,
                                       kLargestCurrentCode, QStringLiteral("A"));
        if (!code) {
            return Prepared::refused(QStringLiteral("--current: ") + code.error());
        }
        currentCode = *code;
    }
    return Prepared::run([voltageCode, currentCode](Context &context, Done done) {
        const std::uint8_t address = context.options.address;
        // Both values go out, then one read-back confirms both.
        std::vector<protocol::Frame> writes;
        QStringList names;
        if (voltageCode) {
            writes.push_back(
                records::writeRequest(address, records::Target::Voltage, *voltageCode));
            names << QStringLiteral("set voltage");
        }
        if (currentCode) {
            writes.push_back(
                records::writeRequest(address, records::Target::Current, *currentCode));
            names << QStringLiteral("set current");
        }
        const engine::Confirms confirms = [voltageCode,
                                           currentCode](const protocol::StatusReading &r) {
            return (!voltageCode || r.setVoltage == *voltageCode) &&
                   (!currentCode || r.setCurrent == *currentCode);
        };
        records::WriteCallbacks callbacks;
        callbacks.done = [&context, done, address, names, voltageCode,
                          currentCode](const records::WriteResult &result) {
            if (!result.readBack || (result.failure && !result.readBackDiffers())) {
                done(writeFailure(context, result, address, names));
                return;
            }
            const protocol::StatusReading &reading = *result.readBack;
            using records::fixedPoint;
            QStringList differences;
            if (voltageCode && reading.setVoltage != *voltageCode) {
                differences << QStringLiteral("the voltage set value reads %1 V, sent %2 V")
                                   .arg(fixedPoint(reading.setVoltage, 2),
                                        fixedPoint(*voltageCode, 2));
            }
            if (currentCode && reading.setCurrent != *currentCode) {
                differences << QStringLiteral("the current set value reads %1 A, sent %2 A")
                                   .arg(fixedPoint(reading.setCurrent, 3),
                                        fixedPoint(*currentCode, 3));
            }
            if (context.options.json) {
                records::JsonObject json;
                json.number("address", address);
                if (voltageCode) {
                    json.number("sent_v", records::voltsText(*voltageCode));
                } else {
                    json.null("sent_v");
                }
                if (currentCode) {
                    json.number("sent_a", records::ampsText(*currentCode));
                } else {
                    json.null("sent_a");
                }
                json.boolean("confirmed", differences.isEmpty())
                    .raw("reading", records::statusJson(address, reading).toJson());
                context.console.out(QString::fromUtf8(json.toJson()));
            } else {
                QStringList sent;
                if (voltageCode) {
                    sent << fixedPoint(*voltageCode, 2) + QStringLiteral(" V");
                }
                if (currentCode) {
                    sent << fixedPoint(*currentCode, 3) + QStringLiteral(" A");
                }
                context.console.out(QStringLiteral("sent ") + sent.join(QLatin1Char(' ')));
                context.console.out(statusText(reading));
            }
            if (!differences.isEmpty()) {
                printErr(QStringLiteral("read-back differs: ") +
                         differences.join(QStringLiteral("; ")));
                done(kExitFailed);
                return;
            }
            done(kExitOk);
        };
        // One attempt: a script that wants another asks again.
        (void)records::confirmedWrite(std::make_shared<records::ClientWritePath>(context.client),
                                      std::move(writes), confirms, std::move(callbacks), 1);
    });
}

} // namespace ctl
