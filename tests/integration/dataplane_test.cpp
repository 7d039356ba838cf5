// The data-plane client against the fernrelayd stand-in, and the daemon
// running its data planes.
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <functional>
#include <memory>
#include <netinet/in.h>
#include <poll.h>
#include <regex>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "common/log.h"
#include "common/mempool.h"
#include "common/packet.h"
#include "common/uclient.h"
#include "crypto/util.h"
#include "gateway/frlc.h"

namespace {

const std::string standin_bin = UGW_BIN_DIR "/tools/fernrelayd/fernrelayd";

uint64_t now_ms()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000 + static_cast<uint64_t>(ts.tv_nsec) / 1000000;
}

// Waits, with a bound, for a condition that some other process brings about.
template <class F> bool wait_for(F done, unsigned limit_ms = 5000)
{
    uint64_t end = now_ms() + limit_ms;
    while (!done()) {
        if (now_ms() >= end)
            return false;
        poll(nullptr, 0, 5);
    }
    return true;
}

std::string counting_hex(size_t n)
{
    std::vector<uint8_t> b(n);
    for (size_t i = 0; i < n; i++)
        b[i] = static_cast<uint8_t>(i);
    return tohex(b);
}

bool exists(const std::string &path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

std::string make_temp_dir()
{
    std::string tmpl = std::string(testing::TempDir()) + "ugw-dp-XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    const char *dir = mkdtemp(buf.data());
    return dir ? dir : "";
}

void remove_tree(const std::string &dir)
{
    if (DIR *d = opendir(dir.c_str())) {
        while (dirent *e = readdir(d)) {
            std::string name = e->d_name;
            if (name != "." && name != "..")
                unlink((dir + "/" + name).c_str());
        }
        closedir(d);
    }
    rmdir(dir.c_str());
}

// Talks to a stand-in's control socket.
struct control {
    uclient *ipc = nullptr;

    explicit control(const std::string &path) { ipc = uclient_open(path.c_str()); }
    ~control() { uclient_close(ipc); }

    std::string operator()(const std::string &cmd)
    {
        const uint8_t *reply = nullptr;
        ssize_t n = uclient_request(ipc, cmd.data(), cmd.size(), &reply);
        if (n < 0)
            return "ipc error: " + std::string(strerror(errno));
        return std::string(reinterpret_cast<const char *>(reply), static_cast<size_t>(n));
    }

    std::vector<std::string> journal(const std::string &filter = "")
    {
        std::vector<std::string> lines;
        std::istringstream in((*this)("journal"));
        for (std::string l; std::getline(in, l);)
            if (filter.empty() || l.rfind(filter, 0) == 0)
                lines.push_back(l);
        return lines;
    }
};

// One stand-in started by the test, in its own temporary directory.
struct standin {
    std::string dir, prefix, sock, ctl;
    pid_t pid = -1;

    // In a new temporary directory, or beside another stand-in in its own.
    bool start(const char *faults = nullptr, const std::string &in_dir = "")
    {
        dir = in_dir.empty() ? make_temp_dir() : in_dir;
        prefix = dir + "/fernrelaysock";
        pid = fork();
        if (pid == 0) {
            if (faults)
                setenv("FERNRELAYD_FAULTS", faults, 1);
            execl(standin_bin.c_str(), standin_bin.c_str(), "-S", prefix.c_str(), "--buffer-size",
                  "4096", static_cast<char *>(nullptr));
            _exit(127);
        }
        sock = prefix + "." + std::to_string(pid);
        ctl = prefix + "-ctl." + std::to_string(pid);
        return pid > 0 && wait_for([&] { return exists(ctl); });
    }

    int stop(int sig = SIGTERM)
    {
        if (pid <= 0)
            return -1;
        kill(pid, sig);
        int status = 0;
        waitpid(pid, &status, 0);
        pid = -1;
        return status;
    }

    ~standin()
    {
        stop(SIGKILL);
        if (!dir.empty())
            remove_tree(dir);
    }
};

class Frlc : public testing::Test {
protected:
    void SetUp() override
    {
        if (access(standin_bin.c_str(), X_OK) != 0)
            GTEST_SKIP() << "stand-in " << standin_bin << " not built";
        ASSERT_TRUE(peer.start());
        packet_pool_config cfg = {4192, 80, 16, 16, 0, 0};
        pool = packet_pool_create(&cfg);
        ASSERT_NE(pool, nullptr);
        client = frlc_create(peer.sock.c_str(), &ops, pool, this);
        ASSERT_NE(client, nullptr);
        ctl = std::make_unique<control>(peer.ctl);
        ASSERT_NE(ctl->ipc, nullptr);
    }

    void TearDown() override
    {
        frlc_destroy(client);
        if (pool) {
            EXPECT_EQ(pool->info.memUsedObjects, 0u) << "packets left behind";
            mempool_unref(pool);
        }
    }

    // Reads the next notification, waiting for it with a bound.
    ssize_t next_notification()
    {
        pollfd p = {frlc_fd(client), POLLIN, 0};
        if (poll(&p, 1, 5000) != 1)
            return -2;
        return frlc_process(client);
    }

    // What a frame or packet callback saw, as the stand-in's journal spells it.
    static void record(void *user, const char *what, uint32_t id, const flow_id *f, uint8_t cls,
                       uint8_t encap, packet *p)
    {
        std::vector<uint8_t> data(p->length);
        packet_access(p, 0, data.size(), data.data(), PACKET_ACCESS_READ);
        std::string line = std::string(what) + " " + std::to_string(id);
        if (f)
            line += " flow=" + tohex(reinterpret_cast<const uint8_t *>(f), sizeof(*f)) +
                    " class=" + std::to_string(cls);
        line += " encap=" + std::to_string(encap) + " prio=" + std::to_string(packet_priority(p)) +
                " data=" + tohex(data);
        static_cast<Frlc *>(user)->seen.push_back(line);
    }

    static constexpr frlc_ops ops = {
        .diverted_packet = [](void *u, uint32_t dev, uint8_t encap, packet *p) { record(u, "packet", dev, nullptr, 0, encap, p); },
        .frame = [](void *u, uint32_t n, const flow_id *f, uint8_t c, uint8_t e, packet *p) { record(u, "frame", n, f, c, e, p); },
        .frame_snoop = [](void *u, uint32_t n, const flow_id *f, uint8_t c, uint8_t e, packet *p) { record(u, "snoop", n, f, c, e, p); },
        .frame_copy = [](void *u, uint32_t n, const flow_id *f, uint8_t c, uint8_t e, packet *p) { record(u, "copy", n, f, c, e, p); },
    };

    uint32_t add_node(uint8_t kind, uint32_t at8)
    {
        frl_node node = {};
        node.b[FRL_NODE_KIND] = kind;
        frl_store32(node.b + FRL_NODE_BASE_INDEX, at8);
        EXPECT_EQ(frlc_add_node(client, &node, nullptr, 0), 0) << strerror(errno);
        return frl_load32(node.b + FRL_NODE_ID);
    }

    standin peer;
    mempool *pool = nullptr;
    frlc *client = nullptr;
    std::unique_ptr<control> ctl;
    std::vector<std::string> seen;
};

TEST_F(Frlc, ModelTracksWhatWasAddedAndRemoved)
{
    uint32_t a = add_node(11, 0), b = add_node(11, 1);
    EXPECT_NE(a, b);
    const uint8_t *recs = nullptr;
    ASSERT_EQ(frlc_dump_nodes(client, &recs), 2);
    EXPECT_EQ(frl_load32(recs), a);
    EXPECT_EQ(recs[4], 11);
    EXPECT_EQ(frl_load32(recs + FRL_NODE_SIZE + 8), 1u);

    frl_port port = {};
    frl_store32(port.b, 7);
    port.b[96] = 0x60;
    ASSERT_EQ(frlc_add_port(client, &port), 0);
    EXPECT_EQ(frlc_add_port(client, &port), -1);
    EXPECT_EQ(errno, EEXIST);
    EXPECT_EQ(frlc_dump_devices(client, &recs), 1);

    frl_flow flow = {};
    frl_store32(flow.b + 12, a);
    flow_id fid = {{0x02, 1, 2, 3, 4, 5}, {0x02, 9, 9, 9, 9, 9}};
    memcpy(flow.b + 16, &fid, sizeof(fid));
    flow.b[100] = 0x5a;
    ASSERT_EQ(frlc_add_flow(client, &flow), 0);
    frl_flow read = {};
    ASSERT_EQ(frlc_read_flow(client, &fid, &read), 0);
    EXPECT_EQ(read.b[100], 0x5a);
    EXPECT_EQ(frlc_dump_flows(client, nullptr), 1);
    // A node with flows stays until they go.
    EXPECT_EQ(frlc_remove_node(client, a, nullptr), -1);
    EXPECT_EQ(errno, EBUSY);

    const uint8_t groups[12] = {1, 0, 0x5e, 0, 0, 1, 1, 0, 0x5e, 0, 0, 2};
    ASSERT_EQ(frlc_set_group(client, &fid, groups, 2, FRLC_LIST_ADD), 0);
    ASSERT_EQ(frlc_set_group(client, &fid, groups, 1, FRLC_LIST_REMOVE), 0);
    const uint8_t *entries = nullptr;
    ASSERT_EQ(frlc_request_39(client, &fid, &entries), 1);
    EXPECT_EQ(entries[5], 2);
    ASSERT_EQ(frlc_set_group(client, &fid, groups, 2, FRLC_LIST_CLEAR), 0);
    EXPECT_EQ(frlc_request_39(client, &fid, &entries), 0);
    EXPECT_EQ(frlc_set_group(client, &fid, groups, 2, 4), -1);
    EXPECT_EQ(errno, EINVAL);

    frl_flow final = {};
    ASSERT_EQ(frlc_remove_flow(client, &fid, &final), 0);
    EXPECT_EQ(final.b[100], 0x5a);
    EXPECT_EQ(frlc_read_flow(client, &fid, &read), -1);
    EXPECT_EQ(errno, ENOENT);
    frl_port gone = {};
    ASSERT_EQ(frlc_remove_port(client, 7, &gone), 0);
    EXPECT_EQ(gone.b[96], 0x60);
    ASSERT_EQ(frlc_remove_node(client, a, nullptr), 0);
    ASSERT_EQ(frlc_remove_node(client, b, nullptr), 0);
    EXPECT_EQ(frlc_dump_nodes(client, nullptr), 0);
    EXPECT_EQ(frlc_dump_devices(client, nullptr), 0);
    EXPECT_EQ(frlc_dump_flows(client, nullptr), 0);
    EXPECT_EQ((*ctl)("state"), "ports=0 sockets=0 nodes=0 flows=0 locks=0 members=0\n");
}

TEST_F(Frlc, EveryRequestIsSentWithItsExactSize)
{
    uint32_t node = add_node(11, 0);
    flow_id bcast = {{0, 0, 0, 0, 0, 0}, {0xff, 0xff, 0xff, 0xff, 0xff, 0xff}};
    frl_vap vap = {};
    vap.b[120] = 0x2f;
    EXPECT_EQ(frlc_set_vap(client, node, &vap), 0);
    frl_vap back = {};
    EXPECT_EQ(frlc_get_vap_stats(client, node, &back), 0);
    EXPECT_EQ(back.b[120], 0x2f);
    const uint8_t key[16] = {1, 2, 3};
    EXPECT_EQ(frlc_install_key(client, node, &bcast, 0x06ac0f00, 8, key, 16), 0);
    EXPECT_EQ(frlc_activate_key(client, node, &bcast), 0);
    EXPECT_EQ(frlc_set_key_state(client, node, &bcast, 1), 0);
    uint8_t tsc[8];
    EXPECT_EQ(frlc_get_tsc(client, node, &bcast, 1, tsc), 0);
    uint8_t limits[FRL_LIMITS_SIZE];
    frlc_limits_init(limits, 8000000, 0, 4000000000u, 7);
    EXPECT_EQ(frl_load32(limits + 4), 250000u);
    EXPECT_EQ(frl_load32(limits + 16), 125000000u); // 64-bit product
    EXPECT_EQ(frlc_set_flow_limits(client, node, &bcast, limits), 0);
    EXPECT_EQ(frlc_set_redirect_url(client, node, &bcast, "http://portal.example/"), 0);
    EXPECT_EQ(frlc_set_hostset(client, node, 3, "192.0.2.0/24", FRLC_LIST_ADD), 0);
    const uint8_t *hosts = nullptr;
    ASSERT_EQ(frlc_get_hosts(client, node, 3, &hosts), 1);
    EXPECT_STREQ(reinterpret_cast<const char *>(hosts), "192.0.2.0/24");
    EXPECT_EQ(frlc_set_hostset(client, node, 3, nullptr, FRLC_LIST_CLEAR), 0);
    EXPECT_EQ(frlc_get_hosts(client, node, 3, &hosts), 0);
    frl_flow_stats stats;
    EXPECT_EQ(frlc_get_flow_stats(client, node, &bcast, &stats), 0);
    uint8_t assoc[FRL_ASSOC_SIZE] = {};
    EXPECT_EQ(frlc_associate_flow(client, node, &bcast, assoc), 0);
    EXPECT_EQ(frlc_disassociate_flow(client, node, &bcast, 3), 0);
    frl_pool_stats pool;
    const uint8_t *entries = nullptr;
    EXPECT_EQ(frlc_get_mempool(client, "packet", &pool, &entries), 0);
    EXPECT_STREQ(reinterpret_cast<const char *>(pool.b), "packet");
    EXPECT_EQ(frlc_get_mempool(client, "none", &pool, &entries), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(frlc_dump_mempools(client, &entries), 1);
    EXPECT_EQ(frlc_get_fabric(client, &entries), 0);
    EXPECT_EQ(frlc_get_xsk(client, &entries), 2);
    sockaddr_in6 sa = {};
    sa.sin6_family = AF_INET6;
    sa.sin6_port = htons(6081);
    frl_socket sock = {};
    memcpy(sock.b, &sa, sizeof(sa));
    EXPECT_EQ(frlc_add_socket(client, &sock), 0);
    EXPECT_EQ(frlc_remove_socket(client, reinterpret_cast<sockaddr *>(&sa), nullptr), 0);

    // The stand-in checks every request's length against its own reading of
    // the body; any mismatch would have failed above with EINVAL.
    EXPECT_TRUE(ctl->journal("bad").empty());
    // A URL that cannot fit one message is refused before anything is sent.
    ctl->operator()("clear");
    std::string url(5000, 'a');
    EXPECT_EQ(frlc_set_redirect_url(client, node, &bcast, url.c_str()), -1);
    EXPECT_EQ(errno, EMSGSIZE);
    EXPECT_TRUE(ctl->journal("req").empty());
}

TEST_F(Frlc, RuleListsGoInChunksInsideOneLock)
{
    uint32_t node = add_node(11, 0);
    flow_id fid = {{0, 0, 0, 0, 0, 0}, {0xff, 0xff, 0xff, 0xff, 0xff, 0xff}};
    std::vector<uint8_t> ip(15 * FRL_IP_RULE_SIZE), mac(120 * FRL_MAC_RULE_SIZE);
    struct {
        const char *what;
        std::function<int()> send;
        std::vector<std::string> expect;
        const char *model;
    } cases[] = {
        {"15 IP rules",
         [&] {
             return frlc_set_ip_rules(client, node, &fid,
                                      reinterpret_cast<const filter_rule *>(ip.data()), 15);
         },
         {"lock", "req 97 len=3724 op=0 count=7", "req 97 len=3724 op=1 count=7",
          "req 97 len=556 op=1 count=1", "unlock"},
         "ip=15 mac=0 url=\n"},
        {"120 MAC rules",
         [&] { return frlc_set_mac_rules(client, node, &fid, mac.data(), 120); },
         {"lock", "req 94 len=4028 op=0 count=50", "req 94 len=4028 op=1 count=50",
          "req 94 len=1628 op=1 count=20", "unlock"},
         "ip=15 mac=120 url=\n"},
        {"8 IP rules",
         [&] {
             return frlc_set_ip_rules(client, node, &fid,
                                      reinterpret_cast<const filter_rule *>(ip.data()), 8);
         },
         {"lock", "req 97 len=3724 op=0 count=7", "req 97 len=556 op=1 count=1", "unlock"},
         "ip=8 mac=120 url=\n"},
        // One message is applied whole: no lock around it.
        {"no IP rules",
         [&] { return frlc_set_ip_rules(client, node, &fid, nullptr, 0); },
         {"req 97 len=28 op=0 count=0"},
         "ip=0 mac=120 url=\n"},
        {"7 IP rules",
         [&] {
             return frlc_set_ip_rules(client, node, &fid,
                                      reinterpret_cast<const filter_rule *>(ip.data()), 7);
         },
         {"req 97 len=3724 op=0 count=7"},
         "ip=7 mac=120 url=\n"},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.what);
        (*ctl)("clear");
        ASSERT_EQ(c.send(), 0) << strerror(errno);
        EXPECT_EQ(ctl->journal(), c.expect);
        EXPECT_EQ((*ctl)("rules " + std::to_string(node) + " 000000000000ffffffffffff"), c.model);
    }
    // A failing chunk stops the list and still unlocks.
    (*ctl)("clear");
    (*ctl)("fault errno 97 12");
    EXPECT_EQ(frlc_set_ip_rules(client, node, &fid, reinterpret_cast<const filter_rule *>(ip.data()), 15), -1);
    EXPECT_EQ(errno, 12);
    EXPECT_EQ(ctl->journal(), (std::vector<std::string>{"lock", "req 97 len=3724 op=0 count=7", "unlock"}));
}

TEST_F(Frlc, FaultsGiveTheDocumentedErrorsAndTheClientGoesOn)
{
    struct {
        const char *fault;
        int err;
        bool applied; // whether the stand-in did add the port before the reply went wrong
    } cases[] = {
        {"fault errno 9 17", EEXIST, false},
        {"fault short 9 1", EBADMSG, true},
        {"fault short 9 200", EBADMSG, true}, // no header left at all
        {"fault type 9 12", EBADMSG, true},
        {"fault type 9 0", EBADMSG, true},    // a bare ACK where a port is due
        {"fault errno 9 4294967295", EPROTO, false},
    };
    ssize_t ports = 0;
    uint32_t id = 1;
    for (auto &c : cases) {
        SCOPED_TRACE(c.fault);
        ASSERT_EQ((*ctl)(c.fault), "ok\n");
        frl_port port = {};
        frl_store32(port.b, id++);
        port.b[10] = 0x33;
        frl_port copy = port;
        EXPECT_EQ(frlc_add_port(client, &copy), -1);
        EXPECT_EQ(errno, c.err);
        EXPECT_EQ(memcmp(&copy, &port, sizeof(port)), 0);
        // Each fault hits one request; the client goes on with the next.
        ports += c.applied;
        EXPECT_EQ(frlc_dump_devices(client, nullptr), ports);
    }
    // A list whose count claims more than the reply holds.
    add_node(11, 0);
    ASSERT_EQ((*ctl)("fault count 29"), "ok\n");
    EXPECT_EQ(frlc_dump_nodes(client, nullptr), -1);
    EXPECT_EQ(errno, EBADMSG);
    ASSERT_EQ((*ctl)("fault count 29 2"), "ok\n");
    EXPECT_EQ(frlc_dump_nodes(client, nullptr), -1);
    EXPECT_EQ(errno, EBADMSG);
    EXPECT_EQ(frlc_dump_nodes(client, nullptr), 1);
}

TEST_F(Frlc, LateReplyTimesOutAndIsSkippedAfterwards)
{
    ASSERT_EQ((*ctl)("fault late 29 4500"), "ok\n");
    EXPECT_EQ(frlc_dump_nodes(client, nullptr), -1);
    EXPECT_EQ(errno, EAGAIN);
    // The late answer arrives while the next request waits: it is passed over.
    uint32_t node = add_node(11, 0);
    EXPECT_NE(node, 0u);
    EXPECT_EQ(frlc_dump_nodes(client, nullptr), 1);
}

TEST_F(Frlc, ControlSocketOfAKilledStandInIsPrunedByTheNext)
{
    std::string left = peer.ctl;
    ASSERT_EQ(peer.stop(SIGKILL), SIGKILL);
    ASSERT_TRUE(exists(left)) << "a killed stand-in leaves its sockets";
    standin next;
    ASSERT_TRUE(next.start(nullptr, peer.dir));
    EXPECT_FALSE(exists(left));
    EXPECT_FALSE(exists(peer.sock));
    next.dir.clear(); // the first one's to remove
}

TEST_F(Frlc, FramesAndPacketsOutAreJournalledByteForByte)
{
    const flow_id fid = {{0x02, 0x11, 0x22, 0x33, 0x44, 0x55}, {0x0a, 0x0b, 0x0c, 0x0d, 0x0e, 0x0f}};
    const uint8_t eapol[] = {0x88, 0x8e, 0x02, 0x03, 0x00, 0x5f};
    packet *p = packet_from_bytes(pool, eapol, sizeof(eapol));
    ASSERT_NE(p, nullptr);
    packet_set_priority(p, 7);
    EXPECT_EQ(frlc_output_frame(client, 5, &fid, 1, FRL_ENCAP_ETHER, p), 0);
    packet_set_priority(p, 0);
    EXPECT_EQ(frlc_output_snooped(client, 6, &fid, 2, FRL_ENCAP_ETHER, p), 0);
    EXPECT_EQ(frlc_output_packet(client, 0x80000007, FRL_ENCAP_IP, p), 0);
    packet_release(p);
    // The largest message: 4092 bytes.
    std::vector<uint8_t> big(4092 - 27);
    for (size_t i = 0; i < big.size(); i++)
        big[i] = static_cast<uint8_t>(i);
    p = packet_from_bytes(pool, big.data(), big.size());
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(frlc_output_frame(client, 5, &fid, 2, FRL_ENCAP_80211, p), 0);
    packet_release(p);

    const std::vector<std::string> expect = {
        "msg 42 len=33 node=5 flow=0211223344550a0b0c0d0e0f class=1 encap=3 prio=7 data=888e0203005f",
        "msg 43 len=33 node=6 flow=0211223344550a0b0c0d0e0f class=2 encap=3 prio=0 data=888e0203005f",
        "msg 46 len=20 device=2147483655 encap=4 prio=0 data=888e0203005f",
        "msg 42 len=4092 node=5 flow=0211223344550a0b0c0d0e0f class=2 encap=1 prio=0 data=" +
            counting_hex(big.size()),
    };
    // One-way messages and the journal request travel on different sockets.
    std::vector<std::string> got;
    EXPECT_TRUE(wait_for([&] { return (got = ctl->journal("msg")).size() >= expect.size(); }));
    EXPECT_EQ(got, expect);
}

TEST_F(Frlc, DivertedFramesAndPacketsComeInByteForByte)
{
    uint32_t node = add_node(11, 1);
    ASSERT_EQ(frlc_join_node(client, node, 2), 0);
    struct {
        std::string inject;
        std::string seen; // empty: refused
    } cases[] = {
        {"frame 42 5 0211223344550a0b0c0d0e0f 1 3 7 888e0203005f",
         "frame 5 flow=0211223344550a0b0c0d0e0f class=1 encap=3 prio=7 data=888e0203005f"},
        {"frame 43 6 000000000000ffffffffffff 3 3 250 45000014",
         "snoop 6 flow=000000000000ffffffffffff class=3 encap=3 prio=2 data=45000014"},
        {"frame 44 4294967295 0211223344550a0b0c0d0e0f 4 1 0 -",
         "copy 4294967295 flow=0211223344550a0b0c0d0e0f class=4 encap=1 prio=0 data="},
        {"packet 2147483655 4 5 6000000000003afe",
         "packet 2147483655 encap=4 prio=5 data=6000000000003afe"},
        // Longer than one datagram, and the most a packet holds.
        {"packet 3 4 0 *65535", "packet 3 encap=4 prio=0 data=" + counting_hex(65535)},
        // One byte more than a packet holds; and a frame short of its body.
        {"packet 3 4 0 *65536", ""},
        {"notify 0000002a000000000000000500", ""},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.inject);
        seen.clear();
        ASSERT_EQ((*ctl)(c.inject), "sent 1\n");
        EXPECT_GT(next_notification(), 0);
        if (c.seen.empty())
            EXPECT_TRUE(seen.empty());
        else
            EXPECT_EQ(seen, std::vector<std::string>{c.seen});
        EXPECT_EQ(pool->info.memUsedObjects, 0u);
    }
}

