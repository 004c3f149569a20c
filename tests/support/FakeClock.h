#pragma once
// A clock for deadline tests: descriptors are polled for real, for a short real
// slice so a responder thread can answer, and a wait that finds nothing ready
// costs its whole timeout in fake time.

#include "link/Clock.h"

namespace pello {

class CFakeClock final : public CClock {
public:
    explicit CFakeClock(uint32_t start = 1000) : m_now(start) {}
    uint32_t TickCount() override { return m_now; }
    int Poll(pollfd* fds, nfds_t count, int timeoutMs) override
    {
        ++m_polls;
        const int rc = ::poll(fds, count, timeoutMs < m_realSliceMs ? timeoutMs : m_realSliceMs);
        if (rc == 0) {
            m_now += static_cast<uint32_t>(timeoutMs);
        }
        return rc;
    }
    void Advance(uint32_t ms) { m_now += ms; }
    uint32_t m_now;
    int m_polls = 0;
    int m_realSliceMs = 200;
};

} // namespace pello
