// Digests, MACs and AES side by side with OpenSSL, each anchor keyed and
// fetched once as its best users do. Where OpenSSL has a lower-level
// interface that is faster for small inputs (the deprecated SHA*_Init,
// HMAC_CTX and CMAC_CTX), it is a second anchor.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/cmac.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/sha.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "bench/crypto_side_by_side.h"
#include "common/crypto/aes.h"
#include "common/crypto/aes_cmac.h"
#include "common/crypto/hmac.h"
#include "common/crypto/sha1.h"
#include "common/crypto/sha256.h"
#include "controller/dtls/dtls_aes_ccm.h"

namespace {

const uint8_t kKey[16] = {0x2b, 0x7e, 0x15, 0x16, 0x28, 0xae, 0xd2, 0xa6,
                          0xab, 0xf7, 0x15, 0x88, 0x09, 0xcf, 0x4f, 0x3c};

std::vector<uint8_t> message(size_t n)
{
    std::vector<uint8_t> m(n);
    for (size_t i = 0; i < n; i++)
        m[i] = uint8_t(i * 31 + 7);
    return m;
}

bool same(const uint8_t *a, const uint8_t *b, size_t n)
{
    return memcmp(a, b, n) == 0;
}

void BM_Aes128Block(benchmark::State &state)
{
    aes_init();
    aes_key ks;
    aes_set_key(&ks, kKey);
    EVP_CIPHER *ecb = EVP_CIPHER_fetch(nullptr, "AES-128-ECB", nullptr);
    EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
    EVP_EncryptInit_ex2(ctx, ecb, kKey, nullptr, nullptr);
    EVP_CIPHER_CTX_set_padding(ctx, 0);
    uint8_t a[16] = {}, b[16] = {};
    int n;
    aes_encrypt(&ks, a, a);
    EVP_EncryptUpdate(ctx, b, &n, b, 16);
    if (!same(a, b, 16)) state.SkipWithError("AES differs from OpenSSL");
    side_by_side_anchors(
        state, 16, 1000,
        [&] {
            aes_encrypt(&ks, a, a);
            benchmark::DoNotOptimize(a);
        },
        anchor{"evp", [&] {
                   EVP_EncryptUpdate(ctx, b, &n, b, 16);
                   benchmark::DoNotOptimize(b);
               }});
    state.SetLabel(aes_current->name);
    EVP_CIPHER_CTX_free(ctx);
    EVP_CIPHER_free(ecb);
}
BENCHMARK(BM_Aes128Block);

// Counter mode over a 1 KB record through the record's multi-block entry;
// OpenSSL's pipelined CTR is the anchor, given a fresh IV per record only
// (neither side expands the key per record).
void BM_Aes128Ctr1k(benchmark::State &state)
{
    aes_init();
    aes_key ks;
    aes_set_key(&ks, kKey);
    std::vector<uint8_t> buf = message(1024), out(1024), check(1024);
    uint8_t iv[16] = {};
    EVP_CIPHER *cipher = EVP_CIPHER_fetch(nullptr, "AES-128-CTR", nullptr);
    EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
    int n;
    EVP_EncryptInit_ex2(ctx, cipher, kKey, iv, nullptr);
    EVP_EncryptUpdate(ctx, check.data(), &n, buf.data(), int(buf.size()));
    uint8_t ctr[16] = {};
    aes_ctr_blocks(&ks, ctr, buf.data(), out.data(), buf.size() / 16);
    if (out != check)
        state.SkipWithError("CTR differs from OpenSSL");
    side_by_side_anchors(
        state, 1024, 100,
        [&] {
            uint8_t c[16] = {};
            aes_ctr_blocks(&ks, c, buf.data(), out.data(), buf.size() / 16);
            benchmark::DoNotOptimize(out.data());
        },
        anchor{"evp", [&] {
                   EVP_EncryptInit_ex2(ctx, nullptr, nullptr, iv, nullptr);
                   EVP_EncryptUpdate(ctx, out.data(), &n, buf.data(), int(buf.size()));
                   benchmark::DoNotOptimize(out.data());
               }});
    state.SetLabel(aes_current->name);
    EVP_CIPHER_CTX_free(ctx);
    EVP_CIPHER_free(cipher);
}
BENCHMARK(BM_Aes128Ctr1k);

// AES-128-CCM as a DTLS record uses it: 12-byte nonce, 13 bytes of
// additional data, 16-byte tag. Ours through the product's CCM, in the
// one-shot form the record layer calls (range 1 = 0) or the streaming form
// (range 1 = 1, data fed in one update); OpenSSL keyed once, a fresh nonce
// per record.
struct evp_ccm {
    EVP_CIPHER *cipher = EVP_CIPHER_fetch(nullptr, "AES-128-CCM", nullptr);
    EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
    evp_ccm()
    {
        EVP_EncryptInit_ex2(ctx, cipher, nullptr, nullptr, nullptr);
        EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_AEAD_SET_IVLEN, 12, nullptr);
        EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_AEAD_SET_TAG, 16, nullptr);
        EVP_EncryptInit_ex2(ctx, nullptr, kKey, nullptr, nullptr);
    }
    ~evp_ccm()
    {
        EVP_CIPHER_CTX_free(ctx);
        EVP_CIPHER_free(cipher);
    }
    void seal(const uint8_t *nonce, const uint8_t *aad, const uint8_t *in, uint8_t *out, size_t len,
              uint8_t *tag)
    {
        int n;
        EVP_EncryptInit_ex2(ctx, nullptr, nullptr, nonce, nullptr);
        EVP_EncryptUpdate(ctx, nullptr, &n, nullptr, int(len));
        EVP_EncryptUpdate(ctx, nullptr, &n, aad, 13);
        EVP_EncryptUpdate(ctx, out, &n, in, int(len));
        EVP_EncryptFinal_ex(ctx, out, &n);
        EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_AEAD_GET_TAG, 16, tag);
    }
};

