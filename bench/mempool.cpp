// Pool and packet allocation against malloc, run side by side on the same pattern.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <vector>

#include "common/mempool.h"
#include "common/packet.h"

namespace {

using bench_clock = std::chrono::steady_clock;

constexpr size_t round_objects = 256;

double seconds(bench_clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

// Each round takes and gives back 256 objects with `take` and `give`, writing
// one byte into each, in groups of `group` (1: alloc then free at once, where
// malloc's per-thread cache shines); first ours, then malloc's. The reported
// time is ours per round; the counters give both per alloc+free and malloc's
// time over ours.
// Touches the object's far end, away from the pool's free-list link.
void mark(char *object, size_t size)
{
    object[size - 1] = 1;
}

void mark(packet *p, size_t)
{
    p->data[0] = 1;
}

template <class Take, class Give, class MTake, class MGive>
void side_by_side(benchmark::State &state, size_t size, size_t group, Take take, Give give,
                  MTake mtake, MGive mgive)
{
    std::vector<void *> objs(group);
    auto round = [&](auto &t, auto &g) {
        using object = decltype(t());
        for (size_t r = 0; r < round_objects; r += group) {
            for (size_t i = 0; i < group; i++) {
                object o = t();
                mark(o, size);
                objs[i] = o;
                benchmark::DoNotOptimize(objs[i]);
            }
            for (size_t i = 0; i < group; i++)
                g(static_cast<object>(objs[i]));
        }
    };
    double ours_s = 0, malloc_s = 0;
    for (auto _ : state) {
        auto t0 = bench_clock::now();
        round(take, give);
        auto t1 = bench_clock::now();
        round(mtake, mgive);
        auto t2 = bench_clock::now();
        ours_s += seconds(t1 - t0);
        malloc_s += seconds(t2 - t1);
        state.SetIterationTime(seconds(t1 - t0));
    }
    double n = static_cast<double>(state.iterations()) * round_objects;
    state.counters["ours_ns"] = ours_s * 1e9 / n;
    state.counters["malloc_ns"] = malloc_s * 1e9 / n;
    state.counters["malloc/ours"] = malloc_s / ours_s;
}

// Objects of 64 to 512 bytes, in pairs or all 256 at once. Target: ratio >= 3.
void BM_PoolVsMalloc(benchmark::State &state)
{
    size_t size = static_cast<size_t>(state.range(0));
    size_t group = state.range(1) ? round_objects : 1;
    mempool *pool = mempool_create(size, nullptr, "struct bench", __FILE__, __LINE__);
    side_by_side(
        state, size, group, [&] { return static_cast<char *>(mempool_alloc(pool)); },
        [&](char *o) { mempool_release(pool, o); },
        [&] { return static_cast<char *>(malloc(size)); }, [](char *o) { free(o); });
    mempool_unref(pool);
}

// Packets of 1500 bytes against 2048-byte buffers, in pairs or in bursts of
// 16 (a receive burst). Target: ratio >= 1.
void BM_PacketVsMalloc(benchmark::State &state)
{
    size_t group = static_cast<size_t>(state.range(0));
    bool shared = state.range(1) != 0;
    packet_pool_config c = {2048, 32, 16, 256, 256, shared ? PACKET_POOL_SHARED_BUFFERS : 0u};
    mempool *pool = packet_pool_create(&c);
    side_by_side(
        state, 2048, group, [&] { return packet_alloc(pool, 1500); },
        [](packet *p) { packet_release(p); },
        [] { return static_cast<char *>(malloc(2048)); }, [](char *o) { free(o); });
    mempool_unref(pool);
}

} // namespace

BENCHMARK(BM_PoolVsMalloc)
    ->ArgNames({"size", "batch"})
    ->ArgsProduct({{64, 128, 256, 512}, {0, 1}})
    ->UseManualTime();

BENCHMARK(BM_PacketVsMalloc)
    ->ArgNames({"burst", "shared"})
    ->ArgsProduct({{1, 16}, {0, 1}})
    ->UseManualTime();

BENCHMARK_MAIN();
