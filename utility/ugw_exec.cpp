#include "utility/ugw_exec.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <net/if.h>
#include <unistd.h>
#include <vector>

#include "common/array.h"
#include "common/ctl_msg.h"
#include "common/sockaddr.h"
#include "radius/radius_mib.h"
#include "utility/fdb.h"
#include "utility/gwc.h"
#include "utility/mdb.h"
#include "utility/ugw_action.h"
#include "utility/ugw_render_shm.h"

namespace
{

// Offsets in records this module reads or fills (the daemon's layouts).
constexpr size_t CONTROL_NAME_AT = 60; // in the 448-byte control record
constexpr size_t CONTROL_NAME_SIZE = 256;
constexpr size_t PORT_IFINDEX_AT = 0; // port and socket records
constexpr size_t SOCKET_PROTO_AT = 4;
constexpr size_t SOCKET_UDP_AT = 8;
constexpr size_t LEASE_ADDR_AT = 88; // both lease records
constexpr size_t FABRIC_LOCAL_PORT_AT = 0;
constexpr size_t XSK_IFINDEX_AT = 0;
constexpr size_t FLOW_SERVICE_AT = 18; // ulmexServiceId in the flow record

// The NAS record as Get-NAS returns it, block by block.
struct nas_record {
    radius_nas_config config;
    radiusAuthClientServerExtTable auth[2];
    radiusAccClientServerExtTable acct[2];
    uint8_t das[CTL_REC_NAS_DAS];
};
static_assert(sizeof(nas_record) == 1304);
static_assert(offsetof(nas_record, auth) == 256 && offsetof(nas_record, acct) == 256 + 328);

struct service_record {
    uint8_t service[CTL_REC_SERVICE];
    uint8_t dot11[CTL_REC_DOT11_CONFIG];
    uint8_t ess[CTL_REC_ESS_TEMPLATE];
    uint8_t counters[CTL_REC_SERVICE_COUNTERS];
    uint8_t stats[CTL_REC_SERVICE_STATS];
};

struct flow_record {
    uint8_t flow[CTL_REC_FLOW];
    uint8_t socket[CTL_REC_FLOW_SOCKET];
    uint8_t access[CTL_REC_ACCESS];
    uint8_t pae[CTL_REC_PAE_STATUS];
    uint8_t ftauth[CTL_REC_FTAUTH];
    uint8_t sta[CTL_REC_FLOW_STA];
};

struct vap_record {
    uint8_t vap[CTL_REC_VAP];
    uint8_t dot11[CTL_REC_DOT11_CONFIG];
    uint8_t ess[CTL_REC_ESS_TEMPLATE];
};

// Rows a request exports, freed on every path.
struct rows {
    Ary a;
    rows() { array_init(&a, 1); }
    ~rows()
    {
        if (a._dynamic) array_purge(&a);
    }
    rows(const rows &) = delete;
    rows &operator=(const rows &) = delete;
    const uint8_t *at(uint32_t i) const
    {
        return static_cast<const uint8_t *>(a._buffer) + static_cast<size_t>(i) * a._size;
    }
};

struct run {
    gwc_connection *c;
    const ugw_command *cmd;
    const ugw_renderer_row *row;
    const ugw_action_table *actions;
    int form;
};

// Renders into standard output; an output that cannot be written fails the
// command (a full disk must not look like an empty list).
int render(run &r, unsigned slot, ugw_render_args a)
{
    ugw_renderer fn = r.row->slots[slot];
    if (!fn) return 0;
    a.cmd = r.cmd;
    if (fn(&a, r.row) < 0) return -1;
    if (r.form == 2) putchar('\n');
    if (fflush(stdout) != 0 || ferror(stdout)) {
        if (!errno) errno = EIO;
        return -1;
    }
    return 0;
}

int render_record(run &r, unsigned slot, const void *record, size_t size,
                  const void *extra = nullptr, size_t extra_size = 0)
{
    return render(
        r, slot, {.record = record, .record_size = size, .extra = extra, .extra_size = extra_size});
}

int render_rows(run &r, unsigned slot, int n, const rows &list, const void *record = nullptr,
                size_t size = 0)
{
    if (n < 0) return -1;
    uint32_t count = array_length(&list.a);
    return render(r, slot,
                  {.record = record,
                   .record_size = size,
                   .rows = count ? list.a._buffer : nullptr,
                   .count = count,
                   .row_size = list.a._size});
}

int ifindex(const char *name, uint32_t *out)
{
    unsigned i = if_nametoindex(name);
    if (!i) {
        errno = ENODEV;
        return -1;
    }
    *out = i;
    return 0;
}

const uint8_t *uuid_or_null(const ugw_command *c)
{
    static const uint8_t zero[16] = {};
    for (uint8_t b : c->uuid)
        if (b) return c->uuid;
    return zero;
}

const uint8_t *mac_if(bool given, const uint8_t *mac)
{
    return given ? mac : nullptr;
}

// The address of the command with its port: the number given, or the
// protocol's own UDP port.
const sockaddr *command_sockaddr(const ugw_command *c, sockaddr_storage *ss)
{
    if (!c->addr.family) return nullptr;
    memset(ss, 0, sizeof(*ss));
    uint16_t port = static_cast<uint16_t>(c->addr_port);
    if (!port && c->addr_proto == UGW_PROTO_VXLAN) port = 4789;
    if (!port && c->addr_proto == UGW_PROTO_GENEVE) port = 6081;
    if (c->addr.family == AF_INET) {
        auto *sin = reinterpret_cast<sockaddr_in *>(ss);
        sin->sin_family = AF_INET;
        sin->sin_port = htons(port);
        memcpy(&sin->sin_addr, c->addr.bytes, 4);
    } else {
        auto *sin6 = reinterpret_cast<sockaddr_in6 *>(ss);
        sin6->sin6_family = AF_INET6;
        sin6->sin6_port = htons(port);
        memcpy(&sin6->sin6_addr, c->addr.bytes, 16);
    }
    return reinterpret_cast<const sockaddr *>(ss);
}

// ---- logging and administration ----

int k_lock(run &r)
{
    return gwc_lock(r.c);
}
int k_unlock(run &r)
{
    return gwc_unlock(r.c);
}

int k_check(run &r)
{
    errno = 0;
    if (gwc_health_check(r.c) == 0) return 0;
    // A refusal comes back as a NAK: the daemon is locked or unwell, which
    // the administrator reads better as busy than as a permission problem.
    if (!errno || errno == EPERM) errno = EBUSY;
    return -1;
}

int k_modules(run &r)
{
    return render(r, 0, {});
}

int k_show_log(run &r)
{
    uint8_t settings[12];
    if (gwc_get_log(r.c, settings) < 0) return -1;
    return render_record(r, 1, settings, sizeof(settings));
}

int k_change_log(run &r)
{
    uint8_t settings[12];
    if (gwc_get_log(r.c, settings) < 0) return -1;
    ugw_action act = r.cmd->kind == 5 ? r.actions->set_log : r.actions->unset_log;
    int changed = act(settings, r.cmd);
    if (changed <= 0) return changed;
    return gwc_set_log(r.c, settings);
}

// ---- controls ----

int k_list_controls(run &r)
{
    rows list;
    return render_rows(r, 2, gwc_dump_controls(r.c, &list.a), list);
}

int k_show_control(run &r)
{
    uint8_t control[CTL_REC_CONTROL];
    if (gwc_get_control(r.c, r.cmd->host, control) < 0) return -1;
    return render_record(r, 3, control, sizeof(control));
}

int k_add_control(run &r)
{
    uint8_t control[CTL_REC_CONTROL] = {};
    if (strlen(r.cmd->host) >= CONTROL_NAME_SIZE) {
        errno = ENAMETOOLONG;
        return -1;
    }
    memcpy(control + CONTROL_NAME_AT, r.cmd->host, strlen(r.cmd->host));
    return gwc_add_control(r.c, control);
}

int k_remove_control(run &r)
{
    return gwc_remove_control(r.c, r.cmd->host, nullptr);
}

int k_change_control(run &r)
{
    uint8_t control[CTL_REC_CONTROL];
    if (gwc_get_control(r.c, r.cmd->host, control) < 0) return -1;
    ugw_action act = r.cmd->kind == 11 ? r.actions->set_control : r.actions->unset_control;
    int changed = act(control, r.cmd);
    if (changed <= 0) return changed;
    return gwc_modify_control(r.c, control);
}

// ---- ports and sockets ----

int k_list_ports(run &r)
{
    rows list;
    return render_rows(r, 4, gwc_dump_ports(r.c, &list.a), list);
}

int k_show_port(run &r)
{
    uint32_t index;
    uint8_t port[CTL_REC_PORT];
    if (ifindex(r.cmd->ifname, &index) < 0 || gwc_get_port(r.c, index, port) < 0) return -1;
    return render_record(r, 5, port, sizeof(port));
}

int k_add_port(run &r)
{
    uint32_t index;
    uint8_t port[CTL_REC_PORT] = {};
    if (ifindex(r.cmd->ifname, &index) < 0) return -1;
    ctl_put32(port, PORT_IFINDEX_AT, index);
    return gwc_add_port(r.c, port);
}

int k_remove_port(run &r)
{
    uint32_t index;
    if (ifindex(r.cmd->ifname, &index) < 0) return -1;
    return gwc_remove_port(r.c, index, nullptr);
}

int k_change_port(run &r)
{
    uint32_t index;
    uint8_t port[CTL_REC_PORT];
    if (ifindex(r.cmd->ifname, &index) < 0 || gwc_get_port(r.c, index, port) < 0) return -1;
    ugw_action act = r.cmd->kind == 17 ? r.actions->set_port : r.actions->unset_port;
    int changed = act(port, r.cmd);
    if (changed <= 0) return changed;
    return gwc_modify_port(r.c, port);
}

int k_list_sockets(run &r)
{
    rows list;
    return render_rows(r, 6, gwc_dump_sockets(r.c, &list.a), list);
}

int k_socket(run &r)
{
    uint32_t index;
    if (ifindex(r.cmd->ifname, &index) < 0) return -1;
    uint16_t udp = static_cast<uint16_t>(r.cmd->udp_port);
    uint8_t socket[CTL_REC_SOCKET] = {};
    switch (r.cmd->kind) {
    case 20:
        if (gwc_get_socket(r.c, index, r.cmd->proto, udp, socket) < 0) return -1;
        return render_record(r, 7, socket, sizeof(socket));
    case 21:
        ctl_put32(socket, PORT_IFINDEX_AT, index);
        ctl_put32(socket, SOCKET_PROTO_AT, r.cmd->proto);
        memcpy(socket + SOCKET_UDP_AT, &udp, sizeof(udp));
        return gwc_add_socket(r.c, socket);
    default:
        return gwc_remove_socket(r.c, index, r.cmd->proto, udp, nullptr);
    }
}

// ---- NASes, their servers and filters ----

int get_nas(run &r, nas_record *n)
{
    return gwc_get_nas(r.c, r.cmd->nas, &n->config, n->auth, n->acct, n->das);
}

int modify_nas(run &r, nas_record *n)
{
    return gwc_modify_nas(r.c, &n->config, n->auth, n->acct, n->das);
}

int k_list_nases(run &r)
{
    rows list;
    return render_rows(r, 8, gwc_dump_nases(r.c, &list.a), list);
}

int k_show_nas(run &r)
{
    nas_record n;
    if (get_nas(r, &n) < 0) return -1;
    return render_record(r, 9, &n, sizeof(n));
}

int k_add_nas(run &r)
{
    nas_record n{};
    if (strlen(r.cmd->nas) >= sizeof(n.config.radiusAuthClientIdentifier)) {
        errno = ENAMETOOLONG;
        return -1;
    }
    memcpy(n.config.radiusAuthClientIdentifier, r.cmd->nas, strlen(r.cmd->nas));
    n.config.radiusClientRequestPorts = 1;
    return gwc_add_nas(r.c, &n.config, n.auth, n.acct, n.das);
}

int k_remove_nas(run &r)
{
    return gwc_remove_nas(r.c, r.cmd->nas, nullptr, nullptr, nullptr, nullptr);
}

int k_change_nas(run &r)
{
    nas_record n;
    if (get_nas(r, &n) < 0) return -1;
    ugw_action act = r.cmd->kind == 27 ? r.actions->set_nas : r.actions->unset_nas;
    int changed = act(&n.config, r.cmd);
    if (changed <= 0) return changed;
    return modify_nas(r, &n);
}

// A server row of either kind: family byte at 1, server address at 4, the
// NAS's own address at 20, the port at 102 (the two row types share these).
template <typename Row> int server_index(const Row rows[2], const sockaddr *sa)
{
    for (int i = 0; i < 2; i++) {
        sockaddr_storage ss{};
        const Row &row = rows[i];
        if (row.radiusAuthServerInetAddressType == RADIUS_INET_IPV4) {
            auto *sin = reinterpret_cast<sockaddr_in *>(&ss);
            sin->sin_family = AF_INET;
            memcpy(&sin->sin_addr, row.radiusAuthServerInetAddress, 4);
        } else if (row.radiusAuthServerInetAddressType == RADIUS_INET_IPV6) {
            auto *sin6 = reinterpret_cast<sockaddr_in6 *>(&ss);
            sin6->sin6_family = AF_INET6;
            memcpy(&sin6->sin6_addr, row.radiusAuthServerInetAddress, 16);
        } else {
            continue;
        }
        if (sockaddr_compare(reinterpret_cast<const sockaddr *>(&ss), sa) == 0) return i;
    }
    errno = ENOENT;
    return -1;
}

// The accounting row, seen through the field names the two rows share.
struct acct_view {
    uint8_t radiusAuthServerExtIndex;
    uint8_t radiusAuthServerInetAddressType;
    uint8_t radiusAuthClientInetAddressType;
    uint8_t reserved1;
    uint8_t radiusAuthServerInetAddress[16];
    uint8_t radiusAuthClientInetAddress[16];
    char radiusAuthServerSharedSecret[RADIUS_SECRET_SIZE];
    uint8_t reserved2;
    uint16_t radiusAuthClientServerInetPortNumber;
    uint8_t rest[sizeof(radiusAccClientServerExtTable) - 104];
};
static_assert(sizeof(acct_view) == sizeof(radiusAccClientServerExtTable));
static_assert(offsetof(acct_view, radiusAuthClientServerInetPortNumber) ==
              offsetof(radiusAccClientServerExtTable, radiusAccClientServerInetPortNumber));
static_assert(offsetof(acct_view, radiusAuthServerInetAddress) ==
              offsetof(radiusAccClientServerExtTable, radiusAccServerInetAddress));

acct_view *acct_rows(nas_record *n)
{
    return reinterpret_cast<acct_view *>(n->acct);
}

template <typename Row> int add_server(run &r, Row rows[2], uint16_t default_port)
{
    sockaddr_storage ss;
    const sockaddr *sa = command_sockaddr(r.cmd, &ss);
    if (server_index(rows, sa) >= 0) {
        errno = EEXIST;
        return -1;
    }
    int i = rows[0].radiusAuthServerInetAddressType == RADIUS_INET_NONE   ? 0
            : rows[1].radiusAuthServerInetAddressType == RADIUS_INET_NONE ? 1
                                                                          : -1;
    if (i < 0) {
        errno = E2BIG;
        return -1;
    }
    Row &row = rows[i];
    memset(&row, 0, sizeof(row));
    row.radiusAuthServerExtIndex = static_cast<uint8_t>(i);
    row.radiusAuthClientServerInetPortNumber = default_port;
    if (r.cmd->addr.family == AF_INET) {
        in_addr peer, local;
        memcpy(&peer, r.cmd->addr.bytes, 4);
        if (ugw_local_address4(&peer, &local) < 0) return -1;
        row.radiusAuthServerInetAddressType = row.radiusAuthClientInetAddressType =
            RADIUS_INET_IPV4;
        memcpy(row.radiusAuthServerInetAddress, &peer, 4);
        memcpy(row.radiusAuthClientInetAddress, &local, 4);
    } else {
        in6_addr peer, local;
        memcpy(&peer, r.cmd->addr.bytes, 16);
        if (ugw_local_address6(&peer, &local) < 0) return -1;
        row.radiusAuthServerInetAddressType = row.radiusAuthClientInetAddressType =
            RADIUS_INET_IPV6;
        memcpy(row.radiusAuthServerInetAddress, &peer, 16);
        memcpy(row.radiusAuthClientInetAddress, &local, 16);
    }
    return 0;
}

template <typename Row> int remove_server(run &r, Row rows[2])
{
    sockaddr_storage ss;
    int i = server_index(rows, command_sockaddr(r.cmd, &ss));
    if (i < 0) return -1;
    memset(&rows[i], 0, sizeof(rows[i]));
    rows[i].radiusAuthServerExtIndex = static_cast<uint8_t>(i);
    return 0;
}

// Kinds 29..40: auth at 29, acct at 35, in the order list, show, add, remove, set, unset.
int k_server(run &r)
{
    bool acct = r.cmd->kind >= 35;
    uint32_t op = r.cmd->kind - (acct ? 35 : 29);
    nas_record n;
    if (get_nas(r, &n) < 0) return -1;
    unsigned slot = acct ? 12 : 10;
    if (op <= 1) return render_record(r, slot + op, &n, sizeof(n));
    int done;
    if (op == 2)
        done = acct ? add_server(r, acct_rows(&n), 1813) : add_server(r, n.auth, 1812);
    else if (op == 3)
        done = acct ? remove_server(r, acct_rows(&n)) : remove_server(r, n.auth);
    else {
        sockaddr_storage ss;
        const sockaddr *sa = command_sockaddr(r.cmd, &ss);
        int i = acct ? nas_acct_server_index(&n, sa) : nas_auth_server_index(&n, sa);
        if (i < 0) return -1;
        ugw_action act = op == 4 ? (acct ? r.actions->set_acct : r.actions->set_auth)
                                 : (acct ? r.actions->unset_acct : r.actions->unset_auth);
        done = act(acct ? static_cast<void *>(&n.acct[i]) : &n.auth[i], r.cmd);
        if (done <= 0) return done;
        done = 0;
    }
    if (done < 0) return -1;
    return modify_nas(r, &n);
}

int k_filter(run &r)
{
    const ugw_command *c = r.cmd;
    rows list;
    switch (c->kind) {
    case 41:
        return render_rows(r, 14, gwc_dump_filters(r.c, c->nas, &list.a), list);
    case 42:
        return render_rows(r, 15, gwc_get_filter(r.c, c->nas, c->filter, &list.a), list);
    case 43:
        return gwc_add_filter(r.c, c->nas, c->filter);
    case 44:
        return gwc_remove_filter(r.c, c->nas, c->filter, nullptr);
    case 45:
        return gwc_add_rule(r.c, c->nas, c->filter, c->position, &c->rule);
    default:
        return gwc_remove_rule(r.c, c->nas, c->filter, c->position);
    }
}

// ---- hostsets ----

int k_hostset(run &r)
{
    const ugw_command *c = r.cmd;
    rows list;
    switch (c->kind) {
    case 47:
        return render_rows(r, 16, gwc_dump_hostsets(r.c, &list.a), list);
    case 48:
        return render_rows(r, 17, gwc_get_hostset(r.c, c->hostset, &list.a), list);
    case 49: {
        int id = gwc_add_hostset(r.c, c->hostset_given ? c->hostset : 0);
        if (id < 0) return -1;
        if (!c->hostset_given && printf("%zd\n", static_cast<ssize_t>(id)) < 0) return -1;
        return fflush(stdout) == 0 ? 0 : -1;
    }
    case 50:
        return gwc_remove_hostset(r.c, c->hostset, nullptr);
    default: {
        const char *host = c->conf.u.text[0] == '*' ? c->conf.u.text + 1 : c->conf.u.text;
        return c->kind == 51 ? gwc_add_host(r.c, c->hostset, host)
                             : gwc_remove_host(r.c, c->hostset, host);
    }
    }
}

// ---- services ----

int get_service(run &r, service_record *s)
{
    return gwc_get_service(r.c, r.cmd->uuid, s->service, s->dot11, s->ess, s->counters, s->stats);
}

int k_service(run &r)
{
    const ugw_command *c = r.cmd;
    service_record s{};
    switch (c->kind) {
    case 53: {
        rows list;
        return render_rows(r, 18, gwc_dump_services(r.c, &list.a), list);
    }
    case 54:
        if (get_service(r, &s) < 0) return -1;
        return render_record(r, 19, &s, sizeof(s));
    case 55:
        static_assert(sizeof(s) == UGW_SERVICE_RECORD);
        ugw_service_defaults(&s, c->uuid);
        return gwc_add_service(r.c, s.service, s.dot11, s.ess, s.counters, s.stats);
    case 56:
        return gwc_remove_service(r.c, c->uuid, nullptr, nullptr, nullptr, nullptr, nullptr);
    case 57:
        return gwc_rename_service(r.c, c->uuid, c->uuid2, nullptr, nullptr, nullptr, nullptr,
                                  nullptr);
    default: {
        if (get_service(r, &s) < 0) return -1;
        ugw_action act = c->kind == 58 ? r.actions->set_service : r.actions->unset_service;
        int changed = act(&s, c);
        if (changed <= 0) return changed;
        return gwc_modify_service(r.c, s.service, s.dot11, s.ess, s.counters, s.stats);
    }
    }
}

// ---- stations, flows and caches ----

int k_vaps_tunnels(run &r)
{
    const ugw_command *c = r.cmd;
    rows list;
    sockaddr_storage ss;
    switch (c->kind) {
    case 60:
        return render_rows(r, 20, gwc_dump_vaps(r.c, uuid_or_null(c), &list.a), list);
    case 61: {
        vap_record v;
        if (gwc_get_vap(r.c, c->uuid, c->bssid, v.vap, v.dot11, v.ess) < 0) return -1;
        return render_record(r, 21, &v, sizeof(v));
    }
    case 62:
        return render_rows(r, 22, gwc_dump_tunnels(r.c, uuid_or_null(c), &list.a), list);
    default: {
        uint8_t tunnel[CTL_REC_TUNNEL];
        if (gwc_get_tunnel(r.c, c->uuid, command_sockaddr(c, &ss), tunnel) < 0) return -1;
        return render_record(r, 23, tunnel, sizeof(tunnel));
    }
    }
}

int k_flows(run &r)
{
    const ugw_command *c = r.cmd;
    rows list;
    sockaddr_storage ss;
    const sockaddr *sa = command_sockaddr(c, &ss);
    if (c->kind == 64)
        return render_rows(r, 24,
                           gwc_dump_flows(r.c, uuid_or_null(c), sa,
                                          mac_if(c->bssid_given, c->bssid),
                                          mac_if(c->client_given, c->client), &list.a),
                           list);
    flow_record f;
    if (gwc_get_flow(r.c, sa, mac_if(c->bssid_given, c->bssid), c->client, f.flow, f.socket,
                     f.access, f.pae, f.ftauth, f.sta, &list.a) < 0)
        return -1;
    vap_record v;
    bool vap = c->bssid_given;
    if (vap && gwc_get_vap(r.c, f.flow + FLOW_SERVICE_AT, c->bssid, v.vap, v.dot11, v.ess) < 0)
        return -1;
    uint32_t count = array_length(&list.a);
    return render(r, 25,
                  {.record = &f,
                   .record_size = sizeof(f),
                   .rows = count ? list.a._buffer : nullptr,
                   .count = count,
                   .row_size = list.a._size,
                   .extra = vap ? &v : nullptr,
                   .extra_size = vap ? sizeof(v) : 0});
}

int k_access_keys(run &r)
{
    const ugw_command *c = r.cmd;
    rows list;
    const uint8_t *client = mac_if(c->client_given, c->client);
    switch (c->kind) {
    case 66:
        return render_rows(
            r, 26, gwc_dump_accesses(r.c, c->nas[0] ? c->nas : nullptr, uuid_or_null(c), &list.a),
            list);
    case 67: {
        uint8_t access[CTL_REC_ACCESS];
        int n = gwc_get_access(r.c, c->uuid, c->client, access, &list.a);
        return render_rows(r, 27, n, list, access, sizeof(access));
    }
    case 68:
        return render_rows(r, 28, gwc_dump_keys(r.c, c->uuid, client, &list.a), list);
    case 69: {
        uint8_t key[CTL_REC_KEY + CTL_REC_KEY_DETAIL];
        if (gwc_get_key(r.c, c->uuid, c->pmkid, key, key + CTL_REC_KEY) < 0) return -1;
        return render_record(r, 29, key, sizeof(key));
    }
    case 70:
        return gwc_clear_cache(r.c, c->nas[0] ? c->nas : nullptr, uuid_or_null(c), client);
    case 71:
        return render_rows(r, 30, gwc_dump_ftauths(r.c, c->uuid, client, &list.a), list);
    default: {
        uint8_t ftauth[CTL_REC_FTAUTH];
        if (gwc_get_ftauth(r.c, c->uuid, c->bssid, c->client, ftauth) < 0) return -1;
        return render_record(r, 31, ftauth, sizeof(ftauth));
    }
    }
}

int k_leases_groups(run &r)
{
    const ugw_command *c = r.cmd;
    rows list;
    const uint8_t *uuid = uuid_or_null(c);
    const uint8_t *client = mac_if(c->client_given, c->client);
    switch (c->kind) {
    case 73:
        return render_rows(r, 32, gwc_dump_leases(r.c, uuid, client, &list.a), list);
    case 74:
        return render_rows(r, 34, gwc_dump_leases6(r.c, uuid, client, &list.a), list);
    case 75: {
        bool v4 = c->addr.family == AF_INET;
        int n = v4 ? gwc_dump_leases(r.c, uuid, client, &list.a)
                   : gwc_dump_leases6(r.c, uuid, client, &list.a);
        if (n < 0) return -1;
        size_t len = v4 ? 4 : 16;
        for (uint32_t i = 0; i < array_length(&list.a); i++) {
            const uint8_t *row = list.at(i);
            if (memcmp(row + LEASE_ADDR_AT, c->addr.bytes, len) == 0)
                return render_record(r, v4 ? 33 : 35, row, list.a._size);
        }
        errno = ENOENT;
        return -1;
    }
    case 76:
        return gwc_write_leases(r.c);
    case 77:
        return gwc_write_leases6(r.c);
    case 78:
        return render_rows(r, 36, gwc_dump_groups(r.c, uuid, client, &list.a), list);
    default:
        return render_rows(r, 37, gwc_dump_groups6(r.c, uuid, client, &list.a), list);
    }
}

// ---- memory, fabric and sockets of the data plane ----

int k_memory(run &r)
{
    const ugw_command *c = r.cmd;
    rows list;
    if (c->kind == 80) return render_rows(r, 38, gwc_dump_mempools(r.c, &list.a), list);
    uint8_t pool[CTL_REC_MEMPOOL];
    bool sites = c->kind == 82;
    int n = gwc_get_mempool(r.c, c->pool, pool, sites ? &list.a : nullptr);
    if (!sites) return n < 0 ? -1 : render_record(r, 39, pool, sizeof(pool));
    return render_rows(r, 40, n, list, pool, sizeof(pool));
}

// The rows whose key matches, moved to the front; ENOENT when none.
template <typename Match> int keep_rows(rows &list, Match match)
{
    uint32_t kept = 0, size = list.a._size;
    auto *base = static_cast<uint8_t *>(list.a._buffer);
    for (uint32_t i = 0; i < array_length(&list.a); i++)
        if (match(list.at(i))) {
            if (kept != i) memmove(base + kept * size, list.at(i), size);
            kept++;
        }
    list.a._count = kept;
    if (kept) return 0;
    errno = ENOENT;
    return -1;
}

int k_fabric_xsk(run &r)
{
    const ugw_command *c = r.cmd;
    rows list;
    bool fabric = c->kind == 83 || c->kind == 84;
    int n = fabric ? gwc_get_fabric(r.c, &list.a) : gwc_get_xsk(r.c, &list.a);
    if (n < 0) return -1;
    if (fabric && array_length(&list.a)) {
        // Links of one local port come as consecutive rows: one per port.
        if (list.a._size != FAB_ROW) {
            errno = EPROTO;
            return -1;
        }
        list.a._count = static_cast<uint32_t>(
            fabric_merge(static_cast<uint8_t *>(list.a._buffer), array_length(&list.a)));
    }
    if (c->kind == 84 && keep_rows(list, [&](const uint8_t *row) {
                             return row[FABRIC_LOCAL_PORT_AT] == c->fabric_port;
                         }) < 0)
        return -1;
    if (c->kind == 86) {
        uint32_t index;
        if (ifindex(c->iface, &index) < 0) return -1;
        if (keep_rows(list, [&](const uint8_t *row) {
                return ctl_get32(row, XSK_IFINDEX_AT) == index;
            }) < 0)
            return -1;
    }
    return render_rows(r, fabric ? 41 : 42, n, list);
}

// ---- the data plane's shared-memory tables ----

template <class T>
int render_entries(run &r, unsigned slot, const ugw_shm_view &view, const std::vector<T> &entries)
{
    return render(r, slot,
                  {.record = &view,
                   .record_size = sizeof(view),
                   .rows = entries.empty() ? nullptr : entries.data(),
                   .count = static_cast<uint32_t>(entries.size()),
                   .row_size = sizeof(T)});
}

int k_fdb(run &r)
{
    const ugw_command *c = r.cmd;
    if (c->kind == 87) {
        rows list;
        array_init(&list.a, sizeof(fdb_stats));
        return render_rows(r, 43, fdb_dump_tables(&list.a), list);
    }
    fdb *f = fdb_open(c->iface);
    if (!f) return -1;
    ugw_shm_view view{0, c->kind == 89};
    std::vector<ugw_fdb_entry> entries;
    int rc;
    if (view.show) {
        ugw_fdb_entry e{};
        memcpy(e.mac, c->client, 6);
        rc = fdb_find_client(f, e.mac, &e.port);
        if (rc == 0) entries.push_back(e);
    } else {
        // Read whole first: a read that fails prints nothing but the error.
        rc = fdb_list_clients(
            f,
            [](void *user, const uint8_t mac[6], uint16_t port) {
                ugw_fdb_entry e{};
                memcpy(e.mac, mac, 6);
                e.port = port;
                static_cast<std::vector<ugw_fdb_entry> *>(user)->push_back(e);
                return 0;
            },
            &entries);
    }
    int saved = errno;
    fdb_close(f);
    errno = saved;
    if (rc < 0) return -1;
    return render_entries(r, 44, view, entries);
}

int k_mdb(run &r)
{
    const ugw_command *c = r.cmd;
    if (c->kind == 90) {
        rows list;
        array_init(&list.a, sizeof(mdb_stats));
        return render_rows(r, 45, mdb_dump_tables(&list.a), list);
    }
    mdb *m = mdb_open(c->iface, 0);
    if (!m) return -1;
    ugw_shm_view view{static_cast<uint16_t>(m->ports), c->kind == 92};
    std::vector<mdb_group> groups;
    int rc;
    if (view.show) {
        groups.emplace_back();
        rc = mdb_find_group(m, c->group, &groups.back());
    } else {
        rc = mdb_list_groups(
            m,
            [](void *user, const mdb_group *g) {
                static_cast<std::vector<mdb_group> *>(user)->push_back(*g);
                return 0;
            },
            &groups);
    }
    int saved = errno;
    mdb_close(m);
    errno = saved;
    if (rc < 0) return -1;
    return render_entries(r, 46, view, groups);
}

using handler = int (*)(run &);

constexpr handler kind_table[UGW_KIND_LISTEN] = {
    k_lock,
    k_unlock,
    k_check,
    k_modules,
    k_show_log,
    k_change_log,
    k_change_log,
    // 7..12
    k_list_controls,
    k_show_control,
    k_add_control,
    k_remove_control,
    k_change_control,
    k_change_control,
    // 13..18
    k_list_ports,
    k_show_port,
    k_add_port,
    k_remove_port,
    k_change_port,
    k_change_port,
    // 19..22
    k_list_sockets,
    k_socket,
    k_socket,
    k_socket,
    // 23..28
    k_list_nases,
    k_show_nas,
    k_add_nas,
    k_remove_nas,
    k_change_nas,
    k_change_nas,
    // 29..40
    k_server,
    k_server,
    k_server,
    k_server,
    k_server,
    k_server,
    k_server,
    k_server,
    k_server,
    k_server,
    k_server,
    k_server,
    // 41..46
    k_filter,
    k_filter,
    k_filter,
    k_filter,
    k_filter,
    k_filter,
    // 47..52
    k_hostset,
    k_hostset,
    k_hostset,
    k_hostset,
    k_hostset,
    k_hostset,
    // 53..59
    k_service,
    k_service,
    k_service,
    k_service,
    k_service,
    k_service,
    k_service,
    // 60..63
    k_vaps_tunnels,
    k_vaps_tunnels,
    k_vaps_tunnels,
    k_vaps_tunnels,
    // 64..65
    k_flows,
    k_flows,
    // 66..72
    k_access_keys,
    k_access_keys,
    k_access_keys,
    k_access_keys,
    k_access_keys,
    k_access_keys,
    k_access_keys,
    // 73..79
    k_leases_groups,
    k_leases_groups,
    k_leases_groups,
    k_leases_groups,
    k_leases_groups,
    k_leases_groups,
    k_leases_groups,
    // 80..86
    k_memory,
    k_memory,
    k_memory,
    k_fabric_xsk,
    k_fabric_xsk,
    k_fabric_xsk,
    k_fabric_xsk,
    // 87..92
    k_fdb,
    k_fdb,
    k_fdb,
    k_mdb,
    k_mdb,
    k_mdb,
};

template <typename Row> int row_index(const Row rows[2], const sockaddr *sa)
{
    return server_index(rows, sa);
}

} // namespace

