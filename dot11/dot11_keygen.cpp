// The PRF keeps the HMAC key set-up of its first block and copies it for the
// next ones: a PTK takes four blocks, and the set-up is two hash blocks of the
// 18 or so that the whole derivation costs.
#include "dot11/dot11_keygen.h"

#include <sys/time.h>

#include <cstring>

#include "common/crypto/hmac.h"
#include "common/crypto/secure.h"
#include "common/crypto/sha256.h"
#include "common/fatal.h"
#include "common/log.h"
#include "common/system.h"

namespace {

// A byte string of at most two parts whose order depends on their values.
void put_ordered(uint8_t *out, const uint8_t *a, const uint8_t *b, size_t n)
{
    bool a_first = memcmp(a, b, n) < 0;
    memcpy(out, a_first ? a : b, n);
    memcpy(out + n, a_first ? b : a, n);
}

void store_le16(uint8_t *p, uint16_t v)
{
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}

} // namespace

void dot11_prf_sha1(const uint8_t *key, size_t key_len, const char *label, const uint8_t *data,
                    size_t data_len, uint8_t *out, size_t out_len)
{
    hmac_sha1_ctx keyed, ctx;
    uint8_t block[SHA1_DIGEST_LEN];
    secure_wipe_guard wipe_keyed(keyed);
    secure_wipe_guard wipe_ctx(ctx);
    secure_wipe_guard wipe_block(block);
    hmac_sha1_init(&keyed, key, key_len);
    hmac_sha1_update(&keyed, label, strlen(label) + 1);
    hmac_sha1_update(&keyed, data, data_len);
    for (uint8_t i = 0; out_len; i++) {
        ctx = keyed;
        hmac_sha1_update(&ctx, &i, 1);
        size_t n = out_len < sizeof block ? out_len : sizeof block;
        if (n == sizeof block) {
            hmac_sha1_final(&ctx, out);
        } else {
            hmac_sha1_final(&ctx, block);
            memcpy(out, block, n);
        }
        out += n;
        out_len -= n;
    }
}

namespace {

void kdf_sha256_keyed(const hmac_sha256_ctx &keyed, const char *label, const uint8_t *context,
                      size_t context_len, uint8_t *out, size_t out_len)
{
    UGW_ASSERT(out_len <= 8191);
    hmac_sha256_ctx ctx;
    uint8_t block[SHA256_DIGEST_LEN];
    secure_wipe_guard wipe_ctx(ctx);
    secure_wipe_guard wipe_block(block);
    uint8_t bits[2];
    store_le16(bits, uint16_t(out_len * 8));
    for (uint16_t i = 1; out_len; i++) {
        uint8_t counter[2];
        store_le16(counter, i);
        ctx = keyed;
        hmac_sha256_update(&ctx, counter, 2);
        hmac_sha256_update(&ctx, label, strlen(label));
        hmac_sha256_update(&ctx, context, context_len);
        hmac_sha256_update(&ctx, bits, 2);
        size_t n = out_len < sizeof block ? out_len : sizeof block;
        if (n == sizeof block) {
            hmac_sha256_final(&ctx, out);
        } else {
            hmac_sha256_final(&ctx, block);
            memcpy(out, block, n);
        }
        out += n;
        out_len -= n;
    }
}

} // namespace

void dot11_kdf_sha256(const uint8_t *key, size_t key_len, const char *label, const uint8_t *context,
                      size_t context_len, uint8_t *out, size_t out_len)
{
    hmac_sha256_ctx keyed;
    secure_wipe_guard wipe_keyed(keyed);
    hmac_sha256_init(&keyed, key, key_len);
    kdf_sha256_keyed(keyed, label, context, context_len, out, out_len);
}

int dot11_derive_gmk(uint8_t gmk[DOT11_PMK_LEN])
{
    if (system_random(gmk, DOT11_PMK_LEN) < 0) {
        ulog(LOG_COMP_DOT11, ULOG_ERROR, "Failed to derive the GMK");
        return -1;
    }
    return 0;
}

