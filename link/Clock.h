#pragma once
// The links' clock: each platform's own, behind the one interface core/ uses.

#ifdef _WIN32
#include "link/win32/Clock.h"
#else
#include "link/posix/Clock.h"
#endif
