// RSA against OpenSSL: SPKI bytes and pins, raw operations, both paddings
// both ways through `openssl pkeyutl`, and a table of malformed input.
// PKCS1_MGF1 is the one independent MGF1 at hand.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <unistd.h>

#include "common/crypto/der.h"
#include "common/crypto/rsa.h"
#include "common/crypto/sha1.h"
#include "util.h"

namespace {

bytes slurp(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    return bytes(std::istreambuf_iterator<char>(f), {});
}
void spill(const std::string &path, const bytes &b)
{
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char *>(b.data()), std::streamsize(b.size()));
}
int sh(const std::string &cmd)
{
    return system((cmd + " 2>/dev/null").c_str());
}

bytes bn_bytes(EVP_PKEY *pk, const char *name)
{
    BIGNUM *b = nullptr;
    EXPECT_EQ(EVP_PKEY_get_bn_param(pk, name, &b), 1) << name;
    bytes out(size_t(BN_num_bytes(b)));
    BN_bn2bin(b, out.data());
    BN_free(b);
    return out;
}

// One key per size for the whole suite: key generation is the slow part.
struct test_key {
    std::string pem, pub_pem, pub_der;
    EVP_PKEY *pk = nullptr;
    rsa_key *key = nullptr; // ours, with the private values
};

class Rsa : public ::testing::Test {
  protected:
    static std::string dir_;
    static test_key keys_[2]; // 1024 and 2048 bits

    static void SetUpTestSuite()
    {
        char tmpl[] = "/tmp/rsa_test.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        int bits[2] = {1024, 2048};
        for (int i = 0; i < 2; i++) {
            test_key &t = keys_[i];
            std::string base = dir_ + "/k" + std::to_string(bits[i]);
            t.pem = base + ".pem";
            t.pub_pem = base + ".pub.pem";
            t.pub_der = base + ".pub.der";
            ASSERT_EQ(sh("openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:" + std::to_string(bits[i]) +
                         " -out " + t.pem),
                      0);
            ASSERT_EQ(sh("openssl pkey -in " + t.pem + " -pubout -out " + t.pub_pem), 0);
            ASSERT_EQ(sh("openssl pkey -in " + t.pem + " -pubout -outform DER -out " + t.pub_der), 0);
            FILE *f = fopen(t.pem.c_str(), "r");
            ASSERT_NE(f, nullptr);
            t.pk = PEM_read_PrivateKey(f, nullptr, nullptr, nullptr);
            fclose(f);
            ASSERT_NE(t.pk, nullptr);
            bytes der = slurp(t.pub_der);
            t.key = rsa_parse_spki(der.data(), der.size());
            ASSERT_NE(t.key, nullptr);
            struct {
                const char *name;
                bigint **slot;
            } priv[] = {{OSSL_PKEY_PARAM_RSA_D, &t.key->d},
                        {OSSL_PKEY_PARAM_RSA_FACTOR1, &t.key->p},
                        {OSSL_PKEY_PARAM_RSA_FACTOR2, &t.key->q},
                        {OSSL_PKEY_PARAM_RSA_EXPONENT1, &t.key->dp},
                        {OSSL_PKEY_PARAM_RSA_EXPONENT2, &t.key->dq},
                        {OSSL_PKEY_PARAM_RSA_COEFFICIENT1, &t.key->qinv}};
            for (auto &p : priv) {
                bytes b = bn_bytes(t.pk, p.name);
                *p.slot = bi_from_bytes(b.data(), b.size());
            }
        }
    }
    static void TearDownTestSuite()
    {
        for (auto &t : keys_) {
            rsa_free(t.key);
            EVP_PKEY_free(t.pk);
            t = test_key{};
        }
        sh("rm -rf " + dir_);
    }
    static std::string path(const std::string &name) { return dir_ + "/" + name; }
};
std::string Rsa::dir_;
test_key Rsa::keys_[2];

