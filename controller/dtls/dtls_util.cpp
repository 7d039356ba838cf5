#include "controller/dtls/dtls_util.h"

#include <cstring>
#include <netinet/in.h>

#include "common/crypto/hmac.h"
#include "common/crypto/secure.h"
#include "common/fatal.h"
#include "common/system.h"
#include "common/timer.h"

void dtls_prf(uint8_t *out, size_t out_length, const char *label, const uint8_t *secret,
              size_t secret_length, const uint8_t *seed1, size_t seed1_length,
              const uint8_t *seed2, size_t seed2_length)
{
    size_t label_length = strlen(label);
    // The keyed inner and outer states are set up once and copied per block.
    hmac_sha256_ctx keyed;
    hmac_sha256_init(&keyed, secret, secret_length);

    uint8_t a[SHA256_DIGEST_LEN];
    uint8_t block[SHA256_DIGEST_LEN];
    hmac_sha256_ctx h = keyed;
    hmac_sha256_update(&h, label, label_length);
    hmac_sha256_update(&h, seed1, seed1_length);
    hmac_sha256_update(&h, seed2, seed2_length);
    hmac_sha256_final(&h, a);

    while (out_length) {
        h = keyed;
        hmac_sha256_update(&h, a, sizeof a);
        hmac_sha256_update(&h, label, label_length);
        hmac_sha256_update(&h, seed1, seed1_length);
        hmac_sha256_update(&h, seed2, seed2_length);
        hmac_sha256_final(&h, block);
        size_t n = out_length < sizeof block ? out_length : sizeof block;
        memcpy(out, block, n);
        out += n;
        out_length -= n;
        if (out_length) {
            h = keyed;
            hmac_sha256_update(&h, a, sizeof a);
            hmac_sha256_final(&h, a);
        }
    }
    secure_wipe(&keyed, sizeof keyed);
    secure_wipe(&h, sizeof h);
    secure_wipe(a, sizeof a);
    secure_wipe(block, sizeof block);
}

void dtls_master_secret(uint8_t master[DTLS_MASTER_SECRET_SIZE], const uint8_t *premaster,
                        size_t premaster_length, const uint8_t client_random[DTLS_RANDOM_SIZE],
                        const uint8_t server_random[DTLS_RANDOM_SIZE])
{
    dtls_prf(master, DTLS_MASTER_SECRET_SIZE, "master secret", premaster, premaster_length,
             client_random, DTLS_RANDOM_SIZE, server_random, DTLS_RANDOM_SIZE);
}

void dtls_derive_keys(dtls_key_block *kb, const dtls_security_parameters *params,
                      const uint8_t master[DTLS_MASTER_SECRET_SIZE],
                      const uint8_t client_random[DTLS_RANDOM_SIZE],
                      const uint8_t server_random[DTLS_RANDOM_SIZE])
{
    size_t m = params->mac_key_length, k = params->enc_key_length, i = params->fixed_iv_length;
    UGW_ASSERT(m + k + i <= DTLS_KEY_SIZE);
    dtls_prf(kb->bytes, sizeof kb->bytes, "key expansion", master, DTLS_MASTER_SECRET_SIZE,
             server_random, DTLS_RANDOM_SIZE, client_random, DTLS_RANDOM_SIZE);
    kb->client_write_mac_key = 0;
    kb->server_write_mac_key = static_cast<uint8_t>(m);
    kb->client_write_key = static_cast<uint8_t>(2 * m);
    kb->server_write_key = static_cast<uint8_t>(2 * m + k);
    kb->client_write_iv = static_cast<uint8_t>(2 * m + 2 * k);
    kb->server_write_iv = static_cast<uint8_t>(2 * m + 2 * k + i);
}

void dtls_make_finished_verify(const sha256_ctx *hash,
                               const uint8_t master[DTLS_MASTER_SECRET_SIZE], bool server_label,
                               uint8_t out[DTLS_FINISHED_SIZE])
{
    sha256_ctx copy = *hash;
    uint8_t digest[SHA256_DIGEST_LEN];
    sha256_final(&copy, digest);
    dtls_prf(out, DTLS_FINISHED_SIZE, server_label ? "server finished" : "client finished", master,
             DTLS_MASTER_SECRET_SIZE, digest, sizeof digest, nullptr, 0);
    secure_wipe(&copy, sizeof copy);
    secure_wipe(digest, sizeof digest);
}

int dtls_finished_check(const uint8_t expected[DTLS_FINISHED_SIZE], const uint8_t *body,
                        size_t length)
{
    if (length != DTLS_FINISHED_SIZE)
        return -1;
    return secure_compare(expected, body, DTLS_FINISHED_SIZE) == 0 ? 0 : -1;
}

size_t dtls_psk_premaster(uint8_t out[DTLS_PSK_PREMASTER_MAX], const uint8_t *psk,
                          size_t psk_length)
{
    UGW_ASSERT(psk_length <= DTLS_PSK_MAX);
    dtls_put_u16(out, static_cast<uint32_t>(psk_length));
    memset(out + 2, 0, psk_length);
    dtls_put_u16(out + 2 + psk_length, static_cast<uint32_t>(psk_length));
    memcpy(out + 4 + psk_length, psk, psk_length);
    return 2 * psk_length + 4;
}

int dtls_rsa_premaster(uint8_t out[DTLS_RSA_PREMASTER_SIZE], const uint8_t version[2])
{
    out[0] = version[0];
    out[1] = version[1];
    return system_random(out + 2, DTLS_RSA_PREMASTER_SIZE - 2) == 0 ? 0 : -1;
}

