#include "common/crypto/bigint.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#if defined(__x86_64__)
#include <cpuid.h>
#endif

#include "common/crypto/bigint_mont.h"
#include "common/crypto/secure.h"
#include "common/fatal.h"

// Products run over 64-bit words: on a little-endian host the limb array read
// two limbs at a time is that word array, and a 64 x 64 -> 128-bit multiply
// does four times the work of a 32-bit one.
namespace {

using u64 = uint64_t;
using u128 = unsigned __int128;

constexpr uint32_t kSqrSplitLimbs = 64; // schoolbook squaring up to here

// A word buffer on the stack, on the heap when large; wiped after use since
// private values pass through.
struct wordbuf {
    u64 inl[272];
    u64 *p = inl;
    size_t n = 0;
    ~wordbuf()
    {
        secure_wipe(p, n * sizeof *p);
        if (p != inl)
            free(p);
    }
    bool reserve(size_t want)
    {
        if (want > sizeof inl / sizeof inl[0]) {
            p = static_cast<u64 *>(malloc(want * sizeof *p));
            if (!p) {
                p = inl;
                return false;
            }
        }
        n = want;
        return true;
    }
};

size_t words_of(const bigint *a)
{
    return (a->used + 1) / 2;
}

void to_words(u64 *w, const bigint *a)
{
    size_t n = words_of(a);
    for (size_t k = 0; k < n; k++) {
        u64 lo = a->limbs[2 * k];
        u64 hi = 2 * k + 1 < a->used ? a->limbs[2 * k + 1] : 0;
        w[k] = lo | hi << 32;
    }
}

uint32_t limbs_for_bits(uint32_t bits)
{
    return bits ? (bits + 31) / 32 : 1;
}

void normalise(bigint *bi)
{
    while (bi->used > 1 && bi->limbs[bi->used - 1] == 0)
        bi->used--;
}

int grow(bigint *bi, uint32_t limbs)
{
    if (limbs <= bi->allocated)
        return 0;
    return bi_resize(bi, limbs * 32);
}

int from_words(bigint *r, const u64 *w, size_t n)
{
    while (n > 1 && w[n - 1] == 0)
        n--;
    if (grow(r, uint32_t(2 * n)) < 0)
        return -1;
    for (size_t k = 0; k < n; k++) {
        r->limbs[2 * k] = uint32_t(w[k]);
        r->limbs[2 * k + 1] = uint32_t(w[k] >> 32);
    }
    r->used = uint32_t(2 * n);
    normalise(r);
    return 0;
}

// r[0, na + nb) = a * b, skipping the products a[i] * b[j] with i + j < from.
void mul_words(u64 *r, const u64 *a, size_t na, const u64 *b, size_t nb, size_t from = 0)
{
    memset(r, 0, (na + nb) * sizeof *r);
    for (size_t i = 0; i < na; i++) {
        u64 carry = 0, ai = a[i];
        for (size_t j = from > i ? from - i : 0; j < nb; j++) {
            u128 t = u128(ai) * b[j] + r[i + j] + carry;
            r[i + j] = u64(t);
            carry = u64(t >> 64);
        }
        r[i + nb] = carry;
    }
}

void sqr_school(u64 *r, const u64 *a, size_t n)
{
    memset(r, 0, 2 * n * sizeof *r);
    for (size_t i = 0; i + 1 < n; i++) {
        u64 carry = 0, ai = a[i];
        for (size_t j = i + 1; j < n; j++) {
            u128 t = u128(ai) * a[j] + r[i + j] + carry;
            r[i + j] = u64(t);
            carry = u64(t >> 64);
        }
        r[i + n] = carry;
    }
    // Double the cross products, then add the squares on the diagonal.
    u64 top = 0;
    for (size_t k = 0; k < 2 * n; k++) {
        u64 v = r[k];
        r[k] = v << 1 | top;
        top = v >> 63;
    }
    u64 carry = 0;
    for (size_t i = 0; i < n; i++) {
        u128 sq = u128(a[i]) * a[i];
        u128 t = u128(r[2 * i]) + u64(sq) + carry;
        r[2 * i] = u64(t);
        t = u128(r[2 * i + 1]) + u64(sq >> 64) + u64(t >> 64);
        r[2 * i + 1] = u64(t);
        carry = u64(t >> 64);
    }
}

u64 add_into(u64 *r, size_t nr, const u64 *a, size_t na)
{
    u64 carry = 0;
    size_t k = 0;
    for (; k < na; k++) {
        u128 t = u128(r[k]) + a[k] + carry;
        r[k] = u64(t);
        carry = u64(t >> 64);
    }
    for (; carry && k < nr; k++) {
        r[k] += 1;
        carry = r[k] == 0;
    }
    return carry;
}

void sub_into(u64 *r, size_t nr, const u64 *a, size_t na)
{
    u64 borrow = 0;
    size_t k = 0;
    for (; k < na; k++) {
        u64 x = r[k], y = a[k];
        u64 d = x - y - borrow;
        borrow = (x < y) | ((x == y) & borrow);
        r[k] = d;
    }
    for (; borrow && k < nr; k++)
        borrow = r[k]-- == 0;
}

size_t sqr_scratch(size_t n)
{
    if (n * 2 <= kSqrSplitLimbs)
        return 0;
    size_t c = (n + 1) / 2;
    size_t child = sqr_scratch(c + 1);
    return (c + 1) + 2 * (c + 1) + child;
}

// Squares above the threshold split at c = ceil(n / 2) words into h and l:
// a^2 = h^2 * 2^(128c) + ((h + l)^2 - h^2 - l^2) * 2^(64c) + l^2.
void sqr_words(u64 *r, const u64 *a, size_t n, u64 *scratch)
{
    if (n * 2 <= kSqrSplitLimbs) {
        sqr_school(r, a, n);
        return;
    }
    size_t c = (n + 1) / 2, nh = n - c;
    u64 *sum = scratch, *s = scratch + (c + 1), *next = s + 2 * (c + 1);
    memcpy(sum, a, c * sizeof *sum);
    sum[c] = add_into(sum, c, a + c, nh);
    sqr_words(r, a, c, next);              // l^2 in r[0, 2c)
    sqr_words(r + 2 * c, a + c, nh, next); // h^2 in r[2c, 2n)
    sqr_words(s, sum, c + 1, next);
    sub_into(s, 2 * (c + 1), r, 2 * c);
    sub_into(s, 2 * (c + 1), r + 2 * c, 2 * nh);
    size_t ns = 2 * (c + 1);
    while (ns && s[ns - 1] == 0)
        ns--;
    add_into(r + c, 2 * n - c, s, ns);
}

} // namespace

