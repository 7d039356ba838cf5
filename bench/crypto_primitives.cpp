// Digests, MACs and AES side by side with OpenSSL.
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <cstring>
#include <vector>

#include "bench/crypto_side_by_side.h"
#include "common/crypto/aes.h"
#include "common/crypto/aes_cmac.h"
#include "common/crypto/bytes.h"
#include "common/crypto/hmac.h"
#include "common/crypto/sha1.h"
#include "common/crypto/sha256.h"

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

void BM_Aes128Block(benchmark::State &state)
{
    aes_init();
    aes_key ks;
    aes_set_key(&ks, kKey);
    EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
    EVP_EncryptInit_ex2(ctx, EVP_aes_128_ecb(), kKey, nullptr, nullptr);
    EVP_CIPHER_CTX_set_padding(ctx, 0);
    uint8_t a[16] = {}, b[16] = {};
    int n;
    side_by_side(state, 16, 1000,
                 [&] {
                     aes_encrypt(&ks, a, a);
                     benchmark::DoNotOptimize(a);
                 },
                 [&] {
                     EVP_EncryptUpdate(ctx, b, &n, b, 16);
                     benchmark::DoNotOptimize(b);
                 });
    state.SetLabel(aes_current->name);
    EVP_CIPHER_CTX_free(ctx);
}
BENCHMARK(BM_Aes128Block);

// Counter mode over a 1 KB record through the record's multi-block entry;
// OpenSSL's pipelined CTR is the anchor.
void BM_Aes128Ctr1k(benchmark::State &state)
{
    aes_init();
    aes_key ks;
    aes_set_key(&ks, kKey);
    std::vector<uint8_t> buf = message(1024), out(1024), check(1024);
    uint8_t iv[16] = {};
    EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
    int n;
    EVP_EncryptInit_ex2(ctx, EVP_aes_128_ctr(), kKey, iv, nullptr);
    EVP_EncryptUpdate(ctx, check.data(), &n, buf.data(), int(buf.size()));
    uint8_t ctr[16] = {};
    aes_ctr_blocks(&ks, ctr, buf.data(), out.data(), buf.size() / 16);
    if (out != check)
        state.SkipWithError("CTR differs from OpenSSL");
    side_by_side(state, 1024, 100,
                 [&] {
                     uint8_t c[16] = {};
                     aes_ctr_blocks(&ks, c, buf.data(), out.data(), buf.size() / 16);
                     benchmark::DoNotOptimize(out.data());
                 },
                 [&] {
                     // A fresh IV only: our side does not expand the key per record either.
                     EVP_EncryptInit_ex2(ctx, nullptr, nullptr, iv, nullptr);
                     EVP_EncryptUpdate(ctx, out.data(), &n, buf.data(), int(buf.size()));
                     benchmark::DoNotOptimize(out.data());
                 });
    state.SetLabel(aes_current->name);
    EVP_CIPHER_CTX_free(ctx);
}
BENCHMARK(BM_Aes128Ctr1k);

