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
};

// GetTickCount.
class CSystemClock final : public CClock {
public:
    uint32_t TickCount() override;
};

CClock& SystemClock();

} // namespace pello
