// A station for the authenticator's tests and benchmark: it builds its own
// management and EAPOL-Key frames and derives, checks and unwraps keys with
// libcrypto only, so that it is an oracle independent of our key code. And a
// host that implements the authenticator's ops on a timing wheel whose clock
// the test moves.
#pragma once

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "common/mempool.h"
#include "common/packet.h"
#include "common/timer.h"
#include "dot11/dot11_auth.h"
#include "dot11/dot11_frame.h"

namespace sim {

using bytes = std::vector<uint8_t>;

inline void be16(uint8_t *p, uint16_t v)
{
    p[0] = uint8_t(v >> 8);
    p[1] = uint8_t(v);
}
inline uint16_t get_be16(const uint8_t *p)
{
    return uint16_t(p[0] << 8 | p[1]);
}
inline uint64_t get_be64(const uint8_t *p)
{
    uint64_t v = 0;
    for (int i = 0; i < 8; i++)
        v = v << 8 | p[i];
    return v;
}

inline bytes psk_from_passphrase(const std::string &pass, const std::string &ssid)
{
    bytes out(32);
    PKCS5_PBKDF2_HMAC_SHA1(pass.data(), int(pass.size()), reinterpret_cast<const uint8_t *>(ssid.data()),
                           int(ssid.size()), 4096, 32, out.data());
    return out;
}

inline bytes hmac(const EVP_MD *md, const bytes &key, const bytes &data)
{
    unsigned n = 0;
    uint8_t out[64];
    HMAC(md, key.data(), int(key.size()), data.data(), data.size(), out, &n);
    return bytes(out, out + n);
}

inline bytes cmac(const uint8_t key[16], const uint8_t *data, size_t len)
{
    EVP_MAC *mac = EVP_MAC_fetch(nullptr, "CMAC", nullptr);
    EVP_MAC_CTX *ctx = EVP_MAC_CTX_new(mac);
    char cipher[] = "AES-128-CBC";
    OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_CIPHER, cipher, 0),
                           OSSL_PARAM_construct_end()};
    EVP_MAC_init(ctx, key, 16, params);
    EVP_MAC_update(ctx, data, len);
    uint8_t out[16];
    size_t n;
    EVP_MAC_final(ctx, out, &n, sizeof out);
    EVP_MAC_CTX_free(ctx);
    EVP_MAC_free(mac);
    return bytes(out, out + 16);
}

// 802.11 PRF over HMAC-SHA1.
inline bytes prf(const bytes &key, const std::string &label, const bytes &data, size_t len)
{
    bytes out;
    for (uint8_t i = 0; out.size() < len; i++) {
        bytes in(label.begin(), label.end());
        in.push_back(0);
        in.insert(in.end(), data.begin(), data.end());
        in.push_back(i);
        bytes h = hmac(EVP_sha1(), key, in);
        out.insert(out.end(), h.begin(), h.end());
    }
    out.resize(len);
    return out;
}

// 802.11 KDF over HMAC-SHA256.
inline bytes kdf(const bytes &key, const std::string &label, const bytes &ctx, size_t len)
{
    bytes out;
    uint16_t bits = uint16_t(len * 8);
    for (uint16_t i = 1; out.size() < len; i++) {
        bytes in = {uint8_t(i), uint8_t(i >> 8)};
        in.insert(in.end(), label.begin(), label.end());
        in.insert(in.end(), ctx.begin(), ctx.end());
        in.push_back(uint8_t(bits));
        in.push_back(uint8_t(bits >> 8));
        bytes h = hmac(EVP_sha256(), key, in);
        out.insert(out.end(), h.begin(), h.end());
    }
    out.resize(len);
    return out;
}

