#include "control.h"

#include <cerrno>
#include <cstdlib>
#include <sstream>
#include <vector>

namespace sim {

const char *const kCommandHelp =
    "commands, one per line; a last word ADDRESS makes set, fault and status act on\n"
    "that supply only, else they act on all:\n"
    "  status | help | quit\n"
    "  set voltage VOLTS | set current AMPS | set output on|off | set address N\n"
    "  set load OHMS|open|battery:V0,R[,MAH]\n"
    "  set actual-voltage VOLTS|auto | set actual-current AMPS|auto | set mode cv|cc|oc|N|auto\n"
    "  fault silence on|off | fault delay MS | fault badcrc on|off\n"
    "  fault foreign on|off|ADDRESS | fault trickle MS | fault junk before|after|both|off\n"
    "  fault echo-before on|off | fault local-echo on|off (the whole line) | fault clear\n"
    "  unplug | plug (the port goes away, its link removed, and comes back, as a USB\n"
    "  adapter pulled out and plugged in again)\n";

namespace {

const std::string kOk = "ok";

std::string bad(const std::string &what)
{
    return "error: " + what;
}

bool parseSwitch(const std::string &text, bool &on)
{
    if (text == "on") {
        on = true;
    } else if (text == "off") {
        on = false;
    } else {
        return false;
    }
    return true;
}

// Milliseconds from 0 to one minute.
bool parseMilliseconds(const std::string &text, std::chrono::milliseconds &value)
{
    if (text == "off") {
        value = std::chrono::milliseconds{0};
        return true;
    }
    errno = 0;
    char *end = nullptr;
    const long ms = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || errno != 0 || *end != '\0' || ms < 0 || ms > 60000) {
        return false;
    }
    value = std::chrono::milliseconds{ms};
    return true;
}

std::string setValue(const std::string &name, const std::string &value, Supply &supply)
{
    std::uint16_t code = 0;
    if (name == "voltage") {
        if (!parseVolts(value, code)) {
            return bad("voltage must be 0 to 62.00 (volts)");
        }
        supply.setVoltage = code;
    } else if (name == "current") {
        if (!parseAmps(value, code)) {
            return bad("current must be 0 to 3.200 (amperes)");
        }
        supply.setCurrent = code;
    } else if (name == "output") {
        if (!parseSwitch(value, supply.outputOn)) {
            return bad("output must be on or off");
        }
    } else if (name == "address") {
        if (!parseAddress(value, supply.address)) {
            return bad("address must be 1 to 247");
        }
    } else if (name == "load") {
        if (!parseLoad(value, supply)) {
            return bad("load must be ohms above 0, open, or battery:V0,R[,MAH]");
        }
    } else if (name == "actual-voltage") {
        if (value == "auto") {
            supply.pinnedVoltage.reset();
        } else if (parseVolts(value, code)) {
            supply.pinnedVoltage = code;
        } else {
            return bad("actual-voltage must be 0 to 62.00 (volts) or auto");
        }
    } else if (name == "actual-current") {
        if (value == "auto") {
            supply.pinnedCurrent.reset();
        } else if (parseAmps(value, code)) {
            supply.pinnedCurrent = code;
        } else {
            return bad("actual-current must be 0 to 3.200 (amperes) or auto");
        }
    } else if (name == "mode") {
        if (value == "auto") {
            supply.pinnedMode.reset();
        } else if (parseMode(value, code)) {
            supply.pinnedMode = code;
        } else {
            return bad("mode must be cv, cc, oc, a number 0 to 65535, or auto");
        }
    } else {
        return bad("unknown value " + name);
    }
    return kOk;
}

std::string setFault(const std::string &name, const std::string &value, const Supply &supply,
                     ReplyShaper &shaper)
{
    Faults &faults = shaper.faults();
    if (name == "clear") {
        shaper.clear();
    } else if (name == "silence") {
        if (!parseSwitch(value, faults.silence)) {
            return bad("fault silence on|off");
        }
    } else if (name == "delay") {
        if (!parseMilliseconds(value, faults.delay)) {
            return bad("fault delay MS (0 to 60000)");
        }
    } else if (name == "badcrc") {
        if (!parseSwitch(value, faults.badCrc)) {
            return bad("fault badcrc on|off");
        }
    } else if (name == "foreign") {
        int address = 0;
        if (value == "on") {
            faults.foreign = static_cast<std::uint8_t>(supply.address % kMaxAddress + 1);
        } else if (value == "off") {
            faults.foreign.reset();
        } else if (parseAddress(value, address) || value == "0") {
            faults.foreign = static_cast<std::uint8_t>(address);
        } else {
            return bad("fault foreign on|off|ADDRESS");
        }
    } else if (name == "trickle") {
        if (!parseMilliseconds(value, faults.trickle)) {
            return bad("fault trickle MS (0 to 60000)");
        }
    } else if (name == "junk") {
        if (value != "before" && value != "after" && value != "both" && value != "off") {
            return bad("fault junk before|after|both|off");
        }
        faults.junkBefore = value == "before" || value == "both";
        faults.junkAfter = value == "after" || value == "both";
    } else if (name == "echo-before") {
        if (!parseSwitch(value, faults.echoBefore)) {
            return bad("fault echo-before on|off");
        }
    } else {
        return bad("unknown fault " + name);
    }
    return kOk;
}

// The unit at the address `text`, or null with `error` set.
Unit *findUnit(const std::string &text, std::vector<Unit> &units, std::string &error)
{
    int address = 0;
    if (!parseAddress(text, address)) {
        error = bad("address must be 1 to 247");
        return nullptr;
    }
    for (Unit &unit : units) {
        if (unit.supply.address == address) {
            return &unit;
        }
    }
    error = bad("no supply at address " + text);
    return nullptr;
}

// Runs `action` on the unit the address word `target` names, or on every unit
// when it is empty; the answer is the first error, else "ok".
template <typename Action>
std::string forUnits(const std::string &target, std::vector<Unit> &units, Action action)
{
    if (!target.empty()) {
        std::string error;
        Unit *unit = findUnit(target, units, error);
        return unit ? action(*unit) : error;
    }
    for (Unit &unit : units) {
        const std::string answer = action(unit);
        if (answer != kOk) {
            return answer;
        }
    }
    return kOk;
}

std::string status(const Unit &unit, const LineFaults &lineFaults)
{
    std::string faults = unit.shaper.faults().describe();
    if (lineFaults.localEcho) {
        faults = faults == "none" ? "local-echo" : faults + ",local-echo";
    }
    return "status " + describe(unit.supply) + " faults=" + faults;
}

} // namespace

