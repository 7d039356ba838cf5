#include "common/crypto/sha1.h"

#include <cstring>
#include <utility>

#include "common/crypto/bytes.h"
#include "common/crypto/crypto_hw.h"
#include "common/crypto/md_buffer.h"
#include "common/crypto/secure.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

using namespace crypto_bytes;

namespace {

void blocks_generic(uint32_t state[5], const uint8_t *p, size_t n)
{
    for (; n; n--, p += 64) {
        uint32_t w[80];
        for (int i = 0; i < 16; i++)
            w[i] = load_be32(p + 4 * i);
        for (int i = 16; i < 80; i++)
            w[i] = rotl32(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);
        uint32_t a = state[0], b = state[1], c = state[2], d = state[3], e = state[4];
        for (int i = 0; i < 80; i++) {
            uint32_t f, k;
            if (i < 20) {
                f = (b & c) | (~b & d);
                k = 0x5a827999;
            } else if (i < 40) {
                f = b ^ c ^ d;
                k = 0x6ed9eba1;
            } else if (i < 60) {
                f = (b & c) | (b & d) | (c & d);
                k = 0x8f1bbcdc;
            } else {
                f = b ^ c ^ d;
                k = 0xca62c1d6;
            }
            uint32_t t = rotl32(a, 5) + f + e + k + w[i];
            e = d;
            d = c;
            c = rotl32(b, 30);
            b = a;
            a = t;
        }
        state[0] += a;
        state[1] += b;
        state[2] += c;
        state[3] += d;
        state[4] += e;
    }
}

#if defined(__x86_64__)
#define SHA_TARGET __attribute__((target("sha,sse4.1,ssse3")))

// Rounds 4g to 4g+3, with the message schedule for later groups interleaved.
template <int g>
SHA_TARGET __attribute__((always_inline)) inline void group(__m128i &abcd, __m128i (&e)[2], __m128i (&w)[4])
{
    constexpr int cur = g & 1;
    if constexpr (g == 0)
        e[0] = _mm_add_epi32(e[0], w[0]);
    else
        e[cur] = _mm_sha1nexte_epu32(e[cur], w[g % 4]);
    e[cur ^ 1] = abcd;
    if constexpr (g >= 3 && g <= 18)
        w[(g + 1) % 4] = _mm_sha1msg2_epu32(w[(g + 1) % 4], w[g % 4]);
    abcd = _mm_sha1rnds4_epu32(abcd, e[cur], g / 5);
    if constexpr (g >= 1 && g <= 16)
        w[(g + 3) % 4] = _mm_sha1msg1_epu32(w[(g + 3) % 4], w[g % 4]);
    if constexpr (g >= 2 && g <= 17)
        w[(g + 2) % 4] = _mm_xor_si128(w[(g + 2) % 4], w[g % 4]);
}

template <int... g>
SHA_TARGET __attribute__((always_inline)) inline void groups(__m128i &abcd, __m128i (&e)[2], __m128i (&w)[4],
                                                             std::integer_sequence<int, g...>)
{
    (group<g>(abcd, e, w), ...);
}

SHA_TARGET void blocks_ni(uint32_t state[5], const uint8_t *p, size_t n)
{
    const __m128i bswap = _mm_set_epi64x(0x0001020304050607ULL, 0x08090a0b0c0d0e0fULL);
    __m128i abcd = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i *>(state)), 0x1B);
    __m128i e0 = _mm_set_epi32(int(state[4]), 0, 0, 0);
    for (; n; n--, p += 64) {
        __m128i save_abcd = abcd, save_e = e0;
        __m128i w[4];
        for (int i = 0; i < 4; i++)
            w[i] = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 16 * i)), bswap);
        __m128i e[2] = {e0, _mm_setzero_si128()};
        groups(abcd, e, w, std::make_integer_sequence<int, 20>());
        // Group 19 left the last E in e[0].
        e0 = _mm_sha1nexte_epu32(e[0], save_e);
        abcd = _mm_add_epi32(abcd, save_abcd);
    }
    _mm_storeu_si128(reinterpret_cast<__m128i *>(state), _mm_shuffle_epi32(abcd, 0x1B));
    state[4] = uint32_t(_mm_extract_epi32(e0, 3));
}
#endif

void blocks(uint32_t state[5], const uint8_t *p, size_t n)
{
#if defined(__x86_64__)
    if (crypto_hw() & CRYPTO_HW_SHA)
        return blocks_ni(state, p, n);
#endif
    blocks_generic(state, p, n);
}

} // namespace

void sha1_transform(uint32_t state[5], const uint8_t block[64])
{
    blocks(state, block, 1);
}

void sha1_init(sha1_ctx *ctx)
{
    ctx->state[0] = 0x67452301;
    ctx->state[1] = 0xefcdab89;
    ctx->state[2] = 0x98badcfe;
    ctx->state[3] = 0x10325476;
    ctx->state[4] = 0xc3d2e1f0;
    ctx->count[0] = ctx->count[1] = 0;
}

void sha1_update(sha1_ctx *ctx, const void *data, size_t len)
{
    md_buffer::update(ctx->state, ctx->count, ctx->block, data, len, blocks);
}

void sha1_final(sha1_ctx *ctx, uint8_t out[20])
{
    md_buffer::pad(ctx->state, ctx->count, ctx->block, blocks, store_be64);
    for (int i = 0; i < 5; i++)
        store_be32(out + 4 * i, ctx->state[i]);
    secure_wipe(ctx, sizeof *ctx);
}
