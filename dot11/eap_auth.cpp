// Pass-through EAP authenticator (RFC 4137 section 7). Every run ends at
// rest or after 100 rounds; the retransmission timer is a one-second tick
// armed only while retransWhile counts down.
#include "dot11/eap_auth.h"

#include <cstdlib>
#include <cstring>

#include "common/fatal.h"
#include "common/log.h"
#include "dot11/dot11_auth.h"
#include "dot11/dot1x_port.h"

namespace
{

constexpr const char *state_names[16] = {
    "NONE",     "INITIALIZE", "REQUEST_IDENTITY", "DISABLED",        "IDLE",        "RETRANSMIT",
    "RECEIVED", "DISCARD",    "SEND_REQUEST",     "UNKNOWN",         "AAA_REQUEST", "AAA_RESPONSE",
    "AAA_IDLE", "SUCCESS",    "FAILURE",          "TIMEOUT_FAILURE",
};

#define EAP_LOG(a, level, fmt, ...)                                                                \
    ulog(LOG_COMP_DOT11, (level), "EAP Authenticator " DOT11_MACF " " fmt, DOT11_MACA((a)->mac),   \
         ##__VA_ARGS__)

void set_packet(packet **slot, packet *p)
{
    if (p) packet_ref(p);
    packet_release(*slot);
    *slot = p;
}

// Moves the reference out of from into slot.
void move_packet(packet **slot, packet **from)
{
    packet_release(*slot);
    *slot = *from;
    *from = nullptr;
}

packet *make_packet(eap_auth *a, uint8_t code, uint8_t id, bool identity)
{
    size_t n = identity ? 5 : EAP_HDR_LEN;
    packet *p = packet_alloc(a->pool, n);
    if (!p) {
        EAP_LOG(a, ULOG_DEBUG, "cannot allocate an EAP packet");
        return nullptr;
    }
    p->data[0] = code;
    p->data[1] = id;
    p->data[2] = 0;
    p->data[3] = uint8_t(n);
    if (identity) p->data[4] = EAP_TYPE_IDENTITY;
    return p;
}

dot1xAuthStats *stats(eap_auth *a)
{
    return a->port ? a->port->stats : nullptr;
}

// The final EAP packet: the server's, else our own with the current Identifier.
void final_packet(eap_auth *a, uint8_t code)
{
    if (a->aaa->aaaEapReqData) {
        move_packet(&a->pub.eapReqData, &a->aaa->aaaEapReqData);
    } else {
        packet *p = make_packet(a, code, a->id_valid ? a->currentId : 0, false);
        packet_release(a->pub.eapReqData);
        a->pub.eapReqData = p;
    }
}

void parse_response(eap_auth *a)
{
    a->rxResp = false;
    packet *p = a->pub.eapRespData;
    size_t len = p ? p->length : 0;
    if (len < 5) {
        ulog(LOG_COMP_DOT11, ULOG_DEBUG, "EAP Authenticator dropping short EAP packet %u bytes",
             unsigned(len));
        return;
    }
    uint8_t head[5];
    packet_access(p, 0, 5, head, PACKET_ACCESS_READ);
    if (head[0] != EAP_CODE_RESPONSE) {
        EAP_LOG(a, ULOG_DEBUG, "dropping EAP packet with code %u", head[0]);
        return;
    }
    if (eap_length(head) != len) {
        EAP_LOG(a, ULOG_DEBUG, "dropping EAP Response of length %u in %u bytes", eap_length(head),
                unsigned(len));
        return;
    }
    a->rxResp = true;
    a->respId = head[1];
    a->respMethod = head[4];
}

uint8_t next_state(eap_auth *a)
{
    eap_auth_pub &p = a->pub;
    if (p.eapRestart && p.portEnabled) return EAP_STATE_INITIALIZE;
    if (!p.portEnabled) return a->state == EAP_STATE_DISABLED ? 0 : EAP_STATE_DISABLED;
    uint8_t f = a->aaa->flags;
    switch (a->state) {
    case 0:
        return 0;
    case EAP_STATE_INITIALIZE:
        return EAP_STATE_REQUEST_IDENTITY;
    case EAP_STATE_REQUEST_IDENTITY:
        return EAP_STATE_SEND_REQUEST;
    case EAP_STATE_DISABLED:
        return EAP_STATE_INITIALIZE;
    case EAP_STATE_IDLE:
        if (a->retransWhile == 0) return EAP_STATE_RETRANSMIT;
        if (p.eapResp) return EAP_STATE_RECEIVED;
        return 0;
    case EAP_STATE_RETRANSMIT:
        return a->retransCount > EAP_MAX_RETRANS ? EAP_STATE_TIMEOUT_FAILURE : EAP_STATE_IDLE;
    case EAP_STATE_RECEIVED:
        return a->rxResp && a->id_valid && a->respId == a->currentId ? EAP_STATE_AAA_REQUEST
                                                                     : EAP_STATE_DISCARD;
    case EAP_STATE_DISCARD:
    case EAP_STATE_SEND_REQUEST:
        return EAP_STATE_IDLE;
    case EAP_STATE_AAA_REQUEST:
        return EAP_STATE_AAA_IDLE;
    case EAP_STATE_AAA_IDLE:
        if (f & EAP_AAA_SUCCESS) return EAP_STATE_SUCCESS;
        if (f & EAP_AAA_FAIL) return EAP_STATE_FAILURE;
        if (f & EAP_AAA_TIMEOUT) return EAP_STATE_TIMEOUT_FAILURE;
        if (f & EAP_AAA_EAP_REQ) return EAP_STATE_AAA_RESPONSE;
        if (f & EAP_AAA_EAP_NO_REQ) return EAP_STATE_DISCARD;
        return 0;
    case EAP_STATE_AAA_RESPONSE:
        return EAP_STATE_SEND_REQUEST;
    case EAP_STATE_SUCCESS:
    case EAP_STATE_FAILURE:
    case EAP_STATE_TIMEOUT_FAILURE:
        return 0;
    default:
        UGW_ASSERT(false && "Invalid state");
    }
}

void enter(eap_auth *a, uint8_t state)
{
    eap_auth_pub &p = a->pub;
    eap_aaa *aaa = a->aaa;
    a->state = state;
    EAP_LOG(a, ULOG_DETAIL, "entering state %s", eap_auth_state_name(state));
    switch (state) {
    case EAP_STATE_INITIALIZE:
        a->id_valid = false;
        p.eapSuccess = p.eapFail = p.eapTimeout = false;
        p.keyAvailable = false;
        p.key = nullptr;
        p.key_len = 0;
        p.eapRestart = false;
        aaa->flags &= uint8_t(~EAP_AAA_TIMEOUT);
        break;
    case EAP_STATE_REQUEST_IDENTITY: {
        a->currentId = uint8_t(a->currentId + 1);
        a->id_valid = true;
        packet *req = make_packet(a, EAP_CODE_REQUEST, a->currentId, true);
        packet_release(p.eapReqData);
        p.eapReqData = req;
        a->methodTimeout = 1;
        break;
    }
    case EAP_STATE_DISABLED:
        break;
    case EAP_STATE_IDLE:
        a->retransWhile = a->methodTimeout > 1 ? a->methodTimeout : 1;
        break;
    case EAP_STATE_RETRANSMIT:
        a->retransCount++;
        // RFC 4137 MaxRetrans: the first send and five more.
        if (a->retransCount <= EAP_MAX_RETRANS && a->lastReqData) {
            set_packet(&p.eapReqData, a->lastReqData);
            p.eapReq = true;
        }
        break;
    case EAP_STATE_RECEIVED:
        parse_response(a);
        break;
    case EAP_STATE_DISCARD:
        packet_release(p.eapRespData);
        p.eapRespData = nullptr;
        p.eapResp = false;
        p.eapNoReq = true;
        break;
    case EAP_STATE_SEND_REQUEST:
        a->retransCount = 0;
        set_packet(&a->lastReqData, p.eapReqData);
        p.eapResp = false;
        p.eapReq = true;
        break;
    case EAP_STATE_AAA_REQUEST:
        if (dot1xAuthStats *st = stats(a)) {
            if (a->respMethod == EAP_TYPE_IDENTITY)
                st->dot1xAuthEapolRespIdFramesRx++;
            else
                st->dot1xAuthEapolRespFramesRx++;
        }
        if (a->respMethod == EAP_TYPE_IDENTITY) set_packet(&aaa->aaaIdentity, p.eapRespData);
        move_packet(&aaa->aaaEapRespData, &p.eapRespData);
        // The flags AAA_IDLE waits on are cleared before the back end runs,
        // which may answer at once (no session: aaaTimeout).
        aaa->flags &= uint8_t(~(EAP_AAA_EAP_REQ | EAP_AAA_EAP_NO_REQ | EAP_AAA_SUCCESS |
                                EAP_AAA_FAIL | EAP_AAA_TIMEOUT));
        aaa->flags |= EAP_AAA_EAP_RESP;
        a->aaa_ops->run(aaa);
        break;
    case EAP_STATE_AAA_IDLE:
        break;
    case EAP_STATE_AAA_RESPONSE:
        move_packet(&p.eapReqData, &aaa->aaaEapReqData);
        if (p.eapReqData && p.eapReqData->length >= 2) {
            uint8_t id;
            packet_access(p.eapReqData, 1, 1, &id, PACKET_ACCESS_READ);
            a->currentId = id;
            a->id_valid = true;
        }
        a->methodTimeout = aaa->method_timeout;
        break;
    case EAP_STATE_SUCCESS:
        final_packet(a, EAP_CODE_SUCCESS);
        if (aaa->flags & EAP_AAA_KEY_AVAILABLE) {
            p.key = aaa->msk;
            p.key_len = aaa->msk_len;
            p.keyAvailable = true;
        }
        p.identity = aaa->identity;
        p.session_timeout = aaa->session_timeout;
        p.termination_action = aaa->flags & EAP_AAA_TERMINATE_RADIUS;
        p.eapSuccess = true;
        break;
    case EAP_STATE_FAILURE:
        final_packet(a, EAP_CODE_FAILURE);
        p.eapFail = true;
        break;
    case EAP_STATE_TIMEOUT_FAILURE:
        p.eapTimeout = true;
        // No machine of the port sends on a time-out: the station hears of it
        // from us.
        if (a->port) {
            final_packet(a, EAP_CODE_FAILURE);
            dot1x_txReq(a->port);
        }
        break;
    default:
        UGW_ASSERT(false && "Invalid state");
    }
}

void destroy(eap_auth *a)
{
    packet_release(a->lastReqData);
    packet_release(a->pub.eapReqData);
    packet_release(a->pub.eapRespData);
    if (a->aaa) a->aaa_ops->destroy(a->aaa);
    free(a);
}

} // namespace

const char *eap_auth_state_name(uint8_t state)
{
    return state < 16 ? state_names[state] : "UNKNOWN";
}

eap_auth *eap_auth_create(dot1x_port *port, const eap_aaa_ops *aaa, radius_client *nas,
                          const uint8_t mac[6], mempool *pool)
{
    auto *a = static_cast<eap_auth *>(calloc(1, sizeof(eap_auth)));
    if (!a) {
        ulog(LOG_COMP_DOT11, ULOG_ERROR, "Memory allocation failed");
        return nullptr;
    }
    a->port = port;
    a->pool = pool;
    memcpy(a->mac, mac, 6);
    a->aaa_ops = aaa;
    a->aaa = aaa && aaa->create ? aaa->create(nas, mac, eap_auth_aaa_cb, a) : nullptr;
    if (!a->aaa) {
        EAP_LOG(a, ULOG_DEBUG, "has no AAA back end");
        destroy(a);
        return nullptr;
    }
    return a;
}

void eap_auth_delete(eap_auth *a)
{
    if (!a) return;
    if (a->port && a->timer_armed) dot1x_auth_timer_stop(a->port, &a->tick);
    a->timer_armed = false;
    if (a->running) {
        // The port goes now; the run ends without it.
        a->deferred_delete = true;
        a->port = nullptr;
        return;
    }
    destroy(a);
}

bool eap_auth_step(eap_auth *a)
{
    a->running = true;
    unsigned rounds = 0;
    for (; rounds < DOT1X_MAX_ROUNDS && !a->deferred_delete; rounds++) {
        uint8_t next = next_state(a);
        if (!next) break;
        enter(a, next);
    }
    if (rounds == DOT1X_MAX_ROUNDS)
        EAP_LOG(a, ULOG_DEBUG, "did not finish in %d steps", int(rounds));
    a->running = false;
    if (a->deferred_delete) {
        ulog(LOG_COMP_DOT11, ULOG_DEBUG,
             "Running EAP Authenticator " DOT11_MACF " deferred destructor", DOT11_MACA(a->mac));
        destroy(a);
        return false;
    }
    if (a->retransWhile && !a->timer_armed && a->port) {
        a->timer_armed = true;
        dot1x_auth_timer_start(a->port, &a->tick, 1000, eap_auth_timer);
    }
    return true;
}

void eap_auth_aaa_cb(void *user)
{
    auto *a = static_cast<eap_auth *>(user);
    if (a->running) return;
    dot1x_port *port = a->port;
    if (eap_auth_step(a) && port) dot1x_auth_kick(port);
}

void eap_auth_timer(timer *t)
{
    eap_auth *a = container_of(t, &eap_auth::tick);
    a->timer_armed = false;
    if (a->retransWhile) a->retransWhile--;
    if (a->running) return;
    dot1x_port *port = a->port;
    if (eap_auth_step(a) && port) dot1x_auth_kick(port);
}
