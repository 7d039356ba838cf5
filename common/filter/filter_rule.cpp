#include "common/filter/filter_rule.h"

#include <arpa/inet.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <type_traits>

namespace {

// The keyword list, in the order the record's tables refer to it.
enum kw : uint8_t {
    KW_PERMIT, KW_DENY, KW_PASS, KW_REWRITE, KW_DNAT, KW_SNAT, KW_NPTV6,
    KW_IN, KW_OUT, KW_FROM, KW_TO, KW_SRC, KW_DST, KW_IP, KW_ANY, KW_ASSIGNED,
    KW_CHECK_STATE, KW_KEEP_STATE, KW_FRAG, KW_IPOPTIONS, KW_SSRR, KW_LSRR, KW_RR, KW_TS,
    KW_TCPOPTIONS, KW_MSS, KW_WINDOW, KW_SACK, KW_CC, KW_ESTABLISHED, KW_SETUP,
    KW_TCPFLAGS, KW_FIN, KW_SYN, KW_RST, KW_PSH, KW_ACK, KW_URG,
    KW_ICMPTYPES, KW_ECHO, KW_REPLY, KW_DESTINATION, KW_UNREACHABLE, KW_SOURCE, KW_QUENCH,
    KW_REDIRECT, KW_REQUEST, KW_ROUTER, KW_ADVERTISEMENT, KW_SOLICITATION, KW_TIME_TO_LIVE,
    KW_EXCEEDED, KW_IP_UPPER, KW_HEADER, KW_BAD, KW_TIMESTAMP, KW_INFORMATION, KW_ADDRESS,
    KW_MASK, KW_TCPMSS, KW_ICMP6TYPES, KW_PACKET, KW_TOO, KW_BIG, KW_TIME, KW_PARAMETER,
    KW_PROBLEM, KW_MULTICAST, KW_LISTENER, KW_REPORT, KW_DONE, KW_V2, KW_NEIGHBOR,
    KW_MESSAGE, KW_RENUMBERING, KW_TARGET, KW_DNSOPCODES, KW_DNSFLAGS, KW_DNSQTYPE,
    KW_DNSQNAMES, KW_HTTPHOSTS, KW_TLSHOSTS, KW_QUERY, KW_IQUERY, KW_STATUS, KW_NOTIFY,
    KW_UPDATE, KW_QR, KW_AA, KW_TC, KW_RD, KW_RA, KW_AD, KW_CD, KW_NS, KW_CNAME, KW_SOA,
    KW_PTR, KW_MX, KW_TXT, KW_SIG, KW_AAAA, KW_SRV,
    KW_COUNT
};
static_assert(KW_COUNT == FILTER_KEYWORD_COUNT);

constexpr std::array<std::string_view, KW_COUNT> keywords = {
    "permit", "deny", "pass", "rewrite", "dnat", "snat", "nptv6", "in", "out", "from", "to",
    "src", "dst", "ip", "any", "assigned", "check-state", "keep-state", "frag", "ipoptions",
    "ssrr", "lsrr", "rr", "ts", "tcpoptions", "mss", "window", "sack", "cc", "established",
    "setup", "tcpflags", "fin", "syn", "rst", "psh", "ack", "urg", "icmptypes", "echo",
    "reply", "destination", "unreachable", "source", "quench", "redirect", "request",
    "router", "advertisement", "solicitation", "time-to-live", "exceeded", "IP", "header",
    "bad", "timestamp", "information", "address", "mask", "tcpmss", "icmp6types", "packet",
    "too", "big", "time", "parameter", "problem", "multicast", "listener", "report", "done",
    "v2", "neighbor", "message", "renumbering", "target", "dnsopcodes", "dnsflags",
    "dnsqtype", "dnsqnames", "httphosts", "tlshosts", "query", "iquery", "status", "notify",
    "update", "qr", "aa", "tc", "rd", "ra", "ad", "cd", "ns", "cname", "soa", "ptr", "mx",
    "txt", "sig", "aaaa", "srv",
};

constexpr auto keywords_sorted = [] {
    std::array<uint8_t, KW_COUNT> order{};
    for (unsigned i = 0; i < KW_COUNT; i++)
        order[i] = static_cast<uint8_t>(i);
    std::sort(order.begin(), order.end(),
              [](uint8_t a, uint8_t b) { return keywords[a] < keywords[b]; });
    return order;
}();

constexpr const char *action_names[] = {
    "permit", "deny", "pass", "rewrite", "dnat", "snat", "nptv6", "[dnat-rev]", "[snat-rev]",
};

// A name made of one to four keywords, and the value it stands for.
struct type_name {
    uint8_t value;
    uint8_t words[4];
    uint8_t nwords;
};

constexpr type_name icmp_names[] = {
    {0, {KW_ECHO, KW_REPLY}, 2},
    {3, {KW_DESTINATION, KW_UNREACHABLE}, 2},
    {4, {KW_SOURCE, KW_QUENCH}, 2},
    {5, {KW_REDIRECT}, 1},
    {8, {KW_ECHO, KW_REQUEST}, 2},
    {9, {KW_ROUTER, KW_ADVERTISEMENT}, 2},
    {10, {KW_ROUTER, KW_SOLICITATION}, 2},
    {11, {KW_TIME_TO_LIVE, KW_EXCEEDED}, 2},
    {12, {KW_IP_UPPER, KW_HEADER, KW_BAD}, 3},
    {13, {KW_TIMESTAMP, KW_REQUEST}, 2},
    {14, {KW_TIMESTAMP, KW_REPLY}, 2},
    {15, {KW_INFORMATION, KW_REQUEST}, 2},
    {16, {KW_INFORMATION, KW_REPLY}, 2},
    {17, {KW_ADDRESS, KW_MASK, KW_REQUEST}, 3},
    {18, {KW_ADDRESS, KW_MASK, KW_REPLY}, 3},
};

constexpr type_name icmp6_names[] = {
    {1, {KW_DESTINATION, KW_UNREACHABLE}, 2},
    {2, {KW_PACKET, KW_TOO, KW_BIG}, 3},
    {3, {KW_TIME, KW_EXCEEDED}, 2},
    {4, {KW_PARAMETER, KW_PROBLEM}, 2},
    {128, {KW_ECHO, KW_REQUEST}, 2},
    {129, {KW_ECHO, KW_REPLY}, 2},
    {130, {KW_MULTICAST, KW_LISTENER, KW_QUERY}, 3},
    {131, {KW_MULTICAST, KW_LISTENER, KW_REPORT}, 3},
    {132, {KW_MULTICAST, KW_LISTENER, KW_DONE}, 3},
    {133, {KW_ROUTER, KW_SOLICITATION}, 2},
    {134, {KW_ROUTER, KW_ADVERTISEMENT}, 2},
    {135, {KW_NEIGHBOR, KW_SOLICITATION}, 2},
    {136, {KW_NEIGHBOR, KW_ADVERTISEMENT}, 2},
    {137, {KW_REDIRECT, KW_MESSAGE}, 2},
    {138, {KW_ROUTER, KW_RENUMBERING}, 2},
    {143, {KW_MULTICAST, KW_LISTENER, KW_REPORT, KW_V2}, 4},
};

constexpr type_name opcode_names[] = {
    {0, {KW_QUERY}, 1}, {1, {KW_IQUERY}, 1}, {2, {KW_STATUS}, 1},
    {4, {KW_NOTIFY}, 1}, {5, {KW_UPDATE}, 1},
};

struct flag_name {
    uint8_t keyword;
    uint16_t bit;
};

constexpr flag_name ipoption_names[] = {
    {KW_SSRR, FILTER_IPOPT_SSRR}, {KW_LSRR, FILTER_IPOPT_LSRR},
    {KW_RR, FILTER_IPOPT_RR}, {KW_TS, FILTER_IPOPT_TS},
};
constexpr flag_name tcpoption_names[] = {
    {KW_MSS, FILTER_TCPOPT_MSS}, {KW_WINDOW, FILTER_TCPOPT_WINDOW},
    {KW_SACK, FILTER_TCPOPT_SACK}, {KW_TS, FILTER_TCPOPT_TS}, {KW_CC, FILTER_TCPOPT_CC},
};
constexpr flag_name tcpflag_names[] = {
    {KW_FIN, FILTER_TCP_FIN}, {KW_SYN, FILTER_TCP_SYN}, {KW_RST, FILTER_TCP_RST},
    {KW_PSH, FILTER_TCP_PSH}, {KW_ACK, FILTER_TCP_ACK}, {KW_URG, FILTER_TCP_URG},
};
constexpr flag_name dnsflag_names[] = {
    {KW_QR, FILTER_DNS_QR}, {KW_AA, FILTER_DNS_AA}, {KW_TC, FILTER_DNS_TC},
    {KW_RD, FILTER_DNS_RD}, {KW_RA, FILTER_DNS_RA}, {KW_AD, FILTER_DNS_AD},
    {KW_CD, FILTER_DNS_CD},
};

struct qtype_name {
    uint8_t keyword;
    uint16_t type;
};
constexpr qtype_name qtype_names[] = {
    {KW_NS, 2}, {KW_CNAME, 5}, {KW_SOA, 6}, {KW_PTR, 12}, {KW_MX, 15},
    {KW_TXT, 16}, {KW_SIG, 24}, {KW_AAAA, 28}, {KW_SRV, 33},
};
constexpr uint16_t QTYPE_A = 1, QTYPE_ANY = 255;

// A set of types that fits 32 bits: how a type number maps to its bit.
struct type_set {
    const type_name *names;
    size_t nnames;
    int (*bit_of)(uint32_t type); // -1: not a type of the set
    uint32_t (*type_of)(unsigned bit);
    unsigned nbits;
};

int icmp_bit(uint32_t t) { return t < 32 ? static_cast<int>(t) : -1; }
uint32_t icmp_type(unsigned bit) { return bit; }
int icmp6_bit(uint32_t t)
{
    if (t < 16 || (t >= 128 && t < 144))
        return static_cast<int>(((t / 8) & 16) | (t & 15));
    return -1;
}
uint32_t icmp6_type(unsigned bit) { return bit < 16 ? bit : bit - 16 + 128; }
int opcode_bit(uint32_t t) { return t < 8 ? static_cast<int>(t) : -1; }

constexpr type_set icmp_set = {icmp_names, std::size(icmp_names), icmp_bit, icmp_type, 32};
constexpr type_set icmp6_set = {icmp6_names, std::size(icmp6_names), icmp6_bit, icmp6_type, 32};
constexpr type_set opcode_set = {opcode_names, std::size(opcode_names), opcode_bit, icmp_type, 8};

constexpr size_t RUN_MAX = 46; // longest text an address or number can be

bool in_set(char c, const char *set) { return c != '\0' && std::strchr(set, c) != nullptr; }

size_t run_outside(const char *p, const char *set)
{
    size_t n = 0;
    while (p[n] != '\0' && !in_set(p[n], set))
        n++;
    return n;
}

// strtoul with base 0, but the whole run must be the number.
bool parse_number(const char *s, size_t n, filter_token *token)
{
    unsigned base = 10;
    size_t i = 0;
    if (n > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        base = 16;
        i = 2;
    } else if (n > 1 && s[0] == '0') {
        base = 8;
        i = 1;
    }
    uint64_t v = 0;
    for (; i < n; i++) {
        unsigned d;
        char c = s[i];
        if (c >= '0' && c <= '9')
            d = static_cast<unsigned>(c - '0');
        else if (c >= 'a' && c <= 'f')
            d = static_cast<unsigned>(c - 'a' + 10);
        else if (c >= 'A' && c <= 'F')
            d = static_cast<unsigned>(c - 'A' + 10);
        else
            return false;
        if (d >= base)
            return false;
        v = v * base + d;
        if (v > 0xFFFFFFFFu) {
            token->overflow = true;
            v = 0xFFFFFFFFu;
        }
    }
    token->number = static_cast<uint32_t>(v);
    return true;
}

struct parser {
    filter_rule_lexer lexer;
    filter_token tok;
    filter_rule *rule;

