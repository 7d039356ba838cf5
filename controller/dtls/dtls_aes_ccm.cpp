#include "controller/dtls/dtls_aes_ccm.h"

#include <cstring>

#include "common/crypto/secure.h"
#include "common/fatal.h"
#include "common/packet.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace {

void xor_block(uint8_t *dst, const uint8_t *a, const uint8_t *b)
{
    uint64_t x0, x1, y0, y1;
    memcpy(&x0, a, 8);
    memcpy(&x1, a + 8, 8);
    memcpy(&y0, b, 8);
    memcpy(&y1, b + 8, 8);
    x0 ^= y0;
    x1 ^= y1;
    memcpy(dst, &x0, 8);
    memcpy(dst + 8, &x1, 8);
}

// Formats B0 and A0 and checks the parameters; the counter part of A0 is 0.
int ccm_format(const uint8_t *nonce, size_t nonce_length, size_t aad_length, size_t data_length,
               size_t tag_length, uint8_t b0[16], uint8_t a0[16])
{
    if (nonce_length < 7 || nonce_length > 13 || tag_length < 4 || tag_length > 16 ||
        (tag_length & 1) || aad_length >= 0xff00)
        return -1;
    size_t length_size = 15 - nonce_length;
    if (length_size < sizeof(size_t) && (data_length >> (8 * length_size)) != 0)
        return -1;
    b0[0] = static_cast<uint8_t>((aad_length ? 0x40 : 0) | ((tag_length - 2) / 2) << 3 |
                                 (length_size - 1));
    memcpy(b0 + 1, nonce, nonce_length);
    size_t n = data_length;
    for (size_t i = 0; i < length_size; i++, n >>= 8)
        b0[15 - i] = static_cast<uint8_t>(n);
    a0[0] = static_cast<uint8_t>(length_size - 1);
    memcpy(a0 + 1, nonce, nonce_length);
    memset(a0 + 1 + nonce_length, 0, length_size);
    return 0;
}

// The additional data in CBC-MAC blocks after B0: a 2-byte length prefix,
// zero-padded to whole blocks. Calls block(b) for each.
template <typename Block> void ccm_aad_blocks(const uint8_t *aad, size_t aad_length, Block block)
{
    if (!aad_length)
        return;
    uint8_t b[16] = {};
    b[0] = static_cast<uint8_t>(aad_length >> 8);
    b[1] = static_cast<uint8_t>(aad_length);
    size_t n = aad_length < 14 ? aad_length : 14;
    memcpy(b + 2, aad, n);
    block(b);
    for (size_t off = n; off < aad_length; off += 16) {
        size_t m = aad_length - off < 16 ? aad_length - off : 16;
        memset(b, 0, sizeof b);
        memcpy(b, aad + off, m);
        block(b);
    }
}

void ctr_increment(uint8_t ctr[16], size_t length_size)
{
    for (size_t i = 15; i >= 16 - length_size; i--)
        if (++ctr[i])
            break;
}

// --- Streaming CCM over the selected AES block function ---

void generic_set_key(dtls_cipher_state *key, const uint8_t k[16])
{
    aes_set_key(&key->aes, k);
}

void generic_wipe(dtls_cipher_state *key)
{
    secure_wipe(key, sizeof *key);
}

int generic_start(ccm_ctx *ctx, const dtls_cipher_state *key, const uint8_t *nonce,
                  size_t nonce_length, const uint8_t *aad, size_t aad_length, size_t data_length,
                  size_t tag_length)
{
    uint8_t b0[16];
    if (ccm_format(nonce, nonce_length, aad_length, data_length, tag_length, b0, ctx->ctr) < 0)
        return -1;
    ctx->key = key;
    // B0 and the first block of additional data in one chain, then the
    // rest of the additional data straight from the caller's buffer.
    uint8_t blocks[32] = {};
    memcpy(blocks, b0, 16);
    size_t head = aad_length < 14 ? aad_length : 14;
    if (aad_length) {
        blocks[16] = static_cast<uint8_t>(aad_length >> 8);
        blocks[17] = static_cast<uint8_t>(aad_length);
        memcpy(blocks + 18, aad, head);
    }
    memset(ctx->mac, 0, sizeof ctx->mac);
    aes_cbc_mac(&key->aes, ctx->mac, blocks, aad_length ? 2 : 1);
    if (aad_length > head) {
        size_t rest = aad_length - head, whole = rest / 16;
        aes_cbc_mac(&key->aes, ctx->mac, aad + head, whole);
        if (rest % 16) {
            memset(blocks, 0, 16);
            memcpy(blocks, aad + head + 16 * whole, rest % 16);
            aes_cbc_mac(&key->aes, ctx->mac, blocks, 1);
        }
    }
    aes_encrypt(&key->aes, ctx->ctr, ctx->s0);
    ctx->length_size = static_cast<uint8_t>(15 - nonce_length);
    ctr_increment(ctx->ctr, ctx->length_size);
    ctx->remaining = static_cast<uint32_t>(data_length);
    ctx->fill = 0;
    ctx->tag_length = static_cast<uint8_t>(tag_length);
    return 0;
}

