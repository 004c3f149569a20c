// The main of the benchmarks: they too work under the build folder only.
#include "tests/support/TestEnv.h"

#include <benchmark/benchmark.h>

int main(int argc, char** argv)
{
    pello::IsolateEnvironment();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    pello::RemoveScratch();
    return 0;
}
