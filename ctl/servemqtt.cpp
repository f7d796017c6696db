// serve's face on an MQTT broker: the bench's readings published as log
// publishes its rows, and with control the broker's commands carried out.
#include "ctl/socketserver_p.h"

#include <QJsonArray>

namespace ctl {

bool SocketServer::startMqtt()
{
    if (m_options.mqtt.url.isEmpty()) {
        return true;
    }
    QString error;
    m_mqtt = MqttLog::start(m_options.mqtt, m_link.portName(), m_units, &error);
    if (!m_mqtt) {
        printErr(QStringLiteral("--mqtt: ") + error);
        m_exit = kExitUsage;
        return false;
    }
    // Every reading the bench keeps, the page's and the write's read-backs too.
    m_bench->rowTaken = [this](const records::Row &row) { m_mqtt->publish(row); };
    if (!m_options.mqtt.control) {
        return true;
    }
    ControlWays ways;
    ways.program = QStringLiteral("server");
    ways.allOff = [this](std::function<void(const AllOffResult &)> done) {
        allOffForBroker(std::move(done));
    };
    const QString why = m_mqtt->startControl(m_client, m_units, &m_context, ways);
    if (!why.isEmpty()) {
        printErr(QStringLiteral("--mqtt-control: ") + why);
        m_bench->rowTaken = nullptr;
        m_mqtt->finish();
        m_mqtt.reset();
        m_exit = kExitUsage;
        return false;
    }
    return true;
}

void SocketServer::allOffForBroker(std::function<void(const AllOffResult &)> done)
{
    m_bench->allOff([done = std::move(done)](const web::Outcome &outcome) {
        AllOffResult all;
        for (const QJsonValue &address : outcome.body.value(QStringLiteral("off")).toArray()) {
            all.off.push_back(address.toInt());
        }
        for (const QJsonValue &entry : outcome.body.value(QStringLiteral("failed")).toArray()) {
            const QJsonObject failed = entry.toObject();
            all.failed.emplace_back(failed.value(QStringLiteral("address")).toInt(),
                                    failed.value(QStringLiteral("error")).toString());
        }
        done(all);
    });
}

} // namespace ctl
