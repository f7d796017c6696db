#include "ctl/mqttcommands.h"

#include "engine/client.h"
#include "records/operations.h"
#include "values/values.h"

#include <QPointer>

#include <memory>

namespace ctl {

namespace {

using publish::CommandKind;

records::Target targetOf(CommandKind kind)
{
    switch (kind) {
    case CommandKind::SetVoltage:
        return records::Target::Voltage;
    case CommandKind::SetCurrent:
        return records::Target::Current;
    case CommandKind::Output:
    case CommandKind::AllOff:
        break;
    }
    return records::Target::Output;
}

// How a write that was not confirmed fared, in the result's words.
void describe(const records::WriteResult &written, publish::CommandResult &result)
{
    result.ok = written.confirmed;
    if (written.confirmed) {
        return;
    }
    result.error = written.failure ? written.failure.word() : QStringLiteral("differs");
    result.text = written.problem;
}

} // namespace

bool commandValue(const publish::Command &command, std::uint16_t *code, QString *why)
{
    QString text = QString::fromUtf8(command.payload).trimmed();
    if (command.kind == CommandKind::Output) {
        const auto on = values::parseSwitch(text);
        if (!on) {
            *why = QStringLiteral("output/set takes ON or OFF, not '%1'").arg(text);
            return false;
        }
        *code = *on ? 1 : 0;
        return true;
    }
    // Dashboards in a comma locale send "12,5".
    if (!text.contains(QLatin1Char('.')) && text.count(QLatin1Char(',')) == 1) {
        text.replace(QLatin1Char(','), QLatin1Char('.'));
    }
    const bool volts = command.kind == CommandKind::SetVoltage;
    const auto parsed =
        volts ? values::parseSetCode(text, 2, values::kLargestVoltageCode, QStringLiteral("V"))
              : values::parseSetCode(text, 3, values::kLargestCurrentCode, QStringLiteral("A"));
    if (!parsed) {
        *why = parsed.error();
        return false;
    }
    *code = *parsed;
    return true;
}

MqttCommands::MqttCommands(engine::Client &client, std::vector<std::uint8_t> addresses,
                           QObject *parent)
    : QObject(parent), m_client(client), m_addresses(std::move(addresses))
{
}

void MqttCommands::carryOut(const publish::Command &command, Answer answer)
{
    if (m_closed) {
        publish::CommandResult result;
        result.error = QStringLiteral("ending");
        result.text = QStringLiteral("the %1 is ending: no more commands are carried out")
                          .arg(m_ways.program);
        answer(result);
        return;
    }
    if (command.kind == CommandKind::AllOff && m_ways.allOff) {
        m_ways.allOff([self = QPointer<MqttCommands>(this), answer](const AllOffResult &all) {
            if (!self) {
                return;
            }
            publish::CommandResult result;
            for (const int address : all.off) {
                result.off << address;
            }
            for (const auto &[address, why] : all.failed) {
                result.failed.append({address, why});
            }
            self->answerAllOff(std::move(result), answer);
        });
        return;
    }
    if (command.kind == CommandKind::AllOff) {
        publish::CommandResult result;
        result.error = QStringLiteral("not-off");
        result.text = QStringLiteral("the %1 has no all-off").arg(m_ways.program);
        answer(result);
        return;
    }
    write(command, std::move(answer));
}

void MqttCommands::write(const publish::Command &command, Answer answer)
{
    std::uint16_t code = 0;
    QString why;
    if (!commandValue(command, &code, &why)) {
        publish::CommandResult result;
        result.error = QStringLiteral("value");
        result.text = why;
        answer(result);
        return;
    }
    const records::Target target = targetOf(command.kind);
    const auto address = static_cast<std::uint8_t>(command.address);
    records::WriteCallbacks callbacks;
    const int id = ++m_lastWrite;
    auto finished = std::make_shared<bool>(false);
    callbacks.done = [self = QPointer<MqttCommands>(this), answer, address, target, id,
                      finished](const records::WriteResult &written) {
        *finished = true;
        if (!self) {
            return; // the log has ended: nothing takes the result any more
        }
        self->m_writes.erase(id);
        publish::CommandResult result;
        describe(written, result);
        if (written.failure.error == engine::Error::Refused) {
            const auto kind = target == records::Target::Voltage ? engine::CeilingKind::Voltage
                                                                 : engine::CeilingKind::Current;
            if (const auto held = self->m_client.ceilings().tightest(address, kind)) {
                result.holder = QString::fromStdString(held->holderText());
            }
        }
        answer(result);
    };
    auto handle =
        records::confirmedWrite(std::make_shared<records::ClientWritePath>(m_client),
                                {records::writeRequest(address, target, code)},
                                records::confirmsWrite(target, code), std::move(callbacks));
    if (!*finished) {
        m_writes.emplace(id, std::make_pair(std::move(handle), std::move(answer)));
    }
}

void MqttCommands::close()
{
    m_closed = true;
    auto writes = std::move(m_writes);
    m_writes.clear();
    for (auto &[id, write] : writes) {
        write.first->cancel();
        publish::CommandResult result;
        result.error = QStringLiteral("ending");
        result.text = QStringLiteral("the %1 ended while it was being written: the supply may "
                                     "or may not hold it")
                          .arg(m_ways.program);
        write.second(result);
    }
}

void MqttCommands::answerAllOff(publish::CommandResult result, const Answer &answer) const
{
    // Confirmed off only when every address said so: an address that neither
    // went off nor failed was never switched.
    result.ok = result.failed.isEmpty() && result.off.size() == qsizetype(m_addresses.size());
    if (!result.ok) {
        result.error = QStringLiteral("not-off");
        result.text = QStringLiteral("%1 of %2 outputs not confirmed off")
                          .arg(qsizetype(m_addresses.size()) - result.off.size())
                          .arg(m_addresses.size());
    }
    answer(result);
}

} // namespace ctl
