// The hash table beside std::unordered_map and absl::flat_hash_map for the
// key sizes the system indexes (MACs 6, flow ids 12, UUIDs 16 bytes).
#include <benchmark/benchmark.h>

#include "bench/pin.h"

#include <absl/container/flat_hash_map.h>
#include <absl/hash/hash.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <memory>
#include <random>
#include <unordered_map>
#include <x86intrin.h>
#include <vector>

#include "common/hashtable.h"

namespace {

template <size_t N> using key_t_ = std::array<uint8_t, N>;

template <size_t N> struct rec {
    key_t_<N> key;
    hashlink link;
};

template <size_t N> std::vector<key_t_<N>> make_keys(size_t n, uint32_t salt)
{
    std::mt19937_64 rng(n * 31 + N + salt);
    std::vector<key_t_<N>> keys(n);
    for (auto &k : keys)
        for (auto &b : k)
            b = uint8_t(rng());
    return keys;
}

// The anchors hash with absl::Hash, which is quick and well spread.
template <size_t N> using std_map = std::unordered_map<key_t_<N>, uint32_t, absl::Hash<key_t_<N>>>;
template <size_t N> using absl_map = absl::flat_hash_map<key_t_<N>, uint32_t>;

template <size_t N> struct ours {
    std::vector<rec<N>> recs;
    hashtable *t = nullptr;
    explicit ours(const std::vector<key_t_<N>> &keys) : recs(keys.size())
    {
        for (size_t i = 0; i < keys.size(); i++) {
            recs[i].key = keys[i];
            hashlink_init(&recs[i].link);
        }
        t = hashtable_create(&rec<N>::key, &rec<N>::link);
    }
    ~ours() { hashtable_destroy(t); }
    void fill()
    {
        for (auto &r : recs)
            hashtable_insert(t, &r.link);
    }
};

using clk = std::chrono::steady_clock;

// Looks up present keys in random order, or absent keys, in the three tables
// side by side: batches alternate between them so that all three see the
// machine in the same state, and the ratios are taken over the same period.
// The reported time is ours.
template <size_t N, bool HIT> void BM_Lookup(benchmark::State &state)
{
    size_t n = size_t(state.range(0));
    auto keys = make_keys<N>(n, 0);
    auto probe = HIT ? keys : make_keys<N>(n, 7);
    std::shuffle(probe.begin(), probe.end(), std::mt19937(1));
    ours<N> o(keys);
    o.fill();
    std_map<N> s;
    absl_map<N> a;
    for (uint32_t i = 0; i < n; i++) {
        s.emplace(keys[i], i);
        a.emplace(keys[i], i);
    }
    size_t batch = std::max<size_t>(n, 1 << 16);
    auto timed = [&](auto &&lookup) {
        auto t0 = clk::now();
        for (size_t i = 0, j = 0; i < batch; i++) {
            benchmark::DoNotOptimize(lookup(probe[j]));
            if (++j == n)
                j = 0;
        }
        return std::chrono::duration<double, std::nano>(clk::now() - t0).count();
    };
    auto look_ours = [&](const key_t_<N> &k) { return hashtable_lookup(o.t, k.data()); };
    auto look_std = [&](const key_t_<N> &k) { return s.find(k); };
    auto look_absl = [&](const key_t_<N> &k) { return a.find(k); };
    // Our table first finishes the migration its last growth began.
    timed(look_ours);
    double t_ours = 0, t_std = 0, t_absl = 0;
    for (auto _ : state) {
        // Each table is timed warm: an untimed pass first brings back what
        // the other two pushed out of the caches.
        timed(look_ours);
        double t = timed(look_ours);
        state.SetIterationTime(t * 1e-9);
        t_ours += t;
        timed(look_std);
        t_std += timed(look_std);
        timed(look_absl);
        t_absl += timed(look_absl);
    }
    double lookups = double(state.iterations()) * double(batch);
    state.counters["ours_ns"] = t_ours / lookups;
    state.counters["std_ns"] = t_std / lookups;
    state.counters["absl_ns"] = t_absl / lookups;
    state.counters["std_over_ours"] = t_std / t_ours;
    state.counters["absl_over_ours"] = t_absl / t_ours;
    state.SetItemsProcessed(int64_t(lookups));
}

template <size_t N> void BM_LookupHit(benchmark::State &state)
{
    BM_Lookup<N, true>(state);
}

template <size_t N> void BM_LookupMiss(benchmark::State &state)
{
    BM_Lookup<N, false>(state);
}

double since_ns(clk::time_point t0)
{
    return std::chrono::duration<double, std::nano>(clk::now() - t0).count();
}

// Reports the three times per item and each anchor's ratio to ours; the
// reported time is ours.
void report(benchmark::State &state, size_t n, double t_ours, double t_std, double t_absl)
{
    double items = double(state.iterations()) * double(n);
    state.counters["ours_ns"] = t_ours / items;
    state.counters["std_ns"] = t_std / items;
    state.counters["absl_ns"] = t_absl / items;
    state.counters["std_over_ours"] = t_std / t_ours;
    state.counters["absl_over_ours"] = t_absl / t_ours;
    state.SetItemsProcessed(int64_t(items));
}

// Fills an empty table with n keys, the three side by side; none is sized in
// advance, as ours grows from its default size too. Our entries exist before
// (the caller owns them); the anchors allocate theirs as they insert.
template <size_t N> void BM_Insert(benchmark::State &state)
{
    size_t n = size_t(state.range(0));
    auto keys = make_keys<N>(n, 0);
    ours<N> o(keys);
    double t_ours = 0, t_std = 0, t_absl = 0;
    for (auto _ : state) {
        auto t0 = clk::now();
        hashtable *t = hashtable_create(&rec<N>::key, &rec<N>::link);
        for (auto &r : o.recs)
            hashtable_insert(t, &r.link);
        double t1 = since_ns(t0);
        t_ours += t1;
        state.SetIterationTime(t1 * 1e-9);
        benchmark::DoNotOptimize(t);
        hashtable_destroy(t);
        {
            auto s = std::make_unique<std_map<N>>();
            t0 = clk::now();
            for (uint32_t i = 0; i < n; i++)
                s->emplace(keys[i], i);
            t_std += since_ns(t0);
            benchmark::DoNotOptimize(s.get());
        }
        {
            auto a = std::make_unique<absl_map<N>>();
            t0 = clk::now();
            for (uint32_t i = 0; i < n; i++)
                a->emplace(keys[i], i);
            t_absl += since_ns(t0);
            benchmark::DoNotOptimize(a.get());
        }
    }
    report(state, n, t_ours, t_std, t_absl);
}

// Empties a full table in random order, the three side by side. By key: ours
// looks the entry up and removes it, the anchors erase by key. By handle: the
// entries (ours) and iterators (anchors) are found before timing and removed
// through them.
template <size_t N, bool BY_KEY> void BM_Remove(benchmark::State &state)
{
    size_t n = size_t(state.range(0));
    auto keys = make_keys<N>(n, 0);
    auto order = keys;
    std::shuffle(order.begin(), order.end(), std::mt19937(2));
    ours<N> o(keys);
    std::vector<rec<N> *> by_order(n);
    {
        std::unordered_map<key_t_<N>, rec<N> *, absl::Hash<key_t_<N>>> idx;
        for (auto &r : o.recs)
            idx[r.key] = &r;
        for (size_t i = 0; i < n; i++)
            by_order[i] = idx[order[i]];
    }
    std_map<N> s;
    absl_map<N> a;
    std::vector<typename std_map<N>::iterator> s_its(BY_KEY ? 0 : n);
    std::vector<typename absl_map<N>::iterator> a_its(BY_KEY ? 0 : n);
    double t_ours = 0, t_std = 0, t_absl = 0;
    for (auto _ : state) {
        o.fill();
        for (uint32_t i = 0; i < n; i++) {
            s.emplace(keys[i], i);
            a.emplace(keys[i], i);
        }
        if constexpr (!BY_KEY) {
            for (size_t i = 0; i < n; i++) {
                s_its[i] = s.find(order[i]);
                a_its[i] = a.find(order[i]);
            }
        }
        auto t0 = clk::now();
        for (size_t i = 0; i < n; i++) {
            if constexpr (BY_KEY)
                hashtable_remove(o.t, hashtable_lookup(o.t, order[i].data()));
            else
                hashtable_remove(o.t, &by_order[i]->link);
        }
        double t1 = since_ns(t0);
        t_ours += t1;
        state.SetIterationTime(t1 * 1e-9);
        t0 = clk::now();
        for (size_t i = 0; i < n; i++) {
            if constexpr (BY_KEY)
                s.erase(order[i]);
            else
                s.erase(s_its[i]);
        }
        t_std += since_ns(t0);
        t0 = clk::now();
        for (size_t i = 0; i < n; i++) {
            if constexpr (BY_KEY)
                a.erase(order[i]);
            else
                a.erase(a_its[i]);
        }
        t_absl += since_ns(t0);
        if (hashtable_count(o.t) || !s.empty() || !a.empty()) {
            state.SkipWithError("a table is not empty after removing every key");
            break;
        }
    }
    report(state, n, t_ours, t_std, t_absl);
}

// Relinks every entry into a fresh array of twice the size: what one insert
// would cost if growth rehashed the table at once.
double full_rehash_ns(hashtable *t)
{
    auto t0 = clk::now();
    size_t size = size_t(t->size) * 2;
    auto **nb = static_cast<hashlink **>(calloc(size, sizeof(hashlink *)));
    for (uint32_t b = 0; b < t->size; b++)
        for (hashlink *l = t->buckets[b], *next; l; l = next) {
            next = l->next;
            l->next = nb[l->hash & (size - 1)];
            nb[l->hash & (size - 1)] = l;
        }
    auto t1 = clk::now();
    // Put the chains back for the table's own teardown.
    memset(t->buckets, 0, t->size * sizeof(hashlink *));
    for (size_t b = 0; b < size; b++)
        for (hashlink *l = nb[b], *next; l; l = next) {
            next = l->next;
            l->next = t->buckets[l->hash & (t->size - 1)];
            t->buckets[l->hash & (t->size - 1)] = l;
        }
    free(nb);
    return std::chrono::duration<double, std::nano>(t1 - t0).count();
}

// Single inserts take tens of nanoseconds, below what the system clock
// resolves in a virtual machine, so they are timed with the time-stamp
// counter (constant rate on every machine we run on), converted with a rate
// measured against the steady clock.
struct tsc_timer {
    double ns_per_tick = 0;
    double overhead_ns = 0; // of one start/stop pair, taken off each reading

