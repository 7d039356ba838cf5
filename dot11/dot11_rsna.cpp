// The per-station R1KH machine: open system and PSK association and the
// 4-way handshake, run from a state table.
//
// Message 2/4 is checked against a PTK derived into a temporary: the
// station's PTK, replay window and retry count change only once its MIC
// holds. The TK goes to the data plane once per PTK, however often 3/4 is
// sent again.
#include <cstring>

#include "common/crypto/aes.h"
#include "common/crypto/bytes.h"
#include "common/crypto/secure.h"
#include "common/fatal.h"
#include "dot11/dot11_auth.h"
#include "dot11/dot11_desc.h"
#include "dot11/dot11_frame.h"
#include "dot11/dot11_ie.h"
#include "dot11/dot11_r0kh.h"
#include "dot11/dot11_wire.h"

namespace {

using handler = int (*)(dot11_rsna *);

struct state_row {
    char name[32];
    handler entry;
};

bool rsna_enabled(const dot11_auth *auth)
{
    return auth->config.flags_a & DOT11_CFG_A_RSNA_ACTIVATED;
}

void eapol_timeout(dot11_timer *t)
{
    dot11_rsna *sta = container_of(t, &dot11_rsna::eapol_timer);
    sta->TimeoutEvt = true;
    dot11_auth_run(sta->auth, sta);
}

void pmk_rekey_expired(dot11_timer *t)
{
    dot11_rsna *sta = container_of(t, &dot11_rsna::pmk_timer);
    DOT11_LOG(sta->auth, ULOG_DEBUG, "Rekeying PMK for " DOT11_MACF, DOT11_MACA(sta->mac));
    sta->GetR1SA = true;
    dot11_auth_run(sta->auth, sta);
}

const char *retry_suffix(unsigned retry, char *buf, size_t size)
{
    if (!retry)
        return "";
    snprintf(buf, size, " [retry %u]", retry);
    return buf;
}

bool akm_ft(const dot11_rsna *sta)
{
    return dot11_akm_is_ft(sta->suites.akm);
}

// A copy of the BSS RSN element with a PMKID, in a buffer with room for it.
struct rsn_with_pmkid {
    uint8_t ie[64 + DOT11_IE_PMKID_SPARE];
    rsn_with_pmkid(const dot11_auth *auth, const uint8_t pmkid[16])
    {
        memcpy(ie, auth->ie_rsn_pmkid, sizeof ie);
        if (auth->rsn_pmkid_at) memcpy(ie + auth->rsn_pmkid_at, pmkid, 16);
    }
};

// A Timeout Interval element.
void timeout_ie(uint8_t out[7], uint8_t type, uint32_t value)
{
    out[0] = DOT11_EID_TIMEOUT;
    out[1] = 5;
    out[2] = type;
    crypto_bytes::store_le32(out + 3, value);
}

void arm_reassoc_deadline(dot11_rsna *sta, uint32_t tus)
{
    uint64_t ms = tus > 4194303998u ? UINT32_MAX : (uint64_t(tus) * 1024 + 500) / 1000;
    sta->reassoc_deadline = uint32_t(clock_msec() + ms);
    dot11_auth_start_deadline_timer(sta, ms);
}

// Threshold percent of the lifetime, in 64 bits; none outside 1..100.
void schedule_pmk_rekey(dot11_rsna *sta)
{
    uint8_t threshold = sta->auth->config.dot11RSNAConfigPMKReauthThreshold;
    if (!threshold || threshold > 100)
        return;
    uint64_t s = uint64_t(threshold) * sta->pmk_lifetime / 100;
    dot11_auth_schedule_pmk_rekey(sta, s > UINT32_MAX ? UINT32_MAX : uint32_t(s));
}

int r1kh_DISCONNECTED(dot11_rsna *sta)
{
    dot11_auth *auth = sta->auth;
    if (sta->in_list) {
        UGW_ASSERT(auth->GNoStations > 0);
        auth->GNoStations--;
        list_remove(&sta->link);
        list_null(&sta->link);
        sta->in_list = false;
        if (auth->config.flags_a & DOT11_CFG_A_REKEY_STRICT) {
            DOT11_LOG(auth, ULOG_DEBUG, "GTK rekeying triggered by strict rekey mode");
            auth->GTKReKey = true;
        }
    }
    dot11_auth_deauthorize(sta, 0);
    dot11_auth_disassociate(sta);
    dot11_auth_deauthenticate(sta);
    dot11_timer_stop(auth, &sta->aux_timer);
    dot11_timer_stop(auth, &sta->pmk_timer);
    dot11_suites_clear(&sta->suites);
    return 0;
}

int r1kh_R1_START(dot11_rsna *sta)
{
    dot11_auth *auth = sta->auth;
    dot11_suites_clear(&sta->suites);
    dot11_suites_clear(&sta->offer);
    if (sta->GUpdateStationKeys) {
        UGW_ASSERT(auth->GKeyDoneStations > 0);
        auth->GKeyDoneStations--;
    }
    sta->PInitAKeys = sta->GUpdateStationKeys = false;
    sta->pairwise_retry = 0;
    sta->pairwise_responses = 0;
    sta->last_mic_bad = sta->last_ies_bad = false;
    sta->auth_alg = 0;
    secure_wipe(sta->pmk, sizeof sta->pmk);
    secure_wipe(sta->anonce, sizeof sta->anonce);
    secure_wipe(sta->snonce, sizeof sta->snonce);
    secure_wipe(sta->ptk, sizeof sta->ptk);
    sta->has_ptk = sta->tk_installed = sta->pmksa_valid = false;
    sta->r1sa_ready = false;
    free(sta->identity);
    sta->identity = nullptr;
    int state = auth->ops.set_key_state ? auth->ops.set_key_state(auth->ops.user, auth, sta, 0) : -1;
    dot11_auth_deauthorize(sta, state);
    dot11_timer_stop(auth, &sta->eapol_timer);
    dot11_timer_stop(auth, &sta->sa_timer);
    return 0;
}

int r1kh_FT_INIT_AUTH(dot11_rsna *sta)
{
    dot11_auth *auth = sta->auth;
    uint64_t timeout = 30000;
    if (rsna_enabled(auth)) {
        uint64_t s = auth->config.dot11RSNAConfigSATimeout;
        timeout = (s > 4294967 ? 4294967 : s) * 1000;
    }
    dot11_auth_authenticate(sta);
    dot11_send_auth(sta, 0, 2, 0, nullptr, 0);
    dot11_auth_start_sa_timer(sta, timeout);
    return 0;
}

int r1kh_FT_INIT_ASSOC(dot11_rsna *sta)
{
    dot11_auth *auth = sta->auth;
    // The request the machine takes now decides the suites.
    dot11_suites_clear(&sta->suites);
    sta->suites = sta->offer;
    memset(&sta->offer, 0, sizeof sta->offer);
    if (rsna_enabled(auth)) {
        if (!sta->suites.ie)
            return -1;
        secure_wipe(sta->ptk, sizeof sta->ptk);
        sta->has_ptk = sta->tk_installed = false;
        sta->mib.dot11RSNAAuthenticationSuiteSelected = sta->suites.akm;
        sta->mib.dot11RSNAPairwiseCipherSelected = sta->suites.pairwise;
        sta->mib.dot11RSNAGroupCipherSelected = sta->suites.group;
        auth->config.dot11RSNAAuthenticationSuiteSelected = sta->suites.akm;
        auth->config.dot11RSNAPairwiseCipherSelected = sta->suites.pairwise;
        auth->config.dot11RSNAGroupCipherSelected = sta->suites.group;
    }
    if (!sta->in_list) {
        list_append(&auth->stations, &sta->link);
        sta->in_list = true;
        auth->GNoStations++;
    }
    if (sta->r0kh && rsna_enabled(auth)) {
        const uint8_t *ie = sta->suites.ie;
        const uint8_t *pmkid = dot11_ie_first_pmkid({ie, size_t(2) + ie[1]});
        dot11_r0kh *r0kh = sta->r0kh;
        if (pmkid) {
            memcpy(r0kh->name, pmkid, 16);
            DOT11_LOG(auth, ULOG_DETAIL, "%s %08x%08x%08x%08x requested by STA " DOT11_MACF,
                      dot11_akm_is_ft(sta->suites.akm) ? "PMKR0Name" : "PMKID",
                      crypto_bytes::load_be32(pmkid), crypto_bytes::load_be32(pmkid + 4),
                      crypto_bytes::load_be32(pmkid + 8), crypto_bytes::load_be32(pmkid + 12),
                      DOT11_MACA(sta->mac));
        } else {
            memset(r0kh->name, 0, 16);
        }
    }
    const uint8_t *ies[3];
    size_t n = 0;
    if (rsna_enabled(auth) && akm_ft(sta)) {
        dot11_generate_ftie(sta, nullptr, nullptr, false, false, 0, nullptr, 0, sta->ftie);
        ies[n++] = auth->ie_mdie;
        ies[n++] = sta->ftie;
    }
    if (auth->config.dot11BssMaxIdlePeriod && auth->ie_idle[1])
        ies[n++] = auth->ie_idle;
    dot11_auth_associate(sta);
    dot11_send_assoc_resp(sta, sta->assoc_subtype == DOT11_ST_ASSOC_REQ ? DOT11_ST_ASSOC_RESP
                                                                        : DOT11_ST_REASSOC_RESP,
                          0, ies, n);
    return 0;
}

int r1kh_FT_INIT_GET_R1_SA(dot11_rsna *sta)
{
    dot11_timer_stop(sta->auth, &sta->eapol_timer);
    sta->GetR1SA = false;
    if (dot11_r0kh *r0kh = sta->r0kh) {
        memcpy(r0kh->bssid, sta->auth->config.bss_mac, 6);
        r0kh->cipher = sta->suites.pairwise;
        r0kh->akm = sta->suites.akm;
        r0kh->request = uint8_t((r0kh->request & ~DOT11_R0KH_REQ_FAILED) | DOT11_R0KH_REQ_AUTH);
        sta->r1sa_ready = false;
        dot11_r0kh_notify(r0kh);
        return 0;
    }
    dot11_derive_psk_pmksa(sta);
    return 0;
}

int r1kh_FT_INIT_R1_SA(dot11_rsna *sta)
{
    if (akm_ft(sta) && sta->suites.ie &&
        dot11_ie_insert_pmkid(sta->suites.ie, DOT11_IE_PMKID_SPARE, sta->pmkr1name) < 0)
        return -1;
    dot11_nonce_next(sta->auth->counter, sta->anonce, DOT11_NONCE_LEN);
    sta->pairwise_retry = 0;
    sta->PTKRequest = false;
    return 0;
}

void send_pairwise(dot11_rsna *sta, packet *p, const char *which)
{
    if (!p)
        return;
    if (log_enabled(LOG_COMP_DOT11, ULOG_DEBUG)) {
        char desc[96], suffix[24];
        DOT11_LOG(sta->auth, ULOG_DEBUG, "Sending %s Pairwise %s to " DOT11_MACF "%s",
                  dot11_eapol_describe(p->data, p->length, desc, sizeof desc), which,
                  DOT11_MACA(sta->mac), retry_suffix(sta->pairwise_retry, suffix, sizeof suffix));
    }
    dot11_send_eapol(sta, p);
}

int r1kh_FT_PTK_START(dot11_rsna *sta)
{
    if (!sta->pairwise_retry)
        sta->replay_step = sta->replay + 1;
    packet *p = dot11_generate_eapol(sta, false, false, false, true, false, 0, 0, sta->anonce,
                                     nullptr, 0, false, sta->suites.desc_type != 254);
    if (p && dot11_finalize_eapol(sta, p, false) < 0) {
        packet_release(p);
        p = nullptr;
    }
    send_pairwise(sta, p, "1/4");
    sta->pairwise_retry++;
    dot11_timer_start(sta->auth, &sta->eapol_timer, 1000, eapol_timeout);
    return 0;
}

int r1kh_FT_PTK_CALC_NEGOTIATING(dot11_rsna *sta)
{
    dot11_auth *auth = sta->auth;
    uint8_t *key = sta->frame;
    size_t len = sta->frame_len;
    if (log_enabled(LOG_COMP_DOT11, ULOG_DEBUG)) {
        char desc[96];
        DOT11_LOG(auth, ULOG_DEBUG, "Received %s Pairwise 2/4 from " DOT11_MACF,
                  dot11_eapol_describe(key, len, desc, sizeof desc), DOT11_MACA(sta->mac));
    }
    uint8_t ptk[DOT11_PTK_MAX];
    secure_wipe_guard wipe(ptk);
    const uint8_t *snonce = key + EAPOL_KEY_NONCE;
    size_t ptk_len = 32 + sta->suites.tk_len;
    if (sta->suites.akm == DOT11_AKM_PSK_SHA256 || sta->suites.akm == DOT11_AKM_8021X_SHA256)
        dot11_derive_ptk_sha256(sta->pmk, ptk_len, auth->config.bss_mac, sta->mac, sta->anonce,
                                snonce, ptk);
    else if (akm_ft(sta))
        dot11_derive_ptk_ft(sta->pmk, ptk_len, auth->config.bss_mac, sta->mac, sta->anonce, snonce,
                            ptk);
    else
        dot11_derive_ptk(sta->pmk, auth->config.bss_mac, sta->mac, sta->anonce, snonce, ptk);
    if (!(dot11_load_be16(key + EAPOL_KEY_INFO) & EAPOL_KEY_INFO_MIC) ||
        dot11_check_eapol_mic(sta, ptk, key, len) < 0) {
        sta->MICVerified = false;
        sta->last_mic_bad = true;
        return 0;
    }
    memcpy(sta->snonce, snonce, DOT11_NONCE_LEN);
    memcpy(sta->ptk, ptk, sizeof ptk);
    sta->has_ptk = true;
    sta->tk_installed = false;
    sta->MICVerified = true;
    sta->last_mic_bad = false;
    dot11_eapol_accept_replay(sta);
    sta->IEsMatch = dot11_check_eapol_ies(sta, key, len, sta->suites.ie) == 0;
    if (sta->IEsMatch && akm_ft(sta))
        sta->IEsMatch = dot11_check_eapol_ies(sta, key, len, auth->ie_mdie) == 0 &&
                        dot11_check_eapol_ies(sta, key, len, sta->ftie) == 0;
    sta->last_ies_bad = !sta->IEsMatch;
    sta->pairwise_retry = 0;
    return 0;
}

// Once per PTK: a retried message 4 or Reassoc-Req must not reset the
// receive sequence counters by installing the same key again.
int install_tk(dot11_rsna *sta)
{
    dot11_auth *auth = sta->auth;
    if (sta->tk_installed) return 0;
    if (!auth->ops.install_key ||
        auth->ops.install_key(auth->ops.user, auth, sta, sta->suites.pairwise, 0, sta->ptk + 32,
                              sta->suites.tk_len) < 0) {
        DOT11_LOG(auth, ULOG_DEBUG, "Failed to install unicast key for STA " DOT11_MACF,
                  DOT11_MACA(sta->mac));
        return -1;
    }
    sta->tk_installed = true;
    return 0;
}

int r1kh_FT_PTK_CALC_NEGOTIATING3(dot11_rsna *sta)
{
    dot11_auth *auth = sta->auth;
    if (sta->suites.pairwise != sta->mib.dot11RSNAPairwiseCipherSelected)
        return -1;
    if (!sta->pairwise_retry)
        sta->replay_step = sta->replay + 1;
    if (install_tk(sta) < 0) return -1;
    packet *p;
    if (sta->suites.desc_type == 254) {
        const uint8_t *ies[1] = {auth->ie_wpa};
        p = dot11_generate_eapol(sta, false, true, true, true, false, 0, 0, sta->anonce, ies, 1,
                                 false, false);
        if (p && dot11_finalize_eapol(sta, p, false) < 0) {
            packet_release(p);
            p = nullptr;
        }
    } else {
        uint64_t tsc = (uint64_t(1) << 48) - 1;
        if (!auth->ops.get_tsc || auth->ops.get_tsc(auth->ops.user, auth, nullptr, auth->GN, &tsc) < 0) {
            DOT11_LOG(auth, ULOG_DEBUG, "Failed to get GTK TSC");
            return -1;
        }
        rsn_with_pmkid rsn(auth, sta->pmkr1name);
        uint8_t tie_key[7], tie_deadline[7];
        timeout_ie(tie_key, 2, sta->pmk_lifetime);
        timeout_ie(tie_deadline, 1, auth->config.dot11FTReassociationDeadline);
        const uint8_t *ft_ies[5] = {rsn.ie, auth->ie_mdie, sta->ftie, tie_key, tie_deadline};
        const uint8_t *plain[1] = {auth->ie_rsn};
        bool ft = akm_ft(sta);
        p = dot11_generate_eapol(sta, true, true, true, true, true, uint32_t(tsc >> 32),
                                 uint32_t(tsc), sta->anonce, ft ? ft_ies : plain, ft ? 5 : 1, true,
                                 false);
        if (p && dot11_finalize_eapol(sta, p, true) < 0) {
            packet_release(p);
            p = nullptr;
        }
    }
    send_pairwise(sta, p, "3/4");
    sta->pairwise_retry++;
    dot11_timer_start(auth, &sta->eapol_timer, 1000, eapol_timeout);
    return 0;
}

int r1kh_FT_PTK_INIT_DONE(dot11_rsna *sta)
{
    dot11_auth *auth = sta->auth;
    if (log_enabled(LOG_COMP_DOT11, ULOG_DEBUG)) {
        char desc[96];
        DOT11_LOG(auth, ULOG_DEBUG, "Received %s Pairwise 4/4 from " DOT11_MACF,
                  dot11_eapol_describe(sta->frame, sta->frame_len, desc, sizeof desc),
                  DOT11_MACA(sta->mac));
    }
    dot11_timer_stop(auth, &sta->eapol_timer);
    dot11_timer_stop(auth, &sta->sa_timer);
    sta->pairwise_retry = 0;
    sta->pairwise_responses = 0;
    if (!auth->ops.activate_key || auth->ops.activate_key(auth->ops.user, sta) < 0) {
        DOT11_LOG(auth, ULOG_DEBUG, "Failed to activate unicast key for STA " DOT11_MACF,
                  DOT11_MACA(sta->mac));
        return -1;
    }
    dot11_auth_authorize(sta, sta->identity);
    free(sta->identity);
    sta->identity = nullptr;
    if (sta->suites.desc_type == 254)
        sta->PInitAKeys = true;
    if (sta->pmksa_valid)
        schedule_pmk_rekey(sta);
    dot11_auth_check_idle(sta, 0);
    return 0;
}

const uint8_t *request_ftie(const dot11_rsna *sta)
{
    if (!sta->frame) return nullptr;
    const uint8_t *ftie = dot11_ie_find(sta->frame, sta->frame_len, DOT11_EID_FTIE, 0);
    return ftie && ftie[1] >= DOT11_FTIE_SUBELEMS - 2 ? ftie : nullptr;
}

int r1kh_FT_AUTH(dot11_rsna *sta)
{
    dot11_auth *auth = sta->auth;
    dot11_suites_clear(&sta->suites);
    sta->suites = sta->offer;
    memset(&sta->offer, 0, sizeof sta->offer);
    const uint8_t *ftie = request_ftie(sta);
    if (!sta->suites.ie || !ftie) return -1;
    memcpy(sta->snonce, ftie + DOT11_FTIE_SNONCE, DOT11_NONCE_LEN);
    sta->mib.dot11RSNAAuthenticationSuiteSelected = sta->suites.akm;
    sta->mib.dot11RSNAPairwiseCipherSelected = sta->suites.pairwise;
    sta->mib.dot11RSNAGroupCipherSelected = sta->suites.group;
    const uint8_t *ie = sta->suites.ie;
    const uint8_t *name = dot11_ie_first_pmkid({ie, size_t(2) + ie[1]});
    if (!name) return -1;
    DOT11_LOG(auth, ULOG_DETAIL, "STA " DOT11_MACF " requested PMKR0name %08x%08x%08x%08x",
              DOT11_MACA(sta->mac), crypto_bytes::load_be32(name),
              crypto_bytes::load_be32(name + 4), crypto_bytes::load_be32(name + 8),
              crypto_bytes::load_be32(name + 12));
    if (!sta->r0kh) dot11_derive_psk_pmksa(sta);
    return 0;
}

int r1kh_FT_GET_PMK_R1_SA(dot11_rsna *sta)
{
    dot11_r0kh *r0kh = sta->r0kh;
    UGW_ASSERT(r0kh);
    const uint8_t *ie = sta->suites.ie;
    const uint8_t *name = dot11_ie_first_pmkid({ie, size_t(2) + ie[1]});
    UGW_ASSERT(name);
    memcpy(r0kh->name, name, 16);
    memcpy(r0kh->bssid, sta->auth->config.bss_mac, 6);
    r0kh->cipher = sta->suites.pairwise;
    r0kh->akm = sta->suites.akm;
    r0kh->request = uint8_t((r0kh->request & ~DOT11_R0KH_REQ_FAILED) | DOT11_R0KH_REQ_PUSH);
    sta->r1sa_ready = false;
    dot11_r0kh_notify(r0kh);
    return 0;
}

int r1kh_FT_PMK_R1_SA_RECD(dot11_rsna *sta)
{
    dot11_auth *auth = sta->auth;
    const uint8_t *ie = sta->suites.ie;
    uint16_t status = 0;
    if (!dot11_ie_has_pmkid({ie, size_t(2) + ie[1]}, sta->pmkr0name)) {
        DOT11_LOG(auth, ULOG_DEBUG, "Invalid PMKR0Name in FT Auth from STA " DOT11_MACF,
                  DOT11_MACA(sta->mac));
        status = 53;
    } else if (sta->pmksa_cipher && sta->suites.pairwise != sta->pmksa_cipher) {
        DOT11_LOG(auth, ULOG_DEBUG, "Cipher suite mismatch in FT Auth from STA " DOT11_MACF,
                  DOT11_MACA(sta->mac));
        status = 42;
    }
    if (status) {
        dot11_auth_deauthenticate(sta);
        dot11_send_auth(sta, sta->auth_alg, 2, status, nullptr, 0);
        dot11_cache_lru_demote(sta);
        return -1;
    }
    dot11_nonce_next(auth->counter, sta->anonce, DOT11_NONCE_LEN);
    dot11_derive_ptk_ft(sta->pmk, 32 + sta->suites.tk_len, auth->config.bss_mac, sta->mac,
                        sta->anonce, sta->snonce, sta->ptk);
    sta->has_ptk = true;
    sta->tk_installed = false;
    if (dot11_ie_insert_pmkid(sta->suites.ie, DOT11_IE_PMKID_SPARE, sta->pmkr1name) < 0) return -1;
    rsn_with_pmkid rsn(auth, sta->pmkr0name);
    dot11_generate_ftie(sta, sta->anonce, sta->snonce, false, false, 0, nullptr, 0, sta->ftie);
    const uint8_t *ies[3] = {rsn.ie, auth->ie_mdie, sta->ftie};
    dot11_auth_authenticate(sta);
    dot11_send_auth(sta, sta->auth_alg, 2, 0, ies, 3);
    if (auth->config.dot11FTReassociationDeadline)
        arm_reassoc_deadline(sta, auth->config.dot11FTReassociationDeadline);
    dot11_cache_lru_touch(sta);
    return 0;
}

int r1kh_FT_HANDSHAKE_DONE(dot11_rsna *sta)
{
    dot11_auth *auth = sta->auth;
    // The FTIE sealed when the request's MIC was checked, unless the GTK
    // has changed since.
    bool sealed = auth->ft_resp_sta == sta && auth->ft_resp_gtk == auth->gtk_serial;
    auth->ft_resp_sta = nullptr;
    if (!sta->Authenticated) return -1;
    uint64_t tsc = (uint64_t(1) << 48) - 1;
    if (!sealed && (!auth->ops.get_tsc ||
                    auth->ops.get_tsc(auth->ops.user, auth, nullptr, auth->GN, &tsc) < 0)) {
        DOT11_LOG(auth, ULOG_DEBUG, "Failed to get GTK TSC");
        return -1;
    }
    dot11_suites_clear(&sta->offer);
    if (!sta->in_list) {
        list_append(&auth->stations, &sta->link);
        sta->in_list = true;
        auth->GNoStations++;
    }
    rsn_with_pmkid rsn(auth, sta->pmkr1name);
    const uint8_t *mic_ies[2] = {rsn.ie, auth->ie_mdie};
    if (sealed)
        memcpy(sta->ftie, auth->ft_resp, size_t(2) + auth->ft_resp[1]);
    else
        dot11_generate_ftie(sta, sta->anonce, sta->snonce, true, true, tsc, mic_ies, 2, sta->ftie);
    const uint8_t *ies[4] = {rsn.ie, auth->ie_mdie, sta->ftie, nullptr};
    size_t n = 3;
    if (auth->config.dot11BssMaxIdlePeriod && auth->ie_idle[1]) ies[n++] = auth->ie_idle;
    dot11_send_assoc_resp(sta, DOT11_ST_REASSOC_RESP, 0, ies, n);
    if (install_tk(sta) < 0) return -1;
    if (!auth->ops.activate_key || auth->ops.activate_key(auth->ops.user, sta) < 0) {
        DOT11_LOG(auth, ULOG_DEBUG, "Failed to activate unicast key for STA " DOT11_MACF,
                  DOT11_MACA(sta->mac));
        return -1;
    }
    dot11_auth_associate(sta);
    dot11_auth_authorize(sta, sta->identity);
    free(sta->identity);
    sta->identity = nullptr;
    if (dot11_akm_is_psk(sta->suites.akm)) schedule_pmk_rekey(sta);
    dot11_timer_stop(auth, &sta->sa_timer);
    dot11_auth_check_idle(sta, 0);
    return 0;
}

int r1kh_OPEN_DONE(dot11_rsna *sta)
{
    dot11_auth_authorize(sta, nullptr);
    dot11_timer_stop(sta->auth, &sta->sa_timer);
    return 0;
}

int r1kh_DISCONNECT(dot11_rsna *sta)
{
    return dot11_send_deauth(sta);
}

constexpr state_row r1kh_states[] = {
    {"", nullptr},
    {"DISCONNECT", r1kh_DISCONNECT},
    {"DISCONNECTED", r1kh_DISCONNECTED},
    {"R1_START", r1kh_R1_START},
    {"FT_INIT_AUTH", r1kh_FT_INIT_AUTH},
    {"FT_INIT_ASSOC", r1kh_FT_INIT_ASSOC},
    {"FT_INIT_GET_R1_SA", r1kh_FT_INIT_GET_R1_SA},
    {"FT_INIT_R1_SA", r1kh_FT_INIT_R1_SA},
    {"FT_PTK_START", r1kh_FT_PTK_START},
    {"FT_PTK_CALC_NEGOTIATING", r1kh_FT_PTK_CALC_NEGOTIATING},
    {"FT_PTK_CALC_NEGOTIATING3", r1kh_FT_PTK_CALC_NEGOTIATING3},
    {"FT_PTK_INIT_DONE", r1kh_FT_PTK_INIT_DONE},
    {"FT_AUTH", r1kh_FT_AUTH},
    {"FT_GET_PMK_R1_SA", r1kh_FT_GET_PMK_R1_SA},
    {"FT_PMK_R1_SA_RECD", r1kh_FT_PMK_R1_SA_RECD},
    {"FT_HANDSHAKE_DONE", r1kh_FT_HANDSHAKE_DONE},
    {"OPEN_DONE", r1kh_OPEN_DONE},
};

bool pairwise_response(const dot11_rsna *sta)
{
    return sta->EAPOLKeyReceived && sta->EAPOLKeyPairwise && !sta->EAPOLKeyRequest;
}

uint8_t r1kh_next(dot11_rsna *sta)
{
    uint8_t max = sta->auth->config.dot11RSNAConfigPairwiseUpdateCount;
    if (sta->Init)
        return DOT11_R1KH_R1_START;
    if (sta->Disconnect || sta->SATimeout || sta->ReassocDeadline)
        return DOT11_R1KH_DISCONNECT;
    if (sta->Deauthenticate)
        return DOT11_R1KH_DISCONNECTED;
    // A (Re)Assoc-Req after association would change suites under keys in
    // use: the station starts over instead.
    bool ft_auth =
        sta->r1kh_state >= DOT11_R1KH_FT_AUTH && sta->r1kh_state <= DOT11_R1KH_FT_PMK_R1_SA_RECD;
    if ((sta->AssocRequest || sta->ReassocRequest) && sta->r1kh_state >= DOT11_R1KH_FT_INIT_ASSOC &&
        !ft_auth) {
        sta->Disconnect = true;
        return DOT11_R1KH_DISCONNECT;
    }
    switch (sta->r1kh_state) {
    case 0:
        return 0;
    case DOT11_R1KH_DISCONNECT:
        return DOT11_R1KH_DISCONNECTED;
    case DOT11_R1KH_DISCONNECTED:
        return DOT11_R1KH_R1_START;
    case DOT11_R1KH_R1_START:
        if (sta->AuthRequest && sta->auth_alg == 0)
            return DOT11_R1KH_FT_INIT_AUTH;
        if (sta->AuthRequest && (sta->auth_alg & 0x7fff) == 2)
            return DOT11_R1KH_FT_AUTH;
        return 0;
    case DOT11_R1KH_FT_INIT_AUTH:
        return sta->AssocRequest || sta->ReassocRequest ? DOT11_R1KH_FT_INIT_ASSOC : 0;
    case DOT11_R1KH_FT_INIT_ASSOC:
        return rsna_enabled(sta->auth) ? DOT11_R1KH_FT_INIT_GET_R1_SA : DOT11_R1KH_OPEN_DONE;
    case DOT11_R1KH_FT_INIT_GET_R1_SA:
        if (!sta->r0kh || sta->r1sa_ready) return DOT11_R1KH_FT_INIT_R1_SA;
        if (sta->r0kh->request & DOT11_R0KH_REQ_FAILED) return DOT11_R1KH_DISCONNECT;
        return 0;
    case DOT11_R1KH_FT_INIT_R1_SA:
        return DOT11_R1KH_FT_PTK_START;
    case DOT11_R1KH_FT_PTK_START:
        if (pairwise_response(sta))
            return DOT11_R1KH_FT_PTK_CALC_NEGOTIATING;
        if (sta->TimeoutEvt)
            return sta->pairwise_retry > max ? DOT11_R1KH_DISCONNECT : DOT11_R1KH_FT_PTK_START;
        if (sta->GetR1SA)
            return DOT11_R1KH_FT_INIT_GET_R1_SA;
        return 0;
    case DOT11_R1KH_FT_PTK_CALC_NEGOTIATING:
        if (pairwise_response(sta))
            return DOT11_R1KH_FT_PTK_CALC_NEGOTIATING;
        if (sta->MICVerified && sta->IEsMatch)
            return DOT11_R1KH_FT_PTK_CALC_NEGOTIATING3;
        if (sta->MICVerified) {
            sta->reason = 17;
            return DOT11_R1KH_DISCONNECT;
        }
        if (sta->TimeoutEvt)
            return DOT11_R1KH_FT_PTK_START;
        return 0;
    case DOT11_R1KH_FT_PTK_CALC_NEGOTIATING3:
        // An RSN 4/4 has Secure set; a 2/4 never passes for it.
        if (pairwise_response(sta) && sta->MICVerified &&
            (sta->suites.desc_type == 254 || sta->EAPOLKeySecure))
            return DOT11_R1KH_FT_PTK_INIT_DONE;
        if (sta->TimeoutEvt)
            return sta->pairwise_retry > max ? DOT11_R1KH_DISCONNECT : DOT11_R1KH_FT_PTK_CALC_NEGOTIATING3;
        return 0;
    case DOT11_R1KH_FT_PTK_INIT_DONE:
    case DOT11_R1KH_FT_HANDSHAKE_DONE:
        if (sta->GetR1SA)
            return DOT11_R1KH_FT_INIT_GET_R1_SA;
        if (sta->PTKRequest)
            return DOT11_R1KH_FT_INIT_R1_SA;
        return 0;
    case DOT11_R1KH_FT_AUTH:
        return !sta->r0kh || sta->r1sa_ready ? DOT11_R1KH_FT_PMK_R1_SA_RECD
                                             : DOT11_R1KH_FT_GET_PMK_R1_SA;
    case DOT11_R1KH_FT_GET_PMK_R1_SA:
        if (sta->r1sa_ready) return DOT11_R1KH_FT_PMK_R1_SA_RECD;
        return sta->r0kh->request & DOT11_R0KH_REQ_FAILED ? DOT11_R1KH_DISCONNECT : 0;
    case DOT11_R1KH_FT_PMK_R1_SA_RECD:
        return sta->ReassocRequest && sta->MICVerified ? DOT11_R1KH_FT_HANDSHAKE_DONE : 0;
    case DOT11_R1KH_OPEN_DONE:
        return 0;
    default:
        fatal_assert_fail("Invalid state", __FILE__, __func__, __LINE__);
    }
}

} // namespace

