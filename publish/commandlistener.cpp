#include "publish/commandlistener.h"

#include <QCryptographicHash>
#include <QUuid>

#include <mosquitto.h>
#include <mqtt_protocol.h>

#include <cstdlib>
#include <vector>

namespace publish {

namespace {

constexpr int kCommandQos = 1;
// How long the broker keeps the bench's session, and with it the commands that
// come while the bench is away; the gate refuses those that are too old.
constexpr std::uint32_t kSessionSeconds = 3600;
// One turn of the network loop: also at most how long a result waits to be
// handed to libmosquitto, which only the network thread calls.
constexpr int kCommandLoopMs = 20;
constexpr std::size_t kResultsKept = 1000;
// How often the thread asks whether it may connect.
constexpr std::chrono::milliseconds kCommandAsk{100};
// The broker's reason for ending a connection whose session another client
// with the same id has taken.
constexpr int kSessionTakenOver = 0x8E;
// How long a look at the session's holder may take before it is given up.
constexpr std::chrono::seconds kLookWait{5};
constexpr int kLookKeepAlive = 30;

// A look at the session's holder: what the broker keeps on the holder topic,
// and the look's own mark, which comes after it.
struct Look {
    QByteArray holderTopic;
    QByteArray markTopic;
    QByteArray mark;
    QByteArray holder;
    bool done = false;

    static void subscribed(mosquitto *client, void *self, int, int, const int *)
    {
        const Look &look = *static_cast<Look *>(self);
        mosquitto_publish(client, nullptr, look.markTopic.constData(), int(look.mark.size()),
                          look.mark.constData(), kCommandQos, false);
    }
    static void received(mosquitto *, void *self, const mosquitto_message *message)
    {
        Look &look = *static_cast<Look *>(self);
        const QByteArray payload(static_cast<const char *>(message->payload), message->payloadlen);
        if (look.holderTopic == message->topic) {
            look.holder = payload;
        } else if (look.markTopic == message->topic && payload == look.mark) {
            look.done = true;
        }
    }
};

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

QString takenOverWords(const QString &prefix, const QByteArray &clientId)
{
    return QStringLiteral("mqtt: another bench with the same prefix %1 took over this bench's "
                          "connection for commands (client id %2); this bench takes no more "
                          "commands and does not connect for them again, so that the two do not "
                          "push each other off in turns. Each bench needs its own prefix: give "
                          "one of them another --mqtt-topic. Readings go on.")
        .arg(prefix, QString::fromLatin1(clientId));
}

Connection::Shape listenerShape(const ListenerSettings &settings)
{
    Connection::Shape shape;
    // One session per bench: the same prefix comes back to the commands kept for it.
    const QByteArray digest =
        QCryptographicHash::hash(settings.topics.prefix.toUtf8(), QCryptographicHash::Sha1);
    shape.clientId = "vantel-" + digest.toHex().left(16);
    shape.sessionSeconds = kSessionSeconds;
    shape.v5 = true;
    shape.loopMs = kCommandLoopMs;
    shape.beforeAttempt = kCommandAsk;
    shape.purpose = QStringLiteral(" for the commands");
    return shape;
}

} // namespace

CommandListener::CommandListener(ListenerSettings settings, Handler handler, Warn warn)
    : Connection({settings.url, settings.password, settings.caFile}, listenerShape(settings)),
      m_settings(std::move(settings)), m_handler(std::move(handler)), m_warn(std::move(warn)),
      m_gate(m_settings.age)
{
    m_markerTopic = (m_settings.topics.prefix + QStringLiteral("/control/caught-up")).toUtf8();
    m_holderTopic = (m_settings.topics.prefix + QStringLiteral("/control/holder")).toUtf8();
    m_instance = QUuid::createUuid().toByteArray(QUuid::Id128);
}

CommandListener::~CommandListener()
{
    finish(std::chrono::milliseconds{0});
}

// A connection is attempted only while the readings' connection is up (the
// broker answers), and never again once another bench took the session.
bool CommandListener::mayConnect()
{
    bool again = false;
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        if (m_counts.takenOver) {
            return false;
        }
        again = m_connections > 0;
    }
    if (m_settings.mayConnect && !m_settings.mayConnect()) {
        return false;
    }
    // A broker that ends a taken-over connection without saying why (as many
    // do) leaves only this: the holder is no longer this listener. Connecting
    // anyway would push the other bench off in turn.
    if (again) {
        const std::optional<QByteArray> holder = lookAtHolder();
        if (holder && !holder->isEmpty() && *holder != m_instance) {
            takenOver();
            return false;
        }
    }
    return true;
}

