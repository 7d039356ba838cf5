// Ethernet frames of a station towards the DS, and EAPOL-Key frames in both
// directions: validation, the replay window, building, sealing and sending.
//
// The replay window takes each counter sent in the current step once: 1/4s
// while 2/4 is awaited, 3/4s while 4/4 is, Group 1/2s during a group
// handshake. A response's counter is marked as seen only once its MIC holds,
// so a forgery cannot use up the real answer's counter. Requests act only
// with a PTK, a valid MIC and a counter above the last accepted request.
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

constexpr size_t ETH_HDR_LEN = 14;
constexpr size_t EAPOL_HDR_LEN = 4;

bool tkip_pairwise(const dot11_rsna *sta)
{
    return dot11_cipher_is_tkip(sta->suites.pairwise);
}

void rxh_eapol(dot11_rsna *sta, uint8_t *key, size_t len)
{
    dot11_auth *auth = sta->auth;
    sta->EAPOLKeyReceived = false;
    if (len < EAPOL_KEY_DATA) {
        DOT11_LOG(auth, ULOG_DEBUG, "Discarding short EAPOL-Key packet %u bytes", unsigned(len));
        return;
    }
    size_t body = dot11_load_be16(key + EAPOL_LENGTH);
    if (len < body + EAPOL_HDR_LEN) {
        DOT11_LOG(auth, ULOG_DEBUG, "Discarding EAPOL-Key with bad length %u", unsigned(len));
        return;
    }
    len = body + EAPOL_HDR_LEN;
    uint8_t desc = key[EAPOL_KEY_DESC];
    if (desc != sta->suites.desc_type) {
        if (desc != 2 && desc != 254) {
            DOT11_LOG(auth, ULOG_DEBUG, "Discarding EAPOL-Key with bad desc type %u", desc);
            return;
        }
        DOT11_LOG(auth, ULOG_DEBUG, "Accepting EAPOL-Key desc type mismatch %u (%u)", desc,
                  sta->suites.desc_type);
    }
    uint16_t info = dot11_load_be16(key + EAPOL_KEY_INFO);
    if ((info & EAPOL_KEY_INFO_VERSION) != sta->suites.desc_version) {
        DOT11_LOG(auth, ULOG_DEBUG, "Discardig EAPOL-Key with bad version %u",
                  unsigned(info & EAPOL_KEY_INFO_VERSION));
        return;
    }
    size_t kdl = dot11_load_be16(key + EAPOL_KEY_DATA_LEN);
    if (len < EAPOL_KEY_DATA + kdl) {
        DOT11_LOG(auth, ULOG_DEBUG, "Discarding EAPOL-Key with bad key data length %u", unsigned(kdl));
        return;
    }
    uint64_t counter = dot11_load_be64(key + EAPOL_KEY_REPLAY);
    bool verified = false;
    if (info & EAPOL_KEY_INFO_REQUEST) {
        if (!sta->has_ptk || !(info & EAPOL_KEY_INFO_MIC) ||
            (sta->req_replay_set && counter <= sta->req_replay) ||
            dot11_check_eapol_mic(sta, sta->ptk, key, len) < 0) {
            DOT11_LOG(auth, ULOG_DEBUG, "Discarding EAPOL-Key from " DOT11_MACF, DOT11_MACA(sta->mac));
            return;
        }
        verified = true;
        sta->req_replay = counter;
        sta->req_replay_set = true;
        if (info & EAPOL_KEY_INFO_ERROR) {
            if (tkip_pairwise(sta)) {
                DOT11_LOG(auth, ULOG_DEBUG, "Remote TKIP MIC error from STA " DOT11_MACF,
                          DOT11_MACA(sta->mac));
                sta->mib.dot11RSNAStatsTKIPRemoteMICFailures++;
                auth->config.dot11RSNAStatsTKIPRemoteMICFailures++;
                auth->MICFailureReported = true;
            } else {
                DOT11_LOG(auth, ULOG_INFO, "Rekeying PTK due to error report from STA " DOT11_MACF,
                          DOT11_MACA(sta->mac));
                sta->PTKRequest = true;
            }
        } else if (!(info & EAPOL_KEY_INFO_PAIRWISE)) {
            DOT11_LOG(auth, ULOG_INFO, "STA " DOT11_MACF " requested a new GTK - rekeying",
                      DOT11_MACA(sta->mac));
            auth->GTKReKey = true;
        } else {
            DOT11_LOG(auth, ULOG_INFO, "STA " DOT11_MACF " requested a new PTK - rekeying",
                      DOT11_MACA(sta->mac));
            sta->PTKRequest = true;
        }
    } else {
        if (info & EAPOL_KEY_INFO_ACK) {
            DOT11_LOG(auth, ULOG_DEBUG, "Discarding EAPOL-Key from " DOT11_MACF, DOT11_MACA(sta->mac));
            return;
        }
        uint64_t d = sta->replay - counter;
        if (counter > sta->replay || counter < sta->replay_step || d > 31 ||
            (sta->replay_seen >> d & 1)) {
            DOT11_LOG(auth, ULOG_DEBUG,
                      "Discarding EAPOL-Key from " DOT11_MACF " with unexpected replay counter %llu",
                      DOT11_MACA(sta->mac), (unsigned long long)counter);
            return;
        }
        if (d)
            DOT11_LOG(auth, ULOG_DEBUG, "Accepting EAPOL-Key from " DOT11_MACF " with replay counter %llu",
                      DOT11_MACA(sta->mac), (unsigned long long)counter);
        sta->replay_d = uint8_t(d);
        // A 2/4 is checked by the machine against the PTK of its own SNonce.
        bool awaiting_2of4 = (info & EAPOL_KEY_INFO_PAIRWISE) &&
                             (sta->r1kh_state == DOT11_R1KH_FT_PTK_START ||
                              sta->r1kh_state == DOT11_R1KH_FT_PTK_CALC_NEGOTIATING);
        verified = !awaiting_2of4 && sta->has_ptk && (info & EAPOL_KEY_INFO_MIC) &&
                   dot11_check_eapol_mic(sta, sta->ptk, key, len) == 0;
        if (verified)
            dot11_eapol_accept_replay(sta);
    }
    sta->EAPOLKeyReceived = true;
    sta->EAPOLKeyPairwise = info & EAPOL_KEY_INFO_PAIRWISE;
    sta->EAPOLKeyRequest = info & EAPOL_KEY_INFO_REQUEST;
    sta->EAPOLKeySecure = info & EAPOL_KEY_INFO_SECURE;
    sta->MICVerified = verified;
    sta->IEsMatch = false;
    if (sta->EAPOLKeyPairwise && !sta->EAPOLKeyRequest)
        sta->pairwise_responses++;
    sta->frame = key;
    sta->frame_len = len;
    dot11_auth_run_unless_running(auth, sta);
    sta->frame = nullptr;
    sta->frame_len = 0;
}

} // namespace