int dot11_r1kh_step(dot11_rsna *sta)
{
    if (sta->gtk_state == DOT11_GTK_KEYERROR || sta->gtk_state == DOT11_GTK_REKEYESTABLISHED ||
        sta->gtk_state == DOT11_GTK_REKEYNEGOTIATING)
        return 0;
    uint8_t next = r1kh_next(sta);
    if (!next)
        return 0;
    sta->r1kh_state = next;
    DOT11_LOG(sta->auth, ULOG_DETAIL, "802.11 R1KH " DOT11_MACF " entering state %s",
              DOT11_MACA(sta->mac), r1kh_states[next].name);
    if (r1kh_states[next].entry(sta) < 0)
        sta->Disconnect = true;
    return 1;
}

const char *dot11_state_name(uint8_t state)
{
    if (state < std::size(r1kh_states))
        return r1kh_states[state].name;
    static constexpr const char *others[] = {
        "IDLE",       "KEYERROR", "REKEYESTABLISHED", "REKEYNEGOTIATING", "GTK_INIT",
        "SETKEYS",    "SETKEYSDONE", "COUNTERMEASURES_INIT", "COUNTERMEASURES_UPDATE",
        "COUNTERMEASURES_INVOKE", "COUNTERMEASURES_WAIT", "COUNTERMEASURES_RESUME"};
    if (state - std::size(r1kh_states) < std::size(others))
        return others[state - std::size(r1kh_states)];
    return "";
}