TEST_F(Rsa, SpkiBytesAndPinMatchOpenSsl)
{
    for (auto &t : keys_) {
        bytes der = slurp(t.pub_der);
        size_t len = rsa_encode_spki(nullptr, 0, t.key);
        ASSERT_EQ(len, der.size());
        bytes out(len);
        EXPECT_EQ(rsa_encode_spki(out.data(), out.size() - 1, t.key), len); // too small: nothing written
        EXPECT_EQ(out, bytes(len, 0));
        ASSERT_EQ(rsa_encode_spki(out.data(), out.size(), t.key), len);
        EXPECT_EQ(out, der);
        EXPECT_EQ(rsa_size(t.key) * 8, t.key == keys_[0].key ? 1024u : 2048u);

        // The pin, as `openssl dgst -sha256` prints it.
        std::string cmd = "openssl dgst -sha256 -r " + t.pub_der;
        FILE *p = popen(cmd.c_str(), "r");
        ASSERT_NE(p, nullptr);
        char line[256] = {};
        ASSERT_NE(fgets(line, sizeof line, p), nullptr);
        pclose(p);
        uint8_t fp[32];
        ASSERT_EQ(rsa_key_fingerprint(t.key, fp), 0);
        EXPECT_EQ(tohex(fp, 32), std::string(line, 64));

        uint8_t pin[32];
        memcpy(pin, fp, 32);
        EXPECT_EQ(rsa_fingerprint_match(fp, pin, 256), 0);
        pin[8] ^= 0x80; // beyond the first 64 bits
        EXPECT_EQ(rsa_fingerprint_match(fp, pin, 64), 0);
        EXPECT_EQ(rsa_fingerprint_match(fp, pin, 65), -1);
        EXPECT_EQ(rsa_fingerprint_match(fp, pin, 63), -1);
        EXPECT_EQ(rsa_fingerprint_match(fp, fp, 63), -1);
        EXPECT_EQ(rsa_fingerprint_match(fp, fp, 257), -1);
    }
}

TEST_F(Rsa, RawOperationsMatchOpenSsl)
{
    std::mt19937_64 rng(2);
    for (auto &t : keys_) {
        size_t k = rsa_size(t.key);
        EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new(t.pk, nullptr);
        ASSERT_EQ(EVP_PKEY_decrypt_init(ctx), 1);
        ASSERT_EQ(EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_NO_PADDING), 1);
        // Both kernel sets where the processor has MULX; the portable one
        // otherwise twice.
        for (int i = 0; i < 4; i++) {
            bi_allow_mulx(i % 2 == 1);
            bytes c(k);
            for (auto &b : c)
                b = uint8_t(rng());
            c[0] = 0x01; // below n
            bytes ours(k), theirs(k), back(k);
            size_t out_len = k;
            ASSERT_EQ(EVP_PKEY_decrypt(ctx, theirs.data(), &out_len, c.data(), c.size()), 1);
            ASSERT_EQ(rsa_private(t.key, c.data(), ours.data()), int(k)); // blinding pair updates each time
            EXPECT_EQ(tohex(ours), tohex(theirs));
            ASSERT_EQ(rsa_public(t.key, ours.data(), back.data()), int(k));
            EXPECT_EQ(back, c);
        }
        bi_allow_mulx(true);
        EVP_PKEY_CTX_free(ctx);

        // Inputs at or above n are refused.
        bytes n(k);
        bi_to_bytes(t.key->n, n.data(), k, false);
        bytes out(k);
        EXPECT_EQ(rsa_public(t.key, n.data(), out.data()), -1);
        EXPECT_EQ(rsa_private(t.key, n.data(), out.data()), -1);
        bytes ff(k, 0xff);
        EXPECT_EQ(rsa_private(t.key, ff.data(), out.data()), -1);
    }
}

