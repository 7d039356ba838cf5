// AES-128 block encryption behind a replaceable implementation record, and
// AES key wrap (wrap direction).
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr int AES_ROUNDS = 10;

// 11 round keys of four words. A schedule belongs to the implementation that
// expanded it (their word layouts differ). It needs no more than 4-byte
// alignment: the records that hold one come from pools that give 8.
struct aes_key {
    uint32_t rk[4 * (AES_ROUNDS + 1)];
};
static_assert(sizeof(aes_key) == 176);

struct aes_impl {
    // in and out may be the same buffer.
    void (*encrypt)(const aes_key *key, const uint8_t in[16], uint8_t out[16]);
    // Returns the number of rounds (10).
    int (*set_key)(aes_key *key, const uint8_t k[16]);
    const char *name;
    // n independent blocks (16 * n bytes); in and out may be the same buffer.
    void (*encrypt_blocks)(const aes_key *key, const uint8_t *in, uint8_t *out, size_t n);
    // Counter mode over n whole blocks: out = in XOR E(ctr), E(ctr + 1), ...
    // with ctr a 128-bit big-endian counter, left at the next unused value.
    // A null in gives the key stream itself; in and out may be the same buffer.
    void (*ctr_blocks)(const aes_key *key, uint8_t ctr[16], const uint8_t *in, uint8_t *out,
                       size_t n);
    // Chains of dependent blocks run inside one call with the round keys held
    // throughout. CBC-MAC: cv = E(cv XOR block) for each of n whole blocks.
    void (*cbc_mac)(const aes_key *key, uint8_t cv[16], const uint8_t *in, size_t n);
    // The six passes of the RFC 3394 wrap over buf: the initial value in
    // front of n 64-bit blocks.
    void (*wrap)(const aes_key *key, uint8_t *buf, size_t n);
    // CCM's two chains over n whole blocks side by side: out = in XOR the
    // counter stream (ctr as in ctr_blocks, left at the next unused value),
    // and the CBC-MAC mac taken over the plaintext (in when encrypting, out
    // when decrypting). in and out may be the same buffer.
    void (*ccm_blocks)(const aes_key *key, uint8_t mac[16], uint8_t ctr[16], const uint8_t *in,
                       uint8_t *out, size_t n, bool decrypt);
};

// The portable implementation ("Generic": bitsliced, with no table lookup or
// branch that depends on the key or the data, so it leaks nothing through the
// cache) and the one on the processor's AES instructions ("AES-NI"; its
// functions are usable only where crypto_hw() reports CRYPTO_HW_AES).
extern const aes_impl aes_generic_impl;
extern const aes_impl aes_ni_impl;

// The implementation every user goes through; written once at start-up.
extern const aes_impl *aes_current;

// Selects the fastest implementation the processor runs. Call before any use,
// while no other thread encrypts.
void aes_init();
// Selects a given implementation (tests compare them); schedules made by the
// previous one must not be used afterwards.
void aes_select(const aes_impl *impl);

int aes_generic_set_key(aes_key *key, const uint8_t k[16]);
void aes_generic_encrypt(const aes_key *key, const uint8_t in[16], uint8_t out[16]);
void aes_generic_encrypt_blocks(const aes_key *key, const uint8_t *in, uint8_t *out, size_t n);
void aes_generic_ctr_blocks(const aes_key *key, uint8_t ctr[16], const uint8_t *in, uint8_t *out,
                            size_t n);
void aes_generic_cbc_mac(const aes_key *key, uint8_t cv[16], const uint8_t *in, size_t n);
void aes_generic_ccm_blocks(const aes_key *key, uint8_t mac[16], uint8_t ctr[16], const uint8_t *in,
                            uint8_t *out, size_t n, bool decrypt);

inline int aes_set_key(aes_key *key, const uint8_t k[16])
{
    return aes_current->set_key(key, k);
}
inline void aes_encrypt(const aes_key *key, const uint8_t in[16], uint8_t out[16])
{
    aes_current->encrypt(key, in, out);
}
inline void aes_encrypt_blocks(const aes_key *key, const uint8_t *in, uint8_t *out, size_t n)
{
    aes_current->encrypt_blocks(key, in, out, n);
}
inline void aes_ctr_blocks(const aes_key *key, uint8_t ctr[16], const uint8_t *in, uint8_t *out,
                           size_t n)
{
    aes_current->ctr_blocks(key, ctr, in, out, n);
}

inline void aes_cbc_mac(const aes_key *key, uint8_t cv[16], const uint8_t *in, size_t n)
{
    aes_current->cbc_mac(key, cv, in, n);
}

inline void aes_ccm_blocks(const aes_key *key, uint8_t mac[16], uint8_t ctr[16], const uint8_t *in,
                           uint8_t *out, size_t n, bool decrypt)
{
    aes_current->ccm_blocks(key, mac, ctr, in, out, n, decrypt);
}

// RFC 3394 wrap with the default initial value. The n 64-bit plaintext blocks
// are at the start of buf, which holds n + 1 blocks; the (n + 1) * 8 bytes of
// ciphertext replace them.
void aes_key_wrap(uint8_t *buf, const uint8_t kek[16], size_t n);
// The same with a schedule already expanded by the selected implementation.
void aes_key_wrap_keyed(uint8_t *buf, const aes_key *kek, size_t n);
// aes_cbc_mac under mac_key and aes_key_wrap_keyed of buf (wn blocks, as
// there) under kek in one call: the two chains run side by side where the
// implementation can.
void aes_cbc_mac_beside_wrap(const aes_key *mac_key, uint8_t cv[16], const uint8_t *in, size_t n,
                             const aes_key *kek, uint8_t *buf, size_t wn);
// The same with a second CBC-MAC chain under mac_key (cv2 over the n2 blocks
// of in2; none when n2 is 0) beside the other two.
void aes_cbc_macs_beside_wrap(const aes_key *mac_key, uint8_t cv[16], const uint8_t *in, size_t n,
                              uint8_t cv2[16], const uint8_t *in2, size_t n2, const aes_key *kek,
                              uint8_t *buf, size_t wn);
