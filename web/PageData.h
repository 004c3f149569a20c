#pragma once
// What the supervisor's page shows, as JSON built from the record: every
// value from the record goes out as a JSON string shown by the text rule
// (text/Text.h), for the page to show as text, never as markup; the JSON
// always dumps whole, whatever bytes the record holds.

#include "storage/Store.h"

#include <map>
#include <stdexcept>
#include <string>

#include <nlohmann/json.hpp>

namespace pello::web {

// Batches with their counts, stations and whether they are online, the
// numbers of the last 24 hours on the clock (this one and the 23 before it)
// and of each of those hours, failures by step, serials in doubt; claims
// `batch show` would take for abandoned are shown in doubt.
nlohmann::json Overview(storage::CStore& store, int offlineAfterSeconds);

// A filter the page cannot take (a time that is not one): its message.
class BadFilter : public std::invalid_argument {
public:
    using std::invalid_argument::invalid_argument;
};

// The record filtered by the query's station, batch, outcome, since and
// until, checked as the command line checks them (BadFilter).
storage::RecordFilter FilterOf(const std::map<std::string, std::string>& query);
nlohmann::json Records(storage::CStore& store, const storage::RecordFilter& filter, int limit);
// The same rows as a CSV file.
std::string RecordsCsv(storage::CStore& store, const storage::RecordFilter& filter, int limit);

// A download in pieces: the CSV file's first line, then rows as CSV lines
// or as the JSON array's items (each after a comma but the very first).
std::string CsvHeader();
std::string CsvRows(const std::vector<storage::ProgrammingRecord>& rows);
std::string JsonItems(const std::vector<storage::ProgrammingRecord>& rows, bool first);

// A text as JSON takes it: text::Show, for the server's own messages.
std::string Utf8(const std::string& bytes);

} // namespace pello::web
