#include "supply.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <sstream>

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

double setVolts(const Supply &supply)
{
    return supply.setVoltage / 100.0;
}

double setAmps(const Supply &supply)
{
    return supply.setCurrent / 1000.0;
}

// Coulombs that raise the battery's open-circuit voltage by 1 V.
double coulombsPerVolt(const Battery &battery)
{
    return battery.mahPerVolt * 3.6;
}

// The supply never sinks current: a battery above the set voltage draws
// nothing and shows its own voltage.
void measureBattery(const Supply &supply, Readings &r)
{
    const Battery &battery = *supply.battery;
    const double wanted = std::max(0.0, (setVolts(supply) - battery.volts) / battery.ohms);
    if (wanted <= setAmps(supply)) {
        r.voltage = roundCount(std::max(setVolts(supply), battery.volts) * 100);
        r.current = roundCount(wanted * 1000);
        r.mode = kModeCv;
    } else {
        r.current = supply.setCurrent;
        r.voltage = roundCount((battery.volts + setAmps(supply) * battery.ohms) * 100);
        r.mode = kModeCc;
    }
}

} // namespace

void advance(Supply &supply, double seconds)
{
    if (!supply.battery || !supply.outputOn || !(seconds > 0) || supply.setCurrent == 0) {
        return;
    }
    Battery &battery = *supply.battery;
    const double target = setVolts(supply);
    if (battery.volts >= target) {
        return;
    }
    // Below the knee the supply limits the current (CC) and the voltage rises
    // linearly; above it the supply holds the set voltage (CV) and the current
    // decays with the time constant R x capacity.
    const double perVolt = coulombsPerVolt(battery);
    const double knee = target - setAmps(supply) * battery.ohms;
    if (battery.volts < knee) {
        const double toKnee = (knee - battery.volts) * perVolt / setAmps(supply);
        if (seconds < toKnee) {
            battery.volts += setAmps(supply) * seconds / perVolt;
            return;
        }
        battery.volts = knee;
        seconds -= toKnee;
    }
    battery.volts =
        target - (target - battery.volts) * std::exp(-seconds / (battery.ohms * perVolt));
}

Readings measure(const Supply &supply)
{
    Readings r;
    if (supply.outputOn && supply.battery) {
        r.outputState = 1;
        measureBattery(supply, r);
    } else if (supply.outputOn) {
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
    // The supply measures no more than it can be set to: a battery above that
    // reads as full scale.
    r.voltage = std::min(r.voltage, kMaxVoltageCode);
    r.current = std::min(r.current, kMaxCurrentCode);
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

bool parseLoad(const std::string &text, Supply &supply)
{
    const std::string kBattery = "battery:";
    if (text.rfind(kBattery, 0) == 0) {
        std::vector<double> values;
        std::istringstream fields(text.substr(kBattery.size()));
        for (std::string field; std::getline(fields, field, ',');) {
            double value = 0;
            if (!parseNumber(field, value) || value < 0) {
                return false;
            }
            values.push_back(value);
        }
        if (values.size() < 2 || values.size() > 3 || values[1] <= 0 ||
            (values.size() == 3 && values[2] <= 0)) {
            return false;
        }
        Battery battery;
        battery.startVolts = battery.volts = values[0];
        battery.ohms = values[1];
        battery.mahPerVolt = values.size() == 3 ? values[2] : battery.mahPerVolt;
        supply.battery = battery;
        return true;
    }
    double ohms = 0;
    if (text != "open" && !(parseNumber(text, ohms) && ohms > 0)) {
        return false;
    }
    supply.loadOhms = ohms;
    supply.battery.reset();
    return true;
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

bool parseAddressList(const std::string &text, std::vector<int> &addresses)
{
    addresses.clear();
    std::istringstream items(text);
    for (std::string item; std::getline(items, item, ',');) {
        const std::size_t dash = item.find('-');
        int first = 0;
        int last = 0;
        if (!parseAddress(item.substr(0, dash), first) ||
            (dash != std::string::npos && !parseAddress(item.substr(dash + 1), last))) {
            return false;
        }
        last = dash == std::string::npos ? first : last;
        if (last < first) {
            return false;
        }
        for (int address = first; address <= last; ++address) {
            if (std::find(addresses.begin(), addresses.end(), address) != addresses.end()) {
                return false;
            }
            addresses.push_back(address);
        }
    }
    return !addresses.empty() && text.back() != ',';
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
    char load[96];
    if (supply.battery) {
        std::snprintf(load, sizeof load, "battery:%g,%g,%g battery-voltage=%.3f",
                      supply.battery->startVolts, supply.battery->ohms, supply.battery->mahPerVolt,
                      supply.battery->volts);
    } else if (supply.loadOhms > 0) {
        std::snprintf(load, sizeof load, "%g", supply.loadOhms);
    } else {
        std::snprintf(load, sizeof load, "open");
    }
    char text[320];
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