template <bool encrypting>
void generic_update(ccm_ctx *ctx, const uint8_t *in, uint8_t *out, size_t length)
{
    UGW_ASSERT(length <= ctx->remaining);
    ctx->remaining -= static_cast<uint32_t>(length);
    const aes_key *key = &ctx->key->aes;
    // Whole blocks: the counter stream and the CBC-MAC over the plaintext in
    // one call that keeps the round keys for the whole run. The counter
    // never carries out of its length field (data_length fits in it), so the
    // 128-bit increment of the counter mode gives the same blocks.
    while (length) {
        if (ctx->fill == 0 && length >= 16) {
            size_t n = length / 16;
            aes_ccm_blocks(key, ctx->mac, ctx->ctr, in, out, n, !encrypting);
            in += 16 * n;
            out += 16 * n;
            length -= 16 * n;
            continue;
        }
        if (ctx->fill == 0) {
            aes_encrypt(key, ctx->ctr, ctx->stream);
            ctr_increment(ctx->ctr, ctx->length_size);
        }
        uint8_t c = *in++;
        uint8_t p = encrypting ? c : static_cast<uint8_t>(c ^ ctx->stream[ctx->fill]);
        *out++ = static_cast<uint8_t>(c ^ ctx->stream[ctx->fill]);
        ctx->mac[ctx->fill] ^= p;
        length--;
        if (++ctx->fill == 16) {
            aes_encrypt(key, ctx->mac, ctx->mac);
            ctx->fill = 0;
        }
    }
}

void generic_tag(ccm_ctx *ctx, uint8_t tag[16])
{
    UGW_ASSERT(ctx->remaining == 0);
    if (ctx->fill)
        aes_encrypt(&ctx->key->aes, ctx->mac, ctx->mac);
    xor_block(tag, ctx->mac, ctx->s0);
}

void generic_encrypt_final(ccm_ctx *ctx, uint8_t *tag)
{
    uint8_t full[16];
    generic_tag(ctx, full);
    memcpy(tag, full, ctx->tag_length);
    secure_wipe(full, sizeof full);
    secure_wipe(ctx, sizeof *ctx);
}

int generic_decrypt_final(ccm_ctx *ctx, const uint8_t *tag)
{
    uint8_t full[16];
    generic_tag(ctx, full);
    int bad = secure_compare(full, tag, ctx->tag_length);
    secure_wipe(full, sizeof full);
    secure_wipe(ctx, sizeof *ctx);
    return bad ? -1 : 0;
}

int generic_encrypt(const dtls_cipher_state *key, const uint8_t *nonce, size_t nonce_length,
                    const uint8_t *aad, size_t aad_length, uint8_t *tag, size_t tag_length,
                    uint8_t *data, size_t data_length)
{
    ccm_ctx ctx;
    if (generic_start(&ctx, key, nonce, nonce_length, aad, aad_length, data_length, tag_length) <
        0)
        return -1;
    generic_update<true>(&ctx, data, data, data_length);
    generic_encrypt_final(&ctx, tag);
    return 0;
}

int generic_decrypt(const dtls_cipher_state *key, const uint8_t *nonce, size_t nonce_length,
                    const uint8_t *aad, size_t aad_length, const uint8_t *tag, size_t tag_length,
                    uint8_t *data, size_t data_length)
{
    ccm_ctx ctx;
    if (generic_start(&ctx, key, nonce, nonce_length, aad, aad_length, data_length, tag_length) <
        0)
        return -1;
    generic_update<false>(&ctx, data, data, data_length);
    if (generic_decrypt_final(&ctx, tag) < 0) {
        // Unauthenticated plaintext never leaves.
        secure_wipe(data, data_length);
        return -1;
    }
    return 0;
}

// --- Fused loops on the AES instructions: the CBC-MAC and the counter
// stream run side by side so that both pipelines stay busy. ---

#if defined(__x86_64__)
#define AESNI_TARGET __attribute__((target("aes,sse4.1")))

struct ni_keys {
    __m128i rk[AES_ROUNDS + 1];
};

