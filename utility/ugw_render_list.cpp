// Every row is formatted and written as it is read from the reply, so the
// cost of a list is one pass over the reply and the stream's own buffer.
#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>

#include "common/filter/filter_rule.h"
#include "common/log.h"
#include "common/sockaddr.h"
#include "common/strings.h"
#include "utility/ugw_dot11_ie.h"
#include "utility/ugw_format.h"
#include "utility/ugw_parse.h"
#include "utility/ugw_render.h"
#include "utility/ugw_render_list.h"
#include "utility/ugw_render_util.h"

namespace
{

constexpr size_t AGE_WIDTH = 6;
constexpr unsigned CAP = 999;

// Counts shown in three columns.
unsigned capped(uint32_t n)
{
    return n > CAP ? CAP : n;
}

void header(const char *text)
{
    puts(text);
    ugw_list_rule(stdout);
}

// A table: its header and rule, then one line per row.
template <class T, class Row> int table(const ugw_render_args *a, const char *title, Row row)
{
    if (!ugw_rows_fit(a, sizeof(T))) return -1;
    header(title);
    if (ugw_each_row<T>(a, row) < 0) return -1;
    return ugw_list_done();
}

// One line per row, no header: the abbreviated form.
template <class T, class Row> int lines(const ugw_render_args *a, Row row)
{
    if (ugw_each_row<T>(a, row) < 0) return -1;
    return ugw_list_done();
}

// The abbreviated show: the list line of its one record.
template <class T, class Row> int line(const ugw_render_args *a, Row row)
{
    T r;
    if (!ugw_take_record(a, &r)) return -1;
    row(r);
    return ugw_list_done();
}

const char *addr_text(char *out, size_t size, int family, const uint8_t *addr)
{
    if (bytes_zero(addr, family == AF_INET ? 4 : 16)) return "-";
    return inet_ntop(family, addr, out, static_cast<socklen_t>(size)) ? out : "-";
}

// The address of a stored socket address without its port; "-" when unset.
char *sa_host(char *out, size_t size, const void *stored)
{
    return format_sockaddr(out, size, stored, SOCKADDR_FMT_NO_PORT);
}

const char *dash0(char *out, size_t size, uint64_t v)
{
    if (!v) return "-";
    snprintf(out, size, "%llu", static_cast<unsigned long long>(v));
    return out;
}

// Time left of a lease that began at start: "-" once it ran out.
char *time_left(char *out, size_t size, uint32_t start, uint32_t lease_time, uint32_t now)
{
    uint32_t since = now - start;
    if (start && since < lease_time)
        return format_duration(out, size, lease_time - since, AGE_WIDTH);
    string_lcpy(out, "-", size);
    return out;
}

// ---- controllers ----

void control_row(const ulmexControl &r, uint32_t now)
{
    char name[32], addr[SOCKADDR_FMT_SIZE], key[8], status[16];
    uint64_t age = r.ulmexConnectTime && r.ulmexConnectTime <= now ? now - r.ulmexConnectTime : 0;
    printf("%-24s %-39s %3s %u.%02u %-s\n",
           format_text(name, 25, r.ulmexControlName, sizeof r.ulmexControlName),
           sa_host(addr, sizeof addr, &r.ulmexRemoteInet),
           dash0(key, sizeof key, r.ulmexControlKeyLength), r.ulmexControlRttAvg / 1000,
           r.ulmexControlRttAvg % 1000 / 10,
           format_control_status(status, sizeof status, r.ulmexControlStatus, age));
}

// ---- ports and sockets ----

const char *ifname_or_empty(uint32_t index, char out[64])
{
    const char *name = ugw_ifname_text(index, out, 64);
    return name ? name : "";
}

void port_row(const ugwd_port_mib &r)
{
    char name[64], v4[INET_ADDRSTRLEN], v6[INET6_ADDRSTRLEN];
    printf("%-15s  %-21s  %s\n", ifname_or_empty(r.ulmexPortIfIndex, name),
           addr_text(v4, sizeof v4, AF_INET, r.ulmexPortInet),
           addr_text(v6, sizeof v6, AF_INET6, r.ulmexPortInet6));
}

void socket_row(const ugwd_socket_mib &r)
{
    char udp[8], v4[SOCKADDR_FMT_SIZE] = "-", v6[SOCKADDR_FMT_SIZE] = "-";
    const char *t4 = v4, *t6 = v6;
    if (r.ulmexSockProto == 4) {
        t4 = addr_text(v4, sizeof v4, AF_INET,
                       reinterpret_cast<const uint8_t *>(&r.ulmexSockInet.sin_addr));
        t6 = addr_text(v6, sizeof v6, AF_INET6,
                       reinterpret_cast<const uint8_t *>(&r.ulmexSockInet6.sin6_addr));
    } else if (r.ulmexSockProto >= 1 && r.ulmexSockProto <= 3) {
        uint8_t stored[28] = {};
        memcpy(stored, &r.ulmexSockInet, sizeof r.ulmexSockInet);
        if (r.ulmexSockInet.sin_family == AF_INET) format_sockaddr(v4, sizeof v4, stored, 0);
        if (r.ulmexSockInet6.sin6_family == AF_INET6)
            format_sockaddr(v6, sizeof v6, &r.ulmexSockInet6, 0);
    }
    printf("%-6s  %5s  %-21s  %s\n", tunnel_proto_name(r.ulmexSockProto),
           dash0(udp, sizeof udp, r.ulmexSockConfig), t4, t6);
}

// ---- NASes, filters, hostsets ----

uint16_t nas_ports(const radius_nas_config &r)
{
    uint16_t word;
    memcpy(&word, reinterpret_cast<const uint8_t *>(&r) + RADIUS_NAS_ID_SIZE, 2);
    return word;
}

void nas_row(const radius_nas_config &r)
{
    char id[80];
    uint16_t word = nas_ports(r);
    printf("%-67.67s  %5u   %3s\n",
           format_text(id, sizeof id, r.radiusAuthClientIdentifier,
                       sizeof r.radiusAuthClientIdentifier),
           unsigned{word} >> 1, word & 1 ? "yes" : "no");
}

struct filter_name {
    char text[CTL_REC_FILTER_NAME];
};
static_assert(sizeof(filter_name) == 254);

void filter_line(const filter_name &r)
{
    char id[81];
    puts(format_text(id, sizeof id, r.text, sizeof r.text));
}

struct host_entry {
    char text[CTL_REC_HOST];
};
static_assert(sizeof(host_entry) == 260);

const char *host_star(const host_entry &h)
{
    return h.text[0] == '.' ? "*" : "";
}

// ---- services, VAPs, tunnels, flows ----

const char *service_auth(const ugwd_service_mib &r)
{
    dot11_auth_config cfg{};
    size_t n = r.ulmexESSTemplateLength < sizeof r.ulmexESSTemplate ? r.ulmexESSTemplateLength
                                                                    : sizeof r.ulmexESSTemplate;
    dot11_ie_show_template({r.ulmexESSTemplate, n}, &cfg);
    // The first AKM of a known kind names the column.
    for (uint32_t s : cfg.dot11RSNAConfigAuthenticationSuite) {
        if (ugw_akm_8021x(s)) return "eap";
        switch (s) {
        case DOT11_AKM_PSK:
        case DOT11_AKM_FT_PSK:
        case DOT11_AKM_PSK_SHA256:
        case DOT11_AKM_WPA_PSK:
            return "psk";
        default:
            break;
        }
    }
    return "-";
}

void service_row(const ugwd_service_mib &r, uint32_t now)
{
    char uuid[37], ssid[33], status[16];
    // Services keep no status time: status 2 counts from the start time.
    uint32_t start = r.ulmexStartTime;
    uint64_t age = start && start <= now ? now - start : 0;
    printf("%s %-32s %3s %6s\n", format_uuid(uuid, r.ulmexServiceId),
           format_ssid(ssid, r.ulmexServiceSSID.ulmexSSIDValue, r.ulmexServiceSSID.length),
           service_auth(r),
           format_control_status(status, sizeof status, r.ulmexServiceStatus, age));
}

void vap_row(const ugwd_vap_mib &r, uint32_t now)
{
    char bssid[18], ssid[33], down[16], up[16], age[16];
    printf("%s  %-32s %3u  %7s %7s  %6s\n", format_mac(bssid, r.ulmexServiceBSSID),
           format_ssid(ssid, r.ulmexServiceSSID.ulmexSSIDValue, r.ulmexServiceSSID.length),
           capped(r.ulmexServiceActiveFlows), ugw_list_bytes(down, r.traffic.ulmexDownloadBytes),
           ugw_list_bytes(up, r.traffic.ulmexUploadBytes),
           format_age(age, sizeof age, r.ulmexStartTime, now, AGE_WIDTH));
}

// Protocol and VNI as one 13-character column: the name gives way to a wide VNI.
char *proto_vni(char out[32], uint32_t proto, uint32_t vni)
{
    const char *name = tunnel_proto_name(proto);
    if (proto == 4)
        snprintf(out, 32, "%-6.6s      -", name);
    else if (vni < 1000000)
        snprintf(out, 32, "%-6.6s %6u", name, vni);
    else if (vni < 10000000)
        snprintf(out, 32, "%-5.5s %7u", name, vni);
    else
        snprintf(out, 32, "%-4.4s %8u", name, vni);
    return out;
}

void tunnel_row(const ugwd_tunnel_mib &r, uint32_t now)
{
    char addr[SOCKADDR_FMT_SIZE], pv[32], down[16], up[16], age[16];
    printf("%-39s %s %3u %7s %7s %6s\n", sa_host(addr, sizeof addr, r.ulmexRemotePort),
           proto_vni(pv, r.ulmexTunnelProto, r.ulmexTunnelVNI), capped(r.ulmexServiceActiveFlows),
           ugw_list_bytes(down, r.traffic.ulmexDownloadBytes),
           ugw_list_bytes(up, r.traffic.ulmexUploadBytes),
           format_age(age, sizeof age, r.ulmexStartTime, now, AGE_WIDTH));
}

void flow_row(const ugw_flow_rec &r, uint32_t now)
{
    char client[18], bssid[18], ssid[33], down[16], up[16], age[16];
    printf("%s %s %-21.21s %7s %7s %6s\n", format_mac(client, r.ulmexClientMAC),
           format_mac(bssid, r.ulmexBSSID), format_ssid(ssid, r.ulmexSSIDValue, r.ulmexSSIDLength),
           ugw_list_bytes(down, r.ulmexDownloadBytes), ugw_list_bytes(up, r.ulmexUploadBytes),
           format_age(age, sizeof age, r.ulmexAssociateTime, now, AGE_WIDTH));
}

// ---- leases and groups ----

void lease_row(const ugwd_lease_rec &r, uint32_t now)
{
    char mac[18], name[72], addr[INET_ADDRSTRLEN], lease[32], left[16];
    inet_ntop(AF_INET, r.addr, addr, sizeof addr);
    snprintf(lease, sizeof lease, "%s/%u", addr, (r.flags & 0x7e) >> 1);
    printf("%s %-35.35s %-18s  %6s\n", format_mac(mac, r.mac),
           format_text(name, sizeof name, r.hostname, sizeof r.hostname), lease,
           time_left(left, sizeof left, r.start, r.lease_time, now));
}

const char *lease6_method(uint8_t kind)
{
    switch (kind) {
    case UGWD_LEASE6_LINK_LOCAL:
        return "link";
    case UGWD_LEASE6_SLAAC:
        return "slaac";
    case UGWD_LEASE6_DHCPV6:
        return "dhcpv6";
    default:
        return "";
    }
}

void lease6_row(const ugwd_lease6_rec &r, uint32_t now)
{
    char mac[18], addr[INET6_ADDRSTRLEN], lease[64], left[16];
    inet_ntop(AF_INET6, r.addr, addr, sizeof addr);
    snprintf(lease, sizeof lease, "%s/%u", addr, r.prefix_len);
    printf("%s  %-43.43s   %6s   %6s\n", format_mac(mac, r.mac), lease, lease6_method(r.kind),
           time_left(left, sizeof left, r.start, r.valid_lifetime, now));
}

void group_row(const ugw_group_rec &r, uint32_t now)
{
    char group[INET_ADDRSTRLEN], uuid[37], mac[18], age[16];
    inet_ntop(AF_INET, r.ulmexIpAddress, group, sizeof group);
    printf("%-15s  %s  %s  %6s\n", group, format_uuid(uuid, r.ulmexServiceId),
           format_mac(mac, r.ulmexClientMAC),
           format_age(age, sizeof age, r.ulmexGroupReportTime, now, AGE_WIDTH));
}

void group6_row(const ugw_group6_rec &r, uint32_t now)
{
    char group[INET6_ADDRSTRLEN], mac[18], age[16];
    inet_ntop(AF_INET6, r.ulmexIpv6Address, group, sizeof group);
    printf("%-39s                %s  %6s\n", group, format_mac(mac, r.ulmexClientMAC),
           format_age(age, sizeof age, r.ulmexGroupReportTime, now, AGE_WIDTH));
}

// ---- RADIUS servers of a NAS ----

// The rows of a NAS record, each copied out of the reply at its place.
struct nas_servers {
    radiusAuthClientServerExtTable auth[2];
    radiusAccClientServerExtTable acct[2];
    radiusDynAuthClientTable das[2];
};

bool take_servers(const ugw_render_args *a, nas_servers *n)
{
    constexpr size_t need = CTL_REC_NAS + CTL_REC_NAS_AUTH + CTL_REC_NAS_ACCT + CTL_REC_NAS_DAS;
    static_assert(sizeof(nas_servers::auth) == CTL_REC_NAS_AUTH &&
                  sizeof(nas_servers::acct) == CTL_REC_NAS_ACCT &&
                  sizeof(nas_servers::das) == CTL_REC_NAS_DAS);
    if (!a->record || a->record_size < need) {
        errno = EPROTO;
        return false;
    }
    const auto *p = static_cast<const uint8_t *>(a->record) + CTL_REC_NAS;
    memcpy(n->auth, p, CTL_REC_NAS_AUTH);
    memcpy(n->acct, p + CTL_REC_NAS_AUTH, CTL_REC_NAS_ACCT);
    memcpy(n->das, p + CTL_REC_NAS_AUTH + CTL_REC_NAS_ACCT, CTL_REC_NAS_DAS);
    return true;
}

const char *server_text(char *out, size_t size, uint8_t type, const uint8_t *addr)
{
    int family = inet_type_to_family(type);
    if (!family || !inet_ntop(family, addr, out, static_cast<socklen_t>(size))) return "-";
    return out;
}

// ---- authorizations and key caches ----

// A number in base-1000 units of at most 5 characters, "-" for 0.
const char *rate5(char out[16], uint64_t v)
{
    if (!v) return "-";
    static const char *const units[7] = {"", "k", "M", "G", "T", "P", "E"};
    return string_format_units(v, STRING_UNITS_TIGHT, out, 6, 1000, units);
}

const char *quota(char out[16], uint64_t v)
{
    return v ? ugw_list_bytes(out, v) : "-";
}

const char *redirect_scheme(const char *url, size_t size)
{
    if (strnlen(url, size) >= 8 && strncmp(url, "https://", 8) == 0) return "https";
    if (strnlen(url, size) >= 7 && strncmp(url, "http://", 7) == 0) return "http";
    return "-";
}

void autz_row(const radius_access_record &r)
{
    char user[300], up[16], down[16], qup[16], qdown[16], timeout[16], vlan[8], rules[8];
    printf("%-17.17s  %-6s  ", format_text(user, sizeof user, r.user_name, sizeof r.user_name),
           auth_source_name(r.acct_authentic));
    printf("%5s ", rate5(up, r.bandwidth_up));
    printf("%5s  ", rate5(down, r.bandwidth_down));
    printf("%7s ", quota(qup, r.volume_up));
    printf("%7s  ", quota(qdown, r.volume_down));
    printf("%6s ", format_duration(timeout, sizeof timeout, r.session_timeout, AGE_WIDTH));
    printf("%4s ", dash0(vlan, sizeof vlan, r.vlan_id));
    printf("%-5s ", redirect_scheme(r.redirect_url, sizeof r.redirect_url));
    printf("%5s\n", dash0(rules, sizeof rules, r.rule_count));
}

void key_row(const dot11_key_row &r)
{
    char id[33], mac[18], lifetime[16];
    const char *akm = akm_suite_name(r.akm);
    const char *cipher = cipher_suite_name(r.pairwise);
    printf("%s  %s  %-10s  %6s   %6s\n", format_pmkid(id, r.key_id), format_mac(mac, r.mac),
           akm ? akm : "-", cipher ? cipher : "-",
           format_duration(lifetime, sizeof lifetime, r.lifetime, AGE_WIDTH));
}

void ft_row(const dot11_ft_auth_row &r)
{
    char client[18], bssid[18], name[33];
    const char *akm = r.akm == DOT11_AKM_FT_PSK     ? "psk-ft"
                      : r.akm == DOT11_AKM_FT_8021X ? "eap-ft"
                                                    : "-";
    // Only the RSN suites: an FT association never uses the WPA ones.
    const char *cipher = r.pairwise == dot11_suite(0x00, 0x0f, 0xac, 2)   ? "tkip"
                         : r.pairwise == dot11_suite(0x00, 0x0f, 0xac, 4) ? "ccmp"
                                                                          : "-";
    printf("%s %s %s %-6s %4s\n", format_mac(client, r.sta), format_mac(bssid, r.bssid),
           format_pmkid(name, r.pmkr1name), akm, cipher);
}

// ---- abbreviated lines ----

void autz_user(const radius_access_record &r)
{
    char user[300];
    puts(format_text(user, sizeof user, r.user_name, sizeof r.user_name));
}

void key_id(const dot11_key_row &r)
{
    char id[33];
    puts(format_pmkid(id, r.key_id));
}

void ft_client(const dot11_ft_auth_row &r)
{
    char mac[18];
    puts(format_mac(mac, r.sta));
}

void control_name(const ulmexControl &r)
{
    char name[300];
    puts(format_text(name, sizeof name, r.ulmexControlName, sizeof r.ulmexControlName));
}

void port_name(const ugwd_port_mib &r)
{
    char text[64];
    if (const char *name = ugw_ifname_text(r.ulmexPortIfIndex, text, sizeof text)) puts(name);
}

void socket_name(const ugwd_socket_mib &r)
{
    puts(tunnel_proto_name(r.ulmexSockProto));
}

void nas_name(const radius_nas_config &r)
{
    char id[300];
    puts(format_text(id, sizeof id, r.radiusAuthClientIdentifier,
                     sizeof r.radiusAuthClientIdentifier));
}

void service_id(const ugwd_service_mib &r)
{
    char uuid[37];
    puts(format_uuid(uuid, r.ulmexServiceId));
}

void vap_id(const ugwd_vap_mib &r)
{
    char mac[18];
    puts(format_mac(mac, r.ulmexServiceBSSID));
}

void tunnel_id(const ugwd_tunnel_mib &r)
{
    char addr[SOCKADDR_FMT_SIZE];
    puts(format_sockaddr(addr, sizeof addr, r.ulmexRemotePort, 0));
}

void flow_keys(const ugw_flow_rec &r)
{
    char bssid[18], client[18];
    printf("bssid %s client %s\n", format_mac(bssid, r.ulmexBSSID),
           format_mac(client, r.ulmexClientMAC));
}

void lease_addr(const ugwd_lease_rec &r)
{
    char addr[INET_ADDRSTRLEN];
    puts(inet_ntop(AF_INET, r.addr, addr, sizeof addr));
}

void lease6_addr(const ugwd_lease6_rec &r)
{
    char addr[INET6_ADDRSTRLEN];
    puts(inet_ntop(AF_INET6, r.addr, addr, sizeof addr));
}

const char *command_filter(const ugw_render_args *a)
{
    return a->cmd && a->cmd->filter[0] ? a->cmd->filter : nullptr;
}

} // namespace

