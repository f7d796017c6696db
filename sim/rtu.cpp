#include "rtu.h"

#include <cstdio>

namespace sim {

namespace {
// address + function + CRC (2): the shortest request there is.
constexpr std::size_t kMinFrame = 4;
// The longest RTU frame; a buffer beyond it cannot start with a request.
constexpr std::size_t kMaxFrame = 256;
} // namespace

std::uint16_t crc16(const std::uint8_t *data, std::size_t size)
{
    std::uint16_t crc = 0xFFFF;
    for (std::size_t i = 0; i < size; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 1) ? static_cast<std::uint16_t>((crc >> 1) ^ 0xA001)
                            : static_cast<std::uint16_t>(crc >> 1);
        }
    }
    return crc;
}

bool hasValidCrc(const std::uint8_t *data, std::size_t size)
{
    if (size < kMinFrame) {
        return false;
    }
    const std::uint16_t crc = crc16(data, size - 2);
    return data[size - 2] == (crc & 0xFF) && data[size - 1] == (crc >> 8);
}

void rewriteCrc(Bytes &frame)
{
    if (frame.size() < kMinFrame) {
        return;
    }
    const std::uint16_t crc = crc16(frame.data(), frame.size() - 2);
    frame[frame.size() - 2] = static_cast<std::uint8_t>(crc & 0xFF);
    frame[frame.size() - 1] = static_cast<std::uint8_t>(crc >> 8);
}

std::string hex(const std::uint8_t *data, std::size_t size)
{
    std::string text;
    char byte[4];
    for (std::size_t i = 0; i < size; ++i) {
        std::snprintf(byte, sizeof byte, i ? " %02X" : "%02X", data[i]);
        text += byte;
    }
    return text;
}

std::size_t requestLength(const std::uint8_t *data, std::size_t size)
{
    if (size < 2) {
        return 0;
    }
    switch (data[1]) {
    case 1: // read coils, inputs, holding and input registers; write one coil or register:
    case 2: // address, function, two words, CRC
    case 3:
    case 4:
    case 5:
    case 6:
        return 8;
    case 7: // read exception status, diagnostics counters, report server id: no data
    case 11:
    case 12:
    case 17:
        return 4;
    case 15: // write several coils or registers: 7 bytes of header, a byte count, data, CRC
    case 16:
        return size < 7 ? 0 : 9 + std::size_t{data[6]};
    case 22: // mask write: address, function, three words, CRC
        return 10;
    case 23: // read/write registers: 11 bytes of header, a byte count, data, CRC
        return size < 11 ? 0 : 13 + std::size_t{data[10]};
    default:
        return 0;
    }
}

std::vector<RequestFramer::Piece> RequestFramer::feed(const std::uint8_t *data, std::size_t size)
{
    std::vector<Piece> pieces;
    m_buffer.insert(m_buffer.end(), data, data + size);
    for (;;) {
        // The first offset where a whole request with a good CRC stands.
        std::size_t start = 0;
        std::size_t length = 0;
        for (; start + kMinFrame <= m_buffer.size(); ++start) {
            const std::size_t n = requestLength(m_buffer.data() + start, m_buffer.size() - start);
            if (n >= kMinFrame && start + n <= m_buffer.size() &&
                hasValidCrc(m_buffer.data() + start, n)) {
                length = n;
                break;
            }
        }
        if (length == 0) {
            break;
        }
        if (start > 0) {
            pieces.push_back({false, Bytes(m_buffer.begin(), m_buffer.begin() + start)});
        }
        const auto end = m_buffer.begin() + static_cast<std::ptrdiff_t>(start + length);
        pieces.push_back({true, Bytes(m_buffer.begin() + start, end)});
        m_buffer.erase(m_buffer.begin(), end);
    }
    if (m_buffer.size() > kMaxFrame) {
        const auto cut = m_buffer.end() - kMaxFrame;
        pieces.push_back({false, Bytes(m_buffer.begin(), cut)});
        m_buffer.erase(m_buffer.begin(), cut);
    }
    return pieces;
}

std::vector<RequestFramer::Piece> RequestFramer::flush()
{
    std::vector<Piece> pieces;
    if (!m_buffer.empty()) {
        pieces.push_back({hasValidCrc(m_buffer.data(), m_buffer.size()), m_buffer});
        m_buffer.clear();
    }
    return pieces;
}

} // namespace sim
