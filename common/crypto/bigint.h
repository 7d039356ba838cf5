// Arbitrary-precision unsigned integers for RSA: bytes, comparison, shifts,
// sums, products, Barrett division, modular multiplication and powers, the
// powers modulo odd moduli through Montgomery products on 64-bit words.
#pragma once

#include <cstddef>
#include <cstdint>

enum : uint32_t {
    BI_POISON_REALLOC = 1, // a view: never grown
    BI_POISON_FREE = 2,    // a view: never freed
};

// Limbs least significant first; used >= 1 and the top used limb is non-zero
// unless the value is 0.
struct bigint {
    uint32_t *limbs;
    uint32_t used;
    uint32_t allocated;
    uint32_t poison;
};

// One per modulus, kept by its user; zero-initialised means empty.
struct bi_barrett {
    bigint *recip;      // floor(2^(mbits + precision) / m)
    uint32_t precision; // quotient bits the reciprocal serves
    uint32_t mbits;     // bits of the modulus it was made for
    bigint *prod, *rem, *quot, *wide; // reduction temporaries
    bigint *base, *acc;               // exponentiation temporaries
    bigint *table[16];                // windowed exponentiation
    // Montgomery form for an odd modulus of n 64-bit words (R = 2^(64n)):
    // its words, R^2 mod m, then scratch that is wiped after each operation.
    uint64_t *mont;
    uint64_t mont_minv; // -m^-1 mod 2^64
    uint32_t mont_words;
};

bigint *bi_new(uint32_t bits);
void bi_free(bigint *bi);
int bi_resize(bigint *bi, uint32_t bits);

// Big-endian bytes, leading zeros allowed. Null when out of memory.
bigint *bi_from_bytes(const uint8_t *bytes, size_t len);
// Minimal big-endian form (at least one byte); with sign_byte, a leading 0x00
// when the top bit is set. Returns the length needed; writes only when it fits.
size_t bi_to_bytes(const bigint *bi, uint8_t *buf, size_t size, bool sign_byte);

uint32_t bi_num_bits(const bigint *bi);
size_t bi_num_bytes(const bigint *bi);
inline bool bi_is_zero(const bigint *bi)
{
    return bi->used == 1 && bi->limbs[0] == 0;
}
inline bool bi_is_odd(const bigint *bi)
{
    return bi->limbs[0] & 1;
}
inline bool bi_test_bit(const bigint *bi, uint32_t bit)
{
    return bit / 32 < bi->used && (bi->limbs[bit / 32] >> (bit % 32) & 1);
}

int bi_set_u32(bigint *bi, uint32_t v);
int bi_copy(bigint *dst, const bigint *src);
int bi_cmp(const bigint *a, const bigint *b); // -1, 0, 1

// Results may alias operands in every operation below.
int bi_shl(bigint *r, const bigint *a, uint32_t bits);
int bi_shr(bigint *r, const bigint *a, uint32_t bits);
// Shifts a so that its bit length becomes bits (a must not be 0).
int bi_shift_to_bits(bigint *r, const bigint *a, uint32_t bits);

int bi_add(bigint *r, const bigint *a, const bigint *b);
// a - b; -1 (ERANGE) when b > a.
int bi_sub(bigint *r, const bigint *a, const bigint *b);
int bi_add_u32(bigint *r, const bigint *a, uint32_t v);
int bi_sub_u32(bigint *r, const bigint *a, uint32_t v);

int bi_mul(bigint *r, const bigint *a, const bigint *b);
int bi_mul_u32(bigint *r, const bigint *a, uint32_t v);
// a * b without the partial products that lie wholly below bit: the result
// is at most a few units of 2^bit short of the product.
int bi_mul_high(bigint *r, const bigint *a, const bigint *b, uint32_t bit);
int bi_sqr(bigint *r, const bigint *a);

// floor(2^(bits(m) + precision) / m), by Newton iteration; m non-zero.
int bi_reciprocal(bigint *r, const bigint *m, uint32_t precision);
// x = q * m + rem with 0 <= rem < m; q or rem may be null. precision is the
// largest dividend bit length the caller expects, so that the context's
// reciprocal is made once. -1 (EDOM) when m is 0.
int bi_barrett_divmod(bigint *q, bigint *rem, const bigint *x, const bigint *m, bi_barrett *ctx,
                      uint32_t precision);
int bi_mulmod(bigint *r, const bigint *a, const bigint *b, const bigint *m, bi_barrett *ctx);
// For public exponents: time depends on the exponent. Odd moduli take a
// sliding window over Montgomery products, even ones square-and-multiply.
int bi_modexp(bigint *r, const bigint *base, const bigint *e, const bigint *m, bi_barrett *ctx);
// For secret exponents: a fixed window whose products and table reads do not
// depend on the exponent's bits (nor on the modulus's beyond its size when
// it is odd and above 64 bits).
int bi_modexp_ct(bigint *r, const bigint *base, const bigint *e, const bigint *m, bi_barrett *ctx);

// Montgomery arithmetic for odd m above 64 bits, of n 64-bit words with
// R = 2^(64n); the context keeps m's constants. Constant time in the values.
// The same as bi_modexp_ct, but returns base^e * R mod m.
int bi_modexp_ct_mont(bigint *r, const bigint *base, const bigint *e, const bigint *m,
                      bi_barrett *ctx);
// a * b / R mod m, for a < R and b < m.
int bi_mont_mul(bigint *r, const bigint *a, const bigint *b, const bigint *m, bi_barrett *ctx);
// x * R mod m, for any x.
int bi_mont_enter(bigint *r, const bigint *x, const bigint *m, bi_barrett *ctx);
// (a - b) mod m for a, b < m.
int bi_modsub_ct(bigint *r, const bigint *a, const bigint *b, const bigint *m);

// Whether the Montgomery products may use MULX and ADX when the processor
// has them (tests turn it off to check the portable path); returns the
// previous setting. Call it only while no other thread computes.
bool bi_allow_mulx(bool allow);
// Whether they are in use now.
bool bi_uses_mulx();

// Views of bi's limbs below split (lo) and from split up (hi).
void bi_partition(const bigint *bi, uint32_t split, bigint *lo, bigint *hi);

void bi_barrett_free(bi_barrett *ctx);
