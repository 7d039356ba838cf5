// The BSS authenticator: creation and checks of its configuration, the
// station records, the run loop, long timers and the station events.
#include "dot11/dot11_auth.h"

#include <cstdlib>
#include <cstring>

#include "common/crypto/aes.h"
#include "common/crypto/secure.h"
#include "common/fatal.h"
#include "dot11/dot11_cache.h"
#include "dot11/dot11_ie.h"
#include "dot11/dot11_r0kh.h"
#include "dot11/dot11_wire.h"

void dot11_crypto_init()
{
    aes_init();
}

namespace {

// The largest piece a wrap-safe 32-bit millisecond clock compares safely,
// with room to spare for a late manage.
constexpr uint64_t DOT11_TIMER_PIECE_MS = uint64_t(1) << 30;

void dot11_timer_fire(timer *t)
{
    dot11_timer *dt = container_of(t, &dot11_timer::t);
    if (dt->left_ms) {
        uint64_t piece = dt->left_ms < DOT11_TIMER_PIECE_MS ? dt->left_ms : DOT11_TIMER_PIECE_MS;
        dt->left_ms -= piece;
        if (dt->auth->ops.timer_start)
            dt->auth->ops.timer_start(dt->auth->ops.user, dt->auth, &dt->t, uint32_t(piece),
                                      dot11_timer_fire);
        return;
    }
    dt->expiry(dt);
}

bool akm_is_8021x(uint32_t akm)
{
    return akm == DOT11_AKM_8021X || akm == DOT11_AKM_FT_8021X || akm == DOT11_AKM_8021X_SHA256 ||
           akm == DOT11_AKM_WPA_8021X;
}

bool config_has_any_akm(const dot11_auth_config *c)
{
    for (uint32_t s : c->dot11RSNAConfigAuthenticationSuite)
        if (s)
            return true;
    return false;
}

// Suites the authenticator knows, each configured at most once: anything
// else would make elements we cannot describe or lists that overflow.
bool config_suites_valid(dot11_auth *auth)
{
    const dot11_auth_config *c = &auth->config;
    static constexpr uint32_t ciphers[] = {DOT11_CIPHER_TKIP, DOT11_CIPHER_CCMP,
                                           DOT11_CIPHER_WPA_TKIP, DOT11_CIPHER_WPA_CCMP};
    static constexpr uint32_t akms[] = {
        DOT11_AKM_8021X,        DOT11_AKM_PSK,        DOT11_AKM_FT_8021X,  DOT11_AKM_FT_PSK,
        DOT11_AKM_8021X_SHA256, DOT11_AKM_PSK_SHA256, DOT11_AKM_WPA_8021X, DOT11_AKM_WPA_PSK};
    auto known = [](uint32_t s, auto &set) {
        for (uint32_t k : set)
            if (k == s)
                return true;
        return false;
    };
    auto check = [&](const uint32_t *list, size_t n, auto &set, const char *what) {
        for (size_t i = 0; i < n; i++) {
            if (!list[i])
                continue;
            if (!known(list[i], set)) {
                DOT11_LOG(auth, ULOG_ERROR, "Unknown %s suite %08x", what, unsigned(list[i]));
                return false;
            }
            for (size_t j = 0; j < i; j++)
                if (list[j] == list[i]) {
                    DOT11_LOG(auth, ULOG_ERROR, "Duplicate %s suite %08x", what, unsigned(list[i]));
                    return false;
                }
        }
        return true;
    };
    if (c->dot11RSNAConfigGroupCipher && !known(c->dot11RSNAConfigGroupCipher, ciphers)) {
        DOT11_LOG(auth, ULOG_ERROR, "Unknown group cipher suite %08x",
                  unsigned(c->dot11RSNAConfigGroupCipher));
        return false;
    }
    return check(c->dot11RSNAConfigPairwiseCipher, 4, ciphers, "pairwise cipher") &&
           check(c->dot11RSNAConfigAuthenticationSuite, 8, akms, "authentication");
}

// Builds one element into its buffer; refuses one that would not fit.
bool build_ie(dot11_auth *auth, dot11_ie_builder build, uint8_t *buf, size_t cap, const char *name)
{
    memset(buf, 0, cap);
    int n = build(&auth->config, buf, cap);
    if (n < 0) {
        DOT11_LOG(auth, ULOG_ERROR, "Invalid configuration for the %s element", name);
        return false;
    }
    if (size_t(n) > cap) {
        memset(buf, 0, cap);
        DOT11_LOG(auth, ULOG_ERROR, "The %s element needs %d of %zu bytes", name, n, cap);
        return false;
    }
    return true;
}

void idle_expired(dot11_timer *t);

void sa_expired(dot11_timer *t);
void deadline_expired(dot11_timer *t);

} // namespace

