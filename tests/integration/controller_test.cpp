// The real daemon and the controller stand-in on loopback: connecting,
// registering services and informing the controller, the Control commands
// and events, and the choice among controller entries and their addresses.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <netdb.h>
#include <poll.h>
#include <sstream>
#include <algorithm>
#include <memory>
#include <string>
#include <sched.h>
#include <sys/wait.h>
#include <tuple>
#include <unistd.h>
#include <vector>

#include "common/ctl_msg.h"
#include "common/uclient.h"
#include "controller/ulmex.h"
#include "gateway/ugwd_service.h"
#include "tests/integration/ctlpeer_fixture.h"
#include "tests/integration/standin_fixture.h"

namespace
{

using namespace standin_fixture;
using namespace ctlpeer_fixture;

const std::string gateway_bin = UGW_BIN_DIR "/ulmex-gateway";

constexpr uint16_t NATIVE_PORT = 47123;

uint64_t stamp(const std::string &line)
{
    return strtoull(line.c_str(), nullptr, 10);
}

std::vector<uint8_t> unhex(const std::string &h)
{
    std::vector<uint8_t> out;
    for (size_t i = 0; i + 1 < h.size(); i += 2)
        out.push_back(static_cast<uint8_t>(std::stoi(h.substr(i, 2), nullptr, 16)));
    return out;
}

std::string hex(const uint8_t *p, size_t n)
{
    std::string s;
    char x[3];
    for (size_t i = 0; i < n; i++) {
        snprintf(x, sizeof(x), "%02x", p[i]);
        s += x;
    }
    return s;
}

class Controller : public ::testing::Test
{
  protected:
    std::string dir;
    std::string key1, key2;
    pid_t gw = -1;
    uclient *mgmt = nullptr, *events = nullptr;
    std::vector<controller *> peers;
    std::vector<std::string> ns_prefix; // runs the daemon in place (unshare)

    void SetUp() override
    {
        if (!exists(ctlpeer_bin) || !exists(gateway_bin) || !exists(standin_bin))
            GTEST_SKIP() << "the daemon or a stand-in is not built";
        if (sh("command -v openssl") != 0) GTEST_SKIP() << "openssl is not installed";
        char t[] = "/tmp/ugw-controller-XXXXXX";
        ASSERT_TRUE(mkdtemp(t));
        dir = t;
        key1 = dir + "/key1.pem";
        key2 = dir + "/key2.pem";
        for (auto &k : {key1, key2})
            ASSERT_EQ(sh("openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out " + k), 0);
        mkdir((dir + "/run").c_str(), 0755);
        mkdir((dir + "/var").c_str(), 0755);
    }

    void TearDown() override
    {
        uclient_close(mgmt);
        uclient_close(events);
        if (gw > 0) {
            kill(gw, SIGTERM);
            waitpid(gw, nullptr, 0);
        }
        for (controller *c : peers) {
            c->stop();
            delete c;
        }
        if (!dir.empty()) sh("rm -rf '" + dir + "'");
    }

    controller *peer(const std::string &key, std::vector<std::string> listens)
    {
        auto *c = new controller;
        peers.push_back(c);
        EXPECT_TRUE(c->start(dir, key, listens)) << "the controller stand-in did not start";
        return c;
    }

    std::string log_text()
    {
        std::string s;
        for (const char *name : {"/gw.log", "/gw.err"}) {
            FILE *f = fopen((dir + name).c_str(), "r");
            if (!f) continue;
            char buf[4096];
            size_t n;
            while ((n = fread(buf, 1, sizeof(buf), f)) > 0)
                s.append(buf, n);
            fclose(f);
        }
        return s;
    }

