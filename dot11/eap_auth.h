// The EAP authenticator of one 802.1X port: a pass-through authenticator
// (RFC 4137) that asks the station for its identity itself, relays every
// response to an AAA back end and every request the server returns to the
// port, retransmits requests on a one-second tick and ends in SUCCESS,
// FAILURE or TIMEOUT_FAILURE.
//
// The back end lives in another library: it is reached only through
// eap_aaa_ops, and both sides share the AAA interface record eap_aaa.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/mempool.h"
#include "common/packet.h"
#include "common/timer.h"

struct dot1x_port;
struct radius_client;

// EAP on the wire.
enum : uint8_t {
    EAP_CODE_REQUEST = 1,
    EAP_CODE_RESPONSE = 2,
    EAP_CODE_SUCCESS = 3,
    EAP_CODE_FAILURE = 4,
    EAP_TYPE_IDENTITY = 1,
};
constexpr size_t EAP_HDR_LEN = 4; // code, identifier, length (big-endian)
struct eap_hdr {
    uint8_t code;
    uint8_t identifier;
    uint8_t length[2];
};
static_assert(sizeof(eap_hdr) == EAP_HDR_LEN);
inline uint16_t eap_length(const uint8_t *eap)
{
    return uint16_t(eap[2] << 8 | eap[3]);
}

enum : size_t { EAP_MSK_MAX = 64, EAP_IDENTITY_MAX = 253 };

// The AAA interface variables of RFC 4137 as the back end shares them.
enum : uint8_t {
    EAP_AAA_KEY_AVAILABLE = 0x80,
    EAP_AAA_EAP_REQ = 0x40,
    EAP_AAA_EAP_NO_REQ = 0x20,
    EAP_AAA_EAP_RESP = 0x10,
    EAP_AAA_SUCCESS = 0x08,
    EAP_AAA_FAIL = 0x04,
    EAP_AAA_TIMEOUT = 0x02,
    EAP_AAA_TERMINATE_RADIUS = 0x01, // Termination-Action is RADIUS-Request
};
struct eap_aaa {
    packet *aaaEapReqData;  // from the server
    packet *aaaEapRespData; // for the server
    packet *aaaIdentity;    // the station's Identity response
    uint8_t flags;          // EAP_AAA_*
    uint8_t msk_len;
    uint8_t msk[EAP_MSK_MAX];
    char identity[EAP_IDENTITY_MAX + 1];
    uint32_t session_timeout; // s, of the Access-Accept; 0 = none
    uint32_t method_timeout;  // s, of the last Access-Challenge; 0 = none
};

// The back end's completion calls done(user).
struct eap_aaa_ops {
    eap_aaa *(*create)(radius_client *nas, const uint8_t mac[6], void (*done)(void *user),
                       void *user);
    void (*destroy)(eap_aaa *aaa);
    void (*run)(eap_aaa *aaa);
};

enum : uint8_t {
    EAP_STATE_INITIALIZE = 1,
    EAP_STATE_REQUEST_IDENTITY = 2,
    EAP_STATE_DISABLED = 3,
    EAP_STATE_IDLE = 4,
    EAP_STATE_RETRANSMIT = 5,
    EAP_STATE_RECEIVED = 6,
    EAP_STATE_DISCARD = 7,
    EAP_STATE_SEND_REQUEST = 8,
    EAP_STATE_AAA_REQUEST = 10,
    EAP_STATE_AAA_RESPONSE = 11,
    EAP_STATE_AAA_IDLE = 12,
    EAP_STATE_SUCCESS = 13,
    EAP_STATE_FAILURE = 14,
    EAP_STATE_TIMEOUT_FAILURE = 15,
};
const char *eap_auth_state_name(uint8_t state);

enum : unsigned { EAP_MAX_RETRANS = 5 }; // RFC 4137 MaxRetrans

// The lower-layer interface the port shares with the authenticator.
struct eap_auth_pub {
    packet *eapReqData;  // to send
    packet *eapRespData; // received
    bool eapReq, eapNoReq, eapSuccess, eapFail, eapTimeout, eapResp, eapRestart, portEnabled,
        keyAvailable;
    const uint8_t *key; // MSK, key_len bytes, once keyAvailable
    size_t key_len;
    const char *identity;
    uint32_t session_timeout;
    bool termination_action;
};

struct eap_auth {
    eap_auth_pub pub;
    uint8_t state;
    packet *lastReqData;
    uint8_t currentId;
    bool id_valid; // currentId is not NONE
    uint8_t respId, respMethod;
    bool rxResp;
    uint32_t methodTimeout;
    uint32_t retransWhile;
    unsigned retransCount;
    dot1x_port *port;
    mempool *pool;
    uint8_t mac[6];
    const eap_aaa_ops *aaa_ops;
    eap_aaa *aaa;
    timer tick;
    bool running, deferred_delete, timer_armed;
};

// Null after "Memory allocation failed" or when the back end cannot be made.
eap_auth *eap_auth_create(dot1x_port *port, const eap_aaa_ops *aaa, radius_client *nas,
                          const uint8_t mac[6], mempool *pool);
// Null accepted; deferred while the machine runs.
void eap_auth_delete(eap_auth *auth);
// Runs the machine to rest. False when the authenticator was deleted during
// the run (it is gone then).
bool eap_auth_step(eap_auth *auth);
void eap_auth_aaa_cb(void *user);
void eap_auth_timer(timer *t);
