// Flows against a fernrelayd stand-in, in a network namespace of their own:
// tunnel packets that create, bind, connect and authorize their flow; the
// authorization's records and its failures; liveness; disassociation; the
// data-plane events; unbinding from inside a deauthorization.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <cstdarg>
#include <csignal>
#include <cstring>
#include <ctime>
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
#include "gateway/ugwd_flow_redirect.h"
#include "gateway/ugwd_proc.h"
#include "gateway/ugwd_service.h"
#include "radius/radius_authz.h"
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

const uint8_t station[6] = {0x02, 0x57, 0xa0, 0, 0, 1};

// A tunnelled ARP request of the station, from the outer IP header on.
std::vector<uint8_t> tunnel_packet(uint8_t transport, bool v6, uint32_t vni, uint16_t dport)
{
    std::vector<uint8_t> inner = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff};
    inner.insert(inner.end(), station, station + 6);
    inner.insert(inner.end(), {0x08, 0x06, 0, 1, 8, 0, 6, 4, 0, 1});
    inner.insert(inner.end(), station, station + 6);
    inner.insert(inner.end(), {10, 1, 0, 50, 0, 0, 0, 0, 0, 0, 10, 1, 0, 1});
    std::vector<uint8_t> t;
    if (transport == UGWD_TRANSPORT_GRE) {
        t = {0, 0, 0x65, 0x58};
    } else {
        std::vector<uint8_t> h;
        if (transport == UGWD_TRANSPORT_VXLAN)
            h = {0x08, 0, 0, 0, uint8_t(vni >> 16), uint8_t(vni >> 8), uint8_t(vni), 0};
        else
            h = {0, 0, 0x65, 0x58, uint8_t(vni >> 16), uint8_t(vni >> 8), uint8_t(vni), 0};
        uint16_t len = static_cast<uint16_t>(8 + h.size() + inner.size());
        t = {0x30, 0x39, uint8_t(dport >> 8), uint8_t(dport), uint8_t(len >> 8), uint8_t(len),
             0,    0};
        t.insert(t.end(), h.begin(), h.end());
    }
    t.insert(t.end(), inner.begin(), inner.end());
    uint8_t proto = transport == UGWD_TRANSPORT_GRE ? 47 : 17;
    std::vector<uint8_t> ip;
    if (v6) {
        ip = {0x60, 0, 0, 0, uint8_t(t.size() >> 8), uint8_t(t.size()), proto, 64};
        uint8_t src[16] = {0xfd, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2};
        uint8_t dst[16] = {0xfd, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
        ip.insert(ip.end(), src, src + 16);
        ip.insert(ip.end(), dst, dst + 16);
    } else {
        size_t total = 20 + t.size();
        ip = {0x45,
              0,
              uint8_t(total >> 8),
              uint8_t(total),
              0,
              0,
              0,
              0,
              64,
              proto,
              0,
              0,
              10,
              1,
              0,
              2,
              10,
              1,
              0,
              1};
    }
    ip.insert(ip.end(), t.begin(), t.end());
    return ip;
}

class Flows : public ::testing::Test, protected gateway_harness
{
  protected:
    ugwd_service *svc = nullptr;

    void SetUp() override
    {
        if (std::string why = skip_reason(); !why.empty()) GTEST_SKIP() << why;
        ASSERT_TRUE(enter_namespaces(
            "ip link set lo up && ip link add d1 type veth peer name p1 && "
            "ip link set d1 addrgenmode none && ip link set p1 addrgenmode none && "
            "ip link set d1 up && ip link set p1 up && ip addr add 10.1.0.1/24 dev d1 && "
            "ip addr add fd00::1/64 dev d1 nodad && "
            "ip link add d2 type veth peer name p2 && ip link set d2 up && ip link set p2 up"));
        ASSERT_TRUE(start("flow"));
        uint32_t d1 = if_nametoindex("d1");
        ASSERT_EQ(run(port_msg(d1)).size(), 56u);
        for (auto [proto, port] : {std::pair{2u, 4789}, {3u, 6081}, {4u, 0}})
            ASSERT_EQ(run(socket_msg(d1, proto, static_cast<uint16_t>(port))).size(), 64u);
        add_service(1, 0);
        svc = ugwd_table_get_service(ctl->table, uuid_of(1).data());
        ASSERT_NE(svc, nullptr);
        dp("clear");
    }

