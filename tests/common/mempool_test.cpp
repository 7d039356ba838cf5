#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "common/bsearch.h"
#include "common/log.h"
#include "common/mempool.h"

namespace {

struct pool_deleter {
    void operator()(mempool *p) const { mempool_unref(p); }
};
using pool_ptr = std::unique_ptr<mempool, pool_deleter>;

mempool_info config(uint32_t options, uint32_t block, const char *name = "")
{
    mempool_info c{};
    snprintf(c.memName, sizeof(c.memName), "%s", name);
    c.memOptions = options;
    c.memBlockSize = block;
    return c;
}

// Sets an environment variable for the life of a scope.
struct scoped_env {
    std::string name;
    scoped_env(const char *n, const char *v) : name(n) { setenv(n, v, 1); }
    ~scoped_env() { unsetenv(name.c_str()); }
};

long meminfo(const char *key)
{
    FILE *f = fopen("/proc/meminfo", "re");
    if (!f)
        return -1;
    char line[128];
    long v = -1;
    size_t n = strlen(key);
    while (fgets(line, sizeof(line), f))
        if (strncmp(line, key, n) == 0 && line[n] == ':')
            v = strtol(line + n + 1, nullptr, 10);
    fclose(f);
    return v;
}

} // namespace

TEST(Mempool, ChunkGeometry)
{
    if (sysconf(_SC_PAGESIZE) != 4096)
        GTEST_SKIP() << "the expected figures assume 4096-byte pages";
    struct row {
        size_t size;
        uint32_t options, block;
        uint32_t object, chunk, per_chunk;
    } rows[] = {
        // 100-byte records are rounded up to 104 so every object stays 8-aligned.
        {100, MEMPOOL_OPT_MMAP, 16384, 104, 16384, 157},
        {104, 0, 16384, 104, 16384, 157},
        {20000, MEMPOOL_OPT_MMAP, 16384, 20000, 20480, 1}, // larger than the block
        {1, MEMPOOL_OPT_MMAP, 16384, 8, 20480, 2559},      // room for the free-list link
        {64, MEMPOOL_OPT_STATIC, 64 * 10, 64, 4096, 64},   // no chunk header
        {64, MEMPOOL_OPT_MMAP, 0, 64, 4096, 63},           // block 0: one object at least
    };
    for (const row &r : rows) {
        mempool_info c = config(r.options, r.block);
        pool_ptr p(mempool_create(r.size, &c, "struct x", __FILE__, __LINE__));
        ASSERT_TRUE(p) << r.size;
        EXPECT_EQ(p->info.memObjectSize, r.object) << r.size;
        EXPECT_EQ(p->info.memBlockSize, r.chunk) << r.size;
        EXPECT_EQ(p->info.memBlockObjects, r.per_chunk) << r.size;
    }
    pool_ptr builtin(mempool_create(100, nullptr, "struct x", __FILE__, __LINE__));
    ASSERT_TRUE(builtin);
    EXPECT_EQ(builtin->info.memOptions, MEMPOOL_OPT_MMAP);
    EXPECT_EQ(builtin->info.memBlockObjects, 157u);
}

TEST(Mempool, Names)
{
    struct row {
        const char *config_name, *file, *type;
        unsigned line;
        const char *name;
    } rows[] = {
        {"", "src/table", "struct flow", 1, "table:flow"},
        {"", "src/table", nullptr, 42, "table:42"},
        {"", "table.cpp", " \tstruct radius_entry", 1, "table.cpp:radius_entry"},
        {"", "/a/b/c.cpp", "struct  spaced", 1, "c.cpp:spaced"},
        {"packet", "x.cpp", "struct packet", 1, "packet"},
        {"", "a_rather_long_source_file_name.cpp", "struct a_long_type_name", 1,
         "a_rather_long_source_file_name."},
    };
    for (const row &r : rows) {
        mempool_info c = config(MEMPOOL_OPT_MMAP, 4096, r.config_name);
        pool_ptr p(mempool_create(16, &c, r.type, r.file, r.line));
        ASSERT_TRUE(p);
        EXPECT_STREQ(p->info.memName, r.name);
    }
}

