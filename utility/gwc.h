// The utility's client of the daemon's management protocol: one connection
// over the IPC client, request building, reply checking and reading, events,
// the IPC layer's lock, health and log requests, and one function per request
// type (gwc_request.cpp).
//
// A reply stays in the IPC client's receive buffer and is read from there in
// place; rows exported at the end of a reply take that buffer over instead of
// being copied, so a list of 10^5 flows costs one buffer, sized once from its
// first fragment.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/socket.h>

#include "common/array.h"

struct uclient;

// The ten event callbacks, in the order of the event groups: each gets the
// user pointer and a copy of the event's record.
struct ugw_listen_ops {
    void (*new_control)(void *user, const void *record);
    void (*delete_control)(void *user, const void *record);
    void (*new_service)(void *user, const void *record);
    void (*delete_service)(void *user, const void *record);
    void (*new_vap)(void *user, const void *record);
    void (*delete_vap)(void *user, const void *record);
    void (*new_tunnel)(void *user, const void *record);
    void (*delete_tunnel)(void *user, const void *record);
    void (*new_flow)(void *user, const void *record);
    void (*delete_flow)(void *user, const void *record);
};

enum gwc_event_kind : uint32_t {
    GWC_EVENT_CONTROLS = 0,
    GWC_EVENT_SERVICES = 1,
    GWC_EVENT_VAPS = 2,
    GWC_EVENT_TUNNELS = 3,
    GWC_EVENT_FLOWS = 4,
};

struct gwc_connection {
    ugw_listen_ops ops;
    uclient *client;
    Ary request;            // rebuilt by every request; its buffer stays
    const uint8_t *payload; // the accepted reply after its header
    uint32_t offset;
    uint32_t length;
    const uint8_t *rest; // non-null: bytes from rest_at on are here, not after payload
    uint32_t rest_at;
    uint32_t force; // bit 0: -f, sent on Add- and Remove- requests
    bool stood_in;  // a forced Status 0 answered in place of the record
    void *user;
    uint8_t event[768]; // the record handed to an event callback
};

gwc_connection *gwc_create(const char *path, const ugw_listen_ops *ops, void *user, uint32_t force);
// Wraps an open IPC client, which the connection then owns (also on failure).
gwc_connection *gwc_attach(uclient *client, const ugw_listen_ops *ops, void *user, uint32_t force);
void gwc_destroy(gwc_connection *c);
int gwc_fd(const gwc_connection *c);
ssize_t gwc_notification_dispatch(gwc_connection *c);
int gwc_subscribe(gwc_connection *c, uint32_t kind);
// -1 with EBUSY when the daemon refuses the lock, EAGAIN when it did not answer.
int gwc_lock(gwc_connection *c);
int gwc_unlock(gwc_connection *c);
int gwc_health_check(gwc_connection *c);
int gwc_get_log(gwc_connection *c, uint8_t settings[12]);
int gwc_set_log(gwc_connection *c, const uint8_t settings[12]);

// Request building and reply reading.
int gwc_begin(gwc_connection *c, uint32_t type);
int gwc_append(gwc_connection *c, const void *bytes, size_t n);
// -1 with ENAMETOOLONG when the text does not fit n-1 bytes: a cut name
// would address another object.
int gwc_append_string(gwc_connection *c, const char *text, size_t n);
int gwc_response(gwc_connection *c, uint32_t expected);
// As gwc_response, for a reply whose rows begin rows_at bytes after its
// header (0: not known): a long reply's rows then arrive where gwc_export
// hands them over without moving them.
int gwc_response_rows(gwc_connection *c, uint32_t expected, uint32_t rows_at);
int gwc_read(gwc_connection *c, void *out, size_t n);
int gwc_export(gwc_connection *c, Ary *rows, uint32_t count, uint32_t row_size);

// The request functions: -1 with errno, else the row count for those that
// export rows, the identifier for gwc_add_hostset, 0 for the rest. Null keys
// go as zeros ("any"); null outputs are skipped. Add and Modify send the
// caller's records and write the daemon's copy back into them.
int gwc_get_mempool(gwc_connection *c, const char *name, void *pool, Ary *rows);
int gwc_dump_mempools(gwc_connection *c, Ary *rows);
int gwc_get_fabric(gwc_connection *c, Ary *rows);
int gwc_get_xsk(gwc_connection *c, Ary *rows);
int gwc_get_control(gwc_connection *c, const char *host, void *control);
int gwc_add_control(gwc_connection *c, void *control);
int gwc_remove_control(gwc_connection *c, const char *host, void *control);
int gwc_modify_control(gwc_connection *c, void *control);
int gwc_dump_controls(gwc_connection *c, Ary *rows);
int gwc_get_port(gwc_connection *c, uint32_t ifindex, void *port);
int gwc_add_port(gwc_connection *c, void *port);
int gwc_remove_port(gwc_connection *c, uint32_t ifindex, void *port);
int gwc_modify_port(gwc_connection *c, void *port);
int gwc_dump_ports(gwc_connection *c, Ary *rows);
// The socket key: port interface index, transport (1 native .. 4 GRE), UDP port.
int gwc_get_socket(gwc_connection *c, uint32_t ifindex, uint32_t transport, uint16_t udp_port,
                   void *socket);
