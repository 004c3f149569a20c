// The Windows build keeps no record: the record's commands and options say
// so and end with exit code 1; `apply` from SN.txt works without one.

#include "cli/Commands.h"
#include "cli/ExitCodes.h"
#include "cli/Output.h"
#include "cli/Record.h"

namespace pello::cli {

namespace {

int NoRecord(const std::string& what)
{
    Complain((what.empty() ? std::string() : what + ": ") +
             "this build has no record (the programming record, batches and stations are on Linux)");
    return kUsage;
}

} // namespace

CRecordKeeper::CRecordKeeper(const CommonOptions& common)
    : m_off(common.db.empty() || common.noRecord), m_where(common.db)
{
}

int CRecordKeeper::Open(bool) { return NoRecord(m_where.empty() ? "" : "--db " + m_where); }
int CRecordKeeper::Begin(storage::ProgrammingRecord*) { return Open(false); }
storage::ProgrammingRecord CRecordKeeper::NewRecord() const { return {}; }
bool CRecordKeeper::NoteStep(const std::string&, const char*) { return true; }

int CRecordKeeper::Keep(const std::optional<storage::Claim>&, storage::SerialState, const storage::ProgrammingRecord&)
{
    return kOk;
}

int ReportStorageError(const std::exception& e, const std::string& where)
{
    Complain(where + ": " + e.what());
    return kDbUnusable;
}

int RunBatch(const BatchOptions&, const CommonOptions&) { return NoRecord("batch"); }
int RunLog(const LogOptions&, const CommonOptions&) { return NoRecord("log"); }
int RunStation(const StationCliOptions&, const CommonOptions&) { return NoRecord("station"); }
int RunStats(const StatsOptions&, const CommonOptions&) { return NoRecord("stats"); }
int RunServe(const ServeOptions&, const CommonOptions&) { return NoRecord("serve"); }
int RunLabel(const LabelOptions&, const CommonOptions&) { return NoRecord("label"); }

} // namespace pello::cli

namespace pello::storage {

// The shared command code names the record's queries; without a record the
// keeper refuses to open before any of them could run.
namespace {
[[noreturn]] void Unreachable() { throw DbError(DbProblem::Other, "this build has no record"); }
} // namespace

std::optional<ProgrammingRecord> CStore::LastProgrammed(const std::string&) { Unreachable(); }
std::optional<ProgrammingRecord> CStore::LastWritten(const std::string&) { Unreachable(); }
std::optional<ProgrammingRecord> CStore::LastCarried(const std::string&) { Unreachable(); }
std::optional<BatchSerial> CStore::BatchSerialOf(const std::string&) { Unreachable(); }
std::optional<Claim> CStore::ClaimNext(const std::string&, const Station&) { Unreachable(); }

} // namespace pello::storage
