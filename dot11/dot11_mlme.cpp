// Management frames of a BSS: validation, the retransmission cache, the
// checks of (Re)Association and Authentication requests, Probe Responses,
// the senders, and the suite selection.
//
// A (Re)Assoc-Req is checked into the station's offer; its suites and
// element replace the station's only when the machine takes the request, so
// nothing a station sends mid-handshake changes keys in use.
#include <cstdlib>
#include <cstring>

#include "common/crypto/secure.h"
#include "common/fatal.h"
#include "dot11/dot11_auth.h"
#include "dot11/dot11_desc.h"
#include "dot11/dot11_frame.h"
#include "dot11/dot11_ie.h"
#include "dot11/dot11_r0kh.h"
#include "dot11/dot11_wire.h"

namespace {

const uint8_t kBroadcast[6] = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff};

struct mlme_ies {
    const uint8_t *ssid, *ht, *rsn, *mdie, *ftie;
};

// The elements the handlers take, in the pass that checks the list: false
// when the list does not end where the frame does.
bool collect_ies(const uint8_t *p, size_t len, mlme_ies *ies)
{
    memset(ies, 0, sizeof *ies);
    size_t pos = 0;
    for (; pos + 2 <= len && pos + 2 + p[pos + 1] <= len; pos += 2 + p[pos + 1]) {
        const uint8_t *e = p + pos;
        switch (e[0]) {
        case DOT11_EID_SSID: ies->ssid = e; break;
        case DOT11_EID_HT_CAP: ies->ht = e; break;
        case DOT11_EID_RSN: ies->rsn = e; break;
        case DOT11_EID_MDIE: ies->mdie = e; break;
        case DOT11_EID_FTIE: ies->ftie = e; break;
        case DOT11_EID_VENDOR:
            if (e[1] >= 4 && e[2] == 0x00 && e[3] == 0x50 && e[4] == 0xf2 && e[5] == 1)
                ies->rsn = e;
            break;
        default: break;
        }
    }
    return pos == len;
}

bool copy_frame(dot11_frame_copy *c, const uint8_t *p, size_t len)
{
    dot11_frame_copy_drop(c);
    c->bytes = static_cast<uint8_t *>(malloc(len));
    if (!c->bytes) {
        ulog(LOG_COMP_DOT11, ULOG_ERROR, "Memory allocation failed");
        return false;
    }
    memcpy(c->bytes, p, len);
    c->len = uint16_t(len);
    return true;
}

// Answers a retransmitted request from the cache: true when handled. Else
// the request's copy waits for its answer (keep_answer), or for the end of
// its handling when none comes (frame_end).
bool retransmit(dot11_rsna *sta, dot11_frame_copy cache[2], const uint8_t *f, size_t len)
{
    dot11_auth *auth = sta->auth;
    if (cache[0].bytes && cache[1].bytes &&
        dot11_frame_cmp({cache[0].bytes, cache[0].len}, {f, len}) == 0) {
        packet *p = packet_from_bytes(auth->pool, cache[1].bytes, cache[1].len);
        if (!p) {
            DOT11_LOG(auth, ULOG_DEBUG, "Out of buffer space");
            return true;
        }
        p->data[DOT11_HDR_FC + 1] |= DOT11_FC1_RETRY;
        DOT11_LOG(auth, ULOG_DETAIL, "Retransmit %s to STA " DOT11_MACF,
                  dot11_frame_name(dot11_load_le16(p->data)), DOT11_MACA(sta->mac));
        if (auth->ops.send_mgmt)
            auth->ops.send_mgmt(auth->ops.user, sta, p);
        packet_release(p);
        return true;
    }
    dot11_frame_copies_drop(sta, cache);
    auth->rx_pair = cache;
    auth->rx_frame = f;
    auth->rx_len = uint16_t(len);
    return false;
}

// What a frame's handling leaves, put away on every way out of it: the copy
// of a request still waiting for its answer is made, and the sealed FT
// response and the KCK kept for it are let go.
struct frame_end {
    dot11_auth *auth;
    ~frame_end()
    {
        if (auth->rx_pair) copy_frame(&auth->rx_pair[0], auth->rx_frame, auth->rx_len);
        auth->rx_pair = nullptr;
        auth->ft_resp_sta = nullptr;
        dot11_auth_ft_kck_wipe(auth);
    }
};