inline void rc4(const uint8_t *key, size_t klen, uint8_t *data, size_t len, size_t skip)
{
    uint8_t s[256];
    for (int i = 0; i < 256; i++)
        s[i] = uint8_t(i);
    for (int i = 0, j = 0; i < 256; i++) {
        j = (j + s[i] + key[i % klen]) & 255;
        std::swap(s[i], s[j]);
    }
    int i = 0, j = 0;
    for (size_t k = 0; k < skip + len; k++) {
        i = (i + 1) & 255;
        j = (j + s[i]) & 255;
        std::swap(s[i], s[j]);
        if (k >= skip)
            data[k - skip] ^= s[(s[i] + s[j]) & 255];
    }
}

inline bool aes_unwrap(const uint8_t kek[16], const uint8_t *in, size_t len, bytes *out)
{
    EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
    EVP_CIPHER_CTX_set_flags(ctx, EVP_CIPHER_CTX_FLAG_WRAP_ALLOW);
    out->assign(len, 0);
    int n = 0, m = 0;
    bool ok = EVP_DecryptInit_ex(ctx, EVP_aes_128_wrap(), nullptr, kek, nullptr) == 1 &&
              EVP_DecryptUpdate(ctx, out->data(), &n, in, int(len)) == 1 &&
              EVP_DecryptFinal_ex(ctx, out->data() + n, &m) == 1;
    EVP_CIPHER_CTX_free(ctx);
    out->resize(size_t(n + m));
    return ok;
}

inline const bytes kRsnCcmp = {0x30, 0x14, 0x01, 0x00, 0x00, 0x0f, 0xac, 0x04, 0x01, 0x00, 0x00,
                               0x0f, 0xac, 0x04, 0x01, 0x00, 0x00, 0x0f, 0xac, 0x02, 0x00, 0x00};
inline bytes rsn_ie(uint8_t akm)
{
    bytes ie = kRsnCcmp;
    ie[19] = akm;
    return ie;
}
inline const bytes kWpaTkip = {0xdd, 0x16, 0x00, 0x50, 0xf2, 0x01, 0x01, 0x00, 0x00, 0x50, 0xf2, 0x02,
                               0x01, 0x00, 0x00, 0x50, 0xf2, 0x02, 0x01, 0x00, 0x00, 0x50, 0xf2, 0x02};

// What the station saw and derived.
struct station {
    uint8_t mac[6];
    uint8_t bss[6];
    std::string ssid;
    bytes pmk;
    bytes ie; // RSN or WPA element it associates with; empty for open system
    uint8_t akm_type = 2;
    bool wpa = false;
    uint8_t version = 2; // key descriptor version
    bytes anonce, snonce = bytes(32, 0x5a), ptk, gtk;
    uint64_t replay = 0;
    uint8_t gtk_id = 0;

    bytes frame(uint8_t subtype, const bytes &rest) const
    {
        bytes f(DOT11_HDR_LEN);
        dot11_make_hdr(f.data(), bss, mac, subtype, DOT11_TO_BSS);
        f.insert(f.end(), rest.begin(), rest.end());
        return f;
    }
    bytes auth_req(uint16_t seq = 1) const
    {
        return frame(DOT11_ST_AUTH, {0, 0, uint8_t(seq), uint8_t(seq >> 8), 0, 0});
    }
    bytes assoc_req() const
    {
        bytes rest = {0x11, 0x00, 0x0a, 0x00, 0, uint8_t(ssid.size())};
        rest.insert(rest.end(), ssid.begin(), ssid.end());
        rest.insert(rest.end(), ie.begin(), ie.end());
        return frame(DOT11_ST_ASSOC_REQ, rest);
    }

    bytes mic(const uint8_t *f, size_t len) const
    {
        if (version == 3)
            return cmac(ptk.data(), f, len);
        bytes data(f, f + len);
        bytes h = hmac(version == 1 ? EVP_md5() : EVP_sha1(), bytes(ptk.begin(), ptk.begin() + 16), data);
        h.resize(16);
        return h;
    }
    bool mic_ok(const uint8_t *f, size_t len) const
    {
        bytes c(f, f + len);
        memset(&c[EAPOL_KEY_MIC], 0, 16);
        return mic(c.data(), c.size()) == bytes(f + EAPOL_KEY_MIC, f + EAPOL_KEY_MIC + 16);
    }