TEST(Mempool, GrowsReusesAndNumbersObjects)
{
    pool_ptr p(mempool_create(100, nullptr, "struct x", __FILE__, __LINE__));
    ASSERT_TRUE(p);
    uint32_t per = p->info.memBlockObjects;
    EXPECT_EQ(p->info.memPoolSize, 0u);
    std::vector<char *> objs;
    for (uint32_t i = 0; i < 2 * per + 5; i++) {
        auto *o = static_cast<char *>(mempool_alloc(p.get()));
        ASSERT_TRUE(o);
        memset(o, static_cast<int>(i), 100);
        objs.push_back(o);
    }
    EXPECT_EQ(p->info.memTotalObjects, 3 * per);
    EXPECT_EQ(p->info.memUsedObjects, 2 * per + 5);
    EXPECT_EQ(p->info.memPoolSize, 3 * p->info.memBlockSize);
    EXPECT_EQ(p->info.memMmapPages, 3 * p->info.memBlockSize / p->info.memPageSize);
    EXPECT_EQ(p->info.memMallocBytes, 0u);
    // Ordinals follow allocation order from the oldest chunk, and no two
    // objects overlap.
    for (size_t i = 0; i < objs.size(); i++)
        ASSERT_EQ(mempool_index(p.get(), objs[i]), static_cast<ssize_t>(i));
    for (size_t i = 0; i < objs.size(); i++)
        ASSERT_EQ(objs[i][99], static_cast<char>(i));
    int local;
    EXPECT_EQ(mempool_index(p.get(), &local), -1);

    mempool_release(p.get(), objs[7]);
    mempool_release(p.get(), objs[3]);
    mempool_release(p.get(), nullptr);
    EXPECT_EQ(mempool_alloc(p.get()), objs[3]);
    EXPECT_EQ(mempool_alloc(p.get()), objs[7]);
    EXPECT_EQ(p->info.memUsedObjects, 2 * per + 5);

    auto *z = static_cast<unsigned char *>(mempool_zalloc(p.get()));
    ASSERT_TRUE(z);
    for (int i = 0; i < 100; i++)
        ASSERT_EQ(z[i], 0);
    // A recycled object comes back cleared, fresh ones come zero from the chunk.
    memset(z, 0xa5, 100);
    mempool_release(p.get(), z);
    auto *again = static_cast<unsigned char *>(mempool_zalloc(p.get()));
    ASSERT_EQ(again, z);
    for (int i = 0; i < 100; i++)
        ASSERT_EQ(again[i], 0);
}

TEST(Mempool, HeapChunksAreCountedAsMallocBytes)
{
    mempool_info c = config(0, 1000);
    pool_ptr p(mempool_create(48, &c, nullptr, __FILE__, __LINE__));
    ASSERT_TRUE(p);
    void *a = mempool_alloc(p.get());
    ASSERT_TRUE(a);
    EXPECT_EQ(p->info.memMallocBytes, p->info.memBlockSize);
    EXPECT_EQ(p->info.memMmapPages, 0u);
    mempool_reset(p.get());
    EXPECT_EQ(p->info.memMallocBytes, 0u);
}