// The id the last listener to take this prefix's session left (retained),
// read on a connection with a random id, which takes no session over; nullopt
// when the broker did not tell (then nothing is held against connecting).
std::optional<QByteArray> CommandListener::lookAtHolder()
{
    Look look;
    look.holderTopic = m_holderTopic;
    look.markTopic = (m_settings.topics.prefix + QStringLiteral("/control/look")).toUtf8();
    look.mark = QUuid::createUuid().toByteArray(QUuid::Id128);
    mosquitto *client = mosquitto_new(nullptr, true, &look);
    if (!client) {
        return std::nullopt;
    }
    mosquitto_subscribe_callback_set(client, &Look::subscribed);
    mosquitto_message_callback_set(client, &Look::received);
    std::optional<QByteArray> found;
    QString error;
    const QByteArray host = m_settings.url.host.toUtf8();
    if (configure(client, error) == MOSQ_ERR_SUCCESS &&
        mosquitto_connect(client, host.constData(), m_settings.url.port, kLookKeepAlive) ==
            MOSQ_ERR_SUCCESS) {
        char *topics[] = {look.holderTopic.data(), look.markTopic.data()};
        mosquitto_subscribe_multiple(client, nullptr, 2, topics, kCommandQos, 0, nullptr);
        const auto deadline = std::chrono::steady_clock::now() + kLookWait;
        while (!look.done && std::chrono::steady_clock::now() < deadline &&
               mosquitto_loop(client, kCommandLoopMs, 1) == MOSQ_ERR_SUCCESS) {
            const std::lock_guard<std::mutex> lock(m_mutex);
            if (m_stopping) {
                break;
            }
        }
        if (look.done) {
            found = look.holder;
        }
        mosquitto_disconnect(client);
        mosquitto_loop(client, kCommandLoopMs, 1);
    }
    mosquitto_destroy(client);
    return found;
}

void CommandListener::takenOver()
{
    bool tell = false;
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        tell = !m_counts.takenOver;
        m_counts.takenOver = true;
        m_changed.notify_all();
    }
    if (tell && m_warn) {
        m_warn(takenOverWords(m_settings.topics.prefix, m_shape.clientId));
    }
}

bool CommandListener::turnLocked()
{
    pumpLocked();
    return true;
}

void CommandListener::ended()
{
    m_gate.lost(CommandGate::Clock::now());
}

void CommandListener::disconnected(int rc, const mqtt5__property *)
{
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_connected = false;
        // A result handed over and not acknowledged is not sent again: the session
        // may send it on the next connection, and a result is only news.
        m_unacknowledged.clear();
        m_changed.notify_all();
    }
    // A broker that says why it ended the connection.
    if (rc == kSessionTakenOver) {
        takenOver();
    }
}

void CommandListener::subscribed(int count, const int *granted)
{
    bool refused = false;
    for (int i = 0; i < count; ++i) {
        refused = refused || granted[i] >= 0x80;
    }
    bool tell = false;
    bool first = false;
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_subscribed = !refused;
        tell = refused && !m_toldSubscription;
        m_toldSubscription = m_toldSubscription || refused;
        first = !refused && !m_toldListening;
        m_toldListening = m_toldListening || first;
    }
    if (tell && m_warn) {
        m_warn(QStringLiteral("the MQTT broker does not let this bench read its command "
                              "topics (not authorised): no command will arrive"));
    }
    if (first && m_warn) {
        m_warn(QStringLiteral("mqtt: taking commands on %1/<address>/set/v, set/a, "
                              "output/set, %1/all-off and %2")
                   .arg(m_settings.topics.prefix, kLabAllOff));
    }
}

void CommandListener::connectedTo(int rc, int flags, const mqtt5__property *)
{
    const bool sessionKept = (flags & 1) != 0;
    if (rc != 0) {
        if (once(m_toldRefused) && m_warn) {
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
    // This listener holds the session now; one that held it before and comes
    // back finds out that it was taken over.
    mosquitto_publish_v5(m_mosq, nullptr, m_holderTopic.constData(), int(m_instance.size()),
                         m_instance.constData(), kCommandQos, true, nullptr);
    if (sessionKept) {
        // What the broker kept for the session comes before this message does.
        mosquitto_publish_v5(m_mosq, nullptr, m_markerTopic.constData(), int(m_marker.size()),
                             m_marker.constData(), kCommandQos, false, nullptr);
    }
    const std::lock_guard<std::mutex> lock(m_mutex);
    m_connected = true;
    m_changed.notify_all();
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

void CommandListener::acknowledged(int mid)
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    m_unacknowledged.erase(mid);
    m_changed.notify_all();
}

void CommandListener::finish(std::chrono::milliseconds budget)
{
    if (!m_thread.joinable()) {
        return;
    }
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed.wait_for(lock, budget, [this] {
        return !m_connected || (m_results.empty() && m_unacknowledged.empty());
    });
    endThread(lock);
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