TEST_F(Frlc, TakeReplyLeavesTheCursorWhenShort)
{
    add_node(11, 0);
    // A reply read by hand: 128 bytes, take 125, then 4 fails, 3 succeeds.
    uint8_t msg[12];
    frlc_request_init(msg, FRL_MSG_GET_VAP);
    frl_store32(msg + 8, 1);
    array_truncate(&client->request, 0);
    ASSERT_EQ(frlc_request_body(client, msg, sizeof(msg)), 0);
    ASSERT_EQ(frlc_response(client, FRL_MSG_VAP), 0);
    ASSERT_EQ(frlc_take_reply(client, nullptr, 125), 0);
    size_t off = client->reply_off;
    EXPECT_EQ(frlc_take_reply(client, nullptr, 4), -1);
    EXPECT_EQ(client->reply_off, off);
    EXPECT_EQ(frlc_take_reply(client, nullptr, 3), 0);
    EXPECT_EQ(client->reply, nullptr);
    EXPECT_EQ(client->reply_len, 0u);
}

} // namespace

namespace {

const std::string gateway_bin = UGW_BIN_DIR "/ulmex-gateway";

std::string read_file(const std::string &path)
{
    std::string s;
    if (FILE *f = fopen(path.c_str(), "r")) {
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof(buf), f)) > 0)
            s.append(buf, n);
        fclose(f);
    }
    return s;
}

