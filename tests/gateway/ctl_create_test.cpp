// The gateway object's controller side: the DTLS context and the controller
// link it builds and tears down, its keepalive, and the built-in snoop rules.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/filter/filter_match.h"
#include "common/mempool.h"
#include "common/schedule.h"
#include "controller/dtls/dtls.h"
#include "ctl_fixture.h"

namespace {

using ctl_test::Gateway;

// Index of the first captured line that holds the text; past the end when none does.
size_t line_of(const std::string &text)
{
    std::lock_guard<std::mutex> g(ctl_test::log_mutex);
    size_t i = 0;
    while (i < ctl_test::log_lines.size() && ctl_test::log_lines[i].find(text) == std::string::npos)
        i++;
    EXPECT_LT(i, ctl_test::log_lines.size()) << "nothing logged holds " << text;
    return i;
}

// Destroys the gateway, keeping its packet pool alive to see that every
// packet came back.
void free_and_expect_packets_back(ugwd_ctl *&ctl)
{
    mempool *pool = mempool_ref(ctl->packet_pool);
    ugwd_ctl_free(ctl);
    ctl = nullptr;
    EXPECT_EQ(pool->info.memUsedObjects, 0u);
    if (pool->companion) {
        EXPECT_EQ(pool->companion->info.memUsedObjects, 0u);
    }
    mempool_unref(pool);
}

TEST_F(Gateway, CreationWiresTheDtlsContextAndTheLink)
{
    ASSERT_NE(ctl->dtls, nullptr);
    EXPECT_EQ(ctl->dtls->user, ctl);
    EXPECT_EQ(ctl->dtls->mtu, 1500u);
    EXPECT_EQ(ctl->dtls->pool, ctl->packet_pool);
    EXPECT_EQ(ctl->dtls->params.cookie_period, dtls_default_params.cookie_period);
    EXPECT_EQ(ctl->dtls->params.retransmit_limit, dtls_default_params.retransmit_limit);
    EXPECT_EQ(ctl->dtls->params.allow_renegotiation, 0);
    EXPECT_EQ(ctl->dtls_sock, nullptr);

    EXPECT_EQ(ctl->link.ops, &ctl->client);
    EXPECT_EQ(ctl->client.pool, ctl->packet_pool);
    EXPECT_NE(ctl->client.send_cb, nullptr);
    // Opened with no controller entry: nothing is configured, nothing pending.
    EXPECT_EQ(ctl->link.record.ulmexControlStatus, ULMEX_STATE_WAITING);
    EXPECT_EQ(ctl->link.record.ulmexControlName[0], '\0');
    EXPECT_TRUE(list_isempty(&ctl->link.pending));
}

TEST_F(Gateway, KeepaliveIsHealthyAndSilentWhileNoLinkIsUp)
{
    EXPECT_EQ(ugwd_ctl_keepalive(ctl), 0);
    EXPECT_TRUE(list_isempty(&ctl->link.pending));
    // Not even a refused request: the echo is not attempted at all.
    EXPECT_EQ(ctl->link.record.ulmexRequestsSent, 0u);
    EXPECT_EQ(ctl->link.record.ulmexRequestErrors, 0u);
    EXPECT_FALSE(ctl->link.rtx_armed);
}

// A running link gets one echo request, printed first at level 4; it stays
// pending on the link and its retransmission timer on the gateway's
// scheduler, and destruction must release both (leak-checked under ASan).
TEST_F(Gateway, KeepaliveEchoesOnARunningLinkAndTeardownReleasesIt)
{
    ulmex_established(&ctl->link, nullptr);
    ASSERT_EQ(ctl->link.record.ulmexControlStatus, ULMEX_STATE_RUNNING);
    log_config.level = 4;

    EXPECT_EQ(ugwd_ctl_keepalive(ctl), 0);
    EXPECT_EQ(ctl->link.record.ulmexRequestsSent, 1u);
    EXPECT_EQ(ctl->link.record.ulmexRequestErrors, 0u);
    EXPECT_FALSE(list_isempty(&ctl->link.pending));
    EXPECT_TRUE(ctl->link.rtx_armed);
    EXPECT_LT(line_of("statusCode: 1"), line_of("request type Status"))
        << "printed before it goes out";
    free_and_expect_packets_back(ctl);
}

void stop_on_read(void *sched, int)
{
    schedule_stop(static_cast<schedule *>(sched));
}

// The DTLS engine runs its timers on the gateway's scheduler and sends through
// the controller socket; a controller message sent while the handshake runs
// waits in the session, which destruction tears down with it.
TEST_F(Gateway, DtlsSessionRunsOnTheSchedulerAndTheControllerSocket)
{
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0, sv), 0);
    ctl->udp_fd = sv[0]; // the gateway closes it

    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(5246);
    peer.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    dtls_psk psk{};
    strcpy(psk.identity, "gw1");
    psk.key_length = 16;
    ctl->dtls_sock = dtls_connect(ctl->dtls, reinterpret_cast<const sockaddr *>(&peer), nullptr,
                                  &psk);
    ASSERT_NE(ctl->dtls_sock, nullptr);

    ASSERT_EQ(schedule_add_fd(ctl->sched, sv[1], stop_on_read, ctl->sched), 0);
    EXPECT_EQ(schedule_run(ctl->sched, 5000), 0);
    schedule_remove_fd(ctl->sched, sv[1]);
    uint8_t buf[2048];
    ssize_t n = recv(sv[1], buf, sizeof buf, MSG_DONTWAIT);
    ASSERT_GT(n, 25) << "no ClientHello within the bound";
    EXPECT_EQ(buf[0], 22);  // handshake record
    EXPECT_EQ(buf[13], 1);  // ClientHello

    ulmex_established(&ctl->link, nullptr);
    EXPECT_EQ(ugwd_ctl_keepalive(ctl), 0);
    EXPECT_EQ(ctl->link.record.ulmexRequestsSent, 1u);
    // Held until the handshake ends, not sent in clear.
    EXPECT_LT(recv(sv[1], buf, sizeof buf, MSG_DONTWAIT), 0);
    close(sv[1]);
    free_and_expect_packets_back(ctl);
}

