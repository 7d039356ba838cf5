// The shared-memory table reader beside std::unordered_map<uint64_t,
// uint16_t>::find on the same keys: lookups of present and absent keys in a
// half-full table of 2^20 slots, and a full iteration against as many map
// lookups as it yields entries. Counters: ours_ns and map_ns per key, and
// ours_over_map (below 1 means we are faster).
#include <benchmark/benchmark.h>

#include "bench/pin.h"

#include <algorithm>
#include <ctime>
#include <cstdlib>
#include <random>
#include <string>
#include <unistd.h>
#include <unordered_map>
#include <vector>

#include "tools/fernrelayd/shm_writer.h"
#include "utility/fdb.h"

namespace
{

constexpr unsigned EXPONENT = 20;
constexpr size_t ENTRIES = size_t{1} << (EXPONENT - 1);
constexpr size_t LOOKUPS = 500000;

struct fixture {
    std::string dir;
    shm_table *table = nullptr;
    fdb *reader = nullptr;
    std::unordered_map<uint64_t, uint16_t> map;
    std::vector<uint64_t> present, absent;

    fixture()
    {
        char tmpl[] = "/tmp/bench-shmdb-XXXXXX";
        dir = std::string(mkdtemp(tmpl)) + "/";
        setenv("SHMDIR", dir.c_str(), 1);
        table = shm_table_create("bench0", 48, 0, EXPONENT);
        std::mt19937_64 rng(1);
        std::vector<uint64_t> keys;
        while (keys.size() < ENTRIES + LOOKUPS) {
            uint64_t k = rng() & 0xffffffffffffull;
            if (k && !map.count(k) && keys.size() < ENTRIES) {
                map.emplace(k, static_cast<uint16_t>(k >> 7));
                shm_table_put(table, k, static_cast<uint16_t>(k >> 7));
                keys.push_back(k);
            } else if (k && !map.count(k)) {
                absent.push_back(k);
                keys.push_back(k);
            }
        }
        std::shuffle(keys.begin(), keys.begin() + ENTRIES, rng);
        present.assign(keys.begin(), keys.begin() + LOOKUPS);
        reader = fdb_open("bench0");
        if (!reader || shm_table_capacity(table) != 1u << EXPONENT) abort();
    }
    ~fixture()
    {
        fdb_close(reader);
        shm_table_destroy(table, true);
        rmdir(dir.c_str());
    }
};

fixture &F()
{
    static fixture f;
    return f;
}

// Thread CPU time: on a shared machine a wall clock also counts the time
// the scheduler gave to others.
double cpu_ns()
{
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e9 + static_cast<double>(ts.tv_nsec);
}

uint64_t ours_lookups(const std::vector<uint64_t> &keys)
{
    uint64_t sum = 0;
    for (uint64_t k : keys) {
        uint8_t mac[6];
        for (int i = 0; i < 6; i++)
            mac[i] = static_cast<uint8_t>(k >> (40 - 8 * i));
        uint16_t port;
        if (fdb_find_client(F().reader, mac, &port) == 0) sum += port + 1;
    }
    return sum;
}

uint64_t map_lookups(const std::vector<uint64_t> &keys)
{
    uint64_t sum = 0;
    for (uint64_t k : keys) {
        auto it = F().map.find(k);
        if (it != F().map.end()) sum += it->second + 1;
    }
    return sum;
}

int add_port(void *user, const uint8_t *, uint16_t port)
{
    *static_cast<uint64_t *>(user) += port + 1;
    return 0;
}

uint64_t ours_iteration()
{
    uint64_t sum = 0;
    fdb_list_clients(F().reader, add_port, &sum);
    return sum;
}

void report(benchmark::State &state, double ours, double theirs, double per)
{
    state.counters["ours_ns"] = ours / per;
    state.counters["map_ns"] = theirs / per;
    state.counters["ours_over_map"] = ours / theirs;
}

template <class Ours, class Theirs>
void side_by_side(benchmark::State &state, Ours ours, Theirs theirs, size_t per)
{
    if (ours() != theirs()) // the same answer, checked once before timing
        state.SkipWithError("reader and map disagree");
    double t_ours = 0, t_map = 0;
    for (auto _ : state) {
        double t0 = cpu_ns();
        benchmark::DoNotOptimize(ours());
        double t1 = cpu_ns();
        benchmark::DoNotOptimize(theirs());
        double t2 = cpu_ns();
        t_ours += t1 - t0;
        t_map += t2 - t1;
    }
    report(state, t_ours, t_map,
           static_cast<double>(per) * static_cast<double>(state.iterations()));
}

void BM_LookupPresent(benchmark::State &state)
{
    side_by_side(
        state, [] { return ours_lookups(F().present); }, [] { return map_lookups(F().present); },
        LOOKUPS);
}

void BM_LookupAbsent(benchmark::State &state)
{
    side_by_side(
        state, [] { return ours_lookups(F().absent); }, [] { return map_lookups(F().absent); },
        LOOKUPS);
}

// Iteration yields every entry once; the anchor looks each of them up.
void BM_FullIteration(benchmark::State &state)
{
    static std::vector<uint64_t> all = [] {
        std::vector<uint64_t> v;
        for (auto &[k, p] : F().map)
            v.push_back(k);
        std::shuffle(v.begin(), v.end(), std::mt19937_64(2));
        return v;
    }();
    side_by_side(
        state, [] { return ours_iteration(); }, [] { return map_lookups(all); }, ENTRIES);
}

} // namespace

BENCHMARK(BM_LookupPresent)->Iterations(10)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LookupAbsent)->Iterations(10)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FullIteration)->Iterations(10)->Unit(benchmark::kMillisecond);

int main(int argc, char **argv)
{
    return bench_main_pinned(argc, argv);
}
