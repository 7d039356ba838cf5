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

// The last block (fill bytes of block, 0-16) masked with K1 when complete,
// padded and masked with K2 otherwise, chained into cv; cv is the tag.
void finish(const aes_key *key, uint8_t cv[16], uint8_t block[16], size_t fill,
            const uint8_t k1[16], const uint8_t k2[16])
{
    if (fill < 16) {
        block[fill] = 0x80;
        memset(block + fill + 1, 0, 15 - fill);
        xor16(block, k2);
    } else {
        xor16(block, k1);
    }
    aes_cbc_mac(key, cv, block, 1);
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
    aes_cbc_mac(key, ctx->cv, ctx->block, 1);
    // Whole blocks in one chain, keeping the last (complete or not) pending.
    size_t n = (len - 1) / 16;
    aes_cbc_mac(key, ctx->cv, p, n);
    p += 16 * n;
    len -= 16 * n;
    memcpy(ctx->block, p, len);
    ctx->fill = uint8_t(len);
}

void aes_cmac_final(const aes_key *key, aes_cmac_ctx *ctx, uint8_t out[16])
{
    uint8_t k1[16] = {}, k2[16];
    aes_encrypt(key, k1, k1);
    dbl(k1);
    memcpy(k2, k1, 16);
    dbl(k2);
    finish(key, ctx->cv, ctx->block, ctx->fill, k1, k2);
    memcpy(out, ctx->cv, 16);
    secure_wipe(k1, sizeof k1);
    secure_wipe(k2, sizeof k2);
    secure_wipe(ctx, sizeof *ctx);
}

void aes_cmac_set_key(aes_cmac_key *key, const uint8_t k[16])
{
    aes_set_key(&key->aes, k);
    memset(key->k1, 0, 16);
    aes_encrypt(&key->aes, key->k1, key->k1);
    dbl(key->k1);
    memcpy(key->k2, key->k1, 16);
    dbl(key->k2);
}

void aes_cmac_final(const aes_cmac_key *key, aes_cmac_ctx *ctx, uint8_t out[16])
{
    finish(&key->aes, ctx->cv, ctx->block, ctx->fill, key->k1, key->k2);
    memcpy(out, ctx->cv, 16);
    secure_wipe(ctx, sizeof *ctx);
}

void aes_cmac(const aes_cmac_key *key, const void *data, size_t len, uint8_t out[16])
{
    const uint8_t *p = static_cast<const uint8_t *>(data);
    uint8_t cv[16] = {}, last[16];
    size_t n = len ? (len - 1) / 16 : 0;
    aes_cbc_mac(&key->aes, cv, p, n);
    size_t fill = len - 16 * n;
    if (fill) memcpy(last, p + 16 * n, fill);
    finish(&key->aes, cv, last, fill, key->k1, key->k2);
    memcpy(out, cv, 16);
    secure_wipe(cv, sizeof cv);
    secure_wipe(last, sizeof last);
}