    void derive_ptk()
    {
        bytes data;
        const uint8_t *a = memcmp(bss, mac, 6) < 0 ? bss : mac, *b = a == bss ? mac : bss;
        data.insert(data.end(), a, a + 6);
        data.insert(data.end(), b, b + 6);
        bool lo = memcmp(anonce.data(), snonce.data(), 32) < 0;
        const bytes &n1 = lo ? anonce : snonce, &n2 = lo ? snonce : anonce;
        data.insert(data.end(), n1.begin(), n1.end());
        data.insert(data.end(), n2.begin(), n2.end());
        size_t tk = wpa ? 32 : 16;
        if (akm_type == 6)
            ptk = kdf(pmk, "Pairwise key expansion", data, 32 + tk);
        else
            ptk = prf(pmk, "Pairwise key expansion", data, 64);
    }

    // An EAPOL-Key response as the station sends it, sealed with its MIC.
    bytes key_frame(uint16_t info, uint64_t counter, const bytes &nonce, const bytes &data, bool seal = true)
    {
        bytes f(EAPOL_KEY_DATA + data.size());
        f[0] = 1;
        f[1] = 3;
        be16(&f[2], uint16_t(f.size() - 4));
        f[EAPOL_KEY_DESC] = wpa ? 254 : 2;
        be16(&f[EAPOL_KEY_INFO], uint16_t(info | version));
        for (int i = 0; i < 8; i++)
            f[EAPOL_KEY_REPLAY + i] = uint8_t(counter >> (56 - 8 * i));
        if (!nonce.empty())
            memcpy(&f[EAPOL_KEY_NONCE], nonce.data(), 32);
        be16(&f[EAPOL_KEY_DATA_LEN], uint16_t(data.size()));
        if (!data.empty())
            memcpy(&f[EAPOL_KEY_DATA], data.data(), data.size());
        if (seal && !ptk.empty()) {
            bytes m = mic(f.data(), f.size());
            memcpy(&f[EAPOL_KEY_MIC], m.data(), 16);
        }
        return ethernet(f);
    }
    bytes ethernet(const bytes &eapol) const
    {
        bytes e(14);
        memcpy(&e[0], bss, 6);
        memcpy(&e[6], mac, 6);
        e[12] = 0x88;
        e[13] = 0x8e;
        e.insert(e.end(), eapol.begin(), eapol.end());
        return e;
    }

    // Message 1/4 in (Ethernet frame): 2/4 out.
    bytes answer_1of4(const bytes &eth, const bytes *ie_override = nullptr)
    {
        const uint8_t *f = eth.data() + 14;
        anonce.assign(f + EAPOL_KEY_NONCE, f + EAPOL_KEY_NONCE + 32);
        replay = get_be64(f + EAPOL_KEY_REPLAY);
        derive_ptk();
        return key_frame(EAPOL_KEY_INFO_PAIRWISE | EAPOL_KEY_INFO_MIC, replay, snonce,
                         ie_override ? *ie_override : ie);
    }

    // Unseals key data; false when the MIC or the unwrap fails.
    bool key_data(const uint8_t *f, bytes *out)
    {
        if (!mic_ok(f, 4 + get_be16(f + 2)))
            return false;
        size_t kdl = get_be16(f + EAPOL_KEY_DATA_LEN);
        const uint8_t *d = f + EAPOL_KEY_DATA;
        uint16_t info = get_be16(f + EAPOL_KEY_INFO);
        if (wpa && (info & EAPOL_KEY_INFO_PAIRWISE)) {
            out->assign(d, d + kdl);
            return true;
        }
        if (version == 1) {
            uint8_t key[32];
            memcpy(key, f + EAPOL_KEY_IV, 16);
            memcpy(key + 16, ptk.data() + 16, 16);
            out->assign(d, d + kdl);
            rc4(key, 32, out->data(), out->size(), 256);
            return true;
        }
        return aes_unwrap(ptk.data() + 16, d, kdl, out);
    }

