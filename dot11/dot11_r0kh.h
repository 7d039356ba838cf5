// The R0 key holder of one station, shared by the BSSes of a service: finds
// or derives the station's PMKSA or PMK-R0-SA, runs its 802.1X port, relays
// EAPOL between that port and the station's BSS, pushes PMK-R1s (or PMKSAs)
// to the station's R1 key holders, and keeps the interim R1KHs of FT over
// the DS until the station reassociates.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/crypto/hmac.h"
#include "common/hashtable.h"
#include "common/list.h"
#include "common/packet.h"
#include "dot11/dot11_cache.h"

struct dot1x_port; // the station's 802.1X port

// What the port's backend reported.
struct dot11_pae_result {
    bool auth_success;
    bool key_available;
    const uint8_t *msk;
    size_t msk_len;
    const char *identity;
    uint32_t session_timeout; // s; 0 = none
    bool termination_action;
};

// The 802.1X port as the R0KH drives it. The port calls back through
// dot11_r0kh_send_eapol_cb, dot11_r0kh_notify and dot11_r0kh_timer_*.
struct dot11_pae_ops {
    dot1x_port *(*create)(dot11_r0kh *owner, radius_client *nas, const uint8_t mac[6],
                          const dot1xAuthConfig *config, mempool *pool);
    void (*destroy)(dot1x_port *port);
    void (*set_enabled)(dot1x_port *port, bool enabled);
    // An EAPOL frame without its Ethernet header; the packet stays the caller's.
    void (*recv)(dot1x_port *port, packet *p);
    void (*run)(dot1x_port *port);
    void (*result)(const dot1x_port *port, dot11_pae_result *out);
    void (*status)(const dot1x_port *port, dot1xAuthConfig *out);
};
void dot11_cache_set_pae_ops(dot11_cache *cache, const dot11_pae_ops *ops);
const dot11_pae_ops *dot11_cache_pae_ops(const dot11_cache *cache);
const dot1xAuthConfig *dot11_cache_port_config(const dot11_cache *cache);
// The EAP back end the cache's ports use (none: no 802.1X port can start).
struct eap_aaa_ops;
void dot11_cache_set_aaa_ops(dot11_cache *cache, const eap_aaa_ops *ops);
const eap_aaa_ops *dot11_cache_aaa_ops(const dot11_cache *cache);
// The 802.1X counters, summed over the cache's ports.
dot1xAuthStats *dot11_cache_dot1x_stats(dot11_cache *cache);
dot1xAuthDiag *dot11_cache_dot1x_diag(dot11_cache *cache);

enum : uint8_t {
    DOT11_R0KH_FT_R0_AUTH = 1,
    DOT11_R0KH_CALC_PMK_R0 = 2,
    DOT11_R0KH_CALC_PMK_R0_IDLE = 3,
    DOT11_R0KH_CALC_PMK_R1 = 4,
    DOT11_R0KH_FT_R0_AUTH_CLEANUP = 5,
    DOT11_R0KH_FT_PMK_R1_SA_PUSH = 6,
};

// Request flags.
enum : uint8_t {
    DOT11_R0KH_REQ_AUTH = 0x80,
    DOT11_R0KH_REQ_PUSH = 0x40,
    DOT11_R0KH_REQ_PREAUTH = 0x20,
    DOT11_R0KH_REQ_FAILED = 0x08, // the last authentication failed
};

// Events.
enum : uint8_t {
    DOT11_R0KH_EV_NEW = 0x80,
    DOT11_R0KH_EV_PUSH = 0x40,
    DOT11_R0KH_EV_FAILURE = 0x20,
    DOT11_R0KH_EV_HIT = 0x10,
};

// Interim R1KHs an R0KH keeps at most; the least recently used goes first.
enum : unsigned { DOT11_R0KH_MAX_INTERIMS = 8 };

