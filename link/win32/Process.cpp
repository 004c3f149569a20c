#include "link/Process.h"

namespace pello {

// A port or file opened on Windows is a handle, never one of the C runtime's
// descriptors 0 to 2, so nothing can take the place of stdout or stderr.
void EnsureStandardDescriptors() {}

} // namespace pello
