#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/filter/filter_match.h"
#include "common/mempool.h"
#include "hostset_fixture.h"

namespace {

using bytes = std::vector<uint8_t>;

void put16(bytes &b, size_t off, unsigned v)
{
    b[off] = static_cast<uint8_t>(v >> 8);
    b[off + 1] = static_cast<uint8_t>(v);
}

// IPv4 from 10.0.0.1 to 10.0.0.2 around a transport header and payload.
bytes ipv4(uint8_t proto, const bytes &transport, unsigned frag = 0)
{
    bytes b(20, 0);
    b[0] = 0x45;
    put16(b, 2, 20 + transport.size());
    put16(b, 6, frag);
    b[8] = 64;
    b[9] = proto;
    b[12] = 10, b[15] = 1;
    b[16] = 10, b[19] = 2;
    b.insert(b.end(), transport.begin(), transport.end());
    return b;
}

// IPv6 from 2001:db8::1 to 2001:db8::2, with raw extension headers before the transport.
bytes ipv6(uint8_t proto, const bytes &transport, const bytes &ext = {}, uint8_t first = 0)
{
    bytes b(40, 0);
    b[0] = 0x60;
    put16(b, 4, ext.size() + transport.size());
    b[6] = ext.empty() ? proto : first;
    b[7] = 64;
    inet_pton(AF_INET6, "2001:db8::1", &b[8]);
    inet_pton(AF_INET6, "2001:db8::2", &b[24]);
    b.insert(b.end(), ext.begin(), ext.end());
    b.insert(b.end(), transport.begin(), transport.end());
    return b;
}

bytes udp(unsigned sport, unsigned dport, const bytes &payload = {})
{
    bytes b(8, 0);
    put16(b, 0, sport);
    put16(b, 2, dport);
    put16(b, 4, 8 + payload.size());
    b.insert(b.end(), payload.begin(), payload.end());
    return b;
}

bytes tcp(unsigned sport, unsigned dport, uint8_t flags, const std::string &payload = "")
{
    bytes b(20, 0);
    put16(b, 0, sport);
    put16(b, 2, dport);
    b[12] = 5 << 4;
    b[13] = flags;
    b.insert(b.end(), payload.begin(), payload.end());
    return b;
}

// A DNS query of the given labels (raw label bytes, any content).
bytes dns_query(const std::vector<std::string> &labels, unsigned type = 1, unsigned flags = 0x0100,
                unsigned questions = 1)
{
    bytes b(12, 0);
    put16(b, 2, flags);
    put16(b, 4, questions);
    for (const std::string &l : labels) {
        b.push_back(static_cast<uint8_t>(l.size()));
        b.insert(b.end(), l.begin(), l.end());
    }
    b.push_back(0);
    b.push_back(static_cast<uint8_t>(type >> 8));
    b.push_back(static_cast<uint8_t>(type));
    b.push_back(0);
    b.push_back(1);
    return b;
}

struct matcher {
    hostset_fixture set{".example.com", "exact.example.org"};
    uint8_t v4[1][4] = {{10, 0, 0, 2}};
    uint8_t v6[1][16] = {};
    filter_assigned assigned = {v4, 1, v6, 1};

    matcher() { inet_pton(AF_INET6, "2001:db8::2", v6[0]); }

