// Pool allocation against malloc, run side by side on the same pattern.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <vector>

#include "common/mempool.h"

namespace {

using bench_clock = std::chrono::steady_clock;

double seconds(bench_clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

constexpr size_t round_objects = 256;

// Each round handles 256 objects, writing one byte into each: in pairs (alloc
// then free at once, where malloc's per-thread cache shines) or as a batch
// (all allocated, then all freed), first from a pool, then with malloc. The
// reported time is the pool's per round; the counters give both per
// alloc+free and malloc's time over the pool's (target: at least 3).
void BM_PoolVsMalloc(benchmark::State &state)
{
    size_t size = static_cast<size_t>(state.range(0));
    bool batch = state.range(1) != 0;
    mempool *pool = mempool_create(size, nullptr, "struct bench", __FILE__, __LINE__);
    std::vector<void *> objs(round_objects);
    double pool_s = 0, malloc_s = 0;
    for (auto _ : state) {
        auto t0 = bench_clock::now();
        for (size_t i = 0; i < round_objects; i++) {
            objs[i] = mempool_alloc(pool);
            static_cast<char *>(objs[i])[size - 1] = 1;
            benchmark::DoNotOptimize(objs[i]);
            if (!batch)
                mempool_release(pool, objs[i]);
        }
        if (batch)
            for (size_t i = 0; i < round_objects; i++)
                mempool_release(pool, objs[i]);
        auto t1 = bench_clock::now();
        for (size_t i = 0; i < round_objects; i++) {
            objs[i] = malloc(size);
            static_cast<char *>(objs[i])[size - 1] = 1;
            benchmark::DoNotOptimize(objs[i]);
            if (!batch)
                free(objs[i]);
        }
        if (batch)
            for (size_t i = 0; i < round_objects; i++)
                free(objs[i]);
        auto t2 = bench_clock::now();
        pool_s += seconds(t1 - t0);
        malloc_s += seconds(t2 - t1);
        state.SetIterationTime(seconds(t1 - t0));
    }
    double n = static_cast<double>(state.iterations()) * round_objects;
    state.counters["pool_ns"] = pool_s * 1e9 / n;
    state.counters["malloc_ns"] = malloc_s * 1e9 / n;
    state.counters["malloc/pool"] = malloc_s / pool_s;
    mempool_unref(pool);
}

} // namespace

BENCHMARK(BM_PoolVsMalloc)
    ->ArgNames({"size", "batch"})
    ->ArgsProduct({{64, 128, 256, 512}, {0, 1}})
    ->UseManualTime();

BENCHMARK_MAIN();
