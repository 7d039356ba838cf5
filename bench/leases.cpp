// Lease files beside plain anchors, side by side in one run: loading a log
// against reading it into a std::unordered_map, compaction against writing
// the same bytes the crash-safe way, a store against a bare 104-byte append;
// and the resident bytes a loaded lease costs.
#include <benchmark/benchmark.h>

#include "bench/pin.h"

#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <unordered_map>
#include <vector>

#include "common/log.h"
#include "common/mempool.h"
#include "common/timer.h"
#include "gateway/ugwd_table.h"

namespace {

using clk = std::chrono::steady_clock;

double since_ns(clk::time_point t0)
{
    return std::chrono::duration<double, std::nano>(clk::now() - t0).count();
}

std::string bench_dir()
{
    static std::string d = [] {
        char t[] = "/var/tmp/ugw-bench-leases-XXXXXX";
        return std::string(mkdtemp(t));
    }();
    return d;
}

ugwd_lease_rec make_rec(uint32_t client, uint32_t now)
{
    ugwd_lease_rec r{};
    r.uuid[0] = 0x42;
    r.uuid[15] = static_cast<uint8_t>(client % 7);
    r.mac[0] = 0x02;
    memcpy(r.mac + 2, &client, 4);
    snprintf(r.hostname, sizeof r.hostname, "station-%u", client);
    r.addr[0] = 10;
    memcpy(r.addr + 1, &client, 3);
    r.start = now;
    r.lease_time = 86400;
    r.max_msg_size = 1500;
    return r;
}

// n records of which a tenth supersede earlier ones.
std::string write_log(size_t n, const char *name)
{
    std::string path = bench_dir() + "/" + name;
    uint32_t now = static_cast<uint32_t>(clock_sec() + clock_offset_sec);
    std::vector<ugwd_lease_rec> recs;
    recs.reserve(n);
    size_t unique = n - n / 10;
    for (size_t i = 0; i < unique; i++)
        recs.push_back(make_rec(static_cast<uint32_t>(i), now - 100));
    for (size_t i = 0; i < n / 10; i++)
        recs.push_back(make_rec(static_cast<uint32_t>(i * 9 % unique), now - 50));
    FILE *f = fopen(path.c_str(), "wb");
    fwrite(recs.data(), sizeof(ugwd_lease_rec), recs.size(), f);
    fclose(f);
    return path;
}

struct loaded {
    ugwd_table *t = ugwd_table_create();
    mempool *pool = mempool_create(sizeof(ugwd_lease), nullptr, "struct ugwd_lease", __FILE__, __LINE__);
    list_link head;
    loaded() { list_init(&head); }
    int load(const std::string &path) { return ugwd_table_load_leases(t, path.c_str(), pool, &head); }
    ~loaded()
    {
        for (ugwd_lease *l : list_records_safe<&ugwd_lease::link>(&head)) {
            ugwd_table_remove_lease(t, l);
            list_remove(&l->link);
            mempool_release(pool, l);
        }
        ugwd_table_free(t);
        mempool_unref(pool);
    }
};

// The anchor's key: service UUID and client MAC.
using anchor_key = std::array<uint8_t, 22>;
struct anchor_hash {
    size_t operator()(const anchor_key &k) const
    {
        uint64_t h = 1469598103934665603ull;
        for (uint8_t b : k)
            h = (h ^ b) * 1099511628211ull;
        return h;
    }
};

void BM_Load(benchmark::State &state)
{
    size_t n = static_cast<size_t>(state.range(0));
    std::string path = write_log(n, "load");
    double ours = 0, anchor = 0;
    size_t live = 0;
    for (auto _ : state) {
        {
            loaded l;
            auto t0 = clk::now();
            l.load(path);
            double t = since_ns(t0);
            ours += t;
            state.SetIterationTime(t * 1e-9);
            live = ugwd_table_count_leases(l.t);
        }
        {
            std::unordered_map<anchor_key, ugwd_lease_rec, anchor_hash> m;
            auto t0 = clk::now();
            int fd = open(path.c_str(), O_RDONLY);
            std::vector<ugwd_lease_rec> buf(n);
            benchmark::DoNotOptimize(read(fd, buf.data(), n * sizeof(ugwd_lease_rec)));
            close(fd);
            for (const ugwd_lease_rec &r : buf) {
                anchor_key k;
                memcpy(k.data(), r.uuid, 16);
                memcpy(k.data() + 16, r.mac, 6);
                m[k] = r;
            }
            anchor += since_ns(t0);
            benchmark::DoNotOptimize(m.size());
        }
    }
    state.counters["live"] = static_cast<double>(live);
    state.counters["anchor_ms"] = anchor / 1e6 / static_cast<double>(state.iterations());
    state.counters["ours_over_anchor"] = ours / anchor;
}

long resident_bytes()
{
    long pages = 0, rss = 0;
    FILE *f = fopen("/proc/self/statm", "r");
    if (f) {
        if (fscanf(f, "%ld %ld", &pages, &rss) != 2)
            rss = 0;
        fclose(f);
    }
    return rss * sysconf(_SC_PAGESIZE);
}

// What the daemon keeps resident per loaded lease: the record, its links and
// the indexes' share.
void BM_ResidentPerLease(benchmark::State &state)
{
    size_t n = static_cast<size_t>(state.range(0));
    std::string path = write_log(n, "resident");
    double per = 0;
    for (auto _ : state) {
        loaded l;
        long before = resident_bytes();
        l.load(path);
        long after = resident_bytes();
        per = static_cast<double>(after - before) / ugwd_table_count_leases(l.t);
    }
    state.counters["bytes_per_lease"] = per;
}

std::string file_bytes(const std::string &path)
{
    std::string out;
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) return out;
    char buf[1 << 16];
    for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;)
        out.append(buf, static_cast<size_t>(n));
    close(fd);
    return out;
}