bool ugw_akm_8021x(uint32_t suite)
{
    return suite == DOT11_AKM_8021X || suite == DOT11_AKM_FT_8021X ||
           suite == DOT11_AKM_8021X_SHA256 || suite == DOT11_AKM_WPA_8021X;
}

// ---- text tables ----

// The 18 module names of the mask 0x3ffff; a bit without a name prints "".
int ugw_text_modules(const ugw_render_args *, const ugw_renderer_row *)
{
    for (unsigned bit = 0; bit < 18; bit++) {
        const char *name = log_module_name(bit);
        printf("%s%s", bit ? " " : "", name ? name : "");
    }
    putchar('\n');
    return ugw_list_done();
}

int ugw_text_controls(const ugw_render_args *a, const ugw_renderer_row *)
{
    uint32_t now = ugw_render_now();
    return table<ulmexControl>(
        a, "Name                     Address                                 Key  RTT Status",
        [&](const ulmexControl &r) { control_row(r, now); });
}

int ugw_text_ports(const ugw_render_args *a, const ugw_renderer_row *)
{
    char title[80];
    snprintf(title, sizeof title, "%-15s  %-21s  %s", "Interface", "IP-Address", "IPv6-Address");
    return table<ugwd_port_mib>(a, title, port_row);
}

int ugw_text_sockets(const ugw_render_args *a, const ugw_renderer_row *)
{
    return table<ugwd_socket_mib>(a, "Proto     UDP  IP-Address             IPv6-Address",
                                  socket_row);
}