    // The daemon with one stand-in data plane, its log in gw.log, and a
    // client joined to the Control events.
    void start_gateway(uint16_t port)
    {
        std::string log = dir + "/gw.log";
        std::vector<std::string> args = ns_prefix;
        for (std::string a : {gateway_bin, std::string("-D"), standin_bin, std::string("-n"),
                              std::string("1"), std::string("-p"), std::to_string(port),
                              std::string("-dd"), std::string("-F"), log})
            args.push_back(a);
        // What only standard error gets (a sanitizer's report) goes to gw.err.
        int err = open((dir + "/gw.err").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        gw = spawn(args,
                   {"TMPDIR=" + dir, "VARDIR=" + dir + "/var", "RUNDIR=" + dir + "/run"}, -1, err);
        if (err >= 0) close(err);
        std::string sock = dir + "/run/ulmex-gatewaysock." + std::to_string(gw);
        ASSERT_TRUE(wait_for([&] { return exists(sock); })) << log_text();
        mgmt = uclient_open(sock.c_str());
        events = uclient_open(sock.c_str());
        ASSERT_TRUE(mgmt && events);
        for (uint32_t type : {uint32_t{CTL_NEW_CONTROL}, uint32_t{CTL_DELETE_CONTROL}})
            ASSERT_EQ(uclient_join_group(events, &type, 4), 0);
    }

    std::vector<uint8_t> request(std::vector<uint8_t> m)
    {
        const uint8_t *reply = nullptr;
        ssize_t n = uclient_request(mgmt, m.data(), m.size(), &reply);
        if (n < 0) return {};
        return std::vector<uint8_t>(reply, reply + n);
    }
    static std::vector<uint8_t> message(uint32_t type, uint32_t flags = 0)
    {
        std::vector<uint8_t> m(ctl_msg_catalogue[type].size, 0);
        ctl_put32(m.data(), 0, type);
        ctl_put32(m.data(), 4, flags);
        return m;
    }
    static uint32_t status(const std::vector<uint8_t> &r)
    {
        return r.size() >= 8 && ctl_get32(r.data(), 0) == CTL_STATUS ? ctl_get32(r.data(), 4) : ~0u;
    }
    static ulmexControl record(const std::vector<uint8_t> &r)
    {
        ulmexControl c{};
        if (r.size() >= 8 + sizeof(c)) memcpy(&c, r.data() + 8, sizeof(c));
        return c;
    }
    std::vector<uint8_t> control_msg(uint32_t type, const std::string &name, const std::string &pin = "",
                                     uint32_t flags = 0)
    {
        auto m = message(type, flags);
        ulmexControl c{};
        snprintf(c.ulmexControlName, sizeof(c.ulmexControlName), "%s", name.c_str());
        auto fp = unhex(pin);
        if (!fp.empty()) memcpy(c.ulmexControlKey, fp.data(), fp.size());
        c.ulmexControlKeyLength = static_cast<uint16_t>(fp.size() * 8);
        if (type == CTL_ADD_CONTROL || type == CTL_MODIFY_CONTROL)
            memcpy(m.data() + 8, &c, sizeof(c));
        else
            memcpy(m.data() + 8, c.ulmexControlName, sizeof(c.ulmexControlName));
        return m;
    }
    std::vector<uint8_t> add_control(const std::string &name, const std::string &pin = "")
    {
        return request(control_msg(CTL_ADD_CONTROL, name, pin));
    }
    ulmexControl get_control(const std::string &name)
    {
        return record(request(control_msg(CTL_GET_CONTROL, name)));
    }
    std::vector<std::string> control_names()
    {
        auto r = request(message(CTL_DUMP_CONTROLS));
        std::vector<std::string> names;
        if (r.size() < 12) return names;
        for (uint32_t i = 0; i < ctl_get32(r.data(), 8); i++) {
            ulmexControl c;
            memcpy(&c, r.data() + 12 + size_t{i} * CTL_REC_CONTROL, sizeof(c));
            names.emplace_back(c.ulmexControlName);
        }
        return names;
    }

    // The next Control event within the bound: its type and record.
    bool next_event(uint32_t *type, ulmexControl *rec, int ms = WAIT_MS)
    {
        pollfd p = {uclient_event_fd(events), POLLIN, 0};
        if (poll(&p, 1, ms) != 1) return false;
        const uint8_t *payload = nullptr;
        ssize_t n = uclient_recv_event(events, &payload);
        if (n < 8) return false;
        *type = ctl_get32(payload, 0);
        if (n >= 456) memcpy(rec, payload + 8, sizeof(*rec));
        return true;
    }

    // Two services, and a native socket on lo.
    void add_services()
    {
        for (uint8_t n : {1, 2}) {
            ugwd_service_conf c = {};
            memcpy(c.mib.ulmexServiceId, uuid_of(n).data(), 16);
            c.mib.ulmexServiceSSID.length = 4;
            memcpy(c.mib.ulmexServiceSSID.ulmexSSIDValue, "wifi", 4);
            c.mib.ulmexServiceVNI = 100u + n;
            c.mib.query_interval = 125;
            auto m = message(CTL_ADD_SERVICE);
            memcpy(m.data() + 8, &c, sizeof(c));
            ASSERT_EQ(request(m).size(), 1300u) << log_text();
        }
        auto port = message(CTL_ADD_PORT);
        ctl_put32(port.data(), 8, 1);
        ASSERT_EQ(request(port).size(), 56u) << log_text();
        auto sock = message(CTL_ADD_SOCKET);
        ctl_put32(sock.data(), 8, 1);
        ctl_put32(sock.data(), 12, 1);
        uint16_t p = NATIVE_PORT;
        memcpy(sock.data() + 16, &p, 2);
        ASSERT_EQ(request(sock).size(), 64u) << log_text();
    }
};

std::string uuid_hex(uint8_t n)
{
    auto u = uuid_of(n);
    return hex(u.data(), u.size());
}

TEST_F(Controller, RegistersServicesInformsWithThePortTableAndAnnouncesTheLink)
{
    controller *c = peer(key1, {"127.0.0.1:0", "::1"});
    ASSERT_EQ((*c)("interval 1"), "ok\n");
    start_gateway(c->port);
    ASSERT_NO_FATAL_FAILURE(add_services());
    ASSERT_EQ(status(add_control("127.0.0.1", c->fingerprint)), ~0u);

    uint32_t type = 0;
    ulmexControl rec{};
    ASSERT_TRUE(next_event(&type, &rec)) << log_text();
    EXPECT_EQ(type, uint32_t{CTL_NEW_CONTROL});
    EXPECT_EQ(rec.ulmexControlStatus, ULMEX_STATE_RUNNING);
    EXPECT_STREQ(rec.ulmexControlName, "127.0.0.1");
    EXPECT_EQ(hex(rec.ulmexControlIdentity, 32), c->fingerprint);
    EXPECT_EQ(ntohs(rec.ulmexRemoteInet.sin.sin_port), c->port);

    // Each service registers once and informs at once, then every second.
    ASSERT_TRUE(wait_for([&] { return c->count("request ServiceInform") >= 6; })) << log_text();
    auto regs = c->journal("request ServiceRegister");
    ASSERT_EQ(regs.size(), 2u);
    std::string sessions[2];
    for (uint8_t n : {1, 2}) {
        std::string svc = "service=" + uuid_hex(n);
        std::vector<uint64_t> times;
        for (auto &l : c->journal("request ServiceInform")) {
            if (l.find(svc) == std::string::npos) continue;
            times.push_back(stamp(l));
            // Both families of the native socket, with the gateway's load.
            EXPECT_NE(l.find("127.0.0.1:" + std::to_string(NATIVE_PORT) + "/"), std::string::npos) << l;
            EXPECT_NE(l.find("[::1]:" + std::to_string(NATIVE_PORT) + "/"), std::string::npos) << l;
        }
        ASSERT_GE(times.size(), 2u);
        EXPECT_GE(times[1] - times[0], 900u);
        for (auto &l : regs)
            if (l.find(svc) != std::string::npos)
                sessions[n - 1] = l.substr(l.find("session="), l.find(' ', l.find("session=")) - l.find("session="));
        EXPECT_FALSE(sessions[n - 1].empty());
    }
    EXPECT_NE(sessions[0], sessions[1]);

    // Stopping a service tells the controller with its last session id.
    auto rm = message(CTL_REMOVE_SERVICE);
    memcpy(rm.data() + 8, uuid_of(1).data(), 16);
    request(rm);
    ASSERT_TRUE(wait_for([&] { return c->count("request ServiceUnregister") == 1; }));
    auto un = c->journal("request ServiceUnregister")[0];
    EXPECT_NE(un.find("service=" + uuid_hex(1) + " " + sessions[0]), std::string::npos) << un;

    // The controller goes away: the link is announced gone.
    ASSERT_EQ((*c)("close"), "ok\n");
    ASSERT_TRUE(next_event(&type, &rec));
    EXPECT_EQ(type, uint32_t{CTL_DELETE_CONTROL});
    EXPECT_STREQ(rec.ulmexControlName, "127.0.0.1");
}

TEST_F(Controller, ARegistrationRefusedBusyIsMadeAgainWithANewSessionFourSecondsLater)
{
    controller *c = peer(key1, {"127.0.0.1:0"});
    ASSERT_EQ((*c)("refuse ServiceRegister 3"), "ok\n");
    start_gateway(c->port);
    ASSERT_NO_FATAL_FAILURE(add_services());
    add_control("127.0.0.1", c->fingerprint);
    ASSERT_TRUE(wait_for([&] { return c->count("request ServiceRegister") >= 3; })) << log_text();
    ASSERT_TRUE(wait_for([&] { return c->count("request ServiceInform") >= 2; })) << log_text();
    // Of the first two, one was refused; it comes again with a session of its own.
    auto regs = c->journal("request ServiceRegister");
    std::string again = regs[2].substr(regs[2].find("service="), 41);
    size_t first = regs[0].find(again) != std::string::npos ? 0 : 1;
    ASSERT_NE(regs[first].find(again), std::string::npos);
    EXPECT_GE(stamp(regs[2]) - stamp(regs[first]), 4000u - 100);
    auto session = [](const std::string &l) { return l.substr(l.find("session=")); };
    EXPECT_NE(session(regs[2]), session(regs[first]));
}

TEST_F(Controller, ControlCommandsKeepEntriesByNameAndAnswerTheirRecord)
{
    start_gateway(9);
    std::string pin(64, 'a');
    auto r = add_control("ctl-a", pin);
    ASSERT_EQ(r.size(), 456u);
    EXPECT_EQ(ctl_get32(r.data(), 0), uint32_t{CTL_NEW_CONTROL});
    EXPECT_EQ(record(r).ulmexControlKeyLength, 256);
    add_control("ctl-b");

    struct {
        std::vector<uint8_t> msg;
        uint32_t status; // ~0: a record
        uint32_t type;
    } cases[] = {
        {control_msg(CTL_ADD_CONTROL, "ctl-a"), EEXIST, 0},
        {control_msg(CTL_ADD_CONTROL, "ctl-a", "", CTL_F_FORCE), ~0u, CTL_NEW_CONTROL},
        {control_msg(CTL_ADD_CONTROL, ""), EINVAL, 0},
        {control_msg(CTL_GET_CONTROL, "ctl-b"), ~0u, CTL_NEW_CONTROL},
        {control_msg(CTL_GET_CONTROL, "nothing"), ENOENT, 0},
        {control_msg(CTL_GET_CONTROL, ""), ENOENT, 0}, // none is connected
        {control_msg(CTL_MODIFY_CONTROL, "nothing"), ENOENT, 0},
        {control_msg(CTL_REMOVE_CONTROL, "nothing"), ENOENT, 0},
        {control_msg(CTL_REMOVE_CONTROL, "nothing", "", CTL_F_FORCE), 0, 0},
    };
    for (auto &k : cases) {
        auto a = request(k.msg);
        if (k.status != ~0u) {
            EXPECT_EQ(status(a), k.status) << ctl_get32(k.msg.data(), 0);
        } else {
            ASSERT_EQ(a.size(), 456u);
            EXPECT_EQ(ctl_get32(a.data(), 0), k.type);
        }
    }
    // The forced add answered the entry as it was: its key unchanged.
    EXPECT_EQ(hex(get_control("ctl-a").ulmexControlKey, 32), pin);

    // Modify replaces only the key, capped at 256 bits.
    auto m = control_msg(CTL_MODIFY_CONTROL, "ctl-b", std::string(64, 'b'));
    ctl_put32(m.data(), 8 + 380, 0xffff);
    memcpy(m.data() + 8 + 380, "\xff\xff", 2);
    EXPECT_EQ(record(request(m)).ulmexControlKeyLength, 256);
    // Entries that fail to resolve rotate: the list's order is the walk's.
    auto names = control_names();
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"ctl-a", "ctl-b"}));

    r = request(control_msg(CTL_REMOVE_CONTROL, "ctl-a"));
    ASSERT_EQ(r.size(), 456u);
    EXPECT_EQ(ctl_get32(r.data(), 0), uint32_t{CTL_DELETE_CONTROL});
    EXPECT_STREQ(record(r).ulmexControlName, "ctl-a");
    EXPECT_EQ(control_names(), (std::vector<std::string>{"ctl-b"}));
}

