// The 802.11 authenticator of one BSS: management frames, the 4-way and
// group-key handshakes and TKIP countermeasures, as state machines stepped by
// one run loop.
//
// The object owns no thread, socket or clock source: frames leave and timers
// are armed through the host's dot11_auth_ops. Every entry point sets event
// flags on a station (which puts it on the BSS's pending list) and runs the
// machines to rest; a pass steps the per-BSS machines and only the stations
// with pending events, so the work of one event does not grow with the number
// of stations. A station stays pending while its machines move.
//
// Delays of up to 4294967 s are kept as 64-bit milliseconds and armed in
// pieces the host's wrap-safe 32-bit clock can represent.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/crypto/aes_cmac.h"
#include "common/list.h"
#include "common/packet.h"
#include "common/timer.h"
#include "dot11/dot11_keygen.h"
#include "dot11/dot11_mib.h"

// Picks the AES implementation the key handling uses; once, before any
// authenticator exists.
void dot11_crypto_init();

struct dot11_auth;
struct dot11_rsna;
enum : size_t { DOT11_AUTH_MAX_FTIE_SIZE = 195 };

struct dot11_cache; // the key cache; none here means PSK and open system only
struct dot11_r0kh;

// The host's callbacks, user pointer first. Any slot may be empty: it is
// skipped, and where a result is needed an empty slot counts as failure.
struct dot11_auth_ops {
    void *user;
    // The packet stays the caller's: a host that keeps it takes a reference.
    void (*send_ether)(void *user, dot11_rsna *sta, packet *p);
    void (*send_mgmt)(void *user, dot11_rsna *sta, packet *p);
    void (*authenticated)(void *user, dot11_rsna *sta);
    void (*deauthenticated)(void *user, dot11_rsna *sta);
    void (*associated)(void *user, dot11_rsna *sta);
    void (*disassociated)(void *user, dot11_rsna *sta);
    // The EAP identity the key holder learnt, or null; valid during the call.
    void (*authorized)(void *user, dot11_rsna *sta, const char *identity);
    void (*deauthorized)(void *user, dot11_rsna *sta);
    int (*install_key)(void *user, dot11_auth *auth, dot11_rsna *sta, uint32_t cipher,
                       unsigned key_id, const uint8_t *key, size_t key_len);
    int (*activate_key)(void *user, dot11_rsna *sta);
    int (*set_key_state)(void *user, dot11_auth *auth, dot11_rsna *sta, int state);
    int (*get_tsc)(void *user, dot11_auth *auth, dot11_rsna *sta, unsigned key_id, uint64_t *tsc);
    int (*get_idle)(void *user, dot11_rsna *sta, uint32_t *seconds);
    void (*timer_start)(void *user, dot11_auth *auth, timer *t, uint32_t ms, timer_fn expiry);
    void (*timer_stop)(void *user, dot11_auth *auth, timer *t);
};

// A one-shot timer whose delay may exceed what the 32-bit clock compares
// safely; the rest is re-armed on each expiry.
struct dot11_timer {
    timer t;
    uint64_t left_ms;
    dot11_auth *auth;
    void (*expiry)(dot11_timer *);
};

// A copy of a frame kept to answer a retransmitted request: heap bytes, so
// that a cached frame does not pin a pool buffer. A request and its answer
// share one allocation, which the request's copy owns: the answer's is
// borrowed, and the pair is dropped together.
struct dot11_frame_copy {
    uint8_t *bytes;
    uint16_t len;
    bool borrowed;
};

