#pragma once
// A pseudo-terminal pair in raw mode, as the device simulator and tests use it.

#include "link/UniqueFd.h"

#include <string>

namespace pello {

struct PtyPair {
    CUniqueFd master;
    // Held open so the master never sees a hang-up between host sessions, and
    // so the slave's raw settings stay put.
    CUniqueFd slaveHold;
    std::string slavePath;
};

// Opens a pty, puts both sides in raw mode; false on failure.
bool OpenRawPty(PtyPair* pty);

// Writes all bytes to `fd`, waiting with poll when the tty is full; false on error.
bool WriteAll(int fd, const void* data, size_t length);

} // namespace pello
