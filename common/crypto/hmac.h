// HMAC over MD5, SHA-1 and SHA-256. Final wipes the context.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/crypto/md5.h"
#include "common/crypto/sha1.h"
#include "common/crypto/sha256.h"

// The inner hash, already past the inner key block, then the outer hash's
// chaining value past the outer key block (key ^ 0x5c, zero-padded; a key
// over 64 bytes is replaced by its digest first). A copy of a context fresh
// from init is the key set up once: each MAC made from such a copy costs its
// message and one outer compression, nothing for the key.
struct hmac_md5_ctx {
    md5_ctx inner;
    uint32_t outer[4];
};
struct hmac_sha1_ctx {
    sha1_ctx inner;
    uint32_t outer[5];
};
struct hmac_sha256_ctx {
    sha256_ctx inner;
    uint32_t outer[8];
};

void hmac_md5_init(hmac_md5_ctx *ctx, const void *key, size_t key_len);
void hmac_md5_update(hmac_md5_ctx *ctx, const void *data, size_t len);
void hmac_md5_final(hmac_md5_ctx *ctx, uint8_t out[16]);

void hmac_sha1_init(hmac_sha1_ctx *ctx, const void *key, size_t key_len);
void hmac_sha1_update(hmac_sha1_ctx *ctx, const void *data, size_t len);
void hmac_sha1_final(hmac_sha1_ctx *ctx, uint8_t out[20]);

void hmac_sha256_init(hmac_sha256_ctx *ctx, const void *key, size_t key_len);
void hmac_sha256_update(hmac_sha256_ctx *ctx, const void *data, size_t len);
void hmac_sha256_final(hmac_sha256_ctx *ctx, uint8_t out[32]);
