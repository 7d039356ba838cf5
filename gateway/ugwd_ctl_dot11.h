// The daemon's side of the 802.11 authenticator and key cache: the callbacks
// each VAP's authenticator and each service's key cache are created with,
// and the key requests they turn into for the VAP's data-plane process.
//
// The authenticator calls back with a station record that lies inside its
// 802.11 flow, so the flow is found from it; while the flow's station is
// being detached (the flow is deleted) the station callbacks do nothing, as
// the flow is already out of the data plane and its tables.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/timer.h"
#include "dot11/dot11_auth.h"
#include "dot11/dot11_cache.h"

struct packet;
struct ugwd_flow;
struct ugwd_vap;

// The ops tables with their user pointer unset: each VAP and service sets
// the gateway object.
extern const dot11_auth_ops ugwd_vap_auth_ops;
extern const dot11_cache_ops ugwd_service_cache_ops;

// dot11_auth_ops, in slot order.
void ugwd_flow_send_eapol_cb(void *ctl, dot11_rsna *sta, packet *p);
void ugwd_flow_send_mgmt_cb(void *ctl, dot11_rsna *sta, packet *p);
void ugwd_flow_associated_cb(void *ctl, dot11_rsna *sta);
void ugwd_flow_disassociated_cb(void *ctl, dot11_rsna *sta);
void ugwd_flow_authorized_cb(void *ctl, dot11_rsna *sta, const char *identity);
void ugwd_flow_deauthorized_cb(void *ctl, dot11_rsna *sta);
int ugwd_vap_install_key_cb(void *ctl, dot11_auth *auth, dot11_rsna *sta, uint32_t cipher,
                            unsigned key_id, const uint8_t *key, size_t key_len);
int ugwd_vap_activate_key_cb(void *ctl, dot11_rsna *sta);
int ugwd_vap_set_key_state_cb(void *ctl, dot11_auth *auth, dot11_rsna *sta, int state);
int ugwd_vap_get_tsc_cb(void *ctl, dot11_auth *auth, dot11_rsna *sta, unsigned key_id,
                        uint64_t *tsc);
int ugwd_vap_get_idle_cb(void *ctl, dot11_rsna *sta, uint32_t *seconds);
void ugwd_vap_schedule_timer(void *ctl, dot11_auth *auth, timer *t, uint32_t ms, timer_fn expiry);
void ugwd_vap_cancel_timer(void *ctl, dot11_auth *auth, timer *t);
// dot11_cache_ops.
void ugwd_service_schedule_timer(void *ctl, timer *t, uint32_t ms, timer_fn expiry);
void ugwd_service_cancel_timer(void *ctl, timer *t);

// Key requests to the VAP's process: the flow's id for a station's key, the
// VAP's own (broadcast) id for a group key. -1 with ENOTCONN while unbound.
int ugwd_ctl_install_key(ugwd_vap *vap, ugwd_flow *f, uint32_t cipher, unsigned key_id,
                         const uint8_t *key, size_t key_len);
// 0 without a request when the station's flow is not bound.
int ugwd_ctl_set_key_option(ugwd_vap *vap, ugwd_flow *f, uint8_t value);
int ugwd_ctl_get_key_seqnum(ugwd_vap *vap, ugwd_flow *f, unsigned key_id, uint64_t *tsc);

// Frames of an 802.11 flow's station for its authenticator; both return 0
// and leave the packet to the caller.
int ugwd_flow_recv_mgmt(ugwd_flow *f, packet *p);
int ugwd_flow_recv_tods(ugwd_flow *f, packet *p);