bool dot11_akm_is_ft(uint32_t akm)
{
    return akm == DOT11_AKM_FT_8021X || akm == DOT11_AKM_FT_PSK;
}

bool dot11_akm_is_psk(uint32_t akm)
{
    return akm == DOT11_AKM_PSK || akm == DOT11_AKM_FT_PSK || akm == DOT11_AKM_PSK_SHA256 ||
           akm == DOT11_AKM_WPA_PSK;
}

void dot11_timer_start(dot11_auth *auth, dot11_timer *t, uint64_t ms, void (*expiry)(dot11_timer *))
{
    dot11_timer_stop(auth, t);
    t->auth = auth;
    t->expiry = expiry;
    uint64_t piece = ms < DOT11_TIMER_PIECE_MS ? ms : DOT11_TIMER_PIECE_MS;
    t->left_ms = ms - piece;
    if (auth->ops.timer_start)
        auth->ops.timer_start(auth->ops.user, auth, &t->t, uint32_t(piece), dot11_timer_fire);
}

void dot11_timer_stop(dot11_auth *auth, dot11_timer *t)
{
    t->left_ms = 0;
    if (auth->ops.timer_stop)
        auth->ops.timer_stop(auth->ops.user, auth, &t->t);
}

int dot11_auth_init(dot11_auth *auth, const dot11_auth_config *config, const dot11_auth_ops *ops,
                    dot11_cache *cache, mempool *pool)
{
    memset(auth, 0, sizeof *auth);
    auth->config = *config;
    auth->ops = *ops;
    auth->pool = pool;
    list_init(&auth->stations);
    list_init(&auth->pending);
    const dot11_auth_config *c = &auth->config;
    bool rsna = c->flags_a & DOT11_CFG_A_RSNA_ACTIVATED;
    auto refuse = [&](const char *why) {
        DOT11_LOG(auth, ULOG_ERROR, "%s", why);
        secure_wipe(auth->config.dot11RSNAConfigPSKValue, 32);
        return -1;
    };
    if (rsna && !config_has_any_akm(c))
        return refuse("RSN/WPA requires an RSN/WPA authentication suite");
    if ((c->flags_b & DOT11_CFG_B_FT_ACTIVATED) && !dot11_config_has_akm(c, DOT11_AKM_FT_8021X) &&
        !dot11_config_has_akm(c, DOT11_AKM_FT_PSK))
        return refuse("Fast BSS Transition requires an FT authentication suite");
    dot11_cache *held = rsna ? cache : nullptr;
    if (!held) {
        for (uint32_t s : c->dot11RSNAConfigAuthenticationSuite)
            if (s && akm_is_8021x(s))
                return refuse("IEEE 802.1X requires an R0KH/PMKSA cache");
        if (c->flags_b & DOT11_CFG_B_PREAUTH_ACTIVATED)
            return refuse("RSN Pre-Authentication requires an R0KH/PMKSA cache");
    }
    if (rsna) {
        bool psk = false;
        for (uint32_t s : c->dot11RSNAConfigAuthenticationSuite)
            psk |= s && dot11_akm_is_psk(s);
        static const uint8_t zero[32] = {};
        if (psk && !memcmp(c->dot11RSNAConfigPSKValue, zero, 32))
            return refuse("PSK authentication requires a key");
    }
    if (!config_suites_valid(auth)) {
        secure_wipe(auth->config.dot11RSNAConfigPSKValue, 32);
        return -1;
    }
    if (!build_ie(auth, dot11_ie_build_ssid, auth->ie_ssid, sizeof auth->ie_ssid, "SSID") ||
        !build_ie(auth, dot11_ie_build_rsn_ie, auth->ie_rsn, sizeof auth->ie_rsn, "RSN") ||
        !build_ie(auth, dot11_ie_build_wpa_ie, auth->ie_wpa, sizeof auth->ie_wpa, "WPA") ||
        !build_ie(auth, dot11_ie_build_mdie, auth->ie_mdie, sizeof auth->ie_mdie, "Mobility Domain") ||
        !build_ie(auth, dot11_ie_build_idle, auth->ie_idle, sizeof auth->ie_idle, "BSS Max Idle Period")) {
        secure_wipe(auth->config.dot11RSNAConfigPSKValue, 32);
        return -1;
    }
    static_assert(sizeof auth->ie_rsn_pmkid == sizeof auth->ie_rsn + DOT11_IE_PMKID_SPARE);
    memcpy(auth->ie_rsn_pmkid, auth->ie_rsn, sizeof auth->ie_rsn);
    static const uint8_t no_pmkid[16] = {};
    if (auth->ie_rsn[1] &&
        dot11_ie_insert_pmkid(auth->ie_rsn_pmkid, DOT11_IE_PMKID_SPARE, no_pmkid) == 0)
        auth->rsn_pmkid_at = uint8_t(
            dot11_ie_first_pmkid({auth->ie_rsn_pmkid, size_t(2) + auth->ie_rsn_pmkid[1]}) -
            auth->ie_rsn_pmkid);
    else
        memcpy(auth->ie_rsn_pmkid, auth->ie_rsn, sizeof auth->ie_rsn);
    if (rsna) {
        if (dot11_init_nonce_counter(auth->counter, c->bss_mac) < 0 ||
            dot11_derive_gmk(auth->gmk) < 0) {
            secure_wipe(auth->config.dot11RSNAConfigPSKValue, 32);
            return -1;
        }
        auth->key_length = dot11_cipher_key_length(c->dot11RSNAConfigGroupCipher);
    }
    auth->cache = held;
    return 0;
}

