#include "link/posix/Clock.h"

#include <cerrno>
#include <chrono>

namespace pello {

uint32_t CSystemClock::TickCount()
{
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

int CSystemClock::Poll(pollfd* fds, nfds_t count, int timeoutMs)
{
    // A retried poll after EINTR restarts the full timeout; callers recompute
    // their remaining time on every pass, so the deadline still holds.
    for (;;) {
        const int rc = ::poll(fds, count, timeoutMs);
        if (rc >= 0 || errno != EINTR) {
            return rc;
        }
    }
}

CClock& SystemClock()
{
    static CSystemClock clock;
    return clock;
}

} // namespace pello
