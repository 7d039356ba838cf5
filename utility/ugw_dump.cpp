#include "utility/ugw_dump.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <net/if.h>
#include <unistd.h>

#include "common/array.h"
#include "common/ctl_msg.h"
#include "common/filter/filter_rule.h"
#include "dot11/dot11_mib.h"
#include "gateway/ugwd_control.h"
#include "gateway/ugwd_table.h"
#include "utility/gwc.h"
#include "utility/ugw_action.h"

namespace
{

int fail(int err)
{
    errno = err;
    return -1;
}

// Never cut: an escaped name may be four times its length.
void add(std::string &out, const char *fmt, auto... args)
{
    int n = snprintf(nullptr, 0, fmt, args...);
    if (n <= 0) return;
    size_t at = out.size();
    out.resize(at + static_cast<size_t>(n) + 1);
    snprintf(out.data() + at, static_cast<size_t>(n) + 1, fmt, args...);
    out.resize(at + static_cast<size_t>(n));
}

std::string quoted(std::string_view bytes)
{
    std::string s;
    ugw_dump_quote(s, bytes);
    return s;
}

std::string_view text_of(const char *field, size_t size)
{
    return {field, strnlen(field, size)};
}

std::string hex_of(const uint8_t *bytes, size_t digits)
{
    static const char x[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < digits; i++)
        s += x[i % 2 ? bytes[i / 2] & 15 : bytes[i / 2] >> 4];
    return s;
}

bool all_zero(const uint8_t *b, size_t n)
{
    for (size_t i = 0; i < n; i++)
        if (b[i]) return false;
    return true;
}

std::string address_of(int family, const uint8_t *bytes)
{
    char text[INET6_ADDRSTRLEN] = "";
    inet_ntop(family, bytes, text, sizeof(text));
    return text;
}

// ---- NAS servers ----

int server_lines(std::string &out, const std::string &nas, const char *kind, uint16_t default_port,
                 uint8_t type, const uint8_t *addr, uint16_t port, const char *secret)
{
    int family = type == RADIUS_INET_IPV4 ? AF_INET : type == RADIUS_INET_IPV6 ? AF_INET6 : 0;
    if (!family) return 0;
    std::string a = address_of(family, addr);
    add(out, "add %s %s server %s\n", nas.c_str(), kind, a.c_str());
    if (port != default_port)
        add(out, "set %s %s server %s port %u\n", nas.c_str(), kind, a.c_str(), port);
    std::string_view s = text_of(secret, RADIUS_SECRET_SIZE);
    if (!s.empty())
        out += "set " + nas + " " + kind + " server " + a + " secret " + quoted(s) + "\n";
    return 0;
}

std::string nas_text(const ugw_dump_nas_record *r)
{
    return "nas " + quoted(text_of(r->config.radiusAuthClientIdentifier,
                                   sizeof(r->config.radiusAuthClientIdentifier)));
}

// ---- services ----

struct service_view {
    ugwd_service_mib mib;
    dot11_auth_config dot11;
    uint8_t vap[UGW_SERVICE_VAP_PARAMS];
    uint8_t rest[UGW_SERVICE_RECORD - 768 - 280 - UGW_SERVICE_VAP_PARAMS];
};
static_assert(offsetof(service_view, rest) + sizeof(service_view::rest) == UGW_SERVICE_RECORD);
static_assert(offsetof(service_view, dot11) == 768 && offsetof(service_view, vap) == 1048);

struct suite_name {
    uint32_t suite;
    const char *text;
};

constexpr uint32_t WPA(uint8_t type)
{
    return dot11_suite(0x00, 0x50, 0xf2, type);
}
constexpr uint32_t RSN(uint8_t type)
{
    return dot11_suite(0x00, 0x0f, 0xac, type);
}

constexpr suite_name akm_names[] = {
    {WPA(1), "wpa auth eap"},    {WPA(2), "wpa auth psk"},    {RSN(1), "rsn auth eap"},
    {RSN(2), "rsn auth psk"},    {RSN(3), "ft auth eap"},     {RSN(4), "ft auth psk"},
    {RSN(5), "rsn auth eap256"}, {RSN(6), "rsn auth psk256"},
};
constexpr suite_name cipher_names[] = {
    {WPA(2), "wpa cipher tkip"},
    {RSN(2), "rsn cipher tkip"},
    {WPA(4), "wpa cipher ccmp"},
    {RSN(4), "rsn cipher ccmp"},
};

const char *name_of(const suite_name *table, size_t n, uint32_t suite)
{
    for (size_t i = 0; i < n; i++)
        if (table[i].suite == suite) return table[i].text;
    return nullptr;
}

const char *const spp_names[] = {"none", nullptr, "auto", "required"};
const char *const broadcast_names[] = {"global", "directed", "control", nullptr};
const char *const multicast_names[] = {"pass", "local", "directed", "control"};
const char *const nd_names[] = {"pass", "local", "directed", "proxy"};
const char *const isolation_names[] = {"device", "service", "flow", nullptr};

// Rounded to the nearest second: the set actions round back to the same unit.
uint64_t units_to_seconds(uint64_t units)
{
    return (units * 1024000 + 500000) / 1000000;
}
uint64_t tu_to_seconds(uint64_t tu)
{
    return (tu * 1024 + 500000) / 1000000;
}

int service_lines(std::string &out, const service_view &s, ugw_ifname_fn ifname)
{
    const uint8_t *u = s.mib.ulmexServiceId;
    char id[64];
    snprintf(id, sizeof(id),
             "service %02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", u[0],
             u[1], u[2], u[3], u[4], u[5], u[6], u[7], u[8], u[9], u[10], u[11], u[12], u[13],
             u[14], u[15]);
    const dot11_auth_config &d = s.dot11;
    std::string_view ssid(reinterpret_cast<const char *>(s.mib.ulmexServiceSSID.ulmexSSIDValue),
                          std::min<size_t>(s.mib.ulmexServiceSSID.length, 32));
    // A NUL would end the word that carries it: no command sets such an SSID.
    if (ssid.find('\0') != ssid.npos) return fail(EILSEQ);

    add(out, "add %s\n", id);
    unsigned devices = std::min<unsigned>(s.mib.ulmexServiceIfCount, UGWD_SERVICE_IFS);
    for (unsigned i = 0; i < devices; i++) {
        char name[IF_NAMESIZE];
        if (!ifname(s.mib.ulmexServiceIfIndices[i], name)) return fail(ENODEV);
        out += std::string("set ") + id + " device " + quoted(name) + "\n";
    }
    // The PSK follows the SSID, which clears it.
    if (!ssid.empty()) out += std::string("set ") + id + " ssid " + quoted(ssid) + "\n";
    if (!all_zero(d.dot11RSNAConfigPSKValue, 32))
        add(out, "set %s psk key %s\n", id, hex_of(d.dot11RSNAConfigPSKValue, 64).c_str());
    std::string_view nas =
        text_of(s.mib.ulmexRadiusNASIdentifier, sizeof(s.mib.ulmexRadiusNASIdentifier));
    if (!nas.empty()) out += std::string("set ") + id + " nas " + quoted(nas) + "\n";
    if (s.mib.ulmexServiceVNI) add(out, "set %s vni %u\n", id, s.mib.ulmexServiceVNI);

    uint8_t flags = s.vap[UGW_VAP_FLAGS_AT];
    if (!(flags & UGW_VAP_QOS)) add(out, "unset %s qos\n", id);
    if (flags & UGW_VAP_AMSDU) add(out, "set %s amsdu agg\n", id);
    unsigned spp = flags & UGW_VAP_SPP;
    if (spp != UGW_SPP_AUTO && spp_names[spp])
        add(out, "set %s amsdu spp %s\n", id, spp_names[spp]);
    uint16_t frag;
    memcpy(&frag, s.vap + UGW_VAP_FRAG_AT, sizeof(frag));
    if (frag != UGW_DEFAULT_FRAG) add(out, "set %s frag %u\n", id, frag);
    if (d.dot11BssMaxIdlePeriod != UGW_DEFAULT_TIMEOUT)
        add(out, "set %s timeout %llu\n", id,
            static_cast<unsigned long long>(units_to_seconds(d.dot11BssMaxIdlePeriod)));

    uint8_t mode = s.mib.mode;
    if (unsigned m = mode >> 6 & 3; m && broadcast_names[m])
        add(out, "set %s broadcast %s\n", id, broadcast_names[m]);
    if (unsigned m = mode >> 4 & 3; m) add(out, "set %s multicast %s\n", id, multicast_names[m]);
    if (unsigned m = mode & 3; m) add(out, "set %s nd %s\n", id, nd_names[m]);
    if (unsigned m = mode >> 2 & 3; m && isolation_names[m])
        add(out, "set %s isolation %s\n", id, isolation_names[m]);

    // Suites whether or not security is on: an unfinished service keeps them.
    for (uint32_t a : d.dot11RSNAConfigAuthenticationSuite)
        if (const char *n = name_of(akm_names, std::size(akm_names), a))
            add(out, "set %s %s\n", id, n);
    for (uint32_t c : d.dot11RSNAConfigPairwiseCipher)
        if (const char *n = name_of(cipher_names, std::size(cipher_names), c))
            add(out, "set %s %s\n", id, n);
    if (d.flags_b & DOT11_CFG_B_PREAUTH_ACTIVATED) add(out, "set %s rsn preauth\n", id);
    uint32_t group = d.dot11RSNAConfigGroupCipher;
    if (group == WPA(2) || group == RSN(2)) add(out, "set %s group cipher tkip\n", id);
    if (group == WPA(4) || group == RSN(4)) add(out, "set %s group cipher ccmp\n", id);
    // The rekey mode follows from the time and the packet count.
    uint32_t rekey = d.dot11RSNAConfigGroupRekeyTime;
    if (rekey == 0)
        add(out, "unset %s group rekey time\n", id);
    else if (rekey != UGW_DEFAULT_REKEY_TIME)
        add(out, "set %s group rekey time %u\n", id, rekey);
    if (d.dot11RSNAConfigGroupRekeyPackets)
        add(out, "set %s group rekey packets %u\n", id, d.dot11RSNAConfigGroupRekeyPackets);
    if (d.flags_a & DOT11_CFG_A_REKEY_STRICT) add(out, "set %s group rekey strict\n", id);
    if (d.dot11RSNAConfigPMKIDCacheSize != UGW_DEFAULT_PMKSA_CACHE)
        add(out, "set %s pmksa cache %u\n", id, d.dot11RSNAConfigPMKIDCacheSize);

    if (d.dot11FTMobilityDomainID != UGW_DEFAULT_MOBILITY_DOMAIN)
        add(out, "set %s ft mobility-domain %u\n", id, d.dot11FTMobilityDomainID);
    if (d.flags_b & DOT11_CFG_B_FT_OVER_DS) add(out, "set %s ft over-ds\n", id);
    if (d.dot11FTReassociationDeadline != UGW_DEFAULT_FT_TIMEOUT)
        add(out, "set %s ft timeout %llu\n", id,
            static_cast<unsigned long long>(tu_to_seconds(d.dot11FTReassociationDeadline)));
    return 0;
}

// ---- the sequence of requests ----

struct rows {
    Ary a{};
    rows() { array_init(&a, 1); }
    ~rows() { array_purge(&a); }
    const uint8_t *at(uint32_t i) const
    {
        return static_cast<const uint8_t *>(a._buffer) + static_cast<size_t>(i) * a._size;
    }
};

template <typename T> T row_as(const rows &r, uint32_t i)
{
    T v;
    memcpy(&v, r.at(i), sizeof(v));
    return v;
}

// The text is written as soon as a record is done: what a later failure
// leaves out is then all that is missing.
int emit(FILE *out, std::string &text)
{
    size_t n = fwrite(text.data(), 1, text.size(), out);
    bool ok = n == text.size();
    text.clear();
    return ok ? 0 : -1;
}

// A daemon built without a kind of object holds none of it.
int listed(int n)
{
    return n < 0 && errno == EOPNOTSUPP ? 0 : n;
}

int dump_controls(gwc_connection *c, FILE *out)
{
    rows list;
    int n = listed(gwc_dump_controls(c, &list.a));
    std::string text;
    for (int i = 0; i < n; i++) {
        auto r = row_as<ulmexControl>(list, static_cast<uint32_t>(i));
        if (ugw_dump_control(text, &r) < 0 || emit(out, text) < 0) return -1;
    }
    return n < 0 ? -1 : 0;
}

int dump_ports(gwc_connection *c, FILE *out)
{
    rows list;
    int n = listed(gwc_dump_ports(c, &list.a));
    std::string text;
    for (int i = 0; i < n; i++) {
        auto r = row_as<ugwd_port_mib>(list, static_cast<uint32_t>(i));
        char name[IF_NAMESIZE];
        if (!if_indextoname(r.ulmexPortIfIndex, name)) return -1;
        std::string port = "port " + quoted(name);
        text += "add " + port + "\n";
        if (!all_zero(r.ulmexPortConfig, 4))
            text += "set " + port + " ip " + address_of(AF_INET, r.ulmexPortConfig) + "\n";
        if (!all_zero(r.ulmexPortConfig6, 16))
            text += "set " + port + " ip " + address_of(AF_INET6, r.ulmexPortConfig6) + "\n";
        if (emit(out, text) < 0) return -1;
    }
    return n < 0 ? -1 : 0;
}

int dump_sockets(gwc_connection *c, FILE *out)
{
    static const char *const protos[] = {nullptr, "native", "vxlan", "geneve", "gre"};
    rows list;
    int n = listed(gwc_dump_sockets(c, &list.a));
    std::string text;
    for (int i = 0; i < n; i++) {
        auto r = row_as<ugwd_socket_mib>(list, static_cast<uint32_t>(i));
        if (r.ulmexSockProto < 1 || r.ulmexSockProto > 4) continue;
        char name[IF_NAMESIZE];
        if (!if_indextoname(r.ulmexPortIfIndex, name)) return -1;
        text += "add port " + quoted(name) + " proto " + protos[r.ulmexSockProto];
        if (r.ulmexSockConfig) add(text, " udp %u", r.ulmexSockConfig);
        text += "\n";
        if (emit(out, text) < 0) return -1;
    }
    return n < 0 ? -1 : 0;
}

int dump_filters(gwc_connection *c, const char *nas, const std::string &nas_words,
                 std::string &text)
{
    rows names;
    int n = gwc_dump_filters(c, nas, &names.a);
    for (int i = 0; i < n; i++) {
        char name[CTL_KEY_FILTER_NAME + 1] = {};
        memcpy(name, names.at(static_cast<uint32_t>(i)),
               std::min<size_t>(names.a._size, CTL_KEY_FILTER_NAME));
        std::string filter = nas_words + " filter " + quoted(name);
        text += "add " + filter + "\n";
        rows rules;
        int m = gwc_get_filter(c, nas, name, &rules.a);
        if (m < 0) return -1;
        for (int k = 0; k < m; k++) {
            auto rule = row_as<filter_rule>(rules, static_cast<uint32_t>(k));
            // Rules are never cut: the buffer holds the longest text.
            char buffer[2048];
            filter_rule_print(&rule, buffer, sizeof(buffer));
            text += "set " + filter + " last rule " + quoted(buffer) + "\n";
        }
    }
    return n < 0 ? -1 : 0;
}

int dump_nases(gwc_connection *c, FILE *out)
{
    rows list;
    int n = listed(gwc_dump_nases(c, &list.a));
    std::string text;
    for (int i = 0; i < n; i++) {
        auto config = row_as<radius_nas_config>(list, static_cast<uint32_t>(i));
        char name[RADIUS_NAS_ID_SIZE + 1] = {};
        memcpy(name, config.radiusAuthClientIdentifier, RADIUS_NAS_ID_SIZE);
        ugw_dump_nas_record r;
        uint8_t das[CTL_REC_NAS_DAS];
        if (gwc_get_nas(c, name, &r.config, r.auth, r.acct, das) < 0) return -1;
        if (ugw_dump_nas_head(text, &r) < 0 || dump_filters(c, name, nas_text(&r), text) < 0 ||
            ugw_dump_nas_servers(text, &r) < 0 || emit(out, text) < 0)
            return -1;
    }
    return n < 0 ? -1 : 0;
}

int dump_hostsets(gwc_connection *c, FILE *out)
{
    rows ids;
    int n = listed(gwc_dump_hostsets(c, &ids.a));
    std::string text;
    for (int i = 0; i < n; i++) {
        uint32_t id = row_as<uint32_t>(ids, static_cast<uint32_t>(i));
        add(text, "add hostset %u\n", id);
        rows hosts;
        int m = gwc_get_hostset(c, id, &hosts.a);
        if (m < 0) return -1;
        for (int k = 0; k < m; k++) {
            char host[CTL_REC_HOST + 2] = "*";
            memcpy(host + 1, hosts.at(static_cast<uint32_t>(k)), CTL_REC_HOST);
            // The set command drops one leading '*': a wildcard's '.', or a
            // '*' of the name itself, gets one in front.
            const char *word = host[1] == '.' || host[1] == '*' ? host : host + 1;
            add(text, "set hostset %u host ", id);
            text += quoted(word) + "\n";
        }
        if (emit(out, text) < 0) return -1;
    }
    return n < 0 ? -1 : 0;
}

int dump_services(gwc_connection *c, FILE *out)
{
    rows list;
    int n = listed(gwc_dump_services(c, &list.a));
    std::string text;
    for (int i = 0; i < n; i++) {
        auto row = row_as<ugwd_service_mib>(list, static_cast<uint32_t>(i));
        service_view s;
        auto *b = reinterpret_cast<uint8_t *>(&s);
        if (gwc_get_service(c, row.ulmexServiceId, b, b + 768, b + 1048,
                            b + 1048 + UGW_SERVICE_VAP_PARAMS,
                            b + 1048 + UGW_SERVICE_VAP_PARAMS + 52) < 0)
            return -1;
        if (ugw_dump_service(text, &s, if_indextoname) < 0 || emit(out, text) < 0) return -1;
    }
    return n < 0 ? -1 : 0;
}

// The real user and group of a process, from its status file.
int process_ids(int pid, uid_t *uid, gid_t *gid)
{
    char path[64];
    snprintf(path, sizeof(path), "/proc/%d/status", pid);
    FILE *f = fopen(path, "re");
    if (!f) return -1;
    char line[256];
    int found = 0;
    while (fgets(line, sizeof(line), f)) {
        unsigned long v;
        if (sscanf(line, "Uid: %lu", &v) == 1) {
            *uid = static_cast<uid_t>(v);
            found |= 1;
        } else if (sscanf(line, "Gid: %lu", &v) == 1) {
            *gid = static_cast<gid_t>(v);
            found |= 2;
        }
    }
    fclose(f);
    return found == 3 ? 0 : fail(EIO);
}

} // namespace

