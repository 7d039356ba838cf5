// DHCP and DHCPv6 snooping with crafted frames, on a gateway object with one
// service, one tunnel and one flow: the dispatcher, the parser, the records
// the handlers keep, the direction the data plane gives, and the
// captive-portal option, whose rewritten frames tshark dissects when it is
// installed.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstdio>
#include <cstring>
#include <net/if.h>
#include <sys/socket.h>
#include <unistd.h>
#include <string>
#include <vector>

#include "common/ctl_msg.h"
#include "common/dhcp.h"
#include "common/packet.h"
#include "common/uclient.h"
#include "common/timer.h"
#include "gateway/ugwd_ctl_msg.h"
#include "gateway/frlc.h"
#include "gateway/ugwd_flow.h"
#include "gateway/ugwd_proc.h"
#include "gateway/ugwd_records.h"
#include "gateway/ugwd_service.h"
#include "gateway/ugwd_snoop.h"
#include "radius/radius_db.h"
#include "tests/gateway/ctl_fixture.h"

namespace
{

using bytes = std::vector<uint8_t>;
using ctl_test::logged;

const uint8_t station[6] = {0x02, 0x11, 0x22, 0x33, 0x44, 0x55};
const uint8_t other[6] = {0x02, 0x66, 0x77, 0x88, 0x99, 0xaa};
const uint8_t server_mac[6] = {0x02, 0xee, 0, 0, 0, 1};

void put16(bytes &b, size_t at, uint16_t v)
{
    b[at] = uint8_t(v >> 8), b[at + 1] = uint8_t(v);
}
void put32(bytes &b, size_t at, uint32_t v)
{
    put16(b, at, uint16_t(v >> 16)), put16(b, at + 2, uint16_t(v));
}
uint16_t get16(const uint8_t *p)
{
    return uint16_t(p[0] << 8 | p[1]);
}

// RFC 1071, written out: the oracle of every checksum here.
uint32_t sum16(const uint8_t *p, size_t n, uint32_t s = 0)
{
    for (size_t i = 0; i + 1 < n; i += 2)
        s += uint32_t(p[i]) << 8 | p[i + 1];
    if (n % 2) s += uint32_t(p[n - 1]) << 8;
    while (s >> 16)
        s = (s & 0xffff) + (s >> 16);
    return s;
}
uint16_t csum(const uint8_t *p, size_t n, uint32_t s = 0)
{
    return uint16_t(~sum16(p, n, s));
}
uint32_t pseudo4(const uint8_t *ip, size_t ulen)
{
    return sum16(ip + 12, 8, 17 + uint32_t(ulen));
}
uint32_t pseudo6(const uint8_t *ip6, size_t ulen)
{
    return sum16(ip6 + 8, 32, 17 + uint32_t(ulen));
}

bytes opt(uint8_t code, bytes v)
{
    v.insert(v.begin(), {code, uint8_t(v.size())});
    return v;
}
bytes operator+(bytes a, const bytes &b)
{
    a.resize(a.size() + b.size());
    std::copy(b.begin(), b.end(), a.end() - std::ptrdiff_t(b.size()));
    return a;
}
bytes text(const char *s)
{
    return bytes(s, s + strlen(s));
}

struct dhcp4 {
    uint8_t op = 1, type = 1;
    uint16_t secs = 0, flags = 0;
    uint32_t xid = 0x01020304;
    bytes ciaddr = {0, 0, 0, 0}, yiaddr = {0, 0, 0, 0};
    const uint8_t *chaddr = station;
    bytes opts;
    uint16_t sport = 68, dport = 67;
    bool udp_csum = true;
};

// Ethernet, IPv4, UDP and a DHCP message, every checksum right.
bytes frame4(const dhcp4 &d)
{
    bytes m(240, 0);
    m[0] = d.op, m[1] = 1, m[2] = 6;
    put32(m, 4, d.xid);
    put16(m, 8, d.secs);
    put16(m, 10, d.flags);
    std::copy(d.ciaddr.begin(), d.ciaddr.end(), m.begin() + 12);
    std::copy(d.yiaddr.begin(), d.yiaddr.end(), m.begin() + 16);
    std::copy(d.chaddr, d.chaddr + 6, m.begin() + 28);
    put32(m, 236, 0x63825363);
    m = m + opt(53, {d.type}) + d.opts + bytes{255};
    bytes f(14 + 20 + 8);
    std::copy(d.op == 1 ? station : server_mac, (d.op == 1 ? station : server_mac) + 6,
              f.begin() + 6);
    put16(f, 12, 0x0800);
    uint8_t *ip = &f[14];
    ip[0] = 0x45, ip[8] = 64, ip[9] = 17;
    put16(f, 16, uint16_t(28 + m.size()));
    put32(f, 26, d.op == 1 ? 0 : 0x0a000001);
    put32(f, 30, 0xffffffff);
    put16(f, 24, csum(ip, 20));
    put16(f, 34, d.sport);
    put16(f, 36, d.dport);
    put16(f, 38, uint16_t(8 + m.size()));
    f = f + m;
    if (d.udp_csum) {
        uint16_t c = csum(&f[34], f.size() - 34, pseudo4(&f[14], f.size() - 34));
        put16(f, 40, c ? c : 0xffff);
    }
    return f;
}

struct dhcp6 {
    uint8_t type = 1;
    uint32_t xid = 0xabcdef;
    bytes opts;
    uint16_t sport = 546, dport = 547;
};

bytes opt6(uint16_t code, bytes v)
{
    bytes o(4);
    put16(o, 0, code);
    put16(o, 2, uint16_t(v.size()));
    return o + v;
}
bytes be32(uint32_t v)
{
    bytes b(4);
    put32(b, 0, v);
    return b;
}
bytes addr6(const char *t)
{
    bytes a(16);
    EXPECT_EQ(inet_pton(AF_INET6, t, a.data()), 1);
    return a;
}
// IA_NA: IAID, T1, T2 and its options.
bytes ia_na(uint32_t iaid, bytes inner = {})
{
    return opt6(3, be32(iaid) + be32(1800) + be32(2880) + inner);
}
bytes iaaddr(const char *a, uint32_t valid, bytes sub = {})
{
    return opt6(5, addr6(a) + be32(valid / 2) + be32(valid) + sub);
}

bytes frame6(const dhcp6 &d)
{
    bytes m = {d.type, uint8_t(d.xid >> 16), uint8_t(d.xid >> 8), uint8_t(d.xid)};
    m = m + d.opts;
    bytes f(14 + 40 + 8);
    bool up = d.sport == 546;
    std::copy(up ? station : server_mac, (up ? station : server_mac) + 6, f.begin() + 6);
    put16(f, 12, 0x86dd);
    uint8_t *ip6 = &f[14];
    ip6[0] = 0x60, ip6[6] = 17, ip6[7] = 1;
    put16(f, 18, uint16_t(8 + m.size()));
    bytes src = addr6(up ? "fe80::11:22ff:fe33:4455" : "fe80::1"),
          dst = addr6(up ? "ff02::1:2" : "fe80::11:22ff:fe33:4455");
    std::copy(src.begin(), src.end(), f.begin() + 22);
    std::copy(dst.begin(), dst.end(), f.begin() + 38);
    put16(f, 54, d.sport);
    put16(f, 56, d.dport);
    put16(f, 58, uint16_t(8 + m.size()));
    f = f + m;
    uint16_t c = csum(&f[54], f.size() - 54, pseudo6(&f[14], f.size() - 54));
    put16(f, 60, c ? c : 0xffff);
    return f;
}

// Every checksum of a (rewritten) frame verifies and every length agrees.
void expect_sound(const packet *p)
{
    const uint8_t *f = p->data;
    size_t n = p->length;
    if (get16(f + 12) == 0x0800) {
        const uint8_t *ip = f + 14;
        size_t ihl = (ip[0] & 15u) * 4;
        EXPECT_EQ(get16(ip + 2), n - 14);
        EXPECT_EQ(sum16(ip, ihl), 0xffffu);
        const uint8_t *udp = ip + ihl;
        EXPECT_EQ(get16(udp + 4), n - 14 - ihl);
        if (get16(udp + 6)) {
            EXPECT_EQ(sum16(udp, n - 14 - ihl, pseudo4(ip, n - 14 - ihl)), 0xffffu);
        }
    } else {
        const uint8_t *ip6 = f + 14, *udp = ip6 + 40;
        EXPECT_EQ(get16(ip6 + 4), n - 54);
        EXPECT_EQ(get16(udp + 4), n - 54);
        EXPECT_EQ(sum16(udp, n - 54, pseudo6(ip6, n - 54)), 0xffffu);
    }
}

class Snoop : public ctl_test::Gateway
{
  protected:
    ugwd_service *svc = nullptr;
    ugwd_tunnel *tn = nullptr;
    ugwd_flow *flow = nullptr;
    std::vector<packet *> frames;
    // A double of the station's RADIUS session: what the handlers read of it.
    radius_entry *session = nullptr;
    char portal[300] = "http://portal.example/login";

