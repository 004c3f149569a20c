#pragma once
// The RS232 link (CComLink): each platform's own, behind the one interface core/ uses.

#ifdef _WIN32
#include "link/win32/Serial.h"
#else
#include "link/posix/Serial.h"
#endif
