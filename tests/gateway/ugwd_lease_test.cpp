// Lease files: the load and compaction rules, and crashes mid-write.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "common/mempool.h"
#include "common/timer.h"
#include "gateway/ugwd_table.h"

namespace {

struct fixture {
    std::string dir, path;
    ugwd_table *t = ugwd_table_create();
    mempool *pool = mempool_create(sizeof(ugwd_lease), nullptr, "struct ugwd_lease", __FILE__, __LINE__);
    list_link head;
    fixture()
    {
        char d[] = "/tmp/ugw-lease-XXXXXX";
        dir = mkdtemp(d);
        path = dir + "/leases";
        list_init(&head);
    }
    ~fixture()
    {
        ugwd_table_free(t);
        mempool_unref(pool);
        std::system(("rm -rf '" + dir + "'").c_str());
    }
    off_t size() const
    {
        struct stat st;
        return stat(path.c_str(), &st) < 0 ? -1 : st.st_size;
    }
};

// A record as the file holds it: wall-clock start.
ugwd_lease_rec rec(uint8_t mac, uint8_t addr, int64_t age, uint32_t lease_time)
{
    ugwd_lease_rec r{};
    r.mac[5] = mac;
    r.addr[0] = addr;
    r.start = static_cast<uint32_t>(clock_sec() + clock_offset_sec - age);
    r.lease_time = lease_time;
    memset(r.hostname, 'h', sizeof r.hostname);
    return r;
}

void write_file(const std::string &path, const std::vector<ugwd_lease_rec> &recs, size_t extra = 0)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, recs.data(), recs.size() * sizeof(ugwd_lease_rec)),
              static_cast<ssize_t>(recs.size() * sizeof(ugwd_lease_rec)));
    std::vector<uint8_t> junk(extra, 0xaa);
    if (extra) {
        ASSERT_EQ(write(fd, junk.data(), extra), static_cast<ssize_t>(extra));
    }
    close(fd);
}

struct load_case {
    const char *name;
    std::vector<ugwd_lease_rec> (*recs)(); // made just before the load: ages are from now
    size_t extra;
    size_t live;
};

TEST(UgwdLease, LoadCases)
{
    using recs = std::vector<ugwd_lease_rec>;
    const load_case cases[] = {
        {"empty file", [] { return recs{}; }, 0, 0},
        {"105 bytes: one record", [] { return recs{rec(1, 10, 10, 100)}; }, 1, 1},
        {"later expired record wins",
         [] {
             return recs{rec(1, 10, 10, 100), rec(1, 11, 200, 100)};
         },
         0, 0},
        {"deletion record",
         [] {
             return recs{rec(1, 10, 10, 100), rec(1, 0, 0, 100)};
         },
         0, 0},
        {"expiring exactly now is purged", [] { return recs{rec(1, 10, 100, 100)}; }, 0, 0},
        {"one second left", [] { return recs{rec(1, 10, 99, 100)}; }, 0, 1},
        {"two clients",
         [] {
             return recs{rec(1, 10, 1, 100), rec(2, 11, 1, 100)};
         },
         0, 2},
        // The wall clock was set back since the record was written.
        {"started in the future", [] { return recs{rec(1, 10, -30, 100)}; }, 0, 1},
    };
    for (const load_case &c : cases) {
        SCOPED_TRACE(c.name);
        // The boundary cases hold only if the load reads the second the
        // records were made in; a case that straddles a second runs again.
        for (int attempt = 0;; attempt++) {
            fixture f;
            auto release = [&f] {
                for (ugwd_lease *l : list_records_safe<&ugwd_lease::link>(&f.head)) {
                    ugwd_table_remove_lease(f.t, l);
                    list_remove(&l->link);
                    mempool_release(f.pool, l);
                }
            };
            clock_refresh_offset();
            time_t made = time(nullptr);
            recs r = c.recs();
            write_file(f.path, r, c.extra);
            ASSERT_EQ(ugwd_table_load_leases(f.t, f.path.c_str(), f.pool, &f.head), 0);
            if (time(nullptr) != made && attempt < 5) {
                release();
                continue;
            }
            EXPECT_EQ(ugwd_table_count_leases(f.t), c.live);
            // The torn tail is gone, so later appends stay aligned.
            EXPECT_EQ(f.size() % sizeof(ugwd_lease_rec), 0);
            for (ugwd_lease *l : list_records<&ugwd_lease::link>(&f.head)) {
                EXPECT_EQ(reinterpret_cast<const char *>(&l->rec)[UGWD_LEASE_HOSTNAME_END], 0);
                // Held from the load at most: never past its duration from now.
                EXPECT_LE(l->rec.start, clock_sec());
            }
            ASSERT_EQ(ugwd_table_dump_leases(f.t), 0);
            // With no live lease a compaction leaves the file as it is.
            size_t kept = c.live ? c.live : r.size();
            EXPECT_EQ(f.size(), static_cast<off_t>(kept * sizeof(ugwd_lease_rec)));
            release();
            break;
        }
    }
}