void dot11_auth_schedule_pmk_rekey(dot11_rsna *sta, uint32_t seconds)
{
    DOT11_LOG(sta->auth, ULOG_DEBUG, "Scheduling PMK rekeying in %u sec for STA " DOT11_MACF,
              seconds, DOT11_MACA(sta->mac));
    uint64_t s = seconds > 4294967 ? 4294967 : seconds;
    dot11_timer_start(sta->auth, &sta->pmk_timer, s * 1000, pmk_rekey_expired);
}

void dot11_derive_psk_pmksa(dot11_rsna *sta)
{
    dot11_auth *auth = sta->auth;
    uint32_t akm = sta->suites.akm;
    memcpy(sta->pmk, auth->config.dot11RSNAConfigPSKValue, DOT11_PMK_LEN);
    if (akm == DOT11_AKM_PSK)
        dot11_derive_pmkid(sta->pmk, auth->config.bss_mac, sta->mac, sta->pmkid);
    else if (akm == DOT11_AKM_PSK_SHA256)
        dot11_derive_pmkid_sha256(sta->pmk, auth->config.bss_mac, sta->mac, sta->pmkid);
    else if (akm == DOT11_AKM_WPA_PSK)
        memset(sta->pmkid, 0, sizeof sta->pmkid);
    else if (akm != DOT11_AKM_FT_PSK)
        fatal_assert_fail("Invalid AKM", __FILE__, __func__, __LINE__);
    uint32_t lifetime = auth->config.dot11RSNAConfigPMKLifetime;
    if (akm == DOT11_AKM_FT_PSK) {
        const dot11_auth_config *c = &auth->config;
        uint8_t pmk_r0[DOT11_PMK_LEN];
        dot11_derive_pmkid(sta->pmk, c->bss_mac, sta->mac, sta->pmkid);
        dot11_derive_pmkr0(sta->pmk, c->ssid, c->ssid_len, c->dot11FTMobilityDomainID,
                           c->dot11FTR0KeyHolderID, c->r0kh_id_len, sta->mac, pmk_r0,
                           sta->pmkr0name);
        dot11_derive_pmkr1(pmk_r0, c->bss_mac, sta->mac, sta->pmk);
        dot11_derive_pmkr1name(sta->pmkr0name, c->bss_mac, sta->mac, sta->pmkr1name);
        memcpy(sta->pmkid, sta->pmkr1name, 16);
        secure_wipe(pmk_r0, sizeof pmk_r0);
        DOT11_LOG(auth, ULOG_DEBUG,
                  "PSK R0KH derived PMK-R0 with PMKR0Name %08x%08x%08x%08x for STA " DOT11_MACF,
                  crypto_bytes::load_be32(sta->pmkr0name),
                  crypto_bytes::load_be32(sta->pmkr0name + 4),
                  crypto_bytes::load_be32(sta->pmkr0name + 8),
                  crypto_bytes::load_be32(sta->pmkr0name + 12), DOT11_MACA(sta->mac));
        lifetime = c->dot11FTR0KeyLifetime;
    }
    sta->pmk_lifetime = lifetime ? lifetime : 2147483647;
    sta->pmksa_valid = true;
    bool ft = akm == DOT11_AKM_FT_PSK;
    DOT11_LOG(auth, ULOG_DEBUG, "PSK R0KH derived %s with %s %08x%08x%08x%08x for STA " DOT11_MACF,
              ft ? "PMK-R1" : "PMK", ft ? "PMKR1Name" : "PMKID",
              crypto_bytes::load_be32(sta->pmkid), crypto_bytes::load_be32(sta->pmkid + 4),
              crypto_bytes::load_be32(sta->pmkid + 8), crypto_bytes::load_be32(sta->pmkid + 12),
              DOT11_MACA(sta->mac));
}

