// The callbacks of the VAPs' 802.11 authenticators and the services' key
// caches: station events become the flow's lifecycle steps, frames and keys
// go to the VAP's data-plane process, timers run on the gateway's scheduler.
#include "gateway/ugwd_ctl_dot11.h"

#include <cerrno>
#include <cstring>

#include "common/crypto/secure.h"
#include "common/log.h"
#include "common/schedule.h"
#include "gateway/frlc.h"
#include "gateway/ugwd_control.h"
#include "gateway/ugwd_flow.h"
#include "gateway/ugwd_proc.h"
#include "gateway/ugwd_table.h"

namespace
{

ugwd_flow *flow_of(dot11_rsna *sta)
{
    return container_of(sta, &ugwd_flow::rsna);
}

// Station events of a flow whose station is being detached reach nothing:
// the flow is out of its tables and the data plane already.
ugwd_flow *live_flow(dot11_rsna *sta)
{
    ugwd_flow *f = flow_of(sta);
    return f->flags & UGWD_FLOW_DETACHING ? nullptr : f;
}

ugwd_vap *vap_of(dot11_auth *auth)
{
    return container_of(auth, &ugwd_vap::auth);
}

ugwd_ctl *ctl_of(void *user)
{
    return static_cast<ugwd_ctl *>(user);
}

// The process and node a VAP's keys go to, or null while it is unbound.
frlc *key_client(const ugwd_vap *vap)
{
    if (!vap->bind.proc) {
        errno = ENOTCONN;
        return nullptr;
    }
    return vap->bind.proc->fernrelay;
}

// A station's key needs its flow in the data plane as well.
bool station_unbound(const ugwd_flow *f)
{
    if (f && !f->bound) {
        errno = ENOTCONN;
        return true;
    }
    return false;
}

const flow_id *key_flow(const ugwd_vap *vap, const ugwd_flow *f)
{
    return f ? &f->id : &vap->bind.bcast;
}

} // namespace

void ugwd_flow_send_eapol_cb(void *, dot11_rsna *sta, packet *p)
{
    if (ugwd_flow *f = live_flow(sta)) ugwd_ctl_output_flow_packet(f, p);
}

void ugwd_flow_send_mgmt_cb(void *, dot11_rsna *sta, packet *p)
{
    if (ugwd_flow *f = live_flow(sta)) ugwd_ctl_output_flow_frame(f, p);
}

void ugwd_flow_associated_cb(void *, dot11_rsna *sta)
{
    // The station's RADIUS session comes with the RADIUS front end's sessions.
    if (ugwd_flow *f = live_flow(sta)) ugwd_ctl_associate_flow(f);
}

void ugwd_flow_disassociated_cb(void *, dot11_rsna *sta)
{
    if (ugwd_flow *f = live_flow(sta)) ugwd_ctl_disassociate_flow(f, sta->reason);
}

void ugwd_flow_authorized_cb(void *, dot11_rsna *sta, const char *identity)
{
    if (ugwd_flow *f = live_flow(sta)) ugwd_flow_authorize(f, identity);
}

void ugwd_flow_deauthorized_cb(void *, dot11_rsna *sta)
{
    if (ugwd_flow *f = live_flow(sta)) ugwd_flow_deauthorize(f, sta->reason);
}

int ugwd_vap_install_key_cb(void *, dot11_auth *auth, dot11_rsna *sta, uint32_t cipher,
                            unsigned key_id, const uint8_t *key, size_t key_len)
{
    return ugwd_ctl_install_key(vap_of(auth), sta ? flow_of(sta) : nullptr, cipher, key_id, key,
                                key_len);
}

int ugwd_vap_activate_key_cb(void *, dot11_rsna *sta)
{
    ugwd_flow *f = flow_of(sta);
    frlc *c = key_client(f->vap);
    if (!c || station_unbound(f)) return -1;
    return frlc_activate_key(c, f->vap->bind.radio_node, &f->id);
}

int ugwd_vap_set_key_state_cb(void *, dot11_auth *auth, dot11_rsna *sta, int state)
{
    return ugwd_ctl_set_key_option(vap_of(auth), sta ? flow_of(sta) : nullptr,
                                   static_cast<uint8_t>(state));
}

