// Filter rules: the fixed 528-byte record, its one-line text form (parser and
// printer), and validation. The record travels unchanged in management and
// data-plane messages, so its layout is pinned below.
#pragma once

#include <cstddef>
#include <cstdint>

enum : uint8_t {
    FILTER_ACTION_PERMIT = 0,
    FILTER_ACTION_DENY = 1,
    FILTER_ACTION_PASS = 2,
    FILTER_ACTION_REWRITE = 3,
    FILTER_ACTION_DNAT = 4,
    FILTER_ACTION_SNAT = 5,
    FILTER_ACTION_NPTV6 = 6,
    FILTER_ACTION_DNAT_REV = 7, // printed only
    FILTER_ACTION_SNAT_REV = 8, // printed only
};

// Low bits of the action byte.
enum : uint8_t {
    FILTER_DIR_OUT = 0x08,
    FILTER_NOT_SRC = 0x04,
    FILTER_NOT_DST = 0x02,
    FILTER_NOT_TARGET = 0x01,
};

// Options byte.
enum : uint8_t {
    FILTER_OPT_FRAG = 0x01,
    FILTER_OPT_ESTABLISHED = 0x02,
    FILTER_OPT_SETUP = 0x04,
    FILTER_OPT_IPOPTIONS = 0x08,
    FILTER_OPT_TCPOPTIONS = 0x10,
    FILTER_OPT_TCPFLAGS = 0x20,
    FILTER_OPT_ICMPTYPES = 0x40,
};

// Extended options word.
enum : uint16_t {
    FILTER_EXT_ICMP6TYPES = 0x0001,
    FILTER_EXT_TARGET = 0x0002,
    FILTER_EXT_DNS = 0x0004, // dnsflags, dnsqtype or dnsqnames
    FILTER_EXT_DNSOPCODES = 0x0008,
    FILTER_EXT_HTTPHOSTS = 0x0010,
    FILTER_EXT_TLSHOSTS = 0x0020,
    FILTER_EXT_KEEP_STATE = 0x0040,
    FILTER_EXT_CHECK_STATE = 0x0080,
    FILTER_EXT_NOT_STATE = 0x0100,
    FILTER_EXT_TCPMSS = 0x0200,
    FILTER_EXT_REWRITE_DST = 0x0400,
    FILTER_EXT_REWRITE_SRC = 0x0800,
};

// Address families of an address block.
enum : uint8_t {
    FILTER_AF_ANY = 0,
    FILTER_AF_ASSIGNED = 1, // the station's own address
    FILTER_AF_INET = 2,
    FILTER_AF_INET6 = 10,
};

// The rule's own DNS bits (set and negated words).
enum : uint16_t {
    FILTER_DNS_QR = 0x0001,
    FILTER_DNS_AA = 0x0020,
    FILTER_DNS_TC = 0x0040,
    FILTER_DNS_RD = 0x0080,
    FILTER_DNS_RA = 0x0200,
    FILTER_DNS_AD = 0x0400,
    FILTER_DNS_CD = 0x0800,
    FILTER_DNS_QTYPE = 0x1000,
    FILTER_DNS_QNAMES = 0x2000,
    FILTER_DNS_FLAGS = 0x0EE1,
};

// ipoptions, tcpoptions and tcpflags bits (set byte, negated byte).
enum : uint8_t {
    FILTER_IPOPT_SSRR = 1,
    FILTER_IPOPT_LSRR = 2,
    FILTER_IPOPT_RR = 4,
    FILTER_IPOPT_TS = 8,
    FILTER_TCPOPT_MSS = 1,
    FILTER_TCPOPT_WINDOW = 2,
    FILTER_TCPOPT_SACK = 4,
    FILTER_TCPOPT_TS = 8,
    FILTER_TCPOPT_CC = 16,
    FILTER_TCP_FIN = 1,
    FILTER_TCP_SYN = 2,
    FILTER_TCP_RST = 4,
    FILTER_TCP_PSH = 8,
    FILTER_TCP_ACK = 16,
    FILTER_TCP_URG = 32,
};

constexpr unsigned FILTER_MAX_PORTS = 32;

struct filter_port_range {
    uint16_t first;
    uint16_t last;
};

struct filter_addr {
    uint8_t family;
    uint8_t _zero1[3];
    uint8_t addr[16]; // network order; IPv4 in the first 4 bytes
    uint8_t prefix;
    uint8_t nports; // 0: any port
    filter_port_range ports[FILTER_MAX_PORTS];
    uint8_t _zero2[2];
};
static_assert(sizeof(filter_addr) == 152);
static_assert(offsetof(filter_addr, addr) == 4);
static_assert(offsetof(filter_addr, prefix) == 20);
static_assert(offsetof(filter_addr, nports) == 21);
static_assert(offsetof(filter_addr, ports) == 22);

