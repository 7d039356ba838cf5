// Shared pieces of the DTLS engine: suite parameters and cipher operations,
// the TLS 1.2 key schedule (SHA-256 PRF, master secret, key block, Finished),
// pre-master secrets, hello randoms, versions, vector and extension parsing,
// big-endian fields and the peer log prefix.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/socket.h>
#include <sys/types.h>

#include "common/crypto/aes.h"
#include "common/crypto/secure.h"
#include "common/crypto/sha256.h"
#include "common/log.h"
#include "common/sockaddr.h"

struct packet;

enum : uint8_t {
    DTLS_SERVER = 1,
    DTLS_CLIENT = 2,
};

// Record content types.
enum : uint8_t {
    DTLS_CT_CHANGE_CIPHER_SPEC = 20,
    DTLS_CT_ALERT = 21,
    DTLS_CT_HANDSHAKE = 22,
    DTLS_CT_APPLICATION_DATA = 23,
};

inline constexpr size_t DTLS_RECORD_SIZE = 13;
inline constexpr size_t dtls_headroom = 21; // record header and explicit nonce
inline constexpr size_t dtls_tailroom = 16; // tag
inline constexpr size_t DTLS_KEY_SIZE = 20; // key material of one direction
inline constexpr size_t DTLS_KEY_BLOCK_SIZE = 2 * DTLS_KEY_SIZE;
inline constexpr size_t DTLS_MASTER_SECRET_SIZE = 48;
inline constexpr size_t DTLS_RANDOM_SIZE = 32;
inline constexpr size_t DTLS_FINISHED_SIZE = 12;
inline constexpr size_t DTLS_PSK_MAX = 64;
inline constexpr size_t DTLS_PSK_PREMASTER_MAX = 2 * DTLS_PSK_MAX + 4; // 132
inline constexpr size_t DTLS_RSA_PREMASTER_SIZE = 48;

// Security parameters of a suite, in the order of RFC 5246 (one byte each).
struct dtls_security_parameters {
    uint8_t entity;
    uint8_t prf_algorithm;
    uint8_t bulk_cipher_algorithm; // 3: AES
    uint8_t cipher_type;           // 2: AEAD
    uint8_t enc_key_length;
    uint8_t block_length;
    uint8_t fixed_iv_length;
    uint8_t record_iv_length;
    uint8_t mac_algorithm;
    uint8_t mac_length;
    uint8_t mac_key_length;
    uint8_t compression_algorithm;
};
static_assert(sizeof(dtls_security_parameters) == 12);

// The cipher state of one direction: the expanded AES-128 key.
struct dtls_cipher_state {
    aes_key aes;
};
static_assert(sizeof(dtls_cipher_state) == 176);

// A record cipher. encrypt and decrypt get the packet at its record header
// and return 0, or -1 when the tag does not match.
struct dtls_cipher_ops {
    void (*init)(dtls_cipher_state *state, const dtls_security_parameters *params,
                 const uint8_t *key);
    void (*free)(dtls_cipher_state *state);
    int (*encrypt)(dtls_cipher_state *state, const dtls_security_parameters *params,
                   const uint8_t *salt, packet *msg);
    int (*decrypt)(dtls_cipher_state *state, const dtls_security_parameters *params,
                   const uint8_t *salt, packet *msg);
};

// A record MAC; no supported suite has one.
struct dtls_mac_ops {
    int (*add)(const uint8_t *key, const dtls_security_parameters *params, packet *msg);
    int (*verify)(const uint8_t *key, const dtls_security_parameters *params, packet *msg);
};

// The key block and the byte offsets of its six parts.
struct dtls_key_block {
    uint8_t bytes[DTLS_KEY_BLOCK_SIZE];
    uint8_t client_write_mac_key;
    uint8_t server_write_mac_key;
    uint8_t client_write_key;
    uint8_t server_write_key;
    uint8_t client_write_iv;
    uint8_t server_write_iv;
};

// --- Key schedule ---

// TLS 1.2 PRF over HMAC-SHA256; the seed is label (without NUL) + seed1 + seed2.
void dtls_prf(uint8_t *out, size_t out_length, const char *label, const uint8_t *secret,
              size_t secret_length, const uint8_t *seed1, size_t seed1_length,
              const uint8_t *seed2, size_t seed2_length);

void dtls_master_secret(uint8_t master[DTLS_MASTER_SECRET_SIZE], const uint8_t *premaster,
                        size_t premaster_length, const uint8_t client_random[DTLS_RANDOM_SIZE],
                        const uint8_t server_random[DTLS_RANDOM_SIZE]);