    void next(bool address_first = false) { filter_rule_next_token(&lexer, &tok, address_first); }
    bool is_kw(unsigned k) const
    {
        return tok.type == filter_token_type::keyword && tok.keyword == k;
    }
    bool is_char(char c) const
    {
        return tok.type == filter_token_type::character && tok.character == c;
    }
    // Looks at the token after the current one without taking it.
    filter_token peek(bool address_first = false) const
    {
        filter_rule_lexer copy = lexer;
        filter_token t;
        filter_rule_next_token(&copy, &t, address_first);
        return t;
    }

    // Current token: first word of a name or a number. Leaves the token after it current.
    bool type_value(const type_set &set, uint32_t *type)
    {
        if (tok.type == filter_token_type::number) {
            if (tok.overflow || set.bit_of(tok.number) < 0)
                return false;
            *type = tok.number;
            next();
            return true;
        }
        if (tok.type != filter_token_type::keyword)
            return false;
        // Longest name whose words follow here.
        const type_name *best = nullptr;
        filter_rule_lexer best_end{};
        for (size_t i = 0; i < set.nnames; i++) {
            const type_name &name = set.names[i];
            if (name.words[0] != tok.keyword || (best && best->nwords >= name.nwords))
                continue;
            filter_rule_lexer l = lexer;
            filter_token t;
            unsigned w = 1;
            for (; w < name.nwords; w++) {
                filter_rule_next_token(&l, &t, false);
                if (t.type != filter_token_type::keyword || t.keyword != name.words[w])
                    break;
            }
            if (w == name.nwords) {
                best = &name;
                best_end = l;
            }
        }
        if (!best)
            return false;
        lexer = best_end;
        *type = best->value;
        next();
        return true;
    }

