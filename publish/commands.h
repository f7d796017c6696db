#pragma once

#include "publish/discovery.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>

// Commands that arrive over MQTT: which topic asks for what, whether a message
// may be carried out at all, and the result message. No network and no supply
// here: the listener hands a command on, and the program carries it out.
namespace publish {

// The one topic every bench of a lab listens on for switching all its outputs off.
inline const QString kLabAllOff = QStringLiteral("vantel/all-off");

enum class CommandKind { SetVoltage, SetCurrent, Output, AllOff };

struct Command {
    CommandKind kind = CommandKind::AllOff;
    int address = 0; // 0 for an all-off
    bool labWide = false;
    QByteArray payload;

    // "set/v", "set/a", "output/set", "all-off"
    QString name() const;
};

// The topics a bench with `addresses` subscribes to under `topics.prefix`.
QList<QString> commandTopics(const Topics &topics, const QList<int> &addresses);
// The command that `topic` names, nullopt for a topic that is none of the bench's.
std::optional<Command> commandOf(const Topics &topics, const QList<int> &addresses,
                                 const QString &topic, const QByteArray &payload);
// PREFIX/<address>/result, or PREFIX/result for an all-off.
QString resultTopic(const Topics &topics, const Command &command);

// How one command fared, as its result message says.
struct CommandResult {
    bool ok = false;
    QString error;  // a word: "retained", "stale", "value", "refused", "timeout", ...
    QString text;   // for people
    QString holder; // who holds the ceiling that refused it
    QList<int> off; // an all-off: the addresses confirmed off
    QList<QPair<int, QString>> failed; // an all-off: the addresses not confirmed, and why
};

// {"command":"set/v","address":1,"payload":"5.00","ok":false,"error":"refused",
//  "text":"...","holder":"vantelctl run (pid 42)"}; an all-off has "lab", "off" and
// "failed" instead of the address.
QByteArray resultJson(const Command &command, const CommandResult &result);

// Decides whether a message that arrived may be carried out. A retained message
// is state, not an order: it would act again every time the bench connects. A
// message the broker kept for the bench while it was away (one that arrives
// before the bench's first own message of the connection comes back) is carried
// out only when the bench was away for no longer than `age`, so that it cannot
// be older than that; the first connection of a program does not know how long
// its session was away and carries out none of them. A message that arrives
// again after a reconnection (QoS 1 sends a message again whose acknowledgement
// was lost) is carried out once.
class CommandGate {
public:
    using Clock = std::chrono::steady_clock;
    enum class Verdict { Carry, Retained, Stale, Repeat };

    explicit CommandGate(std::chrono::milliseconds age) : m_age(age) {}

    // A connection is made; `sessionKept`: the broker kept the session, and with
    // it what arrived for the bench while it was away.
    void connected(bool sessionKept, Clock::time_point now);
    void lost(Clock::time_point now);
    // The bench's own marker came back: what arrives from now on is new.
    void caughtUp() { m_backlog = false; }
    bool inBacklog() const { return m_backlog; }

    Verdict judge(int mid, const QString &topic, const QByteArray &payload, bool retained,
                  Clock::time_point now);

    std::chrono::milliseconds age() const { return m_age; }
    // How long the bench was away before this connection; none: not known.
    std::optional<std::chrono::milliseconds> away() const { return m_away; }

private:
    struct Seen {
        int mid = 0;
        QString topic;
        QByteArray payload;
        Clock::time_point at;
    };
    static constexpr std::size_t kSeenKept = 256;

    std::chrono::milliseconds m_age;
    std::optional<Clock::time_point> m_lostAt;
    std::optional<std::chrono::milliseconds> m_away;
    bool m_backlog = false;
    std::deque<Seen> m_seen; // carried out, newest last
};

} // namespace publish