bigint *bi_new(uint32_t bits)
{
    bigint *bi = static_cast<bigint *>(calloc(1, sizeof *bi));
    if (!bi)
        return nullptr;
    if (bi_resize(bi, bits < 32 ? 32 : bits) < 0) {
        free(bi);
        return nullptr;
    }
    bi->used = 1;
    return bi;
}

void bi_free(bigint *bi)
{
    if (!bi)
        return;
    UGW_ASSERT((bi->poison & BI_POISON_FREE) == 0);
    // Integers hold private exponents and primes.
    secure_wipe(bi->limbs, bi->allocated * sizeof *bi->limbs);
    free(bi->limbs);
    free(bi);
}

int bi_resize(bigint *bi, uint32_t bits)
{
    uint32_t need = limbs_for_bits(bits);
    if (need <= bi->allocated)
        return 0;
    UGW_ASSERT((bi->poison & BI_POISON_REALLOC) == 0);
    if (need > (1u << 24)) { // 512 Mbit: no caller comes near
        errno = ENOMEM;
        return -1;
    }
    uint32_t alloc = 1;
    while (alloc * 2 <= 2 * need)
        alloc *= 2;
    uint32_t *limbs = static_cast<uint32_t *>(calloc(alloc, sizeof *limbs));
    if (!limbs)
        return -1;
    if (bi->limbs) {
        memcpy(limbs, bi->limbs, bi->used * sizeof *limbs);
        secure_wipe(bi->limbs, bi->allocated * sizeof *limbs);
        free(bi->limbs);
    }
    bi->limbs = limbs;
    bi->allocated = alloc;
    return 0;
}

bigint *bi_from_bytes(const uint8_t *bytes, size_t len)
{
    while (len && *bytes == 0) {
        bytes++;
        len--;
    }
    if (len > (size_t(1) << 24)) {
        errno = ENOMEM;
        return nullptr;
    }
    bigint *bi = bi_new(uint32_t(len * 8));
    if (!bi)
        return nullptr;
    for (size_t i = 0; i < len; i++) {
        size_t pos = len - 1 - i; // byte significance
        bi->limbs[pos / 4] |= uint32_t(bytes[i]) << (8 * (pos % 4));
    }
    bi->used = limbs_for_bits(uint32_t(len * 8));
    normalise(bi);
    return bi;
}

uint32_t bi_num_bits(const bigint *bi)
{
    uint32_t top = bi->limbs[bi->used - 1];
    if (!top)
        return 0;
    return (bi->used - 1) * 32 + (32 - uint32_t(__builtin_clz(top)));
}

size_t bi_num_bytes(const bigint *bi)
{
    uint32_t bits = bi_num_bits(bi);
    return bits ? (bits + 7) / 8 : 1;
}

size_t bi_to_bytes(const bigint *bi, uint8_t *buf, size_t size, bool sign_byte)
{
    size_t n = bi_num_bytes(bi);
    size_t lead = sign_byte && (bi_num_bits(bi) % 8 == 0) && !bi_is_zero(bi) ? 1 : 0;
    size_t need = n + lead;
    if (buf && size >= need) {
        if (lead)
            buf[0] = 0;
        for (size_t i = 0; i < n; i++) {
            size_t pos = n - 1 - i;
            buf[lead + i] = uint8_t(bi->limbs[pos / 4] >> (8 * (pos % 4)));
        }
    }
    return need;
}

int bi_set_u32(bigint *bi, uint32_t v)
{
    bi->limbs[0] = v; // every integer has at least one limb
    bi->used = 1;
    return 0;
}

int bi_copy(bigint *dst, const bigint *src)
{
    if (dst == src)
        return 0;
    if (grow(dst, src->used) < 0)
        return -1;
    memmove(dst->limbs, src->limbs, src->used * sizeof *src->limbs);
    dst->used = src->used;
    return 0;
}

