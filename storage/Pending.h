#pragma once
// Outcomes the record could not take after a unit was programmed: kept in a
// local file, $XDG_STATE_HOME/pellomatic/unrecorded.jsonl, and written into
// the record by the next run that reaches the same database.
//
// Each kept outcome names its database by the id kept inside it, never by how
// it was reached, and carries its attempt's token, so that writing it twice
// changes nothing. The file is rewritten whole and synced before it replaces
// the old one: a full disk never loses a line.

#include "storage/Store.h"

#include <optional>
#include <string>

namespace pello::storage {

struct PendingOutcome {
    std::string databaseId;     // CStore::DatabaseId() of the record it belongs in
    std::string database;       // CStore::Describe(), for messages
    std::optional<Claim> claim; // the batch claim to settle, if any
    SerialState state = SerialState::InDoubt;
    ProgrammingRecord record;   // with its attempt's token
    Station who;
};

struct ReplayReport {
    int written = 0;   // outcomes written into this record
    int setAside = 0;  // lines that could not be read, moved to the .bad file
    bool stuck = false; // the file could not be rewritten: what was written stays listed, harmlessly
};

std::string PendingPath();
// Appends one outcome and syncs it; false when even that fails.
bool KeepPending(const PendingOutcome& outcome);
// Writes the kept outcomes that belong in `store`, dropping each line only
// once its transaction has committed; lines of other databases stay, lines
// that cannot be read go to PendingPath() + ".bad".
ReplayReport ReplayPending(CStore& store);

} // namespace pello::storage
