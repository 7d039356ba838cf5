#include "common/filter/filter_match.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <strings.h>

namespace {

enum : uint8_t {
    PROTO_ICMP = 1,
    PROTO_TCP = 6,
    PROTO_UDP = 17,
    PROTO_ICMPV6 = 58,
};

constexpr uint16_t DNS_PORT = 53, HTTP_PORT = 80, TLS_PORT = 443;
constexpr size_t DNS_HEADER_LEN = 12;
constexpr size_t HOST_MAX = 253; // longest host name looked up

uint16_t load16(const uint8_t *p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }
uint32_t load32(const uint8_t *p) { return uint32_t{load16(p)} << 16 | load16(p + 2); }

bool prefix_equal(const uint8_t *a, const uint8_t *b, unsigned prefix)
{
    unsigned bytes = prefix / 8, bits = prefix % 8;
    if (std::memcmp(a, b, bytes) != 0)
        return false;
    if (!bits)
        return true;
    uint8_t mask = static_cast<uint8_t>(0xFF << (8 - bits));
    return ((a[bytes] ^ b[bytes]) & mask) == 0;
}

// Does an address of the packet (4 or 16 bytes) fall under a rule address?
bool addr_match(uint8_t family, const uint8_t *rule_addr, uint8_t prefix, const uint8_t *addr,
                bool v6, const filter_assigned *assigned)
{
    switch (family) {
    case FILTER_AF_ANY:
        return true;
    case FILTER_AF_ASSIGNED:
        if (!assigned)
            return false;
        if (v6) {
            for (size_t i = 0; i < assigned->n6; i++)
                if (std::memcmp(assigned->v6[i], addr, 16) == 0)
                    return true;
        } else {
            for (size_t i = 0; i < assigned->n4; i++)
                if (std::memcmp(assigned->v4[i], addr, 4) == 0)
                    return true;
        }
        return false;
    case FILTER_AF_INET:
        return !v6 && prefix_equal(rule_addr, addr, prefix > 32 ? 32 : prefix);
    case FILTER_AF_INET6:
        return v6 && prefix_equal(rule_addr, addr, prefix > 128 ? 128 : prefix);
    default:
        return false;
    }
}

bool endpoints_match(const filter_rule *r, const uint8_t *src, const uint8_t *dst, bool v6,
                     const filter_assigned *assigned)
{
    bool s = addr_match(r->src.family, r->src.addr, r->src.prefix, src, v6, assigned);
    if (s == static_cast<bool>(r->action_flags & FILTER_NOT_SRC))
        return false;
    bool d = addr_match(r->dst.family, r->dst.addr, r->dst.prefix, dst, v6, assigned);
    return d != static_cast<bool>(r->action_flags & FILTER_NOT_DST);
}

bool direction_match(const filter_rule *r, int in)
{
    return static_cast<bool>(r->action_flags & FILTER_DIR_OUT) == (in == 0);
}

bool port_match(const filter_addr *a, uint16_t port)
{
    if (a->nports == 0)
        return true;
    for (unsigned i = 0; i < a->nports && i < FILTER_MAX_PORTS; i++)
        if (port >= a->ports[i].first && port <= a->ports[i].last)
            return true;
    return false;
}

bool has_ports(const filter_rule *r) { return r->src.nports || r->dst.nports; }
bool has_dns(const filter_rule *r) { return r->ext & (FILTER_EXT_DNS | FILTER_EXT_DNSOPCODES); }

// Options in the IPv4 and TCP layout: kinds 0 and 1 take one byte, others
// carry their length (at least 2); the scan ends at kind 0 or a bad length.
bool option_present(const uint8_t *opts, size_t n, uint8_t kind)
{
    for (size_t i = 0; i < n;) {
        if (opts[i] == kind)
            return true;
        if (opts[i] == 0)
            return false;
        if (opts[i] == 1) {
            i++;
            continue;
        }
        if (i + 1 >= n || opts[i + 1] < 2)
            return false;
        i += opts[i + 1];
    }
    return false;
}

struct option_kind {
    uint8_t bit;
    uint8_t kind;
};
constexpr option_kind ip_option_kinds[] = {
    {FILTER_IPOPT_SSRR, 137}, {FILTER_IPOPT_LSRR, 131}, {FILTER_IPOPT_RR, 7}, {FILTER_IPOPT_TS, 68},
};
constexpr option_kind tcp_option_kinds[] = {
    {FILTER_TCPOPT_MSS, 2}, {FILTER_TCPOPT_WINDOW, 3}, {FILTER_TCPOPT_SACK, 5},
    {FILTER_TCPOPT_TS, 8},  {FILTER_TCPOPT_CC, 12},
};

template <size_t N>
bool options_match(const option_kind (&kinds)[N], filter_flag_bytes want, const uint8_t *opts,
                   size_t n)
{
    for (const option_kind &k : kinds) {
        if ((want.set & k.bit) && !option_present(opts, n, k.kind))
            return false;
        if ((want.neg & k.bit) && option_present(opts, n, k.kind))
            return false;
    }
    return true;
}

// The rule's DNS flag bits and where the header's flags word keeps them.
constexpr struct {
    uint16_t rule_bit;
    uint16_t header_bit;
} dns_flag_bits[] = {
    {FILTER_DNS_QR, 0x8000}, {FILTER_DNS_AA, 0x0400}, {FILTER_DNS_TC, 0x0200},
    {FILTER_DNS_RD, 0x0100}, {FILTER_DNS_RA, 0x0080}, {FILTER_DNS_AD, 0x0020},
    {FILTER_DNS_CD, 0x0010},
};

// Opcodes, flags, then the query: the DNS tests shared by UDP and TCP.
int dns_message_match(const filter_rule *r, hashtable *hostset, const uint8_t *msg, size_t len)
{
    if (len < DNS_HEADER_LEN)
        return -1;
    uint16_t flags = load16(msg + 2);
    if (r->ext & FILTER_EXT_DNSOPCODES) {
        unsigned opcode = (flags >> 11) & 15;
        if (opcode >= 8 || !(r->dnsopcodes & (1u << opcode)))
            return 0;
    }
    for (const auto &f : dns_flag_bits) {
        if ((r->dns_set & f.rule_bit) && !(flags & f.header_bit))
            return 0;
        if ((r->dns_neg & f.rule_bit) && (flags & f.header_bit))
            return 0;
    }
    if ((r->dns_set | r->dns_neg) & (FILTER_DNS_QTYPE | FILTER_DNS_QNAMES))
        return filter_match_dns(r, hostset, msg, len);
    return 1;
}

// found, or not found, inverted when the test is negated.
int hostset_result(hashtable *hostset, const char *name, size_t len, bool negated)
{
    bool found = hostset && len > 0 && hostset_match(hostset, name, len);
    return found != negated ? 1 : 0;
}

int udp_match(const filter_rule *r, hashtable *hostset, const uint8_t *udp, size_t len)
{
    if (len < 8)
        return has_ports(r) || has_dns(r) ? -1 : 1;
    uint16_t sport = load16(udp), dport = load16(udp + 2);
    if (!port_match(&r->src, sport) || !port_match(&r->dst, dport))
        return 0;
    if (!has_dns(r))
        return 1;
    if (!has_ports(r) && sport != DNS_PORT && dport != DNS_PORT)
        return 0;
    return dns_message_match(r, hostset, udp + 8, len - 8);
}

int icmp_match(const filter_rule *r, const uint8_t *icmp, size_t len)
{
    if (!(r->options & FILTER_OPT_ICMPTYPES))
        return 1;
    if (len < 8)
        return -1;
    return icmp[0] < 32 && (r->icmptypes & (1u << icmp[0])) ? 1 : 0;
}

int icmp6_match(const filter_rule *r, const uint8_t *icmp, size_t len,
                const filter_assigned *assigned)
{
    bool types = r->ext & FILTER_EXT_ICMP6TYPES, target = r->ext & FILTER_EXT_TARGET;
    if (!types && !target)
        return 1;
    if (len < 8)
        return -1;
    uint8_t type = icmp[0];
    if (types) {
        int bit = type < 16 ? type : (type >= 128 && type < 144) ? type - 128 + 16 : -1;
        if (bit < 0 || !(r->icmp6types & (1u << bit)))
            return 0;
    }
    if (target) {
        // Only solicitations and advertisements carry a target; a shorter
        // message of another type is not malformed for lacking one.
        if (type != 135 && type != 136)
            return 0;
        if (len < 24)
            return -1;
        bool m = addr_match(r->target_family, r->target, r->target_prefix, icmp + 8, true,
                            assigned);
        return m != static_cast<bool>(r->action_flags & FILTER_NOT_TARGET) ? 1 : 0;
    }
    return 1;
}

int transport_match(const filter_rule *r, const pkt_hdrs *h, hashtable *hostset,
                    const filter_assigned *assigned)
{
    const uint8_t *t = h->transport;
    size_t len = t ? h->transport_len : 0;
    switch (h->proto) {
    case PROTO_TCP:
        return filter_match_transport(r, hostset, t, len);
    case PROTO_UDP:
        return udp_match(r, hostset, t, len);
    case PROTO_ICMP:
        return (h->ip[0] >> 4) == 4 ? icmp_match(r, t, len) : 1;
    case PROTO_ICMPV6:
        return (h->ip[0] >> 4) == 6 ? icmp6_match(r, t, len, assigned) : 1;
    default:
        return 1;
    }
}

// The tests after the addresses, the same for IPv4 and IPv6.
int fragment_and_transport_match(const filter_rule *r, const pkt_hdrs *h, hashtable *hostset,
                                 const filter_assigned *assigned)
{
    if ((r->options & FILTER_OPT_FRAG) && pkt_frag_offset(h) == 0)
        return 0;
    if (r->protocol && r->protocol != h->proto)
        return 0;
    return transport_match(r, h, hostset, assigned);
}

} // namespace

