// One function per request type: the key fields at their widths, one
// exchange, then the reply's blocks, count and rows in their order.
#include <cerrno>
#include <climits>
#include <cstring>
#include <initializer_list>
#include <netinet/in.h>

#include "common/ctl_msg.h"
#include "utility/gwc.h"

namespace
{

struct key {
    const void *bytes; // null: zeros
    uint32_t n;
    bool text = false;
};

struct block {
    void *out; // null: skipped
    uint32_t n;
};

struct rows {
    Ary *ary;      // null: skipped
    uint32_t size; // row size
    uint32_t skip; // reserved bytes between the count and the rows
};

int build(gwc_connection *c, uint32_t type, std::initializer_list<key> keys)
{
    if (gwc_begin(c, type) < 0) return -1;
    for (const key &k : keys) {
        int r = k.text ? gwc_append_string(c, static_cast<const char *>(k.bytes), k.n)
                       : gwc_append(c, k.bytes, k.n);
        if (r < 0) return -1;
    }
    return 0;
}

int read_blocks(gwc_connection *c, std::initializer_list<block> blocks)
{
    for (const block &b : blocks)
        if (gwc_read(c, b.out, b.n) < 0) return -1;
    return 0;
}

// A request answered by records only.
int exchange(gwc_connection *c, uint32_t type, uint32_t expected, std::initializer_list<key> keys,
             std::initializer_list<block> blocks = {})
{
    if (build(c, type, keys) < 0 || gwc_response(c, expected) < 0 || read_blocks(c, blocks) < 0)
        return -1;
    return 0;
}

// A request answered by records, then a count and its rows: the count.
int exchange_rows(gwc_connection *c, uint32_t type, uint32_t expected,
                  std::initializer_list<key> keys, std::initializer_list<block> blocks, rows list)
{
    uint32_t count = 0;
    uint32_t rows_at = sizeof(count) + list.skip;
    for (const block &b : blocks)
        rows_at += b.n;
    if (build(c, type, keys) < 0 || gwc_response_rows(c, expected, rows_at) < 0 ||
        read_blocks(c, blocks) < 0 || gwc_read(c, &count, sizeof(count)) < 0 ||
        gwc_read(c, nullptr, list.skip) < 0 || gwc_export(c, list.ary, count, list.size) < 0)
        return -1;
    if (count > INT_MAX) {
        errno = EOVERFLOW;
        return -1;
    }
    return static_cast<int>(count);
}

// A socket address key: zeros, then the address at its family's length.
struct sockaddr_key {
    uint8_t bytes[CTL_KEY_SOCKADDR] = {};
    int error = 0;

    explicit sockaddr_key(const sockaddr *sa)
    {
        if (!sa) return;
        size_t n = sa->sa_family == AF_INET    ? sizeof(sockaddr_in)
                   : sa->sa_family == AF_INET6 ? sizeof(sockaddr_in6)
                                               : 0;
        static_assert(sizeof(sockaddr_in6) == CTL_KEY_SOCKADDR);
        if (n == 0)
            error = EAFNOSUPPORT;
        else
            memcpy(bytes, sa, n);
    }
};

// The socket key as the daemon reads it: index, transport, UDP port, two zero bytes.
struct socket_key {
    uint8_t bytes[12] = {};

    socket_key(uint32_t ifindex, uint32_t transport, uint16_t udp_port)
    {
        memcpy(bytes, &ifindex, 4);
        memcpy(bytes + 4, &transport, 4);
        memcpy(bytes + 8, &udp_port, 2);
    }
};

key text(const char *s, uint32_t n)
{
    return {s, n, true};
}

} // namespace

int gwc_get_mempool(gwc_connection *c, const char *name, void *pool, Ary *list)
{
    return exchange_rows(c, CTL_GET_MEMPOOL, CTL_NEW_MEMPOOL, {text(name, CTL_KEY_POOL_NAME)},
                         {{pool, CTL_REC_MEMPOOL}}, {list, CTL_REC_MEMPOOL_SITE, 0});
}

int gwc_dump_mempools(gwc_connection *c, Ary *list)
{
    return exchange_rows(c, CTL_DUMP_MEMPOOLS, CTL_MEMPOOLS, {}, {}, {list, CTL_REC_MEMPOOL, 0});
}

int gwc_get_fabric(gwc_connection *c, Ary *list)
{
    return exchange_rows(c, CTL_GET_FABRIC, CTL_NEW_FABRIC, {}, {}, {list, CTL_REC_FABRIC, 0});
}

