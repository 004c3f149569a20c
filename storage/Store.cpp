#include "storage/Store.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <map>
#include <random>
#include <unistd.h>

namespace pello::storage {

namespace {

const char* DbState(SerialState state)
{
    switch (state) {
    case SerialState::Free: return "free";
    case SerialState::Claimed: return "claimed";
    case SerialState::Programmed: return "programmed";
    case SerialState::InDoubt: return "in_doubt";
    case SerialState::Spoiled: return "spoiled";
    }
    return "free";
}

std::string Text(const DbValue& v) { return v.value_or(""); }
uint64_t Number(const DbValue& v) { return v ? std::stoull(*v) : 0; }
DbValue Optional(const std::string& s) { return s.empty() ? std::nullopt : DbValue(s); }

std::string Format(time_t t)
{
    tm utc {};
    ::gmtime_r(&t, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

bool ProcessGone(long pid) { return pid > 0 && ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH; }

const char* kRecordColumns = "time, station, link, port, field_before, field_written, code_written, outcome, verify, "
                             "batch, serial, detail, step, operator, started, unit, token";

time_t ParseUtc(const std::string& text)
{
    tm utc {};
    return ::strptime(text.c_str(), "%Y-%m-%dT%H:%M:%SZ", &utc) == nullptr ? -1 : ::timegm(&utc);
}

// From the attempt's start (its claim) to its row: kept with the row, so that
// the line's cycle times need no date arithmetic over the whole record.
DbValue CycleSeconds(const ProgrammingRecord& r)
{
    const time_t start = ParseUtc(r.started), end = ParseUtc(r.time);
    return start < 0 || end < start ? std::nullopt : DbValue(std::to_string(end - start));
}

// The values of kRecordColumns, then the cycle seconds.
std::vector<DbValue> RecordValues(const ProgrammingRecord& r)
{
    return {r.time,     r.station,          r.link,   r.port,      r.fieldBefore,    r.fieldWritten,
            r.codeWritten, r.outcome,       r.verify, Optional(r.batch), Optional(r.serial), r.detail,
            r.step,     r.operatorName,     Optional(r.started), r.unit, Optional(r.token), CycleSeconds(r)};
}

ProgrammingRecord RecordOf(const DbRow& r)
{
    return {Text(r[0]),  Text(r[1]),  Text(r[2]),  Text(r[3]),  Text(r[4]),  Text(r[5]),
            Text(r[6]),  Text(r[7]),  Text(r[8]),  Text(r[9]),  Text(r[10]), Text(r[11]),
            Text(r[12]), Text(r[13]), Text(r[14]), Text(r[15]), Text(r[16])};
}

// The record's word for where a claim got to.
std::string LastStepSent(const std::string& step)
{
    return step.empty() || step == "ATE1" ? "no frame that writes had gone out"
                                          : "the last frame sent was " + step + ": the unit may carry it";
}

} // namespace

const char* StateName(SerialState state)
{
    return state == SerialState::InDoubt ? "in doubt" : DbState(state);
}

std::string UtcNow() { return Format(::time(nullptr)); }

ProgrammingRecord NewRecord(const Station& who)
{
    ProgrammingRecord r;
    r.time = r.started = UtcNow();
    r.station = who.name;
    r.operatorName = who.operatorName;
    r.verify = "not done";
    return r;
}

Station ThisStation(const std::string& name, const std::string& operatorName)
{
    char host[256] = {};
    const std::string hostName = ::gethostname(host, sizeof host - 1) == 0 ? host : "unknown";
    // Two benches with one host name are still two machines.
    std::ifstream in("/etc/machine-id");
    std::string machine;
    std::getline(in, machine);
    return {name.empty() ? hostName : name, hostName, static_cast<long>(::getpid()), machine, operatorName};
}

std::string RandomToken()
{
    std::ifstream random("/dev/urandom", std::ios::binary);
    unsigned char bytes[16] = {};
    random.read(reinterpret_cast<char*>(bytes), sizeof bytes);
    if (!random) {
        std::random_device fallback;
        for (unsigned char& b : bytes) b = static_cast<unsigned char>(fallback());
    }
    std::string hex;
    for (const unsigned char b : bytes) {
        char two[3];
        std::snprintf(two, sizeof two, "%02x", b);
        hex += two;
    }
    return hex;
}

CStore::CStore(std::unique_ptr<CDatabase> db, bool readOnly) : m_db(std::move(db))
{
    if (!readOnly) {
        Migrate();
    } else if (const int version = SchemaVersion(); version != kSchemaVersion) {
        throw DbError(DbProblem::ReadOnly, "it was written by " + std::string(version < kSchemaVersion ? "an older" : "a newer") +
                                               " Pellomatic and cannot be read without being changed");
    }
    if (m_databaseId.empty()) {
        const auto id = m_db->Query("SELECT value FROM meta WHERE key = 'database_id'");
        m_databaseId = id.empty() ? std::string() : Text(id[0][0]);
    }
}

template <class Fn> auto CStore::InTransaction(Fn fn)
{
    m_db->Begin();
    try {
        if constexpr (std::is_void_v<decltype(fn())>) {
            fn();
            m_db->Commit();
        } else {
            auto result = fn();
            m_db->Commit();
            return result;
        }
    } catch (...) {
        m_db->Rollback();
        throw;
    }
}

std::string CStore::DbTime(int offsetSeconds) const
{
    char sql[256];
    std::snprintf(sql, sizeof sql, m_db->Dialect().utcTime, offsetSeconds);
    return sql;
}

void CStore::CreateSchema()
{
    const std::string id = m_db->Dialect().idColumn;
    m_db->Query("CREATE TABLE batches (id " + id + ", name TEXT NOT NULL UNIQUE, prefix TEXT NOT NULL, "
                "width INTEGER NOT NULL, first_number BIGINT NOT NULL, count BIGINT NOT NULL, code TEXT NOT NULL, "
                "created_at TEXT NOT NULL, created_by TEXT NOT NULL)");
    m_db->Query("CREATE TABLE serials (id " + id + ", batch_id BIGINT NOT NULL REFERENCES batches(id), "
                "number BIGINT NOT NULL, serial TEXT NOT NULL UNIQUE, state TEXT NOT NULL, claim_station TEXT, "
                "claim_host TEXT, claim_pid BIGINT, claim_time TEXT, UNIQUE (batch_id, number))");
    m_db->Query("CREATE INDEX serials_by_state ON serials (batch_id, state, number)");
    m_db->Query("CREATE TABLE events (id " + id + ", serial_id BIGINT NOT NULL REFERENCES serials(id), "
                "time TEXT NOT NULL, event TEXT NOT NULL, station TEXT NOT NULL, detail TEXT NOT NULL)");
    m_db->Query("CREATE INDEX events_by_serial ON events (serial_id)");
    m_db->Query("CREATE TABLE records (id " + id + ", time TEXT NOT NULL, station TEXT NOT NULL, link TEXT NOT NULL, "
                "port TEXT NOT NULL, field_before TEXT NOT NULL, field_written TEXT NOT NULL, "
                "code_written TEXT NOT NULL, outcome TEXT NOT NULL, verify TEXT NOT NULL, batch TEXT, serial TEXT, "
                "detail TEXT NOT NULL)");
    m_db->Query("CREATE INDEX records_by_field ON records (field_written)");
    UpgradeFrom1();
}

// Version 2: claims carry their owner's token, machine and the database's
// time; a serial knows its field; a record row carries its attempt's token
// (unique), the last frame sent, the operator, the unit; stations report
// where they are; the database knows its own id.
void CStore::UpgradeFrom1()
{
    const DbDialect& d = m_db->Dialect();
    m_db->Query(std::string("ALTER TABLE batches ADD COLUMN blank TEXT NOT NULL DEFAULT '") + kFactoryField + "'");
    for (const char* column : {"field TEXT", "claim_machine TEXT", "claim_token TEXT"}) {
        m_db->Query(std::string("ALTER TABLE serials ADD COLUMN ") + column);
    }
    m_db->Query(std::string("UPDATE serials SET field = ") + d.fieldOfSerial);
    m_db->Query("CREATE INDEX serials_by_field ON serials (field)");
    for (const char* column : {"step TEXT NOT NULL DEFAULT ''", "operator TEXT NOT NULL DEFAULT ''", "started TEXT",
                               "unit TEXT NOT NULL DEFAULT ''", "token TEXT", "seconds BIGINT"}) {
        m_db->Query(std::string("ALTER TABLE records ADD COLUMN ") + column);
    }
    m_db->Query("CREATE UNIQUE INDEX records_by_token ON records (token)");
    m_db->Query("CREATE INDEX records_by_time ON records (time)");
    m_db->Query("CREATE INDEX records_by_serial ON records (serial)");
    m_db->Query("CREATE INDEX serials_by_state_only ON serials (state)");
    // The line's numbers, kept up to date as attempts end (Tally), so that
    // they need no pass over the whole record.
    m_db->Query("CREATE TABLE tallies (minute TEXT NOT NULL, station TEXT NOT NULL, batch TEXT NOT NULL, "
                "operator TEXT NOT NULL, outcome TEXT NOT NULL, retest INTEGER NOT NULL, seconds BIGINT NOT NULL, "
                "why TEXT NOT NULL, n BIGINT NOT NULL, "
                "PRIMARY KEY (minute, station, batch, operator, outcome, retest, seconds, why))");
    m_db->Query("INSERT INTO tallies SELECT substr(time, 1, 16), station, COALESCE(batch, ''), operator, outcome, 0, "
                "-1, CASE WHEN outcome = 'programmed' THEN '' ELSE detail END, COUNT(*) FROM records WHERE outcome "
                "IN ('programmed', 'failed', 'verify failed') GROUP BY 1, 2, 3, 4, 5, 6, 7, 8");
    m_db->Query("CREATE TABLE stations (name TEXT PRIMARY KEY, batch TEXT NOT NULL, state TEXT NOT NULL, "
                "operator TEXT NOT NULL, last_unit TEXT NOT NULL, done BIGINT NOT NULL, failed BIGINT NOT NULL, "
                "skipped BIGINT NOT NULL, started TEXT NOT NULL, last_seen TEXT NOT NULL)");
    m_db->Query("INSERT INTO meta (key, value) VALUES ('database_id', ?)", {RandomToken()});
}

// One read for the common case: the schema is current, and the database's id
// comes with it. Anything else goes the long way.
bool CStore::CurrentSchema()
{
    try {
        std::string version, id;
        for (const auto& r : m_db->Query("SELECT key, value FROM meta WHERE key IN ('schema_version', 'database_id')")) {
            (Text(r[0]) == "database_id" ? id : version) = Text(r[1]);
        }
        if (version == std::to_string(kSchemaVersion)) {
            m_databaseId = id;
            return true;
        }
    } catch (const DbError& e) {
        if (e.Problem() != DbProblem::Other) throw; // no meta table yet is "Other"
    }
    return false;
}

int CStore::SchemaVersion()
{
    if (m_db->Query(m_db->Dialect().tableExists, {"meta"}).empty()) {
        return 0;
    }
    const auto rows = m_db->Query("SELECT value FROM meta WHERE key = 'schema_version'");
    const std::string text = rows.empty() ? "0" : Text(rows[0][0]);
    if (text.empty() || text.size() > 4 || text.find_first_not_of("0123456789") != std::string::npos) {
        throw DbError(DbProblem::Corrupt, "its schema version \"" + text + "\" is not a number");
    }
    return std::stoi(text);
}

// A current schema costs one read; an older one is upgraded in the same
// transaction that checks it, a newer one refused.
void CStore::Migrate()
{
    if (CurrentSchema()) {
        return;
    }
    InTransaction([&] {
        if (*m_db->Dialect().lockForSchema != '\0') {
            m_db->Query(m_db->Dialect().lockForSchema);
        }
        m_db->Query("CREATE TABLE IF NOT EXISTS meta (key TEXT PRIMARY KEY, value TEXT NOT NULL)");
        const int version = SchemaVersion();
        if (version > kSchemaVersion) {
            throw StoreError(StoreProblem::NewerSchema,
                             "the record was written by a newer Pellomatic (schema " + std::to_string(version) +
                                 "); this one knows schema " + std::to_string(kSchemaVersion) + ": update it");
        }
        if (version == 0) {
            CreateSchema();
            m_db->Query("INSERT INTO meta (key, value) VALUES ('schema_version', ?)", {std::to_string(kSchemaVersion)});
        } else if (version < kSchemaVersion) {
            UpgradeFrom1();
            m_db->Query("UPDATE meta SET value = ? WHERE key = 'schema_version'", {std::to_string(kSchemaVersion)});
        }
    });
}

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

// A serial of the new range that a unit carries already would be handed out
// to a second unit.
void CStore::RefuseProgrammedFields(int64_t batchId)
{
    const auto rows = m_db->Query("SELECT s.serial, r.time, r.station FROM serials s JOIN records r ON "
                                  "r.field_written = s.field AND r.outcome = 'programmed' WHERE s.batch_id = ? LIMIT 1",
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
    for (const auto& r : m_db->Query("SELECT name FROM batches ORDER BY id")) {
        out.push_back(ShowBatch(Text(r[0]), Station {}));
    }
    return out;
}

// A claimant is known gone only on its own machine; anywhere else only the
// database's clock may call a claim abandoned.
void CStore::MarkAbandonedClaims(int64_t batchId, const Station& who)
{
    const auto claims = m_db->Query("SELECT s.id, s.claim_station, s.claim_machine, s.claim_pid, "
                                    "CASE WHEN s.claim_time < " + DbTime(-kClaimLimitSeconds) + " THEN 1 ELSE 0 END, "
                                    "COALESCE(r.step, '') FROM serials s LEFT JOIN records r ON r.token = s.claim_token "
                                    "WHERE s.batch_id = ? AND s.state = 'claimed'",
                                    {std::to_string(batchId)});
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
        m_db->Query("UPDATE serials SET state = 'in_doubt' WHERE id = ? AND state = 'claimed'", {Text(c[0])});
        AddEvent(Text(c[0]), "in doubt", who,
                 "claim of " + Text(c[1]) + " abandoned: " + why + "; " + LastStepSent(Text(c[5])));
    }
}

BatchInfo CStore::ShowBatch(const std::string& name, const Station& who)
{
    const int64_t id = BatchId(name);
    const std::string batch = std::to_string(id);
    if (!who.name.empty()) {
        InTransaction([&] { MarkAbandonedClaims(id, who); });
    }
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
    std::vector<InDoubtSerial> out;
    const auto rows = m_db->Query(
        "SELECT s.serial, COALESCE(s.claim_station, ''), COALESCE(MAX(e.time), ''), "
        "COALESCE((SELECT detail FROM events WHERE serial_id = s.id ORDER BY id DESC LIMIT 1), ''), s.state "
        "FROM serials s LEFT JOIN events e ON e.serial_id = s.id WHERE s.batch_id = ? AND s.state IN "
        "('in_doubt', 'claimed') GROUP BY s.id, s.serial, s.claim_station, s.state ORDER BY s.number",
        {std::to_string(BatchId(name))});
    for (const auto& r : rows) {
        const std::string why = Text(r[4]) == "claimed" ? "claimed, being programmed" : Text(r[3]);
        out.push_back({Text(r[0]), Text(r[1]), Text(r[2]), why});
    }
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
                            "r.field_written = s.field AND r.outcome = 'programmed') FROM serials s JOIN batches b "
                            "ON b.id = s.batch_id WHERE s.batch_id = (SELECT id FROM batches WHERE name = ?) AND "
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

void CStore::NoteStep(const std::string& token, const std::string& step)
{
    m_db->Query("UPDATE records SET step = ? WHERE token = ? AND outcome = 'in progress'", {step, token});
}

void CStore::AddNote(const std::string& token, const std::string& note)
{
    m_db->Query("UPDATE records SET detail = CASE WHEN detail = '' THEN ? ELSE detail || '; ' || ? END WHERE token = ?",
                {note, note, token});
}

void CStore::InsertRecord(const ProgrammingRecord& r)
{
    const bool inserted =
        !m_db->Query(std::string("INSERT INTO records (") + kRecordColumns +
                         ", seconds) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?) ON CONFLICT (token) "
                         "DO NOTHING RETURNING id",
                     RecordValues(r))
             .empty();
    if (inserted) {
        Tally(r);
    }
}

// An attempt that has ended counts once in the line's tallies, by minute,
// station, batch, operator, outcome, whether it was a retest (the unit
// carried what another attempt wrote), its cycle and why it failed.
void CStore::Tally(const ProgrammingRecord& r)
{
    if (r.outcome != "programmed" && r.outcome != "failed" && r.outcome != "verify failed") {
        return;
    }
    const DbValue seconds = CycleSeconds(r);
    m_db->Query(std::string("INSERT INTO tallies (minute, station, batch, operator, outcome, retest, seconds, why, n) "
                            "VALUES (?, ?, ?, ?, ?, CASE WHEN ? <> '") + kFactoryField + "' AND EXISTS (SELECT 1 FROM "
                            "records p WHERE p.field_written = ? AND COALESCE(p.token, '') <> ? AND p.outcome IN "
                            "('programmed', 'failed', 'verify failed')) THEN 1 ELSE 0 END, CAST(? AS BIGINT), ?, 1) "
                            "ON CONFLICT (minute, station, batch, operator, outcome, retest, seconds, why) "
                            "DO UPDATE SET n = tallies.n + 1",
                {r.time.substr(0, 16), r.station, r.batch, r.operatorName, r.outcome, r.fieldBefore, r.fieldBefore,
                 r.token, seconds.value_or("-1"), r.outcome == "programmed" ? std::string() : r.detail});
}

// Completes the row begun for this attempt: false when there is none in
// progress (it was never begun, or is complete already).
bool CStore::CompleteRecord(const ProgrammingRecord& r)
{
    std::vector<DbValue> values = RecordValues(r);
    std::swap(values[values.size() - 2], values.back()); // the token goes last, into the WHERE
    const bool completed =
        !m_db->Query("UPDATE records SET time = ?, station = ?, link = ?, port = ?, field_before = ?, "
                     "field_written = ?, code_written = ?, outcome = ?, verify = ?, batch = ?, serial = ?, "
                     "detail = ?, step = COALESCE(NULLIF(?, ''), step), operator = ?, started = COALESCE(?, started), "
                     "unit = ?, seconds = ? WHERE token = ? AND outcome = 'in progress' RETURNING id",
                     values)
             .empty();
    if (completed) {
        Tally(r);
    }
    return completed;
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
        if (const auto programmed = to == SerialState::Free ? LastProgrammed(Text(rows[0][2])) : std::nullopt) {
            throw StoreError(StoreProblem::Programmed,
                             serial + " was programmed into a unit at " + programmed->time + ": it cannot be freed");
        }
        m_db->Query("UPDATE serials SET state = ?, claim_token = NULL WHERE id = ?", {DbState(to), Text(rows[0][0])});
        AddEvent(Text(rows[0][0]), StateName(to), who,
                 "resolved by " + (who.operatorName.empty() ? who.name : who.operatorName));
    });
}

std::string CStore::BeginRecord(ProgrammingRecord record)
{
    record.token = RandomToken();
    record.outcome = "in progress";
    record.started = record.started.empty() ? record.time : record.started;
    InTransaction([&] { InsertRecord(record); });
    return record.token;
}

void CStore::AddRecord(const ProgrammingRecord& record)
{
    InTransaction([&] {
        if (record.token.empty() || !CompleteRecord(record)) {
            InsertRecord(record);
        }
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

namespace {

// The WHERE of a record filter, and its parameters.
std::string RecordWhere(const RecordFilter& f, std::vector<DbValue>* params)
{
    const std::string field = f.serial.size() <= 20 && !f.serial.empty() ? FieldOfSerial(f.serial) : f.serial;
    std::string where = "time >= ? AND (? = '' OR serial = ? OR field_written = ?)";
    *params = {f.since, f.serial, f.serial, field};
    const auto equal = [&](const char* column, const std::string& value) {
        if (!value.empty()) {
            where += std::string(" AND ") + column + " = ?";
            params->push_back(value);
        }
    };
    if (!f.until.empty()) {
        where += " AND time < ?";
        params->push_back(f.until);
    }
    equal("station", f.station);
    equal("batch", f.batch);
    equal("outcome", f.outcome);
    if (f.beforeId > 0) {
        where += " AND id < CAST(? AS BIGINT)";
        params->push_back(std::to_string(f.beforeId));
    }
    return where;
}

} // namespace

std::vector<ProgrammingRecord> CStore::SelectRecords(const std::string& whereAndOrder, const std::vector<DbValue>& params)
{
    std::vector<ProgrammingRecord> out;
    for (const auto& r : m_db->Query(std::string("SELECT ") + kRecordColumns + ", id FROM records WHERE " +
                                         whereAndOrder,
                                     params)) {
        out.push_back(RecordOf(r));
        out.back().id = std::stoll(Text(r[17]));
    }
    return out;
}

std::vector<ProgrammingRecord> CStore::Records(const RecordFilter& filter)
{
    std::vector<DbValue> params;
    const std::string where = RecordWhere(filter, &params);
    return SelectRecords(where + " ORDER BY id", params);
}

std::vector<ProgrammingRecord> CStore::LatestRecords(const RecordFilter& filter, int limit)
{
    std::vector<DbValue> params;
    const std::string where = RecordWhere(filter, &params);
    params.push_back(std::to_string(limit));
    return SelectRecords(where + " ORDER BY id DESC LIMIT CAST(? AS INTEGER)", params);
}

std::optional<ProgrammingRecord> CStore::LatestRow(const std::string& field, const std::string& outcomes)
{
    const std::vector<ProgrammingRecord> rows =
        SelectRecords("field_written = ? AND (" + outcomes + ") ORDER BY id DESC LIMIT 1", {field});
    if (rows.empty()) {
        return std::nullopt;
    }
    return rows.front();
}

std::optional<ProgrammingRecord> CStore::LastProgrammed(const std::string& field)
{
    return LatestRow(field, "outcome = 'programmed'");
}

std::optional<ProgrammingRecord> CStore::LastWritten(const std::string& field)
{
    // An attempt still in progress, or killed, may have written it too.
    return LatestRow(field, "outcome IN ('programmed', 'verify failed', 'failed') OR "
                            "(outcome = 'in progress' AND step IN ('SID', 'PABC', 'QBOOT'))");
}

} // namespace pello::storage
