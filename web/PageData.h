#pragma once
// What the supervisor's page shows, as JSON built from the record: every
// value from the record goes out as a JSON string shown by the text rule
// (text/Text.h), for the page to show as text, never as markup; the JSON
// always dumps whole, whatever bytes the record holds.

#include "storage/Store.h"

#include <map>
#include <string>

#include <nlohmann/json.hpp>

namespace pello::web {

// Batches with their counts, stations and whether they are online, the last
// 24 hours' numbers and their hours, failures by step, serials in doubt.
nlohmann::json Overview(storage::CStore& store, int offlineAfterSeconds);

// The record filtered by the query's station, batch, outcome, since and until.
storage::RecordFilter FilterOf(const std::map<std::string, std::string>& query);
nlohmann::json Records(storage::CStore& store, const storage::RecordFilter& filter, int limit);
// The same rows as a CSV file.
std::string RecordsCsv(storage::CStore& store, const storage::RecordFilter& filter, int limit);

// A text as JSON takes it: text::Show, for the server's own messages.
std::string Utf8(const std::string& bytes);

} // namespace pello::web