// CCM of a 1 KB record: CBC-MAC and CTR block by block through our AES
// against OpenSSL's AES-128-CCM with a 16-byte tag.
void BM_Aes128Ccm1k(benchmark::State &state)
{
    aes_init();
    aes_key ks;
    aes_set_key(&ks, kKey);
    std::vector<uint8_t> buf = message(1024), out(1024);
    uint8_t nonce[12] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}, tag[16];
    EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
    int n;
    side_by_side(state, 1024, 100,
                 [&] {
                     uint8_t mac[16] = {0x1a}, ctr[16] = {0x02}, s[16];
                     memcpy(mac + 1, nonce, 12);
                     memcpy(ctr + 1, nonce, 12);
                     mac[14] = 0x04; // length 1024
                     aes_encrypt(&ks, mac, mac);
                     for (size_t off = 0; off < buf.size(); off += 16) {
                         for (int i = 0; i < 16; i++)
                             mac[i] ^= buf[off + i];
                         aes_encrypt(&ks, mac, mac);
                         ctr[15] = uint8_t(off / 16 + 1);
                         ctr[14] = uint8_t((off / 16 + 1) >> 8);
                         aes_encrypt(&ks, ctr, s);
                         for (int i = 0; i < 16; i++)
                             out[off + i] = buf[off + i] ^ s[i];
                     }
                     ctr[14] = ctr[15] = 0;
                     aes_encrypt(&ks, ctr, s);
                     for (int i = 0; i < 16; i++)
                         tag[i] = mac[i] ^ s[i];
                     benchmark::DoNotOptimize(out.data());
                     benchmark::DoNotOptimize(tag);
                 },
                 [&] {
                     EVP_EncryptInit_ex2(ctx, EVP_aes_128_ccm(), nullptr, nullptr, nullptr);
                     EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_AEAD_SET_IVLEN, 12, nullptr);
                     EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_AEAD_SET_TAG, 16, nullptr);
                     EVP_EncryptInit_ex2(ctx, nullptr, kKey, nonce, nullptr);
                     EVP_EncryptUpdate(ctx, nullptr, &n, nullptr, int(buf.size()));
                     EVP_EncryptUpdate(ctx, out.data(), &n, buf.data(), int(buf.size()));
                     EVP_EncryptFinal_ex(ctx, out.data(), &n);
                     EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_AEAD_GET_TAG, 16, tag);
                     benchmark::DoNotOptimize(out.data());
                 });
    EVP_CIPHER_CTX_free(ctx);
}
BENCHMARK(BM_Aes128Ccm1k);

template <typename Ctx, size_t N, void (*Init)(Ctx *), void (*Update)(Ctx *, const void *, size_t),
          void (*Final)(Ctx *, uint8_t *)>
void digest_bench(benchmark::State &state, const char *name)
{
    size_t len = size_t(state.range(0));
    std::vector<uint8_t> m = message(len);
    EVP_MD *md = EVP_MD_fetch(nullptr, name, nullptr);
    uint8_t d[32];
    unsigned n;
    side_by_side(state, len, len > 1024 ? 20 : 500,
                 [&] {
                     Ctx c;
                     Init(&c);
                     Update(&c, m.data(), m.size());
                     Final(&c, d);
                     benchmark::DoNotOptimize(d);
                 },
                 [&] {
                     EVP_Digest(m.data(), m.size(), d, &n, md, nullptr);
                     benchmark::DoNotOptimize(d);
                 });
    EVP_MD_free(md);
}

void BM_Sha1(benchmark::State &state)
{
    digest_bench<sha1_ctx, 20, sha1_init, sha1_update, sha1_final>(state, "SHA1");
}
BENCHMARK(BM_Sha1)->Arg(64)->Arg(1024)->Arg(16384);

void BM_Sha256(benchmark::State &state)
{
    digest_bench<sha256_ctx, 32, sha256_init, sha256_update, sha256_final>(state, "SHA256");
}
BENCHMARK(BM_Sha256)->Arg(64)->Arg(1024)->Arg(16384);

// One MAC per call on a 64-byte message, key set up each time as a protocol
// that MACs one message per key use does.
void BM_HmacSha1_64(benchmark::State &state)
{
    std::vector<uint8_t> m = message(64);
    EVP_MD *md = EVP_MD_fetch(nullptr, "SHA1", nullptr);
    uint8_t out[20];
    unsigned n;
    side_by_side(state, 64, 500,
                 [&] {
                     hmac_sha1_ctx h;
                     hmac_sha1_init(&h, kKey, 16);
                     hmac_sha1_update(&h, m.data(), m.size());
                     hmac_sha1_final(&h, out);
                     benchmark::DoNotOptimize(out);
                 },
                 [&] {
                     HMAC(md, kKey, 16, m.data(), m.size(), out, &n);
                     benchmark::DoNotOptimize(out);
                 });
    EVP_MD_free(md);
}
BENCHMARK(BM_HmacSha1_64);

