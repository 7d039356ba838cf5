// AES-CMAC. The key schedule is not part of the context: every call takes it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/crypto/aes.h"

struct aes_cmac_ctx {
    uint8_t cv[16];    // chaining value
    uint8_t block[16]; // pending input; a full block waits here for final
    uint8_t fill;      // 0-16
};

void aes_cmac_init(aes_cmac_ctx *ctx);
void aes_cmac_update(const aes_key *key, aes_cmac_ctx *ctx, const void *data, size_t len);
// Writes the 16-byte tag and wipes the context.
void aes_cmac_final(const aes_key *key, aes_cmac_ctx *ctx, uint8_t out[16]);
