#pragma once

#include "publish/commands.h"
#include "records/operations.h"

#include <QObject>

#include <cstdint>
#include <functional>
#include <vector>

namespace ctl {

// Carries out a command that came over MQTT as one call of the operations every
// program uses: a confirmed write of a set value or of the output, or the
// confirmed switch-off of every address in turn. The client refuses what a
// ceiling held on the line forbids and relays a joined program's requests to the
// line's owner; this only turns the outcome into the command's result.
class MqttCommands : public QObject {
    Q_OBJECT
public:
    using Answer = std::function<void(const publish::CommandResult &)>;

    MqttCommands(supply::Client &client, std::vector<std::uint8_t> addresses,
                 QObject *parent = nullptr);

    // On the client's thread; `answer` is called once, later.
    void carryOut(const publish::Command &command, Answer answer);

private:
    void write(const publish::Command &command, Answer answer);
    void switchOffFrom(std::size_t index, publish::CommandResult result, Answer answer);

    supply::Client &m_client;
    std::vector<std::uint8_t> m_addresses;
    supply::RowMaker m_rows; // the read-backs' rows, which nothing keeps
};

// The set value a command's payload names, with a comma taken for the decimal
// point ("12,5"); false with the reason in `why`.
bool commandValue(const publish::Command &command, std::uint16_t *code, QString *why);

} // namespace ctl
