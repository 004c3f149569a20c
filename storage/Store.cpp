#include "storage/Store.h"

#include <cerrno>
#include <csignal>
#include <ctime>
#include <map>

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

time_t Parse(const std::string& text)
{
    tm utc {};
    if (::strptime(text.c_str(), "%Y-%m-%dT%H:%M:%SZ", &utc) == nullptr) {
        return 0;
    }
    return ::timegm(&utc);
}

bool ProcessGone(long pid) { return pid > 0 && ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH; }

const char* kRecordColumns = "time, station, link, port, field_before, field_written, code_written, outcome, verify, "
                             "batch, serial, detail";

ProgrammingRecord RecordOf(const DbRow& r)
{
    return {Text(r[0]), Text(r[1]), Text(r[2]), Text(r[3]), Text(r[4]), Text(r[5]),
            Text(r[6]), Text(r[7]), Text(r[8]), Text(r[9]), Text(r[10]), Text(r[11])};
}

} // namespace

const char* StateName(SerialState state)
{
    return state == SerialState::InDoubt ? "in doubt" : DbState(state);
}

std::string UtcNow() { return Format(::time(nullptr)); }

CStore::CStore(std::unique_ptr<CDatabase> db) : m_db(std::move(db)) { Migrate(); }

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
}

int CStore::SchemaVersion()
{
    if (m_db->Query(m_db->Dialect().tableExists, {"meta"}).empty()) {
        return 0;
    }
    const auto rows = m_db->Query("SELECT value FROM meta WHERE key = 'schema_version'");
    return rows.empty() ? 0 : std::stoi(Text(rows[0][0]));
}