int nas_auth_server_index(const void *nas, const sockaddr *sa)
{
    const auto *n = static_cast<const nas_record *>(nas);
    return row_index(n->auth, sa);
}

int nas_acct_server_index(const void *nas, const sockaddr *sa)
{
    const auto *n = static_cast<const nas_record *>(nas);
    return row_index(reinterpret_cast<const acct_view *>(n->acct), sa);
}

int ugw_execute_on(gwc_connection *c, const ugw_command *cmd, int form,
                   const ugw_renderer_table *renderers, const ugw_action_table *actions)
{
    if (cmd->kind >= UGW_KIND_LISTEN || form < 0 || form >= static_cast<int>(UGW_FORMS)) {
        errno = EINVAL;
        return -1;
    }
    run r{c, cmd, &renderers->forms[form], actions, form};
    return kind_table[cmd->kind](r);
}

int ugw_execute(const char *path, const ugw_command *cmd, int form, uint32_t force)
{
    if (cmd->kind >= UGW_KIND_LISTEN) {
        errno = EINVAL;
        return -1;
    }
    gwc_connection *c = gwc_create(path, nullptr, nullptr, force);
    if (!c) return -1;
    int r = ugw_execute_on(c, cmd, form, &ugw_renderers, &ugw_actions);
    int saved = errno;
    gwc_destroy(c);
    errno = saved;
    return r;
}

