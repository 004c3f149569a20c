// A soak: 1000 Search + Apply cycles against the simulator program over a
// pseudo-terminal. Open descriptors and resident memory must not grow.

#include "tests/support/Spawn.h"
#include "tests/support/TestEnv.h"
#include "core/Workflow.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <dirent.h>
#include <fstream>
#include <unistd.h>
#include <vector>

using namespace pello;

namespace {

int OpenFds()
{
    int n = 0;
    if (DIR* d = ::opendir("/proc/self/fd")) {
        while (const dirent* e = ::readdir(d)) n += e->d_name[0] != '.';
        ::closedir(d);
    }
    return n - 1; // the directory stream itself
}

long ResidentKb()
{
    std::ifstream in("/proc/self/statm");
    long size = 0, resident = 0;
    in >> size >> resident;
    return resident * ::sysconf(_SC_PAGESIZE) / 1024;
}

} // namespace

static void BM_SoakSearchApply(benchmark::State& state)
{
    const int cycles = static_cast<int>(state.range(0));
    const std::string link = MakeScratchDir("soak") + "/port";
    CDevsim sim({"--link", link});
    CSnToolWorkflow flow;
    flow.PortResolver().SetAlias(0, link);
    const ProgramFields fields {"0812345678ABCDEFGHIJKL", "ABCDEFGH_123"};
    for (auto _ : state) {
        // Warm up: first allocations, first opens.
        flow.Search(Link::Rs232);
        flow.Apply(fields);
        std::vector<double> ms;
        ms.reserve(static_cast<size_t>(cycles));
        const int fds0 = OpenFds();
        const long rss0 = ResidentKb();
        int ok = 0;
        for (int i = 0; i < cycles; ++i) {
            const auto t0 = std::chrono::steady_clock::now();
            ok += flow.Search(Link::Rs232).found && flow.Apply(fields).outcome == ApplyOutcome::Success;
            ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
        }
        std::sort(ms.begin(), ms.end());
        state.counters["cycles_ok"] = ok;
        state.counters["fds_start"] = fds0;
        state.counters["fds_end"] = OpenFds();
        state.counters["rss_kb_start"] = static_cast<double>(rss0);
        state.counters["rss_kb_end"] = static_cast<double>(ResidentKb());
        state.counters["cycle_ms_median"] = ms[ms.size() / 2];
        state.counters["cycle_ms_p99"] = ms[ms.size() * 99 / 100];
    }
}
BENCHMARK(BM_SoakSearchApply)->Arg(1000)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
