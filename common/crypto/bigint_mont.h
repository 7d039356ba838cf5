// Montgomery products over 64-bit words, shared by the portable build and the
// one made for processors with MULX and ADX: each includer gets its own copy
// (internal linkage), compiled for its own instruction set.
#pragma once

#include <cstddef>
#include <cstdint>

// r = a * b / 2^(64n) mod m (a < 2^(64n), b < m), r = a^2 / 2^(64n) mod m
// (a < m); u holds n words of scratch. r may be a or b. No branch or address
// depends on the values.
using bi_mont_mul_fn = void (*)(uint64_t *r, const uint64_t *a, const uint64_t *b,
                                const uint64_t *m, uint64_t minv, size_t n, uint64_t *u);
using bi_mont_sqr_fn = void (*)(uint64_t *r, const uint64_t *a, const uint64_t *m, uint64_t minv,
                                size_t n, uint64_t *u);

struct bi_mont_ops {
    bi_mont_mul_fn mul;
    bi_mont_sqr_fn sqr;
};

// The kernels for n words built for processors with MULX and ADX.
bi_mont_ops bi_mont_ops_mulx(size_t n);

namespace
{
namespace mont_kernel
{

using u64 = uint64_t;
using u128 = unsigned __int128;

// A three-word column accumulator (product scanning): each word product is
// added to the column it lands in, and the low word leaves as the column
// closes. The column sums stay far below 2^192.
struct acc3 {
    u64 c0 = 0, c1 = 0, c2 = 0;

