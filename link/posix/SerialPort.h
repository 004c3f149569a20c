#pragma once
// Opening a tty the one way the tool does it, for the link, for Search's probe
// and for the ports report, with the reason when it cannot be done.

#include "link/UniqueFd.h"

#include <string>

namespace pello {

enum class PortProblem {
    None,
    NotPresent,       // no such device
    PermissionDenied, // the user may not open it
    HeldExclusively,  // another process holds it in exclusive mode
    Locked,           // another process holds its lock
    NoHardware,       // the node exists but no hardware answers behind it
    NotASerialPort,   // it opens but has no line settings
    Other
};

struct PortOpening {
    CUniqueFd fd;          // valid when problem is None
    PortProblem problem = PortProblem::None;
    int error = 0;         // errno behind the problem, when there is one
};

// Opens `path` read-write, non-blocking, never as a controlling terminal, and
// takes its exclusive flock (which keeps out every other process that locks
// the port, root included). Does not check that it is a tty.
PortOpening OpenLockedPort(const std::string& path);

// The same open, then a check that the device has line settings; the port is
// released again. PortProblem::None when the tool could use it.
PortOpening ProbeSerialPort(const std::string& path);

} // namespace pello
