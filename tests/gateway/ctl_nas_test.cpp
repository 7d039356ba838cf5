// NAS configurations with their RADIUS sockets, filters and rules, and host
// set ids, through the management dispatcher of a gateway object. Tests that
// make a NAS run in a network namespace of their own: port 3799 is fixed.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <net/if.h>
#include <sched.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "common/ctl_msg.h"
#include "common/filter/filter_rule.h"
#include "common/packet.h"
#include "ctl_fixture.h"
#include "dot11/dot11_cache.h"
#include "dot11/dot11_mib.h"
#include "gateway/ugwd_ctl_msg.h"
#include "gateway/ugwd_nas.h"
#include "gateway/ugwd_service.h"
#include "radius/radius_mib.h"

namespace
{

struct reply {
    int len;
    std::vector<uint8_t> b;
    uint32_t type() const { return ctl_get32(b.data(), 0); }
    uint32_t status() const { return type() == CTL_STATUS ? ctl_get32(b.data(), 4) : 0; }
};

reply run(ugwd_ctl *ctl, std::vector<uint8_t> msg, bool privileged = true, size_t size = 8192)
{
    size_t len = ctl_msg_size(msg.data(), msg.size());
    msg.resize(std::max(msg.size(), size));
    int r = ugwd_ctl_dispatch(ctl, msg.data(), len, size, privileged);
    msg.resize(r > 0 ? static_cast<size_t>(r) : 0);
    return {r, msg};
}

std::vector<uint8_t> request(uint32_t type, uint32_t flags = 0)
{
    std::vector<uint8_t> m(ctl_msg_catalogue[type].size);
    ugwd_ctl_msg_init(m.data(), type);
    ctl_put32(m.data(), 4, flags);
    return m;
}

std::vector<uint8_t> named(uint32_t type, const std::string &nas, uint32_t flags = 0)
{
    auto m = request(type, flags);
    memcpy(m.data() + 8, nas.data(), nas.size());
    return m;
}

// Add- or Modify-NAS: servers on 127.0.0.2, a secret in each of the four rows;
// without secrets, the primary's is unterminated, which the client refuses.
std::vector<uint8_t> nas_msg(uint32_t type, const std::string &name, unsigned ports,
                             uint32_t flags = 0, bool secrets = true, bool servers = true)
{
    auto m = request(type, flags);
    radius_nas_record rec{};
    snprintf(rec.config.radiusAuthClientIdentifier, sizeof(rec.config.radiusAuthClientIdentifier),
             "%s", name.c_str());
    rec.config.radiusClientRequestPorts = ports & 0x7fff;
    const uint8_t server[4] = {127, 0, 0, 2};
    for (int i = 0; i < 2; i++) {
        auto &a = rec.auth[i];
        a.radiusAuthServerInetAddressType = RADIUS_INET_IPV4;
        memcpy(a.radiusAuthServerInetAddress, server, 4);
        a.radiusAuthClientServerInetPortNumber = static_cast<uint16_t>(1812 + 10 * i);
        if (secrets)
            snprintf(a.radiusAuthServerSharedSecret, RADIUS_SECRET_SIZE, "auth-secret-%d", i);
        auto &c = rec.acct[i];
        c.radiusAccServerInetAddressType = RADIUS_INET_IPV4;
        memcpy(c.radiusAccServerInetAddress, server, 4);
        c.radiusAccClientServerInetPortNumber = static_cast<uint16_t>(1813 + 10 * i);
        if (secrets)
            snprintf(c.radiusAccServerSharedSecret, RADIUS_SECRET_SIZE, "acct-secret-%d", i);
    }
    if (!secrets) memset(rec.auth[0].radiusAuthServerSharedSecret, 'x', RADIUS_SECRET_SIZE);
    if (!servers) {
        memset(rec.auth, 0, sizeof(rec.auth));
        memset(rec.acct, 0, sizeof(rec.acct));
    }
    memcpy(m.data() + 8, &rec, RADIUS_NAS_RECORD_CONFIG_SIZE);
    return m;
}

std::string sh_out(const std::string &cmd)
{
    std::string out;
    if (FILE *p = popen(cmd.c_str(), "r")) {
        char buf[256];
        while (fgets(buf, sizeof(buf), p))
            out += buf;
        pclose(p);
    }
    return out;
}

bool das_port_open()
{
    return sh_out("ss -Huln 'sport = :3799'").find(":3799") != std::string::npos;
}

std::vector<int> ports_of(const ugwd_nas *nas)
{
    const int *fds = array_data<int>(&nas->ports);
    return std::vector<int>(fds, fds + ugwd_nas_port_count(nas));
}

uint16_t local_port(int fd)
{
    sockaddr_in6 sa{};
    socklen_t len = sizeof(sa);
    getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &len);
    return ntohs(sa.sin6_port);
}

