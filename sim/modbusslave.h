#pragma once

#include "rtu.h"
#include "supply.h"

#include <memory>
#include <string>

struct _modbus;
struct _modbus_mapping_t;

namespace sim {

// The supply's Modbus side, served by libmodbus. libmodbus reads each request
// from one end of a socket pair and writes its reply there; the simulator
// carries the bytes between the pseudo-terminal and the other end, which is
// where the faults go in.
class ModbusSlave {
public:
    static std::unique_ptr<ModbusSlave> create(std::string &error);
    ~ModbusSlave();

    ModbusSlave(const ModbusSlave &) = delete;
    ModbusSlave &operator=(const ModbusSlave &) = delete;

    // Answers one request (CRC already found good) as `supply` and carries out
    // its write. Returns the reply, empty when none is due: another slave's
    // request, a broadcast, or one libmodbus rejects. One slave serves every
    // supply on the bus in turn.
    Bytes serve(const Bytes &request, Supply &supply);

private:
    ModbusSlave() = default;
    Bytes exception(const Bytes &request, int code);
    Bytes takeReply();
    void drainRequest();

    _modbus *m_context = nullptr;
    _modbus_mapping_t *m_mapping = nullptr;
    int m_ours = -1;   // the end the simulator reads and writes
    int m_theirs = -1; // the end libmodbus reads and writes
};

} // namespace sim