int ugwd_vap_get_tsc_cb(void *, dot11_auth *auth, dot11_rsna *sta, unsigned key_id, uint64_t *tsc)
{
    return ugwd_ctl_get_key_seqnum(vap_of(auth), sta ? flow_of(sta) : nullptr, key_id, tsc);
}

int ugwd_vap_get_idle_cb(void *, dot11_rsna *sta, uint32_t *seconds)
{
    return ugwd_ctl_get_flow_stats(flow_of(sta), seconds);
}

void ugwd_vap_schedule_timer(void *ctl, dot11_auth *, timer *t, uint32_t ms, timer_fn expiry)
{
    schedule_timer(ctl_of(ctl)->sched, t, ms, expiry);
}

void ugwd_vap_cancel_timer(void *ctl, dot11_auth *, timer *t)
{
    schedule_cancel(ctl_of(ctl)->sched, t);
}

void ugwd_service_schedule_timer(void *ctl, timer *t, uint32_t ms, timer_fn expiry)
{
    schedule_timer(ctl_of(ctl)->sched, t, ms, expiry);
}

void ugwd_service_cancel_timer(void *ctl, timer *t)
{
    schedule_cancel(ctl_of(ctl)->sched, t);
}

const dot11_auth_ops ugwd_vap_auth_ops = {
    .user = nullptr,
    .send_ether = ugwd_flow_send_eapol_cb,
    .send_mgmt = ugwd_flow_send_mgmt_cb,
    .authenticated = nullptr,
    .deauthenticated = nullptr,
    .associated = ugwd_flow_associated_cb,
    .disassociated = ugwd_flow_disassociated_cb,
    .authorized = ugwd_flow_authorized_cb,
    .deauthorized = ugwd_flow_deauthorized_cb,
    .install_key = ugwd_vap_install_key_cb,
    .activate_key = ugwd_vap_activate_key_cb,
    .set_key_state = ugwd_vap_set_key_state_cb,
    .get_tsc = ugwd_vap_get_tsc_cb,
    .get_idle = ugwd_vap_get_idle_cb,
    .timer_start = ugwd_vap_schedule_timer,
    .timer_stop = ugwd_vap_cancel_timer,
};

const dot11_cache_ops ugwd_service_cache_ops = {
    .timer_start = ugwd_service_schedule_timer,
    .timer_stop = ugwd_service_cancel_timer,
};

int ugwd_ctl_install_key(ugwd_vap *vap, ugwd_flow *f, uint32_t cipher, unsigned key_id,
                         const uint8_t *key, size_t key_len)
{
    frlc *c = key_client(vap);
    if (!c || station_unbound(f)) return -1;
    if (key_len > UINT8_MAX || key_id > UINT8_MAX) {
        errno = EINVAL;
        return -1;
    }
    return frlc_install_key(c, vap->bind.radio_node, key_flow(vap, f), cipher,
                            static_cast<uint8_t>(key_id), key, static_cast<uint8_t>(key_len));
}

int ugwd_ctl_set_key_option(ugwd_vap *vap, ugwd_flow *f, uint8_t value)
{
    if (!vap->bind.proc || (f && !f->bound)) return 0;
    return frlc_set_key_state(vap->bind.proc->fernrelay, vap->bind.radio_node, key_flow(vap, f),
                              value);
}

int ugwd_ctl_get_key_seqnum(ugwd_vap *vap, ugwd_flow *f, unsigned key_id, uint64_t *tsc)
{
    frlc *c = key_client(vap);
    if (!c || station_unbound(f)) return -1;
    uint8_t b[FRL_TSC_SIZE];
    if (frlc_get_tsc(c, vap->bind.radio_node, key_flow(vap, f), static_cast<uint8_t>(key_id), b) <
        0)
        return -1;
    *tsc = frl_load64(b);
    return 0;
}

int ugwd_flow_recv_mgmt(ugwd_flow *f, packet *p)
{
    if (f->vap) dot11_auth_recv_mlme(&f->rsna, p);
    return 0;
}

int ugwd_flow_recv_tods(ugwd_flow *f, packet *p)
{
    if (f->vap) dot11_auth_recv_tods(&f->rsna, p);
    return 0;
}
