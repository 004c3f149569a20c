// The host's own cost of a batch unit on each backend: opening the record as
// one `apply --batch` run does, claiming the next serial, and settling it with
// its record row. Printed as a share of the 0.41 s the four frames need on
// the wire at 2400 baud.

#include "storage/Store.h"
#include "tests/support/Postgres.h"
#include "tests/support/TestEnv.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <memory>
#include <unistd.h>

using namespace pello;

namespace {

constexpr double kWireFloorMs = 410.0;

void ClaimAndRecord(benchmark::State& state, const std::string& where)
{
    const storage::Station who {"bench", "bench-host", static_cast<long>(::getpid())};
    {
        storage::CStore store(storage::OpenDatabase(where));
        std::string why;
        store.CreateBatch("BENCH", *storage::MakeRange("B000001", 500000, &why), "ABCDEFGH_123", who);
    }
    double total = 0;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        storage::CStore store(storage::OpenDatabase(where));
        const auto claim = store.ClaimNext("BENCH", who);
        storage::ProgrammingRecord row;
        row.time = storage::UtcNow();
        row.station = who.name;
        row.fieldWritten = claim->field;
        row.outcome = "programmed";
        store.Settle(*claim, storage::SerialState::Programmed, row, who);
        total += std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    }
    const double perUnit = total / static_cast<double>(state.iterations());
    state.counters["ms_per_unit"] = perUnit;
    state.counters["percent_of_wire_floor"] = 100.0 * perUnit / kWireFloorMs;
}

} // namespace

static void BM_ClaimAndRecordSqlite(benchmark::State& state)
{
    ClaimAndRecord(state, MakeScratchDir("bench-db") + "/record.db");
}
BENCHMARK(BM_ClaimAndRecordSqlite)->Iterations(500)->Unit(benchmark::kMillisecond)->UseRealTime();

static void BM_ClaimAndRecordPostgres(benchmark::State& state)
{
    CPostgresServer server;
    ClaimAndRecord(state, server.NewDatabase("bench"));
}
BENCHMARK(BM_ClaimAndRecordPostgres)->Iterations(500)->Unit(benchmark::kMillisecond)->UseRealTime();
