#pragma once
#include <string>

namespace pello {

// Cuts the serial number out of a "QSID" reply (NUL-terminated): the two
// characters after "(" give its length the way atoi reads them; a length
// outside 1..20 means 14.
std::string ExtractProductId(const char* reply);

} // namespace pello
