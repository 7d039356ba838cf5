// The lexer of ugw's command language: words in, tokens out. A token may be a
// whole word or part of one (10.0.0.1:4789 is an address, ':' and a number);
// which classes are tried depends on the keyword read just before.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "common/filter/filter_rule.h"

// Token numbers: 0 ends the input, punctuation is its own character, the
// value classes are small numbers and keywords follow from UGW_TOKEN_KEYWORD.
enum : int {
    UGW_TOKEN_END = 0,
    UGW_TOKEN_NUMBER = 1,
    UGW_TOKEN_TEXT = 2,
    UGW_TOKEN_HEX = 3,
    UGW_TOKEN_MAC = 4,
    UGW_TOKEN_UUID = 5,
    UGW_TOKEN_IPV4 = 6,
    UGW_TOKEN_IPV6 = 7,
    UGW_TOKEN_RULE = 8,
    UGW_TOKEN_KEYWORD = 256,
};

// Next-word modes a keyword sets.
enum ugw_lex_mode : uint8_t {
    UGW_MODE_NORMAL = 0,
    UGW_MODE_TEXT = 1,
    UGW_MODE_HEX = 2,
    UGW_MODE_NUMBER_OR_TEXT = 3,
};

struct ugw_keyword {
    char text[16]; // NUL-padded
    uint32_t token;
};
static_assert(sizeof(ugw_keyword) == 20);

constexpr size_t UGW_KEYWORDS = 128;

// The token number of a keyword's text; -1 when it is none. constexpr so the
// grammar names keywords by their text and a typo fails to compile.
constexpr int ugw_keyword_token(std::string_view text);

constexpr size_t UGW_TEXT_MAX = 255;
constexpr size_t UGW_HEX_MAX = 64;

struct ugw_token_value {
    uint32_t number;
    char text[UGW_TEXT_MAX + 1];
    struct {
        uint8_t bytes[UGW_HEX_MAX];
        int bits;
    } hex;
    uint8_t mac[6];
    uint8_t uuid[16];
    uint8_t ipv4[4]; // network order
    uint8_t ipv6[16];
    filter_rule rule;
    char punct;
};

struct ugw_words {
    char *const *words;
    int count;
    int index;
    size_t pos;
    uint8_t mode;
    // A word could not be read as the mode wants it (a text longer than a token
    // holds, hex that is not): the input ended there, and no sentence may end.
    bool stopped;
};

void ugw_words_init(ugw_words *w, char *const *words, int count);
// The next token (a keyword's number, a class, a punctuation character), its
// value filled; 0 at the end of the words.
int ugw_lex(ugw_token_value *value, ugw_words *w);

// Hex digits into buffer (cleared first); a character of separators is skipped
// at a byte boundary. Bits read; -1 for a bad character; 0 for a zero-size buffer.
int ugw_parse_hex(const char *text, const char *separators, uint8_t *buffer, size_t size);

// Splits a batch line into words in place (quotes and backslashes as a shell
// reads them, without expansion; \xHH outside quotes is the byte HH). The
// word count, or -1 for an unclosed quote, a trailing backslash, quotes
// nested too deep or more than max words.
int ugw_split_words(char *line, char **words, int max);

// ---- keyword table description, used by the constexpr lookup ----
struct ugw_keyword_spec {
    const char *text;
    uint8_t mode;
    bool synonym; // shares the previous keyword's token
};

