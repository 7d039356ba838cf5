// The shared-memory table readers against objects made by the stand-in's
// writer and against hand-made (broken) objects, in a temporary SHMDIR.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <map>
#include <set>
#include <string>
#include <sys/mman.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "common/log.h"
#include "tools/fernrelayd/shm_writer.h"
#include "utility/fdb.h"
#include "utility/mdb.h"
#include "utility/shmdb.h"

namespace
{

class ShmdbTest : public testing::Test
{
  protected:
    std::string dir;

    void SetUp() override
    {
        std::string tmpl = testing::TempDir() + "shmdb-XXXXXX";
        ASSERT_TRUE(mkdtemp(tmpl.data()));
        dir = tmpl + "/";
        setenv("SHMDIR", dir.c_str(), 1);
    }
    void TearDown() override
    {
        if (DIR *d = opendir(dir.c_str())) {
            while (dirent *e = readdir(d))
                if (e->d_name[0] != '.' || strlen(e->d_name) > 2) unlink((dir + e->d_name).c_str());
            closedir(d);
        }
        rmdir(dir.c_str());
        unsetenv("SHMDIR");
    }

    // A raw object: header fields, then the bytes as given.
    void raw(const std::string &name, size_t bytes, uint32_t key_bits, uint32_t ports,
             uint64_t state, uint32_t seed = 0x12345678)
    {
        std::vector<uint8_t> b(bytes);
        auto put = [&](size_t at, const void *v, size_t n) {
            if (at + n <= b.size()) memcpy(b.data() + at, v, n);
        };
        put(SHMDB_HDR_STATE, &state, 8);
        put(SHMDB_HDR_SEED, &seed, 4);
        put(SHMDB_HDR_KEY_BITS, &key_bits, 4);
        put(SHMDB_HDR_PORTS, &ports, 4);
        int fd = open((dir + name).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(write(fd, b.data(), b.size()), static_cast<ssize_t>(b.size()));
        close(fd);
    }
};

uint64_t mac_key(const uint8_t m[6])
{
    return shmdb_key(m, 48);
}

void mac_of(uint64_t k, uint8_t m[6])
{
    for (int i = 0; i < 6; i++)
        m[i] = static_cast<uint8_t>(k >> (40 - 8 * i));
}

// The log lines of one scope, at every level.
std::vector<std::string> logged;
void log_line(int, const char *, unsigned, const char *fmt, ...)
{
    char line[256];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(line, sizeof(line), fmt, ap);
    va_end(ap);
    logged.push_back(line);
}
struct capture_log {
    log_hook_fn hook = log_hook;
    log_cfg cfg = log_config;
    capture_log()
    {
        logged.clear();
        log_hook = log_line;
        log_config.level = ULOG_DUMP;
        log_config.components = LOG_COMP_ALL;
    }
    ~capture_log()
    {
        log_hook = hook;
        log_config = cfg;
    }
};

using table_ptr = std::unique_ptr<shm_table, void (*)(shm_table *)>;
table_ptr writer(const char *name, uint32_t bits = 48, uint32_t ports = 0, unsigned exp = 4)
{
    return table_ptr(shm_table_create(name, bits, ports, exp),
                     [](shm_table *t) { shm_table_destroy(t, true); });
}

// Every entry of one pass, with how often each key came.
std::map<uint64_t, int> pass(shmdb_handle *h, int *error = nullptr)
{
    std::map<uint64_t, int> seen;
    uint8_t key[6];
    uint64_t v;
    int64_t i = 0;
    while ((i = shmdb_next(h, i, key, &v)) > 0)
        seen[mac_key(key)]++;
    if (error) *error = errno;
    return seen;
}

TEST(ShmdbHash, FollowsTheFormula)
{
    // seed + F(lo) + F(hi), F(x) = high + low half of x * 0x9E3779B9.
    EXPECT_EQ(shmdb_hash(0x12345678, 0x00005e0000fbull, 48), 0x5ab10e28u);
    EXPECT_EQ(shmdb_hash(0x12345678, 0xa0b1c2d3e4f5ull, 48), 0xf407c436u);
    const uint8_t zero[6] = {};
    EXPECT_EQ(shmdb_key(zero, 48), 0xffffffffffffull);
    EXPECT_EQ(shmdb_key(zero, 44), 0xfffffffffffull);
    const uint8_t group[6] = {0x01, 0x00, 0x5e, 0x00, 0x00, 0xfb};
    EXPECT_EQ(shmdb_key(group, 44), 0x1005e0000fbull); // bit 40 of 01:... stays
}

TEST_F(ShmdbTest, AttachRefusesBadObjects)
{
    const size_t h = shmdb_header_size();
    const uint64_t s10 = uint64_t{10} << SHMDB_STATE_EXP_SHIFT;
    struct {
        const char *what;
        size_t bytes;
        uint32_t bits, ports;
        uint64_t state;
        uint32_t seed;
        int err;
    } cases[] = {
        {"units not a power of two", h + 16 * 1000, 48, 0, s10, 1, EINVAL},
        {"smaller than the header", h - 8, 48, 0, s10, 1, EINVAL},
        {"header only", h, 48, 0, s10, 1, EINVAL},
        {"not a multiple of 16", h + 16 * 1024 + 8, 48, 0, s10, 1, EINVAL},
        {"key bits 0", h + 16 * 1024, 0, 0, s10, 1, EINVAL},
        {"key bits 49", h + 16 * 1024, 49, 0, s10, 1, EINVAL},
        {"key bits other than the module's", h + 16 * 1024, 44, 0, s10, 1, EINVAL},
        {"too many ports", h + 16 * 1024, 48, 257, s10, 1, EINVAL},
        {"state beyond the largest size", h + 16 * 1024, 48, 0, uint64_t{30} << 56, 1, EINVAL},
        {"seed never stored", h + 16 * 1024, 48, 0, s10, 0, EAGAIN},
    };
    for (auto &c : cases) {
        raw("eth9", c.bytes, c.bits, c.ports, c.state, c.seed);
        errno = 0;
        fdb *f = fdb_open("eth9");
        EXPECT_FALSE(f) << c.what;
        EXPECT_EQ(errno, c.err) << c.what;
        fdb_close(f);
    }
    {
        capture_log c;
        raw("eth9", h + 16 * 1000, 48, 0, s10);
        EXPECT_FALSE(fdb_open("eth9"));
        raw("eth9", h + 16 * 1024, 48, 0, s10);
        fdb *f = fdb_open("eth9");
        ASSERT_TRUE(f);
        fdb_close(f);
        std::vector<std::string> want = {"Bad size " + std::to_string(h + 16 * 1000) +
                                             " of shared memory object eth9",
                                         "FDB eth9: Mapped shared memory to 16.0 KiB"};
        EXPECT_EQ(logged, want);
    }

    // Names that would leave the directory, and a missing table.
    for (const char *name : {"../eth9", ".eth9", "a/b", "sixteen-bytes-xx", ""}) {
        errno = 0;
        EXPECT_FALSE(fdb_open(name)) << name;
        EXPECT_EQ(errno, EINVAL) << name;
    }
    errno = 0;
    EXPECT_FALSE(fdb_open("eth8"));
    EXPECT_EQ(errno, ENOENT);
}

TEST_F(ShmdbTest, LookupAndIterationOverAWrittenTable)
{
    auto t = writer("eth1");
    std::map<uint64_t, uint16_t> want;
    for (uint64_t i = 1; i <= 3000; i++) {
        uint64_t k = 0x001122000000ull + i * 7919;
        want[k] = static_cast<uint16_t>(i);
        ASSERT_EQ(shm_table_put(t.get(), k, i), 0);
    }
    // The zero key is stored as all ones.
    const uint8_t zero[6] = {};
    ASSERT_EQ(shm_table_put(t.get(), mac_key(zero), 77), 0);
    for (uint64_t i = 1; i <= 3000; i += 3)
        ASSERT_EQ(shm_table_del(t.get(), 0x001122000000ull + i * 7919), 0);
    for (uint64_t i = 1; i <= 3000; i += 3)
        want.erase(0x001122000000ull + i * 7919);
    want[0xffffffffffffull] = 77;

    fdb *f = fdb_open("eth1");
    ASSERT_TRUE(f);
    for (auto &[k, port] : want) {
        uint8_t m[6];
        mac_of(k, m);
        uint16_t got = 0;
        ASSERT_EQ(fdb_find_client(f, m, &got), 0) << std::hex << k;
        EXPECT_EQ(got, port);
    }
    uint16_t port;
    EXPECT_EQ(fdb_find_client(f, zero, &port), 0);
    EXPECT_EQ(port, 77);
    const uint8_t absent[6] = {0x00, 0x11, 0x22, 0x00, 0x00, 0x08},
                  deleted[6] = {0, 0x11, 0x22, 0, 0x1e, 0xef};
    errno = 0;
    EXPECT_EQ(fdb_find_client(f, absent, &port), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(fdb_find_client(f, deleted, &port), -1); // 1 * 7919: a tombstone
    EXPECT_EQ(errno, ENOENT);

    std::map<uint64_t, uint16_t> listed;
    ASSERT_EQ(fdb_list_clients(
                  f,
                  [](void *u, const uint8_t m[6], uint16_t p) {
                      auto &l = *static_cast<std::map<uint64_t, uint16_t> *>(u);
                      EXPECT_TRUE(l.emplace(mac_key(m), p).second);
                      return 0;
                  },
                  &listed),
              0);
    EXPECT_EQ(listed, want);

    fdb_stats st;
    ASSERT_EQ(fdb_get_stats(f, &st), 0);
    EXPECT_STREQ(st.name, "eth1");
    EXPECT_EQ(st.used, want.size());
    EXPECT_EQ(st.size, shm_table_capacity(t.get()));
    EXPECT_EQ(st.limit, SHMDB_ABSENT);
    EXPECT_EQ(st.aging, SHMDB_ABSENT);

    // After the writer doubled the table, the next lookup remaps first.
    uint32_t before = f->h.size;
    ASSERT_EQ(shm_table_double(t.get()), 0);
    uint8_t m[6];
    mac_of(want.begin()->first, m);
    EXPECT_EQ(fdb_find_client(f, m, &port), 0);
    EXPECT_EQ(f->h.size, 2 * before);
    fdb_close(f);
}

// A doubling caught half-way: entries in both halves, one only in the old.
TEST_F(ShmdbTest, EntryInBothHalvesIsReportedOnce)
{
    const size_t h = shmdb_header_size();
    const uint32_t b = 16, seed = 99;
    uint64_t state = uint64_t{4} << SHMDB_STATE_EXP_SHIFT | SHMDB_STATE_HALF | SHMDB_STATE_DOUBLED;
    std::vector<uint64_t> obj((h + 16 * 2 * b) / 8);
    uint64_t *half0 = obj.data() + h / 8, *half1 = half0 + 2 * b;
    auto place = [&](uint64_t *half, uint32_t n, uint64_t key, uint64_t value) {
        uint32_t i = shmdb_hash(seed, key, 48) & (n - 1);
        for (uint32_t step = 0; half[i]; step++)
            i = (i + step + 1) & (n - 1);
        half[i] = value << 48 | key;
    };
    place(half0, b, 0xa1, 1);     // old copy
    place(half1, 2 * b, 0xa1, 1); // moved
    place(half0, b, 0xa2, 2);     // not moved yet
    place(half1, 2 * b, 0xa3, 3); // inserted during the move
    raw("eth2", obj.size() * 8, 48, 0, state, seed);
    int fd = open((dir + "eth2").c_str(), O_WRONLY);
    ASSERT_EQ(pwrite(fd, obj.data() + h / 8, obj.size() * 8 - h, static_cast<off_t>(h)),
              static_cast<ssize_t>(obj.size() * 8 - h));
    close(fd);

    fdb *f = fdb_open("eth2");
    ASSERT_TRUE(f);
    std::map<uint64_t, int> want = {{0xa1, 1}, {0xa2, 1}, {0xa3, 1}};
    EXPECT_EQ(pass(&f->h), want);
    unsigned s;
    EXPECT_EQ(shmdb_capacity(&f->h, &s), 32);
    EXPECT_EQ(s, 4u);
    for (uint64_t k : {0xa1, 0xa2, 0xa3}) {
        uint8_t m[6];
        mac_of(k, m);
        uint16_t port;
        EXPECT_EQ(fdb_find_client(f, m, &port), 0);
        EXPECT_EQ(port, k - 0xa0);
    }

    // Copies land in the current half behind a pass that is already in the
    // old half: the old copies are still reported, once each.
    std::fill(obj.begin() + static_cast<long>(h / 8), obj.end(), 0);
    for (uint64_t k : {0xb1, 0xb2, 0xb4})
        place(half0, b, k, 1);
    fd = open((dir + "eth2").c_str(), O_WRONLY);
    ASSERT_EQ(pwrite(fd, obj.data() + h / 8, obj.size() * 8 - h, static_cast<off_t>(h)),
              static_cast<ssize_t>(obj.size() * 8 - h));
    close(fd);
    uint8_t key[6];
    uint64_t v;
    std::map<uint64_t, int> seen;
    int64_t i = shmdb_next(&f->h, 0, key, &v);
    ASSERT_GT(i, 32); // the current half is empty
    seen[mac_key(key)]++;
    for (uint64_t k : {0xb1, 0xb2, 0xb4})
        place(half1, 2 * b, k, 1);
    fd = open((dir + "eth2").c_str(), O_WRONLY);
    ASSERT_EQ(pwrite(fd, half1, 2 * b * 8, static_cast<off_t>(h + 16 * b)), ssize_t{2 * b * 8});
    close(fd);
    while ((i = shmdb_next(&f->h, i, key, &v)) > 0)
        seen[mac_key(key)]++;
    EXPECT_EQ(seen, (std::map<uint64_t, int>{{0xb1, 1}, {0xb2, 1}, {0xb4, 1}}));
    fdb_close(f);
}

TEST_F(ShmdbTest, ObjectThatLiesOrShrinksGivesAnError)
{
    auto t = writer("eth3");
    for (uint64_t k = 1; k < 50; k++)
        ASSERT_EQ(shm_table_put(t.get(), k, k), 0);
    fdb *f = fdb_open("eth3");
    ASSERT_TRUE(f);
    uint8_t m[6];
    mac_of(5, m);
    uint16_t port;
    ASSERT_EQ(fdb_find_client(f, m, &port), 0);

    // A state word announcing a size the object does not have: never mapped.
    shm_table_set_exponent(t.get(), 12);
    errno = 0;
    EXPECT_EQ(fdb_find_client(f, m, &port), -1);
    EXPECT_EQ(errno, EAGAIN);
    shm_table_set_exponent(t.get(), 7);

    // The object cut under the mapping: the SIGBUS becomes EIO.
    ASSERT_EQ(fdb_find_client(f, m, &port), 0);
    ASSERT_EQ(truncate((dir + "eth3").c_str(), 0), 0);
    errno = 0;
    EXPECT_EQ(fdb_find_client(f, m, &port), -1);
    EXPECT_EQ(errno, EIO);
    EXPECT_EQ(pass(&f->h).size(), 0u);
    EXPECT_EQ(errno, EIO);
    fdb_close(f);
}

// Slots lost while the header stays: those reads fail; once the object has
// its bytes back they are read again, not the pages that stood in for them.
TEST_F(ShmdbTest, ObjectThatShrinksAndGrowsBackIsReadAgain)
{
    auto t = writer("eth7", 48, 0, 10);
    for (uint64_t k = 1; k <= 300; k++)
        ASSERT_EQ(shm_table_put(t.get(), k * 0x9e3779b1ull, k), 0);
    fdb *f = fdb_open("eth7");
    ASSERT_TRUE(f);
    std::string path = dir + "eth7", bytes;
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    bytes.resize(static_cast<size_t>(st.st_size));
    int fd = open(path.c_str(), O_RDWR);
    ASSERT_EQ(read(fd, bytes.data(), bytes.size()), st.st_size);

    ASSERT_EQ(ftruncate(fd, 4096), 0);
    unsigned lost = 0;
    for (uint64_t k = 1; k <= 300; k++) {
        uint8_t m[6];
        mac_of(k * 0x9e3779b1ull & 0xffffffffffffull, m);
        uint16_t port;
        errno = 0;
        if (fdb_find_client(f, m, &port) < 0 && errno == EIO) lost++;
    }
    EXPECT_GT(lost, 0u);

    ASSERT_EQ(pwrite(fd, bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size()));
    close(fd);
    for (uint64_t k = 1; k <= 300; k++) {
        uint8_t m[6];
        mac_of(k * 0x9e3779b1ull & 0xffffffffffffull, m);
        uint16_t port = 0;
        ASSERT_EQ(fdb_find_client(f, m, &port), 0) << k;
        EXPECT_EQ(port, k);
    }
    int error = -1;
    EXPECT_EQ(pass(&f->h, &error).size(), 300u);
    EXPECT_EQ(error, 0);
    fdb_close(f);
}

// Only faults inside an attached table's mapping are taken: any other SIGBUS
// still ends the process.
TEST_F(ShmdbTest, OtherBusErrorsStillKill)
{
    auto t = writer("eth6");
    fdb *f = fdb_open("eth6"); // installs the handler
    ASSERT_TRUE(f);
    int fd = open((dir + "other").c_str(), O_RDWR | O_CREAT, 0644);
    ASSERT_EQ(ftruncate(fd, 4096), 0);
    void *p = mmap(nullptr, 4096, PROT_READ, MAP_SHARED, fd, 0);
    ASSERT_NE(p, MAP_FAILED);
    ASSERT_EQ(ftruncate(fd, 0), 0);
    EXPECT_DEATH(
        {
            uint8_t m[6] = {};
            uint16_t port;
            fdb_find_client(f, m, &port);
            printf("%d\n", *static_cast<volatile const uint8_t *>(p));
        },
        "");
    munmap(p, 4096);
    close(fd);
    fdb_close(f);
}

TEST(MdbGeometry, UnitsWidthAndKeyBits)
{
    struct {
        size_t ports;
        unsigned units, width, bits;
    } cases[] = {{40, 2, 20, 44},  {8, 1, 16, 48},  {32, 1, 32, 32}, {33, 2, 17, 47},
                 {256, 8, 32, 32}, {65, 3, 22, 42}, {1, 1, 16, 48}};
    for (auto &c : cases) {
        unsigned u, w, k;
        ASSERT_EQ(mdb_geometry(c.ports, &u, &w, &k), 0) << c.ports;
        EXPECT_EQ(u, c.units) << c.ports;
        EXPECT_EQ(w, c.width) << c.ports;
        EXPECT_EQ(k, c.bits) << c.ports;
    }
    unsigned u, w, k;
    EXPECT_EQ(mdb_geometry(0, &u, &w, &k), -1);
    EXPECT_EQ(mdb_geometry(257, &u, &w, &k), -1);
    errno = 0;
    EXPECT_FALSE(mdb_open("eth0", 300));
    EXPECT_EQ(errno, EINVAL);
}

TEST_F(ShmdbTest, MulticastGroupsAcrossUnits)
{
    // 70 ports: 3 units of 24 ports, 40 key bits.
    std::string out = shm_writer_command("mdb create eth4 70");
    ASSERT_EQ(out, "ok\n");
    const char *adds[] = {"01:00:5e:00:00:fb 0", "01:00:5e:00:00:fb 23", "01:00:5e:00:00:fb 24",
                          "01:00:5e:00:00:fb 69", "33:33:00:00:00:01 30"};
    for (const char *a : adds)
        ASSERT_EQ(shm_writer_command(std::string("mdb add eth4 ") + a), "ok\n") << a;

    mdb *m = mdb_open("eth4", 0); // finds units 0..2
    ASSERT_TRUE(m);
    EXPECT_EQ(m->units, 3u);
    EXPECT_EQ(m->width, 24u);
    EXPECT_EQ(m->key_bits, 40u);
    mdb_stats st;
    ASSERT_EQ(mdb_get_stats(m, &st), 0);
    EXPECT_STREQ(st.name, "eth4");
    EXPECT_EQ(st.units, 3);
    EXPECT_EQ(st.ports, 70);
    EXPECT_EQ(st.used, 4u); // the group in three units, the other in one
    EXPECT_EQ(st.size, 3u * 64);

    std::vector<std::string> listed;
    ASSERT_EQ(mdb_list_groups(
                  m,
                  [](void *u, const mdb_group *g) {
                      char text[32];
                      std::string row = mdb_group_text(g, text, sizeof(text));
                      for (unsigned i = 0; i < g->count; i++)
                          row += " " + std::to_string(g->ports[i]);
                      static_cast<std::vector<std::string> *>(u)->push_back(row);
                      return 0;
                  },
                  &listed),
              0);
    // The high byte is not stored: shown as the 40 stored bits.
    std::vector<std::string> want = {"005e0000fb/40 0 23 24 69", "3300000001/40 30"};
    EXPECT_EQ(listed, want);

    // Looked up by the low bits.
    const uint8_t group[6] = {0x01, 0x00, 0x5e, 0x00, 0x00, 0xfb},
                  other_high[6] = {0xff, 0x00, 0x5e, 0x00, 0x00, 0xfb},
                  absent[6] = {0x01, 0x00, 0x5e, 0x00, 0x00, 0x01};
    mdb_group g;
    ASSERT_EQ(mdb_find_group(m, group, &g), 0);
    EXPECT_EQ(g.count, 4);
    ASSERT_EQ(mdb_find_group(m, other_high, &g), 0);
    errno = 0;
    EXPECT_EQ(mdb_find_group(m, absent, &g), -1);
    EXPECT_EQ(errno, ENOENT);
    mdb_close(m);

    // With the right port count; with a wrong one the key bits disagree.
    m = mdb_open("eth4", 70);
    ASSERT_TRUE(m);
    mdb_close(m);
    EXPECT_FALSE(mdb_open("eth4", 40));
    shm_writer_shutdown();
}

TEST_F(ShmdbTest, TableListingTakesOnlyInterfaceTables)
{
    // "lo" exists everywhere; the other names are not interfaces, or broken.
    auto fdb_lo = writer("lo");
    auto foreign = writer("pulse-shm-1234");
    raw("lo:0", 100, 48, 0, 0); // a bad multicast unit
    ASSERT_EQ(shm_table_put(fdb_lo.get(), 0x1234, 3), 0);
    Ary rows;
    array_init(&rows, sizeof(fdb_stats));
    EXPECT_EQ(fdb_dump_tables(&rows), 1);
    EXPECT_STREQ(array_at<fdb_stats>(&rows, 0)->name, "lo");
    EXPECT_EQ(array_at<fdb_stats>(&rows, 0)->used, 1u);
    array_purge(&rows);
    array_init(&rows, sizeof(mdb_stats));
    EXPECT_EQ(mdb_dump_tables(&rows), 0);
    unlink((dir + "lo:0").c_str());
    ASSERT_EQ(shm_writer_command("mdb create lo 40"), "ok\n");
    EXPECT_EQ(mdb_dump_tables(&rows), 1);
    EXPECT_EQ(array_at<mdb_stats>(&rows, 0)->units, 2);
    EXPECT_EQ(array_at<mdb_stats>(&rows, 0)->width, 20);
    array_purge(&rows);
    shm_writer_shutdown();
}

TEST(FabricRows, MergeAndSelect)
{
    auto row = [](uint8_t local, uint8_t remote, uint32_t base) {
        std::vector<uint8_t> r(FAB_ROW);
        r[FAB_LOCAL_PORT] = local;
        r[FAB_REMOTE_PORT] = remote;
        for (uint32_t c = 0; c < FAB_COUNTER_COUNT; c++) {
            uint32_t v = base + c;
            memcpy(r.data() + FAB_COUNTERS + 4 * c, &v, 4);
        }
        return r;
    };
    std::vector<uint8_t> rows;
    for (auto &r : {row(0, 1, 10), row(0, 2, 100), row(0, 3, 1000), row(1, 0, 5), row(2, 0, 7),
                    row(2, 1, 0xffffffff)})
        rows.insert(rows.end(), r.begin(), r.end());
    size_t n = fabric_merge(rows.data(), 6);
    ASSERT_EQ(n, 3u);
    const uint32_t want[3][2] = {{1110, 1134}, {5, 13}, {6, 22}};
    for (uint8_t p = 0; p < 3; p++) {
        const uint8_t *r = fabric_find(rows.data(), n, p);
        ASSERT_TRUE(r);
        uint32_t first, last;
        memcpy(&first, r + FAB_COUNTERS, 4);
        memcpy(&last, r + FAB_COUNTERS + 4 * 8, 4);
        EXPECT_EQ(first, want[p][0]) << int(p);
        EXPECT_EQ(last, want[p][1]) << int(p);
    }
    EXPECT_FALSE(fabric_find(rows.data(), n, 3));

    std::vector<uint8_t> xsk(3 * XSK_ROW);
    for (uint32_t i = 0; i < 3; i++) {
        uint32_t index = 10 + i;
        memcpy(xsk.data() + i * XSK_ROW, &index, 4);
    }
    EXPECT_EQ(xsk_select(xsk.data(), 3, 11), xsk.data() + XSK_ROW);
    EXPECT_FALSE(xsk_select(xsk.data(), 3, 9));
}

} // namespace

namespace
{

template <class F> std::string json_of(F write)
{
    char *text = nullptr;
    size_t n = 0;
    FILE *out = open_memstream(&text, &n);
    json_writer json;
    json_init(&json, out);
    write(&json);
    json_flush(&json);
    fclose(out);
    std::string s(text, n);
    free(text);
    return s;
}

TEST(ShmdbJson, RecordMembers)
{
    fdb_stats fs = {"eth0", SHMDB_ABSENT, 1024, SHMDB_ABSENT, 3};
    mdb_stats ms = {"eth1", 2, 20, 40, SHMDB_ABSENT, SHMDB_ABSENT, 128, 5};
    mdb_group wide = {0x01005e0000fbull, 48, 2, {0, 33}}, narrow = {0x1005e0000fbull, 44, 1, {7}};
    const uint8_t mac[6] = {0x00, 0x16, 0x3e, 0xaa, 0xbb, 0xcc};
    std::vector<uint8_t> fab(FAB_ROW), xsk(XSK_ROW);
    fab[FAB_LOCAL_PORT] = 1;
    fab[FAB_REMOTE_PORT] = 2;
    for (uint32_t i = 0; i < FAB_COUNTER_COUNT; i++)
        memcpy(fab.data() + FAB_COUNTERS + 4 * i, &i, 4);
    uint32_t lo = 1;
    int16_t queue = -1;
    memcpy(xsk.data(), &lo, 4);
    memcpy(xsk.data() + XSK_QUEUE_ID, &queue, 2);
    xsk[XSK_ZERO_COPY] = 1;
    xsk[XSK_OPERATION] = 2;
    for (uint32_t i = 0; i < 12; i++) // starvations last in the row
        memcpy(xsk.data() + XSK_COUNTERS + 4 * i, &i, 4);
    struct {
        std::string got, want;
    } cases[] = {
        {json_of([&](json_writer *j) { fdb_json_table(j, &fs); }),
         R"({"fdbSharedName":"eth0","fdbTableSize":1024,"fdbAverageTime":null,"fdbAgingTime":null,"fdbTableLimit":null})"},
        {json_of([&](json_writer *j) { fdb_json_client(j, mac, 9); }),
         R"({"client":"00:16:3e:aa:bb:cc","port":9})"},
        {json_of([&](json_writer *j) { mdb_json_table(j, &ms); }),
         R"({"mdbSharedName":"eth1","mdbTableUnits":2,"mdbTableWidth":20,"mdbTablePorts":40,"mdbTableSize":128,"mdbTableLimit":null,"mdbAverageTime":null,"mdbAgingTime":null})"},
        {json_of([&](json_writer *j) { mdb_json_group(j, &wide); }),
         R"({"group":"01:00:5e:00:00:fb","ports":[0,33]})"},
        {json_of([&](json_writer *j) { mdb_json_group(j, &narrow); }),
         R"({"group":"1005e0000fb/44","ports":[7]})"},
        {json_of([&](json_writer *j) { fabric_json(j, fab.data()); }),
         R"({"fabLocalPort":1,"fabRemotePort":2,"fabRingSize":0,"fabChunkSize":0,"fabBufferSize":0,"fabBufferCount":0,"fabInputPackets":0,"fabInputBuffers":1,"fabInputErrors":2,"fabInputUndelivers":3,"fabOutputPackets":4,"fabOutputBuffers":5,"fabOutputErrors":6,"fabOutputOverruns":7,"fabReclaimStalls":8})"},
        {json_of([&](json_writer *j) { xsk_json(j, xsk.data()); }),
         R"({"xskIfIndex":{"IfIndex":1,"IfName":"lo"},"xskOperation":2,"xskQueueId":-1,"xskZeroCopy":true,"xskRingSize":0,"xskChunkSize":0,"xskBufferSize":1,"xskBufferCount":2,"xskFillRingAvail":3,"xskFillStarvations":11,"xskSendRingSubmit":4,"xskInputPackets":5,"xskInputDrops":6,"xskInputErrors":7,"xskOutputPackets":8,"xskOutputDrops":9,"xskOutputErrors":10})"},
    };
    for (auto &c : cases)
        EXPECT_EQ(c.got, c.want);
}

} // namespace