// A datagram from 127.0.0.1 to 127.0.0.1:port; the sender's port.
uint16_t send_v4(uint16_t port, const std::vector<uint8_t> &data)
{
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sendto(fd, data.data(), data.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof(to));
    uint16_t from = local_port(fd);
    sockaddr_in self{};
    socklen_t len = sizeof(self);
    getsockname(fd, reinterpret_cast<sockaddr *>(&self), &len);
    close(fd);
    return ntohs(self.sin_port) ? ntohs(self.sin_port) : from;
}

class Nas : public ctl_test::Gateway
{
  protected:
    void SetUp() override
    {
        if (geteuid() != 0)
            GTEST_SKIP() << "needs root for a network namespace (port 3799 is fixed)";
        // This test's process only: ctest runs each test in a process of its own.
        ASSERT_EQ(unshare(CLONE_NEWNET), 0) << strerror(errno);
        ASSERT_EQ(std::system("ip link set lo up"), 0);
        Gateway::SetUp();
    }

    ugwd_nas *nas(const char *name) { return ugwd_nas_lookup(ctl->nas, name); }
};

TEST_F(Nas, RecordsOpenTheirPortsAndTheSharedPortWhileOneExists)
{
    EXPECT_FALSE(das_port_open());
    EXPECT_EQ(run(ctl, nas_msg(CTL_ADD_NAS, "", 1)).status(), static_cast<uint32_t>(EINVAL));
    EXPECT_FALSE(das_port_open());

    reply added = run(ctl, nas_msg(CTL_ADD_NAS, "nas1", 2));
    ASSERT_EQ(added.len, 1312);
    EXPECT_EQ(added.type(), CTL_NEW_NAS);
    EXPECT_STREQ(reinterpret_cast<const char *>(added.b.data() + 8), "nas1");
    EXPECT_TRUE(das_port_open());
    EXPECT_EQ(ctl_test::logged("Added RADIUS dynamic authorization port 3799"), 1u);
    EXPECT_EQ(ctl_test::logged("Added RADIUS UDP port #2 for NAS nas1"), 1u);
    ASSERT_EQ(ugwd_nas_port_count(nas("nas1")), 2u);

    EXPECT_EQ(run(ctl, nas_msg(CTL_ADD_NAS, "nas1", 2)).status(), static_cast<uint32_t>(EEXIST));
    EXPECT_EQ(run(ctl, nas_msg(CTL_ADD_NAS, "nas1", 2, CTL_F_FORCE)).len, 1312);
    EXPECT_EQ(run(ctl, named(CTL_GET_NAS, "nas9")).status(), static_cast<uint32_t>(ENOENT));
    EXPECT_EQ(run(ctl, nas_msg(CTL_MODIFY_NAS, "nas9", 1)).status(), static_cast<uint32_t>(ENOENT));

    // 2 to 4 keeps the two it had; 4 to 2 closes the two newest.
    std::vector<int> two = ports_of(nas("nas1"));
    ASSERT_EQ(run(ctl, nas_msg(CTL_MODIFY_NAS, "nas1", 4)).len, 1312);
    std::vector<int> four = ports_of(nas("nas1"));
    ASSERT_EQ(four.size(), 4u);
    EXPECT_TRUE(std::is_sorted(four.begin(), four.end()));
    for (int fd : two)
        EXPECT_NE(std::find(four.begin(), four.end(), fd), four.end());
    ASSERT_EQ(run(ctl, nas_msg(CTL_MODIFY_NAS, "nas1", 2)).len, 1312);
    EXPECT_EQ(ports_of(nas("nas1")), std::vector<int>(four.begin(), four.begin() + 2));
    EXPECT_EQ(ctl_test::logged("Removed RADIUS UDP port #4 for NAS nas1"), 1u);
    EXPECT_EQ(ctl_test::logged("Removed RADIUS UDP port #3 for NAS nas1"), 1u);

    // A configuration the client refuses leaves the ports it had.
    std::vector<int> before = ports_of(nas("nas1"));
    EXPECT_EQ(run(ctl, nas_msg(CTL_MODIFY_NAS, "nas1", 4, 0, false)).status(),
              static_cast<uint32_t>(EINVAL));
    EXPECT_EQ(ports_of(nas("nas1")), before);
    // A forced Add that fails keeps the NAS.
    EXPECT_EQ(run(ctl, nas_msg(CTL_ADD_NAS, "nas1", 3, CTL_F_FORCE, false)).status(),
              static_cast<uint32_t>(EINVAL));
    EXPECT_EQ(ports_of(nas("nas1")), before);
    // A new NAS that cannot be configured is not left behind.
    EXPECT_EQ(run(ctl, nas_msg(CTL_ADD_NAS, "nas2", 1, 0, false)).status(),
              static_cast<uint32_t>(EINVAL));
    EXPECT_EQ(nas("nas2"), nullptr);

    // No request ports: only the shared port serves it.
    ASSERT_EQ(run(ctl, nas_msg(CTL_ADD_NAS, "nas2", 0, 0, false, false)).len, 1312);
    EXPECT_EQ(ugwd_nas_port_count(nas("nas2")), 0u);
    reply dump = run(ctl, request(CTL_DUMP_NASES));
    ASSERT_EQ(dump.len, 12 + 2 * 256);
    EXPECT_EQ(ctl_get32(dump.b.data(), 8), 2u);

    for (const char *name : {"nas1", "nas2"}) {
        EXPECT_TRUE(das_port_open());
        reply gone = run(ctl, named(CTL_REMOVE_NAS, name));
        ASSERT_EQ(gone.len, 1312);
        EXPECT_EQ(gone.type(), CTL_DELETE_NAS);
    }
    EXPECT_FALSE(das_port_open());
    EXPECT_EQ(ctl_test::logged("Removed RADIUS dynamic authorization port 3799"), 1u);
    EXPECT_EQ(run(ctl, named(CTL_REMOVE_NAS, "nas1")).status(), static_cast<uint32_t>(ENOENT));
    reply forced = run(ctl, named(CTL_REMOVE_NAS, "nas1", CTL_F_FORCE));
    EXPECT_EQ(forced.type(), CTL_STATUS);
    EXPECT_EQ(forced.status(), 0u);

    ASSERT_EQ(run(ctl, nas_msg(CTL_ADD_NAS, "nas3", 1)).len, 1312);
    EXPECT_TRUE(das_port_open());
}

