// Apply over a pseudo-terminal: the tool's own cost per frame, and the whole
// sequence against a simulator that paces the line at 2400 baud.

#include "tests/support/PtyDevice.h"
#include "tests/support/Spawn.h"
#include "tests/support/TestEnv.h"
#include "core/Workflow.h"

#include <benchmark/benchmark.h>
#include <chrono>
#include <ctime>

using namespace pello;

namespace {

double CpuSeconds()
{
    timespec ts {};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

void ApplyLoop(benchmark::State& state, const std::string& port, double wireSeconds)
{
    CSnToolWorkflow flow;
    flow.PortResolver().SetAlias(0, port);
    flow.Search(Link::Rs232);
    const ProgramFields fields {"0812345678ABCDEFGHIJKL", "ABCDEFGH_123"};
    double cpu = 0, wall = 0;
    for (auto _ : state) {
        const double c0 = CpuSeconds();
        const auto w0 = std::chrono::steady_clock::now();
        const ApplyResult r = flow.Apply(fields);
        wall += std::chrono::duration<double>(std::chrono::steady_clock::now() - w0).count();
        cpu += CpuSeconds() - c0;
        if (r.outcome != ApplyOutcome::Success) state.SkipWithError("apply failed");
    }
    const double n = static_cast<double>(state.iterations());
    state.counters["wall_ms_per_frame"] = wall * 1000 / n / 4;
    state.counters["cpu_ms_per_frame"] = cpu * 1000 / n / 4;
    if (wireSeconds > 0) {
        state.counters["line_ms"] = wireSeconds * 1000;
        state.counters["over_line_percent"] = 100.0 * (wall / n - wireSeconds) / wireSeconds;
    }
}

} // namespace

static void BM_ApplyPerFrame(benchmark::State& state)
{
    CPtyDevice dev;
    dev.WithModel([](CDeviceModel& m) { return m.m_bRecordFrames = false; });
    ApplyLoop(state, dev.Path(), 0);
}
BENCHMARK(BM_ApplyPerFrame)->Unit(benchmark::kMillisecond)->UseRealTime();

static void BM_ApplyAtWireSpeed(benchmark::State& state)
{
    const std::string link = MakeScratchDir("bench") + "/port";
    CDevsim sim({"--link", link, "--wire-speed"});
    // ATE1 7, SID 28, PABC 19, QBOOT 8 bytes out; three 7-byte acks and a 5-byte "(1" back.
    const double bytes = 7 + 28 + 19 + 8 + 7 * 3 + 5;
    ApplyLoop(state, link, bytes * 11 / 2400);
}
BENCHMARK(BM_ApplyAtWireSpeed)->Iterations(5)->Unit(benchmark::kMillisecond)->UseRealTime();
