#include "publish/connection.h"

#include <QFile>

#include <mosquitto.h>
#include <mqtt_protocol.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace publish {

namespace {

constexpr int kKeepAliveSeconds = 30;
constexpr int kWillQos = 1;
constexpr std::chrono::milliseconds kFirstRetry{1000};
constexpr std::chrono::milliseconds kLastRetry{30000};
constexpr int kGoodbyeTurns = 10;
constexpr int kGoodbyeTurnMs = 100;

} // namespace

void initLibrary()
{
    static const int once = [] {
        const int rc = mosquitto_lib_init();
        std::atexit([] { mosquitto_lib_cleanup(); });
        return rc;
    }();
    (void)once;
}

QString libraryError(int rc)
{
    if (rc == MOSQ_ERR_ERRNO) {
        return QString::fromLocal8Bit(std::strerror(errno));
    }
    return QString::fromUtf8(mosquitto_strerror(rc));
}

Connection::Connection(ConnectionSettings settings, Shape shape)
    : m_connection(std::move(settings)), m_shape(std::move(shape))
{
}

Connection::~Connection()
{
    if (m_thread.joinable()) {
        std::unique_lock<std::mutex> lock(m_mutex);
        endThread(lock);
    }
    if (m_mosq) {
        mosquitto_destroy(m_mosq);
    }
}

bool Connection::start(QString &error)
{
    initLibrary();
    m_mosq = newClient(error);
    if (!m_mosq) {
        return false;
    }
    m_thread = std::thread([this] { run(); });
    return true;
}

void Connection::endThread(std::unique_lock<std::mutex> &lock)
{
    m_stopping = true;
    m_changed.notify_all();
    lock.unlock();
    if (m_thread.joinable()) {
        m_thread.join();
    }
}