    void SetUp() override
    {
        ugwd_ctl_init(); // the rule sets
        Gateway::SetUp();
        bytes m(2048);
        ugwd_ctl_msg_init(m.data(), CTL_ADD_SERVICE);
        ugwd_service_conf c = {};
        c.mib.ulmexServiceId[0] = 0x5e;
        c.mib.ulmexServiceId[15] = 2;
        c.mib.ulmexServiceVNI = 7;
        c.mib.ulmexServiceIfCount = 1;
        c.mib.ulmexServiceIfIndices[0] = if_nametoindex("lo");
        memcpy(m.data() + 8, &c, sizeof(c));
        ASSERT_EQ(ugwd_ctl_dispatch(ctl, m.data(), ctl_msg_size(m.data(), m.size()), m.size(), 1),
                  1300);
        svc = ugwd_table_get_service(ctl->table, c.mib.ulmexServiceId);
        ASSERT_NE(svc, nullptr);
        sockaddr_in peer = {};
        peer.sin_family = AF_INET;
        peer.sin_port = htons(4789);
        peer.sin_addr.s_addr = htonl(0x0a000001);
        tn = ugwd_service_create_tunnel(svc, UGWD_TRANSPORT_VXLAN, reinterpret_cast<sockaddr *>(&peer));
        ASSERT_NE(tn, nullptr);
        ASSERT_EQ(ugwd_table_insert_tunnel(ctl->table, tn), 0);
        flow = ugwd_ctl_create_flow(ctl, nullptr, tn, station);
        ASSERT_NE(flow, nullptr);
        session = static_cast<radius_entry *>(calloc(1, sizeof(radius_entry) + 16));
        memcpy(session->mac, station, 6);
        session->authz.captive_portal = portal;
        log_config.level = 2;
        ctl_test::log_clear();
    }
    void TearDown() override
    {
        for (packet *p : frames)
            packet_release(p);
        Gateway::TearDown();
        free(session);
    }

