// SHA-256, incremental.
#pragma once

#include <cstddef>
#include <cstdint>

struct sha256_ctx {
    uint8_t block[64]; // pending input
    uint32_t fill;     // bytes in block
    uint64_t bits;     // message length so far
    uint32_t state[8];
};

enum : size_t { SHA256_DIGEST_LEN = 32, SHA256_BLOCK_LEN = 64 };

void sha256_init(sha256_ctx *ctx);
void sha256_update(sha256_ctx *ctx, const void *data, size_t len);
// Leaves the context all zeros.
void sha256_final(sha256_ctx *ctx, uint8_t out[32]);

// The compression function over one 64-byte block.
void sha256_transform(uint32_t state[8], const uint8_t block[64]);