int bi_cmp(const bigint *a, const bigint *b)
{
    if (a->used != b->used)
        return a->used < b->used ? -1 : 1;
    for (uint32_t i = a->used; i-- > 0;)
        if (a->limbs[i] != b->limbs[i])
            return a->limbs[i] < b->limbs[i] ? -1 : 1;
    return 0;
}

int bi_shl(bigint *r, const bigint *a, uint32_t bits)
{
    if (bi_is_zero(a))
        return bi_set_u32(r, 0);
    uint32_t limbs = bits / 32, sh = bits % 32;
    uint32_t n = a->used + limbs + 1;
    if (grow(r, n) < 0)
        return -1;
    // From the top down, so that r may be a.
    uint32_t used = a->used;
    r->limbs[used + limbs] = sh ? a->limbs[used - 1] >> (32 - sh) : 0;
    for (uint32_t i = used; i-- > 0;) {
        uint32_t v = a->limbs[i] << sh;
        if (sh && i)
            v |= a->limbs[i - 1] >> (32 - sh);
        r->limbs[i + limbs] = v;
    }
    memset(r->limbs, 0, limbs * sizeof *r->limbs);
    r->used = n;
    normalise(r);
    return 0;
}

int bi_shr(bigint *r, const bigint *a, uint32_t bits)
{
    uint32_t limbs = bits / 32, sh = bits % 32;
    if (limbs >= a->used)
        return bi_set_u32(r, 0);
    uint32_t n = a->used - limbs;
    if (grow(r, n) < 0)
        return -1;
    for (uint32_t i = 0; i < n; i++) {
        uint32_t v = a->limbs[i + limbs] >> sh;
        if (sh && i + limbs + 1 < a->used)
            v |= a->limbs[i + limbs + 1] << (32 - sh);
        r->limbs[i] = v;
    }
    r->used = n;
    normalise(r);
    return 0;
}

int bi_shift_to_bits(bigint *r, const bigint *a, uint32_t bits)
{
    uint32_t have = bi_num_bits(a);
    return have < bits ? bi_shl(r, a, bits - have) : bi_shr(r, a, have - bits);
}

int bi_add(bigint *r, const bigint *a, const bigint *b)
{
    if (a->used < b->used) {
        const bigint *t = a;
        a = b;
        b = t;
    }
    uint32_t na = a->used, nb = b->used;
    if (grow(r, na + 1) < 0)
        return -1;
    uint64_t carry = 0;
    for (uint32_t i = 0; i < na; i++) {
        carry += uint64_t(a->limbs[i]) + (i < nb ? b->limbs[i] : 0);
        r->limbs[i] = uint32_t(carry);
        carry >>= 32;
    }
    r->limbs[na] = uint32_t(carry);
    r->used = na + 1;
    normalise(r);
    return 0;
}

int bi_sub(bigint *r, const bigint *a, const bigint *b)
{
    if (bi_cmp(a, b) < 0) {
        errno = ERANGE;
        return -1;
    }
    uint32_t na = a->used, nb = b->used;
    if (grow(r, na) < 0)
        return -1;
    int64_t borrow = 0;
    for (uint32_t i = 0; i < na; i++) {
        int64_t d = int64_t(a->limbs[i]) - (i < nb ? b->limbs[i] : 0) - borrow;
        borrow = d < 0;
        r->limbs[i] = uint32_t(d);
    }
    r->used = na;
    normalise(r);
    return 0;
}

int bi_add_u32(bigint *r, const bigint *a, uint32_t v)
{
    uint32_t one[1] = {v};
    bigint b = {one, 1, 1, BI_POISON_REALLOC | BI_POISON_FREE};
    return bi_add(r, a, &b);
}

int bi_sub_u32(bigint *r, const bigint *a, uint32_t v)
{
    uint32_t one[1] = {v};
    bigint b = {one, 1, 1, BI_POISON_REALLOC | BI_POISON_FREE};
    return bi_sub(r, a, &b);
}

int bi_mul_high(bigint *r, const bigint *a, const bigint *b, uint32_t bit)
{
    size_t na = words_of(a), nb = words_of(b);
    wordbuf wa, wb, wr;
    if (!wa.reserve(na) || !wb.reserve(nb) || !wr.reserve(na + nb))
        return -1;
    to_words(wa.p, a);
    to_words(wb.p, b);
    // Word product i + j spans bits [64(i + j), 64(i + j) + 128).
    size_t from = bit / 64 >= 1 ? bit / 64 - 1 : 0;
    mul_words(wr.p, wa.p, na, wb.p, nb, from);
    return from_words(r, wr.p, na + nb);
}

int bi_mul(bigint *r, const bigint *a, const bigint *b)
{
    return bi_mul_high(r, a, b, 0);
}

int bi_mul_u32(bigint *r, const bigint *a, uint32_t v)
{
    uint32_t one[1] = {v};
    bigint b = {one, 1, 1, BI_POISON_REALLOC | BI_POISON_FREE};
    return bi_mul(r, a, &b);
}

int bi_sqr(bigint *r, const bigint *a)
{
    size_t n = words_of(a);
    wordbuf wa, wr, scratch;
    if (!wa.reserve(n) || !wr.reserve(2 * n) || !scratch.reserve(sqr_scratch(n)))
        return -1;
    to_words(wa.p, a);
    sqr_words(wr.p, wa.p, n, scratch.p);
    return from_words(r, wr.p, 2 * n);
}

