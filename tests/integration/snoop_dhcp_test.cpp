// Real DHCP clients in a station namespace, behind a kernel VXLAN tunnel and
// the stand-in's bridge, against dnsmasq on the network side: the flow's
// record holds exactly what dnsmasq granted (its own lease file is the
// oracle), reaches the gateway's lease file, and ends with a NAK.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <csignal>
#include <cstring>
#include <fstream>
#include <iterator>
#include <net/if.h>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "common/schedule.h"
#include "gateway/ugwd_flow.h"
#include "gateway/ugwd_proc.h"
#include "gateway/ugwd_records.h"
#include "gateway/ugwd_service.h"
#include "tests/integration/dhcp_peer.h"
#include "tests/integration/gateway_harness.h"

namespace
{

using namespace standin_fixture;
using namespace dhcp_peer;

const uint8_t station_mac[6] = {0x02, 0x57, 0xd4, 0, 0, 1};
const char *const station_text = "02:57:d4:00:00:01";

// The gateway's side: d1 carries the tunnel, d2 is the bridge's Ethernet
// side, its peer p2 the network where dnsmasq serves. The station: a VXLAN
// device in namespace ns.
class SnoopDhcp : public ::testing::Test, protected gateway_harness
{
  protected:
    std::string ns;
    dhcp_peer::dnsmasq dnsmasq;

    void SetUp() override
    {
        if (std::string why = skip_reason(); !why.empty()) GTEST_SKIP() << why;
        for (const char *tool : {"dnsmasq", "busybox", "dhclient", "ethtool"})
            if (sh(std::string("command -v ") + tool + " >/dev/null") != 0)
                GTEST_SKIP() << "needs " << tool;
        ns = "ugw-sd-" + std::to_string(getpid());
        ASSERT_TRUE(enter_namespaces(
            station_network(ns, "02:57:d4:00:00:01") + " && ip netns exec " + ns +
            " sysctl -qw net.ipv6.conf.st.disable_ipv6=1 && ip -n " + ns + " link set st up"));
        ASSERT_TRUE(start("snoop-dhcp", "bridge d1 d2", "ulmex-gateway.leases"));
        uint32_t d1 = if_nametoindex("d1");
        ASSERT_EQ(run(port_msg(d1)).size(), 56u);
        ASSERT_EQ(run(socket_msg(d1, 2, 4789)).size(), 64u);
        ugwd_service_conf c = service_conf(1);
        c.mib.mode = 0x10;
        ASSERT_TRUE(add_service(c));
    }

    void TearDown() override
    {
        dnsmasq.stop();
        stop();
        if (!ns.empty()) sh("ip netns del " + ns);
    }

    // Returns once dnsmasq listens: a client's first message must not be lost.
    void start_dnsmasq(const char *range)
    {
        size_t before = dnsmasq.bound();
        dnsmasq.start(dir, "p2", std::string(range) + ",255.255.255.0,600");
        EXPECT_TRUE(pump([&] { return dnsmasq.bound() > before; }, 10000))
            << "dnsmasq did not start";
    }

    // Runs the gateway's loop until done() holds or the bound passes.
    template <class F> bool pump(F done, int bound_ms = 25000)
    {
        for (uint64_t end = now_ms() + static_cast<uint64_t>(bound_ms); !done();) {
            if (now_ms() > end) return false;
            schedule_run(ctl->sched, 20);
        }
        return true;
    }
    // Runs a client in the station's namespace to its end: its exit status.
    int client(const std::string &cmd)
    {
        pid_t pid =
            spawn_shell("ip netns exec " + ns + " " + cmd + " >>" + dir + "/client.log 2>&1");
        int st = -1;
        if (!pump([&] { return waitpid(pid, &st, WNOHANG) == pid; })) {
            reap(pid);
            return -1;
        }
        return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    }