// Keeps the answer to a request in the pair's cache: in one allocation with
// the request when the request waits for it.
void keep_answer(dot11_rsna *sta, dot11_frame_copy pair[2], const packet *p)
{
    dot11_auth *auth = sta->auth;
    if (auth->rx_pair != pair) {
        copy_frame(&pair[1], p->data, p->length);
        return;
    }
    auth->rx_pair = nullptr;
    auto *both = static_cast<uint8_t *>(malloc(size_t(auth->rx_len) + p->length));
    if (!both) {
        ulog(LOG_COMP_DOT11, ULOG_ERROR, "Memory allocation failed");
        return;
    }
    memcpy(both, auth->rx_frame, auth->rx_len);
    memcpy(both + auth->rx_len, p->data, p->length);
    dot11_frame_copy_drop(&pair[1]);
    dot11_frame_copy_drop(&pair[0]);
    pair[0] = {both, auth->rx_len, false};
    pair[1] = {both + auth->rx_len, uint16_t(p->length), true};
}

const char *akm_label(uint32_t akm)
{
    switch (akm) {
    case DOT11_AKM_8021X: return " (802.1X)";
    case DOT11_AKM_WPA_8021X: return " (802.1X-WPA)";
    case DOT11_AKM_PSK: return " (PSK)";
    case DOT11_AKM_WPA_PSK: return " (PSK-WPA)";
    case DOT11_AKM_FT_PSK: return " (PSK-FT)";
    case DOT11_AKM_FT_8021X: return " (802.1X-FT)";
    case DOT11_AKM_8021X_SHA256: return " (802.1X-SHA256)";
    case DOT11_AKM_PSK_SHA256: return " (PSK-SHA256)";
    default: return "";
    }
}

const char *cipher_label(uint32_t c)
{
    return dot11_cipher_is_tkip(c) ? " (TKIP)" : dot11_cipher_is_ccmp(c) ? " (CCMP)" : "";
}

// Refuses a (Re)Assoc-Req. A station past association is torn down instead:
// its keys stay as they are until the Deauthentication.
void refuse_assoc(dot11_rsna *sta, uint8_t resp, uint16_t status)
{
    if (sta->Associated) {
        sta->Disconnect = true;
        dot11_auth_run_unless_running(sta->auth, sta);
        return;
    }
    if (!sta->Authenticated) {
        dot11_send_assoc_resp(sta, resp, status, nullptr, 0);
        return;
    }
    dot11_auth_disassociate(sta);
    dot11_send_assoc_resp(sta, resp, status, nullptr, 0);
}

void refuse_auth(dot11_rsna *sta, uint16_t alg, uint16_t seq, uint16_t status)
{
    if (sta->Associated) {
        sta->Disconnect = true;
        dot11_auth_run_unless_running(sta->auth, sta);
        return;
    }
    // A machine past its start waits for an association it can no longer
    // have: it starts over with the station.
    if (sta->Authenticated && sta->r1kh_state > DOT11_R1KH_R1_START) {
        sta->Deauthenticate = true;
        dot11_auth_run_unless_running(sta->auth, sta);
    }
    dot11_auth_deauthenticate(sta);
    dot11_send_auth(sta, alg, seq, status, nullptr, 0);
}

void send_probe_resp(dot11_rsna *sta)
{
    dot11_auth *auth = sta->auth;
    bool rsna = auth->config.flags_a & DOT11_CFG_A_RSNA_ACTIVATED;
    const uint8_t *ies[4];
    size_t n = 0;
    ies[n++] = auth->ie_ssid;
    if (rsna) {
        if (auth->ie_rsn[1])
            ies[n++] = auth->ie_rsn;
        if (auth->ie_wpa[1])
            ies[n++] = auth->ie_wpa;
        if ((auth->config.flags_b & DOT11_CFG_B_FT_ACTIVATED) && auth->ie_mdie[1])
            ies[n++] = auth->ie_mdie;
    }
    packet *p = packet_alloc(auth->pool, 0);
    if (!p) {
        DOT11_LOG(auth, ULOG_DEBUG, "Out of buffer space");
        return;
    }
    if (dot11_make_probe_resp(p, auth->config.bss_mac, sta->mac, rsna ? 17 : 1, 100, ies, n) == 0)
        dot11_send_mgmt(sta, p);
    else
        DOT11_LOG(auth, ULOG_DEBUG, "Out of buffer space");
    packet_release(p);
}

