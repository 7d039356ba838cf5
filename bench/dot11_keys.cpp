// The key work of one PSK 4-way handshake (PTK by PRF-512, MIC check of
// 2/4, MIC and wrapped GTK KDE of 3/4) and of one FT transition (PMK-R1,
// PMKR1Name, FT PTK, FTIE MIC), each beside the same steps composed from
// libcrypto as a careful user would: MACs fetched once, contexts reused, an
// HMAC key set once per derivation. Each set checks first that both sides
// give the same bytes.
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <cstring>

#include "bench/crypto_side_by_side.h"
#include "common/crypto/aes.h"
#include "common/crypto/secure.h"
#include "dot11/dot11_frame.h"
#include "dot11/dot11_ie.h"
#include "dot11/dot11_keygen.h"

namespace {

const uint8_t kAa[6] = {0x02, 0x00, 0x5e, 0x10, 0x00, 0x01};
const uint8_t kSpa[6] = {0x02, 0x00, 0x5e, 0x20, 0x00, 0x02};

void fill(uint8_t *p, size_t n, uint8_t seed)
{
    for (size_t i = 0; i < n; i++)
        p[i] = uint8_t(seed + i * 29);
}

struct ossl_mac {
    EVP_MAC *mac;
    EVP_MAC_CTX *ctx;
    OSSL_PARAM params[2];
    char name[16];

    ossl_mac(const char *algorithm, const char *param_name, const char *value)
    {
        mac = EVP_MAC_fetch(nullptr, algorithm, nullptr);
        ctx = EVP_MAC_CTX_new(mac);
        strncpy(name, value, sizeof name - 1);
        name[sizeof name - 1] = '\0';
        params[0] = OSSL_PARAM_construct_utf8_string(param_name, name, 0);
        params[1] = OSSL_PARAM_construct_end();
    }
    ~ossl_mac()
    {
        EVP_MAC_CTX_free(ctx);
        EVP_MAC_free(mac);
    }
    // key null: the last key again.
    void init(const uint8_t *key, size_t len) { EVP_MAC_init(ctx, key, len, key ? params : nullptr); }
    void update(const void *p, size_t n) { EVP_MAC_update(ctx, static_cast<const uint8_t *>(p), n); }
    void final(uint8_t *out, size_t cap)
    {
        size_t n;
        EVP_MAC_final(ctx, out, &n, cap);
    }
};

// The frames of one handshake: 2/4 as the station sends it, 3/4 before sealing.
struct psk_handshake {
    uint8_t pmk[32], anonce[32], snonce[32], counter[32], gtk[16];
    uint8_t m2[99 + 22], m3[99 + 46 + 16];
    size_t m3_data = 46;