int gwc_get_xsk(gwc_connection *c, Ary *list)
{
    return exchange_rows(c, CTL_GET_XSK, CTL_NEW_XSK, {}, {}, {list, CTL_REC_XSK, 0});
}

int gwc_get_control(gwc_connection *c, const char *host, void *control)
{
    return exchange(c, CTL_GET_CONTROL, CTL_NEW_CONTROL, {text(host, CTL_KEY_CONTROL_NAME)},
                    {{control, CTL_REC_CONTROL}});
}

int gwc_add_control(gwc_connection *c, void *control)
{
    return exchange(c, CTL_ADD_CONTROL, CTL_NEW_CONTROL, {{control, CTL_REC_CONTROL}},
                    {{control, CTL_REC_CONTROL}});
}

int gwc_remove_control(gwc_connection *c, const char *host, void *control)
{
    return exchange(c, CTL_REMOVE_CONTROL, CTL_DELETE_CONTROL, {text(host, CTL_KEY_CONTROL_NAME)},
                    {{control, CTL_REC_CONTROL}});
}

int gwc_modify_control(gwc_connection *c, void *control)
{
    return exchange(c, CTL_MODIFY_CONTROL, CTL_NEW_CONTROL, {{control, CTL_REC_CONTROL}},
                    {{control, CTL_REC_CONTROL}});
}

int gwc_dump_controls(gwc_connection *c, Ary *list)
{
    return exchange_rows(c, CTL_DUMP_CONTROLS, CTL_CONTROLS, {}, {}, {list, CTL_REC_CONTROL, 0});
}

int gwc_get_port(gwc_connection *c, uint32_t ifindex, void *port)
{
    return exchange(c, CTL_GET_PORT, CTL_NEW_PORT, {{&ifindex, 4}}, {{port, CTL_REC_PORT}});
}

int gwc_add_port(gwc_connection *c, void *port)
{
    return exchange(c, CTL_ADD_PORT, CTL_NEW_PORT, {{port, CTL_REC_PORT}}, {{port, CTL_REC_PORT}});
}

int gwc_remove_port(gwc_connection *c, uint32_t ifindex, void *port)
{
    return exchange(c, CTL_REMOVE_PORT, CTL_DELETE_PORT, {{&ifindex, 4}}, {{port, CTL_REC_PORT}});
}

int gwc_modify_port(gwc_connection *c, void *port)
{
    return exchange(c, CTL_MODIFY_PORT, CTL_NEW_PORT, {{port, CTL_REC_PORT}},
                    {{port, CTL_REC_PORT}});
}

int gwc_dump_ports(gwc_connection *c, Ary *list)
{
    return exchange_rows(c, CTL_DUMP_PORTS, CTL_PORTS, {}, {}, {list, CTL_REC_PORT, 0});
}

int gwc_get_socket(gwc_connection *c, uint32_t ifindex, uint32_t transport, uint16_t udp_port,
                   void *socket)
{
    socket_key k(ifindex, transport, udp_port);
    return exchange(c, CTL_GET_SOCKET, CTL_NEW_SOCKET, {{k.bytes, sizeof(k.bytes)}},
                    {{socket, CTL_REC_SOCKET}});
}

int gwc_add_socket(gwc_connection *c, void *socket)
{
    return exchange(c, CTL_ADD_SOCKET, CTL_NEW_SOCKET, {{socket, CTL_REC_SOCKET}},
                    {{socket, CTL_REC_SOCKET}});
}

int gwc_remove_socket(gwc_connection *c, uint32_t ifindex, uint32_t transport, uint16_t udp_port,
                      void *socket)
{
    socket_key k(ifindex, transport, udp_port);
    return exchange(c, CTL_REMOVE_SOCKET, CTL_DELETE_SOCKET, {{k.bytes, sizeof(k.bytes)}},
                    {{socket, CTL_REC_SOCKET}});
}

int gwc_dump_sockets(gwc_connection *c, Ary *list)
{
    return exchange_rows(c, CTL_DUMP_SOCKETS, CTL_SOCKETS, {}, {}, {list, CTL_REC_SOCKET, 0});
}

int gwc_get_nas(gwc_connection *c, const char *name, void *nas, void *auth, void *acct, void *das)
{
    return exchange(c, CTL_GET_NAS, CTL_NEW_NAS, {text(name, CTL_KEY_NAS_NAME)},
                    {{nas, CTL_REC_NAS},
                     {auth, CTL_REC_NAS_AUTH},
                     {acct, CTL_REC_NAS_ACCT},
                     {das, CTL_REC_NAS_DAS}});
}