    // item (',' item)*, item = end ['-' end]
    bool type_list(const type_set &set, uint32_t *bits)
    {
        next();
        for (;;) {
            uint32_t first, last;
            if (!type_value(set, &first))
                return false;
            last = first;
            if (is_char('-')) {
                next();
                if (!type_value(set, &last) || last < first)
                    return false;
            }
            for (uint32_t t = first; t <= last; t++) {
                int bit = set.bit_of(t);
                if (bit >= 0)
                    *bits |= 1u << bit;
            }
            if (!is_char(','))
                return true;
            next();
        }
    }

    // [!]name (',' [!]name)*
    template <size_t N>
    bool flag_list(const flag_name (&names)[N], auto *set, auto *neg)
    {
        next();
        for (;;) {
            bool negated = false;
            if (is_char('!')) {
                negated = true;
                next();
            }
            if (tok.type != filter_token_type::keyword)
                return false;
            const flag_name *found = nullptr;
            for (const flag_name &f : names)
                if (f.keyword == tok.keyword)
                    found = &f;
            if (!found)
                return false;
            if (negated)
                *neg = static_cast<std::remove_reference_t<decltype(*neg)>>(*neg | found->bit);
            else
                *set = static_cast<std::remove_reference_t<decltype(*set)>>(*set | found->bit);
            next();
            if (!is_char(','))
                return true;
            next();
        }
    }

