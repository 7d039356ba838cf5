// RC4 with a discarded initial keystream.
#pragma once

#include <cstddef>
#include <cstdint>

struct rc4_ctx {
    uint8_t s[256];
    uint32_t i;
    uint32_t j;
};

// Key bytes are used cyclically; skip keystream bytes are generated and dropped.
void rc4_init(rc4_ctx *ctx, const uint8_t *key, size_t key_len, size_t skip);
// XORs data in place with the next keystream bytes.
void rc4_crypt(rc4_ctx *ctx, uint8_t *data, size_t len);
