#pragma once

// A peer that sends and never reads: the fuzz input is its bytes, sent over and
// over, and the server's heap is watched as it takes them. What the server holds
// for that one connection must stay within the bound the server keeps.
#include "fuzzcheck.h"

#include <sanitizer/allocator_interface.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>

namespace fuzz {

// The bytes the heap holds now (AddressSanitizer's count: every allocation of
// the process, which is this one thread's server and its peer).
inline std::int64_t heapBytes()
{
    return static_cast<std::int64_t>(__sanitizer_get_current_allocated_bytes());
}

// Sends `data` over and over in pieces of `piece` bytes until `total` bytes have
// gone or `send` says the connection is gone; `check` runs after each piece.
// Returns the bytes sent.
inline std::size_t flood(const std::uint8_t *data, std::size_t size, std::size_t piece,
                         std::size_t total,
                         const std::function<bool(const std::uint8_t *, std::size_t)> &send,
                         const std::function<void()> &check)
{
    if (size == 0) {
        return 0;
    }
    std::size_t sent = 0;
    std::size_t at = 0;
    while (sent < total) {
        const std::size_t n = std::min(piece, size - at);
        if (!send(data + at, n)) {
            break;
        }
        sent += n;
        at = (at + n) % size;
        check();
    }
    return sent;
}

} // namespace fuzz
