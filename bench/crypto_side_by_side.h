// Runs our operation and OpenSSL's in the same benchmark, alternating in
// batches, and reports both times and the ratio (OpenSSL's time over ours:
// above 1 means we are faster).
#pragma once

#include <benchmark/benchmark.h>

#include <chrono>

template <typename Ours, typename Theirs>
void side_by_side(benchmark::State &state, size_t bytes_per_op, int batch, Ours ours, Theirs theirs)
{
    using clock = std::chrono::steady_clock;
    double t_ours = 0, t_theirs = 0;
    int64_t n = 0;
    for (auto _ : state) {
        auto t0 = clock::now();
        for (int i = 0; i < batch; i++)
            ours();
        auto t1 = clock::now();
        for (int i = 0; i < batch; i++)
            theirs();
        auto t2 = clock::now();
        t_ours += std::chrono::duration<double>(t1 - t0).count();
        t_theirs += std::chrono::duration<double>(t2 - t1).count();
        n += batch;
    }
    state.counters["ours_ns"] = t_ours / double(n) * 1e9;
    state.counters["openssl_ns"] = t_theirs / double(n) * 1e9;
    state.counters["ratio"] = t_theirs / t_ours;
    if (bytes_per_op)
        state.counters["ours_MBps"] = double(bytes_per_op) * double(n) / t_ours / 1e6;
}
