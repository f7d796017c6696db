#include "modbusslave.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <modbus.h>
#include <sys/socket.h>
#include <unistd.h>

namespace sim {

namespace {
constexpr std::uint8_t kBroadcast = 0;

std::uint16_t word(const Bytes &frame, std::size_t at)
{
    return static_cast<std::uint16_t>(frame[at] << 8 | frame[at + 1]);
}
} // namespace

std::unique_ptr<ModbusSlave> ModbusSlave::create(std::string &error)
{
    std::unique_ptr<ModbusSlave> slave(new ModbusSlave);
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
        error = std::string("cannot create a socket pair: ") + std::strerror(errno);
        return nullptr;
    }
    slave->m_ours = ends[0];
    slave->m_theirs = ends[1];
    ::fcntl(slave->m_ours, F_SETFL, ::fcntl(slave->m_ours, F_GETFL) | O_NONBLOCK);

    // The device name is never opened: libmodbus talks over the socket instead.
    slave->m_context = modbus_new_rtu("/dev/null", 9600, 'N', 8, 1);
    slave->m_mapping = modbus_mapping_new_start_address(0, 0, 0, 0, reg::kFirst, reg::kCount, 0, 0);
    if (!slave->m_context || !slave->m_mapping) {
        error = std::string("cannot set up libmodbus: ") + modbus_strerror(errno);
        return nullptr;
    }
    modbus_set_socket(slave->m_context, slave->m_theirs);
    // A whole request is in the socket before libmodbus reads it, so waits are
    // never needed; keep them short so a surprise cannot stall the line. The
    // response timeout is also the pause libmodbus takes before some exception
    // replies.
    modbus_set_byte_timeout(slave->m_context, 0, 10000);
    modbus_set_response_timeout(slave->m_context, 0, 1000);
    return slave;
}

ModbusSlave::~ModbusSlave()
{
    if (m_mapping) {
        modbus_mapping_free(m_mapping);
    }
    if (m_context) {
        modbus_free(m_context); // the socket is closed below, not by libmodbus
    }
    if (m_ours >= 0) {
        ::close(m_ours);
    }
    if (m_theirs >= 0) {
        ::close(m_theirs);
    }
}

Bytes ModbusSlave::takeReply()
{
    Bytes reply;
    std::uint8_t buffer[MODBUS_RTU_MAX_ADU_LENGTH];
    for (;;) {
        const ssize_t n = ::read(m_ours, buffer, sizeof buffer);
        if (n <= 0) {
            break;
        }
        reply.insert(reply.end(), buffer, buffer + n);
    }
    return reply;
}

void ModbusSlave::drainRequest()
{
    // Whatever libmodbus left unread must not prefix the next request.
    std::uint8_t buffer[MODBUS_RTU_MAX_ADU_LENGTH];
    while (::recv(m_theirs, buffer, sizeof buffer, MSG_DONTWAIT) > 0) {
    }
}

Bytes ModbusSlave::exception(const Bytes &request, int code)
{
    modbus_reply_exception(m_context, request.data(), static_cast<unsigned>(code));
    return takeReply();
}

Bytes ModbusSlave::serve(const Bytes &request, Supply &supply)
{
    const std::uint8_t address = request[0];
    const std::uint8_t function = request[1];
    if (address != supply.address && address != kBroadcast) {
        return {};
    }
    const bool broadcast = address == kBroadcast;
    modbus_set_slave(m_context, supply.address);

    // The supply knows reading and writing single registers, and takes writes
    // only to its writable registers and within its ranges.
    if (function != kReadHoldingRegisters && function != kWriteSingleRegister) {
        return broadcast ? Bytes{} : exception(request, MODBUS_EXCEPTION_ILLEGAL_FUNCTION);
    }
    if (function == kWriteSingleRegister) {
        const int refused = checkWrite(word(request, 2), word(request, 4));
        if (refused) {
            return broadcast ? Bytes{} : exception(request, refused);
        }
    }

    for (int i = 0; i < reg::kCount; ++i) {
        m_mapping->tab_registers[i] =
            registerValue(supply, static_cast<std::uint16_t>(reg::kFirst + i));
    }
    if (::write(m_ours, request.data(), request.size()) != static_cast<ssize_t>(request.size())) {
        return {};
    }
    std::uint8_t indication[MODBUS_RTU_MAX_ADU_LENGTH];
    const int length = modbus_receive(m_context, indication);
    if (length <= 0) {
        drainRequest();
        takeReply();
        return {};
    }
    modbus_reply(m_context, indication, length, m_mapping);

    if (function == kWriteSingleRegister) {
        const std::uint16_t target = word(request, 2);
        // A new slave address takes effect after the echo, which went out from the old one.
        applyWrite(supply, target, m_mapping->tab_registers[target - reg::kFirst]);
    }
    drainRequest();
    return takeReply();
}

} // namespace sim
