// Every type of the management catalogue through the gateway's own socket,
// asked by a client written in python from the catalogue alone, against a
// gateway with a service, a NAS, and a tunnel flow that a kernel station made.
#include <gtest/gtest.h>

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
#include "gateway/ugwd_control.h"
#include "gateway/ugwd_ctl_msg.h"
#include "gateway/ugwd_flow.h"
#include "radius/radius_mib.h"
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

class Catalogue : public ::testing::Test, protected gateway_harness
{
  protected:
    std::string ns;

    void SetUp() override
    {
        if (std::string why = skip_reason(); !why.empty()) GTEST_SKIP() << why;
        if (sh("python3 -c 'import struct' 2>/dev/null") != 0) GTEST_SKIP() << "no python3";
        ns = "ugw-cat-" + std::to_string(getpid());
        ASSERT_TRUE(enter_namespaces(
            "ip link set lo up && ip netns add " + ns +
            " && ip link add d1 type veth peer name p1 netns " + ns +
            " && ip link add d2 type veth peer name p2 && "
            "ip link set d1 addrgenmode none && ip link set d2 addrgenmode none && "
            "ip addr add 10.1.0.1/24 dev d1 && ip link set d1 up && ip link set d2 up && "
            "ip link set p2 up && ip -n " + ns + " link set lo up && ip -n " + ns +
            " addr add 10.1.0.2/24 dev p1 && ip -n " + ns + " link set p1 up"));
        ASSERT_TRUE(start("catalogue", "bridge d1 d2"));
        chmod(dir.c_str(), 0755); // the unprivileged client reaches the socket too
        uint32_t d1 = if_nametoindex("d1");
        ASSERT_EQ(run(port_msg(d1)).size(), 56u);
        ASSERT_EQ(run(socket_msg(d1, 2, 4789)).size(), 64u);
    }

    void TearDown() override
    {
        stop();
        if (!ns.empty()) sh("ip netns del " + ns);
    }

    template <class F> bool pump(F done, int bound_ms = 20000)
    {
        for (uint64_t end = now_ms() + static_cast<uint64_t>(bound_ms); !done();) {
            if (now_ms() > end) return false;
            schedule_run(ctl->sched, 20);
        }
        return true;
    }
};

TEST_F(Catalogue, EveryTypeGetsItsAnswerOrAStatus)
{
    ugwd_service_conf c = service_conf(1);
    c.mib.mode = 0x10;
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

    // A kernel VXLAN station on the service's VNI: its first packet makes the flow.
    const uint8_t station[6] = {0x02, 0x57, 0xa0, 0, 0, 1};
    ASSERT_EQ(sh("ip -n " + ns + " link add st address 02:57:a0:00:00:01 type vxlan id 101 "
                 "local 10.1.0.2 remote 10.1.0.1 dstport 4789 && ip netns exec " + ns +
                 " sysctl -qw net.ipv6.conf.st.disable_ipv6=1 && ip -n " + ns +
                 " addr add 10.200.0.50/24 dev st && ip -n " + ns + " link set st up"),
              0);
    pid_t ping = fork();
    if (ping == 0) {
        execlp("ip", "ip", "netns", "exec", ns.c_str(), "ping", "-n", "-q", "-c", "60", "-i", "0.5",
               "10.200.0.1", static_cast<char *>(nullptr));
        _exit(127);
    }
    ugwd_flow *f = nullptr;
    bool made = pump([&] {
        for (ugwd_flow *o : list_records<&ugwd_flow::link>(&ctl->flows))
            if (!memcmp(o->mac, station, 6) && o->bound) f = o;
        return f != nullptr;
    });
    kill(ping, SIGTERM);
    waitpid(ping, nullptr, 0);
    ASSERT_TRUE(made) << dp("bridge state");

    std::string out = dir + "/catalogue.out";
    std::string cmd = "python3 " UGW_SOURCE_DIR "/tests/integration/mgmt_catalogue.py " +
                      std::string(ctl->server->path) + " " + hex(f->uuid, 16) + " " +
                      hex(f->mac, 6) + " " + hex(&f->peer, sizeof(f->peer)) + " > " + out +
                      " 2>&1";
    lines.clear();
    log_config.level = 4;
    pid_t py = fork();
    if (py == 0) {
        execl("/bin/sh", "sh", "-c", cmd.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    int status = -1;
    bool ended = pump(
        [&] {
            return waitpid(py, &status, WNOHANG) == py;
        },
        30000);
    if (!ended) {
        kill(py, SIGKILL);
        waitpid(py, &status, 0);
    }
    std::string text;
    if (FILE *p = fopen(out.c_str(), "r")) {
        char buf[4096];
        for (size_t n; (n = fread(buf, 1, sizeof(buf), p)) > 0;)
            text.append(buf, n);
        fclose(p);
    }
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
