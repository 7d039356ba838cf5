// AES in chains of single blocks (CBC-MAC, CMAC, key wrap, streaming CCM)
// and the raw block function, on the portable implementation (Arg 0,
// bitsliced) and on AES-NI (Arg 1), side by side with OpenSSL.
//
// The rule for every benchmark here: each anchor is used as its best users
// use it (ciphers fetched and contexts keyed once, no per-call lookups);
// both sides compute the same result, checked byte for byte once before
// timing; the timed side is the product's own code path; and every anchor
// gets its own ratio counter (its time over ours: above 1 means ours is
// faster). OpenSSL picks its fastest AES (AES-NI here); run with
// OPENSSL_ia32cap="~0x200000200000000" to make its anchor the portable
// constant-time one too, which is the like-for-like anchor of Arg 0.
#include <openssl/core_names.h>
#include <openssl/evp.h>

#include <array>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "bench/pin.h"
#include "common/crypto/aes.h"
#include "common/crypto/aes_cmac.h"
#include "common/crypto/crypto_hw.h"
#include "controller/dtls/dtls_aes_ccm.h"

namespace
{

const uint8_t kKey[16] = {0x2b, 0x7e, 0x15, 0x16, 0x28, 0xae, 0xd2, 0xa6,
                          0xab, 0xf7, 0x15, 0x88, 0x09, 0xcf, 0x4f, 0x3c};

std::vector<uint8_t> message(size_t n)
{
    std::vector<uint8_t> m(n);
    for (size_t i = 0; i < n; i++)
        m[i] = uint8_t(i * 31 + 7);
    return m;
}

template <typename F> struct anchor {
    const char *name;
    F fn;
};
template <typename F> anchor(const char *, F) -> anchor<F>;

template <typename F> double timed(int batch, F &f)
{
    auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < batch; i++)
        f();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// Ours and every anchor alternate in batches inside each iteration.
template <typename Ours, typename... A>
void compare(benchmark::State &state, size_t bytes_per_op, int batch, Ours ours, anchor<A>... as)
{
    double t_ours = 0;
    std::array<double, sizeof...(A)> t{};
    int64_t n = 0;
    for (auto _ : state) {
        t_ours += timed(batch, ours);
        size_t i = 0;
        ((t[i++] += timed(batch, as.fn)), ...);
        n += batch;
    }
    state.counters["ours_ns"] = t_ours / double(n) * 1e9;
    size_t i = 0;
    (
        [&](const char *name) {
            state.counters[std::string(name) + "_ns"] = t[i] / double(n) * 1e9;
            state.counters[std::string("ratio_") + name] = t[i] / t_ours;
            i++;
        }(as.name),
        ...);
    if (bytes_per_op) state.counters["ours_MBps"] = double(bytes_per_op) * double(n) / t_ours / 1e6;
}

// Selects the implementation named by the first argument; false (and the
// benchmark skipped) when the processor lacks it.
bool select_impl(benchmark::State &state)
{
    const aes_impl *impl = state.range(0) ? &aes_ni_impl : &aes_generic_impl;
    if (state.range(0) && !(crypto_hw() & CRYPTO_HW_AES)) {
        state.SkipWithError("no AES instructions on this processor");
        return false;
    }
    aes_select(impl);
    state.SetLabel(impl->name);
    return true;
}

bool same(benchmark::State &state, const void *a, const void *b, size_t n, const char *what)
{
    if (memcmp(a, b, n) == 0) return true;
    state.SkipWithError(what);
    return false;
}

EVP_CIPHER_CTX *keyed_cipher(const char *name, const uint8_t *key, EVP_CIPHER **cipher)
{
    *cipher = EVP_CIPHER_fetch(nullptr, name, nullptr);
    EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
    EVP_EncryptInit_ex2(ctx, *cipher, key, nullptr, nullptr);
    EVP_CIPHER_CTX_set_padding(ctx, 0);
    return ctx;
}

// One block after another, each the input of the next.
void BM_BlockChain(benchmark::State &state)
{
    if (!select_impl(state)) return;
    aes_key ks;
    aes_set_key(&ks, kKey);
    EVP_CIPHER *c;
    EVP_CIPHER_CTX *ctx = keyed_cipher("AES-128-ECB", kKey, &c);
    uint8_t a[16] = {}, b[16] = {};
    int n;
    aes_encrypt(&ks, a, a);
    EVP_EncryptUpdate(ctx, b, &n, b, 16);
    if (same(state, a, b, 16, "block differs from OpenSSL"))
        compare(
            state, 16, 1000,
            [&] {
                aes_encrypt(&ks, a, a);
                benchmark::DoNotOptimize(a);
            },
            anchor{"openssl", [&] {
                       EVP_EncryptUpdate(ctx, b, &n, b, 16);
                       benchmark::DoNotOptimize(b);
                   }});
    EVP_CIPHER_CTX_free(ctx);
    EVP_CIPHER_free(c);
}
BENCHMARK(BM_BlockChain)->Arg(0)->Arg(1);

// Independent blocks: the portable code fills its four lanes.
void BM_Ecb(benchmark::State &state)
{
    if (!select_impl(state)) return;
    size_t len = size_t(state.range(1));
    aes_key ks;
    aes_set_key(&ks, kKey);
    EVP_CIPHER *c;
    EVP_CIPHER_CTX *ctx = keyed_cipher("AES-128-ECB", kKey, &c);
    std::vector<uint8_t> in = message(len), a(len), b(len);
    int n;
    aes_encrypt_blocks(&ks, in.data(), a.data(), len / 16);
    EVP_EncryptUpdate(ctx, b.data(), &n, in.data(), int(len));
    if (same(state, a.data(), b.data(), len, "ECB differs from OpenSSL"))
        compare(
            state, len, 100,
            [&] {
                aes_encrypt_blocks(&ks, in.data(), a.data(), len / 16);
                benchmark::DoNotOptimize(a.data());
            },
            anchor{"openssl", [&] {
                       EVP_EncryptUpdate(ctx, b.data(), &n, in.data(), int(len));
                       benchmark::DoNotOptimize(b.data());
                   }});
    EVP_CIPHER_CTX_free(ctx);
    EVP_CIPHER_free(c);
}
BENCHMARK(BM_Ecb)->ArgsProduct({{0, 1}, {64, 1024}});

// CBC-MAC through the chain entry; anchors: one call per block through the
// implementation record (the way the chains ran before), and OpenSSL's CBC
// keyed once whose last ciphertext block is the MAC.
void BM_CbcMac(benchmark::State &state)
{
    if (!select_impl(state)) return;
    size_t len = size_t(state.range(1));
    aes_key ks;
    aes_set_key(&ks, kKey);
    EVP_CIPHER *c;
    EVP_CIPHER_CTX *ctx = keyed_cipher("AES-128-CBC", kKey, &c);
    const uint8_t iv[16] = {};
    std::vector<uint8_t> in = message(len), out(len);
    uint8_t a[16], p[16];
    int n;
    auto ours = [&] {
        memset(a, 0, 16);
        aes_cbc_mac(&ks, a, in.data(), len / 16);
        benchmark::DoNotOptimize(a);
    };
    auto per_block = [&] {
        memset(p, 0, 16);
        for (size_t off = 0; off < len; off += 16) {
            for (int i = 0; i < 16; i++)
                p[i] ^= in[off + size_t(i)];
            aes_encrypt(&ks, p, p);
        }
        benchmark::DoNotOptimize(p);
    };
    auto theirs = [&] {
        EVP_EncryptInit_ex2(ctx, nullptr, nullptr, iv, nullptr);
        EVP_EncryptUpdate(ctx, out.data(), &n, in.data(), int(len));
        benchmark::DoNotOptimize(out.data());
    };
    ours();
    per_block();
    theirs();
    if (same(state, a, p, 16, "per-block CBC-MAC differs") &&
        same(state, a, out.data() + len - 16, 16, "CBC-MAC differs from OpenSSL"))
        compare(state, len, 100, ours, anchor{"per_block", per_block}, anchor{"openssl", theirs});
    EVP_CIPHER_CTX_free(ctx);
    EVP_CIPHER_free(c);
}
BENCHMARK(BM_CbcMac)->ArgsProduct({{0, 1}, {64, 1024}});

// CMAC with a key held as aes_cmac_key (subkeys derived once), one call per
// message. Anchors: OpenSSL's EVP_MAC keyed once and restarted per message,
// and the per-call form that derives the subkeys for every message.
void BM_Cmac(benchmark::State &state)
{
    if (!select_impl(state)) return;
    size_t len = size_t(state.range(1));
    aes_cmac_key ck;
    aes_cmac_set_key(&ck, kKey);
    EVP_MAC *mac = EVP_MAC_fetch(nullptr, "CMAC", nullptr);
    EVP_MAC_CTX *mctx = EVP_MAC_CTX_new(mac);
    char cipher_name[] = "AES-128-CBC";
    OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_CIPHER, cipher_name, 0),
                           OSSL_PARAM_construct_end()};
    EVP_MAC_init(mctx, kKey, 16, params);
    std::vector<uint8_t> m = message(len);
    uint8_t a[16], b[16], u[16];
    size_t tl;
    auto ours = [&] {
        aes_cmac(&ck, m.data(), len, a);
        benchmark::DoNotOptimize(a);
    };
    auto theirs = [&] {
        EVP_MAC_init(mctx, nullptr, 0, nullptr);
        EVP_MAC_update(mctx, m.data(), len);
        EVP_MAC_final(mctx, b, &tl, sizeof b);
        benchmark::DoNotOptimize(b);
    };
    auto unkeyed = [&] {
        aes_cmac_ctx c;
        aes_cmac_init(&c);
        aes_cmac_update(&ck.aes, &c, m.data(), len);
        aes_cmac_final(&ck.aes, &c, u);
        benchmark::DoNotOptimize(u);
    };
    ours();
    theirs();
    unkeyed();
    theirs(); // a restarted context gives the same tag again
    if (same(state, a, b, 16, "CMAC differs from OpenSSL") &&
        same(state, a, u, 16, "per-call CMAC differs"))
        compare(state, len, 100, ours, anchor{"openssl", theirs},
                anchor{"subkeys_per_message", unkeyed});
    EVP_MAC_CTX_free(mctx);
    EVP_MAC_free(mac);
}
BENCHMARK(BM_Cmac)->ArgsProduct({{0, 1}, {16, 64, 1500}});