    ugwd_flow *flow()
    {
        for (ugwd_flow *f : list_records<&ugwd_flow::link>(&ctl->flows))
            if (!memcmp(f->mac, station_mac, 6)) return f;
        return nullptr;
    }
    ugwd_lease *lease()
    {
        ugwd_flow *f = flow();
        return f && !list_isempty(&f->leases) ? list_first_record<&ugwd_lease::link>(&f->leases)
                                              : nullptr;
    }
    std::string leased()
    {
        ugwd_lease *l = lease();
        if (!l) return "";
        char t[16];
        inet_ntop(AF_INET, l->rec.addr, t, sizeof(t));
        return t;
    }
    // The address dnsmasq's own lease file gives the station.
    std::string granted() { return dnsmasq.granted(station_text); }
    // The gateway's lease file holds a record of the station with the address.
    bool in_lease_file(const std::string &addr)
    {
        std::string f = read_file(dir + "/ulmex-gateway.leases");
        in_addr a{};
        inet_pton(AF_INET, addr.c_str(), &a);
        for (size_t at = 0; at + sizeof(ugwd_lease_rec) <= f.size(); at += sizeof(ugwd_lease_rec)) {
            ugwd_lease_rec r;
            memcpy(&r, f.data() + at, sizeof(r));
            if (!memcmp(r.mac, station_mac, 6) && !memcmp(r.addr, &a, 4)) return true;
        }
        return false;
    }
    std::string context()
    {
        std::string all =
            dp("bridge state") + dp("journal") + read_file(dir + "/client.log") + dnsmasq.log();
        for (auto &l : lines)
            all += l + "\n";
        return all;
    }
};

TEST_F(SnoopDhcp, UdhcpcLeaseIsRecordedAndStored)
{
    start_dnsmasq("10.200.0.100,10.200.0.150");
    const std::string udhcpc = dhcp_peer::udhcpc(dir, "st", "-x hostname:laptop-a");
    ASSERT_EQ(client(udhcpc), 0) << context();
    ASSERT_TRUE(pump([&] { return !leased().empty() && leased() != "0.0.0.0"; })) << context();
    std::string addr = granted();
    ASSERT_NE(addr, "") << context();
    ugwd_lease *l = lease();
    EXPECT_EQ(leased(), addr);
    EXPECT_EQ((l->rec.flags & 0x7e) >> 1, 24);
    EXPECT_EQ(l->rec.lease_time, 600u);
    EXPECT_STREQ(l->rec.hostname, "laptop-a");
    EXPECT_EQ(logged("assigned lease " + addr + "/24 valid for 600s"), 1u) << context();
    EXPECT_TRUE(pump([&] { return in_lease_file(addr); })) << "lease file";
    EXPECT_GE(std::stoull(dp("bridge state").substr(dp("bridge state").find("snooped=") + 8)), 4u);

    // Bound again, then told to let go (SIGUSR2): the release resets the
    // record. The address stays on the device, or the release would die in
    // the neighbour queue with it.
    std::ofstream(dir + "/keep.sh") << "#!/bin/sh\nexit 0\n";
    chmod((dir + "/keep.sh").c_str(), 0755);
    auto obtained = [&] {
        std::string log = read_file(dir + "/client.log");
        size_t n = 0;
        for (size_t at = 0;
             (at = log.find("lease of " + addr + " obtained", at)) != std::string::npos; at++)
            n++;
        return n;
    };
    size_t acks = obtained();
    pid_t pid = spawn_shell("ip netns exec " + ns + " busybox udhcpc -f -i st -t 5 -T 2 -p " + dir +
                            "/udhcpc.pid -s " + dir + "/keep.sh >>" + dir + "/client.log 2>&1");
    // The client, not only the record, must hold the lease before it lets go.
    bool bound = pump([&] { return obtained() > acks; });
    sh("kill -USR2 $(cat " + dir + "/udhcpc.pid)");
    bool released = bound && pump([&] { return logged("lease " + addr + " released") == 1; });
    sh("kill $(cat " + dir + "/udhcpc.pid)");
    reap(pid);
    EXPECT_TRUE(bound) << context();
    EXPECT_TRUE(released) << context();
    EXPECT_EQ(leased(), "0.0.0.0") << context();
}

TEST_F(SnoopDhcp, DhclientLeaseIsRevokedByANak)
{
    start_dnsmasq("10.200.0.100,10.200.0.150");
    const std::string dhclient = "dhclient -1 -d -v -sf /bin/true -lf " + dir +
                                 "/dhclient.leases -pf " + dir + "/dhclient.pid st";
    pid_t pid =
        spawn_shell("ip netns exec " + ns + " " + dhclient + " >>" + dir + "/client.log 2>&1");
    // The client keeps the lease in its file before it goes: else it starts
    // again with a discovery, not with the request the server refuses.
    bool got = pump([&] {
        return !leased().empty() && leased() != "0.0.0.0" &&
               read_file(dir + "/dhclient.leases").find("fixed-address " + leased() + ";") !=
                   std::string::npos;
    });
    reap(pid);
    ASSERT_TRUE(got) << context();
    std::string addr = leased();
    EXPECT_EQ(addr, granted());
    EXPECT_EQ((lease()->rec.flags & 0x7e) >> 1, 24);
    EXPECT_EQ(lease()->rec.lease_time, 600u);

    // The server no longer hands out that address: the client's reboot
    // request for it is refused, and the record lets it go.
    start_dnsmasq("10.200.0.200,10.200.0.250");
    pid = spawn_shell("ip netns exec " + ns + " " + dhclient + " >>" + dir + "/client.log 2>&1");
    bool revoked = pump([&] { return logged("lease " + addr + " revoked") == 1; });
    reap(pid);
    EXPECT_TRUE(revoked) << context();
}

// A station that sends itself server messages (scapy crafts them on its
// tunnel device): they reach the daemon from the station and change nothing.
TEST_F(SnoopDhcp, ForgedServerMessagesFromTheStationChangeNothing)
{
    if (sh("/usr/bin/python3 -c 'import scapy' 2>/dev/null") != 0) GTEST_SKIP() << "needs python3-scapy";
    std::ofstream(dir + "/forge.py")
        << "from scapy.all import *\n"
           "m = '02:57:d4:00:00:01'\n"
           "ack = Ether(src='02:ee:00:00:00:01', dst=m) / IP(src='10.200.0.1', "
           "dst='10.200.0.66') / UDP(sport=67, dport=68) / BOOTP(op=2, yiaddr='10.200.0.66', "
           "chaddr=bytes.fromhex('0257d4000001')) / DHCP(options=[('message-type', 'ack'), "
           "('subnet_mask', '255.255.255.0'), ('lease_time', 86400), 'end'])\n"
           "rep = Ether(src=m, dst='33:33:00:01:00:02') / IPv6(src='fe80::1', dst='fe80::2') / "
           "UDP(sport=547, dport=546) / DHCP6_Reply(trid=1) / DHCP6OptIA_NA(iaid=7, "
           "ianaopts=[DHCP6OptIAAddress(addr='2001:db8::66', preflft=300, validlft=600)])\n"
           "sendp([ack, rep] * 3, iface='st', inter=0.2, verbose=False)\n";
    ASSERT_EQ(client("/usr/bin/python3 " + dir + "/forge.py"), 0) << context();
    auto snooped = [&] {
        std::string st = dp("bridge state");
        return std::stoull(st.substr(st.find("snooped=") + 8));
    };
    ASSERT_TRUE(pump([&] { return snooped() >= 6; })) << context();
    ASSERT_NE(flow(), nullptr);
    EXPECT_TRUE(leased().empty() || leased() == "0.0.0.0") << leased();
    for (ugwd_lease6 *l : list_records<&ugwd_lease6::link>(&flow()->leases6))
        EXPECT_EQ(l->rec.prefix_len, 0);
    EXPECT_EQ(logged("assigned"), 0u) << context();
}

// dhclient -6 against dnsmasq: a /128 record with the server's valid lifetime
// and the client's FQDN cut to its first label.
TEST_F(SnoopDhcp, Dhclient6LeaseIsRecorded)
{
    ASSERT_EQ(sh("ip addr add fd00:200::1/64 dev p2 nodad && ip netns exec " + ns +
                 " sysctl -qw net.ipv6.conf.st.accept_dad=0 net.ipv6.conf.st.disable_ipv6=0"),
              0);
    dnsmasq.start(dir, "p2", "fd00:200::100,fd00:200::1ff,64,600");
    std::ofstream(dir + "/dhclient6.conf") << "send fqdn.fqdn \"laptop6.example.org.\";\n";
    pid_t pid = spawn_shell("ip netns exec " + ns + " dhclient -6 -1 -d -v -cf " + dir +
                            "/dhclient6.conf -sf /bin/true -lf " + dir + "/dhclient6.leases -pf " +
                            dir + "/dhclient6.pid st >>" + dir + "/client.log 2>&1");
    ugwd_lease6 *l = nullptr;
    bool got = pump([&] {
        ugwd_flow *f = flow();
        if (!f) return false;
        for (ugwd_lease6 *x : list_records<&ugwd_lease6::link>(&f->leases6))
            if (x->rec.kind == UGWD_LEASE6_DHCPV6 && x->rec.prefix_len) l = x;
        return l != nullptr;
    });
    reap(pid);
    ASSERT_TRUE(got) << context();
    char a[INET6_ADDRSTRLEN];
    inet_ntop(AF_INET6, l->rec.addr, a, sizeof(a));
    EXPECT_NE(read_file(dir + "/dnsmasq.log").find(std::string("DHCPREPLY(p2) ") + a),
              std::string::npos)
        << a << "\n" << context();
    EXPECT_EQ(l->rec.prefix_len, 128);
    EXPECT_EQ(l->rec.valid_lifetime, 600u);
    EXPECT_STREQ(l->rec.hostname, "laptop6");
}

} // namespace
