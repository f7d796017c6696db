#include "publish/commandlistener.h"

#include <QCryptographicHash>
#include <QFile>
#include <QUuid>

#include <mosquitto.h>
#include <mqtt_protocol.h>

#include <cstdlib>
#include <vector>

namespace publish {

namespace {

constexpr int kCommandQos = 1;
constexpr int kCommandKeepAlive = 30;
// How long the broker keeps the bench's session, and with it the commands that
// come while the bench is away; the gate refuses those that are too old.
constexpr std::uint32_t kSessionSeconds = 3600;
constexpr std::chrono::seconds kCommandFirstRetry{1};
constexpr std::chrono::seconds kCommandLastRetry{30};
// One turn of the network loop: also at most how long a result waits to be
// handed to libmosquitto, which only the network thread calls.
constexpr int kCommandLoopMs = 20;
constexpr std::size_t kResultsKept = 1000;

QString commandWords(CommandGate::Verdict verdict, const CommandGate &gate)
{
    switch (verdict) {
    case CommandGate::Verdict::Retained:
        return QStringLiteral("a retained message is never carried out: it would act again each "
                              "time the bench connects; send it without the retain flag");
    case CommandGate::Verdict::Stale:
        return gate.away() ? QStringLiteral("it waited at the broker while the bench was away for "
                                            "%1 s, longer than the command age of %2 s")
                                 .arg(double(gate.away()->count()) / 1000.0, 0, 'f', 1)
                                 .arg(double(gate.age().count()) / 1000.0)
                           : QStringLiteral("it waited at the broker for the bench for an unknown "
                                            "time, which may be longer than the command age of "
                                            "%1 s")
                                 .arg(double(gate.age().count()) / 1000.0);
    case CommandGate::Verdict::Carry:
    case CommandGate::Verdict::Repeat:
        break;
    }
    return {};
}

} // namespace

CommandListener::CommandListener(ListenerSettings settings, Handler handler, Warn warn)
    : m_settings(std::move(settings)), m_handler(std::move(handler)), m_warn(std::move(warn)),
      m_gate(m_settings.age)
{
    // One session per bench: the same prefix comes back to the commands kept for it.
    const QByteArray digest =
        QCryptographicHash::hash(m_settings.topics.prefix.toUtf8(), QCryptographicHash::Sha1);
    m_clientId = "vantel-" + digest.toHex().left(16);
    m_markerTopic = (m_settings.topics.prefix + QStringLiteral("/control/caught-up")).toUtf8();
}

CommandListener::~CommandListener()
{
    finish(std::chrono::milliseconds{0});
    if (m_mosq) {
        mosquitto_destroy(m_mosq);
    }
}

bool CommandListener::start(QString &error)
{
    mosquitto_lib_init();
    if (!setUp(error)) {
        return false;
    }
    m_thread = std::thread([this] { run(); });
    return true;
}

bool CommandListener::setUp(QString &error)
{
    m_mosq = mosquitto_new(m_clientId.constData(), false, this);
    if (!m_mosq) {
        error = QStringLiteral("cannot set up MQTT for the commands");
        return false;
    }
    mosquitto_int_option(m_mosq, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
    mosquitto_connect_v5_callback_set(m_mosq, &CommandListener::onConnect);
    mosquitto_disconnect_v5_callback_set(m_mosq, &CommandListener::onDisconnect);
    mosquitto_subscribe_v5_callback_set(m_mosq, &CommandListener::onSubscribe);
    mosquitto_message_v5_callback_set(m_mosq, &CommandListener::onMessage);
    mosquitto_publish_v5_callback_set(m_mosq, &CommandListener::onPublish);
    mosquitto_threaded_set(m_mosq, true);
    const MqttUrl &url = m_settings.url;
    if (!url.user.isEmpty()) {
        const QByteArray user = url.user.toUtf8();
        const QByteArray password = m_settings.password.toUtf8();
        mosquitto_username_pw_set(m_mosq, user.constData(),
                                  m_settings.password.isEmpty() ? nullptr : password.constData());
    }
    int rc = MOSQ_ERR_SUCCESS;
    if (url.tls && !m_settings.caFile.isEmpty()) {
        const QByteArray caFile = QFile::encodeName(m_settings.caFile);
        rc = mosquitto_tls_set(m_mosq, caFile.constData(), nullptr, nullptr, nullptr, nullptr);
    } else if (url.tls) {
        rc = mosquitto_int_option(m_mosq, MOSQ_OPT_TLS_USE_OS_CERTS, 1);
    }
    if (rc != MOSQ_ERR_SUCCESS) {
        error = QStringLiteral("cannot set up TLS for the commands: %1")
                    .arg(QString::fromUtf8(mosquitto_strerror(rc)));
        return false;
    }
    return true;
}

// The network thread: connects while the readings' connection is up, runs the
// loop, and after a lost connection waits 1 s, 2 s ... up to 30 s.
void CommandListener::run()
{
    auto delay = kCommandFirstRetry;
    for (;;) {
        if (!wait(std::chrono::milliseconds{100})) {
            break;
        }
        if (m_settings.mayConnect && !m_settings.mayConnect()) {
            continue;
        }
        if (!connect()) {
            if (!wait(delay)) {
                break;
            }
            delay = std::min(delay * 2, kCommandLastRetry);
            continue;
        }
        int rc = MOSQ_ERR_SUCCESS;
        while (rc == MOSQ_ERR_SUCCESS) {
            {
                const std::lock_guard<std::mutex> lock(m_mutex);
                if (m_stopping) {
                    break;
                }
                if (m_connected) {
                    delay = kCommandFirstRetry;
                }
                pumpLocked();
            }
            rc = mosquitto_loop(m_mosq, kCommandLoopMs, 1);
        }
        {
            const std::lock_guard<std::mutex> lock(m_mutex);
            if (m_stopping) {
                break;
            }
        }
        m_gate.lost(CommandGate::Clock::now());
        if (!wait(delay)) {
            break;
        }
        delay = std::min(delay * 2, kCommandLastRetry);
    }
    // A clean goodbye that keeps the session: the broker keeps what comes for
    // the bench until it is back.
    if (mosquitto_disconnect(m_mosq) == MOSQ_ERR_SUCCESS) {
        for (int turn = 0; turn < 10 && mosquitto_loop(m_mosq, 100, 1) == MOSQ_ERR_SUCCESS;
             ++turn) {
        }
    }
}

// The session's lifetime is a property of the CONNECT packet, which only the
// blocking connect sends; it is attempted once the readings' connection has
// shown that the broker answers.
bool CommandListener::connect()
{
    mosquitto_property *properties = nullptr;
    mosquitto_property_add_int32(&properties, MQTT_PROP_SESSION_EXPIRY_INTERVAL, kSessionSeconds);
    const QByteArray host = m_settings.url.host.toUtf8();
    const int rc = mosquitto_connect_bind_v5(m_mosq, host.constData(), m_settings.url.port,
                                             kCommandKeepAlive, nullptr, properties);
    mosquitto_property_free_all(&properties);
    return rc == MOSQ_ERR_SUCCESS;
}

bool CommandListener::wait(std::chrono::milliseconds delay)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed.wait_for(lock, delay, [this] { return m_stopping; });
    return !m_stopping;
}

void CommandListener::onConnect(mosquitto *, void *self, int rc, int flags, const mqtt5__property *)
{
    static_cast<CommandListener *>(self)->connectedTo(rc, (flags & 1) != 0);
}

void CommandListener::onDisconnect(mosquitto *, void *self, int, const mqtt5__property *)
{
    auto *listener = static_cast<CommandListener *>(self);
    const std::lock_guard<std::mutex> lock(listener->m_mutex);
    listener->m_connected = false;
    // A result handed over and not acknowledged is not sent again: the session
    // may send it on the next connection, and a result is only news.
    listener->m_unacknowledged.clear();
    listener->m_changed.notify_all();
}

void CommandListener::onSubscribe(mosquitto *, void *self, int, int count, const int *granted,
                                  const mqtt5__property *)
{
    auto *listener = static_cast<CommandListener *>(self);
    bool refused = false;
    for (int i = 0; i < count; ++i) {
        refused = refused || granted[i] >= 0x80;
    }
    bool tell = false;
    bool first = false;
    {
        const std::lock_guard<std::mutex> lock(listener->m_mutex);
        listener->m_subscribed = !refused;
        tell = refused && !listener->m_toldSubscription;
        listener->m_toldSubscription = listener->m_toldSubscription || refused;
        first = !refused && !listener->m_toldListening;
        listener->m_toldListening = listener->m_toldListening || first;
    }
    if (tell && listener->m_warn) {
        listener->m_warn(QStringLiteral("the MQTT broker does not let this bench read its command "
                                        "topics (not authorised): no command will arrive"));
    }
    if (first && listener->m_warn) {
        listener->m_warn(QStringLiteral("mqtt: taking commands on %1/<address>/set/v, set/a, "
                                        "output/set, %1/all-off and %2")
                             .arg(listener->m_settings.topics.prefix, kLabAllOff));
    }
}

void CommandListener::connectedTo(int rc, bool sessionKept)
{
    if (rc != 0) {
        bool tell = false;
        {
            const std::lock_guard<std::mutex> lock(m_mutex);
            tell = !m_toldRefused;
            m_toldRefused = true;
        }
        if (tell && m_warn) {
            m_warn(QStringLiteral("MQTT broker refused the commands' login: %1")
                       .arg(QString::fromUtf8(mosquitto_reason_string(rc))));
        }
        return;
    }
    m_gate.connected(sessionKept, CommandGate::Clock::now());
    m_marker = QUuid::createUuid().toByteArray(QUuid::Id128);
    // One SUBSCRIBE for every topic, so that one answer says whether all were granted.
    QList<QByteArray> names;
    for (const QString &topic : commandTopics(m_settings.topics, m_settings.addresses)) {
        names << topic.toUtf8();
    }
    names << m_markerTopic;
    std::vector<char *> pointers;
    for (QByteArray &name : names) {
        pointers.push_back(name.data());
    }
    // Retain as published: a retained message keeps its flag also when it comes
    // to a subscription made before it, so that it is never carried out.
    mosquitto_subscribe_multiple(m_mosq, nullptr, int(pointers.size()), pointers.data(),
                                 kCommandQos, MQTT_SUB_OPT_RETAIN_AS_PUBLISHED, nullptr);
    if (sessionKept) {
        // What the broker kept for the session comes before this message does.
        mosquitto_publish_v5(m_mosq, nullptr, m_markerTopic.constData(), int(m_marker.size()),
                             m_marker.constData(), kCommandQos, false, nullptr);
    }
    const std::lock_guard<std::mutex> lock(m_mutex);
    ++m_connections;
    m_connected = true;
    m_changed.notify_all();
}

void CommandListener::onMessage(mosquitto *, void *self, const mosquitto_message *message,
                                const mqtt5__property *props)
{
    static_cast<CommandListener *>(self)->received(*message, props);
}

void CommandListener::received(const mosquitto_message &message, const mqtt5__property *props)
{
    const QByteArray payload(static_cast<const char *>(message.payload), message.payloadlen);
    if (m_markerTopic == message.topic) {
        if (payload == m_marker) {
            m_gate.caughtUp();
        }
        return;
    }
    const QString topic = QString::fromUtf8(message.topic);
    const auto command = commandOf(m_settings.topics, m_settings.addresses, topic, payload);
    if (!command) {
        return;
    }
    Incoming incoming{*command, resultTopic(m_settings.topics, *command), {}};
    char *response = nullptr;
    if (mosquitto_property_read_string(props, MQTT_PROP_RESPONSE_TOPIC, &response, false)) {
        incoming.resultTopic = QString::fromUtf8(response);
        std::free(response);
    }
    void *correlation = nullptr;
    std::uint16_t length = 0;
    if (mosquitto_property_read_binary(props, MQTT_PROP_CORRELATION_DATA, &correlation, &length,
                                       false)) {
        incoming.correlation = QByteArray(static_cast<const char *>(correlation), length);
        std::free(correlation);
    }
    const CommandGate::Verdict verdict =
        m_gate.judge(message.mid, topic, payload, message.retain, CommandGate::Clock::now());
    if (verdict == CommandGate::Verdict::Repeat) {
        const std::lock_guard<std::mutex> lock(m_mutex);
        ++m_counts.repeated;
        return;
    }
    if (verdict != CommandGate::Verdict::Carry) {
        refuse(incoming, verdict);
        return;
    }
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        ++m_counts.received;
    }
    if (m_handler) {
        m_handler(incoming);
    }
}