TEST_F(Controller, AnUnresolvableFirstEntryRotatesAndASecondEntryDisturbsNothing)
{
    controller *c = peer(key1, {"127.0.0.1:0"});
    start_gateway(c->port);
    add_control("unresolvable.invalid");
    add_control("127.0.0.1");
    uint32_t type = 0;
    ulmexControl rec{};
    ASSERT_TRUE(next_event(&type, &rec)) << log_text();
    EXPECT_EQ(type, uint32_t{CTL_NEW_CONTROL});
    EXPECT_STREQ(rec.ulmexControlName, "127.0.0.1");
    EXPECT_EQ(control_names(), (std::vector<std::string>{"127.0.0.1", "unresolvable.invalid"}));
    EXPECT_NE(log_text().find("Could not resolve unresolvable.invalid"), std::string::npos);

    // A third entry goes to the tail; the link stays as it is through the
    // registration run the command sets off and the echoes after it.
    auto before = get_control("");
    ASSERT_EQ(add_control("127.0.0.2").size(), 456u);
    // The run that command set off at 0 ms is over once a later one is answered.
    auto after = get_control("");
    EXPECT_EQ(after.ulmexLinkCount, 1u);
    EXPECT_EQ(after.ulmexConnectTime, before.ulmexConnectTime);
    EXPECT_EQ(after.ulmexControlStatus, ULMEX_STATE_RUNNING);
    EXPECT_EQ(c->count("hello"), 1u);
    EXPECT_EQ(c->count("closed"), 0u);
    EXPECT_EQ((*c)("state").rfind("sessions=1 ", 0), 0u);
    EXPECT_EQ(control_names(),
              (std::vector<std::string>{"127.0.0.1", "unresolvable.invalid", "127.0.0.2"}));
}

