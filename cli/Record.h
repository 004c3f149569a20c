#pragma once
// The command line's way into the record and the batches: opened as --db,
// --station and --no-record say, its errors turned into one line and an exit
// code each, outcomes it cannot take kept for the next run.

#include "cli/Options.h"
#include "storage/Pending.h"
#include "storage/Store.h"

#include <exception>
#include <memory>
#include <optional>
#include <string>

namespace pello::cli {

class CRecordKeeper {
public:
    explicit CRecordKeeper(const CommonOptions& common);
    // Recording is switched off (--no-record, PELLOMATIC_RECORD=off).
    bool Off() const { return m_off; }
    // Begins `row` ("in progress", its token set) before a unit is written:
    // 0, or the exit code after saying why the record cannot take it.
    int Begin(storage::ProgrammingRecord* row);
    // Opens the record and writes what earlier runs kept; 0, or the exit code
    // after saying why not. `forReading` (commands that read): the record
    // must exist already, and one that refuses writes (a read-only file) is
    // opened for reading only instead.
    int Open(bool forReading = false);
    // Opened for reading only: nothing can be written, not even a mark.
    bool ReadOnly() const { return m_bReadOnly; }
    storage::CStore& Store() { return *m_store; }
    const storage::Station& Who() const { return m_who; }
    // A record row for now, from this station.
    storage::ProgrammingRecord NewRecord() const;

    // Notes the frame about to go out in the row of `token`, or keeps the note
    // locally when the record cannot take it at once; false when neither could.
    bool NoteStep(const std::string& token, const char* step);

    // Ends a claim or completes a row after a unit was written. When the record
    // cannot take it, says so loudly, keeps it in the local file, and returns
    // kNotRecorded; 0 otherwise.
    int Keep(const std::optional<storage::Claim>& claim, storage::SerialState state,
             const storage::ProgrammingRecord& record);

private:
    bool m_off;
    std::string m_where;
    storage::Station m_who;
    std::unique_ptr<storage::CStore> m_store;
    bool m_bReadOnly = false;
};

// One line for a storage error, and its exit code.
int ReportStorageError(const std::exception& e, const std::string& where);

} // namespace pello::cli