int gwc_add_nas(gwc_connection *c, void *nas, void *auth, void *acct, void *das)
{
    return exchange(c, CTL_ADD_NAS, CTL_NEW_NAS,
                    {{nas, CTL_REC_NAS}, {auth, CTL_REC_NAS_AUTH}, {acct, CTL_REC_NAS_ACCT}},
                    {{nas, CTL_REC_NAS},
                     {auth, CTL_REC_NAS_AUTH},
                     {acct, CTL_REC_NAS_ACCT},
                     {das, CTL_REC_NAS_DAS}});
}

int gwc_remove_nas(gwc_connection *c, const char *name, void *nas, void *auth, void *acct,
                   void *das)
{
    return exchange(c, CTL_REMOVE_NAS, CTL_DELETE_NAS, {text(name, CTL_KEY_NAS_NAME)},
                    {{nas, CTL_REC_NAS},
                     {auth, CTL_REC_NAS_AUTH},
                     {acct, CTL_REC_NAS_ACCT},
                     {das, CTL_REC_NAS_DAS}});
}

int gwc_modify_nas(gwc_connection *c, void *nas, void *auth, void *acct, void *das)
{
    return exchange(c, CTL_MODIFY_NAS, CTL_NEW_NAS,
                    {{nas, CTL_REC_NAS}, {auth, CTL_REC_NAS_AUTH}, {acct, CTL_REC_NAS_ACCT}},
                    {{nas, CTL_REC_NAS},
                     {auth, CTL_REC_NAS_AUTH},
                     {acct, CTL_REC_NAS_ACCT},
                     {das, CTL_REC_NAS_DAS}});
}

int gwc_dump_nases(gwc_connection *c, Ary *list)
{
    return exchange_rows(c, CTL_DUMP_NASES, CTL_NASES, {}, {}, {list, CTL_REC_NAS, 0});
}

int gwc_get_hostset(gwc_connection *c, uint32_t id, Ary *hosts)
{
    return exchange_rows(c, CTL_GET_HOSTSET, CTL_NEW_HOSTSET, {{&id, 4}}, {{nullptr, 4}},
                         {hosts, CTL_REC_HOST, 0});
}

int gwc_add_hostset(gwc_connection *c, uint32_t id)
{
    uint32_t stored = id;
    if (exchange(c, CTL_ADD_HOSTSET, CTL_NEW_HOSTSET, {{&id, 4}}, {{&stored, 4}, {nullptr, 4}}) < 0)
        return -1;
    if (stored > INT_MAX) {
        errno = EOVERFLOW;
        return -1;
    }
    return static_cast<int>(stored);
}

int gwc_remove_hostset(gwc_connection *c, uint32_t id, Ary *hosts)
{
    return exchange_rows(c, CTL_REMOVE_HOSTSET, CTL_DELETE_HOSTSET, {{&id, 4}}, {{nullptr, 4}},
                         {hosts, CTL_REC_HOST, 0});
}

int gwc_add_host(gwc_connection *c, uint32_t id, const char *host)
{
    return exchange(c, CTL_ADD_HOST, CTL_STATUS, {{&id, 4}, text(host, CTL_KEY_HOST_NAME)});
}

int gwc_remove_host(gwc_connection *c, uint32_t id, const char *host)
{
    return exchange(c, CTL_REMOVE_HOST, CTL_STATUS, {{&id, 4}, text(host, CTL_KEY_HOST_NAME)});
}

int gwc_dump_hostsets(gwc_connection *c, Ary *list)
{
    return exchange_rows(c, CTL_DUMP_HOSTSETS, CTL_HOSTSETS, {}, {}, {list, CTL_REC_HOSTSET_ID, 0});
}

int gwc_get_filter(gwc_connection *c, const char *nas, const char *filter, Ary *rules)
{
    return exchange_rows(c, CTL_GET_FILTER, CTL_NEW_FILTER,
                         {text(nas, CTL_KEY_NAS_NAME), text(filter, CTL_KEY_FILTER_NAME)}, {},
                         {rules, CTL_REC_RULE, 0});
}

