// vantelctl: the supply from a shell.

#include "ctl/logger.h"
#include "ctl/mqttlog.h"
#include "ctl/run.h"
#include "ctl/stopsignals.h"
#include "ctl/tool.h"
#include "ctl/values.h"
#include "serial/makecommcontrol.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QMap>
#include <QSet>

#include <cstdio>

namespace {

const char *const kDescription =
    R"(Reads and sets a 60 V / 3 A bench supply on a Modbus RTU line (9600 8N1).

Commands:
  ports                       list the COM ports (COM1..COM16 on Linux, every one
                              Windows knows on Windows): device, state (free,
                              in use, no access, absent) and description
  scan [--from N] [--to N]    find the addresses that answer (default 1..247)
  read                        one status reading
  set [--voltage V] [--current A]
                              write set values (0..62.00 V, 0..3.200 A, rounded
                              to 10 mV and 1 mA), confirmed by echo and read-back
  output on|off               switch the output, confirmed by echo and read-back
  address NEW                 give the supply at --address the address NEW
                              (1..247), proven by reads at both addresses
  log [--addresses LIST] [--interval MS] [--duration D] [--format csv|jsonl]
      [--output FILE] [--stop-below A] [--off-at-end]
      [--mqtt URL] [--mqtt-topic PREFIX] [--mqtt-discovery]
      [--mqtt-cafile FILE] [--mqtt-queue N]
                              one row per reading, written as it is read, with
                              Ah and Wh per address; ends after D (90s, 10m, 2h),
                              on Ctrl-C or SIGTERM, or once --stop-below has
                              switched every output off; a link summary at the end.
                              With --mqtt every row is also published to an MQTT
                              broker (mqtt://[USER@]HOST[:PORT] or mqtts://...;
                              the password from VANTEL_MQTT_PASSWORD) under
                              PREFIX/<address>/reading, PREFIX/status online or
                              offline; a broker problem never stops the log
  run FILE [--check] [--on-abort off|keep] [--interval MS] [--format csv|jsonl]
      [--output FILE]
                              run the sequence in FILE (- for stdin), checked
                              whole before the port opens; rows as log writes
                              them plus step and point; on an abort the output
                              is switched off, confirmed. --check prints the
                              plan and the longest duration and sends nothing

Data goes to stdout, messages to stderr.
Exit status: 0 done and confirmed; 1 no answer, an exception reply or a
read-back that differs; 2 bad usage or a refused value (nothing sent);
3 the port cannot be opened; 130 interrupted (143 on SIGTERM). A log exits 0
when it ends by its duration, a signal or the cut-off, 1 when the port fails
during it. A run exits 0 completed, 1 aborted by a fault, a limit or a max (or
an output not confirmed off), 2 for a bad file, 130 / 143 after a signal.

Examples:
  vantelctl ports
  vantelctl --port /dev/ttyUSB0 scan
  vantelctl --address 3 set --voltage 12.6 --current 1.5
  vantelctl --json read
  vantelctl log --addresses 1-3 --duration 2h --output run.csv)";

struct Command {
    QStringList options; // the options of its own it takes
    int minArgs;
    int maxArgs;
    const char *usage;
};

