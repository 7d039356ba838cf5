#include "dot11/dot11_r0kh.h"

#include <cstdlib>
#include <cstring>

#include "common/crypto/bytes.h"
#include "common/crypto/secure.h"
#include "common/fatal.h"
#include "common/log.h"
#include "dot11/dot11_auth.h"
#include "dot11/dot11_frame.h"
#include "dot11/dot11_wire.h"

namespace
{

uint32_t w(const uint8_t *p, int i)
{
    return crypto_bytes::load_be32(p + 4 * i);
}

#define R0KH_NAMEF "%08x%08x%08x%08x"
#define R0KH_NAMEA(n) w(n, 0), w(n, 1), w(n, 2), w(n, 3)

constexpr const char *state_names[] = {"",
                                       "FT_R0_AUTH",
                                       "CALC_PMK_R0",
                                       "CALC_PMK_R0_IDLE",
                                       "CALC_PMK_R1",
                                       "FT_R0_AUTH_CLEANUP",
                                       "FT_PMK_R1_SA_PUSH"};

const dot11_auth_config *cfg(const dot11_r0kh *r0kh)
{
    return dot11_cache_config(r0kh->cache);
}

const dot11_pae_ops *pae_ops(const dot11_r0kh *r0kh)
{
    return dot11_cache_pae_ops(r0kh->cache);
}

void pae_delete(dot11_r0kh *r0kh)
{
    if (r0kh->pae && pae_ops(r0kh)->destroy) pae_ops(r0kh)->destroy(r0kh->pae);
    r0kh->pae = nullptr;
}

void sa_release(dot11_r0kh *r0kh)
{
    dot11_cache_entry_release(r0kh->sa);
    r0kh->sa = nullptr;
}

dot11_rsna *r1kh_of(list_link *l)
{
    return container_of(l, &dot11_rsna::r0kh_link);
}

dot11_rsna *find_r1kh_by_bss(dot11_r0kh *r0kh, const uint8_t bss[6])
{
    for (list_link *l = r0kh->r1khs._next; l != &r0kh->r1khs; l = l->_next)
        if (!memcmp(r1kh_of(l)->auth->config.bss_mac, bss, 6)) return r1kh_of(l);
    return nullptr;
}

bool psk_akm(uint32_t akm)
{
    return dot11_akm_is_psk(akm);
}

// The AKMs whose SAs the cache keeps.
bool cached_akm(uint32_t akm)
{
    return akm == DOT11_AKM_8021X || akm == DOT11_AKM_FT_8021X || akm == DOT11_AKM_8021X_SHA256;
}

// The key length an 802.1X AKM takes from the MSK.
size_t msk_needed(uint32_t akm)
{
    return akm == DOT11_AKM_FT_8021X ? 64 : 32;
}

void log_hit(dot11_r0kh *r0kh)
{
    const dot11_cache_entry *e = r0kh->sa;
    bool by_name = dot11_akm_is_ft(e->akm) && !memcmp(dot11_cache_entry_name(e), r0kh->name, 16);
    ulog(LOG_COMP_DOT11, ULOG_DEBUG, "R0KH " DOT11_MACF " cache hit for %s " R0KH_NAMEF,
         DOT11_MACA(r0kh->mac), by_name ? "PMKR0Name" : "PMKID", R0KH_NAMEA(r0kh->name));
}

// The R0KH's own PSK SA entry, renewed, with a hold for r0kh->sa; a new one
// when the last is still held elsewhere or of another AKM.
dot11_cache_entry *psk_sa(dot11_r0kh *r0kh)
{
    dot11_cache_entry *e = r0kh->psk_sa;
    if (!e || e->akm != r0kh->akm || dot11_cache_entry_renew(e) < 0) {
        dot11_cache_entry_release(e);
        e = r0kh->psk_sa = dot11_cache_entry_create(r0kh->cache, r0kh->mac, r0kh->akm);
        if (!e) return nullptr;
    }
    return dot11_cache_entry_hold(e);
}

// State handlers.

void FT_R0_AUTH_CLEANUP(dot11_r0kh *r0kh)
{
    sa_release(r0kh);
    memset(r0kh->name, 0, sizeof r0kh->name);
    memset(r0kh->bssid, 0, sizeof r0kh->bssid);
    r0kh->cipher = r0kh->akm = 0;
    r0kh->request = (r0kh->events & DOT11_R0KH_EV_FAILURE) ? DOT11_R0KH_REQ_FAILED : 0;
    r0kh->events &= uint8_t(~DOT11_R0KH_EV_FAILURE);
}

void FT_R0_AUTH(dot11_r0kh *r0kh)
{
    pae_delete(r0kh);
    sa_release(r0kh);
    bool auth = r0kh->request & DOT11_R0KH_REQ_AUTH;
    // PSK SAs are never cached: a lookup under a PSK AKM cannot hit.
    if (!psk_akm(r0kh->akm))
        r0kh->sa = dot11_cache_lookup_pmksa(r0kh, r0kh->name, r0kh->akm, r0kh->cipher);
    if (r0kh->sa) {
        log_hit(r0kh);
        r0kh->events |= DOT11_R0KH_EV_HIT;
    } else if (psk_akm(r0kh->akm)) {
        r0kh->sa = psk_sa(r0kh);
    } else {
        bool pre = !auth && (r0kh->request & DOT11_R0KH_REQ_PREAUTH);
        r0kh->ethertype = pre ? DOT11_ETH_PREAUTH : DOT11_ETH_EAPOL;
        ulog(LOG_COMP_DOT11, ULOG_DEBUG, "R0KH " DOT11_MACF " starting 802.1X %s",
             DOT11_MACA(r0kh->mac), pre ? "pre-authentication" : "authentication");
        memcpy(r0kh->route_bssid, r0kh->bssid, 6);
        r0kh->sa = dot11_cache_entry_create(r0kh->cache, r0kh->mac, r0kh->akm);
        const dot11_pae_ops *ops = pae_ops(r0kh);
        if (ops->create)
            r0kh->pae =
                ops->create(r0kh, dot11_cache_get_nas(r0kh->cache), r0kh->mac,
                            dot11_cache_port_config(r0kh->cache), dot11_cache_pool(r0kh->cache));
        if (!r0kh->pae) {
            r0kh->events |= DOT11_R0KH_EV_FAILURE;
        } else if (!pre && ops->set_enabled) {
            ops->set_enabled(r0kh->pae, true);
        }
        r0kh->route = find_r1kh_by_bss(r0kh, r0kh->bssid);
    }
    if (!r0kh->sa) r0kh->events |= DOT11_R0KH_EV_FAILURE;
    r0kh->request &= uint8_t(~(DOT11_R0KH_REQ_AUTH | DOT11_R0KH_REQ_PREAUTH));
    if (auth) r0kh->events |= DOT11_R0KH_EV_PUSH;
}

void CALC_PMK_R0(dot11_r0kh *r0kh)
{
    const dot11_auth_config *c = cfg(r0kh);
    dot11_cache_entry *sa = r0kh->sa;
    uint32_t akm = sa->akm;
    bool x = dot11_akm_is_8021x(akm);
    dot11_pae_result res{};
    if (x) {
        UGW_ASSERT(r0kh->pae && "dot1x");
        pae_ops(r0kh)->result(r0kh->pae, &res);
        // A short MSK leaves nothing to derive from: no zero fill.
        if (!res.msk || res.msk_len < msk_needed(akm)) {
            ulog(LOG_COMP_DOT11, ULOG_DEBUG, "R0KH " DOT11_MACF " MSK of %zu bytes is too short",
                 DOT11_MACA(r0kh->mac), res.msk ? res.msk_len : size_t(0));
            r0kh->events |= DOT11_R0KH_EV_FAILURE;
            pae_delete(r0kh);
            return;
        }
        sa = r0kh->sa = dot11_cache_entry_set_identity(r0kh->cache, sa, res.identity);
    }
    const uint8_t *src = x ? res.msk : c->dot11RSNAConfigPSKValue;
    const uint8_t *aa = r0kh->bssid;
    if (akm == DOT11_AKM_8021X || akm == DOT11_AKM_PSK) {
        memcpy(sa->key, src, 32);
        dot11_derive_pmkid(sa->key, aa, r0kh->mac, sa->id);
    } else if (akm == DOT11_AKM_8021X_SHA256 || akm == DOT11_AKM_PSK_SHA256) {
        memcpy(sa->key, src, 32);
        dot11_derive_pmkid_sha256(sa->key, aa, r0kh->mac, sa->id);
    } else if (akm == DOT11_AKM_FT_8021X || akm == DOT11_AKM_FT_PSK) {
        const uint8_t *xxkey = x ? res.msk + 32 : src;
        if (x) {
            dot11_derive_pmkid(xxkey, aa, r0kh->mac, sa->id);
        } else {
            if (!r0kh->psk_pmkid_ready || memcmp(r0kh->psk_pmkid_aa, aa, 6) != 0) {
                dot11_derive_pmkid(xxkey, aa, r0kh->mac, r0kh->psk_pmkid);
                memcpy(r0kh->psk_pmkid_aa, aa, 6);
                r0kh->psk_pmkid_ready = true;
            }
            memcpy(sa->id, r0kh->psk_pmkid, 16);
        }
        if (x) {
            dot11_derive_pmkr0(xxkey, c->ssid, c->ssid_len, c->dot11FTMobilityDomainID,
                               c->dot11FTR0KeyHolderID, c->r0kh_id_len, r0kh->mac, sa->key,
                               dot11_cache_entry_name(sa));
        } else {
            if (!r0kh->psk_r0_ready) {
                dot11_derive_pmkr0(xxkey, c->ssid, c->ssid_len, c->dot11FTMobilityDomainID,
                                   c->dot11FTR0KeyHolderID, c->r0kh_id_len, r0kh->mac, r0kh->psk_r0,
                                   r0kh->psk_r0name);
                r0kh->psk_r0_ready = true;
            }
            memcpy(sa->key, r0kh->psk_r0, 32);
            memcpy(dot11_cache_entry_name(sa), r0kh->psk_r0name, 16);
        }
    } else {
        memcpy(sa->key, src, 32);
        memset(sa->id, 0, 16);
    }
    bool radius_lifetime = akm == DOT11_AKM_8021X || akm == DOT11_AKM_FT_8021X ||
                           akm == DOT11_AKM_8021X_SHA256 || akm == DOT11_AKM_WPA_8021X;
    if (radius_lifetime && res.session_timeout) {
        sa->lifetime = res.session_timeout;
        if (res.termination_action) sa->flags |= DOT11_ENTRY_LIFETIME_SET;
    } else {
        uint32_t l = dot11_akm_is_ft(akm) ? c->dot11FTR0KeyLifetime : c->dot11RSNAConfigPMKLifetime;
        sa->lifetime = l ? l : DOT11_LIFETIME_UNLIMITED;
        sa->flags |= DOT11_ENTRY_LIFETIME_SET;
    }
    sa->created = clock_sec();
    if (dot11_akm_is_ft(akm)) {
        ulog(LOG_COMP_DOT11, ULOG_DEBUG,
             "R0KH " DOT11_MACF " derived PMK-R0 with PMKR0Name " R0KH_NAMEF " lifetime %us",
             DOT11_MACA(r0kh->mac), R0KH_NAMEA(dot11_cache_entry_name(sa)), sa->lifetime);
        // Only 802.1X SAs are cached, so only they can have older ones.
        dot11_cache_entry *e = x ? dot11_cache_first_pmk_by_mac(r0kh->cache, r0kh->mac) : nullptr;
        while (e) {
            dot11_cache_entry *n = dot11_cache_next_pmk_by_mac(r0kh->cache, r0kh->mac, e);
            if (e != sa && e->akm == akm) {
                ulog(LOG_COMP_DOT11, ULOG_DEBUG,
                     "Replacing PMKR0Name " R0KH_NAMEF " for R0KH " DOT11_MACF " age %us",
                     R0KH_NAMEA(dot11_cache_entry_name(e)), DOT11_MACA(r0kh->mac),
                     clock_sec() - e->created);
                dot11_cache_remove_entry(r0kh->cache, e);
            }
            e = n;
        }
    } else {
        ulog(LOG_COMP_DOT11, ULOG_DEBUG, "PMKSA cache " DOT11_MACF " derived PMK with lifetime %us",
             DOT11_MACA(r0kh->mac), sa->lifetime);
    }
    if (cached_akm(akm) && !dot11_cache_entry_linked(sa))
        dot11_cache_insert(r0kh->cache, sa);
    pae_delete(r0kh);
}

void CALC_PMK_R0_IDLE(dot11_r0kh *r0kh)
{
    const char *identity = r0kh->sa && r0kh->sa->room ? r0kh->sa->identity : nullptr;
    dot11_cache_evict(r0kh->cache, r0kh->mac, identity);
}

void CALC_PMK_R1(dot11_r0kh *r0kh)
{
    bool push = (r0kh->request | r0kh->events) & DOT11_R0KH_REQ_PUSH;
    bool hit = false;
    // An SA of a cached kind that the cache has let go (expired, evicted,
    // cleared) kept its memory for us but not its key: it is not held.
    if (r0kh->sa && cached_akm(r0kh->sa->akm) && !dot11_cache_entry_linked(r0kh->sa))
        sa_release(r0kh);
    if (!r0kh->sa) {
        r0kh->sa = dot11_cache_lookup_pmksa(r0kh, r0kh->name, r0kh->akm, r0kh->cipher);
        hit = r0kh->sa;
    }
    if (!r0kh->sa) {
        r0kh->events |= DOT11_R0KH_EV_FAILURE;
        push = false;
    } else {
        ulog(LOG_COMP_DOT11, ULOG_DEBUG,
             "R0KH " DOT11_MACF " starting FT transition authentication", DOT11_MACA(r0kh->mac));
        if (hit) log_hit(r0kh);
        if (!r0kh->sa->cipher) r0kh->sa->cipher = r0kh->cipher;
        if (push) r0kh->sa->flags |= DOT11_ENTRY_PUSHED;
    }
    r0kh->events &= uint8_t(~(DOT11_R0KH_EV_PUSH | DOT11_R0KH_EV_HIT));
    r0kh->request &= uint8_t(~DOT11_R0KH_REQ_PUSH);
}

const hmac_sha256_ctx *r0_keyed(dot11_r0kh *r0kh, const uint8_t pmk_r0[32])
{
    if (!r0kh->r0_keyed_ready || secure_compare(r0kh->r0_keyed_key, pmk_r0, 32) != 0) {
        memcpy(r0kh->r0_keyed_key, pmk_r0, 32);
        hmac_sha256_init(&r0kh->r0_keyed, pmk_r0, 32);
        r0kh->r0_keyed_ready = true;
    }
    return &r0kh->r0_keyed;
}

void push_to(dot11_r0kh *r0kh, dot11_rsna *sta)
{
    const dot11_cache_entry *sa = r0kh->sa;
    const uint8_t *bss = sta->auth->config.bss_mac;
    uint32_t age = clock_sec() - sa->created;
    uint32_t left = sa->lifetime > age ? sa->lifetime - age : 0;
    if (dot11_akm_is_ft(sa->akm)) {
        dot11_derive_pmkr1_keyed(r0_keyed(r0kh, sa->key), bss, r0kh->mac, sta->pmk);
        memcpy(sta->pmkr0name, dot11_cache_entry_name(sa), 16);
        dot11_derive_pmkr1name(dot11_cache_entry_name(sa), bss, r0kh->mac, sta->pmkr1name);
        memcpy(sta->pmkid, sta->pmkr1name, 16);
        ulog(LOG_COMP_DOT11, ULOG_DEBUG,
             "R0KH " DOT11_MACF " derived PMK-R1 with PMKR1Name " R0KH_NAMEF " for R1KH " DOT11_MACF
             " lifetime %us",
             DOT11_MACA(r0kh->mac), R0KH_NAMEA(sta->pmkr1name), DOT11_MACA(bss), left);
    } else {
        memcpy(sta->pmk, sa->key, 32);
        if (sa->akm == DOT11_AKM_8021X_SHA256 || sa->akm == DOT11_AKM_PSK_SHA256)
            dot11_derive_pmkid_sha256(sa->key, bss, r0kh->mac, sta->pmkid);
        else if (sa->akm == DOT11_AKM_8021X || sa->akm == DOT11_AKM_PSK)
            dot11_derive_pmkid(sa->key, bss, r0kh->mac, sta->pmkid);
        else
            memset(sta->pmkid, 0, 16);
        memset(sta->pmkr0name, 0, 16);
        memset(sta->pmkr1name, 0, 16);
        if (sa->akm == DOT11_AKM_WPA_8021X || sa->akm == DOT11_AKM_WPA_PSK)
            ulog(LOG_COMP_DOT11, ULOG_DEBUG,
                 "PMKSA cache " DOT11_MACF " derived PMK for BSS " DOT11_MACF " lifetime %us",
                 DOT11_MACA(r0kh->mac), DOT11_MACA(bss), left);
        else
            ulog(LOG_COMP_DOT11, ULOG_DEBUG,
                 "PMKSA cache " DOT11_MACF " derived PMK with PMKID " R0KH_NAMEF
                 " for BSS " DOT11_MACF " lifetime %us",
                 DOT11_MACA(r0kh->mac), R0KH_NAMEA(sta->pmkid), DOT11_MACA(bss), left);
    }
    sta->pmksa_akm = sa->akm;
    sta->pmksa_cipher = sa->cipher;
    sta->pmk_lifetime = left;
    sta->pmksa_flags = sa->flags & (DOT11_ENTRY_LIFETIME_SET | DOT11_ENTRY_PUSHED);
    free(sta->identity);
    sta->identity = sa->room && sa->identity[0] ? strdup(sa->identity) : nullptr;
    sta->pmksa_valid = true;
    sta->r1sa_ready = true;
    sta->r0kh_news = true;
}

// An R1KH of another BSS that already holds keys of this SA would get the
// same keys again: only the requester and those without them are served.
bool holds_sa(const dot11_r0kh *r0kh, const dot11_rsna *sta)
{
    const dot11_cache_entry *sa = r0kh->sa;
    if (!sta->r1sa_ready || sta->pmksa_akm != sa->akm ||
        !memcmp(sta->auth->config.bss_mac, r0kh->bssid, 6))
        return false;
    if (dot11_akm_is_ft(sa->akm)) return !memcmp(sta->pmkr0name, dot11_cache_entry_name(sa), 16);
    return secure_compare(sta->pmk, sa->key, 32) == 0;
}

void FT_PMK_R1_SA_PUSH(dot11_r0kh *r0kh)
{
    for (list_link *l = r0kh->r1khs._next; l != &r0kh->r1khs; l = l->_next)
        if (!holds_sa(r0kh, r1kh_of(l))) push_to(r0kh, r1kh_of(l));
}

uint8_t next_state(dot11_r0kh *r0kh)
{
    if ((r0kh->request & DOT11_R0KH_REQ_PUSH) && psk_akm(r0kh->akm))
        r0kh->request = uint8_t((r0kh->request & ~DOT11_R0KH_REQ_PUSH) | DOT11_R0KH_REQ_AUTH);
    if (r0kh->events & (DOT11_R0KH_EV_NEW | DOT11_R0KH_EV_FAILURE))
        return DOT11_R0KH_FT_R0_AUTH_CLEANUP;
    if (r0kh->request & (DOT11_R0KH_REQ_AUTH | DOT11_R0KH_REQ_PREAUTH))
        return DOT11_R0KH_FT_R0_AUTH;
    switch (r0kh->state) {
    case 0:
        return 0;
    case DOT11_R0KH_FT_R0_AUTH: {
        if (psk_akm(r0kh->akm)) return DOT11_R0KH_CALC_PMK_R0;
        if (r0kh->events & DOT11_R0KH_EV_HIT) return DOT11_R0KH_CALC_PMK_R0_IDLE;
        if (!r0kh->pae || !pae_ops(r0kh)->result) return 0;
        dot11_pae_result res{};
        pae_ops(r0kh)->result(r0kh->pae, &res);
        if (res.auth_success && res.key_available) return DOT11_R0KH_CALC_PMK_R0;
        // Success without a key never brings one: fail now, not at the SA time-out.
        if (res.auth_success) {
            r0kh->events |= DOT11_R0KH_EV_FAILURE;
            return DOT11_R0KH_FT_R0_AUTH_CLEANUP;
        }
        return 0;
    }
    case DOT11_R0KH_CALC_PMK_R0:
        return DOT11_R0KH_CALC_PMK_R0_IDLE;
    case DOT11_R0KH_CALC_PMK_R0_IDLE:
        return ((r0kh->events | r0kh->request) & DOT11_R0KH_REQ_PUSH) ? DOT11_R0KH_CALC_PMK_R1 : 0;
    case DOT11_R0KH_CALC_PMK_R1:
        return DOT11_R0KH_FT_PMK_R1_SA_PUSH;
    case DOT11_R0KH_FT_R0_AUTH_CLEANUP:
    case DOT11_R0KH_FT_PMK_R1_SA_PUSH:
        return DOT11_R0KH_CALC_PMK_R0_IDLE;
    default:
        fatal_assert_fail("false && \"Invalid state\"", __FILE__, __func__, __LINE__);
    }
}

// A failure concerns every R1KH; a push only those it reached.
void run_r1khs(dot11_r0kh *r0kh)
{
    bool all = r0kh->request & DOT11_R0KH_REQ_FAILED;
    for (list_link *l = r0kh->r1khs._next, *n; l != &r0kh->r1khs; l = n) {
        n = l->_next;
        dot11_rsna *sta = r1kh_of(l);
        if (!all && !sta->r0kh_news) continue;
        sta->r0kh_news = false;
        dot11_auth_run_unless_running(sta->auth, sta);
    }
}

void interim_timer_start(void *user, dot11_auth *, timer *t, uint32_t ms, timer_fn expiry)
{
    dot11_cache_timer_start(static_cast<dot11_cache *>(user), t, ms, expiry);
}

void interim_timer_stop(void *user, dot11_auth *, timer *t)
{
    dot11_cache_timer_stop(static_cast<dot11_cache *>(user), t);
}

void interim_destroy(dot11_r0kh *r0kh, dot11_rsna *interim)
{
    list_remove(&interim->interim_link);
    r0kh->n_interims--;
    dot11_auth *auth = interim->interim_auth;
    // Detaching may delete an R0KH left without R1KHs; this one is kept
    // alive by the caller, which checks afterwards.
    dot11_auth_detach_sta(interim);
    dot11_auth_stop(auth);
    free(auth);
    secure_wipe(interim, sizeof *interim);
    free(interim);
}

void maybe_delete(dot11_r0kh *r0kh)
{
    if (list_isempty(&r0kh->r1khs) && !r0kh->n_interims && !r0kh->running) dot11_r0kh_delete(r0kh);
}

} // namespace