    int operator()(const char *rule_text, const bytes &packet, int in = 1)
    {
        filter_rule rule;
        EXPECT_EQ(filter_rule_parse(&rule, rule_text, 1), 0) << rule_text;
        pkt_hdrs h{};
        return filter_match_bytes(&rule, packet, &h, set.table, &assigned, in);
    }
};

TEST(FilterMatch, AnyRuleMatchesEveryPacketOfItsDirection)
{
    matcher m;
    for (const bytes &p : {ipv4(17, udp(1, 2)), ipv6(6, tcp(1, 2, 0x10)), ipv4(99, {}),
                           ipv6(58, bytes(8, 0))}) {
        EXPECT_EQ(m("permit in ip from any to any", p, 1), 1);
        EXPECT_EQ(m("permit in ip from any to any", p, 0), 0);
        EXPECT_EQ(m("permit out ip from any to any", p, 0), 1);
    }
    EXPECT_EQ(m("permit in ip from any to any", {}), 0);
    EXPECT_EQ(m("permit in ip from any to any", bytes{0x50, 0, 0, 0}), 0);
    bytes bad = ipv4(17, udp(1, 2));
    bad[0] = 0x4F; // header longer than the packet
    EXPECT_EQ(m("permit in ip from any to any", bad), -1);
}

TEST(FilterMatch, AddressesPrefixesAndAssigned)
{
    matcher m;
    bytes p4 = ipv4(17, udp(1, 2)), p6 = ipv6(17, udp(1, 2));
    struct {
        const char *rule;
        int v4, v6;
    } cases[] = {
        {"permit in ip from 10.0.0.0/8 to assigned", 1, 0},
        {"permit in ip from 10.0.0.0/31 to 10.0.0.2", 1, 0},
        {"permit in ip from 10.0.0.2 to any", 0, 0},
        {"permit in ip from !10.0.0.2 to any", 1, 1},
        {"permit in ip from 2001:db8::/32 to assigned", 0, 1},
        {"permit in ip from 2001:db8::1 to !assigned", 0, 0},
        {"permit in ip from 2001:db8::/127 to any", 0, 1},
        {"permit in ip from 2001:db8::/128 to any", 0, 0},
        {"permit in ip from 0.0.0.0/0 to any", 1, 0},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(m(c.rule, p4), c.v4) << c.rule;
        EXPECT_EQ(m(c.rule, p6), c.v6) << c.rule;
    }
}

TEST(FilterMatch, DnsQueryNamesAndHostSetSuffixes)
{
    matcher m;
    const char *rule = "permit in 17 from any to any dnsqnames 1";
    bytes q = dns_query({"WWW", "Example", "COM"});
    EXPECT_EQ(m(rule, ipv4(17, udp(1000, 2000, q))), 0); // neither port is 53
    EXPECT_EQ(m(rule, ipv4(17, udp(1000, 53, q))), 1);
    EXPECT_EQ(m.set.hits(".example.com"), 1u);
    EXPECT_EQ(m(rule, ipv6(17, udp(53, 1000, dns_query({"example", "com"})))), 0);
    EXPECT_EQ(m(rule, ipv4(17, udp(1000, 53, dns_query({"exact", "example", "org"})))), 1);
    EXPECT_EQ(m(rule, ipv4(17, udp(1000, 53, dns_query({"a", "exact", "example", "org"})))), 0);
    EXPECT_EQ(m("permit in 17 from any to any dnsqnames !1",
                ipv4(17, udp(1000, 53, dns_query({"other", "org"})))), 1);
    EXPECT_EQ(m("permit in 17 from any to any 2000 dnsqnames 1",
                ipv4(17, udp(1000, 2000, q))), 1);
    EXPECT_EQ(m(rule, ipv4(17, udp(1000, 53, bytes(11, 0)))), -1);
    EXPECT_EQ(m(rule, ipv4(17, bytes(7, 0))), -1);
    EXPECT_EQ(m("permit in 17 from any to any", ipv4(17, bytes(7, 0))), 1);
    EXPECT_EQ(m("permit in 17 from any to any dnsqtype aaaa",
                ipv4(17, udp(1, 53, dns_query({"x"}, 28)))), 1);
    EXPECT_EQ(m("permit in 17 from any to any dnsqtype !aaaa",
                ipv4(17, udp(1, 53, dns_query({"x"}, 28)))), 0);
    EXPECT_EQ(m("permit in 17 from any to any dnsflags rd,!qr dnsopcodes query",
                ipv4(17, udp(1, 53, q))), 1);
    EXPECT_EQ(m("permit in 17 from any to any dnsflags qr", ipv4(17, udp(1, 53, q))), 0);
    EXPECT_EQ(m("permit in 17 from any to any dnsopcodes update", ipv4(17, udp(1, 53, q))), 0);
    // TCP carries the message after a two-byte length.
    bytes framed = {0, static_cast<uint8_t>(q.size())};
    framed.insert(framed.end(), q.begin(), q.end());
    EXPECT_EQ(m("permit in 6 from any to any dnsqnames 1",
                ipv4(6, tcp(1000, 53, 0x18, std::string(framed.begin(), framed.end())))), 1);
    framed[1]++;
    EXPECT_EQ(m("permit in 6 from any to any dnsqnames 1",
                ipv4(6, tcp(1000, 53, 0x18, std::string(framed.begin(), framed.end())))), -1);
}

TEST(FilterMatch, DnsNamesThatAreNotHostNamesAreRefused)
{
    char name[300];
    uint16_t type;
    auto get = [&](const bytes &msg) {
        return dns_get_qname(msg.data(), msg.size(), &type, name, sizeof(name));
    };
    EXPECT_EQ(get(dns_query({"www", "example", "com"}, 28)), 15);
    EXPECT_STREQ(name, "www.example.com");
    EXPECT_EQ(type, 28);
    EXPECT_EQ(get(dns_query({}, 1, 0, 0)), 0);
    EXPECT_EQ(get(dns_query({"a"}, 1, 0, 2)), -1);
    EXPECT_EQ(get(dns_query({std::string("a\0b", 3)})), -1);
    EXPECT_EQ(get(dns_query({"evil.example", "com"})), -1);
    bytes pointer = dns_query({"www"});
    pointer[12 + 4] = 0xC0; // a compression pointer where the root label should be
    EXPECT_EQ(get(pointer), -1);
    bytes reserved = dns_query({std::string(0x40, 'a')});
    EXPECT_EQ(get(reserved), -1);
    std::vector<std::string> long_name(5, std::string(50, 'a')); // 5 * 51 + 1 = 256 bytes
    EXPECT_EQ(get(dns_query(long_name)), -1);
    long_name.back().pop_back(); // 255 bytes
    EXPECT_EQ(get(dns_query(long_name)), 253);
    bytes cut = dns_query({"www"});
    cut.resize(cut.size() - 3); // class and half the type missing
    EXPECT_EQ(get(cut), -1);
    // A short buffer keeps whole labels only, and the length is the full name's.
    char small[8];
    bytes q = dns_query({"abc", "defgh"});
    EXPECT_EQ(dns_get_qname(q.data(), q.size(), &type, small, sizeof(small)), 9);
    EXPECT_STREQ(small, "abc");
}

TEST(FilterMatch, HttpHost)
{
    matcher m;
    const char *rule = "permit in 6 from any to any httphosts 1";
    auto req = [](const char *first, const char *host) {
        return std::string(first) + "\r\nUser-Agent: x\r\nHOST:\t" + host + "\r\n\r\n";
    };
    EXPECT_EQ(m(rule, ipv4(6, tcp(1, 80, 0x18, req("GET / HTTP/1.1", "Www.Example.COM:8080")))), 1);
    EXPECT_EQ(m(rule, ipv4(6, tcp(1, 80, 0x18, req("GET / HTTP/1.3", "www.example.com")))), 0);
    EXPECT_EQ(m("permit in 6 from any to any httphosts !1",
                ipv4(6, tcp(1, 80, 0x18, req("GET / HTTP/1.3", "www.example.com")))), 1);
    EXPECT_EQ(m(rule, ipv4(6, tcp(1, 8080, 0x18, req("GET / HTTP/1.0", "www.example.com")))), 0);
    EXPECT_EQ(m(rule, ipv4(6, tcp(1, 80, 0x18, "GET / HTTP/1.1\r\nHost: a.example.com"))), 1);
    EXPECT_EQ(m(rule, ipv4(6, tcp(1, 80, 0x18, "GET / HTTP/1.1\r\n\r\nHost: a.example.com\r\n"))),
              0);
    EXPECT_EQ(m(rule, ipv4(6, tcp(1, 80, 0x18, "GET / HTTP/1.1\r\n Host: a.example.com\r\n"))),
              0);

    EXPECT_EQ(http_strip_port("a.example.com:8080", 18), 13u);
    EXPECT_EQ(http_strip_port("a.example.com:123456", 20), 20u);
    EXPECT_EQ(http_strip_port("[::1]", 5), 5u);
    EXPECT_EQ(http_strip_port(":80", 3), 0u);
    EXPECT_EQ(http_find_header("HTTP/1.1\n", 9, "Host"), -1);
}

// A minimal ClientHello with the given server name (none when empty).
bytes client_hello(const std::string &sni)
{
    bytes body = {3, 3};
    body.resize(body.size() + 32, 0x11);
    body.insert(body.end(), {0, 0, 2, 0x13, 0x01, 1, 0}); // no session id, one suite, null
    bytes ext;
    if (!sni.empty()) {
        size_t n = sni.size();
        ext = {0, 0, 0, static_cast<uint8_t>(n + 5), 0, static_cast<uint8_t>(n + 3), 0, 0,
               static_cast<uint8_t>(n)};
        ext.insert(ext.end(), sni.begin(), sni.end());
    }
    bytes pre = {0, 10, 0, 2, 0, 29}; // supported_groups before the name
    pre.insert(pre.end(), ext.begin(), ext.end());
    body.push_back(static_cast<uint8_t>(pre.size() >> 8));
    body.push_back(static_cast<uint8_t>(pre.size()));
    body.insert(body.end(), pre.begin(), pre.end());
    bytes hs = {1, 0, static_cast<uint8_t>(body.size() >> 8), static_cast<uint8_t>(body.size())};
    hs.insert(hs.end(), body.begin(), body.end());
    bytes rec = {22, 3, 1, static_cast<uint8_t>(hs.size() >> 8), static_cast<uint8_t>(hs.size())};
    rec.insert(rec.end(), hs.begin(), hs.end());
    return rec;
}

TEST(FilterMatch, TlsServerName)
{
    matcher m;
    auto seg = [](unsigned dport, const bytes &b) {
        return ipv4(6, tcp(1, dport, 0x18, std::string(b.begin(), b.end())));
    };
    const char *rule = "permit in 6 from any to any tlshosts 1";
    EXPECT_EQ(m(rule, seg(443, client_hello("Secure.Example.com"))), 1);
    EXPECT_EQ(m(rule, seg(443, client_hello("example.com"))), 0);
    EXPECT_EQ(m(rule, seg(443, client_hello(""))), 0);
    EXPECT_EQ(m("permit in 6 from any to any tlshosts !1", seg(443, client_hello(""))), 1);
    EXPECT_EQ(m(rule, seg(8443, client_hello("a.example.com"))), 0);
    EXPECT_EQ(m("permit in 6 from any to any 8443 tlshosts 1",
                seg(8443, client_hello("a.example.com"))), 1);
    EXPECT_EQ(m(rule, seg(443, bytes{22, 3, 1, 0})), -1);

    bytes hello = client_hello("a.example.com");
    char name[64];
    for (size_t cut = 6; cut < hello.size(); cut++) // every truncation before the name's end
        EXPECT_EQ(tls_get_sni(hello.data(), cut, name, sizeof(name)), -1) << cut;
    EXPECT_EQ(tls_get_sni(hello.data(), hello.size(), name, 4), 13);
    EXPECT_STREQ(name, "a.e");
    hello[0] = 23;
    EXPECT_EQ(tls_get_sni(hello.data(), hello.size(), name, sizeof(name)), 0);
}

TEST(FilterMatch, TcpShortSegmentsFlagsAndPorts)
{
    matcher m;
    bytes short_tcp = ipv4(6, bytes(19, 0));
    EXPECT_EQ(m("permit in 6 from any to any 80", short_tcp), -1);
    EXPECT_EQ(m("permit in 6 from any to any setup", short_tcp), -1);
    EXPECT_EQ(m("permit in 6 from any to any", short_tcp), 1);
    EXPECT_EQ(m("permit in 6 from any 1000-2000 to any 80,443", ipv4(6, tcp(1500, 443, 2))), 1);
    EXPECT_EQ(m("permit in 6 from any 1000-2000 to any 80,443", ipv4(6, tcp(999, 443, 2))), 0);
    EXPECT_EQ(m("permit in 6 from any to any setup", ipv4(6, tcp(1, 2, 0x02))), 1);
    EXPECT_EQ(m("permit in 6 from any to any setup", ipv4(6, tcp(1, 2, 0x12))), 0);
    EXPECT_EQ(m("permit in 6 from any to any established", ipv4(6, tcp(1, 2, 0x04))), 1);
    EXPECT_EQ(m("permit in 6 from any to any established", ipv4(6, tcp(1, 2, 0x02))), 0);
    EXPECT_EQ(m("permit in 6 from any to any tcpflags syn,!ack", ipv4(6, tcp(1, 2, 0x02))), 1);
    EXPECT_EQ(m("permit in 6 from any to any tcpflags syn,!ack", ipv4(6, tcp(1, 2, 0x12))), 0);
    bytes bad_offset = tcp(1, 2, 0x02);
    bad_offset[12] = 0xF0; // 60-byte header in a 20-byte segment
    EXPECT_EQ(m("permit in 6 from any to any tcpoptions mss", ipv4(6, bad_offset)), -1);
    bytes with_mss = tcp(1, 2, 0x02);
    with_mss[12] = 6 << 4;
    with_mss.insert(with_mss.begin() + 20, {2, 4, 5, 0xb4});
    EXPECT_EQ(m("permit in 6 from any to any tcpoptions mss,!sack", ipv4(6, with_mss)), 1);
    EXPECT_EQ(m("permit in 6 from any to any tcpoptions window", ipv4(6, with_mss)), 0);
}

TEST(FilterMatch, IcmpTypesAndNeighbourDiscoveryTarget)
{
    matcher m;
    EXPECT_EQ(m("permit in 1 from any to any icmptypes echo request", ipv4(1, {8, 0, 0, 0, 0, 0, 0, 0})), 1);
    EXPECT_EQ(m("permit in 1 from any to any icmptypes echo request", ipv4(1, {0, 0, 0, 0, 0, 0, 0, 0})), 0);
    EXPECT_EQ(m("permit in 1 from any to any icmptypes echo request", ipv4(1, {8, 0})), -1);

    bytes na(24, 0);
    na[0] = 136;
    inet_pton(AF_INET6, "2001:db8::2", &na[8]);
    bytes echo(24, 0);
    echo[0] = 128;
    bytes rs(8, 0);
    rs[0] = 133;
    EXPECT_EQ(m("permit in 58 from any to any target assigned", ipv6(58, na)), 1);
    EXPECT_EQ(m("permit in 58 from any to any target !assigned", ipv6(58, na)), 0);
    EXPECT_EQ(m("permit in 58 from any to any target 2001:db8::/64", ipv6(58, na)), 1);
    EXPECT_EQ(m("permit in 58 from any to any target assigned", ipv6(58, echo)), 0);
    EXPECT_EQ(m("permit in 58 from any to any target assigned", ipv6(58, rs)), 0);
    EXPECT_EQ(m("permit in 58 from any to any target assigned", ipv6(58, bytes{136, 0, 0, 0, 0, 0, 0, 0})), -1);
    EXPECT_EQ(m("permit in 58 from any to any icmp6types 128", ipv6(58, echo)), 1);
    EXPECT_EQ(m("permit in 58 from any to any icmp6types 129", ipv6(58, echo)), 0);
    EXPECT_EQ(m("permit in 58 from any to any icmp6types 128", ipv6(58, bytes(4, 0))), -1);
}

TEST(FilterMatch, FragmentsAndExtensionHeaders)
{
    matcher m;
    // IPv4: first fragment (MF, offset 0) and a later one.
    EXPECT_EQ(m("permit in ip from any to any frag", ipv4(17, udp(1, 2), 0x2000)), 0);
    EXPECT_EQ(m("permit in ip from any to any frag", ipv4(17, udp(1, 2), 0x0010)), 1);
    EXPECT_EQ(m("permit in 17 from any to any 53", ipv4(17, udp(1, 2), 0x0010)), -1);

    // Hop-by-hop, destination options, fragment (offset 0): the final header is UDP.
    bytes ext = {60, 0, 1, 4, 0, 0, 0, 0, 44, 0, 1, 4, 0, 0, 0, 0, 17, 0, 0, 1, 0, 0, 0, 7};
    bytes p = ipv6(17, udp(1000, 53, dns_query({"a", "example", "com"})), ext, 0);
    pkt_hdrs h{};
    ASSERT_TRUE(pkt_parse_ipv6(p, &h));
    EXPECT_EQ(h.proto, 17);
    EXPECT_EQ(h.frag_id, 7u);
    EXPECT_EQ(m("permit in 17 from any to any dnsqnames 1", p), 1);
    EXPECT_EQ(m("permit in ip from any to any frag", p), 0);
    EXPECT_EQ(m("permit in ip from any to any ipoptions rr", p), 0);

    // A later fragment: what follows its header is data, even if it reads as a header.
    bytes later = {60, 0, 0, 8, 0, 0, 0, 9};
    bytes q = ipv6(17, bytes{0, 200, 0, 0, 0, 0, 0, 0}, later, 44);
    ASSERT_TRUE(pkt_parse_ipv6(q, &(h = {})));
    EXPECT_EQ(h.transport, nullptr);
    EXPECT_EQ(m("permit in ip from any to any frag", q), 1);

    // A header running past the payload length.
    bytes past = ipv6(17, {}, {17, 2, 0, 0, 0, 0, 0, 0}, 0);
    EXPECT_EQ(m("permit in ip from any to any", past), -1);
}

} // namespace