std::vector<std::string> lines_of(const std::string &text)
{
    std::vector<std::string> v;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);)
        v.push_back(l);
    return v;
}

// The daemon with stand-in data planes, its directories and log in a
// temporary folder.
class DaemonDataplane : public testing::Test {
protected:
    void SetUp() override
    {
        if (access(standin_bin.c_str(), X_OK) != 0 || access(gateway_bin.c_str(), X_OK) != 0)
            GTEST_SKIP() << "daemon or stand-in not built";
        dir = make_temp_dir();
        run = dir + "/run";
        mkdir(run.c_str(), 0755);
        mkdir((dir + "/var").c_str(), 0755);
        mkdir((dir + "/journal").c_str(), 0755);
        log = dir + "/stderr";
    }

    void TearDown() override
    {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        for (pid_t c : standins())
            kill(c, SIGKILL);
        std::system(("rm -rf '" + dir + "'").c_str());
    }

    void start(unsigned n, const char *faults = nullptr)
    {
        pid = fork();
        if (pid == 0) {
            setenv("TMPDIR", dir.c_str(), 1);
            setenv("VARDIR", (dir + "/var").c_str(), 1);
            setenv("RUNDIR", run.c_str(), 1);
            setenv("FERNRELAYD_JOURNAL", (dir + "/journal").c_str(), 1);
            if (faults)
                setenv("FERNRELAYD_FAULTS", faults, 1);
            FILE *f = freopen(log.c_str(), "w", stderr);
            (void)f;
            std::string count = std::to_string(n);
            execl(gateway_bin.c_str(), gateway_bin.c_str(), "-D", standin_bin.c_str(), "-n",
                  count.c_str(), "-d", static_cast<char *>(nullptr));
            _exit(127);
        }
    }

