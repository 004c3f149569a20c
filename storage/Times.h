#pragma once
// Times as the record writes them (UTC, 2026-12-07T09:30:22Z), read from what
// people type, and the hours the line's tallies are kept by.

#include <optional>
#include <string>

namespace pello::storage {

// "2026-12-07", "2026-12-07T09:30", "2026-12-07 09:30:15", each with an
// optional "Z", as the record's form; nullopt for anything else (another time
// zone, a date that does not exist).
std::optional<std::string> NormalizeTime(const std::string& text);

// The hour a record time falls in ("2026-12-07T09"), and the first hour that
// begins at or after it.
std::string HourOf(const std::string& time);
std::string HourFrom(const std::string& time);

} // namespace pello::storage
