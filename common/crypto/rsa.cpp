#include "common/crypto/rsa.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "common/crypto/der.h"
#include "common/system.h"
#include "common/crypto/secure.h"
#include "common/crypto/sha1.h"
#include "common/crypto/sha256.h"

namespace {

constexpr uint8_t kRsaEncryption[9] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x01};
constexpr size_t kMaxBlock = RSA_MAX_BITS / 8;

struct owned {
    bigint *p;
    owned() : p(bi_new(32)) {}
    ~owned() { bi_free(p); }
    owned(const owned &) = delete;
    owned &operator=(const owned &) = delete;
};

int fail(int err)
{
    errno = err;
    return -1;
}

// Big-endian, left-padded with zeros to k bytes.
int to_fixed(const bigint *x, uint8_t *out, size_t k)
{
    size_t n = bi_num_bytes(x);
    if (n > k)
        return fail(ERANGE);
    memset(out, 0, k - n);
    bi_to_bytes(x, out + (k - n), n, false);
    return 0;
}

bool has_public(const rsa_key *key)
{
    return key && key->n && key->e && rsa_size(key) <= kMaxBlock;
}

bool has_private(const rsa_key *key)
{
    return has_public(key) && key->p && key->q && key->dp && key->dq && key->qinv &&
           !bi_is_zero(key->p) && !bi_is_zero(key->q);
}

// m = m2 + q * (qinv * (m1 - m2) mod p), with m1 in Montgomery form mod p
// and m2 plain. Montgomery products take qinv from that form, and keep
// the branches and memory indexes free of the values.
int crt_combine(rsa_key *key, const bigint *m1_mont, const bigint *m2, bigint *out)
{
    owned t, h, qinv;
    if (!t.p || !h.p || !qinv.p) return -1;
    const bigint *qi = key->qinv;
    if (bi_cmp(qi, key->p) >= 0) { // never for a sound key
        if (bi_barrett_divmod(nullptr, qinv.p, qi, key->p, &key->ctx_p, 2 * key->bits) < 0)
            return -1;
        qi = qinv.p;
    }
    if (bi_mont_enter(t.p, m2, key->p, &key->ctx_p) < 0 ||
        bi_modsub_ct(h.p, m1_mont, t.p, key->p) < 0 ||
        bi_mont_mul(h.p, qi, h.p, key->p, &key->ctx_p) < 0 || bi_mul(t.p, h.p, key->q) < 0)
        return -1;
    return bi_add(out, t.p, m2);
}

// c^d mod n through the primes; c below n.
int crt_power(rsa_key *key, const bigint *c, bigint *out)
{
    owned m1, m2;
    if (!m1.p || !m2.p)
        return -1;
    if (bi_modexp_ct_mont(m1.p, c, key->dp, key->p, &key->ctx_p) < 0 ||
        bi_modexp_ct(m2.p, c, key->dq, key->q, &key->ctx_q) < 0)
        return -1;
    return crt_combine(key, m1.p, m2.p, out);
}

// A fresh blinding pair, r^e and r^-1 mod n (the inverse by Fermat modulo
// each prime), both kept in Montgomery form mod n.
int blinding_setup(rsa_key *key)
{
    size_t k = rsa_size(key);
    uint8_t rb[kMaxBlock];
    owned r, rp, rq, pm2, qm2;
    if (!r.p || !rp.p || !rq.p || !pm2.p || !qm2.p)
        return -1;
    if (!key->blind && !(key->blind = bi_new(key->bits)))
        return -1;
    if (!key->unblind && !(key->unblind = bi_new(key->bits)))
        return -1;
    if (bi_sub_u32(pm2.p, key->p, 2) < 0 || bi_sub_u32(qm2.p, key->q, 2) < 0)
        return -1;
    for (int tries = 0; tries < 16; tries++) {
        if (rsa_random_bytes(key, rb, k) < 0)
            return -1;
        bigint *x = bi_from_bytes(rb, k);
        secure_wipe(rb, k);
        if (!x)
            return -1;
        int rc = bi_barrett_divmod(nullptr, r.p, x, key->n, &key->ctx_n, 2 * key->bits);
        bi_free(x);
        if (rc < 0)
            return -1;
        if (bi_modexp_ct_mont(rp.p, r.p, pm2.p, key->p, &key->ctx_p) < 0 ||
            bi_modexp_ct(rq.p, r.p, qm2.p, key->q, &key->ctx_q) < 0)
            return -1;
        if (bi_is_zero(rp.p) || bi_is_zero(rq.p)) // r shares a factor with n
            continue;
        if (crt_combine(key, rp.p, rq.p, key->unblind) < 0 ||
            bi_mont_enter(key->unblind, key->unblind, key->n, &key->ctx_n) < 0 ||
            bi_modexp(key->blind, r.p, key->e, key->n, &key->ctx_n) < 0 ||
            bi_mont_enter(key->blind, key->blind, key->n, &key->ctx_n) < 0)
            return -1;
        return 0;
    }
    return fail(EAGAIN);
}