const QMap<QString, Command> &commands()
{
    static const QMap<QString, Command> table{
        {QStringLiteral("ports"), {{}, 0, 0, "ports"}},
        {QStringLiteral("scan"),
         {{QStringLiteral("from"), QStringLiteral("to")}, 0, 0, "scan [--from N] [--to N]"}},
        {QStringLiteral("read"), {{}, 0, 0, "read"}},
        {QStringLiteral("set"),
         {{QStringLiteral("voltage"), QStringLiteral("current")},
          0,
          0,
          "set [--voltage V] [--current A]"}},
        {QStringLiteral("output"), {{}, 1, 1, "output on|off"}},
        {QStringLiteral("address"), {{}, 1, 1, "address NEW"}},
        {QStringLiteral("log"),
         {{QStringLiteral("addresses"), QStringLiteral("interval"), QStringLiteral("duration"),
           QStringLiteral("format"), QStringLiteral("output"), QStringLiteral("stop-below"),
           QStringLiteral("off-at-end"), QStringLiteral("mqtt"), QStringLiteral("mqtt-topic"),
           QStringLiteral("mqtt-discovery"), QStringLiteral("mqtt-cafile"),
           QStringLiteral("mqtt-queue")},
          0,
          0,
          "log [--addresses LIST] [--interval MS] [--duration D] [--format csv|jsonl] "
          "[--output FILE] [--stop-below A] [--off-at-end] [--mqtt URL] [--mqtt-topic PREFIX] "
          "[--mqtt-discovery] [--mqtt-cafile FILE] [--mqtt-queue N]"}},
        {QStringLiteral("run"),
         {{QStringLiteral("check"), QStringLiteral("on-abort"), QStringLiteral("interval"),
           QStringLiteral("format"), QStringLiteral("output")},
          1,
          1,
          "run FILE [--check] [--on-abort off|keep] [--interval MS] [--format csv|jsonl] "
          "[--output FILE]"}},
    };
    return table;
}

