#include "protocol/frame.h"

#include "protocol/crc16.h"

namespace protocol {

void appendCrc(Frame &frame)
{
    const std::uint16_t crc = crc16Modbus(frame.data(), frame.size());
    frame.push_back(static_cast<std::uint8_t>(crc & 0xFF));
    frame.push_back(static_cast<std::uint8_t>(crc >> 8));
}

Frame withCrc(Frame body)
{
    appendCrc(body);
    return body;
}

bool crcOk(const std::uint8_t *data, std::size_t length)
{
    if (length < kCrcSize + 1) {
        return false;
    }
    const std::size_t body = length - kCrcSize;
    const std::uint16_t crc = crc16Modbus(data, body);
    return data[body] == (crc & 0xFF) && data[body + 1] == (crc >> 8);
}

} // namespace protocol
