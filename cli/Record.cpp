#include "cli/Record.h"

#include "cli/ExitCodes.h"
#include "cli/Output.h"

#include <cstdlib>
#include <unistd.h>

namespace pello::cli {

namespace {

std::string HostName()
{
    char name[256] = {};
    return ::gethostname(name, sizeof name - 1) == 0 ? std::string(name) : std::string("unknown");
}

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
      m_who {common.station.empty() ? HostName() : common.station, HostName(), static_cast<long>(::getpid())}
{
}

int CRecordKeeper::Open()
{
    const std::string where = m_where.empty() ? storage::DefaultDatabasePath() : m_where;
    std::string described = storage::IsPostgres(where) ? "PostgreSQL" : "SQLite file " + where;
    try {
        auto db = storage::OpenDatabase(where);
        described = db->Describe();
        m_store = std::make_unique<storage::CStore>(std::move(db));
        if (const int written = storage::ReplayPending(*m_store); written > 0) {
            Complain("wrote " + std::to_string(written) + " outcome(s) kept from an earlier run into the record");
        }
        return kOk;
    } catch (const std::exception& e) {
        return ReportStorageError(e, described);
    }
}

int CRecordKeeper::CheckWritable()
{
    try {
        m_store->CheckWritable();
        return kOk;
    } catch (const std::exception& e) {
        return ReportStorageError(e, m_store->Describe());
    }
}

storage::ProgrammingRecord CRecordKeeper::NewRecord() const
{
    storage::ProgrammingRecord r;
    r.time = storage::UtcNow();
    r.station = m_who.name;
    r.verify = "not done";
    return r;
}

int CRecordKeeper::Keep(const std::optional<storage::Claim>& claim, storage::SerialState state,
                        const storage::ProgrammingRecord& record)
{
    try {
        if (claim) {
            m_store->Settle(*claim, state, record, m_who);
        } else {
            m_store->AddRecord(record);
        }
        return kOk;
    } catch (const std::exception& e) {
        const bool kept = storage::KeepPending({m_store->Describe(), claim, state, record, m_who});
        Complain(std::string("THE RECORD COULD NOT BE WRITTEN: ") + e.what());
        Complain("outcome: " + record.outcome + ", field " + EscapeDeviceText(record.fieldWritten) + ", code " +
                 EscapeDeviceText(record.codeWritten) + (record.serial.empty() ? "" : ", serial " + record.serial) +
                 ", serial now " + storage::StateName(state) + ", " + record.time);
        Complain(kept ? "kept in " + storage::PendingPath() + "; the next run writes it into the record"
                      : "it could not be kept in " + storage::PendingPath() + " either: note it by hand");
        return kNotRecorded;
    }
}

} // namespace pello::cli