pkt_hdrs *pkt_parse_ipv4(std::span<const uint8_t> data, pkt_hdrs *h)
{
    if (data.size() < 20 || (data[0] >> 4) != 4)
        return nullptr;
    size_t hlen = (data[0] & 15u) * 4;
    size_t end = std::min<size_t>(load16(&data[2]), data.size());
    if (hlen < 20 || hlen > end)
        return nullptr;
    h->ip = data.data();
    h->frag = load16(&data[6]);
    h->frag_id = load16(&data[4]);
    h->proto = data[9];
    bool later_fragment = (h->frag & 0x1FFF) != 0;
    h->transport = later_fragment ? nullptr : data.data() + hlen;
    h->transport_len = later_fragment ? 0 : static_cast<uint16_t>(end - hlen);
    return h;
}

int ipv6_skip_ext_headers(const uint8_t *header, size_t length, size_t *offset, uint8_t *next,
                          uint16_t *frag, uint32_t *frag_id)
{
    size_t off = 40;
    uint8_t nh = header[6];
    *frag = 0;
    *frag_id = 0;
    for (;;) {
        if (nh != 0 && nh != 43 && nh != 44 && nh != 60 && nh != 135)
            break;
        if (off + 8 > length)
            return -1;
        size_t hl = 8;
        if (nh == 44) {
            *frag = load16(header + off + 2);
            *frag_id = load32(header + off + 4);
        } else {
            hl = 8 + 8u * header[off + 1];
            if (off + hl > length)
                return -1;
        }
        nh = header[off];
        off += hl;
        if (*frag >> 3)
            break;
    }
    *offset = off;
    *next = nh;
    return 0;
}

