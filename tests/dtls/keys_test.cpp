// The key schedule against libcrypto's TLS 1.2 PRF, and the small utilities.
#include <gtest/gtest.h>

#include <openssl/evp.h>
#include <openssl/kdf.h>

#include "controller/dtls/dtls_util.h"
#include "dtls_test_util.h"

namespace {

bytes openssl_prf(const bytes &secret, const std::string &label, const bytes &seed, size_t n)
{
    EVP_PKEY_CTX *c = EVP_PKEY_CTX_new_id(EVP_PKEY_TLS1_PRF, nullptr);
    bytes out(n);
    size_t len = n;
    EXPECT_EQ(EVP_PKEY_derive_init(c), 1);
    EXPECT_EQ(EVP_PKEY_CTX_set_tls1_prf_md(c, EVP_sha256()), 1);
    EXPECT_EQ(EVP_PKEY_CTX_set1_tls1_prf_secret(c, secret.data(), int(secret.size())), 1);
    bytes full(label.begin(), label.end());
    full.insert(full.end(), seed.begin(), seed.end());
    EXPECT_EQ(EVP_PKEY_CTX_add1_tls1_prf_seed(c, full.data(), int(full.size())), 1);
    EXPECT_EQ(EVP_PKEY_derive(c, out.data(), &len), 1);
    EVP_PKEY_CTX_free(c);
    return out;
}

TEST(KeySchedule, PrfMatchesLibcryptoAtEveryLength)
{
    bytes secret = hex("9bbe436ba940f017b17652849a71db35");
    bytes s1 = hex("a0ba9f936cda311827a6f796ffd5198c"), s2 = hex("0102030405");
    bytes seed = s1;
    seed.insert(seed.end(), s2.begin(), s2.end());
    bytes longest = openssl_prf(secret, "test label", seed, 100);
    for (size_t n : {1, 12, 31, 32, 33, 40, 48, 64, 100}) {
        bytes out(n);
        dtls_prf(out.data(), n, "test label", secret.data(), secret.size(), s1.data(), s1.size(),
                 s2.data(), s2.size());
        // A shorter output is the prefix of a longer one.
        EXPECT_EQ(out, bytes(longest.begin(), longest.begin() + long(n))) << n;
    }
}

TEST(KeySchedule, KeyBlockLayoutAndFinishedLabels)
{
    dtls_key_block kb = test_keys(&kCcmParams);
    EXPECT_EQ(kb.client_write_key, 0);
    EXPECT_EQ(kb.server_write_key, 16);
    EXPECT_EQ(kb.client_write_iv, 32);
    EXPECT_EQ(kb.server_write_iv, 36);

    sha256_ctx h;
    sha256_init(&h);
    sha256_update(&h, "transcript", 10);
    uint8_t master[48] = {1, 2, 3};
    uint8_t c1[12], c2[12], s1[12];
    dtls_make_finished_verify(&h, master, false, c1);
    dtls_make_finished_verify(&h, master, false, c2); // the running hash goes on unchanged
    dtls_make_finished_verify(&h, master, true, s1);
    EXPECT_EQ(tohex(c1, 12), tohex(c2, 12));
    EXPECT_NE(tohex(c1, 12), tohex(s1, 12));
    EXPECT_EQ(dtls_finished_check(c1, c2, 12), 0);
    EXPECT_EQ(dtls_finished_check(c1, s1, 12), -1);
    EXPECT_EQ(dtls_finished_check(c1, c2, 11), -1);
}

TEST(KeySchedule, PskPremaster)
{
    bytes psk = hex("00112233445566778899aabbccddeeff");
    uint8_t out[DTLS_PSK_PREMASTER_MAX];
    ASSERT_EQ(dtls_psk_premaster(out, psk.data(), psk.size()), 36u);
    EXPECT_EQ(tohex(out, 36),
              "0010" + std::string(32, '0') + "0010" + "00112233445566778899aabbccddeeff");
}

TEST(KeySchedule, RandomsAndRsaPremaster)
{
    uint8_t a[32], b[32], pm[48];
    ASSERT_EQ(dtls_make_random(a), 0);
    ASSERT_EQ(dtls_make_random(b), 0);
    EXPECT_NE(tohex(a + 4, 28), tohex(b + 4, 28));
    ASSERT_EQ(dtls_rsa_premaster(pm, DTLS_VERSION_1_2), 0);
    EXPECT_EQ(pm[0], 0xfe);
    EXPECT_EQ(pm[1], 0xfd);
}

TEST(Utilities, Versions)
{
    const uint8_t v10[2] = {0xfe, 0xff}, v12[2] = {0xfe, 0xfd}, v13[2] = {0xfe, 0xfc};
    EXPECT_EQ(dtls_version_compare(v10, v12), -1);
    EXPECT_EQ(dtls_version_compare(v12, v12), 0);
    EXPECT_EQ(dtls_version_compare(v13, v12), 1);
    uint8_t sel[2];
    ASSERT_EQ(dtls_negotiate_version(test_peer(), v13, sel), 0);
    EXPECT_EQ(dtls_version_compare(sel, v12), 0);
    EXPECT_EQ(dtls_negotiate_version(test_peer(), v10, sel), -1);
    const uint8_t zero[2] = {};
    EXPECT_TRUE(dtls_version_is_null(zero));
    EXPECT_FALSE(dtls_version_is_null(v12));
}

TEST(Utilities, Vectors)
{
    struct {
        const char *in;
        size_t max;
        int want;
        size_t consumed;
    } cases[] = {
        {"03aabbcc", 255, 0, 4},    {"03aabb", 255, -1, 0},        {"04aabbccdd", 3, -1, 0},
        {"0002aabb", 256, 0, 4},    {"000003aabbcc", 70000, 0, 6}, {"", 10, -1, 0},
        {"00", 255, 0, 1},          {"01", 1u << 24, -1, 0},
    };
    for (const auto &c : cases) {
        bytes b = hex(c.in);
        const uint8_t *cur = b.data(), *out = nullptr;
        size_t rem = b.size();
        EXPECT_EQ(dtls_read_vector(&cur, &rem, c.max, &out), c.want) << c.in;
        EXPECT_EQ(out != nullptr, c.want == 0) << c.in;
        EXPECT_EQ(b.size() - rem, c.consumed) << c.in;
    }
}

TEST(Utilities, Extensions)
{
    bytes block = hex("000e 0014 0002 0102 ff01 0000 0014 0000");
    EXPECT_EQ(dtls_ext_count(block.data(), block.size()), 3);
    const uint8_t *e = nullptr;
    ASSERT_EQ(dtls_ext_find(block.data(), block.size(), 0xff01, &e), 0);
    EXPECT_EQ(e - block.data(), 8);
    ASSERT_EQ(dtls_ext_find(block.data(), block.size(), 0x0014, &e), 0);
    EXPECT_EQ(e - block.data(), 2);
    EXPECT_EQ(dtls_ext_find(block.data(), block.size(), 7, &e), -1);
    EXPECT_EQ(dtls_ext_count(block.data(), block.size() - 1), -1);      // total overruns
    EXPECT_EQ(dtls_ext_count(hex("0006 0001 0003 0000").data(), 8), -1); // entry overruns
    EXPECT_EQ(dtls_ext_count(hex("0006 0001 0000 0000").data(), 8), -1); // 2 bytes left over
    EXPECT_EQ(dtls_ext_count(hex("0000").data(), 2), 0);
}

TEST(Utilities, Fields)
{
    uint8_t b[6];
    dtls_put_u24(b, 0x123456);
    EXPECT_EQ(dtls_get_u24(b), 0x123456u);
    dtls_put_u48(b, 0xabcd, 0x01234567);
    uint32_t hi, lo;
    dtls_get_u48(b, &hi, &lo);
    EXPECT_EQ(hi, 0xabcdu);
    EXPECT_EQ(lo, 0x01234567u);
    EXPECT_EQ(tohex(b, 6), "abcd01234567");
    EXPECT_EQ(dtls_find_byte(b, 6, 0x23), 3);
    EXPECT_EQ(dtls_find_byte(b, 6, 0x99), -1);
    char h[DTLS_LOGHDR_SIZE];
    EXPECT_STREQ(dtls_loghdr(test_peer(), h), "127.0.0.1:5684: ");
    EXPECT_STREQ(dtls_loghdr(nullptr, h), "");
}

} // namespace
