#pragma once
// Times as people type them, in the record's form (UTC, 2026-12-07T09:30:22Z):
// the command line's --since and --until and the page's filters take them alike.

#include <optional>
#include <string>

namespace pello::text {

// "2026-12-07", "2026-12-07T09:30", "2026-12-07 09:30:15", each with an
// optional "Z", as the record's form; nullopt for anything else (another time
// zone, a date or time that does not exist).
std::optional<std::string> NormalizeTime(const std::string& typed);

} // namespace pello::text
