#pragma once
// The USB HID link (CHidLink): each platform's own, behind the one interface core/ uses.

#ifdef _WIN32
#include "link/win32/HidLink.h"
#else
#include "link/posix/HidLink.h"
#endif