// The checks of a Reassoc-Req after FT authentication; sets MICVerified when
// the FTIE's MIC holds under the PTK of the FT authentication.
uint16_t check_ft_reassoc(dot11_rsna *sta, const mlme_ies *ies, const dot11_sta_suites *offer)
{
    dot11_auth *auth = sta->auth;
    const dot11_auth_config *c = &auth->config;
    if (!dot11_akm_is_ft(offer->akm) || offer->akm != sta->suites.akm) {
        DOT11_LOG(auth, ULOG_DEBUG, "Invalid AKM in FT Reassoc-Req from STA " DOT11_MACF,
                  DOT11_MACA(sta->mac));
        return 43;
    }
    if (offer->pairwise != sta->suites.pairwise) return 42;
    if (!dot11_ie_has_pmkid({ies->rsn, size_t(2) + ies->rsn[1]}, sta->pmkr1name)) {
        DOT11_LOG(auth, ULOG_DEBUG, "Invalid PMKR1Name in FT Reassoc-Req from STA " DOT11_MACF,
                  DOT11_MACA(sta->mac));
        return 53;
    }
    std::span<const uint8_t> ftie;
    if (ies->ftie) ftie = {ies->ftie, size_t(2) + ies->ftie[1]};
    if (!ies->ftie ||
        !dot11_ftie_has_subelem(ftie, DOT11_FTIE_R0KH_ID, c->dot11FTR0KeyHolderID,
                                c->r0kh_id_len) ||
        !dot11_ftie_has_subelem(ftie, DOT11_FTIE_R1KH_ID, c->bss_mac, 6)) {
        DOT11_LOG(auth, ULOG_DEBUG, "Invalid FTIE in FT Reassoc-Req from STA " DOT11_MACF,
                  DOT11_MACA(sta->mac));
        return 55;
    }
    if (sta->has_ptk) {
        uint8_t mic[16];
        const uint8_t *others[2] = {ies->rsn, auth->ie_mdie};
        // A request that can move the machine has its response sealed in the
        // pass of its MIC: the chains run side by side.
        bool sealed = sta->r1kh_state == DOT11_R1KH_FT_PMK_R1_SA_RECD &&
                      dot11_ft_check_and_seal(sta, ies->rsn, ies->ftie, mic) == 0;
        if ((sealed || dot11_ft_mic(ies->ftie, dot11_auth_ft_kck(auth, sta->ptk), sta->mac,
                                    c->bss_mac, 5, others, 2, mic) == 0) &&
            secure_compare(mic, ies->ftie + DOT11_FTIE_MIC, 16) == 0) {
            sta->MICVerified = true;
        } else {
            auth->ft_resp_sta = nullptr;
            DOT11_LOG(auth, ULOG_DEBUG, "Invalid MIC in FTIE from " DOT11_MACF,
                      DOT11_MACA(sta->mac));
        }
    }
    return 0;
}

void handle_assoc(dot11_rsna *sta, uint8_t subtype, const mlme_ies *ies, const char *name)
{
    dot11_auth *auth = sta->auth;
    uint8_t resp = subtype == DOT11_ST_ASSOC_REQ ? DOT11_ST_ASSOC_RESP : DOT11_ST_REASSOC_RESP;
    if (!ies->ssid || !dot11_ie_equal(ies->ssid, auth->ie_ssid)) {
        DOT11_LOG(auth, ULOG_DEBUG, "Invalid SSID in %s from STA " DOT11_MACF, name, DOT11_MACA(sta->mac));
        return refuse_assoc(sta, resp, 40);
    }
    dot11_sta_suites offer{};
    if (auth->config.flags_a & DOT11_CFG_A_RSNA_ACTIVATED) {
        if (!ies->rsn) {
            DOT11_LOG(auth, ULOG_DEBUG, "Missing RSN/WPA IE in %s from STA " DOT11_MACF, name,
                      DOT11_MACA(sta->mac));
            return refuse_assoc(sta, resp, 40);
        }
        // After FT authentication the suites stay those of the FT Auth: a
        // Reassoc-Req's element is checked against them, never taken.
        bool ft_reassoc = subtype == DOT11_ST_REASSOC_REQ && (sta->auth_alg & 0x7fff) == 2;
        uint16_t status = dot11_select_suites(sta, ies->rsn, false, !ft_reassoc, &offer);
        if (!status && dot11_akm_is_ft(offer.akm) &&
            (!ies->mdie || !dot11_ie_equal(ies->mdie, auth->ie_mdie))) {
            DOT11_LOG(auth, ULOG_DEBUG, "Invalid MDIE in %s from STA " DOT11_MACF, name, DOT11_MACA(sta->mac));
            dot11_suites_clear(&offer);
            return refuse_assoc(sta, resp, 54);
        }
        if (status) {
            DOT11_LOG(auth, ULOG_DEBUG, "Invalid RSN/WPA IE in %s from STA " DOT11_MACF " status %u",
                      name, DOT11_MACA(sta->mac), status);
            return refuse_assoc(sta, resp, status);
        }
    }
    if (sta->auth_alg != 0 && subtype == DOT11_ST_REASSOC_REQ && (sta->auth_alg & 0x7fff) == 2) {
        if (uint16_t status = check_ft_reassoc(sta, ies, &offer)) {
            dot11_suites_clear(&offer);
            return refuse_assoc(sta, resp, status);
        }
    } else if (sta->auth_alg != 0) {
        dot11_suites_clear(&offer);
        DOT11_LOG(auth, ULOG_DEBUG, "Invalid %s from STA " DOT11_MACF, name, DOT11_MACA(sta->mac));
        return refuse_assoc(sta, resp, 1);
    }
    const char *how = sta->auth_alg                                         ? "FT"
                      : dot11_akm_is_ft(offer.akm)                          ? "FT initial"
                      : offer.desc_type == 254                              ? "WPA"
                      : (auth->config.flags_a & DOT11_CFG_A_RSNA_ACTIVATED) ? "RSN"
                                                                            : "Open System";
    DOT11_LOG(auth, ULOG_DEBUG, "STA " DOT11_MACF " uses %s authentication", DOT11_MACA(sta->mac), how);
    dot11_suites_clear(&sta->offer);
    sta->offer = offer;
    sta->sta_flags |= DOT11_STA_INFRA;
    if (ies->ht && ies->ht[1] == 26) {
        sta->sta_flags |= DOT11_STA_HT;
        if (dot11_load_le16(ies->ht + 2) & 0x0800)
            sta->sta_flags |= DOT11_STA_AMSDU_LENGTH;
        else
            sta->sta_flags &= uint8_t(~DOT11_STA_AMSDU_LENGTH);
    }
    sta->assoc_subtype = subtype;
    if (subtype == DOT11_ST_ASSOC_REQ)
        sta->AssocRequest = true;
    else
        sta->ReassocRequest = true;
}

} // namespace