// Primes of unequal sizes, either one the larger, take the private
// operation through operands wider than the smaller prime's Montgomery
// form; the result must still be c^d mod n.
TEST(RsaPrimes, UnequalPrimesMatchPlainPower)
{
    BN_CTX *bc = BN_CTX_new();
    std::mt19937_64 rng(4);
    for (auto [pbits, qbits] : {std::pair{1100, 948}, std::pair{948, 1100}, std::pair{640, 1408}}) {
        SCOPED_TRACE(std::to_string(pbits) + "/" + std::to_string(qbits));
        BIGNUM *p = BN_new(), *q = BN_new(), *n = BN_new(), *e = BN_new(), *d = BN_new(),
               *phi = BN_new(), *p1 = BN_new(), *q1 = BN_new(), *dp = BN_new(), *dq = BN_new(),
               *qinv = BN_new(), *c = BN_new(), *m = BN_new();
        BN_set_word(e, 65537);
        do {
            ASSERT_EQ(BN_generate_prime_ex(p, pbits, 0, nullptr, nullptr, nullptr), 1);
            ASSERT_EQ(BN_generate_prime_ex(q, qbits, 0, nullptr, nullptr, nullptr), 1);
            BN_sub(p1, p, BN_value_one());
            BN_sub(q1, q, BN_value_one());
            BN_mul(phi, p1, q1, bc);
        } while (!BN_mod_inverse(d, e, phi, bc));
        BN_mul(n, p, q, bc);
        BN_mod(dp, d, p1, bc);
        BN_mod(dq, d, q1, bc);
        ASSERT_NE(BN_mod_inverse(qinv, q, p, bc), nullptr);
        rsa_key *key = rsa_new();
        BIGNUM *src[] = {n, e, d, p, q, dp, dq, qinv};
        bigint **dst[] = {&key->n, &key->e,  &key->d,  &key->p,
                          &key->q, &key->dp, &key->dq, &key->qinv};
        for (size_t i = 0; i < 8; i++) {
            bytes b(size_t(BN_num_bytes(src[i])));
            BN_bn2bin(src[i], b.data());
            *dst[i] = bi_from_bytes(b.data(), b.size());
        }
        key->bits = bi_num_bits(key->n);
        size_t k = rsa_size(key);
        for (int i = 0; i < 3; i++) {
            bytes in(k), ours(k), theirs(k);
            for (auto &x : in)
                x = uint8_t(rng());
            in[0] = 0;
            BN_bin2bn(in.data(), int(k), c);
            BN_mod_exp(m, c, d, n, bc);
            BN_bn2binpad(m, theirs.data(), int(k));
            ASSERT_EQ(rsa_private(key, in.data(), ours.data()), int(k));
            EXPECT_EQ(tohex(ours), tohex(theirs));
        }
        rsa_free(key);
        for (BIGNUM *b : {p, q, n, e, d, phi, p1, q1, dp, dq, qinv, c, m})
            BN_free(b);
    }
    BN_CTX_free(bc);
}

TEST_F(Rsa, PaddingsInteroperateWithPkeyutl)
{
    struct {
        int mode;
        const char *opt;
    } pads[] = {{RSA_PAD_PKCS1, ""}, {RSA_PAD_OAEP, " -pkeyopt rsa_padding_mode:oaep"}};
    for (auto &t : keys_) {
        size_t k = rsa_size(t.key);
        for (auto &pad : pads) {
            SCOPED_TRACE(std::to_string(k) + " " + pad.opt);
            // Ours to theirs.
            bytes msg = str("premaster secret of forty-eight bytes, or so...!");
            bytes ct(k);
            ASSERT_EQ(rsa_encrypt(t.key, pad.mode, nullptr, 0, msg.data(), msg.size(), ct.data()), int(k));
            spill(path("c.bin"), ct);
            ASSERT_EQ(sh("openssl pkeyutl -decrypt -inkey " + t.pem + pad.opt + " -in " + path("c.bin") +
                         " -out " + path("m.bin")),
                      0);
            EXPECT_EQ(slurp(path("m.bin")), msg);

            // Theirs to ours.
            spill(path("m2.bin"), msg);
            ASSERT_EQ(sh("openssl pkeyutl -encrypt -pubin -inkey " + t.pub_pem + pad.opt + " -in " +
                         path("m2.bin") + " -out " + path("c2.bin")),
                      0);
            bytes ct2 = slurp(path("c2.bin"));
            bytes out(k, 0xee);
            int n = rsa_decrypt(t.key, pad.mode, nullptr, 0, ct2.data(), ct2.size(), out.data(), out.size());
            ASSERT_EQ(n, int(msg.size()));
            EXPECT_EQ(bytes(out.begin(), out.begin() + n), msg);
            EXPECT_EQ(bytes(out.begin() + n, out.end()), bytes(k - size_t(n), 0));
        }
    }
}

