// AES-128-CCM (RFC 3610) and the record protection of RFC 6655 built on it:
// 4-byte salt + 8-byte explicit nonce, 13 bytes of additional data, a 16- or
// 8-byte tag, in place in the packet.
#pragma once

#include <cstddef>
#include <cstdint>

#include "controller/dtls/dtls_util.h"

inline constexpr size_t RIJNDAEL_BLOCK_SIZE = 16;
inline constexpr size_t AES_CCM_KEY_SIZE = 16;
inline constexpr size_t DTLS_AES_CCM_IV_SIZE = 8;     // explicit nonce
inline constexpr size_t DTLS_AES_CCM_SALT_SIZE = 4;   // fixed IV from the key block
inline constexpr size_t DTLS_AES_CCM_NONCE_SIZE = 12; // salt + explicit nonce
inline constexpr size_t DTLS_AES_CCM_HDR_SIZE = DTLS_RECORD_SIZE + DTLS_AES_CCM_IV_SIZE;
inline constexpr size_t DTLS_AES_CCM_AAD_SIZE = 13;

// --- CCM core ---

// The running state of one CCM operation: CBC-MAC block, counter block and
// the key stream of a partial block kept between updates.
struct ccm_ctx {
    const dtls_cipher_state *key;
    uint8_t mac[16];
    uint8_t ctr[16];
    uint8_t stream[16];
    uint8_t s0[16]; // encrypted counter 0, which masks the tag
    uint32_t remaining; // data bytes still expected
    uint8_t fill;       // bytes of the partial block already used
    uint8_t tag_length;
    uint8_t length_size; // L
};

// A CCM implementation; ccm_current is the one every caller goes through.
// Nonces are 7 to 13 bytes, tags 4 to 16 bytes and even, additional data
// shorter than 65280 bytes.
struct ccm_impl {
    void (*set_key)(dtls_cipher_state *key, const uint8_t k[16]);
    void (*wipe)(dtls_cipher_state *key);
    // 0, or -1 for parameters CCM does not allow (nothing is computed then).
    int (*start)(ccm_ctx *ctx, const dtls_cipher_state *key, const uint8_t *nonce,
                 size_t nonce_length, const uint8_t *aad, size_t aad_length, size_t data_length,
                 size_t tag_length);
    // Parts of any length; in and out may be the same buffer.
    void (*encrypt_update)(ccm_ctx *ctx, const uint8_t *in, uint8_t *out, size_t length);
    void (*decrypt_update)(ccm_ctx *ctx, const uint8_t *in, uint8_t *out, size_t length);
    // Both wipe the running state. decrypt_final compares in constant time: 0 or -1.
    void (*encrypt_final)(ccm_ctx *ctx, uint8_t *tag);
    int (*decrypt_final)(ccm_ctx *ctx, const uint8_t *tag);
    // One-shot forms, in place over data; 0, or -1 (bad parameters or tag).
    int (*encrypt)(const dtls_cipher_state *key, const uint8_t *nonce, size_t nonce_length,
                   const uint8_t *aad, size_t aad_length, uint8_t *tag, size_t tag_length,
                   uint8_t *data, size_t data_length);
    int (*decrypt)(const dtls_cipher_state *key, const uint8_t *nonce, size_t nonce_length,
                   const uint8_t *aad, size_t aad_length, const uint8_t *tag, size_t tag_length,
                   uint8_t *data, size_t data_length);
    const char *name;
};

// Over the selected AES block function; its one-shot forms run fused AES-NI
// loops when the AES-NI implementation is selected.
extern const ccm_impl ccm_default_impl;
extern const ccm_impl *ccm_current;

inline void ccm_set_key(dtls_cipher_state *key, const uint8_t k[16])
{
    ccm_current->set_key(key, k);
}
inline void ccm_wipe(dtls_cipher_state *key)
{
    ccm_current->wipe(key);
}
inline int ccm_start(ccm_ctx *ctx, const dtls_cipher_state *key, const uint8_t *nonce,
                     size_t nonce_length, const uint8_t *aad, size_t aad_length,
                     size_t data_length, size_t tag_length)
{
    return ccm_current->start(ctx, key, nonce, nonce_length, aad, aad_length, data_length,
                              tag_length);
}
inline void ccm_encrypt_update(ccm_ctx *ctx, const uint8_t *in, uint8_t *out, size_t length)
{
    ccm_current->encrypt_update(ctx, in, out, length);
}
inline void ccm_decrypt_update(ccm_ctx *ctx, const uint8_t *in, uint8_t *out, size_t length)
{
    ccm_current->decrypt_update(ctx, in, out, length);
}
inline void ccm_encrypt_final(ccm_ctx *ctx, uint8_t *tag)
{
    ccm_current->encrypt_final(ctx, tag);
}
inline int ccm_decrypt_final(ccm_ctx *ctx, const uint8_t *tag)
{
    return ccm_current->decrypt_final(ctx, tag);
}
inline int ccm_encrypt(const dtls_cipher_state *key, const uint8_t *nonce, size_t nonce_length,
                       const uint8_t *aad, size_t aad_length, uint8_t *tag, size_t tag_length,
                       uint8_t *data, size_t data_length)
{
    return ccm_current->encrypt(key, nonce, nonce_length, aad, aad_length, tag, tag_length, data,
                                data_length);
}
inline int ccm_decrypt(const dtls_cipher_state *key, const uint8_t *nonce, size_t nonce_length,
                       const uint8_t *aad, size_t aad_length, const uint8_t *tag,
                       size_t tag_length, uint8_t *data, size_t data_length)
{
    return ccm_current->decrypt(key, nonce, nonce_length, aad, aad_length, tag, tag_length, data,
                                data_length);
}

// --- Record protection ---

void dtls_aes_ccm_init(dtls_cipher_state *state, const dtls_security_parameters *params,
                       const uint8_t *key);
void dtls_aes_ccm_free(dtls_cipher_state *state);
// The packet starts at the record header, whose length field holds the
// plaintext length; the record grows by the explicit nonce and the tag.
int dtls_aes_ccm_encrypt(dtls_cipher_state *state, const dtls_security_parameters *params,
                         const uint8_t *salt, packet *msg);
// The packet starts at the record header; afterwards it holds the header
// (length field = plaintext length) and the plaintext, whether the tag
// matched (0) or not (-1).
int dtls_aes_ccm_decrypt(dtls_cipher_state *state, const dtls_security_parameters *params,
                         const uint8_t *salt, packet *msg);

extern const dtls_cipher_ops dtls_aes_ccm_ops;
