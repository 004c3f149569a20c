#pragma once
#include <string>

namespace pello {

// The string table. Returns an empty string for an id it does not hold.
std::string LoadResString(unsigned id);

} // namespace pello
