#include "ctl/run.h"

#include "ctl/commands.h"
#include "ctl/mqttlog.h"
#include "ctl/output.h"
#include "ctl/platform.h"
#include "ctl/rowoptions.h"
#include "ctl/stopsignals.h"
#include "records/rowwriter.h"
#include "runs/logger.h"
#include "runs/scheduledline.h"
#include "sequence/sequence.h"

#include <QCoreApplication>
#include <QFile>

#include <cmath>
#include <cstdio>
#include <memory>

namespace ctl {

namespace {

// The file's limit holds for every program on the line while the run goes: a
// write above it from any of them is refused. The source, to release them.
int holdLimits(engine::Client &client, std::uint8_t address, const sequence::SequenceLimits &limits)
{
    engine::CeilingRegistry &ceilings = client.ceilings();
    const int source = ceilings.addSource(true);
    const auto pid = static_cast<std::uint32_t>(QCoreApplication::applicationPid());
    const auto hold = [&](engine::CeilingKind kind, int value) {
        ceilings.hold(source, address, kind, value, "vantelctl run", pid);
    };
    if (limits.voltage) {
        hold(engine::CeilingKind::Voltage, *limits.voltage);
    }
    if (limits.current) {
        hold(engine::CeilingKind::Current, *limits.current);
    }
    if (limits.watts) {
        hold(engine::CeilingKind::Power, static_cast<int>(std::lround(*limits.watts * 100)));
    }
    return source;
}

// Reads and checks a sequence file (`-`: stdin); nullopt after saying
// FILE:LINE: what is wrong.
std::optional<sequence::Sequence> readSequence(const QString &path)
{
    constexpr qint64 kLargestFile = 16 * 1024 * 1024;
    QFile file;
    const bool fromStdin = path == QLatin1String("-");
    const bool opened = fromStdin ? file.open(stdin, QIODevice::ReadOnly)
                                  : (file.setFileName(path), file.open(QIODevice::ReadOnly));
    const QString name = fromStdin ? QStringLiteral("stdin") : path;
    if (!opened) {
        printErr(QStringLiteral("%1: %2").arg(name, file.errorString()));
        return std::nullopt;
    }
    const QByteArray bytes = file.read(kLargestFile + 1);
    if (bytes.size() > kLargestFile) {
        printErr(QStringLiteral("%1: larger than 16 MiB; not a sequence file").arg(name));
        return std::nullopt;
    }
    const sequence::ParsedSequence parsed =
        sequence::parseSequenceFile(std::string_view(bytes.constData(), std::size_t(bytes.size())));
    if (parsed.error) {
        writeText(stderr, QStringLiteral("%1:%2: %3\n")
                              .arg(name)
                              .arg(parsed.error->line)
                              .arg(QString::fromStdString(parsed.error->message)));
        return std::nullopt;
    }
    return parsed.sequence;
}

int exitCode(const runs::RunEnd &end, int signalNumber)
{
    if (end.output == runs::RunEnd::Output::MayBeOn) {
        return kExitFailed;
    }
    switch (end.how) {
    case runs::RunEnd::How::Completed:
        return kExitOk;
    case runs::RunEnd::How::Stopped:
        return 128 + signalNumber;
    case runs::RunEnd::How::Aborted:
        break;
    }
    return kExitFailed;
}

} // namespace

Prepared prepareRun(const CommandLine &line, const CommonOptions &common)
{
    const QString abortChoice = line.value(QStringLiteral("on-abort"));
    if (abortChoice != QLatin1String("off") && abortChoice != QLatin1String("keep")) {
        return Prepared::refused(
            QStringLiteral("--on-abort takes off or keep, not '%1'").arg(abortChoice));
    }
    const bool check = line.isSet(QStringLiteral("check"));
    if (check && common.json) {
        return Prepared::refused(
            QStringLiteral("run --check prints its plan as text; --json is not taken with it"));
    }
    RowOptions rows;
    if (!check) {
        const QString problem =
            readRowOptions(line, common, true, records::RowWriter::Existing::Refuse, &rows);
        if (!problem.isEmpty()) {
            return Prepared::refused(problem);
        }
    }
    const auto sequence = readSequence(line.arguments().value(0));
    if (!sequence) {
        Prepared refused;
        refused.exitCode = kExitUsage; // said already, as FILE:LINE: what
        return refused;
    }
    // What the file asks that the run may not do as written, at this interval.
    const auto interval = parseWhole(line.value(QStringLiteral("interval")), 1, 3600 * 1000);
    const QString name = line.arguments().value(0) == QLatin1String("-")
                             ? QStringLiteral("stdin")
                             : line.arguments().value(0);
    for (const sequence::SequenceWarning &warning :
         sequence->warnings(interval ? *interval : rows.interval.count())) {
        writeText(stderr, QStringLiteral("%1:%2: warning: %3\n")
                              .arg(name)
                              .arg(warning.line)
                              .arg(QString::fromStdString(warning.message)));
    }
    if (check) {
        return Prepared::run(
            [plan = sequence->plan()](Context &context, Done done) {
                for (const std::string &planLine : plan) {
                    context.console.out(QString::fromStdString(planLine));
                }
                done(kExitOk);
            },
            false);
    }
    runs::RunOptions options;
    options.address = common.address;
    options.keepOnAbort = abortChoice == QLatin1String("keep");
    auto shared = std::make_shared<const sequence::Sequence>(*sequence);
    auto action = [shared, options, rows, portName = common.port.name()](Context &context,
                                                                         Done done) {
        RowSinks sinks;
        const QString refused = openRowSinks(rows, true, portName, {options.address}, &sinks);
        if (!refused.isEmpty()) {
            printErr(refused);
            done(kExitUsage);
            return;
        }
        auto writer = sinks.writer;
        auto publishing = sinks.publishing;
        auto *line = new runs::ScheduledRunLine(context.client, options.address, rows.interval);
        auto *keeper = keepPort(context, portName, line);
        line->setPortKeeper(keeper);
        auto *runner = new runs::Runner(*line, *shared, options, line);
        QObject::connect(runner, &runs::Runner::message, runner, &printErr);
        QObject::connect(runner, &runs::Runner::rowTaken, runner,
                         [runner, writer, publishing](const records::Row &row) {
                             const QString why = writer->write(row);
                             if (!why.isEmpty()) {
                                 printErr(QStringLiteral("cannot write a row to %1; the run "
                                                         "aborts")
                                              .arg(why));
                                 runner->fail(
                                     QStringLiteral("a row could not be written to %1").arg(why));
                                 return;
                             }
                             if (publishing) {
                                 publishing->publish(row);
                             }
                         });
        QObject::connect(&context.stops, &StopSignals::stopRequested, runner,
                         [runner] { runner->stop(QStringLiteral("stopped by a signal")); });
        const int ceilings = holdLimits(context.client, options.address, shared->limits);
        QObject::connect(
            runner, &runs::Runner::finished, runner,
            [&context, line, keeper, shared, publishing, done, ceilings](const runs::RunEnd &end) {
                context.client.ceilings().dropSource(ceilings);
                if (end.output == runs::RunEnd::Output::LeftAsIs) {
                    printErr(QStringLiteral("the output is left as it is (--on-abort keep)"));
                }
                for (const QString &text : runs::linkSummary(context.client.stats())) {
                    printErr(text);
                }
                if (keeper->losses() > 0) {
                    printErr(keeper->summary());
                }
                if (publishing) {
                    publishing->finish();
                }
                line->deleteLater();
                done(exitCode(end, context.stops.received()));
            });
        runner->start();
    };
    return Prepared::run(action, true, true);
}

} // namespace ctl