TEST_F(Nas, UnprivilegedGetNasAnswersTheSameBytesWithoutSecrets)
{
    ASSERT_EQ(run(ctl, nas_msg(CTL_ADD_NAS, "nas1", 1)).len, 1312);
    // Each buffer holds an earlier request's secrets past the reply.
    std::vector<uint8_t> secret_filled = named(CTL_GET_NAS, "nas1");
    secret_filled.resize(4096, 'S');
    reply rw = run(ctl, secret_filled, true, 4096);
    reply ro = run(ctl, secret_filled, false, 4096);
    ASSERT_EQ(rw.len, 1312);
    ASSERT_EQ(ro.len, 1312);
    const size_t secrets[] = {8 + 256 + 36,       8 + 256 + 164 + 36, 8 + 584 + 36,
                              8 + 584 + 152 + 36, 8 + 888 + 36,       8 + 888 + 208 + 36};
    for (size_t at : secrets) {
        SCOPED_TRACE(at);
        EXPECT_NE(rw.b[at], 0);
        for (size_t i = 0; i < RADIUS_SECRET_SIZE; i++) {
            EXPECT_EQ(ro.b[at + i], 0);
            ro.b[at + i] = rw.b[at + i];
        }
    }
    EXPECT_EQ(ro.b, rw.b);
}

