#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

namespace publish {

// The topics one logger publishes under its prefix.
struct Topics {
    QString prefix;

    QString status() const { return prefix + QStringLiteral("/status"); }
    QString reading(int address) const
    {
        return prefix + QLatin1Char('/') + QString::number(address) + QStringLiteral("/reading");
    }
};

// "vantel/<host name>/<port name>", with characters MQTT gives a meaning in
// topics ('+', '#', '/') and spaces replaced by '_'.
QString defaultTopicPrefix(const QString &hostName, const QString &portName);

// One retained message.
struct RetainedMessage {
    QString topic;
    QByteArray payload;
};

// Home Assistant discovery configs for the supply at `address`: a sensor for each
// of v, a, w, wh and ah reading its key from the reading topic, and a binary
// sensor for the output, all in one device, all available while the status
// topic reads "online".
QList<RetainedMessage> discoveryConfigs(const Topics &topics, int address);

// The controls of the supply at `address`: a number for each set value and a
// switch for the output, each showing what the readings say and writing to its
// command topic. With `control` false, the same topics with empty payloads,
// which take the entities away again.
QList<RetainedMessage> controlConfigs(const Topics &topics, int address, bool control);
// The bench's own button that switches every output of the bench off; empty
// payload without `control`.
RetainedMessage benchControlConfig(const Topics &topics, bool control);

} // namespace publish