TEST_F(Controller, RemovingOrRekeyingTheEntryInUseReconnects)
{
    controller *c = peer(key1, {"127.0.0.1:0", "::1"});
    start_gateway(c->port);
    add_control("127.0.0.1", c->fingerprint);
    add_control("::1", c->fingerprint);
    uint32_t type = 0;
    ulmexControl rec{};
    ASSERT_TRUE(next_event(&type, &rec)) << log_text();
    ASSERT_EQ(type, uint32_t{CTL_NEW_CONTROL});

    // Re-keyed: the controller now shows the other key, and the entry pins it.
    std::string fp2 = (*c)("key " + key2);
    fp2.pop_back();
    ASSERT_EQ(fp2.size(), 64u);
    ASSERT_EQ(record(request(control_msg(CTL_MODIFY_CONTROL, "127.0.0.1", fp2))).ulmexControlKeyLength, 256);
    ASSERT_TRUE(next_event(&type, &rec));
    EXPECT_EQ(type, uint32_t{CTL_DELETE_CONTROL});
    ASSERT_TRUE(next_event(&type, &rec)) << log_text();
    EXPECT_EQ(type, uint32_t{CTL_NEW_CONTROL});
    EXPECT_STREQ(rec.ulmexControlName, "127.0.0.1");
    EXPECT_EQ(hex(rec.ulmexControlIdentity, 32), fp2);
    EXPECT_EQ(rec.ulmexLinkCount, 2u);

    // Removed: the next entry is taken at once.
    ASSERT_EQ(record(request(control_msg(CTL_MODIFY_CONTROL, "::1", fp2))).ulmexControlKeyLength, 256);
    request(control_msg(CTL_REMOVE_CONTROL, "127.0.0.1"));
    ASSERT_TRUE(next_event(&type, &rec)) << log_text();
    if (type == CTL_DELETE_CONTROL) {
        ASSERT_TRUE(next_event(&type, &rec)) << log_text();
    }
    EXPECT_EQ(type, uint32_t{CTL_NEW_CONTROL});
    EXPECT_STREQ(rec.ulmexControlName, "::1");
    EXPECT_EQ(rec.ulmexRemoteInet.sa.sa_family, AF_INET6);
}

