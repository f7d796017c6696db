#pragma once

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <vector>

// Frames as Qt byte arrays and as text, for the engine's replies and traces.
namespace engine {

inline QByteArray bytesOf(const std::vector<std::uint8_t> &bytes)
{
    return QByteArray(reinterpret_cast<const char *>(bytes.data()),
                      static_cast<qsizetype>(bytes.size()));
}

// "01 03 0C 00": upper-case hex, a space between bytes.
inline QString hexOf(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.toHex(' ').toUpper());
}

inline QString hexOf(const std::vector<std::uint8_t> &bytes)
{
    return hexOf(bytesOf(bytes));
}

} // namespace engine
