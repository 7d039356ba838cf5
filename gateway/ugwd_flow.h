// Flows: one station of one service. Their creation and deletion, the
// connection and liveness of Ethernet flows, and what the control module does
// with a flow once bound: association, authorization in the data plane,
// statistics, addresses, housekeeping and unbinding, and the data-plane events
// that concern flows.
//
// Timer A serves one purpose at a time (unbind, liveness or flow inform);
// timer B is the housekeeping timer. A deauthorization re-enters itself
// through disconnection: it runs once per flow, and an unbind asked for while
// one runs waits for the outermost call, so no caller ever holds a freed flow.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/socket.h>

#include "gateway/ugwd_table.h"

struct filter_rule;
struct packet;
struct radius_authz;
struct ugwd_proc;

enum : uint32_t {
    UGWD_FLOW_RECORD = 584,
    UGWD_FLOW_REPLY = 1924,
    UGWD_FLOW_MAX_DELAY = 4294967, // s: the most whose milliseconds fit 32 bits
    UGWD_FLOW_BUILTIN_RULES = 11,
    UGWD_FLOW_MAC_RULES = 2,
};

// Creation and deletion (gateway/ugwd_flow.cpp). Both create null with errno
// and count the flow in its service and VAP or tunnel; the flow is on no index.
ugwd_flow *ugwd_service_create_ether_flow(ugwd_tunnel *tn, const flow_id *id, const uint8_t mac[6],
                                          uint32_t unbind_delay);
// An 802.11 flow with its station attached to the VAP's authenticator; null
// (the flow deleted) when the authenticator refuses it.
ugwd_flow *ugwd_service_create_80211_flow(ugwd_vap *vap, const flow_id *id, const uint8_t radio[6],
                                          const uint8_t mac[6], const uint8_t session_key[32],
                                          uint32_t session_id, uint32_t unbind_delay);
// An indexed flow of a VAP or a tunnel with a pair id (BSSID and MAC); an
// 802.11 one has its station attached.
ugwd_flow *ugwd_ctl_create_flow(ugwd_ctl *ctl, ugwd_vap *vap, ugwd_tunnel *tn,
                                const uint8_t mac[6]);
// The flow must be on no index; accepts null.
void ugwd_service_delete_flow(ugwd_flow *f);

void ugwd_flow_connect(ugwd_flow *f);
void ugwd_flow_disconnect(ugwd_flow *f, uint16_t reason);
// The built-in authorization: the MAC as user name, no limits, no rules.
int ugwd_flow_authorize(ugwd_flow *f, const void *unused);
void ugwd_flow_deauthorize(ugwd_flow *f, uint16_t reason);

// Liveness of Ethernet flows: P seconds from the service's idle period, 0 = none.
uint32_t ugwd_flow_liveness_period(uint16_t idle_period);
void ugwd_flow_schedule_liveness(ugwd_flow *f, uint32_t x);
void ugwd_service_liveness_cb(timer *t);
// 42-byte ARP request and 78-byte neighbour solicitation to the station;
// null when the pool is out.
packet *ugwd_liveness_ping_arp(mempool *pool, const uint8_t src[6], const uint8_t dst[6],
                               const uint8_t target[4]);
packet *ugwd_liveness_ping_ndp(mempool *pool, const uint8_t src[6], const uint8_t dst[6],
                               const uint8_t target[16]);
// Folds a data-plane record's port statistics into the flow: 0 taken, -1 skipped.
int ugwd_service_update_flow(ugwd_flow *f, const frl_flow *rec);
// Idle seconds of the flow from its data-plane statistics; -1 on failure.
int ugwd_ctl_get_flow_stats(ugwd_flow *f, uint32_t *idle);

