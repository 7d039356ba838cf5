// The multi-block AES entries against libcrypto's ECB and CTR on random
// keys, lengths, counters and splits, on every path the processor has; the
// portable and the instruction implementations against each other and
// libcrypto, called directly; the chains (CBC-MAC, key wrap, CCM's fused
// pair) against libcrypto's CBC, wrap and CTR.
#include <gtest/gtest.h>

#include <openssl/evp.h>

#include <cstring>
#include <random>

#include "common/crypto/aes.h"
#include "common/crypto/crypto_hw.h"
#include "crypto/util.h"

namespace {

bytes openssl_cipher(const EVP_CIPHER *cipher, const uint8_t *key, const uint8_t *iv,
                     const bytes &in)
{
    EVP_CIPHER_CTX *c = EVP_CIPHER_CTX_new();
    bytes out(in.size() + 16);
    int n = 0, m = 0;
    EXPECT_EQ(EVP_EncryptInit_ex2(c, cipher, key, iv, nullptr), 1);
    EVP_CIPHER_CTX_set_padding(c, 0);
    EXPECT_EQ(EVP_EncryptUpdate(c, out.data(), &n, in.data(), int(in.size())), 1);
    EXPECT_EQ(EVP_EncryptFinal_ex(c, out.data() + n, &m), 1);
    EVP_CIPHER_CTX_free(c);
    out.resize(size_t(n + m));
    return out;
}

class AesBlocksTest : public PathTest {};

TEST_P(AesBlocksTest, MatchesLibcryptoEcbAndCtr)
{
    std::mt19937_64 rng(0xae5b10c5);
    auto byte = [&] { return uint8_t(rng()); };
    EVP_CIPHER *ecb = EVP_CIPHER_fetch(nullptr, "AES-128-ECB", nullptr);
    EVP_CIPHER *ctr = EVP_CIPHER_fetch(nullptr, "AES-128-CTR", nullptr);
    ASSERT_NE(ecb, nullptr);
    ASSERT_NE(ctr, nullptr);
    for (int run = 0; run < kDiffRuns / 10; run++) {
        uint8_t k[16], iv[16];
        for (auto &b : k)
            b = byte();
        for (auto &b : iv)
            b = byte();
        // Counters about to carry out of the low word, the low half and the
        // whole block.
        switch (run % 8) {
        case 1:
            memset(iv + 12, 0xff, 4);
            break;
        case 2:
            memset(iv + 8, 0xff, 8);
            break;
        case 3:
            memset(iv, 0xff, 16);
            break;
        default:
            break;
        }
        if (run % 8 != 0 && run % 8 < 4)
            iv[15] = uint8_t(0xff - rng() % 20);
        size_t n = rng() % 41; // covers the 8-, 4- and 1-block steps
        bytes plain(16 * n + 1);
        for (auto &b : plain)
            b = byte();
        // Odd offset: nothing may assume aligned buffers.
        bytes in(plain.begin() + 1, plain.end());
        SCOPED_TRACE("run " + std::to_string(run) + ", " + std::to_string(n) + " blocks");

        aes_key ks;
        aes_set_key(&ks, k);
        bytes want = openssl_cipher(ecb, k, nullptr, in);
        bytes got(16 * n + 1);
        aes_encrypt_blocks(&ks, in.data(), got.data() + 1, n);
        ASSERT_EQ(tohex(got.data() + 1, 16 * n), tohex(want));
        bytes same = in;
        aes_encrypt_blocks(&ks, same.data(), same.data(), n);
        ASSERT_EQ(tohex(same), tohex(want));

        want = openssl_cipher(ctr, k, iv, in);
        // Two calls split at a random block: the counter left by the first
        // must continue the stream.
        size_t split = n ? rng() % (n + 1) : 0;
        uint8_t c[16];
        memcpy(c, iv, 16);
        aes_ctr_blocks(&ks, c, in.data(), got.data() + 1, split);
        aes_ctr_blocks(&ks, c, in.data() + 16 * split, got.data() + 1 + 16 * split, n - split);
        ASSERT_EQ(tohex(got.data() + 1, 16 * n), tohex(want));
        uint8_t next[16];
        bytes zero(16 * (n + 1));
        bytes tail = openssl_cipher(ctr, k, iv, zero);
        // The keystream of block n is E(iv + n): the counter now names it.
        aes_encrypt(&ks, c, next);
        ASSERT_EQ(tohex(next, 16), tohex(tail.data() + 16 * n, 16));

        same = in;
        memcpy(c, iv, 16);
        aes_ctr_blocks(&ks, c, same.data(), same.data(), n);
        ASSERT_EQ(tohex(same), tohex(want));

        // A null input yields the key stream.
        memcpy(c, iv, 16);
        aes_ctr_blocks(&ks, c, nullptr, got.data(), n);
        ASSERT_EQ(tohex(got.data(), 16 * n), tohex(tail.data(), 16 * n));
    }
    EVP_CIPHER_free(ecb);
    EVP_CIPHER_free(ctr);
}

INSTANTIATE_PATHS(AesBlocksTest);

// Both implementations, whatever the selection: the portable one always,
// the instruction one where the processor has it.
std::vector<const aes_impl *> implementations()
{
    std::vector<const aes_impl *> v = {&aes_generic_impl};
    if (crypto_hw() & CRYPTO_HW_AES) v.push_back(&aes_ni_impl);
    return v;
}

// SP 800-38A F.1.1: four blocks fill the portable code's four lanes at once;
// one at a time and three at a time leave lanes empty.
TEST(AesImplementations, Sp800_38aEcbInEveryLaneCount)
{
    const bytes key = hex("2b7e151628aed2a6abf7158809cf4f3c");
    const bytes plain = hex("6bc1bee22e409f96e93d7e117393172a ae2d8a571e03ac9c9eb76fac45af8e51"
                            "30c81c46a35ce411e5fbc1191a0a52ef f69f2445df4f9b17ad2b417be66c3710");
    const std::string want = "3ad77bb40d7a3660a89ecaf32466ef97f5d3d58503b9699de785895a96fdbaaf"
                             "43b1cd7f598ece23881b00e3ed0306887b0c785e27e8ad3f8223207104725dd4";
    for (const aes_impl *impl : implementations()) {
        SCOPED_TRACE(impl->name);
        aes_key ks;
        ASSERT_EQ(impl->set_key(&ks, key.data()), 10);
        bytes out(64);
        impl->encrypt_blocks(&ks, plain.data(), out.data(), 4);
        EXPECT_EQ(tohex(out), want);
        for (size_t i = 0; i < 4; i++)
            impl->encrypt(&ks, plain.data() + 16 * i, out.data() + 16 * i);
        EXPECT_EQ(tohex(out), want);
        impl->encrypt_blocks(&ks, plain.data(), out.data(), 3);
        impl->encrypt_blocks(&ks, plain.data() + 48, out.data() + 48, 1);
        EXPECT_EQ(tohex(out), want);
    }
}

TEST(AesImplementations, AgreeWithEachOtherAndLibcrypto)
{
    std::mt19937_64 rng(0x50f7ae5);
    auto fill = [&](uint8_t *p, size_t n) {
        for (size_t i = 0; i < n; i++)
            p[i] = uint8_t(rng());
    };
    EVP_CIPHER *ecb = EVP_CIPHER_fetch(nullptr, "AES-128-ECB", nullptr);
    EVP_CIPHER *cbc = EVP_CIPHER_fetch(nullptr, "AES-128-CBC", nullptr);
    EVP_CIPHER *wrap = EVP_CIPHER_fetch(nullptr, "AES-128-WRAP", nullptr);
    EVP_CIPHER *ctr_mode = EVP_CIPHER_fetch(nullptr, "AES-128-CTR", nullptr);
    ASSERT_NE(ctr_mode, nullptr);
    ASSERT_NE(ecb, nullptr);
    ASSERT_NE(cbc, nullptr);
    ASSERT_NE(wrap, nullptr);
    const auto impls = implementations();
    for (int run = 0; run < kDiffRuns / 20; run++) {
        uint8_t k[16], iv[16];
        // Now and then a key of all zeros or all ones bits.
        fill(k, 16);
        if (run % 97 == 1) memset(k, 0, 16);
        if (run % 97 == 2) memset(k, 0xff, 16);
        fill(iv, 16);
        if (run % 5 == 1) // as a counter, it carries out of its low half
            memset(iv + 8, 0xff, 8);
        size_t n = 1 + rng() % 9;
        bytes in(16 * n);
        fill(in.data(), in.size());
        SCOPED_TRACE("run " + std::to_string(run));
        const std::string ecb_want = tohex(openssl_cipher(ecb, k, nullptr, in));
        const bytes cbc_out = openssl_cipher(cbc, k, iv, in);
        const std::string mac_want = tohex(cbc_out.data() + 16 * (n - 1), 16);
        // Key wrap of n 64-bit blocks (libcrypto wants at least two).
        size_t half = n + 1;
        bytes wrap_in(in.begin(), in.begin() + long(8 * half));
        const std::string wrap_want = tohex(openssl_cipher(wrap, k, nullptr, wrap_in));
        uint8_t mac0[16];
        fill(mac0, 16);
        const bytes ctr_want = openssl_cipher(ctr_mode, k, iv, in);
        const bytes cbc_mac0 = openssl_cipher(cbc, k, mac0, in);
        const std::string ccm_mac_want = tohex(cbc_mac0.data() + 16 * (n - 1), 16);
        uint8_t ctr_after[16];
        memcpy(ctr_after, iv, 16);
        for (size_t i = 0; i < n; i++)
            for (int j = 15; j >= 0 && ++ctr_after[j] == 0; j--) {
            }
        for (const aes_impl *impl : impls) {
            SCOPED_TRACE(impl->name);
            aes_key ks;
            impl->set_key(&ks, k);
            bytes out(in.size());
            impl->encrypt_blocks(&ks, in.data(), out.data(), n);
            ASSERT_EQ(tohex(out), ecb_want);
            uint8_t one[16];
            impl->encrypt(&ks, in.data(), one);
            ASSERT_EQ(tohex(one, 16), ecb_want.substr(0, 32));
            uint8_t cv[16];
            memcpy(cv, iv, 16);
            impl->cbc_mac(&ks, cv, in.data(), n);
            ASSERT_EQ(tohex(cv, 16), mac_want);
            bytes w(8 * (half + 1));
            memset(w.data(), 0xa6, 8);
            memcpy(w.data() + 8, wrap_in.data(), wrap_in.size());
            impl->wrap(&ks, w.data(), half);
            ASSERT_EQ(tohex(w), wrap_want);

            // CCM's fused chains: counter stream from iv, CBC-MAC from mac0
            // over the plaintext, in place and not, both directions.
            uint8_t ctr[16], mac[16];
            memcpy(ctr, iv, 16);
            memcpy(mac, mac0, 16);
            bytes sealed = in;
            impl->ccm_blocks(&ks, mac, ctr, sealed.data(), sealed.data(), n, false);
            ASSERT_EQ(tohex(sealed), tohex(ctr_want));
            ASSERT_EQ(tohex(mac, 16), ccm_mac_want);
            ASSERT_EQ(tohex(ctr, 16), tohex(ctr_after, 16));
            memcpy(ctr, iv, 16);
            memcpy(mac, mac0, 16);
            impl->ccm_blocks(&ks, mac, ctr, sealed.data(), out.data(), n, true);
            ASSERT_EQ(tohex(out), tohex(in));
            ASSERT_EQ(tohex(mac, 16), ccm_mac_want);
            ASSERT_EQ(tohex(ctr, 16), tohex(ctr_after, 16));
            impl->ccm_blocks(&ks, mac, ctr, nullptr, nullptr, 0, run % 2);
            ASSERT_EQ(tohex(mac, 16), ccm_mac_want);
            ASSERT_EQ(tohex(ctr, 16), tohex(ctr_after, 16));
        }
    }
    EVP_CIPHER_free(ecb);
    EVP_CIPHER_free(cbc);
    EVP_CIPHER_free(wrap);
    EVP_CIPHER_free(ctr_mode);
}

} // namespace
