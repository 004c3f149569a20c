// The record's schema: created on first use, upgraded from older versions
// in the transaction that checks it, a newer one refused.

#include "storage/StoreCommon.h"

namespace pello::storage {

CStore::CStore(std::unique_ptr<CDatabase> db, bool readOnly) : m_db(std::move(db))
{
    if (!readOnly) {
        Migrate();
    } else if (const int version = SchemaVersion(); version != kSchemaVersion) {
        throw DbError(DbProblem::ReadOnly, "it was written by " + std::string(version < kSchemaVersion ? "an older" : "a newer") +
                                               " Pellomatic and cannot be read without being changed");
    }
    if (m_databaseId.empty()) {
        ReadMeta();
    }
}

// What the record says of itself: its id, and whether it was upgraded from schema 1.
void CStore::ReadMeta()
{
    for (const auto& r : m_db->Query("SELECT key, value FROM meta WHERE key IN ('database_id', 'upgraded_from_1')")) {
        if (Text(r[0]) == "database_id") {
            m_databaseId = Text(r[1]);
        } else {
            m_upgradedFrom1 = true;
        }
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
    UpgradeFrom1();
    UpgradeFrom2();
    m_db->Query("DROP TABLE tallies"); // kept by an upgrade for older stations; a new record has none
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
    // Schema 1's claims had no owner: each gets the token its kept outcome
    // will be matched by (Schema1ClaimToken), so that only that outcome settles it.
    m_db->Query("UPDATE serials SET claim_token = 'schema1-' || CAST(id AS TEXT) WHERE state IN ('claimed', 'in_doubt')");
}

// Version 3: the line's tallies by hour instead of by minute (a row per
// minute and station was one per attempt); each attempt's row carries whether
// it was a retest and why it failed; the attempt before a row at its station
// is found by index.
void CStore::UpgradeFrom2()
{
    // The minute tallies stay: a station of the version before, still running
    // on a shared record, writes them with every outcome.
    m_db->Query("ALTER TABLE records ADD COLUMN retest INTEGER NOT NULL DEFAULT 0");
    m_db->Query("ALTER TABLE records ADD COLUMN failure TEXT NOT NULL DEFAULT ''");
    m_db->Query("CREATE INDEX records_by_station ON records (station, id)");
    m_db->Query("CREATE TABLE hour_tallies (hour TEXT NOT NULL, station TEXT NOT NULL, batch TEXT NOT NULL, "
                "operator TEXT NOT NULL, attempts BIGINT NOT NULL, programmed BIGINT NOT NULL, retests BIGINT NOT NULL, "
                "first_pass BIGINT NOT NULL, minutes BIGINT NOT NULL, cycles TEXT NOT NULL, "
                "PRIMARY KEY (hour, station, batch, operator))");
    m_db->Query("CREATE TABLE hour_failures (hour TEXT NOT NULL, station TEXT NOT NULL, batch TEXT NOT NULL, "
                "operator TEXT NOT NULL, failure TEXT NOT NULL, n BIGINT NOT NULL, "
                "PRIMARY KEY (hour, station, batch, operator, failure))");
    RebuildTallies(*m_db);
}

// One read for the common case: the schema is current, and the database's id
// comes with it. Anything else goes the long way.
bool CStore::CurrentSchema()
{
    try {
        std::string version, id;
        bool upgraded = false;
        for (const auto& r : m_db->Query("SELECT key, value FROM meta WHERE key IN ('schema_version', 'database_id', "
                                         "'upgraded_from_1')")) {
            const std::string key = Text(r[0]);
            if (key == "schema_version") {
                version = Text(r[1]);
            } else if (key == "database_id") {
                id = Text(r[1]);
            } else {
                upgraded = true;
            }
        }
        if (version == std::to_string(kSchemaVersion)) {
            m_databaseId = id;
            m_upgradedFrom1 = upgraded;
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
            if (version < 2) UpgradeFrom1();
            if (version < 3) UpgradeFrom2();
            m_db->Query("UPDATE meta SET value = ? WHERE key = 'schema_version'", {std::to_string(kSchemaVersion)});
            if (version < 2) {
                // Its kept outcomes name it by its description: they are written
                // here, and only here (storage/Pending.cpp).
                m_db->Query("INSERT INTO meta (key, value) VALUES ('upgraded_from_1', ?)", {UtcNow()});
            }
        }
    });
}

} // namespace pello::storage