dot11_cache_entry *dot11_cache_lookup_pmksa(dot11_r0kh *r0kh, const uint8_t name[16], uint32_t akm,
                                            uint32_t cipher)
{
    return dot11_cache_lookup(r0kh->cache, r0kh->mac, r0kh->bssid, name, akm, cipher);
}

const char *dot11_r0kh_state_name(uint8_t state)
{
    return state < std::size(state_names) ? state_names[state] : "";
}

int dot11_r0kh_create(dot11_cache *cache, dot11_rsna *sta)
{
    dot11_r0kh *r0kh = dot11_cache_lookup_r0kh(cache, sta->mac);
    if (!r0kh) {
        r0kh = static_cast<dot11_r0kh *>(calloc(1, sizeof *r0kh));
        if (!r0kh) {
            ulog(LOG_COMP_DOT11, ULOG_ERROR, "Memory allocation failed");
            return -1;
        }
        r0kh->cache = cache;
        memcpy(r0kh->mac, sta->mac, 6);
        hashlink_init(&r0kh->link);
        list_init(&r0kh->r1khs);
        list_init(&r0kh->interims);
        r0kh->events = DOT11_R0KH_EV_NEW;
        dot11_cache_link_r0kh(cache, r0kh);
        ulog(LOG_COMP_DOT11, ULOG_DEBUG, "Created R0KH " DOT11_MACF, DOT11_MACA(r0kh->mac));
        dot11_r0kh_step(r0kh);
    }
    ulog(LOG_COMP_DOT11, ULOG_DEBUG, "Attaching R1KH " DOT11_MACF " to R0KH " DOT11_MACF,
         DOT11_MACA(sta->auth->config.bss_mac), DOT11_MACA(r0kh->mac));
    list_append(&r0kh->r1khs, &sta->r0kh_link);
    sta->r0kh = r0kh;
    return 0;
}

