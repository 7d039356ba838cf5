#include "common/crypto/sha256.h"

#include <cstring>
#include <utility>

#include "common/crypto/bytes.h"
#include "common/crypto/crypto_hw.h"
#include "common/crypto/secure.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

using namespace crypto_bytes;

namespace {

alignas(16) constexpr uint32_t K[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

void blocks_generic(uint32_t state[8], const uint8_t *p, size_t n)
{
    for (; n; n--, p += 64) {
        uint32_t w[64];
        for (int i = 0; i < 16; i++)
            w[i] = load_be32(p + 4 * i);
        for (int i = 16; i < 64; i++) {
            uint32_t s0 = rotr32(w[i - 15], 7) ^ rotr32(w[i - 15], 18) ^ (w[i - 15] >> 3);
            uint32_t s1 = rotr32(w[i - 2], 17) ^ rotr32(w[i - 2], 19) ^ (w[i - 2] >> 10);
            w[i] = w[i - 16] + s0 + w[i - 7] + s1;
        }
        uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
        uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
        for (int i = 0; i < 64; i++) {
            uint32_t t1 = h + (rotr32(e, 6) ^ rotr32(e, 11) ^ rotr32(e, 25)) + ((e & f) ^ (~e & g)) +
                          K[i] + w[i];
            uint32_t t2 = (rotr32(a, 2) ^ rotr32(a, 13) ^ rotr32(a, 22)) +
                          ((a & b) ^ (a & c) ^ (b & c));
            h = g;
            g = f;
            f = e;
            e = d + t1;
            d = c;
            c = b;
            b = a;
            a = t1 + t2;
        }
        state[0] += a;
        state[1] += b;
        state[2] += c;
        state[3] += d;
        state[4] += e;
        state[5] += f;
        state[6] += g;
        state[7] += h;
    }
}

#if defined(__x86_64__)
#define SHA_TARGET __attribute__((target("sha,sse4.1,ssse3")))

// Four rounds of group g, with the message schedule interleaved as the
// instructions' latencies want it.
template <int g>
SHA_TARGET __attribute__((always_inline)) inline void group(__m128i &s0, __m128i &s1, __m128i (&w)[4])
{
    __m128i &cur = w[g % 4];
    __m128i msg = _mm_add_epi32(cur, _mm_load_si128(reinterpret_cast<const __m128i *>(K + 4 * g)));
    s1 = _mm_sha256rnds2_epu32(s1, s0, msg);
    if constexpr (g >= 3 && g <= 14) {
        __m128i &next = w[(g + 1) % 4];
        next = _mm_add_epi32(next, _mm_alignr_epi8(cur, w[(g + 3) % 4], 4));
        next = _mm_sha256msg2_epu32(next, cur);
    }
    msg = _mm_shuffle_epi32(msg, 0x0E);
    s0 = _mm_sha256rnds2_epu32(s0, s1, msg);
    if constexpr (g >= 1 && g <= 12)
        w[(g + 3) % 4] = _mm_sha256msg1_epu32(w[(g + 3) % 4], cur);
}

template <int... g>
SHA_TARGET __attribute__((always_inline)) inline void groups(__m128i &s0, __m128i &s1, __m128i (&w)[4],
                                                             std::integer_sequence<int, g...>)
{
    (group<g>(s0, s1, w), ...);
}

SHA_TARGET void blocks_ni(uint32_t state[8], const uint8_t *p, size_t n)
{
    const __m128i bswap = _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);
    __m128i t = _mm_loadu_si128(reinterpret_cast<const __m128i *>(state));
    __m128i s1 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(state + 4));
    t = _mm_shuffle_epi32(t, 0xB1);              // CDAB
    s1 = _mm_shuffle_epi32(s1, 0x1B);            // EFGH
    __m128i s0 = _mm_alignr_epi8(t, s1, 8);      // ABEF
    s1 = _mm_blend_epi16(s1, t, 0xF0);           // CDGH
    for (; n; n--, p += 64) {
        __m128i save0 = s0, save1 = s1;
        __m128i w[4];
        for (int i = 0; i < 4; i++)
            w[i] = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 16 * i)), bswap);
        groups(s0, s1, w, std::make_integer_sequence<int, 16>());
        s0 = _mm_add_epi32(s0, save0);
        s1 = _mm_add_epi32(s1, save1);
    }
    t = _mm_shuffle_epi32(s0, 0x1B);             // FEBA
    s1 = _mm_shuffle_epi32(s1, 0xB1);            // DCHG
    s0 = _mm_blend_epi16(t, s1, 0xF0);           // DCBA
    s1 = _mm_alignr_epi8(s1, t, 8);              // HGFE
    _mm_storeu_si128(reinterpret_cast<__m128i *>(state), s0);
    _mm_storeu_si128(reinterpret_cast<__m128i *>(state + 4), s1);
}
#endif

void blocks(uint32_t state[8], const uint8_t *p, size_t n)
{
#if defined(__x86_64__)
    if (crypto_hw() & CRYPTO_HW_SHA)
        return blocks_ni(state, p, n);
#endif
    blocks_generic(state, p, n);
}

} // namespace

void sha256_transform(uint32_t state[8], const uint8_t block[64])
{
    blocks(state, block, 1);
}

void sha256_init(sha256_ctx *ctx)
{
    static constexpr uint32_t iv[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                       0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    ctx->fill = 0;
    ctx->bits = 0;
    memcpy(ctx->state, iv, sizeof iv);
}

void sha256_update(sha256_ctx *ctx, const void *data, size_t len)
{
    if (!len) // data may then be null
        return;
    const uint8_t *p = static_cast<const uint8_t *>(data);
    ctx->bits += uint64_t(len) << 3;
    if (ctx->fill) {
        size_t take = 64 - ctx->fill < len ? 64 - ctx->fill : len;
        memcpy(ctx->block + ctx->fill, p, take);
        ctx->fill += uint32_t(take);
        p += take;
        len -= take;
        if (ctx->fill < 64)
            return;
        blocks(ctx->state, ctx->block, 1);
        ctx->fill = 0;
    }
    if (len >= 64) {
        blocks(ctx->state, p, len / 64);
        p += len & ~size_t(63);
        len &= 63;
    }
    if (len) {
        memcpy(ctx->block, p, len);
        ctx->fill = uint32_t(len);
    }
}

void sha256_final(sha256_ctx *ctx, uint8_t out[32])
{
    uint32_t fill = ctx->fill;
    ctx->block[fill++] = 0x80;
    if (fill > 56) {
        memset(ctx->block + fill, 0, 64 - fill);
        blocks(ctx->state, ctx->block, 1);
        fill = 0;
    }
    memset(ctx->block + fill, 0, 56 - fill);
    store_be64(ctx->block + 56, ctx->bits);
    blocks(ctx->state, ctx->block, 1);
    for (int i = 0; i < 8; i++)
        store_be32(out + 4 * i, ctx->state[i]);
    secure_wipe(ctx, sizeof *ctx);
}