void dot11_eapol_accept_replay(dot11_rsna *sta)
{
    sta->replay_seen |= uint32_t(1) << sta->replay_d;
}

void dot11_auth_recv_tods(dot11_rsna *sta, packet *p)
{
    dot11_auth *auth = sta->auth;
    if (packet_isfragmented(p)) {
        DOT11_LOG(auth, ULOG_DEBUG, "Discarding fragmented Ethernet frame %u bytes", unsigned(p->length));
        return;
    }
    size_t len = p->length;
    if (len < ETH_HDR_LEN) {
        DOT11_LOG(auth, ULOG_DEBUG, "Discarding short Ethernet frame %u bytes", unsigned(len));
        return;
    }
    uint16_t type = dot11_load_be16(p->data + DOT11_RRB_ETHERTYPE);
    bool rsna = auth->config.flags_a & DOT11_CFG_A_RSNA_ACTIVATED;
    if (!rsna || (type != DOT11_ETH_EAPOL && type != DOT11_ETH_PREAUTH)) {
        if (type == DOT11_ETH_RRB) {
            if (dot11_decap_rrb(p) < 0) {
                DOT11_LOG(auth, ULOG_DEBUG, "Discarding bad RRB frame %u bytes", unsigned(len));
                return;
            }
            dot11_auth_recv_mlme(sta, p);
            return;
        }
        DOT11_LOG(auth, ULOG_DEBUG, "Discarding Ethernet frame %u bytes of type %04x", unsigned(len), type);
        return;
    }
    // The Ethernet header and the EAPOL header: Start, Logoff and short EAP
    // frames are that long.
    if (len < ETH_HDR_LEN + EAPOL_HDR_LEN) {
        DOT11_LOG(auth, ULOG_DEBUG, "Discarding short EAPOL packet %u bytes", unsigned(len - ETH_HDR_LEN));
        return;
    }
    uint8_t ptype = p->data[ETH_HDR_LEN + EAPOL_TYPE];
    if (ptype != 3) {
        dot11_r0kh *r0kh = sta->r0kh;
        if (ptype == 1 && r0kh) {
            // Only the pre-authentication type asks another AP: an EAPOL-Start
            // to the PAE group address is for this BSS.
            if (type == DOT11_ETH_EAPOL) {
                DOT11_LOG(auth, ULOG_DEBUG,
                          "Received EAPOL-Start from " DOT11_MACF
                          " for %s PMKSA - starting full 802.1X %sauthentication",
                          DOT11_MACA(sta->mac), sta->pmksa_valid ? "cached" : "current",
                          r0kh->sa ? "re" : "");
                memset(r0kh->name, 0, sizeof r0kh->name);
                sta->pmksa_valid = false;
                sta->GetR1SA = true;
            } else {
                const uint8_t *dst = p->data;
                DOT11_LOG(auth, ULOG_DEBUG,
                          "STA " DOT11_MACF " requests RSN pre-authentication with " DOT11_MACF,
                          DOT11_MACA(sta->mac), DOT11_MACA(dst));
                memset(r0kh->name, 0, sizeof r0kh->name);
                memcpy(r0kh->bssid, dst, 6);
                r0kh->akm = sta->suites.akm;
                r0kh->cipher = sta->suites.pairwise;
                r0kh->request |= DOT11_R0KH_REQ_PREAUTH;
                dot11_r0kh_notify(r0kh);
            }
            dot11_auth_run_unless_running(auth, sta);
            if (sta->r0kh) dot11_send_ether_ds(sta, p);
            return;
        }
        if (r0kh) {
            dot11_send_ether_ds(sta, p);
            return;
        }
        if (ptype == 1)
            dot11_auth_run_unless_running(auth, sta);
        DOT11_LOG(auth, ULOG_DEBUG, "Discarding EAPOL packet of bad type %u", ptype);
        return;
    }
    UGW_ASSERT(ETH_HDR_LEN <= packet_headsize(p));
    rxh_eapol(sta, p->data + ETH_HDR_LEN, len - ETH_HDR_LEN);
}