// Lifecycle (gateway/ugwd_ctl_flow.cpp).
void ugwd_ctl_associate_flow(ugwd_flow *f);
void ugwd_ctl_disassociate_flow(ugwd_flow *f, uint16_t reason);
int ugwd_ctl_authorize_flow(ugwd_flow *f, const radius_authz *a);
void ugwd_ctl_deauthorize_flow(ugwd_flow *f, uint16_t reason);
int ugwd_ctl_update_flow(ugwd_flow *f, const frl_flow *rec);
// Takes the flow out of the data plane, frees it, and deletes its VAP or
// tunnel when that was its last flow. Inside a deauthorization of the flow
// it is deferred to the outermost call.
void ugwd_ctl_unbind_flow(ugwd_flow *f);
// Ends a hold on the flow (hold_depth, taken by its disconnection): an unbind
// asked for meanwhile happens now. The flow may be gone on return.
void ugwd_ctl_release_flow(ugwd_flow *f);
int ugwd_ctl_announce_addresses(ugwd_flow *f);
int ugwd_ctl_reset_flow_record(ugwd_flow *f);
void ugwd_ctl_schedule_flow_timer(ugwd_flow *f);
// Address and membership sweeps, the data plane's copy of them, timer B.
void ugwd_ctl_flow_housekeeping(ugwd_flow *f);
void ugwd_ctl_flow_timer_cb(timer *t);
void ugwd_ctl_flow_unbind_timer_cb(timer *t);
// FlowServiceInform events.
enum : uint8_t { UGWD_FLOW_EVENT_START = 0, UGWD_FLOW_EVENT_STOP = 1, UGWD_FLOW_EVENT_UPDATE = 2 };
// The counter deltas since the last inform go to the controller; a stop is
// sent without a pending-request record. 0, or -1 when the link refused it.
int ugwd_ctl_send_flow_inform(ugwd_flow *f, uint8_t event, uint8_t reason);
// Sends an update with reason 0.
void ugwd_ctl_flow_inform_timer_cb(timer *t);
// Whether the station's authentication counts as cached in the flow inform.
bool ugwd_flow_auth_cached(const dot11_rsna *rsna);
// Arms timer A with the unbind callback after min(delay, 4294967) s.
void ugwd_ctl_arm_unbind(ugwd_flow *f, uint32_t delay);
int ugwd_ctl_output_flow_packet(ugwd_flow *f, packet *p);
int ugwd_ctl_output_flow_frame(ugwd_flow *f, packet *p);

// The rule list of an authorization: the built-in rules, the redirect
// permits, the authorization's rules. Count, or -1 when the array cannot grow.
ssize_t ugwd_ctl_build_rules(ugwd_ctl *ctl, const radius_authz *a, const sockaddr *const *redirect,
                             size_t nredirect, uint16_t redirect_port);
// 24-byte limits of an authorization.
void ugwd_ctl_flow_limits(const radius_authz *a, uint8_t out[FRL_LIMITS_SIZE]);
extern const uint8_t (&ugwd_flow_mac_rules)[UGWD_FLOW_MAC_RULES][FRL_MAC_RULE_SIZE];

// New-/Delete-Flow: the 584-byte flow record and the event.
void ugwd_ctl_fill_flow_record(const ugwd_flow *f, uint8_t rec[UGWD_FLOW_RECORD]);
int ugwd_ctl_notify_flow(ugwd_flow *f, uint32_t type);

// The flow of a tunnel packet, created (and its tunnel) when missing. A
// negative VNI means none.
ugwd_flow *ugwd_ctl_get_tunnel_flow(ugwd_ctl *ctl, ugwd_service *s, const sockaddr *peer,
                                    int64_t vni, uint8_t transport, const uint8_t mac[6]);

// Data-plane events of flows; user is the reporting process.
void ugwd_ctl_frl_diverted_packet_cb(void *proc, uint32_t device, uint8_t encap, packet *p);
void ugwd_ctl_frl_output_packet_cb(void *proc, uint32_t node, const flow_id *id, uint8_t cls,
                                   uint8_t encap, packet *p);
void ugwd_ctl_frl_update_cb(void *proc, const frl_flow *rec);
void ugwd_ctl_frl_mic_failure_cb(void *proc, uint32_t id, const flow_id *fid);
void ugwd_ctl_frl_quota_reached_cb(void *proc, uint32_t id, const flow_id *fid);