TEST(UgwdLease, StoreIsIdempotentAndCompactsAtFourTimesLive)
{
    clock_refresh_offset();
    fixture f;
    ASSERT_EQ(ugwd_table_load_leases(f.t, f.path.c_str(), f.pool, &f.head), 0);
    std::vector<ugwd_lease> leases(10);
    for (int i = 0; i < 10; i++) {
        ugwd_lease &l = leases[i];
        l = ugwd_lease{};
        ugwd_lease_links_init(&l);
        l.rec = rec(static_cast<uint8_t>(i), 10, 0, 1000);
        l.rec.start = clock_sec();
        ASSERT_EQ(ugwd_table_store_lease(f.t, &l), 0);
        // The sweep stores the same lease again: no second index entry, no record.
        ASSERT_EQ(ugwd_table_store_lease(f.t, &l), 0);
    }
    EXPECT_EQ(ugwd_table_count_leases(f.t), 10u);
    ASSERT_EQ(ugwd_table_dump_leases(f.t), 0);
    EXPECT_EQ(f.t->leases.records, 10u);
    // Appends up to counter 40 do not compact; the one made at 41 does.
    for (int n = 10; n <= 40; n++) {
        leases[0].rec.lease_time++;
        ASSERT_EQ(ugwd_table_store_lease(f.t, &leases[0]), 0);
    }
    EXPECT_EQ(f.t->leases.records, 41u);
    leases[0].rec.lease_time++;
    ASSERT_EQ(ugwd_table_store_lease(f.t, &leases[0]), 0);
    EXPECT_EQ(f.t->leases.records, 10u);
    EXPECT_EQ(f.size(), static_cast<off_t>(10 * sizeof(ugwd_lease_rec)));
    // Dropping twice writes one deletion record.
    ASSERT_EQ(ugwd_table_drop_lease(f.t, &leases[1]), 0);
    ASSERT_EQ(ugwd_table_drop_lease(f.t, &leases[1]), 0);
    EXPECT_EQ(f.size(), static_cast<off_t>(11 * sizeof(ugwd_lease_rec)));
    for (ugwd_lease &l : leases)
        ugwd_table_drop_lease(f.t, &l);
}