uint16_t dot11_select_suites(dot11_rsna *sta, const uint8_t *ie, bool ft_required, bool copy_ie,
                             dot11_sta_suites *offer)
{
    dot11_auth *auth = sta->auth;
    dot11_auth_config *c = &auth->config;
    dot11_ie_rsn_info info{};
    std::span<const uint8_t> span(ie, size_t(2) + ie[1]);
    if (uint16_t status = dot11_ie_parse_rsn(span, &info))
        return status;
    c->dot11RSNAGroupCipherRequested = info.group;
    c->dot11RSNAPairwiseCipherRequested = info.pairwise;
    c->dot11RSNAAuthenticationSuiteRequested = info.akm;
    uint32_t bss_group = c->dot11RSNAConfigGroupCipher;
    if (dot11_cipher_is_tkip(info.group) ? !dot11_cipher_is_tkip(bss_group)
        : dot11_cipher_is_ccmp(info.group)
            ? !dot11_cipher_is_ccmp(bss_group)
            : (dot11_cipher_is_tkip(bss_group) || dot11_cipher_is_ccmp(bss_group)))
        return 41;
    if (!dot11_config_has_cipher(c, info.pairwise))
        return 42;
    if (!dot11_config_has_akm(c, info.akm) || (ft_required && !dot11_akm_is_ft(info.akm)))
        return 43;
    if (auth->CountermeasuresActive &&
        (dot11_cipher_is_tkip(info.group) || dot11_cipher_is_tkip(info.pairwise))) {
        DOT11_LOG(auth, ULOG_DEBUG, "Association for STA " DOT11_MACF " denied due to TKIP countermeasures",
                  DOT11_MACA(sta->mac));
        return 46;
    }
    if (copy_ie) {
        uint8_t *copy = dot11_ie_dup(ie, DOT11_IE_PMKID_SPARE);
        if (!copy)
            return 1;
        offer->ie = copy;
    }
    offer->akm = info.akm;
    offer->pairwise = info.pairwise;
    offer->group = info.group;
    offer->desc_type = ie[0] == DOT11_EID_RSN ? 2 : 254;
    offer->tk_len = dot11_cipher_key_length(info.pairwise);
    offer->desc_version =
        (info.akm == DOT11_AKM_FT_8021X || info.akm == DOT11_AKM_FT_PSK ||
         info.akm == DOT11_AKM_8021X_SHA256 || info.akm == DOT11_AKM_PSK_SHA256)
            ? EAPOL_KEY_V3
        : (dot11_cipher_is_tkip(info.pairwise) && dot11_cipher_is_tkip(info.group)) ? EAPOL_KEY_V1
                                                                                    : EAPOL_KEY_V2;
    const uint8_t *a = reinterpret_cast<const uint8_t *>(&info.akm);
    const uint8_t *p = reinterpret_cast<const uint8_t *>(&info.pairwise);
    DOT11_LOG(auth, ULOG_DETAIL,
              "STA " DOT11_MACF " selected authentication %02x-%02x-%02x:%u%s with cipher %02x-%02x-%02x:%u%s",
              DOT11_MACA(sta->mac), a[0], a[1], a[2], a[3], akm_label(info.akm), p[0], p[1], p[2],
              p[3], cipher_label(info.pairwise));
    return 0;
}

