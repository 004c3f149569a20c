#include "cli/Record.h"

#include "cli/ExitCodes.h"
#include "cli/Interrupt.h"
#include "cli/Output.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace pello::cli {

namespace {

bool RecordSwitchedOff(const CommonOptions& common)
{
    const char* env = std::getenv("PELLOMATIC_RECORD");
    return common.noRecord || (env != nullptr && std::string(env) == "off");
}

int ExitCodeOf(storage::DbProblem problem)
{
    switch (problem) {
    case storage::DbProblem::CannotOpen:
    case storage::DbProblem::Gone: return kDbUnreachable;
    case storage::DbProblem::Busy: return kDbBusy;
    case storage::DbProblem::ReadOnly: return kDbReadOnly;
    case storage::DbProblem::Corrupt:
    case storage::DbProblem::Constraint:
    case storage::DbProblem::Other: return kDbUnusable;
    }
    return kDbUnusable;
}

int ExitCodeOf(storage::StoreProblem problem)
{
    switch (problem) {
    case storage::StoreProblem::UnknownBatch: return kUnknownBatch;
    case storage::StoreProblem::BatchExists:
    case storage::StoreProblem::Overlap: return kBatchRefused;
    case storage::StoreProblem::NotInDoubt:
    case storage::StoreProblem::UnknownSerial: return kResolveRefused;
    case storage::StoreProblem::NewerSchema: return kDbUnusable;
    case storage::StoreProblem::Programmed: return kResolveRefused;
    }
    return kDbUnusable;
}

std::string Lead(storage::DbProblem problem)
{
    switch (problem) {
    case storage::DbProblem::CannotOpen: return "cannot open the record";
    case storage::DbProblem::Gone: return "lost the record";
    case storage::DbProblem::Busy: return "the record stayed locked by another station";
    case storage::DbProblem::ReadOnly: return "the record refuses writes";
    case storage::DbProblem::Corrupt: return "the record is damaged or not a database";
    case storage::DbProblem::Constraint:
    case storage::DbProblem::Other: break;
    }
    return "the record cannot be used";
}

void ComplainReplayed(const storage::ReplayReport& r)
{
    for (const std::string& line : storage::SayReplayed(r)) Complain(line);
}

} // namespace

int ReportStorageError(const std::exception& e, const std::string& where)
{
    if (const auto* db = dynamic_cast<const storage::DbError*>(&e)) {
        Complain(Lead(db->Problem()) + " (" + where + "): " + db->what());
        return ExitCodeOf(db->Problem());
    }
    if (const auto* store = dynamic_cast<const storage::StoreError*>(&e)) {
        Complain(store->what());
        return ExitCodeOf(store->Problem());
    }
    Complain(std::string("the record cannot be used (") + where + "): " + e.what());
    return kDbUnusable;
}

CRecordKeeper::CRecordKeeper(const CommonOptions& common)
    : m_off(RecordSwitchedOff(common)), m_where(common.db),
      m_who(storage::ThisStation(common.station, common.operatorName))
{
}

int CRecordKeeper::Open(bool forReading)
{
    // --station and --operator were checked as given; the host name was not.
    if (const std::string why = text::NameProblem(m_who.name); !why.empty()) {
        Complain("the host name cannot name this station in the record: " + why + "; give one with --station");
        return kUsage;
    }
    const std::string where = m_where.empty() ? storage::DefaultDatabasePath() : m_where;
    std::string described = storage::IsPostgres(where) ? "PostgreSQL" : "SQLite file " + where;
    try {
        // A command that reads never leaves a new empty record (and its folders) behind a typo.
        struct stat st {};
        if (forReading && !storage::IsPostgres(where) && ::stat(where.c_str(), &st) != 0) {
            throw storage::DbError(storage::DbProblem::CannotOpen, std::strerror(errno));
        }
        try {
            auto db = storage::OpenDatabase(where);
            described = db->Describe();
            m_store = std::make_unique<storage::CStore>(std::move(db));
        } catch (const storage::DbError& e) {
            const bool refusesWrites = e.Problem() == storage::DbProblem::ReadOnly ||
                                       (e.Problem() == storage::DbProblem::CannotOpen && ::access(where.c_str(), R_OK) == 0);
            if (!forReading || storage::IsPostgres(where) || !refusesWrites) {
                throw;
            }
            m_store = std::make_unique<storage::CStore>(storage::OpenDatabase(where, storage::Access::ReadMedia), true);
            m_bReadOnly = true;
            ComplainReplayed({});
            return kOk;
        }
        ComplainReplayed(storage::ReplayPending(*m_store));
        return kOk;
    } catch (const std::exception& e) {
        const int rc = ReportStorageError(e, described);
        return Interrupted() ? InterruptedExitCode() : rc; // a signal ended the wait for the server
    }
}

int CRecordKeeper::Begin(storage::ProgrammingRecord* row)
{
    try {
        row->token = m_store->BeginRecord(*row);
        return kOk;
    } catch (const std::exception& e) {
        return ReportStorageError(e, m_store->Describe());
    }
}

bool CRecordKeeper::NoteStep(const std::string& token, const char* step)
{
    const storage::StepNote note = storage::NoteStepOrKeep(*m_store, token, step);
    if (note.where != storage::Noted::OnRecord) {
        Complain(storage::SayNote(step, note));
    }
    return note.where != storage::Noted::Nowhere;
}

storage::ProgrammingRecord CRecordKeeper::NewRecord() const { return storage::NewRecord(m_who); }

int CRecordKeeper::Keep(const std::optional<storage::Claim>& claim, storage::SerialState state,
                        const storage::ProgrammingRecord& ended)
{
    // The attempt ends now, its read-back done: its row's time, and its cycle's end.
    storage::ProgrammingRecord record = ended;
    record.time = storage::UtcNow();
    try {
        if (claim) {
            m_store->Settle(*claim, state, record, m_who);
        } else {
            m_store->AddRecord(record);
        }
        return kOk;
    } catch (const std::exception& e) {
        const bool kept =
            storage::KeepPending({m_store->DatabaseId(), m_store->Describe(), claim, state, record, m_who});
        Complain(std::string("THE RECORD COULD NOT BE WRITTEN: ") + e.what());
        Complain("outcome: " + record.outcome + ", field " + text::Show(record.fieldWritten) + ", code " +
                 text::Show(record.codeWritten) + (record.serial.empty() ? "" : ", serial " + record.serial) +
                 ", serial now " + storage::StateName(state) + ", " + record.time);
        Complain(kept ? "kept in " + storage::PendingPath() + "; the next run writes it into the record"
                      : "it could not be kept in " + storage::PendingPath() + " either: note it by hand");
        return kNotRecorded;
    }
}

} // namespace pello::cli