// In table order; 128 records.
inline constexpr ugw_keyword_spec ugw_keyword_specs[UGW_KEYWORDS] = {
    // verbs
    {"configure", 0, false},
    {"commit", 0, false},
    {"check", 0, false},
    {"list", 0, false},
    {"show", 0, false},
    {"add", 0, false},
    {"remove", 0, false},
    {"rename", 0, false},
    {"set", 0, false},
    {"enable", 0, true},
    {"unset", 0, false},
    {"disable", 0, true},
    {"clear", 0, false},
    {"dump", 0, false},
    {"listen", 0, false},
    {"to", 0, false},
    // logging
    {"log", 0, false},
    {"level", 0, false},
    {"option", 0, false},
    {"module", 0, false},
    {"modules", 0, false},
    {"trace", 0, false},
    {"pid", 0, false},
    {"date", 0, false},
    {"file", 0, false},
    {"line", 0, false},
    {"keys", 0, false},
    // data plane
    {"memory", 1, false},
    {"allocations", 0, false},
    {"fabric", 0, false},
    {"sockets", 0, false},
    {"socket", 1, false},
    {"fdbs", 0, false},
    {"fdb", 1, false},
    {"mdbs", 0, false},
    {"mdb", 1, false},
    // objects
    {"control", 1, false},
    {"controls", 0, false},
    {"port", 3, false},
    {"ports", 0, false},
    {"proto", 0, false},
    {"protos", 0, false},
    {"nas", 1, false},
    {"nases", 0, false},
    {"service", 0, false},
    {"services", 0, false},
    {"vap", 0, false},
    {"vaps", 0, false},
    {"tunnel", 0, false},
    {"tunnels", 0, false},
    {"flow", 0, false},
    {"flows", 0, false},
    // ports
    {"ip", 0, false},
    {"udp", 0, false},
    {"native", 0, false},
    {"geneve", 0, false},
    {"vxlan", 0, false},
    {"gre", 0, false},
    {"vni", 0, false},
    {"device", 1, false},
    // stations
    {"bssid", 0, false},
    {"client", 0, false},
    {"clients", 0, false},
    {"hostset", 0, false},
    {"hostsets", 0, false},
    {"host", 1, false},
    {"filter", 0, false},
    {"filters", 0, false},
    {"rule", 0, false},
    {"first", 0, false},
    {"last", 0, false},
    {"at", 0, false},
    {"access", 0, false},
    {"lease", 0, false},
    {"leases", 0, false},
    {"leases6", 0, false},
    {"groups", 0, false},
    {"groups6", 0, false},
    // service settings
    {"key", 2, false},
    {"ssid", 1, false},
    {"qos", 0, false},
    {"frag", 0, false},
    {"amsdu", 0, false},
    {"agg", 0, false},
    {"spp", 0, false},
    {"auto", 0, false},
    {"required", 0, false},
    {"isolation", 0, false},
    {"broadcast", 0, false},
    {"multicast", 0, false},
    {"nd", 0, false},
    {"none", 0, false},
    {"global", 0, false},
    {"local", 0, false},
    {"directed", 0, false},
    {"pass", 0, false},
    {"proxy", 0, false},
    // NAS and security
    {"auth", 0, false},
    {"acct", 0, false},
    {"cache", 0, false},
    {"caching", 0, false},
    {"cipher", 0, false},
    {"group", 0, false},
    {"rekey", 0, false},
    {"time", 0, false},
    {"packets", 0, false},
    {"strict", 0, false},
    {"preauth", 0, false},
    {"auths", 0, false},
    {"pmk", 2, false},
    {"pmks", 0, false},
    {"pmksa", 0, false},
    {"psk", 0, false},
    {"eap", 0, false},
    {"psk256", 0, false},
    {"eap256", 0, false},
    {"ft", 0, false},
    {"wpa", 0, false},
    {"rsn", 0, false},
    {"tkip", 0, false},
    {"ccmp", 0, false},
    {"passphrase", 1, false},
    {"mobility-domain", 0, false},
    {"over-ds", 0, false},
    {"timeout", 0, false},
    {"server", 0, false},
    {"servers", 0, false},
    {"secret", 1, false},
};

// Token of record i: UGW_TOKEN_KEYWORD plus the count of distinct keywords before it.
constexpr uint32_t ugw_keyword_spec_token(size_t i)
{
    uint32_t t = UGW_TOKEN_KEYWORD;
    for (size_t j = 1; j <= i; j++)
        if (!ugw_keyword_specs[j].synonym) t++;
    return t;
}

constexpr int ugw_keyword_token(std::string_view text)
{
    for (size_t i = 0; i < UGW_KEYWORDS; i++)
        if (text == ugw_keyword_specs[i].text) return static_cast<int>(ugw_keyword_spec_token(i));
    return -1;
}

// The table and the modes, derived from the description above.
struct ugw_keyword_tables {
    ugw_keyword table[UGW_KEYWORDS];
    uint8_t mode[UGW_KEYWORDS];
};

constexpr ugw_keyword_tables ugw_build_keyword_tables()
{
    ugw_keyword_tables o{};
    for (size_t i = 0; i < UGW_KEYWORDS; i++) {
        const char *t = ugw_keyword_specs[i].text;
        for (size_t c = 0; t[c] && c < 15; c++)
            o.table[i].text[c] = t[c];
        o.table[i].token = ugw_keyword_spec_token(i);
        o.mode[i] = ugw_keyword_specs[i].mode;
    }
    return o;
}

inline constexpr ugw_keyword_tables ugw_keyword_tables_built = ugw_build_keyword_tables();
inline constexpr const ugw_keyword (&ugw_keyword_table)[UGW_KEYWORDS] =
    ugw_keyword_tables_built.table;
inline constexpr const uint8_t (&ugw_keyword_mode)[UGW_KEYWORDS] = ugw_keyword_tables_built.mode;

// The grammar's name for a keyword token; an unknown text does not compile.
consteval int K(const char *text)
{
    int t = ugw_keyword_token(text);
    if (t < 0) throw "not a keyword"; // a compile-time error, never thrown at run time
    return t;
}