    packet *make(const bytes &b, uint8_t cls)
    {
        packet *p = packet_alloc(ctl->packet_pool, b.size());
        EXPECT_NE(p, nullptr);
        memcpy(p->data, b.data(), b.size());
        ugwd_snoop_set_class(p, cls);
        frames.push_back(p);
        return p;
    }
    // Through the dispatcher, as the frame router hands frames over.
    int snoop(const bytes &b, uint8_t cls = UGWD_SNOOP_FROM_STATION)
    {
        return ugwd_service_input_snoop(nullptr, tn, flow, make(b, cls));
    }
    int from_station(const dhcp4 &d) { return snoop(frame4(d), UGWD_SNOOP_FROM_STATION); }
    int to_station(dhcp4 d)
    {
        d.op = 2, d.sport = 67, d.dport = 68;
        return snoop(frame4(d), UGWD_SNOOP_TO_STATION);
    }
    int to_station6(dhcp6 d)
    {
        d.sport = 547, d.dport = 546;
        return snoop(frame6(d), UGWD_SNOOP_TO_STATION);
    }
    ugwd_lease *lease()
    {
        return list_isempty(&flow->leases) ? nullptr
                                           : list_first_record<&ugwd_lease::link>(&flow->leases);
    }
    ugwd_lease6 *lease6()
    {
        for (ugwd_lease6 *l : list_records<&ugwd_lease6::link>(&flow->leases6))
            if (l->rec.kind == UGWD_LEASE6_DHCPV6) return l;
        return nullptr;
    }
    std::string addr4() const
    {
        auto *l = list_first_record<&ugwd_lease::link>(&flow->leases);
        char t[16];
        inet_ntop(AF_INET, l->rec.addr, t, sizeof(t));
        return t + std::string("/") + std::to_string((l->rec.flags & 0x7e) >> 1);
    }
    std::string address6()
    {
        char t[INET6_ADDRSTRLEN];
        ugwd_lease6 *l = lease6();
        if (!l) return "none";
        inet_ntop(AF_INET6, l->rec.addr, t, sizeof(t));
        return t + std::string("/") + std::to_string(l->rec.prefix_len);
    }
    // Grants 10.0.0.5/24 for an hour.
    void grant()
    {
        dhcp4 ack;
        ack.type = DHCPACK;
        ack.yiaddr = {10, 0, 0, 5};
        ack.opts = opt(1, {255, 255, 255, 0}) + opt(51, {0, 0, 0x0e, 0x10});
        ASSERT_EQ(to_station(ack), 0);
    }
};

TEST_F(Snoop, ParserRefusesWhatIsNotASoundDhcpMessage)
{
    struct {
        const char *what;
        void (*spoil)(bytes &);
        int result;
    } cases[] = {
        {"sound", [](bytes &) {}, 0},
        {"bad IP checksum", [](bytes &f) { f[24] ^= 1; }, -1},
        {"fragment", [](bytes &f) { f[20] = 0x20; }, -1},
        {"bad UDP checksum", [](bytes &f) { f[41] ^= 1; }, -1},
        {"no UDP checksum", [](bytes &f) { f[40] = f[41] = 0; }, 0},
        {"hardware type", [](bytes &f) { f[43] = 6; f[40] = f[41] = 0; }, -1},
        {"cookie", [](bytes &f) { f[42 + 236] = 0; f[40] = f[41] = 0; }, -1},
        {"reply from port 68", [](bytes &f) { f[42] = 2; f[40] = f[41] = 0; }, -1},
        {"UDP longer than IP", [](bytes &f) { f[38] = 0x7f; f[40] = f[41] = 0; }, -1},
        {"frame cut short", [](bytes &f) { f.resize(200); }, -1},
        {"not IPv4", [](bytes &f) { f[12] = 0x86; }, -1},
    };
    for (auto &c : cases) {
        bytes f = frame4({});
        c.spoil(f);
        uint8_t mac[6] = {};
        EXPECT_EQ(ugwd_dhcp_client_mac(make(f, 3), mac), c.result) << c.what;
        if (c.result == 0) {
            EXPECT_EQ(memcmp(mac, station, 6), 0) << c.what;
        }
    }
    // Option 53 missing or of another length.
    bytes f = frame4({});
    f[42 + 240 + 1] = 2;
    f[40] = f[41] = 0;
    EXPECT_EQ(ugwd_dhcp_client_mac(make(f, 3), nullptr), -1);
}

TEST_F(Snoop, DispatchFollowsTheRuleSets)
{
    uint8_t mac[6] = {};
    EXPECT_EQ(ugwd_service_snoop_dhcp_relay(make(frame4({}), 3), mac), 0);
    EXPECT_EQ(memcmp(mac, station, 6), 0);
    EXPECT_EQ(ugwd_service_snoop_dhcp_relay(make(frame6({}), 3), mac), -1);
    // DHCP between other ports is in no set; a frame without its Ethernet
    // header matches nothing.
    dhcp4 odd;
    odd.sport = 1067;
    EXPECT_EQ(ugwd_service_snoop_dhcp_relay(make(frame4(odd), 3), mac), -1);
    EXPECT_EQ(ugwd_service_input_snoop(nullptr, tn, flow, make(bytes(10, 0x45), 3)), -1);
    EXPECT_EQ(ugwd_match_rules(make(bytes(10, 0x45), 3), ugwd_rule_sets[UGWD_RULES_DHCP].rules,
                               ugwd_rule_sets[UGWD_RULES_DHCP].count),
              -1);
    // The frame is as it was after matching.
    bytes f = frame4({});
    packet *p = make(f, 3);
    EXPECT_EQ(ugwd_match_rules(p, ugwd_rule_sets[UGWD_RULES_DHCP].rules, 2), 0);
    ASSERT_EQ(p->length, f.size());
    EXPECT_EQ(memcmp(p->data, f.data(), f.size()), 0);
    // ICMPv6 types outside the sets' are not snooped: an echo request.
    bytes echo(14 + 40 + 8);
    put16(echo, 12, 0x86dd);
    echo[14] = 0x60, echo[14 + 6] = 58, echo[14 + 7] = 64, echo[14 + 5] = 8, echo[54] = 128;
    EXPECT_EQ(ugwd_match_rules(make(echo, 3), ugwd_rule_sets[UGWD_RULES_ICMPV6].rules,
                               ugwd_rule_sets[UGWD_RULES_ICMPV6].count),
              -1);
}

TEST_F(Snoop, BroadcastRepliesAreEnteredOnceAndLeftOnQuickRequests)
{
    dhcp4 discover;
    discover.secs = 4;
    discover.flags = 0x8000;
    EXPECT_EQ(from_station(discover), 0);
    ASSERT_NE(lease(), nullptr);
    EXPECT_TRUE(lease()->rec.flags & 0x80);
    EXPECT_EQ(logged("Switching to DHCP broadcast replies for client 02:11:22:33:44:55 after 4s"), 1u);
    EXPECT_EQ(from_station(discover), -1) << "a second one changes nothing";

    struct {
        uint16_t secs;
        int result;
        bool broadcast_after;
    } cases[] = {{4, -1, true}, {3, 0, false}, {0, -1, false}};
    for (auto &c : cases) {
        dhcp4 req;
        req.type = DHCPREQUEST;
        req.secs = c.secs;
        EXPECT_EQ(from_station(req), c.result) << c.secs;
        EXPECT_EQ(bool(lease()->rec.flags & 0x80), c.broadcast_after) << c.secs;
    }
    lease()->rec.flags |= 0x80;
    dhcp4 req;
    req.type = DHCPREQUEST;
    EXPECT_EQ(from_station(req), 0) << "secs 0 leaves too";
}

TEST_F(Snoop, AckRecordsTheLeaseAndInformRenewsOnlyIt)
{
    grant();
    ugwd_lease *l = lease();
    ASSERT_NE(l, nullptr);
    EXPECT_EQ(addr4(), "10.0.0.5/24");
    EXPECT_EQ(l->rec.lease_time, 3600u);
    EXPECT_EQ(l->rec.start, clock_sec());
    EXPECT_EQ(logged("DHCP record for client 02:11:22:33:44:55 on service "
                     "5e000000-0000-0000-0000-000000000002 assigned lease 10.0.0.5/24 valid for "
                     "3600s"),
              1u);

    struct {
        bytes ciaddr;
        int result;
    } informs[] = {{{10, 0, 0, 9}, -1}, {{10, 0, 0, 5}, 0}};
    for (auto &c : informs) {
        dhcp4 ack;
        ack.type = DHCPACK;
        ack.ciaddr = c.ciaddr;
        ack.opts = opt(51, {0, 0, 0x1c, 0x20});
        EXPECT_EQ(to_station(ack), c.result);
    }
    EXPECT_EQ(l->rec.lease_time, 7200u);
    EXPECT_EQ(logged("renewed lease 10.0.0.5/24 valid for 7200s"), 1u);
}

TEST_F(Snoop, ReleaseDeclineAndNakEndOnlyTheLeaseHeld)
{
    grant();
    dhcp4 req;
    req.type = DHCPREQUEST;
    req.xid = 77;
    req.opts = opt(50, {10, 0, 0, 5});
    EXPECT_EQ(from_station(req), -1);
    EXPECT_EQ(lease()->xid, htonl(77));

    struct {
        const char *what;
        dhcp4 msg;
        bool to_station;
        int result;
        const char *addr_after;
    } cases[] = {
        {"release of another address", {.type = DHCPRELEASE, .ciaddr = {10, 0, 0, 6}}, false, -1,
         "10.0.0.5/24"},
        {"NAK of another transaction", {.type = DHCPNAK, .xid = 78}, true, -1, "10.0.0.5/24"},
        {"NAK of the request", {.type = DHCPNAK, .xid = 77}, true, 0, "0.0.0.0/0"},
    };
    for (auto &c : cases) {
        EXPECT_EQ(c.to_station ? to_station(c.msg) : from_station(c.msg), c.result) << c.what;
        EXPECT_EQ(addr4(), c.addr_after) << c.what;
    }
    EXPECT_EQ(logged("lease 10.0.0.5 revoked"), 1u);

    grant();
    dhcp4 release;
    release.type = DHCPRELEASE;
    release.ciaddr = {10, 0, 0, 5};
    EXPECT_EQ(from_station(release), 0);
    EXPECT_EQ(addr4(), "0.0.0.0/0");
    EXPECT_EQ(lease()->rec.max_msg_size, 576u);
    EXPECT_EQ(logged("lease 10.0.0.5 released"), 1u);

    grant();
    dhcp4 decline;
    decline.type = DHCPDECLINE;
    decline.opts = opt(50, {10, 0, 0, 5});
    EXPECT_EQ(from_station(decline), 0);
    EXPECT_EQ(addr4(), "0.0.0.0/0");
}

// Server messages count only on their way to the station, client messages
// only from it, and only the flow's own station's.
TEST_F(Snoop, MessagesTheWrongWayOrOfAnotherStationChangeNothing)
{
    dhcp4 ack;
    ack.type = DHCPACK;
    ack.op = 2, ack.sport = 67, ack.dport = 68;
    ack.yiaddr = {10, 0, 0, 66};
    EXPECT_EQ(snoop(frame4(ack), UGWD_SNOOP_FROM_STATION), -1) << "forged ACK";
    EXPECT_EQ(lease(), nullptr) << "not even a record";

    grant();
    dhcp4 release;
    release.type = DHCPRELEASE;
    release.ciaddr = {10, 0, 0, 5};
    EXPECT_EQ(snoop(frame4(release), UGWD_SNOOP_TO_STATION), -1);
    release.chaddr = other;
    EXPECT_EQ(from_station(release), -1);
    EXPECT_EQ(addr4(), "10.0.0.5/24");
    EXPECT_EQ(ugwd_dhcp_rxh_mangle(nullptr, tn, nullptr, make(frame4(release), 3)), -1);
}

TEST_F(Snoop, NamesComeFromOptions12And81UpToTheFirstDot)
{
    struct {
        const char *what;
        bytes opts;
        const char *name;
    } cases[] = {
        {"host name", opt(12, text("laptop.example.org")), "laptop"},
        {"FQDN text", opt(81, bytes{0, 0, 0} + text("phone.lan")), "phone"},
        {"FQDN wire format", opt(81, bytes{4, 0, 0, 6} + text("tablet") + bytes{3} + text("lan") + bytes{0}),
         "tablet"},
        {"later one wins", opt(12, text("first")) + opt(81, bytes{0, 0, 0} + text("second")), "second"},
        {"FQDN under 3 bytes", opt(12, text("kept")) + opt(81, {0, 0}), "kept"},
        {"63 bytes at most", opt(12, bytes(80, 'a')), nullptr},
    };
    for (auto &c : cases) {
        dhcp4 req;
        req.type = DHCPREQUEST;
        req.opts = c.opts;
        from_station(req);
        ASSERT_NE(lease(), nullptr);
        EXPECT_STREQ(lease()->rec.hostname, c.name ? c.name : std::string(63, 'a').c_str()) << c.what;
    }
    dhcp4 req;
    req.type = DHCPREQUEST;
    req.opts = opt(57, {0x05, 0xdc});
    from_station(req);
    EXPECT_EQ(lease()->rec.max_msg_size, 1500u);
}

// A frame as tshark sees it: the fields asked for, one line per frame.
std::string tshark_fields(const std::vector<const packet *> &frames, const char *fields)
{
    if (std::system("command -v tshark >/dev/null 2>&1") != 0) return "";
    char dir[] = "/tmp/ugw-snoop-XXXXXX";
    if (!mkdtemp(dir)) return "";
    std::string pcap = std::string(dir) + "/f.pcap";
    FILE *out = fopen(pcap.c_str(), "wb");
    uint32_t hdr[6] = {0xa1b2c3d4, 0x00040002, 0, 0, 65535, 1};
    fwrite(hdr, sizeof(hdr), 1, out);
    for (const packet *p : frames) {
        uint32_t rec[4] = {0, 0, p->length, p->length};
        fwrite(rec, sizeof(rec), 1, out);
        fwrite(p->data, p->length, 1, out);
    }
    fclose(out);
    std::string cmd = "tshark -n -r " + pcap +
                      " -o ip.check_checksum:TRUE -o udp.check_checksum:TRUE -T fields -E "
                      "separator=';' " +
                      fields + " 2>/dev/null";
    std::string result;
    if (FILE *p = popen(cmd.c_str(), "r")) {
        char buf[512];
        while (fgets(buf, sizeof(buf), p))
            result += buf;
        pclose(p);
    }
    std::system(("rm -rf " + std::string(dir)).c_str());
    return result;
}

TEST_F(Snoop, PortalOptionReplacesTheServersAndKeepsTheFrameSound)
{
    flow->session = session;
    dhcp4 offer;
    offer.type = DHCPOFFER;
    offer.yiaddr = {10, 0, 0, 5};
    offer.opts = opt(114, text("http://old/")) + opt(1, {255, 255, 255, 0}) + opt(114, text("x"));
    offer.op = 2, offer.sport = 67, offer.dport = 68;
    packet *p = make(frame4(offer), UGWD_SNOOP_TO_STATION);
    EXPECT_EQ(ugwd_service_input_snoop(nullptr, tn, flow, p), -1);
    expect_sound(p);
    uint8_t *msg;
    size_t len;
    ASSERT_EQ(ugwd_dhcp_parse(p, nullptr, nullptr, &msg, &len, nullptr), 0);
    std::vector<std::string> found;
    dhlist it;
    dhlist_init(&it, msg, len);
    for (const uint8_t *o; (o = dhlist_peek(&it)); dhlist_next(&it))
        if (o[0] == 114) found.emplace_back(reinterpret_cast<const char *>(o + 2), o[1]);
    EXPECT_EQ(found, std::vector<std::string>{portal});

    // An ACK without a checksum keeps none; the log names the portal.
    dhcp4 ack = offer;
    ack.type = DHCPACK;
    ack.udp_csum = false;
    packet *a = make(frame4(ack), UGWD_SNOOP_TO_STATION);
    EXPECT_EQ(ugwd_service_input_snoop(nullptr, tn, flow, a), 0);
    expect_sound(a);
    EXPECT_EQ(get16(a->data + 40), 0);
    EXPECT_EQ(logged("lease 10.0.0.5/24 captured at http://portal.example/login valid for"), 1u);

    // No room under the client's maximum: delivered without the option.
    lease()->rec.max_msg_size = 300;
    memset(portal, 'p', 200);
    packet *full = make(frame4(offer), UGWD_SNOOP_TO_STATION);
    EXPECT_EQ(ugwd_service_input_snoop(nullptr, tn, flow, full), -1);
    expect_sound(full);
    ASSERT_EQ(ugwd_dhcp_parse(full, nullptr, nullptr, &msg, &len, nullptr), 0);
    EXPECT_EQ(dhcp_find_opt(msg, len, 114, -1), nullptr);
    EXPECT_EQ(logged("Insuffient space 272 bytes to add Captive-Portal DHCP option for client "
                     "02:11:22:33:44:55"),
              1u);

    std::string t = tshark_fields({p, a}, "-e ip.checksum.status -e udp.checksum.status -e "
                                          "dhcp.option.captive_portal");
    if (t.empty()) GTEST_SKIP() << "tshark is not installed";
    // Status 1: good; 3: not present.
    EXPECT_EQ(t, "1;1;http://portal.example/login\n1;3;http://portal.example/login\n");
}

TEST_F(Snoop, Dhcpv6ReplyGrantsTheAddressOfTheClientsIaid)
{
    dhcp6 solicit;
    solicit.opts = ia_na(7) + opt6(39, bytes{0, 6} + text("laptop") + bytes{3} + text("lan") + bytes{0});
    EXPECT_EQ(snoop(frame6(solicit)), -1);
    ASSERT_NE(lease6(), nullptr);
    EXPECT_EQ(lease6()->iaid, 7u);
    EXPECT_STREQ(lease6()->rec.hostname, "laptop");

    struct {
        const char *what;
        bytes opts;
        int result;
        const char *after;
    } cases[] = {
        {"advertise", ia_na(7, iaaddr("2001:db8::5", 3600)), -1, "::/0"},
        {"another IAID", ia_na(8, iaaddr("2001:db8::5", 3600)), -1, "::/0"},
        {"no IA", opt6(13, {0, 0}), -1, "::/0"},
        {"status 0", opt6(13, {0, 0}) + ia_na(7, iaaddr("2001:db8::5", 3600)), 0, "2001:db8::5/128"},
        {"renewal with sub-options", ia_na(7, iaaddr("2001:db8::5", 7200, opt6(13, {0, 0}))), 0,
         "2001:db8::5/128"},
        {"status 2", opt6(13, {0, 2}) + ia_na(7, iaaddr("2001:db8::5", 3600)), 0, "::/0"},
    };
    for (auto &c : cases) {
        dhcp6 reply;
        reply.type = std::string(c.what) == "advertise" ? DHCPV6_ADVERTISE : DHCPV6_REPLY;
        reply.opts = c.opts;
        EXPECT_EQ(to_station6(reply), c.result) << c.what;
        EXPECT_EQ(address6(), c.after) << c.what;
    }
    EXPECT_EQ(logged("Ignoring DHCPv6 reply for unknown IAID 00000008 expected 00000007"), 1u);
    EXPECT_EQ(logged("DHCPv6 lease 2001:db8::5/128 assigned valid for 3600s"), 1u);
    EXPECT_EQ(logged("DHCPv6 lease 2001:db8::5/128 renewed valid for 7200s"), 1u);
    EXPECT_EQ(logged("DHCPv6 lease 2001:db8::5/128 released"), 1u);
}

TEST_F(Snoop, Dhcpv6ClientMessagesReleaseOnANewIaidOrRelease)
{
    auto granted = [&](uint32_t iaid) {
        dhcp6 reply;
        reply.type = DHCPV6_REPLY;
        reply.opts = ia_na(iaid, iaaddr("2001:db8::5", 3600));
        return to_station6(reply);
    };
    dhcp6 solicit;
    solicit.opts = ia_na(7);
    snoop(frame6(solicit));
    ASSERT_EQ(granted(7), 0);

    struct {
        const char *what;
        dhcp6 msg;
        uint8_t cls;
        int result;
        const char *after;
    } cases[] = {
        {"renew of the same IAID", {.type = DHCPV6_RENEW, .opts = ia_na(7)}, UGWD_SNOOP_FROM_STATION, -1,
         "2001:db8::5/128"},
        {"without IA", {.type = DHCPV6_RELEASE, .opts = opt6(8, {0, 0})}, UGWD_SNOOP_FROM_STATION,
         -1, "2001:db8::5/128"},
        {"forged reply", {.type = DHCPV6_REPLY, .opts = ia_na(7), .sport = 547, .dport = 546},
         UGWD_SNOOP_FROM_STATION, -1, "2001:db8::5/128"},
        {"solicit the wrong way", {.type = DHCPV6_SOLICIT, .opts = ia_na(9)}, UGWD_SNOOP_TO_STATION,
         -1, "2001:db8::5/128"},
        {"solicit to port 546", {.type = DHCPV6_SOLICIT, .opts = ia_na(9), .dport = 546},
         UGWD_SNOOP_FROM_STATION, -1, "2001:db8::5/128"},
        {"solicit with a new IAID", {.type = DHCPV6_SOLICIT, .opts = ia_na(9)},
         UGWD_SNOOP_FROM_STATION, 0, "::/0"},
    };
    for (auto &c : cases) {
        EXPECT_EQ(snoop(frame6(c.msg), c.cls), c.result) << c.what;
        EXPECT_EQ(address6(), c.after) << c.what;
    }
    EXPECT_EQ(lease6()->iaid, 9u);
    ASSERT_EQ(granted(9), 0);
    dhcp6 release;
    release.type = DHCPV6_RELEASE;
    release.opts = ia_na(9, iaaddr("2001:db8::5", 0));
    EXPECT_EQ(snoop(frame6(release)), 0);
    EXPECT_EQ(address6(), "::/0");
    EXPECT_EQ(logged("DHCPv6 lease 2001:db8::5/128 released"), 2u);
}

TEST_F(Snoop, Dhcpv6PortalOptionIsAddedOnce)
{
    flow->session = session;
    dhcp6 adv;
    adv.type = DHCPV6_ADVERTISE;
    adv.opts = opt6(103, text("http://old/")) + ia_na(7) + opt6(103, text("y"));
    packet *p = make([&] {
        adv.sport = 547, adv.dport = 546;
        return frame6(adv);
    }(), UGWD_SNOOP_TO_STATION);
    EXPECT_EQ(ugwd_service_input_snoop(nullptr, tn, flow, p), -1);
    expect_sound(p);
    const uint8_t *msg = p->data + 62;
    size_t len = p->length - 62;
    const uint8_t *o = dhcpv6_find_opt(msg, len, 103, -1);
    ASSERT_NE(o, nullptr);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(o + 4), get16(o + 2)), portal);
    size_t after = size_t(o - msg) + 4 + get16(o + 2);
    EXPECT_EQ(after, len) << "appended last";
    EXPECT_EQ(dhcpv6_find_opt(msg, size_t(o - msg), 103, -1), nullptr) << "the server's are gone";

    std::string t = tshark_fields({p}, "-e udp.checksum.status -e dhcpv6.captive_portal");
    if (t.empty()) GTEST_SKIP() << "tshark is not installed";
    EXPECT_EQ(t, "1;http://portal.example/login\n");
}

