#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>

// IEEE 488.2's error queue and status reporting, and SCPI's QUEStionable and
// OPERation registers: one set for each client of an instrument.
namespace scpi {

// Standard event status register bits (*ESR?, *ESE).
namespace esr {
constexpr std::uint8_t kOperationComplete = 0x01;
constexpr std::uint8_t kQueryError = 0x04;
constexpr std::uint8_t kDeviceError = 0x08;
constexpr std::uint8_t kExecutionError = 0x10;
constexpr std::uint8_t kCommandError = 0x20;
constexpr std::uint8_t kPowerOn = 0x80;
} // namespace esr

// Status byte bits (*STB?, *SRE).
namespace stb {
constexpr std::uint8_t kErrorAvailable = 0x04;
constexpr std::uint8_t kQuestionable = 0x08;
constexpr std::uint8_t kEventStatus = 0x20;
constexpr std::uint8_t kMasterSummary = 0x40;
constexpr std::uint8_t kOperation = 0x80;
} // namespace stb

class ErrorQueue {
public:
    // SCPI asks for room for at least two; 16 keeps a burst of a long line.
    static constexpr std::size_t kCapacity = 16;

    // Adds an error; when the queue is full, the last entry becomes -350.
    void push(int code, const std::string &detail = {});
    // The oldest entry as SYSTem:ERRor? answers it: `-113,"Undefined header"`, with
    // the detail after a semicolon; `0,"No error"` when the queue is empty.
    std::string pop();
    std::size_t size() const { return m_entries.size(); }
    void clear() { m_entries.clear(); }

private:
    struct Entry {
        int code;
        std::string detail;
    };
    std::deque<Entry> m_entries;
};

// A SCPI status register pair as a client sees it: the event register latches
// the positive transitions of the condition, the enable mask selects what reaches
// the status byte.
struct EventRegister {
    std::uint16_t event = 0;
    std::uint16_t enable = 0;
    bool summary() const { return (event & enable) != 0; }
};

// One client's status: queue, standard event register, QUEStionable, OPERation.
class Status {
public:
    ErrorQueue errors;
    std::uint8_t esr = esr::kPowerOn;
    std::uint8_t ese = 0;
    std::uint8_t sre = 0;
    EventRegister questionable;
    EventRegister operation;

    // Queues an error and sets its class's bit in the event status register.
    void error(int code, const std::string &detail = {});
    // The status byte, the master summary bit included.
    std::uint8_t statusByte() const;
    // *CLS: the queue and every event register.
    void clear();
    // STATus:PRESet: the enable masks of QUEStionable and OPERation.
    void preset();
};

} // namespace scpi
