#pragma once
// The line's numbers as a property: a seeded history of a few stations over
// days (batch claims settled, rows from SN.txt, failures that come back
// within minutes or not, units that carry what another attempt wrote, rows
// that are no attempts) goes into a record through the store, and `stats`
// for random windows cut at any second, batches and groupings must equal
// what a plain count over the generated attempts gives; then again after the
// record is taken back to schema 2 and upgraded.

#include <cstdint>
#include <string>
#include <vector>

namespace pello {

// One run on the record `where` (a fresh SQLite file or PostgreSQL
// database): each figure that differs, one line each; empty when all agree.
std::vector<std::string> RunStatsCampaign(const std::string& where, uint64_t seed);

} // namespace pello
