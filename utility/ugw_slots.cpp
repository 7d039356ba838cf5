#include "utility/ugw_slots.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>
#include <netinet/in.h>
#include <sys/socket.h>

#include "common/filter/filter_rule.h"
#include "common/log.h"
#include "utility/ugw_action.h"
#include "utility/ugw_dot11_mib.h"
#include "utility/ugw_exec.h"
#include "utility/ugw_parse.h"
#include "utility/ugw_render.h"
#include "utility/ugw_render_list.h"
#include "utility/ugw_render_shm.h"

namespace
{

// The module names are the daemon's own table, shared through the log module.
constexpr ugw_log_module_name_fn module_name = log_module_name;

// The record Get-NAS hands to slots 9 to 13, block by block.
struct nas_reply {
    radius_nas_config config;
    radiusAuthClientServerExtTable auth[2];
    radiusAccClientServerExtTable acct[2];
    radiusDynAuthClientTable das[2];
};
static_assert(sizeof(nas_reply) ==
              CTL_REC_NAS + CTL_REC_NAS_AUTH + CTL_REC_NAS_ACCT + CTL_REC_NAS_DAS);
static_assert(offsetof(nas_reply, auth) == CTL_REC_NAS &&
              offsetof(nas_reply, das) == CTL_REC_NAS + CTL_REC_NAS_AUTH + CTL_REC_NAS_ACCT);

// A show record arrives as the reply's bytes, not necessarily aligned for
// its type: it is copied into a typed value first. A record shorter than its
// type is a reply the renderer cannot read.
template <class T> bool take(const void *record, size_t size, T *out)
{
    if (!record || size < sizeof(T)) {
        errno = EPROTO;
        return false;
    }
    memcpy(out, record, sizeof(T));
    return true;
}

// Rows come from the reply's row array, allocated per row size; a row
// narrower than its type cannot be read.
template <class T> bool rows_fit(const ugw_render_args *a)
{
    if (a->count && a->row_size < sizeof(T)) {
        errno = EPROTO;
        return false;
    }
    return true;
}

int flushed()
{
    return ferror(stdout) ? -1 : 0;
}

int json_done(int flush_result)
{
    if (flush_result < 0 || ferror(stdout)) {
        if (!errno) errno = EIO;
        return -1;
    }
    return 0;
}

// ---- text shows ----

template <class T, void (*Render)(FILE *, const T *)>
int text_show(const ugw_render_args *a, const ugw_renderer_row *)
{
    T r;
    if (!take(a->record, a->record_size, &r)) return -1;
    Render(stdout, &r);
    return flushed();
}

int text_logger(const ugw_render_args *a, const ugw_renderer_row *)
{
    log_cfg r;
    if (!take(a->record, a->record_size, &r)) return -1;
    render_text_ulmex_logger(stdout, &r, module_name);
    return flushed();
}

int text_nas(const ugw_render_args *a, const ugw_renderer_row *)
{
    nas_reply n;
    if (!take(a->record, a->record_size, &n)) return -1;
    render_text_radius_client_config(stdout, &n.config);
    return flushed();
}

// The server that the command names, as a row index of the NAS.
int server_row(const nas_reply &n, const ugw_command *cmd, bool acct)
{
    sockaddr_storage ss{};
    if (!cmd || (cmd->addr.family != AF_INET && cmd->addr.family != AF_INET6)) {
        errno = EINVAL;
        return -1;
    }
    if (cmd->addr.family == AF_INET) {
        auto *sin = reinterpret_cast<sockaddr_in *>(&ss);
        sin->sin_family = AF_INET;
        memcpy(&sin->sin_addr, cmd->addr.bytes, 4);
    } else {
        auto *sin6 = reinterpret_cast<sockaddr_in6 *>(&ss);
        sin6->sin6_family = AF_INET6;
        memcpy(&sin6->sin6_addr, cmd->addr.bytes, 16);
    }
    const auto *sa = reinterpret_cast<const sockaddr *>(&ss);
    return acct ? nas_acct_server_index(&n, sa) : nas_auth_server_index(&n, sa);
}

int text_auth_server(const ugw_render_args *a, const ugw_renderer_row *)
{
    nas_reply n;
    if (!take(a->record, a->record_size, &n)) return -1;
    int i = server_row(n, a->cmd, false);
    if (i < 0) return -1;
    render_text_radius_auth_server(stdout, &n.auth[i]);
    render_text_radius_dynauth_client(stdout, &n.das[i]);
    return flushed();
}

int text_acct_server(const ugw_render_args *a, const ugw_renderer_row *)
{
    nas_reply n;
    if (!take(a->record, a->record_size, &n)) return -1;
    int i = server_row(n, a->cmd, true);
    if (i < 0) return -1;
    render_text_radius_acct_server(stdout, &n.acct[i]);
    return flushed();
}

bool rules_fit(const ugw_render_args *a)
{
    if (a->count && (!a->rows || a->row_size != sizeof(filter_rule))) {
        errno = EPROTO;
        return false;
    }
    return true;
}

// The rules behind a record, where their type may be read: in place when
// the reply left them aligned, else copied.
const filter_rule *rules_of(const ugw_render_args *a, std::vector<filter_rule> *copy)
{
    if (!a->count) return nullptr;
    if (reinterpret_cast<uintptr_t>(a->rows) % alignof(filter_rule) == 0)
        return static_cast<const filter_rule *>(a->rows);
    copy->resize(a->count);
    memcpy(copy->data(), a->rows, a->count * sizeof(filter_rule));
    return copy->data();
}

int text_autz(const ugw_render_args *a, const ugw_renderer_row *)
{
    std::vector<filter_rule> copy;
    radius_access_record r;
    if (!take(a->record, a->record_size, &r) || !rules_fit(a)) return -1;
    render_text_ulmex_autz(stdout, &r, rules_of(a, &copy), a->count);
    return flushed();
}

// ---- JSON documents ----

template <class T, void (*Render)(json_writer *, const T *)>
int json_list(const ugw_render_args *a, const ugw_renderer_row *)
{
    if (!rows_fit<T>(a)) return -1;
    return json_done(
        render_json_list(stdout, ugw_json_record<T, Render>, a->rows, a->count, a->row_size));
}

template <const char *Table, class T, void (*Render)(json_writer *, const T *)>
int json_show(const ugw_render_args *a, const ugw_renderer_row *)
{
    T r;
    if (!take(a->record, a->record_size, &r)) return -1;
    return json_done(render_json_show(stdout, Table, ugw_json_record<T, Render>, &r));
}

int json_modules(const ugw_render_args *, const ugw_renderer_row *)
{
    json_writer json;
    json_init(&json, stdout);
    json_open_object(&json);
    json_key(&json, nullptr, "ulmexModules");
    json_open_array(&json);
    for (unsigned bit = 0; bit < 18; bit++)
        json_string(&json, module_name(bit), -1);
    json_close(&json);
    json_close(&json);
    return json_done(json_flush(&json));
}

int json_logger(const ugw_render_args *a, const ugw_renderer_row *)
{
    log_cfg r;
    if (!take(a->record, a->record_size, &r)) return -1;
    json_writer json;
    json_init(&json, stdout);
    render_json_ulmex_logger(&json, &r, module_name);
    return json_done(json_flush(&json));
}

// The servers of a NAS: one object per configured row, the authentication
// row beside the dynamic-authorization row of the same index.
int json_servers(const ugw_render_args *a, bool acct)
{
    nas_reply n;
    if (!take(a->record, a->record_size, &n)) return -1;
    json_writer json;
    json_init(&json, stdout);
    json_open_array(&json);
    for (int i = 0; i < 2; i++) {
        if (acct ? !n.acct[i].radiusAccServerInetAddressType
                 : !n.auth[i].radiusAuthServerInetAddressType)
            continue;
        json_open_object(&json);
        if (acct) {
            json_key(&json, nullptr, "radiusAccClientServerExtTable");
            render_json_radius_acct_server(&json, &n.acct[i]);
        } else {
            json_key(&json, nullptr, "radiusAuthClientServerExtTable");
            render_json_radius_auth_server(&json, &n.auth[i]);
            json_key(&json, nullptr, "radiusDynAuthClientTable");
            render_json_radius_dynauth_client(&json, &n.das[i]);
        }
        json_close(&json);
    }
    json_close(&json);
    return json_done(json_flush(&json));
}

int json_auth_servers(const ugw_render_args *a, const ugw_renderer_row *)
{
    return json_servers(a, false);
}

int json_acct_servers(const ugw_render_args *a, const ugw_renderer_row *)
{
    return json_servers(a, true);
}

int json_server(const ugw_render_args *a, bool acct)
{
    nas_reply n;
    if (!take(a->record, a->record_size, &n)) return -1;
    int i = server_row(n, a->cmd, acct);
    if (i < 0) return -1;
    json_writer json;
    json_init(&json, stdout);
    json_open_object(&json);
    if (acct) {
        json_key(&json, nullptr, "radiusAccClientServerExtTable");
        render_json_radius_acct_server(&json, &n.acct[i]);
    } else {
        json_key(&json, nullptr, "radiusAuthClientServerExtTable");
        render_json_radius_auth_server(&json, &n.auth[i]);
        json_key(&json, nullptr, "radiusDynAuthClientTable");
        render_json_radius_dynauth_client(&json, &n.das[i]);
    }
    json_close(&json);
    return json_done(json_flush(&json));
}

int json_auth_server(const ugw_render_args *a, const ugw_renderer_row *)
{
    return json_server(a, false);
}

int json_acct_server(const ugw_render_args *a, const ugw_renderer_row *)
{
    return json_server(a, true);
}

// Slot 26 lists access records alone; a show carries its rules as rows.
void autz_row(json_writer *json, const radius_access_record *r)
{
    render_json_ulmex_autz(json, r, nullptr, 0);
}

int json_autz(const ugw_render_args *a, const ugw_renderer_row *)
{
    std::vector<filter_rule> copy;
    radius_access_record r;
    if (!take(a->record, a->record_size, &r) || !rules_fit(a)) return -1;
    json_writer json;
    json_init(&json, stdout);
    json_open_object(&json);
    json_key(&json, nullptr, "ulmexAuthorization");
    render_json_ulmex_autz(&json, &r, rules_of(a, &copy), a->count);
    json_close(&json);
    return json_done(json_flush(&json));
}

void nas_config(json_writer *json, const nas_reply *n)
{
    render_json_radius_client_config(json, &n->config);
}

// ---- 802.11 shows ----

// The blocks of a VAP reply: the VAP, its authenticator configuration and
// its 802.11 statistics, read as the station part of the VAP.
struct vap_reply {
    ugwd_vap_mib vap;
    dot11_auth_config config;
    dot11_mib_sta sta;
    uint8_t reserved[CTL_REC_ESS_TEMPLATE - sizeof(dot11_mib_sta)];
};
static_assert(sizeof(vap_reply) == CTL_REC_VAP + CTL_REC_DOT11_CONFIG + CTL_REC_ESS_TEMPLATE);

dot11_mib_sources vap_sources(const vap_reply &v)
{
    return {nullptr, nullptr, &v.sta, &v.config, nullptr, nullptr, nullptr};
}

void json_dot11_mib(json_writer *json, const dot11_mib_sources &s)
{
    render_json_dot11_mib(json, s.bss_capability, s.bss_elements, s.sta, s.config, s.sta_capability,
                          s.flow, s.ft);
}

int text_vap(const ugw_render_args *a, const ugw_renderer_row *)
{
    vap_reply v;
    if (!take(a->record, a->record_size, &v)) return -1;
    render_text_ulmex_service_bss(stdout, &v.vap);
    const dot11_mib_sources s = vap_sources(v);
    render_text_dot11_mib(stdout, &s, false);
    return flushed();
}

int json_vap(const ugw_render_args *a, const ugw_renderer_row *)
{
    vap_reply v;
    if (!take(a->record, a->record_size, &v)) return -1;
    json_writer json;
    json_init(&json, stdout);
    json_open_object(&json);
    json_key(&json, nullptr, "ulmexServiceBSS");
    render_json_ulmex_service_bss(&json, &v.vap);
    json_dot11_mib(&json, vap_sources(v));
    json_close(&json);
    return json_done(json_flush(&json));
}

// The blocks of a service reply. The VAP parameters are settings, not
// 802.11 records: the MIB of a service comes from its configuration alone.
struct service_reply {
    ugwd_service_mib service;
    dot11_auth_config config;
    dot1xAuthStats stats;
    dot1xAuthDiag diag;
};
static_assert(sizeof(ugwd_service_mib) == CTL_REC_SERVICE &&
              sizeof(dot11_auth_config) == CTL_REC_DOT11_CONFIG &&
              sizeof(dot1xAuthStats) == CTL_REC_SERVICE_COUNTERS &&
              sizeof(dot1xAuthDiag) == CTL_REC_SERVICE_STATS);

bool take_service(const ugw_render_args *a, service_reply *s)
{
    constexpr size_t size = CTL_REC_SERVICE + CTL_REC_DOT11_CONFIG + CTL_REC_ESS_TEMPLATE +
                            CTL_REC_SERVICE_COUNTERS + CTL_REC_SERVICE_STATS;
    if (!a->record || a->record_size < size) {
        errno = EPROTO;
        return false;
    }
    const auto *b = static_cast<const uint8_t *>(a->record);
    memcpy(&s->service, b, CTL_REC_SERVICE);
    b += CTL_REC_SERVICE;
    memcpy(&s->config, b, CTL_REC_DOT11_CONFIG);
    b += CTL_REC_DOT11_CONFIG + CTL_REC_ESS_TEMPLATE;
    memcpy(&s->stats, b, CTL_REC_SERVICE_COUNTERS);
    memcpy(&s->diag, b + CTL_REC_SERVICE_COUNTERS, CTL_REC_SERVICE_STATS);
    return true;
}

dot11_mib_sources service_sources(const service_reply &s)
{
    return {nullptr, nullptr, nullptr, &s.config, nullptr, nullptr, nullptr};
}

bool service_8021x(const service_reply &s)
{
    for (uint32_t suite : s.config.dot11RSNAConfigAuthenticationSuite)
        if (ugw_akm_8021x(suite)) return true;
    return false;
}

int text_service(const ugw_render_args *a, const ugw_renderer_row *)
{
    service_reply s;
    if (!take_service(a, &s)) return -1;
    render_text_ulmex_service(stdout, &s.service);
    const dot11_mib_sources src = service_sources(s);
    render_text_dot11_mib(stdout, &src, false);
    if (service_8021x(s)) {
        render_text_dot1x_auth_stats(stdout, &s.stats);
        render_text_dot1x_auth_diag(stdout, &s.diag);
    }
    return flushed();
}

// The 802.1X records go out whatever the AKMs: a document keeps its shape.
int json_service(const ugw_render_args *a, const ugw_renderer_row *)
{
    service_reply s;
    if (!take_service(a, &s)) return -1;
    json_writer json;
    json_init(&json, stdout);
    json_open_object(&json);
    json_key(&json, nullptr, "ulmexService");
    render_json_ulmex_service(&json, &s.service);
    json_dot11_mib(&json, service_sources(s));
    json_key(&json, nullptr, "dot1xAuthStats");
    render_json_dot1x_auth_stats(&json, &s.stats);
    json_key(&json, nullptr, "dot1xAuthDiag");
    render_json_dot1x_auth_diag(&json, &s.diag);
    json_close(&json);
    return json_done(json_flush(&json));
}

// The abbreviated show of a server: its address, as the list prints it.
int short_server(const ugw_render_args *a, bool acct)
{
    nas_reply n;
    if (!take(a->record, a->record_size, &n)) return -1;
    int i = server_row(n, a->cmd, acct);
    if (i < 0) return -1;
    uint8_t type =
        acct ? n.acct[i].radiusAccServerInetAddressType : n.auth[i].radiusAuthServerInetAddressType;
    const uint8_t *addr =
        acct ? n.acct[i].radiusAccServerInetAddress : n.auth[i].radiusAuthServerInetAddress;
    char text[INET6_ADDRSTRLEN];
    int family = inet_type_to_family(type);
    if (family && inet_ntop(family, addr, text, sizeof text)) puts(text);
    return flushed();
}

int short_auth_server(const ugw_render_args *a, const ugw_renderer_row *)
{
    return short_server(a, false);
}

int short_acct_server(const ugw_render_args *a, const ugw_renderer_row *)
{
    return short_server(a, true);
}

// The blocks of a flow reply up to its rules; a flow of a VAP comes with the
// VAP's reply as the extra record.
struct flow_reply {
    ugw_flow_rec flow;
    ugw_session_rec session;
    radius_access_record access;
    dot1xAuthConfig pae;
    dot11_ft_auth_row ft;
    dot11_flow_station sta;
};
static_assert(sizeof(ugw_flow_rec) == CTL_REC_FLOW &&
              sizeof(ugw_session_rec) == CTL_REC_FLOW_SOCKET &&
              sizeof(dot1xAuthConfig) == CTL_REC_PAE_STATUS &&
              sizeof(dot11_ft_auth_row) == CTL_REC_FTAUTH &&
              sizeof(dot11_flow_station) == CTL_REC_FLOW_STA);

// The blocks lie back to back in the reply, whatever the alignment of ours.
bool take_flow(const ugw_render_args *a, flow_reply *f, vap_reply *v, bool *have_vap)
{
    constexpr size_t size = CTL_REC_FLOW + CTL_REC_FLOW_SOCKET + CTL_REC_ACCESS +
                            CTL_REC_PAE_STATUS + CTL_REC_FTAUTH + CTL_REC_FLOW_STA;
    if (!a->record || a->record_size < size) {
        errno = EPROTO;
        return false;
    }
    if (!rules_fit(a)) return false;
    const auto *b = static_cast<const uint8_t *>(a->record);
    size_t at = 0;
    auto block = [&](void *to, size_t n) {
        memcpy(to, b + at, n);
        at += n;
    };
    block(&f->flow, CTL_REC_FLOW);
    block(&f->session, CTL_REC_FLOW_SOCKET);
    block(&f->access, CTL_REC_ACCESS);
    block(&f->pae, CTL_REC_PAE_STATUS);
    block(&f->ft, CTL_REC_FTAUTH);
    block(&f->sta, CTL_REC_FLOW_STA);
    *have_vap = a->extra && a->extra_size >= sizeof *v;
    if (*have_vap) memcpy(v, a->extra, sizeof *v);
    return true;
}

// A block that a flow without it leaves zero is no source: a zero FT row
// would override the station's address and selected suites with zeros.
dot11_mib_sources flow_sources(const flow_reply &f, const vap_reply &v, bool have_vap)
{
    static const uint8_t none[6] = {};
    const bool sta = memcmp(f.sta.sta, none, 6) != 0, ft = memcmp(f.ft.sta, none, 6) != 0;
    return {nullptr,
            nullptr,
            nullptr,
            have_vap ? &v.config : nullptr,
            nullptr,
            sta ? &f.sta : nullptr,
            ft ? &f.ft : nullptr};
}

int text_flow(const ugw_render_args *a, const ugw_renderer_row *)
{
    std::vector<filter_rule> copy;
    flow_reply f;
    vap_reply v;
    bool have_vap;
    if (!take_flow(a, &f, &v, &have_vap)) return -1;
    render_text_ulmex_flow(stdout, &f.flow);
    render_text_ulmex_session(stdout, &f.session);
    render_text_ulmex_autz(stdout, &f.access, rules_of(a, &copy), a->count);
    const dot11_mib_sources s = flow_sources(f, v, have_vap);
    render_text_dot11_mib(stdout, &s, true);
    render_text_dot1x_auth_config(stdout, &f.pae);
    return flushed();
}

int json_flow(const ugw_render_args *a, const ugw_renderer_row *)
{
    std::vector<filter_rule> copy;
    flow_reply f;
    vap_reply v;
    bool have_vap;
    if (!take_flow(a, &f, &v, &have_vap)) return -1;
    json_writer json;
    json_init(&json, stdout);
    json_open_object(&json);
    json_key(&json, nullptr, "ulmexFlow");
    render_json_ulmex_flow(&json, &f.flow);
    json_key(&json, nullptr, "ulmexSession");
    render_json_ulmex_session(&json, &f.session);
    json_key(&json, nullptr, "ulmexAuthorization");
    render_json_ulmex_autz(&json, &f.access, rules_of(a, &copy), a->count);
    json_dot11_mib(&json, flow_sources(f, v, have_vap));
    json_key(&json, nullptr, "dot1xAuthConfig");
    render_json_dot1x_auth_config(&json, &f.pae);
    json_close(&json);
    return json_done(json_flush(&json));
}

constexpr char k_control[] = "ulmexControl";
constexpr char k_port[] = "ulmexPort";
constexpr char k_socket[] = "ulmexSocket";
constexpr char k_nas[] = "radiusClientConfigTable";
constexpr char k_tunnel[] = "ulmexTunnel";
constexpr char k_lease[] = "ulmexDHCPLease";
constexpr char k_lease6[] = "ulmexIpv6Lease";

// Slots left empty here are filled by the list tables, the abbreviated form
// and the composed shows that need the 802.11 records.
constexpr ugw_renderer_row text_row()
{
    ugw_renderer_row row{};
    row.slots[1] = text_logger;
    row.slots[3] = text_show<ulmexControl, render_text_ulmex_control>;
    row.slots[5] = text_show<ugwd_port_mib, render_text_ulmex_port>;
    row.slots[7] = text_show<ugwd_socket_mib, render_text_ulmex_socket>;
    row.slots[9] = text_nas;
    row.slots[11] = text_auth_server;
    row.slots[13] = text_acct_server;
    row.slots[19] = text_service;
    row.slots[21] = text_vap;
    row.slots[23] = text_show<ugwd_tunnel_mib, render_text_ulmex_tunnel>;
    row.slots[25] = text_flow;
    row.slots[27] = text_autz;
    row.slots[33] = text_show<ugwd_lease_rec, render_text_ulmex_dhcp_lease>;
    row.slots[35] = text_show<ugwd_lease6_rec, render_text_ulmex_ipv6_lease>;
    ugw_list_slots(row, 0);
    ugw_pool_slots(row, 0);
    ugw_shm_slots(row, 0);
    return row;
}

constexpr ugw_renderer_row short_row()
{
    ugw_renderer_row row{};
    row.slots[11] = short_auth_server;
    row.slots[13] = short_acct_server;
    ugw_list_slots(row, 1);
    ugw_pool_slots(row, 1);
    ugw_shm_slots(row, 1);
    return row;
}

constexpr ugw_renderer_row json_row()
{
    ugw_renderer_row row{};
    row.slots[0] = json_modules;
    row.slots[1] = json_logger;
    row.slots[2] = json_list<ulmexControl, render_json_ulmex_control>;
    row.slots[3] = json_show<k_control, ulmexControl, render_json_ulmex_control>;
    row.slots[4] = json_list<ugwd_port_mib, render_json_ulmex_port>;
    row.slots[5] = json_show<k_port, ugwd_port_mib, render_json_ulmex_port>;
    row.slots[6] = json_list<ugwd_socket_mib, render_json_ulmex_socket>;
    row.slots[7] = json_show<k_socket, ugwd_socket_mib, render_json_ulmex_socket>;
    row.slots[8] = json_list<radius_nas_config, render_json_radius_client_config>;
    row.slots[9] = json_show<k_nas, nas_reply, nas_config>;
    row.slots[10] = json_auth_servers;
    row.slots[11] = json_auth_server;
    row.slots[12] = json_acct_servers;
    row.slots[13] = json_acct_server;
    row.slots[18] = json_list<ugwd_service_mib, render_json_ulmex_service>;
    row.slots[19] = json_service;
    row.slots[20] = json_list<ugwd_vap_mib, render_json_ulmex_service_bss>;
    row.slots[21] = json_vap;
    row.slots[22] = json_list<ugwd_tunnel_mib, render_json_ulmex_tunnel>;
    row.slots[23] = json_show<k_tunnel, ugwd_tunnel_mib, render_json_ulmex_tunnel>;
    row.slots[24] = json_list<ugw_flow_rec, render_json_ulmex_flow>;
    row.slots[25] = json_flow;
    row.slots[26] = json_list<radius_access_record, autz_row>;
    row.slots[27] = json_autz;
    row.slots[32] = json_list<ugwd_lease_rec, render_json_ulmex_dhcp_lease>;
    row.slots[33] = json_show<k_lease, ugwd_lease_rec, render_json_ulmex_dhcp_lease>;
    row.slots[34] = json_list<ugwd_lease6_rec, render_json_ulmex_ipv6_lease>;
    row.slots[35] = json_show<k_lease6, ugwd_lease6_rec, render_json_ulmex_ipv6_lease>;
    row.slots[36] = json_list<ugw_group_rec, render_json_ulmex_group>;
    row.slots[37] = json_list<ugw_group6_rec, render_json_ulmex_group6>;
    ugw_list_slots(row, 2);
    ugw_pool_slots(row, 2);
    ugw_shm_slots(row, 2);
    return row;
}

} // namespace

const ugw_renderer_table ugw_renderers = {{text_row(), short_row(), json_row()}};

const ugw_action_table ugw_actions = {
    .unset_log = ugw_unset_log,
    .unset_control = ugw_unset_control,
    .unset_port = ugw_unset_port,
    .unset_nas = ugw_unset_nas,
    .unset_auth = ugw_unset_auth,
    .unset_acct = ugw_unset_acct,
    .unset_service = ugw_unset_service,
    .set_log = ugw_set_log,
    .set_control = ugw_set_control,
    .set_port = ugw_set_port,
    .set_nas = ugw_set_nas,
    .set_auth = ugw_set_auth,
    .set_acct = ugw_set_acct,
    .set_service = ugw_set_service,
};
