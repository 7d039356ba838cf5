// The gateway object with four fernrelayd stand-ins, inside a network
// namespace of its own: ports, sockets and services through the management
// handlers, binding into the data planes, and the reaction to link and
// address events.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "common/ctl_msg.h"
#include "common/log.h"
#include "common/schedule.h"
#include "common/uclient.h"
#include "gateway/ugwd_control.h"
#include "gateway/ugwd_ctl_msg.h"
#include "gateway/ugwd_proc.h"
#include "gateway/ugwd_service.h"
#include "tests/integration/standin_fixture.h"

namespace
{

using namespace standin_fixture;

class DataPlanes : public ::testing::Test
{
  protected:
    std::string dir;
    standin s[4];
    ugwd_ctl *ctl = nullptr;
    log_hook_fn saved_hook = nullptr;
    log_cfg saved_cfg{};

    void SetUp() override
    {
        if (geteuid() != 0) GTEST_SKIP() << "needs root for a network namespace";
        if (!exists(standin_bin)) GTEST_SKIP() << "stand-in " << standin_bin << " not built";
        // This test's process only: ctest runs each test in a process of its own.
        ASSERT_EQ(unshare(CLONE_NEWNET), 0) << strerror(errno);
        ASSERT_EQ(sh("ip link set lo up"), 0);
        // Veth pairs d1-p1, d2-p2, d3-p3 with no automatic IPv6 addresses, and a
        // duplicate-address detection that does not end while a test runs.
        for (std::string n : {"1", "2", "3"}) {
            std::string d = "d" + n, q = "p" + n;
            ASSERT_EQ(sh("ip link add " + d + " type veth peer name " + q + " && ip link set " + d +
                         " addrgenmode none && ip link set " + q +
                         " addrgenmode none && sysctl -qw net.ipv6.conf." + d +
                         ".dad_transmits=1000 && ip link set " + q + " up && ip link set " + d +
                         " up"),
                      0);
        }
        char t[] = "/tmp/ugw-svc-XXXXXX";
        ASSERT_TRUE(mkdtemp(t));
        dir = t;
        saved_hook = log_hook;
        saved_cfg = log_config;
        log_hook = capture;
        log_config.level = 2;
        log_config.components = LOG_COMP_ALL;
        lines.clear();
        for (standin &x : s)
            ASSERT_TRUE(x.start(dir));
        ctl = ugwd_ctl_create((dir + "/sock").c_str(), nullptr, 0, false);
        ASSERT_NE(ctl, nullptr);
        for (standin &x : s)
            ASSERT_EQ(ugwd_ctl_add_proc(ctl, x.pid, x.sock().c_str()), 0);
        for (standin &x : s)
            x("clear");
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
        if (!dir.empty()) sh("rm -rf '" + dir + "'");
    }

    static uint32_t idx(const char *name) { return if_nametoindex(name); }

    std::vector<uint8_t> run(std::vector<uint8_t> msg, size_t size = 2048)
    {
        msg.resize(std::max(msg.size(), size));
        size_t len = ctl_msg_size(msg.data(), msg.size());
        int r = ugwd_ctl_dispatch(ctl, msg.data(), len, size, 1);
        msg.resize(r > 0 ? static_cast<size_t>(r) : 0);
        return msg;
    }
    static uint32_t status(const std::vector<uint8_t> &r)
    {
        return ctl_get32(r.data(), 0) == CTL_STATUS ? ctl_get32(r.data(), 4) : 0;
    }

