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
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace pello::storage {

constexpr int kSchemaVersion = 1;
// A claim older than this is abandoned, whoever holds it (a station's whole
// sequence with its verify takes well under a minute).
constexpr int kClaimLimitSeconds = 15 * 60;

enum class SerialState { Free, Claimed, Programmed, InDoubt, Spoiled };
const char* StateName(SerialState state); // "free", "claimed", "programmed", "in doubt", "spoiled"

// Who acts: the station's name, the host and process behind it.
struct Station {
    std::string name;
    std::string host;
    long pid = 0;
};

struct BatchInfo {
    std::string name, first, last, code, created;
    uint64_t count = 0;
    uint64_t free = 0, claimed = 0, programmed = 0, inDoubt = 0, spoiled = 0;
    std::string nextFree; // empty when none is left
};

struct Claim {
    int64_t id = 0;
    std::string batch, serial, field, code;
};

struct InDoubtSerial {
    std::string serial, station, since, why;
};

struct HistoryEvent {
    std::string time, event, station, detail;
};

struct SerialHistory {
    std::string serial, field, state;
    std::vector<HistoryEvent> events;
};

struct ProgrammingRecord {
    std::string time;         // UTC, 2026-12-07T09:30:22Z
    std::string station;
    std::string link, port;   // "rs232" and the tty, or "usb" and the hidraw node
    std::string fieldBefore;  // the field Search read before writing
    std::string fieldWritten, codeWritten;
    std::string outcome;      // programmed, failed, no device, refused: duplicate, interrupted
    std::string verify;       // matched, differs, nothing read, not done
    std::string batch, serial; // empty outside a batch
    std::string detail;
};

struct RecordFilter {
    std::string since;  // UTC time, same form as ProgrammingRecord::time
    std::string serial; // a serial, or a 22-character field
};

enum class StoreProblem { UnknownBatch, BatchExists, Overlap, NotInDoubt, UnknownSerial, NewerSchema };

class StoreError : public std::runtime_error {
public:
    StoreError(StoreProblem problem, const std::string& what) : std::runtime_error(what), m_problem(problem) {}
    StoreProblem Problem() const { return m_problem; }

private:
    StoreProblem m_problem;
};

// UTC now, in the record's form.
std::string UtcNow();

class CStore {
public:
    // Creates the schema on first use, upgrades an older one, refuses a newer one.
    explicit CStore(std::unique_ptr<CDatabase> db);

    void CreateBatch(const std::string& name, const SerialRange& range, const std::string& code,
                     const Station& who);
    std::vector<BatchInfo> ListBatches();
    // Counts per state; first turns claims of processes that are gone, or
    // older than the limit, into serials in doubt.
    BatchInfo ShowBatch(const std::string& name, const Station& who);
    std::vector<InDoubtSerial> InDoubt(const std::string& name);
    std::vector<SerialHistory> Export(const std::string& name);

    // The next free serial, claimed for `who`; nullopt when none is left.
    std::optional<Claim> ClaimNext(const std::string& batch, const Station& who);
    // Ends a claim (programmed, free or in doubt) and adds its record row, in one transaction.
    void Settle(const Claim& claim, SerialState to, const ProgrammingRecord& record, const Station& who);
    // A supervisor's decision on a serial in doubt: free again, or spoiled.
    void Resolve(const std::string& batch, const std::string& serial, SerialState to, const Station& who);

    void AddRecord(const ProgrammingRecord& record);
    // Throws unless the record takes writes now (read-only, locked, gone):
    // asked before a unit is written whose row must follow.
    void CheckWritable();
    std::vector<ProgrammingRecord> Records(const RecordFilter& filter);
    // The latest record of `field` programmed into a unit, if any.
    std::optional<ProgrammingRecord> LastProgrammed(const std::string& field);
    // The latest record of `field` written into a unit, whatever the outcome
    // of its sequence (a unit that reads it back carries a number we gave out).
    std::optional<ProgrammingRecord> LastWritten(const std::string& field);

    std::string Describe() const { return m_db->Describe(); }

private:
    void Migrate();
    int SchemaVersion();
    void CreateSchema();
    int64_t BatchId(const std::string& name);
    void AddEvent(const std::string& serialId, const std::string& event, const Station& who, const std::string& detail);
    void InsertRecord(const ProgrammingRecord& record);
    void MarkAbandonedClaims(int64_t batchId, const Station& who);
    std::optional<ProgrammingRecord> LatestRow(const std::string& field, const std::string& outcomes);
    template <class Fn> auto InTransaction(Fn fn);

    std::unique_ptr<CDatabase> m_db;
};

} // namespace pello::storage
