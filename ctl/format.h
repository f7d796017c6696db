#pragma once

// The shell's names for the one formatter of every file and message.

#include "ctl/output.h"
#include "records/format.h"

#include <QString>

namespace ctl {

using records::fixedPoint;
using records::shortestPoint;

// A JSON string literal for `text`, quotes and escapes included.
inline QString jsonString(const QString &text)
{
    return QString::fromUtf8(records::jsonString(text));
}

// {"address":1,"set_v":12.34,"set_a":1.5,"v":12.32,"a":0.5,"w":6.16,"output":true,"mode":"CV"}
inline QString statusJson(int address, const protocol::StatusReading &r)
{
    return QString::fromUtf8(records::statusJson(address, r).toJson());
}

} // namespace ctl