void dot11_auth_stop(dot11_auth *auth)
{
    dot11_timer_stop(auth, &auth->rekey_timer);
    dot11_timer_stop(auth, &auth->packet_timer);
    dot11_timer_stop(auth, &auth->cm_timer);
    dot11_timer_stop(auth, &auth->install_timer);
    secure_wipe(auth->gmk, sizeof auth->gmk);
    secure_wipe(auth->gtk, sizeof auth->gtk);
    dot11_auth_ft_kck_wipe(auth);
    secure_wipe(auth->counter, sizeof auth->counter);
    secure_wipe(auth->config.dot11RSNAConfigPSKValue, sizeof auth->config.dot11RSNAConfigPSKValue);
}

int dot11_auth_build_ies(const dot11_auth_config *config, uint8_t *buf, size_t len)
{
    size_t pos = 0;
    for (dot11_ie_builder build : dot11_ie_ess_builders) {
        int n = build(config, buf + pos, len - pos);
        if (n < 0 || size_t(n) > len - pos)
            return -1;
        pos += size_t(n);
    }
    return int(pos);
}

void dot11_sta_mark(dot11_rsna *sta)
{
    if (list_isnull(&sta->pending))
        list_append(&sta->auth->pending, &sta->pending);
}

int dot11_auth_attach_sta(dot11_auth *auth, dot11_rsna *sta, const uint8_t mac[6])
{
    if (auth->cache && !auth->interim &&
        dot11_r0kh_take_interim(auth->cache, mac, auth, sta) == 0) {
        DOT11_LOG(auth, ULOG_DETAIL,
                  "Using existing RSNA for " DOT11_MACF " from FT over-the-DS authentication",
                  DOT11_MACA(mac));
        sta->last_activity = clock_sec();
        dot11_auth_authenticate(sta);
        if (auth->config.dot11FTReassociationDeadline) {
            int32_t left = int32_t(sta->reassoc_deadline - clock_msec());
            dot11_auth_start_deadline_timer(sta, left > 0 ? uint64_t(left) : 0);
        }
        return 0;
    }
    memset(sta, 0, sizeof *sta);
    sta->auth = auth;
    memcpy(sta->mac, mac, 6);
    list_null(&sta->link);
    list_null(&sta->pending);
    if (auth->config.flags_a & DOT11_CFG_A_RSNA_ACTIVATED)
        sta->sta_flags |= DOT11_STA_RSNA;
    sta->last_activity = clock_sec();
    list_null(&sta->r0kh_link);
    list_null(&sta->interim_link);
    if (auth->cache && dot11_r0kh_create(auth->cache, sta) < 0) return -1;
    return 0;
}

