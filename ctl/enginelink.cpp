#include "ctl/enginelink.h"

#include "engine/client.h"

#include <QCoreApplication>

#include <utility>

namespace ctl {

scpi::LinkFault linkFault(supply::Error error)
{
    using supply::Error;
    switch (error) {
    case Error::None:
        return scpi::LinkFault::None;
    case Error::Timeout:
    case Error::Crc:
    case Error::Foreign:
    case Error::Short:
    case Error::Exception:
    case Error::Interrupted:
        return scpi::LinkFault::Line;
    case Error::Port:
        return scpi::LinkFault::Gone;
    case Error::Refused:
        return scpi::LinkFault::Refused;
    case Error::NotConfirmed:
        return scpi::LinkFault::NotConfirmed;
    case Error::Undecoded:
        return scpi::LinkFault::Line;
    }
    return scpi::LinkFault::Line;
}

namespace {

scpi::SupplyLink::Result failed(scpi::LinkFault fault, const QString &detail,
                                const QString &goneText)
{
    return scpi::SupplyLink::Result::failed(
        fault, (fault == scpi::LinkFault::Gone ? goneText : detail).toStdString());
}

} // namespace

scpi::SupplyLink::Result linkResult(const supply::Reading &reading, const QString &goneText)
{
    if (reading.good()) {
        return scpi::SupplyLink::Result::of(*reading.row.reading);
    }
    return failed(linkFault(reading.row.failure.error), reading.row.failure.text(), goneText);
}

scpi::SupplyLink::Result linkResult(const supply::WriteResult &write, const QString &goneText)
{
    if (write.confirmed && write.readBack) {
        return scpi::SupplyLink::Result::of(*write.readBack);
    }
    // No failure on the line, yet not confirmed: the read-back showed another value.
    return failed(write.failure ? linkFault(write.failure.error) : scpi::LinkFault::NotConfirmed,
                  write.problem.isEmpty() ? QStringLiteral("not confirmed") : write.problem,
                  goneText);
}

void EngineLink::readStatus(std::uint8_t address, Done done)
{
    if (m_gone) {
        done(Result::failed(scpi::LinkFault::Gone, goneText().toStdString()));
        return;
    }
    supply::takeReading(m_client, m_rows, address, [this, done](const supply::Reading &r) {
        done(linkResult(r, goneText()));
    });
}

void EngineLink::setVoltage(std::uint8_t address, std::uint16_t code, Done done)
{
    write(address, supply::Target::Voltage, code, std::move(done));
}

void EngineLink::setCurrent(std::uint8_t address, std::uint16_t code, Done done)
{
    write(address, supply::Target::Current, code, std::move(done));
}

void EngineLink::setOutput(std::uint8_t address, bool on, Done done)
{
    write(address, supply::Target::Output, on ? 1 : 0, std::move(done));
}

void EngineLink::holdCeilings(std::uint8_t address, std::uint16_t voltage, std::uint16_t current,
                              std::uint16_t power)
{
    supply::CeilingRegistry &ceilings = m_client.ceilings();
    if (m_ceilingSource == 0) {
        m_ceilingSource = ceilings.addSource(true);
    }
    const auto pid = static_cast<std::uint32_t>(QCoreApplication::applicationPid());
    const auto hold = [&](supply::CeilingKind kind, int value, int largest) {
        if (value >= largest) {
            ceilings.release(m_ceilingSource, address, kind);
        } else {
            ceilings.hold(m_ceilingSource, address, kind, value, "vantelctl serve", pid);
        }
    };
    hold(supply::CeilingKind::Voltage, voltage, protocol::kLargestVoltageCode);
    hold(supply::CeilingKind::Current, current, protocol::kLargestCurrentCode);
    hold(supply::CeilingKind::Power, power, scpi::kLargestPowerCode);
}

std::optional<int> EngineLink::lineCeiling(std::uint8_t address, supply::CeilingKind kind) const
{
    const auto tightest = m_client.ceilings().tightest(address, kind);
    return tightest ? std::optional<int>(tightest->value) : std::nullopt;
}

void EngineLink::write(std::uint8_t address, supply::Target target, std::uint16_t value, Done done)
{
    if (m_gone) {
        done(Result::failed(scpi::LinkFault::Gone, goneText().toStdString()));
        return;
    }
    supply::WriteCallbacks callbacks;
    callbacks.done = [this, done](const supply::WriteResult &w) {
        done(linkResult(w, goneText()));
    };
    supply::confirmedWrite(m_client, m_rows, supply::writeRequest(address, target, value),
                           supply::confirmsWrite(target, value), std::move(callbacks));
}

} // namespace ctl
