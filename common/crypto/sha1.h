// SHA-1, incremental.
#pragma once

#include <cstddef>
#include <cstdint>

struct sha1_ctx {
    uint32_t state[5];
    uint32_t count[2]; // message length in bits: low word, high word
    uint8_t block[64]; // pending input
};

enum : size_t { SHA1_DIGEST_LEN = 20, SHA1_BLOCK_LEN = 64 };

void sha1_init(sha1_ctx *ctx);
void sha1_update(sha1_ctx *ctx, const void *data, size_t len);
// Leaves the context all zeros.
void sha1_final(sha1_ctx *ctx, uint8_t out[20]);

// The compression function over one 64-byte block.
void sha1_transform(uint32_t state[5], const uint8_t block[64]);
