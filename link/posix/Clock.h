#pragma once
// Time and waiting for the links, behind one seam so tests can run the 2000 ms
// and 3000 ms deadlines on a fake clock while still polling real descriptors.

#include "link/Deadline.h"

#include <cstdint>
#include <poll.h>

namespace pello {

class CClock {
public:
    virtual ~CClock() = default;
    // Milliseconds from a monotonic source, as a 32-bit count that wraps.
    virtual uint32_t TickCount() = 0;
    // poll(2) with `timeoutMs` (>= 0); EINTR is retried. Returns poll's result.
    virtual int Poll(pollfd* fds, nfds_t count, int timeoutMs) = 0;
};

// The monotonic clock and real poll(2).
class CSystemClock final : public CClock {
public:
    uint32_t TickCount() override;
    int Poll(pollfd* fds, nfds_t count, int timeoutMs) override;
};

CClock& SystemClock();

} // namespace pello