void CommandListener::refuse(const Incoming &incoming, CommandGate::Verdict verdict)
{
    const bool retained = verdict == CommandGate::Verdict::Retained;
    CommandResult result;
    result.error = retained ? QStringLiteral("retained") : QStringLiteral("stale");
    result.text = commandWords(verdict, m_gate);
    bool tell = false;
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        ++m_counts.refused;
        tell = retained && !m_toldRetained;
        m_toldRetained = m_toldRetained || retained;
    }
    if (tell && m_warn) {
        m_warn(QStringLiteral("mqtt: a retained command on %1 was not carried out, nor will any "
                              "be: a retained message would act again each time the bench "
                              "connects")
                   .arg(incoming.command.name()));
    }
    answer(incoming, result);
}

void CommandListener::answer(const Incoming &incoming, const CommandResult &result)
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    m_results.push_back({incoming.resultTopic.toUtf8(), resultJson(incoming.command, result),
                         incoming.correlation});
    while (m_results.size() > kResultsKept) {
        m_results.pop_front();
    }
    m_changed.notify_all();
}

// Hands waiting results to libmosquitto while connected; on the network thread only.
void CommandListener::pumpLocked()
{
    while (m_connected && !m_results.empty()) {
        const Outgoing &next = m_results.front();
        mosquitto_property *properties = nullptr;
        if (!next.correlation.isEmpty()) {
            mosquitto_property_add_binary(&properties, MQTT_PROP_CORRELATION_DATA,
                                          next.correlation.constData(),
                                          std::uint16_t(next.correlation.size()));
        }
        int mid = 0;
        const int rc =
            mosquitto_publish_v5(m_mosq, &mid, next.topic.constData(), int(next.payload.size()),
                                 next.payload.constData(), kCommandQos, false, properties);
        mosquitto_property_free_all(&properties);
        if (rc != MOSQ_ERR_SUCCESS) {
            return;
        }
        m_unacknowledged.insert(mid);
        m_results.pop_front();
    }
}

void CommandListener::onPublish(mosquitto *, void *self, int mid, int, const mqtt5__property *)
{
    auto *listener = static_cast<CommandListener *>(self);
    const std::lock_guard<std::mutex> lock(listener->m_mutex);
    listener->m_unacknowledged.erase(mid);
    listener->m_changed.notify_all();
}

void CommandListener::finish(std::chrono::milliseconds budget)
{
    if (!m_thread.joinable()) {
        return;
    }
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait_for(lock, budget, [this] {
            return !m_connected || (m_results.empty() && m_unacknowledged.empty());
        });
        m_stopping = true;
        m_changed.notify_all();
    }
    m_thread.join();
}

ListenerCounts CommandListener::counts() const
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_counts;
}

bool CommandListener::subscribed() const
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_connected && m_subscribed;
}

} // namespace publish
