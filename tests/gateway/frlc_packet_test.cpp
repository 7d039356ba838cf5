// Frames and packets of the data-plane client, with the test as the data
// plane: what goes out byte for byte, and what comes in, with the packet
// pool full again after every case.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

#include "common/log.h"
#include "common/mempool.h"
#include "common/packet.h"
#include "common/uclient.h"
#include "common/umsg.h"
#include "gateway/frlc.h"

namespace {

using bytes = std::vector<uint8_t>;

std::vector<std::string> logged;

void capture(int, const char *, unsigned, const char *fmt, ...)
{
    char line[512];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(line, sizeof(line), fmt, ap);
    va_end(ap);
    logged.emplace_back(line);
}

bytes counting(size_t n, uint8_t from = 0)
{
    bytes b(n);
    for (size_t i = 0; i < n; i++)
        b[i] = static_cast<uint8_t>(from + i);
    return b;
}

bytes concat(std::initializer_list<bytes> parts)
{
    bytes all;
    for (auto &p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

bytes packet_bytes(packet *p)
{
    bytes b(p->length);
    packet_access(p, 0, b.size(), b.data(), PACKET_ACCESS_READ);
    return b;
}

const flow_id fid = {{0x02, 0x11, 0x22, 0x33, 0x44, 0x55}, {0x0a, 0x0b, 0x0c, 0x0d, 0x0e, 0x0f}};
const bytes fid_bytes = {0x02, 0x11, 0x22, 0x33, 0x44, 0x55, 0x0a, 0x0b, 0x0c, 0x0d, 0x0e, 0x0f};

// What one callback saw.
struct seen {
    int slot = -1;
    uint32_t id = 0;
    flow_id fid = {};
    uint8_t cls = 0, encap = 0;
    unsigned prio = 0, refs = 0;
    bytes data;
};

class FrlcPackets : public testing::Test {
protected:
    void SetUp() override
    {
        saved_hook = log_hook;
        saved_config = log_config;
        log_hook = capture;
        log_config.level = 1;
        log_config.components = LOG_COMP_ALL;
        logged.clear();

        char tmpl[] = "/tmp/frlc-pkt-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        path = dir + "/dp";
        peer = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un sun = {};
        sun.sun_family = AF_UNIX;
        snprintf(sun.sun_path, sizeof(sun.sun_path), "%s", path.c_str());
        ASSERT_EQ(bind(peer, reinterpret_cast<sockaddr *>(&sun), sizeof(sun)), 0);

        packet_pool_config cfg = {4192, 80, 16, 8, 0, 0};
        pool = packet_pool_create(&cfg);
        ASSERT_NE(pool, nullptr);
        client = frlc_create(path.c_str(), &ops, pool, this);
        ASSERT_NE(client, nullptr);
    }

    void TearDown() override
    {
        frlc_destroy(client);
        mempool_unref(pool);
        close(peer);
        unlink(path.c_str());
        rmdir(dir.c_str());
        log_hook = saved_hook;
        log_config = saved_config;
    }

    static bool empty(const mempool *p)
    {
        return p->info.memUsedObjects == 0 && (!p->companion || p->companion->info.memUsedObjects == 0);
    }

    // The next one-way message the client sent, or nothing.
    bytes sent()
    {
        uint8_t buf[UMSG_DATAGRAM];
        ssize_t n = recv(peer, buf, sizeof(buf), MSG_DONTWAIT);
        if (n < static_cast<ssize_t>(sizeof(umsghdr)))
            return {};
        umsghdr h;
        memcpy(&h, buf, sizeof(h));
        EXPECT_EQ(h.type, UMSG_REQUEST);
        EXPECT_EQ(h.flags, 0); // one way: no acknowledgement wanted
        return bytes(buf + sizeof(h), buf + n);
    }

    // Delivers a notification as the data plane's server does, then reads it.
    ssize_t notify(const bytes &msg)
    {
        EXPECT_EQ(umsg_send(client->ipc->event_pass_fd, UMSG_REQUEST, 0, 0, msg.data(), msg.size(),
                            nullptr, nullptr, -1),
                  0);
        return frlc_process(client);
    }

    packet *make(const bytes &data, unsigned prio, mempool *from = nullptr)
    {
        packet *p = packet_from_bytes(from ? from : pool, data.data(), data.size());
        if (p)
            packet_set_priority(p, prio);
        return p;
    }

    static void record(void *user, int slot, uint32_t id, const flow_id *f, uint8_t cls,
                       uint8_t encap, packet *p)
    {
        auto *t = static_cast<FrlcPackets *>(user);
        seen s;
        s.slot = slot;
        s.id = id;
        if (f)
            s.fid = *f;
        s.cls = cls;
        s.encap = encap;
        s.prio = packet_priority(p);
        s.refs = p->_refcount;
        s.data = packet_bytes(p);
        t->calls.push_back(s);
        if (t->keep && packet_ref(p) == 0)
            t->kept.push_back(p);
    }

    static constexpr frlc_ops ops = {
        .diverted_packet = [](void *u, uint32_t dev, uint8_t encap, packet *p) { record(u, 0, dev, nullptr, 0, encap, p); },
        .frame = [](void *u, uint32_t n, const flow_id *f, uint8_t c, uint8_t e, packet *p) { record(u, 1, n, f, c, e, p); },
        .frame_snoop = [](void *u, uint32_t n, const flow_id *f, uint8_t c, uint8_t e, packet *p) { record(u, 2, n, f, c, e, p); },
        .frame_copy = [](void *u, uint32_t n, const flow_id *f, uint8_t c, uint8_t e, packet *p) { record(u, 3, n, f, c, e, p); },
    };

    log_hook_fn saved_hook;
    log_cfg saved_config;
    std::string dir, path;
    int peer = -1;
    mempool *pool = nullptr;
    frlc *client = nullptr;
    std::vector<seen> calls;
    bool keep = false;
    std::vector<packet *> kept;
};

TEST_F(FrlcPackets, OutputPutsHeaderAndBodyInFrontOfTheDataWithoutConsumingIt)
{
    const bytes data = {0x88, 0x8e, 0x01, 0x03, 0x00, 0x5f};
    struct {
        const char *what;
        int (*send)(frlc *, packet *);
        bytes expect;
    } cases[] = {
        {"EAPOL frame", [](frlc *c, packet *p) { return frlc_output_frame(c, 0x01020304, &fid, 1, FRL_ENCAP_ETHER, p); },
         concat({{0, 0, 0, 42, 0, 0, 0, 0, 1, 2, 3, 4}, fid_bytes, {1, 3, 5}, data})},
        {"snooped frame put back", [](frlc *c, packet *p) { return frlc_output_snooped(c, 7, &fid, 2, FRL_ENCAP_ETHER, p); },
         concat({{0, 0, 0, 43, 0, 0, 0, 0, 0, 0, 0, 7}, fid_bytes, {2, 3, 5}, data})},
        {"IP packet", [](frlc *c, packet *p) { return frlc_output_packet(c, 0xa0b0c0d0, FRL_ENCAP_IP, p); },
         concat({{0, 0, 0, 46, 0, 0, 0, 0, 0xa0, 0xb0, 0xc0, 0xd0, 4, 5}, data})},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.what);
        packet *p = make(data, 5);
        uint8_t *start = p->data;
        size_t room = packet_headroom(p);
        ASSERT_EQ(c.send(client, p), 0) << strerror(errno);
        EXPECT_EQ(sent(), c.expect);
        EXPECT_EQ(p->data, start);
        EXPECT_EQ(packet_headroom(p), room);
        EXPECT_EQ(packet_bytes(p), data);
        EXPECT_EQ(p->_refcount, 1);
        packet_release(p);
    }
    EXPECT_TRUE(empty(pool));
}

TEST_F(FrlcPackets, OutputRefusesWhatDoesNotFitAndGathersChains)
{
    // One message at most: 4092 bytes with the 27- or 14-byte front.
    struct {
        size_t len;
        bool frame;
        int err;
    } sizes[] = {{4065, true, 0}, {4066, true, EMSGSIZE}, {4078, false, 0}, {4079, false, EMSGSIZE}};
    for (auto &s : sizes) {
        SCOPED_TRACE(s.len);
        packet *p = make(counting(s.len), 0);
        ASSERT_NE(p, nullptr);
        int rc = s.frame ? frlc_output_frame(client, 1, &fid, 1, FRL_ENCAP_ETHER, p)
                         : frlc_output_packet(client, 1, FRL_ENCAP_IP, p);
        int err = errno;
        bytes got = sent();
        if (s.err) {
            EXPECT_EQ(rc, -1);
            EXPECT_EQ(err, s.err);
            EXPECT_TRUE(got.empty());
        } else {
            EXPECT_EQ(rc, 0);
            EXPECT_EQ(got.size(), 4092u);
            EXPECT_EQ(bytes(got.end() - static_cast<long>(s.len), got.end()), counting(s.len));
        }
        packet_release(p);
    }

    // Too little head room for the front.
    packet_pool_config tight_cfg = {512, 8, 0, 4, 0, 0};
    mempool *tight = packet_pool_create(&tight_cfg);
    packet *p = make({1, 2, 3}, 0, tight);
    EXPECT_EQ(frlc_output_frame(client, 1, &fid, 1, FRL_ENCAP_ETHER, p), -1);
    EXPECT_EQ(errno, ENOBUFS);
    EXPECT_TRUE(sent().empty());
    EXPECT_EQ(logged, std::vector<std::string>{"Out of buffer space"});
    EXPECT_EQ(packet_bytes(p), (bytes{1, 2, 3}));
    packet_release(p);

    // A chain of small buffers goes out as one message all the same.
    packet_pool_config small_cfg = {256, 8, 0, 16, 0, 0};
    mempool *small = packet_pool_create(&small_cfg);
    p = make(counting(1000, 7), 6, small);
    ASSERT_TRUE(packet_isfragmented(p));
    ASSERT_EQ(frlc_output_packet(client, 9, FRL_ENCAP_IP, p), 0);
    EXPECT_EQ(sent(), concat({{0, 0, 0, 46, 0, 0, 0, 0, 0, 0, 0, 9, 4, 6}, counting(1000, 7)}));
    EXPECT_EQ(packet_bytes(p), counting(1000, 7));
    packet_release(p);
    EXPECT_TRUE(empty(tight) && empty(small) && empty(pool));
    mempool_unref(tight);
    mempool_unref(small);
}

TEST_F(FrlcPackets, DivertedFramesAndPacketsReachTheirSlotsByteForByte)
{
    const bytes frame = {0x88, 0x8e, 0x02, 0x03, 0x00, 0x5f, 0xfe};
    struct {
        bytes msg;
        seen expect;
    } cases[] = {
        // The priority byte's bits 3-7 are not the priority.
        {concat({{0, 0, 0, 42, 0, 0, 0, 0, 0, 0, 1, 5}, fid_bytes, {1, 3, 0xfd}, frame}),
         {1, 261, fid, 1, 3, 5, 1, frame}},
        {concat({{0, 0, 0, 43, 0, 0, 0, 0, 0, 0, 0, 9}, fid_bytes, {3, 3, 0}, frame}),
         {2, 9, fid, 3, 3, 0, 1, frame}},
        {concat({{0, 0, 0, 44, 0, 0, 0, 0, 0xff, 0xff, 0xff, 0xff}, fid_bytes, {4, 1, 7}, frame}),
         {3, 0xffffffff, fid, 4, 1, 7, 1, frame}},
        {concat({{0, 0, 0, 45, 0, 0, 0, 0, 0x80, 0, 0, 2, 4, 2}, frame}),
         {0, 0x80000002, {}, 0, 4, 2, 1, frame}},
        // Nothing after the body: an empty packet.
        {concat({{0, 0, 0, 45, 0, 0, 0, 0, 0, 0, 0, 2, 4, 2}}), {0, 2, {}, 0, 4, 2, 1, {}}},
        // The most a packet holds, in a chain of the pool's buffers.
        {concat({{0, 0, 0, 42, 0, 0, 0, 0, 0, 0, 0, 1}, fid_bytes, {2, 1, 0}, counting(65535)}),
         {1, 1, fid, 2, 1, 0, 1, counting(65535)}},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.expect.slot);
        calls.clear();
        EXPECT_EQ(notify(c.msg), static_cast<ssize_t>(c.msg.size()));
        ASSERT_EQ(calls.size(), 1u);
        const seen &s = calls[0], &e = c.expect;
        EXPECT_EQ(s.slot, e.slot);
        EXPECT_EQ(s.id, e.id);
        EXPECT_EQ(memcmp(&s.fid, &e.fid, sizeof(flow_id)), 0);
        EXPECT_EQ(s.cls, e.cls);
        EXPECT_EQ(s.encap, e.encap);
        EXPECT_EQ(s.prio, e.prio);
        EXPECT_EQ(s.refs, 1u);
        EXPECT_EQ(s.data, e.data);
        EXPECT_TRUE(empty(pool));
    }
    EXPECT_TRUE(logged.empty());
}

TEST_F(FrlcPackets, CallbackKeepsThePacketByItsOwnReference)
{
    keep = true;
    bytes msg = concat({{0, 0, 0, 43, 0, 0, 0, 0, 0, 0, 0, 9}, fid_bytes, {3, 3, 6}, {1, 2, 3, 4}});
    ASSERT_GT(notify(msg), 0);
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_EQ(kept[0]->_refcount, 1);
    EXPECT_EQ(packet_bytes(kept[0]), (bytes{1, 2, 3, 4}));
    EXPECT_EQ(packet_priority(kept[0]), 6u);
    EXPECT_FALSE(empty(pool));
    packet_release(kept[0]);
    EXPECT_TRUE(empty(pool));
}

TEST_F(FrlcPackets, RefusedAndUnhandledNotificationsLeaveThePoolFull)
{
    bytes frame42 = concat({{0, 0, 0, 42, 0, 0, 0, 0, 0, 0, 0, 1}, fid_bytes, {1, 3, 0}});
    struct {
        const char *what;
        bytes msg;
        const char *log;
    } cases[] = {
        {"frame one byte short of its body", bytes(frame42.begin(), frame42.end() - 1),
         "Discarding unknown IPC notification 26 bytes"},
        {"packet one byte short of its body", {0, 0, 0, 45, 0, 0, 0, 0, 0, 0, 0, 1, 4},
         "Discarding unknown IPC notification 13 bytes"},
        {"a bare header", {0, 0, 0, 44, 0, 0, 0, 0}, "Discarding unknown IPC notification 8 bytes"},
        {"more than a packet holds", concat({frame42, counting(65536)}), "Out of buffer space"},
        {"diverted packet, more than a packet holds",
         concat({{0, 0, 0, 45, 0, 0, 0, 0, 0, 0, 0, 1, 4, 0}, counting(70000)}), "Out of buffer space"},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.what);
        logged.clear();
        EXPECT_EQ(notify(c.msg), static_cast<ssize_t>(c.msg.size()));
        EXPECT_TRUE(calls.empty());
        EXPECT_EQ(logged, std::vector<std::string>{c.log});
        EXPECT_TRUE(empty(pool));
    }

