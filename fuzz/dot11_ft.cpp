// Fast BSS transition frames against two BSSes of one service sharing a key
// cache (FT-PSK, over the air and over the DS), with the station associated
// to the first one through the initial mobility domain association.
//
// The input is a list of records {kind, length (2 bytes), bytes}:
//   0/1  a management frame to the station's record at BSS 1 / BSS 2
//   2/3  an Ethernet frame from the station through BSS 1 / BSS 2
//   4    a frame handed to the R0 key holder side through BSS 1 (RRB and EAPOL)
//   5    an FT Auth to BSS 2 with the right PMKR0Name, the bytes appended
//   6    an FT Request to BSS 2 through BSS 1, the same
//   7    a Reassoc-Req to BSS 2 sealed with the PTK BSS 2 holds, the bytes appended
//   8    timers run for the first byte x 100 ms
//   9    the station's record at BSS 2 is deleted, or made again (interim take-over)
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "dot11/dot11_cache.h"
#include "dot11/dot11_ie.h"
#include "dot11/dot11_r0kh.h"
#include "fuzz/dot11_fuzz_host.h"

namespace
{

using fuzz_dot11::kSta;
const uint8_t kBss1[6] = {0x02, 0, 0x5e, 0x10, 0, 1};
const uint8_t kBss2[6] = {0x02, 0, 0x5e, 0x10, 0, 2};
const uint8_t kR0kh[] = "r0kh.fuzz";
const uint16_t kMdid = 0x1234;

struct ft_host {
    fuzz_dot11::host h; // timers, pool and ops
    dot11_cache *cache = nullptr;
    dot11_auth auth2{};
    dot11_rsna sta2{};
    dot11_auth_config cfg{};
    bool att1 = false, att2 = false;
    uint8_t pmkr0name[16];

    ~ft_host()
    {
        if (att2) dot11_auth_detach_sta(&sta2);
        if (att1) dot11_auth_detach_sta(&h.sta);
        dot11_auth_stop(&h.auth);
        dot11_auth_stop(&auth2);
        dot11_cache_delete(cache);
        timetable_destroy(h.tt);
        mempool_unref(h.pool);
    }

    bool setup()
    {
        dot11_auth_config &c = cfg;
        memcpy(c.bss_mac, kBss1, 6);
        memcpy(c.ssid, "fuzz", 4);
        c.ssid_len = 4;
        c.flags_a = DOT11_CFG_A_RSNA_ACTIVATED | (DOT11_REKEY_TIME << 1);
        c.flags_b =
            DOT11_CFG_B_FT_ACTIVATED | DOT11_CFG_B_FT_OVER_DS | DOT11_CFG_B_PREAUTH_ACTIVATED;
        c.dot11RSNAConfigGroupCipher = DOT11_CIPHER_CCMP;
        c.dot11RSNAConfigPairwiseCipher[0] = DOT11_CIPHER_CCMP;
        c.dot11RSNAConfigAuthenticationSuite[0] = DOT11_AKM_FT_PSK;
        c.dot11RSNAConfigAuthenticationSuite[1] = DOT11_AKM_PSK;
        memset(c.dot11RSNAConfigPSKValue, 0x42, 32);
        c.dot11RSNAConfigGroupRekeyTime = 3600;
        c.dot11RSNAConfigGroupUpdateCount = 1;
        c.dot11RSNAConfigPairwiseUpdateCount = 1;
        c.dot11RSNAConfigPMKLifetime = 3600;
        c.dot11FTMobilityDomainID = kMdid;
        memcpy(c.dot11FTR0KeyHolderID, kR0kh, sizeof kR0kh - 1);
        c.r0kh_id_len = sizeof kR0kh - 1;
        c.dot11FTR0KeyLifetime = 3600;
        c.dot11FTReassociationDeadline = 1000;
        dot11_cache_ops cops{
            .timer_start =
                [](void *u, timer *t, uint32_t ms, timer_fn fn) {
                    auto *tt = static_cast<timetable *>(u);
                    timetable_cancel(tt, t);
                    timetable_schedule(tt, t, ms, fn);
                },
            .timer_stop = [](void *u,
                             timer *t) { timetable_cancel(static_cast<timetable *>(u), t); },
        };
        cache = dot11_cache_create(&c, &cops, h.tt, nullptr, h.pool);
        if (!cache || dot11_auth_init(&h.auth, &c, &h.ops, cache, h.pool) < 0) return false;
        memcpy(c.bss_mac, kBss2, 6);
        if (dot11_auth_init(&auth2, &c, &h.ops, cache, h.pool) < 0) return false;
        att1 = dot11_auth_attach_sta(&h.auth, &h.sta, kSta) == 0;
        att2 = dot11_auth_attach_sta(&auth2, &sta2, kSta) == 0;
        uint8_t pmk_r0[32];
        dot11_derive_pmkr0(c.dot11RSNAConfigPSKValue, c.ssid, c.ssid_len, kMdid, kR0kh,
                           sizeof kR0kh - 1, kSta, pmk_r0, pmkr0name);
        return att1 && att2;
    }

