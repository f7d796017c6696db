// vantelctl: the supply from a shell.

#include "ctl/commands.h"
#include "ctl/logger.h"
#include "ctl/mqttlog.h"
#include "ctl/platform.h"
#include "ctl/run.h"
#include "ctl/serve.h"
#include "ctl/stopsignals.h"
#include "ctl/tool.h"
#include "ctl/values.h"
#include "serial/makecommcontrol.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>

#include <cstdio>

namespace {

int runLog(ctl::Tool &tool, const ctl::LogOptions &options, ctl::RowWriter::Format format,
           const QString &path, ctl::RowWriter::Existing existing, const ctl::MqttOptions &mqtt,
           const QString &portName)
{
    ctl::RowWriter writer(format);
    QString error;
    if (!writer.open(path, existing, &error)) {
        ctl::printErr(QStringLiteral("cannot write %1: %2")
                          .arg(path.isEmpty() ? QStringLiteral("to stdout") : path, error));
        return ctl::kExitUsage;
    }
    ctl::LogOptions withPort = options;
    withPort.portName = portName;
    withPort.portLostReason = [&tool] { return tool.portLostReason(); };
    ctl::Logger logger(tool.link(), withPort);
    QObject::connect(&logger, &ctl::Logger::readingTaken, &logger, [&](const ctl::LogRow &row) {
        if (!writer.write(row)) {
            ctl::printErr(
                QStringLiteral("cannot write a row to %1: %2; the log ends")
                    .arg(path.isEmpty() ? QStringLiteral("stdout") : path, writer.errorString()));
            logger.writerFailed();
        }
    });
    std::unique_ptr<ctl::MqttLog> publishing;
    if (!mqtt.url.isEmpty()) {
        publishing = ctl::MqttLog::start(mqtt, portName, options.addresses, logger, &error);
        if (!publishing) {
            ctl::printErr(QStringLiteral("--mqtt: ") + error);
            return ctl::kExitUsage;
        }
    }
    const int code = logger.run();
    if (publishing) {
        publishing->finish();
    }
    return code;
}

// Reads and checks a sequence file (`-`: stdin); nullopt after saying
// FILE:LINE: what is wrong.
std::optional<supply::Sequence> readSequence(const QString &path)
{
    constexpr qint64 kLargestFile = 16 * 1024 * 1024;
    QFile file;
    const bool opened = path == QLatin1String("-")
                            ? file.open(stdin, QIODevice::ReadOnly)
                            : (file.setFileName(path), file.open(QIODevice::ReadOnly));
    const QString name = path == QLatin1String("-") ? QStringLiteral("stdin") : path;
    if (!opened) {
        ctl::printErr(QStringLiteral("%1: %2").arg(name, file.errorString()));
        return std::nullopt;
    }
    const QByteArray bytes = file.read(kLargestFile + 1);
    if (bytes.size() > kLargestFile) {
        ctl::printErr(QStringLiteral("%1: larger than 16 MiB; not a sequence file").arg(name));
        return std::nullopt;
    }
    const supply::ParsedSequence parsed =
        supply::parseSequence(std::string_view(bytes.constData(), std::size_t(bytes.size())));
    if (parsed.error) {
        std::fputs(qPrintable(QStringLiteral("%1:%2: %3\n")
                                  .arg(name)
                                  .arg(parsed.error->line)
                                  .arg(QString::fromStdString(parsed.error->message))),
                   stderr);
        return std::nullopt;
    }
    return parsed.sequence;
}

int runSequence(ctl::Tool &tool, const supply::Sequence &sequence, const ctl::RunOptions &options,
                ctl::RowWriter::Format format, const QString &path, ctl::StopSignals &stops)
{
    ctl::RowWriter writer(format, true);
    QString error;
    if (!writer.open(path, ctl::RowWriter::Existing::Refuse, &error)) {
        ctl::printErr(QStringLiteral("cannot write %1: %2")
                          .arg(path.isEmpty() ? QStringLiteral("to stdout") : path, error));
        return ctl::kExitUsage;
    }
    ctl::Runner runner(tool.link(), sequence, options);
    bool writing = true;
    QObject::connect(&runner, &ctl::Runner::readingTaken, &runner, [&](const ctl::LogRow &row) {
        if (writing && !writer.write(row)) {
            writing = false;
            ctl::printErr(QStringLiteral("cannot write a row; the run aborts"));
            runner.writerFailed();
        }
    });
    QObject::connect(&stops, &ctl::StopSignals::stopRequested, &runner, &ctl::Runner::stop);
    return runner.run();
}

int usageError(const QString &message)
{
    ctl::printErr(message + QStringLiteral(" (see vantelctl --help)"));
    return ctl::kExitUsage;
}

} // namespace

