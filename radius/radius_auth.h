// The RADIUS back end of one EAP authenticator (RFC 3579): attached to the
// station's RADIUS session, it carries each EAP response to the server in
// EAP-Message attributes of an Access-Request and turns the server's
// Access-Challenge, -Accept and -Reject into the AAA interface variables
// (dot11/eap_auth.h): the next request, success with the MSK
// (MS-MPPE-Recv-Key || MS-MPPE-Send-Key), Session-Timeout and
// Termination-Action, or failure.
//
// It never sends on its own: retransmission and fail-over belong to the
// transport, and a lost exchange comes back as aaaTimeout.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/packet.h"
#include "dot11/eap_auth.h"
#include "radius/radius_db.h"

struct radius_client;

struct radius_eap_backend {
    radius_auth base; // the session's view, first
    eap_aaa pub;
    uint8_t *state; // the last Access-Challenge's State attribute (malloc'ed), or null
    radius_client *client;
    radius_entry *sess;
    uint8_t mac[6];
    void (*done)(void *user);
    void *user;
};

// Null when the station has no RADIUS session or the NAS no authentication
// server (or "Memory allocation failed").
radius_eap_backend *radius_auth_create(radius_client *client, const uint8_t mac[6],
                                       void (*done)(void *user), void *user);
// Null accepted.
void radius_auth_delete(radius_eap_backend *auth);
// Hands the identity and the pending response to the server.
void radius_auth_run(radius_eap_backend *auth);
// A response of the session's server for this back end.
void radius_auth_recv(radius_eap_backend *auth, packet *msg);
// The session goes away: detached, aaaTimeout, completion.
void radius_auth_detach(radius_eap_backend *auth);
// The exchange was lost (server set changed, request timed out).
void radius_auth_abort(radius_eap_backend *auth);
uint32_t radius_auth_get_session_timeout(const packet *msg);
uint32_t radius_auth_get_termination_action(const packet *msg);

// What the EAP authenticators of a key cache use (dot11_cache_set_aaa_ops).
extern const eap_aaa_ops radius_eap_aaa_ops;