int ugw_text_nases(const ugw_render_args *a, const ugw_renderer_row *)
{
    char title[96];
    snprintf(title, sizeof title, "%-67s  Ports Cache", "Identifier");
    return table<radius_nas_config>(a, title, nas_row);
}

int ugw_text_filters(const ugw_render_args *a, const ugw_renderer_row *)
{
    return table<filter_name>(a, "Filter-Id", filter_line);
}

int ugw_text_filter(const ugw_render_args *a, const ugw_renderer_row *)
{
    if (!ugw_rows_fit(a, sizeof(filter_rule))) return -1;
    char id[300];
    const char *filter = command_filter(a);
    print_text_label(stdout, "RADIUS Filter-Id");
    puts(filter ? format_text(id, sizeof id, filter, sizeof id) : "");
    size_t i = 0;
    return lines<filter_rule>(a, [&](const filter_rule &rule) {
        char label[32], text[256];
        snprintf(label, sizeof label, "Rule #%zu", i++);
        print_text_label(stdout, label);
        puts(filter_rule_print(&rule, text, sizeof text));
    });
}

int ugw_text_hostsets(const ugw_render_args *a, const ugw_renderer_row *)
{
    return table<uint32_t>(a, "Hostset-Id", [](uint32_t id) { printf("%u\n", id); });
}