pkt_hdrs *pkt_parse_ipv6(std::span<const uint8_t> data, pkt_hdrs *h)
{
    if (data.size() < 40 || (data[0] >> 4) != 6)
        return nullptr;
    size_t end = std::min<size_t>(40u + load16(&data[4]), data.size());
    size_t off;
    uint8_t nh;
    uint16_t frag;
    uint32_t id;
    if (ipv6_skip_ext_headers(data.data(), end, &off, &nh, &frag, &id) < 0)
        return nullptr;
    h->ip = data.data();
    h->frag = frag;
    h->frag_id = id;
    h->proto = nh;
    bool later_fragment = (frag >> 3) != 0;
    h->transport = later_fragment ? nullptr : data.data() + off;
    h->transport_len = later_fragment ? 0 : static_cast<uint16_t>(end - off);
    return h;
}

int filter_match_ipv4(const filter_rule *r, const pkt_hdrs *h, hashtable *hostset,
                      const filter_assigned *assigned, int in)
{
    if (!direction_match(r, in) || !endpoints_match(r, h->ip + 12, h->ip + 16, false, assigned))
        return 0;
    if (r->options & FILTER_OPT_IPOPTIONS) {
        size_t hlen = (h->ip[0] & 15u) * 4;
        if (hlen <= 20 || !options_match(ip_option_kinds, r->ipoptions, h->ip + 20, hlen - 20))
            return 0;
    }
    return fragment_and_transport_match(r, h, hostset, assigned);
}

