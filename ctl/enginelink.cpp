#include "ctl/enginelink.h"

#include "engine/ceilingregistry.h"
#include "engine/session.h"

#include <QCoreApplication>

#include <utility>

namespace ctl {

scpi::LinkFault linkFault(engine::Error error)
{
    using engine::Error;
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

scpi::SupplyLink::Result linkResult(const records::Reading &reading, const QString &goneText)
{
    if (reading.good()) {
        return scpi::SupplyLink::Result::of(*reading.row.reading);
    }
    return failed(linkFault(reading.row.failure.error), reading.row.failure.text(), goneText);
}

scpi::SupplyLink::Result linkResult(const records::WriteResult &write, const QString &goneText)
{
    if (write.confirmed && write.readBack) {
        return scpi::SupplyLink::Result::of(*write.readBack);
    }
    // No failure on the line, yet not confirmed: the read-back showed another value.
    return failed(write.failure ? linkFault(write.failure.error) : scpi::LinkFault::NotConfirmed,
                  write.problem.isEmpty() ? QStringLiteral("not confirmed") : write.problem,
                  goneText);
}

records::Reading readingOf(const engine::LineAnswer &answer)
{
    records::Reading reading;
    reading.failure = answer.failure;
    if (answer.failure.error == engine::Error::Interrupted) {
        reading.failure = {engine::Error::Interrupted};
    } else if (answer.undecoded) {
        reading.failure.error = engine::Error::Undecoded;
        reading.undecoded = true;
    }
    reading.bytes = answer.bytes;
    reading.sentTime = answer.sentTime;
    reading.row.address = answer.address;
    reading.row.failure = reading.failure;
    if (!reading.failure) {
        reading.row.reading = answer.reading;
    }
    return reading;
}

EngineLink::EngineLink(engine::Session &session, engine::CeilingRegistry &ceilings,
                       const QString &portName)
    : m_session(session), m_caller(session.addCaller()), m_ceilings(ceilings), m_portName(portName)
{
}

EngineLink::~EngineLink()
{
    *m_alive = false;
    m_session.cancel(m_caller);
}

void EngineLink::readStatus(std::uint8_t address, Done done)
{
    if (m_gone) {
        done(Result::failed(scpi::LinkFault::Gone, goneText().toStdString()));
        return;
    }
    m_session.read(m_caller, address,
                   [this, alive = m_alive, done = std::move(done)](const engine::LineAnswer &a) {
                       if (*alive) {
                           done(linkResult(readingOf(a), goneText()));
                       }
                   });
}

void EngineLink::setVoltage(std::uint8_t address, std::uint16_t code, Done done)
{
    write(address, records::Target::Voltage, code, std::move(done));
}

void EngineLink::setCurrent(std::uint8_t address, std::uint16_t code, Done done)
{
    write(address, records::Target::Current, code, std::move(done));
}

void EngineLink::setOutput(std::uint8_t address, bool on, Done done)
{
    write(address, records::Target::Output, on ? 1 : 0, std::move(done));
}

void EngineLink::holdCeilings(std::uint8_t address, std::uint16_t voltage, std::uint16_t current,
                              std::uint16_t power)
{
    engine::CeilingRegistry &ceilings = m_ceilings;
    if (m_ceilingSource == 0) {
        m_ceilingSource = ceilings.addSource(true);
    }
    const auto pid = static_cast<std::uint32_t>(QCoreApplication::applicationPid());
    const auto hold = [&](engine::CeilingKind kind, int value, int largest) {
        if (value >= largest) {
            ceilings.release(m_ceilingSource, address, kind);
        } else {
            ceilings.hold(m_ceilingSource, address, kind, value, "vantelctl serve", pid);
        }
    };
    hold(engine::CeilingKind::Voltage, voltage, protocol::kLargestVoltageCode);
    hold(engine::CeilingKind::Current, current, protocol::kLargestCurrentCode);
    hold(engine::CeilingKind::Power, power, scpi::kLargestPowerCode);
}

std::optional<int> EngineLink::lineCeiling(std::uint8_t address, engine::CeilingKind kind) const
{
    const auto tightest = m_ceilings.tightest(address, kind);
    return tightest ? std::optional<int>(tightest->value) : std::nullopt;
}

namespace {

// A confirmed write's outcome for the instrument: a write dropped or stopped
// says by what (an all-off, a stop).
records::WriteResult writeResult(engine::WriteOutcome outcome)
{
    if (outcome.failure.error == engine::Error::Interrupted && !outcome.failure.detail.isEmpty()) {
        outcome.problem = outcome.failure.text();
    }
    return records::writeResultOf(outcome);
}

} // namespace

void EngineLink::write(std::uint8_t address, records::Target target, std::uint16_t value, Done done)
{
    if (m_gone) {
        done(Result::failed(scpi::LinkFault::Gone, goneText().toStdString()));
        return;
    }
    engine::WriteWatch watch;
    watch.done = [this, alive = m_alive, done = std::move(done)](const engine::WriteOutcome &w) {
        if (*alive) {
            done(linkResult(writeResult(w), goneText()));
        }
    };
    m_session.write(m_caller, {records::writeRequest(address, target, value)},
                    records::confirmsWrite(target, value), std::move(watch));
}

void EngineLink::allOff(std::vector<std::uint8_t> addresses, AllOffDone done)
{
    if (m_gone) {
        std::vector<std::pair<std::uint8_t, std::string>> failures;
        for (std::uint8_t address : addresses) {
            failures.emplace_back(address, goneText().toStdString());
        }
        done(std::move(failures));
        return;
    }
    m_session.allOff(
        m_caller, std::move(addresses),
        [this, alive = m_alive, done = std::move(done)](const engine::AllOffOutcome &all) {
            if (!*alive) {
                return;
            }
            std::vector<std::pair<std::uint8_t, std::string>> failures;
            for (const auto &[address, outcome] : all.failed) {
                failures.emplace_back(address, linkResult(writeResult(outcome), goneText()).detail);
            }
            done(std::move(failures));
        });
}

} // namespace ctl
