#pragma once

// The shell's names for the one formatter of every file and message.

#include "supply/format.h"

#include <QString>

namespace ctl {

using supply::fixedPoint;
using supply::shortestPoint;

// A JSON string literal for `text`, quotes and escapes included.
inline QString jsonString(const QString &text)
{
    return QString::fromUtf8(supply::jsonString(text));
}

} // namespace ctl
