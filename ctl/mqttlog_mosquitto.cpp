// Publishing a log's rows through libmosquitto (publish/).

#include "ctl/mqttcommands.h"
#include "ctl/mqttlog.h"
#include "ctl/output.h"
#include "publish/commandlistener.h"
#include "publish/publisher.h"
#include "records/rowwriter.h"
#include "values/values.h"

#include <QFileInfo>
#include <QPointer>
#include <QSysInfo>

namespace ctl {

namespace {

constexpr std::chrono::seconds kFlush{2};
constexpr std::size_t kDefaultQueue = 10000;
constexpr int kLargestQueue = 10000000;
constexpr std::chrono::seconds kDefaultCommandAge{5};
constexpr std::chrono::hours kLargestCommandAge{1};

std::chrono::milliseconds commandAge(const MqttOptions &options)
{
    if (options.commandAge.isEmpty()) {
        return kDefaultCommandAge;
    }
    return *values::parseDuration(options.commandAge);
}

class Publishing : public MqttLog {
public:
    Publishing(publish::PublisherSettings settings, std::chrono::milliseconds age)
        : m_settings(settings), m_age(age),
          m_publisher(std::move(settings), [](const QString &text) { printErr(text); })
    {
    }

    QString startControl(engine::Client &client, const std::vector<std::uint8_t> &addresses,
                         QObject *owner, const ControlWays &ways) override
    {
        auto *commands = new MqttCommands(client, addresses, owner);
        commands->setWays(ways);
        m_commands = commands;
        publish::ListenerSettings settings;
        settings.url = m_settings.url;
        settings.password = m_settings.password;
        settings.caFile = m_settings.caFile;
        settings.topics = m_settings.topics;
        settings.addresses = m_settings.addresses;
        settings.age = m_age;
        settings.mayConnect = [this] { return m_publisher.connected(); };
        // Commands come on the network thread and are carried out on the
        // client's; the listener ends before `commands` goes (finish()).
        m_listener = std::make_unique<publish::CommandListener>(
            std::move(settings),
            [this, commands](const publish::CommandListener::Incoming &incoming) {
                QMetaObject::invokeMethod(
                    commands,
                    [this, commands, incoming] {
                        commands->carryOut(incoming.command,
                                           [this, incoming](const publish::CommandResult &r) {
                                               if (m_listener) {
                                                   m_listener->answer(incoming, r);
                                               }
                                           });
                    },
                    Qt::QueuedConnection);
            },
            [](const QString &text) { printErr(text); });
        QString error;
        if (!m_listener->start(error)) {
            m_listener.reset();
            return error;
        }
        return {};
    }

    bool start(QString *error) { return m_publisher.start(*error); }
    void publish(const records::Row &row) override
    {
        m_publisher.publishReading(row.address, records::RowWriter::jsonLine(row, row.withStep));
    }

    void stopControl() override
    {
        if (m_commands) {
            m_commands->close();
        }
    }

    void finish() override
    {
        if (m_listener) {
            m_listener->finish(kFlush);
            const publish::ListenerCounts commands = m_listener->counts();
            printErr(QStringLiteral("mqtt: %1 commands carried out, %2 refused as retained or "
                                    "stale")
                         .arg(commands.received)
                         .arg(commands.refused));
            if (commands.takenOver) {
                printErr(QStringLiteral("mqtt: commands stopped: another bench with the prefix "
                                        "%1 took over the connection for commands")
                             .arg(m_settings.topics.prefix));
            }
        }
        m_publisher.finish(kFlush);
        const publish::PublisherCounts counts = m_publisher.counts();
        printErr(QStringLiteral("mqtt: %1 published, %2 dropped, %3 reconnects")
                     .arg(counts.published)
                     .arg(counts.dropped)
                     .arg(counts.reconnects));
    }

private:
    publish::PublisherSettings m_settings;
    std::chrono::milliseconds m_age;
    publish::Publisher m_publisher;
    std::unique_ptr<publish::CommandListener> m_listener;
    QPointer<MqttCommands> m_commands;
};

} // namespace

bool MqttLog::available()
{
    return true;
}

QString MqttLog::check(const MqttOptions &options)
{
    QString error;
    const auto url = publish::parseMqttUrl(options.url, error);
    if (!url) {
        return QStringLiteral("--mqtt: ") + error;
    }
    if (!options.queue.isEmpty() && !values::parseWhole(options.queue, 1, kLargestQueue)) {
        return QStringLiteral("--mqtt-queue: %1")
            .arg(values::parseWhole(options.queue, 1, kLargestQueue).error());
    }
    if (url->tls && !publish::tlsAvailable()) {
        return QStringLiteral("mqtts:// is not available in this build (the Windows build has no "
                              "TLS); use mqtt:// on a trusted network");
    }
    if (!options.caFile.isEmpty() && !url->tls) {
        return QStringLiteral("--mqtt-cafile needs an mqtts:// URL");
    }
    if (!options.caFile.isEmpty() && !QFileInfo(options.caFile).isReadable()) {
        return QStringLiteral("--mqtt-cafile: cannot read %1").arg(options.caFile);
    }
    if (!options.commandAge.isEmpty()) {
        const auto age = values::parseDuration(options.commandAge);
        if (!age || age->count() <= 0 || *age > kLargestCommandAge) {
            return QStringLiteral("--mqtt-command-age takes a duration from 1s to 1h, not '%1'")
                .arg(options.commandAge);
        }
    }
    if (options.topic.contains(QLatin1Char('+')) || options.topic.contains(QLatin1Char('#'))) {
        return QStringLiteral("--mqtt-topic: + and # are not allowed in a topic");
    }
    return {};
}

std::unique_ptr<MqttLog> MqttLog::start(const MqttOptions &options, const QString &portName,
                                        const std::vector<std::uint8_t> &addresses, QString *error)
{
    publish::PublisherSettings settings;
    settings.url = *publish::parseMqttUrl(options.url, *error);
    settings.password = qEnvironmentVariable("VANTEL_MQTT_PASSWORD");
    settings.caFile = options.caFile;
    settings.topics.prefix = options.topic.isEmpty()
                                 ? publish::defaultTopicPrefix(QSysInfo::machineHostName(),
                                                               QFileInfo(portName).fileName())
                                 : options.topic;
    settings.discovery = options.discovery;
    settings.control = options.control;
    for (const std::uint8_t address : addresses) {
        settings.addresses.append(address);
    }
    settings.queueLimit = options.queue.isEmpty()
                              ? kDefaultQueue
                              : std::size_t(*values::parseWhole(options.queue, 1, kLargestQueue));

    auto log = std::make_unique<Publishing>(std::move(settings), commandAge(options));
    if (!log->start(error)) {
        return nullptr;
    }
    return log;
}

} // namespace ctl