int gwc_add_filter(gwc_connection *c, const char *nas, const char *filter)
{
    int r = exchange_rows(c, CTL_ADD_FILTER, CTL_NEW_FILTER,
                          {text(nas, CTL_KEY_NAS_NAME), text(filter, CTL_KEY_FILTER_NAME)}, {},
                          {nullptr, CTL_REC_RULE, 0});
    return r < 0 ? -1 : 0;
}

int gwc_remove_filter(gwc_connection *c, const char *nas, const char *filter, Ary *rules)
{
    return exchange_rows(c, CTL_REMOVE_FILTER, CTL_DELETE_FILTER,
                         {text(nas, CTL_KEY_NAS_NAME), text(filter, CTL_KEY_FILTER_NAME)}, {},
                         {rules, CTL_REC_RULE, 0});
}

int gwc_add_rule(gwc_connection *c, const char *nas, const char *filter, uint32_t position,
                 const void *rule)
{
    return exchange(c, CTL_ADD_RULE, CTL_STATUS,
                    {text(nas, CTL_KEY_NAS_NAME),
                     text(filter, CTL_KEY_FILTER_NAME),
                     {&position, 4},
                     {rule, CTL_REC_RULE}});
}

int gwc_remove_rule(gwc_connection *c, const char *nas, const char *filter, uint32_t position)
{
    return exchange(
        c, CTL_REMOVE_RULE, CTL_STATUS,
        {text(nas, CTL_KEY_NAS_NAME), text(filter, CTL_KEY_FILTER_NAME), {&position, 4}});
}

int gwc_dump_filters(gwc_connection *c, const char *nas, Ary *list)
{
    return exchange_rows(c, CTL_DUMP_FILTERS, CTL_FILTERS, {text(nas, CTL_KEY_NAS_NAME)}, {},
                         {list, CTL_REC_FILTER_NAME, 0});
}

int gwc_get_service(gwc_connection *c, const uint8_t uuid[16], void *service, void *dot11,
                    void *ess, void *counters, void *stats)
{
    return exchange(c, CTL_GET_SERVICE, CTL_NEW_SERVICE, {{uuid, CTL_KEY_UUID}},
                    {{service, CTL_REC_SERVICE},
                     {dot11, CTL_REC_DOT11_CONFIG},
                     {ess, CTL_REC_ESS_TEMPLATE},
                     {counters, CTL_REC_SERVICE_COUNTERS},
                     {stats, CTL_REC_SERVICE_STATS}});
}

int gwc_add_service(gwc_connection *c, void *service, void *dot11, void *ess, void *counters,
                    void *stats)
{
    return exchange(
        c, CTL_ADD_SERVICE, CTL_NEW_SERVICE,
        {{service, CTL_REC_SERVICE}, {dot11, CTL_REC_DOT11_CONFIG}, {ess, CTL_REC_ESS_TEMPLATE}},
        {{service, CTL_REC_SERVICE},
         {dot11, CTL_REC_DOT11_CONFIG},
         {ess, CTL_REC_ESS_TEMPLATE},
         {counters, CTL_REC_SERVICE_COUNTERS},
         {stats, CTL_REC_SERVICE_STATS}});
}

int gwc_remove_service(gwc_connection *c, const uint8_t uuid[16], void *service, void *dot11,
                       void *ess, void *counters, void *stats)
{
    return exchange(c, CTL_REMOVE_SERVICE, CTL_DELETE_SERVICE, {{uuid, CTL_KEY_UUID}},
                    {{service, CTL_REC_SERVICE},
                     {dot11, CTL_REC_DOT11_CONFIG},
                     {ess, CTL_REC_ESS_TEMPLATE},
                     {counters, CTL_REC_SERVICE_COUNTERS},
                     {stats, CTL_REC_SERVICE_STATS}});
}

int gwc_modify_service(gwc_connection *c, void *service, void *dot11, void *ess, void *counters,
                       void *stats)
{
    return exchange(
        c, CTL_MODIFY_SERVICE, CTL_NEW_SERVICE,
        {{service, CTL_REC_SERVICE}, {dot11, CTL_REC_DOT11_CONFIG}, {ess, CTL_REC_ESS_TEMPLATE}},
        {{service, CTL_REC_SERVICE},
         {dot11, CTL_REC_DOT11_CONFIG},
         {ess, CTL_REC_ESS_TEMPLATE},
         {counters, CTL_REC_SERVICE_COUNTERS},
         {stats, CTL_REC_SERVICE_STATS}});
}

