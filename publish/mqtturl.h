#pragma once

#include <QString>

#include <optional>

namespace publish {

// Where the broker is: mqtt://[USER@]HOST[:PORT] or mqtts://[USER@]HOST[:PORT].
struct MqttUrl {
    bool tls = false;
    QString user; // empty: no login
    QString host;
    int port = 1883;

    static constexpr int kPlainPort = 1883;
    static constexpr int kTlsPort = 8883;
};

// Parses `text`; on a bad scheme or a malformed URL returns nothing and says why
// in `error`. A password in the URL is refused: it would be visible to every
// user through the process list.
std::optional<MqttUrl> parseMqttUrl(const QString &text, QString &error);

// `text` with the password of a USER:PASSWORD@ part replaced by ***, for messages.
QString withoutPassword(const QString &text);

} // namespace publish