void bi_partition(const bigint *bi, uint32_t split, bigint *lo, bigint *hi)
{
    static uint32_t zero_limb = 0; // never written: a view of it has no room to grow
    UGW_ASSERT(split > 0);
    lo->limbs = bi->limbs;
    lo->used = split < bi->used ? split : bi->used;
    lo->allocated = lo->used;
    lo->poison = BI_POISON_REALLOC | BI_POISON_FREE;
    normalise(lo);
    if (split < bi->used) {
        hi->limbs = bi->limbs + split;
        hi->used = bi->used - split;
    } else {
        hi->limbs = &zero_limb;
        hi->used = 1;
    }
    hi->allocated = hi->used;
    hi->poison = BI_POISON_REALLOC | BI_POISON_FREE;
}

namespace {

struct owned {
    bigint *p;
    explicit owned(uint32_t bits) : p(bi_new(bits)) {}
    ~owned() { bi_free(p); }
    owned(const owned &) = delete;
    owned &operator=(const owned &) = delete;
};

bool ensure(bigint *&slot, uint32_t bits)
{
    return slot || (slot = bi_new(bits)) != nullptr;
}

} // namespace

int bi_reciprocal(bigint *r, const bigint *m, uint32_t precision)
{
    uint32_t d = bi_num_bits(m);
    if (d == 0) {
        errno = EDOM;
        return -1;
    }
    owned t(2 * (d + precision) + 64), u(2 * (d + precision) + 64);
    if (!t.p || !u.p)
        return -1;
    // First estimate from the top 16 bits: r ~ 2^(d + 15) / m.
    if (bi_shift_to_bits(t.p, m, 16) < 0 || bi_set_u32(r, 0x80000000u / t.p->limbs[0]) < 0)
        return -1;
    // Newton: from r ~ 2^(d + c) / m to r ~ 2^(d + 2c) / m by
    // r' = r * 2^(c + 1) - (m * r^2) >> d, each step doubling the precision.
    uint32_t c = 15;
    while (c < precision + 16) {
        if (bi_sqr(t.p, r) < 0 || bi_mul(t.p, t.p, m) < 0 || bi_shr(t.p, t.p, d) < 0 ||
            bi_shl(u.p, r, c + 1) < 0 || bi_sub(r, u.p, t.p) < 0)
            return -1;
        c *= 2;
    }
    if (bi_shr(r, r, c - precision) < 0)
        return -1;
    // The truncations leave r a few units off; settle it exactly.
    if (bi_set_u32(u.p, 1) < 0 || bi_shl(u.p, u.p, d + precision) < 0 || bi_mul(t.p, r, m) < 0)
        return -1;
    while (bi_cmp(t.p, u.p) > 0)
        if (bi_sub(t.p, t.p, m) < 0 || bi_sub_u32(r, r, 1) < 0)
            return -1;
    for (;;) {
        if (bi_add(t.p, t.p, m) < 0)
            return -1;
        if (bi_cmp(t.p, u.p) > 0)
            break;
        if (bi_add_u32(r, r, 1) < 0)
            return -1;
    }
    return 0;
}

int bi_barrett_divmod(bigint *q, bigint *rem, const bigint *x, const bigint *m, bi_barrett *ctx,
                      uint32_t precision)
{
    uint32_t nbits = bi_num_bits(x), dbits = bi_num_bits(m);
    if (dbits == 0) {
        errno = EDOM;
        return -1;
    }
    if (nbits < dbits) {
        if (rem && bi_copy(rem, x) < 0)
            return -1;
        return q ? bi_set_u32(q, 0) : 0;
    }
    UGW_ASSERT(dbits <= nbits);
    if (ctx->recip && ctx->mbits != dbits)
        return errno = EINVAL, -1; // a context serves one modulus
    uint32_t want = (precision > nbits ? precision : nbits) - dbits + 1;
    if (!ctx->recip || ctx->precision < nbits - dbits + 1) {
        if (!ensure(ctx->recip, want + 64) || bi_reciprocal(ctx->recip, m, want) < 0)
            return -1;
        ctx->precision = want;
        ctx->mbits = dbits;
    }
    uint32_t bits = ctx->precision + dbits;
    UGW_ASSERT(bits >= nbits);
    if (!ensure(ctx->quot, bits) || !ensure(ctx->prod, bits + 64) || !ensure(ctx->rem, bits))
        return -1;
    bigint *qe = ctx->quot, *prod = ctx->prod, *r = ctx->rem;
    // q = (x * recip) >> bits is at most two short: the reciprocal is a floor
    // and the skipped partial products lie 128 bits below the cut.
    if (bi_mul_high(qe, x, ctx->recip, bits > 128 ? bits - 128 : 0) < 0 || bi_shr(qe, qe, bits) < 0 ||
        bi_mul(prod, qe, m) < 0)
        return -1;
    while (bi_cmp(prod, x) > 0)
        if (bi_sub(prod, prod, m) < 0 || bi_sub_u32(qe, qe, 1) < 0)
            return -1;
    if (bi_sub(r, x, prod) < 0)
        return -1;
    while (bi_cmp(r, m) >= 0)
        if (bi_sub(r, r, m) < 0 || bi_add_u32(qe, qe, 1) < 0)
            return -1;
    if (q && bi_copy(q, qe) < 0)
        return -1;
    return rem ? bi_copy(rem, r) : 0;
}

