// RSA for key transport and raw public keys: SubjectPublicKeyInfo in DER,
// SHA-256 pins, the raw and CRT operations, PKCS#1 v1.5 type 2 and OAEP
// (SHA-1, MGF1-SHA1) paddings.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/crypto/bigint.h"

enum : size_t { RSA_POOL_SIZE = 1024, RSA_FINGERPRINT_LEN = 32 };

// Keys from the network are refused outside these bounds.
enum : uint32_t { RSA_MIN_BITS = 1024, RSA_MAX_BITS = 4096 };

struct rsa_key {
    int refcount;
    uint32_t bits; // of n
    bigint *n, *e;
    bigint *d, *p, *q, *dp, *dq, *qinv; // private values; may be absent
    uint32_t pool_left;                  // unread bytes at the end of pool
    uint8_t pool[RSA_POOL_SIZE];
    bi_barrett ctx_n, ctx_p, ctx_q;
    // Blinding pair of the private operation: r^e and r^-1 mod n, squared
    // after each use; kept in Montgomery form (times 2^(64 words of n)).
    bigint *blind, *unblind;
};

// Mode word of the padded operations.
enum : int {
    RSA_PAD_OAEP = 1,
    RSA_PAD_PKCS1 = 2,
    RSA_PAD_MASK = 3,
    RSA_OP_SHIFT = 2, // bits 2-3: encryption 0/1 public, 2 private, 3 fails;
                      // decryption 1 public, 0/2 private, 3 none
};

// A zeroed key with one reference, for whoever fills in its values. Null
// when out of memory.
rsa_key *rsa_new();
rsa_key *rsa_ref(rsa_key *key);
void rsa_free(rsa_key *key);

// A public key, or null: malformed DER, another algorithm, or a key outside
// the bounds (n odd of 1024 to 4096 bits, e odd with 3 <= e < n).
rsa_key *rsa_parse_spki(const uint8_t *der, size_t len);
// The DER length; writes only when size suffices.
size_t rsa_encode_spki(uint8_t *buf, size_t size, const rsa_key *key);
int rsa_key_fingerprint(const rsa_key *key, uint8_t out[RSA_FINGERPRINT_LEN]);
// 0 when the first bits (64 to 256) agree; compared in constant time.
int rsa_fingerprint_match(const uint8_t *fingerprint, const uint8_t *pinned, uint32_t bits);

size_t rsa_size(const rsa_key *key);

// Raw operations on one block of rsa_size bytes; in must be below n.
// Return rsa_size or -1.
int rsa_public(rsa_key *key, const uint8_t *in, uint8_t *out);
int rsa_private(rsa_key *key, const uint8_t *in, uint8_t *out);

// out holds rsa_size bytes. Returns rsa_size or -1.
int rsa_encrypt(rsa_key *key, int mode, const uint8_t *label, size_t label_len, const uint8_t *in,
                size_t len, uint8_t *out);
// len must be rsa_size. Returns the message length or -1; out_size bytes of
// out are written whatever the outcome (zeros past the message), and a
// PKCS#1 v1.5 failure takes the same path as a success, so that callers can
// apply implicit rejection.
int rsa_decrypt(rsa_key *key, int mode, const uint8_t *label, size_t label_len, const uint8_t *in,
                size_t len, uint8_t *out, size_t out_size);

// Paddings into a k-byte block.
int rsa_pkcs1_pad(rsa_key *key, uint8_t *block, size_t k, const uint8_t *msg, size_t len);
// Constant time in the block's contents; see rsa_decrypt for out.
int rsa_pkcs1_unpad(const uint8_t *block, size_t k, uint8_t *out, size_t out_size);
int rsa_oaep_encode(uint8_t *block, size_t k, const uint8_t *label, size_t label_len,
                    const uint8_t *msg, size_t len, const uint8_t seed[20]);
int rsa_oaep_decode(const uint8_t *block, size_t k, const uint8_t *label, size_t label_len,
                    uint8_t *out, size_t out_size);
// XORs MGF1-SHA1(seed) into out.
void mgf1_sha1(const uint8_t *seed, size_t seed_len, uint8_t *out, size_t out_len);

// From the key's pool, refilled from the system's random source; requests
// above the pool size go straight to it.
int rsa_random_bytes(rsa_key *key, uint8_t *buf, size_t n);