TEST_F(Rsa, MessageLengthLimits)
{
    rsa_key *key = keys_[0].key; // 1024 bits
    bytes msg(200, 0x42), ct(128), out(128);
    EXPECT_EQ(rsa_encrypt(key, RSA_PAD_PKCS1, nullptr, 0, msg.data(), 117, ct.data()), 128);
    EXPECT_EQ(rsa_decrypt(key, RSA_PAD_PKCS1, nullptr, 0, ct.data(), 128, out.data(), out.size()), 117);
    EXPECT_EQ(rsa_encrypt(key, RSA_PAD_PKCS1, nullptr, 0, msg.data(), 118, ct.data()), -1);
    EXPECT_EQ(rsa_encrypt(key, RSA_PAD_OAEP, nullptr, 0, msg.data(), 86, ct.data()), 128);
    EXPECT_EQ(rsa_decrypt(key, RSA_PAD_OAEP, nullptr, 0, ct.data(), 128, out.data(), out.size()), 86);
    EXPECT_EQ(rsa_encrypt(key, RSA_PAD_OAEP, nullptr, 0, msg.data(), 87, ct.data()), -1);
    // Modes that name no padding, or the failing key operation.
    EXPECT_EQ(rsa_encrypt(key, 0, nullptr, 0, msg.data(), 8, ct.data()), -1);
    EXPECT_EQ(rsa_encrypt(key, RSA_PAD_PKCS1 | 3 << RSA_OP_SHIFT, nullptr, 0, msg.data(), 8, ct.data()), -1);
    // A label must match.
    const uint8_t label[] = "label";
    ASSERT_EQ(rsa_encrypt(key, RSA_PAD_OAEP, label, 5, msg.data(), 10, ct.data()), 128);
    EXPECT_EQ(rsa_decrypt(key, RSA_PAD_OAEP, label, 4, ct.data(), 128, out.data(), out.size()), -1);
    EXPECT_EQ(rsa_decrypt(key, RSA_PAD_OAEP, label, 5, ct.data(), 128, out.data(), out.size()), 10);
    // Private-key encryption pairs with public-key decryption.
    ASSERT_EQ(rsa_encrypt(key, RSA_PAD_PKCS1 | 2 << RSA_OP_SHIFT, nullptr, 0, msg.data(), 20, ct.data()), 128);
    EXPECT_EQ(rsa_decrypt(key, RSA_PAD_PKCS1 | 1 << RSA_OP_SHIFT, nullptr, 0, ct.data(), 128, out.data(),
                          out.size()),
              20);
}

TEST_F(Rsa, OaepWithInjectedSeedMatchesOpenSslBytes)
{
    // OpenSSL pads with a seed of its own; recovering that seed with its MGF1
    // and encoding again with it must give the same block, byte for byte.
    for (auto &t : keys_) {
        size_t k = rsa_size(t.key);
        for (size_t len : {0, 1, 20, 47, int(k) - 42}) {
            bytes msg(len);
            for (size_t i = 0; i < len; i++)
                msg[i] = uint8_t(i * 13 + 5);
            const uint8_t label[] = "a label";
            for (size_t label_len : {0, 7}) {
                EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new(t.pk, nullptr);
                ASSERT_EQ(EVP_PKEY_encrypt_init(ctx), 1);
                ASSERT_EQ(EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_OAEP_PADDING), 1);
                if (label_len) {
                    void *l = OPENSSL_memdup(label, label_len);
                    ASSERT_EQ(EVP_PKEY_CTX_set0_rsa_oaep_label(ctx, l, int(label_len)), 1);
                }
                bytes ct(k);
                size_t ct_len = k;
                ASSERT_EQ(EVP_PKEY_encrypt(ctx, ct.data(), &ct_len, msg.data(), msg.size()), 1);
                EVP_PKEY_CTX_free(ctx);
                // Their block, through their raw private operation.
                ctx = EVP_PKEY_CTX_new(t.pk, nullptr);
                ASSERT_EQ(EVP_PKEY_decrypt_init(ctx), 1);
                ASSERT_EQ(EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_NO_PADDING), 1);
                bytes block(k);
                size_t block_len = k;
                ASSERT_EQ(EVP_PKEY_decrypt(ctx, block.data(), &block_len, ct.data(), ct_len), 1);
                EVP_PKEY_CTX_free(ctx);
                bytes mask(20);
                ASSERT_EQ(PKCS1_MGF1(mask.data(), 20, block.data() + 21, long(k - 21), EVP_sha1()), 0);
                uint8_t seed[20];
                for (int i = 0; i < 20; i++)
                    seed[i] = block[1 + i] ^ mask[i];

                bytes ours(k);
                ASSERT_EQ(rsa_oaep_encode(ours.data(), k, label, label_len, msg.data(), len, seed), 0);
                EXPECT_EQ(tohex(ours), tohex(block)) << len;
                bytes out(k);
                EXPECT_EQ(rsa_oaep_decode(block.data(), k, label, label_len, out.data(), out.size()), int(len));
                EXPECT_EQ(bytes(out.begin(), out.begin() + long(len)), msg);
            }
        }
    }
}