TEST(Mempool, StaticPoolNeverGrows)
{
    const uint32_t n = 10;
    mempool_info c = config(MEMPOOL_OPT_STATIC, 64 * n);
    pool_ptr p(mempool_create(64, &c, "struct x", __FILE__, __LINE__));
    ASSERT_TRUE(p);
    uint32_t cap = p->info.memBlockObjects; // the chunk is a whole page
    ASSERT_GE(cap, n);
    std::vector<void *> objs;
    for (uint32_t i = 0; i < cap; i++) {
        objs.push_back(mempool_alloc(p.get()));
        ASSERT_TRUE(objs.back());
        EXPECT_EQ(mempool_index(p.get(), objs.back()), static_cast<ssize_t>(i));
    }
    errno = 0;
    EXPECT_EQ(mempool_alloc(p.get()), nullptr);
    EXPECT_EQ(errno, ENOMEM);
    mempool_release(p.get(), objs[4]);
    EXPECT_EQ(mempool_alloc(p.get()), objs[4]);

    // Reset keeps the one chunk and hands its objects out again from the start.
    uint32_t size = p->info.memPoolSize;
    mempool_reset(p.get());
    EXPECT_EQ(p->info.memPoolSize, size);
    EXPECT_EQ(p->info.memUsedObjects, 0u);
    EXPECT_EQ(mempool_alloc(p.get()), objs[0]);
}

TEST(Mempool, ResetReturnsGrowableMemory)
{
    pool_ptr p(mempool_create(256, nullptr, "struct x", __FILE__, __LINE__));
    ASSERT_TRUE(p);
    for (int i = 0; i < 200; i++)
        ASSERT_TRUE(mempool_alloc(p.get()));
    ASSERT_GT(p->info.memPoolSize, p->info.memBlockSize);
    mempool_reset(p.get());
    EXPECT_EQ(p->info.memPoolSize, 0u);
    EXPECT_EQ(p->info.memTotalObjects, 0u);
    EXPECT_EQ(p->info.memMmapPages, 0u);
    EXPECT_EQ(p->info.memUsedObjects, 0u);
    void *o = mempool_alloc(p.get());
    ASSERT_TRUE(o);
    EXPECT_EQ(p->info.memPoolSize, p->info.memBlockSize);
    EXPECT_EQ(mempool_index(p.get(), o), 0);
}

TEST(Mempool, GlobalListInCreationOrder)
{
    auto listed = [] {
        std::vector<mempool *> v;
        for (mempool *p = mempool_first(); p; p = mempool_next(p))
            v.push_back(p);
        return v;
    };
    size_t before = listed().size();
    pool_ptr a(mempool_create(8, nullptr, "struct a", __FILE__, __LINE__));
    pool_ptr b(mempool_create(8, nullptr, "struct b", __FILE__, __LINE__));
    std::vector<mempool *> v = listed();
    ASSERT_EQ(v.size(), before + 2);
    EXPECT_EQ(v[before], a.get());
    EXPECT_EQ(v[before + 1], b.get());
    // A second reference keeps the pool listed; the last one unlinks it.
    mempool_ref(a.get());
    mempool_unref(a.get());
    EXPECT_EQ(listed().size(), before + 2);
    a.reset();
    v = listed();
    ASSERT_EQ(v.size(), before + 1);
    EXPECT_EQ(v[before], b.get());
}

TEST(Mempool, TrackingFollowsTheEnvironment)
{
    {
        scoped_env env("MEMPOOL_TRACK", "0");
        pool_ptr p(mempool_create(32, nullptr, "struct x", __FILE__, __LINE__));
        EXPECT_FALSE(p->info.memOptions & MEMPOOL_OPT_TRACK);
        mempool_release(p.get(), mempool_alloc(p.get()));
        EXPECT_EQ(mempool_get_sites(p.get(), nullptr, 0), 0u);
    }
    for (const char *v : {"x", "-1", "1x", ""}) {
        scoped_env env("MEMPOOL_TRACK", v);
        pool_ptr p(mempool_create(32, nullptr, "struct x", __FILE__, __LINE__));
        EXPECT_FALSE(p->info.memOptions & MEMPOOL_OPT_TRACK) << v;
    }
    scoped_env env("MEMPOOL_TRACK", "2");
    pool_ptr p(mempool_create(32, nullptr, "struct x", __FILE__, __LINE__));
    EXPECT_TRUE(p->info.memOptions & MEMPOOL_OPT_TRACK);
}

