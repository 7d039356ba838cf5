// Readers against a writer that inserts, deletes, rehashes and doubles while
// they list and look up: entries the writer leaves alone are listed exactly
// once per pass and found by every lookup.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <dirent.h>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "tools/fernrelayd/shm_writer.h"
#include "utility/fdb.h"

namespace
{

TEST(ShmdbChurn, UntouchedEntriesSurviveMoves)
{
    std::string dir = testing::TempDir() + "shmdb-churn-XXXXXX";
    ASSERT_TRUE(mkdtemp(dir.data()));
    dir += "/";
    setenv("SHMDIR", dir.c_str(), 1);
    shm_table *t = shm_table_create("eth5", 48, 0, 10);
    ASSERT_TRUE(t);
    std::map<uint64_t, uint16_t> untouched;
    for (uint64_t i = 1; i <= 2000; i++) {
        uint64_t k = 0x00aa00000000ull | (i * 2654435761u & 0xffffffff);
        untouched[k] = static_cast<uint16_t>(i);
        ASSERT_EQ(shm_table_put(t, k, i), 0);
    }
    fdb *f = fdb_open("eth5");
    ASSERT_TRUE(f);

    std::atomic<bool> done{false};
    unsigned resizes = 0;
    std::thread writer([&] {
        std::mt19937_64 rng(7);
        std::vector<uint64_t> mine;
        for (unsigned n = 0; n < 100000; n++) {
            uint64_t k = 0x02ce00000000ull | (rng() & 0xffffffff);
            if (shm_table_put(t, k, n & 0xffff) == 0) mine.push_back(k);
            if (n % 3 == 2) { // a third of them go again
                size_t i = rng() % mine.size();
                shm_table_del(t, mine[i]);
                mine[i] = mine.back();
                mine.pop_back();
            }
            if (n % 20000 == 19999) {
                shm_table_rehash(t);
                resizes++;
            }
        }
        for (uint64_t k : mine)
            shm_table_del(t, k);
        done = true;
    });

    unsigned passes = 0, lookups = 0, retried = 0;
    while (!done || passes == 0) {
        std::map<uint64_t, int> seen;
        uint8_t key[6];
        uint64_t value;
        int64_t i = 0;
        while ((i = shmdb_next(&f->h, i, key, &value)) > 0) {
            uint64_t k = 0;
            for (int b = 0; b < 6; b++)
                k = k << 8 | key[b];
            seen[k]++;
        }
        if (errno == EAGAIN) {
            retried++;
            continue;
        }
        ASSERT_EQ(errno, 0) << strerror(errno);
        passes++;
        for (auto &[k, port] : untouched)
            ASSERT_EQ(seen[k], 1) << std::hex << k << " in pass " << std::dec << passes;
        for (auto &[k, count] : seen)
            ASSERT_EQ(count, 1) << std::hex << k;
        for (auto &[k, port] : untouched) {
            for (int b = 0; b < 6; b++)
                key[b] = static_cast<uint8_t>(k >> (40 - 8 * b));
            uint16_t got = 0;
            ASSERT_EQ(fdb_find_client(f, key, &got), 0) << std::hex << k;
            ASSERT_EQ(got, port);
            lookups++;
        }
    }
    writer.join();
    EXPECT_GT(shm_table_capacity(t), 1024u); // it doubled on the way
    EXPECT_EQ(resizes, 5u);
    fdb_stats st;
    ASSERT_EQ(fdb_get_stats(f, &st), 0);
    EXPECT_EQ(st.used, untouched.size());
    RecordProperty("passes", static_cast<int>(passes));
    RecordProperty("retried", static_cast<int>(retried));
    fdb_close(f);
    shm_table_destroy(t, true);
    rmdir(dir.c_str());
    unsetenv("SHMDIR");
}

} // namespace
