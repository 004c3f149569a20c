#pragma once
// A PostgreSQL server of the test's own, from Debian's postgresql package:
// initdb and pg_ctl in a scratch folder, reached through a Unix socket there,
// run as the unprivileged "postgres" user when the tests run as root (the
// server refuses root). That user may not reach into the checkout (a clone
// under /root), so its folder is then a private one of its own under /tmp.
// It fails the test, never skips it, when it cannot start.

#include <string>

namespace pello {

class CPostgresServer {
public:
    CPostgresServer();
    ~CPostgresServer();
    CPostgresServer(const CPostgresServer&) = delete;
    CPostgresServer& operator=(const CPostgresServer&) = delete;

    // libpq key=value string for a fresh database of this server.
    std::string NewDatabase(const std::string& name);
    // Runs one SQL statement in database `name` as the server's superuser.
    void Sql(const std::string& name, const std::string& statement);
    // The same, returning what it selects: one line per row, columns split by "|".
    std::string Select(const std::string& name, const std::string& statement);
    void Stop();
    void Start();

private:
    int Run(const std::string& command) const;

    std::string m_bin;
    std::string m_dir;
    bool m_running = false;
};

// One server for the whole test process, started on first use and stopped
// before the scratch folder goes (a test environment of its own).
CPostgresServer& SharedPostgres();

} // namespace pello