// "key expansion" into the key block, then its offsets from the parameters.
void dtls_derive_keys(dtls_key_block *kb, const dtls_security_parameters *params,
                      const uint8_t master[DTLS_MASTER_SECRET_SIZE],
                      const uint8_t client_random[DTLS_RANDOM_SIZE],
                      const uint8_t server_random[DTLS_RANDOM_SIZE]);

// Finishes a copy of the running handshake hash, so that it goes on, and
// derives the 12-byte verify data ("server finished" or "client finished").
void dtls_make_finished_verify(const sha256_ctx *hash,
                               const uint8_t master[DTLS_MASTER_SECRET_SIZE], bool server_label,
                               uint8_t out[DTLS_FINISHED_SIZE]);

// 0 when a received Finished body equals the expected verify data; compared
// in constant time.
int dtls_finished_check(const uint8_t expected[DTLS_FINISHED_SIZE], const uint8_t *body,
                        size_t length);

// RFC 4279: u16 N, N zeros, u16 N, the key. psk_length is at most DTLS_PSK_MAX;
// returns 2N + 4.
size_t dtls_psk_premaster(uint8_t out[DTLS_PSK_PREMASTER_MAX], const uint8_t *psk,
                          size_t psk_length);

// The version followed by 46 random bytes; 0, or -1 when the random source fails.
int dtls_rsa_premaster(uint8_t out[DTLS_RSA_PREMASTER_SIZE], const uint8_t version[2]);

// The hello random: 4 bytes of cached monotonic seconds, 28 random bytes.
int dtls_make_random(uint8_t out[DTLS_RANDOM_SIZE]);

// --- Versions (raw 2-byte wire values; a smaller raw value is newer) ---

inline constexpr uint8_t DTLS_VERSION_1_2[2] = {0xfe, 0xfd};
inline constexpr uint8_t DTLS_VERSION_1_0[2] = {0xfe, 0xff};

// Sign of raw(b) - raw(a): -1 when a is older than b.
int dtls_version_compare(const uint8_t a[2], const uint8_t b[2]);
void dtls_version_min(uint8_t out[2], const uint8_t a[2], const uint8_t b[2]);
bool dtls_version_is_null(const uint8_t v[2]);

// Selects the older of the offered version and 1.2 into selected; 0, or -1
// after "%sUnsupported DTLS version %u.%u" when that is not 1.2. The caller
// keeps the offered version and sets both contexts' versions on success.
int dtls_negotiate_version(const sockaddr *peer, const uint8_t offered[2], uint8_t selected[2]);

// --- Parsing ---

// Reads a vector whose length prefix has 1, 2 or 3 bytes as max needs. On
// success out points at the prefix and cursor and remaining move past the
// vector; on failure out is null and -1 is returned.
int dtls_read_vector(const uint8_t **cursor, size_t *remaining, size_t max, const uint8_t **out);

// An extension block: u16 total length, then entries of u16 type, u16 length
// and data. available bounds the block as received. Count of entries or -1.
int dtls_ext_count(const uint8_t *block, size_t available);
// 0 with out at the first entry of the type, else -1.
int dtls_ext_find(const uint8_t *block, size_t available, uint16_t type, const uint8_t **out);

uint32_t dtls_get_u24(const uint8_t *p);
void dtls_put_u24(uint8_t *p, uint32_t v);
void dtls_get_u48(const uint8_t *p, uint32_t *hi, uint32_t *lo);
void dtls_put_u48(uint8_t *p, uint32_t hi, uint32_t lo);
inline uint16_t dtls_get_u16(const uint8_t *p)
{
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}
inline void dtls_put_u16(uint8_t *p, uint32_t v)
{
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}

ssize_t dtls_find_byte(const uint8_t *buffer, size_t length, uint8_t value);

// --- MTU and logging ---

// Payload bytes of one datagram on a path MTU: less the IP and UDP headers,
// which are 20 bytes longer for an IPv6 peer.
uint16_t dtls_payload_mtu(size_t path_mtu, const sockaddr *peer);

inline constexpr size_t DTLS_LOGHDR_SIZE = SOCKADDR_FMT_SIZE + 2;

// "address: ", or "" without a peer.
const char *dtls_loghdr(const sockaddr *peer, char buffer[DTLS_LOGHDR_SIZE]);

// The format begins with "%s", which takes the peer prefix.
#define dtls_log(level, peer, fmt, ...)                                                            \
    do {                                                                                           \
        if (log_enabled(LOG_COMP_DTLS, (level))) {                                                 \
            char dtls_hdr_[DTLS_LOGHDR_SIZE];                                                      \
            const char *dtls_pfx_ = dtls_loghdr((peer), dtls_hdr_);                                \
            ulog(LOG_COMP_DTLS, (level), fmt, dtls_pfx_ __VA_OPT__(, ) __VA_ARGS__);              \
        }                                                                                          \
    } while (0)