    void TearDown() override { stop(); }

    void add_service(uint8_t n, uint16_t idle_period)
    {
        ugwd_service_conf c = service_conf(n);
        c.mib.mode = 0x10;
        c.dot11.dot11BssMaxIdlePeriod = idle_period;
        ASSERT_TRUE(gateway_harness::add_service(c));
    }

    // Serves the process's notifications until done() holds.
    template <class F> bool pump(F done, int bound_ms = 5000)
    {
        for (uint64_t end = now_ms() + static_cast<uint64_t>(bound_ms); !done();) {
            if (now_ms() > end) return false;
            pollfd p{frlc_fd(proc->fernrelay), POLLIN, 0};
            if (poll(&p, 1, 10) > 0) frlc_process(proc->fernrelay);
        }
        return true;
    }
    // Diverts the packet and serves notifications until it came back or a bound passed.
    void divert(const std::vector<uint8_t> &pkt, uint32_t encap = 4)
    {
        ASSERT_EQ(dp("packet 7 " + std::to_string(encap) + " 0 " + hex(pkt.data(), pkt.size())),
                  "sent 1\n");
        // The stand-in sent the notification before it answered: one read takes it.
        pollfd p{frlc_fd(proc->fernrelay), POLLIN, 0};
        ASSERT_EQ(poll(&p, 1, 5000), 1);
        frlc_process(proc->fernrelay);
    }
    std::string rules(const ugwd_flow *f)
    {
        return dp("rules " + std::to_string(proc->node_a) + " " + hex(&f->id, 12));
    }
    ugwd_flow *only_flow() { return list_first_record<&ugwd_flow::link>(&ctl->flows); }
    ugwd_flow *connect_vxlan()
    {
        divert(tunnel_packet(UGWD_TRANSPORT_VXLAN, false, 101, 4789));
        return list_isempty(&ctl->flows) ? nullptr : only_flow();
    }
};

TEST(FlowRules, LimitsBurstsAndLivenessPeriods)
{
    radius_authz a = {};
    a.bandwidth_up = 8000000;
    a.bandwidth_down = 4294967295u; // the burst needs 64 bits
    a.volume_up = 7;
    a.volume_down = 9;
    uint8_t l[FRL_LIMITS_SIZE];
    ugwd_ctl_flow_limits(&a, l);
    uint32_t v[6];
    for (int i = 0; i < 6; i++)
        v[i] = frl_load32(l + 4 * i);
    EXPECT_EQ(v[0], 8000000u);
    EXPECT_EQ(v[1], 250000u);
    EXPECT_EQ(v[2], 7u);
    EXPECT_EQ(v[3], 4294967295u);
    EXPECT_EQ(v[4], 134217727u);
    EXPECT_EQ(v[5], 9u);

    struct {
        uint16_t idle;
        uint32_t period;
    } periods[] = {{0, 0}, {1, 1}, {3, 3}, {300, 307}, {65535, 67108}};
    for (auto c : periods)
        EXPECT_EQ(ugwd_flow_liveness_period(c.idle), c.period) << c.idle;
}

