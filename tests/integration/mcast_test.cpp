// Multicast against a fernrelayd stand-in, in a network namespace of its own:
// the daemon's IGMP and MLD general queries put on a veth before a Linux
// station, which answers them with reports (tshark on the veth as oracle);
// the member lists of multicast modes 1 and 2 as the stand-in holds them.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <algorithm>
#include <fstream>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <set>
#include <sstream>
#include <string>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "common/ctl_msg.h"
#include "common/log.h"
#include "common/uclient.h"
#include "gateway/frlc.h"
#include "gateway/ugwd_control.h"
#include "gateway/ugwd_ctl_msg.h"
#include "gateway/ugwd_flow.h"
#include "gateway/ugwd_mib.h"
#include "gateway/ugwd_proc.h"
#include "gateway/ugwd_records.h"
#include "gateway/ugwd_service.h"
#include "tests/integration/gateway_harness.h"
#include "tests/integration/standin_fixture.h"

namespace
{

using namespace standin_fixture;

std::string hex(const void *p, size_t n)
{
    std::string s;
    char b[3];
    for (size_t i = 0; i < n; i++) {
        snprintf(b, sizeof(b), "%02x", static_cast<const uint8_t *>(p)[i]);
        s += b;
    }
    return s;
}

std::vector<uint8_t> unhex(const std::string &s)
{
    std::vector<uint8_t> out;
    for (size_t i = 0; i + 1 < s.size(); i += 2)
        out.push_back(static_cast<uint8_t>(std::stoi(s.substr(i, 2), nullptr, 16)));
    return out;
}

const uint8_t station[6] = {0x02, 0x57, 0xa0, 0, 0, 1};

// A VXLAN-tunnelled ARP request of the station, from the outer IPv4 header on.
std::vector<uint8_t> tunnel_packet(const uint8_t mac[6])
{
    std::vector<uint8_t> inner = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff};
    inner.insert(inner.end(), mac, mac + 6);
    inner.insert(inner.end(), {0x08, 0x06, 0, 1, 8, 0, 6, 4, 0, 1});
    inner.insert(inner.end(), mac, mac + 6);
    inner.insert(inner.end(), {10, 1, 0, 50, 0, 0, 0, 0, 0, 0, 10, 1, 0, 1});
    std::vector<uint8_t> t = {0x30, 0x39, 0x12, 0xb5, 0, 0, 0, 0, 0x08, 0, 0, 0, 0, 0, 101, 0};
    auto ulen = static_cast<uint16_t>(t.size() + inner.size());
    t[4] = uint8_t(ulen >> 8), t[5] = uint8_t(ulen);
    t.insert(t.end(), inner.begin(), inner.end());
    auto total = static_cast<uint16_t>(20 + t.size());
    std::vector<uint8_t> ip = {
        0x45, 0, uint8_t(total >> 8), uint8_t(total), 0, 0, 0, 0, 64, 17, 0, 0, 10, 1, 0, 2, 10, 1,
        0,    1};
    ip.insert(ip.end(), t.begin(), t.end());
    return ip;
}

class Multicast : public ::testing::Test, protected gateway_harness
{
  protected:
    ugwd_service *svc = nullptr;
    pid_t capture_pid = -1;
    std::string netns;

    void SetUp() override
    {
        if (std::string why = skip_reason(); !why.empty()) GTEST_SKIP() << why;
        ASSERT_TRUE(enter_namespaces(
            "ip link set lo up && ip link add d1 type veth peer name p1 && "
            "ip link set d1 addrgenmode none && ip link set p1 addrgenmode none && "
            "ip link set d1 up && ip link set p1 up && ip addr add 10.1.0.1/24 dev d1 && "
            "ip link add d2 type veth peer name p2 && ip link set d2 up && "
            "ip link set p2 up"));
        ASSERT_TRUE(start("mcast"));
        uint32_t d1 = if_nametoindex("d1");
        ASSERT_EQ(run(port_msg(d1)).size(), 56u);
        ASSERT_EQ(run(socket_msg(d1, UGWD_TRANSPORT_VXLAN, 4789)).size(), 64u);
    }