// Compaction writes each MAC's leases together, oldest start first.
TEST(UgwdLease, CompactionGroupsEachMacByStart)
{
    clock_refresh_offset();
    fixture f;
    ASSERT_EQ(ugwd_table_load_leases(f.t, f.path.c_str(), f.pool, &f.head), 0);
    std::vector<ugwd_lease> leases(40);
    for (int i = 0; i < 40; i++) {
        ugwd_lease &l = leases[i];
        l = ugwd_lease{};
        ugwd_lease_links_init(&l);
        l.rec = rec(static_cast<uint8_t>(i % 5), 10, 0, 1000);
        l.rec.uuid[0] = static_cast<uint8_t>(i); // one service per lease of a MAC
        l.rec.start = clock_sec() - static_cast<uint32_t>(i * 7 % 40);
        ASSERT_EQ(ugwd_table_store_lease(f.t, &l), 0);
    }
    ASSERT_EQ(ugwd_table_dump_leases(f.t), 0);
    std::vector<ugwd_lease_rec> out(41);
    int fd = open(f.path.c_str(), O_RDONLY);
    ASSERT_EQ(read(fd, out.data(), 41 * sizeof(ugwd_lease_rec)), static_cast<ssize_t>(40 * sizeof(ugwd_lease_rec)));
    close(fd);
    out.pop_back();
    std::vector<int> seen;
    for (size_t i = 0; i < out.size(); i++) {
        int mac = out[i].mac[5];
        if (i == 0 || out[i - 1].mac[5] != mac) {
            EXPECT_EQ(std::count(seen.begin(), seen.end(), mac), 0) << "MAC " << mac << " split";
            seen.push_back(mac);
        } else {
            EXPECT_LE(out[i - 1].start, out[i].start);
        }
    }
    EXPECT_EQ(seen.size(), 5u);
    for (ugwd_lease &l : leases)
        ugwd_table_remove_lease(f.t, &l);
}

// A compaction larger than one write: every record survives the chunk
// boundaries once, and what it wrote counts as written.
TEST(UgwdLease, LargeCompactionKeepsEveryRecordOnce)
{
    clock_refresh_offset();
    fixture f;
    constexpr uint32_t n = 25000; // a few of the compaction's 1 MiB writes
    std::vector<ugwd_lease_rec> in;
    for (uint32_t i = 0; i < n; i++) {
        ugwd_lease_rec r = rec(0, 10, 5, 1000);
        memcpy(r.mac + 2, &i, 4);
        memset(r.hostname, 0, sizeof r.hostname);
        snprintf(r.hostname, sizeof r.hostname, "station-%u", i);
        in.push_back(r);
    }
    write_file(f.path, in);
    ASSERT_EQ(ugwd_table_load_leases(f.t, f.path.c_str(), f.pool, &f.head), 0);
    ASSERT_EQ(ugwd_table_count_leases(f.t), n);
    // Changed but not stored: the compaction writes it, and a later store of
    // the same record then has nothing to add.
    ugwd_lease *changed = ugwd_table_first_lease_by_mac(f.t, in[n / 2].mac);
    ASSERT_NE(changed, nullptr);
    changed->rec.lease_time = 2000;
    in[n / 2].lease_time = 2000;
    ASSERT_EQ(ugwd_table_dump_leases(f.t), 0);
    ASSERT_EQ(f.size(), static_cast<off_t>(n * sizeof(ugwd_lease_rec)));
    std::vector<ugwd_lease_rec> out(n);
    int fd = open(f.path.c_str(), O_RDONLY);
    ASSERT_EQ(read(fd, out.data(), n * sizeof(ugwd_lease_rec)), static_cast<ssize_t>(n * sizeof(ugwd_lease_rec)));
    close(fd);
    auto by_bytes = [](const ugwd_lease_rec &a, const ugwd_lease_rec &b) { return memcmp(&a, &b, sizeof a) < 0; };
    std::sort(in.begin(), in.end(), by_bytes);
    std::sort(out.begin(), out.end(), by_bytes);
    EXPECT_TRUE(std::equal(in.begin(), in.end(), out.begin(),
                           [](const ugwd_lease_rec &a, const ugwd_lease_rec &b) { return !memcmp(&a, &b, sizeof a); }));
    ASSERT_EQ(ugwd_table_store_lease(f.t, changed), 0);
    EXPECT_EQ(f.size(), static_cast<off_t>(n * sizeof(ugwd_lease_rec)));
    changed->rec.lease_time = 3000;
    ASSERT_EQ(ugwd_table_store_lease(f.t, changed), 0);
    EXPECT_EQ(f.size(), static_cast<off_t>((n + 1) * sizeof(ugwd_lease_rec)));
    for (ugwd_lease *l : list_records_safe<&ugwd_lease::link>(&f.head)) {
        ugwd_table_remove_lease(f.t, l);
        list_remove(&l->link);
        mempool_release(f.pool, l);
    }
}

