// The line's numbers and the supervisor's page over a record like a line's
// after six months, on each backend: aim under a second each.
//
// The record: 8 stations, two shifts of 8 hours on weekdays, one attempt a
// minute each, 12 operators taking turns, 10 batches of 100,000 serials used
// one after the other, about a million attempts (3 % failed, 1 % failed at
// the read-back, each failed unit tried again at its station's next attempt)
// and two events per serial; it ends now, so that the page's last 24 hours
// are full.

#include "storage/Store.h"
#include "tests/support/Postgres.h"
#include "tests/support/TestEnv.h"
#include "web/PageData.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <ctime>

using namespace pello;

namespace {

constexpr long kAttempts = 1000000;
constexpr long kBatchSize = 100000;
constexpr int kStations = 8;

// The two dialects' ways of saying what the generator needs.
struct Dialect {
    bool postgres;
    std::string Utc(const std::string& epoch) const
    {
        return postgres ? "to_char(to_timestamp(" + epoch + ") AT TIME ZONE 'UTC', 'YYYY-MM-DD\"T\"HH24:MI:SS\"Z\"')"
                        : "strftime('%Y-%m-%dT%H:%M:%SZ', " + epoch + ", 'unixepoch')";
    }
    std::string Pad(const std::string& number, int width) const
    {
        return postgres ? "lpad((" + number + ")::text, " + std::to_string(width) + ", '0')"
                        : "printf('%0" + std::to_string(width) + "d', " + number + ")";
    }
    // SELECT `columns` for i from 0 to n - 1.
    std::string Series(const std::string& columns, long n) const
    {
        const std::string last = std::to_string(n - 1);
        return postgres ? "SELECT " + columns + " FROM generate_series(0::bigint, " + last + ") AS g(i)"
                        : "WITH RECURSIVE g(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM g WHERE i < " + last +
                              ") SELECT " + columns + " FROM g";
    }
};

// Attempt i: station i % 8, that station's attempt k = i / 8 at minute k % 60
// of its working hour k / 60 (06:00 to 22:00, weekdays). What happened is
// drawn from a hash of i: `draw` 0-29 failed, 30-39 failed at the read-back.
struct Attempt {
    const Dialect& d;
    long base; // epoch of the first working day's midnight
    std::string I(const std::string& offset = "") const { return offset.empty() ? "i" : "(i - " + offset + ")"; }
    std::string Draw(const std::string& i) const { return "((" + i + " * 2654435761) % 1000)"; }
    std::string End(const std::string& i) const
    {
        const std::string hour = "((" + i + " / 8) / 60)", day = "(" + hour + " / 16)";
        return std::to_string(base) + " + ((" + day + " / 5) * 7 + " + day + " % 5) * 86400 + (6 + " + hour +
               " % 16) * 3600 + ((" + i + " / 8) % 60) * 60 + 50";
    }
    std::string Cycle() const { return "(20 + (i * 7919) % 15 + CASE WHEN i % 97 = 0 THEN 60 ELSE 0 END)"; }
    std::string Serial(const std::string& i) const { return "'SN' || " + d.Pad(i, 8); }
    std::string Field(const std::string& i) const { return "'10' || " + Serial(i) + " || '000000000000'"; }
    std::string Outcome(const std::string& i) const
    {
        return "CASE WHEN " + Draw(i) + " < 30 THEN 'failed' WHEN " + Draw(i) + " < 40 THEN 'verify failed' ELSE "
               "'programmed' END";
    }
    // A failure at SID leaves the unit's field as it was; any later one, the new field.
    std::string FieldAfter(const std::string& i, const std::string& before) const
    {
        return "CASE WHEN " + Draw(i) + " >= 40 THEN " + Field(i) + " WHEN " + Draw(i) + " % 3 = 0 THEN " + before +
               " ELSE " + Field(i) + " END";
    }
    // The unit at a station after a failure is that unit again.
    std::string FieldBefore() const
    {
        const std::string factory = std::string("'") + storage::kFactoryField + "'";
        return "CASE WHEN i >= 8 AND " + Draw(I("8")) + " < 40 THEN " + FieldAfter(I("8"), factory) + " ELSE " +
               factory + " END";
    }
    std::string Detail() const
    {
        return "CASE WHEN " + Draw("i") + " >= 30 THEN '' WHEN " + Draw("i") + " % 3 = 0 THEN 'SID: no reply' WHEN " +
               Draw("i") + " % 3 = 1 THEN 'PABC: refused by the device (NAK)' ELSE 'QBOOT: no reply' END";
    }
    // Serials of a failure after SID end in doubt one time in ten, else spoiled
    // (a supervisor decided); before SID, free.
    std::string State() const
    {
        return "CASE WHEN " + Draw("i") + " >= 40 THEN 'programmed' WHEN " + Draw("i") +
               " % 3 = 0 THEN 'free' WHEN i % 10 = 0 THEN 'in_doubt' ELSE 'spoiled' END";
    }
    std::string Operator() const
    {
        const std::string hour = "((i / 8) / 60)";
        return "'op' || ((i % 8 + 8 * ((" + hour + " % 16) / 8) + " + hour + " / 16) % 12)";
    }
};

// The first working day's "midnight", such that the last attempt ends within the last hour.
long FirstMidnight()
{
    const long lastHour = (kAttempts - 1) / kStations / 60, day = lastHour / 16;
    const long lastEnd = (day / 5 * 7 + day % 5) * 86400 + (6 + lastHour % 16 + 1) * 3600;
    return static_cast<long>(::time(nullptr)) - lastEnd;
}

void Fill(storage::CDatabase& db, const Dialect& d)
{
    const Attempt a {d, FirstMidnight()};
    const std::string batches = std::to_string(kAttempts / kBatchSize);
    db.Query("INSERT INTO batches (name, prefix, width, first_number, count, code, created_at, created_by) " +
             d.Series("'B' || i, 'SN', 8, i * " + std::to_string(kBatchSize) + ", " + std::to_string(kBatchSize) +
                          ", 'ABCDEFGH_123', '2026-01-01T00:00:00Z', 'bench'",
                      kAttempts / kBatchSize));
    db.Query("INSERT INTO serials (id, batch_id, number, serial, field, state) " +
             d.Series("i + 1, 1 + i / " + std::to_string(kBatchSize) + ", i, " + a.Serial("i") + ", " + a.Field("i") +
                          ", " + a.State(),
                      kAttempts));
    db.Query("INSERT INTO records (time, started, seconds, station, link, port, field_before, field_written, "
             "code_written, outcome, verify, batch, serial, detail, step, operator, unit, token) " +
             d.Series(d.Utc(a.End("i")) + ", " + d.Utc(a.End("i") + " - " + a.Cycle()) + ", " + a.Cycle() +
                          ", 'S' || (i % 8), 'rs232', '/dev/ttyUSB0', " + a.FieldBefore() + ", " + a.Field("i") +
                          ", 'ABCDEFGH_123', " + a.Outcome("i") + ", CASE WHEN " + a.Draw("i") +
                          " < 30 THEN 'not done' WHEN " + a.Draw("i") + " < 40 THEN 'differs' ELSE 'matched' END, "
                          "'B' || (i / " + std::to_string(kBatchSize) + "), " + a.Serial("i") + ", " + a.Detail() +
                          ", CASE WHEN " + a.Draw("i") + " < 30 THEN 'PABC' ELSE 'QBOOT' END, " + a.Operator() +
                          ", '', 't' || i",
                      kAttempts));
    db.Query("INSERT INTO events (serial_id, time, event, station, detail) " +
             d.Series("1 + i / 2, " + d.Utc(a.End("(i / 2)") + " - CASE WHEN i % 2 = 0 THEN 30 ELSE 0 END") +
                          ", CASE WHEN i % 2 = 0 THEN 'claimed' ELSE 'settled' END, 'S' || ((i / 2) % 8), ''",
                      2 * kAttempts));
    // The tallies and each row's retest and failure, as the upgrade to schema 3 works them out.
    storage::RebuildTallies(db);
}

void Build(const std::string& where, bool postgres)
{
    const auto start = std::chrono::steady_clock::now();
    storage::CStore(storage::OpenDatabase(where)); // the schema
    auto db = storage::OpenDatabase(where);
    db->Begin();
    Fill(*db, Dialect {postgres});
    db->Commit();
    // What autovacuum does on a line's server by itself after a while.
    if (postgres) db->Query("VACUUM ANALYZE");
    std::fprintf(stderr, "built the %s record in %.0f s\n", postgres ? "PostgreSQL" : "SQLite",
                 std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
}

std::string& SqlitePath()
{
    static std::string path;
    if (path.empty()) {
        path = MakeScratchDir("stats-bench") + "/record.db";
        Build(path, false);
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
        Build(db, true);
    }
    return db;
}

// A week in the middle of the record, cut at odd seconds.
storage::StatsQuery Window(const std::string& by)
{
    const long start = FirstMidnight() + 60L * 86400 + 3600 * 9 + 17 * 60 + 23;
    char since[32], until[32];
    for (auto [t, text] : {std::pair<long, char*> {start, since}, {start + 7 * 86400, until}}) {
        const time_t at = t;
        tm utc {};
        ::gmtime_r(&at, &utc);
        std::strftime(text, 32, "%Y-%m-%dT%H:%M:%SZ", &utc);
    }
    return {"", since, until, by};
}

void StatsOver(benchmark::State& state, const std::string& where, storage::StatsQuery q)
{
    storage::CStore store(storage::OpenDatabase(where));
    for (auto _ : state) benchmark::DoNotOptimize(store.Stats(q));
    state.counters["attempts"] = static_cast<double>(store.Stats(q).total.attempts);
}

void PageOver(benchmark::State& state, const std::string& where)
{
    storage::CStore store(storage::OpenDatabase(where));
    for (auto _ : state) benchmark::DoNotOptimize(web::Overview(store, 30).dump());
}

const bool kRegistered = [] {
    for (const bool postgres : {false, true}) {
        const std::string backend = postgres ? "Postgres" : "Sqlite";
        const auto where = [postgres]() -> const std::string& { return postgres ? PostgresDb() : SqlitePath(); };
        for (const std::string by : {"", "station", "batch", "operator", "hour", "day"}) {
            const std::string name = "MillionRows/" + backend + "/stats" + (by.empty() ? "" : "--by-" + by);
            benchmark::RegisterBenchmark(name.c_str(), [where, by](benchmark::State& s) {
                StatsOver(s, where(), {"", "", "", by});
            })->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();
        }
        benchmark::RegisterBenchmark(("MillionRows/" + backend + "/stats-week-by-station").c_str(),
                                     [where](benchmark::State& s) { StatsOver(s, where(), Window("station")); })
            ->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();
        benchmark::RegisterBenchmark(("MillionRows/" + backend + "/page").c_str(),
                                     [where](benchmark::State& s) { PageOver(s, where()); })
            ->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();
    }
    return true;
}();

} // namespace
