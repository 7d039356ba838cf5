// Random inputs fed in random splits, against libcrypto, on every path.
#define OPENSSL_SUPPRESS_DEPRECATED // the low-level RC4 and key wrap are the references at hand
#include <openssl/aes.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rc4.h>

#include <random>

#include "common/crypto/aes.h"
#include "common/crypto/aes_cmac.h"
#include "common/crypto/hmac.h"
#include "common/crypto/rc4.h"
#include "util.h"

namespace {

class Differential : public PathTest {
  protected:
    std::mt19937_64 rng{GetParam().hw ? 77u : 78u};
    bytes data;

    size_t length()
    {
        // Mostly short, now and then a few blocks more.
        return rng() % 8 ? rng() % 140 : rng() % 700;
    }
    const bytes &fresh(size_t len)
    {
        data.resize(len);
        for (auto &b : data)
            b = uint8_t(rng());
        return data;
    }
    // Calls feed(p, n) over the data in up to four random pieces.
    template <typename F>
    void in_pieces(const bytes &d, F feed)
    {
        size_t pos = 0;
        int pieces = 1 + int(rng() % 4);
        for (int i = 1; i < pieces && pos < d.size(); i++) {
            size_t n = rng() % (d.size() - pos + 1);
            feed(d.data() + pos, n);
            pos += n;
        }
        feed(d.data() + pos, d.size() - pos);
    }
    bool hardware() const { return GetParam().hw != 0; }
};
INSTANTIATE_PATHS(Differential);

template <typename Ctx, size_t N>
struct digest_case {
    const char *name;
    void (*init)(Ctx *);
    void (*update)(Ctx *, const void *, size_t);
    void (*final)(Ctx *, uint8_t *);
};

TEST_P(Differential, Digests)
{
    EVP_MD *md5 = EVP_MD_fetch(nullptr, "MD5", nullptr), *sha1 = EVP_MD_fetch(nullptr, "SHA1", nullptr),
           *sha256 = EVP_MD_fetch(nullptr, "SHA256", nullptr);
    for (int run = 0; run < kDiffRuns; run++) {
        const bytes &d = fresh(length());
        uint8_t ours[32], theirs[32];
        unsigned n;
        sha1_ctx c1;
        sha1_init(&c1);
        in_pieces(d, [&](const uint8_t *p, size_t len) { sha1_update(&c1, p, len); });
        sha1_final(&c1, ours);
        EVP_Digest(d.data(), d.size(), theirs, &n, sha1, nullptr);
        ASSERT_EQ(tohex(ours, 20), tohex(theirs, 20)) << run;

        sha256_ctx c2;
        sha256_init(&c2);
        in_pieces(d, [&](const uint8_t *p, size_t len) { sha256_update(&c2, p, len); });
        sha256_final(&c2, ours);
        EVP_Digest(d.data(), d.size(), theirs, &n, sha256, nullptr);
        ASSERT_EQ(tohex(ours, 32), tohex(theirs, 32)) << run;

        if (!hardware()) { // MD5 has one path
            md5_ctx c5;
            md5_init(&c5);
            in_pieces(d, [&](const uint8_t *p, size_t len) { md5_update(&c5, p, len); });
            md5_final(&c5, ours);
            EVP_Digest(d.data(), d.size(), theirs, &n, md5, nullptr);
            ASSERT_EQ(tohex(ours, 16), tohex(theirs, 16)) << run;
        }
    }
    EVP_MD_free(md5);
    EVP_MD_free(sha1);
    EVP_MD_free(sha256);
}

TEST_P(Differential, Hmacs)
{
    EVP_MD *md5 = EVP_MD_fetch(nullptr, "MD5", nullptr), *sha1 = EVP_MD_fetch(nullptr, "SHA1", nullptr),
           *sha256 = EVP_MD_fetch(nullptr, "SHA256", nullptr);
    for (int run = 0; run < kDiffRuns; run++) {
        bytes key = fresh(rng() % 140);
        const bytes &d = fresh(length());
        uint8_t ours[32], theirs[32];
        unsigned n;
        hmac_sha1_ctx h1;
        hmac_sha1_init(&h1, key.data(), key.size());
        in_pieces(d, [&](const uint8_t *p, size_t len) { hmac_sha1_update(&h1, p, len); });
        hmac_sha1_final(&h1, ours);
        HMAC(sha1, key.data(), int(key.size()), d.data(), d.size(), theirs, &n);
        ASSERT_EQ(tohex(ours, 20), tohex(theirs, 20)) << run;

        hmac_sha256_ctx h2;
        hmac_sha256_init(&h2, key.data(), key.size());
        in_pieces(d, [&](const uint8_t *p, size_t len) { hmac_sha256_update(&h2, p, len); });
        hmac_sha256_final(&h2, ours);
        HMAC(sha256, key.data(), int(key.size()), d.data(), d.size(), theirs, &n);
        ASSERT_EQ(tohex(ours, 32), tohex(theirs, 32)) << run;

        if (!hardware()) {
            hmac_md5_ctx h5;
            hmac_md5_init(&h5, key.data(), key.size());
            in_pieces(d, [&](const uint8_t *p, size_t len) { hmac_md5_update(&h5, p, len); });
            hmac_md5_final(&h5, ours);
            HMAC(md5, key.data(), int(key.size()), d.data(), d.size(), theirs, &n);
            ASSERT_EQ(tohex(ours, 16), tohex(theirs, 16)) << run;
        }
    }
    EVP_MD_free(md5);
    EVP_MD_free(sha1);
    EVP_MD_free(sha256);
}

// A context fresh from init is the key set up once: every copy of it MACs
// one message, as the DTLS PRF and cookie use it.
TEST_P(Differential, KeyedHmacCopies)
{
    EVP_MD *md5 = EVP_MD_fetch(nullptr, "MD5", nullptr),
           *sha1 = EVP_MD_fetch(nullptr, "SHA1", nullptr),
           *sha256 = EVP_MD_fetch(nullptr, "SHA256", nullptr);
    for (int key_run = 0; key_run < 8; key_run++) {
        bytes key = fresh(rng() % 140);
        hmac_md5_ctx k5;
        hmac_sha1_ctx k1;
        hmac_sha256_ctx k2;
        hmac_md5_init(&k5, key.data(), key.size());
        hmac_sha1_init(&k1, key.data(), key.size());
        hmac_sha256_init(&k2, key.data(), key.size());
        for (int run = 0; run < kDiffRuns / 64; run++) {
            const bytes &d = fresh(length());
            uint8_t ours[32], theirs[32];
            unsigned n;
            hmac_sha1_ctx h1 = k1;
            in_pieces(d, [&](const uint8_t *p, size_t len) { hmac_sha1_update(&h1, p, len); });
            hmac_sha1_final(&h1, ours);
            HMAC(sha1, key.data(), int(key.size()), d.data(), d.size(), theirs, &n);
            ASSERT_EQ(tohex(ours, 20), tohex(theirs, 20)) << key_run << " " << run;

            hmac_sha256_ctx h2 = k2;
            in_pieces(d, [&](const uint8_t *p, size_t len) { hmac_sha256_update(&h2, p, len); });
            hmac_sha256_final(&h2, ours);
            HMAC(sha256, key.data(), int(key.size()), d.data(), d.size(), theirs, &n);
            ASSERT_EQ(tohex(ours, 32), tohex(theirs, 32)) << key_run << " " << run;

            hmac_md5_ctx h5 = k5;
            in_pieces(d, [&](const uint8_t *p, size_t len) { hmac_md5_update(&h5, p, len); });
            hmac_md5_final(&h5, ours);
            HMAC(md5, key.data(), int(key.size()), d.data(), d.size(), theirs, &n);
            ASSERT_EQ(tohex(ours, 16), tohex(theirs, 16)) << key_run << " " << run;
        }
    }
    EVP_MD_free(md5);
    EVP_MD_free(sha1);
    EVP_MD_free(sha256);
}

TEST_P(Differential, AesBlockAndCmac)
{
    EVP_CIPHER *ecb = EVP_CIPHER_fetch(nullptr, "AES-128-ECB", nullptr);
    EVP_CIPHER_CTX *cctx = EVP_CIPHER_CTX_new();
    EVP_MAC *cmac = EVP_MAC_fetch(nullptr, "CMAC", nullptr);
    EVP_MAC_CTX *mctx = EVP_MAC_CTX_new(cmac);
    char cipher_name[] = "AES-128-CBC";
    OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_CIPHER, cipher_name, 0),
                           OSSL_PARAM_construct_end()};
    for (int run = 0; run < kDiffRuns; run++) {
        bytes key = fresh(16), block = fresh(16);
        aes_key ks;
        aes_set_key(&ks, key.data());
        uint8_t ours[16], theirs[32];
        int n;
        aes_encrypt(&ks, block.data(), ours);
        EVP_EncryptInit_ex2(cctx, ecb, key.data(), nullptr, nullptr);
        EVP_CIPHER_CTX_set_padding(cctx, 0);
        EVP_EncryptUpdate(cctx, theirs, &n, block.data(), 16);
        ASSERT_EQ(tohex(ours, 16), tohex(theirs, 16)) << run;

        const bytes &d = fresh(length());
        aes_cmac_ctx c;
        aes_cmac_init(&c);
        in_pieces(d, [&](const uint8_t *p, size_t len) { aes_cmac_update(&ks, &c, p, len); });
        aes_cmac_final(&ks, &c, ours);
        size_t tl = 0;
        EVP_MAC_init(mctx, key.data(), 16, params);
        EVP_MAC_update(mctx, d.data(), d.size());
        EVP_MAC_final(mctx, theirs, &tl, sizeof theirs);
        ASSERT_EQ(tohex(ours, 16), tohex(theirs, 16)) << run;

        aes_cmac_key ck;
        aes_cmac_set_key(&ck, key.data());
        aes_cmac(&ck, d.data(), d.size(), ours);
        ASSERT_EQ(tohex(ours, 16), tohex(theirs, 16)) << run;
        aes_cmac_init(&c);
        in_pieces(d, [&](const uint8_t *p, size_t len) { aes_cmac_update(&ck, &c, p, len); });
        aes_cmac_final(&ck, &c, ours);
        ASSERT_EQ(tohex(ours, 16), tohex(theirs, 16)) << run;
    }
    EVP_MAC_CTX_free(mctx);
    EVP_MAC_free(cmac);
    EVP_CIPHER_CTX_free(cctx);
    EVP_CIPHER_free(ecb);
}