void dot11_auth_recv_mlme(dot11_rsna *sta, packet *p)
{
    dot11_auth *auth = sta->auth;
    if (packet_isfragmented(p)) {
        DOT11_LOG(auth, ULOG_DEBUG, "Discarding fragmented MLME frame %u bytes", unsigned(p->length));
        return;
    }
    uint8_t *f = p->data;
    size_t len = p->length;
    if (len <= 23) {
        DOT11_LOG(auth, ULOG_DEBUG, "Discarding short 802.11 frame %u bytes", unsigned(len));
        return;
    }
    uint8_t subtype = f[0] >> 4;
    size_t fixed = dot11_frame_type_name(f[0]);
    if (fixed && subtype == DOT11_ST_ACTION && len > DOT11_HDR_LEN && f[DOT11_HDR_LEN] == DOT11_CATEGORY_FT)
        fixed += 13;
    mlme_ies ies;
    if (!fixed || fixed > len || !collect_ies(f + fixed, len - fixed, &ies)) {
        DOT11_LOG(auth, ULOG_DEBUG, "Discarding malformed MLME frame %u bytes", unsigned(len));
        return;
    }
    const uint8_t *bssid = f + DOT11_HDR_ADDR3;
    // An FT Request relayed over the DS names the AP the station is with;
    // it is for this BSS when this BSS is its target.
    bool ft_for_us = subtype == DOT11_ST_ACTION && f[DOT11_HDR_LEN] == DOT11_CATEGORY_FT &&
                     f[DOT11_HDR_LEN + 1] == DOT11_FT_REQUEST &&
                     !memcmp(f + DOT11_HDR_LEN + DOT11_FT_TARGET_AP, auth->config.bss_mac, 6);
    if (memcmp(bssid, auth->config.bss_mac, 6) && !ft_for_us &&
        (subtype != DOT11_ST_PROBE_REQ || memcmp(bssid, kBroadcast, 6))) {
        DOT11_LOG(auth, ULOG_DEBUG, "Discarding 802.11 MLME frame %u bytes to BSSID " DOT11_MACF,
                  unsigned(len), DOT11_MACA(bssid));
        return;
    }
    if (log_enabled(LOG_COMP_DOT11, ULOG_TRACE)) {
        char desc[160];
        DOT11_LOG(auth, ULOG_TRACE, "Received %s from " DOT11_MACF,
                  dot11_frame_describe(f, len, desc, sizeof desc), DOT11_MACA(sta->mac));
    }
    if (!auth->group_state)
        auth->GInit = true;
    if (!sta->r1kh_state)
        sta->Init = true;
    if (auth->GInit || sta->Init)
        dot11_auth_run_unless_running(auth, sta);
    const uint8_t *fix = f + DOT11_HDR_LEN;
    bool retry = f[DOT11_HDR_FC + 1] & DOT11_FC1_RETRY;
    if (subtype == DOT11_ST_AUTH && dot11_load_le16(fix) == 0 && dot11_load_le16(fix + 2) == 1 && !retry &&
        sta->r1kh_state > DOT11_R1KH_R1_START) {
        DOT11_LOG(auth, ULOG_DEBUG, "Terminating stale authentication for STA " DOT11_MACF,
                  DOT11_MACA(sta->mac));
        sta->Deauthenticate = true;
        dot11_auth_run_unless_running(auth, sta);
    }
    frame_end end{auth};
    if (subtype == DOT11_ST_ASSOC_REQ || subtype == DOT11_ST_REASSOC_REQ) {
        if (retransmit(sta, sta->cached_assoc, f, len))
            return;
    } else if (subtype == DOT11_ST_AUTH ||
               (subtype == DOT11_ST_ACTION && f[DOT11_HDR_LEN] == DOT11_CATEGORY_FT)) {
        if (retransmit(sta, sta->cached_auth, f, len))
            return;
    }
    sta->MICVerified = sta->IEsMatch = false;
    const char *name = dot11_frame_name(dot11_load_le16(f));
    switch (subtype) {
    case DOT11_ST_ASSOC_REQ:
    case DOT11_ST_REASSOC_REQ:
        handle_assoc(sta, subtype, &ies, name);
        break;
    case DOT11_ST_PROBE_REQ:
        send_probe_resp(sta);
        return;
    case DOT11_ST_DISASSOC:
    case DOT11_ST_DEAUTH:
        sta->Deauthenticate = true;
        break;
    case DOT11_ST_AUTH: {
        uint16_t alg = dot11_load_le16(fix), seq = dot11_load_le16(fix + 2);
        if (seq != 1) {
            DOT11_LOG(auth, ULOG_DEBUG, "Received Auth with invalid seq %u from " DOT11_MACF, seq,
                      DOT11_MACA(sta->mac));
            refuse_auth(sta, alg, uint16_t(seq + 1), 14);
            return;
        }
        bool ft = alg == 2 && (auth->config.flags_b & DOT11_CFG_B_FT_ACTIVATED);
        if (alg != 0 && !ft) {
            DOT11_LOG(auth, ULOG_DEBUG, "Bad auth algorithm %u from STA " DOT11_MACF, alg,
                      DOT11_MACA(sta->mac));
            refuse_auth(sta, alg, uint16_t(seq + 1), 13);
            return;
        }
        if (ft) {
            DOT11_LOG(auth, ULOG_DEBUG, "STA " DOT11_MACF " uses over-the-air FT authentication",
                      DOT11_MACA(sta->mac));
            dot11_sta_suites offer{};
            if (uint16_t status = dot11_check_ftaa(sta, ies.rsn, ies.mdie, ies.ftie, &offer)) {
                refuse_auth(sta, alg, uint16_t(seq + 1), status);
                return;
            }
            dot11_suites_clear(&sta->offer);
            sta->offer = offer;
        }
        sta->auth_alg = alg;
        sta->mib.dot11AuthenticationAlgorithm = alg;
        sta->AuthRequest = true;
        break;
    }
    case DOT11_ST_ACTION: {
        const uint8_t *body = f + DOT11_HDR_LEN;
        if (body[0] != DOT11_CATEGORY_FT || body[1] != DOT11_FT_REQUEST ||
            !(auth->config.flags_b & DOT11_CFG_B_FT_ACTIVATED)) {
            DOT11_LOG(auth, ULOG_DEBUG, "Dropping unsupported action %s from " DOT11_MACF,
                      dot11_action_name(f[DOT11_HDR_LEN]), DOT11_MACA(sta->mac));
            return;
        }
        const uint8_t *target = body + DOT11_FT_TARGET_AP;
        if (memcmp(target, auth->config.bss_mac, 6)) {
            DOT11_LOG(auth, ULOG_DEBUG,
                      "STA " DOT11_MACF " requests over-the-DS FT authentication with " DOT11_MACF,
                      DOT11_MACA(sta->mac), DOT11_MACA(target));
            if (!sta->r0kh || memcmp(body + DOT11_FT_STA, sta->mac, 6)) return;
            packet *c = packet_copy_single(p);
            if (!c) {
                DOT11_LOG(auth, ULOG_DEBUG, "Out of buffer space");
                return;
            }
            if (dot11_encap_rrb(c) == 0) dot11_send_ether_ds(sta, c);
            packet_release(c);
            return;
        }
        DOT11_LOG(auth, ULOG_DEBUG, "STA " DOT11_MACF " uses over-the-DS FT authentication",
                  DOT11_MACA(sta->mac));
        dot11_sta_suites offer{};
        if (memcmp(body + DOT11_FT_STA, sta->mac, 6)) {
            refuse_auth(sta, 0x8002, 0, 1);
            return;
        }
        if (uint16_t status = dot11_check_ftaa(sta, ies.rsn, ies.mdie, ies.ftie, &offer)) {
            refuse_auth(sta, 0x8002, 0, status);
            return;
        }
        dot11_suites_clear(&sta->offer);
        sta->offer = offer;
        memcpy(sta->ft_ap, bssid, 6);
        sta->auth_alg = 0x8002;
        sta->mib.dot11AuthenticationAlgorithm = 2;
        sta->AuthRequest = true;
        break;
    }
    default:
        DOT11_LOG(auth, ULOG_DEBUG, "Discarding MLME frame of unknown type %u", subtype);
        return;
    }
    sta->frame = f + fixed;
    sta->frame_len = len - fixed;
    dot11_auth_run_unless_running(auth, sta);
    sta->frame = nullptr;
    sta->frame_len = 0;
}

