#include "scpi/instrument_p.h"

#include "numtext/numtext.h"

#include <cmath>
#include <string>

namespace scpi {

namespace {

// The SCPI version this instrument follows.
const char *const kScpiVersion = "1999.0";

// A register's value: a whole number from 0 to `largest`.
std::optional<unsigned> registerValue(const Parameter &p, unsigned largest, Refusal &failure)
{
    if (p.kind != Parameter::Kind::Number || !p.text.empty()) {
        failure = {err::kDataType, "a number belongs here"};
        return std::nullopt;
    }
    const double value = numtext::roundHalfEven(p.number);
    if (!std::isfinite(value) || value < 0 || value > largest) {
        failure = {err::kDataOutOfRange, "0 to " + std::to_string(largest)};
        return std::nullopt;
    }
    return static_cast<unsigned>(value);
}

// A register set from one whole number from 0 to `largest`.
template <typename Store> void setRegister(Call &c, unsigned largest, Store store)
{
    if (!c.takes(1)) {
        return;
    }
    Refusal refusal;
    const auto value = registerValue(c.command.parameters[0], largest, refusal);
    if (!value) {
        return c.fail(refusal);
    }
    store(c.status(), *value);
    c.done();
}

// A query without parameters that answers `text(status)`.
template <typename Text> void answerStatus(Call &c, Text text)
{
    if (c.takes(0)) {
        c.answer(text(c.status()));
    }
}

} // namespace

// IEEE 488.2's common commands.

void identify(Call &c)
{
    if (!c.takes(0)) {
        return;
    }
    std::string port = c.info().portName;
    for (char &ch : port) {
        if (ch == ',' || ch == ';' || static_cast<unsigned char>(ch) < 0x20) {
            ch = '_';
        }
    }
    const std::uint8_t address = c.address(c.session->selected());
    c.answer("vantel,Modbus RTU gateway," + port + "-" + std::to_string(address) + "," +
             c.info().version);
}

void reset(Call &c)
{
    if (c.takes(0)) {
        c.session->select(0);
        c.resetChannels();
    }
}

void clearStatus(Call &c)
{
    if (c.takes(0)) {
        c.status().clear();
        c.done();
    }
}

void eventEnable(Call &c)
{
    setRegister(c, 255, [](Status &st, unsigned v) { st.ese = std::uint8_t(v); });
}
void eventEnableQuery(Call &c)
{
    answerStatus(c, [](Status &st) { return std::to_string(st.ese); });
}
void eventStatusQuery(Call &c)
{
    answerStatus(c, [](Status &st) {
        const unsigned value = st.esr;
        st.esr = 0; // reading clears it
        return std::to_string(value);
    });
}
void serviceEnable(Call &c)
{
    setRegister(c, 255, [](Status &st, unsigned v) {
        st.sre = std::uint8_t(v & ~unsigned(stb::kMasterSummary));
    });
}
void serviceEnableQuery(Call &c)
{
    answerStatus(c, [](Status &st) { return std::to_string(st.sre); });
}
void statusByteQuery(Call &c)
{
    answerStatus(c, [](Status &st) { return std::to_string(st.statusByte()); });
}
void operationComplete(Call &c)
{
    if (c.takes(0)) {
        c.status().esr |= esr::kOperationComplete;
        c.done();
    }
}
// Every write before it was confirmed before this command began.
void operationCompleteQuery(Call &c)
{
    answerStatus(c, [](Status &) { return std::string("1"); });
}
void wait(Call &c)
{
    if (c.takes(0)) {
        c.done();
    }
}
void selfTestQuery(Call &c)
{
    if (c.takes(0)) {
        c.selfTest();
    }
}

// SYSTem and STATus.

void errorQuery(Call &c)
{
    answerStatus(c, [](Status &st) { return st.errors.pop(); });
}
void errorCountQuery(Call &c)
{
    answerStatus(c, [](Status &st) { return std::to_string(st.errors.size()); });
}
void versionQuery(Call &c)
{
    answerStatus(c, [](Status &) { return std::string(kScpiVersion); });
}
void questionableEventQuery(Call &c)
{
    answerStatus(c, [](Status &st) {
        const unsigned value = st.questionable.event;
        st.questionable.event = 0;
        return std::to_string(value);
    });
}
void questionableEnable(Call &c)
{
    setRegister(c, 65535,
                [](Status &st, unsigned v) { st.questionable.enable = std::uint16_t(v); });
}
void questionableEnableQuery(Call &c)
{
    answerStatus(c, [](Status &st) { return std::to_string(st.questionable.enable); });
}
void operationEventQuery(Call &c)
{
    answerStatus(c, [](Status &st) {
        const unsigned value = st.operation.event;
        st.operation.event = 0;
        return std::to_string(value);
    });
}
void operationEnable(Call &c)
{
    setRegister(c, 65535, [](Status &st, unsigned v) { st.operation.enable = std::uint16_t(v); });
}
void operationEnableQuery(Call &c)
{
    answerStatus(c, [](Status &st) { return std::to_string(st.operation.enable); });
}
void preset(Call &c)
{
    if (c.takes(0)) {
        c.status().preset();
        c.done();
    }
}
// The condition registers follow the supply: they are worked out from a fresh reading.
void questionableConditionQuery(Call &c)
{
    auto &ch = c.supply();
    c.answerFromReading(
        [&ch](const protocol::StatusReading &) { return std::to_string(ch.questionable); });
}
void operationConditionQuery(Call &c)
{
    auto &ch = c.supply();
    c.answerFromReading(
        [&ch](const protocol::StatusReading &) { return std::to_string(ch.operation); });
}

} // namespace scpi