namespace
{

template <typename Addr, typename Sock> int local_address(int family, const Addr *peer, Addr *local)
{
    int fd = socket(family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        perror("socket");
        return -1;
    }
    Sock any{};
    Sock to{};
    const char *step = nullptr;
    if constexpr (sizeof(Sock) == sizeof(sockaddr_in)) {
        any.sin_family = to.sin_family = AF_INET;
        to.sin_addr = *peer;
        to.sin_port = htons(9); // any port: connect only picks the route
    } else {
        any.sin6_family = to.sin6_family = AF_INET6;
        to.sin6_addr = *peer;
        to.sin6_port = htons(9);
    }
    socklen_t len = sizeof(any);
    if (bind(fd, reinterpret_cast<sockaddr *>(&any), sizeof(any)) < 0)
        step = "bind";
    else if (connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof(to)) < 0)
        step = "connect";
    else if (getsockname(fd, reinterpret_cast<sockaddr *>(&any), &len) < 0)
        step = "getsockname";
    if (step) {
        int saved = errno;
        perror(step);
        close(fd);
        errno = saved;
        return -1;
    }
    close(fd);
    if constexpr (sizeof(Sock) == sizeof(sockaddr_in))
        *local = any.sin_addr;
    else
        *local = any.sin6_addr;
    return 0;
}

} // namespace

int ugw_local_address4(const in_addr *peer, in_addr *local)
{
    return local_address<in_addr, sockaddr_in>(AF_INET, peer, local);
}

int ugw_local_address6(const in6_addr *peer, in6_addr *local)
{
    return local_address<in6_addr, sockaddr_in6>(AF_INET6, peer, local);
}