int dot11_init_nonce_counter(uint8_t counter[DOT11_NONCE_LEN], const uint8_t aa[DOT11_MAC_LEN])
{
    uint8_t seed[DOT11_NONCE_LEN];
    secure_wipe_guard wipe_seed(seed);
    if (system_random(seed, sizeof seed) < 0) {
        ulog(LOG_COMP_DOT11, ULOG_ERROR, "Failed to initialize the RSNA Nonce counter");
        return -1;
    }
    // AA and the time of day as the platform's seconds-and-microseconds value.
    timeval now;
    static_assert(sizeof now == 16);
    gettimeofday(&now, nullptr);
    uint8_t data[DOT11_MAC_LEN + sizeof now];
    memcpy(data, aa, DOT11_MAC_LEN);
    memcpy(data + DOT11_MAC_LEN, &now, sizeof now);
    dot11_prf_sha1(seed, sizeof seed, "Init Counter", data, sizeof data, counter, DOT11_NONCE_LEN);
    return 0;
}

void dot11_nonce_next(uint8_t counter[DOT11_NONCE_LEN], uint8_t *nonce, size_t n)
{
    UGW_ASSERT(n <= DOT11_NONCE_LEN);
    memcpy(nonce, counter + DOT11_NONCE_LEN - n, n);
    for (size_t i = DOT11_NONCE_LEN; i-- > 0;)
        if (++counter[i] != 0)
            break;
}

void dot11_derive_pmkid(const uint8_t pmk[DOT11_PMK_LEN], const uint8_t aa[DOT11_MAC_LEN],
                        const uint8_t spa[DOT11_MAC_LEN], uint8_t pmkid[DOT11_KEY_NAME_LEN])
{
    hmac_sha1_ctx ctx;
    uint8_t mac[SHA1_DIGEST_LEN];
    secure_wipe_guard wipe_mac(mac);
    hmac_sha1_init(&ctx, pmk, DOT11_PMK_LEN);
    hmac_sha1_update(&ctx, "PMK Name", 8);
    hmac_sha1_update(&ctx, aa, DOT11_MAC_LEN);
    hmac_sha1_update(&ctx, spa, DOT11_MAC_LEN);
    hmac_sha1_final(&ctx, mac);
    memcpy(pmkid, mac, DOT11_KEY_NAME_LEN);
}

void dot11_derive_pmkid_sha256(const uint8_t pmk[DOT11_PMK_LEN], const uint8_t aa[DOT11_MAC_LEN],
                               const uint8_t spa[DOT11_MAC_LEN], uint8_t pmkid[DOT11_KEY_NAME_LEN])
{
    hmac_sha256_ctx ctx;
    uint8_t mac[SHA256_DIGEST_LEN];
    secure_wipe_guard wipe_mac(mac);
    hmac_sha256_init(&ctx, pmk, DOT11_PMK_LEN);
    hmac_sha256_update(&ctx, "PMK Name", 8);
    hmac_sha256_update(&ctx, aa, DOT11_MAC_LEN);
    hmac_sha256_update(&ctx, spa, DOT11_MAC_LEN);
    hmac_sha256_final(&ctx, mac);
    memcpy(pmkid, mac, DOT11_KEY_NAME_LEN);
}

void dot11_ptk_data(const uint8_t aa[DOT11_MAC_LEN], const uint8_t spa[DOT11_MAC_LEN],
                    const uint8_t anonce[DOT11_NONCE_LEN], const uint8_t snonce[DOT11_NONCE_LEN],
                    uint8_t data[DOT11_PTK_DATA_LEN])
{
    put_ordered(data, aa, spa, DOT11_MAC_LEN);
    put_ordered(data + 2 * DOT11_MAC_LEN, anonce, snonce, DOT11_NONCE_LEN);
}