TEST(UgwdLease, Dhcp6KindRules)
{
    clock_refresh_offset();
    fixture f;
    mempool *pool6 = mempool_create(sizeof(ugwd_lease6), nullptr, "struct ugwd_lease6", __FILE__, __LINE__);
    std::string p6 = f.path + "6";
    // Two clients with the same address: the later record takes it.
    ugwd_lease6_rec a{}, b{};
    a.mac[5] = 1;
    b.mac[5] = 2;
    a.kind = b.kind = UGWD_LEASE6_DHCPV6;
    a.addr[0] = b.addr[0] = 0x20;
    a.valid_lifetime = b.valid_lifetime = 1000;
    a.start = b.start = static_cast<uint32_t>(clock_sec() + clock_offset_sec);
    int fd = open(p6.c_str(), O_WRONLY | O_CREAT, 0600);
    ASSERT_EQ(write(fd, &a, sizeof a), static_cast<ssize_t>(sizeof a));
    ASSERT_EQ(write(fd, &b, sizeof b), static_cast<ssize_t>(sizeof b));
    close(fd);
    ASSERT_EQ(ugwd_table_load_leases6(f.t, p6.c_str(), pool6, &f.head), 0);
    ASSERT_EQ(ugwd_table_count_leases6(f.t), 1u);
    EXPECT_EQ(ugwd_table_get_lease6_by_ip6(f.t, a.addr)->rec.mac[5], 2);
    EXPECT_EQ(f.t->live6, 1u);
    // A SLAAC address is indexed, not written, not counted.
    ugwd_lease6 s{};
    ugwd_lease6_links_init(&s);
    s.rec.kind = UGWD_LEASE6_SLAAC;
    s.rec.addr[0] = 0x30;
    ASSERT_EQ(ugwd_table_store_lease6(f.t, &s), 0);
    EXPECT_EQ(f.t->live6, 1u);
    struct stat st;
    stat(p6.c_str(), &st);
    EXPECT_EQ(st.st_size, static_cast<off_t>(2 * sizeof(ugwd_lease6_rec)));
    ugwd_table_drop_lease6(f.t, &s);
    for (ugwd_lease6 *l : list_records_safe<&ugwd_lease6::link>(&f.head)) {
        ugwd_table_remove_lease6(f.t, l);
        list_remove(&l->link);
        mempool_release(pool6, l);
    }
    mempool_unref(pool6);
}

// A child appends and compacts until killed at a random moment; every load
// must see whole records, in order, and the next append must land on a
// record boundary.
TEST(UgwdLease, SurvivesSigkillAnywhere)
{
    clock_refresh_offset();
    fixture f;
    unsigned seed = 1;
    // A fixed number of kills, not a time budget: a loaded machine must not
    // make the test weaker or fail it.
    for (int runs = 0; runs < 80; runs++) {
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            ugwd_table *t = ugwd_table_create();
            mempool *pool = mempool_create(sizeof(ugwd_lease), nullptr, "struct ugwd_lease", __FILE__, __LINE__);
            list_link head;
            list_init(&head);
            if (ugwd_table_load_leases(t, f.path.c_str(), pool, &head) < 0)
                _exit(3);
            static ugwd_lease leases[8];
            for (uint32_t n = 0;; n++) {
                ugwd_lease &l = leases[n % 8];
                if (!cmultilink_used(&l.by_uuid)) {
                    l = ugwd_lease{};
                    ugwd_lease_links_init(&l);
                    l.rec.mac[5] = static_cast<uint8_t>(n % 8);
                    l.rec.addr[0] = 10;
                    l.rec.lease_time = 100000;
                    l.rec.start = clock_sec();
                }
                l.rec.max_msg_size = n; // the sequence, in order within a client
                if (ugwd_table_store_lease(t, &l) < 0)
                    _exit(4);
            }
        }
        rand_r(&seed);
        usleep(static_cast<useconds_t>(rand_r(&seed) % 3000));
        kill(pid, SIGKILL);
        int status;
        waitpid(pid, &status, 0);
        ASSERT_TRUE(WIFSIGNALED(status)) << "child exited " << WEXITSTATUS(status);
        fixture check;
        ASSERT_EQ(ugwd_table_load_leases(check.t, f.path.c_str(), check.pool, &check.head), 0);
        // A child killed before its first append leaves no file at all.
        off_t size = f.size();
        ASSERT_EQ(size < 0 ? 0 : size % static_cast<off_t>(sizeof(ugwd_lease_rec)), 0) << "run " << runs;
        for (ugwd_lease *l : list_records_safe<&ugwd_lease::link>(&check.head)) {
            ASSERT_EQ(l->rec.addr[0], 10);
            ASSERT_EQ(l->rec.lease_time, 100000u);
            ugwd_table_remove_lease(check.t, l);
            list_remove(&l->link);
            mempool_release(check.pool, l);
        }
    }
}

} // namespace