    // Current token is the first number; ports accumulate into the block.
    bool port_list(filter_addr *a)
    {
        while (tok.type == filter_token_type::number) {
            if (tok.overflow || tok.number > 0xFFFF || a->nports >= FILTER_MAX_PORTS)
                return false;
            uint32_t first = tok.number, last = first;
            next();
            if (is_char('-')) {
                next();
                if (tok.type != filter_token_type::number || tok.overflow ||
                    tok.number > 0xFFFF || tok.number < first)
                    return false;
                last = tok.number;
                next();
            }
            a->ports[a->nports++] = {static_cast<uint16_t>(first), static_cast<uint16_t>(last)};
            if (!is_char(','))
                return true;
            next();
            if (tok.type != filter_token_type::number)
                return false;
        }
        return true;
    }

    // Reads the token in address position; leaves the token after the address current.
    bool address(uint8_t *family, uint8_t *addr, uint8_t *prefix, bool v4_allowed)
    {
        next(true);
        if (is_kw(KW_ANY) || is_kw(KW_ASSIGNED)) {
            // A later address replaces an earlier one whole.
            *family = is_kw(KW_ANY) ? FILTER_AF_ANY : FILTER_AF_ASSIGNED;
            std::memset(addr, 0, 16);
            *prefix = 0;
            next();
            return true;
        }
        unsigned max;
        if (tok.type == filter_token_type::ipv4 && v4_allowed) {
            *family = FILTER_AF_INET;
            std::memset(addr, 0, 16);
            std::memcpy(addr, tok.addr, 4);
            max = 32;
        } else if (tok.type == filter_token_type::ipv6) {
            *family = FILTER_AF_INET6;
            std::memcpy(addr, tok.addr, 16);
            max = 128;
        } else {
            return false;
        }
        *prefix = static_cast<uint8_t>(max);
        next();
        if (!is_char('/'))
            return true;
        next();
        if (tok.type != filter_token_type::number)
            return false;
        if (tok.overflow || tok.number > max) {
            if (max == 128) // IPv4 takes an overlong prefix as a host
                return false;
        } else {
            *prefix = static_cast<uint8_t>(tok.number);
        }
        next();
        return true;
    }

    bool endpoint(filter_addr *a, uint8_t negate_bit)
    {
        if (peek(true).type == filter_token_type::character && peek(true).character == '!') {
            next(true);
            rule->action_flags |= negate_bit;
        }
        return address(&a->family, a->addr, &a->prefix, true) && port_list(a);
    }

    bool hostset_option(uint8_t *set, uint8_t *neg)
    {
        next();
        bool negated = is_char('!');
        if (negated)
            next();
        if (tok.type != filter_token_type::number || tok.overflow)
            return false;
        rule->hostset = tok.number;
        // One test of its kind per rule: the last one written counts.
        *set = negated ? 0 : 1;
        *neg = negated ? 1 : 0;
        next();
        return true;
    }

    bool dns_bit_option(uint16_t bit, bool negated)
    {
        rule->ext |= FILTER_EXT_DNS;
        rule->dns_set = static_cast<uint16_t>(negated ? rule->dns_set & ~bit : rule->dns_set | bit);
        rule->dns_neg = static_cast<uint16_t>(negated ? rule->dns_neg | bit : rule->dns_neg & ~bit);
        return true;
    }

    bool dnsqtype()
    {
        next();
        bool negated = is_char('!');
        if (negated)
            next();
        if (tok.type == filter_token_type::number) {
            if (tok.overflow || tok.number > 0xFFFF)
                return false;
            rule->dnsqtype = static_cast<uint16_t>(tok.number);
        } else if (is_char('a')) {
            rule->dnsqtype = QTYPE_A;
        } else if (is_char('*')) {
            rule->dnsqtype = QTYPE_ANY;
        } else {
            const qtype_name *found = nullptr;
            for (const qtype_name &q : qtype_names)
                if (is_kw(q.keyword))
                    found = &q;
            if (!found)
                return false;
            rule->dnsqtype = found->type;
        }
        next();
        return dns_bit_option(FILTER_DNS_QTYPE, negated);
    }

    bool state(uint16_t flag)
    {
        rule->ext |= flag;
        next();
        if (tok.type != filter_token_type::number)
            return true;
        if (tok.overflow)
            return false;
        rule->state_value = tok.number;
        rule->state_mask = 0xFFFFFFFFu;
        next();
        if (!is_char('/'))
            return true;
        next();
        if (tok.type != filter_token_type::number || tok.overflow)
            return false;
        rule->state_mask = tok.number;
        next();
        return true;
    }