// Machine state numbers shared by all machines of the authenticator.
enum : uint8_t {
    DOT11_R1KH_DISCONNECT = 1,
    DOT11_R1KH_DISCONNECTED = 2,
    DOT11_R1KH_R1_START = 3,
    DOT11_R1KH_FT_INIT_AUTH = 4,
    DOT11_R1KH_FT_INIT_ASSOC = 5,
    DOT11_R1KH_FT_INIT_GET_R1_SA = 6,
    DOT11_R1KH_FT_INIT_R1_SA = 7,
    DOT11_R1KH_FT_PTK_START = 8,
    DOT11_R1KH_FT_PTK_CALC_NEGOTIATING = 9,
    DOT11_R1KH_FT_PTK_CALC_NEGOTIATING3 = 10,
    DOT11_R1KH_FT_PTK_INIT_DONE = 11,
    DOT11_R1KH_FT_AUTH = 12,
    DOT11_R1KH_FT_GET_PMK_R1_SA = 13,
    DOT11_R1KH_FT_PMK_R1_SA_RECD = 14,
    DOT11_R1KH_FT_HANDSHAKE_DONE = 15,
    DOT11_R1KH_OPEN_DONE = 16,
    DOT11_GTK_IDLE = 17,
    DOT11_GTK_KEYERROR = 18,
    DOT11_GTK_REKEYESTABLISHED = 19,
    DOT11_GTK_REKEYNEGOTIATING = 20,
    DOT11_GROUP_GTK_INIT = 21,
    DOT11_GROUP_SETKEYS = 22,
    DOT11_GROUP_SETKEYSDONE = 23,
    DOT11_CM_INIT = 24,
    DOT11_CM_UPDATE = 25,
    DOT11_CM_INVOKE = 26,
    DOT11_CM_WAIT = 27,
    DOT11_CM_RESUME = 28,
};

// What an accepted (Re)Assoc-Req selects; taken over by the station only
// when its machine takes the request.
struct dot11_sta_suites {
    uint32_t akm;
    uint32_t pairwise;
    uint32_t group;
    uint8_t desc_type;    // 2 RSN, 254 WPA, 0 none
    uint8_t desc_version; // EAPOL_KEY_V*
    uint8_t tk_len;
    uint8_t *ie; // malloc'ed copy of the RSN or WPA element (with PMKID room)
};

struct dot11_rsna {
    dot11_auth *auth;
    uint8_t mac[6];
    uint8_t r1kh_state;
    uint8_t gtk_state;
    list_link link;    // in the BSS station list once associated
    list_link pending; // in the BSS's list of stations with events

    // One-shot events, cleared after each step of the station.
    bool Init, AuthRequest, AssocRequest, ReassocRequest, EAPOLKeyReceived, Deauthenticate,
        TimeoutEvt, SATimeout, ReassocDeadline;
    // Events and marks that handlers clear.
    bool Disconnect, GetR1SA, PTKRequest, PInitAKeys, GUpdateStationKeys;
    bool EAPOLKeyPairwise, EAPOLKeyRequest, MICVerified, IEsMatch;
    bool Authenticated, Associated, Authorized;
    bool in_list;
    bool tk_installed;   // the TK of this PTK went to the data plane
    bool last_mic_bad;   // the last pairwise response failed its MIC
    bool last_ies_bad;   // the last verified 2/4 carried other elements
    bool has_ptk;
    bool EAPOLKeySecure; // Secure bit of the waiting key frame
    bool req_replay_set; // req_replay holds an accepted request's counter
    uint8_t assoc_subtype; // request subtype taken: 0 Assoc-Req, 2 Reassoc-Req

    uint8_t pairwise_retry;
    uint8_t group_retry;
    uint16_t pairwise_responses;
    uint16_t reason; // for the next Deauthentication; 0 = none
    uint16_t auth_alg;

    dot11_sta_suites suites; // in use
    dot11_sta_suites offer;  // from the last accepted (Re)Assoc-Req, not yet taken

    // Key material.
    uint8_t pmk[DOT11_PMK_LEN];
    uint8_t pmkid[DOT11_KEY_NAME_LEN];
    uint8_t anonce[DOT11_NONCE_LEN];
    uint8_t snonce[DOT11_NONCE_LEN];
    uint8_t ptk[DOT11_PTK_MAX]; // KCK, KEK, TK
    uint32_t pmk_lifetime;      // s
    bool pmksa_valid;