    // Message 3/4 in: 4/4 out, the GTK taken. Empty when 3/4 is refused.
    bytes answer_3of4(const bytes &eth)
    {
        const uint8_t *f = eth.data() + 14;
        bytes kd;
        if (!key_data(f, &kd))
            return {};
        if (!wpa) {
            for (size_t i = 0; i + 2 <= kd.size(); i += 2 + kd[i + 1])
                if (kd[i] == 0xdd && kd[i + 1] >= 6 && kd[i + 5] == 1) {
                    gtk_id = kd[i + 6] & 3;
                    gtk.assign(kd.begin() + long(i) + 8, kd.begin() + long(i) + 2 + kd[i + 1]);
                }
        }
        replay = get_be64(f + EAPOL_KEY_REPLAY);
        uint16_t info = EAPOL_KEY_INFO_PAIRWISE | EAPOL_KEY_INFO_MIC | (wpa ? 0 : EAPOL_KEY_INFO_SECURE);
        return key_frame(info, replay, {}, {});
    }

    // Group 1/2 in: 2/2 out.
    bytes answer_group(const bytes &eth)
    {
        const uint8_t *f = eth.data() + 14;
        bytes kd;
        if (!key_data(f, &kd))
            return {};
        uint16_t info = get_be16(f + EAPOL_KEY_INFO);
        if (wpa) {
            gtk.assign(kd.begin(), kd.begin() + long(get_be16(f + EAPOL_KEY_LENGTH)));
            gtk_id = uint8_t((info & EAPOL_KEY_INFO_INDEX) >> 4);
        } else {
            for (size_t i = 0; i + 2 <= kd.size(); i += 2 + kd[i + 1])
                if (kd[i] == 0xdd && kd[i + 1] >= 6 && kd[i + 5] == 1) {
                    gtk_id = kd[i + 6] & 3;
                    gtk.assign(kd.begin() + long(i) + 8, kd.begin() + long(i) + 2 + kd[i + 1]);
                }
        }
        replay = get_be64(f + EAPOL_KEY_REPLAY);
        return key_frame(EAPOL_KEY_INFO_MIC | EAPOL_KEY_INFO_SECURE | (info & EAPOL_KEY_INFO_INDEX),
                         replay, {}, {});
    }
};

struct key_event {
    bool group;
    uint32_t cipher;
    unsigned id;
    bytes key;
};

// The daemon core's side, on a timing wheel.
struct host {
    timetable *tt = timetable_create(0);
    mempool *pool;
    std::vector<bytes> mgmt, ether;
    std::vector<key_event> keys;
    int authorized = 0, deauthorized = 0, activated = 0;
    int fail_install = 0; // installs to refuse
    uint64_t tsc = 0;
    uint32_t longest_delay = 0; // a wrap-safe 32-bit compare orders less than 2^31 ms
    dot11_auth_ops ops{};