AESNI_TARGET inline __m128i ni_load(const uint8_t *p)
{
    return _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
}
AESNI_TARGET inline void ni_store(uint8_t *p, __m128i x)
{
    _mm_storeu_si128(reinterpret_cast<__m128i *>(p), x);
}

AESNI_TARGET inline __m128i ni_encrypt1(const __m128i *rk, __m128i x)
{
    x = _mm_xor_si128(x, rk[0]);
    for (int r = 1; r < AES_ROUNDS; r++)
        x = _mm_aesenc_si128(x, rk[r]);
    return _mm_aesenclast_si128(x, rk[AES_ROUNDS]);
}

AESNI_TARGET inline void ni_encrypt2(const __m128i *rk, __m128i &x, __m128i &y)
{
    x = _mm_xor_si128(x, rk[0]);
    y = _mm_xor_si128(y, rk[0]);
    for (int r = 1; r < AES_ROUNDS; r++) {
        x = _mm_aesenc_si128(x, rk[r]);
        y = _mm_aesenc_si128(y, rk[r]);
    }
    x = _mm_aesenclast_si128(x, rk[AES_ROUNDS]);
    y = _mm_aesenclast_si128(y, rk[AES_ROUNDS]);
}

// Counter blocks: the last word of A0 plus the block number, byte-swapped.
// No more than 2^32 blocks are ever asked for, so the nonce bytes in that
// word are never carried into.
struct ni_counter {
    __m128i base;
    uint32_t word;
};

AESNI_TARGET inline __m128i ni_counter_block(const ni_counter &c, uint32_t i)
{
    return _mm_insert_epi32(c.base, static_cast<int>(__builtin_bswap32(c.word + i)), 3);
}

// The state of one fused run: round keys, CBC-MAC, S0 and the counter.
struct ni_run {
    __m128i rk[AES_ROUNDS + 1]; // copied: the key's schedule may be only 8-byte aligned
    __m128i mac;
    __m128i s0;
    ni_counter c;
};

// B0, the additional data and S0; 0, or -1 for parameters CCM does not allow.
AESNI_TARGET int ni_start(ni_run *run, const dtls_cipher_state *key, const uint8_t *nonce,
                          size_t nonce_length, const uint8_t *aad, size_t aad_length,
                          size_t data_length, size_t tag_length)
{
    uint8_t b0[16], a0[16];
    if (ccm_format(nonce, nonce_length, aad_length, data_length, tag_length, b0, a0) < 0)
        return -1;
    memcpy(run->rk, key->aes.rk, sizeof run->rk);
    const __m128i *rk = run->rk;
    __m128i mac = ni_load(b0);
    __m128i s = ni_load(a0);
    ni_encrypt2(rk, mac, s);
    ccm_aad_blocks(aad, aad_length,
                   [&](const uint8_t *b) { mac = ni_encrypt1(rk, _mm_xor_si128(mac, ni_load(b))); });
    run->mac = mac;
    run->s0 = s;
    run->c = {ni_load(a0), uint32_t(a0[12]) << 24 | uint32_t(a0[13]) << 16 |
                               uint32_t(a0[14]) << 8 | a0[15]};
    return 0;
}

AESNI_TARGET int ni_encrypt(const dtls_cipher_state *key, const uint8_t *nonce,
                            size_t nonce_length, const uint8_t *aad, size_t aad_length,
                            uint8_t *tag, size_t tag_length, uint8_t *data, size_t data_length)
{
    ni_run run;
    if (ni_start(&run, key, nonce, nonce_length, aad, aad_length, data_length, tag_length) < 0)
        return -1;
    const __m128i *rk = run.rk;
    const ni_counter &c = run.c;
    __m128i mac = run.mac, s0 = run.s0;
    uint32_t i = 1;
    size_t off = 0;
    for (; off + 16 <= data_length; off += 16, i++) {
        __m128i p = ni_load(data + off);
        __m128i k = ni_counter_block(c, i);
        mac = _mm_xor_si128(mac, p);
        ni_encrypt2(rk, mac, k);
        ni_store(data + off, _mm_xor_si128(p, k));
    }
    if (off < data_length) {
        size_t n = data_length - off;
        alignas(16) uint8_t last[16] = {};
        memcpy(last, data + off, n);
        __m128i p = ni_load(last);
        __m128i k = ni_counter_block(c, i);
        mac = _mm_xor_si128(mac, p);
        ni_encrypt2(rk, mac, k);
        ni_store(last, _mm_xor_si128(p, k));
        memcpy(data + off, last, n);
        secure_wipe(last, sizeof last);
    }
    alignas(16) uint8_t full[16];
    ni_store(full, _mm_xor_si128(mac, s0));
    memcpy(tag, full, tag_length);
    secure_wipe(full, sizeof full);
    return 0;
}