TEST(Mempool, TrackingReportsAllocationSites)
{
    mempool_info c = config(MEMPOOL_OPT_MMAP | MEMPOOL_OPT_TRACK, 4096);
    pool_ptr p(mempool_create(32, &c, "struct x", __FILE__, __LINE__));
    ASSERT_TRUE(p);
    const char *longpath = "/very/long/source/tree/path/that/passes/31/chars/gateway.cpp";
    std::vector<void *> objs;
    for (int i = 0; i < 300; i++)
        objs.push_back(mempool_alloc_meta(p.get(), "b.cpp", static_cast<unsigned>(10 + i % 3)));
    objs.push_back(mempool_alloc_meta(p.get(), "a.cpp", 99));
    objs.push_back(mempool_alloc_meta(p.get(), longpath, 5));
    for (int i = 0; i < 30; i++)
        mempool_release_meta(p.get(), objs[static_cast<size_t>(i)], "r.cpp", 1);

    mempool_site sites[8];
    ASSERT_EQ(mempool_get_sites(p.get(), sites, 8), 5u);
    std::string tail = std::string(longpath).substr(strlen(longpath) - 31);
    struct {
        const char *file;
        uint32_t line, allocs, releases;
    } expect[] = {
        {"a.cpp", 99, 1, 0},     {"b.cpp", 10, 100, 10}, {"b.cpp", 11, 100, 10},
        {"b.cpp", 12, 100, 10}, {tail.c_str(), 5, 1, 0},
    };
    for (size_t i = 0; i < 5; i++) {
        EXPECT_STREQ(sites[i].memAllocFile, expect[i].file) << i;
        EXPECT_EQ(sites[i].memAllocLine, expect[i].line) << i;
        EXPECT_EQ(sites[i].memAllocCount, expect[i].allocs) << i;
        EXPECT_EQ(sites[i].memReleaseCount, expect[i].releases) << i;
    }
    EXPECT_EQ(mempool_get_sites(p.get(), sites, 2), 5u);

    // The wrapper macros record the caller's own line.
    void *o = mempool_alloc(p.get());
    unsigned here = __LINE__ - 1;
    mempool_site all[8];
    ASSERT_EQ(mempool_get_sites(p.get(), all, 8), 6u);
    bool found = false;
    for (const mempool_site &s : all)
        found |= s.memAllocLine == here && strstr(__FILE__, s.memAllocFile) != nullptr;
    EXPECT_TRUE(found);
    mempool_release(p.get(), o);

    mempool_reset(p.get());
    EXPECT_EQ(mempool_get_sites(p.get(), sites, 8), 0u);
}

TEST(MempoolDeathTest, TrackedPoolStopsOnForeignOrDoubleRelease)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    log_open(nullptr, 0, LOG_COMP_ALL, 0, nullptr);
    scoped_env env("MEMPOOL_TRACK", "1");
    pool_ptr p(mempool_create(64, nullptr, "struct x", __FILE__, __LINE__));
    ASSERT_TRUE(p);
    ASSERT_TRUE(p->info.memOptions & MEMPOOL_OPT_TRACK);
    void *o = mempool_alloc(p.get());
    ASSERT_TRUE(o);
    alignas(8) char foreign[64];
    EXPECT_DEATH(mempool_release_meta(p.get(), foreign, "gateway.cpp", 321),
                 "Foreign object 0x[0-9a-f]+\\[\\+64\\] released to mempool at gateway.cpp:321"
                 "(.|\n)*Assertion failed: false");
    mempool_release(p.get(), o);
    EXPECT_DEATH(mempool_release_meta(p.get(), o, "twice.cpp", 7),
                 "Foreign object .* released to mempool at twice.cpp:7");
    log_close();
}

