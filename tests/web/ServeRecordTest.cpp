// The record behind the page, as a line would see it go wrong: a PostgreSQL
// server that restarts or hangs under `serve` (the page says why meanwhile and
// answers again after a restart; Ctrl+C and SIGTERM stop serve at once
// whatever the database does), and commands that only read never leaving a
// new record behind a mistyped --db.

#include "tests/support/HttpGet.h"
#include "tests/support/Postgres.h"
#include "tests/support/Spawn.h"
#include "tests/support/TestEnv.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

using namespace pello;
using namespace std::chrono_literals;

namespace {

bool Eventually(const std::function<bool()>& check, std::chrono::seconds within)
{
    const auto end = std::chrono::steady_clock::now() + within;
    while (std::chrono::steady_clock::now() < end) {
        if (check()) return true;
        std::this_thread::sleep_for(200ms);
    }
    return check();
}

// The server process behind serve's connection (it names itself in the connection string).
pid_t Backend(CPostgresServer& server)
{
    const std::string pid =
        server.Select("postgres", "SELECT pid FROM pg_stat_activity WHERE application_name = 'pello_page'");
    return pid.empty() ? 0 : static_cast<pid_t>(std::stol(pid));
}

// A backend stopped as a hung server would be, and let go whatever happens.
class CStoppedBackend {
public:
    explicit CStoppedBackend(pid_t pid) : m_pid(pid)
    {
        if (m_pid > 0) ::kill(m_pid, SIGSTOP);
    }
    ~CStoppedBackend()
    {
        if (m_pid > 0) ::kill(m_pid, SIGCONT);
    }
    CStoppedBackend(const CStoppedBackend&) = delete;
    CStoppedBackend& operator=(const CStoppedBackend&) = delete;

private:
    pid_t m_pid;
};

} // namespace

TEST(ServeRecord, PostgresRestartsAndHangsUnderTheServer)
{
    CPostgresServer server;
    const std::string db = server.NewDatabase("page") + " application_name=pello_page";
    const std::string dir = MakeScratchDir("serve-pg");
    ASSERT_EQ(RunProgram("pellomatic-cli", {"--db", db, "batch", "create", "LOT-PG", "--first", "PG001", "--count", "5",
                                            "--code", "ABCDEFGH_123"},
                         dir)
                  .exitCode,
              0);
    CChild serve("pellomatic-cli", {"--db", db, "serve", "--listen", "127.0.0.1:0"}, dir);
    ASSERT_TRUE(serve.WaitForOutput("serving the record on", 60));
    const int port = PortInUrl(serve.OutputSoFar());
    ASSERT_GT(port, 0) << serve.OutputSoFar();
    const auto overview = [&] { return HttpGet(port, "/api/overview"); };
    ASSERT_NE(overview().body.find("LOT-PG"), std::string::npos);

    // A restart: the page says why meanwhile, and reads the record again soon after.
    server.Stop();
    const HttpReply down = overview();
    EXPECT_EQ(down.status, 503);
    EXPECT_NE(down.body.find("\"error\":\"PostgreSQL"), std::string::npos) << down.body;
    server.Start();
    EXPECT_TRUE(Eventually([&] { return overview().status == 200; }, 10s)) << overview().body;

    {
        // A server that takes the statement and never answers: 503 with the
        // reason, then a new connection.
        const CStoppedBackend hung(Backend(server));
        const HttpReply slow = overview();
        EXPECT_EQ(slow.status, 503);
        EXPECT_NE(slow.body.find("did not answer"), std::string::npos) << slow.body;
        EXPECT_TRUE(Eventually([&] { return overview().status == 200; }, 30s));
    }

    // Stopped while a request is in the database's hands, which never let go.
    const CStoppedBackend hung(Backend(server));
    std::thread waiting([&] { overview(); });
    std::this_thread::sleep_for(1s);
    serve.Signal(SIGTERM);
    const bool stopped = Eventually([&] { return serve.Exited(); }, 4s);
    waiting.join();
    EXPECT_TRUE(stopped) << "serve waited for the database";
    EXPECT_EQ(serve.Wait().exitCode, 0);
}

TEST(ServeRecord, CommandsThatReadNeverCreateARecord)
{
    const std::string dir = MakeScratchDir("read-only-commands");
    const std::string missing = dir + "/typo/record.db";
    std::ofstream(dir + "/label.txt") << "{serial}\n";
    const std::vector<std::vector<std::string>> commands = {
        {"stats"}, {"stats", "--by", "station"}, {"log"}, {"batch", "list"}, {"batch", "show", "LOT"},
        {"batch", "export", "LOT"}, {"label", "SN001", "--label", "label.txt", "--printer", "/dev/null"}, {"serve", "--listen", "127.0.0.1:0"}};
    for (const auto& command : commands) {
        std::vector<std::string> args = {"--db", missing};
        args.insert(args.end(), command.begin(), command.end());
        const RunResult r = RunProgram("pellomatic-cli", args, dir);
        EXPECT_EQ(r.exitCode, 11) << command[0] << ": " << r.err;
        EXPECT_NE(r.err.find("cannot open the record"), std::string::npos) << command[0] << ": " << r.err;
    }
    EXPECT_FALSE(std::filesystem::exists(dir + "/typo"));
}
