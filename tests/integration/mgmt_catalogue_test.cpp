// Every type of the management catalogue through the gateway's own socket,
// asked by a client written in python from the catalogue alone, against a
// gateway with a service, a NAS, a VAP and its 802.11 flow that the controller
// stand-in installed, and a kernel station behind a tunnel: its flow, the
// lease dnsmasq granted it and the groups its kernel joined.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstring>
#include <net/if.h>
#include <signal.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "common/ctl_msg.h"
#include "common/schedule.h"
#include "common/userver.h"
#include "controller/ulmex.h"
#include "gateway/ugwd_control.h"
#include "gateway/ugwd_ctl_msg.h"
#include "gateway/ugwd_flow.h"
#include "radius/radius_mib.h"
#include "tests/integration/ctlpeer_fixture.h"
#include "tests/integration/dhcp_peer.h"
#include "tests/integration/gateway_harness.h"
#include "tests/integration/standin_fixture.h"

namespace
{

using namespace standin_fixture;

const uint8_t station[6] = {0x02, 0x57, 0xa0, 0, 0, 1};
const char *const station_text = "02:57:a0:00:00:01";
// The VAP and the 802.11 station the controller installs.
const char *const vap_bssid = "02b5000000aa";
const char *const vap_client = "0257a00000c1";
const char *const group4 = "239.1.2.3";
const char *const group6 = "ff05::1:3";

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

// Ends the scheduler's current run, so that a main-loop step comes back.
struct step_limit {
    timer t{};
    schedule *s = nullptr;
    static void expired(timer *t) { schedule_stop(container_of(t, &step_limit::t)->s); }
};

class Catalogue : public ::testing::Test, protected gateway_harness
{
  protected:
    std::string ns;
    ctlpeer_fixture::controller peer;
    dhcp_peer::dnsmasq dnsmasq;

    void SetUp() override
    {
        if (std::string why = skip_reason(); !why.empty()) GTEST_SKIP() << why;
        for (const char *tool : {"python3", "dnsmasq", "busybox", "ethtool", "openssl"})
            if (sh(std::string("command -v ") + tool) != 0) GTEST_SKIP() << "needs " << tool;
        if (!exists(ctlpeer_fixture::ctlpeer_bin))
            GTEST_SKIP() << "the controller stand-in is not built";
        ns = "ugw-cat-" + std::to_string(getpid());
        ASSERT_TRUE(enter_namespaces(dhcp_peer::station_network(ns, station_text) + " && ip netns exec " +
                                     ns + " sysctl -qw net.ipv6.conf.st.accept_dad=0"));
        ASSERT_TRUE(start("catalogue", "bridge d1 d2"));
        chmod(dir.c_str(), 0755); // the unprivileged client reaches the socket too
        uint32_t d1 = if_nametoindex("d1");
        ASSERT_EQ(run(port_msg(d1)).size(), 56u);
        ASSERT_EQ(run(socket_msg(d1, 2, 4789)).size(), 64u);
        std::string key = dir + "/controller.pem";
        ASSERT_EQ(sh("openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out " + key),
                  0);
        ASSERT_TRUE(peer.start(dir, key, {"127.0.0.1:0"}))
            << "the controller stand-in did not start";
    }

    void TearDown() override
    {
        dnsmasq.stop();
        peer.stop();
        stop();
        if (!ns.empty()) sh("ip netns del " + ns);
    }

    // Runs the gateway's main loop, a step at a time, until done() holds.
    template <class F> bool pump(F done, int bound_ms = 20000)
    {
        for (uint64_t end = now_ms() + static_cast<uint64_t>(bound_ms); !done();) {
            if (now_ms() > end) return false;
            step_limit limit;
            limit.s = ctl->sched;
            schedule_timer(ctl->sched, &limit.t, 20, step_limit::expired);
            ugwd_ctl_step(ctl, peer.port);
            schedule_cancel(ctl->sched, &limit.t);
        }
        return true;
    }