int ugw_text_hostset(const ugw_render_args *a, const ugw_renderer_row *)
{
    if (!ugw_rows_fit(a, sizeof(host_entry))) return -1;
    print_text_label(stdout, "Hostset Id");
    printf("%u\n", a->cmd ? a->cmd->hostset : 0);
    size_t i = 0;
    return lines<host_entry>(a, [&](const host_entry &h) {
        char label[32], text[300];
        snprintf(label, sizeof label, "Host #%zu", i++);
        print_text_label(stdout, label);
        printf("%s%s\n", host_star(h), format_text(text, sizeof text, h.text, sizeof h.text));
    });
}

int ugw_text_services(const ugw_render_args *a, const ugw_renderer_row *)
{
    uint32_t now = ugw_render_now();
    return table<ugwd_service_mib>(
        a, "Service-ID                           SSID                            Auth Status",
        [&](const ugwd_service_mib &r) { service_row(r, now); });
}

int ugw_text_vaps(const ugw_render_args *a, const ugw_renderer_row *)
{
    uint32_t now = ugw_render_now();
    return table<ugwd_vap_mib>(
        a, "BSSID              SSID                           Flows     Down      Up    Time",
        [&](const ugwd_vap_mib &r) { vap_row(r, now); });
}

int ugw_text_tunnels(const ugw_render_args *a, const ugw_renderer_row *)
{
    uint32_t now = ugw_render_now();
    return table<ugwd_tunnel_mib>(
        a, "Address                                 Proto     VNI Flo    Down      Up   Time",
        [&](const ugwd_tunnel_mib &r) { tunnel_row(r, now); });
}