// The 11 built-in rules parse and come first; redirect permits follow them,
// then the authorization's own rules.
TEST(FlowRules, BuiltInThenRedirectThenOwn)
{
    ugwd_ctl ctl_storage{};
    filter_rule own[2];
    ASSERT_EQ(filter_rule_parse(&own[0], "permit in ip from any to any", 1), 0);
    ASSERT_EQ(filter_rule_parse(&own[1], "deny out ip from any to any", 1), 0);
    radius_authz a = {};
    a.rule_count = 2;
    a.rules = own;
    sockaddr_in v4 = {};
    v4.sin_family = AF_INET;
    inet_pton(AF_INET, "192.0.2.7", &v4.sin_addr);
    sockaddr_in6 v6 = {};
    v6.sin6_family = AF_INET6;
    inet_pton(AF_INET6, "2001:db8::7", &v6.sin6_addr);
    const sockaddr *redirect[] = {reinterpret_cast<sockaddr *>(&v4),
                                  reinterpret_cast<sockaddr *>(&v6)};
    ASSERT_EQ(ugwd_ctl_build_rules(&ctl_storage, &a, redirect, 2, 8080), 15);
    auto *r = array_data<filter_rule>(&ctl_storage.flow_rules);
    char text[FILTER_RULE_TEXT_MAX];
    filter_rule_print(&r[11], text, sizeof(text));
    EXPECT_NE(strstr(text, "permit in 6 from any to 192.0.2.7"), nullptr) << text;
    EXPECT_NE(strstr(text, " 8080"), nullptr) << text;
    filter_rule_print(&r[12], text, sizeof(text));
    EXPECT_NE(strstr(text, "to 2001:db8::7"), nullptr) << text;
    EXPECT_EQ(memcmp(&r[13], own, sizeof(own)), 0);
    filter_rule_print(&r[8], text, sizeof(text));
    EXPECT_NE(strstr(text, "neighbor advertisement target !assigned"), nullptr) << text;
    ugwd_ctl_flow_cleanup(&ctl_storage);
}

// A first packet of each transport creates tunnel and flow, binds, connects
// and authorizes it, and goes back to the data plane.
TEST_F(Flows, FirstTunnelPacketCreatesBindsConnectsAndAuthorizes)
{
    uclient *sub = uclient_open(ctl->server->path);
    ASSERT_NE(sub, nullptr);
    uint8_t key[4];
    ctl_put32(key, 0, CTL_NEW_FLOW);
    auto joined = std::async(std::launch::async, [&] { return uclient_join_group(sub, key, 4); });
    for (uint64_t end = now_ms() + 5000;
         joined.wait_for(std::chrono::seconds(0)) != std::future_status::ready && now_ms() < end;) {
        pollfd p{userver_fd(ctl->server), POLLIN, 0};
        if (poll(&p, 1, 10) > 0) userver_process(ctl->server);
    }
    ASSERT_EQ(joined.get(), 0);

    struct {
        const char *name;
        uint8_t transport;
        bool v6;
        uint16_t port;
    } cases[] = {
        {"VXLAN", UGWD_TRANSPORT_VXLAN, false, 4789},
        {"Geneve", UGWD_TRANSPORT_GENEVE, false, 6081},
        {"GRE", UGWD_TRANSPORT_GRE, false, 0},
        {"VXLAN over IPv6", UGWD_TRANSPORT_VXLAN, true, 4789},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.name);
        dp("clear");
        auto pkt = tunnel_packet(c.transport, c.v6, 101, c.port);
        divert(pkt);
        ugwd_flow *f = nullptr;
        for (ugwd_flow *x : list_records<&ugwd_flow::link>(&ctl->flows))
            if (x->tunnel->transport == c.transport &&
                x->peer.sa.sa_family == (c.v6 ? AF_INET6 : AF_INET))
                f = x;
        ASSERT_NE(f, nullptr) << [] {
            std::string all;
            for (auto &l : lines)
                all += l + "\n";
            return all;
        }();
        EXPECT_TRUE(f->bound);
        EXPECT_TRUE(f->flags & UGWD_FLOW_CONNECTED);
        EXPECT_TRUE(f->flags & UGWD_FLOW_AUTHORIZED);
        EXPECT_STREQ(f->user_name, "02:57:a0:00:00:01");
        EXPECT_EQ(rules(f), "ip=11 mac=2 url=\n");
        auto back = dp.journal("msg 46 ");
        ASSERT_EQ(back.size(), 1u);
        EXPECT_NE(back[0].find("encap=4"), std::string::npos);
        EXPECT_NE(back[0].find("data=" + hex(pkt.data(), pkt.size())), std::string::npos);
        const uint8_t *ev = nullptr;
        ssize_t n = -1;
        for (uint64_t end = now_ms() + 5000; n < 0 && now_ms() < end; poll(nullptr, 0, 5))
            n = uclient_recv_event(sub, &ev);
        ASSERT_EQ(n, 1924);
        EXPECT_EQ(ctl_get32(ev, 0), CTL_NEW_FLOW);
        EXPECT_EQ(memcmp(ev + 8 + 6, station, 6), 0);
        EXPECT_EQ(memcmp(ev + 8 + 388, &f->id, 12), 0);
        // The same packet again finds the flow: nothing is created anew.
        size_t flows = ugwd_table_count_flows(ctl->table);
        divert(pkt);
        EXPECT_EQ(ugwd_table_count_flows(ctl->table), flows);
        EXPECT_EQ(dp.journal("msg 46 ").size(), 2u);
    }
    uclient_close(sub);
}

