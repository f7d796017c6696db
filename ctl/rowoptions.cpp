#include "ctl/rowoptions.h"

#include "ctl/commands.h"
#include "ctl/output.h"

#include <QFileInfo>

namespace ctl {

QString readRowOptions(const CommandLine &line, const CommonOptions &common, bool withStep,
                       records::RowWriter::Existing existing, RowOptions *options)
{
    const auto isSet = [&line](const char *name) { return line.isSet(QString::fromUtf8(name)); };
    const auto value = [&line](const char *name) { return line.value(QString::fromUtf8(name)); };

    const QString formatName = value("format");
    if (formatName != QLatin1String("csv") && formatName != QLatin1String("jsonl")) {
        return QStringLiteral("--format takes csv or jsonl, not '%1'").arg(formatName);
    }
    if (common.json && isSet("format") && formatName == QLatin1String("csv")) {
        return QStringLiteral("--json writes JSON lines; --format csv says otherwise");
    }
    options->format = common.json || formatName == QLatin1String("jsonl")
                          ? records::RowWriter::Format::Jsonl
                          : records::RowWriter::Format::Csv;

    const auto period = parseWhole(value("interval"), 1, 3600 * 1000);
    if (!period) {
        return QStringLiteral("--interval: ") + period.error();
    }
    options->interval = milliseconds(*period);

    options->path = value("output");
    options->existing = existing;
    const records::RowWriter writer(options->format, withStep);
    if (withStep && !records::RowWriter::isStdout(options->path) &&
        QFileInfo(options->path).isFile() && QFileInfo(options->path).size() > 0) {
        // A run never writes over an earlier run's rows.
        return QStringLiteral("%1 holds data already; remove it or give another --output")
            .arg(options->path);
    }
    const QString refusal = writer.refusal(options->path, existing);
    if (!refusal.isEmpty()) {
        return refusal;
    }

    return readMqttOptions(line, &options->mqtt);
}

QString readMqttOptions(const CommandLine &line, MqttOptions *options)
{
    const auto isSet = [&line](const char *name) { return line.isSet(QString::fromUtf8(name)); };
    const auto value = [&line](const char *name) { return line.value(QString::fromUtf8(name)); };
    MqttOptions &mqtt = *options;
    mqtt.url = value("mqtt");
    mqtt.topic = value("mqtt-topic");
    mqtt.caFile = value("mqtt-cafile");
    mqtt.queue = value("mqtt-queue");
    mqtt.discovery = isSet("mqtt-discovery");
    mqtt.control = isSet("mqtt-control");
    mqtt.commandAge = value("mqtt-command-age");
    const bool mqttOption = isSet("mqtt-topic") || isSet("mqtt-cafile") || isSet("mqtt-queue") ||
                            isSet("mqtt-discovery") || isSet("mqtt-control") ||
                            isSet("mqtt-command-age");
    if (mqttOption && !isSet("mqtt")) {
        return QStringLiteral("the --mqtt-... options need --mqtt URL");
    }
    if (isSet("mqtt-command-age") && !isSet("mqtt-control")) {
        return QStringLiteral("--mqtt-command-age needs --mqtt-control");
    }
    if (isSet("mqtt")) {
        return MqttLog::check(mqtt);
    }
    return {};
}

QString openRowSinks(const RowOptions &rows, bool withStep, const QString &portName,
                     const std::vector<std::uint8_t> &addresses, RowSinks *sinks)
{
    sinks->writer = std::make_shared<records::RowWriter>(rows.format, withStep);
    const QString failed = sinks->writer->open(rows.path, rows.existing);
    if (!failed.isEmpty()) {
        return QStringLiteral("cannot write ") + failed;
    }
    if (!rows.mqtt.url.isEmpty()) {
        QString error;
        sinks->publishing = MqttLog::start(rows.mqtt, portName, addresses, &error);
        if (!sinks->publishing) {
            return QStringLiteral("--mqtt: ") + error;
        }
    }
    return {};
}

line::PortKeeper *keepPort(Context &context, const QString &portName, QObject *owner)
{
    auto *keeper = new line::PortKeeper(context.comm, context.client, portName, owner);
    QObject::connect(keeper, &line::PortKeeper::message, owner, &printErr);
    return keeper;
}

} // namespace ctl
