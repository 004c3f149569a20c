// Batches and their serials' claims: creating and showing batches, claims
// handed out and taken back, settled by their holder, resolved by a supervisor.

#include "storage/StoreCommon.h"

#include <cerrno>
#include <csignal>
#include <map>

namespace pello::storage {

namespace {

bool ProcessGone(long pid) { return pid > 0 && ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH; }

// The record's word for where a claim got to, from the step its row notes
// (no row: a claim of schema 1, which noted no frames).
std::string LastStepSent(const DbValue& step)
{
    if (!step) {
        return "it was claimed by an older Pellomatic, which noted no frames: the unit may carry it";
    }
    return step->empty() || *step == "ATE1" ? "no frame that writes is on record as sent"
                                            : "the last frame sent was " + *step + ": the unit may carry it";
}

} // namespace

int64_t CStore::BatchId(const std::string& name)
{
    const auto rows = m_db->Query("SELECT id FROM batches WHERE name = ?", {name});
    if (rows.empty()) {
        throw StoreError(StoreProblem::UnknownBatch, "no batch " + name);
    }
    return static_cast<int64_t>(Number(rows[0][0]));
}

void CStore::AddEvent(const std::string& serialId, const std::string& event, const Station& who,
                      const std::string& detail)
{
    m_db->Query("INSERT INTO events (serial_id, time, event, station, detail) VALUES (?, ?, ?, ?, ?)",
                {serialId, UtcNow(), event, who.name, detail});
}

// Runs `update` (an UPDATE of serials ending "RETURNING id") and adds the
// event to each serial it changed; whether it changed one.
bool CStore::UpdateWithEvent(const std::string& update, std::vector<DbValue> params, const std::string& event,
                             const Station& who, const std::string& detail)
{
    if (!m_db->Dialect().modifyingWith) {
        const auto rows = m_db->Query(update, params);
        for (const auto& r : rows) AddEvent(Text(r[0]), event, who, detail);
        return !rows.empty();
    }
    params.insert(params.end(), {UtcNow(), event, who.name, detail});
    return !m_db->Query("WITH s AS (" + update + ") INSERT INTO events (serial_id, time, event, station, detail) "
                        "SELECT id, ?, ?, ?, ? FROM s RETURNING serial_id",
                        params)
                .empty();
}

// A serial of the new range that a unit carries already (programmed, or read
// back from it after a failed sequence) would be handed out to a second unit.
void CStore::RefuseProgrammedFields(int64_t batchId)
{
    const auto rows = m_db->Query("SELECT s.serial, r.time, r.station FROM serials s JOIN records r ON "
                                  "r.field_written = s.field AND (r.outcome = 'programmed' OR r.verify = 'matched') "
                                  "WHERE s.batch_id = ? LIMIT 1",
                                  {std::to_string(batchId)});
    if (!rows.empty()) {
        throw StoreError(StoreProblem::Overlap, "its serial number " + Text(rows[0][0]) +
                                                    " is programmed into a unit already (" + Text(rows[0][1]) +
                                                    " on " + Text(rows[0][2]) + ")");
    }
}

void CStore::CreateBatch(const std::string& name, const SerialRange& range, const std::string& code,
                         const Station& who, const std::string& blank)
{
    try {
        InTransaction([&] {
            if (!m_db->Query("SELECT id FROM batches WHERE name = ?", {name}).empty()) {
                throw StoreError(StoreProblem::BatchExists, "a batch " + name + " exists already");
            }
            for (const auto& r : m_db->Query("SELECT name, prefix, width, first_number, count FROM batches")) {
                const SerialRange other {Text(r[1]), static_cast<int>(Number(r[2])), Number(r[3]), Number(r[4])};
                if (range.Overlaps(other)) {
                    throw StoreError(StoreProblem::Overlap, "its serial numbers overlap batch " + Text(r[0]) + " (" +
                                                                other.Serial(0) + " to " + other.Last() + ")");
                }
            }
            const auto id = m_db->Query("INSERT INTO batches (name, prefix, width, first_number, count, code, blank, "
                                        "created_at, created_by) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?) RETURNING id",
                                        {name, range.prefix, std::to_string(range.width), std::to_string(range.first),
                                         std::to_string(range.count), code, blank, UtcNow(),
                                         who.operatorName.empty() ? who.name : who.operatorName});
            m_db->Query(m_db->Dialect().insertSerials, {Text(id[0][0]), std::to_string(range.first), range.prefix,
                                                        std::to_string(range.first), std::to_string(range.width),
                                                        std::to_string(range.count)});
            m_db->Query(std::string("UPDATE serials SET field = ") + m_db->Dialect().fieldOfSerial +
                            " WHERE batch_id = ?",
                        {Text(id[0][0])});
            RefuseProgrammedFields(static_cast<int64_t>(Number(id[0][0])));
        });
    } catch (const DbError& e) {
        // Another station created the same name or range at the same moment.
        if (e.Problem() == DbProblem::Constraint) {
            throw StoreError(StoreProblem::Overlap, "its name or serial numbers are taken: " + std::string(e.what()));
        }
        throw;
    }
}

std::vector<BatchInfo> CStore::ListBatches()
{
    std::vector<BatchInfo> out;
    for (const std::string& name : BatchNames()) out.push_back(ShowBatch(name, Station {}));
    return out;
}

// A claimant is known gone only on its own machine; anywhere else only the
// database's clock may call a claim abandoned.
std::map<std::string, std::string> CStore::AbandonedClaims(int64_t batchId, const Station& who)
{
    const auto claims = m_db->Query("SELECT s.id, s.claim_station, s.claim_machine, s.claim_pid, "
                                    "CASE WHEN s.claim_time < " + DbTime(-kClaimLimitSeconds) + " THEN 1 ELSE 0 END, "
                                    "CASE WHEN r.id IS NULL THEN NULL ELSE COALESCE(r.step, '') END "
                                    "FROM serials s LEFT JOIN records r ON r.token = s.claim_token "
                                    "WHERE s.batch_id = ? AND s.state = 'claimed'",
                                    {std::to_string(batchId)});
    std::map<std::string, std::string> abandoned;
    for (const auto& c : claims) {
        const bool gone = !who.machine.empty() && Text(c[2]) == who.machine &&
                          ProcessGone(static_cast<long>(Number(c[3])));
        const bool old = Text(c[4]) == "1";
        if (!gone && !old) {
            continue;
        }
        const std::string why = gone ? "its process (pid " + Text(c[3]) + ") is gone from this machine"
                                     : "it is older than " + std::to_string(kClaimLimitSeconds / 60) +
                                           " minutes by the database's clock";
        abandoned[Text(c[0])] = "claim of " + Text(c[1]) + " abandoned: " + why + "; " + LastStepSent(c[5]);
    }
    return abandoned;
}

void CStore::MarkAbandonedClaims(int64_t batchId, const Station& who)
{
    for (const auto& [id, detail] : AbandonedClaims(batchId, who)) {
        m_db->Query("UPDATE serials SET state = 'in_doubt' WHERE id = ? AND state = 'claimed'", {id});
        AddEvent(id, "in doubt", who, detail);
    }
}

BatchInfo CStore::ShowBatch(const std::string& name, const Station& who)
{
    const int64_t id = BatchId(name);
    if (!who.name.empty()) {
        InTransaction([&] { MarkAbandonedClaims(id, who); });
    }
    return BatchCounts(id, name);
}

BatchInfo CStore::ViewBatch(const std::string& name, const Station& who)
{
    const int64_t id = BatchId(name);
    BatchInfo info = BatchCounts(id, name);
    const uint64_t abandoned = AbandonedClaims(id, who).size();
    info.claimed -= abandoned;
    info.inDoubt += abandoned;
    return info;
}

BatchInfo CStore::BatchCounts(int64_t id, const std::string& name)
{
    const std::string batch = std::to_string(id);
    const auto b = m_db->Query("SELECT prefix, width, first_number, count, code, created_at, created_by, blank "
                               "FROM batches WHERE id = ?",
                               {batch})[0];
    const SerialRange range {Text(b[0]), static_cast<int>(Number(b[1])), Number(b[2]), Number(b[3])};
    BatchInfo info;
    info.name = name;
    info.first = range.Serial(0);
    info.last = range.Last();
    info.code = Text(b[4]);
    info.created = Text(b[5]);
    info.createdBy = Text(b[6]);
    info.blank = Text(b[7]);
    info.count = range.count;
    const std::map<std::string, uint64_t*> counts = {{"free", &info.free},
                                                     {"claimed", &info.claimed},
                                                     {"programmed", &info.programmed},
                                                     {"in_doubt", &info.inDoubt},
                                                     {"spoiled", &info.spoiled}};
    for (const auto& r : m_db->Query("SELECT state, COUNT(*) FROM serials WHERE batch_id = ? GROUP BY state",
                                     {batch})) {
        *counts.at(Text(r[0])) = Number(r[1]);
    }
    const auto next = m_db->Query("SELECT serial FROM serials WHERE batch_id = ? AND state = 'free' "
                                  "ORDER BY number LIMIT 1",
                                  {batch});
    info.nextFree = next.empty() ? "" : Text(next[0][0]);
    return info;
}

std::vector<InDoubtSerial> CStore::InDoubt(const std::string& name)
{
    return ViewInDoubt(name, Station {});
}

// `who` empty: claims as they stand, "being programmed".
std::vector<InDoubtSerial> CStore::ViewInDoubt(const std::string& name, const Station& who)
{
    const int64_t batch = BatchId(name);
    const auto abandoned = who.name.empty() ? std::map<std::string, std::string>() : AbandonedClaims(batch, who);
    std::vector<InDoubtSerial> out;
    const auto rows = m_db->Query(
        "SELECT s.serial, COALESCE(s.claim_station, ''), COALESCE(MAX(e.time), ''), "
        "COALESCE((SELECT detail FROM events WHERE serial_id = s.id ORDER BY id DESC LIMIT 1), ''), s.state, s.id "
        "FROM serials s LEFT JOIN events e ON e.serial_id = s.id WHERE s.batch_id = ? AND s.state IN "
        "('in_doubt', 'claimed') GROUP BY s.id, s.serial, s.claim_station, s.state ORDER BY s.number",
        {std::to_string(batch)});
    for (const auto& r : rows) {
        const auto mark = abandoned.find(Text(r[5]));
        const std::string why = mark != abandoned.end()      ? mark->second
                                : Text(r[4]) == "claimed" ? "claimed, being programmed"
                                                          : Text(r[3]);
        out.push_back({Text(r[0]), Text(r[1]), Text(r[2]), why});
    }
    return out;
}

std::vector<std::string> CStore::BatchNames()
{
    std::vector<std::string> out;
    for (const auto& r : m_db->Query("SELECT name FROM batches ORDER BY id")) out.push_back(Text(r[0]));
    return out;
}

std::vector<SerialHistory> CStore::Export(const std::string& name)
{
    const std::string batch = std::to_string(BatchId(name));
    std::vector<SerialHistory> out;
    std::map<std::string, size_t> byId;
    for (const auto& r : m_db->Query("SELECT id, serial, state, field FROM serials WHERE batch_id = ? ORDER BY number",
                                     {batch})) {
        byId[Text(r[0])] = out.size();
        const std::string state = Text(r[2]) == "in_doubt" ? "in doubt" : Text(r[2]);
        out.push_back({Text(r[1]), Text(r[3]), state, {}});
    }
    for (const auto& e : m_db->Query("SELECT serial_id, time, event, station, detail FROM events "
                                     "WHERE serial_id IN (SELECT id FROM serials WHERE batch_id = ?) ORDER BY id",
                                     {batch})) {
        out[byId.at(Text(e[0]))].events.push_back({Text(e[1]), Text(e[2]), Text(e[3]), Text(e[4])});
    }
    return out;
}

// Claims the serial in `serial` (id, serial, field, code) for `who` with a new
// token and begins its record row.
Claim CStore::HandOut(const DbRow& serial, const std::string& batch, const Station& who, const std::string& event)
{
    Claim claim {static_cast<int64_t>(Number(serial[0])), batch, Text(serial[1]), Text(serial[2]), Text(serial[3]),
                 RandomToken(), {}, UtcNow()};
    UpdateWithEvent("UPDATE serials SET state = 'claimed', claim_station = ?, claim_host = ?, claim_pid = ?, "
                    "claim_machine = ?, claim_token = ?, claim_time = " + DbTime() + " WHERE id = ? RETURNING id",
                    {who.name, who.host, std::to_string(who.pid), who.machine, claim.token, Text(serial[0])}, event,
                    who, "host " + who.host + ", pid " + std::to_string(who.pid));
    ProgrammingRecord row;
    row.time = row.started = claim.started;
    row.station = who.name;
    row.operatorName = who.operatorName;
    row.fieldWritten = claim.field;
    row.codeWritten = claim.code;
    row.outcome = "in progress";
    row.verify = "not done";
    row.batch = batch;
    row.serial = claim.serial;
    row.token = claim.token;
    InsertRecord(row);
    return claim;
}

std::optional<Claim> CStore::ClaimNext(const std::string& batch, const Station& who)
{
    return InTransaction([&]() -> std::optional<Claim> {
        std::vector<std::string> skipped;
        for (;;) {
            const auto rows = m_db->Query(
                std::string("SELECT s.id, s.serial, s.field, b.code, (SELECT MAX(r.time) FROM records r WHERE "
                            "r.field_written = s.field AND (r.outcome = 'programmed' OR r.verify = 'matched')) "
                            "FROM serials s JOIN batches b ON b.id = s.batch_id "
                            "WHERE s.batch_id = (SELECT id FROM batches WHERE name = ?) AND "
                            "s.state = 'free' ORDER BY s.number LIMIT 1") +
                    m_db->Dialect().lockForClaim,
                {batch});
            if (rows.empty()) {
                BatchId(batch); // an unknown batch says so
                return std::nullopt;
            }
            if (!rows[0][4]) {
                Claim claim = HandOut(rows[0], batch, who, "claimed");
                claim.skipped = std::move(skipped);
                return claim;
            }
            // A unit carries this field already (programmed from SN.txt): it
            // is programmed, whatever wrote it, and never handed out.
            m_db->Query("UPDATE serials SET state = 'programmed' WHERE id = ?", {Text(rows[0][0])});
            AddEvent(Text(rows[0][0]), "programmed", who,
                     "passed over: the record shows its field programmed into a unit at " + Text(rows[0][4]));
            skipped.push_back(Text(rows[0][1]));
        }
    });
}

std::optional<Claim> CStore::Reclaim(const std::string& batch, const std::string& field, const Station& who)
{
    return InTransaction([&]() -> std::optional<Claim> {
        const auto rows = m_db->Query(
            std::string("SELECT s.id, s.serial, s.field, b.code, s.state, s.claim_station, s.claim_machine, "
                        "s.claim_pid FROM serials s JOIN batches b ON b.id = s.batch_id WHERE b.name = ? AND "
                        "s.field = ? AND s.state IN ('claimed', 'in_doubt')") +
                m_db->Dialect().lockForClaim,
            {batch, field});
        if (rows.empty()) {
            return std::nullopt;
        }
        const DbRow& s = rows[0];
        // A live claim elsewhere is its holder's; this station's own earlier
        // run, or a holder known gone, may be taken over.
        const bool mine = Text(s[5]) == who.name;
        const bool gone = !who.machine.empty() && Text(s[6]) == who.machine && ProcessGone(static_cast<long>(Number(s[7])));
        if (Text(s[4]) == "claimed" && !mine && !gone) {
            return std::nullopt;
        }
        return HandOut(s, batch, who, "claimed again: a unit carries it");
    });
}

// The serial moves only for the claim's holder. A programmed outcome wins
// over anything but programmed: a serial a unit carries is never free.
void CStore::EndClaim(const Claim& claim, SerialState to, const ProgrammingRecord& record, const Station& who)
{
    const std::string id = std::to_string(claim.id);
    const std::string what = record.outcome + (record.detail.empty() ? "" : ": " + record.detail);
    if (UpdateWithEvent("UPDATE serials SET state = ?, claim_token = NULL WHERE id = ? AND claim_token = ? AND "
                        "state IN ('claimed', 'in_doubt') RETURNING id",
                        {DbState(to), id, claim.token}, StateName(to), who, what)) {
        return;
    }
    const auto now = m_db->Query("SELECT state FROM serials WHERE id = ?", {id});
    const std::string state = now.empty() ? "gone" : Text(now[0][0]);
    if (to == SerialState::Programmed && state != "programmed") {
        m_db->Query("UPDATE serials SET state = 'programmed', claim_token = NULL WHERE id = ?", {id});
        AddEvent(id, "programmed", who, what + " (the claim had been taken for abandoned; the serial was " + state +
                                            "; a unit carries it now)");
        return;
    }
    AddEvent(id, "not settled", who, what + ": the claim is no longer this station's (the serial is " + state + ")");
}

void CStore::Settle(const Claim& claim, SerialState to, const ProgrammingRecord& record, const Station& who)
{
    ProgrammingRecord row = record;
    row.token = claim.token;
    SettleRow(claim, to, row, who);
}

void CStore::SettleSchema1(const Claim& claim, SerialState to, const ProgrammingRecord& record, const Station& who)
{
    SettleRow(claim, to, record, who);
}

void CStore::SettleRow(const Claim& claim, SerialState to, const ProgrammingRecord& record, const Station& who)
{
    ProgrammingRecord row = record;
    row.started = claim.started.empty() ? row.started : claim.started;
    InTransaction([&] {
        if (!CompleteRecord(row)) {
            if (!m_db->Query("SELECT id FROM records WHERE token = ?", {row.token}).empty()) {
                return; // settled before: an outcome replayed twice changes nothing
            }
            InsertRecord(row);
        }
        EndClaim(claim, to, row, who);
    });
}

void CStore::Resolve(const std::string& batch, const std::string& serial, SerialState to, const Station& who)
{
    InTransaction([&] {
        const auto rows = m_db->Query("SELECT id, state, field FROM serials WHERE batch_id = ? AND serial = ?",
                                      {std::to_string(BatchId(batch)), serial});
        if (rows.empty()) {
            throw StoreError(StoreProblem::UnknownSerial, serial + " is not a serial number of batch " + batch);
        }
        if (Text(rows[0][1]) != "in_doubt") {
            throw StoreError(StoreProblem::NotInDoubt, serial + " is " + Text(rows[0][1]) + ", not in doubt");
        }
        if (const auto carried = to == SerialState::Free ? LastCarried(Text(rows[0][2])) : std::nullopt) {
            const std::string how = carried->outcome == "programmed" ? " was programmed into a unit at "
                                                                     : " was read back from a unit at ";
            throw StoreError(StoreProblem::Programmed, serial + how + carried->time + ": it cannot be freed");
        }
        m_db->Query("UPDATE serials SET state = ?, claim_token = NULL WHERE id = ?", {DbState(to), Text(rows[0][0])});
        AddEvent(Text(rows[0][0]), StateName(to), who,
                 "resolved by " + (who.operatorName.empty() ? who.name : who.operatorName));
    });
}

std::optional<BatchSerial> CStore::BatchSerialOf(const std::string& field)
{
    const auto rows = m_db->Query("SELECT b.name, s.serial, s.state FROM serials s JOIN batches b ON "
                                  "b.id = s.batch_id WHERE s.field = ? AND s.state IN ('free', 'claimed')",
                                  {field});
    if (rows.empty()) {
        return std::nullopt;
    }
    return BatchSerial {Text(rows[0][0]), Text(rows[0][1]), Text(rows[0][2])};
}

} // namespace pello::storage
