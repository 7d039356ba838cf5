// Known answers for the digests and HMACs, on every path.
#include <cstring>

#include "common/crypto/hmac.h"
#include "common/crypto/md5.h"
#include "common/crypto/sha1.h"
#include "common/crypto/sha256.h"
#include "util.h"

namespace {

class HashKat : public PathTest {};
INSTANTIATE_PATHS(HashKat);

bytes md5_of(const bytes &m)
{
    md5_ctx c;
    md5_init(&c);
    md5_update(&c, m.data(), m.size());
    bytes d(16);
    md5_final(&c, d.data());
    return d;
}
bytes sha1_of(const bytes &m)
{
    sha1_ctx c;
    sha1_init(&c);
    sha1_update(&c, m.data(), m.size());
    bytes d(20);
    sha1_final(&c, d.data());
    return d;
}
bytes sha256_of(const bytes &m)
{
    sha256_ctx c;
    sha256_init(&c);
    sha256_update(&c, m.data(), m.size());
    bytes d(32);
    sha256_final(&c, d.data());
    return d;
}

TEST_P(HashKat, Md5Rfc1321)
{
    struct {
        const char *msg, *digest;
    } cases[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
         "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
    };
    for (auto &c : cases)
        EXPECT_EQ(tohex(md5_of(str(c.msg))), c.digest) << c.msg;
}

TEST_P(HashKat, ShaFips180)
{
    const char *two_block = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
    EXPECT_EQ(tohex(sha1_of(str("abc"))), "a9993e364706816aba3e25717850c26c9cd0d89d");
    EXPECT_EQ(tohex(sha1_of(str(two_block))), "84983e441c3bd26ebaae4aa1f95129e5e54670f1");
    EXPECT_EQ(tohex(sha1_of({})), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
    EXPECT_EQ(tohex(sha256_of(str("abc"))),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(tohex(sha256_of(str(two_block))),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    EXPECT_EQ(tohex(sha256_of({})),
              "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");

    // One million 'a', fed in uneven pieces to cross block edges.
    bytes chunk(997, 'a');
    sha1_ctx c1;
    sha256_ctx c2;
    md5_ctx c5;
    sha1_init(&c1);
    sha256_init(&c2);
    md5_init(&c5);
    for (size_t left = 1000000; left;) {
        size_t n = std::min(left, chunk.size());
        sha1_update(&c1, chunk.data(), n);
        sha256_update(&c2, chunk.data(), n);
        md5_update(&c5, chunk.data(), n);
        left -= n;
    }
    uint8_t d1[20], d2[32], d5[16];
    sha1_final(&c1, d1);
    sha256_final(&c2, d2);
    md5_final(&c5, d5);
    EXPECT_EQ(tohex(d1, 20), "34aa973cd4c4daa4f61eeb2bdbad27316534016f");
    EXPECT_EQ(tohex(d2, 32), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
    EXPECT_EQ(tohex(d5, 16), "7707d6ae4e027c70eea2a935c2296f21");
}

TEST_P(HashKat, FinalClearsContexts)
{
    md5_ctx m;
    md5_init(&m);
    md5_update(&m, "secret", 6);
    uint8_t d[32];
    md5_final(&m, d);
    md5_ctx zero_m{};
    EXPECT_EQ(memcmp(&m, &zero_m, sizeof m), 0);

    sha1_ctx s;
    sha1_init(&s);
    sha1_update(&s, "secret", 6);
    sha1_final(&s, d);
    sha1_ctx zero_s{};
    EXPECT_EQ(memcmp(&s, &zero_s, sizeof s), 0);

    sha256_ctx s2;
    sha256_init(&s2);
    sha256_update(&s2, "secret", 6);
    sha256_final(&s2, d);
    sha256_ctx zero_s2{};
    EXPECT_EQ(memcmp(&s2, &zero_s2, sizeof s2), 0);

    hmac_sha1_ctx h1;
    hmac_sha1_init(&h1, "k", 1);
    hmac_sha1_update(&h1, "m", 1);
    hmac_sha1_final(&h1, d);
    hmac_sha256_ctx h2;
    hmac_sha256_init(&h2, "k", 1);
    hmac_sha256_final(&h2, d);
    hmac_md5_ctx h5;
    hmac_md5_init(&h5, "k", 1);
    hmac_md5_final(&h5, d);
    hmac_sha1_ctx z1{};
    hmac_sha256_ctx z2{};
    hmac_md5_ctx z5{};
    EXPECT_EQ(memcmp(&h1, &z1, sizeof h1), 0);
    EXPECT_EQ(memcmp(&h2, &z2, sizeof h2), 0);
    EXPECT_EQ(memcmp(&h5, &z5, sizeof h5), 0);
}

struct hmac_case {
    bytes key, data;
    const char *md5, *sha1, *sha256; // null: not in the RFCs for that hash
};

TEST_P(HashKat, HmacRfc2202And4231)
{
    const bytes large_key_msg = str("Test Using Larger Than Block-Size Key - Hash Key First");
    const hmac_case cases[] = {
        {bytes(16, 0x0b), str("Hi There"), "9294727a3638bb1c13f48ef8158bfc9d", nullptr, nullptr},
        {bytes(20, 0x0b), str("Hi There"), nullptr, "b617318655057264e28bc0b6fb378c8ef146be00",
         "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"},
        {str("Jefe"), str("what do ya want for nothing?"), "750c783e6ab0b503eaa86e310a5db738",
         "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79",
         "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"},
        {bytes(16, 0xaa), bytes(50, 0xdd), "56be34521d144c88dbb8c733f0e8b3f6", nullptr, nullptr},
        {bytes(20, 0xaa), bytes(50, 0xdd), nullptr, "125d7342b9ac11cd91a39af48aa17b4f63f175d3",
         "773ea91e36800e46854db8ebd09181a72959098b3ef8c122d9635514ced565fe"},
        {bytes(80, 0xaa), large_key_msg, "6b1ab7fe4bd7bf8f0b62e6ce61b9d0cd",
         "aa4ae5e15272d00e95705637ce8a3b55ed402112", nullptr},
        {bytes(131, 0xaa), large_key_msg, nullptr, nullptr,
         "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"},
        {bytes(131, 0xaa),
         str("This is a test using a larger than block-size key and a larger than block-size data."
             " The key needs to be hashed before being used by the HMAC algorithm."),
         nullptr, nullptr, "9b09ffa71b942fcb27635fbcd5b0e944bfdc63644f0713938a7f51535c3a35e2"},
    };
    int i = 0;
    for (auto &c : cases) {
        SCOPED_TRACE(i++);
        uint8_t out[32];
        if (c.md5) {
            hmac_md5_ctx h;
            hmac_md5_init(&h, c.key.data(), c.key.size());
            hmac_md5_update(&h, c.data.data(), c.data.size());
            hmac_md5_final(&h, out);
            EXPECT_EQ(tohex(out, 16), c.md5);
        }
        if (c.sha1) {
            hmac_sha1_ctx h;
            hmac_sha1_init(&h, c.key.data(), c.key.size());
            hmac_sha1_update(&h, c.data.data(), c.data.size());
            hmac_sha1_final(&h, out);
            EXPECT_EQ(tohex(out, 20), c.sha1);
        }
        if (c.sha256) {
            hmac_sha256_ctx h;
            hmac_sha256_init(&h, c.key.data(), c.key.size());
            hmac_sha256_update(&h, c.data.data(), c.data.size());
            hmac_sha256_final(&h, out);
            EXPECT_EQ(tohex(out, 32), c.sha256);
        }
    }
}

TEST_P(HashKat, LongHmacKeyEqualsItsDigest)
{
    bytes key(65);
    for (size_t i = 0; i < key.size(); i++)
        key[i] = uint8_t(i * 7 + 1);
    const bytes msg = str("message");
    uint8_t a[32], b[32];

    hmac_sha256_ctx h;
    hmac_sha256_init(&h, key.data(), key.size());
    hmac_sha256_update(&h, msg.data(), msg.size());
    hmac_sha256_final(&h, a);
    bytes kd = sha256_of(key);
    hmac_sha256_init(&h, kd.data(), kd.size());
    hmac_sha256_update(&h, msg.data(), msg.size());
    hmac_sha256_final(&h, b);
    EXPECT_EQ(tohex(a, 32), tohex(b, 32));

    hmac_sha1_ctx h1;
    hmac_sha1_init(&h1, key.data(), key.size());
    hmac_sha1_update(&h1, msg.data(), msg.size());
    hmac_sha1_final(&h1, a);
    kd = sha1_of(key);
    hmac_sha1_init(&h1, kd.data(), kd.size());
    hmac_sha1_update(&h1, msg.data(), msg.size());
    hmac_sha1_final(&h1, b);
    EXPECT_EQ(tohex(a, 20), tohex(b, 20));
}

} // namespace