TEST_F(Nas, DatagramsReachTheClientFromIpv4SendersAndLeaveByIndex)
{
    ASSERT_EQ(run(ctl, nas_msg(CTL_ADD_NAS, "nas1", 2)).len, 1312);
    ugwd_nas *n = nas("nas1");
    std::vector<int> fds = ports_of(n);

    // An Access-Accept from an address that is no server: the client saw an
    // IPv4 sender on the port the datagram came to.
    for (int fd : fds) {
        ctl_test::log_clear();
        uint16_t from = send_v4(local_port(fd), {2, 1, 0, 20});
        ugwd_radius_recv_port_cb(n, fd);
        EXPECT_EQ(ctl_test::logged("Discarding RADIUS response from unknown auth server "
                                   "127.0.0.1:" +
                                   std::to_string(from)),
                  1u);
    }

    uint16_t from = send_v4(local_port(fds[0]), std::vector<uint8_t>(5000, 2));
    ugwd_radius_recv_port_cb(n, fds[0]);
    EXPECT_EQ(ctl_test::logged("Discarding oversized RADIUS message 5000 bytes from 127.0.0.1:" +
                               std::to_string(from)),
              1u);

    // A Disconnect-Request for a NAS that does not exist.
    std::vector<uint8_t> req = {40, 7, 0, 28};
    req.resize(20, 0);
    const char id[] = "nobody";
    req.push_back(32);
    req.push_back(2 + 6);
    req.insert(req.end(), id, id + 6);
    from = send_v4(UGWD_RADIUS_DAS_PORT, req);
    ugwd_radius_recv_listen_cb(ctl->nas, ctl->nas->das_fd);
    EXPECT_EQ(ctl_test::logged("Discarding RADIUS request from 127.0.0.1:" + std::to_string(from) +
                               " to unknown NAS nobody"),
              1u);

    // Sending by index reaches an IPv4 peer; an index beyond the ports is refused.
    int peer = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(peer, reinterpret_cast<sockaddr *>(&at), sizeof(at)), 0);
    socklen_t alen = sizeof(at);
    getsockname(peer, reinterpret_cast<sockaddr *>(&at), &alen);
    const uint8_t hello[] = {1, 2, 3};
    packet *p = packet_from_bytes(ctl->packet_pool, hello, sizeof(hello));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(ugwd_nas_send(n, p, reinterpret_cast<sockaddr *>(&at), 1), 0);
    sockaddr_in6 src{};
    socklen_t slen = sizeof(src);
    uint8_t got[8];
    EXPECT_EQ(recvfrom(peer, got, sizeof(got), 0, reinterpret_cast<sockaddr *>(&src), &slen), 3);
    EXPECT_EQ(ntohs(reinterpret_cast<sockaddr_in *>(&src)->sin_port), local_port(fds[1]));
    EXPECT_EQ(ugwd_nas_send(n, p, reinterpret_cast<sockaddr *>(&at), 2), -1);
    EXPECT_EQ(errno, EBADF);
    EXPECT_EQ(ctl_test::logged("RADIUS port #2 of NAS nas1 does not exist"), 1u);
    packet_release(p);
    close(peer);
}

