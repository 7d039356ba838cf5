// The 802.1X-2004 authenticator machines of one port (clause 8.2): the
// Authenticator PAE, Backend Authentication and Reauthentication Timer.
// A condition that holds a machine in a state (initialize, port disabled,
// port control) re-enters that state once, then keeps it there.
#include "dot11/dot1x_port.h"

#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "common/fatal.h"
#include "common/log.h"
#include "dot11/dot11_auth.h"
#include "dot11/dot11_r0kh.h"

namespace
{

constexpr const char *pae_names[11] = {
    "NONE",     "INITIALIZE", "DISCONNECTED", "CONNECTING",   "AUTHENTICATING", "AUTHENTICATED",
    "ABORTING", "HELD",       "FORCE_AUTH",   "FORCE_UNAUTH", "RESTART",
};
constexpr const char *backend_names[9] = {
    "NONE", "REQUEST", "RESPONSE", "SUCCESS", "FAIL", "TIMEOUT", "IDLE", "INITIALIZE", "IGNORE",
};
constexpr const char *reauth_names[3] = {"NONE", "INITIALIZE", "REAUTHENTICATE"};

#define PAE_LOG(port, level, fmt, ...)                                                             \
    ulog(LOG_COMP_DOT11, (level), "802.1X PAE " DOT11_MACF " " fmt, DOT11_MACA((port)->mac),       \
         ##__VA_ARGS__)

uint8_t pae_state(const dot1x_port *port)
{
    return dot1x_pae_state(port->config);
}
uint8_t backend_state(const dot1x_port *port)
{
    return dot1x_backend_state(port->config);
}
uint8_t port_control(const dot1x_port *port)
{
    return dot1x_port_control(port->config);
}
void set_states(dot1x_port *port, uint8_t pae, uint8_t backend)
{
    port->config.states = uint8_t(pae << 4 | (backend & 0x0f));
}

eap_auth_pub &eap(dot1x_port *port)
{
    return port->eap->pub;
}

void take_from_eap(dot1x_port *port)
{
    const eap_auth_pub &p = port->eap->pub;
    port->key = p.keyAvailable ? p.key : nullptr;
    port->key_len = p.keyAvailable ? p.key_len : 0;
    port->identity = p.identity;
    port->session_timeout = p.session_timeout;
    port->termination_action = p.termination_action;
}

void countdown(dot1x_port *port)
{
    uint32_t now = clock_sec();
    uint32_t d = now - port->last_tick;
    port->last_tick = now;
    for (uint16_t *v : {&port->aWhile, &port->quietWhile, &port->reAuthWhen})
        *v = d >= *v ? 0 : uint16_t(*v - d);
}

bool reauth_counts(const dot1x_port *port)
{
    return port->config.port & DOT1X_PORT_REAUTH;
}

// ---- procedures ----

void abort_auth(dot1x_port *port)
{
    packet_release(port->eapol);
    port->eapol = nullptr;
    eap_auth_pub &p = eap(port);
    packet_release(p.eapRespData);
    p.eapRespData = nullptr;
    p.eapRestart = true;
}

void send_resp_to_server(dot1x_port *port)
{
    packet *f = port->eapol;
    if (!f) return;
    port->eapol = nullptr;
    UGW_ASSERT((size_t)(sizeof(struct ieee8021x_hdr)) <= packet_headsize(f));
    packet_pull(f, sizeof(ieee8021x_hdr));
    eap_auth_pub &p = eap(port);
    packet_release(p.eapRespData);
    p.eapRespData = f;
}

// ---- Authenticator PAE ----

uint8_t pae_next(dot1x_port *port)
{
    uint8_t s = pae_state(port), control = port_control(port);
    if (s == 0) return DOT1X_PAE_INITIALIZE;
    if (port->initialize || !eap(port).portEnabled)
        return s == DOT1X_PAE_INITIALIZE ? 0 : DOT1X_PAE_INITIALIZE;
    if (control == DOT1X_CONTROL_FORCE_AUTHORIZED && port->portMode != control)
        return DOT1X_PAE_FORCE_AUTH;
    if (control == DOT1X_CONTROL_FORCE_UNAUTHORIZED && port->portMode != control)
        return DOT1X_PAE_FORCE_UNAUTH;
    if (control == DOT1X_CONTROL_AUTO && port->portMode != control) return DOT1X_PAE_INITIALIZE;
    const eap_auth_pub &p = eap(port);
    dot1xAuthDiag *d = port->diag;
    switch (s) {
    case DOT1X_PAE_INITIALIZE:
        return DOT1X_PAE_DISCONNECTED;
    case DOT1X_PAE_DISCONNECTED:
        return DOT1X_PAE_RESTART;
    case DOT1X_PAE_RESTART:
        return p.eapRestart ? 0 : DOT1X_PAE_CONNECTING;
    case DOT1X_PAE_CONNECTING:
        if (port->eapolLogoff || port->reAuthCount > port->config.dot1xAuthReAuthMax) {
            if (port->eapolLogoff) d->dot1xAuthEapLogoffsWhileConnecting++;
            return DOT1X_PAE_DISCONNECTED;
        }
        if ((p.eapReq && port->reAuthCount <= port->config.dot1xAuthReAuthMax) || p.eapSuccess ||
            p.eapFail)
            return DOT1X_PAE_AUTHENTICATING;
        return 0;
    case DOT1X_PAE_AUTHENTICATING:
        if (port->authSuccess && port->portValid) {
            d->dot1xAuthAuthSuccessWhileAuthenticating++;
            return DOT1X_PAE_AUTHENTICATED;
        }
        if (port->eapolStart || port->eapolLogoff || port->authTimeout) {
            if (port->eapolStart)
                d->dot1xAuthAuthEapStartsWhileAuthenticating++;
            else if (port->eapolLogoff)
                d->dot1xAuthAuthEapLogoffWhileAuthenticating++;
            else
                d->dot1xAuthAuthTimeoutsWhileAuthenticating++;
            return DOT1X_PAE_ABORTING;
        }
        if (port->authFail || (port->keyDone && !port->portValid)) {
            d->dot1xAuthAuthFailWhileAuthenticating++;
            return DOT1X_PAE_HELD;
        }
        return 0;
    case DOT1X_PAE_AUTHENTICATED:
        if ((port->eapolStart || port->reAuthenticate) && port->portValid) {
            if (port->eapolStart)
                d->dot1xAuthAuthEapStartsWhileAuthenticated++;
            else
                d->dot1xAuthAuthReauthsWhileAuthenticated++;
            return DOT1X_PAE_RESTART;
        }
        if (port->eapolLogoff || !port->portValid) {
            if (port->eapolLogoff) d->dot1xAuthAuthEapLogoffWhileAuthenticated++;
            return DOT1X_PAE_DISCONNECTED;
        }
        return 0;
    case DOT1X_PAE_ABORTING:
        if (port->authAbort) return 0;
        return port->eapolLogoff ? DOT1X_PAE_DISCONNECTED : DOT1X_PAE_RESTART;
    case DOT1X_PAE_HELD:
        return port->quietWhile == 0 ? DOT1X_PAE_RESTART : 0;
    case DOT1X_PAE_FORCE_AUTH:
    case DOT1X_PAE_FORCE_UNAUTH:
        return port->eapolStart ? s : 0;
    default:
        UGW_ASSERT(false && "Invalid state");
    }
}

void pae_enter(dot1x_port *port, uint8_t s)
{
    set_states(port, s, backend_state(port));
    PAE_LOG(port, ULOG_DETAIL, "entering PAE state %s", dot1x_pae_state_name(s));
    switch (s) {
    case DOT1X_PAE_INITIALIZE:
        port->portMode = DOT1X_CONTROL_AUTO;
        break;
    case DOT1X_PAE_DISCONNECTED:
        port->portStatus = DOT1X_PORT_UNAUTHORIZED;
        port->eapolLogoff = false;
        port->reAuthCount = 0;
        break;
    case DOT1X_PAE_RESTART:
        eap(port).eapRestart = true;
        break;
    case DOT1X_PAE_CONNECTING:
        port->diag->dot1xAuthEntersConnecting++;
        port->reAuthenticate = false;
        port->reAuthCount++;
        break;
    case DOT1X_PAE_AUTHENTICATING:
        port->diag->dot1xAuthEntersAuthenticating++;
        port->eapolStart = false;
        port->authSuccess = port->authFail = port->authTimeout = false;
        port->authStart = true;
        port->keyRun = port->keyDone = false;
        break;
    case DOT1X_PAE_AUTHENTICATED:
        port->portStatus = DOT1X_PORT_AUTHORIZED;
        port->reAuthCount = 0;
        break;
    case DOT1X_PAE_ABORTING:
        port->authAbort = true;
        port->keyRun = port->keyDone = false;
        break;
    case DOT1X_PAE_HELD:
        port->portStatus = DOT1X_PORT_UNAUTHORIZED;
        port->quietWhile = port->config.dot1xAuthQuietPeriod;
        port->eapolLogoff = false;
        break;
    case DOT1X_PAE_FORCE_AUTH:
        port->portStatus = DOT1X_PORT_AUTHORIZED;
        port->portMode = DOT1X_CONTROL_FORCE_AUTHORIZED;
        port->eapolStart = false;
        break;
    case DOT1X_PAE_FORCE_UNAUTH:
        port->portStatus = DOT1X_PORT_UNAUTHORIZED;
        port->portMode = DOT1X_CONTROL_FORCE_UNAUTHORIZED;
        port->eapolStart = false;
        break;
    default:
        UGW_ASSERT(false && "Invalid state");
    }
}

// ---- Backend Authentication ----

uint8_t backend_next(dot1x_port *port)
{
    uint8_t s = backend_state(port);
    if (s == 0) return DOT1X_BE_INITIALIZE;
    if (port->initialize || port_control(port) != DOT1X_CONTROL_AUTO)
        return s == DOT1X_BE_INITIALIZE ? 0 : DOT1X_BE_INITIALIZE;
    if (port->authAbort) return DOT1X_BE_INITIALIZE;
    const eap_auth_pub &p = eap(port);
    dot1xAuthDiag *d = port->diag;
    switch (s) {
    case DOT1X_BE_INITIALIZE:
        return DOT1X_BE_IDLE;
    case DOT1X_BE_IDLE:
        if (!port->authStart) return 0;
        if (p.eapSuccess) return DOT1X_BE_SUCCESS;
        if (p.eapFail) return DOT1X_BE_FAIL;
        if (p.eapReq) return DOT1X_BE_REQUEST;
        return 0;
    case DOT1X_BE_REQUEST:
    case DOT1X_BE_IGNORE:
        if (port->eapolEap) return DOT1X_BE_RESPONSE;
        if (p.eapReq) return DOT1X_BE_REQUEST;
        if (p.eapTimeout) return DOT1X_BE_TIMEOUT;
        return 0;
    case DOT1X_BE_RESPONSE:
        if (p.eapNoReq) return DOT1X_BE_IGNORE;
        if (port->aWhile == 0) return DOT1X_BE_TIMEOUT;
        if (p.eapFail) {
            d->dot1xAuthBackendAuthFails++;
            return DOT1X_BE_FAIL;
        }
        if (p.eapSuccess) {
            d->dot1xAuthBackendAuthSuccesses++;
            return DOT1X_BE_SUCCESS;
        }
        if (p.eapReq) {
            d->dot1xAuthBackendAccessChallenges++;
            return DOT1X_BE_REQUEST;
        }
        return 0;
    case DOT1X_BE_SUCCESS:
    case DOT1X_BE_FAIL:
    case DOT1X_BE_TIMEOUT:
        return DOT1X_BE_IDLE;
    default:
        UGW_ASSERT(false && "Invalid state");
    }
}

void backend_enter(dot1x_port *port, uint8_t s)
{
    set_states(port, pae_state(port), s);
    PAE_LOG(port, ULOG_DETAIL, "entering Backend state %s", dot1x_backend_state_name(s));
    eap_auth_pub &p = eap(port);
    switch (s) {
    case DOT1X_BE_INITIALIZE:
        abort_auth(port);
        p.eapNoReq = false;
        port->authAbort = false;
        break;
    case DOT1X_BE_IDLE:
        port->authStart = false;
        break;
    case DOT1X_BE_REQUEST:
        p.eapReq = false;
        dot1x_txReq(port);
        port->diag->dot1xAuthBackendOtherRequestsToSupplicant++;
        break;
    case DOT1X_BE_RESPONSE:
        port->diag->dot1xAuthBackendResponses++;
        port->eapolEap = port->authTimeout = false;
        p.eapNoReq = false;
        p.eapResp = true;
        port->aWhile = port->config.dot1xAuthServerTimeout;
        send_resp_to_server(port);
        break;
    case DOT1X_BE_IGNORE:
        p.eapNoReq = false;
        break;
    case DOT1X_BE_SUCCESS:
        port->authSuccess = port->keyRun = true;
        dot1x_txReq(port);
        break;
    case DOT1X_BE_FAIL:
        port->authFail = true;
        dot1x_txReq(port);
        break;
    case DOT1X_BE_TIMEOUT:
        port->authTimeout = true;
        break;
    default:
        UGW_ASSERT(false && "Invalid state");
    }
}

// ---- Reauthentication Timer ----

uint8_t reauth_next(dot1x_port *port)
{
    uint8_t s = port->reauth_state;
    if (s == 0) return DOT1X_REAUTH_INITIALIZE;
    if (port->initialize || port_control(port) != DOT1X_CONTROL_AUTO ||
        port->portStatus != DOT1X_PORT_AUTHORIZED || !reauth_counts(port))
        return s == DOT1X_REAUTH_INITIALIZE ? 0 : DOT1X_REAUTH_INITIALIZE;
    switch (s) {
    case DOT1X_REAUTH_INITIALIZE:
        return port->reAuthWhen == 0 ? DOT1X_REAUTH_REAUTHENTICATE : 0;
    case DOT1X_REAUTH_REAUTHENTICATE:
        return DOT1X_REAUTH_INITIALIZE;
    default:
        UGW_ASSERT(false && "Invalid state");
    }
}

void reauth_enter(dot1x_port *port, uint8_t s)
{
    port->reauth_state = s;
    PAE_LOG(port, ULOG_DETAIL, "entering Reauth state %s", dot1x_reauth_state_name(s));
    if (s == DOT1X_REAUTH_INITIALIZE)
        port->reAuthWhen = port->config.dot1xAuthReAuthPeriod;
    else
        port->reAuthenticate = true;
}

void write_back(dot1x_port *port)
{
    uint8_t control = port->portMode ? port->portMode : port_control(port);
    uint8_t status = port->portStatus ? port->portStatus : uint8_t(DOT1X_PORT_UNAUTHORIZED);
    port->config.port = uint8_t((port->config.port & ~(DOT1X_PORT_STATUS | DOT1X_PORT_CONTROL)) |
                                status << 4 | control << 2);
}

void arm(dot1x_port *port)
{
    uint32_t least = 0;
    uint16_t counts[3] = {port->quietWhile, port->aWhile,
                          reauth_counts(port) ? port->reAuthWhen : uint16_t(0)};
    for (uint16_t v : counts)
        if (v && (!least || v < least)) least = v;
    if (least)
        port->ops.timer_start(port->user, &port->tick, least * 1000, dot1x_auth_timer);
    else
        port->ops.timer_stop(port->user, &port->tick);
}

void destroy(dot1x_port *port)
{
    eap_auth_delete(port->eap);
    packet_release(port->eapol);
    free(port);
}

// ---- the key cache's face ----

const dot1x_ops r0kh_ops = {
    .send = [](void *u, packet *p) { dot11_r0kh_send_eapol_cb(static_cast<dot11_r0kh *>(u), p); },
    .notify = [](void *u) { dot11_r0kh_notify(static_cast<dot11_r0kh *>(u)); },
    .timer_start =
        [](void *u, timer *t, uint32_t ms, timer_fn expiry) {
            dot11_r0kh_timer_start(static_cast<dot11_r0kh *>(u), t, ms, expiry);
        },
    .timer_stop = [](void *u, timer *t) { dot11_r0kh_timer_stop(static_cast<dot11_r0kh *>(u), t); },
};

dot1x_port *pae_create(dot11_r0kh *owner, radius_client *nas, const uint8_t mac[6],
                       const dot1xAuthConfig *config, mempool *pool)
{
    dot11_cache *c = owner->cache;
    return dot1x_auth_create(&r0kh_ops, owner, dot11_cache_aaa_ops(c), nas, mac, config,
                             dot11_cache_dot1x_stats(c), dot11_cache_dot1x_diag(c), pool);
}

void pae_result(const dot1x_port *port, dot11_pae_result *out)
{
    *out = {};
    out->auth_success = port->authSuccess;
    out->key_available = port->key != nullptr;
    out->msk = port->key;
    out->msk_len = port->key_len;
    out->identity = port->identity;
    out->session_timeout = port->session_timeout;
    out->termination_action = port->termination_action;
}

} // namespace

const char *dot1x_pae_state_name(uint8_t s)
{
    return s < 11 ? pae_names[s] : "UNKNOWN";
}
const char *dot1x_backend_state_name(uint8_t s)
{
    return s < 9 ? backend_names[s] : "UNKNOWN";
}
const char *dot1x_reauth_state_name(uint8_t s)
{
    return s < 3 ? reauth_names[s] : "UNKNOWN";
}

dot1x_port *dot1x_auth_create(const dot1x_ops *ops, void *owner, const eap_aaa_ops *aaa,
                              radius_client *nas, const uint8_t mac[6],
                              const dot1xAuthConfig *config, dot1xAuthStats *stats,
                              dot1xAuthDiag *diag, mempool *pool)
{
    auto *port = static_cast<dot1x_port *>(calloc(1, sizeof(dot1x_port)));
    if (!port) {
        ulog(LOG_COMP_DOT11, ULOG_ERROR, "Memory allocation failed");
        return nullptr;
    }
    port->config = *config;
    port->config.states = 0;
    port->config.port &= uint8_t(~(DOT1X_PORT_ADMIN_DIRS | DOT1X_PORT_OPER_DIRS));
    port->ops = *ops;
    port->user = owner;
    port->stats = stats;
    port->diag = diag;
    port->portValid = true;
    port->portStatus = DOT1X_PORT_UNAUTHORIZED;
    port->last_tick = clock_sec();
    memcpy(port->mac, mac, 6);
    port->eap = eap_auth_create(port, aaa, nas, mac, pool);
    if (!port->eap) {
        free(port);
        return nullptr;
    }
    dot1x_auth_run(port);
    return port;
}

void dot1x_auth_delete(dot1x_port *port)
{
    if (!port) return;
    port->ops.timer_stop(port->user, &port->tick);
    if (port->running) {
        port->deferred_delete = true;
        return;
    }
    destroy(port);
}

void dot1x_auth_set_enabled(dot1x_port *port, bool enabled)
{
    if (eap(port).portEnabled == enabled) return;
    eap(port).portEnabled = enabled;
    dot1x_auth_kick(port);
}

void dot1x_auth_recv(dot1x_port *port, packet *p)
{
    size_t len = p->length;
    uint8_t hdr[4] = {};
    packet_access(p, 0, sizeof hdr, hdr, PACKET_ACCESS_READ);
    size_t body = size_t(hdr[2] << 8 | hdr[3]);
    dot1xAuthStats *st = port->stats;
    if (len >= 4) {
        st->dot1xAuthEapolFramesRx++;
        st->dot1xAuthLastEapolFrameVersion = hdr[0];
        memcpy(st->dot1xAuthLastEapolFrameSource, port->mac, 6);
    }
    if (len < 4 || len < 4 + body) {
        PAE_LOG(port, ULOG_DEBUG, "discarding short EAPOL frame %u bytes", unsigned(len));
        st->dot1xAuthEapLengthErrorFramesRx++;
        return;
    }
    switch (hdr[1]) {
    case DOT1X_EAPOL_EAP: {
        uint8_t eap_head[4] = {};
        packet_access(p, 4, sizeof eap_head, eap_head, PACKET_ACCESS_READ);
        size_t n = body >= EAP_HDR_LEN ? eap_length(eap_head) : 0;
        // Ethernet padding stops here: the frame is cut to its EAP packet.
        if (n < EAP_HDR_LEN || n > body) {
            PAE_LOG(port, ULOG_DEBUG, "discarding EAP-Packet of %u bytes in a body of %u",
                    unsigned(n), unsigned(body));
            st->dot1xAuthEapLengthErrorFramesRx++;
            return;
        }
        PAE_LOG(port, ULOG_TRACE, "received EAP-Packet");
        packet *copy = packet_alloc(port->eap->pool, 4 + n);
        if (!copy) {
            PAE_LOG(port, ULOG_DEBUG, "cannot keep the EAP-Packet");
            return;
        }
        packet_access(p, 0, 4 + n, copy->data, PACKET_ACCESS_READ);
        packet_release(port->eapol);
        port->eapol = copy;
        port->eapolEap = true;
        break;
    }
    case DOT1X_EAPOL_START:
        PAE_LOG(port, ULOG_TRACE, "received EAPOL-Start");
        port->eapolStart = true;
        st->dot1xAuthEapolStartFramesRx++;
        break;
    case DOT1X_EAPOL_LOGOFF:
        PAE_LOG(port, ULOG_TRACE, "received EAPOL-Logoff");
        port->eapolLogoff = true;
        st->dot1xAuthEapolLogoffFramesRx++;
        break;
    case DOT1X_EAPOL_KEY:
        PAE_LOG(port, ULOG_DEBUG, "discarding EAPOL-Key in 802.1X PAE");
        break;
    case DOT1X_EAPOL_ASF_ALERT:
        PAE_LOG(port, ULOG_TRACE, "received EAPOL-Encapsulated-ASF-Alert");
        st->dot1xAuthInvalidEapolFramesRx++;
        break;
    default:
        PAE_LOG(port, ULOG_DEBUG, "discarding EAPOL frame of type %d", hdr[1]);
        break;
    }
    dot1x_auth_kick(port);
}

void dot1x_auth_run(dot1x_port *port)
{
    countdown(port);
    port->running = true;
    unsigned rounds = 0;
    for (; rounds < DOT1X_MAX_ROUNDS && !port->deferred_delete; rounds++) {
        take_from_eap(port);
        bool moved = false;
        if (uint8_t s = pae_next(port)) {
            pae_enter(port, s);
            moved = true;
        }
        if (uint8_t s = backend_next(port)) {
            backend_enter(port, s);
            moved = true;
        }
        if (uint8_t s = reauth_next(port)) {
            reauth_enter(port, s);
            moved = true;
        }
        if (!moved || port->deferred_delete) break;
        if (!port->eap->running) eap_auth_step(port->eap);
        take_from_eap(port);
        write_back(port);
        if (port->ops.notify && !port->deferred_delete) port->ops.notify(port->user);
    }
    if (rounds == DOT1X_MAX_ROUNDS)
        PAE_LOG(port, ULOG_DEBUG, "did not finish in %d steps", int(rounds));
    port->running = false;
    write_back(port);
    if (port->deferred_delete) {
        ulog(LOG_COMP_DOT11, ULOG_DEBUG, "Running 802.1X PAE " DOT11_MACF " deferred destructor",
             DOT11_MACA(port->mac));
        destroy(port);
        return;
    }
    // Arming first: the owner may delete the port from inside notify.
    arm(port);
    if (port->ops.notify) port->ops.notify(port->user);
}

void dot1x_auth_kick(dot1x_port *port)
{
    if (!port->running) dot1x_auth_run(port);
}

void dot1x_auth_timer(timer *t)
{
    dot1x_port *port = container_of(t, &dot1x_port::tick);
    dot1x_auth_kick(port);
}

void dot1x_auth_timer_start(dot1x_port *port, timer *t, uint32_t ms, timer_fn expiry)
{
    port->ops.timer_start(port->user, t, ms, expiry);
}

void dot1x_auth_timer_stop(dot1x_port *port, timer *t)
{
    port->ops.timer_stop(port->user, t);
}

void dot1x_txReq(dot1x_port *port)
{
    eap_auth_pub &pub = eap(port);
    packet *p = pub.eapReqData;
    if (!p) return;
    pub.eapReqData = nullptr;
    if (packet_headroom(p) < sizeof(ieee8021x_hdr)) {
        PAE_LOG(port, ULOG_DEBUG, "no room for the EAPOL header of an EAP packet");
        packet_release(p);
        return;
    }
    uint8_t head[5] = {};
    packet_access(p, 0, sizeof head, head, PACKET_ACCESS_READ);
    dot1xAuthStats *st = port->stats;
    if (head[0] == EAP_CODE_REQUEST) {
        if (p->length >= 5 && head[4] == EAP_TYPE_IDENTITY)
            st->dot1xAuthEapolReqIdFramesTx++;
        else
            st->dot1xAuthEapolReqFramesTx++;
    }
    st->dot1xAuthEapolFramesTx++;
    uint16_t n = p->length;
    uint8_t *h = packet_push(p, sizeof(ieee8021x_hdr));
    h[0] = DOT1X_EAPOL_VERSION;
    h[1] = DOT1X_EAPOL_EAP;
    h[2] = uint8_t(n >> 8);
    h[3] = uint8_t(n);
    PAE_LOG(port, ULOG_TRACE, "sending EAP-Packet to supplicant");
    dot1x_ops ops = port->ops;
    void *user = port->user;
    // The port may be gone once send returns.
    if (ops.send) ops.send(user, p);
    packet_pull(p, sizeof(ieee8021x_hdr));
    packet_release(p);
}

const dot11_pae_ops dot1x_pae_ops = {
    .create = pae_create,
    .destroy = dot1x_auth_delete,
    .set_enabled = dot1x_auth_set_enabled,
    .recv = dot1x_auth_recv,
    .run = dot1x_auth_kick,
    .result = pae_result,
    .status = [](const dot1x_port *port, dot1xAuthConfig *out) { *out = port->config; },
};
