// Keeps a side-by-side benchmark on the CPU it started on: a move to another
// core hands whichever structure runs next cold caches, and the ratio then
// measures the scheduler.
#pragma once

#include <benchmark/benchmark.h>
#include <sched.h>

inline int bench_main_pinned(int argc, char **argv)
{
    cpu_set_t set;
    CPU_ZERO(&set);
    int cpu = sched_getcpu();
    if (cpu >= 0) {
        CPU_SET(cpu, &set);
        sched_setaffinity(0, sizeof(set), &set);
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
