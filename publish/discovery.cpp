#include "publish/discovery.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

namespace publish {

namespace {

struct Sensor {
    const char *key;
    const char *name;
    const char *unit;
    const char *deviceClass; // null: none
    const char *stateClass;
};

constexpr Sensor kSensors[] = {
    {"v", "Voltage", "V", "voltage", "measurement"},
    {"a", "Current", "A", "current", "measurement"},
    {"w", "Power", "W", "power", "measurement"},
    {"wh", "Energy", "Wh", "energy", "total_increasing"},
    {"ah", "Charge", "Ah", nullptr, "total_increasing"},
};

// Home Assistant takes [a-zA-Z0-9_-] in ids.
QString idPart(const QString &text)
{
    QString id = text;
    static const QRegularExpression other(QStringLiteral("[^A-Za-z0-9_-]"));
    return id.replace(other, QStringLiteral("_"));
}

QJsonObject common(const Topics &topics, int address, const QString &id, const QString &name)
{
    const QString device = idPart(topics.prefix) + QLatin1Char('_') + QString::number(address);
    return QJsonObject{
        {QStringLiteral("name"), name},
        {QStringLiteral("unique_id"), id},
        {QStringLiteral("state_topic"), topics.reading(address)},
        {QStringLiteral("availability_topic"), topics.status()},
        {QStringLiteral("payload_available"), QStringLiteral("online")},
        {QStringLiteral("payload_not_available"), QStringLiteral("offline")},
        {QStringLiteral("device"),
         QJsonObject{{QStringLiteral("identifiers"), QJsonArray{device}},
                     {QStringLiteral("name"),
                      QStringLiteral("Supply %1 at %2").arg(address).arg(topics.prefix)},
                     {QStringLiteral("model"), QStringLiteral("60 V / 3 A bench supply")}}},
    };
}

struct Control {
    const char *component; // "number" or "switch"
    const char *key;       // the id's ending
    const char *name;
    const char *command; // the command topic after PREFIX/<address>
    const char *state;   // value_template
};

constexpr Control kControls[] = {
    {"number", "set_v", "Set voltage", "/set/v", "{{ value_json.set_v }}"},
    {"number", "set_a", "Set current", "/set/a", "{{ value_json.set_a }}"},
    {"switch", "switch", "Output switch", "/output/set",
     "{{ 'ON' if value_json.output else 'OFF' }}"},
};

// What the number of each set value may take: the supply's range and resolution.
void numberRange(QJsonObject &config, const QString &key)
{
    const bool volts = key == QLatin1String("set_v");
    config.insert(QStringLiteral("min"), 0);
    config.insert(QStringLiteral("max"), volts ? 62.0 : 3.2);
    config.insert(QStringLiteral("step"), volts ? 0.01 : 0.001);
    config.insert(QStringLiteral("mode"), QStringLiteral("box"));
    config.insert(QStringLiteral("unit_of_measurement"),
                  volts ? QStringLiteral("V") : QStringLiteral("A"));
    config.insert(QStringLiteral("device_class"),
                  volts ? QStringLiteral("voltage") : QStringLiteral("current"));
}

QByteArray compact(const QJsonObject &object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

} // namespace

QString defaultTopicPrefix(const QString &hostName, const QString &portName)
{
    static const QRegularExpression special(QStringLiteral("[+#/\\s]"));
    QString host = hostName;
    QString port = portName;
    host.replace(special, QStringLiteral("_"));
    port.replace(special, QStringLiteral("_"));
    return QStringLiteral("vantel/%1/%2").arg(host.isEmpty() ? QStringLiteral("host") : host, port);
}

QList<RetainedMessage> discoveryConfigs(const Topics &topics, int address)
{
    QList<RetainedMessage> configs;
    const QString base = idPart(topics.prefix) + QLatin1Char('_') + QString::number(address);
    for (const Sensor &sensor : kSensors) {
        const QString id = base + QLatin1Char('_') + QLatin1String(sensor.key);
        QJsonObject config = common(topics, address, id, QLatin1String(sensor.name));
        config.insert(QStringLiteral("value_template"),
                      QStringLiteral("{{ value_json.%1 }}").arg(QLatin1String(sensor.key)));
        config.insert(QStringLiteral("unit_of_measurement"), QLatin1String(sensor.unit));
        if (sensor.deviceClass) {
            config.insert(QStringLiteral("device_class"), QLatin1String(sensor.deviceClass));
        }
        config.insert(QStringLiteral("state_class"), QLatin1String(sensor.stateClass));
        configs.append({QStringLiteral("homeassistant/sensor/%1/config").arg(id), compact(config)});
    }
    const QString id = base + QStringLiteral("_output");
    QJsonObject output = common(topics, address, id, QStringLiteral("Output"));
    output.insert(QStringLiteral("value_template"),
                  QStringLiteral("{{ 'ON' if value_json.output else 'OFF' }}"));
    output.insert(QStringLiteral("payload_on"), QStringLiteral("ON"));
    output.insert(QStringLiteral("payload_off"), QStringLiteral("OFF"));
    output.insert(QStringLiteral("device_class"), QStringLiteral("power"));
    configs.append(
        {QStringLiteral("homeassistant/binary_sensor/%1/config").arg(id), compact(output)});
    return configs;
}

} // namespace publish

namespace publish {

QList<RetainedMessage> controlConfigs(const Topics &topics, int address, bool control)
{
    QList<RetainedMessage> configs;
    const QString base = idPart(topics.prefix) + QLatin1Char('_') + QString::number(address);
    for (const Control &c : kControls) {
        const QString id = base + QLatin1Char('_') + QLatin1String(c.key);
        const QString topic =
            QStringLiteral("homeassistant/%1/%2/config").arg(QLatin1String(c.component), id);
        if (!control) {
            configs.append({topic, QByteArray()});
            continue;
        }
        QJsonObject config = common(topics, address, id, QLatin1String(c.name));
        config.insert(QStringLiteral("command_topic"), topics.prefix + QLatin1Char('/') +
                                                           QString::number(address) +
                                                           QLatin1String(c.command));
        config.insert(QStringLiteral("value_template"), QLatin1String(c.state));
        config.insert(QStringLiteral("qos"), 1);
        if (QLatin1String(c.component) == QLatin1String("number")) {
            numberRange(config, QLatin1String(c.key));
        } else {
            config.insert(QStringLiteral("payload_on"), QStringLiteral("ON"));
            config.insert(QStringLiteral("payload_off"), QStringLiteral("OFF"));
            config.insert(QStringLiteral("state_on"), QStringLiteral("ON"));
            config.insert(QStringLiteral("state_off"), QStringLiteral("OFF"));
            config.insert(QStringLiteral("device_class"), QStringLiteral("outlet"));
        }
        configs.append({topic, compact(config)});
    }
    return configs;
}

RetainedMessage benchControlConfig(const Topics &topics, bool control)
{
    const QString id = idPart(topics.prefix) + QStringLiteral("_all_off");
    const QString topic = QStringLiteral("homeassistant/button/%1/config").arg(id);
    if (!control) {
        return {topic, QByteArray()};
    }
    const QJsonObject config{
        {QStringLiteral("name"), QStringLiteral("All outputs off")},
        {QStringLiteral("unique_id"), id},
        {QStringLiteral("command_topic"), topics.prefix + QStringLiteral("/all-off")},
        {QStringLiteral("payload_press"), QStringLiteral("OFF")},
        {QStringLiteral("qos"), 1},
        {QStringLiteral("availability_topic"), topics.status()},
        {QStringLiteral("payload_available"), QStringLiteral("online")},
        {QStringLiteral("payload_not_available"), QStringLiteral("offline")},
        {QStringLiteral("device"),
         QJsonObject{{QStringLiteral("identifiers"), QJsonArray{idPart(topics.prefix)}},
                     {QStringLiteral("name"), QStringLiteral("Bench %1").arg(topics.prefix)}}},
    };
    return {topic, compact(config)};
}

} // namespace publish
