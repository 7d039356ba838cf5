// The 802.1X authenticator port of one station: the Authenticator PAE,
// Backend Authentication and Reauthentication Timer machines of 802.1X-2004
// around the station's EAP authenticator (eap_auth.h). EAPOL frames come in
// through dot1x_auth_recv; frames, timers and "something changed" leave
// through dot1x_ops, towards the station's R0 key holder.
//
// One run steps the three machines once per round, then the EAP
// authenticator and the owner, until nothing moves (at most 100 rounds).
// The countdowns are whole seconds and are brought up to date at the start
// of every run, so a value loaded in a run counts from that run.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/mempool.h"
#include "common/packet.h"
#include "common/timer.h"
#include "dot11/dot11_mib.h"
#include "dot11/dot11_r0kh.h"
#include "dot11/eap_auth.h"

// User pointer first.
struct dot1x_ops {
    // The frame with its EAPOL header; the packet stays the caller's.
    void (*send)(void *user, packet *p);
    void (*notify)(void *user);
    void (*timer_start)(void *user, timer *t, uint32_t ms, timer_fn expiry);
    void (*timer_stop)(void *user, timer *t);
};

enum : uint8_t {
    DOT1X_PAE_INITIALIZE = 1,
    DOT1X_PAE_DISCONNECTED = 2,
    DOT1X_PAE_CONNECTING = 3,
    DOT1X_PAE_AUTHENTICATING = 4,
    DOT1X_PAE_AUTHENTICATED = 5,
    DOT1X_PAE_ABORTING = 6,
    DOT1X_PAE_HELD = 7,
    DOT1X_PAE_FORCE_AUTH = 8,
    DOT1X_PAE_FORCE_UNAUTH = 9,
    DOT1X_PAE_RESTART = 10,
};
enum : uint8_t {
    DOT1X_BE_REQUEST = 1,
    DOT1X_BE_RESPONSE = 2,
    DOT1X_BE_SUCCESS = 3,
    DOT1X_BE_FAIL = 4,
    DOT1X_BE_TIMEOUT = 5,
    DOT1X_BE_IDLE = 6,
    DOT1X_BE_INITIALIZE = 7,
    DOT1X_BE_IGNORE = 8,
};
enum : uint8_t {
    DOT1X_REAUTH_INITIALIZE = 1,
    DOT1X_REAUTH_REAUTHENTICATE = 2,
};
const char *dot1x_pae_state_name(uint8_t state);
const char *dot1x_backend_state_name(uint8_t state);
const char *dot1x_reauth_state_name(uint8_t state);

// EAPOL on the wire.
enum : uint8_t {
    DOT1X_EAPOL_VERSION = 2,
    DOT1X_EAPOL_EAP = 0,
    DOT1X_EAPOL_START = 1,
    DOT1X_EAPOL_LOGOFF = 2,
    DOT1X_EAPOL_KEY = 3,
    DOT1X_EAPOL_ASF_ALERT = 4,
};
struct ieee8021x_hdr {
    uint8_t version;
    uint8_t type;
    uint8_t length[2]; // of the body, big-endian
};
static_assert(sizeof(ieee8021x_hdr) == 4);

enum : unsigned { DOT1X_MAX_ROUNDS = 100 };

struct dot1x_port {
    dot1xAuthConfig config; // status and configuration, first
    dot1x_ops ops;
    void *user;
    // What each round copies from the EAP authenticator.
    const uint8_t *key;
    size_t key_len;
    const char *identity;
    uint32_t session_timeout;
    bool termination_action;
    dot1xAuthStats *stats;
    dot1xAuthDiag *diag;
    timer tick;
    uint32_t last_tick; // s
    uint16_t aWhile, quietWhile, reAuthWhen;
    bool running, deferred_delete;
    uint8_t reauth_state;
    uint8_t portMode; // DOT1X_CONTROL_*
    uint8_t reAuthCount;
    bool eapolEap, eapolStart, eapolLogoff, authSuccess, authFail, authTimeout, authStart,
        authAbort, portValid, reAuthenticate, initialize, keyRun, keyDone;
    uint8_t portStatus; // DOT1X_PORT_AUTHORIZED or _UNAUTHORIZED
    uint8_t mac[6];
    eap_auth *eap;
    packet *eapol; // the last EAP-Packet frame
};

// Null after "Memory allocation failed" or when the EAP authenticator cannot
// be made. stats and diag are the key cache's, shared by its ports.
dot1x_port *dot1x_auth_create(const dot1x_ops *ops, void *owner, const eap_aaa_ops *aaa,
                              radius_client *nas, const uint8_t mac[6],
                              const dot1xAuthConfig *config, dot1xAuthStats *stats,
                              dot1xAuthDiag *diag, mempool *pool);
// Null accepted; deferred while the machines run.
void dot1x_auth_delete(dot1x_port *port);
void dot1x_auth_set_enabled(dot1x_port *port, bool enabled);
// An EAPOL frame without its Ethernet header; the packet stays the caller's.
void dot1x_auth_recv(dot1x_port *port, packet *p);
void dot1x_auth_run(dot1x_port *port);
void dot1x_auth_kick(dot1x_port *port);
void dot1x_auth_timer(timer *t);
void dot1x_auth_timer_start(dot1x_port *port, timer *t, uint32_t ms, timer_fn expiry);
void dot1x_auth_timer_stop(dot1x_port *port, timer *t);
// Sends the EAP authenticator's eapReqData to the station and releases it.
void dot1x_txReq(dot1x_port *port);

// The port as the key cache's R0 key holders drive it.
extern const dot11_pae_ops dot1x_pae_ops;
