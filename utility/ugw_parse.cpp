// A hand-written recursive descent over the lexer's tokens with one token of
// lookahead. The lexer's mode is set by the keyword just lexed, so looking a
// token ahead reads the next word the way the grammar expects it.
#include "utility/ugw_parse.h"

#include <cerrno>
#include <cstring>
#include <sys/socket.h>

namespace
{

struct parser {
    ugw_words *w;
    ugw_command *c;
    ugw_token_value v;
    int t;
    bool bad_value;

    void next() { t = ugw_lex(&v, w); }
    bool eat(int token)
    {
        if (t != token) return false;
        next();
        return true;
    }
    bool invalid()
    {
        bad_value = true;
        return false;
    }
    // The sentence is complete: nothing may follow.
    bool end(uint32_t kind)
    {
        if (t != UGW_TOKEN_END) return false;
        c->kind = kind;
        return true;
    }
};

bool all_zero(const uint8_t *b, size_t n)
{
    for (size_t i = 0; i < n; i++)
        if (b[i]) return false;
    return true;
}

bool text(parser &p, char *out)
{
    if (p.t != UGW_TOKEN_TEXT) return false;
    memcpy(out, p.v.text, sizeof(p.v.text));
    p.next();
    return true;
}

bool number(parser &p, uint32_t *out)
{
    if (p.t != UGW_TOKEN_NUMBER) return false;
    *out = p.v.number;
    p.next();
    return true;
}

// A number within lo..hi; outside it the value check fails.
bool number_in(parser &p, uint32_t *out, uint32_t lo, uint32_t hi)
{
    if (p.t != UGW_TOKEN_NUMBER) return false;
    if (p.v.number < lo || p.v.number > hi) return p.invalid();
    return number(p, out);
}

bool mac(parser &p, uint8_t out[6])
{
    if (p.t != UGW_TOKEN_MAC) return false;
    memcpy(out, p.v.mac, 6);
    p.next();
    return true;
}

bool uuid(parser &p, uint8_t out[16])
{
    if (p.t != UGW_TOKEN_UUID) return false;
    if (all_zero(p.v.uuid, 16)) return p.invalid();
    memcpy(out, p.v.uuid, 16);
    p.next();
    return true;
}

bool hex(parser &p, uint8_t *out, size_t size, int *bits, int lo, int hi)
{
    if (p.t != UGW_TOKEN_HEX) return false;
    if (p.v.hex.bits < lo || p.v.hex.bits > hi) return p.invalid();
    memcpy(out, p.v.hex.bytes, size);
    if (bits) *bits = p.v.hex.bits;
    p.next();
    return true;
}

bool ip(parser &p, ugw_addr *out)
{
    if (p.t == UGW_TOKEN_IPV4) {
        out->family = AF_INET;
        memset(out->bytes, 0, sizeof(out->bytes));
        memcpy(out->bytes, p.v.ipv4, 4);
    } else if (p.t == UGW_TOKEN_IPV6) {
        if (all_zero(p.v.ipv6, 16)) return p.invalid();
        out->family = AF_INET6;
        memcpy(out->bytes, p.v.ipv6, 16);
    } else {
        return false;
    }
    p.next();
    return true;
}

int proto_of(int token)
{
    if (token == K("native")) return UGW_PROTO_NATIVE;
    if (token == K("vxlan")) return UGW_PROTO_VXLAN;
    if (token == K("geneve")) return UGW_PROTO_GENEVE;
    if (token == K("gre")) return UGW_PROTO_GRE;
    return 0;
}

// <addr>[:<port|proto>]; an IPv6 address takes brackets before a port.
bool address(parser &p, bool with_port)
{
    ugw_command *c = p.c;
    bool bracket = p.eat('[');
    if (bracket) {
        if (p.t != UGW_TOKEN_IPV6 || !ip(p, &c->addr) || !p.eat(']')) return false;
    } else if (!ip(p, &c->addr)) {
        return false;
    }
    if (!with_port || (!bracket && c->addr.family == AF_INET6) || !p.eat(':')) return true;
    if (p.t == UGW_TOKEN_NUMBER) return number_in(p, &c->addr_port, 1, 65535);
    int proto = proto_of(p.t);
    if (!proto) return false;
    c->addr_proto = static_cast<uint32_t>(proto);
    p.next();
    return true;
}

// proto <proto> [udp <port>]
bool port_proto(parser &p)
{
    if (!p.eat(K("proto"))) return false;
    int proto = proto_of(p.t);
    if (!proto) return false;
    p.c->proto = static_cast<uint32_t>(proto);
    p.next();
    if (p.eat(K("udp"))) return number_in(p, &p.c->udp_port, 1, 65535);
    return true;
}

// A word that lexed as text, for names the lexer is not told to expect.
bool name(parser &p, char *out)
{
    return text(p, out);
}

uint32_t &value(parser &p)
{
    return p.c->conf.u.value;
}
void attr(parser &p, ugw_attr a)
{
    p.c->conf.attr = a;
}

// A keyword from a list, mapped to a value; false when the token is none of them.
struct choice {
    const char *keyword;
    uint32_t value;
};

template <size_t N> bool pick(parser &p, const choice (&choices)[N], uint32_t *out)
{
    for (const choice &ch : choices)
        if (p.t == ugw_keyword_token(ch.keyword)) {
            *out = ch.value;
            p.next();
            return true;
        }
    return false;
}

constexpr choice log_options[] = {{"pid", UGW_LOG_PID},   {"date", UGW_LOG_DATE},
                                  {"time", UGW_LOG_TIME}, {"file", UGW_LOG_FILE},
                                  {"line", UGW_LOG_LINE}, {"keys", UGW_LOG_KEYS}};
constexpr choice listen_objects[] = {{"controls", UGW_LISTEN_CONTROLS},
                                     {"services", UGW_LISTEN_SERVICES},
                                     {"vaps", UGW_LISTEN_VAPS},
                                     {"tunnels", UGW_LISTEN_TUNNELS},
                                     {"flows", UGW_LISTEN_FLOWS}};
constexpr choice spp_modes[] = {
    {"none", UGW_SPP_NONE}, {"auto", UGW_SPP_AUTO}, {"required", UGW_SPP_REQUIRED}};
constexpr choice nd_modes[] = {{"pass", UGW_FWD_PASS},
                               {"local", UGW_FWD_LOCAL},
                               {"directed", UGW_FWD_DIRECTED},
                               {"proxy", UGW_ND_PROXY}};
constexpr choice multicast_modes[] = {{"pass", UGW_FWD_PASS},
                                      {"local", UGW_FWD_LOCAL},
                                      {"directed", UGW_FWD_DIRECTED},
                                      {"control", UGW_MULTICAST_CONTROL}};
constexpr choice broadcast_modes[] = {{"global", UGW_BROADCAST_GLOBAL},
                                      {"directed", UGW_BROADCAST_DIRECTED},
                                      {"control", UGW_BROADCAST_CONTROL}};
constexpr choice isolation_modes[] = {{"device", UGW_ISOLATION_DEVICE},
                                      {"service", UGW_ISOLATION_SERVICE},
                                      {"flow", UGW_ISOLATION_FLOW}};
constexpr choice akms[] = {{"eap", UGW_AKM_EAP},
                           {"psk", UGW_AKM_PSK},
                           {"eap256", UGW_AKM_EAP256},
                           {"psk256", UGW_AKM_PSK256}};
constexpr choice ciphers[] = {{"tkip", UGW_CIPHER_TKIP}, {"ccmp", UGW_CIPHER_CCMP}};

// ---- logging ----

bool log_sentence(parser &p, bool set)
{
    uint32_t kind = set ? 5 : 6;
    if (p.eat(K("level"))) {
        attr(p, UGW_ATTR_LOG_LEVEL);
        if (set && !number_in(p, &value(p), 0, 127)) return false;
        return p.end(kind);
    }
    if (p.eat(K("trace"))) {
        attr(p, UGW_ATTR_LOG_TRACE);
        if (set && !mac(p, p.c->conf.u.mac)) return false;
        return p.end(kind);
    }
    if (p.eat(K("option"))) {
        attr(p, UGW_ATTR_LOG_OPTION);
        uint32_t bit;
        if (!pick(p, log_options, &bit)) return false;
        do
            value(p) |= bit;
        while (pick(p, log_options, &bit));
        return p.end(kind);
    }
    if (p.eat(K("module"))) {
        attr(p, UGW_ATTR_LOG_MODULE);
        char *joined = p.c->conf.u.text;
        size_t used = 0;
        if (p.t != UGW_TOKEN_TEXT) return false;
        while (p.t == UGW_TOKEN_TEXT) {
            size_t n = strlen(p.v.text);
            if (used + (used ? 1 : 0) + n > UGW_TEXT_MAX) return p.invalid();
            if (used) joined[used++] = ' ';
            memcpy(joined + used, p.v.text, n + 1);
            used += n;
            p.next();
        }
        return p.end(kind);
    }
    return false;
}

// ---- NAS servers and filters ----

bool server_sentence(parser &p, uint32_t verb, bool acct)
{
    // verb: 0 list, 1 show, 2 add, 3 remove, 4 set, 5 unset
    uint32_t base = acct ? 35 : 29;
    if (verb == 0) return p.eat(K("servers")) && p.end(base);
    if (!p.eat(K("server"))) return false;
    if (!address(p, verb == 1)) return false;
    if (verb <= 3) return p.end(base + verb);
    bool set = verb == 4;
    if (p.eat(K("secret"))) {
        attr(p, UGW_ATTR_SERVER_SECRET);
        if (set && !text(p, p.c->conf.u.text)) return false;
    } else if (p.eat(K("port"))) {
        attr(p, UGW_ATTR_SERVER_PORT);
        if (set && !number_in(p, &value(p), 1, 65535)) return false;
    } else {
        return false;
    }
    return p.end(base + verb);
}

bool filter_sentence(parser &p, uint32_t verb)
{
    if (verb == 0) return p.end(41);
    if (!name(p, p.c->filter)) return false;
    if (verb <= 3) return p.end(verb == 1 ? 42 : verb == 2 ? 43 : 44);
    if (p.eat(K("first"))) {
        p.c->position = UGW_RULE_FIRST;
    } else if (p.eat(K("last"))) {
        p.c->position = UGW_RULE_LAST;
    } else if (p.eat(K("at"))) {
        if (!number(p, &p.c->position)) return false;
    } else {
        return false;
    }
    if (verb == 5) return p.end(46);
    if (!p.eat(K("rule")) || p.t != UGW_TOKEN_RULE) return false;
    p.c->rule = p.v.rule;
    p.next();
    return p.end(45);
}

// nas <name> ...; the name is already read.
bool nas_sentence(parser &p, uint32_t verb)
{
    if (p.eat(K("auth"))) return server_sentence(p, verb, false);
    if (p.eat(K("acct"))) return server_sentence(p, verb, true);
    if (verb == 0) {
        if (p.eat(K("filters"))) return filter_sentence(p, 0);
        if (p.eat(K("access"))) return p.end(66);
        return false;
    }
    if (p.eat(K("filter"))) return filter_sentence(p, verb);
    if (verb == 1) return p.end(24);
    if (verb == 2) return p.end(25);
    if (verb == 3) return p.end(26);
    bool set = verb == 4;
    if (p.eat(K("ports"))) {
        attr(p, UGW_ATTR_NAS_PORTS);
        // The count shares a 16-bit word with the caching bit.
        if (set && !number_in(p, &value(p), 1, 32767)) return false;
    } else if (p.eat(K("caching"))) {
        attr(p, UGW_ATTR_NAS_CACHING);
    } else {
        return false;
    }
    return p.end(set ? 27 : 28);
}

// ---- service settings ----

// Seconds to units of 1.024 ms, rounded.
uint64_t seconds_to_tu(uint64_t seconds)
{
    return (seconds * 1000000 + 512) / 1024;
}

bool security_setting(parser &p, bool set, ugw_attr auth_attr, ugw_attr cipher_attr, bool rsn,
                      bool ft)
{
    if (p.eat(K("auth"))) {
        attr(p, auth_attr);
        uint32_t akm;
        if (!pick(p, akms, &akm)) return false;
        if (!rsn && akm != UGW_AKM_PSK && akm != UGW_AKM_EAP) return p.invalid();
        if (ft) akm = akm == UGW_AKM_PSK ? UGW_AKM_FT_PSK : UGW_AKM_FT_EAP;
        value(p) = akm;
        return true;
    }
    if (p.eat(K("cipher"))) {
        attr(p, cipher_attr);
        return pick(p, ciphers, &value(p));
    }
    if (rsn && p.eat(K("preauth"))) {
        attr(p, UGW_ATTR_RSN_PREAUTH);
        return true;
    }
    if (!ft) return false;
    if (p.eat(K("mobility-domain"))) {
        attr(p, UGW_ATTR_FT_MOBILITY_DOMAIN);
        return !set || number_in(p, &value(p), 1, 65535);
    }
    if (p.eat(K("over-ds"))) {
        attr(p, UGW_ATTR_FT_OVER_DS);
        return true;
    }
    if (p.eat(K("timeout"))) {
        attr(p, UGW_ATTR_FT_TIMEOUT);
        if (!set) return true;
        if (p.t == UGW_TOKEN_NUMBER && seconds_to_tu(p.v.number) > UINT32_MAX) return p.invalid();
        return number(p, &value(p));
    }
    return false;
}

bool service_setting(parser &p, bool set)
{
    ugw_conf &conf = p.c->conf;
    auto flag = [&](ugw_attr a) {
        attr(p, a);
        return true;
    };
    auto mode = [&](ugw_attr a, const auto &choices) {
        attr(p, a);
        return !set || pick(p, choices, &conf.u.value);
    };
    if (p.eat(K("device"))) {
        attr(p, UGW_ATTR_DEVICE);
        return text(p, conf.u.text); // unset names the device to remove
    }
    if (p.eat(K("ssid"))) {
        attr(p, UGW_ATTR_SSID);
        return !set || text(p, conf.u.text);
    }
    if (p.eat(K("nas"))) {
        attr(p, UGW_ATTR_NAS);
        return !set || text(p, conf.u.text);
    }
    if (p.eat(K("vni"))) {
        attr(p, UGW_ATTR_VNI);
        return !set || number_in(p, &conf.u.value, 0, (1u << 24) - 1);
    }
    if (p.eat(K("qos"))) return flag(UGW_ATTR_QOS);
    if (p.eat(K("frag"))) {
        attr(p, UGW_ATTR_FRAG);
        return !set || number_in(p, &conf.u.value, 256, 65535);
    }
    if (p.eat(K("amsdu"))) {
        if (p.eat(K("agg"))) return flag(UGW_ATTR_AMSDU_AGG);
        if (p.eat(K("spp"))) return mode(UGW_ATTR_AMSDU_SPP, spp_modes);
        return false;
    }
    if (p.eat(K("timeout"))) {
        attr(p, UGW_ATTR_TIMEOUT);
        if (!set) return true;
        // Stored in thousands of TU in 16 bits.
        if (p.t == UGW_TOKEN_NUMBER && seconds_to_tu(p.v.number) / 1000 > 65535) return p.invalid();
        return number_in(p, &conf.u.value, 1, UINT32_MAX);
    }
    if (p.eat(K("nd"))) return mode(UGW_ATTR_ND, nd_modes);
    if (p.eat(K("multicast"))) return mode(UGW_ATTR_MULTICAST, multicast_modes);
    if (p.eat(K("broadcast"))) return mode(UGW_ATTR_BROADCAST, broadcast_modes);
    if (p.eat(K("isolation"))) return mode(UGW_ATTR_ISOLATION, isolation_modes);
    if (p.eat(K("wpa")))
        return security_setting(p, set, UGW_ATTR_WPA_AUTH, UGW_ATTR_WPA_CIPHER, false, false);
    if (p.eat(K("rsn")))
        return security_setting(p, set, UGW_ATTR_RSN_AUTH, UGW_ATTR_RSN_CIPHER, true, false);
    if (p.eat(K("ft")))
        return security_setting(p, set, UGW_ATTR_FT_AUTH, UGW_ATTR_FT_CIPHER, false, true);
    if (p.eat(K("group"))) {
        if (p.eat(K("cipher"))) return mode(UGW_ATTR_GROUP_CIPHER, ciphers);
        if (!p.eat(K("rekey"))) return false;
        if (p.eat(K("strict"))) return flag(UGW_ATTR_GROUP_REKEY_STRICT);
        if (p.eat(K("time"))) {
            attr(p, UGW_ATTR_GROUP_REKEY_TIME);
            return !set || number(p, &conf.u.value);
        }
        if (p.eat(K("packets"))) {
            attr(p, UGW_ATTR_GROUP_REKEY_PACKETS);
            return !set || number(p, &conf.u.value);
        }
        return false;
    }
    if (p.eat(K("pmksa"))) {
        if (!p.eat(K("cache"))) return false;
        attr(p, UGW_ATTR_PMKSA_CACHE);
        return !set || number_in(p, &conf.u.value, 0, 255);
    }
    if (p.eat(K("psk"))) {
        if (p.eat(K("passphrase"))) {
            attr(p, UGW_ATTR_PSK_PASSPHRASE);
            if (!set) return true;
            if (p.t == UGW_TOKEN_TEXT && strlen(p.v.text) < 8) return p.invalid();
            return text(p, conf.u.text);
        }
        if (p.eat(K("key"))) {
            attr(p, UGW_ATTR_PSK_KEY);
            return !set ||
                   hex(p, conf.u.hex.bytes, sizeof(conf.u.hex.bytes), &conf.u.hex.bits, 256, 256);
        }
        return false;
    }
    return false;
}

// ---- objects by verb ----

enum verb : uint32_t { LIST, SHOW, ADD, REMOVE, SET, UNSET };

// The listings under a client: flows, pmks, ft auths, leases, leases6, groups, groups6.
bool client_list(parser &p, bool in_service)
{
    if (p.eat(K("flows"))) return p.end(64);
    if (p.eat(K("leases"))) return p.end(73);
    if (p.eat(K("leases6"))) return p.end(74);
    if (p.eat(K("groups"))) return p.end(78);
    if (p.eat(K("groups6"))) return p.end(79);
    if (!in_service) return false;
    if (p.eat(K("pmks"))) return p.end(68);
    if (p.eat(K("ft"))) return p.eat(K("auths")) && p.end(71);
    return false;
}

bool service_sentence(parser &p, uint32_t verb)
{
    ugw_command *c = p.c;
    if (!uuid(p, c->uuid)) return false;
    switch (verb) {
    case LIST:
        if (p.eat(K("vaps"))) return p.end(60);
        if (p.eat(K("tunnels"))) return p.end(62);
        if (p.eat(K("access"))) return p.end(66);
        if (p.eat(K("vap"))) {
            c->bssid_given = true;
            return mac(p, c->bssid) && p.eat(K("flows")) && p.end(64);
        }
        if (p.eat(K("tunnel"))) return address(p, true) && p.eat(K("flows")) && p.end(64);
        if (p.eat(K("client"))) {
            c->client_given = true;
            return mac(p, c->client) && client_list(p, true);
        }
        return client_list(p, true);
    case SHOW:
        if (p.eat(K("vap"))) {
            c->bssid_given = true;
            return mac(p, c->bssid) && p.end(61);
        }
        if (p.eat(K("tunnel"))) return address(p, true) && p.end(63);
        if (p.eat(K("pmk"))) {
            int bits;
            return hex(p, c->pmkid, sizeof(c->pmkid), &bits, 128, 128) && p.end(69);
        }
        if (p.eat(K("client"))) {
            c->client_given = true;
            if (!mac(p, c->client)) return false;
            if (p.eat(K("access"))) return p.end(67);
            if (p.eat(K("ft"))) {
                c->bssid_given = true;
                return p.eat(K("auth")) && mac(p, c->bssid) && p.end(72);
            }
            if (p.eat(K("lease"))) return ip(p, &c->addr) && p.end(75);
            return false;
        }
        return p.end(54);
    case ADD:
        return p.end(55);
    case REMOVE:
        return p.end(56);
    case SET:
        return service_setting(p, true) && p.end(58);
    default:
        return service_setting(p, false) && p.end(59);
    }
}

bool control_sentence(parser &p, uint32_t verb)
{
    ugw_command *c = p.c;
    if (verb == SHOW && p.t == UGW_TOKEN_END) return p.end(8);
    if (!text(p, c->host)) return false;
    switch (verb) {
    case SHOW:
        return p.end(8);
    case ADD:
        return p.end(9);
    case REMOVE:
        return p.end(10);
    case SET:
        attr(p, UGW_ATTR_CONTROL_KEY);
        return p.eat(K("key")) && hex(p, c->conf.u.hex.bytes, 32, &c->conf.u.hex.bits, 64, 256) &&
               p.end(11);
    case UNSET:
        attr(p, UGW_ATTR_CONTROL_KEY);
        return p.eat(K("key")) && p.end(12);
    default:
        return false;
    }
}

bool port_sentence(parser &p, uint32_t verb)
{
    ugw_command *c = p.c;
    if (!text(p, c->ifname)) return false; // digits lex as a number here
    if (p.t == K("proto")) {
        if (verb >= SET || !port_proto(p)) return false;
        return p.end(verb == SHOW ? 20 : verb == ADD ? 21 : 22);
    }
    switch (verb) {
    case SHOW:
        return p.end(14);
    case ADD:
        return p.end(15);
    case REMOVE:
        return p.end(16);
    case SET:
        attr(p, UGW_ATTR_PORT_IP);
        return p.eat(K("ip")) && ip(p, &c->conf.u.addr) && p.end(17);
    case UNSET:
        attr(p, UGW_ATTR_PORT_IP);
        if (!p.eat(K("ip"))) return false;
        if (p.t == UGW_TOKEN_IPV4 || p.t == UGW_TOKEN_IPV6)
            if (!ip(p, &c->conf.u.addr)) return false;
        return p.end(18);
    default:
        return false;
    }
}

bool hostset_sentence(parser &p, uint32_t verb)
{
    ugw_command *c = p.c;
    if (p.t == UGW_TOKEN_NUMBER) {
        if (!number_in(p, &c->hostset, 1, UINT32_MAX)) return false;
        c->hostset_given = true;
    } else if (verb != ADD) {
        return false;
    }
    switch (verb) {
    case SHOW:
        return p.end(48);
    case ADD:
        return p.end(49);
    case REMOVE:
        return p.end(50);
    default:
        return p.eat(K("host")) && text(p, c->conf.u.text) && p.end(verb == SET ? 51 : 52);
    }
}

bool list_sentence(parser &p)
{
    ugw_command *c = p.c;
    struct simple {
        const char *keyword;
        uint32_t kind;
    };
    static constexpr simple simples[] = {
        {"modules", 3},   {"controls", 7},  {"ports", 13}, {"protos", 19},  {"nases", 23},
        {"hostsets", 47}, {"services", 53}, {"vaps", 60},  {"tunnels", 62}, {"flows", 64},
        {"fabric", 83},   {"sockets", 85},  {"fdbs", 87},  {"mdbs", 90},
    };
    for (const simple &s : simples)
        if (p.eat(ugw_keyword_token(s.keyword))) return p.end(s.kind);
    if (p.eat(K("memory"))) {
        if (p.t == UGW_TOKEN_END) return p.end(80);
        return text(p, c->pool) && p.eat(K("allocations")) && p.end(82);
    }
    if (p.eat(K("fdb"))) return text(p, c->iface) && p.eat(K("clients")) && p.end(88);
    if (p.eat(K("mdb"))) return text(p, c->iface) && p.eat(K("groups")) && p.end(91);
    if (p.eat(K("nas"))) return text(p, c->nas) && nas_sentence(p, LIST);
    if (p.eat(K("service"))) return service_sentence(p, LIST);
    if (p.eat(K("vap"))) {
        c->bssid_given = true;
        return mac(p, c->bssid) && p.eat(K("flows")) && p.end(64);
    }
    if (p.eat(K("tunnel"))) return address(p, true) && p.eat(K("flows")) && p.end(64);
    if (p.eat(K("client"))) {
        c->client_given = true;
        return mac(p, c->client) && client_list(p, false);
    }
    return false;
}

bool show_sentence(parser &p)
{
    ugw_command *c = p.c;
    if (p.eat(K("log"))) return p.end(4);
    if (p.eat(K("control"))) return control_sentence(p, SHOW);
    if (p.eat(K("port"))) return port_sentence(p, SHOW);
    if (p.eat(K("nas"))) return text(p, c->nas) && nas_sentence(p, SHOW);
    if (p.eat(K("hostset"))) return hostset_sentence(p, SHOW);
    if (p.eat(K("service"))) return service_sentence(p, SHOW);
    if (p.eat(K("vap"))) {
        c->bssid_given = c->client_given = true;
        return mac(p, c->bssid) && p.eat(K("client")) && mac(p, c->client) && p.eat(K("flow")) &&
               p.end(65);
    }
    if (p.eat(K("tunnel"))) {
        c->client_given = true;
        return address(p, true) && p.eat(K("client")) && mac(p, c->client) && p.eat(K("flow")) &&
               p.end(65);
    }
    if (p.eat(K("memory"))) return text(p, c->pool) && p.end(81);
    if (p.eat(K("fabric"))) return number(p, &c->fabric_port) && p.end(84);
    if (p.eat(K("socket"))) return text(p, c->iface) && p.end(86);
    if (p.eat(K("fdb"))) {
        c->client_given = true;
        return text(p, c->iface) && p.eat(K("client")) && mac(p, c->client) && p.end(89);
    }
    if (p.eat(K("mdb"))) {
        if (!text(p, c->iface) || !p.eat(K("group")) || p.t != UGW_TOKEN_MAC) return false;
        if (!(p.v.mac[0] & 1)) return p.invalid();
        return mac(p, c->group) && p.end(92);
    }
    return false;
}

// add, remove, set, unset share the objects they name.
bool change_sentence(parser &p, uint32_t verb)
{
    ugw_command *c = p.c;
    if (verb >= SET && p.eat(K("log"))) return log_sentence(p, verb == SET);
    if (p.eat(K("control"))) return control_sentence(p, verb);
    if (p.eat(K("port"))) return port_sentence(p, verb);
    if (p.eat(K("nas"))) return text(p, c->nas) && nas_sentence(p, verb);
    if (p.eat(K("hostset"))) return hostset_sentence(p, verb);
    if (p.eat(K("service"))) return service_sentence(p, verb);
    return false;
}

bool sentence(parser &p)
{
    ugw_command *c = p.c;
    if (p.eat(K("configure"))) return p.end(0);
    if (p.eat(K("commit"))) return p.end(1);
    if (p.eat(K("check"))) return p.end(2);
    if (p.eat(K("list"))) return list_sentence(p);
    if (p.eat(K("show"))) return show_sentence(p);
    if (p.eat(K("add"))) return change_sentence(p, ADD);
    if (p.eat(K("remove"))) return change_sentence(p, REMOVE);
    if (p.eat(K("set"))) return change_sentence(p, SET);
    if (p.eat(K("unset"))) return change_sentence(p, UNSET);
    if (p.eat(K("rename"))) {
        return p.eat(K("service")) && uuid(p, c->uuid) && p.eat(K("to")) && p.eat(K("service")) &&
               uuid(p, c->uuid2) && p.end(57);
    }
    if (p.eat(K("clear"))) {
        if (p.eat(K("nas"))) return text(p, c->nas) && p.eat(K("cache")) && p.end(70);
        if (!p.eat(K("service")) || !uuid(p, c->uuid)) return false;
        if (p.eat(K("client"))) {
            c->client_given = true;
            if (!mac(p, c->client)) return false;
        }
        return p.eat(K("cache")) && p.end(70);
    }
    if (p.eat(K("dump"))) {
        if (p.eat(K("leases"))) return p.end(76);
        return p.eat(K("leases6")) && p.end(77);
    }
    if (p.eat(K("listen"))) {
        uint32_t bit;
        if (!pick(p, listen_objects, &bit)) return false;
        do
            c->flags |= bit;
        while (pick(p, listen_objects, &bit));
        return p.end(UGW_KIND_LISTEN);
    }
    return false;
}

} // namespace

int ugw_parse(ugw_words *w, ugw_command *cmd)
{
    parser p{.w = w, .c = cmd, .v = {}, .t = 0, .bad_value = false};
    p.next();
    if (sentence(p)) return 0;
    errno = p.bad_value ? EINVAL : 0;
    return -1;
}

int ugw_parse_args(int count, char *const *words, ugw_command *cmd)
{
    memset(cmd, 0, sizeof(*cmd));
    ugw_words w;
    ugw_words_init(&w, words, count);
    return ugw_parse(&w, cmd);
}
