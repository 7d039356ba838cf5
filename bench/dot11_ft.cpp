// Fast BSS transition and the key cache:
// - one FT-PSK transition over the air through the whole authenticator (FT
//   Auth answered, Reassoc-Req answered: key holder, machines, frames,
//   timers), from each frame's packet as the data plane hands it over to
//   the answer sent, beside the transition's key work alone (PMK-R1,
//   PMKR1Name, FT PTK, FTIE MIC: the dot11_keys set); the station's own work
//   is left out;
// - PMKID lookups among 100,000 cached entries, beside a std::unordered_map
//   keyed by the 16 bytes with a hash as its best users write it;
// - the bytes the cache holds per 802.1X entry with a 20-character identity,
//   index links and bucket arrays included.
#include <benchmark/benchmark.h>

#include <malloc.h>

#include <array>
#include <chrono>
#include <cstring>
#include <unordered_map>
#include <vector>

#include "bench/pin.h"
#include "common/crypto/aes.h"
#include "common/packet.h"
#include "common/timer.h"
#include "dot11/dot11_auth.h"
#include "dot11/dot11_cache.h"
#include "dot11/dot11_frame.h"
#include "dot11/dot11_ie.h"
#include "dot11/dot11_keygen.h"
#include "dot11/dot11_r0kh.h"

namespace
{

using clk = std::chrono::steady_clock;
const uint8_t kBss1[6] = {0x02, 0, 0x5e, 0x10, 0, 1};
const uint8_t kBss2[6] = {0x02, 0, 0x5e, 0x10, 0, 2};
const uint8_t kSta[6] = {0x02, 0, 0x5e, 0x20, 0, 2};
const uint8_t kR0kh[] = "r0kh.gateway.example";
const uint16_t kMdid = 0xa1b2;

double secs(clk::time_point t0)
{
    return std::chrono::duration<double>(clk::now() - t0).count();
}

struct ft_host {
    timetable *tt = timetable_create(0);
    mempool *pool;
    uint8_t last[1024];
    size_t last_len = 0;
    dot11_auth_ops ops{};
    dot11_cache *cache = nullptr;
    dot11_auth auth1{}, auth2{};
    dot11_rsna sta2{};
    dot11_auth_config cfg{};