namespace {

// The FTIE's elements into out, with room for the MIC and the wrapped GTK
// (its place in *key_at): the FTIE's length.
size_t ftie_layout(dot11_rsna *sta, const uint8_t *anonce, const uint8_t *snonce, bool mic,
                   bool gtk, uint64_t rsc, size_t count, uint8_t *out, size_t *key_at)
{
    dot11_auth *auth = sta->auth;
    const dot11_auth_config *c = &auth->config;
    memset(out, 0, DOT11_FTIE_SUBELEMS);
    out[0] = DOT11_EID_FTIE;
    out[DOT11_FTIE_MIC_COUNT] = mic ? uint8_t(count + 1) : 0;
    if (anonce) memcpy(out + DOT11_FTIE_ANONCE, anonce, DOT11_NONCE_LEN);
    if (snonce) memcpy(out + DOT11_FTIE_SNONCE, snonce, DOT11_NONCE_LEN);
    size_t pos = DOT11_FTIE_SUBELEMS;
    out[pos++] = DOT11_FTIE_R1KH_ID;
    out[pos++] = 6;
    memcpy(out + pos, c->bss_mac, 6);
    pos += 6;
    *key_at = 0;
    if (gtk) {
        size_t k = auth->key_length;
        UGW_ASSERT(k >= 16 && "auth->_impl.key_length >= 16");
        UGW_ASSERT(k % 8 == 0 && "auth->_impl.key_length % 8 == 0");
        UGW_ASSERT(k <= 32 && "auth->_impl.key_length <= 32");
        out[pos++] = DOT11_FTIE_GTK;
        out[pos++] = uint8_t(k + 19);
        out[pos++] = auth->GN & 3;
        out[pos++] = 0;
        out[pos++] = uint8_t(k);
        dot11_store_le64(out + pos, rsc);
        pos += 8;
        *key_at = pos;
        pos += k + 8;
    }
    size_t n = c->r0kh_id_len > size_t(DOT11_FT_R0KH_ID_MAX) ? size_t(DOT11_FT_R0KH_ID_MAX)
                                                             : c->r0kh_id_len;
    out[pos++] = DOT11_FTIE_R0KH_ID;
    out[pos++] = uint8_t(n);
    memcpy(out + pos, c->dot11FTR0KeyHolderID, n);
    pos += n;
    UGW_ASSERT(pos <= DOT11_AUTH_MAX_FTIE_SIZE && "pos <= DOT11_AUTH_MAX_FTIE_SIZE");
    out[1] = uint8_t(pos - 2);
    return pos;
}

} // namespace

