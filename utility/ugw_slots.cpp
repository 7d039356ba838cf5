#include "utility/ugw_slots.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>

#include "common/filter/filter_rule.h"
#include "common/log.h"
#include "utility/ugw_action.h"
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

int text_autz(const ugw_render_args *a, const ugw_renderer_row *)
{
    radius_access_record r;
    if (!take(a->record, a->record_size, &r) || !rules_fit(a)) return -1;
    render_text_ulmex_autz(stdout, &r, static_cast<const filter_rule *>(a->rows), a->count);
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
    radius_access_record r;
    if (!take(a->record, a->record_size, &r) || !rules_fit(a)) return -1;
    json_writer json;
    json_init(&json, stdout);
    json_open_object(&json);
    json_key(&json, nullptr, "ulmexAuthorization");
    render_json_ulmex_autz(&json, &r, static_cast<const filter_rule *>(a->rows), a->count);
    json_close(&json);
    return json_done(json_flush(&json));
}

void nas_config(json_writer *json, const nas_reply *n)
{
    render_json_radius_client_config(json, &n->config);
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
    row.slots[23] = text_show<ugwd_tunnel_mib, render_text_ulmex_tunnel>;
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
    row.slots[20] = json_list<ugwd_vap_mib, render_json_ulmex_service_bss>;
    row.slots[22] = json_list<ugwd_tunnel_mib, render_json_ulmex_tunnel>;
    row.slots[23] = json_show<k_tunnel, ugwd_tunnel_mib, render_json_ulmex_tunnel>;
    row.slots[24] = json_list<ugw_flow_rec, render_json_ulmex_flow>;
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