TEST_F(Controller, AWrongPinFailsTheHandshakeAndTheRetryWaitsFourSeconds)
{
    controller *c = peer(key1, {"127.0.0.1:0"});
    start_gateway(c->port);
    add_control("127.0.0.1", std::string(64, '0'));
    ASSERT_TRUE(wait_for([&] { return c->count("hello") >= 2; }, 30000)) << log_text();
    auto r = get_control("127.0.0.1");
    EXPECT_GE(r.ulmexHandshakeFailures, 1u);
    EXPECT_EQ(r.ulmexLinkCount, 0u);
    EXPECT_NE(r.ulmexCloseTime, 0u);
    // The refused attempt ends within its handshake; the next begins no sooner
    // than four seconds after that.
    auto hellos = c->journal("hello");
    EXPECT_GE(stamp(hellos[1]) - stamp(hellos[0]), 4000u) << (*c)("journal");
    EXPECT_NE(log_text().find("Bad RSA key fingerprint"), std::string::npos);
    EXPECT_EQ(c->count("accepted"), 0u);
}

TEST_F(Controller, OfTwoAddressesTheSecondIsTriedAtOnceWhenTheFirstFails)
{
    if (geteuid() != 0) GTEST_SKIP() << "needs root for a mount namespace with its own hosts file";
    // A name with one IPv4 and one IPv6 address, in a hosts file that only the
    // daemon and the lookup of their order see.
    std::string hosts = dir + "/hosts";
    FILE *h = fopen(hosts.c_str(), "w");
    ASSERT_NE(h, nullptr);
    fputs("127.0.0.1 ctl-two\n::1 ctl-two\n", h);
    fclose(h);
    std::string in_ns = "mount --bind " + hosts + " /etc/hosts && exec \"$0\" \"$@\"";
    ns_prefix = {"/usr/bin/unshare", "-m", "sh", "-c", in_ns};
    std::string order = dir + "/order";
    ASSERT_EQ(std::system(("/usr/bin/unshare -m sh -c 'mount --bind " + hosts +
                           " /etc/hosts && getent ahosts ctl-two' > " + order + " 2>&1").c_str()),
              0);
    std::vector<int> families;
    if (FILE *f = fopen(order.c_str(), "r")) {
        char line[256];
        while (fgets(line, sizeof(line), f)) {
            int af = strchr(line, ':') ? AF_INET6 : AF_INET;
            if (families.empty() || families.back() != af) families.push_back(af);
        }
        fclose(f);
    }
    ASSERT_EQ(families.size(), 2u);
    auto listen = [](int af, uint16_t port) {
        return (af == AF_INET ? std::string("127.0.0.1:") : std::string("[::1]:")) + std::to_string(port);
    };
    // The first address answers with a key the pin refuses; the second with the pinned one.
    controller *good = peer(key1, {listen(families[1], 0)});
    controller *bad = peer(key2, {listen(families[0], good->port)});
    start_gateway(good->port);
    add_control("ctl-two", good->fingerprint);
    uint32_t type = 0;
    ulmexControl rec{};
    ASSERT_TRUE(next_event(&type, &rec)) << log_text();
    EXPECT_EQ(type, uint32_t{CTL_NEW_CONTROL});
    EXPECT_EQ(rec.ulmexRemoteInet.sa.sa_family, families[1]);
    auto tried = bad->journal("hello");
    auto hellos = good->journal("hello");
    ASSERT_EQ(tried.size(), 1u);
    ASSERT_EQ(hellos.size(), 1u);
    // No hold-off between the two.
    EXPECT_LT(stamp(hellos[0]) - stamp(tried[0]), 2000u);
    EXPECT_EQ(get_control("ctl-two").ulmexHandshakeFailures, 1u);
}

