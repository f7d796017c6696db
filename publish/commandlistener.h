#pragma once

#include "publish/commands.h"
#include "publish/mqtturl.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <set>
#include <thread>

struct mosquitto;
struct mosquitto_message;
struct mqtt5__property;

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
};

// Listens for commands on the bench's topics (MQTT 5, QoS 1) on a connection of
// its own, in a network thread that runs libmosquitto's loop, and publishes
// their results. The session outlives a connection (its client id is the
// prefix's), so that the broker keeps the commands that come while the bench is
// away; CommandGate decides which of them may still be carried out. A retained
// or stale message is answered here with a refusal; every other command goes to
// the handler, whose caller answers it with answer().
class CommandListener {
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
    bool start(QString &error);
    // Publishes `result` for `incoming` (QoS 1); from any thread.
    void answer(const Incoming &incoming, const CommandResult &result);
    // Gives the results not yet sent up to `budget` to go out, and disconnects;
    // the broker keeps the session.
    void finish(std::chrono::milliseconds budget);

    ListenerCounts counts() const;
    bool subscribed() const;

private:
    struct Outgoing {
        QByteArray topic;
        QByteArray payload;
        QByteArray correlation;
    };

    static void onConnect(mosquitto *, void *self, int rc, int flags, const mqtt5__property *);
    static void onDisconnect(mosquitto *, void *self, int rc, const mqtt5__property *);
    static void onSubscribe(mosquitto *, void *self, int mid, int count, const int *granted,
                            const mqtt5__property *);
    static void onMessage(mosquitto *, void *self, const mosquitto_message *message,
                          const mqtt5__property *props);
    static void onPublish(mosquitto *, void *self, int mid, int rc, const mqtt5__property *);

    bool setUp(QString &error);
    void run();
    bool connect();
    bool wait(std::chrono::milliseconds delay);
    void connectedTo(int rc, bool sessionKept);
    void received(const mosquitto_message &message, const mqtt5__property *props);
    void refuse(const Incoming &incoming, CommandGate::Verdict verdict);
    void pumpLocked();

    ListenerSettings m_settings;
    Handler m_handler;
    Warn m_warn;
    QByteArray m_clientId;
    QByteArray m_markerTopic;
    QByteArray m_marker; // this connection's own message on the marker topic
    mosquitto *m_mosq = nullptr;
    std::thread m_thread;
    CommandGate m_gate; // the network thread's

    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<Outgoing> m_results;
    std::set<int> m_unacknowledged; // results handed over, by message id
    ListenerCounts m_counts;
    int m_connections = 0;
    bool m_connected = false;
    bool m_subscribed = false;
    bool m_stopping = false;
    bool m_toldRetained = false;
    bool m_toldRefused = false;
    bool m_toldSubscription = false;
    bool m_toldListening = false;
};

} // namespace publish
