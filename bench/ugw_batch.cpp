// A batch of 10^4 host adds through ugw_batch (read, split, lex, parse,
// execute on one connection, between configure and commit) beside the same
// requests sent by a bare loop of gwc_add_host on one connection, both
// against the stand-in server in this process. Counter: the time ratio of
// the batch against the bare loop.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

#include "bench/pin.h"
#include "tools/fakegwd/fakegwd.h"
#include "utility/gwc.h"
#include "utility/ugw_main.h"

namespace
{

constexpr int LINES = 10000;

struct setup {
    std::string dir;
    std::string file;
    fakegwd *fake = nullptr;

    setup()
    {
        char t[] = "/tmp/ugw-bench-XXXXXX";
        if (!mkdtemp(t)) abort();
        dir = t;
        fake = fakegwd_start(dir.c_str());
        if (!fake) abort();
        file = dir + "/batch";
        FILE *f = fopen(file.c_str(), "w");
        for (int i = 0; i < LINES; i++)
            fprintf(f, "set hostset 7 host host%d.example.com\n", i);
        fclose(f);
    }
    ~setup()
    {
        fakegwd_stop(fake);
        std::system(("rm -rf '" + dir + "'").c_str());
    }
};

setup &world()
{
    static setup s;
    return s;
}

double bare_ns;

void run_bare(gwc_connection *c)
{
    char host[64];
    gwc_lock(c);
    for (int i = 0; i < LINES; i++) {
        snprintf(host, sizeof(host), "host%d.example.com", i);
        if (gwc_add_host(c, 7, host) < 0) abort();
    }
    gwc_unlock(c);
}

void run_batch()
{
    if (ugw_batch(world().file.c_str(), fakegwd_path(world().fake), 0, false, 0, 0) < 0) abort();
}

// Both sides send the same requests, byte for byte; checked once.
void check_same()
{
    setup &w = world();
    gwc_connection *c = gwc_create(fakegwd_path(w.fake), nullptr, nullptr, 0);
    fakegwd_clear_journal(w.fake);
    run_bare(c);
    auto bare = fakegwd_journal(w.fake);
    fakegwd_clear_journal(w.fake);
    run_batch();
    auto batch = fakegwd_journal(w.fake);
    fakegwd_clear_journal(w.fake);
    gwc_destroy(c);
    if (bare != batch || bare.size() != LINES) {
        fprintf(stderr, "the batch and the bare loop sent different requests\n");
        abort();
    }
}

void BM_BareAddHostLoop(benchmark::State &state)
{
    check_same();
    gwc_connection *c = gwc_create(fakegwd_path(world().fake), nullptr, nullptr, 0);
    auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        run_bare(c);
        fakegwd_clear_journal(world().fake); // on both sides, so the ratio holds
    }
    bare_ns =
        std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count() /
        static_cast<double>(state.iterations());
    gwc_destroy(c);
}

void BM_UgwBatchAddHosts(benchmark::State &state)
{
    auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        run_batch();
        fakegwd_clear_journal(world().fake); // on both sides, so the ratio holds
    }
    double ns =
        std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count() /
        static_cast<double>(state.iterations());
    if (bare_ns > 0) state.counters["ratio_vs_bare"] = ns / bare_ns;
}

} // namespace

BENCHMARK(BM_BareAddHostLoop)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);
BENCHMARK(BM_UgwBatchAddHosts)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

int main(int argc, char **argv)
{
    return bench_main_pinned(argc, argv);
}
