#pragma once

#include "publish/connection.h"
#include "publish/discovery.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <utility>

namespace publish {

struct PublisherSettings {
    MqttUrl url;
    QString password; // empty: none (the caller takes it from VANTEL_MQTT_PASSWORD)
    QString caFile;   // mqtts: trust this CA file instead of the system's store
    Topics topics;
    bool discovery = false;
    QList<int> addresses; // supplies announced by the discovery configs
    // With discovery: the controls' configs too; without, their configs are taken away.
    bool control = false;
    std::size_t queueLimit = 10000;
    // How long a server that took the TCP connection may stay without answering
    // the MQTT login before it is taken for something else (a TLS port, a web server).
    std::chrono::milliseconds answerWait{10000};
};

struct PublisherCounts {
    std::uint64_t published = 0;  // readings the broker acknowledged
    std::uint64_t dropped = 0;    // readings pushed out of a full queue or unsent at the end
    std::uint64_t reconnects = 0; // connections made after the first
};

// Publishes readings to an MQTT broker from a network thread of its own that
// runs libmosquitto's loop, so that a caller never waits on the network. Readings wait in a bounded
// queue while the broker is away and go out in order once it is back; the connection is retried
// with a back-off from 1 s to 30 s. PREFIX/status reads "online" while connected and "offline"
// after finish() or, as the connection's will, after the process died or the network went.
// Whether the libmosquitto this program links can make TLS connections
// (mqtts://); the Windows build's cannot.
bool tlsAvailable();

class Publisher : private Connection {
public:
    // Messages for the user (broker not reachable, login refused, connection
    // lost), each said once; called from the network thread.
    using Warn = std::function<void(const QString &)>;

    Publisher(PublisherSettings settings, Warn warn);
    ~Publisher();
    Publisher(const Publisher &) = delete;
    Publisher &operator=(const Publisher &) = delete;

    // Sets libmosquitto up and starts connecting. False, with the reason in
    // `error`, only for a setting it cannot take (for example a CA file it
    // cannot read); a broker that cannot be reached is no error.
    using Connection::start;

    // Queues `json` for PREFIX/<address>/reading (QoS 1, not retained).
    void publishReading(int address, const QByteArray &json);

    // Publishes "offline", gives what is queued up to `budget` to go out (trying
    // at once to reconnect if the broker is away), and disconnects. Readings not acknowledged by
    // then count as dropped.
    void finish(std::chrono::milliseconds budget);

    PublisherCounts counts() const;
    bool connected() const;

private:
    struct Outgoing {
        QByteArray topic;
        QByteArray payload;
    };

    void attempting() override;
    void attemptFailed(int rc) override { disconnected(rc, nullptr); }
    bool turnLocked() override;
    // The login of this attempt went unanswered for answerWait: says so once.
    void abandoned() override;
    void connectedTo(int rc, int flags, const mqtt5__property *props) override;
    void disconnected(int rc, const mqtt5__property *props) override;
    void acknowledged(int mid) override;
    void pumpLocked();
    void publishRetained(const QString &topic, const QByteArray &payload, int *mid = nullptr);

    PublisherSettings m_settings;
    Warn m_warn;

    std::deque<Outgoing> m_queue;
    // Readings handed to libmosquitto and not yet acknowledged, by message id in
    // the order sent; they go back to the front of the queue when the
    // connection breaks, since a new clean session does not send them again.
    std::deque<std::pair<int, Outgoing>> m_inFlight;
    PublisherCounts m_counts;
    bool m_finishing = false;     // no more readings taken
    bool m_offlineWanted = false; // finish() asks the network thread to publish "offline"
    bool m_offlineSent = false;
    int m_offlineMid = -1;
    bool m_offlineAcknowledged = false;
    bool m_toldUnreachable = false;
    bool m_toldRefused = false;
    bool m_toldLost = false;
    bool m_toldSilent = false;
    bool m_answered = false; // the broker answered the login of this attempt
};

} // namespace publish
