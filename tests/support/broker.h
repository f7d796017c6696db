#pragma once

#include <QJsonObject>
#include <QList>
#include <QPair>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTcpServer>
#include <QTemporaryDir>

#include <memory>

namespace testsupport {

// A private mosquitto broker on a free loopback port: temporary config, no
// persistence, 127.0.0.1 only. Optionally with one user and password.
class Broker {
public:
    static constexpr int kWaitMs = 5000;

    Broker();
    ~Broker();
    Broker(const Broker &) = delete;
    Broker &operator=(const Broker &) = delete;

    // False when mosquitto is not installed.
    static bool available();

    // Logins are refused unless they are `user` with `password`.
    void requireLogin(const QString &user, const QString &password);
    // One more user that may log in (after requireLogin()).
    void addUser(const QString &user, const QString &password);
    // What each user may read and write: the text of a mosquitto acl_file.
    void setAcl(const QByteArray &acl);
    // The login the helpers below (Subscriber, publish(), retained()) use.
    void setClientLogin(const QString &user, const QString &password)
    {
        m_clientUser = user;
        m_clientPassword = password;
    }
    // mosquitto_pub's arguments for this broker and the helpers' login.
    QStringList clientArguments() const;
    // Starts it (again, on the same port) and waits until it takes connections.
    bool start();
    void stop();
    // For its CPU time in the bench.
    qint64 pid() const { return m_process.processId(); }

    int port() const { return m_port; }
    QString url(const QString &user = {}) const;

private:
    QTemporaryDir m_dir;
    QProcess m_process;
    int m_port = 0;
    QString m_passwordFile;
    QString m_aclFile;
    QString m_clientUser;
    QString m_clientPassword;
};

// Publishes `payload` to `topic` with mosquitto_pub (QoS 1, MQTT 5) and the
// broker's client login plus `extra` arguments; true once the broker took it.
bool publishTo(const Broker &broker, const QString &topic, const QByteArray &payload,
               const QStringList &extra = {});

// The lab's users as docs/lab.md sets them up: `bench` publishes and takes
// commands, `dashboard` commands, `viewer` only reads readings and status,
// `observer` (the tests' own eye) reads and writes everything.
QByteArray labAcl();

// Starts `broker` with the lab's users (all with `password`) and ACL; the
// helpers log in as `observer`.
bool startLabBroker(Broker &broker, const QString &password);

// Ends a program with SIGTERM, killing it when it has not ended after `ms`.
void endProgram(QProcess &process, int ms);

// mosquitto_sub on a broker: collects "topic payload" pairs as they come.
class Subscriber {
public:
    Subscriber(const Broker &broker, const QString &topic);
    ~Subscriber();

    // Started and subscribed (a probe message came back).
    bool start();
    // Every message so far, in arrival order.
    const QList<QPair<QString, QByteArray>> &messages();
    QList<QByteArray> payloads(const QString &topic);
    // Waits until `topic` has had `count` messages; false on time-out.
    bool waitFor(const QString &topic, int count, int ms = Broker::kWaitMs);

private:
    void pull();

    const Broker &m_broker;
    QString m_topic;
    QProcess m_process;
    QList<QPair<QString, QByteArray>> m_messages;
};

// Publishes a command as `user` (QoS 1, MQTT 5) and waits up to `ms` for the next
// message on `resultTopic`, which `sub` collects; that message as a JSON object,
// empty on time-out.
QJsonObject commandResult(const Broker &broker, Subscriber &sub, const QString &user,
                          const QString &password, const QString &topic, const QByteArray &payload,
                          const QString &resultTopic, int ms);

// The retained message of `topic` (empty when none), read with mosquitto_sub.
QByteArray retained(const Broker &broker, const QString &topic);

// A TCP relay on a free loopback port to the broker: closing it looks to a
// client like the broker going away, while subscribers connected straight to
// the broker keep their session.
class Relay {
public:
    explicit Relay(const Broker &broker);
    bool listen();
    // Drops every connection and stops listening; listen() brings it back on the same port.
    void close();
    int port() const { return m_port; }
    QString url() const;

private:
    const Broker &m_broker;
    std::unique_ptr<QTcpServer> m_server;
    int m_port = 0;
};

} // namespace testsupport