    // Starts the daemon and waits for its loop; the stand-ins it runs.
    std::vector<pid_t> start_running(unsigned n)
    {
        start(n);
        if (!logged("Starting ulmex-gateway")) {
            ADD_FAILURE() << read_file(log);
            return {};
        }
        return standins();
    }

    bool logged(const std::string &text, unsigned ms = 15000)
    {
        return wait_for([&] { return read_file(log).find(text) != std::string::npos; }, ms);
    }

    // The daemon's exit status; -1 when it is still running after the bound.
    int stop(int sig = SIGTERM)
    {
        if (sig)
            kill(pid, sig);
        int status = -1;
        bool done = wait_for([&] { return waitpid(pid, &status, WNOHANG) == pid; }, 20000);
        pid = -1;
        return done ? status : -1;
    }

    // Stand-ins by their control sockets.
    std::vector<pid_t> standins()
    {
        std::vector<pid_t> v;
        if (DIR *d = opendir(run.c_str())) {
            while (dirent *e = readdir(d))
                if (strncmp(e->d_name, "fernrelaysock-ctl.", 18) == 0)
                    v.push_back(static_cast<pid_t>(atoi(e->d_name + 18)));
            closedir(d);
        }
        return v;
    }

    std::string ctl_of(pid_t p) { return run + "/fernrelaysock-ctl." + std::to_string(p); }

