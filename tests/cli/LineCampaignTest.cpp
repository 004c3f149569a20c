// The record as a line would try it, on each backend: see LineCampaign.h.
// build/bin/pello_campaign --line sqlite|postgres runs more seeds.

#include "tests/support/LineCampaign.h"
#include "tests/support/Postgres.h"
#include "tests/support/TestEnv.h"

#include <gtest/gtest.h>

#include <sqlite3.h>

#include <chrono>
#include <thread>

using namespace pello;

namespace {

// Another station holds the file's write lock past every writer's patience.
void LockSqliteFile(const std::string& path)
{
    sqlite3* db = nullptr;
    if (sqlite3_open(path.c_str(), &db) == SQLITE_OK && sqlite3_exec(db, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr) == SQLITE_OK) {
        std::this_thread::sleep_for(std::chrono::seconds(7));
        sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
    }
    sqlite3_close(db);
}

void ExpectHolds(const LineCampaignSetup& setup, uint64_t seed)
{
    for (const std::string& v : RunLineCampaign(setup, seed)) {
        ADD_FAILURE() << "seed " << seed << ": " << v;
    }
}

} // namespace

TEST(LineCampaign, EveryUnitAccountedForOnSqlite)
{
    LineCampaignSetup setup;
    setup.dir = MakeScratchDir("line");
    setup.db = setup.dir + "/record.db";
    setup.interruptRecord = [&] { LockSqliteFile(setup.db); };
    ExpectHolds(setup, 1);
}

TEST(LineCampaign, EveryUnitAccountedForOnPostgres)
{
    CPostgresServer server;
    LineCampaignSetup setup;
    setup.dir = MakeScratchDir("line");
    setup.db = server.NewDatabase("line");
    setup.interruptRecord = [&] {
        server.Stop();
        std::this_thread::sleep_for(std::chrono::seconds(2));
        server.Start();
    };
    ExpectHolds(setup, 2);
}