TEST_F(Flows, UnsoundOrForeignPacketsCreateNothing)
{
    auto frag = tunnel_packet(UGWD_TRANSPORT_VXLAN, false, 101, 4789);
    frag[6] = 0x20; // more fragments
    auto v6frag = tunnel_packet(UGWD_TRANSPORT_VXLAN, true, 101, 4789);
    v6frag[6] = 44;
    auto unknown_vni = tunnel_packet(UGWD_TRANSPORT_VXLAN, false, 999, 4789);
    auto no_socket = tunnel_packet(UGWD_TRANSPORT_VXLAN, false, 101, 4790);
    auto cut = tunnel_packet(UGWD_TRANSPORT_GENEVE, false, 101, 6081);
    cut.resize(20 + 8 + 8 + 10);
    struct {
        const char *name;
        std::vector<uint8_t> pkt;
        uint32_t encap;
    } cases[] = {
        {"IPv4 more-fragments", frag, 4},      {"IPv6 fragment header", v6frag, 4},
        {"VNI of no service", unknown_vni, 4}, {"no socket at that port", no_socket, 4},
        {"cut inner frame", cut, 4},           {"Ethernet encapsulation", frag, 3},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.name);
        divert(c.pkt, c.encap);
        EXPECT_EQ(ugwd_table_count_flows(ctl->table), 0u);
        EXPECT_TRUE(dp.journal("msg 46 ").empty());
    }
    EXPECT_EQ(logged("Discarding diverted Ethernet packet"), 1u);
    // GRE carries no VNI: with two services it belongs to none.
    add_service(2, 0);
    divert(tunnel_packet(UGWD_TRANSPORT_GRE, false, 0, 0));
    EXPECT_EQ(ugwd_table_count_flows(ctl->table), 0u);
}

// A flow found by its id takes the packet only when peer and transport agree.
TEST_F(Flows, FlowFoundByIdMustMatchPeer)
{
    ugwd_flow *f = connect_vxlan();
    ASSERT_NE(f, nullptr);
    dp("clear");
    f->peer.sin.sin_addr.s_addr = htonl(0x0a010063);
    divert(tunnel_packet(UGWD_TRANSPORT_VXLAN, false, 101, 4789));
    EXPECT_TRUE(dp.journal("msg 46 ").empty());
    EXPECT_EQ(ugwd_table_count_flows(ctl->table), 1u);
}