// Key wrap of n 64-bit blocks (2: a 128-bit key, 4: 256 bits). With the
// schedule made once against OpenSSL's wrap keyed once; then the product's
// call, which expands the key encryption key every time (it changes with
// every station), against OpenSSL rekeying its reused context.
void BM_KeyWrap(benchmark::State &state)
{
    if (!select_impl(state)) return;
    size_t n = size_t(state.range(1));
    bool rekey = state.range(2) != 0;
    aes_key ks;
    aes_set_key(&ks, kKey);
    EVP_CIPHER *c;
    EVP_CIPHER_CTX *ctx = keyed_cipher("AES-128-WRAP", kKey, &c);
    std::vector<uint8_t> plain = message(8 * n), a(8 * (n + 1)), b(8 * (n + 2));
    int outl;
    auto ours = [&] {
        memcpy(a.data(), plain.data(), 8 * n);
        if (rekey)
            aes_key_wrap(a.data(), kKey, n);
        else
            aes_key_wrap_keyed(a.data(), &ks, n);
        benchmark::DoNotOptimize(a.data());
    };
    auto theirs = [&] {
        if (rekey) EVP_EncryptInit_ex2(ctx, nullptr, kKey, nullptr, nullptr);
        EVP_EncryptUpdate(ctx, b.data(), &outl, plain.data(), int(8 * n));
        benchmark::DoNotOptimize(b.data());
    };
    ours();
    theirs();
    theirs(); // the reused context wraps the same way again
    if (same(state, a.data(), b.data(), 8 * (n + 1), "key wrap differs from OpenSSL"))
        compare(state, 8 * n, 100, ours, anchor{"openssl", theirs});
    state.SetLabel(std::string(aes_current->name) + (rekey ? " rekeyed" : " keyed once"));
    EVP_CIPHER_CTX_free(ctx);
    EVP_CIPHER_free(c);
}
BENCHMARK(BM_KeyWrap)->ArgsProduct({{0, 1}, {2, 4}, {0, 1}});