// Schema versions: 1 is the first. An upgrade from an older version would
// run here, in the same transaction. A current schema costs one read.
void CStore::Migrate()
{
    if (SchemaVersion() == kSchemaVersion) {
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

void CStore::CreateBatch(const std::string& name, const SerialRange& range, const std::string& code,
                         const Station& who)
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
            const auto id = m_db->Query("INSERT INTO batches (name, prefix, width, first_number, count, code, "
                                        "created_at, created_by) VALUES (?, ?, ?, ?, ?, ?, ?, ?) RETURNING id",
                                        {name, range.prefix, std::to_string(range.width), std::to_string(range.first),
                                         std::to_string(range.count), code, UtcNow(), who.name});
            m_db->Query(m_db->Dialect().insertSerials, {Text(id[0][0]), std::to_string(range.first), range.prefix,
                                                        std::to_string(range.first), std::to_string(range.width),
                                                        std::to_string(range.count)});
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

void CStore::MarkAbandonedClaims(int64_t batchId, const Station& who)
{
    const time_t now = ::time(nullptr);
    const auto claims = m_db->Query("SELECT id, claim_station, claim_host, claim_pid, claim_time FROM serials "
                                    "WHERE batch_id = ? AND state = 'claimed'",
                                    {std::to_string(batchId)});
    for (const auto& c : claims) {
        const bool gone = !who.host.empty() && Text(c[2]) == who.host && ProcessGone(static_cast<long>(Number(c[3])));
        const bool old = now - Parse(Text(c[4])) > kClaimLimitSeconds;
        if (!gone && !old) {
            continue;
        }
        const std::string why = gone ? "the claiming process (" + Text(c[2]) + " pid " + Text(c[3]) + ") is gone"
                                     : "the claim is older than " + std::to_string(kClaimLimitSeconds / 60) + " minutes";
        m_db->Query("UPDATE serials SET state = 'in_doubt' WHERE id = ? AND state = 'claimed'", {Text(c[0])});
        AddEvent(Text(c[0]), "in doubt", who, "claim of " + Text(c[1]) + " abandoned: " + why);
    }
}

BatchInfo CStore::ShowBatch(const std::string& name, const Station& who)
{
    const int64_t id = BatchId(name);
    const std::string batch = std::to_string(id);
    if (!who.name.empty()) {
        InTransaction([&] { MarkAbandonedClaims(id, who); });
    }
    const auto b = m_db->Query("SELECT prefix, width, first_number, count, code, created_at FROM batches "
                               "WHERE id = ?",
                               {batch})[0];
    const SerialRange range {Text(b[0]), static_cast<int>(Number(b[1])), Number(b[2]), Number(b[3])};
    BatchInfo info;
    info.name = name;
    info.first = range.Serial(0);
    info.last = range.Last();
    info.code = Text(b[4]);
    info.created = Text(b[5]);
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
        "COALESCE((SELECT detail FROM events WHERE serial_id = s.id ORDER BY id DESC LIMIT 1), '') "
        "FROM serials s LEFT JOIN events e ON e.serial_id = s.id "
        "WHERE s.batch_id = ? AND s.state = 'in_doubt' GROUP BY s.id, s.serial, s.claim_station ORDER BY s.number",
        {std::to_string(BatchId(name))});
    for (const auto& r : rows) {
        out.push_back({Text(r[0]), Text(r[1]), Text(r[2]), Text(r[3])});
    }
    return out;
}

std::vector<SerialHistory> CStore::Export(const std::string& name)
{
    const std::string batch = std::to_string(BatchId(name));
    std::vector<SerialHistory> out;
    std::map<std::string, size_t> byId;
    for (const auto& r : m_db->Query("SELECT id, serial, state FROM serials WHERE batch_id = ? ORDER BY number",
                                     {batch})) {
        byId[Text(r[0])] = out.size();
        const std::string state = Text(r[2]) == "in_doubt" ? "in doubt" : Text(r[2]);
        out.push_back({Text(r[1]), FieldOfSerial(Text(r[1])), state, {}});
    }
    for (const auto& e : m_db->Query("SELECT serial_id, time, event, station, detail FROM events "
                                     "WHERE serial_id IN (SELECT id FROM serials WHERE batch_id = ?) ORDER BY id",
                                     {batch})) {
        out[byId.at(Text(e[0]))].events.push_back({Text(e[1]), Text(e[2]), Text(e[3]), Text(e[4])});
    }
    return out;
}

std::optional<Claim> CStore::ClaimNext(const std::string& batch, const Station& who)
{
    return InTransaction([&]() -> std::optional<Claim> {
        const int64_t id = BatchId(batch);
        const auto rows = m_db->Query(std::string("SELECT s.id, s.serial, b.code FROM serials s JOIN batches b ON "
                                                  "b.id = s.batch_id WHERE s.batch_id = ? AND s.state = 'free' "
                                                  "ORDER BY s.number LIMIT 1") +
                                          m_db->Dialect().lockForClaim,
                                      {std::to_string(id)});
        if (rows.empty()) {
            return std::nullopt;
        }
        const Claim claim {static_cast<int64_t>(Number(rows[0][0])), batch, Text(rows[0][1]),
                           FieldOfSerial(Text(rows[0][1])), Text(rows[0][2])};
        m_db->Query("UPDATE serials SET state = 'claimed', claim_station = ?, claim_host = ?, claim_pid = ?, "
                    "claim_time = ? WHERE id = ?",
                    {who.name, who.host, std::to_string(who.pid), UtcNow(), Text(rows[0][0])});
        AddEvent(Text(rows[0][0]), "claimed", who, "host " + who.host + ", pid " + std::to_string(who.pid));
        return claim;
    });
}

void CStore::InsertRecord(const ProgrammingRecord& r)
{
    m_db->Query(std::string("INSERT INTO records (") + kRecordColumns + ") VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
                {r.time, r.station, r.link, r.port, r.fieldBefore, r.fieldWritten, r.codeWritten, r.outcome, r.verify,
                 Optional(r.batch), Optional(r.serial), r.detail});
}

void CStore::Settle(const Claim& claim, SerialState to, const ProgrammingRecord& record, const Station& who)
{
    InTransaction([&] {
        const std::string id = std::to_string(claim.id);
        // A claim that `batch show` meanwhile took for abandoned still gets
        // the outcome its station saw.
        m_db->Query("UPDATE serials SET state = ? WHERE id = ? AND state IN ('claimed', 'in_doubt')",
                    {DbState(to), id});
        AddEvent(id, StateName(to), who, record.outcome + (record.detail.empty() ? "" : ": " + record.detail));
        InsertRecord(record);
    });
}

void CStore::Resolve(const std::string& batch, const std::string& serial, SerialState to, const Station& who)
{
    InTransaction([&] {
        const auto rows = m_db->Query("SELECT id, state FROM serials WHERE batch_id = ? AND serial = ?",
                                      {std::to_string(BatchId(batch)), serial});
        if (rows.empty()) {
            throw StoreError(StoreProblem::UnknownSerial, serial + " is not a serial number of batch " + batch);
        }
        if (Text(rows[0][1]) != "in_doubt") {
            throw StoreError(StoreProblem::NotInDoubt, serial + " is " + Text(rows[0][1]) + ", not in doubt");
        }
        m_db->Query("UPDATE serials SET state = ? WHERE id = ?", {DbState(to), Text(rows[0][0])});
        AddEvent(Text(rows[0][0]), StateName(to), who, "resolved by a supervisor");
    });
}

void CStore::CheckWritable()
{
    InTransaction([&] { m_db->Query("UPDATE meta SET value = value WHERE key = 'schema_version'"); });
}

void CStore::AddRecord(const ProgrammingRecord& record)
{
    InTransaction([&] { InsertRecord(record); });
}

std::vector<ProgrammingRecord> CStore::Records(const RecordFilter& filter)
{
    const std::string field = filter.serial.size() <= 20 && !filter.serial.empty() ? FieldOfSerial(filter.serial)
                                                                                   : filter.serial;
    std::vector<ProgrammingRecord> out;
    for (const auto& r : m_db->Query(std::string("SELECT ") + kRecordColumns +
                                         " FROM records WHERE time >= ? AND (? = '' OR serial = ? OR field_written = ?) "
                                         "ORDER BY id",
                                     {filter.since, filter.serial, filter.serial, field})) {
        out.push_back(RecordOf(r));
    }
    return out;
}

std::optional<ProgrammingRecord> CStore::LatestRow(const std::string& field, const std::string& outcomes)
{
    const auto rows = m_db->Query(std::string("SELECT ") + kRecordColumns + " FROM records WHERE field_written = ? " +
                                      "AND outcome IN (" + outcomes + ") ORDER BY id DESC LIMIT 1",
                                  {field});
    if (rows.empty()) {
        return std::nullopt;
    }
    return RecordOf(rows[0]);
}

std::optional<ProgrammingRecord> CStore::LastProgrammed(const std::string& field)
{
    return LatestRow(field, "'programmed'");
}

std::optional<ProgrammingRecord> CStore::LastWritten(const std::string& field)
{
    return LatestRow(field, "'programmed', 'verify failed', 'failed'");
}

} // namespace pello::storage
