// The PostgreSQL backend: one database every bench of a line shares.

#include "storage/Database.h"
#include "storage/PostgresConnect.h"

#include <libpq-fe.h>

#include <cerrno>
#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <poll.h>

namespace pello::storage {

namespace {

// How long a statement of the page may run on the server.
constexpr int kServedStatementSeconds = 5;
// How long a bounded write (the note of a step) waits for a server that
// does not answer at all, beyond its own limit: a lost server must not hold
// a unit on the wire while TCP gives up on it.
constexpr std::chrono::milliseconds kBoundedWriteGrace {950};

// "?" placeholders become $1, $2, ... (no statement here holds a literal "?").
std::string Numbered(const std::string& sql)
{
    std::string out;
    int n = 0;
    for (const char c : sql) {
        if (c == '?') {
            out += "$" + std::to_string(++n);
        } else {
            out += c;
        }
    }
    return out;
}

DbProblem ProblemOf(const char* sqlState)
{
    const std::string state = sqlState ? sqlState : "";
    if (state == "23505") return DbProblem::Constraint;
    if (state == "25006") return DbProblem::ReadOnly;
    if (state == "55P03" || state == "40P01" || state == "57014") return DbProblem::Busy;
    if (state.rfind("08", 0) == 0 || state.rfind("57P", 0) == 0) return DbProblem::Gone;
    if (state.rfind("XX", 0) == 0) return DbProblem::Corrupt;
    if (state == "42501" || state.rfind("28", 0) == 0) return DbProblem::CannotOpen;
    return DbProblem::Other;
}

// The scheme and host of a connection URI, and nothing of its user or
// password: what a message may say of a string that cannot be read.
std::string SchemeAndHost(const std::string& conninfo)
{
    const size_t scheme = conninfo.find("://");
    if (scheme == std::string::npos) {
        return {}; // key=value: any part of it may be the password
    }
    std::string rest = conninfo.substr(scheme + 3);
    rest = rest.substr(0, rest.find_first_of("/?"));
    return conninfo.substr(0, scheme + 3) + rest.substr(rest.rfind('@') == std::string::npos ? 0 : rest.rfind('@') + 1);
}

// Whether libpq can read `conninfo`: its own message on failure quotes the string, password and all.
bool Readable(const std::string& conninfo)
{
    char* error = nullptr;
    PQconninfoOption* options = PQconninfoParse(conninfo.c_str(), &error);
    PQfreemem(error);
    PQconninfoFree(options);
    return options != nullptr;
}

// The password given in `conninfo`, if any, so that no message can carry it.
std::string PasswordIn(const std::string& conninfo)
{
    char* error = nullptr;
    PQconninfoOption* options = PQconninfoParse(conninfo.c_str(), &error);
    PQfreemem(error);
    std::string password;
    for (PQconninfoOption* o = options; o != nullptr && o->keyword != nullptr; ++o) {
        if (std::string(o->keyword) == "password" && o->val != nullptr) {
            password = o->val;
        }
    }
    PQconninfoFree(options);
    return password;
}

// The first line of a message, with any password blanked out.
std::string FirstLine(const char* message, const std::string& password)
{
    std::string text = message ? message : "";
    text = text.substr(0, text.find('\n'));
    for (size_t at; !password.empty() && (at = text.find(password)) != std::string::npos;) {
        text.replace(at, password.size(), "***");
    }
    return text;
}

using ResultPtr = std::unique_ptr<PGresult, decltype(&PQclear)>;

// "10 s", or "1000 ms" for a time that is not whole seconds.
std::string Said(std::chrono::milliseconds within)
{
    const auto ms = within.count();
    return ms % 1000 == 0 ? std::to_string(ms / 1000) + " s" : std::to_string(ms) + " ms";
}

// Refuses a string libpq cannot read before libpq sees it.
const std::string& CheckedConnInfo(const std::string& conninfo)
{
    if (!Readable(conninfo)) {
        const std::string shown = SchemeAndHost(conninfo);
        throw DbError(DbProblem::CannotOpen,
                      "the connection string" + (shown.empty() ? std::string() : " for " + shown) + " cannot be read");
    }
    return conninfo;
}

class CPostgresDatabase final : public CDatabase {
public:
    explicit CPostgresDatabase(const std::string& conninfo)
        : m_conn(Connect(CheckedConnInfo(conninfo))), m_password(PasswordIn(conninfo))
    {
        m_describe = DescribeConnection();
        if (!m_conn || PQstatus(m_conn.get()) != CONNECTION_OK) {
            throw DbError(DbProblem::CannotOpen,
                          FirstLine(m_conn ? PQerrorMessage(m_conn.get()) : "out of memory", m_password));
        }
        // Notices (such as "relation already exists, skipping") are not for the operator.
        PQsetNoticeProcessor(m_conn.get(), [](void*, const char*) {}, nullptr);
    }