void dot11_r0kh_detach(dot11_rsna *sta)
{
    dot11_r0kh *r0kh = sta->r0kh;
    if (!r0kh) return;
    ulog(LOG_COMP_DOT11, ULOG_DEBUG, "Detaching R1KH " DOT11_MACF " from R0KH " DOT11_MACF,
         DOT11_MACA(sta->auth->config.bss_mac), DOT11_MACA(r0kh->mac));
    list_remove(&sta->r0kh_link);
    list_null(&sta->r0kh_link);
    sta->r0kh = nullptr;
    if (r0kh->route == sta) {
        pae_delete(r0kh);
        r0kh->route = nullptr;
    }
    maybe_delete(r0kh);
}

void dot11_r0kh_forget_psk(dot11_r0kh *r0kh)
{
    secure_wipe(r0kh->psk_r0, sizeof r0kh->psk_r0);
    secure_wipe(r0kh->psk_r0name, sizeof r0kh->psk_r0name);
    r0kh->psk_r0_ready = false;
    secure_wipe(r0kh->psk_pmkid, sizeof r0kh->psk_pmkid);
    r0kh->psk_pmkid_ready = false;
    dot11_cache_entry_release(r0kh->psk_sa);
    r0kh->psk_sa = nullptr;
    dot11_r0kh_forget_r0(r0kh, nullptr);
}