int bi_mulmod(bigint *r, const bigint *a, const bigint *b, const bigint *m, bi_barrett *ctx)
{
    uint32_t mbits = bi_num_bits(m);
    if (!ensure(ctx->wide, 2 * mbits + 64))
        return -1;
    int rc = a == b ? bi_sqr(ctx->wide, a) : bi_mul(ctx->wide, a, b);
    if (rc < 0)
        return -1;
    return bi_barrett_divmod(nullptr, r, ctx->wide, m, ctx, 2 * mbits);
}

namespace {

// base reduced below m, into ctx->base.
int reduced_base(const bigint *base, const bigint *m, bi_barrett *ctx)
{
    uint32_t mbits = bi_num_bits(m);
    if (!ensure(ctx->base, mbits + 64) || !ensure(ctx->acc, mbits + 64))
        return -1;
    if (bi_num_bits(base) >= mbits)
        return bi_barrett_divmod(nullptr, ctx->base, base, m, ctx, 2 * mbits);
    return bi_copy(ctx->base, base);
}

} // namespace

namespace
{

// Montgomery form. The context's block holds, in n-word slots: m, R^2 mod m,
// the kernels' scratch, three work values and the window table.
enum : size_t { kSlotM, kSlotRR, kSlotU, kSlotW0, kSlotW1, kSlotW2, kSlotTable };
constexpr uint32_t kMaxWindow = 5;

size_t mont_alloc_words(size_t n)
{
    return (kSlotTable + (size_t(1) << kMaxWindow)) * n;
}

bool mulx_allowed = true;

bool cpu_has_mulx()
{
#if defined(__x86_64__)
    unsigned a, b, c, d;
    return __get_cpuid_count(7, 0, &a, &b, &c, &d) && (b & (1u << 8)) && (b & (1u << 19));
#else
    return false;
#endif
}

bi_mont_ops mont_ops(size_t n)
{
    static const bool has = cpu_has_mulx();
    return has && mulx_allowed ? bi_mont_ops_mulx(n) : mont_kernel::ops_for(n);
}

bool montgomery_fits(const bigint *m)
{
    return bi_is_odd(m) && bi_num_bits(m) > 64;
}

// x into exactly n words; x must fit.
void load_words(u64 *w, const bigint *x, size_t n)
{
    memset(w, 0, n * sizeof *w);
    to_words(w, x);
}

// The operation's view of the context: its kernels and slots.
struct mont {
    size_t n;
    u64 minv;
    bi_mont_ops ops;
    u64 *base;
    u64 *slot(size_t i) const { return base + i * n; }
    void mul(u64 *r, const u64 *a, const u64 *b) const
    {
        ops.mul(r, a, b, slot(kSlotM), minv, n, slot(kSlotU));
    }
    void sqr(u64 *r, const u64 *a) const { ops.sqr(r, a, slot(kSlotM), minv, n, slot(kSlotU)); }
    // Scratch holds values derived from secrets: wiped once per operation.
    void wipe(size_t table_entries) const
    {
        secure_wipe(slot(kSlotU), (kSlotTable - kSlotU + table_entries) * n * sizeof *base);
    }
};

// r = 2r mod m for r < m, by mask.
void mod_double(u64 *r, const u64 *m, size_t n, u64 *tmp)
{
    u64 top = r[n - 1] >> 63;
    for (size_t j = n; j-- > 1;)
        r[j] = r[j] << 1 | r[j - 1] >> 63;
    r[0] <<= 1;
    mont_kernel::final_sub(r, top, m, n, tmp);
}

// The context made for m, or remade when it served another modulus.
int mont_setup(mont &M, const bigint *m, bi_barrett *ctx)
{
    size_t n = words_of(m);
    M.n = n;
    M.ops = mont_ops(n);
    if (ctx->mont && ctx->mont_words == n) {
        bool same = true;
        for (size_t k = 0; k < n; k++) {
            u64 lo = m->limbs[2 * k];
            u64 hi = 2 * k + 1 < m->used ? m->limbs[2 * k + 1] : 0;
            same &= ctx->mont[k] == (lo | hi << 32);
        }
        if (same) {
            M.base = ctx->mont;
            M.minv = ctx->mont_minv;
            return 0;
        }
    }
    if (ctx->mont) {
        secure_wipe(ctx->mont, mont_alloc_words(ctx->mont_words) * sizeof *ctx->mont);
        free(ctx->mont);
        ctx->mont = nullptr;
        ctx->mont_words = 0;
    }
    u64 *w = static_cast<u64 *>(calloc(mont_alloc_words(n), sizeof *w));
    if (!w) return -1;
    ctx->mont = w;
    ctx->mont_words = uint32_t(n);
    M.base = w;
    u64 *mw = M.slot(kSlotM), *rr = M.slot(kSlotRR), *u = M.slot(kSlotU);
    load_words(mw, m, n);
    u64 inv = mw[0]; // Newton: each step doubles the correct low bits
    for (int i = 0; i < 6; i++)
        inv *= 2 - mw[0] * inv;
    ctx->mont_minv = M.minv = 0 - inv;
    // R mod m by doubling from the top bit of m; then 2^a R with 64n = a 2^j
    // (a odd), and j squarings take it to R^2.
    uint32_t mbits = bi_num_bits(m);
    memset(rr, 0, n * sizeof *rr);
    rr[(mbits - 1) / 64] = u64(1) << ((mbits - 1) % 64);
    size_t total = 64 * n, j = size_t(__builtin_ctzll(total)), a = total >> j;
    for (size_t i = 0; i < total - (mbits - 1) + a; i++)
        mod_double(rr, mw, n, u);
    for (size_t i = 0; i < j; i++)
        M.sqr(rr, rr);
    secure_wipe(u, n * sizeof *u);
    return 0;
}

// x R mod m into out, for x of up to 2n words (larger ones are reduced
// first): x = h 2^(64n) + l gives x R = (h R) R + l R.
int mont_enter_words(const mont &M, u64 *out, const bigint *x, const bigint *m, bi_barrett *ctx)
{
    size_t n = M.n, nx = words_of(x);
    const u64 *rr = M.slot(kSlotRR);
    if (nx > 2 * n) {
        if (!ensure(ctx->wide, bi_num_bits(x) + 64) ||
            bi_barrett_divmod(nullptr, ctx->wide, x, m, ctx, bi_num_bits(x)) < 0)
            return -1;
        x = ctx->wide;
        nx = words_of(x);
    }
    if (nx <= n) {
        load_words(out, x, n);
        M.mul(out, out, rr);
        return 0;
    }
    u64 *hi = M.slot(kSlotW2);
    bigint lo_view, hi_view;
    bi_partition(x, uint32_t(2 * n), &lo_view, &hi_view);
    load_words(out, &lo_view, n);
    load_words(hi, &hi_view, n);
    M.mul(out, out, rr);
    M.mul(hi, hi, rr);
    M.mul(hi, hi, rr);
    // out + hi mod m, both below m.
    u64 carry = 0;
    for (size_t k = 0; k < n; k++) {
        u128 t = u128(out[k]) + hi[k] + carry;
        out[k] = u64(t);
        carry = u64(t >> 64);
    }
    mont_kernel::final_sub(out, carry, M.slot(kSlotM), n, M.slot(kSlotU));
    return 0;
}

// Width-w digit of e at bit pos; the limbs read depend on pos only.
uint32_t digit_at(const bigint *e, uint32_t pos, uint32_t w)
{
    uint32_t l = pos / 32, sh = pos % 32;
    u64 v = l < e->used ? e->limbs[l] : 0;
    if (l + 1 < e->used) v |= u64(e->limbs[l + 1]) << 32;
    return uint32_t(v >> sh) & ((1u << w) - 1);
}

// Sliding window over odd powers: for public exponents only.
int modexp_sliding(bigint *r, const bigint *base, const bigint *e, const bigint *m, bi_barrett *ctx)
{
    mont M;
    if (mont_setup(M, m, ctx) < 0) return -1;
    size_t n = M.n;
    uint32_t ebits = bi_num_bits(e);
    uint32_t w = ebits > 671 ? 5 : ebits > 239 ? 4 : ebits > 79 ? 3 : ebits > 23 ? 2 : 1;
    u64 *acc = M.slot(kSlotW0), *x = M.slot(kSlotW1), *tab = M.slot(kSlotTable);
    size_t entries = size_t(1) << (w - 1);
    int rc = -1;
    // The plain base, when it is already below m, lets the last product by
    // it leave Montgomery form at the same time.
    bool plain_base = words_of(base) <= n && bi_cmp(base, m) < 0;
    if (mont_enter_words(M, tab, base, m, ctx) < 0) goto out;
    if (plain_base) load_words(x, base, n);
    if (w > 1) {
        M.sqr(acc, tab);
        for (size_t i = 1; i < entries; i++)
            M.mul(tab + i * n, tab + (i - 1) * n, acc);
    }
    {
        bool started = false, plain = false;
        for (int32_t i = int32_t(ebits) - 1; i >= 0;) {
            if (!bi_test_bit(e, uint32_t(i))) {
                M.sqr(acc, acc);
                i--;
                continue;
            }
            int32_t j = i - int32_t(w) + 1 > 0 ? i - int32_t(w) + 1 : 0;
            while (!bi_test_bit(e, uint32_t(j)))
                j++;
            uint32_t val = 0;
            for (int32_t b = i; b >= j; b--)
                val = val << 1 | uint32_t(bi_test_bit(e, uint32_t(b)));
            const u64 *t = tab + (val >> 1) * n;
            if (!started) {
                memcpy(acc, t, n * sizeof *acc);
                started = true;
            } else {
                for (int32_t b = i; b >= j; b--)
                    M.sqr(acc, acc);
                if (j == 0 && val == 1 && plain_base) {
                    M.mul(acc, acc, x);
                    plain = true;
                } else {
                    M.mul(acc, acc, t);
                }
            }
            i = j - 1;
        }
        if (!started) { // e = 0
            memset(acc, 0, n * sizeof *acc);
            acc[0] = 1;
        } else if (!plain) {
            memset(x, 0, n * sizeof *x);
            x[0] = 1;
            M.mul(acc, acc, x);
        }
    }
    rc = from_words(r, acc, n);
out:
    M.wipe(entries);
    return rc;
}

// pick = table entry `digit`, reading every entry whole; eight words at a
// time in vector registers.
void ct_pick(u64 *pick, const u64 *tab, size_t entries, size_t n, uint32_t digit)
{
    using v2 = u64 __attribute__((vector_size(16)));
    size_t k = 0;
    for (; k + 8 <= n; k += 8) {
        v2 a0 = {0, 0}, a1 = a0, a2 = a0, a3 = a0;
        for (uint32_t i = 0; i < entries; i++) {
            u64 m = 0 - u64(ct_eq(i, digit) & 1);
            v2 mv = {m, m}, t0, t1, t2, t3;
            const u64 *t = tab + i * n + k;
            memcpy(&t0, t, sizeof t0);
            memcpy(&t1, t + 2, sizeof t1);
            memcpy(&t2, t + 4, sizeof t2);
            memcpy(&t3, t + 6, sizeof t3);
            a0 |= t0 & mv;
            a1 |= t1 & mv;
            a2 |= t2 & mv;
            a3 |= t3 & mv;
        }
        memcpy(pick + k, &a0, sizeof a0);
        memcpy(pick + k + 2, &a1, sizeof a1);
        memcpy(pick + k + 4, &a2, sizeof a2);
        memcpy(pick + k + 6, &a3, sizeof a3);
    }
    for (; k < n; k++) {
        u64 a = 0;
        for (uint32_t i = 0; i < entries; i++)
            a |= (0 - u64(ct_eq(i, digit) & 1)) & tab[i * n + k];
        pick[k] = a;
    }
}

// Fixed window, every table entry read for every window: for secret
// exponents. The result stays in Montgomery form when asked.
int modexp_fixed(bigint *r, const bigint *base, const bigint *e, const bigint *m, bi_barrett *ctx,
                 bool mont_out)
{
    mont M;
    if (mont_setup(M, m, ctx) < 0) return -1;
    size_t n = M.n;
    // The exponent's size in limbs, not its bit length, sets the work.
    uint32_t ebits = 32 * e->used;
    uint32_t w = ebits >= 256 ? kMaxWindow : 4;
    size_t entries = size_t(1) << w;
    u64 *acc = M.slot(kSlotW0), *pick = M.slot(kSlotW1), *tab = M.slot(kSlotTable);
    int rc = -1;
    memset(pick, 0, n * sizeof *pick);
    pick[0] = 1;
    M.mul(tab, pick, M.slot(kSlotRR)); // R mod m: 1 in Montgomery form
    if (mont_enter_words(M, tab + n, base, m, ctx) < 0) goto out;
    for (size_t i = 2; i < entries; i++) {
        if (i % 2 == 0)
            M.sqr(tab + i * n, tab + (i / 2) * n);
        else
            M.mul(tab + i * n, tab + (i - 1) * n, tab + n);
    }
    {
        uint32_t windows = (ebits + w - 1) / w;
        for (uint32_t win = windows; win-- > 0;) {
            ct_pick(pick, tab, entries, n, digit_at(e, win * w, w));
            if (win == windows - 1) {
                memcpy(acc, pick, n * sizeof *acc);
                continue;
            }
            for (uint32_t s = 0; s < w; s++)
                M.sqr(acc, acc);
            M.mul(acc, acc, pick);
        }
    }
    if (!mont_out) {
        memset(pick, 0, n * sizeof *pick);
        pick[0] = 1;
        M.mul(acc, acc, pick);
    }
    rc = from_words(r, acc, n);
out:
    M.wipe(entries);
    return rc;
}

} // namespace