// The message of a padded block, moved to the front of out without
// branches or addresses that depend on where it starts. src holds the L
// bytes from the earliest possible message start; shift says how much
// later it really starts.
void ct_extract(const uint8_t *src, size_t L, uint32_t shift, uint32_t msg_len, uint32_t good,
                uint8_t *out, size_t out_size)
{
    uint8_t tmp[kMaxBlock];
    memcpy(tmp, src, L);
    for (uint32_t bit = 0; (size_t(1) << bit) <= L; bit++) {
        size_t step = size_t(1) << bit;
        uint32_t m = 0u - ((shift >> bit) & 1);
        for (size_t i = 0; i < L; i++) {
            uint8_t next = i + step < L ? tmp[i + step] : 0;
            tmp[i] = uint8_t(ct_select(m, next, tmp[i]));
        }
    }
    for (size_t i = 0; i < out_size; i++) {
        uint32_t keep = good & ct_lt(uint32_t(i), msg_len);
        out[i] = i < L ? uint8_t(tmp[i] & keep) : 0;
    }
    secure_wipe(tmp, L);
}

} // namespace

rsa_key *rsa_new()
{
    rsa_key *key = static_cast<rsa_key *>(calloc(1, sizeof *key));
    if (key)
        key->refcount = 1;
    return key;
}

rsa_key *rsa_ref(rsa_key *key)
{
    if (key)
        key->refcount++;
    return key;
}

void rsa_free(rsa_key *key)
{
    if (!key || --key->refcount > 0)
        return;
    for (bigint *b : {key->n, key->e, key->d, key->p, key->q, key->dp, key->dq, key->qinv,
                      key->blind, key->unblind})
        bi_free(b);
    bi_barrett_free(&key->ctx_n);
    bi_barrett_free(&key->ctx_p);
    bi_barrett_free(&key->ctx_q);
    secure_wipe(key, sizeof *key);
    free(key);
}

size_t rsa_size(const rsa_key *key)
{
    return (key->bits + 7) / 8;
}

rsa_key *rsa_parse_spki(const uint8_t *der, size_t len)
{
    der_item outer[] = {
        {DER_SEQUENCE, 1, 0, 0, 0, nullptr, nullptr},
        {DER_SEQUENCE, 1, 1, 0, 0, nullptr, nullptr},
        {DER_OID, 0, 2, 0, 0, nullptr, nullptr},
        {DER_NULL, 0, 2, 0, 0, nullptr, nullptr},
        {DER_BIT_STRING, 0, 1, 0, 0, nullptr, nullptr},
    };
    if (!der || der_parse(der, len, outer, 5) < 0)
        return nullptr;
    const der_item &oid = outer[2], &null = outer[3], &bits = outer[4];
    if (oid.length != sizeof kRsaEncryption || memcmp(der + oid.offset, kRsaEncryption, oid.length))
        return nullptr;
    if (null.length != 0 || bits.length < 1 || der[bits.offset] != 0) // unused bits
        return nullptr;
    bigint *n = nullptr, *e = nullptr;
    der_item inner[] = {
        {DER_SEQUENCE, 1, 0, 0, 0, nullptr, nullptr},
        {DER_INTEGER, 0, 1, 0, 0, &n, nullptr},
        {DER_INTEGER, 0, 1, 0, 0, &e, nullptr},
    };
    const uint8_t *pk = der + bits.offset + 1;
    rsa_key *key = nullptr;
    if (der_parse(pk, bits.length - 1, inner, 3) == 0 && der_get_integers(pk, inner, 3) == 0) {
        uint32_t nbits = bi_num_bits(n);
        bool sound = nbits >= RSA_MIN_BITS && nbits <= RSA_MAX_BITS && bi_is_odd(n) && bi_is_odd(e) &&
                     bi_num_bits(e) >= 2 && bi_cmp(e, n) < 0; // odd with 2 bits: e >= 3
        if (sound && (key = rsa_new())) {
            key->n = n;
            key->e = e;
            key->bits = nbits;
            return key;
        }
    }
    bi_free(n);
    bi_free(e);
    return nullptr;
}