    std::vector<std::string> final_journal(pid_t p)
    {
        return lines_of(read_file(dir + "/journal/fernrelayd-journal." + std::to_string(p)));
    }

    std::vector<std::string> requests(const std::vector<std::string> &journal)
    {
        std::vector<std::string> v;
        for (auto &l : journal)
            if (l.rfind("args", 0) != 0)
                v.push_back(l);
        return v;
    }

    std::string dir, run, log;
    pid_t pid = -1;
};

bool gone(pid_t p)
{
    return kill(p, 0) < 0 && errno == ESRCH; // a zombie would still be found
}

const std::vector<std::string> attach_sequence = {
    "req 24 len=356 op=0 count=0", "req 24 len=356 op=0 count=0",
    "join 00010000000202", "join 00010000000203"};
const std::vector<std::string> delete_sequence = {
    "req 26 len=12 op=0", "req 26 len=12 op=0", "req 15 len=8 op=0", "req 29 len=8 op=0",
    "req 37 len=8 op=0"};

TEST_F(DaemonDataplane, AttachesFourDataPlanesAndStopsCleanly)
{
    auto kids = start_running(4);
    ASSERT_EQ(kids.size(), 4u);
    for (pid_t k : kids) {
        control c(ctl_of(k));
        EXPECT_EQ(requests(c.journal()), attach_sequence) << k;
        EXPECT_EQ(c("state"), "ports=0 sockets=0 nodes=2 flows=0 locks=0 members=2\n");
    }
    int st = stop();
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << st << "\n" << read_file(log);
    std::vector<std::string> all = attach_sequence;
    all.insert(all.end(), delete_sequence.begin(), delete_sequence.end());
    for (pid_t k : kids) {
        EXPECT_TRUE(gone(k)) << k;
        EXPECT_EQ(requests(final_journal(k)), all) << k;
    }
    // No socket of anyone is left in the run directory.
    std::vector<std::string> left;
    if (DIR *d = opendir(run.c_str())) {
        while (dirent *e = readdir(d))
            if (e->d_name[0] != '.')
                left.push_back(e->d_name);
        closedir(d);
    }
    EXPECT_TRUE(left.empty()) << left.size() << " " << (left.empty() ? "" : left[0]);
}