    static std::vector<uint8_t> service_msg(uint32_t type, uint8_t n, std::vector<uint32_t> ifs,
                                            uint8_t mode = 0x10)
    {
        std::vector<uint8_t> m(ctl_msg_catalogue[type].size);
        ugwd_ctl_msg_init(m.data(), type);
        ugwd_service_conf c = {};
        memcpy(c.mib.ulmexServiceId, uuid_of(n).data(), 16);
        c.mib.ulmexServiceSSID.length = 4;
        memcpy(c.mib.ulmexServiceSSID.ulmexSSIDValue, "wifi", 4);
        c.mib.ulmexServiceVNI = 100 + n;
        c.mib.ulmexServiceIfCount = static_cast<uint8_t>(ifs.size());
        for (size_t i = 0; i < ifs.size(); i++)
            c.mib.ulmexServiceIfIndices[i] = ifs[i];
        c.mib.mode = mode;
        memcpy(m.data() + 8, &c, sizeof(c));
        return m;
    }
    static std::vector<uint8_t> port_msg(uint32_t type, uint32_t ifindex, uint32_t flags = 0)
    {
        std::vector<uint8_t> m(ctl_msg_catalogue[type].size);
        ugwd_ctl_msg_init(m.data(), type);
        ctl_put32(m.data(), 4, flags);
        ctl_put32(m.data(), 8, ifindex);
        return m;
    }
    static std::vector<uint8_t> socket_msg(uint32_t type, uint32_t ifindex, uint32_t proto,
                                           uint16_t port, uint32_t flags = 0)
    {
        std::vector<uint8_t> m(ctl_msg_catalogue[type].size);
        ugwd_ctl_msg_init(m.data(), type);
        ctl_put32(m.data(), 4, flags);
        ctl_put32(m.data(), 8, ifindex);
        ctl_put32(m.data(), 12, proto);
        memcpy(m.data() + 16, &port, 2);
        return m;
    }
    std::vector<std::string> states()
    {
        std::vector<std::string> out;
        for (standin &x : s)
            out.push_back(x("state"));
        return out;
    }
};

TEST_F(DataPlanes, PortsAndSocketsReachEveryProcessAndAFailureLeavesThemAsBefore)
{
    ASSERT_EQ(sh("ip addr add 10.1.0.1/24 dev d1"), 0);
    auto before = states();
    // A failure at the third process, at the port and then at the socket step.
    s[2]("fault errno 9 5");
    EXPECT_EQ(status(run(port_msg(CTL_ADD_PORT, idx("d1")))), 5u);
    EXPECT_EQ(states(), before);
    EXPECT_EQ(status(run(port_msg(CTL_GET_PORT, idx("d1")))), static_cast<uint32_t>(ENOENT));

    auto r = run(port_msg(CTL_ADD_PORT, idx("d1")));
    ASSERT_EQ(r.size(), 56u);
    EXPECT_EQ(ctl_get32(r.data(), 0), CTL_NEW_PORT);
    EXPECT_EQ(std::vector<uint8_t>(r.begin() + 16, r.begin() + 20),
              (std::vector<uint8_t>{10, 1, 0, 1}));
    EXPECT_EQ(status(run(port_msg(CTL_ADD_PORT, idx("d1")))), static_cast<uint32_t>(EEXIST));
    EXPECT_EQ(ctl_get32(run(port_msg(CTL_ADD_PORT, idx("d1"), CTL_F_FORCE)).data(), 0),
              CTL_NEW_PORT);
    EXPECT_EQ(status(run(port_msg(CTL_ADD_PORT, 4000))), static_cast<uint32_t>(ENODEV));
    auto with_port = states();

    EXPECT_EQ(status(run(socket_msg(CTL_ADD_SOCKET, idx("d2"), 2, 4789, CTL_F_FORCE))),
              static_cast<uint32_t>(ENOENT));
    EXPECT_EQ(status(run(socket_msg(CTL_ADD_SOCKET, idx("d1"), 5, 4789))),
              static_cast<uint32_t>(EINVAL));
    s[3]("fault errno 17 28");
    EXPECT_EQ(status(run(socket_msg(CTL_ADD_SOCKET, idx("d1"), 2, 4789))), 28u);
    EXPECT_EQ(states(), with_port);

    auto sock = run(socket_msg(CTL_ADD_SOCKET, idx("d1"), 2, 4789));
    ASSERT_EQ(sock.size(), 64u);
    sockaddr_in in4;
    memcpy(&in4, sock.data() + 20, sizeof(in4));
    EXPECT_EQ(in4.sin_family, AF_INET);
    EXPECT_EQ(ntohs(in4.sin_port), 4789);
    EXPECT_EQ(ntohl(in4.sin_addr.s_addr), 0x0a010001u);
    for (standin &x : s)
        EXPECT_EQ(x("state").substr(0, 18), "ports=1 sockets=1 ");
    EXPECT_EQ(ctl_get32(run(socket_msg(CTL_GET_SOCKET, idx("d1"), 2, 4789)).data(), 0),
              CTL_NEW_SOCKET);
    EXPECT_EQ(status(run(socket_msg(CTL_GET_SOCKET, idx("d1"), 3, 4789))),
              static_cast<uint32_t>(ENOENT));

    // Removing the port takes its socket along.
    auto gone = run(port_msg(CTL_REMOVE_PORT, idx("d1")));
    EXPECT_EQ(ctl_get32(gone.data(), 0), CTL_DELETE_PORT);
    EXPECT_EQ(states(), before);
    EXPECT_EQ(status(run(port_msg(CTL_REMOVE_PORT, idx("d1")))), static_cast<uint32_t>(ENOENT));
    EXPECT_EQ(status(run(port_msg(CTL_REMOVE_PORT, idx("d1"), CTL_F_FORCE))), 0u);
}

TEST_F(DataPlanes, SharedInterfacePortsAreAddedOnceAndRemovedWithTheirLastService)
{
    uint32_t d1 = idx("d1"), d2 = idx("d2"), d3 = idx("d3");
    ASSERT_EQ(run(service_msg(CTL_ADD_SERVICE, 1, {d1, d2})).size(), 1300u);
    ASSERT_EQ(run(service_msg(CTL_ADD_SERVICE, 2, {d2})).size(), 1300u);
    for (standin &x : s) {
        EXPECT_EQ(x.journal("req 9 ").size(), 2u);
        x("clear");
    }
    ASSERT_EQ(run(service_msg(CTL_MODIFY_SERVICE, 1, {d2, d3})).size(), 1300u);
    for (standin &x : s) {
        EXPECT_EQ(x.journal("req 9 ").size(), 1u) << "only port 3 is new";
        EXPECT_EQ(x.journal("req 11 ").size(), 1u) << "only port 1 is gone";
        x("clear");
    }
    std::vector<uint8_t> remove(ctl_msg_catalogue[CTL_REMOVE_SERVICE].size);
    ugwd_ctl_msg_init(remove.data(), CTL_REMOVE_SERVICE);
    memcpy(remove.data() + 8, uuid_of(1).data(), 16);
    ASSERT_EQ(ctl_get32(run(remove).data(), 0), CTL_DELETE_SERVICE);
    EXPECT_EQ(ugwd_ctl_port_refs(ctl, d2), 1u);
    for (standin &x : s)
        EXPECT_EQ(x.journal("req 11 ").size(), 1u) << "port 3 goes, port 2 stays";
    // A failed add at the fourth process leaves no new port anywhere.
    auto before = states();
    s[3]("fault errno 9 12");
    EXPECT_EQ(status(run(service_msg(CTL_ADD_SERVICE, 3, {d1, d3}))), 12u);
    EXPECT_EQ(states(), before);
    EXPECT_EQ(ugwd_ctl_port_refs(ctl, d1), 0u);
}

TEST_F(DataPlanes, BindingAVapFlowMakesItsNodesChainAndRulesThenOnlyTheFlow)
{
    ASSERT_EQ(sh("ip addr add 10.1.0.1/24 dev d1"), 0);
    ASSERT_EQ(run(port_msg(CTL_ADD_PORT, idx("d1"))).size(), 56u);
    ASSERT_EQ(run(socket_msg(CTL_ADD_SOCKET, idx("d1"), 1, 5246)).size(), 64u);
    ASSERT_EQ(run(socket_msg(CTL_ADD_SOCKET, idx("d1"), 3, 6081)).size(), 64u);
    ASSERT_EQ(run(service_msg(CTL_ADD_SERVICE, 1, {idx("d2")})).size(), 1300u);
    ugwd_service *svc = ugwd_table_get_service(ctl->table, uuid_of(1).data());
    ugwd_socket *native = ugwd_ctl_find_socket(ctl, idx("d1"), 1, 5246);
    ugwd_socket *geneve = ugwd_ctl_find_socket(ctl, idx("d1"), 3, 6081);
    ASSERT_TRUE(svc && native && geneve);
    auto *proc = list_first_record<&ugwd_proc::link>(&ctl->procs);
    standin &dp = s[0];
    dp("clear");

    uint8_t bssid[6] = {2, 0xb5, 0, 0, 0, 1}, mac[6] = {2, 0x57, 0, 0, 0, 1};
    sockaddr_in radio = {};
    radio.sin_family = AF_INET;
    radio.sin_port = htons(5246);
    radio.sin_addr.s_addr = htonl(0x0a010002);
    ugwd_vap *vap = ugwd_service_create_vap(svc, bssid, reinterpret_cast<sockaddr *>(&radio));
    ASSERT_NE(vap, nullptr);
    ASSERT_EQ(ugwd_table_insert_vap(ctl->table, vap), 0);
    ugwd_flow *f = ugwd_ctl_create_flow(ctl, vap, nullptr, mac);
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(ugwd_ctl_bind_tunnel(f, proc, native), 0) << [] {
        std::string all;
        for (auto &l : lines)
            all += l + "\n";
        return all;
    }() << dp("journal");

    std::vector<std::string> kinds;
    for (auto &l : dp.journal("req 24 "))
        kinds.push_back(l);
    EXPECT_EQ(kinds.size(), 5u) << "radio, address, service, per-VAP and chain nodes";
    EXPECT_EQ(dp.journal("req 24 ").back().find("count=9") != std::string::npos, true)
        << dp("journal");
    EXPECT_EQ(dp.journal("join ").size(), 4u);
    EXPECT_EQ(dp.journal("req 31 ").size(), 2u) << "broadcast flow and the flow";
    EXPECT_EQ(dp.journal("req 85 ").size(), 1u);
    // The flow and its key in one lock.
    std::string all = dp("journal");
    size_t lock = all.find("\nlock\n"), add = all.rfind("req 31 "), key = all.find("req 85 "),
           unlock = all.rfind("\nunlock\n");
    EXPECT_TRUE(lock < add && add < key && key < unlock) << all;
    char fhex[25];
    for (int i = 0; i < 12; i++)
        snprintf(fhex + 2 * i, 3, "%02x", reinterpret_cast<const uint8_t *>(&f->id)[i]);
    EXPECT_EQ(dp("rules " + std::to_string(proc->node_a) + " " + fhex), "ip=2 mac=0 url=\n");
    EXPECT_EQ(dp("rules " + std::to_string(proc->node_b) + " " + fhex), "ip=8 mac=0 url=\n");
    EXPECT_EQ(logged("Bound VAP [0] with BSSID 02:b5:00:00:00:01 to process"), 1u);

    // A second flow of the bound VAP: only the flow.
    dp("clear");
    mac[5] = 2;
    ugwd_flow *g = ugwd_ctl_create_flow(ctl, vap, nullptr, mac);
    ASSERT_NE(g, nullptr);
    ASSERT_EQ(ugwd_ctl_bind_tunnel(g, proc, native), 0);
    EXPECT_EQ(dp.journal("req 24 ").size(), 0u);
    EXPECT_EQ(dp.journal("req 31 ").size(), 1u);
    // Another process is refused for a flow of a VAP bound elsewhere.
    mac[5] = 3;
    ugwd_flow *h = ugwd_ctl_create_flow(ctl, vap, nullptr, mac);
    ASSERT_NE(h, nullptr);
    ugwd_proc *other = nullptr;
    for (ugwd_proc *x : list_records<&ugwd_proc::link>(&ctl->procs))
        other = x;
    EXPECT_EQ(ugwd_ctl_bind_tunnel(h, other, native), -1);
    EXPECT_EQ(errno, EXDEV);

    // VXLAN on a Geneve socket.
    sockaddr_in peer = radio;
    peer.sin_port = htons(4789);
    ugwd_tunnel *tn =
        ugwd_service_create_tunnel(svc, UGWD_TRANSPORT_VXLAN, reinterpret_cast<sockaddr *>(&peer));
    ASSERT_NE(tn, nullptr);
    ASSERT_EQ(ugwd_table_insert_tunnel(ctl->table, tn), 0);
    ugwd_flow *t = ugwd_ctl_create_flow(ctl, nullptr, tn, mac);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(ugwd_ctl_bind_tunnel(t, proc, geneve), -1);
    EXPECT_EQ(logged("Cannot bind VXLAN tunnel to Geneve socket"), 1u);

    // Statistics of the tunnel's broadcast flow after a Geneve binding.
    ugwd_tunnel *tg = ugwd_service_create_tunnel(svc, UGWD_TRANSPORT_GENEVE,
                                                 reinterpret_cast<sockaddr *>(&radio));
    ASSERT_NE(tg, nullptr);
    ASSERT_EQ(ugwd_table_insert_tunnel(ctl->table, tg), 0);
    mac[5] = 4;
    ugwd_flow *u = ugwd_ctl_create_flow(ctl, nullptr, tg, mac);
    ASSERT_NE(u, nullptr);
    ASSERT_EQ(ugwd_ctl_bind_tunnel(u, proc, geneve), 0);
    char fid[25];
    const uint8_t *b = reinterpret_cast<const uint8_t *>(&tg->bind.bcast);
    for (int i = 0; i < 12; i++)
        snprintf(fid + 2 * i, 3, "%02x", b[i]);
    EXPECT_EQ(dp(std::string("port ") + fid + " 0 4 1550 10 3 1 200 1000"), "ok\n");
    EXPECT_EQ(dp(std::string("port ") + fid + " 1 3 1500 10 3 0 0 0"), "ok\n");
    EXPECT_EQ(ugwd_ctl_update_tunnel(tg, nullptr), 0);
    EXPECT_EQ(tg->mib.traffic.ulmexDownloadBytes, 440u);
    EXPECT_EQ(tg->mib.traffic.ulmexUploadBytes, 200u);
    EXPECT_EQ(tg->mib.traffic.ulmexDownloadPackets, 10u);
    // Falling counters and inverted MTUs are skipped, not fatal.
    EXPECT_EQ(dp(std::string("port ") + fid + " 0 4 1550 5 3 1 200 1000"), "ok\n");
    EXPECT_EQ(ugwd_ctl_update_tunnel(tg, nullptr), 0);
    EXPECT_EQ(dp(std::string("port ") + fid + " 0 4 1400 20 3 1 200 2000"), "ok\n");
    EXPECT_EQ(ugwd_ctl_update_tunnel(tg, nullptr), 0);
    EXPECT_EQ(tg->mib.traffic.ulmexDownloadBytes, 440u);
    EXPECT_EQ(logged("Ignoring statistics of tunnel"), 2u);

    // Stopping the service unbinds every flow and leaves the data plane as
    // it was before the VAP and tunnels were bound.
    ugwd_ctl_stop_service(svc);
    EXPECT_EQ(svc->mib.ulmexServiceActiveFlows, 0u);
    EXPECT_EQ(svc->mib.ulmexServiceActiveBSSIDs, 0u);
    EXPECT_EQ(dp("state").substr(0, 33), "ports=2 sockets=2 nodes=2 flows=0");
}

TEST_F(DataPlanes, LinkAndAddressEventsReachServicesAndPorts)
{
    ASSERT_EQ(sh("ip addr add 169.254.7.1/16 dev d1"), 0);
    ASSERT_EQ(run(port_msg(CTL_ADD_PORT, idx("d1"))).size(), 56u);
    ASSERT_EQ(run(service_msg(CTL_ADD_SERVICE, 1, {idx("d2")})).size(), 1300u);
    ASSERT_EQ(run(service_msg(CTL_ADD_SERVICE, 2, {idx("d3")})).size(), 1300u);
    ugwd_port *p = ugwd_ctl_find_port(ctl, idx("d1"));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->mib.ulmexPortInet[0], 169);

