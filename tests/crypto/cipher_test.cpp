// Known answers for AES, CMAC, key wrap and RC4, and the safety primitives.
#include <cstring>

#include "common/crypto/aes.h"
#include "common/crypto/aes_cmac.h"
#include "common/crypto/rc4.h"
#include "common/crypto/secure.h"
#include "common/system.h"
#include "util.h"

namespace {

class CipherKat : public PathTest {};
INSTANTIATE_PATHS(CipherKat);

TEST_P(CipherKat, AesFips197)
{
    EXPECT_STREQ(aes_current->name, GetParam().hw ? "AES-NI" : "Generic");
    const bytes key = hex("000102030405060708090a0b0c0d0e0f");
    bytes block = hex("00112233445566778899aabbccddeeff");
    aes_key ks;
    EXPECT_EQ(aes_set_key(&ks, key.data()), 10);
    aes_encrypt(&ks, block.data(), block.data()); // in place
    EXPECT_EQ(tohex(block), "69c4e0d86a7b0430d8cdb78070b4c55a");

    // Appendix B, whose key schedule differs in every round.
    const bytes key_b = hex("2b7e151628aed2a6abf7158809cf4f3c");
    const bytes in_b = hex("3243f6a8885a308d313198a2e0370734");
    uint8_t out[16];
    aes_set_key(&ks, key_b.data());
    aes_encrypt(&ks, in_b.data(), out);
    EXPECT_EQ(tohex(out, 16), "3925841d02dc09fbdc118597196a0b32");
}

// The feature list shows "aes" exactly when the processor's instructions are chosen.
TEST(AesInit, MarksTheAesFeatureWhenTheInstructionsAreChosen)
{
    uint32_t saved_features = features;
    const aes_impl *saved_impl = aes_current;
    features = 0;
    uint32_t limit = crypto_hw_limit(0);
    aes_init();
    EXPECT_EQ(aes_current, &aes_generic_impl);
    EXPECT_EQ(features & (1u << FEATURE_AES), 0u);
    crypto_hw_limit(limit);
    bool hw = crypto_hw() & CRYPTO_HW_AES;
    aes_init();
    EXPECT_EQ(aes_current, hw ? &aes_ni_impl : &aes_generic_impl);
    EXPECT_EQ(features & (1u << FEATURE_AES), hw ? 1u << FEATURE_AES : 0u);
    EXPECT_STREQ(features_text, hw ? "aes" : "");
    features = saved_features;
    features_format(features_text, sizeof(features_text), features);
    aes_select(saved_impl);
}

TEST_P(CipherKat, AesCmacRfc4493)
{
    const bytes key = hex("2b7e151628aed2a6abf7158809cf4f3c");
    const bytes msg = hex("6bc1bee22e409f96e93d7e117393172a ae2d8a571e03ac9c9eb76fac45af8e51"
                          "30c81c46a35ce411e5fbc1191a0a52ef f69f2445df4f9b17ad2b417be66c3710");
    struct {
        size_t len;
        const char *tag;
    } cases[] = {{0, "bb1d6929e95937287fa37d129b756746"},
                 {16, "070a16b46b4d4144f79bdd9dd04a287c"},
                 {40, "dfa66747de9ae63030ca32611497c827"},
                 {64, "51f0bebf7e3b9d92fc49741779363cfe"}};
    aes_key ks;
    aes_set_key(&ks, key.data());
    for (auto &c : cases) {
        // Whole, and byte by byte (pending-block edge at every position).
        for (size_t step : {c.len ? c.len : size_t(1), size_t(1)}) {
            aes_cmac_ctx ctx;
            aes_cmac_init(&ctx);
            for (size_t off = 0; off < c.len; off += step)
                aes_cmac_update(&ks, &ctx, msg.data() + off, std::min(step, c.len - off));
            uint8_t tag[16];
            aes_cmac_final(&ks, &ctx, tag);
            EXPECT_EQ(tohex(tag, 16), c.tag) << c.len << " step " << step;
            aes_cmac_ctx zero{};
            EXPECT_EQ(memcmp(&ctx, &zero, sizeof ctx), 0);
        }
    }
    // The keyed form: subkeys derived once, then every message, in one call
    // and in pieces, with the key reused across them.
    aes_cmac_key ck;
    aes_cmac_set_key(&ck, key.data());
    EXPECT_EQ(tohex(ck.k1, 16), "fbeed618357133667c85e08f7236a8de"); // RFC 4493 K1
    EXPECT_EQ(tohex(ck.k2, 16), "f7ddac306ae266ccf90bc11ee46d513b"); // and K2
    for (auto &c : cases) {
        uint8_t tag[16];
        aes_cmac(&ck, c.len ? msg.data() : nullptr, c.len, tag);
        EXPECT_EQ(tohex(tag, 16), c.tag) << c.len;
        aes_cmac_ctx ctx;
        aes_cmac_init(&ctx);
        for (size_t off = 0; off < c.len; off += 7)
            aes_cmac_update(&ck, &ctx, msg.data() + off, std::min(size_t(7), c.len - off));
        aes_cmac_final(&ck, &ctx, tag);
        EXPECT_EQ(tohex(tag, 16), c.tag) << c.len << " in pieces";
    }
}

TEST_P(CipherKat, KeyWrapRfc3394)
{
    const bytes kek = hex("000102030405060708090A0B0C0D0E0F");
    bytes buf = hex("00112233445566778899AABBCCDDEEFF");
    buf.resize(24);
    aes_key_wrap(buf.data(), kek.data(), 2);
    EXPECT_EQ(tohex(buf), "1fa68b0a8112b447aef34bd8fb5a7b829d3e862371d2cfe5");

    uint8_t iv_only[8] = {};
    aes_key_wrap(iv_only, kek.data(), 0);
    EXPECT_EQ(tohex(iv_only, 8), "a6a6a6a6a6a6a6a6");
}

TEST(Rc4, Rfc6229)
{
    struct {
        const char *key;
        size_t offset;
        const char *stream; // 16 bytes at offset
    } rows[] = {
        {"0102030405", 0, "b2396305f03dc027ccc3524a0a1118a8"},
        {"0102030405", 16, "6982944f18fc82d589c403a47a0d0919"},
        {"0102030405", 240, "28cb1132c96ce286421dcaadb8b69eae"},
        {"0102030405", 256, "1cfcf62b03eddb641d77dfcf7f8d8c93"},
        {"0102030405060708090a0b0c0d0e0f10", 0, "9ac7cc9a609d1ef7b2932899cde41b97"},
        {"0102030405060708090a0b0c0d0e0f10", 256, "d39d566bc6bce3010768151549f3873f"},
    };
    for (auto &r : rows) {
        const bytes key = hex(r.key);
        // Skipping to the offset and encrypting zeros from the start must agree.
        rc4_ctx a, b;
        rc4_init(&a, key.data(), key.size(), r.offset);
        uint8_t out[16] = {};
        rc4_crypt(&a, out, 16);
        EXPECT_EQ(tohex(out, 16), r.stream) << r.key << " @" << r.offset;

        rc4_init(&b, key.data(), key.size(), 0);
        bytes all(r.offset + 16);
        for (size_t off = 0; off < all.size(); off += 5) // successive calls continue the stream
            rc4_crypt(&b, all.data() + off, std::min<size_t>(5, all.size() - off));
        EXPECT_EQ(tohex(all.data() + r.offset, 16), r.stream);
    }
}

TEST(Secure, CompareAndWipe)
{
    uint8_t a[33], b[33];
    for (int i = 0; i < 33; i++)
        a[i] = b[i] = uint8_t(i);
    EXPECT_EQ(secure_compare(a, b, sizeof a), 0);
    b[32] ^= 0x01;
    EXPECT_NE(secure_compare(a, b, sizeof a), 0);
    b[32] ^= 0x01;
    b[0] ^= 0x80;
    EXPECT_NE(secure_compare(a, b, sizeof a), 0);
    EXPECT_EQ(secure_compare(a, b, 0), 0);
    b[0] ^= 0x80;
    // Every length over the word loop and the tail, every byte, every bit.
    for (size_t len = 1; len <= sizeof a; len++)
        for (size_t at = 0; at < len; at++)
            for (int bit = 0; bit < 8; bit++) {
                b[at] ^= uint8_t(1 << bit);
                EXPECT_NE(secure_compare(a, b, len), 0) << len << " " << at << " " << bit;
                EXPECT_EQ(secure_compare(a, b, at), 0) << len << " " << at;
                b[at] ^= uint8_t(1 << bit);
            }

    secure_wipe(a, sizeof a);
    for (uint8_t x : a)
        EXPECT_EQ(x, 0);

    EXPECT_EQ(ct_is_zero(0), ~0u);
    EXPECT_EQ(ct_is_zero(1), 0u);
    EXPECT_EQ(ct_is_zero(0x80000000u), 0u);
    EXPECT_EQ(ct_lt(3, 4), ~0u);
    EXPECT_EQ(ct_lt(4, 4), 0u);
    EXPECT_EQ(ct_select(ct_eq(7, 7), 1, 2), 1u);
    EXPECT_EQ(ct_select(ct_eq(7, 8), 1, 2), 2u);
}

} // namespace