int bi_modexp(bigint *r, const bigint *base, const bigint *e, const bigint *m, bi_barrett *ctx)
{
    if (bi_is_zero(m)) {
        errno = EDOM;
        return -1;
    }
    if (montgomery_fits(m)) return modexp_sliding(r, base, e, m, ctx);
    if (reduced_base(base, m, ctx) < 0) return -1;
    bigint *b = ctx->base, *acc = ctx->acc;
    bi_set_u32(acc, 1);
    uint32_t ebits = bi_num_bits(e);
    for (uint32_t i = 0; i < ebits; i++) {
        if (bi_test_bit(e, i) && bi_mulmod(acc, acc, b, m, ctx) < 0) return -1;
        if (i + 1 < ebits && bi_mulmod(b, b, b, m, ctx) < 0) return -1;
    }
    // 1 mod 1 is 0.
    if (bi_cmp(acc, m) >= 0 && bi_barrett_divmod(nullptr, acc, acc, m, ctx, 2 * bi_num_bits(m)) < 0)
        return -1;
    return bi_copy(r, acc);
}

int bi_modexp_ct(bigint *r, const bigint *base, const bigint *e, const bigint *m, bi_barrett *ctx)
{
    if (bi_is_zero(m)) {
        errno = EDOM;
        return -1;
    }
    if (montgomery_fits(m)) return modexp_fixed(r, base, e, m, ctx, false);
    if (reduced_base(base, m, ctx) < 0) return -1;
    uint32_t mbits = bi_num_bits(m), k = limbs_for_bits(mbits);
    for (auto &slot : ctx->table)
        if (!ensure(slot, mbits + 64) || grow(slot, k) < 0)
            return -1;
    bigint **table = ctx->table, *acc = ctx->acc, *b = ctx->base;
    bi_set_u32(table[0], 1);
    if (bi_cmp(table[0], m) >= 0)
        bi_set_u32(table[0], 0);
    if (bi_copy(table[1], b) < 0)
        return -1;
    for (int i = 2; i < 16; i++)
        if (bi_mulmod(table[i], table[i - 1], b, m, ctx) < 0)
            return -1;
    if (grow(acc, k) < 0)
        return -1;
    bi_set_u32(acc, 1);
    if (bi_cmp(acc, m) >= 0)
        bi_set_u32(acc, 0);
    // Every window costs four squarings and one multiplication, and every
    // table entry is read, whatever the exponent holds.
    uint32_t windows = (bi_num_bits(e) + 3) / 4;
    bigint *pick = b; // the reduced base is no longer needed
    if (grow(pick, k) < 0)
        return -1;
    for (uint32_t w = windows; w-- > 0;) {
        for (int s = 0; s < 4; s++)
            if (bi_mulmod(acc, acc, acc, m, ctx) < 0)
                return -1;
        uint32_t bitpos = 4 * w;
        uint32_t digit = (e->limbs[bitpos / 32] >> (bitpos % 32)) & 15;
        memset(pick->limbs, 0, k * sizeof *pick->limbs);
        for (uint32_t i = 0; i < 16; i++) {
            uint32_t mask = ct_eq(i, digit);
            const bigint *t = table[i];
            for (uint32_t l = 0; l < k; l++)
                pick->limbs[l] |= mask & (l < t->used ? t->limbs[l] : 0);
        }
        pick->used = k;
        normalise(pick);
        if (bi_mulmod(acc, acc, pick, m, ctx) < 0)
            return -1;
    }
    return bi_copy(r, acc);
}

