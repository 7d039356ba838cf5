// The kernel as a station: its duplicate-address probes, MLD and IGMP reports,
// captured from a veth pair in a namespace of the test's own, are fed to the
// snoop handlers; the advertisement that defends an address another station
// holds is sent back, and the kernel must then mark its address "dadfailed".
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <functional>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>

#include "tests/gateway/snoop_fixture.h"

namespace {

using namespace snoop_test;
using clock_type = std::chrono::steady_clock;

int sh(const std::string &cmd)
{
    return std::system(cmd.c_str());
}

std::string hex_mac(const bytes &m)
{
    char t[18];
    snprintf(t, sizeof(t), "%02x:%02x:%02x:%02x:%02x:%02x", m[0], m[1], m[2], m[3], m[4], m[5]);
    return t;
}

class SnoopingStation : public Snoop {
protected:
    int raw = -1; // the gateway side of the veth pair
    int ifindex = 0;
    pid_t member = -1;

    void SetUp() override
    {
        if (geteuid() != 0) GTEST_SKIP() << "needs root for a network namespace";
        ASSERT_EQ(unshare(CLONE_NEWNET | CLONE_NEWNS), 0) << strerror(errno);
        ASSERT_EQ(mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0);
        // The station "st" has station B's address; probes wait 5 s for an answer.
        ASSERT_EQ(sh("ip link set lo up && ip link add gw type veth peer name st && "
                     "ip link set gw addrgenmode none && ip link set st addrgenmode none && "
                     "ip link set st address " + hex_mac(station_b) + " && "
                     "echo 5000 > /proc/sys/net/ipv6/neigh/st/retrans_time_ms && "
                     "echo 2 > /proc/sys/net/ipv4/conf/st/force_igmp_version && "
                     "ip link set gw up && ip link set st up"),
                  0);
        ifindex = static_cast<int>(if_nametoindex("gw"));
        raw = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, htons(ETH_P_ALL));
        ASSERT_GE(raw, 0);
        sockaddr_ll ll = {};
        ll.sll_family = AF_PACKET;
        ll.sll_protocol = htons(ETH_P_ALL);
        ll.sll_ifindex = ifindex;
        ASSERT_EQ(::bind(raw, reinterpret_cast<sockaddr *>(&ll), sizeof(ll)), 0);
        Snoop::SetUp();
    }

    void TearDown() override
    {
        if (member > 0) {
            kill(member, SIGTERM);
            waitpid(member, nullptr, 0);
        }
        if (raw >= 0) close(raw);
        if (ctl) Snoop::TearDown();
    }

    // The first frame the station sends that each predicate accepts, waiting
    // until all have one or the bound passes.
    std::vector<bytes> wait_frames(const std::vector<std::function<bool(const bytes &)>> &preds,
                                   int bound_ms = 10000)
    {
        std::vector<bytes> got(preds.size());
        size_t left = preds.size();
        auto end = clock_type::now() + std::chrono::milliseconds(bound_ms);
        uint8_t buf[2048];
        while (left && clock_type::now() < end) {
            pollfd p{raw, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0) continue;
            ssize_t n = recv(raw, buf, sizeof(buf), 0);
            if (n <= 14 || memcmp(buf + 6, station_b.data(), 6)) continue;
            bytes b(buf, buf + n);
            for (size_t i = 0; i < preds.size(); i++)
                if (got[i].empty() && preds[i](b)) {
                    got[i] = b;
                    left--;
                }
        }
        return got;
    }

    static int igmp_type(const bytes &b)
    {
        if (b.size() < 34 || get16(b, 12) != 0x0800 || b[23] != 2) return -1;
        size_t off = 14 + (b[14] & 15) * 4u;
        return off < b.size() ? b[off] : -1;
    }

    bool wait_for(const std::string &cmd, int bound_ms = 10000)
    {
        auto end = clock_type::now() + std::chrono::milliseconds(bound_ms);
        while (clock_type::now() < end) {
            if (sh(cmd + " >/dev/null 2>&1") == 0) return true;
            pollfd none{-1, 0, 0};
            poll(&none, 0, 50);
        }
        return false;
    }

    // The ICMPv6 type of a frame, behind at most a hop-by-hop header.
    static int icmp6_type(const bytes &b)
    {
        if (b.size() < 62 || get16(b, 12) != 0x86dd) return -1;
        size_t off = 54;
        uint8_t next = b[20];
        if (next == 0) {
            next = b[54];
            off += 8 + 8u * b[55];
        }
        return next == 58 && off < b.size() ? b[off] : -1;
    }
};