int filter_match_ipv6(const filter_rule *r, const pkt_hdrs *h, hashtable *hostset,
                      const filter_assigned *assigned, int in)
{
    if (!direction_match(r, in) || !endpoints_match(r, h->ip + 8, h->ip + 24, true, assigned))
        return 0;
    if (r->options & FILTER_OPT_IPOPTIONS)
        return 0;
    return fragment_and_transport_match(r, h, hostset, assigned);
}

int filter_match_bytes(const filter_rule *rule, std::span<const uint8_t> data, pkt_hdrs *hdrs,
                       hashtable *hostset, const filter_assigned *assigned, int in)
{
    if (data.empty())
        return 0;
    switch (data[0] >> 4) {
    case 4:
        if (!hdrs->ip && !pkt_parse_ipv4(data, hdrs))
            return -1;
        return filter_match_ipv4(rule, hdrs, hostset, assigned, in);
    case 6:
        if (!hdrs->ip && !pkt_parse_ipv6(data, hdrs))
            return -1;
        return filter_match_ipv6(rule, hdrs, hostset, assigned, in);
    default:
        return 0;
    }
}

namespace {

// The parsed-header area lives at the start of the packet's metadata block,
// which allocation zeroes: a null IP header there means "not parsed".
pkt_hdrs *packet_hdrs(packet *pkt)
{
    auto *h = std::launder(reinterpret_cast<pkt_hdrs *>(pkt->meta));
    // Headers parsed before the data moved (a header pushed or pulled) are stale.
    if (h->ip && h->ip != pkt->data)
        *h = {};
    return h;
}

std::span<const uint8_t> packet_bytes(const packet *pkt)
{
    return {pkt->data, pkt->_fragsize};
}

} // namespace

pkt_hdrs *pkt_parse_ipv4(packet *pkt)
{
    return pkt_parse_ipv4(packet_bytes(pkt), packet_hdrs(pkt));
}

pkt_hdrs *pkt_parse_ipv6(packet *pkt)
{
    return pkt_parse_ipv6(packet_bytes(pkt), packet_hdrs(pkt));
}

int filter_rule_match(const filter_rule *rule, packet *pkt, hashtable *hostset,
                      const uint8_t (*v4)[4], size_t n4, const uint8_t (*v6)[16], size_t n6,
                      int in)
{
    filter_assigned assigned = {v4, n4, v6, n6};
    return filter_match_bytes(rule, packet_bytes(pkt), packet_hdrs(pkt), hostset, &assigned, in);
}

int filter_match_transport(const filter_rule *r, hashtable *hostset, const uint8_t *tcp,
                           size_t len)
{
    if (len < 20) {
        bool needs = has_ports(r) ||
                     (r->options & (FILTER_OPT_ESTABLISHED | FILTER_OPT_SETUP |
                                    FILTER_OPT_TCPOPTIONS | FILTER_OPT_TCPFLAGS)) ||
                     (r->ext & (FILTER_EXT_DNS | FILTER_EXT_DNSOPCODES | FILTER_EXT_HTTPHOSTS |
                                FILTER_EXT_TLSHOSTS));
        return needs ? -1 : 1;
    }
    uint16_t sport = load16(tcp), dport = load16(tcp + 2);
    if (!port_match(&r->src, sport) || !port_match(&r->dst, dport))
        return 0;
    uint8_t flags = tcp[13] & 0x3F;
    if ((r->options & FILTER_OPT_ESTABLISHED) && !(flags & (FILTER_TCP_RST | FILTER_TCP_ACK)))
        return 0;
    if ((r->options & FILTER_OPT_SETUP) &&
        ((flags & (FILTER_TCP_SYN | FILTER_TCP_ACK)) != FILTER_TCP_SYN))
        return 0;
    if (r->options & FILTER_OPT_TCPFLAGS) {
        if ((flags & r->tcpflags.set) != r->tcpflags.set || (flags & r->tcpflags.neg))
            return 0;
    }
    size_t doff = (tcp[12] >> 4) * 4u;
    bool doff_ok = doff >= 20 && doff <= len;
    if (r->options & FILTER_OPT_TCPOPTIONS) {
        if (!doff_ok)
            return -1;
        if (!options_match(tcp_option_kinds, r->tcpoptions, tcp + 20, doff - 20))
            return 0;
    }
    if (!(r->ext & (FILTER_EXT_DNS | FILTER_EXT_DNSOPCODES | FILTER_EXT_HTTPHOSTS |
                    FILTER_EXT_TLSHOSTS)))
        return 1;
    if (!doff_ok)
        return -1;
    const uint8_t *payload = tcp + doff;
    size_t plen = len - doff;

    if (has_dns(r)) {
        if (!has_ports(r) && sport != DNS_PORT && dport != DNS_PORT)
            return 0;
        if (plen < 2)
            return -1;
        size_t mlen = load16(payload);
        if (mlen + 2 > plen || mlen < DNS_HEADER_LEN)
            return -1;
        return dns_message_match(r, hostset, payload + 2, mlen);
    }
    if (r->ext & FILTER_EXT_HTTPHOSTS) {
        if (!r->dst.nports && dport != HTTP_PORT)
            return 0;
        const char *text = reinterpret_cast<const char *>(payload);
        int at = http_find_header(text, plen, "Host");
        size_t vlen = 0;
        if (at >= 0) {
            const char *v = text + at;
            const char *nl = static_cast<const char *>(std::memchr(v, '\n', plen - at));
            vlen = nl ? static_cast<size_t>(nl - v) : plen - at;
            if (nl && vlen && v[vlen - 1] == '\r')
                vlen--;
            vlen = http_strip_port(v, vlen);
        }
        return hostset_result(hostset, at >= 0 ? text + at : "", vlen, r->httphosts.neg);
    }
    // tlshosts
    if (!r->dst.nports && dport != TLS_PORT)
        return 0;
    if (plen <= 4)
        return -1;
    char name[HOST_MAX + 2];
    int n = tls_get_sni(payload, plen, name, sizeof(name));
    if (n < 0 || n > static_cast<int>(sizeof(name) - 1))
        return -1;
    return hostset_result(hostset, name, static_cast<size_t>(n), r->tlshosts.neg);
}

