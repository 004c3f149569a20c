#pragma once
// Time for the Windows links' deadlines: the millisecond tick counter. The
// waits themselves are the Win32 waits on events, bounded by these deadlines.

#include "link/Deadline.h"

#include <cstdint>

namespace pello {

class CClock {
public:
    virtual ~CClock() = default;
    // Milliseconds as a 32-bit count that wraps.
    virtual uint32_t TickCount() = 0;
    // Waits `timeoutMs`. The Windows links wait on their own events, so there
    // is nothing to poll (`none` is null, `count` 0): this is poll(2)'s form
    // for a pause, so that core/ pauses with one call on either platform.
    virtual int Poll(const void* none, unsigned count, int timeoutMs) = 0;
};

// GetTickCount and Sleep.
class CSystemClock final : public CClock {
public:
    uint32_t TickCount() override;
    int Poll(const void* none, unsigned count, int timeoutMs) override;
};

CClock& SystemClock();

} // namespace pello