    host()
    {
        packet_pool_config c{};
        c.buffer_size = 2048;
        c.headroom = 64;
        c.tailroom = 32;
        c.packet_count = 64;
        c.buffer_count = 64;
        pool = packet_pool_create(&c);
        ops = {
            .user = this,
            .send_ether =
                [](void *u, dot11_rsna *, packet *p) {
                    static_cast<host *>(u)->ether.emplace_back(p->data, p->data + p->length);
                },
            .send_mgmt =
                [](void *u, dot11_rsna *, packet *p) {
                    static_cast<host *>(u)->mgmt.emplace_back(p->data, p->data + p->length);
                },
            .authenticated = nullptr,
            .deauthenticated = nullptr,
            .associated = nullptr,
            .disassociated = nullptr,
            .authorized = [](void *u, dot11_rsna *,
                             const char *) { static_cast<host *>(u)->authorized++; },
            .deauthorized = [](void *u, dot11_rsna *) { static_cast<host *>(u)->deauthorized++; },
            .install_key =
                [](void *u, dot11_auth *, dot11_rsna *sta, uint32_t cipher, unsigned id,
                   const uint8_t *key, size_t len) {
                    host *h = static_cast<host *>(u);
                    if (h->fail_install > 0) {
                        h->fail_install--;
                        return -1;
                    }
                    h->keys.push_back({sta == nullptr, cipher, id, bytes(key, key + len)});
                    return 0;
                },
            .activate_key =
                [](void *u, dot11_rsna *) {
                    static_cast<host *>(u)->activated++;
                    return 0;
                },
            .set_key_state = [](void *, dot11_auth *, dot11_rsna *, int) { return 0; },
            .get_tsc =
                [](void *u, dot11_auth *, dot11_rsna *, unsigned, uint64_t *tsc) {
                    *tsc = static_cast<host *>(u)->tsc;
                    return 0;
                },
            .get_idle = nullptr,
            .timer_start =
                [](void *u, dot11_auth *, timer *t, uint32_t ms, timer_fn fn) {
                    host *h = static_cast<host *>(u);
                    h->longest_delay = std::max(h->longest_delay, ms);
                    timetable_cancel(h->tt, t);
                    timetable_schedule(h->tt, t, ms, fn);
                },
            .timer_stop = [](void *u, dot11_auth *,
                             timer *t) { timetable_cancel(static_cast<host *>(u)->tt, t); },
        };
    }
    ~host()
    {
        timetable_destroy(tt);
        mempool_unref(pool);
    }
    // Moves the clock in steps of at most a second so each timer fires in turn.
    void advance(uint64_t ms)
    {
        while (ms) {
            uint32_t step = ms > 1000 ? 1000 : uint32_t(ms);
            timetable_set_now(tt, timetable_now(tt) + step);
            timetable_manage(tt);
            ms -= step;
        }
    }
    void mlme(dot11_rsna *sta, const bytes &f)
    {
        packet *p = packet_from_bytes(pool, f.data(), f.size());
        dot11_auth_recv_mlme(sta, p);
        packet_release(p);
    }
    void tods(dot11_rsna *sta, const bytes &f)
    {
        packet *p = packet_from_bytes(pool, f.data(), f.size());
        dot11_auth_recv_tods(sta, p);
        packet_release(p);
    }
    bytes take_ether()
    {
        if (ether.empty())
            return {};
        bytes b = ether.front();
        ether.erase(ether.begin());
        return b;
    }
};

// A PSK BSS: one pairwise cipher and one AKM, or WPA with TKIP.
inline dot11_auth_config psk_config(const uint8_t bss[6], const std::string &ssid, const bytes &psk,
                                    uint32_t akm, bool wpa_tkip)
{
    dot11_auth_config c{};
    memcpy(c.bss_mac, bss, 6);
    memcpy(c.ssid, ssid.data(), ssid.size());
    c.ssid_len = uint8_t(ssid.size());
    c.flags_a = DOT11_CFG_A_RSNA_IMPLEMENTED | DOT11_CFG_A_RSNA_ACTIVATED | (DOT11_REKEY_TIME << 1);
    c.dot11RSNAConfigGroupCipher = wpa_tkip ? DOT11_CIPHER_WPA_TKIP : DOT11_CIPHER_CCMP;
    c.dot11RSNAConfigPairwiseCipher[0] = wpa_tkip ? DOT11_CIPHER_WPA_TKIP : DOT11_CIPHER_CCMP;
    c.dot11RSNAConfigAuthenticationSuite[0] = akm;
    c.dot11RSNAConfigGroupRekeyTime = 86400;
    c.dot11RSNAConfigGroupUpdateCount = 3;
    c.dot11RSNAConfigPairwiseUpdateCount = 3;
    c.dot11RSNAConfigPMKLifetime = 43200;
    c.dot11RSNAConfigPMKReauthThreshold = 70;
    c.dot11RSNAConfigSATimeout = 60;
    if (!psk.empty())
        memcpy(c.dot11RSNAConfigPSKValue, psk.data(), 32);
    return c;
}

} // namespace sim