void fsync_dir(const std::string &dir)
{
    int d = open(dir.c_str(), O_RDONLY | O_DIRECTORY);
    fsync(d);
    close(d);
}

// Writes back whatever the file system still holds for the directory, so
// that a timed side's fsyncs carry none of the other side's leftovers (dirty
// pages, the blocks of the file a rename replaced, a journal commit).
void settle(const std::string &dir)
{
    int d = open(dir.c_str(), O_RDONLY | O_DIRECTORY);
    syncfs(d);
    close(d);
}

// Both sides' fsyncs wait on the disk, whose latency drifts with the other
// work of the machine: each side runs from a settled file system, replaces
// a file of the same size, and the side that goes first alternates.
void BM_Compact(benchmark::State &state)
{
    size_t n = static_cast<size_t>(state.range(0));
    std::string src = write_log(n + n / 9, "compact-src");
    std::string path = bench_dir() + "/compact";
    std::string anchor_path = bench_dir() + "/compact-anchor", anchor_tmp = anchor_path + ".tmp";
    rename(src.c_str(), path.c_str());
    loaded l;
    l.load(path);
    size_t live = ugwd_table_count_leases(l.t);
    // The anchor writes the very bytes a compaction writes, checked once.
    ugwd_table_dump_leases(l.t);
    std::string bytes = file_bytes(path);
    if (bytes.size() != live * sizeof(ugwd_lease_rec)) {
        state.SkipWithError("compaction wrote another number of records than live leases");
        return;
    }
    auto run_ours = [&] {
        settle(bench_dir());
        auto t0 = clk::now();
        ugwd_table_dump_leases(l.t);
        return since_ns(t0);
    };
    auto run_anchor = [&] {
        settle(bench_dir());
        auto t0 = clk::now();
        int fd = open(anchor_tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        benchmark::DoNotOptimize(write(fd, bytes.data(), bytes.size()));
        fsync(fd);
        close(fd);
        rename(anchor_tmp.c_str(), anchor_path.c_str());
        fsync_dir(bench_dir());
        return since_ns(t0);
    };
    run_anchor(); // the anchor, too, then replaces a file of the same size
    double ours = 0, anchor = 0;
    bool ours_first = true;
    for (auto _ : state) {
        double o, a;
        if (ours_first) {
            o = run_ours();
            a = run_anchor();
        } else {
            a = run_anchor();
            o = run_ours();
        }
        ours_first = !ours_first;
        ours += o;
        anchor += a;
        state.SetIterationTime(o * 1e-9);
    }
    if (file_bytes(path) != file_bytes(anchor_path))
        state.SkipWithError("compaction and anchor wrote different bytes");
    state.counters["live"] = static_cast<double>(live);
    state.counters["anchor_ms"] = anchor / 1e6 / static_cast<double>(state.iterations());
    state.counters["ours_over_anchor"] = ours / anchor;
}

// A store of a changed lease, compactions included as they fall due, beside
// a bare append of one record.
void BM_Store(benchmark::State &state)
{
    size_t n = static_cast<size_t>(state.range(0));
    std::string path = bench_dir() + "/store", anchor_path = bench_dir() + "/store-anchor";
    unlink(path.c_str());
    unlink(anchor_path.c_str());
    loaded l;
    l.load(path);
    uint32_t now = static_cast<uint32_t>(clock_sec());
    std::vector<ugwd_lease> leases(n);
    for (size_t i = 0; i < n; i++) {
        ugwd_lease_links_init(&leases[i]);
        leases[i].rec = make_rec(static_cast<uint32_t>(i), now);
        ugwd_table_store_lease(l.t, &leases[i]);
    }
    int fd = open(anchor_path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    ugwd_lease_rec r = leases[0].rec;
    constexpr size_t batch = 4096;
    double ours = 0, anchor = 0;
    size_t k = 0;
    for (auto _ : state) {
        auto t0 = clk::now();
        for (size_t i = 0; i < batch; i++) {
            ugwd_lease &x = leases[k++ % n];
            x.rec.max_msg_size++;
            ugwd_table_store_lease(l.t, &x);
        }
        double t = since_ns(t0);
        ours += t;
        state.SetIterationTime(t * 1e-9);
        t0 = clk::now();
        for (size_t i = 0; i < batch; i++) {
            r.max_msg_size++;
            benchmark::DoNotOptimize(write(fd, &r, sizeof r));
        }
        anchor += since_ns(t0);
    }
    close(fd);
    for (ugwd_lease &x : leases)
        ugwd_table_remove_lease(l.t, &x);
    double stores = static_cast<double>(state.iterations() * batch);
    state.counters["ours_ns"] = ours / stores;
    state.counters["anchor_ns"] = anchor / stores;
    state.counters["ours_over_anchor"] = ours / anchor;
    state.SetItemsProcessed(static_cast<int64_t>(stores));
}

} // namespace

BENCHMARK(BM_Load)->Arg(1000000)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ResidentPerLease)->Arg(1000000)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Compact)->Arg(100000)->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Store)->Arg(10000)->UseManualTime()->Iterations(50)->Unit(benchmark::kMicrosecond);

int main(int argc, char **argv)
{
    clock_refresh_offset();
    int rc = bench_main_pinned(argc, argv);
    std::system(("rm -rf '" + bench_dir() + "'").c_str());
    return rc;
}