TEST_P(Differential, KeyWrapAndRc4)
{
    for (int run = 0; run < kDiffRuns; run++) {
        bytes kek = fresh(16);
        size_t blocks = 1 + rng() % 8;
        bytes plain = fresh(8 * blocks);
        bytes ours(8 * (blocks + 1)), theirs(8 * (blocks + 1));
        std::copy(plain.begin(), plain.end(), ours.begin());
        aes_key_wrap(ours.data(), kek.data(), blocks);
        AES_KEY ok;
        AES_set_encrypt_key(kek.data(), 128, &ok);
        // One block of plaintext is below RFC 3394's minimum for OpenSSL.
        if (blocks >= 2) {
            ASSERT_EQ(AES_wrap_key(&ok, nullptr, theirs.data(), plain.data(), unsigned(plain.size())),
                      int(theirs.size()));
            ASSERT_EQ(ours, theirs) << run;
        }

        if (hardware()) // RC4 has one path
            continue;
        bytes key = fresh(1 + rng() % 32);
        size_t skip = rng() % 2 ? 256 : rng() % 600;
        const bytes &d = fresh(length());
        bytes mine = d, ref(d.size() + skip);
        rc4_ctx c;
        rc4_init(&c, key.data(), key.size(), skip);
        in_pieces(mine, [&](const uint8_t *p, size_t len) { rc4_crypt(&c, const_cast<uint8_t *>(p), len); });
        RC4_KEY rk;
        RC4_set_key(&rk, int(key.size()), key.data());
        bytes zeros(skip + d.size());
        std::copy(d.begin(), d.end(), zeros.begin() + long(skip));
        RC4(&rk, zeros.size(), zeros.data(), ref.data());
        ASSERT_EQ(mine, bytes(ref.begin() + long(skip), ref.end())) << run;
    }
}

} // namespace
