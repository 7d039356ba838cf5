#include "common/crypto/aes.h"

#include <array>
#include <cstring>

#include "common/crypto/bytes.h"
#include "common/crypto/crypto_hw.h"
#include "common/crypto/secure.h"
#include "common/system.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

using namespace crypto_bytes;

namespace {

constexpr uint8_t xtime(uint8_t x)
{
    return uint8_t((x << 1) ^ ((x & 0x80) ? 0x1b : 0));
}

constexpr std::array<uint8_t, 256> make_sbox()
{
    // Walk the multiplicative group with generator 3 to get inverses, then
    // apply the affine map.
    std::array<uint8_t, 256> exp{}, log{}, sbox{};
    uint8_t x = 1;
    for (int i = 0; i < 255; i++) {
        exp[i] = x;
        log[x] = uint8_t(i);
        x = uint8_t(x ^ xtime(x));
    }
    for (int i = 0; i < 256; i++) {
        uint8_t inv = i ? exp[(255 - log[i]) % 255] : 0;
        uint8_t s = inv;
        for (int r = 1; r <= 4; r++)
            s ^= uint8_t((inv << r) | (inv >> (8 - r)));
        sbox[i] = uint8_t(s ^ 0x63);
    }
    return sbox;
}

constexpr std::array<uint8_t, 256> sbox = make_sbox();

// SubBytes and MixColumns of one byte position, for the four rotations.
constexpr std::array<std::array<uint32_t, 256>, 4> make_te()
{
    std::array<std::array<uint32_t, 256>, 4> te{};
    for (int i = 0; i < 256; i++) {
        uint8_t s = sbox[i], s2 = xtime(s), s3 = uint8_t(s2 ^ s);
        uint32_t w = uint32_t(s2) << 24 | uint32_t(s) << 16 | uint32_t(s) << 8 | s3;
        for (int r = 0; r < 4; r++)
            te[r][i] = r ? (w >> (8 * r)) | (w << (32 - 8 * r)) : w;
    }
    return te;
}

constexpr std::array<std::array<uint32_t, 256>, 4> te = make_te();

static_assert(sbox[0x00] == 0x63 && sbox[0x53] == 0xed && sbox[0xff] == 0x16);

} // namespace

int aes_generic_set_key(aes_key *key, const uint8_t k[16])
{
    uint32_t *rk = key->rk;
    for (int i = 0; i < 4; i++)
        rk[i] = load_be32(k + 4 * i);
    uint32_t rcon = 1;
    for (int i = 4; i < 44; i++) {
        uint32_t t = rk[i - 1];
        if (i % 4 == 0) {
            t = uint32_t(sbox[(t >> 16) & 0xff]) << 24 | uint32_t(sbox[(t >> 8) & 0xff]) << 16 |
                uint32_t(sbox[t & 0xff]) << 8 | sbox[t >> 24];
            t ^= rcon << 24;
            rcon = xtime(uint8_t(rcon));
        }
        rk[i] = rk[i - 4] ^ t;
    }
    return AES_ROUNDS;
}

void aes_generic_encrypt(const aes_key *key, const uint8_t in[16], uint8_t out[16])
{
    const uint32_t *rk = key->rk;
    uint32_t s0 = load_be32(in) ^ rk[0], s1 = load_be32(in + 4) ^ rk[1];
    uint32_t s2 = load_be32(in + 8) ^ rk[2], s3 = load_be32(in + 12) ^ rk[3];
    for (int r = 1; r < AES_ROUNDS; r++) {
        rk += 4;
        uint32_t t0 = te[0][s0 >> 24] ^ te[1][(s1 >> 16) & 0xff] ^ te[2][(s2 >> 8) & 0xff] ^
                      te[3][s3 & 0xff] ^ rk[0];
        uint32_t t1 = te[0][s1 >> 24] ^ te[1][(s2 >> 16) & 0xff] ^ te[2][(s3 >> 8) & 0xff] ^
                      te[3][s0 & 0xff] ^ rk[1];
        uint32_t t2 = te[0][s2 >> 24] ^ te[1][(s3 >> 16) & 0xff] ^ te[2][(s0 >> 8) & 0xff] ^
                      te[3][s1 & 0xff] ^ rk[2];
        uint32_t t3 = te[0][s3 >> 24] ^ te[1][(s0 >> 16) & 0xff] ^ te[2][(s1 >> 8) & 0xff] ^
                      te[3][s2 & 0xff] ^ rk[3];
        s0 = t0;
        s1 = t1;
        s2 = t2;
        s3 = t3;
    }
    rk += 4;
    auto last = [](uint32_t a, uint32_t b, uint32_t c, uint32_t d, uint32_t k) {
        return (uint32_t(sbox[a >> 24]) << 24 | uint32_t(sbox[(b >> 16) & 0xff]) << 16 |
                uint32_t(sbox[(c >> 8) & 0xff]) << 8 | sbox[d & 0xff]) ^
               k;
    };
    store_be32(out, last(s0, s1, s2, s3, rk[0]));
    store_be32(out + 4, last(s1, s2, s3, s0, rk[1]));
    store_be32(out + 8, last(s2, s3, s0, s1, rk[2]));
    store_be32(out + 12, last(s3, s0, s1, s2, rk[3]));
}