    bool rewrite_option(uint16_t flag)
    {
        rule->ext |= flag;
        filter_addr *a = &rule->rewrite;
        return address(&a->family, a->addr, &a->prefix, true) && port_list(a);
    }

    bool option()
    {
        if (tok.type == filter_token_type::character && tok.character == '!') {
            next();
            if (!is_kw(KW_CHECK_STATE))
                return false;
            rule->ext |= FILTER_EXT_NOT_STATE;
            return state(FILTER_EXT_CHECK_STATE);
        }
        if (tok.type != filter_token_type::keyword)
            return false;
        switch (tok.keyword) {
        case KW_FRAG:
            rule->options |= FILTER_OPT_FRAG;
            next();
            return true;
        case KW_ESTABLISHED:
            rule->options |= FILTER_OPT_ESTABLISHED;
            next();
            return true;
        case KW_SETUP:
            rule->options |= FILTER_OPT_SETUP;
            next();
            return true;
        case KW_IPOPTIONS:
            rule->options |= FILTER_OPT_IPOPTIONS;
            return flag_list(ipoption_names, &rule->ipoptions.set, &rule->ipoptions.neg);
        case KW_TCPOPTIONS:
            rule->options |= FILTER_OPT_TCPOPTIONS;
            return flag_list(tcpoption_names, &rule->tcpoptions.set, &rule->tcpoptions.neg);
        case KW_TCPFLAGS:
            rule->options |= FILTER_OPT_TCPFLAGS;
            return flag_list(tcpflag_names, &rule->tcpflags.set, &rule->tcpflags.neg);
        case KW_ICMPTYPES:
            rule->options |= FILTER_OPT_ICMPTYPES;
            return type_list(icmp_set, &rule->icmptypes);
        case KW_ICMP6TYPES:
            rule->ext |= FILTER_EXT_ICMP6TYPES;
            return type_list(icmp6_set, &rule->icmp6types);
        case KW_DNSOPCODES: {
            rule->ext |= FILTER_EXT_DNSOPCODES;
            uint32_t bits = rule->dnsopcodes;
            bool ok = type_list(opcode_set, &bits);
            rule->dnsopcodes = static_cast<uint8_t>(bits);
            return ok;
        }
        case KW_TARGET:
            rule->ext |= FILTER_EXT_TARGET;
            if (peek(true).type == filter_token_type::character && peek(true).character == '!') {
                next(true);
                rule->action_flags |= FILTER_NOT_TARGET;
            }
            return address(&rule->target_family, rule->target, &rule->target_prefix, false);
        case KW_DNSFLAGS:
            rule->ext |= FILTER_EXT_DNS;
            return flag_list(dnsflag_names, &rule->dns_set, &rule->dns_neg);
        case KW_DNSQTYPE:
            return dnsqtype();
        case KW_DNSQNAMES: {
            uint8_t set, neg;
            if (!hostset_option(&set, &neg))
                return false;
            return dns_bit_option(FILTER_DNS_QNAMES, neg != 0);
        }
        case KW_HTTPHOSTS:
            rule->ext |= FILTER_EXT_HTTPHOSTS;
            return hostset_option(&rule->httphosts.set, &rule->httphosts.neg);
        case KW_TLSHOSTS:
            rule->ext |= FILTER_EXT_TLSHOSTS;
            return hostset_option(&rule->tlshosts.set, &rule->tlshosts.neg);
        case KW_KEEP_STATE:
            return state(FILTER_EXT_KEEP_STATE);
        case KW_CHECK_STATE:
            return state(FILTER_EXT_CHECK_STATE);
        case KW_TCPMSS:
            next();
            if (tok.type != filter_token_type::number || tok.overflow || tok.number > 0xFFFF)
                return false;
            rule->ext |= FILTER_EXT_TCPMSS;
            rule->tcpmss = static_cast<uint16_t>(tok.number);
            next();
            return true;
        case KW_DST:
            return rewrite_option(FILTER_EXT_REWRITE_DST);
        case KW_SRC:
            return rewrite_option(FILTER_EXT_REWRITE_SRC);
        default:
            return false;
        }
    }