// An 802.1X service needs a NAS; it runs through the NAS's client until the
// NAS goes, which takes itself from the service and its key cache.
TEST_F(Nas, An8021xServiceRunsThroughItsNasUntilTheNasGoes)
{
    ASSERT_EQ(run(ctl, nas_msg(CTL_ADD_NAS, "nas1", 1)).len, 1312);
    ugwd_service_conf c{};
    c.mib.ulmexServiceId[0] = 0x5e;
    c.mib.ulmexServiceIfCount = 1;
    c.mib.ulmexServiceIfIndices[0] = if_nametoindex("lo");
    c.mib.ulmexServiceSSID.length = 4;
    memcpy(c.mib.ulmexServiceSSID.ulmexSSIDValue, "corp", 4);
    c.dot11.flags_a =
        DOT11_CFG_A_RSNA_IMPLEMENTED | DOT11_CFG_A_RSNA_ACTIVATED | (DOT11_REKEY_TIME << 1);
    c.dot11.dot11RSNAConfigGroupCipher = DOT11_CIPHER_CCMP;
    c.dot11.dot11RSNAConfigPairwiseCipher[0] = DOT11_CIPHER_CCMP;
    c.dot11.dot11RSNAConfigAuthenticationSuite[0] = DOT11_AKM_8021X;
    c.dot11.dot11RSNAConfigGroupRekeyTime = 86400;
    c.dot11.dot11RSNAConfigGroupUpdateCount = 3;
    c.dot11.dot11RSNAConfigPairwiseUpdateCount = 3;
    c.dot11.dot11RSNAConfigPMKLifetime = 43200;
    c.dot11.dot11RSNAConfigPMKReauthThreshold = 70;
    c.dot11.dot11RSNAConfigSATimeout = 60;
    auto add = request(CTL_ADD_SERVICE);
    memcpy(add.data() + 8, &c, sizeof(c));
    EXPECT_EQ(run(ctl, add).status(), static_cast<uint32_t>(EINVAL));
    EXPECT_EQ(ctl_test::logged("IEEE 802.1X authentication requires a RADIUS NAS"), 1u);

    snprintf(c.mib.ulmexRadiusNASIdentifier, sizeof(c.mib.ulmexRadiusNASIdentifier), "nas1");
    memcpy(add.data() + 8, &c, sizeof(c));
    ASSERT_EQ(run(ctl, add).len, 1300);
    ugwd_service *s = ugwd_table_get_service(ctl->table, c.mib.ulmexServiceId);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->nas, nas("nas1"));
    EXPECT_EQ(dot11_cache_get_nas(s->cache), ugwd_nas_get_client(nas("nas1")));

    ASSERT_EQ(run(ctl, named(CTL_REMOVE_NAS, "nas1")).len, 1312);
    EXPECT_EQ(s->nas, nullptr);
    EXPECT_EQ(dot11_cache_get_nas(s->cache), nullptr);
    // The service lives on and goes without touching the NAS.
    auto remove = request(CTL_REMOVE_SERVICE);
    memcpy(remove.data() + 8, c.mib.ulmexServiceId, 16);
    EXPECT_EQ(run(ctl, remove).len, 1300);
}

// --- filters and rules ----------------------------------------------------

std::vector<uint8_t> filter_msg(uint32_t type, const std::string &nas, const std::string &filter,
                                uint32_t flags = 0)
{
    auto m = named(type, nas, flags);
    memcpy(m.data() + 8 + 254, filter.data(), filter.size());
    return m;
}

std::vector<uint8_t> rule_msg(uint32_t type, const std::string &filter, uint32_t position,
                              const filter_rule *rule = nullptr)
{
    auto m = filter_msg(type, "nas1", filter);
    ctl_put32(m.data(), 516, position);
    if (rule) memcpy(m.data() + 520, rule, sizeof(*rule));
    return m;
}

filter_rule parsed(const char *text)
{
    filter_rule r{};
    EXPECT_EQ(filter_rule_parse(&r, text, 1), 0) << text;
    return r;
}