namespace {

void ctr_increment(uint8_t ctr[16])
{
    for (int i = 15; i >= 0; i--)
        if (++ctr[i])
            break;
}

} // namespace

void aes_generic_encrypt_blocks(const aes_key *key, const uint8_t *in, uint8_t *out, size_t n)
{
    for (size_t i = 0; i < n; i++)
        aes_generic_encrypt(key, in + 16 * i, out + 16 * i);
}

void aes_generic_ctr_blocks(const aes_key *key, uint8_t ctr[16], const uint8_t *in, uint8_t *out,
                            size_t n)
{
    uint8_t ks[16];
    for (size_t i = 0; i < n; i++, out += 16) {
        aes_generic_encrypt(key, ctr, ks);
        ctr_increment(ctr);
        if (in) {
            for (int j = 0; j < 16; j++)
                out[j] = uint8_t(in[j] ^ ks[j]);
            in += 16;
        } else {
            memcpy(out, ks, 16);
        }
    }
    secure_wipe(ks, sizeof ks);
}

#if defined(__x86_64__)
namespace {

#define AESNI_TARGET __attribute__((target("aes,sse4.1")))

template <int rcon>
AESNI_TARGET __attribute__((always_inline)) inline __m128i expand(__m128i k)
{
    __m128i t = _mm_shuffle_epi32(_mm_aeskeygenassist_si128(k, rcon), 0xff);
    k = _mm_xor_si128(k, _mm_slli_si128(k, 4));
    k = _mm_xor_si128(k, _mm_slli_si128(k, 8));
    return _mm_xor_si128(k, t);
}

AESNI_TARGET int ni_set_key(aes_key *key, const uint8_t k[16])
{
    __m128i *rk = reinterpret_cast<__m128i *>(key->rk);
    __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i *>(k));
    rk[0] = x;
    rk[1] = x = expand<0x01>(x);
    rk[2] = x = expand<0x02>(x);
    rk[3] = x = expand<0x04>(x);
    rk[4] = x = expand<0x08>(x);
    rk[5] = x = expand<0x10>(x);
    rk[6] = x = expand<0x20>(x);
    rk[7] = x = expand<0x40>(x);
    rk[8] = x = expand<0x80>(x);
    rk[9] = x = expand<0x1b>(x);
    rk[10] = expand<0x36>(x);
    return AES_ROUNDS;
}

AESNI_TARGET void ni_encrypt(const aes_key *key, const uint8_t in[16], uint8_t out[16])
{
    const __m128i *rk = reinterpret_cast<const __m128i *>(key->rk);
    __m128i x = _mm_xor_si128(_mm_loadu_si128(reinterpret_cast<const __m128i *>(in)), rk[0]);
    for (int r = 1; r < AES_ROUNDS; r++)
        x = _mm_aesenc_si128(x, rk[r]);
    x = _mm_aesenclast_si128(x, rk[AES_ROUNDS]);
    _mm_storeu_si128(reinterpret_cast<__m128i *>(out), x);
}

// N blocks side by side: the AES unit is pipelined, so independent blocks
// cost little more than one.
template <int N>
AESNI_TARGET __attribute__((always_inline)) inline void ni_encrypt_n(const __m128i *rk, __m128i *x)
{
#pragma GCC unroll 8
    for (int i = 0; i < N; i++)
        x[i] = _mm_xor_si128(x[i], rk[0]);
    for (int r = 1; r < AES_ROUNDS; r++) {
        __m128i k = rk[r];
#pragma GCC unroll 8
        for (int i = 0; i < N; i++)
            x[i] = _mm_aesenc_si128(x[i], k);
    }
#pragma GCC unroll 8
    for (int i = 0; i < N; i++)
        x[i] = _mm_aesenclast_si128(x[i], rk[AES_ROUNDS]);
}

template <int N>
AESNI_TARGET __attribute__((always_inline)) inline void ni_ecb_n(const __m128i *rk,
                                                                 const uint8_t *in, uint8_t *out)
{
    __m128i x[N];
#pragma GCC unroll 8
    for (int i = 0; i < N; i++)
        x[i] = _mm_loadu_si128(reinterpret_cast<const __m128i *>(in + 16 * i));
    ni_encrypt_n<N>(rk, x);
#pragma GCC unroll 8
    for (int i = 0; i < N; i++)
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out + 16 * i), x[i]);
}