namespace {

// The packet entry keeps the parsed headers in the metadata block for the next
// rule, and parses again once the data has moved.
TEST(FilterMatch, PacketKeepsParsedHeadersUntilItsDataMoves)
{
    mempool *pool = packet_pool_create(nullptr);
    ASSERT_TRUE(pool);
    hostset_fixture set{".example.com"};
    static const uint8_t v4[][4] = {{10, 0, 0, 2}};
    bytes framed(14, 0xee); // an Ethernet header in front, pulled below
    bytes ip = ipv4(17, udp(1000, 53, dns_query({"www", "example", "com"})));
    framed.insert(framed.end(), ip.begin(), ip.end());
    packet *p = packet_from_bytes(pool, framed.data(), framed.size());
    ASSERT_TRUE(p);

    filter_rule names, ports;
    ASSERT_EQ(filter_rule_parse(&names, "permit in 17 from any to assigned dnsqnames 1", 1), 0);
    ASSERT_EQ(filter_rule_parse(&ports, "permit in 17 from any to any 53", 1), 0);
    EXPECT_EQ(filter_rule_match(&names, p, set.table, v4, 1, nullptr, 0, 1), 0); // Ethernet
    packet_pull(p, 14);
    EXPECT_EQ(filter_rule_match(&names, p, set.table, v4, 1, nullptr, 0, 1), 1);
    pkt_hdrs h;
    std::memcpy(&h, p->meta, sizeof(h));
    EXPECT_EQ(h.ip, p->data);
    EXPECT_EQ(h.proto, 17);
    EXPECT_EQ(filter_rule_match(&ports, p, set.table, v4, 1, nullptr, 0, 1), 1);
    EXPECT_EQ(filter_rule_match(&names, p, set.table, nullptr, 0, nullptr, 0, 1), 0);
    EXPECT_TRUE(pkt_parse_ipv4(p));
    EXPECT_FALSE(pkt_parse_ipv6(p));
    packet_release(p);
    mempool_unref(pool);
}

} // namespace