    // EAPOL-Key replay state: the counter last sent, which of the last 32
    // were answered, and the first counter of the message now awaited.
    uint64_t replay;
    uint32_t replay_seen;
    uint64_t replay_step;
    uint64_t req_replay;
    uint8_t replay_d; // age of the waiting response's counter; its bit is set once its MIC holds

    dot11_frame_copy cached_auth[2];
    dot11_frame_copy cached_assoc[2];
    uint8_t *frame; // the frame the machines handle now
    size_t frame_len;

    dot11_timer eapol_timer;
    dot11_timer sa_timer; // SA time-out, reassociation deadline, inactivity
    dot11_timer pmk_timer;
    dot11_timer aux_timer; // stopped on teardown; nothing here arms it

    uint32_t last_activity; // s
    uint8_t sta_flags;      // DOT11_STA_* marks of the association
    dot11_rsna_mib mib;

    // The station's R0KH side (with a key cache only).
    dot11_r0kh *r0kh;
    list_link r0kh_link; // in the R0KH's R1KHs
    uint8_t pmkr0name[DOT11_KEY_NAME_LEN];
    uint8_t pmkr1name[DOT11_KEY_NAME_LEN];
    uint32_t pmksa_akm; // of the pushed SA
    uint32_t pmksa_cipher;
    uint8_t pmksa_flags;       // DOT11_ENTRY_*
    bool r1sa_ready;           // the R0KH pushed an SA since the last request
    bool r0kh_news;            // pushed to, not yet run since
    char *identity;            // the pushed identity copy; handed to authorized
    uint32_t reassoc_deadline; // ms clock of the FT reassociation deadline
    uint8_t ft_ap[6];          // over the DS: the AP the station is associated with

    // Interim R1KHs of FT over the DS own their authenticator.
    uint8_t ftie[DOT11_AUTH_MAX_FTIE_SIZE]; // the FTIE sent in the last response
    dot11_auth *interim_auth;
    list_link interim_link; // in the R0KH's interims
    uint32_t lru_stamp;     // ms
};

struct dot11_auth {
    dot11_auth_config config;
    dot11_auth_ops ops;
    dot11_cache *cache;
    mempool *pool;

    list_link stations; // associated stations
    list_link pending;  // stations with events
    uint16_t GNoStations;
    uint16_t GKeyDoneStations;

    uint8_t ie_ssid[34];
    uint8_t ie_idle[5];
    uint8_t ie_rsn[64];
    // ie_rsn with one PMKID, zero, at rsn_pmkid_at (0: the element has no
    // room for one): the responses that name a key fill it in.
    uint8_t ie_rsn_pmkid[64 + 20]; // room for the count and one PMKID
    uint8_t rsn_pmkid_at;
    uint8_t ie_wpa[34];
    uint8_t ie_mdie[5];

    uint8_t gmk[DOT11_PMK_LEN];
    uint8_t counter[DOT11_NONCE_LEN];
    uint8_t gnonce[DOT11_NONCE_LEN];
    uint8_t gtk[3][DOT11_PMK_LEN]; // slots 1 and 2
    uint8_t GN, GM;
    uint8_t key_length; // group key
    bool gtk_installed; // GTK[GN] reached the data plane
    bool GTKReKey, GInit, MICFailureReported, CountermeasuresTimeout, CountermeasuresActive;
    uint8_t group_state;
    uint8_t cm_state;
    bool running;
    uint32_t last_mic_failure; // s
    bool mic_failure_seen;     // last_mic_failure holds one
    dot11_timer rekey_timer;
    dot11_timer packet_timer;
    dot11_timer cm_timer;
    dot11_timer install_timer; // retries a failed group-key install
    bool interim;              // serves an interim R1KH of FT over the DS
    // The KCK set up to check an FT Reassoc-Req, kept for the MIC of its
    // response under the same key; wiped when the frame is handled.
    bool ft_kck_ready;
    uint8_t ft_kck[16];
    aes_cmac_key ft_kck_key;
    uint32_t gtk_serial; // counts the GTKs made
    // The Reassoc-Resp FTIE sealed in the pass that checked the request's
    // MIC, for station ft_resp_sta under GTK ft_resp_gtk; kept for the frame.
    dot11_rsna *ft_resp_sta;
    uint32_t ft_resp_gtk;
    // The request being handled, whose copy waits for its answer to share
    // one allocation with it (rx_pair null: none waits).
    dot11_frame_copy *rx_pair;
    const uint8_t *rx_frame;
    uint16_t rx_len;
    uint8_t ft_resp[DOT11_AUTH_MAX_FTIE_SIZE];
};

