#pragma once
// Outcomes the record could not take after a unit was programmed: kept in a
// local file, $XDG_STATE_HOME/pellomatic/unrecorded.jsonl, and written into
// the record by the next run that reaches the same database.

#include "storage/Store.h"

#include <optional>
#include <string>

namespace pello::storage {

struct PendingOutcome {
    std::string database;       // CStore::Describe() of the record it belongs in
    std::optional<Claim> claim; // the batch claim to settle, if any
    SerialState state = SerialState::InDoubt;
    ProgrammingRecord record;
    Station who;
};

std::string PendingPath();
// Appends one outcome; false when even that fails.
bool KeepPending(const PendingOutcome& outcome);
// Writes the kept outcomes that belong in `store` and removes them from the
// file; returns how many. Those for other databases stay.
int ReplayPending(CStore& store);

} // namespace pello::storage