AESNI_TARGET int ni_decrypt(const dtls_cipher_state *key, const uint8_t *nonce,
                            size_t nonce_length, const uint8_t *aad, size_t aad_length,
                            const uint8_t *tag, size_t tag_length, uint8_t *data,
                            size_t data_length)
{
    ni_run run;
    if (ni_start(&run, key, nonce, nonce_length, aad, aad_length, data_length, tag_length) < 0)
        return -1;
    const __m128i *rk = run.rk;
    const ni_counter &c = run.c;
    __m128i mac = run.mac, s0 = run.s0;
    size_t blocks = (data_length + 15) / 16;
    // The key stream of block i+1 is computed beside the MAC of block i.
    __m128i k = blocks ? ni_encrypt1(rk, ni_counter_block(c, 1)) : _mm_setzero_si128();
    size_t off = 0;
    for (uint32_t i = 1; i <= blocks; i++, off += 16) {
        size_t n = data_length - off < 16 ? data_length - off : 16;
        __m128i p;
        if (n == 16) {
            p = _mm_xor_si128(ni_load(data + off), k);
            ni_store(data + off, p);
        } else {
            alignas(16) uint8_t last[16] = {};
            memcpy(last, data + off, n);
            ni_store(last, _mm_xor_si128(ni_load(last), k));
            memset(last + n, 0, 16 - n);
            memcpy(data + off, last, n);
            p = ni_load(last);
            secure_wipe(last, sizeof last);
        }
        mac = _mm_xor_si128(mac, p);
        if (i < blocks) {
            k = ni_counter_block(c, i + 1);
            ni_encrypt2(rk, mac, k);
        } else {
            mac = ni_encrypt1(rk, mac);
        }
    }
    alignas(16) uint8_t full[16];
    ni_store(full, _mm_xor_si128(mac, s0));
    int bad = secure_compare(full, tag, tag_length);
    secure_wipe(full, sizeof full);
    if (bad) {
        secure_wipe(data, data_length);
        return -1;
    }
    return 0;
}

bool ni_usable()
{
    return aes_current == &aes_ni_impl;
}
#else
bool ni_usable()
{
    return false;
}
int ni_encrypt(const dtls_cipher_state *, const uint8_t *, size_t, const uint8_t *, size_t,
               uint8_t *, size_t, uint8_t *, size_t)
{
    return -1;
}
int ni_decrypt(const dtls_cipher_state *, const uint8_t *, size_t, const uint8_t *, size_t,
               const uint8_t *, size_t, uint8_t *, size_t)
{
    return -1;
}
#endif

// The schedule's layout follows the AES implementation, so the choice of
// loop is made per call from the one in use.
int default_encrypt(const dtls_cipher_state *key, const uint8_t *nonce, size_t nonce_length,
                    const uint8_t *aad, size_t aad_length, uint8_t *tag, size_t tag_length,
                    uint8_t *data, size_t data_length)
{
    if (ni_usable())
        return ni_encrypt(key, nonce, nonce_length, aad, aad_length, tag, tag_length, data,
                          data_length);
    return generic_encrypt(key, nonce, nonce_length, aad, aad_length, tag, tag_length, data,
                           data_length);
}

int default_decrypt(const dtls_cipher_state *key, const uint8_t *nonce, size_t nonce_length,
                    const uint8_t *aad, size_t aad_length, const uint8_t *tag, size_t tag_length,
                    uint8_t *data, size_t data_length)
{
    if (ni_usable())
        return ni_decrypt(key, nonce, nonce_length, aad, aad_length, tag, tag_length, data,
                          data_length);
    return generic_decrypt(key, nonce, nonce_length, aad, aad_length, tag, tag_length, data,
                           data_length);
}

} // namespace

const ccm_impl ccm_default_impl = {
    generic_set_key,       generic_wipe,          generic_start,   generic_update<true>,
    generic_update<false>, generic_encrypt_final, generic_decrypt_final, default_encrypt,
    default_decrypt,       "CCM"};
const ccm_impl *ccm_current = &ccm_default_impl;

// --- Record protection (RFC 6655) ---

void dtls_aes_ccm_init(dtls_cipher_state *state, const dtls_security_parameters *params,
                       const uint8_t *key)
{
    UGW_ASSERT(params->block_length == RIJNDAEL_BLOCK_SIZE);
    UGW_ASSERT(params->enc_key_length == AES_CCM_KEY_SIZE);
    UGW_ASSERT(params->mac_length <= RIJNDAEL_BLOCK_SIZE);
    UGW_ASSERT(params->record_iv_length == DTLS_AES_CCM_IV_SIZE);
    ccm_set_key(state, key);
}