std::string runCommand(const std::string &line, std::vector<Unit> &units, LineFaults &lineFaults,
                       bool &quit)
{
    std::istringstream in(line);
    std::vector<std::string> words;
    for (std::string word; in >> word;) {
        words.push_back(word);
    }
    if (words.empty() || words[0][0] == '#') {
        return {};
    }
    const std::string &verb = words[0];
    if ((verb == "quit" || verb == "exit") && words.size() == 1) {
        quit = true;
        return kOk;
    }
    if (verb == "help" && words.size() == 1) {
        return kCommandHelp;
    }
    if (verb == "status" && words.size() <= 2) {
        if (words.size() == 2) {
            std::string error;
            const Unit *unit = findUnit(words[1], units, error);
            return unit ? status(*unit, lineFaults) : error;
        }
        std::string text;
        for (const Unit &unit : units) {
            text += (text.empty() ? "" : "\n") + status(unit, lineFaults);
        }
        return text;
    }
    // "fault clear" takes no value; everything else takes one.
    const std::size_t valued = verb == "fault" && words.size() > 1 && words[1] == "clear" ? 2 : 3;
    if ((verb != "set" && verb != "fault") || words.size() < valued || words.size() > valued + 1) {
        return bad("unknown command (try help)");
    }
    const std::string &name = words[1];
    const std::string value = valued == 3 ? words[2] : std::string();
    const std::string target = words.size() > valued ? words.back() : std::string();
    if (verb == "fault" && name == "local-echo") {
        // The echo comes from the program's own adapter, so it has no supply to name.
        if (!target.empty() || !parseSwitch(value, lineFaults.localEcho)) {
            return bad("fault local-echo on|off (for the whole line, no address)");
        }
        return kOk;
    }
    if (verb == "fault" && name == "clear" && target.empty()) {
        lineFaults = LineFaults{};
    }
    if (verb == "set" && name == "address" && units.size() > 1) {
        int address = 0;
        if (target.empty()) {
            return bad("several supplies: say which one, set address NEW OLD");
        }
        std::string error;
        if (parseAddress(value, address) && findUnit(value, units, error)) {
            return bad("address " + value + " is taken by another supply");
        }
    }
    return forUnits(target, units, [&](Unit &unit) {
        return verb == "set" ? setValue(name, value, unit.supply)
                             : setFault(name, value, unit.supply, unit.shaper);
    });
}

} // namespace sim
