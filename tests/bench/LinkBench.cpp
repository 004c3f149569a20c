// CPU time a serial Read spends while it waits out its limit on a silent port.

#include "tests/support/PtyDevice.h"
#include "link/Serial.h"

#include <benchmark/benchmark.h>
#include <chrono>
#include <ctime>

using namespace pello;

static double CpuSeconds()
{
    timespec ts {};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

static void BM_SilentRead3000ms(benchmark::State& state)
{
    CPtyDevice dev;
    CComLink link;
    link.Open(dev.Path().c_str(), 2400, 8, 0, 2);
    uint8_t buf[256];
    double cpu = 0, wall = 0;
    for (auto _ : state) {
        const double c0 = CpuSeconds();
        const auto w0 = std::chrono::steady_clock::now();
        benchmark::DoNotOptimize(link.Read(buf, sizeof buf, 3000));
        wall += std::chrono::duration<double>(std::chrono::steady_clock::now() - w0).count();
        cpu += CpuSeconds() - c0;
    }
    state.counters["cpu_ms"] = benchmark::Counter(cpu * 1000 / static_cast<double>(state.iterations()));
    state.counters["cpu_percent_of_wall"] = benchmark::Counter(100.0 * cpu / wall);
}
BENCHMARK(BM_SilentRead3000ms)->Iterations(2)->Unit(benchmark::kMillisecond)->UseRealTime();