// Checking a Reassoc-Req and sealing its response take the same KCK: one
// schedule and one pair of subkeys serve both.
const aes_cmac_key *dot11_auth_ft_kck(dot11_auth *auth, const uint8_t kck[16])
{
    if (!auth->ft_kck_ready || secure_compare(auth->ft_kck, kck, 16) != 0) {
        memcpy(auth->ft_kck, kck, 16);
        aes_cmac_set_key(&auth->ft_kck_key, kck);
        auth->ft_kck_ready = true;
    }
    return &auth->ft_kck_key;
}

void dot11_auth_ft_kck_wipe(dot11_auth *auth)
{
    if (!auth->ft_kck_ready) return;
    secure_wipe(auth->ft_kck, sizeof auth->ft_kck);
    secure_wipe(&auth->ft_kck_key, sizeof auth->ft_kck_key);
    auth->ft_kck_ready = false;
}

void dot11_send_mgmt(dot11_rsna *sta, packet *p)
{
    dot11_auth *auth = sta->auth;
    if (log_enabled(LOG_COMP_DOT11, ULOG_DEBUG)) {
        char desc[160];
        DOT11_LOG(auth, ULOG_DEBUG, "Sending %s to " DOT11_MACF,
                  dot11_frame_describe(p->data, p->length, desc, sizeof desc), DOT11_MACA(sta->mac));
    }
    if (auth->ops.send_mgmt)
        auth->ops.send_mgmt(auth->ops.user, sta, p);
}