void dot11_r0kh_forget_r0(dot11_r0kh *r0kh, const uint8_t pmk_r0[32])
{
    if (!r0kh->r0_keyed_ready ||
        (pmk_r0 && secure_compare(r0kh->r0_keyed_key, pmk_r0, 32) != 0))
        return;
    secure_wipe(r0kh->r0_keyed_key, sizeof r0kh->r0_keyed_key);
    secure_wipe(&r0kh->r0_keyed, sizeof r0kh->r0_keyed);
    r0kh->r0_keyed_ready = false;
}

void dot11_r0kh_delete(dot11_r0kh *r0kh)
{
    ulog(LOG_COMP_DOT11, ULOG_DEBUG, "Deleting R0KH " DOT11_MACF, DOT11_MACA(r0kh->mac));
    r0kh->running = true; // interims detaching must not delete it again
    while (!list_isempty(&r0kh->interims))
        interim_destroy(r0kh, container_of(r0kh->interims._next, &dot11_rsna::interim_link));
    // The entry stays cached for the station's return; only the hold goes.
    sa_release(r0kh);
    dot11_cache_entry_release(r0kh->psk_sa);
    pae_delete(r0kh);
    dot11_cache_unlink_r0kh(r0kh->cache, r0kh);
    UGW_ASSERT(list_isempty(&r0kh->r1khs));
    secure_wipe(r0kh, sizeof *r0kh);
    free(r0kh);
}

