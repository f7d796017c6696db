#pragma once

#include "protocol/frames.h"

#include <cstdint>
#include <string>

namespace testsupport {

// "01 03 0C" -> {0x01, 0x03, 0x0C}: a frame written as the hex of its bytes.
inline protocol::Frame bytes(const char *hex)
{
    protocol::Frame out;
    const std::string text(hex);
    for (std::size_t i = 0; i < text.size();) {
        if (text[i] == ' ') {
            ++i;
            continue;
        }
        out.push_back(static_cast<std::uint8_t>(std::stoi(text.substr(i, 2), nullptr, 16)));
        i += 2;
    }
    return out;
}

} // namespace testsupport