int bi_modexp_ct_mont(bigint *r, const bigint *base, const bigint *e, const bigint *m,
                      bi_barrett *ctx)
{
    if (!montgomery_fits(m)) {
        errno = EDOM;
        return -1;
    }
    return modexp_fixed(r, base, e, m, ctx, true);
}

int bi_mont_mul(bigint *r, const bigint *a, const bigint *b, const bigint *m, bi_barrett *ctx)
{
    mont M;
    if (!montgomery_fits(m) || words_of(a) > words_of(m) || words_of(b) > words_of(m)) {
        errno = EDOM;
        return -1;
    }
    if (mont_setup(M, m, ctx) < 0) return -1;
    u64 *x = M.slot(kSlotW0), *y = M.slot(kSlotW1);
    load_words(x, a, M.n);
    if (a == b) {
        M.sqr(x, x);
    } else {
        load_words(y, b, M.n);
        M.mul(x, x, y);
    }
    int rc = from_words(r, x, M.n);
    M.wipe(0);
    return rc;
}

int bi_mont_enter(bigint *r, const bigint *x, const bigint *m, bi_barrett *ctx)
{
    mont M;
    if (!montgomery_fits(m)) {
        errno = EDOM;
        return -1;
    }
    if (mont_setup(M, m, ctx) < 0) return -1;
    int rc = mont_enter_words(M, M.slot(kSlotW0), x, m, ctx);
    if (rc == 0) rc = from_words(r, M.slot(kSlotW0), M.n);
    M.wipe(0);
    return rc;
}

