// Runs our operation and OpenSSL's in the same benchmark, alternating in
// batches, and reports both times and the ratio (OpenSSL's time over ours:
// above 1 means we are faster).
#pragma once

#include <benchmark/benchmark.h>

#include <chrono>
#include <string>

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

// An anchor with the name its counters carry.
template <typename F> struct anchor {
    const char *name;
    F fn;
};
template <typename F> anchor(const char *, F) -> anchor<F>;

// Ours against several anchors, alternating in batches. Counters: ours_ns,
// <name>_ns, and ratio_<name> (the anchor's time over ours) for each anchor.
template <typename Ours, typename... F>
void side_by_side_anchors(benchmark::State &state, size_t bytes_per_op, int batch, Ours ours,
                          anchor<F>... anchors)
{
    using clock = std::chrono::steady_clock;
    constexpr size_t n_anchors = sizeof...(F);
    double t_ours = 0, t_anchor[n_anchors] = {};
    int64_t n = 0;
    auto run = [batch](auto &fn) {
        auto t0 = clock::now();
        for (int i = 0; i < batch; i++)
            fn();
        return std::chrono::duration<double>(clock::now() - t0).count();
    };
    for (auto _ : state) {
        t_ours += run(ours);
        size_t i = 0;
        ((t_anchor[i++] += run(anchors.fn)), ...);
        n += batch;
    }
    state.counters["ours_ns"] = t_ours / double(n) * 1e9;
    size_t i = 0;
    auto report = [&](const char *name) {
        state.counters[std::string(name) + "_ns"] = t_anchor[i] / double(n) * 1e9;
        state.counters[std::string("ratio_") + name] = t_anchor[i] / t_ours;
        i++;
    };
    (report(anchors.name), ...);
    if (bytes_per_op) state.counters["ours_MBps"] = double(bytes_per_op) * double(n) / t_ours / 1e6;
}