void dot11_derive_ptk(const uint8_t pmk[DOT11_PMK_LEN], const uint8_t aa[DOT11_MAC_LEN],
                      const uint8_t spa[DOT11_MAC_LEN], const uint8_t anonce[DOT11_NONCE_LEN],
                      const uint8_t snonce[DOT11_NONCE_LEN], uint8_t ptk[DOT11_PTK_MAX])
{
    uint8_t data[DOT11_PTK_DATA_LEN];
    dot11_ptk_data(aa, spa, anonce, snonce, data);
    dot11_prf_sha1(pmk, DOT11_PMK_LEN, "Pairwise key expansion", data, sizeof data, ptk,
                   DOT11_PTK_MAX);
}

void dot11_derive_ptk_sha256(const uint8_t pmk[DOT11_PMK_LEN], size_t ptk_len,
                             const uint8_t aa[DOT11_MAC_LEN], const uint8_t spa[DOT11_MAC_LEN],
                             const uint8_t anonce[DOT11_NONCE_LEN],
                             const uint8_t snonce[DOT11_NONCE_LEN], uint8_t *ptk)
{
    uint8_t data[DOT11_PTK_DATA_LEN];
    dot11_ptk_data(aa, spa, anonce, snonce, data);
    dot11_kdf_sha256(pmk, DOT11_PMK_LEN, "Pairwise key expansion", data, sizeof data, ptk, ptk_len);
}

void dot11_derive_gtk(const uint8_t gmk[DOT11_PMK_LEN], const uint8_t aa[DOT11_MAC_LEN],
                      const uint8_t gnonce[DOT11_NONCE_LEN], uint8_t gtk[DOT11_PMK_LEN])
{
    uint8_t data[DOT11_MAC_LEN + DOT11_NONCE_LEN];
    memcpy(data, aa, DOT11_MAC_LEN);
    memcpy(data + DOT11_MAC_LEN, gnonce, DOT11_NONCE_LEN);
    dot11_prf_sha1(gmk, DOT11_PMK_LEN, "Group key expansion", data, sizeof data, gtk, DOT11_PMK_LEN);
}

void dot11_derive_pmkr0(const uint8_t xxkey[DOT11_PMK_LEN], const uint8_t *ssid, size_t ssid_len,
                        uint16_t mdid, const uint8_t *r0khid, size_t r0khid_len,
                        const uint8_t s0khid[DOT11_MAC_LEN], uint8_t pmk_r0[DOT11_PMK_LEN],
                        uint8_t pmkr0name[DOT11_KEY_NAME_LEN])
{
    UGW_ASSERT(ssid_len <= DOT11_SSID_MAX && r0khid_len <= DOT11_FT_R0KH_ID_MAX);
    uint8_t context[1 + DOT11_SSID_MAX + 2 + 1 + DOT11_FT_R0KH_ID_MAX + DOT11_MAC_LEN];
    size_t len = 0;
    context[len++] = uint8_t(ssid_len);
    if (ssid_len) // an empty SSID may come without a buffer
        memcpy(context + len, ssid, ssid_len);
    len += ssid_len;
    store_le16(context + len, mdid);
    len += 2;
    context[len++] = uint8_t(r0khid_len);
    if (r0khid_len)
        memcpy(context + len, r0khid, r0khid_len);
    len += r0khid_len;
    memcpy(context + len, s0khid, DOT11_MAC_LEN);
    len += DOT11_MAC_LEN;

    uint8_t r0_key_data[48]; // PMK-R0, then PMK-R0-Name-Salt
    sha256_ctx sha;
    uint8_t digest[SHA256_DIGEST_LEN];
    secure_wipe_guard wipe_r0_key_data(r0_key_data);
    secure_wipe_guard wipe_sha(sha);
    secure_wipe_guard wipe_digest(digest);
    dot11_kdf_sha256(xxkey, DOT11_PMK_LEN, "FT-R0", context, len, r0_key_data, sizeof r0_key_data);
    memcpy(pmk_r0, r0_key_data, DOT11_PMK_LEN);
    sha256_init(&sha);
    sha256_update(&sha, "FT-R0N", 6);
    sha256_update(&sha, r0_key_data + DOT11_PMK_LEN, 16);
    sha256_final(&sha, digest);
    memcpy(pmkr0name, digest, DOT11_KEY_NAME_LEN);
}

