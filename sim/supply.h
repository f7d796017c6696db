#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace sim {

// Registers of the simulated supply. Set and actual values are counts of 10 mV
// and 1 mA.
namespace reg {
constexpr std::uint16_t kFirst = 0x1000;
constexpr std::uint16_t kSetVoltage = 0x1000;
constexpr std::uint16_t kSetCurrent = 0x1001;
constexpr std::uint16_t kActualVoltage = 0x1002;
constexpr std::uint16_t kActualCurrent = 0x1003;
constexpr std::uint16_t kOutputState = 0x1004;
constexpr std::uint16_t kRegulationMode = 0x1005;
constexpr std::uint16_t kOutputSwitch = 0x1006;
constexpr std::uint16_t kSlaveAddress = 0x1008;
constexpr int kCount = 9; // 0x1000..0x1008; 0x1007 is unused and reads 0
} // namespace reg

// The largest set values the supply takes: 62.00 V and 3.200 A.
constexpr std::uint16_t kMaxVoltageCode = 6200;
constexpr std::uint16_t kMaxCurrentCode = 3200;
// Slave addresses a Modbus RTU device can answer to.
constexpr int kMinAddress = 1;
constexpr int kMaxAddress = 247;

constexpr std::uint16_t kModeCc = 0;
constexpr std::uint16_t kModeCv = 1;
constexpr std::uint16_t kModeOc = 2;

// A battery on the output: its open-circuit voltage rises with the charge it
// takes, behind an internal resistance, so a charge held at a set voltage draws
// a current that tapers off (exponentially, time constant R x capacity).
struct Battery {
    double startVolts = 0;   // open-circuit voltage when it was connected
    double ohms = 1;         // internal resistance
    double mahPerVolt = 100; // charge that raises the open-circuit voltage by 1 V
    double volts = 0;        // open-circuit voltage now
};

struct Supply {
    std::uint16_t setVoltage = 500;  // 5.00 V
    std::uint16_t setCurrent = 1000; // 1.000 A
    bool outputOn = false;
    double loadOhms = 10.0;         // 0 stands for no load at all (open terminals)
    std::optional<Battery> battery; // replaces the resistive load when set
    int address = 1;
    // Values reported instead of the computed ones, for replies a test needs
    // exactly as they stand.
    std::optional<std::uint16_t> pinnedVoltage;
    std::optional<std::uint16_t> pinnedCurrent;
    std::optional<std::uint16_t> pinnedMode;
};

struct Readings {
    std::uint16_t voltage = 0;
    std::uint16_t current = 0;
    std::uint16_t outputState = 0;
    std::uint16_t mode = kModeCv;
};

// What the supply measures across its resistive load: off gives 0 V and 0 A;
// on, it holds the set voltage while the load draws no more than the set
// current (CV), else it holds the set current (CC). Whole counts, rounded.
Readings measure(const Supply &supply);

// Lets `seconds` pass: a battery on a switched-on output takes charge.
void advance(Supply &supply, double seconds);

// Register `reg` (0x1000..0x1008) as a master reads it.
std::uint16_t registerValue(const Supply &supply, std::uint16_t reg);

// Whether the supply takes a write of `value` to `reg`: 0 when it does, else
// the Modbus exception code it answers with (2: not a writable register,
// 3: value out of range).
int checkWrite(std::uint16_t reg, std::uint16_t value);
void applyWrite(Supply &supply, std::uint16_t reg, std::uint16_t value);

// "12.34" volts to a count of 10 mV, "1.5" amperes to a count of 1 mA; false
// when the text is not a number or the value is out of range.
bool parseVolts(const std::string &text, std::uint16_t &code);
bool parseAmps(const std::string &text, std::uint16_t &code);
// "10" (ohms), "open", or "battery:V0,R[,MAH]" (open-circuit volts, internal
// ohms, mAh per volt of charge).
bool parseLoad(const std::string &text, Supply &supply);
bool parseAddress(const std::string &text, int &address);
// "1,3,5-7": addresses in the order given, each once.
bool parseAddressList(const std::string &text, std::vector<int> &addresses);
bool parseMode(const std::string &text, std::uint16_t &mode);

std::string describe(const Supply &supply);

} // namespace sim