TEST_F(DaemonDataplane, FailedAttachEndsStartupWithTheClientsError)
{
    start(2, "fault errno 24 28");
    int st = stop(0);
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 1) << st;
    std::string text = read_file(log);
    EXPECT_NE(text.find("Failed to attach data plane #0 fernrelayd["), std::string::npos) << text;
    EXPECT_NE(text.find("]: " + std::string(strerror(28))), std::string::npos) << text;
    EXPECT_TRUE(standins().empty());
}

TEST_F(DaemonDataplane, FaultsAndStrayNotificationsAreLoggedWhileServing)
{
    auto kids = start_running(2);
    ASSERT_EQ(kids.size(), 2u);
    {
        control c(ctl_of(kids[0]));
        // A notification of a type that has no slot, and one shorter than its size.
        EXPECT_EQ(c("notify 000000320000000000000000"), "sent 1\n");
        EXPECT_EQ(c("notify 0000006600000000"), "sent 1\n");
        EXPECT_TRUE(logged("Discarding unknown IPC notification 50\n"));
        EXPECT_TRUE(logged("Discarding unknown IPC notification 8 bytes"));
        // Diverted frames and packets become packets of the gateway's pool;
        // only one too long for any packet is refused.
        EXPECT_EQ(c("frame 42 5 0211223344550a0b0c0d0e0f 1 3 7 888e0203005f"), "sent 1\n");
        EXPECT_EQ(c("packet 3 4 0 *5000"), "sent 1\n");
        EXPECT_EQ(c("packet 3 4 0 *65536"), "sent 1\n");
        EXPECT_TRUE(logged("Out of buffer space"));
        std::string text = read_file(log);
        EXPECT_EQ(text.find("Out of buffer space"), text.rfind("Out of buffer space")) << text;
        // What the daemon asks at shutdown meets an error, a short and a late reply.
        c("fault errno 26 16");
        c("fault short 15 1");
        c("fault late 29 4500");
    }
    int st = stop();
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << st;
    std::string text = read_file(log);
    std::string n = std::to_string(kids[0]);
    EXPECT_NE(text.find("Failed to remove node 1 of process " + n + ": " + strerror(EBUSY)),
              std::string::npos) << text;
    EXPECT_NE(text.find("Short IPC response 15 bytes"), std::string::npos) << text;
    EXPECT_NE(text.find("Failed to list devices of process " + n + ": " + strerror(EBADMSG)),
              std::string::npos) << text;
    EXPECT_NE(text.find("Failed to list nodes of process " + n + ": " + strerror(EAGAIN)),
              std::string::npos) << text;
    // A process that did not answer is not asked anything more; the other
    // one is taken down in full.
    auto j0 = requests(final_journal(kids[0]));
    ASSERT_FALSE(j0.empty());
    EXPECT_EQ(j0.back(), "req 29 len=8 op=0");
    auto j1 = requests(final_journal(kids[1]));
    ASSERT_GE(j1.size(), delete_sequence.size());
    EXPECT_EQ(std::vector<std::string>(j1.end() - 5, j1.end()), delete_sequence);
    for (pid_t k : kids)
        EXPECT_TRUE(gone(k));
}