    void TearDown() override
    {
        if (capture_pid > 0) {
            kill(capture_pid, SIGTERM);
            waitpid(capture_pid, nullptr, 0);
        }
        if (!netns.empty()) sh("ip netns delete " + netns);
        stop();
    }

    void add_service(uint8_t mode)
    {
        ugwd_service_conf c = service_conf(1);
        c.mib.ulmexServiceSSID = {};
        c.mib.mode = static_cast<uint8_t>(mode << 4);
        c.mib.membership_timeout = 260;
        ASSERT_TRUE(gateway_harness::add_service(c));
        svc = ugwd_table_get_service(ctl->table, uuid_of(1).data());
        ASSERT_NE(svc, nullptr);
    }
    // The station's first tunnel packet creates and binds its flow.
    ugwd_flow *connect(const uint8_t mac[6])
    {
        auto pkt = tunnel_packet(mac);
        EXPECT_EQ(dp("packet 7 4 0 " + hex(pkt.data(), pkt.size())), "sent 1\n");
        pollfd p{frlc_fd(proc->fernrelay), POLLIN, 0};
        EXPECT_EQ(poll(&p, 1, 5000), 1);
        frlc_process(proc->fernrelay);
        for (ugwd_flow *f : list_records<&ugwd_flow::link>(&ctl->flows))
            if (!memcmp(f->mac, mac, 6)) return f;
        return nullptr;
    }
    // The member list the stand-in holds for a flow id, sorted.
    std::vector<std::string> held(const flow_id *id)
    {
        const uint8_t *e = nullptr;
        ssize_t n = frlc_request_39(proc->fernrelay, id, &e);
        EXPECT_GE(n, 0);
        std::vector<std::string> out;
        for (ssize_t i = 0; i < n; i++)
            out.push_back(hex(e + 6 * i, 6));
        std::sort(out.begin(), out.end());
        return out;
    }
    void member_lists(uint8_t mode);
};