TEST_F(Flows, AuthorizationRecordsAndFailClosed)
{
    ugwd_flow *f = connect_vxlan();
    ASSERT_NE(f, nullptr);
    radius_authz a = {};
    a.flags = 0x0015;
    a.bandwidth_up = 8000000;
    std::string name(300, 'u');
    a.user_name = name.data();
    ASSERT_EQ(ugwd_ctl_authorize_flow(f, &a), 0);
    EXPECT_EQ(strlen(f->user_name), 253u);
    frl_flow rec;
    ASSERT_EQ(frlc_read_flow(proc->fernrelay, &f->id, &rec), 0);
    EXPECT_EQ(frl_load16(rec.b + FRL_FLOW_VLAN), 10u);
    EXPECT_EQ(rules(f), "ip=11 mac=2 url=\n");

    // A failure at any step leaves the deny pair and nothing else.
    struct {
        const char *step;
        int type;
        const char *message;
    } cases[] = {
        {"read", FRL_MSG_READ_FLOW, "Failed to read flow"},
        {"VLAN", FRL_MSG_MODIFY_FLOW, "Failed to install VLAN tag"},
        {"limits", FRL_MSG_SET_LIMITS, "Failed to install bandwidth and volume limits"},
        {"URL", FRL_MSG_SET_REDIRECT, "Failed to install redirect URL"},
        {"MAC rules", FRL_MSG_SET_MAC_RULES, "Failed to install MAC filter rules"},
        {"IP rules", FRL_MSG_SET_IP_RULES, "Failed to install IP filter rules"},
    };
    a.redirect_url = nullptr;
    for (auto &c : cases) {
        SCOPED_TRACE(c.step);
        ASSERT_EQ(ugwd_ctl_authorize_flow(f, &a), 0);
        lines.clear();
        dp("fault errno " + std::to_string(c.type) + " 5");
        EXPECT_EQ(ugwd_ctl_authorize_flow(f, &a), -1);
        dp("faults clear");
        EXPECT_EQ(logged(c.message), 1u);
        EXPECT_EQ(logged("Failed to authorize flow [" + std::to_string(f->index) + "]"), 1u);
        EXPECT_EQ(rules(f), "ip=2 mac=0 url=\n");
        EXPECT_FALSE(f->flags & UGWD_FLOW_AUTHORIZED);
    }
}

// Redirect hosts resolve on a worker: the authorization does not wait, and
// the permits follow the answer.
TEST_F(Flows, RedirectPermitsFollowTheResolverAnswer)
{
    std::string hosts = dir + "/hosts";
    std::ofstream(hosts) << "192.0.2.7 portal.test\n2001:db8::7 portal.test\n";
    ASSERT_EQ(mount(hosts.c_str(), "/etc/hosts", nullptr, MS_BIND, nullptr), 0) << strerror(errno);
    ugwd_flow *f = connect_vxlan();
    ASSERT_NE(f, nullptr);
    radius_authz a = {};
    std::string url = "http://portal.test:8080/login";
    a.redirect_url = url.data();
    ASSERT_EQ(ugwd_ctl_authorize_flow(f, &a), 0);
    EXPECT_EQ(rules(f), "ip=11 mac=2 url=" + url + "\n");
    ASSERT_TRUE(ugwd_redirect_busy(ctl));
    for (uint64_t end = now_ms() + 10000; ugwd_redirect_busy(ctl) && now_ms() < end;)
        schedule_run(ctl->sched, 10);
    ASSERT_FALSE(ugwd_redirect_busy(ctl));
    EXPECT_EQ(rules(f), "ip=13 mac=2 url=" + url + "\n");
    // The next authorization finds the host in the cache at once.
    ASSERT_EQ(ugwd_ctl_authorize_flow(f, &a), 0);
    EXPECT_FALSE(ugwd_redirect_busy(ctl));
    EXPECT_EQ(rules(f), "ip=13 mac=2 url=" + url + "\n");

    // A resolver that never answers holds up nothing: the authorization is
    // installed without permits and the gateway still answers health checks.
    std::string conf = dir + "/resolv.conf";
    std::ofstream(conf) << "nameserver 10.1.0.99\noptions timeout:30 attempts:5\n";
    ASSERT_EQ(mount(conf.c_str(), "/etc/resolv.conf", nullptr, MS_BIND, nullptr), 0);
    std::string silent = "http://silent.example:80/";
    a.redirect_url = silent.data();
    ASSERT_EQ(ugwd_ctl_authorize_flow(f, &a), 0);
    EXPECT_TRUE(ugwd_redirect_busy(ctl));
    EXPECT_EQ(rules(f), "ip=11 mac=2 url=" + silent + "\n");
    EXPECT_EQ(ugwd_ctl_keepalive(ctl), 0);
}