int dot11_check_eapol_mic(dot11_rsna *sta, const uint8_t *ptk, const uint8_t *eapol, size_t len)
{
    // The MIC is computed over the frame with its MIC field zero: on the
    // caller's bytes, put back afterwards.
    uint8_t *frame = const_cast<uint8_t *>(eapol);
    uint8_t got[16], want[16];
    memcpy(got, frame + EAPOL_KEY_MIC, 16);
    int rc = dot11_eapol_mic(frame, len, ptk, want);
    memcpy(frame + EAPOL_KEY_MIC, got, 16);
    if (rc < 0 || secure_compare(got, want, 16) != 0) {
        secure_wipe(want, sizeof want);
        DOT11_LOG(sta->auth, ULOG_DEBUG, "Invalid MIC in EAPOL-Key from " DOT11_MACF, DOT11_MACA(sta->mac));
        return -1;
    }
    secure_wipe(want, sizeof want);
    return 0;
}

int dot11_check_eapol_ies(dot11_rsna *sta, const uint8_t *eapol, size_t len, const uint8_t *ie)
{
    const char *what = "RSN";
    if (ie) {
        size_t kdl = dot11_load_be16(eapol + EAPOL_KEY_DATA_LEN);
        const uint8_t *data = eapol + EAPOL_KEY_DATA;
        if (EAPOL_KEY_DATA + kdl <= len) {
            const uint8_t *found =
                ie[0] == DOT11_EID_VENDOR ? dot11_ie_find(data, kdl, DOT11_EID_VENDOR, 0x0050f201)
                                          : dot11_ie_find(data, kdl, ie[0], 0);
            if (found && dot11_ie_equal(found, ie))
                return 0;
        }
        what = ie[0] == DOT11_EID_VENDOR ? "WPA" : ie[0] == DOT11_EID_MDIE ? "MD"
                                                 : ie[0] == DOT11_EID_FTIE ? "FT" : "RSN";
    }
    DOT11_LOG(sta->auth, ULOG_DEBUG, "%sIE mismatch in EAPOL-Key from " DOT11_MACF, what,
              DOT11_MACA(sta->mac));
    return -1;
}

