#include "link/win32/Clock.h"

#include <windows.h>

namespace pello {

uint32_t CSystemClock::TickCount() { return ::GetTickCount(); }

CClock& SystemClock()
{
    static CSystemClock clock;
    return clock;
}

} // namespace pello