    psk_handshake()
    {
        fill(pmk, 32, 1);
        fill(anonce, 32, 2);
        fill(snonce, 32, 3);
        fill(counter, 32, 4);
        fill(gtk, 16, 5);
        const uint8_t rsn[22] = {48, 20, 1, 0, 0x00, 0x0f, 0xac, 4, 1, 0, 0x00, 0x0f, 0xac, 4,
                                 1, 0, 0x00, 0x0f, 0xac, 2, 0, 0};
        memset(m2, 0, sizeof m2);
        m2[0] = 2, m2[1] = 3, m2[3] = 95 + 22, m2[4] = 2, m2[5] = 0x01, m2[6] = 0x0a, m2[16] = 1;
        memcpy(m2 + EAPOL_KEY_NONCE, snonce, 32);
        m2[EAPOL_KEY_DATA_LEN + 1] = 22;
        memcpy(m2 + EAPOL_KEY_DATA, rsn, 22);
        reset_m3();
    }
    void reset_m3()
    {
        memset(m3, 0, sizeof m3);
        m3[0] = 2, m3[1] = 3, m3[3] = uint8_t(95 + m3_data), m3[4] = 2, m3[5] = 0x13, m3[6] = 0xca;
        m3[16] = 2;
        memcpy(m3 + EAPOL_KEY_NONCE, anonce, 32);
        m3[EAPOL_KEY_DATA_LEN + 1] = uint8_t(m3_data);
        memcpy(m3 + EAPOL_KEY_DATA, m2 + EAPOL_KEY_DATA, 22);
        const uint8_t kde[8] = {0xdd, 22, 0x00, 0x0f, 0xac, 1, 1, 0};
        memcpy(m3 + EAPOL_KEY_DATA + 22, kde, 8);
        memcpy(m3 + EAPOL_KEY_DATA + 30, gtk, 16);
    }
};

void BM_PskHandshakeKeys(benchmark::State &state)
{
    aes_init();
    psk_handshake hs;
    uint8_t ptk[64];
    dot11_derive_ptk(hs.pmk, kAa, kSpa, hs.anonce, hs.snonce, ptk);
    uint8_t sent_mic[16];
    dot11_eapol_mic(hs.m2, sizeof hs.m2, ptk, sent_mic);

    ossl_mac hmac("HMAC", OSSL_MAC_PARAM_DIGEST, "SHA1");
    EVP_CIPHER *wrap = EVP_CIPHER_fetch(nullptr, "AES-128-WRAP", nullptr);
    EVP_CIPHER_CTX *wctx = EVP_CIPHER_CTX_new();
    EVP_CIPHER_CTX_set_flags(wctx, EVP_CIPHER_CTX_FLAG_WRAP_ALLOW);

    bool mic_ok = true;
    uint8_t our_m3[sizeof hs.m3], their_m3[sizeof hs.m3];
    auto ours = [&] {
        uint8_t k[64], mic[16], saved[16];
        dot11_derive_ptk(hs.pmk, kAa, kSpa, hs.anonce, hs.snonce, k);
        memcpy(saved, hs.m2 + EAPOL_KEY_MIC, 16);
        dot11_eapol_mic(hs.m2, sizeof hs.m2, k, mic);
        mic_ok &= secure_compare(mic, saved, 16) == 0;
        memcpy(hs.m2 + EAPOL_KEY_MIC, saved, 16);
        hs.reset_m3();
        dot11_eapol_encrypt_key_data(hs.m3, sizeof hs.m3, k + 16, hs.counter);
        size_t len = 99 + size_t(hs.m3[EAPOL_KEY_DATA_LEN + 1]);
        hs.m3[3] = uint8_t(len - 4);
        dot11_eapol_mic(hs.m3, len, k, nullptr);
        memcpy(our_m3, hs.m3, sizeof our_m3);
        secure_wipe(k, sizeof k);
        benchmark::DoNotOptimize(our_m3);
    };
    auto theirs = [&] {
        uint8_t k[80], mic[20], saved[16], data[76];
        // PTK: PRF-512, four HMAC-SHA1 blocks under one key.
        dot11_ptk_data(kAa, kSpa, hs.anonce, hs.snonce, data);
        for (uint8_t i = 0; i < 4; i++) {
            hmac.init(i ? nullptr : hs.pmk, 32);
            hmac.update("Pairwise key expansion", 23);
            hmac.update(data, sizeof data);
            hmac.update(&i, 1);
            hmac.final(k + 20 * i, 20);
        }
        // 2/4: the MIC over the frame with its MIC field zero.
        memcpy(saved, hs.m2 + EAPOL_KEY_MIC, 16);
        memset(hs.m2 + EAPOL_KEY_MIC, 0, 16);
        hmac.init(k, 16);
        hmac.update(hs.m2, sizeof hs.m2);
        hmac.final(mic, 20);
        mic_ok &= CRYPTO_memcmp(mic, saved, 16) == 0;
        memcpy(hs.m2 + EAPOL_KEY_MIC, saved, 16);
        // 3/4: pad, wrap, MIC.
        hs.reset_m3();
        uint8_t *kd = hs.m3 + EAPOL_KEY_DATA;
        kd[46] = 0xdd;
        kd[47] = 0;
        uint8_t wrapped[56];
        int n, m;
        EVP_EncryptInit_ex2(wctx, wrap, k + 16, nullptr, nullptr);
        EVP_EncryptUpdate(wctx, wrapped, &n, kd, 48);
        EVP_EncryptFinal_ex(wctx, wrapped + n, &m);
        memcpy(kd, wrapped, 56);
        hs.m3[EAPOL_KEY_DATA_LEN + 1] = 56;
        hs.m3[3] = 95 + 56;
        hmac.init(k, 16);
        hmac.update(hs.m3, 99 + 56);
        hmac.final(mic, 20);
        memcpy(hs.m3 + EAPOL_KEY_MIC, mic, 16);
        memcpy(their_m3, hs.m3, sizeof their_m3);
        OPENSSL_cleanse(k, sizeof k);
        benchmark::DoNotOptimize(their_m3);
    };
    ours();
    theirs();
    if (!mic_ok || memcmp(our_m3, their_m3, 99 + 56) != 0)
        state.SkipWithError("the two sides disagree");
    side_by_side(state, 0, 200, ours, theirs);
    EVP_CIPHER_CTX_free(wctx);
    EVP_CIPHER_free(wrap);
}
BENCHMARK(BM_PskHandshakeKeys);

void BM_FtTransitionKeys(benchmark::State &state)
{
    aes_init();
    uint8_t pmk_r0[32], r0name[16], anonce[32], snonce[32];
    fill(pmk_r0, 32, 11);
    fill(r0name, 16, 12);
    fill(anonce, 32, 13);
    fill(snonce, 32, 14);
    const uint8_t rsn[40] = {48, 38, 1, 0, 0x00, 0x0f, 0xac, 4, 1, 0, 0x00, 0x0f, 0xac, 4,
                             1, 0, 0x00, 0x0f, 0xac, 4, 0, 0, 1, 0};
    const uint8_t mdie[5] = {54, 3, 0xb2, 0xa1, 1};
    uint8_t ftie[2 + 82 + 8 + 2 + 20] = {55, 82 + 8 + 2 + 20, 0, 3};
    memcpy(ftie + DOT11_FTIE_ANONCE, anonce, 32);
    memcpy(ftie + DOT11_FTIE_SNONCE, snonce, 32);
    ftie[84] = 1, ftie[85] = 6;
    memcpy(ftie + 86, kAa, 6);
    ftie[92] = 3, ftie[93] = 20;
    memcpy(ftie + 94, "r0kh.gateway.example", 20);
    const uint8_t *ies[] = {rsn, mdie};

    ossl_mac hmac("HMAC", OSSL_MAC_PARAM_DIGEST, "SHA256");
    ossl_mac cmac("CMAC", OSSL_MAC_PARAM_CIPHER, "AES-128-CBC");
    EVP_MD *sha256 = EVP_MD_fetch(nullptr, "SHA256", nullptr);
    EVP_MD_CTX *md = EVP_MD_CTX_new();

    uint8_t our_out[32 + 16 + 48 + 16], their_out[32 + 16 + 48 + 16];
    auto ours = [&] {
        uint8_t *r1 = our_out, *r1name = our_out + 32, *ptk = our_out + 48, *mic = our_out + 96;
        dot11_derive_pmkr1(pmk_r0, kAa, kSpa, r1);
        dot11_derive_pmkr1name(r0name, kAa, kSpa, r1name);
        dot11_derive_ptk_ft(r1, 48, kAa, kSpa, anonce, snonce, ptk);
        dot11_ft_mic(ftie, ptk, kSpa, kAa, 5, ies, 2, mic);
        benchmark::DoNotOptimize(our_out);
    };
    auto theirs = [&] {
        uint8_t *r1 = their_out, *r1name = their_out + 32, *ptk = their_out + 48, *mic = their_out + 96;
        uint8_t one[2] = {1, 0}, bits[2] = {0, 1}, block[32];
        hmac.init(pmk_r0, 32);
        hmac.update(one, 2);
        hmac.update("FT-R1", 5);
        hmac.update(kAa, 6);
        hmac.update(kSpa, 6);
        hmac.update(bits, 2);
        hmac.final(r1, 32);
        unsigned n;
        EVP_DigestInit_ex(md, sha256, nullptr);
        EVP_DigestUpdate(md, "FT-R1N", 6);
        EVP_DigestUpdate(md, r0name, 16);
        EVP_DigestUpdate(md, kAa, 6);
        EVP_DigestUpdate(md, kSpa, 6);
        EVP_DigestFinal_ex(md, block, &n);
        memcpy(r1name, block, 16);
        uint8_t ptk_bits[2] = {uint8_t(384 & 0xff), uint8_t(384 >> 8)};
        for (uint8_t i = 1; i <= 2; i++) {
            uint8_t counter[2] = {i, 0};
            hmac.init(i == 1 ? r1 : nullptr, 32);
            hmac.update(counter, 2);
            hmac.update("FT-PTK", 6);
            hmac.update(snonce, 32);
            hmac.update(anonce, 32);
            hmac.update(kAa, 6);
            hmac.update(kSpa, 6);
            hmac.update(ptk_bits, 2);
            hmac.final(block, 32);
            memcpy(ptk + 32 * (i - 1), block, i == 1 ? 32 : 16);
        }
        static const uint8_t zero[16] = {};
        uint8_t seq = 5;
        cmac.init(ptk, 16);
        cmac.update(kSpa, 6);
        cmac.update(kAa, 6);
        cmac.update(&seq, 1);
        cmac.update(rsn, sizeof rsn);
        cmac.update(mdie, sizeof mdie);
        cmac.update(ftie, 4);
        cmac.update(zero, 16);
        cmac.update(ftie + DOT11_FTIE_ANONCE, sizeof ftie - DOT11_FTIE_ANONCE);
        cmac.final(mic, 16);
        benchmark::DoNotOptimize(their_out);
    };
    ours();
    theirs();
    if (memcmp(our_out, their_out, sizeof our_out) != 0)
        state.SkipWithError("the two sides disagree");
    side_by_side(state, 0, 200, ours, theirs);
    EVP_MD_CTX_free(md);
    EVP_MD_free(sha256);
}
BENCHMARK(BM_FtTransitionKeys);

} // namespace

BENCHMARK_MAIN();
