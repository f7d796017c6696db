#pragma once

#include "publish/mqtturl.h"

#include <QByteArray>
#include <QString>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

struct mosquitto;
struct mosquitto_message;
struct mqtt5__property;

namespace publish {

// libmosquitto's set-up, once per process.
void initLibrary();
// libmosquitto's words for one of its error codes (the system's for MOSQ_ERR_ERRNO).
QString libraryError(int rc);

// The login and transport of a connection to the broker.
struct ConnectionSettings {
    MqttUrl url;
    QString password; // empty: none
    QString caFile;   // mqtts: trust this CA file instead of the system's store
};

// One libmosquitto client on a network thread of its own: it connects, runs the
// network loop, and after a failed attempt or a lost connection waits 1 s, 2 s,
// 4 s ... up to 30 s before the next attempt (1 s again once a connection was
// accepted); at the end it says a clean goodbye. What goes over the connection
// is the subclass's, through the hooks below, all called on the network thread.
// Only the network thread calls libmosquitto once it runs: libmosquitto built
// without its threading support (the Windows build) has no locks of its own.
class Connection {
public:
    Connection(const Connection &) = delete;
    Connection &operator=(const Connection &) = delete;

    struct Shape {
        // Empty: a random id with a clean session. Else the session is kept
        // across connections, for sessionSeconds after each (MQTT 5).
        QByteArray clientId;
        std::uint32_t sessionSeconds = 0;
        bool v5 = false;
        QByteArray willTopic; // empty: no will
        QByteArray willPayload;
        // One turn of the network loop: how long it waits for the socket, so
        // also how soon a message handed over at turn() goes out.
        int loopMs = 100;
        // How long the thread waits before each attempt; with a mayConnect()
        // that says no, how often it asks again.
        std::chrono::milliseconds beforeAttempt{0};
        // A new client for each connection, so that what the old one left
        // unacknowledged is not sent again ahead of what comes now.
        bool freshClient = false;
        // In the texts of set-up errors: " for the commands".
        QString purpose;
    };

protected:
    Connection(ConnectionSettings settings, Shape shape);
    virtual ~Connection();

    // Sets libmosquitto up and starts the network thread; false with the reason
    // for a setting it cannot take.
    bool start(QString &error);
    // Ends the network thread, which says goodbye first; `lock` holds m_mutex
    // and is released.
    void endThread(std::unique_lock<std::mutex> &lock);
    // Waits `delay`, or less when the thread is to end or an attempt is wanted
    // at once (m_retryNow); false when it is to end.
    bool pause(std::chrono::milliseconds delay);

    // Makes the login and TLS settings on `client`, a client of the subclass's
    // own (for a look at the broker beside the connection): libmosquitto's code,
    // with the reason in `error` unless it succeeded.
    int configure(mosquitto *client, QString &error) const;
    // True the first time for `told` (a flag under m_mutex): for what is said once.
    bool once(bool &told);

    // Whether an attempt may be made now.
    virtual bool mayConnect() { return true; }
    // An attempt begins.
    virtual void attempting() {}
    // An attempt that could not even start (no such host, refused at TCP).
    virtual void attemptFailed(int) {}
    // Each turn of the loop while connecting or connected, under m_mutex:
    // hands waiting messages to libmosquitto. False: drop this connection
    // (abandoned() is called, outside m_mutex).
    virtual bool turnLocked() { return true; }
    virtual void abandoned() {}
    // The loop of one connection has ended (not at the thread's end).
    virtual void ended() {}
    // The broker's answer to the login (0: accepted; m_connections counts it).
    virtual void connectedTo(int rc, int flags, const mqtt5__property *props) = 0;
    virtual void disconnected(int rc, const mqtt5__property *props) = 0;
    virtual void acknowledged(int) {}
    virtual void subscribed(int, const int *) {}
    virtual void received(const mosquitto_message &, const mqtt5__property *) {}

    const ConnectionSettings m_connection;
    const Shape m_shape;
    mosquitto *m_mosq = nullptr; // replaced by the network thread, under m_mutex
    std::thread m_thread;

    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::chrono::steady_clock::time_point m_attemptStart; // the network thread's
    int m_connections = 0;                                // logins the broker accepted
    bool m_connected = false;
    bool m_stopping = false; // the network thread ends
    bool m_retryNow = false; // the next attempt is not to wait for the back-off

private:
    static void onConnect(mosquitto *, void *self, int rc, int flags, const mqtt5__property *);
    static void onDisconnect(mosquitto *, void *self, int rc, const mqtt5__property *);
    static void onSubscribe(mosquitto *, void *self, int mid, int count, const int *granted,
                            const mqtt5__property *);
    static void onMessage(mosquitto *, void *self, const mosquitto_message *message,
                          const mqtt5__property *props);
    static void onPublish(mosquitto *, void *self, int mid, int rc, const mqtt5__property *);

    mosquitto *newClient(QString &error);
    int attempt();
    void run();
};

} // namespace publish