struct filter_flag_bytes {
    uint8_t set;
    uint8_t neg;
};

struct filter_rule {
    uint8_t action_flags; // action << 4 | FILTER_DIR_OUT | FILTER_NOT_*
    uint8_t protocol;     // 0: any
    uint8_t options;      // FILTER_OPT_*
    uint8_t _zero1;
    uint16_t ext; // FILTER_EXT_*
    uint8_t _zero2[2];
    filter_addr src;
    filter_addr dst;
    filter_addr rewrite;
    uint8_t target_family;
    uint8_t _zero3[3];
    uint8_t target[16];
    uint8_t target_prefix;
    uint8_t _zero4[3];
    filter_flag_bytes ipoptions;
    filter_flag_bytes tcpoptions;
    filter_flag_bytes tcpflags;
    uint16_t tcpmss;
    uint32_t icmptypes;  // bit n: ICMP type n
    uint32_t icmp6types; // bits 0-15: types 0-15; bits 16-31: types 128-143
    uint16_t dns_set;
    uint16_t dns_neg;
    uint8_t dnsopcodes; // bit n: opcode n
    uint8_t _zero5;
    uint16_t dnsqtype;
    filter_flag_bytes httphosts;
    filter_flag_bytes tlshosts;
    uint32_t state_value;
    uint32_t state_mask;
    uint32_t hostset;
};
static_assert(sizeof(filter_rule) == 528);
static_assert(offsetof(filter_rule, ext) == 4);
static_assert(offsetof(filter_rule, src) == 8);
static_assert(offsetof(filter_rule, dst) == 160);
static_assert(offsetof(filter_rule, rewrite) == 312);
static_assert(offsetof(filter_rule, target_family) == 464);
static_assert(offsetof(filter_rule, target) == 468);
static_assert(offsetof(filter_rule, target_prefix) == 484);
static_assert(offsetof(filter_rule, ipoptions) == 488);
static_assert(offsetof(filter_rule, tcpoptions) == 490);
static_assert(offsetof(filter_rule, tcpflags) == 492);
static_assert(offsetof(filter_rule, tcpmss) == 494);
static_assert(offsetof(filter_rule, icmptypes) == 496);
static_assert(offsetof(filter_rule, icmp6types) == 500);
static_assert(offsetof(filter_rule, dns_set) == 504);
static_assert(offsetof(filter_rule, dns_neg) == 506);
static_assert(offsetof(filter_rule, dnsopcodes) == 508);
static_assert(offsetof(filter_rule, dnsqtype) == 510);
static_assert(offsetof(filter_rule, httphosts) == 512);
static_assert(offsetof(filter_rule, tlshosts) == 514);
static_assert(offsetof(filter_rule, state_value) == 516);
static_assert(offsetof(filter_rule, state_mask) == 520);
static_assert(offsetof(filter_rule, hostset) == 524);

inline unsigned filter_rule_action(const filter_rule *rule) { return rule->action_flags >> 4; }

// Room for the longest text the printer can write (three address blocks with
// 32 port ranges each and every option), terminator included.
constexpr size_t FILTER_RULE_TEXT_MAX = 2048;

// Parses one rule text into rule (zeroed first) and validates it; 0 or -1.
// lenient 0 admits only the IPFilterRule subset that RADIUS carries.
int filter_rule_parse(filter_rule *rule, const char *text, int lenient);

// Writes the text form, NUL-terminated, truncated to size; returns buffer.
char *filter_rule_print(const filter_rule *rule, char *buffer, size_t size);

// Inner operations, exposed for the tests.

enum class filter_token_type : uint8_t {
    end,
    keyword,
    ipv4,
    ipv6,
    number,
    character, // a single character that starts nothing else: "/", ",", "!", "-", ...
    invalid,   // a word that is no keyword, address or number
};

struct filter_token {
    filter_token_type type;
    uint8_t keyword;   // index in the keyword list
    char character;
    bool overflow;     // the number does not fit 32 bits
    uint32_t number;
    uint8_t addr[16];
};

struct filter_rule_lexer {
    const char *text;
    const char *pos;
};

// Parses without zeroing or validating; 0 or -1.
int filter_rule_parse_tokens(filter_rule *rule, const char *text);

void filter_rule_lexer_init(filter_rule_lexer *lexer, const char *text);
// address_first: try an IPv6 literal before the keywords, as in address positions.
void filter_rule_next_token(filter_rule_lexer *lexer, filter_token *token, bool address_first);
// Index of word in the keyword list, or -1.
int filter_rule_keyword(const char *word, size_t length);
const char *filter_rule_keyword_name(unsigned index);
constexpr unsigned FILTER_KEYWORD_COUNT = 103;
