// `pellomatic-cli apply`: from SN.txt, or the next free serial of a batch;
// every attempt that reaches a device goes into the record.

#include "cli/Commands.h"

#include "cli/ExitCodes.h"
#include "cli/Interrupt.h"
#include "cli/Output.h"
#include "cli/Record.h"
#include "cli/Session.h"
#include "protocol/Frames.h"
#include "station/Unit.h"

namespace pello::cli {

namespace {

int DryRun(const ProgramFields& fields)
{
    for (const Frame& f : {BuildAte1Frame(), BuildSidFrame(fields.serial.c_str()), BuildPabcFrame(fields.code.c_str()),
                           BuildQbootFrame()}) {
        Print(ToHex(f.bytes, f.length));
    }
    return kOk;
}

// The row for this attempt, with the unit as Search found it.
void DescribeFound(storage::ProgrammingRecord* row, const CDeviceSession& session, const SearchResult& found,
                   const ProgramFields& fields)
{
    station::DescribeUnit(row, session.Device().link, found, fields);
    if (row->port.empty()) {
        row->port = session.Device().port; // nothing answered: the port asked for
    }
}

// Opens the record, checks that one unit is there to program, and begins the row.
int OpenAndBegin(CRecordKeeper& keeper, CDeviceSession& session, storage::ProgrammingRecord* row)
{
    int rc = keeper.Open();
    if (rc == kOk) {
        rc = session.CheckOneUnit();
    }
    return rc == kOk ? keeper.Begin(row) : rc;
}

// A guard's exit code; a storage error is said and gives its own.
template <class Fn> int Guarded(Fn guard, CRecordKeeper& keeper)
{
    try {
        return guard();
    } catch (const std::exception& e) {
        return ReportStorageError(e, keeper.Store().Describe());
    }
}

void SaySkipped(const storage::Claim& claim)
{
    for (const std::string& serial : claim.skipped) {
        Complain("serial " + serial + " of batch " + claim.batch +
                 " passed over: the record shows its field programmed into a unit already");
    }
}

// The record shows this field programmed into a unit, and the unit connected
// now does not hold it: another unit would get the same number. A field a
// batch still holds free or claimed would be handed out again; the factory
// field makes a unit new again.
int GuardDuplicate(CRecordKeeper& keeper, const ProgramFields& fields, const SearchResult& found)
{
    std::optional<storage::ProgrammingRecord> last;
    std::optional<storage::BatchSerial> ofBatch;
    try {
        last = keeper.Store().LastCarried(fields.serial);
        ofBatch = keeper.Store().BatchSerialOf(fields.serial);
    } catch (const std::exception& e) {
        return ReportStorageError(e, keeper.Store().Describe());
    }
    const std::string field = text::Show(fields.serial);
    if (ofBatch) {
        Complain(field + " is serial " + ofBatch->serial + " of batch " + ofBatch->batch + " (" + ofBatch->state +
                 "); 'apply --batch " + ofBatch->batch + "' programs it, --allow-duplicate programs it from here");
        return kDuplicate;
    }
    if (fields.serial == storage::kFactoryField && found.field != fields.serial) {
        Complain(field + " is the field of a new unit; --allow-duplicate writes it");
        return kDuplicate;
    }
    if (!last || found.field == fields.serial) {
        return kOk;
    }
    const std::string how = last->outcome == "programmed" ? "was programmed" : "was read back from a unit after a failed sequence";
    Complain(field + " " + how + " at " + last->time + " on " + last->station + " (it read " +
             text::Show(last->fieldBefore) + " before): another unit carries it; --allow-duplicate programs it again");
    return kDuplicate;
}

// Runs the sequence, each frame that writes noted in the row first, and the read-back.
int Program(CDeviceSession& session, CRecordKeeper& keeper, const std::string& token, const ProgramFields& fields,
            ReadBack readBack, ProgramResult* result)
{
    if (!keeper.Off()) {
        session.Flow().SetStepListener([&keeper, token](const char* step) { return keeper.NoteStep(token, step); });
    }
    *result = session.Flow().Program(fields, readBack, Interrupted);
    return ReportProgram(*result, fields);
}

// The record's word wins: an outcome it could not take is the loudest.
int Recorded(CRecordKeeper& keeper, const std::optional<storage::Claim>& claim, storage::SerialState state,
             const storage::ProgrammingRecord& row, int rc)
{
    if (keeper.Off()) {
        return rc;
    }
    const int kept = keeper.Keep(claim, state, row);
    return kept != kOk ? kept : rc;
}

// After a sequence: an outcome the record could not take outranks a signal.
int Final(int rc) { return rc != kNotRecorded && Interrupted() ? InterruptedExitCode() : rc; }

int ApplyFromFile(const ApplyOptions& options, const CommonOptions& common)
{
    // The file first: a missing or bad file is reported before any search.
    const std::optional<ProgramFields> fields = ReadFields(options.file);
    if (!fields) {
        return kFileProblem;
    }
    if (options.dryRun) {
        return DryRun(*fields);
    }
    CRecordKeeper keeper(common);
    CDeviceSession session(options.device, common);
    storage::ProgrammingRecord row = keeper.NewRecord();
    row.fieldWritten = fields->serial;
    row.codeWritten = fields->code;
    // A record that cannot take the row is found out before the unit is written.
    if (const int rc = keeper.Off() ? session.CheckOneUnit() : OpenAndBegin(keeper, session, &row); rc != kOk) {
        return rc;
    }
    const SearchResult found = session.Search();
    DescribeFound(&row, session, found, *fields);
    const auto none = std::optional<storage::Claim>();
    if (!found.found) {
        row.outcome = "no device";
        return Recorded(keeper, none, storage::SerialState::Free, row, ReportNotFound(options.device));
    }
    if (const int rc = keeper.Off() || options.allowDuplicate ? kOk : GuardDuplicate(keeper, *fields, found)) {
        row.outcome = "refused: duplicate";
        return Recorded(keeper, none, storage::SerialState::Free, row, rc);
    }
    if (Interrupted()) {
        row.outcome = "interrupted";
        return Recorded(keeper, none, storage::SerialState::Free, row, InterruptedExitCode());
    }
    ProgramResult programmed;
    const int rc = Program(session, keeper, row.token, *fields, options.verify ? ReadBack::Yes : ReadBack::No,
                           &programmed);
    station::EndRow(&row, programmed);
    if (options.allowDuplicate) {
        row.detail += std::string(row.detail.empty() ? "" : "; ") + "written with --allow-duplicate";
    }
    return Final(Recorded(keeper, none, storage::SerialState::Free, row, rc));
}

std::optional<storage::Claim> ClaimFrom(CRecordKeeper& keeper, const std::string& batch, int* rc)
{
    try {
        std::optional<storage::Claim> claim = keeper.Store().ClaimNext(batch, keeper.Who());
        if (!claim) {
            Complain("batch " + batch + " has no free serial number left");
            *rc = kBatchExhausted;
        } else {
            SaySkipped(*claim);
        }
        return claim;
    } catch (const std::exception& e) {
        *rc = ReportStorageError(e, keeper.Store().Describe());
        return std::nullopt;
    }
}

void SayWhereTheSerialStands(const storage::Claim& claim, storage::SerialState state)
{
    if (state == storage::SerialState::Programmed) {
        Print(claim.serial);
    } else if (state == storage::SerialState::Free) {
        Complain("serial " + claim.serial + " goes back to batch " + claim.batch + ": the unit does not carry it");
    } else {
        Complain("serial " + claim.serial + " is now in doubt: the unit may carry it; it is not handed out again "
                 "until 'pellomatic-cli batch resolve' decides");
    }
}

// A unit that carries a serial of this batch the record shows programmed is
// programmed already: a second serial would be spent on it.
int GuardProgrammedUnit(CRecordKeeper& keeper, const std::string& batch, const SearchResult& found)
{
    const std::optional<storage::ProgrammingRecord> last = keeper.Store().LastProgrammed(found.field);
    if (!last || last->batch != batch) {
        return kOk;
    }
    Complain("the unit carries " + last->serial + " of batch " + batch + ", programmed at " + last->time + " on " +
             last->station + "; --allow-duplicate gives it another");
    return kDuplicate;
}

int ApplyFromBatch(const ApplyOptions& options, const CommonOptions& common)
{
    CRecordKeeper keeper(common);
    CDeviceSession session(options.device, common);
    int rc = keeper.Open();
    if (rc == kOk) {
        rc = session.CheckOneUnit();
    }
    // No byte goes to a device before the claim is made.
    const std::optional<storage::Claim> claim = rc == kOk ? ClaimFrom(keeper, options.batch, &rc) : std::nullopt;
    if (!claim) {
        return rc;
    }
    const ProgramFields fields {claim->field, claim->code};
    const SearchResult found = session.Search();
    storage::ProgrammingRecord row = keeper.NewRecord();
    DescribeFound(&row, session, found, fields);
    row.batch = claim->batch;
    row.serial = claim->serial;
    if (!found.found || Interrupted()) {
        row.outcome = found.found ? "interrupted" : "no device";
        SayWhereTheSerialStands(*claim, storage::SerialState::Free);
        rc = found.found ? InterruptedExitCode() : ReportNotFound(options.device);
        return Recorded(keeper, claim, storage::SerialState::Free, row, rc);
    }
    if (rc = options.allowDuplicate ? kOk : Guarded([&] { return GuardProgrammedUnit(keeper, options.batch, found); },
                                                    keeper);
        rc != kOk) {
        row.outcome = "refused: duplicate";
        SayWhereTheSerialStands(*claim, storage::SerialState::Free);
        return Recorded(keeper, claim, storage::SerialState::Free, row, rc);
    }
    ProgramResult programmed;
    rc = Program(session, keeper, claim->token, fields, ReadBack::Yes, &programmed);
    station::EndRow(&row, programmed);
    const storage::SerialState state = station::AfterSequence(programmed);
    SayWhereTheSerialStands(*claim, state);
    return Final(Recorded(keeper, claim, state, row, rc));
}

} // namespace

int RunApply(const ApplyOptions& options, const CommonOptions& common)
{
    return options.batch.empty() ? ApplyFromFile(options, common) : ApplyFromBatch(options, common);
}

} // namespace pello::cli