TEST_F(Flows, LivenessProbesThenDisconnects)
{
    ugwd_ctl_free(ctl);
    ctl = nullptr;
    dp.stop();
    ASSERT_TRUE(dp.start(dir));
    ctl = ugwd_ctl_create((dir + "/sock2").c_str(), nullptr, 0, false);
    ASSERT_NE(ctl, nullptr);
    ASSERT_EQ(ugwd_ctl_add_proc(ctl, dp.pid, dp.sock().c_str()), 0);
    proc = list_first_record<&ugwd_proc::link>(&ctl->procs);
    uint32_t d1 = if_nametoindex("d1");
    ASSERT_EQ(run(port_msg(d1)).size(), 56u);
    ASSERT_EQ(run(socket_msg(d1, 2, 4789)).size(), 64u);
    add_service(1, 3);
    ugwd_flow *f = connect_vxlan();
    ASSERT_NE(f, nullptr);
    EXPECT_TRUE(timer_ispending(&f->timer_a));
    // A DHCP record of the station to probe.
    auto *l = static_cast<ugwd_lease *>(mempool_zalloc(ctl->pools[UGWD_POOL_LEASE]));
    ASSERT_NE(l, nullptr);
    ugwd_lease_links_init(l);
    memcpy(l->rec.uuid, f->uuid, 16);
    memcpy(l->rec.mac, f->mac, 6);
    uint8_t addr[4] = {10, 1, 0, 50};
    memcpy(l->rec.addr, addr, 4);
    ASSERT_EQ(ugwd_table_insert_lease(ctl->table, l), 0);
    list_append(&f->leases, &l->link);
    dp("clear");

    f->last_activity = clock_sec() - 2;
    ugwd_service_liveness_cb(&f->timer_a);
    auto probes = dp.journal("msg 42 ");
    ASSERT_EQ(probes.size(), 1u);
    ugwd_service *s = f->tunnel->service;
    std::string want = hex(station, 6) + hex(s->devs[f->tunnel->slot].hwaddr, 6) + "0806" +
                       "0001080006040001" + hex(s->devs[f->tunnel->slot].hwaddr, 6) + "00000000" +
                       hex(station, 6) + "0a010032";
    EXPECT_NE(probes[0].find("class=1 encap=3"), std::string::npos) << probes[0];
    EXPECT_NE(probes[0].find("data=" + want), std::string::npos) << probes[0];
    EXPECT_TRUE(f->flags & UGWD_FLOW_CONNECTED);

    f->last_activity = clock_sec() - 3;
    ugwd_service_liveness_cb(&f->timer_a);
    EXPECT_EQ(logged("disconnected due to inactivity"), 1u);
    EXPECT_FALSE(f->flags & UGWD_FLOW_CONNECTED);
    EXPECT_EQ(rules(f), "ip=2 mac=0 url=\n");
    EXPECT_FALSE(hashlink_used(&f->by_assoc));
    // The lease was kept aside for the next association.
    EXPECT_EQ(list_first_record<&ugwd_lease::link>(&ctl->leases), l);
}

TEST_F(Flows, IdlePeriodZeroNeverChecks)
{
    ugwd_flow *f = connect_vxlan();
    ASSERT_NE(f, nullptr);
    EXPECT_FALSE(timer_ispending(&f->timer_a)) << "neither liveness nor unbind";
    f->last_activity = clock_sec() - 100000;
    ugwd_service_liveness_cb(&f->timer_a);
    EXPECT_TRUE(f->flags & UGWD_FLOW_CONNECTED);
}

