#pragma once
// The one interface the two database backends stand behind: SQL with "?"
// placeholders and text parameters, transactions, and errors sorted by what
// the operator can do about them.

#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace pello::storage {

enum class DbProblem {
    CannotOpen, // no such file or folder, no permission, server not reachable
    Busy,       // locked by another writer for longer than we wait
    ReadOnly,   // the file or the server refuses writes
    Corrupt,    // not a database, or a damaged one; or a schema this tool cannot read
    Gone,       // the connection broke while in use
    Constraint, // a uniqueness rule refused a row
    Other
};

class DbError : public std::runtime_error {
public:
    DbError(DbProblem problem, const std::string& what) : std::runtime_error(what), m_problem(problem) {}
    DbProblem Problem() const { return m_problem; }

private:
    DbProblem m_problem;
};

using DbValue = std::optional<std::string>; // NULL is nullopt
using DbRow = std::vector<DbValue>;

// Where the dialects differ.
struct DbDialect {
    const char* idColumn;      // an auto-numbered primary key
    const char* lockForClaim;  // appended to the query that picks a free serial
    const char* lockForSchema; // run first in the transaction that creates the schema ("" for none)
    const char* tableExists;   // a row when the table named by the parameter exists
    // Inserts a batch's serials; parameters: batch id, first number, prefix,
    // first number, width, count.
    const char* insertSerials;
    // UTC time of the database's clock in the record's form, printf-style with
    // one %d: seconds from now.
    const char* utcTime;
    // The field of the column `serial` (its two-digit length, the serial,
    // "0" up to 22 characters), as a SQL expression.
    const char* fieldOfSerial;
    // Whether a WITH may hold an UPDATE, so that a change and its event go
    // to the server as one statement.
    bool modifyingWith;
    // Whole seconds from one record time to another, printf-style with two
    // %s: the later, then the earlier column.
    const char* secondsBetween;
};

class CDatabase {
public:
    virtual ~CDatabase() = default;
    // Runs one statement; rows when it returns any.
    virtual std::vector<DbRow> Query(const std::string& sql, const std::vector<DbValue>& params = {}) = 0;
    // Runs one statement in a transaction of its own that waits at most
    // `milliseconds` for another's lock or for the server, then fails as Busy:
    // for writes that must never hold up a unit on the wire.
    virtual std::vector<DbRow> QueryWithin(int milliseconds, const std::string& sql,
                                           const std::vector<DbValue>& params) = 0;
    // A transaction that will write: it takes the write lock at once.
    virtual void Begin() = 0;
    virtual void Commit() = 0;
    virtual void Rollback() = 0;
    virtual const DbDialect& Dialect() const = 0;
    // What the operator reads in messages: never a password.
    virtual std::string Describe() const = 0;
};

enum class Access {
    Write,     // read and write, the file and its folder created when missing
    ReadLive,  // read only, seeing what others write meanwhile (a server: on
               // PostgreSQL, statements are limited in time)
    ReadMedia  // read only from media that take no writes at all
};

// `where`: a libpq connection URI (postgresql://...) or key=value string
// (PostgreSQL), else the path of an SQLite file. A PostgreSQL session read
// only refuses writes itself.
std::unique_ptr<CDatabase> OpenDatabase(const std::string& where, Access access = Access::Write);

// A wait for a database server to accept a connection also ends when `fd`
// turns readable (the program was asked to end): the open then fails as
// CannotOpen. -1 for none. Set once, before any thread opens a database.
void EndConnectingWhenReadable(int fd);

// The default SQLite file: $XDG_DATA_HOME/pellomatic/record.db, or
// ~/.local/share/pellomatic/record.db.
std::string DefaultDatabasePath();

// Whether `where` names a PostgreSQL database rather than a file.
bool IsPostgres(const std::string& where);

} // namespace pello::storage