void dot11_r0kh_step(dot11_r0kh *r0kh)
{
    r0kh->running = true;
    bool moved = false;
    for (;;) {
        uint8_t next = next_state(r0kh);
        if (!next) break;
        ulog(LOG_COMP_DOT11, ULOG_DETAIL, "802.11 R0KH for " DOT11_MACF " entering state %s",
             DOT11_MACA(r0kh->mac), state_names[next]);
        switch (next) {
        case DOT11_R0KH_FT_R0_AUTH:
            FT_R0_AUTH(r0kh);
            break;
        case DOT11_R0KH_CALC_PMK_R0:
            CALC_PMK_R0(r0kh);
            break;
        case DOT11_R0KH_CALC_PMK_R0_IDLE:
            CALC_PMK_R0_IDLE(r0kh);
            break;
        case DOT11_R0KH_CALC_PMK_R1:
            CALC_PMK_R1(r0kh);
            break;
        case DOT11_R0KH_FT_R0_AUTH_CLEANUP:
            FT_R0_AUTH_CLEANUP(r0kh);
            break;
        case DOT11_R0KH_FT_PMK_R1_SA_PUSH:
            FT_PMK_R1_SA_PUSH(r0kh);
            break;
        default:
            break;
        }
        r0kh->state = next;
        r0kh->events &= uint8_t(~DOT11_R0KH_EV_NEW);
        moved = true;
        if (r0kh->pae && pae_ops(r0kh)->run) pae_ops(r0kh)->run(r0kh->pae);
    }
    r0kh->running = false;
    r0kh->events &= uint8_t(~DOT11_R0KH_EV_NEW);
    // The R1KHs read only marks that stay until they take them (SA pushed,
    // last authentication failed): one run after the machine settles sees
    // what a run after each transition would.
    if (moved) run_r1khs(r0kh);
}

