#pragma once

#include "records/operations.h"
#include "scpi/instrument.h"

#include <QString>

#include <cstdint>
#include <memory>
#include <vector>

namespace engine {
class CeilingRegistry;
} // namespace engine

namespace ctl {

// The one place where the engine's failure becomes the SCPI link's fault: what
// the instrument tells apart to choose its error.
scpi::LinkFault linkFault(engine::Error error);
// A reading's and a confirmed write's result for the instrument. A port that went
// away is named by `goneText`: its own reason varies with the way it went (and
// from run to run).
scpi::SupplyLink::Result linkResult(const records::Reading &reading, const QString &goneText);
scpi::SupplyLink::Result linkResult(const records::WriteResult &write, const QString &goneText);

// The reading a session's answer brings, as the instrument is told it: a reply
// whose words no supply reports is undecoded, and a stop is only a stop.
records::Reading readingOf(const engine::LineAnswer &answer);

// The supplies through the engine's session, shared with whatever else serve
// drives them with: readings (coalesced with the others' reads and polls of the
// same supply), confirmed writes and the all-off all wait in the session's one
// queue, none in a queue of the link's own. The ceilings are the line's. A port
// that went away fails every request at once, in the same words, until it is back.
class EngineLink : public scpi::SupplyLink {
public:
    EngineLink(engine::Session &session, engine::CeilingRegistry &ceilings,
               const QString &portName);
    ~EngineLink() override;
    EngineLink(const EngineLink &) = delete;
    EngineLink &operator=(const EngineLink &) = delete;

    // "COM1: the device is gone": the port's own text varies with the way it went
    // (and from run to run), so it is not passed on.
    QString goneText() const { return m_portName + QStringLiteral(": the device is gone"); }
    const QString &portName() const { return m_portName; }
    void setGone(bool gone) { m_gone = gone; }
    bool gone() const { return m_gone; }

    void readStatus(std::uint8_t address, Done done) override;
    void setVoltage(std::uint8_t address, std::uint16_t code, Done done) override;
    void setCurrent(std::uint8_t address, std::uint16_t code, Done done) override;
    void setOutput(std::uint8_t address, bool on, Done done) override;
    void allOff(std::vector<std::uint8_t> addresses, AllOffDone done) override;
    void holdCeilings(std::uint8_t address, std::uint16_t voltage, std::uint16_t current,
                      std::uint16_t power) override;
    std::optional<int> lineCeiling(std::uint8_t address, engine::CeilingKind kind) const override;

private:
    void write(std::uint8_t address, records::Target target, std::uint16_t value, Done done);

    engine::Session &m_session;
    engine::Session::Caller m_caller;
    engine::CeilingRegistry &m_ceilings;
    QString m_portName;
    bool m_gone = false;
    int m_ceilingSource = 0; // the instrument's ceilings in the registry
    // Callbacks of the session check it: they may come after this is gone.
    std::shared_ptr<bool> m_alive = std::make_shared<bool>(true);
};

} // namespace ctl
