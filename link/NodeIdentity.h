#pragma once
// Which device a port or node is: each platform's own, behind the one interface core/ uses.

#ifdef _WIN32
#include "link/win32/NodeIdentity.h"
#else
#include "link/posix/NodeIdentity.h"
#endif