void BM_Aes128Ccm(benchmark::State &state)
{
    aes_init();
    size_t len = size_t(state.range(0));
    bool streaming = state.range(1) != 0;
    dtls_cipher_state key;
    ccm_set_key(&key, kKey);
    evp_ccm theirs;
    const std::vector<uint8_t> plain = message(len);
    std::vector<uint8_t> ours_buf(plain), theirs_out(len);
    const uint8_t nonce[12] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    const uint8_t aad[13] = {0,           0, 0, 0, 0, 0, 0, 1, 23, 0xfe, 0xfd, uint8_t(len >> 8),
                             uint8_t(len)};
    uint8_t tag_ours[16], tag_theirs[16];
    auto seal_ours = [&] {
        if (streaming) {
            ccm_ctx c;
            ccm_start(&c, &key, nonce, 12, aad, 13, len, 16);
            ccm_encrypt_update(&c, ours_buf.data(), ours_buf.data(), len);
            ccm_encrypt_final(&c, tag_ours);
        } else {
            ccm_encrypt(&key, nonce, 12, aad, 13, tag_ours, 16, ours_buf.data(), len);
        }
    };
    seal_ours();
    theirs.seal(nonce, aad, plain.data(), theirs_out.data(), len, tag_theirs);
    if (ours_buf != theirs_out || !same(tag_ours, tag_theirs, 16))
        state.SkipWithError("CCM differs from OpenSSL");
    side_by_side_anchors(
        state, len, len > 256 ? 50 : 500,
        [&] {
            seal_ours();
            benchmark::DoNotOptimize(ours_buf.data());
            benchmark::DoNotOptimize(tag_ours);
        },
        anchor{"evp", [&] {
                   theirs.seal(nonce, aad, plain.data(), theirs_out.data(), len, tag_theirs);
                   benchmark::DoNotOptimize(theirs_out.data());
                   benchmark::DoNotOptimize(tag_theirs);
               }});
    state.SetLabel(std::string(streaming ? "streaming, " : "one-shot, ") + aes_current->name);
    ccm_wipe(&key);
}
BENCHMARK(BM_Aes128Ccm)->ArgsProduct({{64, 1024}, {0, 1}});

// A whole digest per call: ours init, update, final; OpenSSL's EVP with the
// algorithm fetched once and its context reused, and its low-level functions.
template <typename Ctx, size_t N, void (*Init)(Ctx *), void (*Update)(Ctx *, const void *, size_t),
          void (*Final)(Ctx *, uint8_t *), typename LowCtx, int (*LowInit)(LowCtx *),
          int (*LowUpdate)(LowCtx *, const void *, size_t),
          int (*LowFinal)(unsigned char *, LowCtx *)>