int runLog(ctl::Tool &tool, const ctl::LogOptions &options, ctl::RowWriter::Format format,
           const QString &path, const ctl::MqttOptions &mqtt, const QString &portName)
{
    ctl::RowWriter writer(format);
    QString error;
    if (!writer.open(path, &error)) {
        ctl::printErr(QStringLiteral("cannot write %1: %2")
                          .arg(path.isEmpty() ? QStringLiteral("to stdout") : path, error));
        return ctl::kExitUsage;
    }
    ctl::Logger logger(tool.link(), options);
    QObject::connect(&logger, &ctl::Logger::readingTaken, &logger, [&](const ctl::LogRow &row) {
        if (!writer.write(row)) {
            ctl::printErr(QStringLiteral("cannot write a row; the log ends"));
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
std::optional<protocol::Sequence> readSequence(const QString &path)
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
    const protocol::ParsedSequence parsed =
        protocol::parseSequence(std::string_view(bytes.constData(), std::size_t(bytes.size())));
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

int runSequence(ctl::Tool &tool, const protocol::Sequence &sequence, const ctl::RunOptions &options,
                ctl::RowWriter::Format format, const QString &path, ctl::StopSignals &stops)
{
    ctl::RowWriter writer(format, true);
    QString error;
    if (!writer.open(path, &error)) {
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
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("vantelctl"));
    QCoreApplication::setApplicationVersion(QStringLiteral(VANTEL_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(QString::fromUtf8(kDescription));
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Show this help."));
    const QCommandLineOption version(QStringLiteral("version"),
                                     QStringLiteral("Show the version."));
    const QCommandLineOption port(
        {QStringLiteral("p"), QStringLiteral("port")},
        QStringLiteral("COMn (named as the windows name ports) or a device path. Default COM1."),
        QStringLiteral("P"), QStringLiteral("COM1"));
    const QCommandLineOption address({QStringLiteral("a"), QStringLiteral("address")},
                                     QStringLiteral("Slave address 1..247. Default 1."),
                                     QStringLiteral("N"), QStringLiteral("1"));
    const QCommandLineOption timeout(
        {QStringLiteral("t"), QStringLiteral("timeout")},
        QStringLiteral("Wait for one reply, in milliseconds. Default 200."), QStringLiteral("MS"),
        QStringLiteral("200"));
    const QCommandLineOption json(QStringLiteral("json"),
                                  QStringLiteral("Print data as JSON, one object a line."));
    const QCommandLineOption from(QStringLiteral("from"),
                                  QStringLiteral("scan: first address. Default 1."),
                                  QStringLiteral("N"), QStringLiteral("1"));
    const QCommandLineOption to(QStringLiteral("to"),
                                QStringLiteral("scan: last address. Default 247."),
                                QStringLiteral("N"), QStringLiteral("247"));
    const QCommandLineOption voltage(QStringLiteral("voltage"),
                                     QStringLiteral("set: voltage set value in volts."),
                                     QStringLiteral("V"));
    const QCommandLineOption current(QStringLiteral("current"),
                                     QStringLiteral("set: current set value in amperes."),
                                     QStringLiteral("A"));
    const QCommandLineOption addresses(
        QStringLiteral("addresses"),
        QStringLiteral("log: addresses to read each round, such as 1,3,5-7. Default --address."),
        QStringLiteral("LIST"));
    const QCommandLineOption interval(
        QStringLiteral("interval"),
        QStringLiteral("log: period of one round over all addresses. Default 350."),
        QStringLiteral("MS"), QStringLiteral("350"));
    const QCommandLineOption duration(
        QStringLiteral("duration"),
        QStringLiteral("log: how long to log (90s, 10m, 2h). Default until stopped."),
        QStringLiteral("D"));
    const QCommandLineOption format(QStringLiteral("format"),
                                    QStringLiteral("log: csv or jsonl. Default csv."),
                                    QStringLiteral("F"), QStringLiteral("csv"));
    const QCommandLineOption output(QStringLiteral("output"),
                                    QStringLiteral("log: write rows to FILE, not stdout."),
                                    QStringLiteral("FILE"));
    const QCommandLineOption stopBelow(
        QStringLiteral("stop-below"),
        QStringLiteral("log: switch an output off after three readings in a row with the output "
                       "on and less than A amperes; end once every output is off."),
        QStringLiteral("A"));
    const QCommandLineOption offAtEnd(
        QStringLiteral("off-at-end"),
        QStringLiteral("log: switch every output off, confirmed, when the log ends."));
    const QCommandLineOption mqtt(
        QStringLiteral("mqtt"),
        QStringLiteral("log: also publish every row to the MQTT broker at URL "
                       "(mqtt://[USER@]HOST[:PORT] or mqtts://...; password from "
                       "VANTEL_MQTT_PASSWORD)."),
        QStringLiteral("URL"));
    const QCommandLineOption mqttTopic(
        QStringLiteral("mqtt-topic"),
        QStringLiteral("log: topic prefix. Default vantel/<host name>/<port name>."),
        QStringLiteral("PREFIX"));
    const QCommandLineOption mqttDiscovery(
        QStringLiteral("mqtt-discovery"),
        QStringLiteral("log: also publish Home Assistant discovery configs."));
    const QCommandLineOption mqttCaFile(
        QStringLiteral("mqtt-cafile"),
        QStringLiteral("log: trust this CA file for mqtts:// instead of the system's."),
        QStringLiteral("FILE"));
    const QCommandLineOption mqttQueue(
        QStringLiteral("mqtt-queue"),
        QStringLiteral("log: readings kept while the broker is away; the oldest go first. "
                       "Default 10000."),
        QStringLiteral("N"));
    const QCommandLineOption check(
        QStringLiteral("check"),
        QStringLiteral("run: only check the file and print the plan; nothing is sent."));
    const QCommandLineOption onAbort(
        QStringLiteral("on-abort"),
        QStringLiteral("run: off (switch the output off, confirmed, when the run aborts) or keep. "
                       "Default off."),
        QStringLiteral("WHAT"), QStringLiteral("off"));
    parser.addOptions(
        {help,     version, port,      address,       timeout,    json,      from,   to,
         voltage,  current, addresses, interval,      duration,   format,    output, stopBelow,
         offAtEnd, mqtt,    mqttTopic, mqttDiscovery, mqttCaFile, mqttQueue, check,  onAbort});
    parser.addPositionalArgument(QStringLiteral("command"),
                                 QStringLiteral("ports, scan, read, set, output, address or log."),
                                 QStringLiteral("COMMAND [ARGS]"));

    if (!parser.parse(QCoreApplication::arguments())) {
        return usageError(parser.errorText());
    }
    if (parser.isSet(help)) {
        std::fputs(qPrintable(parser.helpText()), stdout);
        return ctl::kExitOk;
    }
    if (parser.isSet(version)) {
        std::printf("vantelctl %s\n", VANTEL_VERSION);
        return ctl::kExitOk;
    }

    QStringList arguments = parser.positionalArguments();
    if (arguments.isEmpty()) {
        return usageError(QStringLiteral("no command given"));
    }
    const QString name = arguments.takeFirst();
    const auto found = commands().constFind(name);
    if (found == commands().constEnd()) {
        return usageError(QStringLiteral("unknown command '%1'").arg(name));
    }
    const Command &command = *found;
    if (arguments.size() < command.minArgs || arguments.size() > command.maxArgs) {
        return usageError(QStringLiteral("usage: vantelctl [options] %1").arg(command.usage));
    }
    static const QSet<QString> commandOptions{
        QStringLiteral("from"),    QStringLiteral("to"),    QStringLiteral("voltage"),
        QStringLiteral("current"), QStringLiteral("check"), QStringLiteral("on-abort")};
    for (const QString &option : parser.optionNames()) {
        const QString longName = option == QLatin1String("p")   ? QStringLiteral("port")
                                 : option == QLatin1String("a") ? QStringLiteral("address")
                                 : option == QLatin1String("t") ? QStringLiteral("timeout")
                                                                : option;
        if (commandOptions.contains(longName) && !command.options.contains(longName)) {
            return usageError(QStringLiteral("%1 does not take --%2").arg(name, longName));
        }
    }

    ctl::CommonOptions common;
    common.json = parser.isSet(json);
    const auto portChoice = ctl::parsePort(parser.value(port));
    const auto addressValue = ctl::parseAddress(parser.value(address));
    const auto timeoutValue = ctl::parseWhole(parser.value(timeout), 1, 60000);
    if (!portChoice || !addressValue || !timeoutValue) {
        return usageError(!portChoice     ? portChoice.error
                          : !addressValue ? addressValue.error
                                          : QStringLiteral("--timeout: ") + timeoutValue.error);
    }
    common.port = *portChoice;
    common.address = *addressValue;
    common.timeout = ctl::milliseconds(*timeoutValue);

    // Everything is checked before the port opens, so a refusal sends nothing.
    std::function<int(ctl::Tool &)> run;
    if (name == QLatin1String("ports")) {
        run = [](ctl::Tool &tool) { return tool.ports(); };
    } else if (name == QLatin1String("scan")) {
        const auto first = ctl::parseAddress(parser.value(from));
        const auto last = ctl::parseAddress(parser.value(to));
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
        if (!parser.isSet(voltage) && !parser.isSet(current)) {
            return usageError(QStringLiteral("set needs --voltage, --current or both"));
        }
        if (parser.isSet(voltage)) {
            const auto code = ctl::parseSetCode(parser.value(voltage), 2, ctl::kLargestVoltageCode,
                                                QStringLiteral("V"));
            if (!code) {
                return usageError(QStringLiteral("--voltage: ") + code.error);
            }
            voltageCode = *code;
        }
        if (parser.isSet(current)) {
            const auto code = ctl::parseSetCode(parser.value(current), 3, ctl::kLargestCurrentCode,
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
            return usageError(QStringLiteral("address NEW: ") + next.error +
                              QStringLiteral(" (broadcast 0 cannot be confirmed)"));
        }
        if (*next == common.address) {
            return usageError(QStringLiteral("the supply is at address %1 already").arg(*next));
        }
        run = [n = *next](ctl::Tool &tool) { return tool.address(n); };
    } else if (name == QLatin1String("log")) {
        ctl::LogOptions log;
        log.addresses = {common.address};
        if (parser.isSet(addresses)) {
            const auto list = ctl::parseAddressList(parser.value(addresses));
            if (!list) {
                return usageError(QStringLiteral("--addresses: ") + list.error);
            }
            log.addresses = *list;
        }
        const auto period = ctl::parseWhole(parser.value(interval), 1, 3600 * 1000);
        if (!period) {
            return usageError(QStringLiteral("--interval: ") + period.error);
        }
        log.interval = ctl::milliseconds(*period);
        if (parser.isSet(duration)) {
            const auto length = ctl::parseDuration(parser.value(duration));
            if (!length) {
                return usageError(QStringLiteral("--duration: ") + length.error);
            }
            log.duration = *length;
        }
        if (parser.isSet(stopBelow)) {
            const auto milliamps = ctl::parseSetCode(parser.value(stopBelow), 3,
                                                     ctl::kLargestCurrentCode, QStringLiteral("A"));
            if (!milliamps || *milliamps == 0) {
                return usageError(
                    QStringLiteral("--stop-below: ") +
                    (milliamps ? QStringLiteral("0 A never cuts off") : milliamps.error));
            }
            log.stopBelowAmps = *milliamps / 1000.0;
        }
        log.offAtEnd = parser.isSet(offAtEnd);
        const QString formatName = parser.value(format);
        if (formatName != QLatin1String("csv") && formatName != QLatin1String("jsonl")) {
            return usageError(
                QStringLiteral("--format takes csv or jsonl, not '%1'").arg(formatName));
        }
        const auto rowFormat = formatName == QLatin1String("csv") ? ctl::RowWriter::Format::Csv
                                                                  : ctl::RowWriter::Format::Jsonl;
        ctl::MqttOptions publishing;
        publishing.url = parser.value(mqtt);
        publishing.topic = parser.value(mqttTopic);
        publishing.caFile = parser.value(mqttCaFile);
        publishing.queue = parser.value(mqttQueue);
        publishing.discovery = parser.isSet(mqttDiscovery);
        const bool mqttOption = parser.isSet(mqttTopic) || parser.isSet(mqttCaFile) ||
                                parser.isSet(mqttQueue) || parser.isSet(mqttDiscovery);
        if (mqttOption && !parser.isSet(mqtt)) {
            return usageError(QStringLiteral("the --mqtt-... options need --mqtt URL"));
        }
        if (parser.isSet(mqtt)) {
            const QString problem = ctl::MqttLog::check(publishing);
            if (!problem.isEmpty()) {
                return usageError(problem);
            }
        }
        run = [log, rowFormat, path = parser.value(output), publishing,
               portName = common.port.name()](ctl::Tool &tool) {
            return runLog(tool, log, rowFormat, path, publishing, portName);
        };
    }

    ctl::StopSignals stops;
    if (name == QLatin1String("run")) {
        const auto sequence = readSequence(arguments.front());
        if (!sequence) {
            return ctl::kExitUsage;
        }
        if (parser.isSet(check)) {
            for (const std::string &line : sequence->plan()) {
                ctl::printOut(QString::fromStdString(line));
            }
            return ctl::kExitOk;
        }
        const QString formatName = parser.value(format);
        if (formatName != QLatin1String("csv") && formatName != QLatin1String("jsonl")) {
            return usageError(
                QStringLiteral("--format takes csv or jsonl, not '%1'").arg(formatName));
        }
        const QString abortChoice = parser.value(onAbort);
        if (abortChoice != QLatin1String("off") && abortChoice != QLatin1String("keep")) {
            return usageError(
                QStringLiteral("--on-abort takes off or keep, not '%1'").arg(abortChoice));
        }
        const auto period = ctl::parseWhole(parser.value(interval), 1, 3600 * 1000);
        if (!period) {
            return usageError(QStringLiteral("--interval: ") + period.error);
        }
        ctl::RunOptions options;
        options.address = common.address;
        options.interval = ctl::milliseconds(*period);
        options.keepOnAbort = abortChoice == QLatin1String("keep");
        const auto rowFormat = formatName == QLatin1String("csv") ? ctl::RowWriter::Format::Csv
                                                                  : ctl::RowWriter::Format::Jsonl;
        run = [sequence = *sequence, options, rowFormat, path = parser.value(output),
               &stops](ctl::Tool &tool) {
            return runSequence(tool, sequence, options, rowFormat, path, stops);
        };
    }
    const auto comm = serial::makeCommControl();
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
    if (name == QLatin1String("log") || name == QLatin1String("run")) {
        // A log ended by a signal has done what was asked of it; a run has
        // switched off and chosen its exit code.
    } else if (tool.link().interrupted() || stops.received() != 0) {
        ctl::printErr(QStringLiteral("interrupted"));
        code = stops.exitCode();
    }
    if (comm->PortOpen()) {
        comm->setPortOpen(false);
    }
    return code;
}