void ugw_dump_quote(std::string &out, std::string_view bytes)
{
    bool plain = true;
    for (unsigned char ch : bytes)
        plain = plain && ch >= 0x20 && ch <= 0x7e && ch != '\'' && ch != '"';
    if (plain) {
        out += '\'';
        out += bytes;
        out += '\'';
        return;
    }
    static const char x[] = "0123456789abcdef";
    for (unsigned char ch : bytes) {
        if (ch == ' ' || ch == '\'' || ch == '"' || ch == '\\') {
            out += '\\';
            out += static_cast<char>(ch);
        } else if (ch > 0x20 && ch < 0x7f) {
            out += static_cast<char>(ch);
        } else {
            out += "\\x";
            out += x[ch >> 4];
            out += x[ch & 15];
        }
    }
}

int ugw_dump_control(std::string &out, const ulmexControl *r)
{
    std::string name = quoted(text_of(r->ulmexControlName, sizeof(r->ulmexControlName)));
    out += "add control " + name + "\n";
    unsigned bits = std::min<unsigned>(r->ulmexControlKeyLength, 256);
    if (bits)
        out += "set control " + name + " key " + hex_of(r->ulmexControlKey, (bits + 3) / 4) + "\n";
    return 0;
}

int ugw_dump_nas_head(std::string &out, const ugw_dump_nas_record *r)
{
    std::string nas = nas_text(r);
    out += "add " + nas + "\n";
    if (r->config.radiusClientRequestPorts != 1)
        add(out, "set %s ports %u\n", nas.c_str(),
            static_cast<unsigned>(r->config.radiusClientRequestPorts));
    // add nas leaves caching off, so the line is for caching on.
    if (r->config.radiusClientCaching) out += "set " + nas + " caching\n";
    return 0;
}