void digest_bench(benchmark::State &state, const char *name)
{
    size_t len = size_t(state.range(0));
    const std::vector<uint8_t> m = message(len);
    EVP_MD *md = EVP_MD_fetch(nullptr, name, nullptr);
    EVP_MD_CTX *ctx = EVP_MD_CTX_new();
    uint8_t d_ours[N], d_evp[N], d_low[N];
    unsigned n;
    auto ours = [&] {
        Ctx c;
        Init(&c);
        Update(&c, m.data(), m.size());
        Final(&c, d_ours);
    };
    auto evp = [&] {
        EVP_DigestInit_ex2(ctx, md, nullptr);
        EVP_DigestUpdate(ctx, m.data(), m.size());
        EVP_DigestFinal_ex(ctx, d_evp, &n);
    };
    auto low = [&] {
        LowCtx c;
        LowInit(&c);
        LowUpdate(&c, m.data(), m.size());
        LowFinal(d_low, &c);
    };
    ours();
    evp();
    low();
    if (!same(d_ours, d_evp, N) || !same(d_ours, d_low, N))
        state.SkipWithError("digest differs from OpenSSL");
    side_by_side_anchors(
        state, len, len > 1024 ? 20 : 500,
        [&] {
            ours();
            benchmark::DoNotOptimize(d_ours);
        },
        anchor{"evp",
               [&] {
                   evp();
                   benchmark::DoNotOptimize(d_evp);
               }},
        anchor{"lowlevel", [&] {
                   low();
                   benchmark::DoNotOptimize(d_low);
               }});
    EVP_MD_CTX_free(ctx);
    EVP_MD_free(md);
}

void BM_Sha1(benchmark::State &state)
{
    digest_bench<sha1_ctx, 20, sha1_init, sha1_update, sha1_final, SHA_CTX, SHA1_Init, SHA1_Update,
                 SHA1_Final>(state, "SHA1");
}
BENCHMARK(BM_Sha1)->Arg(64)->Arg(1024)->Arg(16384);

void BM_Sha256(benchmark::State &state)
{
    digest_bench<sha256_ctx, 32, sha256_init, sha256_update, sha256_final, SHA256_CTX, SHA256_Init,
                 SHA256_Update, SHA256_Final>(state, "SHA256");
}
BENCHMARK(BM_Sha256)->Arg(64)->Arg(1024)->Arg(16384);

// One MAC per call over range(0) bytes. range(1) = 0: the key set up once and
// reused (the DTLS PRF and cookie; ours copies a keyed context, OpenSSL
// re-initialises its keyed context); 1: a new 16-byte key per message (the
// 802.11 and RADIUS MACs; OpenSSL's context and digest are still reused).
template <typename Ctx, size_t N, void (*Init)(Ctx *, const void *, size_t),
          void (*Update)(Ctx *, const void *, size_t), void (*Final)(Ctx *, uint8_t *)>
void hmac_bench(benchmark::State &state, const char *name)
{
    size_t len = size_t(state.range(0));
    bool rekey = state.range(1) != 0;
    const std::vector<uint8_t> m = message(len);
    EVP_MD *md = EVP_MD_fetch(nullptr, name, nullptr);
    EVP_MAC *mac = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
    EVP_MAC_CTX *mctx = EVP_MAC_CTX_new(mac);
    char digest_name[16];
    snprintf(digest_name, sizeof digest_name, "%s", name);
    OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest_name, 0),
                           OSSL_PARAM_construct_end()};
    EVP_MAC_init(mctx, kKey, sizeof kKey, params);
    HMAC_CTX *hctx = HMAC_CTX_new();
    HMAC_Init_ex(hctx, kKey, sizeof kKey, md, nullptr);
    Ctx keyed;
    Init(&keyed, kKey, sizeof kKey);

    uint8_t d_ours[N], d_mac[N], d_hctx[N];
    size_t mac_len;
    unsigned hctx_len;
    auto ours = [&] {
        Ctx c;
        if (rekey)
            Init(&c, kKey, sizeof kKey);
        else
            c = keyed;
        Update(&c, m.data(), m.size());
        Final(&c, d_ours);
    };
    auto evp_mac = [&] {
        EVP_MAC_init(mctx, rekey ? kKey : nullptr, rekey ? sizeof kKey : 0, nullptr);
        EVP_MAC_update(mctx, m.data(), m.size());
        EVP_MAC_final(mctx, d_mac, &mac_len, N);
    };
    auto hmac_ctx = [&] {
        HMAC_Init_ex(hctx, rekey ? kKey : nullptr, rekey ? int(sizeof kKey) : 0, nullptr, nullptr);
        HMAC_Update(hctx, m.data(), m.size());
        HMAC_Final(hctx, d_hctx, &hctx_len);
    };
    ours();
    evp_mac();
    hmac_ctx();
    if (!same(d_ours, d_mac, N) || !same(d_ours, d_hctx, N))
        state.SkipWithError("HMAC differs from OpenSSL");
    side_by_side_anchors(
        state, len, len > 256 ? 100 : 500,
        [&] {
            ours();
            benchmark::DoNotOptimize(d_ours);
        },
        anchor{"evp_mac",
               [&] {
                   evp_mac();
                   benchmark::DoNotOptimize(d_mac);
               }},
        anchor{"hmac_ctx", [&] {
                   hmac_ctx();
                   benchmark::DoNotOptimize(d_hctx);
               }});
    state.SetLabel(rekey ? "key per message" : "key set up once");
    HMAC_CTX_free(hctx);
    EVP_MAC_CTX_free(mctx);
    EVP_MAC_free(mac);
    EVP_MD_free(md);
}