    // Events are served by the gateway's own loop, each run bounded.
    auto serve_until = [&](auto done) {
        for (uint64_t end = now_ms() + 5000; !done(); schedule_run(ctl->sched, 20))
            if (now_ms() > end) return false;
        return true;
    };
    // A better address (global over link-local) is taken up.
    ASSERT_EQ(sh("ip addr add 198.51.100.1/24 dev d1"), 0);
    EXPECT_TRUE(serve_until([&] { return p->mib.ulmexPortInet[0] == 198; }));
    EXPECT_GE(logged("Reconfiguring data plane port on interface d1 because the address "
                     "198.51.100.1 was added"),
              1u);

    // A tentative IPv6 address never blocks: the port reads as having none.
    ASSERT_EQ(sh("ip addr add fd00::1/64 dev d1"), 0); // DAD on a dummy link: may stay tentative
    EXPECT_EQ(ugwd_ctl_modify_port(ctl, p, nullptr, nullptr), 0);
    EXPECT_EQ(std::vector<uint8_t>(p->mib.ulmexPortInet6, p->mib.ulmexPortInet6 + 16),
              std::vector<uint8_t>(16, 0));
    EXPECT_EQ(ugwd_ctl_keepalive(ctl), 0);

    uint32_t d3 = idx("d3");
    ASSERT_EQ(sh("ip link del d3"), 0);
    EXPECT_TRUE(
        serve_until([&] { return !ugwd_table_get_service(ctl->table, uuid_of(2).data()); }));
    EXPECT_EQ(ugwd_ctl_port_refs(ctl, d3), 0u);
    EXPECT_NE(ugwd_table_get_service(ctl->table, uuid_of(1).data()), nullptr);
    ASSERT_EQ(sh("ip link del d1"), 0);
    EXPECT_TRUE(serve_until([&] { return list_isempty(&ctl->ports); }));
    EXPECT_EQ(logged("Removing port d1 because the interface was removed"), 1u);
    for (standin &x : s)
        EXPECT_EQ(x("state").substr(0, 7), "ports=1") << "the port of service 1 stays";
}

} // namespace
