#include "supply.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace sim {

namespace {

std::uint16_t roundCount(double value)
{
    if (!(value > 0)) {
        return 0;
    }
    return value >= 65535 ? 65535 : static_cast<std::uint16_t>(std::lround(value));
}

bool parseNumber(const std::string &text, double &value)
{
    if (text.empty()) {
        return false;
    }
    errno = 0;
    char *end = nullptr;
    value = std::strtod(text.c_str(), &end);
    return errno == 0 && end == text.c_str() + text.size() && std::isfinite(value);
}

bool parseScaled(const std::string &text, double scale, std::uint16_t max, std::uint16_t &code)
{
    double value = 0;
    if (!parseNumber(text, value) || value < 0 || value * scale > max + 0.5) {
        return false;
    }
    code = static_cast<std::uint16_t>(std::lround(value * scale));
    return code <= max;
}

} // namespace

Readings measure(const Supply &supply)
{
    Readings r;
    if (supply.outputOn) {
        r.outputState = 1;
        // V in 10 mV and R in ohms give I = V * 10 / R in mA; I in mA gives
        // V = I * R / 10 in 10 mV.
        const double drawn = supply.loadOhms > 0 ? supply.setVoltage * 10.0 / supply.loadOhms : 0;
        if (drawn <= supply.setCurrent) {
            r.voltage = supply.setVoltage;
            r.current = roundCount(drawn);
            r.mode = kModeCv;
        } else {
            r.current = supply.setCurrent;
            r.voltage = roundCount(supply.setCurrent * supply.loadOhms / 10.0);
            r.mode = kModeCc;
        }
    }
    r.voltage = supply.pinnedVoltage.value_or(r.voltage);
    r.current = supply.pinnedCurrent.value_or(r.current);
    r.mode = supply.pinnedMode.value_or(r.mode);
    return r;
}

std::uint16_t registerValue(const Supply &supply, std::uint16_t reg)
{
    const Readings r = measure(supply);
    switch (reg) {
    case reg::kSetVoltage:
        return supply.setVoltage;
    case reg::kSetCurrent:
        return supply.setCurrent;
    case reg::kActualVoltage:
        return r.voltage;
    case reg::kActualCurrent:
        return r.current;
    case reg::kOutputState:
        return r.outputState;
    case reg::kRegulationMode:
        return r.mode;
    case reg::kOutputSwitch:
        return supply.outputOn ? 1 : 0;
    case reg::kSlaveAddress:
        return static_cast<std::uint16_t>(supply.address);
    default:
        return 0;
    }
}

int checkWrite(std::uint16_t reg, std::uint16_t value)
{
    switch (reg) {
    case reg::kSetVoltage:
        return value <= kMaxVoltageCode ? 0 : 3;
    case reg::kSetCurrent:
        return value <= kMaxCurrentCode ? 0 : 3;
    case reg::kOutputSwitch:
        return value <= 1 ? 0 : 3;
    case reg::kSlaveAddress:
        return value >= kMinAddress && value <= kMaxAddress ? 0 : 3;
    default:
        return 2;
    }
}

void applyWrite(Supply &supply, std::uint16_t reg, std::uint16_t value)
{
    switch (reg) {
    case reg::kSetVoltage:
        supply.setVoltage = value;
        break;
    case reg::kSetCurrent:
        supply.setCurrent = value;
        break;
    case reg::kOutputSwitch:
        supply.outputOn = value == 1;
        break;
    case reg::kSlaveAddress:
        supply.address = value;
        break;
    default:
        break;
    }
}

bool parseVolts(const std::string &text, std::uint16_t &code)
{
    return parseScaled(text, 100, kMaxVoltageCode, code);
}

bool parseAmps(const std::string &text, std::uint16_t &code)
{
    return parseScaled(text, 1000, kMaxCurrentCode, code);
}

bool parseOhms(const std::string &text, double &ohms)
{
    if (text == "open") {
        ohms = 0;
        return true;
    }
    return parseNumber(text, ohms) && ohms > 0;
}

bool parseAddress(const std::string &text, int &address)
{
    double value = 0;
    if (!parseNumber(text, value) || value != std::floor(value) || value < kMinAddress ||
        value > kMaxAddress) {
        return false;
    }
    address = static_cast<int>(value);
    return true;
}

bool parseMode(const std::string &text, std::uint16_t &mode)
{
    if (text == "cv") {
        mode = kModeCv;
    } else if (text == "cc") {
        mode = kModeCc;
    } else if (text == "oc") {
        mode = kModeOc;
    } else {
        double value = 0;
        if (!parseNumber(text, value) || value != std::floor(value) || value < 0 || value > 65535) {
            return false;
        }
        mode = static_cast<std::uint16_t>(value);
    }
    return true;
}

std::string describe(const Supply &supply)
{
    const Readings r = measure(supply);
    char load[32];
    if (supply.loadOhms > 0) {
        std::snprintf(load, sizeof load, "%g", supply.loadOhms);
    } else {
        std::snprintf(load, sizeof load, "open");
    }
    char text[256];
    std::snprintf(
        text, sizeof text,
        "address=%d set-voltage=%u set-current=%u output=%s load=%s "
        "actual-voltage=%u%s actual-current=%u%s mode=%u%s",
        supply.address, supply.setVoltage, supply.setCurrent, supply.outputOn ? "on" : "off", load,
        r.voltage, supply.pinnedVoltage ? "(pinned)" : "", r.current,
        supply.pinnedCurrent ? "(pinned)" : "", r.mode, supply.pinnedMode ? "(pinned)" : "");
    return text;
}

} // namespace sim