    void send(dot11_rsna *sta, const std::vector<uint8_t> &f, int how)
    {
        packet *p = packet_from_bytes(h.pool, f.data(), f.size());
        if (!p) return;
        if (how == 0)
            dot11_auth_recv_mlme(sta, p);
        else if (how == 1)
            dot11_auth_recv_tods(sta, p);
        else
            dot11_send_ether_ds(sta, p);
        packet_release(p);
    }

    // RSNE with the PMKID, MDIE and an FTIE with the SNonce.
    void ft_ies(std::vector<uint8_t> &f, const uint8_t pmkid[16], const uint8_t *rest, size_t n)
    {
        static const uint8_t rsn[] = {0x30, 0x26, 1, 0, 0, 0x0f, 0xac, 4, 1, 0, 0, 0x0f,
                                      0xac, 4,    1, 0, 0, 0x0f, 0xac, 4, 0, 0, 1, 0};
        f.insert(f.end(), rsn, rsn + sizeof rsn);
        f.insert(f.end(), pmkid, pmkid + 16);
        f.insert(f.end(), h.auth.ie_mdie, h.auth.ie_mdie + 5);
        size_t at = f.size();
        f.resize(at + 84, 0);
        f[at] = DOT11_EID_FTIE;
        memset(&f[at + 52], 0x77, 32);
        f.push_back(DOT11_FTIE_R0KH_ID);
        f.push_back(sizeof kR0kh - 1);
        f.insert(f.end(), kR0kh, kR0kh + sizeof kR0kh - 1);
        f[at + 1] = uint8_t(f.size() - at - 2);
        f.insert(f.end(), rest, rest + n);
    }

    void record(uint8_t kind, const uint8_t *d, size_t n)
    {
        std::vector<uint8_t> f(d, d + n);
        switch (kind % 10) {
        case 0:
            return send(&h.sta, f, 0);
        case 1:
            return att2 ? send(&sta2, f, 0) : void();
        case 2:
            return send(&h.sta, f, 1);
        case 3:
            return att2 ? send(&sta2, f, 1) : void();
        case 4:
            return send(&h.sta, f, 2);
        case 5:
        case 6: {
            if (kind % 10 == 5 && !att2) return;
            f.assign(DOT11_HDR_LEN, 0);
            bool ds = kind % 10 == 6;
            dot11_make_hdr(f.data(), ds ? kBss1 : kBss2, kSta, ds ? DOT11_ST_ACTION : DOT11_ST_AUTH,
                           DOT11_TO_BSS);
            if (ds) {
                f.push_back(DOT11_CATEGORY_FT);
                f.push_back(DOT11_FT_REQUEST);
                f.insert(f.end(), kSta, kSta + 6);
                f.insert(f.end(), kBss2, kBss2 + 6);
            } else {
                static const uint8_t fixed[] = {2, 0, 1, 0, 0, 0};
                f.insert(f.end(), fixed, fixed + 6);
            }
            ft_ies(f, pmkr0name, d, n);
            return send(ds ? &h.sta : &sta2, f, 0);
        }
        case 7: {
            if (!att2) return;
            f.assign(DOT11_HDR_LEN, 0);
            dot11_make_hdr(f.data(), kBss2, kSta, DOT11_ST_REASSOC_REQ, DOT11_TO_BSS);
            static const uint8_t fixed[] = {0x11, 0, 10, 0, 2,   0,   0x5e, 0x10,
                                            0,    1, 0,  4, 'f', 'u', 'z',  'z'};
            f.insert(f.end(), fixed, fixed + sizeof fixed);
            size_t rsn_at = f.size();
            ft_ies(f, sta2.pmkr1name, nullptr, 0);
            size_t ft_at = rsn_at + 40 + 5;
            f[ft_at + 3] = 3;
            memcpy(&f[ft_at + 20], sta2.anonce, 32);
            f.insert(f.begin() + long(ft_at) + 84, {DOT11_FTIE_R1KH_ID, 6, 2, 0, 0x5e, 0x10, 0, 2});
            f[ft_at + 1] = uint8_t(f[ft_at + 1] + 8);
            const uint8_t *others[2] = {&f[rsn_at], auth2.ie_mdie};
            dot11_ft_mic(&f[ft_at], sta2.ptk, kSta, kBss2, 5, others, 2, &f[ft_at + 4]);
            f.insert(f.end(), d, d + n);
            return send(&sta2, f, 0);
        }
        case 8:
            for (unsigned k = 0; n && k < d[0]; k++) {
                timetable_set_now(h.tt, timetable_now(h.tt) + 100);
                timetable_manage(h.tt);
            }
            return;
        case 9:
            if (att2) {
                dot11_auth_detach_sta(&sta2);
                att2 = false;
            } else {
                sta2 = {};
                att2 = dot11_auth_attach_sta(&auth2, &sta2, kSta) == 0;
            }
            return;
        }
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const bool ready = (dot11_crypto_init(), true);
    (void)ready;
    if (size > 4000) return 0;
    ft_host t;
    if (!t.setup()) return 0;
    size_t i = 0;
    for (int records = 0; i + 3 <= size && records < 16; records++) {
        uint8_t kind = data[i];
        size_t n = size_t(data[i + 1]) | size_t(data[i + 2]) << 8;
        i += 3;
        if (n > size - i) n = size - i;
        t.record(kind, data + i, n);
        i += n;
    }
    return 0;
}
