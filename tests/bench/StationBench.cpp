// The station's own cost per unit: the CPU time of `pellomatic-cli station`
// (search, claim, the four frames, verify, record, the looks for units),
// against a line of simulated units that answer at once, as a share of the
// 0.41 s the frames need on the wire at 2400 baud. Waiting is not counted.

#include "tests/support/Spawn.h"
#include "tests/support/TestEnv.h"

#include <benchmark/benchmark.h>

#include <sys/resource.h>

using namespace pello;

namespace {

double ChildrenCpuMs()
{
    rusage ru {};
    ::getrusage(RUSAGE_CHILDREN, &ru);
    return (ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) * 1000.0 + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1000.0;
}

} // namespace

static void BM_StationOverheadPerUnit(benchmark::State& state)
{
    constexpr int kUnits = 30;
    for (auto _ : state) {
        const std::string dir = MakeScratchDir("station-bench");
        const std::string db = dir + "/record.db", port = dir + "/port";
        RunProgram("pellomatic-cli", {"--db", db, "batch", "create", "B", "--first", "B001", "--count",
                                      std::to_string(kUnits), "--code", "ABCDEFGH_123"});
        CDevsim line({"--link", port, "--units", std::to_string(kUnits), "--gap", "0.05", "--hold", "0.1"});
        const double before = ChildrenCpuMs();
        const RunResult r = RunProgram("pellomatic-cli", {"--db", db, "station", "--batch", "B", "--port", port,
                                                          "--interval", "0.05", "--json"});
        const double perUnit = (ChildrenCpuMs() - before) / kUnits;
        if (r.exitCode != 0) state.SkipWithError("the station failed");
        state.counters["cpu_ms_per_unit"] = perUnit;
        state.counters["percent_of_wire_floor"] = 100.0 * perUnit / 410.0;
    }
}
BENCHMARK(BM_StationOverheadPerUnit)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