    bool rule_text()
    {
        next();
        if (tok.type != filter_token_type::keyword || tok.keyword > KW_NPTV6)
            return false;
        rule->action_flags = static_cast<uint8_t>(tok.keyword << 4);
        next();
        if (is_kw(KW_OUT))
            rule->action_flags |= FILTER_DIR_OUT;
        else if (!is_kw(KW_IN))
            return false;
        next();
        if (tok.type == filter_token_type::number) {
            if (tok.overflow || tok.number > 255)
                return false;
            rule->protocol = static_cast<uint8_t>(tok.number);
        } else if (!is_kw(KW_IP)) {
            return false;
        }
        next();
        if (!is_kw(KW_FROM) || !endpoint(&rule->src, FILTER_NOT_SRC))
            return false;
        if (!is_kw(KW_TO) || !endpoint(&rule->dst, FILTER_NOT_DST))
            return false;
        while (tok.type != filter_token_type::end)
            if (!option())
                return false;
        return true;
    }
};

bool is_ip(uint8_t family) { return family == FILTER_AF_INET || family == FILTER_AF_INET6; }

int validate(const filter_rule *r, int lenient)
{
    unsigned action = filter_rule_action(r);
    bool v4 = false, v6 = false;
    bool rewrites = r->ext & (FILTER_EXT_REWRITE_DST | FILTER_EXT_REWRITE_SRC);
    for (const filter_addr *a : {&r->src, &r->dst, rewrites ? &r->rewrite : nullptr}) {
        if (!a)
            continue;
        v4 |= a->family == FILTER_AF_INET;
        v6 |= a->family == FILTER_AF_INET6;
    }
    if (v4 && v6)
        return -1;
    if ((r->ext & FILTER_EXT_KEEP_STATE) && (r->ext & FILTER_EXT_CHECK_STATE))
        return -1;
    if (action == FILTER_ACTION_REWRITE &&
        !(r->ext & (FILTER_EXT_TCPMSS | FILTER_EXT_REWRITE_DST | FILTER_EXT_REWRITE_SRC)))
        return -1;
    if ((action == FILTER_ACTION_DNAT || action == FILTER_ACTION_SNAT) &&
        !(rewrites && is_ip(r->rewrite.family)))
        return -1;
    if (action == FILTER_ACTION_NPTV6) {
        const filter_addr &w = r->rewrite;
        if (!rewrites || w.family != FILTER_AF_INET6 || w.prefix < 24 || w.prefix > 64 ||
            w.nports != 0)
            return -1;
        if ((r->ext & FILTER_EXT_REWRITE_SRC) &&
            (r->src.family != FILTER_AF_INET6 || r->src.prefix < w.prefix))
            return -1;
        if ((r->ext & FILTER_EXT_REWRITE_DST) &&
            (r->dst.family != FILTER_AF_INET6 || r->dst.prefix < w.prefix))
            return -1;
    }
    if (!lenient && (r->ext != 0 || action > FILTER_ACTION_DENY))
        return -1;
    return 0;
}

// Printing: every element is followed by one space; the last one goes at the end.
struct text_out {
    std::array<char, FILTER_RULE_TEXT_MAX> buf;
    size_t len = 0;

    void raw(std::string_view s)
    {
        size_t n = std::min(s.size(), buf.size() - 1 - len);
        std::memcpy(buf.data() + len, s.data(), n);
        len += n;
    }
    void fmt(const char *f, unsigned long v)
    {
        char tmp[24];
        int n = std::snprintf(tmp, sizeof(tmp), f, v);
        raw(std::string_view(tmp, static_cast<size_t>(n)));
    }
    void word(std::string_view s)
    {
        raw(s);
        raw(" ");
    }
    void sep() { raw(" "); }
};

void print_type(text_out *out, const type_set &set, uint32_t type)
{
    for (size_t i = 0; i < set.nnames; i++) {
        const type_name &n = set.names[i];
        if (n.value != type)
            continue;
        for (unsigned w = 0; w < n.nwords; w++) {
            if (w)
                out->raw(" ");
            out->raw(keywords[n.words[w]]);
        }
        return;
    }
    out->fmt("%lu", type);
}

// Runs of adjacent types print as "first-last"; adjacency is by type number,
// so a run never spans the gap between ICMPv6 types 15 and 128.
void filter_rule_print_names(text_out *out, const type_set &set, uint32_t bits)
{
    bool first_item = true;
    for (unsigned b = 0; b < set.nbits; b++) {
        if (!(bits & (1u << b)))
            continue;
        unsigned e = b;
        while (e + 1 < set.nbits && (bits & (1u << (e + 1))) &&
               set.type_of(e + 1) == set.type_of(e) + 1)
            e++;
        if (!first_item)
            out->raw(",");
        first_item = false;
        print_type(out, set, set.type_of(b));
        if (e > b) {
            out->raw("-");
            print_type(out, set, set.type_of(e));
        }
        b = e;
    }
    out->sep();
}

template <size_t N>
void filter_rule_print_flags(text_out *out, const char *option, const flag_name (&names)[N],
                             unsigned set, unsigned neg)
{
    if (!((set | neg) & 0xFFFF))
        return;
    out->raw(option);
    out->raw(" ");
    bool first_item = true;
    for (const flag_name &f : names) {
        for (bool negated : {false, true}) {
            if (!((negated ? neg : set) & f.bit))
                continue;
            if (!first_item)
                out->raw(",");
            first_item = false;
            if (negated)
                out->raw("!");
            out->raw(keywords[f.keyword]);
        }
    }
    out->sep();
}

void filter_rule_print_ports(text_out *out, const filter_addr *a)
{
    for (unsigned i = 0; i < a->nports && i < FILTER_MAX_PORTS; i++) {
        if (i)
            out->raw(",");
        out->fmt("%lu", a->ports[i].first);
        if (a->ports[i].last != a->ports[i].first)
            out->fmt("-%lu", a->ports[i].last);
    }
    if (a->nports)
        out->sep();
}

void filter_rule_print_addr(text_out *out, uint8_t family, const uint8_t *addr, uint8_t prefix,
                            bool negated)
{
    if (negated)
        out->raw("!");
    char text[INET6_ADDRSTRLEN];
    switch (family) {
    case FILTER_AF_ANY:
        out->raw("any");
        break;
    case FILTER_AF_ASSIGNED:
        out->raw("assigned");
        break;
    case FILTER_AF_INET:
    case FILTER_AF_INET6: {
        int af = family == FILTER_AF_INET ? AF_INET : AF_INET6;
        inet_ntop(af, addr, text, sizeof(text));
        out->raw(text);
        if (prefix != (family == FILTER_AF_INET ? 32 : 128))
            out->fmt("/%lu", prefix);
        break;
    }
    default:
        out->fmt("[family %lu]", family);
        break;
    }
    out->sep();
}

} // namespace