TEST_F(SnoopingStation, DefendedAddressEndsDadFailedAndTheProbesMldReportCounts)
{
    ASSERT_EQ(ugwd_icmpv6_snoop(nullptr, tn, nullptr,
                                frame(icmp6_frame(station_a, router, ip6("fe80::1"), ip6("ff02::1"), 255,
                                                  ra_msg(prefix_opt("2001:db8::", 64, 0xc0, 86400))),
                                      UGWD_SNOOP_TO_STATION)),
              -1);
    // Station A holds 2001:db8::5.
    ASSERT_EQ(ugwd_icmpv6_snoop(nullptr, tn, fa,
                                frame(icmp6_frame(station_a, station_a, bytes(16), ip6("ff02::1:ff00:5"), 255,
                                                  ns_msg(ip6("2001:db8::5"))),
                                      UGWD_SNOOP_FROM_STATION)),
              0);
    housekeeping(fa);

    ASSERT_EQ(sh("ip -6 addr add 2001:db8::5/64 dev st"), 0);
    std::vector<bytes> got = wait_frames({[](const bytes &b) { return icmp6_type(b) == 143; },
                                          [](const bytes &b) { return icmp6_type(b) == 135; }});
    const bytes &report = got[0], &probe = got[1];
    ASSERT_FALSE(probe.empty()) << "the kernel sent no duplicate-address probe";

    EXPECT_EQ(ugwd_icmpv6_snoop(nullptr, tn, fb, frame(probe, UGWD_SNOOP_FROM_STATION)), -1);
    std::vector<bytes> out = sent();
    ASSERT_EQ(out.size(), 1u);
    sockaddr_ll to = {};
    to.sll_family = AF_PACKET;
    to.sll_ifindex = ifindex;
    to.sll_halen = 6;
    memcpy(to.sll_addr, station_b.data(), 6);
    ASSERT_EQ(sendto(raw, out[0].data(), out[0].size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof(to)),
              static_cast<ssize_t>(out[0].size()));
    EXPECT_TRUE(wait_for("ip -6 addr show dev st | grep -q '2001:db8::5/64.*dadfailed'"))
        << "the kernel kept its address";
    EXPECT_TRUE(addrs6(fb).empty());

    // The kernel joined the probe's solicited-node group first.
    ASSERT_FALSE(report.empty()) << "the kernel sent no MLDv2 report";
    EXPECT_EQ(ugwd_icmpv6_snoop(nullptr, tn, fb, frame(report, UGWD_SNOOP_FROM_STATION)), 0);
    bool joined = false;
    for (ugwd_group6 *g : list_records<&ugwd_group6::link>(&fb->groups6))
        joined |= !memcmp(g->group, ip6("ff02::1:ff00:5").data(), 16) && g->timeout == 260;
    EXPECT_TRUE(joined);
}

TEST_F(SnoopingStation, IgmpJoinAndLeaveOfASocketMakeAndEndAMembership)
{
    ASSERT_EQ(sh("ip addr add 10.9.0.2/24 dev st"), 0);
    member = fork();
    if (member == 0) {
        execlp("python3", "python3", "-c",
               "import socket, struct\n"
               "s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)\n"
               "s.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP,\n"
               "             struct.pack('4s4si', socket.inet_aton('239.1.2.3'),\n"
               "                         socket.inet_aton('0.0.0.0'), socket.if_nametoindex('st')))\n"
               "import signal\n"
               "signal.pause()\n",
               static_cast<char *>(nullptr));
        _exit(127);
    }
    bytes join = wait_frames({[](const bytes &b) { return igmp_type(b) == 0x16; }})[0];
    ASSERT_FALSE(join.empty()) << "the kernel sent no IGMP report";
    EXPECT_EQ(ugwd_igmp_snoop(nullptr, tn, fb, frame(join, UGWD_SNOOP_FROM_STATION)), 0);
    ASSERT_FALSE(list_isempty(&fb->groups));
    ugwd_group *g = list_first_record<&ugwd_group::link>(&fb->groups);
    EXPECT_EQ(bytes(g->group, g->group + 4), ip4("239.1.2.3"));
    EXPECT_EQ(g->timeout, 260u);

    kill(member, SIGTERM);
    waitpid(member, nullptr, 0);
    member = -1;
    bytes leave = wait_frames({[](const bytes &b) { return igmp_type(b) == 0x17; }})[0];
    ASSERT_FALSE(leave.empty()) << "the kernel sent no leave";
    EXPECT_EQ(ugwd_igmp_snoop(nullptr, tn, fb, frame(leave, UGWD_SNOOP_FROM_STATION)), 0);
    EXPECT_EQ(g->timeout, 0u);
}

} // namespace