// A ".local" controller name answered by python3-zeroconf in a peer network
// namespace over a veth pair: the daemon and this test in one namespace, the
// responder and the controller in the other.
TEST_F(Controller, ALocalNameIsResolvedByMulticastDns)
{
    if (geteuid() != 0) GTEST_SKIP() << "needs root to make network namespaces";
    if (sh("/usr/bin/python3 -c 'import zeroconf'") != 0) GTEST_SKIP() << "python3-zeroconf not installed";
    std::string a = "ugwctl-a-" + std::to_string(getpid()), b = "ugwctl-b-" + std::to_string(getpid());
    struct cleanup {
        std::string a, b;
        pid_t responder = -1;
        ~cleanup()
        {
            if (responder > 0) {
                kill(responder, SIGTERM);
                waitpid(responder, nullptr, 0);
            }
            sh("ip netns del " + a);
            sh("ip netns del " + b);
        }
    } guard{a, b};
    ASSERT_EQ(sh("ip netns add " + a + " && ip netns add " + b), 0);
    // No address of either end is ever tentative.
    for (const std::string &ns : {a, b})
        ASSERT_EQ(sh("ip netns exec " + ns +
                     " sysctl -qw net.ipv6.conf.all.accept_dad=0 net.ipv6.conf.default.accept_dad=0"
                     " && ip -n " + ns + " link set lo up"),
                  0);
    ASSERT_EQ(sh("ip link add va netns " + a + " type veth peer name vb netns " + b), 0);
    for (auto [ns, dev, addr, addr6] : {std::tuple{a, "va", "192.0.2.10", "2001:db8:5::10"},
                                        std::tuple{b, "vb", "192.0.2.20", "2001:db8:5::20"}})
        ASSERT_EQ(sh("ip -n " + ns + " addr add " + addr + "/24 dev " + dev + " && ip -n " + ns +
                     " addr add " + addr6 + "/64 dev " + dev + " nodad && ip -n " + ns +
                     " link set " + dev + " up"),
                  0);
    // This process, and the daemon it starts, live in the first namespace:
    // the management socket's clients have abstract names there.
    int fd = open(("/var/run/netns/" + a).c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(setns(fd, CLONE_NEWNET), 0) << strerror(errno);
    close(fd);

    auto *c = new controller;
    peers.push_back(c);
    ASSERT_TRUE(c->start(dir, key1, {"192.0.2.20:0"}, {"/usr/sbin/ip", "netns", "exec", b}));
    start_gateway(c->port);
    // The responder comes last: started right after its link came up, it
    // sometimes never heard a query.
    static const char responder_py[] = R"(
import signal, socket, sys
from zeroconf import IPVersion, ServiceInfo, Zeroconf
addrs = [socket.inet_pton(socket.AF_INET6 if ":" in a else socket.AF_INET, a) for a in sys.argv[2:]]
zc = Zeroconf(ip_version=IPVersion.All)
info = ServiceInfo("_ugw._udp.local.", "ctl._ugw._udp.local.", port=9, addresses=addrs,
                   server=sys.argv[1])
zc.register_service(info, cooperating_responders=True)
print("ready", flush=True)
signal.pause()
)";
    // Ready when a resolver of its own kind, here, sees its record; one that
    // did not come up hearing queries is started again.
    static const char probe_py[] = R"(
from zeroconf import Zeroconf
zc = Zeroconf()
info = zc.get_service_info("_ugw._udp.local.", "ctl._ugw._udp.local.", timeout=3000)
zc.close()
raise SystemExit(0 if info else 1)
)";
    bool ready = false;
    for (int attempt = 0; attempt < 3 && !ready; attempt++) {
        if (guard.responder > 0) {
            kill(guard.responder, SIGTERM);
            waitpid(guard.responder, nullptr, 0);
        }
        int out[2];
        ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
        guard.responder = spawn({"/usr/sbin/ip", "netns", "exec", b, "/usr/bin/python3", "-c",
                                 responder_py, "ugwctl.local.", "192.0.2.20", "2001:db8:5::20"},
                                {}, out[1], -1);
        close(out[1]);
        pollfd p = {out[0], POLLIN, 0};
        char line[16] = {};
        ready = poll(&p, 1, 20000) == 1 && read(out[0], line, sizeof(line) - 1) > 0 &&
                strncmp(line, "ready", 5) == 0;
        close(out[0]);
        ready = ready && std::system(("/usr/bin/python3 -c '" + std::string(probe_py) + "'").c_str()) == 0;
    }
    ASSERT_TRUE(ready) << "the zeroconf responder did not answer";
    add_control("ugwctl.local", c->fingerprint);
    uint32_t type = 0;
    ulmexControl rec{};
    ASSERT_TRUE(next_event(&type, &rec)) << log_text();
    EXPECT_EQ(type, uint32_t{CTL_NEW_CONTROL});
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &rec.ulmexRemoteInet.sin.sin_addr, text, sizeof(text));
    EXPECT_STREQ(text, "192.0.2.20");
    EXPECT_EQ(hex(rec.ulmexControlIdentity, 32), c->fingerprint);
    EXPECT_NE(log_text().find("Resolving controller name ugwctl.local"), std::string::npos);
}

} // namespace