int filter_match_dns(const filter_rule *r, hashtable *hostset, const uint8_t *msg, size_t len)
{
    char name[HOST_MAX + 3];
    uint16_t type = 0;
    int n = dns_get_qname(msg, len, &type, name, sizeof(name));
    if (n < 0 || n > 254)
        return -1;
    if ((r->dns_set & FILTER_DNS_QTYPE) && type != r->dnsqtype)
        return 0;
    if ((r->dns_neg & FILTER_DNS_QTYPE) && type == r->dnsqtype)
        return 0;
    if ((r->dns_set | r->dns_neg) & FILTER_DNS_QNAMES)
        return hostset_result(hostset, name, static_cast<size_t>(n), r->dns_neg & FILTER_DNS_QNAMES);
    return 1;
}

int dns_get_qname(const uint8_t *msg, size_t len, uint16_t *type, char *buffer, size_t size)
{
    if (size)
        buffer[0] = '\0';
    if (len < DNS_HEADER_LEN)
        return -1;
    uint16_t questions = load16(msg + 4);
    if (questions == 0) {
        *type = 0;
        return 0;
    }
    if (questions != 1)
        return -1;
    size_t off = DNS_HEADER_LEN, wire = 1, text = 0, copied = 0;
    bool copying = true;
    for (;;) {
        if (off >= len)
            return -1;
        size_t l = msg[off];
        if (l == 0)
            break;
        // Compression pointers (0xC0) and the reserved label types are refused.
        if (l >= 0x40 || off + 1 + l > len)
            return -1;
        const uint8_t *label = msg + off + 1;
        if (std::memchr(label, 0, l) || std::memchr(label, '.', l))
            return -1;
        wire += l + 1;
        if (wire > 255)
            return -1;
        size_t dot = text ? 1 : 0;
        if (copying && copied + dot + l < size) {
            if (dot)
                buffer[copied] = '.';
            std::memcpy(buffer + copied + dot, label, l);
            copied += dot + l;
            buffer[copied] = '\0';
        } else {
            copying = false;
        }
        text += dot + l;
        off += 1 + l;
    }
    if (off + 3 > len)
        return -1;
    *type = load16(msg + off + 1);
    return static_cast<int>(text);
}

hashtable *hostset_create()
{
    return hashtable_create(0, 0,
                            static_cast<int32_t>(offsetof(hostset_entry, name) -
                                                 offsetof(hostset_entry, link)),
                            static_cast<int32_t>(offsetof(hostset_entry, link)), true, true,
                            nullptr);
}