// A client with every setting made.
mosquitto *Connection::newClient(QString &error)
{
    const bool kept = !m_shape.clientId.isEmpty();
    mosquitto *client = mosquitto_new(kept ? m_shape.clientId.constData() : nullptr, !kept, this);
    if (!client) {
        error = QStringLiteral("cannot set up MQTT%1: %2")
                    .arg(m_shape.purpose, libraryError(MOSQ_ERR_ERRNO));
        return nullptr;
    }
    if (m_shape.v5) {
        mosquitto_int_option(client, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
    }
    mosquitto_connect_v5_callback_set(client, &Connection::onConnect);
    mosquitto_disconnect_v5_callback_set(client, &Connection::onDisconnect);
    mosquitto_subscribe_v5_callback_set(client, &Connection::onSubscribe);
    mosquitto_message_v5_callback_set(client, &Connection::onMessage);
    mosquitto_publish_v5_callback_set(client, &Connection::onPublish);
    // Publishing then only queues the packet; the next turn of the loop writes it.
    mosquitto_threaded_set(client, true);

    int rc = MOSQ_ERR_SUCCESS;
    if (!m_shape.willTopic.isEmpty()) {
        rc = mosquitto_will_set(client, m_shape.willTopic.constData(),
                                int(m_shape.willPayload.size()), m_shape.willPayload.constData(),
                                kWillQos, true);
        if (rc != MOSQ_ERR_SUCCESS) {
            error = QStringLiteral("cannot use the topic %1: %2")
                        .arg(QString::fromUtf8(m_shape.willTopic), libraryError(rc));
        }
    }
    if (rc == MOSQ_ERR_SUCCESS) {
        rc = configure(client, error);
    }
    if (rc != MOSQ_ERR_SUCCESS) {
        mosquitto_destroy(client);
        return nullptr;
    }
    return client;
}

// The login and TLS of `client`; libmosquitto's code, with `error` unless it succeeded.
int Connection::configure(mosquitto *client, QString &error) const
{
    const MqttUrl &url = m_connection.url;
    if (!url.user.isEmpty()) {
        const QByteArray user = url.user.toUtf8();
        const QByteArray password = m_connection.password.toUtf8();
        mosquitto_username_pw_set(client, user.constData(),
                                  m_connection.password.isEmpty() ? nullptr : password.constData());
    }
    int rc = MOSQ_ERR_SUCCESS;
    if (url.tls && !m_connection.caFile.isEmpty()) {
        const QByteArray caFile = QFile::encodeName(m_connection.caFile);
        rc = mosquitto_tls_set(client, caFile.constData(), nullptr, nullptr, nullptr, nullptr);
        if (rc != MOSQ_ERR_SUCCESS) {
            error = QStringLiteral("cannot use the CA file %1%2: %3")
                        .arg(m_connection.caFile, m_shape.purpose, libraryError(rc));
        }
    } else if (url.tls) {
        rc = mosquitto_int_option(client, MOSQ_OPT_TLS_USE_OS_CERTS, 1);
        if (rc != MOSQ_ERR_SUCCESS) {
            error =
                QStringLiteral("cannot set up TLS%1: %2").arg(m_shape.purpose, libraryError(rc));
        }
    }
    return rc;
}

// With a kept session the CONNECT packet carries the session's lifetime, which
// only the blocking connect sends; a clean session connects without waiting.
int Connection::attempt()
{
    const QByteArray host = m_connection.url.host.toUtf8();
    if (m_shape.sessionSeconds == 0) {
        return mosquitto_connect_async(m_mosq, host.constData(), m_connection.url.port,
                                       kKeepAliveSeconds);
    }
    mosquitto_property *properties = nullptr;
    mosquitto_property_add_int32(&properties, MQTT_PROP_SESSION_EXPIRY_INTERVAL,
                                 m_shape.sessionSeconds);
    const int rc = mosquitto_connect_bind_v5(m_mosq, host.constData(), m_connection.url.port,
                                             kKeepAliveSeconds, nullptr, properties);
    mosquitto_property_free_all(&properties);
    return rc;
}

void Connection::run()
{
    auto delay = kFirstRetry;
    for (;;) {
        if (!pause(m_shape.beforeAttempt)) {
            break;
        }
        if (!mayConnect()) {
            continue;
        }
        attempting();
        m_attemptStart = std::chrono::steady_clock::now();
        int rc = attempt();
        if (rc != MOSQ_ERR_SUCCESS) {
            attemptFailed(rc);
        } else {
            while (rc == MOSQ_ERR_SUCCESS) {
                bool keep = true;
                {
                    const std::lock_guard<std::mutex> lock(m_mutex);
                    keep = turnLocked();
                    if (m_stopping) {
                        break;
                    }
                    if (m_connected) {
                        delay = kFirstRetry;
                    }
                }
                if (!keep) {
                    abandoned();
                    mosquitto_disconnect(m_mosq);
                    break;
                }
                rc = mosquitto_loop(m_mosq, m_shape.loopMs, 1);
            }
            {
                const std::lock_guard<std::mutex> lock(m_mutex);
                if (m_stopping) {
                    break;
                }
            }
            ended();
        }
        if (!pause(delay)) {
            break;
        }
        delay = std::min(delay * 2, kLastRetry);
        if (m_shape.freshClient) {
            QString error;
            mosquitto *next = newClient(error);
            if (next) {
                const std::lock_guard<std::mutex> lock(m_mutex);
                mosquitto_destroy(m_mosq);
                m_mosq = next;
            }
        }
    }
    // A clean goodbye: the broker publishes no will, and keeps a kept session.
    if (mosquitto_disconnect(m_mosq) == MOSQ_ERR_SUCCESS) {
        for (int turn = 0;
             turn < kGoodbyeTurns && mosquitto_loop(m_mosq, kGoodbyeTurnMs, 1) == MOSQ_ERR_SUCCESS;
             ++turn) {
        }
    }
}

bool Connection::pause(std::chrono::milliseconds delay)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed.wait_for(lock, delay, [this] { return m_stopping || m_retryNow; });
    m_retryNow = false;
    return !m_stopping;
}

bool Connection::once(bool &told)
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    const bool first = !told;
    told = true;
    return first;
}

void Connection::onConnect(mosquitto *, void *self, int rc, int flags, const mqtt5__property *props)
{
    auto *connection = static_cast<Connection *>(self);
    if (rc == 0) {
        const std::lock_guard<std::mutex> lock(connection->m_mutex);
        ++connection->m_connections;
    }
    connection->connectedTo(rc, flags, props);
}

void Connection::onDisconnect(mosquitto *, void *self, int rc, const mqtt5__property *props)
{
    static_cast<Connection *>(self)->disconnected(rc, props);
}

void Connection::onSubscribe(mosquitto *, void *self, int, int count, const int *granted,
                             const mqtt5__property *)
{
    static_cast<Connection *>(self)->subscribed(count, granted);
}

void Connection::onMessage(mosquitto *, void *self, const mosquitto_message *message,
                           const mqtt5__property *props)
{
    static_cast<Connection *>(self)->received(*message, props);
}

void Connection::onPublish(mosquitto *, void *self, int mid, int, const mqtt5__property *)
{
    static_cast<Connection *>(self)->acknowledged(mid);
}

} // namespace publish