// The rules of a New- or Delete-Filter reply, as their first byte of
// protocol: each test rule has its own.
std::vector<uint8_t> protocols(const reply &r)
{
    std::vector<uint8_t> out;
    uint32_t n = ctl_get32(r.b.data(), 8);
    EXPECT_EQ(r.b.size(), 12 + 528u * n);
    for (uint32_t i = 0; i < n; i++) {
        filter_rule rule;
        memcpy(&rule, r.b.data() + 12 + 528 * i, sizeof(rule));
        out.push_back(rule.protocol);
    }
    return out;
}

TEST_F(Nas, FiltersKeepTheirRulesByPosition)
{
    ASSERT_EQ(run(ctl, nas_msg(CTL_ADD_NAS, "nas1", 1)).len, 1312);
    EXPECT_EQ(run(ctl, filter_msg(CTL_ADD_FILTER, "nas9", "f")).status(),
              static_cast<uint32_t>(ENOENT));
    EXPECT_EQ(run(ctl, filter_msg(CTL_GET_FILTER, "nas1", "f")).status(),
              static_cast<uint32_t>(ENOENT));
    EXPECT_EQ(run(ctl, rule_msg(CTL_ADD_RULE, "f", 0)).status(), static_cast<uint32_t>(ENOENT));

    reply added = run(ctl, filter_msg(CTL_ADD_FILTER, "nas1", "f"));
    EXPECT_EQ(added.type(), CTL_NEW_FILTER);
    EXPECT_EQ(protocols(added), std::vector<uint8_t>{});
    EXPECT_EQ(run(ctl, filter_msg(CTL_ADD_FILTER, "nas1", "f")).status(),
              static_cast<uint32_t>(EEXIST));

    filter_rule tcp = parsed("permit in 6 from 0.0.0.0/0 to 0.0.0.0/0");
    filter_rule udp = parsed("deny in 17 from 0.0.0.0/0 to 0.0.0.0/0");
    filter_rule icmp = parsed("deny out 1 from 0.0.0.0/0 to 0.0.0.0/0");
    EXPECT_EQ(run(ctl, rule_msg(CTL_ADD_RULE, "f", 0, &tcp)).len, 8);
    EXPECT_EQ(run(ctl, rule_msg(CTL_ADD_RULE, "f", 99, &udp)).len, 8);
    EXPECT_EQ(run(ctl, rule_msg(CTL_ADD_RULE, "f", 0, &icmp)).len, 8);
    EXPECT_EQ(protocols(run(ctl, filter_msg(CTL_GET_FILTER, "nas1", "f"))),
              (std::vector<uint8_t>{1, 6, 17}));
    // A forced Add answers what is there and changes nothing.
    EXPECT_EQ(protocols(run(ctl, filter_msg(CTL_ADD_FILTER, "nas1", "f", CTL_F_FORCE))),
              (std::vector<uint8_t>{1, 6, 17}));
    // A buffer too small for the rules gets their size.
    EXPECT_EQ(run(ctl, filter_msg(CTL_GET_FILTER, "nas1", "f"), true, 1000).len, 12 + 3 * 528);

    EXPECT_EQ(run(ctl, rule_msg(CTL_REMOVE_RULE, "f", 99)).len, 8);
    EXPECT_EQ(run(ctl, rule_msg(CTL_REMOVE_RULE, "f", 0)).len, 8);
    EXPECT_EQ(protocols(run(ctl, filter_msg(CTL_GET_FILTER, "nas1", "f"))),
              std::vector<uint8_t>{6});
    EXPECT_EQ(run(ctl, rule_msg(CTL_REMOVE_RULE, "f", 0)).len, 8);
    // Nothing left to remove: refused, the filter stays.
    EXPECT_EQ(run(ctl, rule_msg(CTL_REMOVE_RULE, "f", 0)).status(), static_cast<uint32_t>(ENOENT));
    EXPECT_EQ(protocols(run(ctl, filter_msg(CTL_GET_FILTER, "nas1", "f"))), std::vector<uint8_t>{});

    ASSERT_EQ(run(ctl, filter_msg(CTL_ADD_FILTER, "nas1", "g")).type(), CTL_NEW_FILTER);
    reply names = run(ctl, named(CTL_DUMP_FILTERS, "nas1"));
    ASSERT_EQ(names.len, 12 + 2 * 254);
    std::vector<std::string> listed = {reinterpret_cast<const char *>(names.b.data() + 12),
                                       reinterpret_cast<const char *>(names.b.data() + 12 + 254)};
    std::sort(listed.begin(), listed.end());
    EXPECT_EQ(listed, (std::vector<std::string>{"f", "g"}));

    reply gone = run(ctl, filter_msg(CTL_REMOVE_FILTER, "nas1", "f"));
    EXPECT_EQ(gone.type(), CTL_DELETE_FILTER);
    EXPECT_EQ(run(ctl, filter_msg(CTL_REMOVE_FILTER, "nas1", "f")).status(),
              static_cast<uint32_t>(ENOENT));
    reply forced = run(ctl, filter_msg(CTL_REMOVE_FILTER, "nas1", "f", CTL_F_FORCE));
    EXPECT_EQ(forced.type(), CTL_STATUS);
    EXPECT_EQ(forced.status(), 0u);
}