// Disassociation keeps what a later association takes back, and arms the
// unbind timer with the largest delay that fits.
TEST_F(Flows, DisassociationKeepsLeasesAndArmsUnbind)
{
    ugwd_flow *f = connect_vxlan();
    ASSERT_NE(f, nullptr);
    auto lease = [&](uint8_t last) {
        auto *l = static_cast<ugwd_lease *>(mempool_zalloc(ctl->pools[UGWD_POOL_LEASE]));
        ugwd_lease_links_init(l);
        memcpy(l->rec.uuid, f->uuid, 16);
        memcpy(l->rec.mac, f->mac, 6);
        l->rec.addr[0] = last ? 10 : 0;
        l->rec.addr[3] = last;
        EXPECT_EQ(ugwd_table_insert_lease(ctl->table, l), 0);
        list_append(&f->leases, &l->link);
        return l;
    };
    ugwd_lease *kept = lease(50);
    lease(0);
    auto *ll = static_cast<ugwd_lease6 *>(mempool_zalloc(ctl->pools[UGWD_POOL_LEASE6]));
    ugwd_lease6_links_init(ll);
    memcpy(ll->rec.uuid, f->uuid, 16);
    memcpy(ll->rec.mac, f->mac, 6);
    ll->rec.kind = UGWD_LEASE6_LINK_LOCAL;
    ll->rec.addr[0] = 0xfe, ll->rec.addr[1] = 0x80, ll->rec.addr[15] = 5;
    ASSERT_EQ(ugwd_table_insert_lease6(ctl->table, ll), 0);
    list_append(&f->leases6, &ll->link);

    f->unbind_delay = 5000000;
    f->flags &= static_cast<uint8_t>(~UGWD_FLOW_CONNECTED);
    ugwd_ctl_disassociate_flow(f, 8);
    EXPECT_EQ(f->assoc_time, 0u);
    EXPECT_EQ(ugwd_table_count_leases(ctl->table), 1u);
    EXPECT_EQ(ugwd_table_count_leases6(ctl->table), 0u);
    EXPECT_EQ(list_first_record<&ugwd_lease::link>(&ctl->leases), kept);
    ASSERT_TRUE(timer_ispending(&f->timer_a));
    EXPECT_EQ(f->timer_a._expires - timetable_now(schedule_timetable(ctl->sched)), 4294967000u);
    // The next association takes the lease back.
    ugwd_ctl_associate_flow(f);
    EXPECT_EQ(list_first_record<&ugwd_lease::link>(&f->leases), kept);
    EXPECT_FALSE(timer_ispending(&f->timer_a));
}

TEST_F(Flows, UpdateMicFailureAndQuotaEvents)
{
    ugwd_flow *f = connect_vxlan();
    ASSERT_NE(f, nullptr);
    std::string id = hex(&f->id, 12);
    ASSERT_EQ(dp("port " + id + " 0 4 1550 10 3 1 200 1000"), "ok\n");
    ASSERT_EQ(dp("port " + id + " 1 3 1500 10 3 0 0 0"), "ok\n");
    ASSERT_EQ(dp("update " + id), "sent 1\n");
    ASSERT_TRUE(pump([&] { return f->traffic.packets_up == 3; }));
    EXPECT_EQ(f->traffic.packets_down, 10u);
    EXPECT_EQ(f->traffic.octets_up, 200u);
    EXPECT_EQ(f->traffic.octets_down, 440u);

    flow_id other = f->id;
    other.b[5] ^= 1;
    ugwd_ctl_frl_update_cb(proc, [&] {
        static frl_flow r;
        memcpy(r.b + FRL_FLOW_ID, &other, 12);
        return &r;
    }());
    EXPECT_EQ(logged("Ignoring Update event for flow " + hex(&other, 6) + "-" + hex(other.b, 6)),
              1u);

    ugwd_proc stranger = *proc;
    ugwd_ctl_frl_mic_failure_cb(&stranger, 0, &f->id);
    EXPECT_EQ(
        logged("Ignoring MIC-Failure event for flow " + hex(&f->id, 6) + "-" + hex(f->id.b, 6)),
        1u);
    ugwd_ctl_frl_quota_reached_cb(&stranger, 0, &f->id);
    EXPECT_EQ(logged("Ignoring Quota-Reached event"), 1u);
    dp("clear");
    ugwd_ctl_frl_quota_reached_cb(proc, 0, &f->id);
    EXPECT_EQ(dp.journal("req 91 ").size(), 1u);
}