void BM_HmacSha1(benchmark::State &state)
{
    hmac_bench<hmac_sha1_ctx, 20, hmac_sha1_init, hmac_sha1_update, hmac_sha1_final>(state, "SHA1");
}
BENCHMARK(BM_HmacSha1)->ArgsProduct({{64, 1024}, {0, 1}});

void BM_HmacSha256(benchmark::State &state)
{
    hmac_bench<hmac_sha256_ctx, 32, hmac_sha256_init, hmac_sha256_update, hmac_sha256_final>(
        state, "SHA256");
}
BENCHMARK(BM_HmacSha256)->ArgsProduct({{64, 1024}, {0, 1}});

// AES-CMAC with the key set up once on every side: our schedule, OpenSSL's
// EVP_MAC context (cipher fetched at its first init only) re-initialised with
// the same key, and its CMAC_CTX likewise.
void BM_AesCmac(benchmark::State &state)
{
    aes_init();
    size_t len = size_t(state.range(0));
    const std::vector<uint8_t> m = message(len);
    aes_key ks;
    aes_set_key(&ks, kKey);
    EVP_MAC *mac = EVP_MAC_fetch(nullptr, "CMAC", nullptr);
    EVP_MAC_CTX *mctx = EVP_MAC_CTX_new(mac);
    char cipher[] = "AES-128-CBC";
    OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_CIPHER, cipher, 0),
                           OSSL_PARAM_construct_end()};
    EVP_MAC_init(mctx, kKey, sizeof kKey, params);
    EVP_CIPHER *cbc = EVP_CIPHER_fetch(nullptr, "AES-128-CBC", nullptr);
    CMAC_CTX *cctx = CMAC_CTX_new();
    CMAC_Init(cctx, kKey, sizeof kKey, cbc, nullptr);

    uint8_t d_ours[16], d_mac[16], d_cctx[16];
    size_t n;
    auto ours = [&] {
        aes_cmac_ctx c;
        aes_cmac_init(&c);
        aes_cmac_update(&ks, &c, m.data(), m.size());
        aes_cmac_final(&ks, &c, d_ours);
    };
    auto evp_mac = [&] {
        EVP_MAC_init(mctx, nullptr, 0, nullptr);
        EVP_MAC_update(mctx, m.data(), m.size());
        EVP_MAC_final(mctx, d_mac, &n, sizeof d_mac);
    };
    auto cmac_ctx = [&] {
        CMAC_Init(cctx, nullptr, 0, nullptr, nullptr);
        CMAC_Update(cctx, m.data(), m.size());
        CMAC_Final(cctx, d_cctx, &n);
    };
    ours();
    evp_mac();
    cmac_ctx();
    if (!same(d_ours, d_mac, 16) || !same(d_ours, d_cctx, 16))
        state.SkipWithError("CMAC differs from OpenSSL");
    side_by_side_anchors(
        state, len, len > 256 ? 100 : 500,
        [&] {
            ours();
            benchmark::DoNotOptimize(d_ours);
        },
        anchor{"evp_mac",
               [&] {
                   evp_mac();
                   benchmark::DoNotOptimize(d_mac);
               }},
        anchor{"cmac_ctx", [&] {
                   cmac_ctx();
                   benchmark::DoNotOptimize(d_cctx);
               }});
    state.SetLabel(aes_current->name);
    CMAC_CTX_free(cctx);
    EVP_CIPHER_free(cbc);
    EVP_MAC_CTX_free(mctx);
    EVP_MAC_free(mac);
}
BENCHMARK(BM_AesCmac)->Arg(64)->Arg(1024);

} // namespace

BENCHMARK_MAIN();