AESNI_TARGET void ni_encrypt_blocks(const aes_key *key, const uint8_t *in, uint8_t *out, size_t n)
{
    const __m128i *rk = reinterpret_cast<const __m128i *>(key->rk);
    size_t i = 0;
    for (; n - i >= 8; i += 8)
        ni_ecb_n<8>(rk, in + 16 * i, out + 16 * i);
    if (n - i >= 4) {
        ni_ecb_n<4>(rk, in + 16 * i, out + 16 * i);
        i += 4;
    }
    for (; i < n; i++)
        ni_ecb_n<1>(rk, in + 16 * i, out + 16 * i);
}

// The counter as two native halves; a block is their big-endian bytes.
struct ni_ctr {
    uint64_t hi, lo;
};

template <int N>
AESNI_TARGET __attribute__((always_inline)) inline void ni_ctr_n(const __m128i *rk, ni_ctr &c,
                                                                 const uint8_t *in, uint8_t *out)
{
    __m128i x[N];
#pragma GCC unroll 8
    for (int i = 0; i < N; i++) {
        x[i] = _mm_set_epi64x(static_cast<long long>(__builtin_bswap64(c.lo)),
                              static_cast<long long>(__builtin_bswap64(c.hi)));
        if (++c.lo == 0)
            c.hi++;
    }
    ni_encrypt_n<N>(rk, x);
#pragma GCC unroll 8
    for (int i = 0; i < N; i++) {
        if (in)
            x[i] = _mm_xor_si128(x[i],
                                 _mm_loadu_si128(reinterpret_cast<const __m128i *>(in + 16 * i)));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out + 16 * i), x[i]);
    }
}

AESNI_TARGET void ni_ctr_blocks(const aes_key *key, uint8_t ctr[16], const uint8_t *in,
                                uint8_t *out, size_t n)
{
    const __m128i *rk = reinterpret_cast<const __m128i *>(key->rk);
    ni_ctr c;
    memcpy(&c.hi, ctr, 8);
    memcpy(&c.lo, ctr + 8, 8);
    c.hi = __builtin_bswap64(c.hi);
    c.lo = __builtin_bswap64(c.lo);
    size_t i = 0;
    for (; n - i >= 8; i += 8)
        ni_ctr_n<8>(rk, c, in ? in + 16 * i : nullptr, out + 16 * i);
    if (n - i >= 4) {
        ni_ctr_n<4>(rk, c, in ? in + 16 * i : nullptr, out + 16 * i);
        i += 4;
    }
    for (; i < n; i++)
        ni_ctr_n<1>(rk, c, in ? in + 16 * i : nullptr, out + 16 * i);
    store_be64(ctr, c.hi);
    store_be64(ctr + 8, c.lo);
}

} // namespace

const aes_impl aes_ni_impl = {ni_encrypt, ni_set_key, "AES-NI", ni_encrypt_blocks, ni_ctr_blocks};
#else
// No such instructions here: the record falls back to the tables.
const aes_impl aes_ni_impl = {aes_generic_encrypt, aes_generic_set_key, "Generic",
                              aes_generic_encrypt_blocks, aes_generic_ctr_blocks};
#endif

const aes_impl aes_generic_impl = {aes_generic_encrypt, aes_generic_set_key, "Generic",
                                   aes_generic_encrypt_blocks, aes_generic_ctr_blocks};

// Usable before aes_init so that a forgotten call costs speed, not correctness.
const aes_impl *aes_current = &aes_generic_impl;

void aes_init()
{
    aes_current = (crypto_hw() & CRYPTO_HW_AES) ? &aes_ni_impl : &aes_generic_impl;
    // --features names the processor's AES when it is the one in use.
    if (aes_current != &aes_generic_impl)
        features_set(FEATURE_AES);
}

void aes_select(const aes_impl *impl)
{
    aes_current = impl;
}

void aes_key_wrap(uint8_t *buf, const uint8_t kek[16], size_t n)
{
    aes_key key;
    aes_set_key(&key, kek);
    memmove(buf + 8, buf, n * 8);
    memset(buf, 0xa6, 8);
    uint8_t b[16];
    for (size_t j = 0; j < 6; j++) {
        for (size_t i = 1; i <= n; i++) {
            memcpy(b, buf, 8);
            memcpy(b + 8, buf + 8 * i, 8);
            aes_encrypt(&key, b, b);
            uint64_t t = uint64_t(n) * j + i;
            for (int s = 0; s < 8; s++)
                b[7 - s] ^= uint8_t(t >> (8 * s));
            memcpy(buf, b, 8);
            memcpy(buf + 8 * i, b + 8, 8);
        }
    }
    secure_wipe(b, sizeof b);
    secure_wipe(&key, sizeof key);
}