// The streaming CCM (start, one update, final) with a 12-byte nonce, 13
// bytes of additional data and a 16-byte tag, as a DTLS record; OpenSSL's
// AES-128-CCM keyed once, given the nonce per message.
void BM_CcmStream(benchmark::State &state)
{
    if (!select_impl(state)) return;
    size_t len = size_t(state.range(1));
    dtls_cipher_state key;
    ccm_set_key(&key, kKey);
    EVP_CIPHER *c = EVP_CIPHER_fetch(nullptr, "AES-128-CCM", nullptr);
    EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
    EVP_EncryptInit_ex2(ctx, c, nullptr, nullptr, nullptr);
    EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_AEAD_SET_IVLEN, 12, nullptr);
    EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_AEAD_SET_TAG, 16, nullptr);
    EVP_EncryptInit_ex2(ctx, nullptr, kKey, nullptr, nullptr);
    const uint8_t nonce[12] = {1, 2, 3, 4, 0, 0, 0, 0, 0, 0, 0, 9};
    const uint8_t aad[13] = {0, 0, 0, 0, 0, 0, 0, 9, 23, 0xfe, 0xfd, 0, 64};
    std::vector<uint8_t> in = message(len), a(len), b(len);
    uint8_t ta[16], tb[16];
    int l;
    auto ours = [&] {
        ccm_ctx cc;
        ccm_start(&cc, &key, nonce, sizeof nonce, aad, sizeof aad, len, 16);
        ccm_encrypt_update(&cc, in.data(), a.data(), len);
        ccm_encrypt_final(&cc, ta);
        benchmark::DoNotOptimize(ta);
    };
    auto theirs = [&] {
        EVP_EncryptInit_ex2(ctx, nullptr, nullptr, nonce, nullptr);
        EVP_EncryptUpdate(ctx, nullptr, &l, nullptr, int(len));
        EVP_EncryptUpdate(ctx, nullptr, &l, aad, sizeof aad);
        EVP_EncryptUpdate(ctx, b.data(), &l, in.data(), int(len));
        EVP_EncryptFinal_ex(ctx, b.data() + l, &l);
        EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_AEAD_GET_TAG, 16, tb);
        benchmark::DoNotOptimize(tb);
    };
    ours();
    theirs();
    theirs();
    if (same(state, a.data(), b.data(), len, "CCM ciphertext differs from OpenSSL") &&
        same(state, ta, tb, 16, "CCM tag differs from OpenSSL"))
        compare(state, len, 100, ours, anchor{"openssl", theirs});
    ccm_wipe(&key);
    EVP_CIPHER_CTX_free(ctx);
    EVP_CIPHER_free(c);
}
BENCHMARK(BM_CcmStream)->ArgsProduct({{0, 1}, {64, 1024}});

} // namespace

int main(int argc, char **argv)
{
    return bench_main_pinned(argc, argv);
}
