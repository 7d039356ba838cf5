// The RADIUS front end's NAS table and records: one RADIUS client per NAS,
// its request ports, the dynamic-authorization port that all NASes share,
// and the callbacks through which the clients send and run their timers.
//
// A NAS's request ports are kept sorted by descriptor, so that a datagram's
// port index is found by binary search; the client numbers its requests by
// that index. The shared port 3799 is open exactly while a NAS exists.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/socket.h>
#include <sys/types.h>

#include "common/array.h"
#include "common/hashtable.h"
#include "common/list.h"
#include "radius/radius_client.h"

struct ugwd_ctl;
struct ugwd_nas_table;
struct packet;

constexpr uint16_t UGWD_RADIUS_DAS_PORT = 3799;

struct ugwd_nas {
    radius_nas_config *mib;    // inside the client's record
    radius_nas_record *record; // the client's: configuration and the six rows
    list_link sessions;        // empty until flows carry sessions
    ugwd_nas_table *table;
    radius_client *client;
    hashlink link;    // in the NAS table
    Ary ports;        // int descriptors, sorted ascending; a port's index is its place
    const char *name; // the NAS identifier, inside the record's configuration
};

struct ugwd_nas_table {
    ugwd_ctl *ctl;
    hashtable *by_name; // destroying it destroys every NAS
    int das_fd;         // the shared dynamic-authorization socket, -1 while closed
};

ugwd_nas_table *ugwd_nas_table_create(ugwd_ctl *ctl);
void ugwd_nas_table_destroy(ugwd_nas_table *t);
ugwd_nas *ugwd_nas_lookup(ugwd_nas_table *t, const char *name);
ugwd_nas *ugwd_nas_first(const ugwd_nas_table *t);
ugwd_nas *ugwd_nas_next(const ugwd_nas_table *t, const ugwd_nas *nas);
uint32_t ugwd_nas_count(const ugwd_nas_table *t);

// Null on failure (logged): the client, a request port or port 3799 could
// not be made. The configuration's name must not name an existing NAS.
ugwd_nas *ugwd_nas_create(ugwd_nas_table *t, const radius_nas_config *config);
// Opens or closes request ports to the new count and reconfigures the
// client; on failure the client's configuration and the ports are as they
// were. The configuration must carry the NAS's own name (EINVAL otherwise).
int ugwd_nas_modify(ugwd_nas *nas, const radius_nas_config *config,
                    const radiusAuthClientServerExtTable *auth,
                    const radiusAccClientServerExtTable *acct);
// Takes the NAS from every service and its key cache first: nothing keeps a
// pointer to it afterwards. Closes port 3799 with the last NAS.
void ugwd_nas_destroy(ugwd_nas *nas);
inline void ugwd_nas_free(ugwd_nas *nas)
{
    if (nas) ugwd_nas_destroy(nas);
}
inline radius_client *ugwd_nas_get_client(const ugwd_nas *nas)
{
    return nas->client;
}
inline uint32_t ugwd_nas_port_count(const ugwd_nas *nas)
{
    return array_length(&nas->ports);
}

int ugwd_nas_add_filter(ugwd_nas *nas, const char *name, const filter_rule *rules, uint32_t count);
void ugwd_nas_remove_filter(ugwd_nas *nas, const char *name);
int ugwd_nas_get_filter(ugwd_nas *nas, const char *name, filter_rule *rules, uint32_t n);
int ugwd_nas_list_filters(ugwd_nas *nas, const char **names, uint32_t n);

// Scheduler read callbacks: a NAS's request port (user: the NAS) and the
// shared dynamic-authorization port (user: the table).
void ugwd_radius_recv_port_cb(void *nas, int fd);
void ugwd_radius_recv_listen_cb(void *table, int fd);
// Sends one unfragmented datagram to the destination in its IPv4-mapped form.
ssize_t ugwd_radius_sendmsg(int fd, const packet *msg, const sockaddr *to);

// The client's send callback: port 0 or more is an index into the NAS's
// request ports (EBADF, logged, when beyond them), -1 the shared port.
int ugwd_nas_send(ugwd_nas *nas, packet *msg, const sockaddr *to, int port);

struct ugwd_mib_access;
struct ugwd_service;

// Access queries of the management commands. realm and mac may be null.
// The first max accesses (sessions, then cached authorizations) of the NAS,
// or of one realm, into records; the number there are.
uint32_t ugwd_nas_dump_accesses(ugwd_nas *nas, const uint8_t *realm, ugwd_mib_access *records,
                                uint32_t max);
// The station's session on the service's NAS, else its cached authorization
// in the service's realm: the record (when given) and at most max rules; the
// rule count, or -1 (ENOENT) when the service has no NAS or the station no access.
int ugwd_nas_get_access(ugwd_service *s, const uint8_t mac[6], ugwd_mib_access *record,
                        filter_rule *rules, uint32_t max);
// Revokes cached authorizations: of the station in the realm, of the realm,
// of the station, or all.
void ugwd_nas_revoke_access(ugwd_nas *nas, const uint8_t *realm, const uint8_t *mac);