int gwc_add_socket(gwc_connection *c, void *socket);
int gwc_remove_socket(gwc_connection *c, uint32_t ifindex, uint32_t transport, uint16_t udp_port,
                      void *socket);
int gwc_dump_sockets(gwc_connection *c, Ary *rows);
int gwc_get_nas(gwc_connection *c, const char *name, void *nas, void *auth, void *acct, void *das);
int gwc_add_nas(gwc_connection *c, void *nas, void *auth, void *acct, void *das);
int gwc_remove_nas(gwc_connection *c, const char *name, void *nas, void *auth, void *acct,
                   void *das);
int gwc_modify_nas(gwc_connection *c, void *nas, void *auth, void *acct, void *das);
int gwc_dump_nases(gwc_connection *c, Ary *rows);
int gwc_get_hostset(gwc_connection *c, uint32_t id, Ary *hosts);
int gwc_add_hostset(gwc_connection *c, uint32_t id);
int gwc_remove_hostset(gwc_connection *c, uint32_t id, Ary *hosts);
int gwc_add_host(gwc_connection *c, uint32_t id, const char *host);
int gwc_remove_host(gwc_connection *c, uint32_t id, const char *host);
int gwc_dump_hostsets(gwc_connection *c, Ary *rows);
int gwc_get_filter(gwc_connection *c, const char *nas, const char *filter, Ary *rules);
int gwc_add_filter(gwc_connection *c, const char *nas, const char *filter);
int gwc_remove_filter(gwc_connection *c, const char *nas, const char *filter, Ary *rules);
int gwc_add_rule(gwc_connection *c, const char *nas, const char *filter, uint32_t position,
                 const void *rule);
int gwc_remove_rule(gwc_connection *c, const char *nas, const char *filter, uint32_t position);
int gwc_dump_filters(gwc_connection *c, const char *nas, Ary *rows);
int gwc_get_service(gwc_connection *c, const uint8_t uuid[16], void *service, void *dot11,
                    void *ess, void *counters, void *stats);
int gwc_add_service(gwc_connection *c, void *service, void *dot11, void *ess, void *counters,
                    void *stats);
int gwc_remove_service(gwc_connection *c, const uint8_t uuid[16], void *service, void *dot11,
                       void *ess, void *counters, void *stats);
int gwc_modify_service(gwc_connection *c, void *service, void *dot11, void *ess, void *counters,
                       void *stats);
int gwc_rename_service(gwc_connection *c, const uint8_t uuid[16], const uint8_t new_uuid[16],
                       void *service, void *dot11, void *ess, void *counters, void *stats);
int gwc_dump_services(gwc_connection *c, Ary *rows);
int gwc_get_vap(gwc_connection *c, const uint8_t uuid[16], const uint8_t bssid[6], void *vap,
                void *dot11, void *ess);
int gwc_dump_vaps(gwc_connection *c, const uint8_t uuid[16], Ary *rows);
int gwc_get_tunnel(gwc_connection *c, const uint8_t uuid[16], const sockaddr *addr, void *tunnel);
int gwc_dump_tunnels(gwc_connection *c, const uint8_t uuid[16], Ary *rows);
int gwc_get_flow(gwc_connection *c, const sockaddr *addr, const uint8_t bssid[6],
                 const uint8_t client[6], void *flow, void *socket, void *access, void *pae,
                 void *ftauth, void *sta, Ary *rules);
int gwc_dump_flows(gwc_connection *c, const uint8_t uuid[16], const sockaddr *addr,
                   const uint8_t bssid[6], const uint8_t client[6], Ary *rows);
int gwc_get_access(gwc_connection *c, const uint8_t uuid[16], const uint8_t client[6], void *access,
                   Ary *rules);
int gwc_dump_accesses(gwc_connection *c, const char *nas, const uint8_t uuid[16], Ary *rows);
int gwc_get_key(gwc_connection *c, const uint8_t uuid[16], const uint8_t pmkid[16], void *key,
                void *detail);
int gwc_dump_keys(gwc_connection *c, const uint8_t uuid[16], const uint8_t client[6], Ary *rows);
int gwc_clear_cache(gwc_connection *c, const char *nas, const uint8_t uuid[16],
                    const uint8_t client[6]);
int gwc_get_ftauth(gwc_connection *c, const uint8_t uuid[16], const uint8_t bssid[6],
                   const uint8_t client[6], void *ftauth);
int gwc_dump_ftauths(gwc_connection *c, const uint8_t uuid[16], const uint8_t client[6], Ary *rows);
int gwc_dump_leases(gwc_connection *c, const uint8_t uuid[16], const uint8_t client[6], Ary *rows);
int gwc_write_leases(gwc_connection *c);
int gwc_dump_leases6(gwc_connection *c, const uint8_t uuid[16], const uint8_t client[6], Ary *rows);
int gwc_write_leases6(gwc_connection *c);
int gwc_dump_groups(gwc_connection *c, const uint8_t uuid[16], const uint8_t client[6], Ary *rows);
int gwc_dump_groups6(gwc_connection *c, const uint8_t uuid[16], const uint8_t client[6], Ary *rows);