    // A pool whose buffers (a page of them) run out part of the way through a chain.
    packet_pool_config few_cfg = {256, 8, 0, 16, 4, PACKET_POOL_SHARED_BUFFERS};
    mempool *few = packet_pool_create(&few_cfg);
    ASSERT_NE(few, nullptr);
    client->pool = few;
    logged.clear();
    EXPECT_GT(notify(concat({frame42, counting(60000)})), 0);
    EXPECT_TRUE(calls.empty());
    EXPECT_EQ(logged, std::vector<std::string>{"Out of buffer space"});
    EXPECT_TRUE(empty(few));
    mempool_unref(few);

    // No pool at all.
    client->pool = nullptr;
    logged.clear();
    EXPECT_GT(notify(concat({frame42, {1}})), 0);
    EXPECT_TRUE(calls.empty());
    EXPECT_EQ(logged, std::vector<std::string>{"Out of buffer space"});
    client->pool = pool;

    // Empty slots: every packet goes back, silently.
    client->ops = {};
    logged.clear();
    for (uint8_t type = 42; type <= 45; type++) {
        bytes msg = concat({{0, 0, 0, type}, bytes(23, 0), counting(300)});
        EXPECT_EQ(notify(msg), static_cast<ssize_t>(msg.size()));
    }
    EXPECT_TRUE(logged.empty());
    EXPECT_TRUE(empty(pool));
}

} // namespace