void dot11_send_auth(dot11_rsna *sta, uint16_t algorithm, uint16_t seq, uint16_t status,
                     const uint8_t *const *ies, size_t count)
{
    dot11_auth *auth = sta->auth;
    if (status) {
        auth->config.dot11AuthenticateFailStatus = status;
        sta->mib.dot11AuthenticateFailStatus = status;
    }
    if (algorithm == 0x8002) {
        packet *p = packet_alloc(auth->pool, 0);
        if (!p || dot11_make_action_ft_resp(p, sta->ft_ap, sta->mac, auth->config.bss_mac, status,
                                            ies, count) != 0) {
            packet_release(p);
            DOT11_LOG(auth, ULOG_DEBUG, "Out of buffer space");
            return;
        }
        if (dot11_encap_rrb(p) == 0) dot11_send_ether_ds(sta, p);
        packet_release(p);
        return;
    }
    packet *p = packet_alloc(auth->pool, 0);
    if (!p || dot11_make_auth(p, auth->config.bss_mac, sta->mac, DOT11_FROM_BSS, algorithm, seq,
                              status, ies, count) != 0) {
        packet_release(p);
        DOT11_LOG(auth, ULOG_DEBUG, "Out of buffer space");
        return;
    }
    keep_answer(sta, sta->cached_auth, p);
    dot11_send_mgmt(sta, p);
    packet_release(p);
}

void dot11_send_assoc_resp(dot11_rsna *sta, uint8_t subtype, uint16_t status,
                           const uint8_t *const *ies, size_t count)
{
    dot11_auth *auth = sta->auth;
    if (status) {
        uint16_t *field = subtype == DOT11_ST_ASSOC_RESP ? &auth->config.dot11AssociateFailStatus
                                                         : &auth->config.dot11ReassociateFailStatus;
        *field = status;
        (subtype == DOT11_ST_ASSOC_RESP ? sta->mib.dot11AssociateFailStatus
                                        : sta->mib.dot11ReassociateFailStatus) = status;
    }
    uint16_t cap = (auth->config.flags_a & DOT11_CFG_A_RSNA_ACTIVATED) ? 17 : 1;
    packet *p = packet_alloc(auth->pool, 0);
    if (!p || dot11_make_assoc_resp(p, auth->config.bss_mac, sta->mac, subtype, cap, status, ies,
                                    count) != 0) {
        packet_release(p);
        DOT11_LOG(auth, ULOG_DEBUG, "Out of buffer space");
        return;
    }
    keep_answer(sta, sta->cached_assoc, p);
    dot11_send_mgmt(sta, p);
    packet_release(p);
}

int dot11_send_deauth(dot11_rsna *sta)
{
    dot11_auth *auth = sta->auth;
    uint16_t reason = sta->reason;
    if (!reason) {
        uint8_t pmax = auth->config.dot11RSNAConfigPairwiseUpdateCount;
        if (sta->pairwise_retry > pmax) {
            reason = !sta->pairwise_responses ? 15 : sta->last_mic_bad ? 14 : sta->last_ies_bad ? 17 : 15;
            auth->config.dot11RSNA4WayHandshakeFailures++;
            sta->mib.dot11RSNA4WayHandshakeFailures++;
        } else if (sta->group_retry > auth->config.dot11RSNAConfigGroupUpdateCount) {
            reason = 16;
        } else if (sta->r0kh && (sta->r0kh->request & DOT11_R0KH_REQ_FAILED)) {
            sta->r0kh->request &= uint8_t(~DOT11_R0KH_REQ_FAILED);
            reason = 49;
        } else if (auth->CountermeasuresActive) {
            reason = 24;
        } else {
            reason = 1;
        }
    }
    if (sta->Authenticated) {
        auth->config.dot11DeauthenticateReason = reason;
        sta->mib.dot11DeauthenticateReason = reason;
        packet *p = packet_alloc(auth->pool, 0);
        if (!p || dot11_make_deauth(p, auth->config.bss_mac, sta->mac, DOT11_FROM_BSS, reason) != 0)
            DOT11_LOG(auth, ULOG_DEBUG, "Out of buffer space");
        else
            dot11_send_mgmt(sta, p);
        packet_release(p);
    }
    sta->Disconnect = false;
    sta->reason = 0;
    return 0;
}