int ugw_text_flows(const ugw_render_args *a, const ugw_renderer_row *)
{
    uint32_t now = ugw_render_now();
    return table<ugw_flow_rec>(
        a, "Client            BSSID             SSID                     Down      Up   Time",
        [&](const ugw_flow_rec &r) { flow_row(r, now); });
}

int ugw_text_leases(const ugw_render_args *a, const ugw_renderer_row *)
{
    uint32_t now = ugw_render_now();
    return table<ugwd_lease_rec>(
        a, "Client-ID         Name                                Lease              Timeout",
        [&](const ugwd_lease_rec &r) { lease_row(r, now); });
}

int ugw_text_leases6(const ugw_render_args *a, const ugw_renderer_row *)
{
    uint32_t now = ugw_render_now();
    return table<ugwd_lease6_rec>(
        a, "Client-ID          Lease                                         Method  Timeout",
        [&](const ugwd_lease6_rec &r) { lease6_row(r, now); });
}

int ugw_text_groups(const ugw_render_args *a, const ugw_renderer_row *)
{
    uint32_t now = ugw_render_now();
    return table<ugw_group_rec>(
        a, "Group            Service-ID                            Client-ID          Report",
        [&](const ugw_group_rec &r) { group_row(r, now); });
}

int ugw_text_groups6(const ugw_render_args *a, const ugw_renderer_row *)
{
    uint32_t now = ugw_render_now();
    return table<ugw_group6_rec>(
        a, "Group                                                  Client-ID          Report",
        [&](const ugw_group6_rec &r) { group6_row(r, now); });
}