TEST(Mempool, SharedPoolIsSeenByAnotherProcess)
{
    // Static and shared: one chunk without header, so an object's ordinal
    // times the object size is its offset in the memfd.
    mempool_info c = config(MEMPOOL_OPT_SHARED | MEMPOOL_OPT_STATIC, 64 * 16, "shared-test");
    pool_ptr p(mempool_create(64, &c, "struct x", __FILE__, __LINE__));
    ASSERT_TRUE(p);
    EXPECT_TRUE(p->info.memOptions & MEMPOOL_OPT_MMAP);
    ASSERT_GE(p->memfd, 0);
    char link[64], target[256];
    snprintf(link, sizeof(link), "/proc/self/fd/%d", p->memfd);
    ssize_t tl = readlink(link, target, sizeof(target) - 1);
    ASSERT_GT(tl, 0);
    target[tl] = '\0';
    EXPECT_NE(strstr(target, "memfd:shared-test"), nullptr) << target;

    auto *a = static_cast<char *>(mempool_alloc(p.get()));
    auto *b = static_cast<char *>(mempool_alloc(p.get()));
    ASSERT_TRUE(a && b);
    off_t off_a = mempool_index(p.get(), a) * 64, off_b = mempool_index(p.get(), b) * 64;
    strcpy(a, "before fork");

    int to_child[2], to_parent[2];
    ASSERT_EQ(pipe(to_child), 0);
    ASSERT_EQ(pipe(to_parent), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        // The child maps the file afresh, as the data plane does.
        int rc = 0;
        char *m = static_cast<char *>(
            mmap(nullptr, p->info.memBlockSize, PROT_READ | PROT_WRITE, MAP_SHARED, p->memfd, 0));
        char byte;
        if (m == MAP_FAILED || read(to_child[0], &byte, 1) != 1)
            _exit(2);
        if (strcmp(m + off_a, "after fork") != 0)
            rc = 3;
        strcpy(m + off_b, "from the child");
        if (write(to_parent[1], "x", 1) != 1)
            rc = 4;
        _exit(rc);
    }
    strcpy(a, "after fork");
    ASSERT_EQ(write(to_child[1], "x", 1), 1);
    char byte;
    ASSERT_EQ(read(to_parent[0], &byte, 1), 1);
    int status;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_STREQ(b, "from the child");
    for (int fd : {to_child[0], to_child[1], to_parent[0], to_parent[1]})
        close(fd);
}

TEST(Mempool, SharedGrowablePoolExtendsItsFile)
{
    mempool_info c = config(MEMPOOL_OPT_SHARED, 4096);
    pool_ptr p(mempool_create(512, &c, "struct x", __FILE__, __LINE__));
    ASSERT_TRUE(p);
    // The first chunk is mapped at creation.
    EXPECT_EQ(p->info.memPoolSize, p->info.memBlockSize);
    for (uint32_t i = 0; i < 3 * p->info.memBlockObjects; i++)
        ASSERT_TRUE(mempool_alloc(p.get()));
    EXPECT_EQ(lseek(p->memfd, 0, SEEK_END), static_cast<off_t>(p->info.memPoolSize));
    EXPECT_EQ(p->info.memPoolSize, 3 * p->info.memBlockSize);
}

