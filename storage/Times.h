#pragma once
// The hours the line's tallies are kept by, from times in the record's form
// (UTC, 2026-12-07T09:30:22Z).

#include <string>

namespace pello::storage {

// The hour a record time falls in ("2026-12-07T09"), and the first hour that
// begins at or after it.
std::string HourOf(const std::string& time);
std::string HourFrom(const std::string& time);

} // namespace pello::storage
