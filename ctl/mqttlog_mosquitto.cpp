// Publishing a log's rows through libmosquitto (publish/).

#include "ctl/mqttlog.h"
#include "ctl/output.h"
#include "publish/publisher.h"
#include "records/rowwriter.h"
#include "values/values.h"

#include <QFileInfo>
#include <QSysInfo>

namespace ctl {

namespace {

constexpr std::chrono::seconds kFlush{2};
constexpr std::size_t kDefaultQueue = 10000;
constexpr int kLargestQueue = 10000000;

class Publishing : public MqttLog {
public:
    explicit Publishing(publish::PublisherSettings settings)
        : m_publisher(std::move(settings), [](const QString &text) { printErr(text); })
    {
    }

    bool start(QString *error) { return m_publisher.start(*error); }
    void publish(const supply::Row &row) override
    {
        m_publisher.publishReading(row.address, supply::RowWriter::jsonLine(row, row.withStep));
    }

    void finish() override
    {
        m_publisher.finish(kFlush);
        const publish::PublisherCounts counts = m_publisher.counts();
        printErr(QStringLiteral("mqtt: %1 published, %2 dropped, %3 reconnects")
                     .arg(counts.published)
                     .arg(counts.dropped)
                     .arg(counts.reconnects));
    }

private:
    publish::Publisher m_publisher;
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
    for (const std::uint8_t address : addresses) {
        settings.addresses.append(address);
    }
    settings.queueLimit = options.queue.isEmpty()
                              ? kDefaultQueue
                              : std::size_t(*values::parseWhole(options.queue, 1, kLargestQueue));

    auto log = std::make_unique<Publishing>(std::move(settings));
    if (!log->start(error)) {
        return nullptr;
    }
    return log;
}

} // namespace ctl