void dot11_send_ether_ds(dot11_rsna *sta, packet *p)
{
    if (p->length >= 14)
        DOT11_LOG(sta->auth, ULOG_DETAIL,
                  "Sending Ethernet frame %u bytes of type %04x to " DOT11_MACF " over the DS",
                  unsigned(p->length), dot11_load_be16(p->data + 12), DOT11_MACA(p->data));
    dot11_r0kh_recv_eapol(sta, p);
}

void dot11_auth_recv_ds(dot11_rsna *sta, packet *p)
{
    dot11_auth *auth = sta->auth;
    if (packet_isfragmented(p) || p->length < 14) {
        DOT11_LOG(auth, ULOG_DEBUG, "Discarding short Ethernet frame %u bytes",
                  unsigned(p->length));
        return;
    }
    const uint8_t *eth = p->data;
    uint16_t type = dot11_load_be16(eth + 12);
    DOT11_LOG(auth, ULOG_DETAIL,
              "Received Ethernet frame %u bytes of type %04x from " DOT11_MACF " over the DS",
              unsigned(p->length), type, DOT11_MACA(eth + 6));
    if ((type == DOT11_ETH_EAPOL || type == DOT11_ETH_PREAUTH) && !memcmp(eth, sta->mac, 6)) {
        packet_set_priority(p, 7);
        if (auth->ops.send_ether) auth->ops.send_ether(auth->ops.user, sta, p);
        return;
    }
    if (type == DOT11_ETH_RRB && !memcmp(eth, auth->config.bss_mac, 6)) {
        // Unwrap a copy: the caller keeps its frame as it was.
        packet *c = packet_copy_single(p);
        if (!c) {
            DOT11_LOG(auth, ULOG_DEBUG, "Out of buffer space");
            return;
        }
        if (dot11_decap_rrb(c) == 0 && c->length >= size_t(DOT11_HDR_LEN) + DOT11_FT_REQ_MIN) {
            const uint8_t *body = c->data + DOT11_HDR_LEN;
            if (!memcmp(body + DOT11_FT_STA, sta->mac, 6) &&
                !memcmp(c->data + DOT11_HDR_ADDR3, auth->config.bss_mac, 6)) {
                // Out of the BSS to the station.
                memcpy(c->data + DOT11_HDR_ADDR1, sta->mac, 6);
                memcpy(c->data + DOT11_HDR_ADDR2, auth->config.bss_mac, 6);
                dot11_send_mgmt(sta, c);
            }
        }
        packet_release(c);
        return;
    }
    DOT11_LOG(auth, ULOG_DEBUG, "Discarding Ethernet frame from the DS with type %04x", type);
}

uint16_t dot11_check_ftaa(dot11_rsna *sta, const uint8_t *rsn, const uint8_t *mdie,
                          const uint8_t *ftie, dot11_sta_suites *offer)
{
    dot11_auth *auth = sta->auth;
    const dot11_auth_config *c = &auth->config;
    if (!(c->flags_b & DOT11_CFG_B_FT_ACTIVATED)) return 13;
    if (!rsn || !mdie || !ftie) {
        DOT11_LOG(auth, ULOG_DEBUG, "Missing IEs in FTAA request from STA " DOT11_MACF,
                  DOT11_MACA(sta->mac));
        return 40;
    }
    if (!dot11_ie_equal(mdie, auth->ie_mdie)) {
        DOT11_LOG(auth, ULOG_DEBUG, "Invalid MDIE in FTAA request from STA " DOT11_MACF,
                  DOT11_MACA(sta->mac));
        return 54;
    }
    if (ftie[1] < DOT11_FTIE_SUBELEMS - 2 ||
        !dot11_ftie_has_subelem({ftie, size_t(2) + ftie[1]}, DOT11_FTIE_R0KH_ID,
                                c->dot11FTR0KeyHolderID, c->r0kh_id_len)) {
        DOT11_LOG(auth, ULOG_DEBUG, "Invalid R0KH-ID in FTAA request from STA " DOT11_MACF,
                  DOT11_MACA(sta->mac));
        return 55;
    }
    if (!dot11_ie_first_pmkid({rsn, size_t(2) + rsn[1]})) {
        DOT11_LOG(auth, ULOG_DEBUG, "PMKR0Name missing in FTAA request from STA " DOT11_MACF,
                  DOT11_MACA(sta->mac));
        return 53;
    }
    uint16_t status = dot11_select_suites(sta, rsn, true, true, offer);
    if (status)
        DOT11_LOG(auth, ULOG_DEBUG,
                  "Invalid RSNIE in FTAA request from STA " DOT11_MACF " status %u",
                  DOT11_MACA(sta->mac), status);
    return status;
}
