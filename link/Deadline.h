#pragma once
// Deadline arithmetic on a 32-bit millisecond tick count, the same on every platform.

#include <cstdint>

namespace pello {

// Milliseconds left of `limit` since `start`, by unsigned difference so a
// wrapping counter neither ends nor stretches the wait. 0 when it has passed.
inline uint32_t RemainingMs(uint32_t now, uint32_t start, uint32_t limit)
{
    const uint32_t elapsed = now - start;
    return elapsed >= limit ? 0 : limit - elapsed;
}

} // namespace pello
