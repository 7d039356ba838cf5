// Pool, fabric, AF_XDP and host-set commands of a gateway object with
// fernrelayd stand-ins: what the processes answer, merged, capped and summed.
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <poll.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "common/ctl_msg.h"
#include "common/log.h"
#include "common/mempool.h"
#include "common/uclient.h"
#include "gateway/ugwd_control.h"
#include "gateway/ugwd_ctl_msg.h"
#include "tests/integration/standin_fixture.h"

namespace
{

using namespace standin_fixture;

struct reply {
    int len;
    std::vector<uint8_t> b;
    uint32_t type() const { return ctl_get32(b.data(), 0); }
    uint32_t status() const { return type() == CTL_STATUS ? ctl_get32(b.data(), 4) : 0; }
    uint32_t count(size_t at = 8) const { return ctl_get32(b.data(), at); }
};

std::vector<uint8_t> request(uint32_t type, uint32_t key = 0, const std::string &text = "",
                             size_t text_at = 12)
{
    std::vector<uint8_t> m(ctl_msg_catalogue[type].size);
    ugwd_ctl_msg_init(m.data(), type);
    if (m.size() >= 12) ctl_put32(m.data(), 8, key);
    memcpy(m.data() + text_at, text.data(), text.size());
    return m;
}

void quiet(int, const char *, unsigned, const char *, ...) {}

template <unsigned N> class Planes : public ::testing::Test
{
  protected:
    std::string dir;
    standin s[N];
    ugwd_ctl *ctl = nullptr;
    log_hook_fn saved_hook = nullptr;
    log_cfg saved_cfg{};

    void SetUp() override
    {
        if (!exists(standin_bin)) GTEST_SKIP() << "stand-in " << standin_bin << " not built";
        char t[] = "/tmp/ugw-pool-XXXXXX";
        ASSERT_TRUE(mkdtemp(t));
        dir = t;
        for (standin &x : s)
            ASSERT_TRUE(x.start(dir));
        saved_hook = log_hook;
        saved_cfg = log_config;
        log_hook = quiet;
        ctl = ugwd_ctl_create((dir + "/sock").c_str(), nullptr, 0, false);
        ASSERT_NE(ctl, nullptr);
        for (standin &x : s)
            ASSERT_EQ(ugwd_ctl_add_proc(ctl, x.pid, x.sock().c_str()), 0);
    }

    void TearDown() override
    {
        ugwd_ctl_free(ctl);
        for (standin &x : s)
            x.stop();
        if (saved_hook) {
            log_hook = saved_hook;
            log_config = saved_cfg;
        }
        if (!dir.empty()) std::system(("rm -rf '" + dir + "'").c_str());
    }

    // The buffer past the request holds an earlier request's secrets.
    reply run(std::vector<uint8_t> msg, size_t size = 16384)
    {
        size_t len = msg.size();
        msg.resize(size, 'S');
        int r = ugwd_ctl_dispatch(ctl, msg.data(), len, size, 1);
        EXPECT_GT(r, 0);
        if (r > 0 && static_cast<size_t>(r) <= size) {
            EXPECT_EQ(ctl_msg_size(msg.data(), static_cast<size_t>(r)), static_cast<uint32_t>(r));
        }
        msg.resize(r > 0 ? static_cast<size_t>(r) : 0);
        return {r, msg};
    }
};

using OnePlane = Planes<1>;
using FourPlanes = Planes<4>;

TEST_F(OnePlane, FabricOfOneProcessIsAnEmptyList)
{
    reply r = run(request(CTL_GET_FABRIC));
    EXPECT_EQ(r.type(), CTL_NEW_FABRIC);
    EXPECT_EQ(r.len, 12);
    EXPECT_EQ(r.count(), 0u);
}

TEST_F(FourPlanes, FabricAndXskRepliesHoldWhatWasReservedAndNoMore)
{
    reply fabric = run(request(CTL_GET_FABRIC));
    EXPECT_EQ(fabric.type(), CTL_NEW_FABRIC);
    EXPECT_EQ(fabric.count(), 12u);
    EXPECT_EQ(fabric.len, 12 + 12 * 48);
    // Too small a buffer gets the reserved size back.
    EXPECT_EQ(run(request(CTL_GET_FABRIC), 100).len, 12 + 12 * 48);

    // A process answering more than its share is cut at the reservation.
    ASSERT_EQ(s[1]("fabric 40"), "ok\n");
    fabric = run(request(CTL_GET_FABRIC));
    EXPECT_EQ(fabric.count(), 12u);
    EXPECT_EQ(fabric.len, 12 + 12 * 48);

    reply xsk = run(request(CTL_GET_XSK));
    EXPECT_EQ(xsk.type(), CTL_NEW_XSK);
    EXPECT_EQ(xsk.count(), 8u);
    EXPECT_EQ(xsk.len, 12 + 8 * 60);
    // Each process's records, unchanged: its pid at 32 of both of its records.
    for (unsigned i = 0; i < 4; i++)
        EXPECT_EQ(ctl_get32(xsk.b.data(), 12 + 60 * (2 * i + 1) + 32),
                  static_cast<uint32_t>(s[i].pid));

    ASSERT_EQ(s[2]("fault errno 7 22"), "ok\n");
    EXPECT_EQ(run(request(CTL_GET_XSK)).status(), static_cast<uint32_t>(EINVAL));
}

TEST_F(FourPlanes, MempoolsMergeTheProcessesAndAddTheDaemons)
{
    reply packet = run(request(CTL_GET_MEMPOOL, 0, "packet", 8));
    EXPECT_EQ(packet.type(), CTL_NEW_MEMPOOL);
    EXPECT_EQ(packet.len, 92);
    EXPECT_STREQ(reinterpret_cast<const char *>(packet.b.data() + 8), "packet");
    EXPECT_EQ(run(request(CTL_GET_MEMPOOL, 0, "nobody", 8)).status(),
              static_cast<uint32_t>(ENOENT));

    const mempool *own = mempool_first();
    ASSERT_NE(own, nullptr);
    reply mine = run(request(CTL_GET_MEMPOOL, 0, own->info.memName, 8));
    ASSERT_EQ(mine.type(), CTL_NEW_MEMPOOL);
    EXPECT_EQ(memcmp(mine.b.data() + 8, &own->info, sizeof(own->info)), 0);

    uint32_t pools = 0;
    for (const mempool *p = mempool_first(); p; p = mempool_next(p))
        pools++;
    reply all = run(request(CTL_DUMP_MEMPOOLS));
    EXPECT_EQ(all.type(), CTL_MEMPOOLS);
    // The four processes' "packet" pools are one row.
    EXPECT_EQ(all.count(), pools + 1);
    EXPECT_STREQ(reinterpret_cast<const char *>(all.b.data() + 12), "packet");
}

TEST_F(FourPlanes, HostChangesReachEveryProcessOrNone)
{
    reply set = run(request(CTL_ADD_HOSTSET));
    ASSERT_EQ(set.type(), CTL_NEW_HOSTSET);
    uint32_t id = set.count();
    EXPECT_EQ(id, 1u);
    EXPECT_EQ(run(request(CTL_ADD_HOST, id, "a.example")).len, 8);

    // The third process refuses: the first two take the host back.
    ASSERT_EQ(s[2]("fault errno 72 5"), "ok\n");
    EXPECT_EQ(run(request(CTL_ADD_HOST, id, "b.example")).status(), static_cast<uint32_t>(EIO));
    reply hosts = run(request(CTL_GET_HOSTSET, id));
    ASSERT_EQ(hosts.type(), CTL_NEW_HOSTSET);
    ASSERT_EQ(hosts.count(12), 1u);
    EXPECT_STREQ(reinterpret_cast<const char *>(hosts.b.data() + 16), "a.example");
    EXPECT_EQ(hosts.len, 16 + 260);

    EXPECT_EQ(run(request(CTL_ADD_HOST, id, "b.example")).len, 8);
    hosts = run(request(CTL_GET_HOSTSET, id));
    ASSERT_EQ(hosts.count(12), 2u);
    EXPECT_STREQ(reinterpret_cast<const char *>(hosts.b.data() + 16 + 260), "b.example");

    ASSERT_EQ(s[3]("fault errno 72 5"), "ok\n");
    EXPECT_EQ(run(request(CTL_REMOVE_HOST, id, "a.example")).status(), static_cast<uint32_t>(EIO));
    EXPECT_EQ(run(request(CTL_GET_HOSTSET, id)).count(12), 2u);

    reply gone = run(request(CTL_REMOVE_HOSTSET, id));
    EXPECT_EQ(gone.type(), CTL_DELETE_HOSTSET);
    EXPECT_EQ(gone.count(12), 2u);
    EXPECT_EQ(run(request(CTL_GET_HOSTSET, id)).status(), static_cast<uint32_t>(ENOENT));
    // The processes forgot the names too: a new set 1 starts empty.
    EXPECT_EQ(run(request(CTL_ADD_HOSTSET)).count(), 1u);
    EXPECT_EQ(run(request(CTL_GET_HOSTSET, 1)).count(12), 0u);
}

} // namespace