TEST(GatewayInit, BuiltInSnoopRulesPrintBackAsTheirTexts)
{
    ugwd_ctl_init();
    const std::vector<std::vector<std::string>> expected = {
        {"deny in 17 from 0.0.0.0/0 68 to 0.0.0.0/0 67",
         "deny out 17 from 0.0.0.0/0 67 to 0.0.0.0/0 68"},
        {"deny in 2 from 0.0.0.0/0 to 0.0.0.0/0"},
        {"deny in 17 from ::/0 546 to ::/0 547", "deny out 17 from ::/0 547 to ::/0 546"},
        {"deny in 58 from :: to ff02::1:ff00:0/104 icmp6types neighbor solicitation",
         "deny in 58 from ::/0 to ::/0 icmp6types multicast listener report-multicast listener "
         "done,multicast listener report v2",
         "deny out 58 from ::/0 to ::/0 icmp6types router advertisement,neighbor advertisement"},
    };
    ASSERT_EQ(expected.size(), size_t{UGWD_RULE_SETS});
    for (unsigned i = 0; i < UGWD_RULE_SETS; i++) {
        ASSERT_EQ(ugwd_rule_sets[i].count, expected[i].size()) << "set " << i;
        for (unsigned j = 0; j < ugwd_rule_sets[i].count; j++) {
            char text[FILTER_RULE_TEXT_MAX];
            EXPECT_EQ(filter_rule_print(&ugwd_rule_sets[i].rules[j], text, sizeof text),
                      expected[i][j]);
        }
    }
}

// Headers of the frames a station exchanges, without the Ethernet header.
std::vector<uint8_t> ipv4(uint8_t proto, const std::vector<uint8_t> &l4)
{
    std::vector<uint8_t> p = {0x45, 0, 0, uint8_t(20 + l4.size()), 0, 0, 0, 0, 1, proto, 0, 0,
                              0,    0, 0, 0,                        255, 255, 255, 255};
    p.insert(p.end(), l4.begin(), l4.end());
    return p;
}

std::vector<uint8_t> udp(uint16_t sport, uint16_t dport)
{
    return {uint8_t(sport >> 8), uint8_t(sport), uint8_t(dport >> 8), uint8_t(dport), 0, 16, 0,
            0, 1, 2, 3, 4, 5, 6, 7, 8};
}

