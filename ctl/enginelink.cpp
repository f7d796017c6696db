#include "ctl/enginelink.h"

#include "engine/client.h"

#include <QCoreApplication>

#include <utility>

namespace ctl {

void EngineLink::readStatus(std::uint8_t address, Done done)
{
    if (m_gone) {
        done({std::nullopt, goneText().toStdString()});
        return;
    }
    supply::takeReading(m_client, m_rows, address, [this, done](const supply::Reading &r) {
        if (r.good()) {
            done({r.row.reading, {}});
            return;
        }
        done({std::nullopt, why(r.row.failure).toStdString()});
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

// The -240's detail: the port's own reason varies with the way it went, so a
// port failure is named the same every time.
QString EngineLink::why(const supply::Failure &failure) const
{
    return failure.error == supply::Error::Port ? goneText() : failure.text();
}

void EngineLink::write(std::uint8_t address, supply::Target target, std::uint16_t value, Done done)
{
    if (m_gone) {
        done({std::nullopt, goneText().toStdString()});
        return;
    }
    supply::WriteCallbacks callbacks;
    callbacks.done = [this, done](const supply::WriteResult &w) {
        if (w.confirmed && w.readBack) {
            done({w.readBack, {}});
            return;
        }
        const QString text = w.failure.error == supply::Error::Port ? goneText()
                             : w.problem.isEmpty() ? QStringLiteral("not confirmed")
                                                   : w.problem;
        done({std::nullopt, text.toStdString(), w.failure.error == supply::Error::Refused});
    };
    supply::confirmedWrite(m_client, m_rows, supply::writeRequest(address, target, value),
                           supply::confirmsWrite(target, value), std::move(callbacks));
}

} // namespace ctl
