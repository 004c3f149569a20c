// Upgrading keeps every outcome: a record and kept outcomes written the way
// schema 1 wrote them (its SQL and its line format, here in the test), opened
// by this version, on both backends; then the guards that depend on them.

#include "storage/Database.h"
#include "storage/Pending.h"
#include "tests/support/ExpectedField.h"
#include "tests/support/Postgres.h"
#include "tests/support/Spawn.h"
#include "tests/support/TestEnv.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include <nlohmann/json.hpp>

using namespace pello;
namespace fs = std::filesystem;
using nlohmann::json;

namespace {

// Schema 1's tables as it created them, a batch OLD of four serials (the
// first programmed, the second claimed by a station whose outcome was kept,
// the third claimed by one that was killed, the fourth free) and the row of
// the first.
void WriteSchema1(storage::CDatabase& db, bool postgres)
{
    const std::string id = postgres ? "BIGSERIAL PRIMARY KEY" : "INTEGER PRIMARY KEY";
    for (const std::string& sql : std::vector<std::string> {
             "CREATE TABLE meta (key TEXT PRIMARY KEY, value TEXT NOT NULL)",
             "CREATE TABLE batches (id " + id + ", name TEXT NOT NULL UNIQUE, prefix TEXT NOT NULL, "
             "width INTEGER NOT NULL, first_number BIGINT NOT NULL, count BIGINT NOT NULL, code TEXT NOT NULL, "
             "created_at TEXT NOT NULL, created_by TEXT NOT NULL)",
             "CREATE TABLE serials (id " + id + ", batch_id BIGINT NOT NULL REFERENCES batches(id), "
             "number BIGINT NOT NULL, serial TEXT NOT NULL UNIQUE, state TEXT NOT NULL, claim_station TEXT, "
             "claim_host TEXT, claim_pid BIGINT, claim_time TEXT, UNIQUE (batch_id, number))",
             "CREATE INDEX serials_by_state ON serials (batch_id, state, number)",
             "CREATE TABLE events (id " + id + ", serial_id BIGINT NOT NULL REFERENCES serials(id), "
             "time TEXT NOT NULL, event TEXT NOT NULL, station TEXT NOT NULL, detail TEXT NOT NULL)",
             "CREATE INDEX events_by_serial ON events (serial_id)",
             "CREATE TABLE records (id " + id + ", time TEXT NOT NULL, station TEXT NOT NULL, link TEXT NOT NULL, "
             "port TEXT NOT NULL, field_before TEXT NOT NULL, field_written TEXT NOT NULL, "
             "code_written TEXT NOT NULL, outcome TEXT NOT NULL, verify TEXT NOT NULL, batch TEXT, serial TEXT, "
             "detail TEXT NOT NULL)",
             "CREATE INDEX records_by_field ON records (field_written)",
             "INSERT INTO meta VALUES ('schema_version', '1')",
             "INSERT INTO batches (name, prefix, width, first_number, count, code, created_at, created_by) "
             "VALUES ('OLD', 'OLD', 4, 1, 4, 'ABCDEFGH_123', '2020-01-01T00:00:00Z', 'bench')",
             "INSERT INTO serials (batch_id, number, serial, state, claim_station, claim_host, claim_pid, "
             "claim_time) VALUES (1, 1, 'OLD0001', 'programmed', NULL, NULL, NULL, NULL), "
             "(1, 2, 'OLD0002', 'claimed', 'bench', 'h', 999999, '2020-01-01T00:01:00Z'), "
             "(1, 3, 'OLD0003', 'claimed', 'bench', 'h', 999999, '2020-01-01T00:02:00Z'), "
             "(1, 4, 'OLD0004', 'free', NULL, NULL, NULL, NULL)",
             "INSERT INTO records (time, station, link, port, field_before, field_written, code_written, outcome, "
             "verify, batch, serial, detail) VALUES ('2020-01-01T00:00:30Z', 'bench', 'rs232', '/dev/ttyS0', "
             "'1400000000000000000000', '" + ExpectedField("OLD0001") + "', 'ABCDEFGH_123', 'programmed', "
             "'matched', 'OLD', 'OLD0001', '')"}) {
        db.Query(sql);
    }
}

// A kept outcome as schema 1 wrote it: the database by its description, no
// tokens, twelve record fields, the station without machine or operator.
std::string Schema1Line(const std::string& database, int state, const std::string& field, const std::string& serial,
                        int claimId)
{
    json j {{"database", database},
            {"state", state},
            {"record",
             {{"time", "2020-01-01T00:05:00Z"}, {"station", "bench"}, {"link", "rs232"}, {"port", "/dev/ttyS0"},
              {"field_before", "1400000000000000000000"}, {"field_written", field}, {"code_written", "ABCDEFGH_123"},
              {"outcome", "programmed"}, {"verify", serial.empty() ? "not done" : "matched"},
              {"batch", serial.empty() ? "" : "OLD"}, {"serial", serial}, {"detail", ""}}},
            {"who", {{"name", "bench"}, {"host", "h"}, {"pid", 999999}}}};
    if (claimId > 0) {
        j["claim"] = {{"id", claimId}, {"batch", "OLD"}, {"serial", serial}, {"field", field}, {"code", "ABCDEFGH_123"}};
    }
    return j.dump();
}

class Upgrade : public ::testing::TestWithParam<std::string> {
protected:
    void SetUp() override
    {
        static int databases = 0;
        m_db = GetParam() == "postgres" ? SharedPostgres().NewDatabase("upgrade" + std::to_string(++databases))
                                        : m_dir + "/record.db";
        fs::remove_all(fs::path(storage::PendingPath()).parent_path());
        fs::create_directories(fs::path(storage::PendingPath()).parent_path());
    }
    RunResult Cli(std::vector<std::string> args)
    {
        args.insert(args.begin(), {"--db", m_db, "--station", "bench"});
        return RunProgram("pellomatic-cli", args, m_dir);
    }
    json Json(std::vector<std::string> args) { return json::parse(Cli(std::move(args)).out); }
    static std::string Kept()
    {
        std::ifstream in(storage::PendingPath());
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    std::string m_dir = MakeScratchDir("upgrade");
    std::string m_db;
    std::string m_port = m_dir + "/port";
};

} // namespace

INSTANTIATE_TEST_SUITE_P(Backends, Upgrade, ::testing::Values("sqlite", "postgres"));

TEST_P(Upgrade, Schema1OutcomesAreWrittenOnceAndGuardTheirNumbers)
{
    std::string described;
    {
        auto db = storage::OpenDatabase(m_db);
        WriteSchema1(*db, GetParam() == "postgres");
        described = db->Describe();
    }
    const std::string fromFile = ExpectedField("SN0042");
    const std::string batchLine = Schema1Line(described, 2, ExpectedField("OLD0002"), "OLD0002", 2);
    const std::string fileLine = Schema1Line(described, 0, fromFile, "", 0);
    const std::string elsewhere = Schema1Line("SQLite file /elsewhere/record.db", 0, ExpectedField("ZZ9"), "", 0);
    std::ofstream(storage::PendingPath()) << batchLine << '\n' << fileLine << '\n' << elsewhere << '\n';

    // The first run of this version: upgraded, then both outcomes written.
    RunResult r = Cli({"batch", "show", "OLD"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.err.find("wrote 2 outcome(s) kept"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("set aside"), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(storage::PendingPath() + ".bad"));
    EXPECT_EQ(Kept(), elsewhere + "\n") << "another database's line stays";
    // The claim killed mid-unit is in doubt, and says it cannot be known how far it got.
    EXPECT_NE(r.out.find("2 programmed, 1 in doubt"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("OLD0003  bench"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("older Pellomatic, which noted no frames: the unit may carry it"), std::string::npos) << r.out;

    // A run that could not rewrite the file leaves the lines: written again, they change nothing.
    std::ofstream(storage::PendingPath()) << batchLine << '\n' << fileLine << '\n';
    EXPECT_NE(Cli({"batch", "list"}).err.find("wrote 2 outcome(s) kept"), std::string::npos);
    const json rows = Json({"log", "--format", "json"});
    ASSERT_EQ(rows.size(), 3u) << rows.dump();
    EXPECT_EQ(rows[1]["serial"], "OLD0002");
    EXPECT_EQ(rows[2]["field_written"], fromFile);
    EXPECT_EQ(Json({"stats", "--format", "json"})["total"]["programmed"], 3) << "each attempt counted once";
    const json serials = Json({"batch", "export", "OLD", "--format", "json"});
    EXPECT_EQ(serials[1]["state"], "programmed");
    EXPECT_EQ(serials[1]["history"].size(), 1u) << serials[1].dump(); // "programmed", once

    // The guards: the SN.txt field is refused for a second unit; the batch
    // hands out neither OLD0002 nor OLD0003.
    std::ofstream(m_dir + "/SN.txt") << fromFile << "\nABCDEFGH_123\n";
    {
        CDevsim unit({"--link", m_port, "--state", m_dir + "/unit-a"});
        r = Cli({"apply", "--port", m_port});
        EXPECT_EQ(r.exitCode, 6) << r.err;
        EXPECT_NE(r.err.find(fromFile + " was programmed at 2020-01-01T00:05:00Z"), std::string::npos) << r.err;
    }
    {
        CDevsim unit({"--link", m_port, "--state", m_dir + "/unit-b"});
        r = Cli({"apply", "--batch", "OLD", "--port", m_port});
        EXPECT_NE(r.out.find("OLD0004"), std::string::npos) << r.out << r.err;
    }

    // A line that cannot be read at all is set aside, and every command that
    // reads the record says so until someone has looked.
    std::ofstream(storage::PendingPath(), std::ios::app) << "{\"database\": \"" << described << "\", \"rec\n";
    r = Cli({"batch", "show", "OLD"});
    EXPECT_NE(r.err.find("1 kept outcome(s) could not be read"), std::string::npos) << r.err;
    for (const std::vector<std::string>& command :
         {std::vector<std::string> {"batch", "show", "OLD"}, {"apply", "--port", m_port},
          {"batch", "resolve", "OLD", "OLD0003", "--free"}, {"log"}}) {
        EXPECT_NE(Cli(command).err.find("1 kept outcome(s) are set aside unread"), std::string::npos) << command[0];
    }
    fs::remove(storage::PendingPath() + ".bad");
    EXPECT_EQ(Cli({"batch", "show", "OLD"}).err, "");
}
