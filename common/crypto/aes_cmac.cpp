#include "common/crypto/aes_cmac.h"

#include <cstring>

#include "common/crypto/secure.h"

namespace {

void xor16(uint8_t *dst, const uint8_t *src)
{
    for (int i = 0; i < 16; i++)
        dst[i] ^= src[i];
}

// Doubling in GF(2^128): shift left one bit, reduce by 0x87.
void dbl(uint8_t k[16])
{
    uint8_t carry = k[0] >> 7;
    for (int i = 0; i < 15; i++)
        k[i] = uint8_t(k[i] << 1 | k[i + 1] >> 7);
    k[15] = uint8_t(k[15] << 1) ^ uint8_t(0x87 & (0 - carry));
}

} // namespace

void aes_cmac_init(aes_cmac_ctx *ctx)
{
    memset(ctx, 0, sizeof *ctx);
}

void aes_cmac_update(const aes_key *key, aes_cmac_ctx *ctx, const void *data, size_t len)
{
    const uint8_t *p = static_cast<const uint8_t *>(data);
    if (!len)
        return;
    // Top up the pending block; it is encrypted only once more input follows.
    if (ctx->fill < 16) {
        size_t take = size_t(16 - ctx->fill) < len ? size_t(16 - ctx->fill) : len;
        memcpy(ctx->block + ctx->fill, p, take);
        ctx->fill = uint8_t(ctx->fill + take);
        p += take;
        len -= take;
        if (!len)
            return;
    }
    xor16(ctx->cv, ctx->block);
    aes_encrypt(key, ctx->cv, ctx->cv);
    for (; len > 16; len -= 16, p += 16) {
        xor16(ctx->cv, p);
        aes_encrypt(key, ctx->cv, ctx->cv);
    }
    memcpy(ctx->block, p, len);
    ctx->fill = uint8_t(len);
}

void aes_cmac_final(const aes_key *key, aes_cmac_ctx *ctx, uint8_t out[16])
{
    uint8_t k[16] = {};
    aes_encrypt(key, k, k);
    dbl(k);
    if (ctx->fill < 16) {
        dbl(k);
        ctx->block[ctx->fill] = 0x80;
        memset(ctx->block + ctx->fill + 1, 0, size_t(15 - ctx->fill));
    }
    xor16(ctx->block, k);
    xor16(ctx->cv, ctx->block);
    aes_encrypt(key, ctx->cv, out);
    secure_wipe(k, sizeof k);
    secure_wipe(ctx, sizeof *ctx);
}
