#include "publish/publisher.h"

#include <mosquitto.h>
#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <sys/socket.h>
#endif

#include <algorithm>

namespace publish {

namespace {

constexpr int kQos = 1;
// How long one turn of the network loop may wait for the socket; also how soon
// the thread sees that it is to end, and at most how long a reading waits in the
// queue before the thread hands it to libmosquitto.
constexpr int kLoopMs = 100;
// Readings handed to libmosquitto and not yet acknowledged; the rest wait in
// our own queue, where the oldest can be dropped when it is full.
constexpr std::size_t kWindow = 20;

const QByteArray kOnline = QByteArrayLiteral("online");
const QByteArray kOffline = QByteArrayLiteral("offline");

// "not authorised" from "Connection Refused: not authorised."
QString refusal(int rc)
{
    QString text = QString::fromUtf8(mosquitto_connack_string(rc));
    const int colon = text.indexOf(QLatin1Char(':'));
    if (colon >= 0) {
        text = text.mid(colon + 1).trimmed();
    }
    if (text.endsWith(QLatin1Char('.'))) {
        text.chop(1);
    }
    return text;
}

} // namespace

bool tlsAvailable()
{
    initLibrary();
    mosquitto *client = mosquitto_new(nullptr, true, nullptr);
    if (!client) {
        return true; // no answer; connecting says what is wrong
    }
    const bool available =
        mosquitto_int_option(client, MOSQ_OPT_TLS_USE_OS_CERTS, 1) != MOSQ_ERR_NOT_SUPPORTED;
    mosquitto_destroy(client);
    return available;
}

namespace {

Connection::Shape publisherShape(const PublisherSettings &settings)
{
    Connection::Shape shape;
    shape.willTopic = settings.topics.status().toUtf8();
    shape.willPayload = kOffline;
    shape.loopMs = kLoopMs;
    // A client whose connection broke sends its unacknowledged messages again
    // on its next connection, ahead of what it is given then, which would put
    // readings out of order; here they go back to the front of the queue instead.
    shape.freshClient = true;
    return shape;
}

} // namespace

Publisher::Publisher(PublisherSettings settings, Warn warn)
    : Connection({settings.url, settings.password, settings.caFile}, publisherShape(settings)),
      m_settings(std::move(settings)), m_warn(std::move(warn))
{
}

Publisher::~Publisher()
{
    finish(std::chrono::milliseconds{0});
}

void Publisher::attempting()
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    m_answered = false;
}

// Each turn of the network loop: "offline" when finish() asks for it, the
// queued readings, and whether the server has answered the login in time.
bool Publisher::turnLocked()
{
    // "offline" goes out even when finish() gave it no time to be
    // acknowledged: it is queued ahead of the goodbye.
    if (m_offlineWanted && !m_offlineSent && m_connected) {
        const QByteArray status = m_settings.topics.status().toUtf8();
        m_offlineSent =
            mosquitto_publish(m_mosq, &m_offlineMid, status.constData(), int(kOffline.size()),
                              kOffline.constData(), kQos, true) == MOSQ_ERR_SUCCESS;
    }
    const std::size_t queued = m_queue.size();
    pumpLocked();
    if (m_queue.size() != queued) {
        m_changed.notify_all(); // finish() waits for the queue to empty
    }
    // Connected, yet no word of MQTT: drop it and try again later.
    return m_answered || std::chrono::steady_clock::now() - m_attemptStart < m_settings.answerWait;
}

void Publisher::publishReading(int address, const QByteArray &json)
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    if (m_finishing) {
        return;
    }
    m_queue.push_back({m_settings.topics.reading(address).toUtf8(), json});
    while (m_queue.size() > m_settings.queueLimit) {
        m_queue.pop_front();
        ++m_counts.dropped;
    }
}

// Hands queued readings to libmosquitto while connected, at most kWindow
// unacknowledged at a time; on the network thread only. mosquitto_publish()
// only queues the packet for the loop, so this never waits on the network.
void Publisher::pumpLocked()
{
    while (m_connected && m_inFlight.size() < kWindow && !m_queue.empty()) {
        const Outgoing &next = m_queue.front();
        int mid = 0;
        const int rc =
            mosquitto_publish(m_mosq, &mid, next.topic.constData(), int(next.payload.size()),
                              next.payload.constData(), kQos, false);
        if (rc != MOSQ_ERR_SUCCESS) {
            return; // left queued for the next connection
        }
        m_inFlight.emplace_back(mid, std::move(m_queue.front()));
        m_queue.pop_front();
    }
}

void Publisher::publishRetained(const QString &topic, const QByteArray &payload, int *mid)
{
    const QByteArray name = topic.toUtf8();
    mosquitto_publish(m_mosq, mid, name.constData(), int(payload.size()), payload.constData(), kQos,
                      true);
}