TEST_F(Multicast, LinuxStationAnswersTheQueries)
{
    add_service(1);
    ugwd_flow *f = connect(station);
    ASSERT_NE(f, nullptr);
    ASSERT_TRUE(f->bound);
    if (sh("command -v tshark") != 0) GTEST_SKIP() << "tshark is not installed";
    // The station's namespace file lives on the host's /run: named per test process.
    netns = "ugw-mcast-" + std::to_string(getpid());
    std::string n = "ip -n " + netns + " ";
    ASSERT_EQ(sh("ip netns add " + netns +
                 " && ip link add q0 type veth peer name q1 && "
                 "ip link set q1 netns " +
                 netns +
                 " && ip link set q0 addrgenmode none && "
                 "ip link set q0 up && " +
                 n +
                 "link set q1 address 02:57:a0:00:00:01 && "
                 "ip netns exec " +
                 netns + " sysctl -qw net.ipv6.conf.q1.accept_dad=0 && " + n +
                 "link set lo up && " + n + "link set q1 up && " + n +
                 "addr add 10.9.0.2/24 dev q1 && " + n +
                 "addr add 239.1.2.3/32 dev q1 autojoin && " + n +
                 "addr add ff05::123/128 dev q1 autojoin"),
              0);

    dp("clear");
    ugwd_ctl_query_groups(f, true, true);
    EXPECT_EQ(logged("Querying IGMP group memberships for flow"), 1u);
    EXPECT_EQ(logged("Querying ICMPv6 MLD group memberships for flow"), 1u);
    // Frames travel one way, on another socket than the journal's: wait for both.
    std::vector<std::string> sent;
    for (uint64_t end = now_ms() + 20000;
         (sent = dp.journal("msg 42 ")).size() < 2 && now_ms() < end;)
        poll(nullptr, 0, 10);
    std::vector<std::vector<uint8_t>> frames;
    for (const auto &l : sent) {
        EXPECT_NE(l.find("flow=" + hex(&f->id, 12)), std::string::npos) << l;
        frames.push_back(unhex(l.substr(l.find("data=") + 5)));
    }
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].size(), size_t{UGWD_IGMP_QUERY_LEN});
    EXPECT_EQ(frames[1].size(), size_t{UGWD_MLD_QUERY_LEN});
    // From the tunnel interface, not from the zero BSSID.
    EXPECT_EQ(memcmp(frames[1].data() + 6, svc->devs[f->tunnel->slot].hwaddr, 6), 0);

    // The station's reports; its answers to a general query carry current-state
    // records (MODE_IS_EXCLUDE, 2), its unsolicited ones state changes (4).
    std::string out = dir + "/reports.txt", err = dir + "/tshark.err";
    capture_pid = fork();
    if (capture_pid == 0) {
        freopen(out.c_str(), "w", stdout);
        freopen(err.c_str(), "w", stderr);
        execlp("tshark", "tshark", "-i", "q0", "-n", "-l", "-f", "ether src 02:57:a0:00:00:01",
               "-T", "fields", "-e", "igmp.type", "-e", "igmp.maddr", "-e", "icmpv6.type", "-e",
               "icmpv6.mldr.mar.multicast_address", "-e", "igmp.record_type", "-e",
               "icmpv6.mldr.mar.record_type", "-a", "duration:60", static_cast<char *>(nullptr));
        _exit(127);
    }
    auto slurp = [](const std::string &path) {
        std::ifstream in(path);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    };
    for (uint64_t end = now_ms() + 30000; slurp(err).find("Capturing on") == std::string::npos;
         poll(nullptr, 0, 20))
        ASSERT_LT(now_ms(), end) << "tshark did not start: " << slurp(err);

    int s = socket(AF_PACKET, SOCK_RAW, 0);
    ASSERT_GE(s, 0);
    sockaddr_ll to = {};
    to.sll_family = AF_PACKET;
    to.sll_ifindex = static_cast<int>(if_nametoindex("q0"));
    to.sll_halen = 6;
    memcpy(to.sll_addr, station, 6);
    // The capture may start a moment after tshark says so: the queries go
    // again every 2 s until both answers were seen.
    auto send_queries = [&] {
        for (auto &fr : frames)
            EXPECT_EQ(
                sendto(s, fr.data(), fr.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof(to)),
                static_cast<ssize_t>(fr.size()))
                << strerror(errno);
    };
    // Fields: IGMP type, groups, ICMPv6 type, groups, IGMP record types, MLD record types.
    auto answered = [](const std::string &text, size_t type_col, const char *type,
                       const char *group) {
        std::istringstream in(text);
        for (std::string line; std::getline(in, line);) {
            std::vector<std::string> col;
            std::istringstream cols(line);
            for (std::string c; std::getline(cols, c, '\t');)
                col.push_back(c);
            col.resize(6); // a trailing empty field is not read
            if (col[type_col] != type) continue;
            if (col[type_col + 1].find(group) != std::string::npos &&
                col[type_col == 0 ? 4 : 5].find('2') != std::string::npos)
                return true;
        }
        return false;
    };
    std::string got;
    for (uint64_t end = now_ms() + 30000, next = 0; now_ms() < end; poll(nullptr, 0, 50)) {
        if (now_ms() >= next) {
            send_queries();
            next = now_ms() + 2000;
        }
        got = slurp(out);
        if (answered(got, 0, "0x22", "239.1.2.3") && answered(got, 2, "143", "ff05::123")) break;
    }
    close(s);
    EXPECT_TRUE(answered(got, 0, "0x22", "239.1.2.3")) << got << slurp(err);
    EXPECT_TRUE(answered(got, 2, "143", "ff05::123")) << got << slurp(err);
}

