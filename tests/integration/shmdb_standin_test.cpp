// The shared-memory readers against the stand-in data plane's tables: one per
// port the data-plane client adds, entries and churn through its control
// socket, the tables gone when it stops.
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <functional>
#include <map>
#include <net/if.h>
#include <poll.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "common/mempool.h"
#include "common/packet.h"
#include "common/uclient.h"
#include "gateway/fernrelayd_msg.h"
#include "gateway/frlc.h"
#include "utility/fdb.h"

namespace
{

const std::string standin_bin = UGW_BIN_DIR "/tools/fernrelayd/fernrelayd";

bool wait_for(const std::function<bool()> &done)
{
    for (int i = 0; i < 1000; i++) {
        if (done()) return true;
        poll(nullptr, 0, 5);
    }
    return false;
}

bool exists(const std::string &path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

class ShmdbStandin : public testing::Test
{
  protected:
    std::string dir, prefix;
    pid_t pid = -1;
    uclient *ctl = nullptr;
    mempool *pool = nullptr;
    frlc *client = nullptr;

    void SetUp() override
    {
        if (access(standin_bin.c_str(), X_OK) != 0)
            GTEST_SKIP() << "stand-in " << standin_bin << " not built";
        std::string tmpl = testing::TempDir() + "shmdb-standin-XXXXXX";
        ASSERT_TRUE(mkdtemp(tmpl.data()));
        dir = tmpl + "/";
        setenv("SHMDIR", dir.c_str(), 1);
        prefix = dir + "fernrelaysock";
        pid = fork();
        if (pid == 0) {
            execl(standin_bin.c_str(), standin_bin.c_str(), "-S", prefix.c_str(),
                  static_cast<char *>(nullptr));
            _exit(127);
        }
        std::string ctl_path = prefix + "-ctl." + std::to_string(pid);
        ASSERT_TRUE(wait_for([&] { return exists(ctl_path); }));
        ctl = uclient_open(ctl_path.c_str());
        ASSERT_TRUE(ctl);
        packet_pool_config cfg = {4192, 80, 16, 16, 0, 0};
        pool = packet_pool_create(&cfg);
        static constexpr frlc_ops ops = {};
        client = frlc_create((prefix + "." + std::to_string(pid)).c_str(), &ops, pool, this);
        ASSERT_TRUE(client);
    }

    void TearDown() override
    {
        frlc_destroy(client);
        if (pool) mempool_unref(pool);
        uclient_close(ctl);
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        if (DIR *d = opendir(dir.c_str())) {
            while (dirent *e = readdir(d))
                if (strcmp(e->d_name, ".") && strcmp(e->d_name, ".."))
                    unlink((dir + e->d_name).c_str());
            closedir(d);
        }
        rmdir(dir.c_str());
        unsetenv("SHMDIR");
    }

    std::string command(const std::string &line)
    {
        const uint8_t *reply = nullptr;
        ssize_t n = uclient_request(ctl, line.data(), line.size(), &reply);
        if (n < 0) return std::string("ipc error: ") + strerror(errno);
        return std::string(reinterpret_cast<const char *>(reply), static_cast<size_t>(n));
    }
};

TEST_F(ShmdbStandin, PortTableEntriesChurnAndRemoval)
{
    uint32_t lo = if_nametoindex("lo");
    ASSERT_NE(lo, 0u);
    frl_port port = {};
    frl_store32(port.b, lo);
    ASSERT_EQ(frlc_add_port(client, &port), 0) << strerror(errno);

    Ary rows;
    array_init(&rows, sizeof(fdb_stats));
    ASSERT_EQ(fdb_dump_tables(&rows), 1);
    EXPECT_STREQ(array_at<fdb_stats>(&rows, 0)->name, "lo");
    array_purge(&rows);

    std::map<std::string, uint16_t> mine;
    for (unsigned i = 0; i < 200; i++) {
        char mac[18];
        snprintf(mac, sizeof(mac), "00:16:3e:00:%02x:%02x", i >> 8, i & 0xff);
        mine[mac] = static_cast<uint16_t>(i + 1);
        ASSERT_EQ(command("fdb add lo " + std::string(mac) + " " + std::to_string(i + 1)), "ok\n");
    }
    fdb *f = fdb_open("lo");
    ASSERT_TRUE(f);
    const uint8_t known[6] = {0x00, 0x16, 0x3e, 0x00, 0x00, 0x07},
                  unknown[6] = {0x00, 0x16, 0x3e, 0x00, 0x10, 0x00};
    uint16_t p = 0;
    ASSERT_EQ(fdb_find_client(f, known, &p), 0);
    EXPECT_EQ(p, 8);
    errno = 0;
    EXPECT_EQ(fdb_find_client(f, unknown, &p), -1);
    EXPECT_EQ(errno, ENOENT);

    // 10^5 operations with a doubling or rehash every 10^4, while we read.
    ASSERT_EQ(command("churn lo 100000 0 10000"), "ok\n");
    unsigned passes = 0;
    bool running = true;
    while (running || passes == 0) {
        running = command("fdb state lo") == "error: churn running\n";
        std::map<std::string, int> seen;
        struct ctx {
            std::map<std::string, int> *seen;
        } c{&seen};
        int rc = fdb_list_clients(
            f,
            [](void *u, const uint8_t m[6], uint16_t) {
                char text[18];
                snprintf(text, sizeof(text), "%02x:%02x:%02x:%02x:%02x:%02x", m[0], m[1], m[2],
                         m[3], m[4], m[5]);
                (*static_cast<ctx *>(u)->seen)[text]++;
                return 0;
            },
            &c);
        if (rc < 0 && errno == EAGAIN) continue;
        ASSERT_EQ(rc, 0) << strerror(errno);
        passes++;
        for (auto &[mac, port_no] : mine)
            ASSERT_EQ(seen[mac], 1) << mac << " in pass " << passes;
        ASSERT_EQ(fdb_find_client(f, known, &p), 0);
    }
    EXPECT_EQ(command("churn wait"), "ops=100000 resizes=10\n");
    fdb_close(f);

    // Removing the port removes its table; stopping removes the rest.
    frl_port last;
    ASSERT_EQ(frlc_remove_port(client, lo, &last), 0);
    EXPECT_FALSE(exists(dir + "lo"));
    ASSERT_EQ(command("fdb create eth7"), "ok\n");
    ASSERT_EQ(command("mdb create eth7 40"), "ok\n");
    EXPECT_TRUE(exists(dir + "eth7:1"));
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
    pid = -1;
    EXPECT_FALSE(exists(dir + "eth7"));
    EXPECT_FALSE(exists(dir + "eth7:0"));
}

} // namespace