    inline void mac(u64 a, u64 b)
    {
#if defined(__x86_64__) && defined(BI_MONT_MULX)
        u64 lo, hi;
        asm("mulx %[b], %[lo], %[hi]\n\t"
            "add %[lo], %[c0]\n\t"
            "adc %[hi], %[c1]\n\t"
            "adc $0, %[c2]"
            : [c0] "+&r"(c0), [c1] "+&r"(c1), [c2] "+&r"(c2), [lo] "=&r"(lo), [hi] "=&r"(hi)
            : "d"(a), [b] "rm"(b)
            : "cc");
#elif defined(__x86_64__)
        asm("mulq %[b]\n\t"
            "add %%rax, %[c0]\n\t"
            "adc %%rdx, %[c1]\n\t"
            "adc $0, %[c2]"
            : [c0] "+r"(c0), [c1] "+r"(c1), [c2] "+r"(c2), "+a"(a)
            : [b] "rm"(b)
            : "rdx", "cc");
#else
        u128 p = u128(a) * b;
        u128 s = u128(c0) + u64(p);
        c0 = u64(s);
        s = u128(c1) + u64(p >> 64) + u64(s >> 64);
        c1 = u64(s);
        c2 += u64(s >> 64);
#endif
    }
    inline void add(acc3 o)
    {
#if defined(__x86_64__)
        asm("add %[o0], %[c0]\n\t"
            "adc %[o1], %[c1]\n\t"
            "adc %[o2], %[c2]"
            : [c0] "+r"(c0), [c1] "+r"(c1), [c2] "+r"(c2)
            : [o0] "r"(o.c0), [o1] "r"(o.c1), [o2] "r"(o.c2)
            : "cc");
#else
        u128 s = u128(c0) + o.c0;
        c0 = u64(s);
        s = u128(c1) + o.c1 + u64(s >> 64);
        c1 = u64(s);
        c2 += o.c2 + u64(s >> 64);
#endif
    }
    // Adds o twice (the cross products of a square).
    inline void add_twice(acc3 o)
    {
#if defined(__x86_64__)
        asm("add %[o0], %[o0]\n\t"
            "adc %[o1], %[o1]\n\t"
            "adc %[o2], %[o2]\n\t"
            "add %[o0], %[c0]\n\t"
            "adc %[o1], %[c1]\n\t"
            "adc %[o2], %[c2]"
            : [c0] "+r"(c0), [c1] "+r"(c1), [c2] "+r"(c2), [o0] "+r"(o.c0), [o1] "+r"(o.c1),
              [o2] "+r"(o.c2)
            :
            : "cc");
#else
        add(o);
        add(o);
#endif
    }
    inline u64 shift()
    {
        u64 out = c0;
        c0 = c1;
        c1 = c2;
        c2 = 0;
        return out;
    }
};

// c += a1 b1 and d += a2 b2: two carry chains that do not wait on each
// other.
inline void mac2(acc3 &c, acc3 &d, const u64 *a1, const u64 *b1, const u64 *a2, const u64 *b2)
{
    c.mac(*a1, *b1);
    d.mac(*a2, *b2);
}

// Fixed sizes unroll completely, so that every index is a constant.
#define BI_PRAGMA(x) _Pragma(#x)
#define BI_UNROLL BI_PRAGMA(GCC unroll 32)

// r -= m when the value (top, r) is at least m; by mask, with u as scratch.
inline void final_sub(u64 *r, u64 top, const u64 *m, size_t n, u64 *u)
{
    u64 borrow = 0;
    for (size_t j = 0; j < n; j++) {
        u128 s = u128(r[j]) - m[j] - borrow;
        u[j] = u64(s);
        borrow = u64(s >> 64) & 1;
    }
    u64 keep = 0 - ((1 - top) & borrow); // below m
    for (size_t j = 0; j < n; j++)
        r[j] = (keep & r[j]) | (~keep & u[j]);
}

// Product scanning with the reduction folded in (column by column, the
// reduction word of column k is chosen to clear it).
template <size_t N>
void mul(u64 *r, const u64 *a, const u64 *b, const u64 *m, u64 minv, size_t n_, u64 *u)
{
    const size_t n = N ? N : n_;
    acc3 c, d;
    BI_UNROLL
    for (size_t k = 0; k < n; k++) {
        BI_UNROLL
        for (size_t i = 0; i < k; i++)
            mac2(c, d, &a[i], &b[k - i], &u[i], &m[k - i]);
        c.mac(a[k], b[0]);
        c.add(d);
        d = acc3();
        u[k] = c.c0 * minv;
        c.mac(u[k], m[0]);
        c.shift();
    }
    // Column k writes r[k - n]; later columns read only a, b and u above
    // that index, so r may be a or b.
    BI_UNROLL
    for (size_t k = n; k < 2 * n - 1; k++) {
        BI_UNROLL
        for (size_t i = k - n + 1; i < n; i++)
            mac2(c, d, &a[i], &b[k - i], &u[i], &m[k - i]);
        c.add(d);
        d = acc3();
        r[k - n] = c.shift();
    }
    r[n - 1] = c.shift();
    final_sub(r, c.c0, m, n, u);
}

template <size_t N> void sqr(u64 *r, const u64 *a, const u64 *m, u64 minv, size_t n_, u64 *u)
{
    const size_t n = N ? N : n_;
    acc3 c;
    BI_UNROLL
    for (size_t k = 0; k < n; k++) {
        acc3 x;
        BI_UNROLL
        for (size_t i = 0; i < k; i++) {
            if (i < (k + 1) / 2) x.mac(a[i], a[k - i]);
            c.mac(u[i], m[k - i]);
        }
        c.add_twice(x);
        if (k % 2 == 0) c.mac(a[k / 2], a[k / 2]);
        u[k] = c.c0 * minv;
        c.mac(u[k], m[0]);
        c.shift();
    }
    BI_UNROLL
    for (size_t k = n; k < 2 * n - 1; k++) {
        acc3 x;
        BI_UNROLL
        for (size_t i = k - n + 1; i < n; i++) {
            if (i < (k + 1) / 2) x.mac(a[i], a[k - i]);
            c.mac(u[i], m[k - i]);
        }
        c.add_twice(x);
        if (k % 2 == 0) c.mac(a[k / 2], a[k / 2]);
        r[k - n] = c.shift();
    }
    r[n - 1] = c.shift();
    final_sub(r, c.c0, m, n, u);
}

// Fixed sizes for 1024- and 2048-bit moduli (the CRT halves of 2048- and
// 4096-bit keys, and 2048-bit public keys), so that the loops unroll.
template <size_t N>
void mul_fixed(u64 *r, const u64 *a, const u64 *b, const u64 *m, u64 minv, size_t, u64 *u)
{
    mul<N>(r, a, b, m, minv, N, u);
}
template <size_t N> void sqr_fixed(u64 *r, const u64 *a, const u64 *m, u64 minv, size_t, u64 *u)
{
    sqr<N>(r, a, m, minv, N, u);
}

inline bi_mont_ops ops_for(size_t n)
{
    switch (n) {
    case 16:
        return {mul_fixed<16>, sqr_fixed<16>};
    case 32:
        return {mul_fixed<32>, sqr_fixed<32>};
    default:
        return {mul<0>, sqr<0>};
    }
}

} // namespace mont_kernel
} // namespace