size_t dot11_generate_ftie(dot11_rsna *sta, const uint8_t *anonce, const uint8_t *snonce, bool mic,
                           bool gtk, uint64_t rsc, const uint8_t *const *ies, size_t count,
                           uint8_t *out)
{
    dot11_auth *auth = sta->auth;
    const dot11_auth_config *c = &auth->config;
    size_t key_at;
    size_t pos = ftie_layout(sta, anonce, snonce, mic, gtk, rsc, count, out, &key_at);
    size_t k = auth->key_length;
    if (gtk && !mic) {
        memcpy(out + key_at, auth->gtk[auth->GN], k);
        aes_key_wrap(out + key_at, sta->ptk + DOT11_KCK_LEN, k / 8);
    }
    // With a MIC the wrap runs beside it.
    if (mic && gtk)
        dot11_ft_mic_wrap(out, key_at, auth->gtk[auth->GN], k / 8, dot11_auth_ft_kck(auth, sta->ptk),
                          sta->ptk + DOT11_KCK_LEN, sta->mac, c->bss_mac, 6, ies, count,
                          out + DOT11_FTIE_MIC);
    else if (mic)
        dot11_ft_mic(out, dot11_auth_ft_kck(auth, sta->ptk), sta->mac, c->bss_mac, 6, ies, count,
                     out + DOT11_FTIE_MIC);
    // The response is the key's last use.
    dot11_auth_ft_kck_wipe(auth);
    return pos;
}

