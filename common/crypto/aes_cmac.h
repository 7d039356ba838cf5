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
// Writes the 16-byte tag and wipes the context. Derives the subkeys, which
// costs one more block: a key that signs many messages is better held as
// an aes_cmac_key.
void aes_cmac_final(const aes_key *key, aes_cmac_ctx *ctx, uint8_t out[16]);

// A key that signs many messages: its schedule and both subkeys, derived
// once. Wipe it with secure_wipe when done.
struct aes_cmac_key {
    aes_key aes;
    uint8_t k1[16]; // for a complete last block
    uint8_t k2[16]; // for a padded one
};

void aes_cmac_set_key(aes_cmac_key *key, const uint8_t k[16]);
inline void aes_cmac_update(const aes_cmac_key *key, aes_cmac_ctx *ctx, const void *data,
                            size_t len)
{
    aes_cmac_update(&key->aes, ctx, data, len);
}
void aes_cmac_final(const aes_cmac_key *key, aes_cmac_ctx *ctx, uint8_t out[16]);
// One message in one call.
void aes_cmac(const aes_cmac_key *key, const void *data, size_t len, uint8_t out[16]);