// The controller's requests through the stand-in to the real daemon: a
// FlowInstall makes the station's flow (a repetition changes nothing), a
// ServiceConfigure is taken and announced, and a FlowRemove of the session
// takes the flow away; each is answered success. (VAP and flow events wait
// for the station's association.)
TEST_F(Controller, InstallsConfiguresAndRemovesFlowsTheControllerSends)
{
    controller *c = peer(key1, {"127.0.0.1:0"});
    start_gateway(c->port);
    // A VAP takes its interface from the service.
    ugwd_service_conf conf = {};
    memcpy(conf.mib.ulmexServiceId, uuid_of(1).data(), 16);
    conf.mib.ulmexServiceIfCount = 1;
    conf.mib.ulmexServiceIfIndices[0] = 1;
    auto add = message(CTL_ADD_SERVICE);
    memcpy(add.data() + 8, &conf, sizeof(conf));
    ASSERT_EQ(request(add).size(), 1300u) << log_text();
    std::unique_ptr<uclient, void (*)(uclient *)> events_owner(
        uclient_open((dir + "/run/ulmex-gatewaysock." + std::to_string(gw)).c_str()), uclient_close);
    uclient *svc_events = events_owner.get();
    ASSERT_NE(svc_events, nullptr);
    uint32_t new_service = CTL_NEW_SERVICE;
    ASSERT_EQ(uclient_join_group(svc_events, &new_service, 4), 0);
    add_control("127.0.0.1", c->fingerprint);
    ASSERT_TRUE(wait_for([&] { return c->count("request ServiceInform") >= 1; })) << log_text();
    auto event = [&](uint32_t want) {
        for (uint64_t end = now_ms() + WAIT_MS; now_ms() < end;) {
            pollfd p = {uclient_event_fd(svc_events), POLLIN, 0};
            if (poll(&p, 1, 200) != 1) continue;
            const uint8_t *payload = nullptr;
            ssize_t n = uclient_recv_event(svc_events, &payload);
            if (n >= 8 && ctl_get32(payload, 0) == want) return true;
        }
        return false;
    };
    auto answers = [&](const std::string &what) { return c->journal("answer " + what); };
    const std::string bss = "02b5000000aa", client = "0257a00000c1", svc = uuid_hex(1);

    ASSERT_EQ((*c)("install " + bss + " " + client + " " + svc + " 7 127.0.0.1 5246 30"), "ok\n");
    ASSERT_TRUE(wait_for([&] { return answers("Status to FlowInstall").size() == 1; }))
        << (*c)("journal") << log_text() << [&] {
               int st = 0;
               return waitpid(gw, &st, WNOHANG) == gw ? "daemon ended: status " + std::to_string(st)
                                                       : std::string("daemon runs");
           }();
    EXPECT_NE(answers("Status to FlowInstall")[0].find("status=0"), std::string::npos)
        << answers("Status to FlowInstall")[0] << log_text();
    // The station's flow and its VAP, as an administrator lists them.
    auto dump = message(CTL_DUMP_FLOWS);
    memcpy(dump.data() + 8, uuid_of(1).data(), 16);
    auto listed = request(dump);
    ASSERT_GE(listed.size(), 16u) << "status " << status(listed) << "\n" << log_text();
    EXPECT_EQ(ctl_get32(listed.data(), 0), uint32_t{CTL_FLOWS});
    EXPECT_EQ(listed.size(), 16u + 584u) << "one flow";

    // The same install again is a repetition.
    ASSERT_EQ((*c)("install " + bss + " " + client + " " + svc + " 7 127.0.0.1 5246 30"), "ok\n");
    ASSERT_TRUE(wait_for([&] { return answers("Status to FlowInstall").size() == 2; }));
    EXPECT_NE(answers("Status to FlowInstall")[1].find("status=0"), std::string::npos);

    ASSERT_EQ((*c)("configure " + svc + " 9 2"), "ok\n");
    ASSERT_TRUE(wait_for([&] { return answers("Status to ServiceConfigure").size() == 1; }))
        << (*c)("journal");
    EXPECT_NE(answers("Status to ServiceConfigure")[0].find("status=0"), std::string::npos);
    EXPECT_TRUE(event(CTL_NEW_SERVICE)) << "a reconfigured service is announced";

    ASSERT_EQ((*c)("remove " + bss + " " + client + " 7"), "ok\n");
    ASSERT_TRUE(wait_for([&] { return answers("Status to FlowRemove").size() == 1; }));
    EXPECT_NE(answers("Status to FlowRemove")[0].find("status=0"), std::string::npos);
    EXPECT_EQ(request(dump).size(), 16u) << "no flow left";
}