void filter_rule_lexer_init(filter_rule_lexer *lexer, const char *text)
{
    lexer->text = text;
    lexer->pos = text;
}

int filter_rule_keyword(const char *word, size_t length)
{
    if (length < 2 || length > 13)
        return -1;
    std::string_view w(word, length);
    auto it = std::lower_bound(keywords_sorted.begin(), keywords_sorted.end(), w,
                               [](uint8_t k, std::string_view v) { return keywords[k] < v; });
    if (it == keywords_sorted.end() || keywords[*it] != w)
        return -1;
    return *it;
}

const char *filter_rule_keyword_name(unsigned index)
{
    return index < KW_COUNT ? keywords[index].data() : nullptr;
}

void filter_rule_next_token(filter_rule_lexer *lexer, filter_token *token, bool address_first)
{
    *token = {};
    const char *p = lexer->pos;
    while (*p == ' ' || *p == '\t')
        p++;
    if (*p == '\0') {
        token->type = filter_token_type::end;
        lexer->pos = p;
        return;
    }
    char buf[RUN_MAX + 1];
    size_t run = run_outside(p, " \t/,!-");
    bool fits = run > 0 && run <= RUN_MAX;
    if (fits) {
        std::memcpy(buf, p, run);
        buf[run] = '\0';
    }
    // In an address position "ad::1" is an address, not the keyword "ad".
    if (address_first && fits && inet_pton(AF_INET6, buf, token->addr) == 1) {
        token->type = filter_token_type::ipv6;
        lexer->pos = p + run;
        return;
    }
    for (const char *set : {" \t/.,!:", " \t/.,!:-"}) {
        size_t n = run_outside(p, set);
        int k = filter_rule_keyword(p, n);
        if (k >= 0) {
            token->type = filter_token_type::keyword;
            token->keyword = static_cast<uint8_t>(k);
            lexer->pos = p + n;
            return;
        }
    }
    if (run == 0) {
        token->type = filter_token_type::character;
        token->character = *p;
        lexer->pos = p + 1;
        return;
    }
    lexer->pos = p + run;
    token->type = filter_token_type::invalid;
    if (!fits)
        return;
    if (inet_pton(AF_INET, buf, token->addr) == 1)
        token->type = filter_token_type::ipv4;
    else if (inet_pton(AF_INET6, buf, token->addr) == 1)
        token->type = filter_token_type::ipv6;
    else if (buf[0] >= '0' && buf[0] <= '9') {
        if (parse_number(buf, run, token))
            token->type = filter_token_type::number;
    } else if (run == 1) {
        token->type = filter_token_type::character;
        token->character = *p;
    }
}

int filter_rule_parse_tokens(filter_rule *rule, const char *text)
{
    parser ps{};
    ps.rule = rule;
    filter_rule_lexer_init(&ps.lexer, text);
    return ps.rule_text() ? 0 : -1;
}

int filter_rule_parse(filter_rule *rule, const char *text, int lenient)
{
    std::memset(rule, 0, sizeof(*rule));
    if (filter_rule_parse_tokens(rule, text) < 0)
        return -1;
    return validate(rule, lenient);
}