std::vector<uint8_t> ipv6(const char *src, const char *dst, uint8_t next,
                          const std::vector<uint8_t> &payload)
{
    std::vector<uint8_t> p(40);
    p[0] = 0x60;
    p[4] = uint8_t(payload.size() >> 8);
    p[5] = uint8_t(payload.size());
    p[6] = next;
    p[7] = 255;
    inet_pton(AF_INET6, src, &p[8]);
    inet_pton(AF_INET6, dst, &p[24]);
    p.insert(p.end(), payload.begin(), payload.end());
    return p;
}

std::vector<uint8_t> icmp6(uint8_t type)
{
    std::vector<uint8_t> m(24);
    m[0] = type;
    return m;
}

// MLD goes behind a hop-by-hop header with the router alert.
std::vector<uint8_t> mld(uint8_t type)
{
    std::vector<uint8_t> h = {58, 0, 5, 2, 0, 0, 1, 0};
    std::vector<uint8_t> m = icmp6(type);
    h.insert(h.end(), m.begin(), m.end());
    return ipv6("fe80::1", "ff02::16", 0, h);
}

// The first set and rule that take the frame, as the snoop dispatch tries them.
std::pair<int, int> first_match(const std::vector<uint8_t> &frame)
{
    for (unsigned i = 0; i < UGWD_RULE_SETS; i++) {
        for (unsigned j = 0; j < ugwd_rule_sets[i].count; j++) {
            const filter_rule *r = &ugwd_rule_sets[i].rules[j];
            pkt_hdrs h{};
            int in = !(r->action_flags & FILTER_DIR_OUT);
            if (filter_match_bytes(r, frame, &h, nullptr, nullptr, in) == 1)
                return {int(i), int(j)};
        }
    }
    return {-1, -1};
}

TEST(GatewayInit, BuiltInSnoopRulesTakeTheFramesTheirHandlersWant)
{
    ugwd_ctl_init();
    struct row {
        const char *what;
        std::vector<uint8_t> frame;
        int set, rule;
    };
    const row rows[] = {
        {"DHCP request", ipv4(17, udp(68, 67)), UGWD_RULES_DHCP, 0},
        {"DHCP reply", ipv4(17, udp(67, 68)), UGWD_RULES_DHCP, 1},
        {"DHCP ports over IPv6", ipv6("fe80::1", "ff02::2", 17, udp(68, 67)), -1, -1},
        {"DNS", ipv4(17, udp(1024, 53)), -1, -1},
        {"IGMP report", ipv4(2, std::vector<uint8_t>(8)), UGWD_RULES_IGMP, 0},
        {"DHCPv6 solicit", ipv6("fe80::1", "ff02::1:2", 17, udp(546, 547)), UGWD_RULES_DHCPV6, 0},
        {"DHCPv6 reply", ipv6("fe80::2", "fe80::1", 17, udp(547, 546)), UGWD_RULES_DHCPV6, 1},
        {"DAD probe", ipv6("::", "ff02::1:ff12:3456", 58, icmp6(135)), UGWD_RULES_ICMPV6, 0},
        {"solicitation from an address", ipv6("fe80::1", "ff02::1:ff12:3456", 58, icmp6(135)),
         -1, -1},
        {"unspecified source to all nodes", ipv6("::", "ff02::1", 58, icmp6(135)), -1, -1},
        {"MLD report", mld(131), UGWD_RULES_ICMPV6, 1},
        {"MLD done", mld(132), UGWD_RULES_ICMPV6, 1},
        {"MLDv2 report", mld(143), UGWD_RULES_ICMPV6, 1},
        {"MLD query", mld(130), -1, -1},
        {"router advertisement", ipv6("fe80::2", "ff02::1", 58, icmp6(134)), UGWD_RULES_ICMPV6, 2},
        {"neighbor advertisement", ipv6("fe80::2", "fe80::1", 58, icmp6(136)), UGWD_RULES_ICMPV6,
         2},
        {"router solicitation", ipv6("fe80::1", "ff02::2", 58, icmp6(133)), -1, -1},
        {"echo request", ipv6("fe80::1", "fe80::2", 58, icmp6(128)), -1, -1},
    };
    for (const row &r : rows) {
        auto m = first_match(r.frame);
        EXPECT_EQ(m.first, r.set) << r.what;
        EXPECT_EQ(m.second, r.rule) << r.what;
    }
}

} // namespace
