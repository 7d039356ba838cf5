// MD5, incremental.
#pragma once

#include <cstddef>
#include <cstdint>

struct md5_ctx {
    uint32_t state[4];
    uint32_t count[2]; // message length in bits: low word, high word
    uint8_t block[64]; // pending input
};

enum : size_t { MD5_DIGEST_LEN = 16, MD5_BLOCK_LEN = 64 };

void md5_init(md5_ctx *ctx);
void md5_update(md5_ctx *ctx, const void *data, size_t len);
// Leaves the context all zeros.
void md5_final(md5_ctx *ctx, uint8_t out[16]);

// The compression function over one 64-byte block.
void md5_transform(uint32_t state[4], const uint8_t block[64]);