// The frame router's snooping node, with a data-plane process whose requests
// fail at once (its far end is closed): which flow a frame counts for, by
// its class, and only for an associated flow.
TEST_F(Snoop, FrameRouterSnoopsOnlyWhatTheDataPlaneNames)
{
    int req[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM, 0, req), 0);
    close(req[1]);
    uclient ipc = {};
    array_init(&ipc.buffer, 1);
    list_init(&ipc.link);
    ipc.fd = req[0];
    ipc.event_fd = -1;
    ipc.event_pass_fd = -1;
    frlc client = {};
    array_init(&client.request, 1);
    client.ops = ugwd_ctl_frl_event_ops;
    client.ipc = &ipc;
    client.pool = ctl->packet_pool;
    ugwd_proc proc = {};
    proc.ctl = ctl;
    proc.number = 1;
    proc.node_a = 1;
    proc.node_b = 2;
    proc.fernrelay = &client;
    client.user = &proc;

    dhcp4 ack;
    ack.type = DHCPACK;
    ack.op = 2, ack.sport = 67, ack.dport = 68;
    ack.yiaddr = {10, 0, 0, 5};
    ack.opts = opt(1, {255, 255, 255, 0}) + opt(51, {0, 0, 0x0e, 0x10});
    auto route = [&](const flow_id &id, uint8_t cls, const dhcp4 &d) {
        packet *p = make(frame4(d), 0);
        ugwd_ctl_frl_output_packet_cb(&proc, proc.node_b, &id, cls, FRL_ENCAP_ETHER, p);
    };
    auto addr = [&] { return lease() ? addr4() : std::string("none"); };

    route(flow->id, UGWD_SNOOP_TO_STATION, ack);
    EXPECT_EQ(addr(), "none") << "a flow not associated is not snooped";
    ASSERT_EQ(ugwd_table_insert_flow_assoc(ctl->table, flow), nullptr);

    struct {
        const char *what;
        bool by_flow; // else the frame names the tunnel only
        uint8_t cls;
        bytes yiaddr;
        const char *after;
    } cases[] = {
        {"an ACK from the station", true, UGWD_SNOOP_FROM_STATION, {10, 0, 0, 6}, "none"},
        {"an ACK to it", true, UGWD_SNOOP_TO_STATION, {10, 0, 0, 5}, "10.0.0.5/24"},
        {"a reply found by its client address", false, UGWD_SNOOP_TO_STATION, {10, 0, 0, 7},
         "10.0.0.7/24"},
        {"a station's frame on the tunnel", false, UGWD_SNOOP_FROM_STATION, {10, 0, 0, 8},
         "10.0.0.7/24"},
    };
    for (auto &c : cases) {
        dhcp4 d = ack;
        d.yiaddr = c.yiaddr;
        route(c.by_flow ? flow->id : tn->id, c.cls, d);
        EXPECT_EQ(addr(), c.after) << c.what;
    }
    // A station's release on the tunnel alone counts for no flow.
    dhcp4 release;
    release.type = DHCPRELEASE;
    release.ciaddr = {10, 0, 0, 7};
    route(tn->id, UGWD_SNOOP_FROM_STATION, release);
    EXPECT_EQ(addr(), "10.0.0.7/24");
    route(flow->id, UGWD_SNOOP_FROM_STATION, release);
    EXPECT_EQ(addr(), "0.0.0.0/0");
    ugwd_table_remove_flow_assoc(ctl->table, flow);
    array_purge(&client.request);
    array_purge(&ipc.buffer);
    close(req[0]);
}

} // namespace