char *filter_rule_print(const filter_rule *r, char *buffer, size_t size)
{
    text_out out;
    unsigned action = filter_rule_action(r);
    if (action < std::size(action_names))
        out.word(action_names[action]);
    else
        out.fmt("[action %lu] ", action);
    out.word(r->action_flags & FILTER_DIR_OUT ? "out" : "in");
    if (r->protocol)
        out.fmt("%lu ", r->protocol);
    else
        out.word("ip");

    out.word("from");
    filter_rule_print_addr(&out, r->src.family, r->src.addr, r->src.prefix,
                           r->action_flags & FILTER_NOT_SRC);
    filter_rule_print_ports(&out, &r->src);
    out.word("to");
    filter_rule_print_addr(&out, r->dst.family, r->dst.addr, r->dst.prefix,
                           r->action_flags & FILTER_NOT_DST);
    filter_rule_print_ports(&out, &r->dst);

    if (r->options & FILTER_OPT_FRAG)
        out.word("frag");
    if (r->options & FILTER_OPT_ESTABLISHED)
        out.word("established");
    if (r->options & FILTER_OPT_SETUP)
        out.word("setup");
    if (r->options & FILTER_OPT_IPOPTIONS)
        filter_rule_print_flags(&out, "ipoptions", ipoption_names, r->ipoptions.set,
                                r->ipoptions.neg);
    if (r->options & FILTER_OPT_TCPOPTIONS)
        filter_rule_print_flags(&out, "tcpoptions", tcpoption_names, r->tcpoptions.set,
                                r->tcpoptions.neg);
    if (r->options & FILTER_OPT_TCPFLAGS)
        filter_rule_print_flags(&out, "tcpflags", tcpflag_names, r->tcpflags.set,
                                r->tcpflags.neg);

    if ((r->options & FILTER_OPT_ICMPTYPES) && r->icmptypes) {
        out.word("icmptypes");
        filter_rule_print_names(&out, icmp_set, r->icmptypes);
    }
    if ((r->ext & FILTER_EXT_ICMP6TYPES) && r->icmp6types) {
        out.word("icmp6types");
        filter_rule_print_names(&out, icmp6_set, r->icmp6types);
    }
    if (r->ext & FILTER_EXT_TARGET) {
        out.word("target");
        filter_rule_print_addr(&out, r->target_family, r->target, r->target_prefix,
                               r->action_flags & FILTER_NOT_TARGET);
    }
    if ((r->ext & FILTER_EXT_DNSOPCODES) && r->dnsopcodes) {
        out.word("dnsopcodes");
        filter_rule_print_names(&out, opcode_set, r->dnsopcodes);
    }

    if (r->ext & FILTER_EXT_DNS) {
        filter_rule_print_flags(&out, "dnsflags", dnsflag_names, r->dns_set & FILTER_DNS_FLAGS,
                                r->dns_neg & FILTER_DNS_FLAGS);
        if ((r->dns_set | r->dns_neg) & FILTER_DNS_QTYPE) {
            out.word("dnsqtype");
            if (r->dns_neg & FILTER_DNS_QTYPE)
                out.raw("!");
            const char *name = nullptr;
            for (const qtype_name &q : qtype_names)
                if (q.type == r->dnsqtype)
                    name = keywords[q.keyword].data();
            if (r->dnsqtype == QTYPE_A)
                name = "a";
            else if (r->dnsqtype == QTYPE_ANY)
                name = "*";
            if (name)
                out.word(name);
            else
                out.fmt("%lu ", r->dnsqtype);
        }
        if ((r->dns_set | r->dns_neg) & FILTER_DNS_QNAMES) {
            out.word("dnsqnames");
            if (r->dns_neg & FILTER_DNS_QNAMES)
                out.raw("!");
            out.fmt("%lu ", r->hostset);
        }
    }
    struct {
        uint16_t flag;
        const char *name;
        filter_flag_bytes bytes;
    } const hosts[] = {{FILTER_EXT_HTTPHOSTS, "httphosts", r->httphosts},
                       {FILTER_EXT_TLSHOSTS, "tlshosts", r->tlshosts}};
    for (const auto &h : hosts) {
        if (!(r->ext & h.flag))
            continue;
        out.word(h.name);
        if (h.bytes.neg && !h.bytes.set)
            out.raw("!");
        out.fmt("%lu ", r->hostset);
    }

    if (r->ext & (FILTER_EXT_KEEP_STATE | FILTER_EXT_CHECK_STATE)) {
        if (r->ext & FILTER_EXT_NOT_STATE)
            out.raw("!");
        if (r->ext & FILTER_EXT_KEEP_STATE)
            out.word("keep-state");
        if (r->ext & FILTER_EXT_CHECK_STATE)
            out.word("check-state");
        out.fmt("0x%lx", r->state_value);
        if (r->state_mask != 0xFFFFFFFFu)
            out.fmt("/0x%lx", r->state_mask);
        out.sep();
    }

    if (r->ext & FILTER_EXT_TCPMSS)
        out.fmt("tcpmss %lu ", r->tcpmss);
    // "dst A P src B" would not read back; both flags print as "dst A P src A",
    // which keeps the last address and both port lists.
    bool dst = r->ext & FILTER_EXT_REWRITE_DST, src = r->ext & FILTER_EXT_REWRITE_SRC;
    if (dst || src) {
        out.word(dst ? "dst" : "src");
        filter_rule_print_addr(&out, r->rewrite.family, r->rewrite.addr, r->rewrite.prefix, false);
        filter_rule_print_ports(&out, &r->rewrite);
        if (dst && src) {
            out.word("src");
            filter_rule_print_addr(&out, r->rewrite.family, r->rewrite.addr, r->rewrite.prefix,
                                   false);
        }
    }

    if (out.len && out.buf[out.len - 1] == ' ')
        out.len--;
    if (size) {
        size_t n = std::min(out.len, size - 1);
        std::memcpy(buffer, out.buf.data(), n);
        buffer[n] = '\0';
    }
    return buffer;
}