size_t rsa_encode_spki(uint8_t *buf, size_t size, const rsa_key *key)
{
    if (!key || !key->n || !key->e)
        return 0;
    bigint *n = key->n, *e = key->e;
    der_item inner[] = {
        {DER_SEQUENCE, 1, 0, 0, 0, nullptr, nullptr},
        {DER_INTEGER, 0, 1, 0, 0, &n, nullptr},
        {DER_INTEGER, 0, 1, 0, 0, &e, nullptr},
    };
    size_t inner_len = der_layout(inner, 3);
    der_item outer[] = {
        {DER_SEQUENCE, 1, 0, 0, 0, nullptr, nullptr},
        {DER_SEQUENCE, 1, 1, 0, 0, nullptr, nullptr},
        {DER_OID, 0, 2, 0, sizeof kRsaEncryption, nullptr, kRsaEncryption},
        {DER_NULL, 0, 2, 0, 0, nullptr, nullptr},
        {DER_BIT_STRING, 0, 1, 0, inner_len + 1, nullptr, nullptr},
    };
    size_t total = der_layout(outer, 5);
    if (buf && size >= total) {
        der_write(buf, outer, 5);
        buf[outer[4].offset] = 0; // no unused bits
        der_write(buf + outer[4].offset + 1, inner, 3);
    }
    return total;
}

int rsa_key_fingerprint(const rsa_key *key, uint8_t out[RSA_FINGERPRINT_LEN])
{
    size_t len = rsa_encode_spki(nullptr, 0, key);
    if (!len)
        return fail(EINVAL);
    uint8_t *der = static_cast<uint8_t *>(malloc(len));
    if (!der)
        return -1;
    rsa_encode_spki(der, len, key);
    sha256_ctx ctx;
    sha256_init(&ctx);
    sha256_update(&ctx, der, len);
    sha256_final(&ctx, out);
    free(der);
    return 0;
}

int rsa_fingerprint_match(const uint8_t *fingerprint, const uint8_t *pinned, uint32_t bits)
{
    if (bits < 64 || bits > 256)
        return -1;
    uint32_t full = bits / 8, rest = bits % 8;
    uint8_t diff = secure_compare(fingerprint, pinned, full) ? 1 : 0;
    if (rest)
        diff |= uint8_t((fingerprint[full] ^ pinned[full]) & (0xff00 >> rest));
    return diff ? -1 : 0;
}

int rsa_public(rsa_key *key, const uint8_t *in, uint8_t *out)
{
    if (!has_public(key))
        return fail(EINVAL);
    size_t k = rsa_size(key);
    owned c;
    bigint *m = bi_from_bytes(in, k);
    if (!m || !c.p) {
        bi_free(m);
        return -1;
    }
    int rc = -1;
    if (bi_cmp(m, key->n) >= 0)
        errno = EINVAL;
    else if (bi_modexp(c.p, m, key->e, key->n, &key->ctx_n) == 0 && to_fixed(c.p, out, k) == 0)
        rc = int(k);
    bi_free(m);
    return rc;
}

int rsa_private(rsa_key *key, const uint8_t *in, uint8_t *out)
{
    if (!has_private(key))
        return fail(EINVAL);
    size_t k = rsa_size(key);
    bigint *c = bi_from_bytes(in, k);
    if (!c)
        return -1;
    owned m;
    int rc = -1;
    if (bi_cmp(c, key->n) >= 0) {
        errno = EINVAL;
    } else if (m.p && (key->blind || blinding_setup(key) == 0) &&
               bi_mont_mul(c, c, key->blind, key->n, &key->ctx_n) == 0 &&
               crt_power(key, c, m.p) == 0 &&
               bi_mont_mul(m.p, m.p, key->unblind, key->n, &key->ctx_n) == 0 &&
               to_fixed(m.p, out, k) == 0 &&
               bi_mont_mul(key->blind, key->blind, key->blind, key->n, &key->ctx_n) == 0 &&
               bi_mont_mul(key->unblind, key->unblind, key->unblind, key->n, &key->ctx_n) == 0) {
        rc = int(k);
    }
    bi_free(c);
    return rc;
}