TEST(Mempool, HugePagePoolFallsBackWithoutReservedPages)
{
    long huge_kb = meminfo("Hugepagesize");
    if (huge_kb <= 0)
        GTEST_SKIP() << "the kernel has no huge pages";
    long free_pages = meminfo("HugePages_Free");
    // Ask for more huge pages than are free, with a margin for the four that
    // the root test may reserve meanwhile, so the huge mapping must fail.
    uint64_t block = static_cast<uint64_t>(free_pages + 8) * static_cast<uint64_t>(huge_kb) * 1024;
    if (block > UINT32_MAX / 2)
        GTEST_SKIP() << "too many huge pages are free to exhaust them";

    mempool_info c = config(MEMPOOL_OPT_MMAP | MEMPOOL_OPT_HUGEPAGES, static_cast<uint32_t>(block));
    pool_ptr p(mempool_create(4096, &c, "struct x", __FILE__, __LINE__));
    ASSERT_TRUE(p);
    EXPECT_EQ(p->info.memHugeSize, static_cast<uint32_t>(huge_kb * 1024));
    EXPECT_EQ(p->info.memBlockSize % p->info.memHugeSize, 0u);
    auto *o = static_cast<char *>(mempool_alloc(p.get()));
    ASSERT_TRUE(o);
    memset(o, 1, 4096);
    EXPECT_EQ(p->info.memHugePages, 0u);
    EXPECT_EQ(p->info.memMmapPages, p->info.memBlockSize / p->info.memPageSize);

    // A shared pool falls back to a normal memfd and drops the option.
    mempool_info s = config(MEMPOOL_OPT_SHARED | MEMPOOL_OPT_HUGEPAGES, static_cast<uint32_t>(block));
    pool_ptr q(mempool_create(4096, &s, "struct x", __FILE__, __LINE__));
    ASSERT_TRUE(q);
    EXPECT_FALSE(q->info.memOptions & MEMPOOL_OPT_HUGEPAGES);
    EXPECT_EQ(q->info.memHugePages, 0u);
    EXPECT_GT(q->info.memMmapPages, 0u);
    ASSERT_TRUE(mempool_alloc(q.get()));
}

TEST(Mempool, HugePagesWhenReservedNeedsRoot)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "reserving huge pages needs root";
    long huge_kb = meminfo("Hugepagesize");
    if (huge_kb <= 0)
        GTEST_SKIP() << "the kernel has no huge pages";
    const char *knob = "/proc/sys/vm/nr_hugepages";
    FILE *f = fopen(knob, "re");
    ASSERT_TRUE(f);
    long old = 0;
    ASSERT_EQ(fscanf(f, "%ld", &old), 1);
    fclose(f);
    auto set = [&](long n) {
        FILE *w = fopen(knob, "we");
        if (!w)
            return false;
        bool ok = fprintf(w, "%ld\n", n) > 0;
        return fclose(w) == 0 && ok;
    };
    std::unique_ptr<void, std::function<void(void *)>> restore(reinterpret_cast<void *>(1),
                                                              [&](void *) { set(old); });
    if (!set(old + 4))
        GTEST_SKIP() << "cannot write " << knob;
    if (meminfo("HugePages_Free") < 2)
        GTEST_SKIP() << "the kernel could not reserve huge pages (memory too fragmented)";

    uint32_t huge = static_cast<uint32_t>(huge_kb * 1024);
    // Half a huge page of objects plus the chunk header round up to one huge page.
    mempool_info c = config(MEMPOOL_OPT_MMAP | MEMPOOL_OPT_HUGEPAGES, huge / 2);
    pool_ptr p(mempool_create(2048, &c, "struct x", __FILE__, __LINE__));
    ASSERT_TRUE(p);
    auto *o = static_cast<char *>(mempool_alloc(p.get()));
    ASSERT_TRUE(o);
    memset(o, 7, 2048);
    EXPECT_EQ(p->info.memHugePages, 1u);
    EXPECT_EQ(p->info.memMmapPages, 0u);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(p->chunks) % huge, 0u);

    mempool_info s = config(MEMPOOL_OPT_SHARED | MEMPOOL_OPT_HUGEPAGES, huge / 2);
    pool_ptr q(mempool_create(2048, &s, "struct x", __FILE__, __LINE__));
    ASSERT_TRUE(q);
    EXPECT_TRUE(q->info.memOptions & MEMPOOL_OPT_HUGEPAGES);
    EXPECT_EQ(q->info.memHugePages, 1u);
    auto *so = static_cast<char *>(mempool_alloc(q.get()));
    ASSERT_TRUE(so);
    memset(so, 9, 2048);
    p.reset();
    q.reset();
    ASSERT_TRUE(set(old));
    restore.release();
}