int hostset_match(hashtable *hostset, const char *name, size_t len)
{
    if (len == 0 || len > HOST_MAX)
        return 0;
    char key[HOST_MAX + 1];
    len = host_lowercase_copy(name, key, len);
    for (size_t i = 0; i < len; i++) {
        if (i > 0 && key[i] != '.')
            continue;
        if (hashlink *link = hashtable_lookup(hostset, key + i)) {
            hashtable_entry(link, &hostset_entry::link)->hits++;
            return 1;
        }
    }
    return 0;
}

size_t host_lowercase_copy(const char *name, char *buffer, size_t limit)
{
    size_t i = 0;
    for (; i < limit && name[i] != '\0'; i++) {
        char c = name[i];
        buffer[i] = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    }
    buffer[i] = '\0';
    return i;
}

int http_find_header(const char *data, size_t len, const char *name)
{
    if (len == 0)
        return -1;
    const char *nl = static_cast<const char *>(std::memchr(data, '\n', len));
    if (!nl)
        return -1;
    size_t first = static_cast<size_t>(nl - data);
    if (first && data[first - 1] == '\r')
        first--;
    static const char version[] = "HTTP/1.";
    if (first < 8 || std::memcmp(data + first - 8, version, 7) != 0 ||
        data[first - 1] < '0' || data[first - 1] > '2')
        return -1;
    size_t nlen = std::strlen(name);
    for (size_t pos = static_cast<size_t>(nl - data) + 1; pos < len;) {
        const char *line = data + pos;
        const char *end = static_cast<const char *>(std::memchr(line, '\n', len - pos));
        size_t llen = end ? static_cast<size_t>(end - line) : len - pos;
        if (llen == 0 || (llen == 1 && line[0] == '\r'))
            return -1;
        if (line[0] != ' ' && line[0] != '\t' && llen > nlen && line[nlen] == ':' &&
            strncasecmp(line, name, nlen) == 0) {
            size_t v = nlen + 1;
            while (v < llen && (line[v] == ' ' || line[v] == '\t'))
                v++;
            return static_cast<int>(pos + v);
        }
        pos += llen + 1;
    }
    return -1;
}

size_t http_strip_port(const char *value, size_t len)
{
    size_t digits = 0;
    while (digits < 5 && digits < len && value[len - 1 - digits] >= '0' &&
           value[len - 1 - digits] <= '9')
        digits++;
    if (digits >= 1 && digits < len && value[len - 1 - digits] == ':')
        return len - digits - 1;
    return len;
}

int tls_get_sni(const uint8_t *data, size_t len, char *buffer, size_t size)
{
    if (size)
        buffer[0] = '\0';
    if (len < 6)
        return -1;
    if (data[0] != 22 || data[1] != 3 || data[5] != 1)
        return 0;
    // The ClientHello never reaches past its record.
    size_t record_end = 5 + size_t{load16(data + 3)};
    size_t end = std::min(len, record_end);
    size_t off = 5 + 4; // record header, handshake header
    if (off + 2 > end)
        return -1;
    if (data[off] != 3)
        return 0;
    off += 2 + 32;
    if (off + 1 > end)
        return -1;
    off += 1 + data[off]; // session id
    if (off + 2 > end)
        return -1;
    off += 2 + load16(data + off); // cipher suites
    if (off + 1 > end)
        return -1;
    off += 1 + data[off]; // compression methods
    if (off == end)
        return end == record_end ? 0 : -1; // no extensions, or cut short
    if (off + 2 > end)
        return -1;
    size_t declared_end = off + 2 + load16(data + off);
    size_t ext_end = std::min(end, declared_end);
    off += 2;
    while (off + 4 <= ext_end) {
        uint16_t type = load16(data + off);
        size_t elen = load16(data + off + 2);
        off += 4;
        if (off + elen > ext_end)
            return -1;
        if (type != 0) {
            off += elen;
            continue;
        }
        // server_name: list length, then the first name: type, length, bytes.
        if (elen < 5 || data[off + 2] != 0)
            return elen < 5 ? -1 : 0;
        size_t nlen = load16(data + off + 3);
        if (5 + nlen > elen)
            return -1;
        if (size) {
            size_t n = std::min(nlen, size - 1);
            std::memcpy(buffer, data + off + 5, n);
            buffer[n] = '\0';
        }
        return static_cast<int>(nlen);
    }
    return off == declared_end ? 0 : -1;
}
