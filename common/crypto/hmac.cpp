#include "common/crypto/hmac.h"

#include <cstring>

#include "common/crypto/secure.h"

namespace {

// The three hashes differ only in their functions and digest size.
template <typename Ctx, size_t N, void (*Init)(Ctx *), void (*Update)(Ctx *, const void *, size_t),
          void (*Final)(Ctx *, uint8_t *)>
struct hmac_of {
    template <typename H>
    static void init(H *ctx, const void *key, size_t key_len)
    {
        uint8_t k[64] = {};
        if (key_len > 64) {
            Init(&ctx->inner);
            Update(&ctx->inner, key, key_len);
            Final(&ctx->inner, k);
        } else if (key_len) {
            memcpy(k, key, key_len);
        }
        uint8_t ipad[64];
        for (int i = 0; i < 64; i++) {
            ipad[i] = k[i] ^ 0x36;
            ctx->okey[i] = k[i] ^ 0x5c;
        }
        Init(&ctx->inner);
        Update(&ctx->inner, ipad, 64);
        secure_wipe(k, sizeof k);
        secure_wipe(ipad, sizeof ipad);
    }

    template <typename H>
    static void final(H *ctx, uint8_t *out)
    {
        uint8_t digest[N];
        Final(&ctx->inner, digest);
        Init(&ctx->inner);
        Update(&ctx->inner, ctx->okey, 64);
        Update(&ctx->inner, digest, N);
        Final(&ctx->inner, out);
        secure_wipe(digest, sizeof digest);
        secure_wipe(ctx, sizeof *ctx);
    }
};

using md5_mac = hmac_of<md5_ctx, 16, md5_init, md5_update, md5_final>;
using sha1_mac = hmac_of<sha1_ctx, 20, sha1_init, sha1_update, sha1_final>;
using sha256_mac = hmac_of<sha256_ctx, 32, sha256_init, sha256_update, sha256_final>;

} // namespace

void hmac_md5_init(hmac_md5_ctx *ctx, const void *key, size_t key_len)
{
    md5_mac::init(ctx, key, key_len);
}
void hmac_md5_update(hmac_md5_ctx *ctx, const void *data, size_t len)
{
    md5_update(&ctx->inner, data, len);
}
void hmac_md5_final(hmac_md5_ctx *ctx, uint8_t out[16])
{
    md5_mac::final(ctx, out);
}

void hmac_sha1_init(hmac_sha1_ctx *ctx, const void *key, size_t key_len)
{
    sha1_mac::init(ctx, key, key_len);
}
void hmac_sha1_update(hmac_sha1_ctx *ctx, const void *data, size_t len)
{
    sha1_update(&ctx->inner, data, len);
}
void hmac_sha1_final(hmac_sha1_ctx *ctx, uint8_t out[20])
{
    sha1_mac::final(ctx, out);
}

void hmac_sha256_init(hmac_sha256_ctx *ctx, const void *key, size_t key_len)
{
    sha256_mac::init(ctx, key, key_len);
}
void hmac_sha256_update(hmac_sha256_ctx *ctx, const void *data, size_t len)
{
    sha256_update(&ctx->inner, data, len);
}
void hmac_sha256_final(hmac_sha256_ctx *ctx, uint8_t out[32])
{
    sha256_mac::final(ctx, out);
}