void dot11_r0kh_notify(dot11_r0kh *r0kh)
{
    if (!r0kh->running) dot11_r0kh_step(r0kh);
}

void dot11_r0kh_timer_start(dot11_r0kh *r0kh, timer *t, uint32_t ms, timer_fn expiry)
{
    dot11_cache_timer_start(r0kh->cache, t, ms, expiry);
}

void dot11_r0kh_timer_stop(dot11_r0kh *r0kh, timer *t)
{
    dot11_cache_timer_stop(r0kh->cache, t);
}

void dot11_r0kh_get_pae_status(dot11_r0kh *r0kh, dot1xAuthConfig *out)
{
    if (r0kh->pae && pae_ops(r0kh)->status) {
        pae_ops(r0kh)->status(r0kh->pae, out);
        return;
    }
    *out = *dot11_cache_port_config(r0kh->cache);
    bool cached = dot11_cache_count_pmks_by_mac(r0kh->cache, r0kh->mac) > 0;
    // PAE AUTHENTICATED / backend IDLE / authorized, else INITIALIZE twice / unauthorized.
    out->states = cached ? 0x56 : 0x17;
    out->port =
        uint8_t((out->port & ~(DOT1X_PORT_STATUS | DOT1X_PORT_ADMIN_DIRS | DOT1X_PORT_OPER_DIRS)) |
                (cached ? DOT1X_PORT_AUTHORIZED : DOT1X_PORT_UNAUTHORIZED) << 4);
}