    // A statement run a second time on this connection is prepared and run
    // by name from then on: a station's claims and settlements are planned
    // once, while a one-unit run pays no round trip for preparing.
    std::vector<DbRow> Query(const std::string& sql, const std::vector<DbValue>& params) override
    {
        std::vector<const char*> values;
        for (const DbValue& p : params) {
            values.push_back(p ? p->c_str() : nullptr);
        }
        const int count = static_cast<int>(values.size());
        const std::string* name = ++m_uses[sql] > 1 ? &Prepared(sql, count) : nullptr;
        ResultPtr result = name != nullptr ? Exec([&](PGconn* c) {
            return PQsendQueryPrepared(c, name->c_str(), count, values.data(), nullptr, nullptr, 0);
        })
                                           : Exec([&](PGconn* c) {
                                                 return PQsendQueryParams(c, Numbered(sql).c_str(), count, nullptr,
                                                                          values.data(), nullptr, nullptr, 0);
                                             });
        const ExecStatusType status = result ? PQresultStatus(result.get()) : PGRES_FATAL_ERROR;
        if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
            Fail(result.get());
        }
        return Rows(result.get());
    }
    // SET LOCAL: the limits end with the transaction, whatever becomes of it.
    std::vector<DbRow> QueryWithin(int milliseconds, const std::string& sql, const std::vector<DbValue>& params) override
    {
        const auto giveUpAfter = std::chrono::milliseconds(milliseconds) + kBoundedWriteGrace;
        m_until = std::chrono::steady_clock::now() + giveUpAfter;
        m_waitedWithin = giveUpAfter;
        struct Unbound {
            std::optional<std::chrono::steady_clock::time_point>& until;
            ~Unbound() { until.reset(); }
        } unbound {m_until};
        Begin();
        try {
            const std::string limit = std::to_string(milliseconds);
            Query("SELECT set_config('lock_timeout', ?, true), set_config('statement_timeout', ?, true)", {limit, limit});
            std::vector<DbRow> rows = Query(sql, params);
            Commit();
            return rows;
        } catch (...) {
            Rollback();
            throw;
        }
    }
    void Begin() override { Query("BEGIN", {}); }
    void Commit() override { Query("COMMIT", {}); }
    void Rollback() override
    {
        if (!m_lost && PQstatus(m_conn.get()) == CONNECTION_OK && PQtransactionStatus(m_conn.get()) != PQTRANS_IDLE) {
            PQclear(PQexec(m_conn.get(), "ROLLBACK"));
        }
    }
    const DbDialect& Dialect() const override
    {
        // A claim skips serials another station's open transaction holds.
        static const DbDialect dialect {
            "BIGSERIAL PRIMARY KEY", " FOR UPDATE OF s SKIP LOCKED", "SELECT pg_advisory_xact_lock(7390331)",
            "SELECT 1 FROM pg_tables WHERE schemaname = current_schema() AND tablename = ?",
            "INSERT INTO serials(batch_id, number, serial, state) "
            "SELECT CAST(? AS BIGINT), CAST(? AS BIGINT) + i, ? || lpad((CAST(? AS BIGINT) + i)::text, "
            "CAST(? AS INTEGER), '0'), 'free' FROM generate_series(0, CAST(? AS BIGINT) - 1) AS g(i)",
            "to_char((now() + interval '%d seconds') AT TIME ZONE 'UTC', 'YYYY-MM-DD\"T\"HH24:MI:SS\"Z\"')",
            "lpad(length(serial)::text, 2, '0') || serial || repeat('0', greatest(20 - length(serial), 0))", true,
            "CAST(extract(epoch FROM CAST(%s AS timestamptz) - CAST(%s AS timestamptz)) AS BIGINT)"};
        return dialect;
    }
    std::string Describe() const override { return m_describe; }