// Takes a station out of the BSS's lists and group-key bookkeeping.
static void dot11_sta_unlink(dot11_rsna *sta)
{
    dot11_auth *auth = sta->auth;
    if (sta->in_list) {
        UGW_ASSERT(auth->GNoStations > 0);
        auth->GNoStations--;
        list_remove(&sta->link);
        list_null(&sta->link);
        sta->in_list = false;
    }
    if (sta->GUpdateStationKeys) {
        UGW_ASSERT(auth->GKeyDoneStations > 0);
        auth->GKeyDoneStations--;
        sta->GUpdateStationKeys = false;
    }
}

void dot11_auth_detach_sta(dot11_rsna *sta)
{
    dot11_auth *auth = sta->auth;
    if (auth->group_state && sta->r1kh_state) {
        sta->Deauthenticate = true;
        dot11_auth_run_unless_running(auth, sta);
    } else if (sta->Authenticated && !sta->Associated) {
        dot11_auth_deauthenticate(sta);
    }
    // A station held by its group handshake has not reached DISCONNECTED:
    // the BSS must not keep a record that its owner frees now.
    if (sta->Authorized)
        dot11_auth_deauthorize(sta, 0);
    if (sta->Associated)
        dot11_auth_disassociate(sta);
    if (sta->Authenticated)
        dot11_auth_deauthenticate(sta);
    dot11_sta_unlink(sta);
    if (!list_isnull(&sta->pending)) {
        list_remove(&sta->pending);
        list_null(&sta->pending);
    }
    dot11_timer_stop(auth, &sta->eapol_timer);
    dot11_timer_stop(auth, &sta->sa_timer);
    dot11_timer_stop(auth, &sta->pmk_timer);
    dot11_timer_stop(auth, &sta->aux_timer);
    dot11_frame_copies_drop(sta, sta->cached_auth);
    dot11_frame_copies_drop(sta, sta->cached_assoc);
    dot11_suites_clear(&sta->suites);
    dot11_suites_clear(&sta->offer);
    secure_wipe(sta->pmk, sizeof sta->pmk);
    secure_wipe(sta->ptk, sizeof sta->ptk);
    secure_wipe(sta->anonce, sizeof sta->anonce);
    secure_wipe(sta->snonce, sizeof sta->snonce);
    sta->has_ptk = false;
    dot11_r0kh_detach(sta);
    free(sta->identity);
    sta->identity = nullptr;
}

void dot11_auth_run_unless_running(dot11_auth *auth, dot11_rsna *sta)
{
    if (auth->running) {
        if (sta)
            dot11_sta_mark(sta);
        return;
    }
    dot11_auth_run(auth, sta);
}

void dot11_auth_disconnect_sta(dot11_rsna *sta, uint16_t reason)
{
    sta->reason = reason;
    sta->Disconnect = true;
    dot11_auth_run_unless_running(sta->auth, sta);
}

void dot11_auth_drop_sta(dot11_rsna *sta)
{
    sta->Deauthenticate = true;
    dot11_auth_run_unless_running(sta->auth, sta);
}

void dot11_auth_kick(dot11_rsna *sta)
{
    dot11_auth_run_unless_running(sta->auth, sta);
}

void dot11_auth_account_sta(dot11_rsna *sta, uint64_t rx_packets, uint64_t rx_bytes,
                            uint64_t tx_packets, uint64_t tx_bytes, uint32_t last_activity)
{
    if (sta->auth->cache) {
        const uint8_t *key = dot11_akm_is_ft(sta->suites.akm) ? sta->pmkr0name : sta->pmkid;
        dot11_cache_add_counters(sta->auth->cache, key, rx_bytes, tx_bytes, uint32_t(rx_packets),
                                 uint32_t(tx_packets));
    }
    sta->last_activity = last_activity;
}