    explicit ft_host(bool dot1x)
    {
        packet_pool_config c{};
        c.buffer_size = 1024;
        c.headroom = 64;
        c.tailroom = 32;
        c.packet_count = 64;
        c.buffer_count = 64;
        pool = packet_pool_create(&c);
        ops = {
            .user = this,
            .send_ether = nullptr,
            .send_mgmt =
                [](void *u, dot11_rsna *, packet *p) {
                    auto *h = static_cast<ft_host *>(u);
                    h->last_len = p->length <= sizeof h->last ? p->length : 0;
                    memcpy(h->last, p->data, h->last_len);
                },
            .authenticated = nullptr,
            .deauthenticated = nullptr,
            .associated = nullptr,
            .disassociated = nullptr,
            .authorized = nullptr,
            .deauthorized = nullptr,
            .install_key = [](void *, dot11_auth *, dot11_rsna *, uint32_t, unsigned,
                              const uint8_t *, size_t) { return 0; },
            .activate_key = [](void *, dot11_rsna *) { return 0; },
            .set_key_state = nullptr,
            .get_tsc =
                [](void *, dot11_auth *, dot11_rsna *, unsigned, uint64_t *tsc) {
                    *tsc = 7;
                    return 0;
                },
            .get_idle = nullptr,
            .timer_start =
                [](void *u, dot11_auth *, timer *t, uint32_t ms, timer_fn fn) {
                    auto *h = static_cast<ft_host *>(u);
                    timetable_cancel(h->tt, t);
                    timetable_schedule(h->tt, t, ms, fn);
                },
            .timer_stop = [](void *u, dot11_auth *,
                             timer *t) { timetable_cancel(static_cast<ft_host *>(u)->tt, t); },
        };
        cfg.ssid_len = 5;
        memcpy(cfg.ssid, "bench", 5);
        cfg.flags_a = DOT11_CFG_A_RSNA_ACTIVATED | (DOT11_REKEY_TIME << 1);
        cfg.flags_b = DOT11_CFG_B_FT_ACTIVATED | DOT11_CFG_B_FT_OVER_DS;
        cfg.dot11RSNAConfigGroupCipher = DOT11_CIPHER_CCMP;
        cfg.dot11RSNAConfigPairwiseCipher[0] = DOT11_CIPHER_CCMP;
        cfg.dot11RSNAConfigAuthenticationSuite[0] = dot1x ? DOT11_AKM_FT_8021X : DOT11_AKM_FT_PSK;
        memset(cfg.dot11RSNAConfigPSKValue, 0x42, 32);
        cfg.dot11RSNAConfigGroupRekeyTime = 86400;
        cfg.dot11RSNAConfigGroupUpdateCount = 3;
        cfg.dot11RSNAConfigPairwiseUpdateCount = 3;
        cfg.dot11RSNAConfigPMKLifetime = 43200;
        cfg.dot11FTMobilityDomainID = kMdid;
        memcpy(cfg.dot11FTR0KeyHolderID, kR0kh, sizeof kR0kh - 1);
        cfg.r0kh_id_len = sizeof kR0kh - 1;
        cfg.dot11FTR0KeyLifetime = 3600;
        cfg.dot11FTReassociationDeadline = 1000;
        dot11_cache_ops cops{
            .timer_start =
                [](void *u, timer *t, uint32_t ms, timer_fn fn) {
                    auto *h = static_cast<ft_host *>(u);
                    timetable_cancel(h->tt, t);
                    timetable_schedule(h->tt, t, ms, fn);
                },
            .timer_stop = [](void *u,
                             timer *t) { timetable_cancel(static_cast<ft_host *>(u)->tt, t); },
        };
        memcpy(cfg.bss_mac, kBss1, 6);
        cache =
            dot11_cache_create(&cfg, &cops, this, reinterpret_cast<radius_client *>(this), pool);
        if (dot1x) {
            // The PMK-R0-SA an 802.1X authentication left, XXKey = the PSK bytes.
            dot11_cache_entry *e = dot11_cache_entry_create(cache, kSta, DOT11_AKM_FT_8021X);
            e = dot11_cache_entry_set_identity(cache, e, "user0000@example.org");
            dot11_derive_pmkr0(cfg.dot11RSNAConfigPSKValue, cfg.ssid, cfg.ssid_len, kMdid, kR0kh,
                               sizeof kR0kh - 1, kSta, e->key, dot11_cache_entry_name(e));
            dot11_derive_pmkid(cfg.dot11RSNAConfigPSKValue, kBss1, kSta, e->id);
            e->lifetime = DOT11_LIFETIME_UNLIMITED;
            dot11_cache_insert(cache, e);
            dot11_cache_entry_release(e);
        }
        dot11_auth_init(&auth1, &cfg, &ops, cache, pool);
        memcpy(cfg.bss_mac, kBss2, 6);
        dot11_auth_init(&auth2, &cfg, &ops, cache, pool);
        // Only the target BSS holds a record of the station: an idle record at
        // BSS 1 would take a push of its own on every transition (an
        // associated one already holds the SA and is passed over).
        dot11_auth_attach_sta(&auth2, &sta2, kSta);
    }
    ~ft_host()
    {
        dot11_auth_detach_sta(&sta2);
        dot11_auth_stop(&auth1);
        dot11_auth_stop(&auth2);
        dot11_cache_delete(cache);
        timetable_destroy(tt);
        mempool_unref(pool);
    }
    void mlme(dot11_rsna *sta, const std::vector<uint8_t> &f)
    {
        packet *p = packet_from_bytes(pool, f.data(), f.size());
        dot11_auth_recv_mlme(sta, p);
        packet_release(p);
    }
    // The frame as the data plane hands it over; the time of the
    // authenticator's handling of it into *t.
    void mlme_timed(dot11_rsna *sta, const std::vector<uint8_t> &f, double *t)
    {
        packet *p = packet_from_bytes(pool, f.data(), f.size());
        auto t0 = clk::now();
        dot11_auth_recv_mlme(sta, p);
        *t += secs(t0);
        packet_release(p);
    }
};

// The station's side, with our key code; its time is left out.
struct ft_station {
    uint8_t pmk_r0[32], r0name[16], r1[32], r1name[16], snonce[32], anonce[32], ptk[48];
    uint8_t mdie[5] = {54, 3, uint8_t(kMdid), uint8_t(kMdid >> 8), 1};

