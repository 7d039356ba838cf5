// CCM against the RFC 3610 packet vectors and against libcrypto on random
// inputs, on every AES path the processor has.
#include <gtest/gtest.h>

#include <openssl/evp.h>

#include <random>

#include "controller/dtls/dtls_aes_ccm.h"
#include "crypto/util.h"

namespace {

struct rfc3610_vector {
    const char *name;
    const char *nonce;
    size_t aad_length;
    const char *input;  // additional data, then plaintext
    const char *output; // additional data, ciphertext, tag
    size_t tag_length;
};

const bytes kRfcKey = hex("c0c1c2c3c4c5c6c7c8c9cacbcccdcecf");

const rfc3610_vector kRfc3610[] = {
    {"packet1", "00000003020100a0a1a2a3a4a5", 8,
     "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e",
     "0001020304050607588c979a61c663d2f066d0c2c0f989806d5f6b61dac38417e8d12cfdf926e0", 8},
    {"packet2", "00000004030201a0a1a2a3a4a5", 8,
     "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f",
     "000102030405060772c91a36e135f8cf291ca894085c87e3cc15c439c9e43a3ba091d56e10400916", 8},
    {"packet3", "00000005040302a0a1a2a3a4a5", 8,
     "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f20",
     "000102030405060751b1e5f44a197d1da46b0f8e2d282ae871e838bb64da8596574adaa76fbd9fb0c5", 8},
    {"packet7", "00000009080706a0a1a2a3a4a5", 8,
     "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e",
     "00010203040506070135d1b2c95f41d5d1d4fec185d166b8094e999dfed96c048c56602c97acbb7490", 10},
};

class CcmTest : public PathTest {};

TEST_P(CcmTest, Rfc3610VectorsOneShotAndStreamed)
{
    dtls_cipher_state key;
    for (const auto &v : kRfc3610) {
        SCOPED_TRACE(v.name);
        ccm_set_key(&key, kRfcKey.data());
        bytes nonce = hex(v.nonce), in = hex(v.input), want = hex(v.output);
        bytes aad(in.begin(), in.begin() + v.aad_length);
        bytes data(in.begin() + v.aad_length, in.end());
        bytes tag(v.tag_length);
        ASSERT_EQ(ccm_encrypt(&key, nonce.data(), nonce.size(), aad.data(), aad.size(), tag.data(),
                              tag.size(), data.data(), data.size()),
                  0);
        bytes got = aad;
        got.insert(got.end(), data.begin(), data.end());
        got.insert(got.end(), tag.begin(), tag.end());
        EXPECT_EQ(tohex(got), tohex(want));

        ASSERT_EQ(ccm_decrypt(&key, nonce.data(), nonce.size(), aad.data(), aad.size(), tag.data(),
                              tag.size(), data.data(), data.size()),
                  0);
        EXPECT_EQ(tohex(data), tohex(bytes(in.begin() + v.aad_length, in.end())));

        // The streaming form, fed in uneven parts.
        for (size_t step : {1, 5, 16, 17}) {
            ccm_ctx ctx;
            bytes buf(in.begin() + v.aad_length, in.end());
            ASSERT_EQ(ccm_start(&ctx, &key, nonce.data(), nonce.size(), aad.data(), aad.size(),
                                buf.size(), v.tag_length),
                      0);
            for (size_t off = 0; off < buf.size(); off += step)
                ccm_encrypt_update(&ctx, buf.data() + off, buf.data() + off,
                                   std::min(step, buf.size() - off));
            bytes t(v.tag_length);
            ccm_encrypt_final(&ctx, t.data());
            EXPECT_EQ(tohex(buf) + tohex(t),
                      tohex(bytes(want.begin() + v.aad_length, want.end())));
            ASSERT_EQ(ccm_start(&ctx, &key, nonce.data(), nonce.size(), aad.data(), aad.size(),
                                buf.size(), v.tag_length),
                      0);
            for (size_t off = 0; off < buf.size(); off += step)
                ccm_decrypt_update(&ctx, buf.data() + off, buf.data() + off,
                                   std::min(step, buf.size() - off));
            EXPECT_EQ(ccm_decrypt_final(&ctx, t.data()), 0);
        }
        ccm_wipe(&key);
    }
}

TEST_P(CcmTest, RefusesParametersCcmDoesNotAllow)
{
    dtls_cipher_state key;
    ccm_set_key(&key, kRfcKey.data());
    uint8_t nonce[13] = {}, tag[16], data[4] = {};
    EXPECT_EQ(ccm_encrypt(&key, nonce, 6, nullptr, 0, tag, 8, data, 4), -1);  // nonce too short
    EXPECT_EQ(ccm_encrypt(&key, nonce, 13, nullptr, 0, tag, 7, data, 4), -1); // odd tag
    EXPECT_EQ(ccm_encrypt(&key, nonce, 13, nullptr, 0, tag, 18, data, 4), -1);
    // A 13-byte nonce leaves 2 length bytes: 65536 bytes do not fit.
    ccm_ctx ctx;
    EXPECT_EQ(ccm_start(&ctx, &key, nonce, 13, nullptr, 0, 65536, 8), -1);
}

// One libcrypto CCM encryption: ciphertext followed by the tag.
bytes openssl_ccm(const bytes &key, const bytes &nonce, const bytes &aad, const bytes &plain,
                  size_t tag_length)
{
    EVP_CIPHER_CTX *c = EVP_CIPHER_CTX_new();
    int n = 0;
    bytes out(plain.size() + tag_length);
    EXPECT_EQ(EVP_EncryptInit_ex(c, EVP_aes_128_ccm(), nullptr, nullptr, nullptr), 1);
    EVP_CIPHER_CTX_ctrl(c, EVP_CTRL_AEAD_SET_IVLEN, int(nonce.size()), nullptr);
    EVP_CIPHER_CTX_ctrl(c, EVP_CTRL_AEAD_SET_TAG, int(tag_length), nullptr);
    EXPECT_EQ(EVP_EncryptInit_ex(c, nullptr, nullptr, key.data(), nonce.data()), 1);
    EXPECT_EQ(EVP_EncryptUpdate(c, nullptr, &n, nullptr, int(plain.size())), 1);
    if (!aad.empty()) {
        EXPECT_EQ(EVP_EncryptUpdate(c, nullptr, &n, aad.data(), int(aad.size())), 1);
    }
    // A null input would only set the length: empty plaintext needs a real pointer.
    static const uint8_t none[1] = {};
    EXPECT_EQ(EVP_EncryptUpdate(c, out.data(), &n, plain.empty() ? none : plain.data(),
                                int(plain.size())),
              1);
    EXPECT_EQ(EVP_EncryptFinal_ex(c, out.data() + n, &n), 1);
    EVP_CIPHER_CTX_ctrl(c, EVP_CTRL_AEAD_GET_TAG, int(tag_length), out.data() + plain.size());
    EVP_CIPHER_CTX_free(c);
    return out;
}

TEST_P(CcmTest, MatchesLibcryptoOnRandomInputs)
{
    std::mt19937 rng(20240611);
    auto fill = [&](size_t n) {
        bytes b(n);
        for (auto &x : b)
            x = uint8_t(rng());
        return b;
    };
    const int runs = CRYPTO_UNDER_ASAN ? 150 : 600;
    dtls_cipher_state key;
    for (int run = 0; run < runs; run++) {
        size_t tag_length = (run & 1) ? 16 : 8;
        size_t nonce_length = run % 7 == 0 ? 7 + rng() % 7 : 12;
        size_t aad_length = run % 5 == 0 ? rng() % 40 : 13;
        size_t length = run % 3 == 0 ? rng() % 2100 : rng() % 70;
        bytes k = fill(16), nonce = fill(nonce_length), aad = fill(aad_length), plain = fill(length);
        bytes want = openssl_ccm(k, nonce, aad, plain, tag_length);

        ccm_set_key(&key, k.data());
        bytes data = plain, tag(tag_length);
        ASSERT_EQ(ccm_encrypt(&key, nonce.data(), nonce_length, aad.data(), aad_length, tag.data(),
                              tag_length, data.data(), length),
                  0);
        bytes got = data;
        got.insert(got.end(), tag.begin(), tag.end());
        ASSERT_EQ(tohex(got), tohex(want)) << "run " << run;

        ASSERT_EQ(ccm_decrypt(&key, nonce.data(), nonce_length, aad.data(), aad_length, tag.data(),
                              tag_length, data.data(), length),
                  0);
        ASSERT_EQ(data, plain);

        // Any flipped bit fails, and no unauthenticated plaintext is left.
        bytes bad = got;
        bad[rng() % bad.size()] ^= uint8_t(1u << (rng() % 8));
        ASSERT_EQ(ccm_decrypt(&key, nonce.data(), nonce_length, aad.data(), aad_length,
                              bad.data() + length, tag_length, bad.data(), length),
                  -1);
        ASSERT_EQ(bytes(bad.begin(), bad.begin() + length), bytes(length, 0));
    }
}

INSTANTIATE_PATHS(CcmTest);

} // namespace