namespace {

// One "run" of a daemon that is not root: load, rewrite, then change leases
// (a MAC of 0: none).
// Returns the exit status of the child.
int run_as_nobody(const std::string &path, uint8_t store_mac, uint8_t drop_mac)
{
    pid_t pid = fork();
    if (pid < 0)
        return -1;
    if (pid == 0) {
        if (setgroups(0, nullptr) < 0 || setresgid(65534, 65534, 65534) < 0 || setresuid(65534, 65534, 65534) < 0)
            _exit(2);
        ugwd_table *t = ugwd_table_create();
        mempool *pool = mempool_create(sizeof(ugwd_lease), nullptr, "struct ugwd_lease", __FILE__, __LINE__);
        list_link head;
        list_init(&head);
        if (ugwd_table_load_leases(t, path.c_str(), pool, &head) < 0 || ugwd_table_dump_leases(t) < 0)
            _exit(3);
        for (ugwd_lease *l : list_records<&ugwd_lease::link>(&head))
            if (l->rec.mac[5] == drop_mac && ugwd_table_drop_lease(t, l) < 0)
                _exit(4);
        static ugwd_lease l{};
        if (!store_mac)
            _exit(0);
        ugwd_lease_links_init(&l);
        l.rec = rec(store_mac, 10, 0, 100000);
        l.rec.start = clock_sec();
        if (ugwd_table_store_lease(t, &l) < 0)
            _exit(5);
        _exit(0);
    }
    int st;
    waitpid(pid, &st, 0);
    return st;
}

} // namespace

// A daemon under another user restarts on the file it made and keeps
// appending, also after a run that ended with no live lease.
TEST(UgwdLease, AnotherUserKeepsAppendingAfterRestarts)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to run the child as uid 65534";
    clock_refresh_offset();
    fixture f;
    ASSERT_EQ(chown(f.dir.c_str(), 65534, 65534), 0);
    struct step {
        uint8_t store, drop;
        size_t live;
    } steps[] = {{1, 0, 1}, {0, 1, 0}, {2, 0, 1}, {3, 2, 1}, {4, 0, 2}};
    for (const step &s : steps) {
        int st = run_as_nobody(f.path, s.store, s.drop);
        ASSERT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << "run storing " << int(s.store) << ": status " << st;
        fixture check;
        ASSERT_EQ(ugwd_table_load_leases(check.t, f.path.c_str(), check.pool, &check.head), 0);
        EXPECT_EQ(ugwd_table_count_leases(check.t), s.live);
        for (ugwd_lease *l : list_records_safe<&ugwd_lease::link>(&check.head)) {
            ugwd_table_remove_lease(check.t, l);
            list_remove(&l->link);
            mempool_release(check.pool, l);
        }
    }
}