namespace {

// The BSS machines at rest: in SETKEYSDONE and COUNTERMEASURES_INIT with none
// of their events set, a step of either moves nothing and changes nothing.
bool bss_settled(const dot11_auth *auth)
{
    return (auth->config.flags_a & DOT11_CFG_A_RSNA_ACTIVATED) &&
           auth->group_state == DOT11_GROUP_SETKEYSDONE && auth->cm_state == DOT11_CM_INIT &&
           !auth->GInit && !auth->GTKReKey && !auth->MICFailureReported &&
           !auth->CountermeasuresTimeout;
}

// A station's group-key machine at rest: IDLE with nothing to send.
bool gtk_settled(const dot11_rsna *s)
{
    return s->gtk_state == DOT11_GTK_IDLE && !s->Init && !s->GUpdateStationKeys && !s->PInitAKeys;
}

} // namespace

void dot11_auth_run(dot11_auth *auth, dot11_rsna *sta)
{
    auth->running = true;
    if (sta)
        dot11_sta_mark(sta);
    bool polled = false;
    for (;;) {
        while (!bss_settled(auth) && (dot11_group_step(auth) | dot11_countermeasures_step(auth))) {
        }
        bool moved = false;
        for (dot11_rsna *s : list_records_safe<&dot11_rsna::pending>(&auth->pending)) {
            int m = dot11_r1kh_step(s);
            if (!gtk_settled(s)) m |= dot11_gtk_step(s);
            s->AuthRequest = s->ReassocRequest = s->AssocRequest = s->EAPOLKeyReceived = false;
            s->Init = s->Deauthenticate = s->TimeoutEvt = s->SATimeout = false;
            s->ReassocDeadline = false;
            if (m) {
                moved = true;
            } else {
                list_remove(&s->pending);
                list_null(&s->pending);
            }
        }
        if (!moved && list_isempty(&auth->pending)) {
            // One step of the cache's background expiry, and the station's
            // key holder, whose pushes may set the machines going again.
            // The poll sets no BSS event: only stations it marked need a pass.
            if (sta && auth->cache && !polled) {
                polled = true;
                dot11_cache_poll(auth->cache, sta);
                if (!list_isempty(&auth->pending)) continue;
            }
            break;
        }
    }
    auth->running = false;
}

namespace {

void idle_expired(dot11_timer *t)
{
    dot11_rsna *sta = container_of(t, &dot11_rsna::sa_timer);
    dot11_auth *auth = sta->auth;
    uint32_t idle = 0;
    if (!auth->ops.get_idle || auth->ops.get_idle(auth->ops.user, sta, &idle) < 0)
        idle = clock_sec() - sta->last_activity;
    if (dot11_auth_check_idle(sta, idle) < 0) {
        DOT11_LOG(auth, ULOG_DEBUG, "Disconnecting STA " DOT11_MACF " due to inactivity",
                  DOT11_MACA(sta->mac));
        sta->reason = 4;
        sta->Disconnect = true;
        dot11_auth_run_unless_running(auth, sta);
    }
}

void deadline_expired(dot11_timer *t)
{
    dot11_rsna *sta = container_of(t, &dot11_rsna::sa_timer);
    DOT11_LOG(sta->auth, ULOG_DEBUG, "Reassociation deadline timer expired for STA " DOT11_MACF,
              DOT11_MACA(sta->mac));
    sta->ReassocDeadline = true;
    dot11_auth_run(sta->auth, sta);
}

void sa_expired(dot11_timer *t)
{
    dot11_rsna *sta = container_of(t, &dot11_rsna::sa_timer);
    DOT11_LOG(sta->auth, ULOG_DEBUG, "Security association timer expired for STA " DOT11_MACF,
              DOT11_MACA(sta->mac));
    sta->SATimeout = true;
    dot11_auth_run(sta->auth, sta);
}

} // namespace

int dot11_auth_check_idle(dot11_rsna *sta, uint32_t idle)
{
    uint64_t limit = (uint64_t(sta->auth->config.dot11BssMaxIdlePeriod) * 1024000 + 500000) / 1000000;
    if (!limit)
        return 0;
    if (idle >= limit)
        return -1;
    uint64_t left = limit - idle;
    if (left > 4294967)
        left = 4294967;
    dot11_timer_start(sta->auth, &sta->sa_timer, left * 1000, idle_expired);
    return 0;
}

void dot11_auth_start_deadline_timer(dot11_rsna *sta, uint64_t ms)
{
    dot11_timer_start(sta->auth, &sta->sa_timer, ms, deadline_expired);
}

void dot11_auth_start_sa_timer(dot11_rsna *sta, uint64_t ms)
{
    dot11_timer_start(sta->auth, &sta->sa_timer, ms, sa_expired);
}