int ugw_dump_nas_servers(std::string &out, const ugw_dump_nas_record *r)
{
    std::string nas = nas_text(r);
    for (const auto &row : r->auth)
        server_lines(out, nas, "auth", 1812, row.radiusAuthServerInetAddressType,
                     row.radiusAuthServerInetAddress, row.radiusAuthClientServerInetPortNumber,
                     row.radiusAuthServerSharedSecret);
    for (const auto &row : r->acct)
        server_lines(out, nas, "acct", 1813, row.radiusAccServerInetAddressType,
                     row.radiusAccServerInetAddress, row.radiusAccClientServerInetPortNumber,
                     row.radiusAccServerSharedSecret);
    return 0;
}

int ugw_dump_service(std::string &out, const void *record, ugw_ifname_fn ifname)
{
    service_view s{};
    memcpy(&s, record, UGW_SERVICE_RECORD);
    size_t mark = out.size();
    int r = service_lines(out, s, ifname);
    if (r < 0) out.resize(mark); // no half record
    return r;
}

int ugw_dump_config_on(gwc_connection *c, FILE *out)
{
    if (dump_controls(c, out) < 0 || dump_ports(c, out) < 0 || dump_sockets(c, out) < 0 ||
        dump_nases(c, out) < 0 || dump_hostsets(c, out) < 0 || dump_services(c, out) < 0)
        return -1;
    return fflush(out) == 0 ? 0 : -1;
}

int ugw_dump_privileged(int pid)
{
    uid_t uid;
    gid_t gid;
    if (process_ids(pid, &uid, &gid) < 0) return -1;
    return geteuid() == uid || getegid() == gid ? 0 : fail(EPERM);
}

int ugw_dump_config(const char *path)
{
    const char *dot = strrchr(path, '.');
    char *end = nullptr;
    long pid = dot ? strtol(dot + 1, &end, 10) : 0;
    if (!dot || *end || pid <= 0) return fail(EINVAL);
    if (ugw_dump_privileged(static_cast<int>(pid)) < 0) return -1;
    gwc_connection *c = gwc_create(path, nullptr, nullptr, 0);
    if (!c) return -1;
    int r = ugw_dump_config_on(c, stdout);
    int saved = errno;
    gwc_destroy(c);
    errno = saved;
    return r;
}
