#include "common/crypto/rc4.h"

#include <utility>

namespace {

uint8_t next(rc4_ctx *ctx)
{
    ctx->i = (ctx->i + 1) & 0xff;
    ctx->j = (ctx->j + ctx->s[ctx->i]) & 0xff;
    std::swap(ctx->s[ctx->i], ctx->s[ctx->j]);
    return ctx->s[(ctx->s[ctx->i] + ctx->s[ctx->j]) & 0xff];
}

} // namespace

void rc4_init(rc4_ctx *ctx, const uint8_t *key, size_t key_len, size_t skip)
{
    for (int i = 0; i < 256; i++)
        ctx->s[i] = uint8_t(i);
    uint32_t j = 0;
    for (size_t i = 0, k = 0; i < 256; i++) {
        j = (j + ctx->s[i] + (key_len ? key[k] : 0)) & 0xff;
        std::swap(ctx->s[i], ctx->s[j]);
        if (key_len && ++k == key_len)
            k = 0;
    }
    ctx->i = ctx->j = 0;
    while (skip--)
        next(ctx);
}

void rc4_crypt(rc4_ctx *ctx, uint8_t *data, size_t len)
{
    for (size_t n = 0; n < len; n++)
        data[n] ^= next(ctx);
}