int rsa_random_bytes(rsa_key *key, uint8_t *buf, size_t n)
{
    if (n > RSA_POOL_SIZE)
        return system_random(buf, n);
    if (key->pool_left < n) {
        // The unread bytes stay at the front; the rest is refilled.
        if (system_random(key->pool + key->pool_left, RSA_POOL_SIZE - key->pool_left) < 0) {
            secure_wipe(key->pool, sizeof key->pool);
            key->pool_left = 0;
            return -1;
        }
        key->pool_left = RSA_POOL_SIZE;
    }
    key->pool_left -= uint32_t(n);
    memcpy(buf, key->pool + key->pool_left, n);
    secure_wipe(key->pool + key->pool_left, n);
    return 0;
}

void mgf1_sha1(const uint8_t *seed, size_t seed_len, uint8_t *out, size_t out_len)
{
    uint8_t digest[SHA1_DIGEST_LEN];
    for (uint32_t counter = 0; out_len; counter++) {
        uint8_t c[4] = {uint8_t(counter >> 24), uint8_t(counter >> 16), uint8_t(counter >> 8),
                        uint8_t(counter)};
        sha1_ctx ctx;
        sha1_init(&ctx);
        sha1_update(&ctx, seed, seed_len);
        sha1_update(&ctx, c, 4);
        sha1_final(&ctx, digest);
        size_t n = out_len < sizeof digest ? out_len : sizeof digest;
        for (size_t i = 0; i < n; i++)
            out[i] ^= digest[i];
        out += n;
        out_len -= n;
    }
    secure_wipe(digest, sizeof digest);
}

int rsa_pkcs1_pad(rsa_key *key, uint8_t *block, size_t k, const uint8_t *msg, size_t len)
{
    if (k < 11 || len > k - 11)
        return fail(EMSGSIZE);
    size_t ps = k - len - 3;
    block[0] = 0;
    block[1] = 2;
    uint8_t *pad = block + 2;
    size_t have = 0;
    while (have < ps) {
        if (rsa_random_bytes(key, pad + have, ps - have) < 0)
            return -1;
        size_t kept = have;
        for (size_t i = have; i < ps; i++)
            if (pad[i])
                pad[kept++] = pad[i];
        have = kept;
    }
    block[2 + ps] = 0;
    if (len)
        memcpy(block + 3 + ps, msg, len);
    return 0;
}

int rsa_pkcs1_unpad(const uint8_t *block, size_t k, uint8_t *out, size_t out_size)
{
    if (k < 11 || k > kMaxBlock) {
        memset(out, 0, out_size);
        return fail(EINVAL);
    }
    uint32_t good = ct_eq(block[0], 0) & ct_eq(block[1], 2);
    uint32_t found = 0, sep = 0;
    for (size_t i = 2; i < k; i++) {
        uint32_t zero = ct_is_zero(block[i]);
        sep = ct_select(~found & zero, uint32_t(i), sep);
        found |= zero;
    }
    // At least eight padding bytes: the separator sits at index 10 or later.
    good &= found & ~ct_lt(sep, 10);
    uint32_t msg_len = uint32_t(k) - 1 - sep;
    good &= ~ct_lt(uint32_t(out_size), msg_len);
    uint32_t shift = ct_select(good, sep - 10, 0);
    ct_extract(block + 11, k - 11, shift, msg_len, good, out, out_size);
    int rc = int(ct_select(good, msg_len, uint32_t(-1)));
    errno = EBADMSG; // meaningful only when rc is -1; set either way
    return rc;
}

int rsa_oaep_encode(uint8_t *block, size_t k, const uint8_t *label, size_t label_len,
                    const uint8_t *msg, size_t len, const uint8_t seed[20])
{
    if (k <= 2 * SHA1_DIGEST_LEN + 2 || len > k - 2 * SHA1_DIGEST_LEN - 2)
        return fail(EMSGSIZE);
    uint8_t *masked_seed = block + 1, *db = block + 1 + SHA1_DIGEST_LEN;
    size_t db_len = k - 1 - SHA1_DIGEST_LEN;
    block[0] = 0;
    sha1_ctx ctx;
    sha1_init(&ctx);
    sha1_update(&ctx, label, label_len);
    sha1_final(&ctx, db);
    memset(db + SHA1_DIGEST_LEN, 0, db_len - SHA1_DIGEST_LEN - len - 1);
    db[db_len - len - 1] = 0x01;
    if (len)
        memcpy(db + db_len - len, msg, len);
    memcpy(masked_seed, seed, SHA1_DIGEST_LEN);
    mgf1_sha1(seed, SHA1_DIGEST_LEN, db, db_len);
    mgf1_sha1(db, db_len, masked_seed, SHA1_DIGEST_LEN);
    return 0;
}

