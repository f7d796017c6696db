#pragma once

#include "engine/linetracker.h"

#include <chrono>
#include <cmath>

// What the line tracker's two halves share: a run of characters as a time on the
// line.
namespace engine {

// `chars` characters on the line, rounded up.
inline nanoseconds charsTime(double chars)
{
    return nanoseconds(static_cast<nanoseconds::rep>(std::ceil(chars * kCharMs * 1e6)));
}

} // namespace engine