TEST(Mempool, MergeStatisticsAndSites)
{
    mempool_info a{}, b{};
    strcpy(a.memName, "table:flow");
    strcpy(b.memName, "table:flow");
    a.memOptions = MEMPOOL_OPT_MMAP;
    b.memOptions = MEMPOOL_OPT_SHARED;
    a.memObjectSize = 64, b.memObjectSize = 96;
    a.memUsedObjects = 3, b.memUsedObjects = 4;
    a.memHugePages = 1, b.memHugePages = 2;
    a.memPageSize = 4096, b.memPageSize = 4096;
    mempool_info_merge(&a, &b);
    EXPECT_EQ(a.memOptions, MEMPOOL_OPT_MMAP | MEMPOOL_OPT_SHARED);
    EXPECT_EQ(a.memObjectSize, 96u);
    EXPECT_EQ(a.memUsedObjects, 7u);
    EXPECT_EQ(a.memHugePages, 3u);
    EXPECT_EQ(a.memPageSize, 4096u);

    mempool_site x[3] = {{"a.cpp", 1, 5, 1}, {"b.cpp", 2, 3, 3}, {"b.cpp", 9, 1, 0}};
    mempool_site y[2] = {{"b.cpp", 2, 10, 4}, {"c.cpp", 1, 1, 1}};
    mempool_site out[5];
    size_t n = bmerge(out, x, 3, y, 2, sizeof(mempool_site), mempool_site_compare,
                      mempool_site_merge);
    ASSERT_EQ(n, 4u);
    EXPECT_STREQ(out[1].memAllocFile, "b.cpp");
    EXPECT_EQ(out[1].memAllocCount, 13u);
    EXPECT_EQ(out[1].memReleaseCount, 7u);
    EXPECT_EQ(out[2].memAllocLine, 9u);
    EXPECT_STREQ(out[3].memAllocFile, "c.cpp");

    // Addresses far apart still order correctly (a 32-bit difference would not).
    uintptr_t lo[1] = {0x10}, hi[1] = {static_cast<uintptr_t>(0x10) + (uintptr_t{1} << 32) * 3};
    EXPECT_LT(mempool_compare_int(lo, hi), 0);
    EXPECT_GT(mempool_compare_int(hi, lo), 0);
    EXPECT_EQ(mempool_compare_int(lo, lo), 0);
}

#if defined(__SANITIZE_ADDRESS__)
TEST(MempoolDeathTest, ReleasedObjectsArePoisonedUnderAsan)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    pool_ptr p(mempool_create(64, nullptr, "struct x", __FILE__, __LINE__));
    auto *o = static_cast<volatile char *>(mempool_alloc(p.get()));
    o[63] = 1;
    mempool_release(p.get(), const_cast<char *>(o));
    EXPECT_DEATH(o[8] = 2, "use-after-poison");
}
#endif

// A static pool's chunk outlives a reset with its old contents; growable
// pools hand out fresh objects zero whatever backs their chunks.
TEST(Mempool, ZallocClearsWhateverBacksTheChunk)
{
    for (uint32_t options : {0u, uint32_t(MEMPOOL_OPT_MMAP), uint32_t(MEMPOOL_OPT_STATIC)}) {
        SCOPED_TRACE(options);
        mempool_info c = config(options, 4096);
        pool_ptr p(mempool_create(64, &c, nullptr, __FILE__, __LINE__));
        ASSERT_TRUE(p);
        uint32_t per = p->info.memBlockObjects;
        for (uint32_t i = 0; i < per; i++)
            memset(mempool_alloc(p.get()), 0xa5, 64);
        mempool_reset(p.get());
        for (uint32_t i = 0; i < per + 1; i++) {
            auto *z = static_cast<unsigned char *>(mempool_zalloc(p.get()));
            if (!z) {
                ASSERT_TRUE(options & MEMPOOL_OPT_STATIC);
                break;
            }
            for (int b = 0; b < 64; b++)
                ASSERT_EQ(z[b], 0) << i;
        }
    }
}
