#pragma once
// Outcomes the record could not take after a unit was programmed, and notes of
// frames it could not take in time while a unit was on the wire: kept in a
// local file, $XDG_STATE_HOME/pellomatic/unrecorded.jsonl, and written into
// the record by the next run that reaches the same database.
//
// Each kept line names its database by the id kept inside it, never by how it
// was reached (schema 1 named it by its description), and carries its
// attempt's token, so that writing it twice changes nothing. The file is
// rewritten whole and synced before it replaces the old one: a full disk never
// loses a line.

#include "storage/Store.h"

#include <optional>
#include <string>
#include <vector>

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
    int notes = 0;     // notes of steps written (or found superseded)
    int setAside = 0;  // lines that could not be read at all, moved to the .bad file now
    bool stuck = false; // the file could not be rewritten: what was written stays listed, harmlessly
};

std::string PendingPath();
// Appends one outcome and syncs it; false when even that fails.
bool KeepPending(const PendingOutcome& outcome);

enum class Noted { OnRecord, KeptLocally, Nowhere };
struct StepNote {
    Noted where = Noted::OnRecord;
    std::string why; // the record's error, when it did not take the note
};
// Notes the frame about to go out in the attempt's row, waiting at most
// kNoteWaitMs for the record; what the record cannot take by then is kept in
// the local file, synced, for the next run (the outcome carries it too).
StepNote NoteStepOrKeep(CStore& store, const std::string& token, const std::string& step);
// What to say of a note the record did not take.
std::string SayNote(const std::string& step, const StepNote& note);

// Writes the kept outcomes and notes that belong in `store`, each line dropped
// once written; lines of other databases stay, lines that cannot be read at
// all go to PendingPath() + ".bad". Lines of schema 1, which name their
// database by its description, belong in the database upgraded from it.
ReplayReport ReplayPending(CStore& store);
// Lines in PendingPath() + ".bad": outcomes nobody has looked at yet, which
// the record may not know (0 once the file is gone).
int SetAsideCount();
// What a replay did, and whether outcomes are set aside unread, in words: one
// line each, said by every program that opens the record.
std::vector<std::string> SayReplayed(const ReplayReport& report);

} // namespace pello::storage