// --- host set ids -----------------------------------------------------------

class Hostsets : public ctl_test::Gateway
{
};

std::vector<uint8_t> hostset_msg(uint32_t type, uint32_t id, uint32_t flags = 0)
{
    auto m = request(type, flags);
    ctl_put32(m.data(), 8, id);
    return m;
}

TEST_F(Hostsets, IdsAreTakenLowestFreeFirstAndBounded)
{
    for (uint32_t id : {1u, 2u, 4u})
        ASSERT_EQ(run(ctl, hostset_msg(CTL_ADD_HOSTSET, id)).len, 16);
    struct {
        uint32_t asked, given, status;
    } cases[] = {
        {0, 3, 0},
        {7, 7, 0},
        {7, 7, 0},
        {0, 5, 0},
        {65535, 65535, 0},
        {65536, 0, EINVAL},
        {0xffffffff, 0, EINVAL},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.asked);
        reply r = run(ctl, hostset_msg(CTL_ADD_HOSTSET, c.asked));
        EXPECT_EQ(r.status(), c.status);
        if (!c.status) {
            EXPECT_EQ(r.type(), CTL_NEW_HOSTSET);
            EXPECT_EQ(ctl_get32(r.b.data(), 8), c.given);
            EXPECT_EQ(ctl_get32(r.b.data(), 12), 0u);
        }
    }
    EXPECT_EQ(run(ctl, hostset_msg(CTL_REMOVE_HOSTSET, 3)).type(), CTL_DELETE_HOSTSET);
    reply dump = run(ctl, request(CTL_DUMP_HOSTSETS));
    std::vector<uint32_t> ids;
    for (uint32_t i = 0; i < ctl_get32(dump.b.data(), 8); i++)
        ids.push_back(ctl_get32(dump.b.data(), 12 + 4 * i));
    EXPECT_EQ(ids, (std::vector<uint32_t>{1, 2, 4, 5, 7, 65535}));

    for (uint32_t type : {CTL_GET_HOSTSET, CTL_REMOVE_HOSTSET})
        EXPECT_EQ(run(ctl, hostset_msg(type, 3)).status(), static_cast<uint32_t>(ENOENT));
    EXPECT_EQ(run(ctl, hostset_msg(CTL_REMOVE_HOSTSET, 3, CTL_F_FORCE)).len, 8);
    EXPECT_EQ(run(ctl, hostset_msg(CTL_ADD_HOST, 3)).status(), static_cast<uint32_t>(ENOENT));
    EXPECT_EQ(run(ctl, hostset_msg(CTL_REMOVE_HOST, 3)).status(), static_cast<uint32_t>(ENOENT));
    EXPECT_EQ(run(ctl, hostset_msg(CTL_REMOVE_HOST, 3, CTL_F_FORCE)).status(), 0u);
}

} // namespace
