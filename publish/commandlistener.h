#pragma once

#include "publish/commands.h"
#include "publish/connection.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <set>

namespace publish {

struct ListenerSettings {
    MqttUrl url;
    QString password;
    QString caFile;
    Topics topics;
    QList<int> addresses;
    // How old a message kept for the bench while it was away may be.
    std::chrono::milliseconds age{5000};
    // Asked before each connection attempt: a connection is attempted only while
    // it says yes (the readings' connection is up, so the broker answers).
    std::function<bool()> mayConnect;
};

struct ListenerCounts {
    std::uint64_t received = 0; // commands handed on to be carried out
    std::uint64_t refused = 0;  // retained or stale, answered with a refusal
    std::uint64_t repeated = 0; // sent again after a reconnection, dropped
    // Another bench with the same prefix took the session over, and this one
    // stopped taking commands.
    bool takenOver = false;
};

// Listens for commands on the bench's topics (MQTT 5, QoS 1) on a connection of
// its own, in a network thread that runs libmosquitto's loop, and publishes
// their results. The session outlives a connection (its client id is the
// prefix's), so that the broker keeps the commands that come while the bench is
// away; CommandGate decides which of them may still be carried out. A retained
// or stale message is answered here with a refusal; every other command goes to
// the handler, whose caller answers it with answer(). When another client with
// the same id takes the session over (another bench given the same prefix),
// this one says so once and does not connect again, so that the two do not
// push each other off in turns.
class CommandListener : private Connection {
public:
    // A command with where its result goes.
    struct Incoming {
        Command command;
        QString resultTopic;
        QByteArray correlation; // MQTT 5 correlation data, sent back with the result
    };
    // Called on the network thread; the caller carries the command out elsewhere.
    using Handler = std::function<void(const Incoming &)>;
    using Warn = std::function<void(const QString &)>;

    CommandListener(ListenerSettings settings, Handler handler, Warn warn);
    ~CommandListener();
    CommandListener(const CommandListener &) = delete;
    CommandListener &operator=(const CommandListener &) = delete;

    // Sets libmosquitto up and starts the network thread; false with the reason
    // for a setting it cannot take.
    using Connection::start;
    // Publishes `result` for `incoming` (QoS 1); from any thread.
    void answer(const Incoming &incoming, const CommandResult &result);
    // Gives the results not yet sent up to `budget` to go out, and disconnects;
    // the broker keeps the session.
    void finish(std::chrono::milliseconds budget);

    ListenerCounts counts() const;
    bool subscribed() const;

    // The session's client id, from the prefix.
    const QByteArray &clientId() const { return m_shape.clientId; }

private:
    struct Outgoing {
        QByteArray topic;
        QByteArray payload;
        QByteArray correlation;
    };

    bool mayConnect() override;
    bool turnLocked() override;
    void ended() override;
    void connectedTo(int rc, int flags, const mqtt5__property *props) override;
    void disconnected(int rc, const mqtt5__property *props) override;
    void acknowledged(int mid) override;
    void subscribed(int count, const int *granted) override;
    void received(const mosquitto_message &message, const mqtt5__property *props) override;
    std::optional<QByteArray> lookAtHolder();
    // Another bench took the session: said once, and no connection again.
    void takenOver();
    void refuse(const Incoming &incoming, CommandGate::Verdict verdict);
    void pumpLocked();

    ListenerSettings m_settings;
    Handler m_handler;
    Warn m_warn;
    QByteArray m_markerTopic;
    QByteArray m_marker; // this connection's own message on the marker topic
    QByteArray m_holderTopic;
    QByteArray m_instance; // this listener's own id, left on the holder topic
    CommandGate m_gate;    // the network thread's

    std::deque<Outgoing> m_results;
    std::set<int> m_unacknowledged; // results handed over, by message id
    ListenerCounts m_counts;
    bool m_subscribed = false;
    bool m_toldRetained = false;
    bool m_toldRefused = false;
    bool m_toldSubscription = false;
    bool m_toldListening = false;
};

} // namespace publish