int rsa_oaep_decode(const uint8_t *block, size_t k, const uint8_t *label, size_t label_len,
                    uint8_t *out, size_t out_size)
{
    if (k <= 2 * SHA1_DIGEST_LEN + 2 || k > kMaxBlock) {
        memset(out, 0, out_size);
        return fail(EINVAL);
    }
    size_t db_len = k - 1 - SHA1_DIGEST_LEN;
    uint8_t seed[SHA1_DIGEST_LEN], db[kMaxBlock], lhash[SHA1_DIGEST_LEN];
    memcpy(seed, block + 1, sizeof seed);
    memcpy(db, block + 1 + SHA1_DIGEST_LEN, db_len);
    mgf1_sha1(db, db_len, seed, sizeof seed);
    mgf1_sha1(seed, sizeof seed, db, db_len);
    sha1_ctx ctx;
    sha1_init(&ctx);
    sha1_update(&ctx, label, label_len);
    sha1_final(&ctx, lhash);
    uint32_t good = ct_eq(block[0], 0) & ct_is_zero(uint32_t(secure_compare(db, lhash, sizeof lhash)));
    // The first non-zero byte after the label hash must be 0x01.
    uint32_t found = 0, one_at = 0, bad = 0;
    for (size_t i = SHA1_DIGEST_LEN; i < db_len; i++) {
        uint32_t first = ~found & ~ct_is_zero(db[i]);
        one_at = ct_select(first, uint32_t(i), one_at);
        bad |= first & ~ct_eq(db[i], 1);
        found |= first;
    }
    good &= found & ~bad;
    uint32_t msg_len = uint32_t(db_len) - 1 - one_at;
    good &= ~ct_lt(uint32_t(out_size), msg_len);
    uint32_t shift = ct_select(good, one_at - SHA1_DIGEST_LEN, 0);
    ct_extract(db + SHA1_DIGEST_LEN + 1, db_len - SHA1_DIGEST_LEN - 1, shift, msg_len, good, out,
               out_size);
    secure_wipe(seed, sizeof seed);
    secure_wipe(db, db_len);
    int rc = int(ct_select(good, msg_len, uint32_t(-1)));
    errno = EBADMSG;
    return rc;
}

int rsa_encrypt(rsa_key *key, int mode, const uint8_t *label, size_t label_len, const uint8_t *in,
                size_t len, uint8_t *out)
{
    if (!has_public(key))
        return fail(EINVAL);
    size_t k = rsa_size(key);
    uint8_t block[kMaxBlock];
    int rc;
    switch (mode & RSA_PAD_MASK) {
    case RSA_PAD_OAEP: {
        uint8_t seed[SHA1_DIGEST_LEN];
        rc = rsa_random_bytes(key, seed, sizeof seed);
        if (rc == 0)
            rc = rsa_oaep_encode(block, k, label, label_len, in, len, seed);
        secure_wipe(seed, sizeof seed);
        break;
    }
    case RSA_PAD_PKCS1:
        rc = rsa_pkcs1_pad(key, block, k, in, len);
        break;
    default:
        return fail(EINVAL);
    }
    if (rc == 0) {
        switch ((mode >> RSA_OP_SHIFT) & 3) {
        case 0:
        case 1:
            rc = rsa_public(key, block, out);
            break;
        case 2:
            rc = rsa_private(key, block, out);
            break;
        default:
            rc = fail(EINVAL);
            break;
        }
    }
    secure_wipe(block, k);
    return rc;
}

int rsa_decrypt(rsa_key *key, int mode, const uint8_t *label, size_t label_len, const uint8_t *in,
                size_t len, uint8_t *out, size_t out_size)
{
    memset(out, 0, out_size);
    if (!has_public(key) || len != rsa_size(key))
        return fail(EINVAL);
    size_t k = len;
    uint8_t block[kMaxBlock];
    int rc;
    switch ((mode >> RSA_OP_SHIFT) & 3) {
    case 1:
        rc = rsa_public(key, in, block);
        break;
    case 0:
    case 2:
        rc = rsa_private(key, in, block);
        break;
    default:
        memcpy(block, in, k);
        rc = int(k);
        break;
    }
    if (rc < 0)
        return -1;
    switch (mode & RSA_PAD_MASK) {
    case RSA_PAD_OAEP:
        rc = rsa_oaep_decode(block, k, label, label_len, out, out_size);
        break;
    case RSA_PAD_PKCS1:
        rc = rsa_pkcs1_unpad(block, k, out, out_size);
        break;
    default:
        rc = fail(EINVAL);
        break;
    }
    secure_wipe(block, k);
    return rc;
}