// EAPOL relay.

void dot11_r0kh_recv_eapol(dot11_rsna *sta, packet *p)
{
    dot11_r0kh *r0kh = sta->r0kh;
    if (!r0kh || p->length < 14 || packet_isfragmented(p)) return;
    const uint8_t *eth = p->data;
    uint16_t type = dot11_load_be16(eth + 12);
    const dot11_auth_config *c = cfg(r0kh);
    if ((type == DOT11_ETH_PREAUTH && (c->flags_b & DOT11_CFG_B_PREAUTH_ACTIVATED)) ||
        type == DOT11_ETH_EAPOL) {
        if (!r0kh->pae) {
            DOT11_LOG(sta->auth, ULOG_DEBUG, "R0KH dropping EAPOL frame - missing 802.1X PAE");
            return;
        }
        memcpy(r0kh->route_bssid, eth, 6);
        packet_pull(p, 14);
        const dot11_pae_ops *ops = pae_ops(r0kh);
        if (ops->set_enabled) ops->set_enabled(r0kh->pae, true);
        if (ops->recv) ops->recv(r0kh->pae, p);
        packet_push(p, 14);
        return;
    }
    if (type == DOT11_ETH_RRB && (c->flags_b & DOT11_CFG_B_FT_OVER_DS)) {
        if (eth[0] & 1) {
            ulog(LOG_COMP_DOT11, ULOG_DEBUG,
                 "R0KH " DOT11_MACF " dropping RRB frame to group address " DOT11_MACF,
                 DOT11_MACA(r0kh->mac), DOT11_MACA(eth));
            return;
        }
        bool response = p->length > DOT11_RRB_TYPE && eth[DOT11_RRB_TYPE] == DOT11_RRB_RESPONSE;
        dot11_rsna *target = find_r1kh_by_bss(r0kh, eth);
        if (!target && !response) target = dot11_r0kh_create_interim(r0kh, eth);
        if (!target) return;
        // A response travels to the station through the BSS it is with; a
        // request is the target BSS's to answer.
        if (response)
            dot11_auth_recv_ds(target, p);
        else
            dot11_auth_recv_tods(target, p);
        return;
    }
    ulog(LOG_COMP_DOT11, ULOG_DEBUG,
         "R0KH " DOT11_MACF " dropping Ethernet frame of unknown type %04x", DOT11_MACA(r0kh->mac),
         type);
}

void dot11_r0kh_send_eapol_cb(dot11_r0kh *r0kh, packet *p)
{
    if (!r0kh->route) {
        ulog(LOG_COMP_DOT11, ULOG_DEBUG,
             "R0KH " DOT11_MACF " dropping frame from 802.1X PAE without an R1KH route",
             DOT11_MACA(r0kh->mac));
        return;
    }
    uint8_t *eth = packet_push(p, 14);
    memcpy(eth, r0kh->mac, 6);
    memcpy(eth + 6, r0kh->route_bssid, 6);
    dot11_store_be16(eth + 12, r0kh->ethertype);
    dot11_auth_recv_ds(r0kh->route, p);
    packet_pull(p, 14);
}

// R1KH walks.

unsigned dot11_r0kh_count_r1khs(const dot11_r0kh *r0kh)
{
    unsigned n = 0;
    for (const list_link *l = r0kh->r1khs._next; l != &r0kh->r1khs; l = l->_next)
        n++;
    return n;
}

dot11_rsna *dot11_r0kh_find_r1kh(dot11_r0kh *r0kh, const dot11_auth *auth)
{
    for (list_link *l = r0kh->r1khs._next; l != &r0kh->r1khs; l = l->_next)
        if (r1kh_of(l)->auth == auth) return r1kh_of(l);
    return nullptr;
}

dot11_rsna *dot11_r0kh_first_r1kh(dot11_r0kh *r0kh)
{
    return list_isempty(&r0kh->r1khs) ? nullptr : r1kh_of(r0kh->r1khs._next);
}

dot11_rsna *dot11_r0kh_next_r1kh(dot11_r0kh *r0kh, dot11_rsna *sta)
{
    list_link *n = sta->r0kh_link._next;
    return n == &r0kh->r1khs ? nullptr : r1kh_of(n);
}

// Interim R1KHs.

