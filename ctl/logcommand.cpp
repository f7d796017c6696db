#include "ctl/logcommand.h"

#include "ctl/commands.h"
#include "ctl/mqttlog.h"
#include "ctl/output.h"
#include "ctl/rowoptions.h"
#include "ctl/stopsignals.h"
#include "records/rowwriter.h"
#include "runs/logger.h"

#include <memory>

namespace ctl {

Prepared prepareLog(const CommandLine &line, const CommonOptions &common)
{
    const auto isSet = [&line](const char *name) { return line.isSet(QString::fromUtf8(name)); };
    const auto value = [&line](const char *name) { return line.value(QString::fromUtf8(name)); };
    runs::LogOptions log;
    log.addresses = {common.address};
    log.portName = common.port.name();
    if (isSet("addresses")) {
        const auto list = parseAddressList(value("addresses"));
        if (!list) {
            return Prepared::refused(QStringLiteral("--addresses: ") + list.error());
        }
        log.addresses = *list;
    }
    if (isSet("duration")) {
        const auto length = parseDuration(value("duration"));
        if (!length) {
            return Prepared::refused(QStringLiteral("--duration: ") + length.error());
        }
        log.duration = *length;
    }
    if (isSet("stop-below")) {
        const auto milliamps =
            parseSetCode(value("stop-below"), 3, kLargestCurrentCode, QStringLiteral("A"));
        if (!milliamps || *milliamps == 0) {
            return Prepared::refused(
                QStringLiteral("--stop-below: ") +
                (milliamps ? QStringLiteral("0 A never cuts off") : milliamps.error()));
        }
        log.stopBelowAmps = *milliamps / 1000.0;
    }
    log.offAtEnd = isSet("off-at-end");
    if (isSet("append") && isSet("overwrite")) {
        return Prepared::refused(QStringLiteral("--append and --overwrite exclude each other"));
    }
    if ((isSet("append") || isSet("overwrite")) && !isSet("output")) {
        return Prepared::refused(QStringLiteral("--%1 needs --output FILE")
                                     .arg(isSet("append") ? "append" : "overwrite"));
    }
    const auto existing = isSet("append")      ? records::RowWriter::Existing::Append
                          : isSet("overwrite") ? records::RowWriter::Existing::Overwrite
                                               : records::RowWriter::Existing::Refuse;
    RowOptions rows;
    const QString problem = readRowOptions(line, common, false, existing, &rows);
    if (!problem.isEmpty()) {
        return Prepared::refused(problem);
    }
    log.interval = rows.interval;
    auto action = [log, rows](Context &context, Done done) {
        RowSinks sinks;
        const QString refused = openRowSinks(rows, false, log.portName, log.addresses, &sinks);
        if (!refused.isEmpty()) {
            printErr(refused);
            done(kExitUsage);
            return;
        }
        auto writer = sinks.writer;
        auto publishing = sinks.publishing;
        auto *logger = new runs::Logger(context.client, log);
        logger->setPortKeeper(keepPort(context, log.portName, logger));
        if (publishing && rows.mqtt.control) {
            // The broker's all-off is the log's own, through its session.
            ControlWays ways;
            ways.allOff = [logger](std::function<void(const AllOffResult &)> done) {
                logger->allOff([done = std::move(done)](const engine::AllOffOutcome &outcome) {
                    AllOffResult all;
                    all.off.assign(outcome.off.begin(), outcome.off.end());
                    for (const auto &[address, why] : outcome.failed) {
                        all.failed.emplace_back(address, why.problem);
                    }
                    done(all);
                });
            };
            const QString why =
                publishing->startControl(context.client, log.addresses, logger, std::move(ways));
            if (!why.isEmpty()) {
                printErr(QStringLiteral("--mqtt-control: ") + why);
                publishing->finish();
                delete logger;
                done(kExitUsage);
                return;
            }
            QObject::connect(logger, &runs::Logger::ending, logger,
                             [publishing] { publishing->stopControl(); });
        }
        QObject::connect(
            logger, &runs::Logger::rowTaken, logger,
            [logger, writer, publishing](const records::Row &row) {
                const QString why = writer->write(row);
                if (!why.isEmpty()) {
                    printErr(QStringLiteral("cannot write a row to %1; the log ends").arg(why));
                    logger->writerFailed();
                }
                if (publishing) {
                    publishing->publish(row);
                }
            });
        QObject::connect(&context.stops, &StopSignals::stopRequested, logger, &runs::Logger::stop);
        QObject::connect(logger, &runs::Logger::message, logger, &printErr);
        QObject::connect(logger, &runs::Logger::finished, logger,
                         [logger, publishing, done](bool failed) {
                             const int code = failed ? kExitFailed : kExitOk;
                             if (publishing) {
                                 publishing->finish();
                             }
                             logger->deleteLater();
                             done(code);
                         });
        logger->start();
    };
    return Prepared::run(action, true, true);
}

} // namespace ctl