// Mode 1: the tunnel's broadcast flow lists the stations with a membership;
// mode 2: each flow lists its own groups' Ethernet addresses. 2,000 members
// take several requests each way.
void Multicast::member_lists(uint8_t mode)
{
    {
        add_service(mode);
        ugwd_flow *f = connect(station);
        ASSERT_NE(f, nullptr);
        ASSERT_TRUE(f->bound);
        std::set<std::string> want;
        if (mode == 1) {
            // Stations behind the same peer; their flows need not be bound.
            uint8_t g[4] = {239, 1, 1, 1};
            ASSERT_EQ(ugwd_flow_join_group(f, g), 0);
            want.insert(hex(station, 6));
            for (uint32_t i = 0; i < 1999; i++) {
                uint8_t mac[6] = {0x02, 0x99, 0, 0, uint8_t(i >> 8), uint8_t(i)};
                ugwd_flow *o = ugwd_ctl_create_flow(ctl, nullptr, f->tunnel, mac);
                ASSERT_NE(o, nullptr);
                ASSERT_EQ(ugwd_flow_join_group(o, g), 0);
                want.insert(hex(mac, 6));
            }
        } else {
            for (uint32_t i = 0; i < 1000; i++) {
                uint8_t g[4] = {239, 7, uint8_t(i >> 8), uint8_t(i)};
                ASSERT_EQ(ugwd_flow_join_group(f, g), 0);
                uint8_t g6[16] = {0xff, 0x05};
                g6[12] = 0x80, g6[14] = uint8_t(i >> 8), g6[15] = uint8_t(i);
                ASSERT_EQ(ugwd_flow_join_group6(f, g6), 0);
                const uint8_t e4[6] = {0x01, 0x00, 0x5e, 7, uint8_t(i >> 8), uint8_t(i)};
                const uint8_t e6[6] = {0x33, 0x33, 0x80, 0, uint8_t(i >> 8), uint8_t(i)};
                want.insert(hex(e4, 6));
                want.insert(hex(e6, 6));
            }
        }
        const flow_id *id = mode == 1 ? &f->tunnel->bind.bcast : &f->id;
        dp("clear");
        ASSERT_EQ(ugwd_ctl_update_mcast_groups(f), 0);
        EXPECT_EQ(held(id), std::vector<std::string>(want.begin(), want.end()));
        size_t adds = dp.journal("req 40 ").size();
        EXPECT_EQ(adds, (want.size() + UGWD_MCAST_CHUNK - 1) / UGWD_MCAST_CHUNK);

        // An unchanged list sends nothing; a departure sends only itself.
        dp("clear");
        ASSERT_EQ(ugwd_ctl_update_mcast_groups(f), 0);
        EXPECT_EQ(dp.journal("req 40 ").size(), 0u);
        auto *gone = list_first_record<&ugwd_group::link>(&f->groups);
        if (mode == 1) {
            want.erase(hex(station, 6));
            ugwd_ctl_delete_groups(f);
        } else {
            want.erase(hex(gone->ether, 6));
            ugwd_flow_leave_group(f, gone->group);
            EXPECT_EQ(ugwd_ctl_expire_groups(f), 1 + 1999);
        }
        dp("clear");
        ASSERT_EQ(ugwd_ctl_update_mcast_groups(f), 0);
        EXPECT_EQ(held(id), std::vector<std::string>(want.begin(), want.end()));
        EXPECT_EQ(dp.journal("req 40 ").size(), 1u);

        if (mode == 1) {
            // A station whose flow goes leaves its tunnel's list with it.
            const uint8_t mac[6] = {0x02, 0x99, 0, 0, 0, 7};
            ugwd_flow *o = nullptr;
            for (ugwd_flow *x : list_records<&ugwd_flow::link>(&ctl->flows))
                if (!memcmp(x->mac, mac, 6)) o = x;
            ASSERT_NE(o, nullptr);
            ugwd_ctl_unbind_flow(o);
            want.erase(hex(mac, 6));
            EXPECT_EQ(held(id), std::vector<std::string>(want.begin(), want.end()));
        }
    }
}

TEST_F(Multicast, MemberListOfModeOne)
{
    member_lists(1);
}

TEST_F(Multicast, MemberListOfModeTwo)
{
    member_lists(2);
}

} // namespace
