// Big integers against OpenSSL's BN, with operands that provoke carries and
// sizes on both sides of the squaring split.
#include <openssl/bn.h>

#include <memory>
#include <random>

#include "common/crypto/bigint.h"
#include "util.h"

namespace {

struct bi_del {
    void operator()(bigint *b) const { bi_free(b); }
};
using bi_ptr = std::unique_ptr<bigint, bi_del>;
struct bn_del {
    void operator()(BIGNUM *b) const { BN_free(b); }
};
using bn_ptr = std::unique_ptr<BIGNUM, bn_del>;

bi_ptr mk(const bytes &b)
{
    return bi_ptr(bi_from_bytes(b.data(), b.size()));
}
bn_ptr bn(const bytes &b)
{
    return bn_ptr(BN_bin2bn(b.data(), int(b.size()), nullptr));
}
std::string hex_of(const bigint *b)
{
    bytes out(bi_to_bytes(b, nullptr, 0, false));
    bi_to_bytes(b, out.data(), out.size(), false);
    return tohex(out);
}
std::string hex_of(const BIGNUM *b)
{
    bytes out(BN_num_bytes(b) ? size_t(BN_num_bytes(b)) : 1);
    BN_bn2binpad(b, out.data(), int(out.size()));
    return tohex(out);
}

// Random values of a given size whose limbs are often all ones or all zeros,
// which is where carries and borrows run far.
bytes value(std::mt19937_64 &rng, size_t len)
{
    bytes b(len);
    int style = int(rng() % 4);
    for (auto &x : b) {
        switch (style) {
        case 0:
            x = uint8_t(rng());
            break;
        case 1:
            x = 0xff;
            break;
        case 2:
            x = rng() % 8 ? 0xff : uint8_t(rng());
            break;
        default:
            x = rng() % 8 ? 0 : uint8_t(rng());
            break;
        }
    }
    if (len)
        b[0] |= 0x80 >> (rng() % 8); // keep the size
    return b;
}

// Runs body once per Montgomery kernel set this processor can run: the
// portable one always, the MULX one where present.
template <typename F> void each_kernel(F body)
{
    bool old = bi_allow_mulx(false);
    {
        SCOPED_TRACE("portable kernels");
        body();
    }
    bi_allow_mulx(true);
    if (bi_uses_mulx()) {
        SCOPED_TRACE("MULX kernels");
        body();
    }
    bi_allow_mulx(old);
}

TEST(Bigint, BytesEdgeCases)
{
    auto zero = mk({});
    uint8_t buf[4];
    EXPECT_EQ(bi_to_bytes(zero.get(), buf, sizeof buf, true), 1u);
    EXPECT_EQ(buf[0], 0);
    auto x80 = mk({0x80});
    EXPECT_EQ(bi_to_bytes(x80.get(), buf, sizeof buf, true), 2u);
    EXPECT_EQ(tohex(buf, 2), "0080");
    EXPECT_EQ(bi_to_bytes(x80.get(), buf, 1, true), 2u); // too small: length only
    auto one = mk({0, 0, 1});
    EXPECT_EQ(one->used, 1u);
    EXPECT_EQ(one->limbs[0], 1u);
    EXPECT_EQ(bi_num_bits(one.get()), 1u);
    EXPECT_EQ(bi_num_bytes(zero.get()), 1u);
}

TEST(Bigint, ArithmeticMatchesOpenSsl)
{
    std::mt19937_64 rng(11);
    BN_CTX *ctx = BN_CTX_new();
    const int runs = CRYPTO_UNDER_ASAN ? 300 : 3000;
    for (int run = 0; run < runs; run++) {
        size_t la = 1 + rng() % 300, lb = 1 + rng() % 300;
        bytes a = value(rng, la), b = value(rng, lb);
        auto A = mk(a), B = mk(b);
        auto R = bi_ptr(bi_new(32));
        bn_ptr a_(bn(a)), b_(bn(b)), r_(BN_new());
        SCOPED_TRACE(tohex(a) + " " + tohex(b));

        ASSERT_EQ(bi_add(R.get(), A.get(), B.get()), 0);
        BN_add(r_.get(), a_.get(), b_.get());
        ASSERT_EQ(hex_of(R.get()), hex_of(r_.get()));

        const bigint *big = bi_cmp(A.get(), B.get()) >= 0 ? A.get() : B.get();
        const bigint *small = big == A.get() ? B.get() : A.get();
        ASSERT_EQ(bi_sub(R.get(), big, small), 0);
        BN_sub(r_.get(), big == A.get() ? a_.get() : b_.get(), big == A.get() ? b_.get() : a_.get());
        ASSERT_EQ(hex_of(R.get()), hex_of(r_.get()));
        if (bi_cmp(A.get(), B.get()) != 0) {
            EXPECT_EQ(bi_sub(R.get(), small, big), -1);
        }

        ASSERT_EQ(bi_mul(R.get(), A.get(), B.get()), 0);
        BN_mul(r_.get(), a_.get(), b_.get(), ctx);
        ASSERT_EQ(hex_of(R.get()), hex_of(r_.get()));

        // Aliased result.
        auto C = mk(a);
        ASSERT_EQ(bi_mul(C.get(), C.get(), B.get()), 0);
        ASSERT_EQ(hex_of(C.get()), hex_of(r_.get()));

        ASSERT_EQ(bi_sqr(R.get(), A.get()), 0);
        BN_sqr(r_.get(), a_.get(), ctx);
        ASSERT_EQ(hex_of(R.get()), hex_of(r_.get()));

        uint32_t sh = uint32_t(rng() % 200);
        ASSERT_EQ(bi_shl(R.get(), A.get(), sh), 0);
        BN_lshift(r_.get(), a_.get(), int(sh));
        ASSERT_EQ(hex_of(R.get()), hex_of(r_.get()));
        ASSERT_EQ(bi_shr(R.get(), A.get(), sh), 0);
        BN_rshift(r_.get(), a_.get(), int(sh));
        ASSERT_EQ(hex_of(R.get()), hex_of(r_.get()));

        uint32_t w = uint32_t(rng());
        ASSERT_EQ(bi_add_u32(R.get(), A.get(), w), 0);
        BN_copy(r_.get(), a_.get());
        BN_add_word(r_.get(), w);
        ASSERT_EQ(hex_of(R.get()), hex_of(r_.get()));
        ASSERT_EQ(bi_mul_u32(R.get(), A.get(), w), 0);
        BN_copy(r_.get(), a_.get());
        BN_mul_word(r_.get(), w);
        ASSERT_EQ(hex_of(R.get()), hex_of(r_.get()));

        // Division of the larger by the smaller, and of a product by a modulus.
        bi_barrett bctx{};
        auto Q = bi_ptr(bi_new(32));
        bn_ptr q_(BN_new());
        ASSERT_EQ(bi_barrett_divmod(Q.get(), R.get(), big, small, &bctx, 0), 0);
        BN_div(q_.get(), r_.get(), big == A.get() ? a_.get() : b_.get(),
               big == A.get() ? b_.get() : a_.get(), ctx);
        ASSERT_EQ(hex_of(Q.get()), hex_of(q_.get()));
        ASSERT_EQ(hex_of(R.get()), hex_of(r_.get()));
        bi_barrett_free(&bctx);

        bytes mbytes = value(rng, 1 + rng() % 160);
        auto M = mk(mbytes);
        bn_ptr m_(bn(mbytes));
        ASSERT_EQ(bi_mulmod(R.get(), A.get(), B.get(), M.get(), &bctx), 0);
        BN_mod_mul(r_.get(), a_.get(), b_.get(), m_.get(), ctx);
        ASSERT_EQ(hex_of(R.get()), hex_of(r_.get()));
        bi_barrett_free(&bctx);
    }
    BN_CTX_free(ctx);
}

TEST(Bigint, SquaringAcrossTheSplit)
{
    std::mt19937_64 rng(5);
    BN_CTX *ctx = BN_CTX_new();
    for (size_t limbs : {63, 64, 65, 66, 127, 128, 129, 130, 257, 300}) {
        for (int style = 0; style < 6; style++) {
            bytes a = value(rng, limbs * 4);
            auto A = mk(a), R = bi_ptr(bi_new(32)), P = bi_ptr(bi_new(32));
            bn_ptr a_(bn(a)), r_(BN_new());
            ASSERT_EQ(bi_sqr(R.get(), A.get()), 0);
            ASSERT_EQ(bi_mul(P.get(), A.get(), A.get()), 0);
            BN_sqr(r_.get(), a_.get(), ctx);
            ASSERT_EQ(hex_of(R.get()), hex_of(r_.get())) << limbs;
            ASSERT_EQ(bi_cmp(R.get(), P.get()), 0) << limbs;
        }
    }
    BN_CTX_free(ctx);
}

TEST(Bigint, BarrettLongDivision)
{
    // 2048-bit by 1024-bit, and the contexts reuse their reciprocal.
    std::mt19937_64 rng(7);
    BN_CTX *ctx = BN_CTX_new();
    bytes mb = value(rng, 128);
    auto M = mk(mb);
    bn_ptr m_(bn(mb));
    bi_barrett bctx{};
    for (int i = 0; i < 50; i++) {
        bytes xb = value(rng, 1 + rng() % 256);
        auto X = mk(xb), Q = bi_ptr(bi_new(32)), R = bi_ptr(bi_new(32));
        bn_ptr x_(bn(xb)), q_(BN_new()), r_(BN_new());
        ASSERT_EQ(bi_barrett_divmod(Q.get(), R.get(), X.get(), M.get(), &bctx, 2048), 0);
        BN_div(q_.get(), r_.get(), x_.get(), m_.get(), ctx);
        ASSERT_EQ(hex_of(Q.get()), hex_of(q_.get()));
        ASSERT_EQ(hex_of(R.get()), hex_of(r_.get()));
    }
    bi_barrett_free(&bctx);

    auto zero = mk({});
    auto X = mk({5});
    EXPECT_EQ(bi_barrett_divmod(nullptr, X.get(), X.get(), zero.get(), &bctx, 0), -1);
    BN_CTX_free(ctx);
}

TEST(Bigint, ReciprocalIsExact)
{
    std::mt19937_64 rng(3);
    BN_CTX *ctx = BN_CTX_new();
    for (int i = 0; i < 40; i++) {
        bytes mb = value(rng, 1 + rng() % 200);
        uint32_t precision = uint32_t(1 + rng() % 2500);
        auto M = mk(mb), R = bi_ptr(bi_new(32));
        ASSERT_EQ(bi_reciprocal(R.get(), M.get(), precision), 0);
        bn_ptr m_(bn(mb)), t(BN_new()), q(BN_new());
        BN_one(t.get());
        BN_lshift(t.get(), t.get(), BN_num_bits(m_.get()) + int(precision));
        BN_div(q.get(), nullptr, t.get(), m_.get(), ctx);
        ASSERT_EQ(hex_of(R.get()), hex_of(q.get())) << precision;
    }
    BN_CTX_free(ctx);
}

TEST(Bigint, ModexpMatchesOpenSsl)
{
    each_kernel([] {
        std::mt19937_64 rng(9);
        BN_CTX *ctx = BN_CTX_new();
        for (int i = 0; i < (CRYPTO_UNDER_ASAN ? 12 : 40); i++) {
            bytes mb = value(rng, 1 + rng() % 128), bb = value(rng, 1 + rng() % 140),
                  eb = value(rng, 1 + rng() % 64);
            auto M = mk(mb), B = mk(bb), E = mk(eb), R = bi_ptr(bi_new(32));
            bn_ptr m_(bn(mb)), b_(bn(bb)), e_(bn(eb)), r_(BN_new());
            BN_mod_exp(r_.get(), b_.get(), e_.get(), m_.get(), ctx);
            bi_barrett bctx{};
            ASSERT_EQ(bi_modexp(R.get(), B.get(), E.get(), M.get(), &bctx), 0);
            ASSERT_EQ(hex_of(R.get()), hex_of(r_.get()));
            ASSERT_EQ(bi_modexp_ct(R.get(), B.get(), E.get(), M.get(), &bctx), 0);
            ASSERT_EQ(hex_of(R.get()), hex_of(r_.get()));
            bi_barrett_free(&bctx);
        }
        // Odd moduli of the sizes with their own kernels and around them,
        // exponents long enough for every window width, bases of up to three
        // times the modulus's words.
        for (size_t words : {2, 3, 15, 16, 17, 24, 31, 32, 33, 64}) {
            for (int i = 0; i < (CRYPTO_UNDER_ASAN ? 1 : 3); i++) {
                bytes mb = value(rng, words * 8 - rng() % 8),
                      bb = value(rng, 1 + rng() % (words * 24)), eb = value(rng, 1 + rng() % 260);
                mb.back() |= 1;
                auto M = mk(mb), B = mk(bb), E = mk(eb), R = bi_ptr(bi_new(32));
                bn_ptr m_(bn(mb)), b_(bn(bb)), e_(bn(eb)), r_(BN_new());
                BN_mod_exp(r_.get(), b_.get(), e_.get(), m_.get(), ctx);
                SCOPED_TRACE(words);
                bi_barrett bctx{};
                ASSERT_EQ(bi_modexp(R.get(), B.get(), E.get(), M.get(), &bctx), 0);
                ASSERT_EQ(hex_of(R.get()), hex_of(r_.get()));
                ASSERT_EQ(bi_modexp_ct(R.get(), B.get(), E.get(), M.get(), &bctx), 0);
                ASSERT_EQ(hex_of(R.get()), hex_of(r_.get()));
                bi_barrett_free(&bctx);
            }
        }
        // Modulus 1, exponent 0.
        auto one = mk({1}), zero = mk({}), seven = mk({7}), R = bi_ptr(bi_new(32));
        bi_barrett bctx{};
        ASSERT_EQ(bi_modexp(R.get(), seven.get(), seven.get(), one.get(), &bctx), 0);
        EXPECT_TRUE(bi_is_zero(R.get()));
        bi_barrett_free(&bctx);
        ASSERT_EQ(bi_modexp_ct(R.get(), seven.get(), zero.get(), seven.get(), &bctx), 0);
        EXPECT_EQ(hex_of(R.get()), "01");
        bi_barrett_free(&bctx);
        bytes big(128, 0xff);
        auto M = mk(big);
        ASSERT_EQ(bi_modexp(R.get(), seven.get(), zero.get(), M.get(), &bctx), 0);
        EXPECT_EQ(hex_of(R.get()), "01");
        ASSERT_EQ(bi_modexp_ct(R.get(), zero.get(), seven.get(), M.get(), &bctx), 0);
        EXPECT_TRUE(bi_is_zero(R.get()));
        bi_barrett_free(&bctx);
        BN_CTX_free(ctx);
    });
}

// Montgomery products, entry into the form and the modular difference
// against BN with R = 2^(64n): operands near m and near R, where the final
// subtraction and the carries run.
TEST(Bigint, MontgomeryMatchesOpenSsl)
{
    each_kernel([] {
        std::mt19937_64 rng(13);
        BN_CTX *ctx = BN_CTX_new();
        for (size_t words : {2, 5, 16, 17, 32, 33}) {
            for (int i = 0; i < (CRYPTO_UNDER_ASAN ? 4 : 25); i++) {
                bytes mb = value(rng, words * 8 - (i % 3 ? 0 : rng() % 8));
                mb.back() |= 1;
                auto M = mk(mb);
                bi_barrett bctx{}; // one per modulus
                bn_ptr m_(bn(mb)), rinv(BN_new()), rr(BN_new()), t(BN_new()), x_(BN_new());
                BN_one(rr.get());
                BN_lshift(rr.get(), rr.get(), int(64 * words));
                ASSERT_NE(BN_mod_inverse(rinv.get(), rr.get(), m_.get(), ctx), nullptr);
                // a < R, b < m.
                bytes ab = value(rng, words * 8), bb = value(rng, mb.size());
                bn_ptr a_(bn(ab)), b_(bn(bb));
                BN_mod(b_.get(), b_.get(), m_.get(), ctx);
                bb.assign(mb.size(), 0);
                BN_bn2binpad(b_.get(), bb.data(), int(bb.size()));
                auto A = mk(ab), B = mk(bb), R = bi_ptr(bi_new(32));
                SCOPED_TRACE(words);

                ASSERT_EQ(bi_mont_mul(R.get(), A.get(), B.get(), M.get(), &bctx), 0);
                BN_mod_mul(t.get(), a_.get(), b_.get(), m_.get(), ctx);
                BN_mod_mul(t.get(), t.get(), rinv.get(), m_.get(), ctx);
                ASSERT_EQ(hex_of(R.get()), hex_of(t.get()));

                ASSERT_EQ(bi_copy(R.get(), B.get()), 0); // the squaring kernel
                ASSERT_EQ(bi_mont_mul(R.get(), R.get(), R.get(), M.get(), &bctx), 0);
                BN_mod_mul(t.get(), b_.get(), b_.get(), m_.get(), ctx);
                BN_mod_mul(t.get(), t.get(), rinv.get(), m_.get(), ctx);
                ASSERT_EQ(hex_of(R.get()), hex_of(t.get()));

                // Entry of values of one, two and three times n words.
                for (size_t xl : {words * 8, words * 16, words * 24}) {
                    bytes xb = value(rng, xl);
                    auto X = mk(xb);
                    bn_ptr xx(bn(xb));
                    ASSERT_EQ(bi_mont_enter(R.get(), X.get(), M.get(), &bctx), 0);
                    BN_mod_mul(t.get(), xx.get(), rr.get(), m_.get(), ctx);
                    ASSERT_EQ(hex_of(R.get()), hex_of(t.get())) << xl;
                }

                // (b - c) mod m both ways round.
                bytes cb = value(rng, mb.size());
                bn_ptr c_(bn(cb));
                BN_mod(c_.get(), c_.get(), m_.get(), ctx);
                cb.assign(mb.size(), 0);
                BN_bn2binpad(c_.get(), cb.data(), int(cb.size()));
                auto C = mk(cb);
                ASSERT_EQ(bi_modsub_ct(R.get(), B.get(), C.get(), M.get()), 0);
                BN_mod_sub(t.get(), b_.get(), c_.get(), m_.get(), ctx);
                ASSERT_EQ(hex_of(R.get()), hex_of(t.get()));
                ASSERT_EQ(bi_modsub_ct(R.get(), C.get(), B.get(), M.get()), 0);
                BN_mod_sub(t.get(), c_.get(), b_.get(), m_.get(), ctx);
                ASSERT_EQ(hex_of(R.get()), hex_of(t.get()));
                bi_barrett_free(&bctx);
            }
        }
        // Even moduli and operands wider than the modulus are refused.
        bi_barrett bctx{};
        auto even = mk({0x10, 0, 0, 0, 0, 0, 0, 0, 0, 0x02}), one = mk({1}), R = bi_ptr(bi_new(32));
        EXPECT_EQ(bi_mont_mul(R.get(), one.get(), one.get(), even.get(), &bctx), -1);
        bytes mb = value(rng, 16);
        mb.back() |= 1;
        auto M = mk(mb), wide = mk(value(rng, 17));
        EXPECT_EQ(bi_mont_mul(R.get(), wide.get(), one.get(), M.get(), &bctx), -1);
        bi_barrett_free(&bctx);
        BN_CTX_free(ctx);
    });
}

TEST(Bigint, Exponent65537IsSixteenSquaringsAndAMultiply)
{
    std::mt19937_64 rng(1);
    bytes mb = value(rng, 256), bb = value(rng, 255);
    auto M = mk(mb), B = mk(bb), E = mk({1, 0, 1}), R = bi_ptr(bi_new(32)), S = mk(bb);
    bi_barrett bctx{};
    ASSERT_EQ(bi_modexp(R.get(), B.get(), E.get(), M.get(), &bctx), 0);
    for (int i = 0; i < 16; i++)
        ASSERT_EQ(bi_mulmod(S.get(), S.get(), S.get(), M.get(), &bctx), 0);
    ASSERT_EQ(bi_mulmod(S.get(), S.get(), B.get(), M.get(), &bctx), 0);
    EXPECT_EQ(bi_cmp(R.get(), S.get()), 0);
    bi_barrett_free(&bctx);
}

TEST(Bigint, PartitionViews)
{
    auto A = mk(hex("0000000500000000000000070000000000000009"));
    bigint lo, hi;
    bi_partition(A.get(), 2, &lo, &hi);
    EXPECT_EQ(hex_of(&lo), "09");
    EXPECT_EQ(hex_of(&hi), "050000000000000007");
    bi_partition(A.get(), 10, &lo, &hi);
    EXPECT_TRUE(bi_is_zero(&hi));
    EXPECT_DEATH(bi_partition(A.get(), 0, &lo, &hi), "split > 0");
    EXPECT_DEATH(bi_free(&lo), "\\(bi->poison & BI_POISON_FREE\\) == 0");
    EXPECT_DEATH(bi_shl(&lo, &lo, 200), "\\(bi->poison & BI_POISON_REALLOC\\) == 0");
}

} // namespace