void Publisher::abandoned()
{
    // A TCP connection that never got through (a host that drops packets) is
    // no server at all: the unreachable message is the one for it.
    sockaddr_storage peer{};
#ifdef _WIN32
    int size = int(sizeof peer);
    const auto fd = SOCKET(mosquitto_socket(m_mosq));
    const bool tcpUp =
        fd != INVALID_SOCKET && ::getpeername(fd, reinterpret_cast<sockaddr *>(&peer), &size) == 0;
#else
    socklen_t size = sizeof peer;
    const int fd = mosquitto_socket(m_mosq);
    const bool tcpUp =
        fd >= 0 && ::getpeername(fd, reinterpret_cast<sockaddr *>(&peer), &size) == 0;
#endif
    QString message;
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        const MqttUrl &url = m_settings.url;
        if (!tcpUp) {
            if (!m_toldUnreachable && m_connections == 0) {
                m_toldUnreachable = true;
                message = QStringLiteral("MQTT broker %1:%2 not reachable (no connection within "
                                         "%3 s); the log goes on and keeps trying")
                              .arg(url.host)
                              .arg(url.port)
                              .arg(m_settings.answerWait.count() / 1000.0);
            }
        } else if (!m_toldSilent) {
            m_toldSilent = true;
            m_toldUnreachable = true; // its disconnection is not news
            message = QStringLiteral("%1:%2 took the connection but gave no MQTT answer within "
                                     "%3 s (%4); the log goes on and keeps trying")
                          .arg(url.host)
                          .arg(url.port)
                          .arg(m_settings.answerWait.count() / 1000.0)
                          .arg(url.tls ? QStringLiteral("not an MQTT over TLS port?")
                                       : QStringLiteral("a TLS port, which needs mqtts://, or "
                                                        "not an MQTT broker?"));
        }
    }
    if (!message.isEmpty() && m_warn) {
        m_warn(message);
    }
}

void Publisher::connectedTo(int rc, int, const mqtt5__property *)
{
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_answered = true;
    }
    if (rc != 0) {
        if (once(m_toldRefused) && m_warn) {
            const QString user = m_settings.url.user.isEmpty()
                                     ? QString()
                                     : QStringLiteral(" for user %1").arg(m_settings.url.user);
            m_warn(QStringLiteral("MQTT broker refused the login%1: %2; the log goes on")
                       .arg(user, refusal(rc)));
        }
        return;
    }
    if (m_settings.discovery) {
        for (const int address : m_settings.addresses) {
            for (const RetainedMessage &config :
                 discoveryConfigs(m_settings.topics, address) +
                     controlConfigs(m_settings.topics, address, m_settings.control)) {
                publishRetained(config.topic, config.payload);
            }
        }
        const RetainedMessage button = benchControlConfig(m_settings.topics, m_settings.control);
        publishRetained(button.topic, button.payload);
    }
    publishRetained(m_settings.topics.status(), kOnline);

    const std::lock_guard<std::mutex> lock(m_mutex);
    m_connected = true;
    pumpLocked();
    m_changed.notify_all();
}

void Publisher::disconnected(int rc, const mqtt5__property *)
{
    QString message;
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        const bool wasConnected = m_connected;
        m_connected = false;
        while (!m_inFlight.empty()) {
            m_queue.push_front(std::move(m_inFlight.back().second));
            m_inFlight.pop_back();
        }
        m_changed.notify_all();
        if (m_finishing || rc == MOSQ_ERR_SUCCESS) {
            return;
        }
        const MqttUrl &url = m_settings.url;
        if (m_connections == 0 && !m_toldUnreachable && !m_toldRefused) {
            m_toldUnreachable = true;
            message = QStringLiteral("MQTT broker %1:%2 not reachable (%3); the log goes on and "
                                     "keeps trying")
                          .arg(url.host)
                          .arg(url.port)
                          .arg(libraryError(rc));
        } else if (wasConnected && !m_toldLost) {
            m_toldLost = true;
            message = QStringLiteral("MQTT broker %1:%2 lost (%3); readings wait for it in a "
                                     "queue of up to %4")
                          .arg(url.host)
                          .arg(url.port)
                          .arg(libraryError(rc))
                          .arg(m_settings.queueLimit);
        }
    }
    if (!message.isEmpty() && m_warn) {
        m_warn(message);
    }
}

void Publisher::acknowledged(int mid)
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    const auto sent = std::find_if(m_inFlight.begin(), m_inFlight.end(),
                                   [mid](const auto &entry) { return entry.first == mid; });
    if (sent != m_inFlight.end()) {
        m_inFlight.erase(sent);
        ++m_counts.published;
    }
    if (mid == m_offlineMid) {
        m_offlineAcknowledged = true;
    }
    pumpLocked();
    m_changed.notify_all();
}

void Publisher::finish(std::chrono::milliseconds budget)
{
    if (!m_thread.joinable()) {
        return;
    }
    const auto deadline = std::chrono::steady_clock::now() + budget;
    std::unique_lock<std::mutex> lock(m_mutex);
    m_finishing = true;
    if (!m_connected && budget.count() > 0 && (!m_queue.empty() || !m_inFlight.empty())) {
        // One more attempt at once rather than after the back-off: readings
        // waiting for a broker that is back get their chance to go out.
        m_retryNow = true;
        m_changed.notify_all();
        m_changed.wait_until(lock, deadline, [this] { return m_connected; });
    }
    if (m_connected) {
        // Queued after the readings, so the broker has them all when it says
        // offline; the network thread publishes it.
        m_changed.wait_until(lock, deadline, [this] { return m_queue.empty() || !m_connected; });
        m_offlineWanted = true;
        m_changed.wait_until(lock, deadline, [this] {
            return !m_connected || (m_inFlight.empty() && m_offlineAcknowledged);
        });
    }
    m_counts.dropped += m_queue.size() + m_inFlight.size();
    m_queue.clear();
    m_inFlight.clear();
    endThread(lock);
}

PublisherCounts Publisher::counts() const
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    PublisherCounts counts = m_counts;
    counts.reconnects = std::uint64_t(std::max(m_connections - 1, 0));
    return counts;
}

bool Publisher::connected() const
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_connected;
}

} // namespace publish