// 0, or -1 after one log line. The cache is kept only with RSNA enabled.
int dot11_auth_init(dot11_auth *auth, const dot11_auth_config *config, const dot11_auth_ops *ops,
                    dot11_cache *cache, mempool *pool);
// Stops the BSS timers and wipes the BSS's keys.
void dot11_auth_stop(dot11_auth *auth);
// SSID, RSN, MDIE and WPA elements: their total length, or -1.
int dot11_auth_build_ies(const dot11_auth_config *config, uint8_t *buf, size_t len);

int dot11_auth_attach_sta(dot11_auth *auth, dot11_rsna *sta, const uint8_t mac[6]);
void dot11_auth_detach_sta(dot11_rsna *sta);
void dot11_auth_disconnect_sta(dot11_rsna *sta, uint16_t reason);
void dot11_auth_drop_sta(dot11_rsna *sta);
void dot11_auth_kick(dot11_rsna *sta);
void dot11_auth_mic_failure(dot11_auth *auth);
void dot11_auth_account_sta(dot11_rsna *sta, uint64_t rx_packets, uint64_t rx_bytes,
                            uint64_t tx_packets, uint64_t tx_bytes, uint32_t last_activity);

// The packet stays the caller's.
void dot11_auth_recv_mlme(dot11_rsna *sta, packet *p);
void dot11_auth_recv_tods(dot11_rsna *sta, packet *p);
// A frame for the station from its R0KH side (Ethernet header on); the
// packet stays the caller's.
void dot11_auth_recv_ds(dot11_rsna *sta, packet *p);
// Hands a frame of the station to its R0KH side; the packet stays the caller's.
void dot11_send_ether_ds(dot11_rsna *sta, packet *p);
// The FT KCK of the frame being handled, set up once for both its MICs.
const aes_cmac_key *dot11_auth_ft_kck(dot11_auth *auth, const uint8_t kck[16]);
void dot11_auth_ft_kck_wipe(dot11_auth *auth);

// Steps the machines to rest; sta may be null.
void dot11_auth_run(dot11_auth *auth, dot11_rsna *sta);

// 0 when the station may stay, -1 when it has been idle too long.
int dot11_auth_check_idle(dot11_rsna *sta, uint32_t idle);
void dot11_auth_schedule_gtk_rekey(dot11_auth *auth, uint32_t seconds);
void dot11_auth_schedule_packet_rekey(dot11_auth *auth);
void dot11_auth_schedule_pmk_rekey(dot11_rsna *sta, uint32_t seconds);

// Station events: idempotent, each calling its ops slot when the state changes.
void dot11_auth_authenticate(dot11_rsna *sta);
void dot11_auth_associate(dot11_rsna *sta);
void dot11_auth_authorize(dot11_rsna *sta, const char *identity);
void dot11_auth_deauthorize(dot11_rsna *sta, int arg);
void dot11_auth_disassociate(dot11_rsna *sta);
void dot11_auth_deauthenticate(dot11_rsna *sta);

// 0, or an IEEE 802.11 status code; on success the offer holds the selection,
// with a copy of the element when copy_ie.
uint16_t dot11_select_suites(dot11_rsna *sta, const uint8_t *ie, bool ft_required, bool copy_ie,
                             dot11_sta_suites *offer);