void dtls_aes_ccm_free(dtls_cipher_state *state)
{
    ccm_wipe(state);
}

int dtls_aes_ccm_encrypt(dtls_cipher_state *state, const dtls_security_parameters *params,
                         const uint8_t *salt, packet *msg)
{
    UGW_ASSERT(msg->length >= DTLS_RECORD_SIZE);
    UGW_ASSERT(packet_headroom(msg) >= DTLS_AES_CCM_IV_SIZE);
    UGW_ASSERT(packet_tailroom(msg) >= params->mac_length);
    UGW_ASSERT(!packet_isfragmented(msg));
    size_t mac_length = params->mac_length;
    uint8_t *hdr = msg->data;
    size_t plain = dtls_get_u16(hdr + 11);
    UGW_ASSERT(plain == msg->length - DTLS_RECORD_SIZE);

    uint8_t nonce[DTLS_AES_CCM_NONCE_SIZE];
    uint8_t aad[DTLS_AES_CCM_AAD_SIZE];
    memcpy(nonce, salt, DTLS_AES_CCM_SALT_SIZE);
    memcpy(nonce + DTLS_AES_CCM_SALT_SIZE, hdr + 3, DTLS_AES_CCM_IV_SIZE);
    memcpy(aad, hdr + 3, 8);
    memcpy(aad + 8, hdr, 3);
    dtls_put_u16(aad + 11, static_cast<uint32_t>(plain));
    dtls_put_u16(hdr + 11, static_cast<uint32_t>(plain + mac_length + DTLS_AES_CCM_IV_SIZE));

    uint8_t *front = packet_push(msg, DTLS_AES_CCM_IV_SIZE);
    memmove(front, front + DTLS_AES_CCM_IV_SIZE, DTLS_RECORD_SIZE);
    memcpy(front + DTLS_RECORD_SIZE, front + 3, DTLS_AES_CCM_IV_SIZE);
    uint8_t *tag = packet_put(msg, mac_length);
    int r = ccm_encrypt(state, nonce, sizeof nonce, aad, sizeof aad, tag, mac_length,
                        front + DTLS_AES_CCM_HDR_SIZE, plain);
    secure_wipe(nonce, sizeof nonce);
    return r;
}

int dtls_aes_ccm_decrypt(dtls_cipher_state *state, const dtls_security_parameters *params,
                         const uint8_t *salt, packet *msg)
{
    size_t mac_length = params->mac_length;
    UGW_ASSERT(msg->length >= DTLS_AES_CCM_HDR_SIZE + mac_length);
    UGW_ASSERT(!packet_isfragmented(msg));
    uint8_t *hdr = msg->data;
    size_t plain = msg->length - DTLS_AES_CCM_HDR_SIZE - mac_length;

    uint8_t nonce[DTLS_AES_CCM_NONCE_SIZE];
    uint8_t aad[DTLS_AES_CCM_AAD_SIZE];
    uint8_t tag[RIJNDAEL_BLOCK_SIZE];
    memcpy(nonce, salt, DTLS_AES_CCM_SALT_SIZE);
    memcpy(nonce + DTLS_AES_CCM_SALT_SIZE, hdr + DTLS_RECORD_SIZE, DTLS_AES_CCM_IV_SIZE);
    // The sequence number authenticated is the header's, so a record cannot
    // be replayed under a fresh header sequence with its old explicit nonce.
    memcpy(aad, hdr + 3, 8);
    memcpy(aad + 8, hdr, 3);
    dtls_put_u16(aad + 11, static_cast<uint32_t>(plain));
    dtls_put_u16(hdr + 11, static_cast<uint32_t>(plain));
    memcpy(tag, hdr + DTLS_AES_CCM_HDR_SIZE + plain, mac_length);
    packet_trim(msg, mac_length);

    int r = ccm_decrypt(state, nonce, sizeof nonce, aad, sizeof aad, tag, mac_length,
                        hdr + DTLS_AES_CCM_HDR_SIZE, plain);
    memmove(hdr + DTLS_AES_CCM_IV_SIZE, hdr, DTLS_RECORD_SIZE);
    packet_pull(msg, DTLS_AES_CCM_IV_SIZE);
    return r;
}

const dtls_cipher_ops dtls_aes_ccm_ops = {
    .init = dtls_aes_ccm_init,
    .free = dtls_aes_ccm_free,
    .encrypt = dtls_aes_ccm_encrypt,
    .decrypt = dtls_aes_ccm_decrypt,
};
