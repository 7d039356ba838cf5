#include "common/crypto/md5.h"

#include "common/crypto/bytes.h"
#include "common/crypto/md_buffer.h"
#include "common/crypto/secure.h"

using namespace crypto_bytes;

namespace {

constexpr uint32_t T[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391,
};
constexpr int S[4][4] = {{7, 12, 17, 22}, {5, 9, 14, 20}, {4, 11, 16, 23}, {6, 10, 15, 21}};

void blocks(uint32_t state[4], const uint8_t *p, size_t n)
{
    for (; n; n--, p += 64) {
        uint32_t x[16];
        for (int i = 0; i < 16; i++)
            x[i] = load_le32(p + 4 * i);
        uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
        // Fully unrolled, every round's function, word and shift is a constant.
        // The message word and constant are added before the round function,
        // whose input b is the last to be ready.
#pragma GCC unroll 64
        for (int i = 0; i < 64; i++) {
            uint32_t sum = a + T[i];
            uint32_t f;
            switch (i / 16) {
            case 0:
                sum += x[i];
                f = d ^ (b & (c ^ d));
                break;
            case 1:
                // The two terms never share a bit: d's term can go in first.
                sum += x[(5 * i + 1) & 15] + (~d & c);
                f = d & b;
                break;
            case 2:
                sum += x[(3 * i + 5) & 15];
                f = b ^ c ^ d;
                break;
            default:
                sum += x[(7 * i) & 15];
                f = c ^ (b | ~d);
                break;
            }
            uint32_t t = d;
            d = c;
            c = b;
            b = b + rotl32(sum + f, S[i / 16][i & 3]);
            a = t;
        }
        state[0] += a;
        state[1] += b;
        state[2] += c;
        state[3] += d;
    }
}

void store_le64(uint8_t *p, uint64_t v)
{
    store_le32(p, uint32_t(v));
    store_le32(p + 4, uint32_t(v >> 32));
}

} // namespace

void md5_transform(uint32_t state[4], const uint8_t block[64])
{
    blocks(state, block, 1);
}

void md5_init(md5_ctx *ctx)
{
    ctx->state[0] = 0x67452301;
    ctx->state[1] = 0xefcdab89;
    ctx->state[2] = 0x98badcfe;
    ctx->state[3] = 0x10325476;
    ctx->count[0] = ctx->count[1] = 0;
}

void md5_update(md5_ctx *ctx, const void *data, size_t len)
{
    md_buffer::update(ctx->state, ctx->count, ctx->block, data, len, blocks);
}

void md5_final(md5_ctx *ctx, uint8_t out[16])
{
    md_buffer::pad(ctx->state, ctx->count, ctx->block, blocks, store_le64);
    for (int i = 0; i < 4; i++)
        store_le32(out + 4 * i, ctx->state[i]);
    secure_wipe(ctx, sizeof *ctx);
}