void dot11_derive_pmkr1_keyed(const hmac_sha256_ctx *pmk_r0, const uint8_t r1khid[DOT11_MAC_LEN],
                              const uint8_t s1khid[DOT11_MAC_LEN], uint8_t pmk_r1[DOT11_PMK_LEN])
{
    uint8_t context[2 * DOT11_MAC_LEN];
    memcpy(context, r1khid, DOT11_MAC_LEN);
    memcpy(context + DOT11_MAC_LEN, s1khid, DOT11_MAC_LEN);
    kdf_sha256_keyed(*pmk_r0, "FT-R1", context, sizeof context, pmk_r1, DOT11_PMK_LEN);
}

void dot11_derive_pmkr1(const uint8_t pmk_r0[DOT11_PMK_LEN], const uint8_t r1khid[DOT11_MAC_LEN],
                        const uint8_t s1khid[DOT11_MAC_LEN], uint8_t pmk_r1[DOT11_PMK_LEN])
{
    hmac_sha256_ctx keyed;
    secure_wipe_guard wipe_keyed(keyed);
    hmac_sha256_init(&keyed, pmk_r0, DOT11_PMK_LEN);
    dot11_derive_pmkr1_keyed(&keyed, r1khid, s1khid, pmk_r1);
}

void dot11_derive_pmkr1name(const uint8_t pmkr0name[DOT11_KEY_NAME_LEN],
                            const uint8_t r1khid[DOT11_MAC_LEN], const uint8_t s1khid[DOT11_MAC_LEN],
                            uint8_t pmkr1name[DOT11_KEY_NAME_LEN])
{
    sha256_ctx sha;
    uint8_t digest[SHA256_DIGEST_LEN];
    sha256_init(&sha);
    sha256_update(&sha, "FT-R1N", 6);
    sha256_update(&sha, pmkr0name, DOT11_KEY_NAME_LEN);
    sha256_update(&sha, r1khid, DOT11_MAC_LEN);
    sha256_update(&sha, s1khid, DOT11_MAC_LEN);
    sha256_final(&sha, digest);
    memcpy(pmkr1name, digest, DOT11_KEY_NAME_LEN);
}

void dot11_derive_ptk_ft(const uint8_t pmk_r1[DOT11_PMK_LEN], size_t ptk_len,
                         const uint8_t bssid[DOT11_MAC_LEN], const uint8_t sta[DOT11_MAC_LEN],
                         const uint8_t anonce[DOT11_NONCE_LEN],
                         const uint8_t snonce[DOT11_NONCE_LEN], uint8_t *ptk)
{
    uint8_t context[DOT11_PTK_DATA_LEN];
    memcpy(context, snonce, DOT11_NONCE_LEN);
    memcpy(context + DOT11_NONCE_LEN, anonce, DOT11_NONCE_LEN);
    memcpy(context + 2 * DOT11_NONCE_LEN, bssid, DOT11_MAC_LEN);
    memcpy(context + 2 * DOT11_NONCE_LEN + DOT11_MAC_LEN, sta, DOT11_MAC_LEN);
    dot11_kdf_sha256(pmk_r1, DOT11_PMK_LEN, "FT-PTK", context, sizeof context, ptk, ptk_len);
}

void dot11_key_copy(uint8_t dst[DOT11_PMK_LEN], const uint8_t src[DOT11_PMK_LEN])
{
    memcpy(dst, src, DOT11_PMK_LEN);
}
