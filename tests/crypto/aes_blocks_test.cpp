// The multi-block AES entries against libcrypto's ECB and CTR on random
// keys, lengths, counters and splits, on every path the processor has.
#include <gtest/gtest.h>

#include <openssl/evp.h>

#include <cstring>
#include <random>

#include "common/crypto/aes.h"
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

} // namespace