int ugw_text_autzs(const ugw_render_args *a, const ugw_renderer_row *)
{
    return table<radius_access_record>(
        a, "User-Name          Auth    Limit up/dn    Quota up/down Timeout VLAN Redir Rules",
        autz_row);
}

int ugw_text_keys(const ugw_render_args *a, const ugw_renderer_row *)
{
    return table<dot11_key_row>(
        a, "PMKID                             Client             Auth        Cipher  Timeout",
        key_row);
}

int ugw_text_ftauths(const ugw_render_args *a, const ugw_renderer_row *)
{
    return table<dot11_ft_auth_row>(
        a, "Client            BSSID             PMKR1Name                        Auth Cipher",
        ft_row);
}

int ugw_text_auth_servers(const ugw_render_args *a, const ugw_renderer_row *)
{
    nas_servers n;
    if (!take_servers(a, &n)) return -1;
    header("Server                         Port  RTT Request  Accept  Reject     CoA  Discon");
    for (int i = 0; i < 2; i++) {
        const auto &r = n.auth[i];
        if (!inet_type_to_family(r.radiusAuthServerInetAddressType)) continue;
        char addr[INET6_ADDRSTRLEN];
        unsigned rtt = r.radiusAuthClientExtRoundTripTime;
        printf("%-29s %5u %u.%02u %7u %7u %7u %7u %7u\n",
               server_text(addr, sizeof addr, r.radiusAuthServerInetAddressType,
                           r.radiusAuthServerInetAddress),
               unsigned{r.radiusAuthClientServerInetPortNumber}, rtt / 100, rtt % 100,
               r.radiusAuthClientExtAccessRequests, r.radiusAuthClientExtAccessAccepts,
               r.radiusAuthClientExtAccessRejects, n.das[i].radiusDynAuthServCoARequests,
               n.das[i].radiusDynAuthServDisconRequests);
    }
    return ugw_list_done();
}

int ugw_text_acct_servers(const ugw_render_args *a, const ugw_renderer_row *)
{
    nas_servers n;
    if (!take_servers(a, &n)) return -1;
    header("Server                         Port  RTT    Request   Response");
    for (const auto &r : n.acct) {
        if (!inet_type_to_family(r.radiusAccServerInetAddressType)) continue;
        char addr[INET6_ADDRSTRLEN];
        unsigned rtt = r.radiusAccClientExtRoundTripTime;
        printf("%-29s %5u %u.%02u %10u %10u\n",
               server_text(addr, sizeof addr, r.radiusAccServerInetAddressType,
                           r.radiusAccServerInetAddress),
               unsigned{r.radiusAccClientServerInetPortNumber}, rtt / 100, rtt % 100,
               r.radiusAccClientExtRequests, r.radiusAccClientExtResponses);
    }
    return ugw_list_done();
}

