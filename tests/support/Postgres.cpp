#include "tests/support/Postgres.h"

#include "tests/support/TestEnv.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace pello {

namespace {

// The newest server installed: /usr/lib/postgresql/<version>/bin.
std::string ServerBinaries()
{
    std::string best;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator("/usr/lib/postgresql", ec)) {
        const std::string bin = entry.path().string() + "/bin";
        if (fs::exists(bin + "/pg_ctl") && bin > best) {
            best = bin;
        }
    }
    if (best.empty()) {
        throw std::runtime_error("no PostgreSQL server: scripts/install-deps.sh test installs it");
    }
    return best;
}

std::string AsServerUser(const std::string& command)
{
    return ::geteuid() == 0 ? "runuser -u postgres -- " + command : command;
}

// Under the scratch folder, or as root a folder of the postgres user's own.
std::string ServerFolder()
{
    if (::geteuid() != 0) {
        return MakeScratchDir("pg");
    }
    std::string tmpl = "/tmp/pellomatic-test-pg-XXXXXX";
    if (::mkdtemp(tmpl.data()) == nullptr) {
        throw std::runtime_error("mkdtemp " + tmpl);
    }
    return tmpl;
}

std::unique_ptr<CPostgresServer> g_shared;

class CStopShared : public ::testing::Environment {
public:
    void TearDown() override { g_shared.reset(); }
};
[[maybe_unused]] ::testing::Environment* const g_stopShared = ::testing::AddGlobalTestEnvironment(new CStopShared);

} // namespace

CPostgresServer& SharedPostgres()
{
    if (!g_shared) g_shared = std::make_unique<CPostgresServer>();
    return *g_shared;
}

CPostgresServer::CPostgresServer() : m_bin(ServerBinaries()), m_dir(ServerFolder())
{
    if (::geteuid() == 0 && std::system(("chown postgres " + m_dir).c_str()) != 0) {
        throw std::runtime_error("cannot hand " + m_dir + " to the postgres user");
    }
    if (Run(AsServerUser(m_bin + "/initdb -D " + m_dir + "/data -A trust -U postgres -E UTF8 --no-sync")) != 0) {
        throw std::runtime_error("initdb failed in " + m_dir);
    }
    Start();
}

CPostgresServer::~CPostgresServer()
{
    Stop();
    std::error_code ec;
    fs::remove_all(m_dir, ec);
}

int CPostgresServer::Run(const std::string& command) const
{
    return std::system((command + " >>" + m_dir + "/server.log 2>&1").c_str());
}

void CPostgresServer::Start()
{
    // Unix socket only, in the scratch folder; no durability needed.
    const std::string options = "-k " + m_dir + " -c listen_addresses='' -F";
    if (Run(AsServerUser(m_bin + "/pg_ctl -D " + m_dir + "/data -o \"" + options + "\" -w -t 60 start")) != 0) {
        throw std::runtime_error("the PostgreSQL server did not start; see " + m_dir + "/server.log");
    }
    m_running = true;
}

void CPostgresServer::Stop()
{
    if (m_running) {
        Run(AsServerUser(m_bin + "/pg_ctl -D " + m_dir + "/data -m immediate -w stop"));
        m_running = false;
    }
}

void CPostgresServer::Sql(const std::string& name, const std::string& statement)
{
    if (Run(AsServerUser(m_bin + "/psql -h " + m_dir + " -U postgres -d " + name + " -c \"" + statement + "\"")) != 0) {
        throw std::runtime_error("psql failed: " + statement);
    }
}

std::string CPostgresServer::Select(const std::string& name, const std::string& statement)
{
    const std::string command = AsServerUser(m_bin + "/psql -At -h " + m_dir + " -U postgres -d " + name + " -c \"" +
                                             statement + "\" 2>>" + m_dir + "/server.log");
    FILE* out = ::popen(command.c_str(), "r");
    if (out == nullptr) {
        throw std::runtime_error("psql failed: " + statement);
    }
    std::string text;
    char buf[4096];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, out)) > 0;) text.append(buf, n);
    ::pclose(out);
    return text;
}

std::string CPostgresServer::NewDatabase(const std::string& name)
{
    if (Run(AsServerUser(m_bin + "/createdb -h " + m_dir + " -U postgres " + name)) != 0) {
        throw std::runtime_error("createdb " + name + " failed");
    }
    return "host=" + m_dir + " user=postgres dbname=" + name;
}

} // namespace pello
