#pragma once
// Serial batches and the programming record, on either database backend.
//
// A serial is free until a station claims it (one transaction, so no two
// stations ever hold the same one). The claim ends programmed, back to free
// (nothing reached the unit, or the unit refused it), or in doubt (the unit
// may carry it); a serial in doubt is never handed out again until a
// supervisor resolves it. Every programming attempt adds a record row.

#include "storage/Database.h"
#include "storage/Serials.h"

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace pello::storage {

constexpr int kSchemaVersion = 3;
// A claim older than this, by the database's clock, is abandoned whoever
// holds it (a station's whole sequence with its verify takes well under a minute).
constexpr int kClaimLimitSeconds = 15 * 60;
// An attempt that follows a failed one at the same station within this long
// (from the failed one's end to its start) on a unit that reads the same
// field is that unit tried again, not a new unit.
constexpr int kRetestWithinSeconds = 5 * 60;
// What a new unit carries in its serial number field.
constexpr const char* kFactoryField = "1400000000000000000000";
// The longest a note of a step waits for the record while a unit is on the
// wire: a note the record cannot take by then is kept locally (Pending.h).
constexpr int kNoteWaitMs = 50;
// The token a claim made by schema 1, which had none, carries after the upgrade.
std::string Schema1ClaimToken(int64_t serialId);

enum class SerialState { Free, Claimed, Programmed, InDoubt, Spoiled };
const char* StateName(SerialState state); // "free", "claimed", "programmed", "in doubt", "spoiled"

// Who acts: the station's name, the host, machine and process behind it,
// and the operator at it.
struct Station {
    std::string name;
    std::string host;
    long pid = 0;
    std::string machine;      // /etc/machine-id: a process is known gone only on its own machine
    std::string operatorName; // "" for none given
};

// This process as a station: `name` ("" for the host name), the operator at it.
Station ThisStation(const std::string& name, const std::string& operatorName);

struct BatchInfo {
    std::string name, first, last, code, created, createdBy;
    std::string blank; // what a new unit of this batch carries: never "already programmed"
    uint64_t count = 0;
    uint64_t free = 0, claimed = 0, programmed = 0, inDoubt = 0, spoiled = 0;
    std::string nextFree; // empty when none is left
};

// A serial handed to one station. Its token is the claim's owner: only the
// holder settles it, and the record row of the attempt carries it too.
struct Claim {
    int64_t id = 0;
    std::string batch, serial, field, code, token;
    // Serials passed over on the way because the record shows their field
    // programmed already (from SN.txt, say): now "programmed".
    std::vector<std::string> skipped;
    std::string started; // UTC, when it was claimed: where its cycle begins
};

struct InDoubtSerial {
    std::string serial, station, since, why;
};

// A serial of a batch, for the guard of apply from SN.txt.
struct BatchSerial {
    std::string batch, serial, state;
};

struct HistoryEvent {
    std::string time, event, station, detail;
};

struct SerialHistory {
    std::string serial, field, state;
    std::vector<HistoryEvent> events;
};

struct ProgrammingRecord {
    std::string time;         // UTC, 2026-12-07T09:30:22Z: when the attempt ended
    std::string station;
    std::string link, port;   // "rs232" and the tty, or "usb" and the hidraw node
    std::string fieldBefore;  // the field Search read before writing
    std::string fieldWritten, codeWritten;
    // in progress, programmed, verify failed, failed, no device, refused: duplicate, interrupted
    std::string outcome;
    std::string verify;       // matched, differs, nothing read, not done
    std::string batch, serial; // empty outside a batch
    std::string detail;
    std::string step;         // the last frame that went out ("SID"), "" for none
    std::string operatorName;
    std::string started;      // UTC, when the attempt began (its claim)
    std::string unit;         // the unit it was: a station's arrival, or one apply run
    std::string token;        // the attempt's own id: its row is written once
    int64_t id = 0;           // its place in the record, as read (0 for a row not read)
};

struct RecordFilter {
    std::string since;  // UTC time, same form as ProgrammingRecord::time
    std::string serial; // a serial, or a 22-character field
    std::string until;  // UTC time: rows before it
    std::string station, batch, outcome; // "" for any
    int64_t beforeId = 0;     // rows older than the row of this id; 0 for any
};

// What `stats` counts, and how it groups.
struct StatsQuery {
    std::string batch;        // "" for every batch and none
    std::string since, until; // UTC times to the second, "" for no bound: rows that ended since, and before until
    std::string by;           // "", station, batch, operator, hour, day
};

struct FailureCount {
    std::string step, reason;
    uint64_t count = 0;
};

// The line's numbers for a selection of the record (README: "The line's numbers").
struct LineFigures {
    std::string group;
    uint64_t attempts = 0, programmed = 0, failed = 0;
    uint64_t units = 0, firstPass = 0, retested = 0, inDoubt = 0; // retested: attempts that were retests
    double yield = 0, firstPassYield = 0, retestRate = 0;
    double cycleP50 = 0, cycleP90 = 0, unitsPerHour = 0;
    std::vector<FailureCount> failures; // most first
};

struct LineStats {
    LineFigures total;
    std::vector<LineFigures> groups;
};

// A station's own row: where it is and how it is doing.
struct StationStatus {
    std::string name, batch, state, operatorName, lastUnit, started, lastSeen;
    uint64_t done = 0, failed = 0, skipped = 0;
    bool online = false; // seen within the offline limit
};

enum class StoreProblem { UnknownBatch, BatchExists, Overlap, NotInDoubt, UnknownSerial, NewerSchema, Programmed };

class StoreError : public std::runtime_error {
public:
    StoreError(StoreProblem problem, const std::string& what) : std::runtime_error(what), m_problem(problem) {}
    StoreProblem Problem() const { return m_problem; }

private:
    StoreProblem m_problem;
};

// UTC now, in the record's form.
std::string UtcNow();
// A row for an attempt that begins now, by `who`, nothing verified yet.
ProgrammingRecord NewRecord(const Station& who);
// 32 random hex digits: claim tokens and database ids.
std::string RandomToken();

// Works out again every row's retest and failure and the line's tallies from
// the record's rows: the upgrade to schema 3, and rows put in by other means.
void RebuildTallies(CDatabase& db);

class CStore {
public:
    // Creates the schema on first use, upgrades an older one, refuses a newer
    // one. `readOnly`: writes nothing, and refuses a schema it would have to change.
    explicit CStore(std::unique_ptr<CDatabase> db, bool readOnly = false);

    // Refuses a name or range taken, and a range holding a field the record
    // shows programmed into a unit.
    void CreateBatch(const std::string& name, const SerialRange& range, const std::string& code,
                     const Station& who, const std::string& blank = kFactoryField);
    std::vector<BatchInfo> ListBatches();
    // Counts per state; first turns claims of processes that are gone, or
    // older than the limit, into serials in doubt.
    BatchInfo ShowBatch(const std::string& name, const Station& who);
    std::vector<InDoubtSerial> InDoubt(const std::string& name);
    // A batch and its open serials as ShowBatch and InDoubt would show them
    // after marking abandoned claims, without writing anything: those claims
    // count in doubt, with the reason the mark would give (for a page over a
    // record it only reads).
    BatchInfo ViewBatch(const std::string& name, const Station& who);
    std::vector<InDoubtSerial> ViewInDoubt(const std::string& name, const Station& who);
    std::vector<std::string> BatchNames();
    std::vector<SerialHistory> Export(const std::string& name);

    // The next free serial whose field no unit carries yet, claimed for
    // `who` with a new token, and its record row begun ("in progress"), in
    // one transaction; nullopt when none is left.
    std::optional<Claim> ClaimNext(const std::string& batch, const Station& who);
    // The serial of `batch` whose field is `field`, when it is claimed or in
    // doubt and nobody alive may still hold it: claimed again for `who`, to
    // finish a unit that carries it (a station restarted mid-unit).
    std::optional<Claim> Reclaim(const std::string& batch, const std::string& field, const Station& who);
    // Notes in the attempt's row the frame about to go out, waiting at most
    // kNoteWaitMs for the record (DbError Busy after that).
    void NoteStep(const std::string& token, const std::string& step);
    // A note kept locally by an earlier run: written while the row is still in
    // progress and shows no later step.
    void NoteKeptStep(const std::string& token, const std::string& step);
    // Adds a note to the detail of the attempt's row ("label not printed: ...").
    void AddNote(const std::string& token, const std::string& note);
    // Ends a claim (programmed, free or in doubt) and completes its record
    // row, in one transaction. Only the claim's holder moves the serial; a
    // programmed outcome always wins. Settling twice changes nothing.
    void Settle(const Claim& claim, SerialState to, const ProgrammingRecord& record, const Station& who);
    // Settle for an outcome kept by schema 1: the claim is matched by its
    // token, the row goes in under the record's own, once.
    void SettleSchema1(const Claim& claim, SerialState to, const ProgrammingRecord& record, const Station& who);
    // A supervisor's decision on a serial in doubt: free again, or spoiled.
    void Resolve(const std::string& batch, const std::string& serial, SerialState to, const Station& who);

    // Begins the row of an attempt outside a batch ("in progress", a new
    // token): the record must take it before a unit is written.
    std::string BeginRecord(ProgrammingRecord record);
    // Completes a row begun, or adds it; a row already complete stays.
    void AddRecord(const ProgrammingRecord& record);
    // The batch serial whose field is `field`, while it is free or claimed.
    std::optional<BatchSerial> BatchSerialOf(const std::string& field);
    // The line's numbers, aggregated in the database (storage/Stats.cpp).
    LineStats Stats(const StatsQuery& query);
    // A station says where it is; a station not seen for `offlineAfter`
    // seconds (by the database's clock) is offline.
    void ReportStation(const StationStatus& status);
    std::vector<StationStatus> Stations(int offlineAfterSeconds = 30);
    // The latest rows first, at most `limit`, for pages.
    std::vector<ProgrammingRecord> LatestRecords(const RecordFilter& filter, int limit);

    // Which database this is, whatever it is called from where (kept in it).
    const std::string& DatabaseId() const { return m_databaseId; }
    // Whether this database was upgraded from schema 1, whose kept outcomes
    // name their database only by its description.
    bool UpgradedFromSchema1() const { return m_upgradedFrom1; }
    std::vector<ProgrammingRecord> Records(const RecordFilter& filter);
    // The latest record of `field` programmed into a unit, if any.
    std::optional<ProgrammingRecord> LastProgrammed(const std::string& field);
    // The latest record of a unit that carries `field`: programmed, or read
    // back from the unit after its sequence failed.
    std::optional<ProgrammingRecord> LastCarried(const std::string& field);
    // The latest record of `field` written into a unit, whatever the outcome
    // of its sequence (a unit that reads it back carries a number we gave out).
    std::optional<ProgrammingRecord> LastWritten(const std::string& field);

    std::string Describe() const { return m_db->Describe(); }

private:
    void Migrate();
    void ReadMeta();
    bool CurrentSchema();
    int SchemaVersion();
    void CreateSchema();
    void UpgradeFrom1();
    void UpgradeFrom2();
    int64_t BatchId(const std::string& name);
    void AddEvent(const std::string& serialId, const std::string& event, const Station& who, const std::string& detail);
    bool UpdateWithEvent(const std::string& update, std::vector<DbValue> params, const std::string& event,
                         const Station& who, const std::string& detail);
    void InsertRecord(const ProgrammingRecord& record);
    void Tally(const std::string& id, const ProgrammingRecord& record);
    bool CompleteRecord(const ProgrammingRecord& record);
    void SettleRow(const Claim& claim, SerialState to, const ProgrammingRecord& row, const Station& who);
    Claim HandOut(const DbRow& serial, const std::string& batch, const Station& who, const std::string& event);
    void EndClaim(const Claim& claim, SerialState to, const ProgrammingRecord& record, const Station& who);
    void MarkAbandonedClaims(int64_t batchId, const Station& who);
    // Claims of the batch that `who` would take for abandoned: serial id, the
    // event's detail.
    std::map<std::string, std::string> AbandonedClaims(int64_t batchId, const Station& who);
    BatchInfo BatchCounts(int64_t id, const std::string& name);
    void RefuseProgrammedFields(int64_t batchId);
    // Record rows WHERE `whereAndOrder` (a condition, then its ORDER BY and LIMIT).
    std::vector<ProgrammingRecord> SelectRecords(const std::string& whereAndOrder, const std::vector<DbValue>& params);
    std::optional<ProgrammingRecord> LatestRow(const std::string& field, const std::string& outcomes);
    // The database's clock, `offsetSeconds` from now, as a SQL expression.
    std::string DbTime(int offsetSeconds = 0) const;
    // Stats' parts: each group's figures and the total's.
    std::map<std::string, LineFigures> Figures(const std::string& by, const StatsQuery& q);
    template <class Fn> auto InTransaction(Fn fn);

    std::unique_ptr<CDatabase> m_db;
    std::string m_databaseId;
    bool m_upgradedFrom1 = false;
};

} // namespace pello::storage
