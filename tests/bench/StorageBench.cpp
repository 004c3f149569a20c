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

// `perRun`: the record opened anew for each unit, as one `apply --batch` run
// does; otherwise once, as a station does.
void ClaimAndRecord(benchmark::State& state, const std::string& where, bool perRun)
{
    const storage::Station who {"bench", "bench-host", static_cast<long>(::getpid()), {}, {}};
    {
        storage::CStore store(storage::OpenDatabase(where));
        std::string why;
        store.CreateBatch("BENCH", *storage::MakeRange("B000001", 500000, &why), "ABCDEFGH_123", who);
    }
    double total = 0;
    std::unique_ptr<storage::CStore> kept;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        if (perRun || !kept) {
            kept = std::make_unique<storage::CStore>(storage::OpenDatabase(where));
        }
        storage::CStore& store = *kept;
        const auto claim = store.ClaimNext("BENCH", who);
        for (const char* step : {"SID", "PABC", "QBOOT"}) store.NoteStep(claim->token, step);
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
    ClaimAndRecord(state, MakeScratchDir("bench-db") + "/record.db", state.range(0) == 1);
}
BENCHMARK(BM_ClaimAndRecordSqlite)->Arg(1)->Arg(0)->ArgName("per_run")->Iterations(500)->Unit(benchmark::kMillisecond)->UseRealTime();

static void BM_ClaimAndRecordPostgres(benchmark::State& state)
{
    CPostgresServer server;
    static int databases = 0;
    ClaimAndRecord(state, server.NewDatabase("bench" + std::to_string(++databases)), state.range(0) == 1);
}
BENCHMARK(BM_ClaimAndRecordPostgres)->Arg(1)->Arg(0)->ArgName("per_run")->Iterations(500)->Unit(benchmark::kMillisecond)->UseRealTime();
