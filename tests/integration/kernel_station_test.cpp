// Stations made by the kernel in a namespace of their own, reaching the
// gateway through the stand-in's bridge: the first real tunnel packet makes
// an authorized flow; an idle station is probed with an ARP request it
// answers, and cut off once it falls silent.
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fstream>
#include <future>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <sstream>
#include <string>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "common/ctl_msg.h"
#include "common/log.h"
#include "common/mempool.h"
#include "common/schedule.h"
#include "common/uclient.h"
#include "common/userver.h"
#include "gateway/ugwd_control.h"
#include "gateway/ugwd_ctl_msg.h"
#include "gateway/ugwd_flow.h"
#include "gateway/ugwd_proc.h"
#include "gateway/ugwd_service.h"
#include "gateway/ugwd_stash.h"
#include "tests/integration/child_process.h"
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

std::string output_of(const std::string &cmd, int *status = nullptr)
{
    std::string out;
    FILE *p = popen((cmd + " 2>&1").c_str(), "r");
    if (!p) return out;
    char buf[4096];
    for (size_t n; (n = fread(buf, 1, sizeof(buf), p)) > 0;)
        out.append(buf, n);
    int st = pclose(p);
    if (status) *status = st;
    return out;
}

pid_t spawn(const std::string &cmd)
{
    pid_t pid = fork();
    if (pid == 0) {
        execl("/bin/sh", "sh", "-c", ("exec " + cmd).c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    return pid;
}

void reap(pid_t pid, int sig = SIGTERM)
{
    if (pid <= 0) return;
    kill(pid, sig);
    waitpid(pid, nullptr, 0);
}

// A station's tunnel device: the kind's arguments towards the gateway's
// address, and the kernel support a missing kind needs.
struct kind {
    const char *name;
    const char *args;
    uint8_t transport;
    const char *module;
};

const kind kinds[] = {
    {"vxlan", "vxlan id %V local 10.1.0.2 remote 10.1.0.1 dstport 4789", UGWD_TRANSPORT_VXLAN,
     "vxlan"},
    {"geneve", "geneve id %V remote 10.1.0.1", UGWD_TRANSPORT_GENEVE, "geneve"},
    {"gretap", "gretap local 10.1.0.2 remote 10.1.0.1", UGWD_TRANSPORT_GRE, "ip_gre (gretap)"},
    {"vxlan6", "vxlan id %V local fd00::2 remote fd00::1 dstport 4789", UGWD_TRANSPORT_VXLAN,
     "vxlan"},
};

void PrintTo(const kind &k, std::ostream *os)
{
    *os << k.name;
}

// The gateway's side: d1 carries the tunnels, d2 is the services' interface
// and the bridge's Ethernet side. The stations' side: p1 in namespace ns.
class Stations : public ::testing::Test, protected gateway_harness
{
  protected:
    std::string ns;

    void SetUp() override
    {
        if (std::string why = skip_reason(); !why.empty()) GTEST_SKIP() << why;
        ns = "ugw-st-" + std::to_string(getpid());
        ASSERT_TRUE(enter_namespaces(
            "ip link set lo up && ip netns add " + ns +
            " && ip link add d1 type veth peer name p1 netns " + ns +
            " && ip link add d2 type veth peer name p2 && "
            // No address comes later to make the gateway reconfigure its port.
            "ip link set d1 addrgenmode none && ip link set d2 addrgenmode none && "
            "ip addr add 10.1.0.1/24 dev d1 && ip addr add fd00::1/64 dev d1 nodad && "
            "ip link set d1 up && "
            "ip link set d2 up && ip link set p2 up && "
            "ip -n " +
            ns + " link set lo up && ip -n " + ns + " addr add 10.1.0.2/24 dev p1 && ip -n " + ns +
            " addr add fd00::2/64 dev p1 nodad && ip -n " + ns + " link set p1 up"));
        ASSERT_TRUE(start("station", "bridge d1 d2"));
        uint32_t d1 = if_nametoindex("d1");
        ASSERT_EQ(run(port_msg(d1)).size(), 56u);
        for (auto [proto, port] : {std::pair{2u, 4789}, {3u, 6081}, {4u, 0}})
            ASSERT_EQ(run(socket_msg(d1, proto, static_cast<uint16_t>(port))).size(), 64u);
    }

    void TearDown() override
    {
        stop();
        if (!ns.empty()) sh("ip netns del " + ns);
    }

    void add_service(uint8_t n, uint16_t idle_period)
    {
        ugwd_service_conf c = service_conf(n);
        c.mib.mode = 0x10;
        c.dot11.dot11BssMaxIdlePeriod = idle_period;
        ASSERT_TRUE(gateway_harness::add_service(c));
    }

    // A station device in the stations' namespace: the kind's device with the
    // service's VNI, its MAC and inner address, IPv6 off so that it stays
    // silent until the test speaks.
    std::string add_station(const kind &k, const char *dev, uint8_t service, const uint8_t mac[6],
                            const char *addr)
    {
        std::string args = k.args;
        for (size_t at; (at = args.find("%V")) != std::string::npos;)
            args.replace(at, 2, std::to_string(100 + service));
        char m[18];
        snprintf(m, sizeof(m), "%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2], mac[3],
                 mac[4], mac[5]);
        int st;
        std::string out = output_of("ip -n " + ns + " link add " + dev + " address " + m +
                                        " type " + args,
                                    &st);
        if (st != 0) return out;
        out = output_of("ip netns exec " + ns + " sysctl -qw net.ipv6.conf." + dev +
                            ".disable_ipv6=1 && ip -n " + ns + " addr add " + addr +
                            "/24 dev " + dev + " && ip -n " + ns + " link set " + dev + " up",
                        &st);
        return st == 0 ? "" : out;
    }

    // Runs the gateway's loop until done() holds or the bound passes.
    template <class F> bool pump(F done, int bound_ms = 20000)
    {
        for (uint64_t end = now_ms() + static_cast<uint64_t>(bound_ms); !done();) {
            if (now_ms() > end) return false;
            schedule_run(ctl->sched, 20);
        }
        return true;
    }

    ugwd_flow *flow_of(const uint8_t mac[6])
    {
        for (ugwd_flow *f : list_records<&ugwd_flow::link>(&ctl->flows))
            if (!memcmp(f->mac, mac, 6)) return f;
        return nullptr;
    }
    std::string rules(const ugwd_flow *f)
    {
        return dp("rules " + std::to_string(proc->node_a) + " " + hex(&f->id, 12));
    }
    uint64_t bridge_count(const std::string &what)
    {
        std::string s = dp("bridge state");
        size_t at = s.find(what + "=");
        return at == std::string::npos ? 0 : std::stoull(s.substr(at + what.size() + 1));
    }
    // The station's DHCP record, which the probes take the address from.
    void give_lease(ugwd_flow *f, const uint8_t addr[4])
    {
        auto *l = static_cast<ugwd_lease *>(mempool_zalloc(ctl->pools[UGWD_POOL_LEASE]));
        ASSERT_NE(l, nullptr);
        ugwd_lease_links_init(l);
        memcpy(l->rec.uuid, f->uuid, 16);
        memcpy(l->rec.mac, f->mac, 6);
        memcpy(l->rec.addr, addr, 4);
        ASSERT_EQ(ugwd_table_insert_lease(ctl->table, l), 0);
        list_append(&f->leases, &l->link);
    }
};

class KernelStation : public Stations, public ::testing::WithParamInterface<kind>
{
};

const uint8_t station_a[6] = {0x02, 0x57, 0xa0, 0, 0, 1};
const uint8_t station_b[6] = {0x02, 0x57, 0xa0, 0, 0, 2};

TEST_P(KernelStation, FirstPacketMakesAnAuthorizedFlow)
{
    const kind &k = GetParam();
    add_service(1, 0);
    std::string err = add_station(k, "st", 1, station_a, "10.200.0.50");
    if (err.find("Unknown device type") != std::string::npos)
        GTEST_SKIP() << "this kernel cannot make " << k.name << " devices (" << k.module
                     << " support is missing)";
    ASSERT_EQ(err, "");

    uclient *sub = uclient_open(ctl->server->path);
    ASSERT_NE(sub, nullptr);
    uint8_t key[4];
    ctl_put32(key, 0, CTL_NEW_FLOW);
    auto joined = std::async(std::launch::async, [&] { return uclient_join_group(sub, key, 4); });
    ASSERT_TRUE(pump([&] {
        return joined.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
    }));
    ASSERT_EQ(joined.get(), 0);
    dp("clear");

    // The station's ARP request for an address nobody has: the first packet.
    pid_t ping = spawn("ip netns exec " + ns + " ping -n -q -c 30 -i 0.5 10.200.0.1 >/dev/null");
    ugwd_flow *f = nullptr;
    bool made = pump([&] {
        f = flow_of(station_a);
        return f && (f->flags & UGWD_FLOW_AUTHORIZED);
    });
    ASSERT_TRUE(made) << dp("bridge state") << dp("journal");
    EXPECT_EQ(f->tunnel->transport, k.transport);
    EXPECT_TRUE(f->bound);
    EXPECT_TRUE(f->flags & UGWD_FLOW_CONNECTED);
    EXPECT_STREQ(f->user_name, "02:57:a0:00:00:01");
    EXPECT_EQ(rules(f), "ip=11 mac=2 url=\n");

    // The kernel's packet came back to the data plane as it was diverted,
    // and the data plane now counts the station's traffic on the flow.
    auto back = dp.journal("msg 46 ");
    ASSERT_GE(back.size(), 1u) << dp("journal");
    EXPECT_NE(back[0].find("encap=4"), std::string::npos);
    bool v6 = strchr(k.args, ':');
    EXPECT_EQ(f->peer.sa.sa_family, v6 ? AF_INET6 : AF_INET);
    EXPECT_NE(back[0].find(v6 ? "data=6" : "data=45"), std::string::npos) << back[0];
    EXPECT_NE(back[0].find(v6 ? "fd000000000000000000000000000002fd00000000000000000000000000"
                                "0001"
                              : "0a0100020a010001"),
              std::string::npos)
        << "outer addresses";
    EXPECT_NE(back[0].find("ffffffffffff" + hex(station_a, 6) + "0806"), std::string::npos)
        << "the station's ARP request inside";
    // A request the kernel sent while the flow was being made may have been
    // diverted too; none is once the flow is there.
    uint64_t diverted = bridge_count("diverted"), forwarded = bridge_count("forwarded");
    ASSERT_TRUE(pump([&] { return bridge_count("forwarded") >= forwarded + 2; }))
        << "the station's next requests go through the flow";
    EXPECT_EQ(bridge_count("diverted"), diverted);
    EXPECT_EQ(dp.journal("msg 46 ").size(), diverted) << [] { std::string all; for (auto &l : lines) all += l + "\n"; return all; }();
    EXPECT_EQ(ugwd_table_count_flows(ctl->table), 1u);

    const uint8_t *ev = nullptr;
    ssize_t n = -1;
    for (uint64_t end = now_ms() + 20000; n < 0 && now_ms() < end; poll(nullptr, 0, 5))
        n = uclient_recv_event(sub, &ev);
    ASSERT_EQ(n, 1924);
    EXPECT_EQ(ctl_get32(ev, 0), CTL_NEW_FLOW);
    EXPECT_EQ(memcmp(ev + 8 + 6, station_a, 6), 0);
    EXPECT_EQ(memcmp(ev + 8 + 388, &f->id, 12), 0);
    reap(ping);
    uclient_close(sub);
}

INSTANTIATE_TEST_SUITE_P(Kinds, KernelStation, ::testing::ValuesIn(kinds),
                         [](const auto &p) { return std::string(p.param.name); });

// ugw listen, as an administrator runs it, reports a station's tunnel and flow
// coming and going, in the abbreviated and the JSON Lines forms.
TEST_F(Stations, UgwListenReportsAStationsTunnelAndFlow)
{
    add_service(1, 0);
    ASSERT_EQ(add_station(kinds[0], "st", 1, station_a, "10.200.0.50"), "");
    const std::string ugw = UGW_BIN_DIR "/ugw", pid = std::to_string(getpid());
    child_process::child listeners[] = {
        child_process::spawn({ugw, "-s", "-p", pid, "listen", "tunnels", "flows"}, child_process::tool_env(dir)),
        child_process::spawn({ugw, "-j", "-p", pid, "listen", "tunnels", "flows"}, child_process::tool_env(dir)),
    };
    const int tunnels = ctl_event_group_index(CTL_NEW_TUNNEL), flows = ctl_event_group_index(CTL_NEW_FLOW);
    auto members = [](const list_link *group) {
        size_t n = 0;
        for (list_link *l : list_for_each(group)) {
            (void)l;
            n++;
        }
        return n;
    };
    ASSERT_TRUE(pump([&] {
        return members(&ctl->subscribers[tunnels]) == 2 && members(&ctl->subscribers[flows]) == 2;
    })) << "the listeners did not subscribe";

    // Lines of each listener so far, read without blocking the gateway's loop.
    std::vector<std::string> got[2];
    std::string partial[2];
    auto collect = [&] {
        for (int i = 0; i < 2; i++) {
            pollfd p{listeners[i].out, POLLIN, 0};
            char buf[4096];
            while (poll(&p, 1, 0) > 0) {
                ssize_t n = read(listeners[i].out, buf, sizeof buf);
                if (n <= 0) break;
                partial[i].append(buf, static_cast<size_t>(n));
            }
            for (size_t nl; (nl = partial[i].find('\n')) != std::string::npos;) {
                got[i].push_back(partial[i].substr(0, nl));
                partial[i].erase(0, nl + 1);
            }
        }
    };

    pid_t ping = spawn("ip netns exec " + ns + " ping -n -q -c 1 -W 2 10.200.0.1 >/dev/null");
    ASSERT_TRUE(pump([&] {
        collect();
        return got[0].size() >= 2 && got[1].size() >= 2;
    })) << dp("bridge state");
    reap(ping);
    const std::string flow_line = "New flow with BSSID 00:00:00:00:00:00 and client 02:57:a0:00:00:01";
    EXPECT_EQ(got[0], (std::vector<std::string>{"New tunnel 10.1.0.2", flow_line}));
    ASSERT_EQ(got[1].size(), 2u);
    EXPECT_EQ(got[1][0].rfind("{\"ulmexEvent\":\"start\",\"ulmexTunnel\":{", 0), 0u) << got[1][0];
    EXPECT_EQ(got[1][1].rfind("{\"ulmexEvent\":\"start\",\"ulmexFlow\":{", 0), 0u) << got[1][1];
    EXPECT_NE(got[1][1].find("02:57:a0:00:00:01"), std::string::npos) << got[1][1];

    // The service goes, and with it the flow and then its tunnel.
    std::vector<uint8_t> remove(ctl_msg_catalogue[CTL_REMOVE_SERVICE].size);
    ugwd_ctl_msg_init(remove.data(), CTL_REMOVE_SERVICE);
    memcpy(remove.data() + 8, uuid_of(1).data(), 16);
    ASSERT_EQ(ctl_get32(run(remove).data(), 0), CTL_DELETE_SERVICE);
    ASSERT_TRUE(pump([&] {
        collect();
        return got[0].size() >= 4 && got[1].size() >= 4;
    }));
    EXPECT_EQ(got[0][2], "Delete flow with BSSID 00:00:00:00:00:00 and client 02:57:a0:00:00:01");
    EXPECT_EQ(got[0][3], "Delete tunnel 10.1.0.2");
    EXPECT_EQ(got[1][2].rfind("{\"ulmexEvent\":\"stop\",\"ulmexFlow\":{", 0), 0u) << got[1][2];
    EXPECT_EQ(got[1][3].rfind("{\"ulmexEvent\":\"stop\",\"ulmexTunnel\":{", 0), 0u) << got[1][3];
    for (auto &l : listeners) {
        kill(l.pid, SIGTERM);
        EXPECT_EQ(child_process::wait_status(l.pid, 10000), 0);
        close(l.in);
        close(l.out);
        close(l.err);
    }
}

// Two stations side by side: one of a service with idle period 3, one of a
// service without liveness checks. The first is probed, answers, and is cut
// off once it falls silent; the second is never probed nor cut off.
TEST_F(Stations, LivenessProbesAnIdleStationAndCutsOffASilentOne)
{
    if (output_of("command -v tshark").empty()) GTEST_SKIP() << "needs tshark";
    add_service(1, 3);
    add_service(2, 0);
    ASSERT_EQ(add_station(kinds[0], "sa", 1, station_a, "10.200.0.50"), "");
    ASSERT_EQ(add_station(kinds[0], "sb", 2, station_b, "10.200.1.50"), "");
    std::string pcap = dir + "/p1.pcap", log = dir + "/tshark.log";
    pid_t tshark =
        spawn("ip netns exec " + ns + " tshark -i p1 -f 'udp port 4789' -w " + pcap + " 2>" + log);
    ASSERT_TRUE(pump([&] {
        std::ifstream in(log);
        std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        return all.find("Capture started") != std::string::npos;
    })) << "tshark did not start";

    // One packet each makes the flows; then both stations fall silent.
    pid_t pings[] = {spawn("ip netns exec " + ns + " ping -n -q -c 1 -W 2 10.200.0.1 >/dev/null"),
                     spawn("ip netns exec " + ns + " ping -n -q -c 1 -W 2 10.200.1.1 >/dev/null")};
    ugwd_flow *a = nullptr, *b = nullptr;
    ASSERT_TRUE(pump([&] {
        a = flow_of(station_a);
        b = flow_of(station_b);
        return a && b && (a->flags & UGWD_FLOW_AUTHORIZED) && (b->flags & UGWD_FLOW_AUTHORIZED);
    })) << dp("bridge state");
    for (pid_t p : pings)
        waitpid(p, nullptr, 0);
    uint8_t addr_a[4] = {10, 200, 0, 50}, addr_b[4] = {10, 200, 1, 50};
    give_lease(a, addr_a);
    give_lease(b, addr_b);
    flow_id id_a = a->id, id_b = b->id;
    std::string probe_a = "flow=" + hex(&id_a, 12), probe_b = "flow=" + hex(&id_b, 12);
    auto probes_to = [&](const std::string &flow) {
        size_t n = 0;
        for (auto &l : dp.journal("msg 42 "))
            n += l.find(flow) != std::string::npos;
        return n;
    };

    // The probes reach the station, whose answers count as its activity: it
    // stays connected well past the idle period.
    ASSERT_TRUE(pump([&] { return probes_to(probe_a) >= 1; })) << dp("journal");
    uint64_t in_before = bridge_count("forwarded");
    ASSERT_TRUE(pump([&] { return bridge_count("forwarded") > in_before; }))
        << "the station did not answer the probe";
    uint64_t since = now_ms();
    ASSERT_TRUE(pump([&] { return probes_to(probe_a) >= 3 && now_ms() - since > 4000; }))
        << dp("journal");
    ASSERT_EQ(flow_of(station_a), a);
    EXPECT_TRUE(a->flags & UGWD_FLOW_CONNECTED);
    EXPECT_EQ(logged("disconnected due to inactivity"), 0u);

    // Silence: the station's device goes down and the probes go unanswered.
    ASSERT_EQ(sh("ip -n " + ns + " link set sa down"), 0);
    auto cut = [&] {
        for (auto &l : dp.journal("disassociate "))
            if (l.find(probe_a) != std::string::npos) return l;
        return std::string();
    };
    ASSERT_TRUE(pump([&] { return !cut().empty(); }, 30000)) << dp("journal");
    EXPECT_NE(cut().find("reason=4"), std::string::npos) << cut();
    ugwd_flow *gone = flow_of(station_a);
    EXPECT_TRUE(!gone || !(gone->flags & UGWD_FLOW_CONNECTED));
    EXPECT_GE(logged("disconnected due to inactivity"), 1u);

    // Over the same time the station without liveness checks was left alone.
    ASSERT_EQ(flow_of(station_b), b);
    EXPECT_TRUE(b->flags & UGWD_FLOW_CONNECTED);
    EXPECT_EQ(probes_to(probe_b), 0u);
    EXPECT_FALSE(timer_ispending(&b->timer_a));

    reap(tshark, SIGINT);
    // tshark's view of the probe and the answer, checksums checked.
    int st;
    std::string fields = output_of(
        "tshark -r " + pcap +
            " -o ip.check_checksum:TRUE -o udp.check_checksum:TRUE -Y 'arp && vxlan.vni == 101' "
            "-T fields -E 'separator=|' -e arp.opcode -e arp.src.hw_mac -e arp.dst.hw_mac "
            "-e arp.src.proto_ipv4 -e arp.dst.proto_ipv4 -e ip.checksum.status "
            "-e udp.checksum.status -e _ws.expert.severity",
        &st);
    ASSERT_EQ(st, 0) << fields;
    bool request = false, reply = false;
    std::istringstream in(fields);
    for (std::string line; std::getline(in, line);) {
        SCOPED_TRACE(line);
        std::vector<std::string> f;
        std::istringstream split(line);
        for (std::string x; std::getline(split, x, '|');)
            f.push_back(x);
        f.resize(8);
        const std::string &op = f[0], &shw = f[1], &sip = f[3], &tip = f[4];
        if (op == "1" && tip == "10.200.0.50" && sip == "0.0.0.0") {
            request = true;
            EXPECT_EQ(f[2], "02:57:a0:00:00:01");
            EXPECT_EQ(f[5], "1") << "IP header checksum good";
            EXPECT_EQ(f[6], "1") << "UDP checksum good";
            EXPECT_EQ(f[7], "") << "no expert finding";
        }
        if (op == "2" && shw == "02:57:a0:00:00:01" && sip == "10.200.0.50") reply = true;
    }
    EXPECT_TRUE(request) << fields;
    EXPECT_TRUE(reply) << fields;
}

} // namespace