// A valid type-2 block with a given amount of padding, then edits.
bytes pkcs1_block(size_t k, size_t pad_len)
{
    bytes b(k);
    b[0] = 0;
    b[1] = 2;
    for (size_t i = 0; i < pad_len; i++)
        b[2 + i] = uint8_t(0x11 + i % 200);
    b[2 + pad_len] = 0;
    for (size_t i = 3 + pad_len; i < k; i++)
        b[i] = uint8_t(i);
    return b;
}

TEST(RsaPadding, Pkcs1UnpadTable)
{
    const size_t k = 128;
    struct {
        const char *what;
        bytes block;
        size_t out_size;
        int want;
    } cases[] = {
        {"eight padding bytes", pkcs1_block(k, 8), k, int(k - 11)},
        {"seven padding bytes", pkcs1_block(k, 7), k, -1},
        {"empty message", pkcs1_block(k, k - 3), k, 0},
        {"message longer than out", pkcs1_block(k, 8), 48, -1},
        {"message of exactly out", pkcs1_block(k, k - 51), 48, 48},
        {"first byte", [&] { auto b = pkcs1_block(k, 20); b[0] = 1; return b; }(), k, -1},
        {"block type 1", [&] { auto b = pkcs1_block(k, 20); b[1] = 1; return b; }(), k, -1},
        {"no separator", [&] { auto b = pkcs1_block(k, 20); for (size_t i = 2; i < k; i++) b[i] |= 1; return b; }(), k, -1},
        {"all zero", bytes(k), k, -1},
    };
    for (auto &c : cases) {
        bytes out(c.out_size, 0xee);
        EXPECT_EQ(rsa_pkcs1_unpad(c.block.data(), k, out.data(), out.size()), c.want) << c.what;
        if (c.want < 0) // nothing of the block leaks out on failure
            EXPECT_EQ(out, bytes(c.out_size, 0)) << c.what;
        else
            EXPECT_EQ(bytes(out.begin(), out.begin() + c.want), bytes(c.block.end() - c.want, c.block.end())) << c.what;
    }
    bytes small(10);
    uint8_t out[4];
    EXPECT_EQ(rsa_pkcs1_unpad(small.data(), small.size(), out, sizeof out), -1);
}

TEST(RsaPadding, OaepDecodeRefusesEdits)
{
    const size_t k = 128;
    uint8_t seed[20];
    for (int i = 0; i < 20; i++)
        seed[i] = uint8_t(i);
    bytes msg = str("hello"), good(k);
    ASSERT_EQ(rsa_oaep_encode(good.data(), k, nullptr, 0, msg.data(), msg.size(), seed), 0);
    bytes out(k);
    ASSERT_EQ(rsa_oaep_decode(good.data(), k, nullptr, 0, out.data(), out.size()), 5);
    for (size_t pos : {size_t(0), size_t(1), size_t(30), k - 6, k - 1}) {
        bytes bad = good;
        bad[pos] ^= 0x01;
        // Any change to the masked DB also changes the unmasked seed.
        EXPECT_EQ(rsa_oaep_decode(bad.data(), k, nullptr, 0, out.data(), out.size()), -1) << pos;
        EXPECT_EQ(out, bytes(k, 0)) << pos;
    }
    EXPECT_EQ(rsa_oaep_decode(good.data(), 42, nullptr, 0, out.data(), out.size()), -1);
    EXPECT_EQ(rsa_oaep_encode(out.data(), 42, nullptr, 0, msg.data(), 0, seed), -1);
}