int bi_modsub_ct(bigint *r, const bigint *a, const bigint *b, const bigint *m)
{
    size_t n = words_of(m);
    if (words_of(a) > n || words_of(b) > n) {
        errno = EDOM;
        return -1;
    }
    wordbuf w;
    if (!w.reserve(3 * n)) return -1;
    u64 *x = w.p, *y = w.p + n, *mw = w.p + 2 * n;
    load_words(x, a, n);
    load_words(y, b, n);
    load_words(mw, m, n);
    u64 borrow = 0;
    for (size_t k = 0; k < n; k++) {
        u128 t = u128(x[k]) - y[k] - borrow;
        x[k] = u64(t);
        borrow = u64(t >> 64) & 1;
    }
    u64 mask = 0 - borrow, carry = 0;
    for (size_t k = 0; k < n; k++) {
        u128 t = u128(x[k]) + (mw[k] & mask) + carry;
        x[k] = u64(t);
        carry = u64(t >> 64);
    }
    return from_words(r, x, n);
}

bool bi_allow_mulx(bool allow)
{
    bool old = mulx_allowed;
    mulx_allowed = allow;
    return old;
}

bool bi_uses_mulx()
{
    return mulx_allowed && cpu_has_mulx();
}

void bi_barrett_free(bi_barrett *ctx)
{
    if (!ctx)
        return;
    bi_free(ctx->recip);
    bi_free(ctx->prod);
    bi_free(ctx->rem);
    bi_free(ctx->quot);
    bi_free(ctx->wide);
    bi_free(ctx->base);
    bi_free(ctx->acc);
    for (auto *t : ctx->table)
        bi_free(t);
    if (ctx->mont) {
        secure_wipe(ctx->mont, mont_alloc_words(ctx->mont_words) * sizeof *ctx->mont);
        free(ctx->mont);
    }
    *ctx = bi_barrett{};
}
