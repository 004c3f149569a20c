#include "link/win32/Clock.h"

#include <windows.h>

namespace pello {

uint32_t CSystemClock::TickCount() { return ::GetTickCount(); }

int CSystemClock::Poll(const void*, unsigned, int timeoutMs)
{
    ::Sleep(static_cast<DWORD>(timeoutMs < 0 ? 0 : timeoutMs));
    return 0;
}

CClock& SystemClock()
{
    static CSystemClock clock;
    return clock;
}

} // namespace pello