// Unbinding asked for while the flow's deauthorization runs waits for it,
// and a connected flow's unbind deauthorizes it once.
TEST_F(Flows, UnbindInsideDeauthorizationWaits)
{
    ugwd_flow *f = connect_vxlan();
    ASSERT_NE(f, nullptr);
    dp("clear");
    ugwd_ctl_unbind_flow(f);
    EXPECT_EQ(ugwd_table_count_flows(ctl->table), 0u);
    EXPECT_EQ(ugwd_table_count_tunnels(ctl->table), 0u);
    EXPECT_EQ(dp.journal("req 97 ").size(), 1u) << "one deny pair";
    EXPECT_EQ(logged("Deauthorized flow"), 1u);

    f = connect_vxlan();
    ASSERT_NE(f, nullptr);
    f->deauth_depth = 1; // as inside a deauthorization
    ugwd_ctl_unbind_flow(f);
    EXPECT_EQ(ugwd_table_count_flows(ctl->table), 1u);
    f->deauth_depth = 0;
    ugwd_ctl_deauthorize_flow(f, 1);
    EXPECT_EQ(ugwd_table_count_flows(ctl->table), 0u);
}

// The flow a log hook unbinds when it sees its deauthorization.
ugwd_flow *doomed;
void unbind_when_deauthorized(int level, const char *file, unsigned line, const char *fmt, ...)
{
    char text[512];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(text, sizeof(text), fmt, ap);
    va_end(ap);
    capture(level, file, line, "%s", text);
    if (doomed && strstr(text, "Deauthorized flow")) {
        ugwd_flow *f = doomed;
        doomed = nullptr;
        ugwd_ctl_unbind_flow(f);
    }
}

// A deletion asked for by a callback that runs inside the deauthorization
// (here the log line it writes, as an accounting stop would be) waits for the
// outermost call, whichever way it was entered. Released flows are poisoned:
// under ASan, a flow freed too early fails the test where it is touched.
TEST_F(Flows, DeletionFromInsideDeauthorizationWaitsForTheOutermostCall)
{
    struct {
        const char *entry;
        void (*enter)(ugwd_flow *);
        const char *reason;
    } cases[] = {
        {"deauthorization", [](ugwd_flow *f) { ugwd_ctl_deauthorize_flow(f, 8); }, "reason=8"},
        {"disconnection", [](ugwd_flow *f) { ugwd_flow_disconnect(f, 4); }, "reason=4"},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.entry);
        ugwd_flow *f = connect_vxlan();
        ASSERT_NE(f, nullptr);
        ASSERT_TRUE(f->flags & UGWD_FLOW_AUTHORIZED);
        dp("clear");
        lines.clear();
        doomed = f;
        log_hook = unbind_when_deauthorized;
        c.enter(f);
        log_hook = capture;
        EXPECT_EQ(doomed, nullptr) << "the deauthorization ran";
        EXPECT_EQ(ugwd_table_count_flows(ctl->table), 0u);
        EXPECT_TRUE(list_isempty(&ctl->flows));
        EXPECT_EQ(logged("Deauthorized flow"), 1u);
        EXPECT_EQ(logged("Unbound flow"), 1u);
        auto gone = dp.journal("disassociate ");
        ASSERT_EQ(gone.size(), 1u);
        EXPECT_NE(gone[0].find(c.reason), std::string::npos) << gone[0];
        EXPECT_EQ(dp.journal("req 97 ").size(), 1u) << "one deny pair";
    }
}

} // namespace
