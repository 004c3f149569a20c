#pragma once
// What every program of the tool does first.

namespace pello {

// Opens /dev/null on any of descriptors 0, 1 and 2 that is closed, so that a
// port or file opened later can never become stdout or stderr and receive
// text meant for a terminal.
void EnsureStandardDescriptors();

} // namespace pello