int dtls_make_random(uint8_t out[DTLS_RANDOM_SIZE])
{
    uint32_t now = clock_sec(); // refreshes the clock once if it was never set
    out[0] = static_cast<uint8_t>(now >> 24);
    out[1] = static_cast<uint8_t>(now >> 16);
    out[2] = static_cast<uint8_t>(now >> 8);
    out[3] = static_cast<uint8_t>(now);
    return system_random(out + 4, DTLS_RANDOM_SIZE - 4) == 0 ? 0 : -1;
}

int dtls_version_compare(const uint8_t a[2], const uint8_t b[2])
{
    int d = static_cast<int>(dtls_get_u16(b)) - static_cast<int>(dtls_get_u16(a));
    return (d > 0) - (d < 0);
}

void dtls_version_min(uint8_t out[2], const uint8_t a[2], const uint8_t b[2])
{
    const uint8_t *older = dtls_version_compare(a, b) <= 0 ? a : b;
    out[0] = older[0];
    out[1] = older[1];
}

bool dtls_version_is_null(const uint8_t v[2])
{
    return v[0] == 0 && v[1] == 0;
}

int dtls_negotiate_version(const sockaddr *peer, const uint8_t offered[2], uint8_t selected[2])
{
    dtls_version_min(selected, offered, DTLS_VERSION_1_2);
    if (dtls_version_compare(selected, DTLS_VERSION_1_2) != 0) {
        dtls_log(ULOG_DEBUG, peer, "%sUnsupported DTLS version %u.%u",
                 unsigned(uint8_t(~offered[0])), unsigned(uint8_t(~offered[1])));
        return -1;
    }
    dtls_log(ULOG_DETAIL, peer, "%sSelecting DTLS protocol version %u.%u",
             unsigned(uint8_t(~selected[0])), unsigned(uint8_t(~selected[1])));
    return 0;
}

int dtls_read_vector(const uint8_t **cursor, size_t *remaining, size_t max, const uint8_t **out)
{
    *out = nullptr;
    size_t prefix = max < 0x100 ? 1 : max < 0x10000 ? 2 : max < 0x1000000 ? 3 : 0;
    if (prefix == 0 || *remaining < prefix)
        return -1;
    const uint8_t *p = *cursor;
    size_t length = 0;
    for (size_t i = 0; i < prefix; i++)
        length = length << 8 | p[i];
    if (length > max || length > *remaining - prefix)
        return -1;
    *out = p;
    *cursor = p + prefix + length;
    *remaining -= prefix + length;
    return 0;
}

namespace {

// Walks the entries; calls visit(entry) for each until it returns true.
// Returns the count walked, or -1 for a malformed block.
template <typename Visit> int ext_walk(const uint8_t *block, size_t available, Visit visit)
{
    if (available < 2)
        return -1;
    size_t total = dtls_get_u16(block);
    if (total > available - 2)
        return -1;
    const uint8_t *p = block + 2;
    int count = 0;
    while (total >= 4) {
        size_t length = dtls_get_u16(p + 2);
        if (length > total - 4)
            return -1;
        if (visit(p))
            return count;
        count++;
        p += 4 + length;
        total -= 4 + length;
    }
    return total == 0 ? count : -1;
}

} // namespace

int dtls_ext_count(const uint8_t *block, size_t available)
{
    return ext_walk(block, available, [](const uint8_t *) { return false; });
}

int dtls_ext_find(const uint8_t *block, size_t available, uint16_t type, const uint8_t **out)
{
    const uint8_t *found = nullptr;
    ext_walk(block, available, [&](const uint8_t *entry) {
        if (dtls_get_u16(entry) != type)
            return false;
        found = entry;
        return true;
    });
    *out = found;
    return found ? 0 : -1;
}

uint32_t dtls_get_u24(const uint8_t *p)
{
    return uint32_t(p[0]) << 16 | uint32_t(p[1]) << 8 | p[2];
}

void dtls_put_u24(uint8_t *p, uint32_t v)
{
    p[0] = static_cast<uint8_t>(v >> 16);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v);
}

void dtls_get_u48(const uint8_t *p, uint32_t *hi, uint32_t *lo)
{
    *hi = dtls_get_u16(p);
    *lo = uint32_t(p[2]) << 24 | uint32_t(p[3]) << 16 | uint32_t(p[4]) << 8 | p[5];
}

void dtls_put_u48(uint8_t *p, uint32_t hi, uint32_t lo)
{
    dtls_put_u16(p, hi);
    p[2] = static_cast<uint8_t>(lo >> 24);
    p[3] = static_cast<uint8_t>(lo >> 16);
    p[4] = static_cast<uint8_t>(lo >> 8);
    p[5] = static_cast<uint8_t>(lo);
}

ssize_t dtls_find_byte(const uint8_t *buffer, size_t length, uint8_t value)
{
    const void *hit = memchr(buffer, value, length);
    return hit ? static_cast<const uint8_t *>(hit) - buffer : -1;
}

uint16_t dtls_payload_mtu(size_t path_mtu, const sockaddr *peer)
{
    size_t overhead = (peer && peer->sa_family == AF_INET6) ? 48 : 28;
    if (path_mtu <= overhead)
        return 0;
    size_t payload = path_mtu - overhead;
    return static_cast<uint16_t>(payload > UINT16_MAX ? UINT16_MAX : payload);
}

const char *dtls_loghdr(const sockaddr *peer, char buffer[DTLS_LOGHDR_SIZE])
{
    buffer[0] = 0;
    if (!peer)
        return buffer;
    const sockaddr *sa = peer;
    UGW_ASSERT(sa->sa_family == AF_INET || sa->sa_family == AF_INET6);
    sockaddr_format(sa, buffer, SOCKADDR_FMT_SIZE, 0);
    strcat(buffer, ": ");
    return buffer;
}
