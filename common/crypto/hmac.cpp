#include "common/crypto/hmac.h"

#include <cstring>

#include "common/crypto/bytes.h"
#include "common/crypto/secure.h"

using namespace crypto_bytes;

namespace {

// The three hashes differ in their functions, digest size and byte order.
template <typename Ctx, size_t N, void (*Init)(Ctx *), void (*Update)(Ctx *, const void *, size_t),
          void (*Final)(Ctx *, uint8_t *), void (*Transform)(uint32_t *, const uint8_t *),
          bool LittleEndian>
struct hmac_of {
    static constexpr size_t words = N / 4;

    template <typename H>
    static void init(H *ctx, const void *key, size_t key_len)
    {
        static_assert(sizeof ctx->outer == N);
        uint8_t k[64] = {};
        if (key_len > 64) {
            Init(&ctx->inner);
            Update(&ctx->inner, key, key_len);
            Final(&ctx->inner, k);
        } else if (key_len) {
            memcpy(k, key, key_len);
        }
        uint8_t pad[64];
        for (int i = 0; i < 64; i++)
            pad[i] = k[i] ^ 0x5c;
        Init(&ctx->inner);
        memcpy(ctx->outer, ctx->inner.state, N);
        Transform(ctx->outer, pad);
        for (int i = 0; i < 64; i++)
            pad[i] = k[i] ^ 0x36;
        Update(&ctx->inner, pad, 64);
        secure_wipe(k, sizeof k);
        secure_wipe(pad, sizeof pad);
    }

    // The outer message is the digest alone: one block, padded by hand.
    template <typename H>
    static void final(H *ctx, uint8_t *out)
    {
        uint8_t block[64];
        Final(&ctx->inner, block);
        block[N] = 0x80;
        memset(block + N + 1, 0, 64 - N - 1);
        constexpr uint32_t bits = (64 + N) * 8;
        if constexpr (LittleEndian) {
            block[56] = uint8_t(bits);
            block[57] = uint8_t(bits >> 8);
        } else {
            block[62] = uint8_t(bits >> 8);
            block[63] = uint8_t(bits);
        }
        Transform(ctx->outer, block);
        for (size_t i = 0; i < words; i++) {
            if constexpr (LittleEndian)
                store_le32(out + 4 * i, ctx->outer[i]);
            else
                store_be32(out + 4 * i, ctx->outer[i]);
        }
        // The inner hash's final has wiped the rest of the context.
        secure_wipe(block, sizeof block);
        secure_wipe(ctx->outer, sizeof ctx->outer);
    }
};

using md5_mac = hmac_of<md5_ctx, 16, md5_init, md5_update, md5_final, md5_transform, true>;
using sha1_mac = hmac_of<sha1_ctx, 20, sha1_init, sha1_update, sha1_final, sha1_transform, false>;
using sha256_mac =
    hmac_of<sha256_ctx, 32, sha256_init, sha256_update, sha256_final, sha256_transform, false>;

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
