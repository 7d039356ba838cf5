// Key derivation of the RSNA authenticator: the 802.11 PRF over HMAC-SHA1,
// the 802.11 KDF over HMAC-SHA256, and every key and key name built on them
// (GMK, nonces, PMKID, PTK, GTK, the FT key hierarchy).
//
// Pure functions of their inputs apart from the GMK and the nonce counter,
// which draw on the system's random source. Byte strings are in wire order;
// every intermediate that held key material is wiped before return.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/crypto/hmac.h"

enum : size_t {
    DOT11_MAC_LEN = 6,
    DOT11_NONCE_LEN = 32,
    DOT11_PMK_LEN = 32, // PMK, PMK-R0, PMK-R1, GMK, PSK
    DOT11_KEY_NAME_LEN = 16, // PMKID, PMKR0Name, PMKR1Name
    DOT11_PTK_MAX = 64,
    DOT11_KCK_LEN = 16,
    DOT11_KEK_LEN = 16,
    DOT11_PTK_DATA_LEN = 2 * DOT11_MAC_LEN + 2 * DOT11_NONCE_LEN, // 76
    DOT11_FT_R0KH_ID_MAX = 48,
    DOT11_SSID_MAX = 32,
};

// PRF-n: HMAC-SHA1(key, label with its NUL, data, i) for i = 0, 1, ...
void dot11_prf_sha1(const uint8_t *key, size_t key_len, const char *label, const uint8_t *data,
                    size_t data_len, uint8_t *out, size_t out_len);
// KDF-Hash-Length: HMAC-SHA256(key, i LE16, label, context, bits LE16) for
// i = 1, 2, ...; out_len at most 8191 bytes (the length in bits is 16 bits).
void dot11_kdf_sha256(const uint8_t *key, size_t key_len, const char *label, const uint8_t *context,
                      size_t context_len, uint8_t *out, size_t out_len);

// 0, or -1 after logging why.
int dot11_derive_gmk(uint8_t gmk[DOT11_PMK_LEN]);
int dot11_init_nonce_counter(uint8_t counter[DOT11_NONCE_LEN], const uint8_t aa[DOT11_MAC_LEN]);
// The last n bytes of the counter, which then goes up by one as a 256-bit
// big-endian number. n at most 32.
void dot11_nonce_next(uint8_t counter[DOT11_NONCE_LEN], uint8_t *nonce, size_t n);

void dot11_derive_pmkid(const uint8_t pmk[DOT11_PMK_LEN], const uint8_t aa[DOT11_MAC_LEN],
                        const uint8_t spa[DOT11_MAC_LEN], uint8_t pmkid[DOT11_KEY_NAME_LEN]);
// For the SHA-256 AKMs (00-0F-AC:5 and :6).
void dot11_derive_pmkid_sha256(const uint8_t pmk[DOT11_PMK_LEN], const uint8_t aa[DOT11_MAC_LEN],
                               const uint8_t spa[DOT11_MAC_LEN], uint8_t pmkid[DOT11_KEY_NAME_LEN]);

// min(AA, SPA) || max(AA, SPA) || min(ANonce, SNonce) || max(ANonce, SNonce).
void dot11_ptk_data(const uint8_t aa[DOT11_MAC_LEN], const uint8_t spa[DOT11_MAC_LEN],
                    const uint8_t anonce[DOT11_NONCE_LEN], const uint8_t snonce[DOT11_NONCE_LEN],
                    uint8_t data[DOT11_PTK_DATA_LEN]);
// PRF-512 "Pairwise key expansion": always 64 bytes.
void dot11_derive_ptk(const uint8_t pmk[DOT11_PMK_LEN], const uint8_t aa[DOT11_MAC_LEN],
                      const uint8_t spa[DOT11_MAC_LEN], const uint8_t anonce[DOT11_NONCE_LEN],
                      const uint8_t snonce[DOT11_NONCE_LEN], uint8_t ptk[DOT11_PTK_MAX]);
// KDF "Pairwise key expansion" of ptk_len bytes (32 + the TK length).
void dot11_derive_ptk_sha256(const uint8_t pmk[DOT11_PMK_LEN], size_t ptk_len,
                             const uint8_t aa[DOT11_MAC_LEN], const uint8_t spa[DOT11_MAC_LEN],
                             const uint8_t anonce[DOT11_NONCE_LEN],
                             const uint8_t snonce[DOT11_NONCE_LEN], uint8_t *ptk);
// PRF-256 "Group key expansion" of AA || GNonce.
void dot11_derive_gtk(const uint8_t gmk[DOT11_PMK_LEN], const uint8_t aa[DOT11_MAC_LEN],
                      const uint8_t gnonce[DOT11_NONCE_LEN], uint8_t gtk[DOT11_PMK_LEN]);

// PMK-R0 and PMKR0Name from XXKey. ssid_len at most 32 and r0khid_len at
// most 48 (asserted).
void dot11_derive_pmkr0(const uint8_t xxkey[DOT11_PMK_LEN], const uint8_t *ssid, size_t ssid_len,
                        uint16_t mdid, const uint8_t *r0khid, size_t r0khid_len,
                        const uint8_t s0khid[DOT11_MAC_LEN], uint8_t pmk_r0[DOT11_PMK_LEN],
                        uint8_t pmkr0name[DOT11_KEY_NAME_LEN]);
void dot11_derive_pmkr1(const uint8_t pmk_r0[DOT11_PMK_LEN], const uint8_t r1khid[DOT11_MAC_LEN],
                        const uint8_t s1khid[DOT11_MAC_LEN], uint8_t pmk_r1[DOT11_PMK_LEN]);
// The same from PMK-R0 set up as an HMAC-SHA256 key (a context fresh from
// hmac_sha256_init), which a station's every transition reuses.
void dot11_derive_pmkr1_keyed(const hmac_sha256_ctx *pmk_r0, const uint8_t r1khid[DOT11_MAC_LEN],
                              const uint8_t s1khid[DOT11_MAC_LEN], uint8_t pmk_r1[DOT11_PMK_LEN]);
void dot11_derive_pmkr1name(const uint8_t pmkr0name[DOT11_KEY_NAME_LEN],
                            const uint8_t r1khid[DOT11_MAC_LEN], const uint8_t s1khid[DOT11_MAC_LEN],
                            uint8_t pmkr1name[DOT11_KEY_NAME_LEN]);
// KDF "FT-PTK" of SNonce || ANonce || BSSID || STA address.
void dot11_derive_ptk_ft(const uint8_t pmk_r1[DOT11_PMK_LEN], size_t ptk_len,
                         const uint8_t bssid[DOT11_MAC_LEN], const uint8_t sta[DOT11_MAC_LEN],
                         const uint8_t anonce[DOT11_NONCE_LEN],
                         const uint8_t snonce[DOT11_NONCE_LEN], uint8_t *ptk);

void dot11_key_copy(uint8_t dst[DOT11_PMK_LEN], const uint8_t src[DOT11_PMK_LEN]);
