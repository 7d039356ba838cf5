// The RADIUS client of one NAS: the only face of the RADIUS subsystem towards
// the daemon core. It owns the NAS record (configuration and MIB rows), the
// authentication and accounting transports, the dynamic-authorization
// server, the session database and the authorization cache, wires them to
// each other, and reaches the core only through radius_client_ops.
//
// Reconfiguration is all or nothing: the new transports and server are built
// beside the old ones and swapped in only when all of them stand. Requests in
// flight on the old transports are then reported timed out to their sessions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/socket.h>

#include "common/filter/filter_rule.h"
#include "common/mempool.h"
#include "common/packet.h"
#include "common/timer.h"
#include "radius/radius_cache.h"
#include "radius/radius_das.h"
#include "radius/radius_db.h"
#include "radius/radius_mib.h"
#include "radius/radius_nas.h"

// Called with the core's user pointer first, in slot order.
struct radius_client_ops {
    void (*authorize)(void *user, radius_entry *session);
    // May delete the session from inside the call.
    void (*deauthorize)(void *user, radius_entry *session, uint16_t reason);
    void (*update)(void *user, radius_entry *session);
    void (*revoked)(void *user, const uint8_t *realm, const uint8_t mac[6]);
    // From the request port of that index, or from the dynamic-authorization
    // port for -1. The packet stays the caller's.
    void (*send)(void *user, packet *msg, const sockaddr *to, int port);
    void (*schedule)(void *user, timer *t, uint32_t ms, timer_fn callback);
    void (*cancel)(void *user, timer *t);
};

struct radius_client {
    radius_nas_record record; // configuration and the six MIB rows
    radius_client_ops ops;
    void *user;
    struct {
        radius_nas *auth; // null without a primary authentication server
        radius_nas *acct; // null without a primary accounting server
        radius_das *das;  // present with the authentication transport
        radius_db *db;
        radius_cache *cache;
    } _impl;
};

// auth and acct: the two server rows of each kind, or null for none.
radius_client *radius_client_create(const radius_nas_config *config,
                                    const radiusAuthClientServerExtTable *auth,
                                    const radiusAccClientServerExtTable *acct,
                                    const radius_client_ops *ops, void *user, uint32_t realm_len,
                                    mempool *packets);
// 0, or -1 with errno (EINVAL for 0 request ports with a configured server or
// more than 256 ports, or a bad row); on failure the previous configuration
// and objects stay in force.
int radius_client_configure(radius_client *client, const radius_nas_config *config,
                            const radiusAuthClientServerExtTable *auth,
                            const radiusAccClientServerExtTable *acct);
void radius_client_destroy(radius_client *client);

// The NAS-Identifier of a request on a port that several clients share,
// copied into buffer and always NUL-terminated (cut to size - 1 bytes);
// null when the message is short or malformed or has none.
char *radius_client_peek_nas_identifier(const packet *request, const sockaddr *source, char *buffer,
                                        size_t size);
// A datagram that arrived on request port `port`, or on the dynamic-
// authorization port for -1.
void radius_client_recv(radius_client *client, packet *msg, const sockaddr *source, int port);

// The session of the station with an EAP back end attached and a transaction
// reserved for it; null when there is no session, no authentication
// transport or no free identifier.
radius_entry *radius_client_attach_auth(radius_client *client, const uint8_t mac[6],
                                        radius_auth *auth);
void radius_client_detach_auth(radius_entry *session);

// Null with EEXIST when the station already has a session.
radius_entry *radius_client_create_sess(radius_client *client, const uint8_t *realm,
                                        const uint8_t mac[6], void *station);
// 0, or -1 with errno (ENOMEM when the set could not be stored).
int radius_client_add_filter(radius_client *client, const char *name, const filter_rule *rules,
                             uint32_t count);
void radius_client_remove_filter(radius_client *client, const char *name);
int radius_client_get_filter(radius_client *client, const char *name, filter_rule *rules,
                             uint32_t n);
int radius_client_list_filters(radius_client *client, const char **names, uint32_t n);
