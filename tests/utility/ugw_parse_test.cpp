// The command language: splitting, lexing, the sentences with their kinds and
// fields, and the value checks.
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "utility/ugw_lex.h"
#include "utility/ugw_parse.h"

namespace
{

const char U1[] = "0123abcd-0000-0000-0000-00000000beef";
const char U2[] = "11111111-2222-3333-4444-555555555555";

struct line_words {
    std::string buffer;
    char *words[32];
    int count;
    explicit line_words(const std::string &line) : buffer(line)
    {
        count = ugw_split_words(buffer.data(), words, 31);
    }
};

int parse(const std::string &line, ugw_command *cmd, int *err = nullptr)
{
    line_words lw(line);
    EXPECT_GE(lw.count, 0) << line;
    errno = 12345;
    int r = ugw_parse_args(lw.count, lw.words, cmd);
    if (err) *err = errno;
    return r < 0 ? -1 : static_cast<int>(cmd->kind);
}

std::vector<int> tokens(const std::string &line, std::vector<ugw_token_value> *values = nullptr)
{
    line_words lw(line);
    ugw_words w;
    ugw_words_init(&w, lw.words, lw.count);
    std::vector<int> out;
    static ugw_token_value v;
    for (int t; (t = ugw_lex(&v, &w)) != 0;) {
        out.push_back(t);
        if (values) values->push_back(v);
    }
    return out;
}

TEST(UgwSplit, QuotesBackslashesAndLimits)
{
    struct row {
        const char *line;
        std::vector<std::string> words; // empty with fails: -1
        bool fails;
    };
    const row rows[] = {
        {"  set  service\tx \n", {"set", "service", "x"}, false},
        {"a 'b c' \"d e\"", {"a", "b c", "d e"}, false},
        {"a\\ b c\\'", {"a b", "c'"}, false},
        {"'it\"s \\ fine\"'", {"it\"s \\ fine\""}, false},
        {"'a\"b'c\"'", {}, true}, // the nested stretch must close first
        {"x'' y", {"x", "y"}, false},
        {"''", {""}, false},
        {"'open", {}, true},
        {"tail\\", {}, true},
        {"", {}, false},
    };
    for (const row &r : rows) {
        std::string b = r.line;
        char *words[31];
        int n = ugw_split_words(b.data(), words, 31);
        if (r.fails) {
            EXPECT_EQ(n, -1) << r.line;
            continue;
        }
        ASSERT_EQ(n, static_cast<int>(r.words.size())) << r.line;
        for (int i = 0; i < n; i++)
            EXPECT_EQ(words[i], r.words[i]) << r.line;
    }
    std::string many;
    for (int i = 0; i < 32; i++)
        many += "w ";
    char *words[31];
    EXPECT_EQ(ugw_split_words(many.data(), words, 31), -1);
    // Alternating quotes nest: 33 levels are refused.
    std::string nest;
    for (int i = 0; i < 33; i++)
        nest += i % 2 ? '"' : '\'';
    for (int i = 32; i >= 0; i--)
        nest += i % 2 ? '"' : '\'';
    std::string ok_nest = nest.substr(1, nest.size() - 2);
    EXPECT_EQ(ugw_split_words(nest.data(), words, 31), -1);
    EXPECT_EQ(ugw_split_words(ok_nest.data(), words, 31), 1);
}

TEST(UgwLex, KeywordTable)
{
    EXPECT_EQ(ugw_keyword_table[9].token, ugw_keyword_table[8].token); // enable = set
    EXPECT_STREQ(ugw_keyword_table[127].text, "secret");
    EXPECT_STREQ(ugw_keyword_table[122].text, "mobility-domain");
    // 128 records, 126 distinct tokens numbered in order.
    EXPECT_EQ(ugw_keyword_table[127].token, UGW_TOKEN_KEYWORD + 125u);
    EXPECT_EQ(ugw_keyword_mode[38], UGW_MODE_NUMBER_OR_TEXT); // port
    EXPECT_EQ(K("enable"), K("set"));
    EXPECT_EQ(K("disable"), K("unset"));
}

TEST(UgwLex, ClassesAndModes)
{
    std::vector<ugw_token_value> v;
    EXPECT_EQ(tokens("[fe80::1]:4789", &v),
              (std::vector<int>{'[', UGW_TOKEN_IPV6, ']', ':', UGW_TOKEN_NUMBER}));
    EXPECT_EQ(v[4].number, 4789u);
    EXPECT_EQ(tokens("10.0.0.1:gre"), (std::vector<int>{UGW_TOKEN_IPV4, ':', K("gre")}));
    EXPECT_EQ(tokens("port eth0"), (std::vector<int>{K("port"), UGW_TOKEN_TEXT}));
    EXPECT_EQ(tokens("port 12"), (std::vector<int>{K("port"), UGW_TOKEN_NUMBER}));
    EXPECT_EQ(tokens("control 10.0.0.1"), (std::vector<int>{K("control"), UGW_TOKEN_TEXT}));
    EXPECT_EQ(tokens("10.0.0.1"), (std::vector<int>{UGW_TOKEN_IPV4}));
    v.clear();
    EXPECT_EQ(tokens("0x10 12ab 12 4294967295 4294967296", &v),
              (std::vector<int>{UGW_TOKEN_NUMBER, UGW_TOKEN_TEXT, UGW_TOKEN_NUMBER,
                                UGW_TOKEN_NUMBER, UGW_TOKEN_TEXT}));
    EXPECT_EQ(v[0].number, 16u);
    EXPECT_EQ(v[3].number, 4294967295u);
    // A 17-character run that is no MAC falls through to text.
    EXPECT_EQ(tokens("00:11:22:33:44:zz aa-bb-cc-dd-ee-ff 00:11:22:33:44:5g"),
              (std::vector<int>{UGW_TOKEN_TEXT, UGW_TOKEN_MAC, UGW_TOKEN_TEXT}));
    EXPECT_EQ(tokens(U1), (std::vector<int>{UGW_TOKEN_UUID}));
    EXPECT_EQ(tokens("'permit in ip from any to any'"), (std::vector<int>{UGW_TOKEN_RULE}));
    EXPECT_EQ(tokens("'   '"), (std::vector<int>{}));
    // Hex after key: 130 digits give 512 bits, the rest ignored; not hex ends the input.
    v.clear();
    EXPECT_EQ(tokens("key " + std::string(130, 'a'), &v),
              (std::vector<int>{K("key"), UGW_TOKEN_HEX}));
    EXPECT_EQ(v[1].hex.bits, 512);
    EXPECT_EQ(tokens("key xyz"), (std::vector<int>{K("key")}));
}

TEST(UgwLex, ParseHex)
{
    uint8_t b[4];
    EXPECT_EQ(ugw_parse_hex("0aBc 12", " ", b, sizeof(b)), 24);
    EXPECT_EQ(b[0], 0x0a);
    EXPECT_EQ(b[1], 0xbc);
    EXPECT_EQ(b[2], 0x12);
    EXPECT_EQ(ugw_parse_hex("abc", " ", b, sizeof(b)), 12);
    EXPECT_EQ(b[1], 0xc0);
    EXPECT_EQ(ugw_parse_hex("a bc", " ", b, sizeof(b)), -1); // a blank inside a byte
    EXPECT_EQ(ugw_parse_hex("0g", " ", b, sizeof(b)), -1);
    EXPECT_EQ(ugw_parse_hex("0011223344", " ", b, sizeof(b)), 32);
    EXPECT_EQ(ugw_parse_hex("00", " ", b, 0), 0);
}

// Every sentence to its kind; value checks fail with EINVAL, other errors with 0.
TEST(UgwParse, SentencesToKinds)
{
    const std::string u = U1, m = "00:11:22:33:44:55";
    struct row {
        std::string line;
        int kind; // -1: refused
        int err = 0;
    };
    const std::vector<row> rows = {
        {"configure", 0},
        {"commit", 1},
        {"check", 2},
        {"list modules", 3},
        {"show log", 4},
        {"set log level 3", 5},
        {"enable log option pid date time", 5},
        {"set log module radius dot11", 5},
        {"set log trace " + m, 5},
        {"unset log level", 6},
        {"disable log option keys line", 6},
        {"unset log module radius", 6},
        {"unset log trace", 6},
        {"set log level 128", -1, EINVAL},
        {"set log option", -1},
        {"set log module 10.0.0.1", -1},
        {"list controls", 7},
        {"list controls x", -1},
        {"show control", 8},
        {"show control 10.0.0.1", 8},
        {"add control ctl.example", 9},
        {"remove control c", 10},
        {"set control c key " + std::string(16, 'a'), 11},
        {"set control c key " + std::string(15, 'a'), -1, EINVAL},
        {"set control c key " + std::string(65, 'a'), -1, EINVAL},
        {"unset control c key", 12},
        {"list ports", 13},
        {"show port eth0", 14},
        {"show port 5", -1},
        {"add port eth0", 15},
        {"remove port eth0", 16},
        {"set port eth0 ip 10.1.1.1", 17},
        {"set port eth0 ip 2001:db8::1", 17},
        {"set port eth0 ip ::", -1, EINVAL},
        {"unset port eth0 ip", 18},
        {"unset port eth0 ip 10.1.1.1", 18},
        {"list protos", 19},
        {"show port eth0 proto vxlan udp 4789", 20},
        {"add port eth0 proto gre", 21},
        {"add port eth0 proto geneve udp 0", -1, EINVAL},
        {"remove port eth0 proto native", 22},
        {"list nases", 23},
        {"show nas radius", 24},
        {"add nas radius", 25},
        {"remove nas radius", 26},
        {"set nas r ports 4", 27},
        {"set nas r ports 0", -1, EINVAL},
        {"set nas r ports 32768", -1, EINVAL},
        {"set nas r caching", 27},
        {"unset nas r ports", 28},
        {"unset nas r caching", 28},
        {"list nas r auth servers", 29},
        {"show nas r auth server 10.0.0.2", 30},
        {"show nas r auth server [2001:db8::2]:1812", 30},
        {"show nas r auth server 10.0.0.2:0", -1, EINVAL},
        {"add nas r auth server 10.0.0.2", 31},
        {"remove nas r auth server 10.0.0.2", 32},
        {"set nas r auth server 10.0.0.2 secret 's e c'", 33},
        {"set nas r auth server 10.0.0.2 port 1645", 33},
        {"set nas r auth server 10.0.0.2 port 65536", -1, EINVAL},
        {"unset nas r auth server 10.0.0.2 secret", 34},
        {"unset nas r auth server 10.0.0.2 port", 34},
        {"list nas r acct servers", 35},
        {"show nas r acct server 10.0.0.2", 36},
        {"add nas r acct server 2001:db8::2", 37},
        {"remove nas r acct server 10.0.0.2", 38},
        {"set nas r acct server 10.0.0.2 secret s", 39},
        {"unset nas r acct server 10.0.0.2 port", 40},
        {"list nas r filters", 41},
        {"show nas r filter blocked", 42},
        {"add nas r filter blocked", 43},
        {"remove nas r filter blocked", 44},
        {"set nas r filter blocked first rule 'deny in ip from any to any'", 45},
        {"set nas r filter blocked at 3 rule 'permit in ip from any to any'", 45},
        {"unset nas r filter blocked at 3", 46},
        {"unset nas r filter blocked at 3 rule", -1},
        {"unset nas r filter blocked last", 46},
        {"show nas r filter 10.0.0.1", -1},
        {"list hostsets", 47},
        {"show hostset 2", 48},
        {"show hostset 0", -1, EINVAL},
        {"add hostset", 49},
        {"add hostset 7", 49},
        {"remove hostset 7", 50},
        {"remove hostset", -1},
        {"set hostset 7 host '*.example.com'", 51},
        {"unset hostset 7 host a.b", 52},
        {"list services", 53},
        {"show service " + u, 54},
        {"show service", -1},
        {"show service 00000000-0000-0000-0000-000000000000", -1, EINVAL},
        {"add service " + u, 55},
        {"remove service " + u, 56},
        {"rename service " + u + " to service " + U2, 57},
        {"list vaps", 60},
        {"list service " + u + " vaps", 60},
        {"show service " + u + " vap " + m, 61},
        {"list tunnels", 62},
        {"list service " + u + " tunnels", 62},
        {"show service " + u + " tunnel 10.0.0.9:4789", 63},
        {"show service " + u + " tunnel [2001:db8::9]:vxlan", 63},
        {"list flows", 64},
        {"list service " + u + " flows", 64},
        {"list service " + u + " vap " + m + " flows", 64},
        {"list service " + u + " tunnel 10.0.0.9:gre flows", 64},
        {"list service " + u + " client " + m + " flows", 64},
        {"list vap " + m + " flows", 64},
        {"list tunnel 10.0.0.9 flows", 64},
        {"list client " + m + " flows", 64},
        {"show vap " + m + " client " + m + " flow", 65},
        {"show tunnel 10.0.0.9:4789 client " + m + " flow", 65},
        {"list nas r access", 66},
        {"list service " + u + " access", 66},
        {"show service " + u + " client " + m + " access", 67},
        {"list service " + u + " pmks", 68},
        {"list service " + u + " client " + m + " pmks", 68},
        {"show service " + u + " pmk " + std::string(32, '1'), 69},
        {"show service " + u + " pmk " + std::string(30, '1'), -1, EINVAL},
        {"clear nas r cache", 70},
        {"clear service " + u + " cache", 70},
        {"clear service " + u + " client " + m + " cache", 70},
        {"list service " + u + " ft auths", 71},
        {"list service " + u + " client " + m + " ft auths", 71},
        {"show service " + u + " client " + m + " ft auth " + m, 72},
        {"list client " + m + " leases", 73},
        {"list service " + u + " leases", 73},
        {"list service " + u + " client " + m + " leases", 73},
        {"list client " + m + " leases6", 74},
        {"show service " + u + " client " + m + " lease 10.0.0.5", 75},
        {"show service " + u + " client " + m + " lease 2001:db8::5", 75},
        {"dump leases", 76},
        {"dump leases6", 77},
        {"list client " + m + " groups", 78},
        {"list service " + u + " groups6", 79},
        {"list memory", 80},
        {"show memory flows", 81},
        {"list memory flows allocations", 82},
        {"list fabric", 83},
        {"show fabric 2", 84},
        {"list sockets", 85},
        {"show socket eth0", 86},
        {"list fdbs", 87},
        {"list fdb br0 clients", 88},
        {"show fdb br0 client " + m, 89},
        {"list mdbs", 90},
        {"list mdb br0 groups", 91},
        {"show mdb br0 group 01:00:5e:00:00:01", 92},
        {"show mdb br0 group 00:00:5e:00:00:01", -1, EINVAL},
        {"listen flows services", 93},
        {"listen", -1},
        {"lsit services", -1},
        {"", -1},
    };
    for (const row &r : rows) {
        ugw_command c;
        int err;
        EXPECT_EQ(parse(r.line, &c, &err), r.kind) << r.line;
        if (r.kind < 0) {
            EXPECT_EQ(err, r.err) << r.line;
        }
    }
}

TEST(UgwParse, ServiceSettings)
{
    const std::string s = std::string("set service ") + U1 + " ";
    const std::string x = std::string("unset service ") + U1 + " ";
    struct row {
        std::string line;
        int kind;
        uint32_t attr = 0;
        uint32_t value = 0;
        int err = 0;
    };
    const std::vector<row> rows = {
        {s + "device eth1", 58, UGW_ATTR_DEVICE},
        {s + "ssid 'my net'", 58, UGW_ATTR_SSID},
        {s + "vni 16777215", 58, UGW_ATTR_VNI, 16777215},
        {s + "vni 16777216", -1, 0, 0, EINVAL},
        {s + "vni 4294967296", -1},
        {s + "qos", 58, UGW_ATTR_QOS},
        {s + "frag 256", 58, UGW_ATTR_FRAG, 256},
        {s + "frag 255", -1, 0, 0, EINVAL},
        {s + "frag 65536", -1, 0, 0, EINVAL},
        {s + "amsdu agg", 58, UGW_ATTR_AMSDU_AGG},
        {s + "amsdu spp none", 58, UGW_ATTR_AMSDU_SPP, UGW_SPP_NONE},
        {s + "amsdu spp required", 58, UGW_ATTR_AMSDU_SPP, UGW_SPP_REQUIRED},
        {s + "amsdu spp off", -1},
        {s + "timeout 30", 58, UGW_ATTR_TIMEOUT, 30},
        {s + "timeout 0", -1, 0, 0, EINVAL},
        {s + "timeout 1000000", -1, 0, 0, EINVAL},
        {s + "nas radius", 58, UGW_ATTR_NAS},
        {s + "nd proxy", 58, UGW_ATTR_ND, UGW_ND_PROXY},
        {s + "multicast directed", 58, UGW_ATTR_MULTICAST, UGW_FWD_DIRECTED},
        {s + "multicast control", 58, UGW_ATTR_MULTICAST, UGW_MULTICAST_CONTROL},
        {s + "multicast none", -1},
        {s + "broadcast control", 58, UGW_ATTR_BROADCAST, 2},
        {s + "broadcast directed", 58, UGW_ATTR_BROADCAST, 1},
        {s + "isolation flow", 58, UGW_ATTR_ISOLATION, UGW_ISOLATION_FLOW},
        {s + "isolation device", 58, UGW_ATTR_ISOLATION, UGW_ISOLATION_DEVICE},
        {s + "wpa auth psk", 58, UGW_ATTR_WPA_AUTH, UGW_AKM_PSK},
        {s + "wpa auth psk256", -1, 0, 0, EINVAL},
        {s + "rsn auth eap256", 58, UGW_ATTR_RSN_AUTH, UGW_AKM_EAP256},
        {s + "ft auth eap", 58, UGW_ATTR_FT_AUTH, UGW_AKM_FT_EAP},
        {s + "ft auth psk", 58, UGW_ATTR_FT_AUTH, UGW_AKM_FT_PSK},
        {s + "ft auth eap256", -1, 0, 0, EINVAL},
        {s + "rsn cipher ccmp", 58, UGW_ATTR_RSN_CIPHER, UGW_CIPHER_CCMP},
        {s + "wpa cipher tkip", 58, UGW_ATTR_WPA_CIPHER, UGW_CIPHER_TKIP},
        {s + "rsn preauth", 58, UGW_ATTR_RSN_PREAUTH},
        {s + "wpa preauth", -1},
        {s + "ft mobility-domain 65535", 58, UGW_ATTR_FT_MOBILITY_DOMAIN, 65535},
        {s + "ft mobility-domain 0", -1, 0, 0, EINVAL},
        {s + "ft over-ds", 58, UGW_ATTR_FT_OVER_DS},
        {s + "ft timeout 1", 58, UGW_ATTR_FT_TIMEOUT, 1},
        {s + "ft timeout 4294967295", -1, 0, 0, EINVAL},
        {s + "group cipher ccmp", 58, UGW_ATTR_GROUP_CIPHER, UGW_CIPHER_CCMP},
        {s + "group rekey time 600", 58, UGW_ATTR_GROUP_REKEY_TIME, 600},
        {s + "group rekey packets 9", 58, UGW_ATTR_GROUP_REKEY_PACKETS, 9},
        {s + "group rekey strict", 58, UGW_ATTR_GROUP_REKEY_STRICT},
        {s + "pmksa cache 255", 58, UGW_ATTR_PMKSA_CACHE, 255},
        {s + "pmksa cache 256", -1, 0, 0, EINVAL},
        {s + "psk passphrase 12345678", 58, UGW_ATTR_PSK_PASSPHRASE},
        {s + "psk passphrase 1234567", -1, 0, 0, EINVAL},
        {s + "psk key " + std::string(64, 'f'), 58, UGW_ATTR_PSK_KEY},
        {s + "psk key " + std::string(62, 'f'), -1, 0, 0, EINVAL},
        {x + "ssid", 59, UGW_ATTR_SSID},
        {x + "ssid x", -1},
        {x + "device eth0", 59, UGW_ATTR_DEVICE},
        {x + "device", -1},
        {x + "amsdu spp", 59, UGW_ATTR_AMSDU_SPP},
        {x + "multicast", 59, UGW_ATTR_MULTICAST},
        {x + "rsn auth psk", 59, UGW_ATTR_RSN_AUTH, 2},
        {x + "rsn auth", -1},
        {x + "group rekey packets", 59, UGW_ATTR_GROUP_REKEY_PACKETS},
        {x + "psk key", 59, UGW_ATTR_PSK_KEY},
        {x + "psk passphrase", 59, UGW_ATTR_PSK_PASSPHRASE},
        {x + "ft timeout", 59, UGW_ATTR_FT_TIMEOUT},
        {x + "vni 3", -1},
    };
    for (const row &r : rows) {
        ugw_command c;
        int err;
        EXPECT_EQ(parse(r.line, &c, &err), r.kind) << r.line;
        if (r.kind < 0) {
            EXPECT_EQ(err, r.err) << r.line;
            continue;
        }
        EXPECT_EQ(c.conf.attr, r.attr) << r.line;
        EXPECT_EQ(c.conf.u.value, r.value) << r.line;
    }
}

TEST(UgwParse, FieldsOfTheRecord)
{
    ugw_command c;
    ASSERT_EQ(parse("show service " + std::string(U1) + " tunnel [2001:db8::9]:4789", &c), 63);
    EXPECT_EQ(c.addr.family, AF_INET6);
    EXPECT_EQ(c.addr.bytes[15], 9);
    EXPECT_EQ(c.addr_port, 4789u);
    EXPECT_EQ(c.uuid[15], 0xef);
    ASSERT_EQ(parse("list tunnel 10.0.0.9:vxlan flows", &c), 64);
    EXPECT_EQ(c.addr.family, AF_INET);
    EXPECT_EQ(c.addr_proto, UGW_PROTO_VXLAN);
    ASSERT_EQ(parse("add port eth0 proto vxlan udp 4789", &c), 21);
    EXPECT_STREQ(c.ifname, "eth0");
    EXPECT_EQ(c.proto, UGW_PROTO_VXLAN);
    EXPECT_EQ(c.udp_port, 4789u);
    ASSERT_EQ(parse("listen flows services", &c), 93);
    EXPECT_EQ(c.flags, UGW_LISTEN_FLOWS | UGW_LISTEN_SERVICES);
    ASSERT_EQ(parse("set log option pid keys", &c), 5);
    EXPECT_EQ(c.conf.u.value, UGW_LOG_PID | UGW_LOG_KEYS);
    ASSERT_EQ(parse("set log module radius ipc", &c), 5);
    EXPECT_STREQ(c.conf.u.text, "radius ipc");
    ASSERT_EQ(parse("set nas radius filter f last rule 'deny in ip from any to any'", &c), 45);
    EXPECT_EQ(c.position, UGW_RULE_LAST);
    EXPECT_STREQ(c.nas, "radius");
    EXPECT_STREQ(c.filter, "f");
    ASSERT_EQ(parse("unset nas radius filter f at 3", &c), 46);
    EXPECT_EQ(c.position, 3u);
    ASSERT_EQ(parse("rename service " + std::string(U1) + " to service " + U2, &c), 57);
    EXPECT_EQ(c.uuid2[0], 0x11);
    ASSERT_EQ(parse("add hostset", &c), 49);
    EXPECT_FALSE(c.hostset_given);
    ASSERT_EQ(parse("set hostset 12 host 'a b'", &c), 51);
    EXPECT_EQ(c.hostset, 12u);
    EXPECT_STREQ(c.conf.u.text, "a b");
    ASSERT_EQ(parse("set control 10.0.0.1 key 0011223344556677", &c), 11);
    EXPECT_STREQ(c.host, "10.0.0.1");
    EXPECT_EQ(c.conf.u.hex.bits, 64);
    EXPECT_EQ(c.conf.u.hex.bytes[7], 0x77);
    ASSERT_EQ(parse("show port eth0 proto gre", &c), 20);
    EXPECT_EQ(c.udp_port, 0u);
    ASSERT_EQ(parse("set nas r acct server 10.0.0.2 secret 'x y'", &c), 39);
    EXPECT_STREQ(c.conf.u.text, "x y");
    EXPECT_EQ(c.conf.attr, UGW_ATTR_SERVER_SECRET);
}

} // namespace