    explicit ft_station(const dot11_auth_config &c)
    {
        dot11_derive_pmkr0(c.dot11RSNAConfigPSKValue, c.ssid, c.ssid_len, kMdid, kR0kh,
                           sizeof kR0kh - 1, kSta, pmk_r0, r0name);
        dot11_derive_pmkr1(pmk_r0, kBss2, kSta, r1);
        dot11_derive_pmkr1name(r0name, kBss2, kSta, r1name);
        memset(snonce, 0x5a, 32);
    }
    uint8_t akm_type = 4;
    void rsn(std::vector<uint8_t> &f, const uint8_t pmkid[16]) const
    {
        const uint8_t ie[] = {48,   38, 1, 0, 0, 0x0f, 0xac, 4,        1, 0, 0, 0x0f,
                              0xac, 4,  1, 0, 0, 0x0f, 0xac, akm_type, 0, 0, 1, 0};
        f.insert(f.end(), ie, ie + sizeof ie);
        f.insert(f.end(), pmkid, pmkid + 16);
    }
    size_t ftie(std::vector<uint8_t> &f, bool r1kh)
    {
        size_t at = f.size();
        f.resize(at + 84, 0);
        f[at] = 55;
        memcpy(&f[at + 52], snonce, 32);
        if (r1kh) {
            memcpy(&f[at + 20], anonce, 32);
            f.insert(f.end(), {1, 6});
            f.insert(f.end(), kBss2, kBss2 + 6);
        }
        f.push_back(3);
        f.push_back(sizeof kR0kh - 1);
        f.insert(f.end(), kR0kh, kR0kh + sizeof kR0kh - 1);
        f[at + 1] = uint8_t(f.size() - at - 2);
        return at;
    }
    std::vector<uint8_t> auth_req()
    {
        std::vector<uint8_t> f(DOT11_HDR_LEN);
        dot11_make_hdr(f.data(), kBss2, kSta, DOT11_ST_AUTH, DOT11_TO_BSS);
        f.insert(f.end(), {2, 0, 1, 0, 0, 0});
        rsn(f, r0name);
        f.insert(f.end(), mdie, mdie + 5);
        ftie(f, false);
        return f;
    }
    std::vector<uint8_t> deauth()
    {
        std::vector<uint8_t> f(DOT11_HDR_LEN);
        dot11_make_hdr(f.data(), kBss2, kSta, DOT11_ST_DEAUTH, DOT11_TO_BSS);
        f.insert(f.end(), {3, 0});
        return f;
    }
    // The response's ANonce, the PTK, and the sealed Reassoc-Req.
    std::vector<uint8_t> reassoc_req(const uint8_t *resp, size_t len)
    {
        const uint8_t *ft = nullptr;
        for (size_t i = DOT11_HDR_LEN + 6; i + 2 <= len; i += 2 + resp[i + 1])
            if (resp[i] == 55) ft = resp + i;
        if (ft) memcpy(anonce, ft + 20, 32);
        dot11_derive_ptk_ft(r1, 48, kBss2, kSta, anonce, snonce, ptk);
        std::vector<uint8_t> f(DOT11_HDR_LEN);
        dot11_make_hdr(f.data(), kBss2, kSta, DOT11_ST_REASSOC_REQ, DOT11_TO_BSS);
        f.insert(f.end(), {0x11, 0, 10, 0});
        f.insert(f.end(), kBss1, kBss1 + 6);
        f.insert(f.end(), {0, 5, 'b', 'e', 'n', 'c', 'h'});
        size_t r = f.size();
        rsn(f, r1name);
        f.insert(f.end(), mdie, mdie + 5);
        size_t at = ftie(f, true);
        f[at + 3] = 3;
        const uint8_t *ies[2] = {&f[r], mdie};
        dot11_ft_mic(&f[at], ptk, kSta, kBss2, 5, ies, 2, &f[at + 4]);
        return f;
    }
};

// The FT key work of bench/dot11_keys.cpp, with our code.
double key_work(int n)
{
    uint8_t pmk_r0[32], r0name[16], anonce[32], snonce[32], r1[32], r1name[16], ptk[48], mic[16];
    memset(pmk_r0, 11, 32);
    memset(r0name, 12, 16);
    memset(anonce, 13, 32);
    memset(snonce, 14, 32);
    const uint8_t rsn[40] = {48,   38, 1, 0, 0x00, 0x0f, 0xac, 4, 1, 0, 0x00, 0x0f,
                             0xac, 4,  1, 0, 0x00, 0x0f, 0xac, 4, 0, 0, 1,    0};
    const uint8_t mdie[5] = {54, 3, 0xb2, 0xa1, 1};
    uint8_t ftie[2 + 82 + 8 + 2 + 20] = {55, 82 + 8 + 2 + 20, 0, 3};
    const uint8_t *ies[] = {rsn, mdie};
    auto t0 = clk::now();
    for (int i = 0; i < n; i++) {
        dot11_derive_pmkr1(pmk_r0, kBss2, kSta, r1);
        dot11_derive_pmkr1name(r0name, kBss2, kSta, r1name);
        dot11_derive_ptk_ft(r1, 48, kBss2, kSta, anonce, snonce, ptk);
        dot11_ft_mic(ftie, ptk, kSta, kBss2, 5, ies, 2, mic);
        benchmark::DoNotOptimize(mic);
    }
    return secs(t0) / n;
}

// Arg 0: FT-PSK (the key holder derives PMK-R0 from the PSK for each
// request); arg 1: FT over 802.1X (PMK-R0 found in the cache).
void BM_FtTransitionOverTheAir(benchmark::State &state)
{
    aes_init();
    ft_host h(state.range(0) == 1);
    ft_station s(h.cfg);
    s.akm_type = state.range(0) == 1 ? 3 : 4;
    std::vector<uint8_t> auth = s.auth_req(), deauth = s.deauth();
    double ours = 0, keys = 0;
    int64_t n = 0;
    bool ok = true;
    for (auto _ : state) {
        h.mlme_timed(&h.sta2, auth, &ours);
        std::vector<uint8_t> req = s.reassoc_req(h.last, h.last_len);
        h.last_len = 0;
        h.mlme_timed(&h.sta2, req, &ours);
        ok &= h.sta2.r1kh_state == DOT11_R1KH_FT_HANDSHAKE_DONE && h.last_len > 0;
        h.mlme(&h.sta2, deauth); // back to the start for the next round
        n++;
        if ((n & 63) == 0) keys += key_work(64) * 64;
    }
    if (!ok) state.SkipWithError("a transition did not complete");
    if (n < 64) keys = key_work(int(n)) * double(n);
    state.counters["transition_us"] = ours / double(n) * 1e6;
    state.counters["key_work_us"] = keys / double(n) * 1e6;
    state.counters["ratio_to_key_work"] = ours / keys;
}
BENCHMARK(BM_FtTransitionOverTheAir)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

struct key16 {
    std::array<uint8_t, 16> b;
    bool operator==(const key16 &o) const { return b == o.b; }
};
struct key16_hash {
    size_t operator()(const key16 &k) const
    {
        uint64_t a, c;
        memcpy(&a, k.b.data(), 8);
        memcpy(&c, k.b.data() + 8, 8);
        uint64_t h = (a ^ (c * 0x9e3779b97f4a7c15ull)) * 0xff51afd7ed558ccdull;
        return size_t(h ^ (h >> 32));
    }
};

// Identities of 20 characters: "user" + 4 hex digits + "@example.org".

struct filled_cache {
    dot11_cache *cache;
    std::vector<std::array<uint8_t, 16>> ids;
    std::vector<std::array<uint8_t, 6>> macs;
    size_t bytes = 0;
    explicit filled_cache(size_t n)
    {
        ids.reserve(n);
        macs.reserve(n);
        dot11_auth_config c{};
        memcpy(c.bss_mac, kBss1, 6);
        c.dot11RSNAConfigAuthenticationSuite[0] = DOT11_AKM_8021X;
        c.dot11RSNAConfigPMKIDCacheSize = 1;
        size_t before = mallinfo2().uordblks;
        cache = dot11_cache_create(&c, nullptr, nullptr, reinterpret_cast<radius_client *>(&c),
                                   nullptr);
        char ident[32];
        for (size_t i = 0; i < n; i++) {
            uint8_t mac[6] = {0x02,      0, uint8_t(i >> 24), uint8_t(i >> 16), uint8_t(i >> 8),
                              uint8_t(i)};
            dot11_cache_entry *e = dot11_cache_entry_create(cache, mac, DOT11_AKM_8021X);
            snprintf(ident, sizeof ident, "user%04zx@example.org", i % 0x10000);
            e = dot11_cache_entry_set_identity(cache, e, ident);
            memset(e->key, int(i), 32);
            memcpy(e->key, &i, sizeof i);
            dot11_derive_pmkid(e->key, kBss1, mac, e->id);
            e->lifetime = DOT11_LIFETIME_UNLIMITED;
            e->cipher = DOT11_CIPHER_CCMP;
            dot11_cache_insert(cache, e);
            dot11_cache_entry_release(e);
            std::array<uint8_t, 16> id;
            memcpy(id.data(), e->id, 16);
            ids.push_back(id);
            std::array<uint8_t, 6> m;
            memcpy(m.data(), mac, 6);
            macs.push_back(m);
        }
        bytes = mallinfo2().uordblks - before;
    }
    ~filled_cache() { dot11_cache_delete(cache); }
};

void BM_PmkidLookup100k(benchmark::State &state)
{
    const size_t n = 100000;
    filled_cache fc(n);
    std::unordered_map<key16, dot11_cache_entry *, key16_hash> map;
    map.reserve(n);
    for (dot11_cache_entry *e = dot11_cache_first_pmk(fc.cache); e;
         e = dot11_cache_next_pmk(fc.cache, e)) {
        key16 k;
        memcpy(k.b.data(), e->id, 16);
        map.emplace(k, e);
    }
    // A fixed random order of the ids, the same for both sides.
    std::vector<uint32_t> order(4096);
    uint32_t x = 12345;
    for (auto &o : order) {
        x = x * 1664525 + 1013904223;
        o = x % n;
    }
    size_t i = 0;
    auto ours = [&] {
        uint32_t k = order[i++ & 4095];
        dot11_cache_entry *e =
            dot11_cache_lookup(fc.cache, fc.macs[k].data(), kBss1, fc.ids[k].data(),
                               DOT11_AKM_8021X, DOT11_CIPHER_CCMP);
        benchmark::DoNotOptimize(e);
        dot11_cache_entry_release(e);
    };
    size_t j = 0;
    auto theirs = [&] {
        uint32_t k = order[j++ & 4095];
        key16 key;
        key.b = fc.ids[k];
        auto it = map.find(key);
        benchmark::DoNotOptimize(it->second);
    };
    // Both find the same entries.
    for (uint32_t k : order) {
        key16 key;
        key.b = fc.ids[k];
        dot11_cache_entry *e =
            dot11_cache_lookup(fc.cache, fc.macs[k].data(), kBss1, fc.ids[k].data(),
                               DOT11_AKM_8021X, DOT11_CIPHER_CCMP);
        if (!e || map.find(key)->second != e) {
            state.SkipWithError("the two sides disagree");
            return;
        }
        dot11_cache_entry_release(e);
    }
    double t_ours = 0, t_theirs = 0;
    int64_t ops = 0;
    for (auto _ : state) {
        auto t0 = clk::now();
        for (int b = 0; b < 256; b++)
            ours();
        auto t1 = clk::now();
        for (int b = 0; b < 256; b++)
            theirs();
        t_ours += std::chrono::duration<double>(t1 - t0).count();
        t_theirs += secs(t1);
        ops += 256;
    }
    state.counters["ours_ns"] = t_ours / double(ops) * 1e9;
    state.counters["unordered_map_ns"] = t_theirs / double(ops) * 1e9;
    state.counters["ratio_to_unordered_map"] = t_ours / t_theirs;
}
BENCHMARK(BM_PmkidLookup100k);

void BM_CacheBytesPerEntry(benchmark::State &state)
{
    size_t n = size_t(state.range(0));
    double per = 0, entry = 0;
    for (auto _ : state) {
        filled_cache fc(n);
        per = double(fc.bytes) / double(n);
        dot11_cache_entry *e = dot11_cache_first_pmk(fc.cache);
        entry = double(malloc_usable_size(e));
    }
    state.counters["bytes_per_entry"] = per;
    state.counters["entry_allocation"] = entry;
}
BENCHMARK(BM_CacheBytesPerEntry)
    ->Arg(100000)
    ->Arg(65536)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char **argv)
{
    return bench_main_pinned(argc, argv);
}