// ---- abbreviated form ----

int ugw_short_modules(const ugw_render_args *, const ugw_renderer_row *)
{
    for (unsigned bit = 0; bit < 18; bit++) {
        const char *name = log_module_name(bit);
        puts(name ? name : "");
    }
    return ugw_list_done();
}

int ugw_short_logger(const ugw_render_args *a, const ugw_renderer_row *)
{
    return line<log_cfg>(a, [](const log_cfg &r) { printf("%d\n", r.level); });
}

int ugw_short_auth_servers(const ugw_render_args *a, const ugw_renderer_row *)
{
    nas_servers n;
    if (!take_servers(a, &n)) return -1;
    for (const auto &r : n.auth) {
        char addr[INET6_ADDRSTRLEN];
        if (inet_type_to_family(r.radiusAuthServerInetAddressType))
            puts(server_text(addr, sizeof addr, r.radiusAuthServerInetAddressType,
                             r.radiusAuthServerInetAddress));
    }
    return ugw_list_done();
}

int ugw_short_acct_servers(const ugw_render_args *a, const ugw_renderer_row *)
{
    nas_servers n;
    if (!take_servers(a, &n)) return -1;
    for (const auto &r : n.acct) {
        char addr[INET6_ADDRSTRLEN];
        if (inet_type_to_family(r.radiusAccServerInetAddressType))
            puts(server_text(addr, sizeof addr, r.radiusAccServerInetAddressType,
                             r.radiusAccServerInetAddress));
    }
    return ugw_list_done();
}

int ugw_short_autzs(const ugw_render_args *a, const ugw_renderer_row *)
{
    return lines<radius_access_record>(a, autz_user);
}

int ugw_short_autz(const ugw_render_args *a, const ugw_renderer_row *)
{
    return line<radius_access_record>(a, autz_user);
}

int ugw_short_keys(const ugw_render_args *a, const ugw_renderer_row *)
{
    return lines<dot11_key_row>(a, key_id);
}

int ugw_short_key(const ugw_render_args *a, const ugw_renderer_row *)
{
    return line<dot11_key_row>(a, key_id);
}

int ugw_short_ftauths(const ugw_render_args *a, const ugw_renderer_row *)
{
    return lines<dot11_ft_auth_row>(a, ft_client);
}

int ugw_short_ftauth(const ugw_render_args *a, const ugw_renderer_row *)
{
    return line<dot11_ft_auth_row>(a, ft_client);
}

int ugw_short_controls(const ugw_render_args *a, const ugw_renderer_row *)
{
    return lines<ulmexControl>(a, control_name);
}

int ugw_short_control(const ugw_render_args *a, const ugw_renderer_row *)
{
    return line<ulmexControl>(a, control_name);
}

int ugw_short_ports(const ugw_render_args *a, const ugw_renderer_row *)
{
    return lines<ugwd_port_mib>(a, port_name);
}

int ugw_short_port(const ugw_render_args *a, const ugw_renderer_row *)
{
    return line<ugwd_port_mib>(a, port_name);
}

int ugw_short_sockets(const ugw_render_args *a, const ugw_renderer_row *)
{
    return lines<ugwd_socket_mib>(a, socket_name);
}

int ugw_short_socket(const ugw_render_args *a, const ugw_renderer_row *)
{
    return line<ugwd_socket_mib>(a, socket_name);
}

int ugw_short_nases(const ugw_render_args *a, const ugw_renderer_row *)
{
    return lines<radius_nas_config>(a, nas_name);
}

int ugw_short_nas(const ugw_render_args *a, const ugw_renderer_row *)
{
    return line<radius_nas_config>(a, nas_name);
}

int ugw_short_filters(const ugw_render_args *a, const ugw_renderer_row *)
{
    return lines<filter_name>(a, [](const filter_name &r) {
        char id[300];
        puts(format_text(id, sizeof id, r.text, sizeof r.text));
    });
}

int ugw_short_filter(const ugw_render_args *a, const ugw_renderer_row *)
{
    char id[300];
    const char *filter = command_filter(a);
    puts(filter ? format_text(id, sizeof id, filter, sizeof id) : "");
    return ugw_list_done();
}

int ugw_short_hostsets(const ugw_render_args *a, const ugw_renderer_row *)
{
    return lines<uint32_t>(a, [](uint32_t id) { printf("%u\n", id); });
}

int ugw_short_hostset(const ugw_render_args *a, const ugw_renderer_row *)
{
    printf("%u\n", a->cmd ? a->cmd->hostset : 0);
    return ugw_list_done();
}

int ugw_short_services(const ugw_render_args *a, const ugw_renderer_row *)
{
    return lines<ugwd_service_mib>(a, service_id);
}