int dot11_ft_check_and_seal(dot11_rsna *sta, const uint8_t *req_rsn, const uint8_t *req_ftie,
                            uint8_t mic[16])
{
    dot11_auth *auth = sta->auth;
    const dot11_auth_config *c = &auth->config;
    size_t k = auth->key_length;
    if (k < 16 || k % 8 || k > 32) return -1;
    uint64_t tsc = (uint64_t(1) << 48) - 1;
    if (!auth->ops.get_tsc || auth->ops.get_tsc(auth->ops.user, auth, nullptr, auth->GN, &tsc) < 0)
        return -1;
    rsn_with_pmkid rsn(auth, sta->pmkr1name);
    const uint8_t *mic_ies[2] = {rsn.ie, auth->ie_mdie};
    const uint8_t *req_ies[2] = {req_rsn, auth->ie_mdie};
    size_t key_at;
    ftie_layout(sta, sta->anonce, sta->snonce, true, true, tsc, 2, auth->ft_resp, &key_at);
    if (dot11_ft_mic_wrap(auth->ft_resp, key_at, auth->gtk[auth->GN], k / 8,
                          dot11_auth_ft_kck(auth, sta->ptk), sta->ptk + DOT11_KCK_LEN, sta->mac,
                          c->bss_mac, 6, mic_ies, 2, auth->ft_resp + DOT11_FTIE_MIC,
                          {req_ftie, sta->mac, c->bss_mac, 5, req_ies, 2}, mic) < 0)
        return -1;
    auth->ft_resp_sta = sta;
    auth->ft_resp_gtk = auth->gtk_serial;
    return 0;
}