    // A statement may run `seconds` on the server, which cancels it then;
    // a server that does not answer at all is given up a while later.
    void LimitStatements(int seconds)
    {
        m_answerWithin = std::chrono::seconds(seconds + 5);
        Query("SET statement_timeout = " + std::to_string(seconds * 1000), {});
    }

private:
    // Sends one statement with `send` and waits for its result: without a
    // limit as long as it takes, else until the limit.
    template <class Send> ResultPtr Exec(Send send)
    {
        if (m_lost) {
            throw DbError(DbProblem::Gone, "the connection to the server was given up");
        }
        if (m_answerWithin.count() == 0 && !m_until) {
            // The blocking calls, in one round trip as before.
            if (!send(m_conn.get())) {
                return ResultPtr(nullptr, &PQclear);
            }
            ResultPtr first(PQgetResult(m_conn.get()), &PQclear);
            while (PGresult* more = PQgetResult(m_conn.get())) PQclear(more);
            return first;
        }
        if (!send(m_conn.get())) {
            return ResultPtr(nullptr, &PQclear);
        }
        if (m_until) {
            return Await(*m_until);
        }
        m_waitedWithin = m_answerWithin;
        return Await(std::chrono::steady_clock::now() + m_answerWithin);
    }
    ResultPtr Await(std::chrono::steady_clock::time_point deadline)
    {
        PGconn* c = m_conn.get();
        for (int flushed; (flushed = PQflush(c)) != 0;) {
            if (flushed < 0) {
                return ResultPtr(nullptr, &PQclear);
            }
            WaitForServer(POLLOUT | POLLIN, deadline);
            PQconsumeInput(c);
        }
        ResultPtr first(nullptr, &PQclear);
        for (;;) {
            while (PQisBusy(c)) {
                WaitForServer(POLLIN, deadline);
                if (!PQconsumeInput(c)) {
                    return first;
                }
            }
            PGresult* next = PQgetResult(c);
            if (next == nullptr) {
                return first;
            }
            if (first) {
                PQclear(next);
            } else {
                first.reset(next);
            }
        }
    }
    void WaitForServer(short events, std::chrono::steady_clock::time_point deadline)
    {
        pollfd p {PQsocket(m_conn.get()), events, 0};
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            const int rc = left.count() > 0 ? ::poll(&p, 1, static_cast<int>(left.count())) : 0;
            if (rc > 0 || (rc < 0 && errno != EINTR)) {
                return; // ready, or gone: libpq finds out which
            }
            if (rc == 0) {
                m_lost = true;
                throw DbError(DbProblem::Gone, "the server did not answer within " + Said(m_waitedWithin));
            }
        }
    }

    const std::string& Prepared(const std::string& sql, int params)
    {
        const auto known = m_prepared.find(sql);
        if (known != m_prepared.end()) {
            return known->second;
        }
        const std::string name = "p" + std::to_string(m_prepared.size());
        ResultPtr result = Exec([&](PGconn* c) { return PQsendPrepare(c, name.c_str(), Numbered(sql).c_str(), params, nullptr); });
        if (!result || PQresultStatus(result.get()) != PGRES_COMMAND_OK) {
            Fail(result.get());
        }
        return m_prepared.emplace(sql, name).first->second;
    }
    [[noreturn]] void Fail(PGresult* result)
    {
        if (PQstatus(m_conn.get()) != CONNECTION_OK) {
            throw DbError(DbProblem::Gone, "the connection to the server was lost");
        }
        const char* state = result ? PQresultErrorField(result, PG_DIAG_SQLSTATE) : nullptr;
        throw DbError(ProblemOf(state),
                      FirstLine(result ? PQresultErrorMessage(result) : PQerrorMessage(m_conn.get()), m_password));
    }
    static std::vector<DbRow> Rows(PGresult* result)
    {
        std::vector<DbRow> rows;
        for (int r = 0; r < PQntuples(result); ++r) {
            DbRow row;
            for (int c = 0; c < PQnfields(result); ++c) {
                row.push_back(PQgetisnull(result, r, c) ? std::nullopt : DbValue(PQgetvalue(result, r, c)));
            }
            rows.push_back(std::move(row));
        }
        return rows;
    }
    // postgresql://user@host:port/dbname, from what the connection uses: no password.
    std::string DescribeConnection() const
    {
        if (!m_conn) {
            return "PostgreSQL";
        }
        const auto part = [](const char* v) { return std::string(v ? v : ""); };
        std::string host = part(PQhost(m_conn.get()));
        if (host.empty() || host[0] == '/') {
            host = "[" + host + "]"; // a socket folder
        }
        return "PostgreSQL database postgresql://" + part(PQuser(m_conn.get())) + "@" + host + ":" +
               part(PQport(m_conn.get())) + "/" + part(PQdb(m_conn.get()));
    }

    ConnPtr m_conn;
    std::string m_password;
    std::string m_describe;
    std::map<std::string, std::string> m_prepared; // statement text to its name
    std::map<std::string, int> m_uses;
    std::chrono::seconds m_answerWithin {0}; // 0: no limit
    std::optional<std::chrono::steady_clock::time_point> m_until; // a bounded write's deadline
    std::chrono::milliseconds m_waitedWithin {0};                 // what the wait under way was given
    bool m_lost = false;                     // given up while a statement ran
};

} // namespace

std::unique_ptr<CDatabase> OpenPostgres(const std::string& conninfo, Access access)
{
    auto db = std::make_unique<CPostgresDatabase>(conninfo);
    if (access == Access::ReadLive) {
        // A server (the page) answers its clients whatever the database does,
        // from its first statement on.
        db->LimitStatements(kServedStatementSeconds);
    }
    if (access != Access::Write) {
        db->Query("SET default_transaction_read_only = on", {});
    }
    return db;
}

} // namespace pello::storage
