#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Byte-level helpers of the simulator's side of the line. They are written here
// on purpose rather than shared with the programs, so that the two sides of every
// end-to-end test are independent implementations.
namespace sim {

using Bytes = std::vector<std::uint8_t>;

// The two function codes the supply answers.
constexpr std::uint8_t kReadHoldingRegisters = 3;
constexpr std::uint8_t kWriteSingleRegister = 6;

// CRC-16 of Modbus RTU: reflected polynomial 0xA001, initial value 0xFFFF.
std::uint16_t crc16(const std::uint8_t *data, std::size_t size);

// The last two of `size` bytes are the CRC of the bytes before them, low byte first.
bool hasValidCrc(const std::uint8_t *data, std::size_t size);

// Replaces the last two bytes of `frame` by the CRC of the bytes before them.
void rewriteCrc(Bytes &frame);

// "01 03 0C" style.
std::string hex(const std::uint8_t *data, std::size_t size);
inline std::string hex(const Bytes &bytes)
{
    return hex(bytes.data(), bytes.size());
}

// Cuts the byte stream a master writes into requests. A request ends where its
// function code says it ends (function 3 and 6 requests are 8 bytes); bytes in
// front of the first request with a good CRC are junk. Requests whose length the
// function code does not tell end at a pause on the line (flush()).
class RequestFramer {
public:
    struct Piece {
        bool isFrame = false; // else junk
        Bytes bytes;
    };

    std::vector<Piece> feed(const std::uint8_t *data, std::size_t size);
    // The line has been quiet: whatever is buffered is one frame if its CRC is
    // good, else junk.
    std::vector<Piece> flush();
    bool pending() const { return !m_buffer.empty(); }

private:
    Bytes m_buffer;
};

// Length of the request whose first bytes are `data`, or 0 while it cannot be told.
std::size_t requestLength(const std::uint8_t *data, std::size_t size);

} // namespace sim