int ugw_short_service(const ugw_render_args *a, const ugw_renderer_row *)
{
    return line<ugwd_service_mib>(a, service_id);
}

int ugw_short_vaps(const ugw_render_args *a, const ugw_renderer_row *)
{
    return lines<ugwd_vap_mib>(a, vap_id);
}

int ugw_short_vap(const ugw_render_args *a, const ugw_renderer_row *)
{
    return line<ugwd_vap_mib>(a, vap_id);
}

int ugw_short_tunnels(const ugw_render_args *a, const ugw_renderer_row *)
{
    return lines<ugwd_tunnel_mib>(a, tunnel_id);
}

int ugw_short_tunnel(const ugw_render_args *a, const ugw_renderer_row *)
{
    return line<ugwd_tunnel_mib>(a, tunnel_id);
}

int ugw_short_flows(const ugw_render_args *a, const ugw_renderer_row *)
{
    return lines<ugw_flow_rec>(a, flow_keys);
}

int ugw_short_flow(const ugw_render_args *a, const ugw_renderer_row *)
{
    return line<ugw_flow_rec>(a, flow_keys);
}

int ugw_short_leases(const ugw_render_args *a, const ugw_renderer_row *)
{
    return lines<ugwd_lease_rec>(a, lease_addr);
}

int ugw_short_lease(const ugw_render_args *a, const ugw_renderer_row *)
{
    return line<ugwd_lease_rec>(a, lease_addr);
}

int ugw_short_leases6(const ugw_render_args *a, const ugw_renderer_row *)
{
    return lines<ugwd_lease6_rec>(a, lease6_addr);
}

int ugw_short_lease6(const ugw_render_args *a, const ugw_renderer_row *)
{
    return line<ugwd_lease6_rec>(a, lease6_addr);
}

int ugw_short_groups(const ugw_render_args *a, const ugw_renderer_row *)
{
    return lines<ugw_group_rec>(a, [](const ugw_group_rec &r) {
        char addr[INET_ADDRSTRLEN];
        puts(inet_ntop(AF_INET, r.ulmexIpAddress, addr, sizeof addr));
    });
}

int ugw_short_groups6(const ugw_render_args *a, const ugw_renderer_row *)
{
    return lines<ugw_group6_rec>(a, [](const ugw_group6_rec &r) {
        char addr[INET6_ADDRSTRLEN];
        puts(inet_ntop(AF_INET6, r.ulmexIpv6Address, addr, sizeof addr));
    });
}

// ---- JSON documents ----

int ugw_json_filters(const ugw_render_args *a, const ugw_renderer_row *)
{
    json_writer json;
    json_init(&json, stdout);
    json_open_array(&json);
    if (ugw_each_row<filter_name>(
            a, [&](const filter_name &r) { json_string(&json, r.text, sizeof r.text); }) < 0)
        return -1;
    json_close(&json);
    return ugw_json_done(&json);
}

int ugw_json_filter(const ugw_render_args *a, const ugw_renderer_row *)
{
    if (!ugw_rows_fit(a, sizeof(filter_rule))) return -1;
    json_writer json;
    json_init(&json, stdout);
    json_open_object(&json);
    json_key(&json, nullptr, "ulmexRadiusFilterId");
    json_string(&json, command_filter(a), -1);
    json_key(&json, nullptr, "ulmexRadiusFilterRules");
    json_open_array(&json);
    ugw_each_row<filter_rule>(a, [&](const filter_rule &rule) {
        char text[256];
        json_string(&json, filter_rule_print(&rule, text, sizeof text), 255);
    });
    json_close(&json);
    json_close(&json);
    return ugw_json_done(&json);
}

int ugw_json_hostsets(const ugw_render_args *a, const ugw_renderer_row *)
{
    json_writer json;
    json_init(&json, stdout);
    json_open_array(&json);
    if (ugw_each_row<uint32_t>(a, [&](uint32_t id) { json_uint(&json, id); }) < 0) return -1;
    json_close(&json);
    return ugw_json_done(&json);
}

int ugw_json_hostset(const ugw_render_args *a, const ugw_renderer_row *)
{
    if (!ugw_rows_fit(a, sizeof(host_entry))) return -1;
    json_writer json;
    json_init(&json, stdout);
    json_open_object(&json);
    json_member_uint(&json, "ulmexHostSetId", a->cmd ? a->cmd->hostset : 0);
    json_key(&json, nullptr, "ulmexHostSet");
    json_open_array(&json);
    ugw_each_row<host_entry>(a, [&](const host_entry &h) {
        char text[262];
        snprintf(text, sizeof text, "%s%.*s", host_star(h),
                 static_cast<int>(strnlen(h.text, sizeof h.text)), h.text);
        json_string(&json, text, 253);
    });
    json_close(&json);
    json_close(&json);
    return ugw_json_done(&json);
}
