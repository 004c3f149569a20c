// A soak: 1000 Search + Apply cycles against the simulator program over a
// pseudo-terminal. Open descriptors and resident memory must not grow.

#include "SnFile.h"
#include "Spawn.h"
#include "Workflow.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <dirent.h>
#include <fstream>
#include <unistd.h>
#include <vector>

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

class CCounting final : public CMessageSink {
public:
    void ShowMessage(const std::string& text, const std::string&) override { ok += text == "Setting successful!"; }
    int ok = 0;
};

} // namespace

static void BM_SoakSearchApply(benchmark::State& state)
{
    const int cycles = static_cast<int>(state.range(0));
    const std::string link = "/tmp/pello-soak-port";
    const std::string sn = "/tmp/pello-soak-SN.txt";
    std::ofstream(sn) << "0812345678ABCDEFGHIJKL\nABCDEFGH_123\n";
    CDevsim sim({"--link", link});
    CCounting messages;
    CSnToolWorkflow flow(&messages);
    flow.m_portResolver.SetAlias(0, link);
    flow.m_strSnFile = sn;
    for (auto _ : state) {
        flow.m_nLinkType = 1;
        flow.OnSearch(); // warm up: first allocations, first opens
        flow.OnApply();
        std::vector<double> ms;
        ms.reserve(static_cast<size_t>(cycles));
        const int fds0 = OpenFds();
        const long rss0 = ResidentKb();
        for (int i = 0; i < cycles; ++i) {
            const auto t0 = std::chrono::steady_clock::now();
            flow.OnSearch();
            flow.OnApply();
            ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
        }
        std::sort(ms.begin(), ms.end());
        state.counters["cycles_ok"] = messages.ok - 1;
        state.counters["fds_start"] = fds0;
        state.counters["fds_end"] = OpenFds();
        state.counters["rss_kb_start"] = static_cast<double>(rss0);
        state.counters["rss_kb_end"] = static_cast<double>(ResidentKb());
        state.counters["cycle_ms_median"] = ms[ms.size() / 2];
        state.counters["cycle_ms_p99"] = ms[ms.size() * 99 / 100];
    }
}
BENCHMARK(BM_SoakSearchApply)->Arg(1000)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
