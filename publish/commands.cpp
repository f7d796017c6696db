#include "publish/commands.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>

namespace publish {

namespace {

struct Suffix {
    CommandKind kind;
    const char *text;
};

constexpr Suffix kSuffixes[] = {
    {CommandKind::SetVoltage, "/set/v"},
    {CommandKind::SetCurrent, "/set/a"},
    {CommandKind::Output, "/output/set"},
};

QString addressTopic(const Topics &topics, int address, const char *suffix)
{
    return topics.prefix + QLatin1Char('/') + QString::number(address) + QLatin1String(suffix);
}

QString allOffTopic(const Topics &topics)
{
    return topics.prefix + QStringLiteral("/all-off");
}

QJsonValue textOrNull(const QString &text)
{
    return text.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(text);
}

} // namespace

QString Command::name() const
{
    switch (kind) {
    case CommandKind::SetVoltage:
        return QStringLiteral("set/v");
    case CommandKind::SetCurrent:
        return QStringLiteral("set/a");
    case CommandKind::Output:
        return QStringLiteral("output/set");
    case CommandKind::AllOff:
        break;
    }
    return QStringLiteral("all-off");
}

QList<QString> commandTopics(const Topics &topics, const QList<int> &addresses)
{
    QList<QString> list;
    for (const int address : addresses) {
        for (const Suffix &suffix : kSuffixes) {
            list << addressTopic(topics, address, suffix.text);
        }
    }
    list << allOffTopic(topics) << kLabAllOff;
    return list;
}

std::optional<Command> commandOf(const Topics &topics, const QList<int> &addresses,
                                 const QString &topic, const QByteArray &payload)
{
    Command command;
    command.payload = payload;
    if (topic == kLabAllOff || topic == allOffTopic(topics)) {
        command.labWide = topic == kLabAllOff;
        return command;
    }
    for (const int address : addresses) {
        for (const Suffix &suffix : kSuffixes) {
            if (topic == addressTopic(topics, address, suffix.text)) {
                command.kind = suffix.kind;
                command.address = address;
                return command;
            }
        }
    }
    return std::nullopt;
}

QString resultTopic(const Topics &topics, const Command &command)
{
    if (command.kind == CommandKind::AllOff) {
        return topics.prefix + QStringLiteral("/result");
    }
    return addressTopic(topics, command.address, "/result");
}

QByteArray resultJson(const Command &command, const CommandResult &result)
{
    QJsonObject json{{QStringLiteral("command"), command.name()}};
    if (command.kind == CommandKind::AllOff) {
        json.insert(QStringLiteral("lab"), command.labWide);
    } else {
        json.insert(QStringLiteral("address"), command.address);
        json.insert(QStringLiteral("payload"), QString::fromUtf8(command.payload));
    }
    json.insert(QStringLiteral("ok"), result.ok);
    json.insert(QStringLiteral("error"), textOrNull(result.error));
    json.insert(QStringLiteral("text"), textOrNull(result.text));
    json.insert(QStringLiteral("holder"), textOrNull(result.holder));
    if (command.kind == CommandKind::AllOff) {
        QJsonArray off;
        for (const int address : result.off) {
            off.append(address);
        }
        QJsonArray failed;
        for (const auto &[address, why] : result.failed) {
            failed.append(
                QJsonObject{{QStringLiteral("address"), address}, {QStringLiteral("text"), why}});
        }
        json.insert(QStringLiteral("off"), off);
        json.insert(QStringLiteral("failed"), failed);
    }
    return QJsonDocument(json).toJson(QJsonDocument::Compact);
}

void CommandGate::connected(bool sessionKept, Clock::time_point now)
{
    m_backlog = sessionKept;
    if (m_lostAt) {
        m_away = std::chrono::duration_cast<std::chrono::milliseconds>(now - *m_lostAt);
    } else {
        m_away.reset();
    }
}

void CommandGate::lost(Clock::time_point now)
{
    m_lostAt = now;
    m_backlog = false;
}

CommandGate::Verdict CommandGate::judge(int mid, const QString &topic, const QByteArray &payload,
                                        bool retained, Clock::time_point now)
{
    if (retained) {
        return Verdict::Retained;
    }
    if (m_backlog) {
        // Sent again after a reconnection: its packet id, topic and payload are
        // those of one already carried out. A new message of the same session
        // never reuses an id whose message is still unacknowledged.
        const bool repeat = std::any_of(m_seen.begin(), m_seen.end(), [&](const Seen &seen) {
            return seen.mid == mid && seen.topic == topic && seen.payload == payload;
        });
        if (repeat) {
            return Verdict::Repeat;
        }
        if (!m_away || *m_away > m_age) {
            return Verdict::Stale;
        }
    }
    m_seen.push_back({mid, topic, payload, now});
    if (m_seen.size() > kSeenKept) {
        m_seen.pop_front();
    }
    return Verdict::Carry;
}

} // namespace publish