packet *dot11_generate_eapol(dot11_rsna *sta, bool secure, bool mic, bool install, bool pairwise,
                             bool encrypted, uint32_t rsc_hi, uint32_t rsc_lo,
                             const uint8_t *nonce, const uint8_t *const *ies, size_t count,
                             bool gtk, bool pmkid)
{
    dot11_auth *auth = sta->auth;
    bool wpa = sta->suites.desc_type == 254;
    size_t kdl = dot11_ie_concat(nullptr, 0, ies, count);
    size_t gtk_len = 0;
    if (gtk)
        gtk_len = wpa ? auth->key_length : size_t(2) + 6 + auth->key_length;
    kdl += gtk_len;
    if (pmkid)
        kdl += 2 + 20;
    packet *p = packet_alloc(auth->pool, EAPOL_KEY_DATA + kdl + 16);
    if (!p) {
        DOT11_LOG(auth, ULOG_DEBUG, "Out of buffer space");
        return nullptr;
    }
    packet_trim(p, 16);
    uint8_t *f = p->data;
    memset(f, 0, EAPOL_KEY_DATA + kdl);
    f[EAPOL_VERSION] = 2;
    f[EAPOL_TYPE] = 3;
    dot11_store_be16(f + EAPOL_LENGTH, uint16_t(EAPOL_KEY_DATA - EAPOL_HDR_LEN + kdl));
    f[EAPOL_KEY_DESC] = sta->suites.desc_type;
    uint16_t info = sta->suites.desc_version | EAPOL_KEY_INFO_ACK;
    if (secure)
        info |= EAPOL_KEY_INFO_SECURE;
    if (mic)
        info |= EAPOL_KEY_INFO_MIC;
    if (install)
        info |= EAPOL_KEY_INFO_INSTALL;
    if (pairwise)
        info |= EAPOL_KEY_INFO_PAIRWISE;
    if (encrypted && !wpa)
        info |= EAPOL_KEY_INFO_ENCRYPTED;
    if (wpa && gtk)
        info |= uint16_t((auth->GN & 3) << 4);
    dot11_store_be16(f + EAPOL_KEY_INFO, info);
    dot11_store_be16(f + EAPOL_KEY_LENGTH, pairwise ? sta->suites.tk_len : auth->key_length);
    sta->replay++;
    sta->replay_seen <<= 1;
    dot11_store_be64(f + EAPOL_KEY_REPLAY, sta->replay);
    if (nonce)
        memcpy(f + EAPOL_KEY_NONCE, nonce, DOT11_NONCE_LEN);
    dot11_store_le64(f + EAPOL_KEY_RSC, uint64_t(rsc_hi) << 32 | rsc_lo);
    dot11_store_be16(f + EAPOL_KEY_DATA_LEN, uint16_t(kdl));
    uint8_t *d = f + EAPOL_KEY_DATA;
    size_t n = dot11_ie_concat(d, kdl, ies, count);
    d += n;
    if (gtk) {
        if (!wpa) {
            *d++ = DOT11_EID_VENDOR;
            *d++ = uint8_t(6 + auth->key_length);
            *d++ = 0x00;
            *d++ = 0x0f;
            *d++ = 0xac;
            *d++ = 1;
            *d++ = auth->GN & 3;
            *d++ = 0;
        }
        memcpy(d, auth->gtk[auth->GN], auth->key_length);
        d += auth->key_length;
    }
    if (pmkid) {
        const uint8_t kde[6] = {DOT11_EID_VENDOR, 20, 0x00, 0x0f, 0xac, 4};
        memcpy(d, kde, sizeof kde);
        memcpy(d + 6, sta->pmkid, 16);
    }
    return p;
}

int dot11_finalize_eapol(dot11_rsna *sta, packet *p, bool encrypt)
{
    uint8_t *f = p->data;
    if (encrypt) {
        size_t before = dot11_load_be16(f + EAPOL_KEY_DATA_LEN);
        size_t cap = p->length + packet_tailroom(p);
        if (dot11_eapol_encrypt_key_data(f, cap, sta->ptk + DOT11_KCK_LEN, sta->auth->counter) < 0)
            return -1;
        size_t after = dot11_load_be16(f + EAPOL_KEY_DATA_LEN);
        UGW_ASSERT(after - before <= packet_tailroom(p));
        if (after > before)
            packet_put(p, after - before);
        dot11_store_be16(f + EAPOL_LENGTH, uint16_t(EAPOL_KEY_DATA - EAPOL_HDR_LEN + after));
    }
    if (dot11_load_be16(f + EAPOL_KEY_INFO) & EAPOL_KEY_INFO_MIC)
        return dot11_eapol_mic(f, p->length, sta->ptk, nullptr);
    return 0;
}

void dot11_send_eapol(dot11_rsna *sta, packet *p)
{
    dot11_auth *auth = sta->auth;
    if (packet_headroom(p) < ETH_HDR_LEN) {
        DOT11_LOG(auth, ULOG_DEBUG, "Out of buffer space");
        packet_release(p);
        return;
    }
    uint8_t *eth = packet_push(p, ETH_HDR_LEN);
    memcpy(eth + DOT11_RRB_DST, sta->mac, 6);
    memcpy(eth + DOT11_RRB_SRC, auth->config.bss_mac, 6);
    dot11_store_be16(eth + DOT11_RRB_ETHERTYPE, DOT11_ETH_EAPOL);
    packet_set_priority(p, 7);
    if (auth->ops.send_ether)
        auth->ops.send_ether(auth->ops.user, sta, p);
    packet_release(p);
}