dot11_rsna *dot11_r0kh_create_interim(dot11_r0kh *r0kh, const uint8_t target[6])
{
    if (r0kh->n_interims >= DOT11_R0KH_MAX_INTERIMS)
        dot11_r0kh_prune_interim(r0kh,
                                 container_of(r0kh->interims._next, &dot11_rsna::interim_link));
    auto *auth = static_cast<dot11_auth *>(calloc(1, sizeof(dot11_auth)));
    auto *sta = static_cast<dot11_rsna *>(calloc(1, sizeof(dot11_rsna)));
    if (!auth || !sta) {
        free(auth);
        free(sta);
        ulog(LOG_COMP_DOT11, ULOG_ERROR, "Memory allocation failed");
        return nullptr;
    }
    dot11_auth_config c = *cfg(r0kh);
    memcpy(c.bss_mac, target, 6);
    dot11_auth_ops ops{};
    ops.user = r0kh->cache;
    ops.timer_start = interim_timer_start;
    ops.timer_stop = interim_timer_stop;
    bool was = r0kh->running;
    r0kh->running = true; // keep it while the interim attaches
    int rc = dot11_auth_init(auth, &c, &ops, r0kh->cache, dot11_cache_pool(r0kh->cache));
    secure_wipe(&c, sizeof c);
    if (rc == 0) {
        auth->interim = true;
        rc = dot11_auth_attach_sta(auth, sta, r0kh->mac);
    }
    r0kh->running = was;
    if (rc < 0) {
        dot11_auth_stop(auth);
        free(auth);
        free(sta);
        return nullptr;
    }
    sta->interim_auth = auth;
    sta->lru_stamp = clock_msec() - 0x7fffffffu;
    list_append(&r0kh->interims, &sta->interim_link);
    r0kh->n_interims++;
    ulog(LOG_COMP_DOT11, ULOG_DEBUG,
         DOT11_MACF ": R0KH created interim R1KH " DOT11_MACF " for over-the-DS FT authentication",
         DOT11_MACA(target), DOT11_MACA(r0kh->mac));
    return sta;
}

void dot11_cache_lru_touch(dot11_rsna *interim)
{
    if (!interim->interim_auth || !interim->r0kh) return;
    list_remove(&interim->interim_link);
    list_append(&interim->r0kh->interims, &interim->interim_link);
    interim->lru_stamp = clock_msec();
}

void dot11_cache_lru_demote(dot11_rsna *interim)
{
    if (!interim->interim_auth || !interim->r0kh) return;
    list_remove(&interim->interim_link);
    list_insert_head(&interim->r0kh->interims, &interim->interim_link);
    interim->lru_stamp = clock_msec() - 0x7fffffffu;
}

void dot11_r0kh_prune_interim(dot11_r0kh *r0kh, dot11_rsna *interim)
{
    ulog(LOG_COMP_DOT11, ULOG_DETAIL, "R0KH " DOT11_MACF " pruned expired interim R1KH " DOT11_MACF,
         DOT11_MACA(r0kh->mac), DOT11_MACA(interim->interim_auth->config.bss_mac));
    bool was = r0kh->running;
    r0kh->running = true;
    interim_destroy(r0kh, interim);
    r0kh->running = was;
}

void dot11_r0kh_prune(dot11_r0kh *r0kh)
{
    uint64_t tus = cfg(r0kh)->dot11FTReassociationDeadline;
    if (tus > 0xf9fffffe) return;
    uint64_t deadline = (tus * 1024 + 500) / 1000;
    uint32_t now = clock_msec();
    while (!list_isempty(&r0kh->interims)) {
        dot11_rsna *i = container_of(r0kh->interims._next, &dot11_rsna::interim_link);
        if (uint32_t(now - i->lru_stamp) <= deadline) break;
        dot11_r0kh_prune_interim(r0kh, i);
    }
}

int dot11_r0kh_take_interim(dot11_cache *cache, const uint8_t mac[6], dot11_auth *auth,
                            dot11_rsna *sta)
{
    dot11_r0kh *r0kh = dot11_cache_find_r0kh(cache, mac);
    if (!r0kh) return -1;
    dot11_rsna *interim = nullptr;
    for (list_link *l = r0kh->interims._next; l != &r0kh->interims; l = l->_next) {
        dot11_rsna *i = container_of(l, &dot11_rsna::interim_link);
        if (!memcmp(i->interim_auth->config.bss_mac, auth->config.bss_mac, 6)) {
            interim = i;
            break;
        }
    }
    if (!interim) return -1;
    dot11_auth *iauth = interim->interim_auth;
    // The interim's timers run on its own authenticator: stop them before
    // the record moves.
    for (dot11_timer *t :
         {&interim->eapol_timer, &interim->sa_timer, &interim->pmk_timer, &interim->aux_timer})
        dot11_timer_stop(iauth, t);
    if (!list_isnull(&interim->pending)) {
        list_remove(&interim->pending);
        list_null(&interim->pending);
    }
    if (interim->in_list) {
        list_remove(&interim->link);
        iauth->GNoStations--;
        interim->in_list = false;
    }
    memcpy(static_cast<void *>(sta), interim, sizeof *sta);
    for (dot11_timer *t : {&sta->eapol_timer, &sta->sa_timer, &sta->pmk_timer, &sta->aux_timer})
        memset(static_cast<void *>(t), 0, sizeof *t);
    sta->auth = auth;
    sta->interim_auth = nullptr;
    list_null(&sta->link);
    list_null(&sta->pending);
    list_null(&sta->interim_link);
    list_insert_before(&interim->r0kh_link, &sta->r0kh_link);
    list_remove(&interim->r0kh_link);
    if (r0kh->route == interim) r0kh->route = sta;
    list_remove(&interim->interim_link);
    r0kh->n_interims--;
    // What moved is no longer the interim's to free.
    memset(static_cast<void *>(interim), 0, sizeof *interim);
    dot11_auth_stop(iauth);
    free(iauth);
    free(interim);
    return 0;
}