int main(int argc, char **argv)
{
    if (ctl::stdoutWasClosed()) {
        ctl::outputClosed();
    }
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("vantelctl"));
    QCoreApplication::setApplicationVersion(QStringLiteral(VANTEL_VERSION));

    const ctl::CommandLine line(QCoreApplication::arguments());
    switch (line.outcome()) {
    case ctl::CommandLine::Outcome::Help:
        std::fputs(qPrintable(line.text()), stdout);
        return ctl::kExitOk;
    case ctl::CommandLine::Outcome::Version:
        std::printf("vantelctl %s\n", VANTEL_VERSION);
        return ctl::kExitOk;
    case ctl::CommandLine::Outcome::Refused:
        ctl::printErr(line.text());
        return ctl::kExitUsage;
    case ctl::CommandLine::Outcome::Run:
        break;
    }
    const QString name = line.command()->name;
    const QStringList arguments = line.arguments();
    const auto isSet = [&line](const char *option) {
        return line.isSet(QString::fromUtf8(option));
    };
    const auto value = [&line](const char *option) {
        return line.value(QString::fromUtf8(option));
    };

    ctl::CommonOptions common;
    common.json = isSet("json");
    const auto portChoice = ctl::parsePort(value("port"));
    const auto addressValue = ctl::parseAddress(value("address"));
    const auto timeoutValue = ctl::parseWhole(value("timeout"), 1, 60000);
    if (!portChoice || !addressValue || !timeoutValue) {
        return usageError(!portChoice     ? portChoice.error
                          : !addressValue ? addressValue.error
                                          : QStringLiteral("--timeout: ") + timeoutValue.error);
    }
    common.port = *portChoice;
    common.address = *addressValue;
    common.timeout = ctl::milliseconds(*timeoutValue);
    common.timeoutGiven = isSet("timeout");
    common.echo = isSet("echo");
    common.first = isSet("first");

    // Everything is checked before the port opens, so a refusal sends nothing.
    std::function<int(ctl::Tool &)> run;
    if (name == QLatin1String("ports")) {
        run = [](ctl::Tool &tool) { return tool.ports(); };
    } else if (name == QLatin1String("scan")) {
        const auto first = ctl::parseAddress(value("from"));
        const auto last = ctl::parseAddress(value("to"));
        if (!first || !last || *last < *first) {
            return usageError(!first  ? QStringLiteral("--from: ") + first.error
                              : !last ? QStringLiteral("--to: ") + last.error
                                      : QStringLiteral("--to is below --from"));
        }
        run = [a = *first, b = *last](ctl::Tool &tool) { return tool.scan(a, b); };
    } else if (name == QLatin1String("read")) {
        run = [](ctl::Tool &tool) { return tool.read(); };
    } else if (name == QLatin1String("set")) {
        std::optional<std::uint16_t> voltageCode;
        std::optional<std::uint16_t> currentCode;
        if (!isSet("voltage") && !isSet("current")) {
            return usageError(QStringLiteral("set needs --voltage, --current or both"));
        }
        if (isSet("voltage")) {
            const auto code = ctl::parseSetCode(value("voltage"), 2, ctl::kLargestVoltageCode,
                                                QStringLiteral("V"));
            if (!code) {
                return usageError(QStringLiteral("--voltage: ") + code.error);
            }
            voltageCode = *code;
        }
        if (isSet("current")) {
            const auto code = ctl::parseSetCode(value("current"), 3, ctl::kLargestCurrentCode,
                                                QStringLiteral("A"));
            if (!code) {
                return usageError(QStringLiteral("--current: ") + code.error);
            }
            currentCode = *code;
        }
        run = [voltageCode, currentCode](ctl::Tool &tool) {
            return tool.set(voltageCode, currentCode);
        };
    } else if (name == QLatin1String("output")) {
        const QString state = arguments.front();
        if (state != QLatin1String("on") && state != QLatin1String("off")) {
            return usageError(QStringLiteral("output takes on or off, not '%1'").arg(state));
        }
        run = [on = state == QLatin1String("on")](ctl::Tool &tool) { return tool.output(on); };
    } else if (name == QLatin1String("address")) {
        const auto next = ctl::parseAddress(arguments.front());
        if (!next) {
            const bool broadcast = arguments.front().trimmed() == QLatin1String("0");
            return usageError(QStringLiteral("address NEW: ") + next.error +
                              (broadcast ? QStringLiteral(" (0 is the broadcast address, which "
                                                          "no supply answers)")
                                         : QString()));
        }
        if (*next == common.address) {
            return usageError(QStringLiteral("the supply is at address %1 already").arg(*next));
        }
        run = [n = *next](ctl::Tool &tool) { return tool.address(n); };
    } else if (name == QLatin1String("log")) {
        ctl::LogOptions log;
        log.addresses = {common.address};
        if (isSet("addresses")) {
            const auto list = ctl::parseAddressList(value("addresses"));
            if (!list) {
                return usageError(QStringLiteral("--addresses: ") + list.error);
            }
            log.addresses = *list;
        }
        const auto period = ctl::parseWhole(value("interval"), 1, 3600 * 1000);
        if (!period) {
            return usageError(QStringLiteral("--interval: ") + period.error);
        }
        log.interval = ctl::milliseconds(*period);
        if (isSet("duration")) {
            const auto length = ctl::parseDuration(value("duration"));
            if (!length) {
                return usageError(QStringLiteral("--duration: ") + length.error);
            }
            log.duration = *length;
        }
        if (isSet("stop-below")) {
            const auto milliamps = ctl::parseSetCode(value("stop-below"), 3,
                                                     ctl::kLargestCurrentCode, QStringLiteral("A"));
            if (!milliamps || *milliamps == 0) {
                return usageError(
                    QStringLiteral("--stop-below: ") +
                    (milliamps ? QStringLiteral("0 A never cuts off") : milliamps.error));
            }
            log.stopBelowAmps = *milliamps / 1000.0;
        }
        log.offAtEnd = isSet("off-at-end");
        const QString formatName = value("format");
        if (formatName != QLatin1String("csv") && formatName != QLatin1String("jsonl")) {
            return usageError(
                QStringLiteral("--format takes csv or jsonl, not '%1'").arg(formatName));
        }
        const auto rowFormat = formatName == QLatin1String("csv") ? ctl::RowWriter::Format::Csv
                                                                  : ctl::RowWriter::Format::Jsonl;
        ctl::MqttOptions publishing;
        publishing.url = value("mqtt");
        publishing.topic = value("mqtt-topic");
        publishing.caFile = value("mqtt-cafile");
        publishing.queue = value("mqtt-queue");
        publishing.discovery = isSet("mqtt-discovery");
        const bool mqttOption = isSet("mqtt-topic") || isSet("mqtt-cafile") ||
                                isSet("mqtt-queue") || isSet("mqtt-discovery");
        if (mqttOption && !isSet("mqtt")) {
            return usageError(QStringLiteral("the --mqtt-... options need --mqtt URL"));
        }
        if (isSet("mqtt")) {
            const QString problem = ctl::MqttLog::check(publishing);
            if (!problem.isEmpty()) {
                return usageError(problem);
            }
        }
        if (isSet("append") && isSet("overwrite")) {
            return usageError(QStringLiteral("--append and --overwrite exclude each other"));
        }
        if ((isSet("append") || isSet("overwrite")) && !isSet("output")) {
            return usageError(QStringLiteral("--%1 needs --output FILE")
                                  .arg(isSet("append") ? "append" : "overwrite"));
        }
        const auto existing = isSet("append")      ? ctl::RowWriter::Existing::Append
                              : isSet("overwrite") ? ctl::RowWriter::Existing::Overwrite
                                                   : ctl::RowWriter::Existing::Refuse;
        const QString refusal = ctl::RowWriter::refusal(value("output"), rowFormat, existing);
        if (!refusal.isEmpty()) {
            return usageError(refusal);
        }
        run = [log, rowFormat, path = value("output"), existing, publishing,
               portName = common.port.name()](ctl::Tool &tool) {
            return runLog(tool, log, rowFormat, path, existing, publishing, portName);
        };
    }

    ctl::StopSignals stops;
    if (name == QLatin1String("run")) {
        const auto sequence = readSequence(arguments.front());
        if (!sequence) {
            return ctl::kExitUsage;
        }
        if (isSet("check")) {
            for (const std::string &planLine : sequence->plan()) {
                ctl::printOut(QString::fromStdString(planLine));
            }
            return ctl::kExitOk;
        }
        const QString formatName = value("format");
        if (formatName != QLatin1String("csv") && formatName != QLatin1String("jsonl")) {
            return usageError(
                QStringLiteral("--format takes csv or jsonl, not '%1'").arg(formatName));
        }
        const QString abortChoice = value("on-abort");
        if (abortChoice != QLatin1String("off") && abortChoice != QLatin1String("keep")) {
            return usageError(
                QStringLiteral("--on-abort takes off or keep, not '%1'").arg(abortChoice));
        }
        const auto period = ctl::parseWhole(value("interval"), 1, 3600 * 1000);
        if (!period) {
            return usageError(QStringLiteral("--interval: ") + period.error);
        }
        ctl::RunOptions options;
        options.address = common.address;
        options.interval = ctl::milliseconds(*period);
        options.keepOnAbort = abortChoice == QLatin1String("keep");
        const auto rowFormat = formatName == QLatin1String("csv") ? ctl::RowWriter::Format::Csv
                                                                  : ctl::RowWriter::Format::Jsonl;
        // A run never writes over an earlier run's rows.
        if (!value("output").isEmpty() && QFileInfo(value("output")).size() > 0) {
            return usageError(QStringLiteral("%1 holds data already; remove it or give another "
                                             "--output")
                                  .arg(value("output")));
        }
        run = [sequence = *sequence, options, rowFormat, path = value("output"),
               &stops](ctl::Tool &tool) {
            return runSequence(tool, sequence, options, rowFormat, path, stops);
        };
    }
    const auto comm = serial::makeCommControl();
    if (name == QLatin1String("serve")) {
        const auto options =
            ctl::parseServeOptions(value("listen"), value("allow"), value("max-clients"),
                                   value("idle-timeout"), isSet("off-at-end"));
        const auto list = isSet("addresses")
                              ? ctl::parseAddressList(value("addresses"))
                              : ctl::Parsed<std::vector<std::uint8_t>>{{{common.address}}, {}};
        if (!options || !list) {
            return usageError(!options ? options.error
                                       : QStringLiteral("--addresses: ") + list.error);
        }
        const ctl::ServeTarget target{common.port.name(), *list, common.timeout, common.echo};
        run = [&comm, target, options = *options, &stops](ctl::Tool &) {
            return ctl::serve(*comm, target, options, stops);
        };
    }
    ctl::Tool tool(*comm, common);
    if (name != QLatin1String("run")) {
        // A run takes its stops itself, so that a second one cannot cut the
        // switching off short.
        QObject::connect(&stops, &ctl::StopSignals::stopRequested, &tool.link(),
                         &ctl::Link::interrupt);
    }
    int code = ctl::kExitOk;
    if (name != QLatin1String("ports")) {
        code = tool.open();
    }
    if (code == ctl::kExitOk) {
        code = run(tool);
    }
    if (name == QLatin1String("log") || name == QLatin1String("run") ||
        name == QLatin1String("serve")) {
        // A log ended by a signal has done what was asked of it; a run has
        // switched off and chosen its exit code.
    } else if (tool.link().interrupted() || stops.received() != 0) {
        ctl::printErr(QStringLiteral("interrupted"));
        code = stops.exitCode();
    }
    if (comm->PortOpen()) {
        comm->setPortOpen(false);
    }
    // A log and a run write their rows themselves and say when one fails.
    if (!ctl::outputError().isEmpty() && name != QLatin1String("log") &&
        name != QLatin1String("run")) {
        ctl::printErr(QStringLiteral("cannot write to stdout: ") + ctl::outputError());
        code = code == ctl::kExitOk ? ctl::kExitFailed : code;
    }
    return code;
}