    static uint64_t stamp()
    {
        _mm_lfence();
        uint64_t t = __rdtsc();
        _mm_lfence();
        return t;
    }

    tsc_timer()
    {
        auto c0 = clk::now();
        uint64_t t0 = stamp();
        while (clk::now() - c0 < std::chrono::milliseconds(20)) {
        }
        uint64_t t1 = stamp();
        ns_per_tick = std::chrono::duration<double, std::nano>(clk::now() - c0).count() / double(t1 - t0);
        double least = 1e18;
        for (int i = 0; i < 10000; i++) {
            uint64_t a = stamp();
            least = std::min(least, double(stamp() - a));
        }
        overhead_ns = least * ns_per_tick;
    }

    double since(uint64_t start) const { return double(stamp() - start) * ns_per_tick - overhead_ns; }
};

// The slowest single insert while n keys go in, against a full rehash of
// the filled table. Each insert's cost is the least over several fills, so
// that a preemption of this process does not pass for a slow insert; small
// tables, whose inserts are near the clock's resolution, take more fills.
template <size_t N> void BM_WorstInsert(benchmark::State &state)
{
    size_t n = size_t(state.range(0));
    tsc_timer clock;
    auto keys = make_keys<N>(n, 0);
    std::vector<double> best(n, 1e18), best_std(n, 1e18), best_absl(n, 1e18);
    double rehash = 1e18;
    for (auto _ : state) {
        ours<N> o(keys);
        for (size_t i = 0; i < n; i++) {
            uint64_t t0 = tsc_timer::stamp();
            hashtable_insert(o.t, &o.recs[i].link);
            best[i] = std::min(best[i], clock.since(t0));
        }
        // A full rehash is measured on a table that is not migrating.
        while (o.t->cursor < o.t->size / 2)
            hashtable_remove(o.t, &o.recs[0].link), hashtable_insert(o.t, &o.recs[0].link);
        rehash = std::min(rehash, full_rehash_ns(o.t));
        std_map<N> s;
        for (uint32_t i = 0; i < n; i++) {
            uint64_t t0 = tsc_timer::stamp();
            s.emplace(keys[i], i);
            best_std[i] = std::min(best_std[i], clock.since(t0));
        }
        absl_map<N> a;
        for (uint32_t i = 0; i < n; i++) {
            uint64_t t0 = tsc_timer::stamp();
            a.emplace(keys[i], i);
            best_absl[i] = std::min(best_absl[i], clock.since(t0));
        }
    }
    double worst = *std::max_element(best.begin(), best.end());
    state.counters["worst_insert_ns"] = worst;
    state.counters["full_rehash_ns"] = rehash;
    state.counters["rehash_over_worst"] = rehash / worst;
    state.counters["clock_overhead_ns"] = clock.overhead_ns;
    double worst_std = *std::max_element(best_std.begin(), best_std.end());
    double worst_absl = *std::max_element(best_absl.begin(), best_absl.end());
    state.counters["std_worst_insert_ns"] = worst_std;
    state.counters["absl_worst_insert_ns"] = worst_absl;
    state.counters["std_worst_over_ours"] = worst_std / worst;
    state.counters["absl_worst_over_ours"] = worst_absl / worst;
}

void sizes(benchmark::internal::Benchmark *b)
{
    for (int64_t n : {1000, 10000, 100000, 1000000})
        b->Arg(n);
}

#define UGW_BENCH_KEY(N)                                                                           \
    BENCHMARK(BM_LookupHit<N>)->Apply(sizes)->UseManualTime();                                     \
    BENCHMARK(BM_LookupMiss<N>)->Apply(sizes)->UseManualTime();                                    \
    BENCHMARK(BM_Insert<N>)->Apply(sizes)->UseManualTime();                                        \
    BENCHMARK(BM_Remove<N, true>)->Apply(sizes)->UseManualTime();                                  \
    BENCHMARK(BM_Remove<N, false>)->Apply(sizes)->UseManualTime();                                 \
    BENCHMARK(BM_WorstInsert<N>)->Arg(1000)->Iterations(50);                                       \
    BENCHMARK(BM_WorstInsert<N>)->Arg(10000)->Iterations(20);                                      \
    BENCHMARK(BM_WorstInsert<N>)->Arg(100000)->Arg(1000000)->Iterations(7)

UGW_BENCH_KEY(6);
UGW_BENCH_KEY(12);
UGW_BENCH_KEY(16);

} // namespace

int main(int argc, char **argv)
{
    return bench_main_pinned(argc, argv);
}