int gwc_rename_service(gwc_connection *c, const uint8_t uuid[16], const uint8_t new_uuid[16],
                       void *service, void *dot11, void *ess, void *counters, void *stats)
{
    return exchange(c, CTL_RENAME_SERVICE, CTL_NEW_SERVICE,
                    {{uuid, CTL_KEY_UUID}, {new_uuid, CTL_KEY_UUID}},
                    {{service, CTL_REC_SERVICE},
                     {dot11, CTL_REC_DOT11_CONFIG},
                     {ess, CTL_REC_ESS_TEMPLATE},
                     {counters, CTL_REC_SERVICE_COUNTERS},
                     {stats, CTL_REC_SERVICE_STATS}});
}

int gwc_dump_services(gwc_connection *c, Ary *list)
{
    return exchange_rows(c, CTL_DUMP_SERVICES, CTL_SERVICES, {}, {}, {list, CTL_REC_SERVICE, 4});
}

int gwc_get_vap(gwc_connection *c, const uint8_t uuid[16], const uint8_t bssid[6], void *vap,
                void *dot11, void *ess)
{
    return exchange(
        c, CTL_GET_VAP, CTL_NEW_VAP, {{uuid, CTL_KEY_UUID}, {bssid, CTL_KEY_MAC}},
        {{vap, CTL_REC_VAP}, {dot11, CTL_REC_DOT11_CONFIG}, {ess, CTL_REC_ESS_TEMPLATE}});
}

int gwc_dump_vaps(gwc_connection *c, const uint8_t uuid[16], Ary *list)
{
    return exchange_rows(c, CTL_DUMP_VAPS, CTL_VAPS, {{uuid, CTL_KEY_UUID}}, {},
                         {list, CTL_REC_VAP, 4});
}

int gwc_get_tunnel(gwc_connection *c, const uint8_t uuid[16], const sockaddr *addr, void *tunnel)
{
    sockaddr_key a(addr);
    if (a.error) {
        errno = a.error;
        return -1;
    }
    return exchange(c, CTL_GET_TUNNEL, CTL_NEW_TUNNEL,
                    {{uuid, CTL_KEY_UUID}, {a.bytes, CTL_KEY_SOCKADDR}},
                    {{tunnel, CTL_REC_TUNNEL}});
}

int gwc_dump_tunnels(gwc_connection *c, const uint8_t uuid[16], Ary *list)
{
    return exchange_rows(c, CTL_DUMP_TUNNELS, CTL_TUNNELS, {{uuid, CTL_KEY_UUID}}, {},
                         {list, CTL_REC_TUNNEL, 4});
}

int gwc_get_flow(gwc_connection *c, const sockaddr *addr, const uint8_t bssid[6],
                 const uint8_t client[6], void *flow, void *socket, void *access, void *pae,
                 void *ftauth, void *sta, Ary *rules)
{
    sockaddr_key a(addr);
    if (a.error) {
        errno = a.error;
        return -1;
    }
    return exchange_rows(c, CTL_GET_FLOW, CTL_NEW_FLOW,
                         {{a.bytes, CTL_KEY_SOCKADDR}, {bssid, CTL_KEY_MAC}, {client, CTL_KEY_MAC}},
                         {{flow, CTL_REC_FLOW},
                          {socket, CTL_REC_FLOW_SOCKET},
                          {access, CTL_REC_ACCESS},
                          {pae, CTL_REC_PAE_STATUS},
                          {ftauth, CTL_REC_FTAUTH},
                          {nullptr, 4},
                          {sta, CTL_REC_FLOW_STA}},
                         {rules, CTL_REC_RULE, 0});
}

int gwc_dump_flows(gwc_connection *c, const uint8_t uuid[16], const sockaddr *addr,
                   const uint8_t bssid[6], const uint8_t client[6], Ary *list)
{
    sockaddr_key a(addr);
    if (a.error) {
        errno = a.error;
        return -1;
    }
    return exchange_rows(c, CTL_DUMP_FLOWS, CTL_FLOWS,
                         {{uuid, CTL_KEY_UUID},
                          {a.bytes, CTL_KEY_SOCKADDR},
                          {bssid, CTL_KEY_MAC},
                          {client, CTL_KEY_MAC}},
                         {}, {list, CTL_REC_FLOW, 4});
}

int gwc_get_access(gwc_connection *c, const uint8_t uuid[16], const uint8_t client[6], void *access,
                   Ary *rules)
{
    return exchange_rows(c, CTL_GET_ACCESS, CTL_NEW_ACCESS,
                         {{uuid, CTL_KEY_UUID}, {client, CTL_KEY_MAC}}, {{access, CTL_REC_ACCESS}},
                         {rules, CTL_REC_RULE, 0});
}

