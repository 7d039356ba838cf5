// A BSS and one station brought to a chosen state, for the authenticator's
// fuzz targets: the prefix byte picks the configuration (bits 0-1: open
// system, RSN-PSK, RSN-PSK-SHA256, WPA-PSK TKIP) and the state (bits 2-4:
// fresh, authenticated, awaiting 2/4, awaiting 4/4, authorized, in a group
// handshake), bit 5 lets a second of timers run after the frame.
#pragma once

#include <cstring>

#include "common/packet.h"
#include "common/timer.h"
#include "dot11/dot11_auth.h"
#include "dot11/dot11_frame.h"
#include "dot11/dot11_keygen.h"

namespace fuzz_dot11 {

const uint8_t kBss[6] = {0x02, 0, 0x5e, 0x10, 0, 1};
const uint8_t kSta[6] = {0x02, 0, 0x5e, 0x20, 0, 2};
const uint8_t kSsid[] = "fuzz";

struct host {
    timetable *tt = timetable_create(0);
    mempool *pool;
    uint8_t last[2048];
    size_t last_len = 0;
    dot11_auth_ops ops{};
    dot11_auth auth{};
    dot11_rsna sta{};
    uint8_t ptk[64];
    uint64_t replay = 0;

    host()
    {
        packet_pool_config c{};
        c.buffer_size = 4096;
        c.headroom = 64;
        c.tailroom = 32;
        c.packet_count = 16;
        c.buffer_count = 16;
        pool = packet_pool_create(&c);
        ops = {
            .user = this,
            .send_ether = [](void *u, dot11_rsna *, packet *p) {
                host *h = static_cast<host *>(u);
                h->last_len = p->length < sizeof h->last ? p->length : 0;
                memcpy(h->last, p->data, h->last_len);
            },
            .send_mgmt = nullptr,
            .authenticated = nullptr,
            .deauthenticated = nullptr,
            .associated = nullptr,
            .disassociated = nullptr,
            .authorized = nullptr,
            .deauthorized = nullptr,
            .install_key = [](void *, dot11_auth *, dot11_rsna *, uint32_t, unsigned, const uint8_t *,
                              size_t) { return 0; },
            .activate_key = [](void *, dot11_rsna *) { return 0; },
            .set_key_state = nullptr,
            .get_tsc = [](void *, dot11_auth *, dot11_rsna *, unsigned, uint64_t *tsc) {
                *tsc = 7;
                return 0;
            },
            .get_idle = nullptr,
            .timer_start = [](void *u, dot11_auth *, timer *t, uint32_t ms, timer_fn fn) {
                host *h = static_cast<host *>(u);
                timetable_cancel(h->tt, t);
                timetable_schedule(h->tt, t, ms, fn);
            },
            .timer_stop = [](void *u, dot11_auth *, timer *t) {
                timetable_cancel(static_cast<host *>(u)->tt, t);
            },
        };
    }

    void mlme(const uint8_t *f, size_t n)
    {
        packet *p = packet_from_bytes(pool, f, n);
        if (p) {
            dot11_auth_recv_mlme(&sta, p);
            packet_release(p);
        }
    }
    void tods(const uint8_t *f, size_t n)
    {
        packet *p = packet_from_bytes(pool, f, n);
        if (p) {
            dot11_auth_recv_tods(&sta, p);
            packet_release(p);
        }
    }

    // A station response sealed with the PTK the station would hold.
    void respond(uint16_t info, const uint8_t *nonce, const uint8_t *data, size_t n)
    {
        uint8_t f[14 + EAPOL_KEY_DATA + 64] = {};
        memcpy(f, kBss, 6);
        memcpy(f + 6, kSta, 6);
        f[12] = 0x88;
        f[13] = 0x8e;
        uint8_t *k = f + 14;
        k[0] = 1;
        k[1] = 3;
        size_t body = EAPOL_KEY_DATA - 4 + n;
        k[2] = uint8_t(body >> 8);
        k[3] = uint8_t(body);
        k[EAPOL_KEY_DESC] = sta.suites.desc_type;
        info |= sta.suites.desc_version;
        k[EAPOL_KEY_INFO] = uint8_t(info >> 8);
        k[EAPOL_KEY_INFO + 1] = uint8_t(info);
        for (int i = 0; i < 8; i++)
            k[EAPOL_KEY_REPLAY + i] = uint8_t(replay >> (56 - 8 * i));
        if (nonce)
            memcpy(k + EAPOL_KEY_NONCE, nonce, 32);
        k[EAPOL_KEY_DATA_LEN + 1] = uint8_t(n);
        if (n)
            memcpy(k + EAPOL_KEY_DATA, data, n);
        dot11_eapol_mic(k, EAPOL_KEY_DATA + n, ptk, nullptr);
        tods(f, 14 + EAPOL_KEY_DATA + n);
    }

