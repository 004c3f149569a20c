#pragma once
// How COM names become devices (CPortResolver): each platform's own, behind the one interface core/ uses.

#ifdef _WIN32
#include "link/win32/PortNames.h"
#else
#include "link/posix/PortNames.h"
#endif
