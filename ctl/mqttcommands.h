#pragma once

#include "ctl/mqttlog.h"
#include "publish/commands.h"
#include "records/operations.h"

#include <QObject>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <utility>
#include <vector>

namespace ctl {

// Carries out a command that came over MQTT as one call of the operations every
// program uses: a confirmed write of a set value or of the output, or the
// program's own all-off (its session's). The client refuses what a
// ceiling held on the line forbids and relays a joined program's requests to the
// line's owner; this only turns the outcome into the command's result.
class MqttCommands : public QObject {
    Q_OBJECT
public:
    using Answer = std::function<void(const publish::CommandResult &)>;

    MqttCommands(engine::Client &client, std::vector<std::uint8_t> addresses,
                 QObject *parent = nullptr);

    // The program's name and its own all-off, if any (before the first command).
    void setWays(ControlWays ways) { m_ways = std::move(ways); }
    // On the client's thread; `answer` is called once, later (at once when closed).
    void carryOut(const publish::Command &command, Answer answer);
    // Every command from now on is refused with the error "ending", and a write
    // under way stops where it is: its attempt again must not follow a
    // switching off on the way out.
    void close();

private:
    void write(const publish::Command &command, Answer answer);
    // The all-off's result from the addresses that went off and those that did not.
    void answerAllOff(publish::CommandResult result, const Answer &answer) const;

    engine::Client &m_client;
    std::vector<std::uint8_t> m_addresses;
    ControlWays m_ways;
    bool m_closed = false;
    // The writes under way, by a number of their own, with their answers.
    std::map<int, std::pair<std::shared_ptr<records::WriteHandle>, Answer>> m_writes;
    int m_lastWrite = 0;
};

// The set value a command's payload names, with a comma taken for the decimal
// point ("12,5"); false with the reason in `why`.
bool commandValue(const publish::Command &command, std::uint16_t *code, QString *why);

} // namespace ctl
