// The line's numbers and the supervisor's page over a record of a million
// rows, on each backend: aim under a second each, aggregated in the database.

#include "storage/Store.h"
#include "tests/support/Postgres.h"
#include "tests/support/TestEnv.h"
#include "web/PageData.h"

#include <benchmark/benchmark.h>

using namespace pello;

namespace {

constexpr int kRows = 1000000;

// A million rows over the last day: eight stations, one attempt in twenty
// failed, one in fifty a retest.
std::string FillSql(bool postgres)
{
    const std::string i = postgres ? "g.i" : "n.i";
    const std::string time = postgres ? "to_char((now() - (" + i + " % 86400) * interval '1 second') AT TIME ZONE 'UTC', 'YYYY-MM-DD\"T\"HH24:MI:SS\"Z\"')"
                                      : "strftime('%Y-%m-%dT%H:%M:%SZ', 'now', '-' || (" + i + " % 86400) || ' seconds')";
    const std::string started = postgres ? "to_char((now() - ((" + i + " % 86400) + 30) * interval '1 second') AT TIME ZONE 'UTC', 'YYYY-MM-DD\"T\"HH24:MI:SS\"Z\"')"
                                         : "strftime('%Y-%m-%dT%H:%M:%SZ', 'now', '-' || ((" + i + " % 86400) + 30) || ' seconds')";
    const std::string field = postgres ? "lpad(" + i + "::text, 22, '0')" : "printf('%022d', " + i + ")";
    const std::string before = postgres ? "CASE WHEN " + i + " % 50 = 1 THEN lpad((" + i + " - 1)::text, 22, '0') ELSE '" + storage::kFactoryField + "' END"
                                        : "CASE WHEN " + i + " % 50 = 1 THEN printf('%022d', " + i + " - 1) ELSE '" + storage::kFactoryField + "' END";
    const std::string select =
        "SELECT " + time + ", 'S' || (" + i + " % 8), 'rs232', 'p', " + before + ", " + field +
        ", 'CODE00000001', CASE WHEN " + i + " % 20 = 0 THEN 'failed' ELSE 'programmed' END, 'matched', 'B', 'X' || " + i +
        ", CASE WHEN " + i + " % 20 = 0 THEN 'PABC: refused by the device (NAK)' ELSE '' END, 'QBOOT', 'op' || (" + i +
        " % 3), " + started + ", '', 't' || " + i + ", 30 + " + i + " % 7";
    const std::string insert = "INSERT INTO records (time, station, link, port, field_before, field_written, code_written, "
                               "outcome, verify, batch, serial, detail, step, operator, started, unit, token, seconds) ";
    return postgres ? insert + select + " FROM generate_series(1, " + std::to_string(kRows) + ") AS g(i)"
                    : "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < " + std::to_string(kRows) +
                          ") " + insert + select + " FROM n";
}

void Fill(const std::string& where, bool postgres)
{
    storage::CStore(storage::OpenDatabase(where)); // the schema
    auto db = storage::OpenDatabase(where);
    db->Query(FillSql(postgres));
    // The tallies the record keeps as attempts end, for rows put in by hand.
    db->Query(std::string("INSERT INTO tallies SELECT substr(time, 1, 16), station, batch, operator, outcome, CASE WHEN "
                          "field_before <> '") + storage::kFactoryField + "' THEN 1 ELSE 0 END, seconds, detail, "
              "COUNT(*) FROM records GROUP BY 1, 2, 3, 4, 5, 6, 7, 8");
    if (postgres) db->Query("ANALYZE");
}

void StatsOverRecord(benchmark::State& state, const std::string& where)
{
    storage::CStore store(storage::OpenDatabase(where));
    storage::StatsQuery q;
    q.by = "station";
    for (auto _ : state) benchmark::DoNotOptimize(store.Stats(q));
}

void PageOverRecord(benchmark::State& state, const std::string& where)
{
    storage::CStore store(storage::OpenDatabase(where));
    for (auto _ : state) benchmark::DoNotOptimize(web::Overview(store, 30).dump());
}

std::string& SqlitePath()
{
    static std::string path;
    if (path.empty()) {
        path = MakeScratchDir("stats-bench") + "/record.db";
        Fill(path, false);
    }
    return path;
}

CPostgresServer& Server()
{
    static CPostgresServer server;
    return server;
}

std::string& PostgresDb()
{
    static std::string db;
    if (db.empty()) {
        db = Server().NewDatabase("statsbench");
        Fill(db, true);
    }
    return db;
}

} // namespace

static void BM_StatsMillionRowsSqlite(benchmark::State& state) { StatsOverRecord(state, SqlitePath()); }
BENCHMARK(BM_StatsMillionRowsSqlite)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();
static void BM_PageMillionRowsSqlite(benchmark::State& state) { PageOverRecord(state, SqlitePath()); }
BENCHMARK(BM_PageMillionRowsSqlite)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();
static void BM_StatsMillionRowsPostgres(benchmark::State& state) { StatsOverRecord(state, PostgresDb()); }
BENCHMARK(BM_StatsMillionRowsPostgres)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();
static void BM_PageMillionRowsPostgres(benchmark::State& state) { PageOverRecord(state, PostgresDb()); }
BENCHMARK(BM_PageMillionRowsPostgres)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();
