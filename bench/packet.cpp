// Packet allocation and release against one malloc and free of a buffer.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <vector>

#include "common/packet.h"

namespace {

using bench_clock = std::chrono::steady_clock;

double seconds(bench_clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

constexpr size_t round_packets = 256;

// Each round handles 256 packets of 1500 bytes, in pairs (alloc then release
// at once) or in batches of 16 (a receive burst), then the same with malloc
// and free of 2048-byte buffers. The reported time is the packets' per round;
// the counters give both per alloc+free and malloc's time over the packets'
// (target: at least 1).
void BM_PacketVsMalloc(benchmark::State &state)
{
    size_t batch = static_cast<size_t>(state.range(0));
    bool shared = state.range(1) != 0;
    packet_pool_config c = {2048, 32, 16, 256, 256, shared ? PACKET_POOL_SHARED_BUFFERS : 0u};
    mempool *pool = packet_pool_create(&c);
    std::vector<packet *> pkts(batch);
    std::vector<void *> bufs(batch);
    double pkt_s = 0, malloc_s = 0;
    for (auto _ : state) {
        auto t0 = bench_clock::now();
        for (size_t r = 0; r < round_packets; r += batch) {
            for (size_t i = 0; i < batch; i++) {
                pkts[i] = packet_alloc(pool, 1500);
                pkts[i]->data[0] = 1;
                benchmark::DoNotOptimize(pkts[i]);
            }
            for (size_t i = 0; i < batch; i++)
                packet_release(pkts[i]);
        }
        auto t1 = bench_clock::now();
        for (size_t r = 0; r < round_packets; r += batch) {
            for (size_t i = 0; i < batch; i++) {
                bufs[i] = malloc(2048);
                static_cast<char *>(bufs[i])[32] = 1;
                benchmark::DoNotOptimize(bufs[i]);
            }
            for (size_t i = 0; i < batch; i++)
                free(bufs[i]);
        }
        auto t2 = bench_clock::now();
        pkt_s += seconds(t1 - t0);
        malloc_s += seconds(t2 - t1);
        state.SetIterationTime(seconds(t1 - t0));
    }
    double n = static_cast<double>(state.iterations()) * round_packets;
    state.counters["packet_ns"] = pkt_s * 1e9 / n;
    state.counters["malloc_ns"] = malloc_s * 1e9 / n;
    state.counters["malloc/packet"] = malloc_s / pkt_s;
    mempool_unref(pool);
}

} // namespace

BENCHMARK(BM_PacketVsMalloc)
    ->ArgNames({"batch", "shared"})
    ->ArgsProduct({{1, 16}, {0, 1}})
    ->UseManualTime();

BENCHMARK_MAIN();
