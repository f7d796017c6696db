#pragma once

#include "protocol/reading.h"

#include <QString>

#include <cstdint>

namespace ctl {

// count / 10^decimals with exactly `decimals` digits after the point ("12.34").
QString fixedPoint(long long count, int decimals);
// The same with trailing zeros dropped, as a JSON number ("12.3", "1.5", "0").
QString shortestPoint(long long count, int decimals);

// "CV", "CC" or "OC"; any other value as its number.
QString modeText(std::uint8_t mode);

// Actual power in units of 10 µW: 10 mV counts times 1 mA counts.
inline long long powerCount(const protocol::StatusReading &r)
{
    return static_cast<long long>(r.actualVoltage) * r.actualCurrent;
}

// "12.32 V  0.500 A  6.16 W  (set 12.34 V 1.500 A)  output on  CV"
QString statusText(const protocol::StatusReading &r);
// {"address":1,"set_v":12.34,"set_a":1.5,"v":12.32,"a":0.5,"w":6.16,"output":true,"mode":"CV"}
QString statusJson(int address, const protocol::StatusReading &r);

// A JSON string literal for `text`, quotes and escapes included.
QString jsonString(const QString &text);
// The bytes as "01 03 0C ...".
QString hexBytes(const QByteArray &bytes);

} // namespace ctl