void dot11_derive_psk_pmksa(dot11_rsna *sta);
// The FT element of a response into out (DOT11_AUTH_MAX_FTIE_SIZE bytes):
// its length. With a MIC it is computed over ies and the FTIE itself, with
// transaction sequence 6; with the GTK the current one goes wrapped with the
// KEK.
size_t dot11_generate_ftie(dot11_rsna *sta, const uint8_t *anonce, const uint8_t *snonce, bool mic,
                           bool gtk, uint64_t rsc, const uint8_t *const *ies, size_t count,
                           uint8_t *out);
// The MIC of a Reassoc-Req's FTIE (into mic) taken in the pass that seals the
// FTIE of its response, which the FT handshake then sends: 0, or -1 when the
// two cannot share a pass (the MIC is then taken alone).
int dot11_ft_check_and_seal(dot11_rsna *sta, const uint8_t *req_rsn, const uint8_t *req_ftie,
                            uint8_t mic[16]);
// 0, or an IEEE 802.11 status code; on success the offer holds the selection.
uint16_t dot11_check_ftaa(dot11_rsna *sta, const uint8_t *rsn, const uint8_t *mdie,
                          const uint8_t *ftie, dot11_sta_suites *offer);

// State-machine steps: 1 after a transition, else 0.
int dot11_r1kh_step(dot11_rsna *sta);
int dot11_gtk_step(dot11_rsna *sta);
int dot11_group_step(dot11_auth *auth);
int dot11_countermeasures_step(dot11_auth *auth);
const char *dot11_state_name(uint8_t state);

// EAPOL-Key exchange.
packet *dot11_generate_eapol(dot11_rsna *sta, bool secure, bool mic, bool install, bool pairwise,
                             bool encrypted, uint32_t rsc_hi, uint32_t rsc_lo,
                             const uint8_t *nonce, const uint8_t *const *ies, size_t count,
                             bool gtk, bool pmkid);
int dot11_finalize_eapol(dot11_rsna *sta, packet *p, bool encrypt);
void dot11_send_eapol(dot11_rsna *sta, packet *p);
int dot11_check_eapol_mic(dot11_rsna *sta, const uint8_t *ptk, const uint8_t *eapol, size_t len);
int dot11_check_eapol_ies(dot11_rsna *sta, const uint8_t *eapol, size_t len, const uint8_t *ie);

// Management frame senders.
void dot11_send_auth(dot11_rsna *sta, uint16_t algorithm, uint16_t seq, uint16_t status,
                     const uint8_t *const *ies, size_t count);
void dot11_send_assoc_resp(dot11_rsna *sta, uint8_t subtype, uint16_t status,
                           const uint8_t *const *ies, size_t count);
void dot11_send_mgmt(dot11_rsna *sta, packet *p);
int dot11_send_deauth(dot11_rsna *sta);

// Internal glue between the files of the module.
void dot11_timer_start(dot11_auth *auth, dot11_timer *t, uint64_t ms, void (*expiry)(dot11_timer *));
void dot11_timer_stop(dot11_auth *auth, dot11_timer *t);
void dot11_sta_mark(dot11_rsna *sta);
void dot11_auth_run_unless_running(dot11_auth *auth, dot11_rsna *sta);
void dot11_auth_start_sa_timer(dot11_rsna *sta, uint64_t ms);
void dot11_auth_start_deadline_timer(dot11_rsna *sta, uint64_t ms);
void dot11_eapol_accept_replay(dot11_rsna *sta);
void dot11_frame_copy_drop(dot11_frame_copy *c);
// Drops a request's copy and its answer's (cached_auth or cached_assoc).
void dot11_frame_copies_drop(dot11_rsna *sta, dot11_frame_copy pair[2]);
void dot11_suites_clear(dot11_sta_suites *s);
bool dot11_akm_is_ft(uint32_t akm);
bool dot11_akm_is_psk(uint32_t akm);

// Log prefix: the BSS MAC.
#define DOT11_MACF "%02x:%02x:%02x:%02x:%02x:%02x"
#define DOT11_MACA(m) (m)[0], (m)[1], (m)[2], (m)[3], (m)[4], (m)[5]