    bool setup(uint8_t knob)
    {
        dot11_auth_config c{};
        memcpy(c.bss_mac, kBss, 6);
        memcpy(c.ssid, kSsid, 4);
        c.ssid_len = 4;
        unsigned kind = knob & 3;
        if (kind) {
            c.flags_a = DOT11_CFG_A_RSNA_ACTIVATED | (DOT11_REKEY_TIME << 1);
            bool wpa = kind == 3;
            c.dot11RSNAConfigGroupCipher = wpa ? DOT11_CIPHER_WPA_TKIP : DOT11_CIPHER_CCMP;
            c.dot11RSNAConfigPairwiseCipher[0] = wpa ? DOT11_CIPHER_WPA_TKIP : DOT11_CIPHER_CCMP;
            c.dot11RSNAConfigAuthenticationSuite[0] =
                kind == 1 ? DOT11_AKM_PSK : kind == 2 ? DOT11_AKM_PSK_SHA256 : DOT11_AKM_WPA_PSK;
            memset(c.dot11RSNAConfigPSKValue, 0x42, 32);
            c.dot11RSNAConfigGroupRekeyTime = 3600;
            c.dot11RSNAConfigGroupUpdateCount = 1;
            c.dot11RSNAConfigPairwiseUpdateCount = 1;
            c.dot11RSNAConfigPMKLifetime = 3600;
            c.dot11RSNAConfigPMKReauthThreshold = 70;
            c.dot11BssMaxIdlePeriod = 5;
        }
        if (dot11_auth_init(&auth, &c, &ops, nullptr, pool) < 0 || dot11_auth_attach_sta(&auth, &sta, kSta) < 0)
            return false;
        unsigned state = (knob >> 2) & 7;
        if (!state)
            return true;
        uint8_t f[128];
        dot11_make_hdr(f, kBss, kSta, DOT11_ST_AUTH, DOT11_TO_BSS);
        const uint8_t auth_body[6] = {0, 0, 1, 0, 0, 0};
        memcpy(f + DOT11_HDR_LEN, auth_body, 6);
        mlme(f, DOT11_HDR_LEN + 6);
        if (state == 1)
            return true;
        static const uint8_t rsn[] = {0x30, 0x14, 1, 0, 0, 0x0f, 0xac, 4, 1, 0, 0, 0x0f, 0xac, 4,
                                      1, 0, 0, 0x0f, 0xac, 2, 0, 0};
        static const uint8_t wpa[] = {0xdd, 0x16, 0, 0x50, 0xf2, 1, 1, 0, 0, 0x50, 0xf2, 2,
                                      1, 0, 0, 0x50, 0xf2, 2, 1, 0, 0, 0x50, 0xf2, 2};
        uint8_t ie[24];
        size_t ie_len = kind == 3 ? sizeof wpa : sizeof rsn;
        memcpy(ie, kind == 3 ? wpa : rsn, ie_len);
        if (kind == 2)
            ie[19] = 6;
        dot11_make_hdr(f, kBss, kSta, DOT11_ST_ASSOC_REQ, DOT11_TO_BSS);
        size_t n = DOT11_HDR_LEN;
        const uint8_t fixed[] = {0x11, 0, 10, 0, 0, 4, 'f', 'u', 'z', 'z'};
        memcpy(f + n, fixed, sizeof fixed);
        n += sizeof fixed;
        if (kind) {
            memcpy(f + n, ie, ie_len);
            n += ie_len;
        }
        mlme(f, n);
        if (state == 2 || !kind || last_len < 14 + EAPOL_KEY_DATA)
            return true;
        // 2/4 from the station.
        const uint8_t *m1 = last + 14;
        uint8_t anonce[32], snonce[32];
        memcpy(anonce, m1 + EAPOL_KEY_NONCE, 32);
        memset(snonce, 0x77, 32);
        replay = 0;
        for (int i = 0; i < 8; i++)
            replay = replay << 8 | m1[EAPOL_KEY_REPLAY + i];
        if (kind == 2)
            dot11_derive_ptk_sha256(sta.pmk, 48, kBss, kSta, anonce, snonce, ptk);
        else
            dot11_derive_ptk(sta.pmk, kBss, kSta, anonce, snonce, ptk);
        respond(EAPOL_KEY_INFO_PAIRWISE | EAPOL_KEY_INFO_MIC, snonce, ie, ie_len);
        if (state == 3 || last_len < 14 + EAPOL_KEY_DATA)
            return true;
        for (int i = 0; i < 8; i++)
            replay = replay << 8 | last[14 + EAPOL_KEY_REPLAY + i];
        respond(EAPOL_KEY_INFO_PAIRWISE | EAPOL_KEY_INFO_MIC | (kind == 3 ? 0 : EAPOL_KEY_INFO_SECURE),
                nullptr, nullptr, 0);
        if (state == 5 && kind != 3) {
            auth.GTKReKey = true;
            dot11_auth_kick(&sta);
        }
        return true;
    }

    void finish(uint8_t knob)
    {
        if (knob & 0x20) {
            for (int i = 0; i < 3; i++) {
                timetable_set_now(tt, timetable_now(tt) + 1000);
                timetable_manage(tt);
            }
        }
        dot11_auth_detach_sta(&sta);
        dot11_auth_stop(&auth);
        timetable_destroy(tt);
        mempool_unref(pool);
    }
};

} // namespace fuzz_dot11