bytes spki_of(const bytes &n, const bytes &e)
{
    rsa_key *key = rsa_new();
    key->n = bi_from_bytes(n.data(), n.size());
    key->e = bi_from_bytes(e.data(), e.size());
    bytes der(rsa_encode_spki(nullptr, 0, key));
    rsa_encode_spki(der.data(), der.size(), key);
    rsa_free(key);
    return der;
}

bytes operator+(bytes a, const bytes &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// An SPKI whose INTEGERs carry the given contents as they stand.
bytes spki_raw(const bytes &n, const bytes &e)
{
    der_item inner[] = {{DER_SEQUENCE, 1, 0, 0, 0, nullptr, nullptr},
                        {DER_INTEGER, 0, 1, 0, n.size(), nullptr, n.data()},
                        {DER_INTEGER, 0, 1, 0, e.size(), nullptr, e.data()}};
    bytes pk(1 + der_layout(inner, 3)); // unused-bits byte first
    der_write(pk.data() + 1, inner, 3);
    static const uint8_t oid[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x01};
    der_item outer[] = {{DER_SEQUENCE, 1, 0, 0, 0, nullptr, nullptr},
                        {DER_SEQUENCE, 1, 1, 0, 0, nullptr, nullptr},
                        {DER_OID, 0, 2, 0, sizeof oid, nullptr, oid},
                        {DER_NULL, 0, 2, 0, 0, nullptr, nullptr},
                        {DER_BIT_STRING, 0, 1, 0, pk.size(), nullptr, pk.data()}};
    bytes der(der_layout(outer, 5));
    der_write(der.data(), outer, 5);
    return der;
}

TEST_F(Rsa, MalformedKeysAreRefused)
{
    const bytes der = slurp(keys_[1].pub_der); // 2048 bits
    ASSERT_NE(der.size(), 0u);
    bytes n(256, 0xff), e = {1, 0, 1};
    auto edit = [&](auto f) {
        bytes b = der;
        f(b);
        return b;
    };
    bytes n_even = n;
    n_even.back() = 0xfe;
    bytes n_1023(128, 0xff);
    n_1023[0] = 0x7f;
    bytes n_4097(513, 0xff);
    n_4097[0] = 0x01;
    bytes n_4096(512, 0xff);
    // n's INTEGER sits at offset 28 (after 30 82 01 22, the algorithm, 03 82 01 0f 00, 30 82 01 0a, 02 82 01 01).
    ASSERT_EQ(der[28], 0x02);
    struct {
        const char *what;
        bytes der;
    } cases[] = {
        {"trailing byte", edit([](bytes &b) { b.push_back(0); })},
        {"unused bits", edit([](bytes &b) { b[23] = 0x01; })},
        {"other algorithm", edit([](bytes &b) { b[16] = 0x0a; })},
        {"NULL with content", edit([](bytes &b) { b[18] = 0x01; })},
        {"indefinite length", edit([](bytes &b) { b[1] = 0x80; })},
        {"length of length 5", [&] {
             bytes b(der.size() + 3);
             const uint8_t head[7] = {0x30, 0x85, 0, 0, 0, 0x01, 0x22};
             std::copy(head, head + 7, b.begin());
             std::copy(der.begin() + 4, der.end(), b.begin() + 7);
             return b;
         }()},
        {"long form for a short length", edit([](bytes &b) { b[4] = 0x30; b.insert(b.begin() + 5, 0x81); b[1]++; /* breaks the outer length too */ })},
        {"negative modulus", spki_of(bytes{0x80, 1, 2, 3}, e)},
        {"redundant leading zero in e", spki_raw(bytes(1, 0) + n, {0, 1, 0, 1})},
        {"redundant leading zero in n", spki_raw(bytes(2, 0) + n, e)},
        {"even modulus", spki_of(n_even, e)},
        {"1023-bit modulus", spki_of(n_1023, e)},
        {"4097-bit modulus", spki_of(n_4097, e)},
        {"e = 1", spki_of(n, {1})},
        {"even e", spki_of(n, {1, 0, 0})},
        {"e = n", spki_of(n, n)},
        {"wrong outer tag", edit([](bytes &b) { b[0] = 0x31; })},
        {"integer as a constructed item", edit([](bytes &b) { b[28] = 0x22; })},
    };
    for (auto &c : cases) {
        rsa_key *key = rsa_parse_spki(c.der.data(), c.der.size());
        EXPECT_EQ(key, nullptr) << c.what;
        rsa_free(key);
    }
    // The raw builder itself makes good keys.
    rsa_key *raw = nullptr;
    bytes raw_der = spki_raw(bytes(1, 0) + n, e);
    EXPECT_NE(raw = rsa_parse_spki(raw_der.data(), raw_der.size()), nullptr);
    rsa_free(raw);
    // The largest key and the smallest public exponent are fine.
    rsa_key *big = nullptr;
    bytes big_der = spki_of(n_4096, {3});
    EXPECT_NE(big = rsa_parse_spki(big_der.data(), big_der.size()), nullptr);
    rsa_free(big);
    // Every prefix of a good key is refused.
    for (size_t len = 0; len < der.size(); len++)
        EXPECT_EQ(rsa_parse_spki(der.data(), len), nullptr) << len;
    rsa_key *whole = rsa_parse_spki(der.data(), der.size());
    EXPECT_NE(whole, nullptr);
    rsa_free(whole);
}

TEST(Der, LengthsAcrossForms)
{
    // Contents of 0, 127, 128, 255, 256 and 65536 bytes round-trip.
    for (size_t len : {0, 127, 128, 255, 256, 65536}) {
        bytes content(len, 0x5a);
        der_item w[] = {{DER_SEQUENCE, 1, 0, 0, 0, nullptr, nullptr},
                        {DER_OID, 0, 1, 0, len, nullptr, content.data()}};
        bytes buf(der_layout(w, 2));
        der_write(buf.data(), w, 2);
        der_item r[] = {{DER_SEQUENCE, 1, 0, 0, 0, nullptr, nullptr}, {DER_OID, 0, 1, 0, 0, nullptr, nullptr}};
        ASSERT_EQ(der_parse(buf.data(), buf.size(), r, 2), 0) << len;
        EXPECT_EQ(r[1].length, len);
        EXPECT_EQ(r[1].offset, w[1].offset);
    }
    // A child that runs past its container.
    const uint8_t bad[] = {0x30, 0x03, 0x06, 0x05, 0, 0, 0, 0, 0};
    der_item r[] = {{DER_SEQUENCE, 1, 0, 0, 0, nullptr, nullptr}, {DER_OID, 0, 1, 0, 0, nullptr, nullptr}};
    EXPECT_EQ(der_parse(bad, sizeof bad, r, 2), -1);
}

TEST_F(Rsa, RandomPoolServesAndRefills)
{
    rsa_key *key = rsa_new();
    uint8_t a[1000], b[100], big[2000];
    ASSERT_EQ(rsa_random_bytes(key, a, sizeof a), 0);
    EXPECT_EQ(key->pool_left, RSA_POOL_SIZE - sizeof a);
    ASSERT_EQ(rsa_random_bytes(key, b, sizeof b), 0); // refill keeps the 24 unread bytes
    EXPECT_EQ(key->pool_left, RSA_POOL_SIZE - sizeof b);
    ASSERT_EQ(rsa_random_bytes(key, big, sizeof big), 0); // straight from the source
    EXPECT_EQ(key->pool_left, RSA_POOL_SIZE - sizeof b);
    rsa_free(key);
}

TEST(Mgf1, MatchesOpenSsl)
{
    std::mt19937_64 rng(4);
    for (size_t len : {1, 19, 20, 21, 107, 235}) {
        bytes seed(1 + rng() % 40);
        for (auto &x : seed)
            x = uint8_t(rng());
        bytes ours(len), theirs(len);
        mgf1_sha1(seed.data(), seed.size(), ours.data(), len);
        ASSERT_EQ(PKCS1_MGF1(theirs.data(), long(len), seed.data(), long(seed.size()), EVP_sha1()), 0);
        EXPECT_EQ(ours, theirs);
    }
}

} // namespace
