// Association and PSK 4-way handshake of one station through the whole
// authenticator (frames in, frames out, machines, timers through a timing
// wheel), beside the handshake's key work alone (PTK, MIC check of 2/4,
// wrapped GTK and MIC of 3/4: the dot11_keys set), with 10 and with 10,000
// stations already associated on the BSS. The station's own work is timed
// apart and left out. Reports the ratio to the key work and the bytes the
// authenticator holds per associated station.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <vector>

#include "common/packet.h"
#include "common/timer.h"
#include "dot11/dot11_auth.h"
#include "dot11/dot11_frame.h"
#include "dot11/dot11_keygen.h"

namespace {

using clk = std::chrono::steady_clock;
const uint8_t kBss[6] = {0x02, 0, 0x5e, 0x10, 0, 1};
const uint8_t kRsn[] = {0x30, 0x14, 1, 0, 0, 0x0f, 0xac, 4, 1, 0, 0, 0x0f, 0xac, 4, 1, 0, 0, 0x0f, 0xac, 2, 0, 0};

struct bench_host {
    timetable *tt = timetable_create(0);
    mempool *pool;
    uint8_t last[512];
    size_t last_len = 0;
    dot11_auth_ops ops{};
    dot11_auth auth{};
    bench_host()
    {
        packet_pool_config c{};
        c.buffer_size = 1024;
        c.headroom = 64;
        c.tailroom = 32;
        c.packet_count = 64;
        c.buffer_count = 64;
        pool = packet_pool_create(&c);
        ops.user = this;
        ops.send_ether = [](void *u, dot11_rsna *, packet *p) {
            auto *h = static_cast<bench_host *>(u);
            h->last_len = p->length;
            memcpy(h->last, p->data, p->length);
        };
        ops.install_key = [](void *, dot11_auth *, dot11_rsna *, uint32_t, unsigned, const uint8_t *,
                             size_t) { return 0; };
        ops.activate_key = [](void *, dot11_rsna *) { return 0; };
        ops.get_tsc = [](void *, dot11_auth *, dot11_rsna *, unsigned, uint64_t *t) {
            *t = 1;
            return 0;
        };
        ops.timer_start = [](void *u, dot11_auth *, timer *t, uint32_t ms, timer_fn fn) {
            auto *h = static_cast<bench_host *>(u);
            timetable_cancel(h->tt, t);
            timetable_schedule(h->tt, t, ms, fn);
        };
        ops.timer_stop = [](void *u, dot11_auth *, timer *t) { timetable_cancel(static_cast<bench_host *>(u)->tt, t); };
        dot11_auth_config c2{};
        memcpy(c2.bss_mac, kBss, 6);
        memcpy(c2.ssid, "bench", 5);
        c2.ssid_len = 5;
        c2.flags_a = DOT11_CFG_A_RSNA_ACTIVATED | (DOT11_REKEY_TIME << 1);
        c2.dot11RSNAConfigGroupCipher = DOT11_CIPHER_CCMP;
        c2.dot11RSNAConfigPairwiseCipher[0] = DOT11_CIPHER_CCMP;
        c2.dot11RSNAConfigAuthenticationSuite[0] = DOT11_AKM_PSK;
        memset(c2.dot11RSNAConfigPSKValue, 0x42, 32);
        c2.dot11RSNAConfigGroupRekeyTime = 86400;
        c2.dot11RSNAConfigPairwiseUpdateCount = 3;
        c2.dot11RSNAConfigGroupUpdateCount = 3;
        c2.dot11RSNAConfigPMKLifetime = 43200;
        c2.dot11RSNAConfigPMKReauthThreshold = 70;
        c2.dot11RSNAConfigSATimeout = 60;
        dot11_auth_init(&auth, &c2, &ops, nullptr, pool);
    }
    ~bench_host()
    {
        dot11_auth_stop(&auth);
        timetable_destroy(tt);
        mempool_unref(pool);
    }
    void mlme(dot11_rsna *sta, const uint8_t *f, size_t n)
    {
        packet *p = packet_from_bytes(pool, f, n);
        dot11_auth_recv_mlme(sta, p);
        packet_release(p);
    }
    void tods(dot11_rsna *sta, const uint8_t *f, size_t n)
    {
        packet *p = packet_from_bytes(pool, f, n);
        dot11_auth_recv_tods(sta, p);
        packet_release(p);
    }
};

// One full association and handshake; the station's part is timed into st.
bool associate(bench_host &h, dot11_rsna *sta, const uint8_t mac[6], double *st)
{
    uint8_t f[128];
    dot11_make_hdr(f, kBss, mac, DOT11_ST_AUTH, DOT11_TO_BSS);
    const uint8_t a[6] = {0, 0, 1, 0, 0, 0};
    memcpy(f + 24, a, 6);
    h.mlme(sta, f, 30);
    dot11_make_hdr(f, kBss, mac, DOT11_ST_ASSOC_REQ, DOT11_TO_BSS);
    const uint8_t fixed[] = {0x11, 0, 10, 0, 0, 5, 'b', 'e', 'n', 'c', 'h'};
    memcpy(f + 24, fixed, sizeof fixed);
    memcpy(f + 24 + sizeof fixed, kRsn, sizeof kRsn);
    h.last_len = 0;
    h.mlme(sta, f, 24 + sizeof fixed + sizeof kRsn);
    if (!h.last_len)
        return false;
    auto t0 = clk::now();
    uint8_t ptk[64], snonce[32];
    memset(snonce, 0x55, 32);
    const uint8_t *m1 = h.last + 14;
    dot11_derive_ptk(h.auth.config.dot11RSNAConfigPSKValue, kBss, mac, m1 + EAPOL_KEY_NONCE, snonce, ptk);
    uint8_t m2[14 + 99 + sizeof kRsn] = {};
    memcpy(m2, kBss, 6);
    memcpy(m2 + 6, mac, 6);
    m2[12] = 0x88;
    m2[13] = 0x8e;
    uint8_t *k = m2 + 14;
    k[0] = 1;
    k[1] = 3;
    k[3] = uint8_t(95 + sizeof kRsn);
    k[EAPOL_KEY_DESC] = 2;
    k[EAPOL_KEY_INFO] = 0x01;
    k[EAPOL_KEY_INFO + 1] = 0x0a;
    memcpy(k + EAPOL_KEY_REPLAY, m1 + EAPOL_KEY_REPLAY, 8);
    memcpy(k + EAPOL_KEY_NONCE, snonce, 32);
    k[EAPOL_KEY_DATA_LEN + 1] = sizeof kRsn;
    memcpy(k + 99, kRsn, sizeof kRsn);
    dot11_eapol_mic(k, 99 + sizeof kRsn, ptk, nullptr);
    *st += std::chrono::duration<double>(clk::now() - t0).count();
    h.last_len = 0;
    h.tods(sta, m2, sizeof m2);
    if (!h.last_len)
        return false;
    t0 = clk::now();
    uint8_t m4[14 + 99] = {};
    memcpy(m4, m2, 14);
    k = m4 + 14;
    k[0] = 1;
    k[1] = 3;
    k[3] = 95;
    k[EAPOL_KEY_DESC] = 2;
    k[EAPOL_KEY_INFO] = 0x03;
    k[EAPOL_KEY_INFO + 1] = 0x0a;
    memcpy(k + EAPOL_KEY_REPLAY, h.last + 14 + EAPOL_KEY_REPLAY, 8);
    dot11_eapol_mic(k, 99, ptk, nullptr);
    *st += std::chrono::duration<double>(clk::now() - t0).count();
    h.tods(sta, m4, sizeof m4);
    return sta->Authorized;
}

void mac_of(uint32_t i, uint8_t mac[6])
{
    const uint8_t m[6] = {0x02, 0x11, uint8_t(i >> 24), uint8_t(i >> 16), uint8_t(i >> 8), uint8_t(i)};
    memcpy(mac, m, 6);
}

// The authenticator's own key work of one handshake, from our key code.
double key_work_seconds(int n)
{
    uint8_t pmk[32], an[32], sn[32], ptk[64], m[99 + 64] = {}, counter[32] = {};
    memset(pmk, 1, 32);
    memset(an, 2, 32);
    memset(sn, 3, 32);
    auto t0 = clk::now();
    for (int i = 0; i < n; i++) {
        an[0] = uint8_t(i);
        dot11_derive_ptk(pmk, kBss, kBss, an, sn, ptk);
        m[EAPOL_KEY_INFO + 1] = 0x0a;
        m[EAPOL_KEY_DATA_LEN + 1] = 22;
        dot11_eapol_mic(m, 99 + 22, ptk, nullptr);
        m[EAPOL_KEY_INFO + 1] = 0xca;
        m[EAPOL_KEY_DATA_LEN + 1] = 46;
        dot11_eapol_encrypt_key_data(m, sizeof m, ptk + 16, counter);
        dot11_eapol_mic(m, 99 + 56, ptk, nullptr);
        benchmark::DoNotOptimize(m);
    }
    return std::chrono::duration<double>(clk::now() - t0).count();
}

void BM_AssociateAndHandshake(benchmark::State &state)
{
    dot11_crypto_init();
    uint32_t others = uint32_t(state.range(0));
    bench_host h;
    std::vector<dot11_rsna> stas(others + 1);
    double st = 0;
    uint8_t mac[6];
    for (uint32_t i = 0; i < others; i++) {
        mac_of(i + 1, mac);
        dot11_auth_attach_sta(&h.auth, &stas[i], mac);
        if (!associate(h, &stas[i], mac, &st)) {
            state.SkipWithError("association failed");
            return;
        }
    }
    size_t heap = 0;
    for (uint32_t i = 0; i < others; i++)
        heap += stas[i].cached_assoc[0].len + stas[i].cached_assoc[1].len + 2 + kRsn[1] + 20;
    dot11_rsna *me = &stas[others];
    mac_of(0xffffff, mac);
    dot11_auth_attach_sta(&h.auth, me, mac);
    double total = 0;
    st = 0;
    int64_t n = 0;
    for (auto _ : state) {
        auto t0 = clk::now();
        if (!associate(h, me, mac, &st)) {
            state.SkipWithError("handshake failed");
            return;
        }
        dot11_auth_drop_sta(me);
        total += std::chrono::duration<double>(clk::now() - t0).count();
        n++;
    }
    double ours = (total - st) / double(n);
    double keys = key_work_seconds(2000) / 2000;
    state.counters["auth_us"] = ours * 1e6;
    state.counters["key_work_us"] = keys * 1e6;
    state.counters["ratio_to_key_work"] = ours / keys;
    state.counters["bytes_per_sta"] =
        double(sizeof(dot11_rsna)) + (others ? double(heap) / double(others) : 0.0);
    for (uint32_t i = 0; i <= others; i++)
        dot11_auth_detach_sta(&stas[i]);
}
BENCHMARK(BM_AssociateAndHandshake)->Arg(10)->Arg(10000)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
