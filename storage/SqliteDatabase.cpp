// The SQLite backend: one file on one bench, in WAL mode.

#include "storage/Database.h"

#include <sqlite3.h>

#include <cerrno>
#include <memory>
#include <sys/stat.h>

namespace pello::storage {

namespace {

// A writer waits this long for another to finish before giving up as busy.
constexpr int kBusyTimeoutMs = 5000;

DbProblem ProblemOf(int code)
{
    switch (code & 0xFF) {
    case SQLITE_CANTOPEN:
    case SQLITE_PERM:
    case SQLITE_AUTH: return DbProblem::CannotOpen;
    case SQLITE_BUSY:
    case SQLITE_LOCKED: return DbProblem::Busy;
    case SQLITE_READONLY: return DbProblem::ReadOnly;
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB: return DbProblem::Corrupt;
    case SQLITE_CONSTRAINT: return DbProblem::Constraint;
    case SQLITE_IOERR:
    case SQLITE_FULL: return DbProblem::Gone;
    default: return DbProblem::Other;
    }
}

// Makes the folders of `path` that are missing, private to the user.
void MakeFolders(const std::string& path)
{
    for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
        const std::string dir = path.substr(0, slash);
        if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
            return; // the open reports it
        }
    }
}

class CStatement {
public:
    CStatement(sqlite3* db, const std::string& sql) : m_db(db)
    {
        Check(sqlite3_prepare_v2(db, sql.c_str(), static_cast<int>(sql.size()), &m_stmt, nullptr));
    }
    ~CStatement() { sqlite3_finalize(m_stmt); }
    CStatement(const CStatement&) = delete;
    CStatement& operator=(const CStatement&) = delete;

    void Bind(const std::vector<DbValue>& params)
    {
        for (size_t i = 0; i < params.size(); ++i) {
            const int at = static_cast<int>(i + 1);
            Check(params[i] ? sqlite3_bind_text(m_stmt, at, params[i]->c_str(), static_cast<int>(params[i]->size()),
                                                SQLITE_TRANSIENT)
                            : sqlite3_bind_null(m_stmt, at));
        }
    }
    std::vector<DbRow> Run()
    {
        std::vector<DbRow> rows;
        int rc;
        while ((rc = sqlite3_step(m_stmt)) == SQLITE_ROW) {
            DbRow row;
            for (int c = 0; c < sqlite3_column_count(m_stmt); ++c) {
                const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(m_stmt, c));
                row.push_back(text ? DbValue(std::string(text, static_cast<size_t>(sqlite3_column_bytes(m_stmt, c))))
                                   : std::nullopt);
            }
            rows.push_back(std::move(row));
        }
        if (rc != SQLITE_DONE) {
            Check(rc);
        }
        return rows;
    }

private:
    void Check(int rc) const
    {
        if (rc != SQLITE_OK) {
            throw DbError(ProblemOf(sqlite3_extended_errcode(m_db)), sqlite3_errmsg(m_db));
        }
    }
    sqlite3* m_db;
    sqlite3_stmt* m_stmt = nullptr;
};

// The file as a read-only URI; "?", "#" and "%" escaped. Read-only media take
// not even the WAL index: the file is then immutable for this connection.
std::string ReadOnlyUri(const std::string& path, Access access)
{
    std::string uri = "file:";
    for (const char c : path) {
        uri += c == '?' ? "%3f" : c == '#' ? "%23" : c == '%' ? "%25" : std::string(1, c);
    }
    return uri + (access == Access::ReadMedia ? "?immutable=1" : "?mode=ro");
}

class CSqliteDatabase final : public CDatabase {
public:
    CSqliteDatabase(const std::string& path, Access access) : m_path(path), m_handle(nullptr, &sqlite3_close)
    {
        const bool readOnly = access != Access::Write;
        if (!readOnly) {
            MakeFolders(path);
        }
        const int rc = readOnly ? sqlite3_open_v2(ReadOnlyUri(path, access).c_str(), &m_db,
                                                  SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, nullptr)
                                : sqlite3_open_v2(path.c_str(), &m_db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                                                  nullptr);
        m_handle.reset(m_db); // closed however the rest of this ends
        if (rc != SQLITE_OK) {
            throw DbError(DbProblem::CannotOpen, m_db ? sqlite3_errmsg(m_db) : "out of memory");
        }
        sqlite3_busy_timeout(m_db, kBusyTimeoutMs);
        sqlite3_extended_result_codes(m_db, 1);
        // A file that is not a database shows here, at its first read.
        Query(readOnly ? "PRAGMA schema_version" : "PRAGMA journal_mode=WAL", {});
        Query("PRAGMA foreign_keys=ON", {});
    }

    std::vector<DbRow> Query(const std::string& sql, const std::vector<DbValue>& params) override
    {
        CStatement stmt(m_db, sql);
        stmt.Bind(params);
        return stmt.Run();
    }
    std::vector<DbRow> QueryWithin(int milliseconds, const std::string& sql, const std::vector<DbValue>& params) override
    {
        sqlite3_busy_timeout(m_db, milliseconds);
        try {
            std::vector<DbRow> rows = Query(sql, params);
            sqlite3_busy_timeout(m_db, kBusyTimeoutMs);
            return rows;
        } catch (...) {
            sqlite3_busy_timeout(m_db, kBusyTimeoutMs);
            throw;
        }
    }
    // IMMEDIATE takes the write lock at once, so two claims never interleave.
    void Begin() override { Query("BEGIN IMMEDIATE", {}); }
    void Commit() override { Query("COMMIT", {}); }
    void Rollback() override
    {
        if (!sqlite3_get_autocommit(m_db)) {
            sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
        }
    }
    const DbDialect& Dialect() const override
    {
        static const DbDialect dialect {
            "INTEGER PRIMARY KEY", "", "", "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = ?",
            "INSERT INTO serials(batch_id, number, serial, state) "
            "SELECT CAST(? AS INTEGER), CAST(? AS INTEGER) + i, "
            "? || substr('000000000000000000' || (CAST(? AS INTEGER) + i), -CAST(? AS INTEGER)), 'free' "
            "FROM (WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i + 1 < CAST(? AS INTEGER)) "
            "SELECT i FROM n)",
            "strftime('%%Y-%%m-%%dT%%H:%%M:%%SZ', 'now', '%d seconds')",
            "printf('%02d', length(serial)) || serial || substr('00000000000000000000', 1, 20 - length(serial))",
            false, "(CAST(strftime('%%s', %s) AS INTEGER) - CAST(strftime('%%s', %s) AS INTEGER))"};
        return dialect;
    }
    std::string Describe() const override { return "SQLite file " + m_path; }

private:
    std::string m_path;
    sqlite3* m_db = nullptr;
    std::unique_ptr<sqlite3, decltype(&sqlite3_close)> m_handle;
};

} // namespace

std::unique_ptr<CDatabase> OpenSqlite(const std::string& path, Access access)
{
    return std::make_unique<CSqliteDatabase>(path, access);
}

} // namespace pello::storage