    // The rows of a lease or group list of the service, for one MAC or all.
    std::vector<std::vector<uint8_t>> rows(uint32_t type, const uint8_t *mac, size_t row)
    {
        std::vector<uint8_t> m(ctl_msg_catalogue[type].size);
        ugwd_ctl_msg_init(m.data(), type);
        memcpy(m.data() + 8, uuid_of(1).data(), 16);
        if (mac) memcpy(m.data() + 24, mac, 6);
        std::vector<uint8_t> r = run(m, 65536);
        std::vector<std::vector<uint8_t>> out;
        if (r.size() < 12 || ctl_get32(r.data(), 0) == CTL_STATUS) return out;
        for (size_t at = 12; at + row <= r.size(); at += row)
            out.emplace_back(r.begin() + static_cast<long>(at),
                             r.begin() + static_cast<long>(at + row));
        return out;
    }
    bool listed(uint32_t type, size_t row, const char *group, int family)
    {
        uint8_t a[16];
        inet_pton(family, group, a);
        for (auto &r : rows(type, nullptr, row))
            if (!memcmp(r.data() + 44, a, family == AF_INET ? 4 : 16)) return true;
        return false;
    }

    std::string context()
    {
        std::string all = dp("bridge state") + peer("journal") + dnsmasq.log() +
                          dhcp_peer::read_file(dir + "/client.log");
        for (auto &l : lines)
            if (l.rfind("Executing control command", 0) != 0) all += l + "\n";
        return all;
    }
};

TEST_F(Catalogue, EveryTypeGetsItsAnswerOrAStatus)
{
    ugwd_service_conf c = service_conf(1);
    c.mib.mode = 0x10; // multicast snooping on
    c.mib.membership_timeout = 260;
    memset(c.dot11.dot11RSNAConfigPSKValue, 0xaa, 32);
    ASSERT_TRUE(add_service(c));

    // A NAS whose server rows carry secrets.
    std::vector<uint8_t> nas(ctl_msg_catalogue[CTL_ADD_NAS].size);
    ugwd_ctl_msg_init(nas.data(), CTL_ADD_NAS);
    radius_nas_record rec{};
    snprintf(rec.config.radiusAuthClientIdentifier, sizeof(rec.config.radiusAuthClientIdentifier),
             "nas1");
    rec.config.radiusClientRequestPorts = 1;
    const uint8_t server[4] = {127, 0, 0, 2};
    for (int i = 0; i < 2; i++) {
        rec.auth[i].radiusAuthServerInetAddressType = RADIUS_INET_IPV4;
        memcpy(rec.auth[i].radiusAuthServerInetAddress, server, 4);
        rec.auth[i].radiusAuthClientServerInetPortNumber = static_cast<uint16_t>(1812 + 10 * i);
        snprintf(rec.auth[i].radiusAuthServerSharedSecret, RADIUS_SECRET_SIZE, "auth-secret-%d", i);
        rec.acct[i].radiusAccServerInetAddressType = RADIUS_INET_IPV4;
        memcpy(rec.acct[i].radiusAccServerInetAddress, server, 4);
        rec.acct[i].radiusAccClientServerInetPortNumber = static_cast<uint16_t>(1813 + 10 * i);
        snprintf(rec.acct[i].radiusAccServerSharedSecret, RADIUS_SECRET_SIZE, "acct-secret-%d", i);
    }
    memcpy(nas.data() + 8, &rec, RADIUS_NAS_RECORD_CONFIG_SIZE);
    ASSERT_EQ(run(nas).size(), 1312u);

    // The controller installs an 802.11 station; its VAP comes with it.
    std::vector<uint8_t> control(ctl_msg_catalogue[CTL_ADD_CONTROL].size);
    ugwd_ctl_msg_init(control.data(), CTL_ADD_CONTROL);
    ulmexControl entry{};
    snprintf(entry.ulmexControlName, sizeof(entry.ulmexControlName), "127.0.0.1");
    for (size_t i = 0; i < 32 && 2 * i + 1 < peer.fingerprint.size(); i++)
        entry.ulmexControlKey[i] =
            static_cast<uint8_t>(std::stoi(peer.fingerprint.substr(2 * i, 2), nullptr, 16));
    entry.ulmexControlKeyLength = 256;
    memcpy(control.data() + 8, &entry, sizeof(entry));
    ASSERT_EQ(run(control).size(), 456u);
    ASSERT_TRUE(pump([&] { return peer.count("request ServiceInform") >= 1; })) << context();
    ASSERT_EQ(peer(std::string("install ") + vap_bssid + " " + vap_client + " " +
                   hex(uuid_of(1).data(), 16) + " 7 127.0.0.1 5246 600"),
              "ok\n");
    ASSERT_TRUE(pump([&] { return peer.count("answer Status to FlowInstall") == 1; })) << context();
    ASSERT_NE(peer.journal("answer Status to FlowInstall")[0].find("status=0"), std::string::npos)
        << context();

    // The kernel station: its first packet makes its tunnel flow, dnsmasq
    // grants it a lease, and it joins a group of each family.
    size_t before = dnsmasq.bound();
    dnsmasq.start(dir, "p2", "10.200.0.100,10.200.0.150,255.255.255.0,600");
    ASSERT_TRUE(pump([&] { return dnsmasq.bound() > before; }, 10000)) << "dnsmasq did not start";
    ASSERT_EQ(sh("ip -n " + ns + " link set st up"), 0);
    pid_t udhcpc =
        dhcp_peer::spawn_shell("ip netns exec " + ns + " " + dhcp_peer::udhcpc(dir, "st") + " >>" +
                               dir + "/client.log 2>&1");
    int st = -1;
    bool ended = pump([&] { return waitpid(udhcpc, &st, WNOHANG) == udhcpc; });
    if (!ended) dhcp_peer::reap(udhcpc);
    ASSERT_TRUE(ended && WIFEXITED(st) && WEXITSTATUS(st) == 0) << context();
    // What dnsmasq's own lease file says it granted, once the gateway lists it.
    std::string lease;
    ASSERT_TRUE(pump([&] {
        lease = dnsmasq.granted(station_text);
        uint8_t a[4];
        if (inet_pton(AF_INET, lease.c_str(), a) != 1) return false;
        for (auto &r : rows(CTL_DUMP_LEASES, station, 104))
            if (!memcmp(r.data() + 88, a, 4)) return true;
        return false;
    })) << lease + "\n" + context();
    ASSERT_EQ(sh("ip -n " + ns + " addr add " + group4 + "/32 dev st autojoin && ip -n " + ns +
                 " -6 addr add " + group6 + "/128 dev st autojoin"),
              0);
    ASSERT_TRUE(pump([&] {
        return listed(CTL_DUMP_GROUPS, 76, group4, AF_INET) &&
               listed(CTL_DUMP_GROUPS6, 88, group6, AF_INET6);
    })) << context();
    ugwd_flow *f = nullptr;
    for (ugwd_flow *o : list_records<&ugwd_flow::link>(&ctl->flows))
        if (!memcmp(o->mac, station, 6) && o->bound) f = o;
    ASSERT_NE(f, nullptr) << context();

    std::string out = dir + "/catalogue.out";
    std::string cmd = "python3 " UGW_SOURCE_DIR "/tests/integration/mgmt_catalogue.py " +
                      std::string(ctl->server->path) + " " + hex(uuid_of(1).data(), 16) + " " +
                      hex(station, 6) + " " + hex(&f->peer, sizeof(f->peer)) + " vap=" + vap_bssid +
                      " client=" + vap_client + " lease=" + lease + " group=" + group4 +
                      " group6=" + group6 + " > " + out + " 2>&1";
    lines.clear();
    log_config.level = 4;
    pid_t py = fork();
    if (py == 0) {
        execl("/bin/sh", "sh", "-c", cmd.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    int status = -1;
    ended = pump([&] { return waitpid(py, &status, WNOHANG) == py; }, 30000);
    if (!ended) {
        kill(py, SIGKILL);
        waitpid(py, &status, 0);
    }
    std::string text = dhcp_peer::read_file(out);
    log_config.level = 2;
    if (getenv("CATALOGUE_LOG"))
        for (const auto &l : lines)
            text += l + "\n";
    if (getenv("CATALOGUE_TRACE")) printf("%s", text.c_str());
    EXPECT_TRUE(ended) << text;
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << text;
    EXPECT_NE(text.find("checked 105 types"), std::string::npos) << text;
}

} // namespace