void BM_AesCmac64(benchmark::State &state)
{
    aes_init();
    std::vector<uint8_t> m = message(64);
    EVP_MAC *mac = EVP_MAC_fetch(nullptr, "CMAC", nullptr);
    EVP_MAC_CTX *ctx = EVP_MAC_CTX_new(mac);
    char cipher[] = "AES-128-CBC";
    OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_CIPHER, cipher, 0),
                           OSSL_PARAM_construct_end()};
    uint8_t out[16];
    size_t n;
    side_by_side(state, 64, 500,
                 [&] {
                     aes_key ks;
                     aes_set_key(&ks, kKey);
                     aes_cmac_ctx c;
                     aes_cmac_init(&c);
                     aes_cmac_update(&ks, &c, m.data(), m.size());
                     aes_cmac_final(&ks, &c, out);
                     benchmark::DoNotOptimize(out);
                 },
                 [&] {
                     EVP_MAC_init(ctx, kKey, 16, params);
                     EVP_MAC_update(ctx, m.data(), m.size());
                     EVP_MAC_final(ctx, out, &n, sizeof out);
                     benchmark::DoNotOptimize(out);
                 });
    EVP_MAC_CTX_free(ctx);
    EVP_MAC_free(mac);
}
BENCHMARK(BM_AesCmac64);

// The WPA passphrase mapping: PBKDF2-HMAC-SHA1, 4096 iterations, 32 bytes.
// The inner and outer states after the key blocks are computed once; each
// iteration is then two compressions over a prepared block.
void pbkdf2_sha1(const char *pass, const uint8_t *salt, size_t salt_len, uint32_t iterations,
                 uint8_t *out, size_t out_len)
{
    using namespace crypto_bytes;
    hmac_sha1_ctx h;
    hmac_sha1_init(&h, pass, strlen(pass));
    uint32_t istate[5], ostate[5];
    memcpy(istate, h.inner.state, sizeof istate);
    sha1_ctx o;
    sha1_init(&o);
    sha1_update(&o, h.okey, 64);
    memcpy(ostate, o.state, sizeof ostate);
    // A 20-byte message after one key block: its padding is fixed.
    uint8_t block[64] = {};
    block[20] = 0x80;
    store_be32(block + 60, (64 + 20) * 8);
    for (uint32_t index = 1; out_len; index++) {
        hmac_sha1_ctx first = h;
        uint8_t be[4];
        store_be32(be, index);
        hmac_sha1_update(&first, salt, salt_len);
        hmac_sha1_update(&first, be, 4);
        uint8_t u[20], t[20];
        hmac_sha1_final(&first, u);
        memcpy(t, u, 20);
        for (uint32_t it = 1; it < iterations; it++) {
            uint32_t s[5];
            memcpy(block, u, 20);
            memcpy(s, istate, sizeof s);
            sha1_transform(s, block);
            for (int i = 0; i < 5; i++)
                store_be32(block + 4 * i, s[i]);
            memcpy(s, ostate, sizeof s);
            sha1_transform(s, block);
            for (int i = 0; i < 5; i++)
                store_be32(u + 4 * i, s[i]);
            for (int i = 0; i < 20; i++)
                t[i] ^= u[i];
        }
        size_t n = out_len < 20 ? out_len : 20;
        memcpy(out, t, n);
        out += n;
        out_len -= n;
    }
}

void BM_Pbkdf2Sha1_4096(benchmark::State &state)
{
    const char *pass = "a passphrase of some length";
    const uint8_t ssid[] = "gateway-test";
    uint8_t a[32], b[32];
    pbkdf2_sha1(pass, ssid, 12, 4096, a, 32);
    PKCS5_PBKDF2_HMAC_SHA1(pass, int(strlen(pass)), ssid, 12, 4096, 32, b);
    if (memcmp(a, b, 32) != 0)
        state.SkipWithError("PBKDF2 differs from OpenSSL");
    side_by_side(state, 0, 2,
                 [&] {
                     pbkdf2_sha1(pass, ssid, 12, 4096, a, 32);
                     benchmark::DoNotOptimize(a);
                 },
                 [&] {
                     PKCS5_PBKDF2_HMAC_SHA1(pass, int(strlen(pass)), ssid, 12, 4096, 32, b);
                     benchmark::DoNotOptimize(b);
                 });
}
BENCHMARK(BM_Pbkdf2Sha1_4096);

} // namespace

BENCHMARK_MAIN();
