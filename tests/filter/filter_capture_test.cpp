// Matching checked on packets that dig, curl, openssl, ping and the kernel
// made (tests/filter/data/make_captures.sh), against what tshark decoded.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <functional>
#include <set>
#include <string>

#include "common/filter/filter_match.h"
#include "hostset_fixture.h"
#include "pcap_reader.h"

namespace {

struct capture {
    std::vector<pcap_ip_packet> packets;
    std::map<unsigned, tshark_row> rows;
};

capture load(const char *name)
{
    std::string base = std::string(UGW_SOURCE_DIR) + "/tests/filter/data/" + name;
    return {pcap_read_ip(base + ".pcap"), tshark_read_fields(base + ".tsv")};
}

std::string addr_text(const uint8_t *a, bool v6)
{
    char buf[INET6_ADDRSTRLEN];
    inet_ntop(v6 ? AF_INET6 : AF_INET, a, buf, sizeof(buf));
    return buf;
}

unsigned field_u(const tshark_row &row, const char *f)
{
    std::string v = tshark_first(row, f);
    return v.empty() ? 0 : static_cast<unsigned>(std::stoul(v, nullptr, 0));
}

bool has(const tshark_row &row, const char *f) { return !tshark_first(row, f).empty(); }

bool list_has(const tshark_row &row, const char *f, unsigned v)
{
    std::string s = row.count(f) ? row.at(f) : "";
    std::istringstream in(s);
    std::string item;
    while (std::getline(in, item, ','))
        if (!item.empty() && std::stoul(item) == v)
            return true;
    return false;
}

struct parsed {
    pkt_hdrs h{};
    bool v6 = false;
    unsigned sport = 0, dport = 0;
    const uint8_t *payload = nullptr; // TCP or UDP payload
    size_t plen = 0;
};

parsed parse(const pcap_ip_packet &p)
{
    parsed r;
    r.v6 = (p.ip[0] >> 4) == 6;
    pkt_hdrs *ok = r.v6 ? pkt_parse_ipv6(p.ip, &r.h) : pkt_parse_ipv4(p.ip, &r.h);
    EXPECT_TRUE(ok) << "frame " << p.number;
    const uint8_t *t = r.h.transport;
    if (!ok || !t || (r.h.proto != 6 && r.h.proto != 17) || r.h.transport_len < 8)
        return r;
    r.sport = static_cast<unsigned>(t[0] << 8 | t[1]);
    r.dport = static_cast<unsigned>(t[2] << 8 | t[3]);
    size_t hl = r.h.proto == 17 ? 8 : (t[12] >> 4) * 4u;
    if (hl <= r.h.transport_len) {
        r.payload = t + hl;
        r.plen = r.h.transport_len - hl;
    }
    return r;
}

// The host set the rules look names up in, and an independent oracle of it.
const char *const set_names[] = {".example.com", "plain.example.org", "v6.example.org",
                                 "ext.example.org"};

bool in_set(std::string name)
{
    for (char &c : name)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (std::string e : set_names) {
        if (name == e)
            return true;
        if (e[0] == '.' && name.size() > e.size() &&
            name.compare(name.size() - e.size(), e.size(), e) == 0)
            return true;
    }
    return false;
}

std::string strip_port(const std::string &host)
{
    size_t colon = host.rfind(':');
    if (colon == std::string::npos || colon + 1 == host.size() ||
        host.find_first_not_of("0123456789", colon + 1) != std::string::npos)
        return host;
    return host.substr(0, colon);
}

TEST(FilterCapture, ExtractedFieldsEqualTshark)
{
    std::map<std::string, unsigned> seen;
    for (const char *name : {"lo", "veth"}) {
        capture cap = load(name);
        ASSERT_FALSE(cap.packets.empty()) << name;
        for (const pcap_ip_packet &p : cap.packets) {
            SCOPED_TRACE(std::string(name) + " frame " + std::to_string(p.number));
            const tshark_row &row = cap.rows.at(p.number);
            parsed r = parse(p);
            const pkt_hdrs &h = r.h;
            ASSERT_TRUE(h.ip);
            const char *src = r.v6 ? "ipv6.src" : "ip.src", *dst = r.v6 ? "ipv6.dst" : "ip.dst";
            EXPECT_EQ(addr_text(h.ip + (r.v6 ? 8 : 12), r.v6), tshark_first(row, src));
            EXPECT_EQ(addr_text(h.ip + (r.v6 ? 24 : 16), r.v6), tshark_first(row, dst));
            unsigned frag = field_u(row, r.v6 ? "ipv6.fraghdr.offset" : "ip.frag_offset");
            EXPECT_EQ(pkt_frag_offset(&h), frag);
            seen["fragment"] += frag != 0;
            EXPECT_EQ(h.transport == nullptr, frag != 0);
            if (!h.transport)
                continue;
            const uint8_t *t = h.transport;
            if (h.proto == 17) {
                EXPECT_EQ(r.sport, field_u(row, "udp.srcport"));
                EXPECT_EQ(r.dport, field_u(row, "udp.dstport"));
            } else if (h.proto == 6) {
                EXPECT_EQ(r.sport, field_u(row, "tcp.srcport"));
                EXPECT_EQ(r.dport, field_u(row, "tcp.dstport"));
                EXPECT_EQ(t[13] & 0x3Fu, field_u(row, "tcp.flags") & 0x3Fu);
                EXPECT_EQ(r.plen, field_u(row, "tcp.len"));
            } else if (h.proto == 1) {
                EXPECT_EQ(t[0], field_u(row, "icmp.type"));
                seen["icmp"]++;
            } else if (h.proto == 58) {
                EXPECT_EQ(t[0], field_u(row, "icmpv6.type"));
                seen["icmpv6"]++;
                std::string target = tshark_first(row, t[0] == 135 ? "icmpv6.nd.ns.target_address"
                                                                    : "icmpv6.nd.na.target_address");
                if (t[0] == 135 || t[0] == 136) {
                    EXPECT_EQ(addr_text(t + 8, true), target);
                    seen["nd target"]++;
                }
            }
            seen["ext header"] += r.v6 && h.ip[6] != h.proto;

            if (r.payload && has(row, "dns.qry.name")) {
                const uint8_t *msg = r.payload + (h.proto == 6 ? 2 : 0);
                size_t mlen = r.plen - (h.proto == 6 ? 2 : 0);
                char qname[256];
                uint16_t type = 0;
                int n = dns_get_qname(msg, mlen, &type, qname, sizeof(qname));
                EXPECT_EQ(n, static_cast<int>(tshark_first(row, "dns.qry.name").size()));
                EXPECT_EQ(qname, tshark_first(row, "dns.qry.name"));
                EXPECT_EQ(type, field_u(row, "dns.qry.type"));
                EXPECT_EQ(static_cast<unsigned>(msg[2] << 8 | msg[3]), field_u(row, "dns.flags"));
                seen["dns"]++;
            }
            if (r.payload && has(row, "http.host")) {
                const char *text = reinterpret_cast<const char *>(r.payload);
                int at = http_find_header(text, r.plen, "Host");
                ASSERT_GE(at, 0);
                std::string value(text + at, std::strcspn(text + at, "\r\n"));
                EXPECT_EQ(value, tshark_first(row, "http.host"));
                EXPECT_EQ(std::string(text + at, http_strip_port(text + at, value.size())),
                          strip_port(value));
                seen["http"]++;
            }
            if (r.payload && r.plen > 5 && r.payload[0] == 22 && r.payload[5] == 1) {
                char sni[256];
                int n = tls_get_sni(r.payload, r.plen, sni, sizeof(sni));
                std::string want = tshark_first(row, "tls.handshake.extensions_server_name");
                EXPECT_EQ(n, static_cast<int>(want.size()));
                EXPECT_EQ(sni, want);
                seen[want.empty() ? "tls without sni" : "tls sni"]++;
            }
        }
    }
    // Each kind of packet the captures were made for was seen.
    for (const char *k : {"fragment", "icmp", "icmpv6", "nd target", "ext header", "dns", "http",
                          "tls sni", "tls without sni"})
        EXPECT_GT(seen[k], 0u) << k;
    EXPECT_GE(seen["dns"], 6u);
    EXPECT_GE(seen["http"], 3u);
}

// Rules over every captured packet, each against an oracle built from tshark's fields.
struct rule_case {
    const char *text;
    std::function<int(const tshark_row &, const parsed &)> expect;
};

bool is_v4(const parsed &p) { return !p.v6; }
bool later_fragment(const parsed &p) { return pkt_frag_offset(&p.h) != 0; }

// ICMPv6 rules: a later fragment has no ICMPv6 header to test (-1); otherwise
// the test on the type and the neighbour-discovery target decides.
std::function<int(const tshark_row &, const parsed &)>
icmp6_oracle(bool (*test)(unsigned type, const std::string &target))
{
    return [test](const tshark_row &row, const parsed &p) {
        if (!p.v6 || p.h.proto != 58)
            return 0;
        if (later_fragment(p))
            return -1;
        unsigned t = field_u(row, "icmpv6.type");
        std::string target = tshark_first(row, t == 135 ? "icmpv6.nd.ns.target_address"
                                                         : "icmpv6.nd.na.target_address");
        return test(t, target) ? 1 : 0;
    };
}

const rule_case rule_cases[] = {
    {"permit in 17 from any to any dnsqnames 1",
     [](const tshark_row &row, const parsed &p) {
         if (p.h.proto != 17 || (p.sport != 53 && p.dport != 53))
             return 0;
         return in_set(tshark_first(row, "dns.qry.name")) ? 1 : 0;
     }},
    {"permit in 6 from any to any dnsqnames 1",
     [](const tshark_row &row, const parsed &p) {
         if (p.h.proto != 6 || (p.sport != 53 && p.dport != 53))
             return 0;
         if (!has(row, "dns.qry.name"))
             return -1; // a segment without a message
         return in_set(tshark_first(row, "dns.qry.name")) ? 1 : 0;
     }},
    {"permit in 17 from 2001:db8::/64 to any 53 dnsqtype aaaa",
     [](const tshark_row &row, const parsed &p) {
         return p.v6 && p.h.proto == 17 && p.dport == 53 &&
                        tshark_first(row, "ipv6.src").rfind("2001:db8:", 0) == 0 &&
                        field_u(row, "dns.qry.type") == 28
                    ? 1
                    : 0;
     }},
    {"permit in 17 from any to any dnsflags rd,!cd",
     [](const tshark_row &row, const parsed &p) {
         if (p.h.proto != 17 || (p.sport != 53 && p.dport != 53))
             return 0;
         unsigned f = field_u(row, "dns.flags");
         return (f & 0x0100) && !(f & 0x0010) ? 1 : 0;
     }},
    {"permit in 17 from any to any dnsopcodes status",
     [](const tshark_row &row, const parsed &p) {
         if (p.h.proto != 17 || (p.sport != 53 && p.dport != 53))
             return 0;
         return ((field_u(row, "dns.flags") >> 11) & 15) == 2 ? 1 : 0;
     }},
    {"permit in 6 from any to any httphosts 1",
     [](const tshark_row &row, const parsed &p) {
         return p.h.proto == 6 && p.dport == 80 && in_set(strip_port(tshark_first(row, "http.host")))
                    ? 1
                    : 0;
     }},
    {"permit in 6 from any to any 8080 httphosts !1",
     [](const tshark_row &row, const parsed &p) {
         if (p.h.proto != 6 || p.dport != 8080)
             return 0;
         return in_set(strip_port(tshark_first(row, "http.host"))) ? 0 : 1;
     }},
    {"permit in 6 from any to any tlshosts 1",
     [](const tshark_row &row, const parsed &p) {
         if (p.h.proto != 6 || p.dport != 443)
             return 0;
         if (p.plen <= 4)
             return -1;
         return in_set(tshark_first(row, "tls.handshake.extensions_server_name")) ? 1 : 0;
     }},
    {"permit in 1 from any to any ipoptions rr",
     [](const tshark_row &row, const parsed &p) {
         return is_v4(p) && p.h.proto == 1 && list_has(row, "ip.opt.type", 7) ? 1 : 0;
     }},
    {"permit in 1 from 127.0.0.1 to any ipoptions ts,!rr icmptypes echo request",
     [](const tshark_row &row, const parsed &p) {
         return is_v4(p) && p.h.proto == 1 && list_has(row, "ip.opt.type", 68) &&
                        !list_has(row, "ip.opt.type", 7) && field_u(row, "icmp.type") == 8
                    ? 1
                    : 0;
     }},
    {"permit in 6 from any to any tcpoptions mss,window,!sack",
     [](const tshark_row &row, const parsed &p) {
         return p.h.proto == 6 && list_has(row, "tcp.option_kind", 2) &&
                        list_has(row, "tcp.option_kind", 3) && !list_has(row, "tcp.option_kind", 5)
                    ? 1
                    : 0;
     }},
    {"permit in 6 from any to any setup",
     [](const tshark_row &row, const parsed &p) {
         return p.h.proto == 6 && (field_u(row, "tcp.flags") & 0x12) == 0x02 ? 1 : 0;
     }},
    {"permit in 6 from any 443 to any established tcpflags psh,!fin",
     [](const tshark_row &row, const parsed &p) {
         unsigned f = field_u(row, "tcp.flags");
         return p.h.proto == 6 && p.sport == 443 && (f & 0x14) && (f & 0x08) && !(f & 0x01) ? 1
                                                                                            : 0;
     }},
    {"permit in 58 from any to any icmp6types neighbor solicitation-neighbor advertisement",
     icmp6_oracle([](unsigned t, const std::string &) { return t == 135 || t == 136; })},
    {"permit in 58 from any to any target assigned",
     icmp6_oracle([](unsigned t, const std::string &target) {
         return (t == 135 || t == 136) && target == "2001:db8::2";
     })},
    {"permit in 58 from any to any icmp6types 143",
     icmp6_oracle([](unsigned t, const std::string &) { return t == 143; })},
    {"permit in ip from any to any frag",
     [](const tshark_row &, const parsed &p) { return later_fragment(p) ? 1 : 0; }},
    {"deny in ip from !127.0.0.0/8 to assigned",
     [](const tshark_row &row, const parsed &p) {
         // An IPv4 prefix never matches IPv6, so its negation always does.
         if (p.v6)
             return tshark_first(row, "ipv6.dst") == "2001:db8::2" ? 1 : 0;
         return tshark_first(row, "ip.src").rfind("127.", 0) != 0 &&
                        tshark_first(row, "ip.dst") == "192.0.2.2"
                    ? 1
                    : 0;
     }},
};

TEST(FilterCapture, RulesAgreeWithTshark)
{
    hostset_fixture set(set_names);
    static const uint8_t v4[][4] = {{192, 0, 2, 2}};
    uint8_t v6[1][16];
    inet_pton(AF_INET6, "2001:db8::2", v6[0]);
    filter_assigned assigned = {v4, 1, v6, 1};
    const std::pair<const char *, capture> caps[] = {{"lo", load("lo")}, {"veth", load("veth")}};
    for (const rule_case &c : rule_cases) {
        SCOPED_TRACE(c.text);
        filter_rule rule;
        ASSERT_EQ(filter_rule_parse(&rule, c.text, 1), 0);
        unsigned matched = 0;
        for (const auto &[name, cap] : caps) {
            for (const pcap_ip_packet &p : cap.packets) {
                const tshark_row &row = cap.rows.at(p.number);
                parsed pp = parse(p);
                int want = c.expect(row, pp);
                pkt_hdrs h{};
                int got = filter_match_bytes(&rule, p.ip, &h, set.table, &assigned, 1);
                EXPECT_EQ(got, want) << name << " frame " << p.number;
                matched += got == 1;
                // The out direction never matches a rule marked in.
                pkt_hdrs h2{};
                EXPECT_EQ(filter_match_bytes(&rule, p.ip, &h2, set.table, &assigned, 0), 0);
            }
        }
        EXPECT_GT(matched, 0u);
    }
}

} // namespace