// The data planes' IPC clients hang below the daemon's management server:
// health checks and log settings given to the daemon reach every one of them.
TEST_F(DaemonDataplane, HealthChecksAndLogSettingsReachEveryDataPlane)
{
    auto kids = start_running(2);
    ASSERT_EQ(kids.size(), 2u);
    std::string mgmt = run + "/ulmex-gatewaysock." + std::to_string(pid);
    std::unique_ptr<uclient, void (*)(uclient *)> daemon(uclient_open(mgmt.c_str()), uclient_close);
    ASSERT_NE(daemon, nullptr);
    auto lines = [&](pid_t k, const std::string &prefix) { return control(ctl_of(k)).journal(prefix); };

    EXPECT_EQ(uclient_health_check(daemon.get()), 1);
    for (pid_t k : kids)
        EXPECT_EQ(lines(k, "health").size(), 1u) << k;

    log_cfg set = {3, 0, {0x02, 0, 0, 0, 0, 0x01}, LOG_COMP_IPC};
    uint8_t raw[12];
    memcpy(raw, &set, sizeof(raw));
    ASSERT_EQ(uclient_set_log(daemon.get(), raw), 0);
    for (pid_t k : kids)
        EXPECT_EQ(lines(k, "setlog"), std::vector<std::string>{"setlog " + tohex(raw, 12)}) << k;
    // Reading them back asks every data plane and merges what they hold.
    uint8_t got[12];
    ASSERT_EQ(uclient_get_log(daemon.get(), got), 0);
    log_cfg merged;
    memcpy(&merged, got, sizeof(merged));
    EXPECT_EQ(merged.level, 3);
    EXPECT_EQ(tohex(merged.trace_mac, 6), "020000000001");
    for (pid_t k : kids)
        EXPECT_EQ(lines(k, "getlog").size(), 1u) << k;

    // One data plane that does not acknowledge its own check fails the
    // daemon's; the others are still asked.
    EXPECT_EQ(control(ctl_of(kids[0]))("health nak"), "ok\n");
    EXPECT_EQ(uclient_health_check(daemon.get()), 0);
    EXPECT_EQ(lines(kids[1], "health").size(), 2u);
    EXPECT_EQ(control(ctl_of(kids[0]))("health ack"), "ok\n");
    EXPECT_EQ(uclient_health_check(daemon.get()), 1);
}

TEST_F(DaemonDataplane, DeadDataPlaneIsLetGoAtShutdown)
{
    auto kids = start_running(2);
    ASSERT_EQ(kids.size(), 2u);
    {
        control c(ctl_of(kids[1]));
        EXPECT_EQ(c("die"), "ok\n");
    }
    int st = stop(0);
    ASSERT_TRUE(WIFEXITED(st)) << st; // no abort
    EXPECT_EQ(WEXITSTATUS(st), 1);
    std::string text = read_file(log);
    EXPECT_NE(text.find("Failed to remove node 1 of process " + std::to_string(kids[1])),
              std::string::npos) << text;
    EXPECT_EQ(requests(final_journal(kids[0])).size(), attach_sequence.size() + delete_sequence.size());
    for (pid_t k : kids)
        EXPECT_TRUE(gone(k));
}

} // namespace