struct dot11_r0kh {
    uint8_t name[16];
    uint8_t bssid[6];
    uint32_t cipher;
    uint32_t akm;
    uint8_t request;
    dot11_cache *cache;
    dot1x_port *pae;
    dot11_rsna *route;
    dot11_cache_entry *sa;
    uint8_t state;
    hashlink link;
    list_link r1khs;
    list_link interims; // oldest first
    unsigned n_interims;
    uint8_t mac[6];
    uint8_t route_bssid[6];
    uint16_t ethertype;
    bool running;
    uint8_t events;
    // PMK-R0 and PMKR0Name of the configured PSK for this station, derived
    // once: its inputs change only with the configuration, which forgets it.
    bool psk_r0_ready;
    uint8_t psk_r0[32];
    uint8_t psk_r0name[16];
    // The PSK's PMKID for the BSS that asked last: a station moving between
    // BSSes asks each again and again.
    bool psk_pmkid_ready;
    uint8_t psk_pmkid_aa[6];
    uint8_t psk_pmkid[16];
    // The entry PSK SAs are derived into, renewed per request: they are
    // never cached, and an allocation per FT-PSK transition bought nothing.
    dot11_cache_entry *psk_sa;
    // The PMK-R0 pushed last, set up as an HMAC key: a roaming station's
    // every PMK-R1 comes from the same PMK-R0. The cache drops it with the
    // entry that holds that PMK-R0.
    bool r0_keyed_ready;
    uint8_t r0_keyed_key[32];
    hmac_sha256_ctx r0_keyed;
};

int dot11_r0kh_create(dot11_cache *cache, dot11_rsna *sta);
void dot11_r0kh_detach(dot11_rsna *sta);
void dot11_r0kh_delete(dot11_r0kh *r0kh);
void dot11_r0kh_step(dot11_r0kh *r0kh);
// Wipes what was derived from the configured PSK (the configuration changed).
void dot11_r0kh_forget_psk(dot11_r0kh *r0kh);
// Wipes the HMAC key set up from pmk_r0, when it is that one (the cache is
// letting the PMK-R0 go).
void dot11_r0kh_forget_r0(dot11_r0kh *r0kh, const uint8_t pmk_r0[32]);
void dot11_r0kh_notify(dot11_r0kh *r0kh);
// A frame from the station through a BSS, Ethernet header on; the packet
// stays the caller's.
void dot11_r0kh_recv_eapol(dot11_rsna *sta, packet *p);
// The port's frame for the station (EAPOL header on); the packet stays the
// caller's.
void dot11_r0kh_send_eapol_cb(dot11_r0kh *r0kh, packet *p);
void dot11_r0kh_timer_start(dot11_r0kh *r0kh, timer *t, uint32_t ms, timer_fn expiry);
void dot11_r0kh_timer_stop(dot11_r0kh *r0kh, timer *t);
void dot11_r0kh_get_pae_status(dot11_r0kh *r0kh, dot1xAuthConfig *out);
const char *dot11_r0kh_state_name(uint8_t state);

// R1KH walks.
unsigned dot11_r0kh_count_r1khs(const dot11_r0kh *r0kh);
dot11_rsna *dot11_r0kh_find_r1kh(dot11_r0kh *r0kh, const dot11_auth *auth);
dot11_rsna *dot11_r0kh_first_r1kh(dot11_r0kh *r0kh);
dot11_rsna *dot11_r0kh_next_r1kh(dot11_r0kh *r0kh, dot11_rsna *sta);

// Interim R1KHs of FT over the DS.
dot11_rsna *dot11_r0kh_create_interim(dot11_r0kh *r0kh, const uint8_t target[6]);
void dot11_cache_lru_touch(dot11_rsna *interim);
void dot11_cache_lru_demote(dot11_rsna *interim);
void dot11_r0kh_prune(dot11_r0kh *r0kh);
void dot11_r0kh_prune_interim(dot11_r0kh *r0kh, dot11_rsna *interim);
// Moves the interim of the station for this BSS into sta: 0, or -1 when
// there is none.
int dot11_r0kh_take_interim(dot11_cache *cache, const uint8_t mac[6], dot11_auth *auth,
                            dot11_rsna *sta);