int gwc_dump_accesses(gwc_connection *c, const char *nas, const uint8_t uuid[16], Ary *list)
{
    return exchange_rows(c, CTL_DUMP_ACCESSES, CTL_ACCESSES,
                         {text(nas, CTL_KEY_NAS_NAME), {uuid, CTL_KEY_UUID}}, {},
                         {list, CTL_REC_ACCESS, 0});
}

int gwc_get_key(gwc_connection *c, const uint8_t uuid[16], const uint8_t pmkid[16], void *key_row,
                void *detail)
{
    return exchange(c, CTL_GET_KEY, CTL_NEW_KEY, {{uuid, CTL_KEY_UUID}, {pmkid, CTL_KEY_PMKID}},
                    {{key_row, CTL_REC_KEY}, {nullptr, 4}, {detail, CTL_REC_KEY_DETAIL}});
}

int gwc_dump_keys(gwc_connection *c, const uint8_t uuid[16], const uint8_t client[6], Ary *list)
{
    return exchange_rows(c, CTL_DUMP_KEYS, CTL_KEYS, {{uuid, CTL_KEY_UUID}, {client, CTL_KEY_MAC}},
                         {}, {list, CTL_REC_KEY, 0});
}

int gwc_clear_cache(gwc_connection *c, const char *nas, const uint8_t uuid[16],
                    const uint8_t client[6])
{
    return exchange(c, CTL_CLEAR_CACHE, CTL_STATUS,
                    {text(nas, CTL_KEY_NAS_NAME), {uuid, CTL_KEY_UUID}, {client, CTL_KEY_MAC}});
}

int gwc_get_ftauth(gwc_connection *c, const uint8_t uuid[16], const uint8_t bssid[6],
                   const uint8_t client[6], void *ftauth)
{
    return exchange(c, CTL_GET_FTAUTH, CTL_NEW_FTAUTH,
                    {{uuid, CTL_KEY_UUID}, {bssid, CTL_KEY_MAC}, {client, CTL_KEY_MAC}},
                    {{ftauth, CTL_REC_FTAUTH}});
}

int gwc_dump_ftauths(gwc_connection *c, const uint8_t uuid[16], const uint8_t client[6], Ary *list)
{
    return exchange_rows(c, CTL_DUMP_FTAUTHS, CTL_FTAUTHS,
                         {{uuid, CTL_KEY_UUID}, {client, CTL_KEY_MAC}}, {},
                         {list, CTL_REC_FTAUTH, 0});
}

int gwc_dump_leases(gwc_connection *c, const uint8_t uuid[16], const uint8_t client[6], Ary *list)
{
    return exchange_rows(c, CTL_DUMP_LEASES, CTL_LEASES,
                         {{uuid, CTL_KEY_UUID}, {client, CTL_KEY_MAC}}, {},
                         {list, CTL_REC_LEASE, 0});
}

int gwc_write_leases(gwc_connection *c)
{
    return exchange(c, CTL_WRITE_LEASES, CTL_STATUS, {});
}

int gwc_dump_leases6(gwc_connection *c, const uint8_t uuid[16], const uint8_t client[6], Ary *list)
{
    return exchange_rows(c, CTL_DUMP_LEASES6, CTL_LEASES6,
                         {{uuid, CTL_KEY_UUID}, {client, CTL_KEY_MAC}}, {},
                         {list, CTL_REC_LEASE6, 0});
}

int gwc_write_leases6(gwc_connection *c)
{
    return exchange(c, CTL_WRITE_LEASES6, CTL_STATUS, {});
}

int gwc_dump_groups(gwc_connection *c, const uint8_t uuid[16], const uint8_t client[6], Ary *list)
{
    return exchange_rows(c, CTL_DUMP_GROUPS, CTL_GROUPS,
                         {{uuid, CTL_KEY_UUID}, {client, CTL_KEY_MAC}}, {},
                         {list, CTL_REC_GROUP, 0});
}

int gwc_dump_groups6(gwc_connection *c, const uint8_t uuid[16], const uint8_t client[6], Ary *list)
{
    return exchange_rows(c, CTL_DUMP_GROUPS6, CTL_GROUPS6,
                         {{uuid, CTL_KEY_UUID}, {client, CTL_KEY_MAC}}, {},
                         {list, CTL_REC_GROUP6, 0});
}