// Station events.

void dot11_auth_authenticate(dot11_rsna *sta)
{
    UGW_ASSERT(!sta->Associated && !sta->Authorized);
    memcpy(sta->mib.dot11RSNAPMKIDUsed, sta->pmkid, 16);
    if (sta->Authenticated)
        return;
    sta->Authenticated = true;
    DOT11_LOG(sta->auth, ULOG_DETAIL, "STA " DOT11_MACF " authenticated", DOT11_MACA(sta->mac));
    if (sta->auth->ops.authenticated)
        sta->auth->ops.authenticated(sta->auth->ops.user, sta);
}

void dot11_auth_associate(dot11_rsna *sta)
{
    UGW_ASSERT(sta->Authenticated && !sta->Authorized);
    if (sta->Associated)
        return;
    sta->Associated = true;
    DOT11_LOG(sta->auth, ULOG_DETAIL, "STA " DOT11_MACF " associated", DOT11_MACA(sta->mac));
    if (sta->auth->ops.associated)
        sta->auth->ops.associated(sta->auth->ops.user, sta);
}

void dot11_auth_authorize(dot11_rsna *sta, const char *identity)
{
    UGW_ASSERT(sta->Authenticated && sta->Associated);
    dot11_frame_copies_drop(sta, sta->cached_auth);
    if (sta->Authorized)
        return;
    sta->Authorized = true;
    memcpy(sta->mib.dot11RSNAPMKIDUsed, sta->pmkid, 16);
    memcpy(sta->auth->config.dot11RSNAPMKIDUsed, sta->pmkid, 16);
    DOT11_LOG(sta->auth, ULOG_DETAIL, "STA " DOT11_MACF " authorized", DOT11_MACA(sta->mac));
    if (sta->auth->ops.authorized) sta->auth->ops.authorized(sta->auth->ops.user, sta, identity);
}

void dot11_auth_deauthorize(dot11_rsna *sta, int)
{
    if (!sta->Authorized)
        return;
    UGW_ASSERT(sta->Authenticated && sta->Associated);
    sta->Authorized = false;
    DOT11_LOG(sta->auth, ULOG_DETAIL, "STA " DOT11_MACF " deauthorized", DOT11_MACA(sta->mac));
    if (sta->auth->ops.deauthorized)
        sta->auth->ops.deauthorized(sta->auth->ops.user, sta);
}

void dot11_auth_disassociate(dot11_rsna *sta)
{
    UGW_ASSERT(!sta->Authorized);
    dot11_frame_copies_drop(sta, sta->cached_assoc);
    if (!sta->Associated)
        return;
    sta->Associated = false;
    DOT11_LOG(sta->auth, ULOG_DETAIL, "STA " DOT11_MACF " disassociated", DOT11_MACA(sta->mac));
    if (sta->auth->ops.disassociated)
        sta->auth->ops.disassociated(sta->auth->ops.user, sta);
}

void dot11_auth_deauthenticate(dot11_rsna *sta)
{
    UGW_ASSERT(!sta->Associated && !sta->Authorized);
    dot11_frame_copies_drop(sta, sta->cached_auth);
    if (!sta->Authenticated)
        return;
    sta->Authenticated = false;
    DOT11_LOG(sta->auth, ULOG_DETAIL, "STA " DOT11_MACF " deauthenticated", DOT11_MACA(sta->mac));
    if (sta->auth->ops.deauthenticated)
        sta->auth->ops.deauthenticated(sta->auth->ops.user, sta);
}

void dot11_frame_copy_drop(dot11_frame_copy *c)
{
    if (!c->borrowed) free(c->bytes);
    c->bytes = nullptr;
    c->len = 0;
    c->borrowed = false;
}

void dot11_frame_copies_drop(dot11_rsna *sta, dot11_frame_copy pair[2])
{
    // A request whose copy waits for its answer is no longer to be kept.
    if (sta->auth && sta->auth->rx_pair == pair) sta->auth->rx_pair = nullptr;
    dot11_frame_copy_drop(&pair[1]);
    dot11_frame_copy_drop(&pair[0]);
}

void dot11_suites_clear(dot11_sta_suites *s)
{
    free(s->ie);
    memset(s, 0, sizeof *s);
}
