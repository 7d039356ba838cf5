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

// Only the compile-time check of the S-box circuit below reads it.
constexpr std::array<uint8_t, 256> sbox = make_sbox();

static_assert(sbox[0x00] == 0x63 && sbox[0x53] == 0xed && sbox[0xff] == 0x16);

using u64 = uint64_t;

// The bitsliced state of up to four blocks: q[b] holds bit b of every byte,
// byte (row, col) of lane l at bit 16 * col + 4 * row + l. Every step is a
// fixed sequence of logic operations and shifts.

// Boyar and Peralta's S-box circuit (113 gates), 64 S-boxes at a time.
constexpr void sub_bytes(u64 q[8])
{
    u64 x0 = q[7], x1 = q[6], x2 = q[5], x3 = q[4], x4 = q[3], x5 = q[2], x6 = q[1], x7 = q[0];
    u64 y14 = x3 ^ x5, y13 = x0 ^ x6, y9 = x0 ^ x3, y8 = x0 ^ x5, t0 = x1 ^ x2;
    u64 y1 = t0 ^ x7, y4 = y1 ^ x3, y12 = y13 ^ y14, y2 = y1 ^ x0, y5 = y1 ^ x6;
    u64 y3 = y5 ^ y8, t1 = x4 ^ y12, y15 = t1 ^ x5, y20 = t1 ^ x1, y6 = y15 ^ x7;
    u64 y10 = y15 ^ t0, y11 = y20 ^ y9, y7 = x7 ^ y11, y17 = y10 ^ y11, y19 = y10 ^ y8;
    u64 y16 = t0 ^ y11, y21 = y13 ^ y16, y18 = x0 ^ y16;

    u64 t2 = y12 & y15, t3 = y3 & y6, t4 = t3 ^ t2, t5 = y4 & x7, t6 = t5 ^ t2;
    u64 t7 = y13 & y16, t8 = y5 & y1, t9 = t8 ^ t7, t10 = y2 & y7, t11 = t10 ^ t7;
    u64 t12 = y9 & y11, t13 = y14 & y17, t14 = t13 ^ t12, t15 = y8 & y10, t16 = t15 ^ t12;
    u64 t17 = t4 ^ t14, t18 = t6 ^ t16, t19 = t9 ^ t14, t20 = t11 ^ t16;
    u64 t21 = t17 ^ y20, t22 = t18 ^ y19, t23 = t19 ^ y21, t24 = t20 ^ y18;
    u64 t25 = t21 ^ t22, t26 = t21 & t23, t27 = t24 ^ t26, t28 = t25 & t27, t29 = t28 ^ t22;
    u64 t30 = t23 ^ t24, t31 = t22 ^ t26, t32 = t31 & t30, t33 = t32 ^ t24, t34 = t23 ^ t33;
    u64 t35 = t27 ^ t33, t36 = t24 & t35, t37 = t36 ^ t34, t38 = t27 ^ t36, t39 = t29 & t38;
    u64 t40 = t25 ^ t39;
    u64 t41 = t40 ^ t37, t42 = t29 ^ t33, t43 = t29 ^ t40, t44 = t33 ^ t37, t45 = t42 ^ t41;
    u64 z0 = t44 & y15, z1 = t37 & y6, z2 = t33 & x7, z3 = t43 & y16, z4 = t40 & y1;
    u64 z5 = t29 & y7, z6 = t42 & y11, z7 = t45 & y17, z8 = t41 & y10, z9 = t44 & y12;
    u64 z10 = t37 & y3, z11 = t33 & y4, z12 = t43 & y13, z13 = t40 & y5, z14 = t29 & y2;
    u64 z15 = t42 & y9, z16 = t45 & y14, z17 = t41 & y8;

    u64 t46 = z15 ^ z16, t47 = z10 ^ z11, t48 = z5 ^ z13, t49 = z9 ^ z10, t50 = z2 ^ z12;
    u64 t51 = z2 ^ z5, t52 = z7 ^ z8, t53 = z0 ^ z3, t54 = z6 ^ z7, t55 = z16 ^ z17;
    u64 t56 = z12 ^ t48, t57 = t50 ^ t53, t58 = z4 ^ t46, t59 = z3 ^ t54, t60 = t46 ^ t57;
    u64 t61 = z14 ^ t57, t62 = t52 ^ t58, t63 = t49 ^ t58, t64 = z4 ^ t59, t65 = t61 ^ t62;
    u64 t66 = z1 ^ t63;
    u64 s0 = t59 ^ t63, s6 = t56 ^ ~t62, s7 = t48 ^ ~t60, t67 = t64 ^ t65;
    u64 s3 = t53 ^ t66, s4 = t51 ^ t66, s5 = t47 ^ t65, s1 = t64 ^ ~s3, s2 = t55 ^ ~t67;
    q[7] = s0;
    q[6] = s1;
    q[5] = s2;
    q[4] = s3;
    q[3] = s4;
    q[2] = s5;
    q[1] = s6;
    q[0] = s7;
}

// The circuit is the S-box, checked here over all 256 inputs.
constexpr bool sub_bytes_matches_sbox()
{
    for (int base = 0; base < 256; base += 64) {
        u64 q[8] = {};
        for (int j = 0; j < 64; j++)
            for (int b = 0; b < 8; b++)
                q[b] |= u64(((base + j) >> b) & 1) << j;
        sub_bytes(q);
        for (int j = 0; j < 64; j++) {
            int v = 0;
            for (int b = 0; b < 8; b++)
                v |= int((q[b] >> j) & 1) << b;
            if (v != sbox[size_t(base + j)]) return false;
        }
    }
    return true;
}
static_assert(sub_bytes_matches_sbox());

inline u64 rotr64(u64 x, int n)
{
    return (x >> n) | (x << (64 - n));
}

inline void shift_rows(u64 q[8])
{
    for (int b = 0; b < 8; b++) {
        u64 x = q[b];
        q[b] = (x & 0x000f000f000f000f) | (rotr64(x, 16) & 0x00f000f000f000f0) |
               (rotr64(x, 32) & 0x0f000f000f000f00) | (rotr64(x, 48) & 0xf000f000f000f000);
    }
}

// The next row of the same column, and the one after it.
inline u64 row1(u64 x)
{
    return ((x >> 4) & 0x0fff0fff0fff0fff) | ((x << 12) & 0xf000f000f000f000);
}
inline u64 row2(u64 x)
{
    return ((x >> 8) & 0x00ff00ff00ff00ff) | ((x << 8) & 0xff00ff00ff00ff00);
}

// 2a + 3a' + a'' + a''' = 2(a + a') + a' + (a'' + a''') with b = a + a'.
inline void mix_columns(u64 q[8])
{
    u64 a1[8], b[8];
    for (int i = 0; i < 8; i++) {
        a1[i] = row1(q[i]);
        b[i] = q[i] ^ a1[i];
    }
    const u64 hi = b[7];
    u64 xt[8] = {hi, b[0] ^ hi, b[1], b[2] ^ hi, b[3] ^ hi, b[4], b[5], b[6]};
    for (int i = 0; i < 8; i++)
        q[i] = xt[i] ^ a1[i] ^ row2(b[i]);
}

inline void swapmove(u64 &a, u64 &b, u64 mask, int n)
{
    u64 t = ((a >> n) ^ b) & mask;
    b ^= t;
    a ^= t << n;
}

// Exchanges the word index with the bit index within each byte: word j byte
// k bit b <-> word b bit 8k + j. It is its own inverse.
inline void ortho(u64 q[8])
{
    for (int i = 0; i < 8; i += 2)
        swapmove(q[i], q[i + 1], 0x5555555555555555, 1);
    for (int i : {0, 1, 4, 5})
        swapmove(q[i], q[i + 2], 0x3333333333333333, 2);
    for (int i = 0; i < 4; i++)
        swapmove(q[i], q[i + 4], 0x0f0f0f0f0f0f0f0f, 4);
}

inline u64 load_le64(const uint8_t *p)
{
    u64 v = 0;
    for (int i = 7; i >= 0; i--)
        v = v << 8 | p[i];
    return v;
}
inline void store_le64(uint8_t *p, u64 v)
{
    for (int i = 0; i < 8; i++, v >>= 8)
        p[i] = uint8_t(v);
}

// The even bytes of x into the low half, the odd ones into the high half.
inline u64 unzip_bytes(u64 x)
{
    x = (x & 0xff0000ffff0000ff) | ((x >> 8) & 0x0000ff000000ff00) |
        ((x << 8) & 0x00ff000000ff0000);
    x = (x & 0xffff00000000ffff) | ((x >> 16) & 0x00000000ffff0000) |
        ((x << 16) & 0x0000ffff00000000);
    return x;
}
inline u64 zip_bytes(u64 x)
{
    x = (x & 0xffff00000000ffff) | ((x >> 16) & 0x00000000ffff0000) |
        ((x << 16) & 0x0000ffff00000000);
    x = (x & 0xff0000ffff0000ff) | ((x >> 8) & 0x0000ff000000ff00) |
        ((x << 8) & 0x00ff000000ff0000);
    return x;
}

// Block lane of the state from 16 bytes: its even bytes (rows 0 and 2) go
// to word lane, its odd bytes to word 4 + lane, each in order; ortho then
// puts every byte at its bit position.
inline void load_lane(u64 q[8], int lane, const uint8_t *in)
{
    u64 lo = unzip_bytes(load_le64(in)), hi = unzip_bytes(load_le64(in + 8));
    q[lane] = (lo & 0xffffffff) | hi << 32;
    q[4 + lane] = lo >> 32 | (hi & 0xffffffff00000000);
}
inline void store_lane(const u64 q[8], int lane, uint8_t *out)
{
    u64 even = q[lane], odd = q[4 + lane];
    store_le64(out, zip_bytes((even & 0xffffffff) | odd << 32));
    store_le64(out + 8, zip_bytes(even >> 32 | (odd & 0xffffffff00000000)));
}

// A round key is kept compressed: lane 0 of its bit planes, four planes to a
// word (plane 4w + i at bit offset i of word w); 11 round keys fill the
// 176-byte schedule. Expanding copies each bit to the four lanes.
inline u64 key_plane(const u64 rk[2], int b)
{
    return ((rk[b >> 2] >> (b & 3)) & 0x1111111111111111) * 15;
}

inline void add_round_key(u64 q[8], const aes_key *key, int r)
{
    u64 rk[2];
    memcpy(rk, key->rk + 4 * r, sizeof rk);
    for (int b = 0; b < 8; b++)
        q[b] ^= key_plane(rk, b);
}

inline void bs_rounds(u64 q[8], const aes_key *key)
{
    add_round_key(q, key, 0);
    for (int r = 1; r < AES_ROUNDS; r++) {
        sub_bytes(q);
        shift_rows(q);
        mix_columns(q);
        add_round_key(q, key, r);
    }
    sub_bytes(q);
    shift_rows(q);
    add_round_key(q, key, AES_ROUNDS);
}

// Up to four blocks from in (16 * n bytes) to out; the state is left in q
// for the caller to wipe once.
inline void bs_encrypt(const aes_key *key, const uint8_t *in, uint8_t *out, int n, u64 q[8])
{
    for (int b = 0; b < 8; b++)
        q[b] = 0;
    for (int l = 0; l < n; l++)
        load_lane(q, l, in + 16 * l);
    ortho(q);
    bs_rounds(q, key);
    ortho(q);
    for (int l = 0; l < n; l++)
        store_lane(q, l, out + 16 * l);
}

// SubWord of the key schedule on four bytes, through the same circuit.
uint32_t sub_word(uint32_t w)
{
    u64 q[8];
    for (int b = 0; b < 8; b++) {
        u64 v = 0;
        for (int i = 0; i < 4; i++)
            v |= u64((w >> (8 * i + b)) & 1) << i;
        q[b] = v;
    }
    sub_bytes(q);
    uint32_t r = 0;
    for (int b = 0; b < 8; b++)
        for (int i = 0; i < 4; i++)
            r |= uint32_t((q[b] >> i) & 1) << (8 * i + b);
    secure_wipe(q, sizeof q);
    return r;
}

} // namespace

int aes_generic_set_key(aes_key *key, const uint8_t k[16])
{
    // FIPS 197 expansion on big-endian words, then each round key in
    // compressed bitsliced form.
    uint32_t w[4 * (AES_ROUNDS + 1)];
    for (int i = 0; i < 4; i++)
        w[i] = load_be32(k + 4 * i);
    uint32_t rcon = 1;
    for (int i = 4; i < 44; i++) {
        uint32_t t = w[i - 1];
        if (i % 4 == 0) {
            t = sub_word(rotl32(t, 8)) ^ rcon << 24;
            rcon = xtime(uint8_t(rcon));
        }
        w[i] = w[i - 4] ^ t;
    }
    for (int r = 0; r <= AES_ROUNDS; r++) {
        uint8_t bytes[16];
        for (int i = 0; i < 4; i++)
            store_be32(bytes + 4 * i, w[4 * r + i]);
        u64 q[8] = {};
        load_lane(q, 0, bytes);
        ortho(q);
        u64 rk[2] = {q[0] | q[1] << 1 | q[2] << 2 | q[3] << 3,
                     q[4] | q[5] << 1 | q[6] << 2 | q[7] << 3};
        memcpy(key->rk + 4 * r, rk, sizeof rk);
        secure_wipe(bytes, sizeof bytes);
        secure_wipe(q, sizeof q);
    }
    secure_wipe(w, sizeof w);
    return AES_ROUNDS;
}

void aes_generic_encrypt(const aes_key *key, const uint8_t in[16], uint8_t out[16])
{
    u64 q[8];
    bs_encrypt(key, in, out, 1, q);
    secure_wipe(q, sizeof q);
}

void aes_generic_encrypt_blocks(const aes_key *key, const uint8_t *in, uint8_t *out, size_t n)
{
    u64 q[8];
    for (; n >= 4; n -= 4, in += 64, out += 64)
        bs_encrypt(key, in, out, 4, q);
    if (n) bs_encrypt(key, in, out, int(n), q);
    secure_wipe(q, sizeof q);
}

void aes_generic_ctr_blocks(const aes_key *key, uint8_t ctr[16], const uint8_t *in, uint8_t *out,
                            size_t n)
{
    u64 hi = u64(load_be32(ctr)) << 32 | load_be32(ctr + 4);
    u64 lo = u64(load_be32(ctr + 8)) << 32 | load_be32(ctr + 12);
    uint8_t blocks[64];
    u64 q[8];
    while (n) {
        int m = n < 4 ? int(n) : 4;
        for (int l = 0; l < m; l++) {
            store_be64(blocks + 16 * l, hi);
            store_be64(blocks + 16 * l + 8, lo);
            if (++lo == 0) hi++;
        }
        bs_encrypt(key, blocks, blocks, m, q);
        for (int i = 0; i < 16 * m; i++)
            out[i] = in ? uint8_t(in[i] ^ blocks[i]) : blocks[i];
        if (in) in += 16 * m;
        out += 16 * m;
        n -= size_t(m);
    }
    store_be64(ctr, hi);
    store_be64(ctr + 8, lo);
    secure_wipe(blocks, sizeof blocks);
    secure_wipe(q, sizeof q);
}

void aes_generic_cbc_mac(const aes_key *key, uint8_t cv[16], const uint8_t *in, size_t n)
{
    uint8_t x[16];
    u64 q[8] = {};
    memcpy(x, cv, 16);
    for (; n; n--, in += 16) {
        for (int i = 0; i < 16; i++)
            x[i] ^= in[i];
        bs_encrypt(key, x, x, 1, q);
    }
    memcpy(cv, x, 16);
    secure_wipe(x, sizeof x);
    secure_wipe(q, sizeof q);
}

void aes_generic_ccm_blocks(const aes_key *key, uint8_t mac[16], uint8_t ctr[16], const uint8_t *in,
                            uint8_t *out, size_t n, bool decrypt)
{
    // Lane 0 carries the CBC-MAC, lane 1 the key stream: one pass per block,
    // and one more when decrypting, whose MAC waits for the plaintext.
    u64 hi = u64(load_be32(ctr)) << 32 | load_be32(ctr + 4);
    u64 lo = u64(load_be32(ctr + 8)) << 32 | load_be32(ctr + 12);
    uint8_t lanes[32], plain[16], before[16];
    u64 q[8] = {};
    memcpy(lanes, mac, 16);
    size_t passes = decrypt ? (n ? n + 1 : 0) : n;
    for (size_t i = 0; i < passes; i++) {
        // Pass i makes the key stream of block i and, encrypting, the MAC
        // of block i; decrypting, that of block i - 1.
        bool mac_lane = !decrypt || i > 0;
        if (!decrypt) memcpy(plain, in + 16 * i, 16);
        if (mac_lane)
            for (int j = 0; j < 16; j++)
                lanes[j] ^= plain[j];
        if (i < n) {
            store_be64(lanes + 16, hi);
            store_be64(lanes + 24, lo);
            if (++lo == 0) hi++;
        }
        if (!mac_lane) memcpy(before, lanes, 16);
        bs_encrypt(key, lanes, lanes, i < n ? 2 : 1, q);
        if (!mac_lane) memcpy(lanes, before, 16);
        if (i < n) {
            for (size_t j = 0; j < 16; j++) {
                uint8_t c = uint8_t(in[16 * i + j] ^ lanes[16 + j]);
                if (decrypt) plain[j] = c;
                out[16 * i + j] = c;
            }
        }
    }
    memcpy(mac, lanes, 16);
    store_be64(ctr, hi);
    store_be64(ctr + 8, lo);
    secure_wipe(lanes, sizeof lanes);
    secure_wipe(plain, sizeof plain);
    secure_wipe(before, sizeof before);
    secure_wipe(q, sizeof q);
}

namespace
{

void generic_wrap(const aes_key *key, uint8_t *buf, size_t n)
{
    uint8_t b[16];
    u64 q[8] = {};
    memcpy(b, buf, 8);
    for (size_t j = 0; j < 6; j++) {
        for (size_t i = 1; i <= n; i++) {
            memcpy(b + 8, buf + 8 * i, 8);
            bs_encrypt(key, b, b, 1, q);
            u64 a = u64(load_be32(b)) << 32 | load_be32(b + 4);
            store_be64(b, a ^ (u64(n) * j + i));
            memcpy(buf + 8 * i, b + 8, 8);
        }
    }
    memcpy(buf, b, 8);
    secure_wipe(b, sizeof b);
    secure_wipe(q, sizeof q);
}

} // namespace

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
    __m128i rk[AES_ROUNDS + 1];
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
    memcpy(key->rk, rk, sizeof rk);
    return AES_ROUNDS;
}

// A schedule may sit at any 8-byte boundary (records of the object pools), so
// round keys are loaded without an alignment demand.
AESNI_TARGET __attribute__((always_inline)) inline __m128i ni_round_key(const aes_key *key, int r)
{
    return _mm_loadu_si128(reinterpret_cast<const __m128i *>(key->rk + 4 * r));
}

AESNI_TARGET void ni_encrypt(const aes_key *key, const uint8_t in[16], uint8_t out[16])
{
    __m128i x = _mm_xor_si128(_mm_loadu_si128(reinterpret_cast<const __m128i *>(in)),
                              ni_round_key(key, 0));
    for (int r = 1; r < AES_ROUNDS; r++)
        x = _mm_aesenc_si128(x, ni_round_key(key, r));
    x = _mm_aesenclast_si128(x, ni_round_key(key, AES_ROUNDS));
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
    __m128i rk[AES_ROUNDS + 1];
    memcpy(rk, key->rk, sizeof rk);
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

AESNI_TARGET __attribute__((always_inline)) inline __m128i ni_counter_next(ni_ctr &c)
{
    __m128i x = _mm_set_epi64x(static_cast<long long>(__builtin_bswap64(c.lo)),
                               static_cast<long long>(__builtin_bswap64(c.hi)));
    if (++c.lo == 0) c.hi++;
    return x;
}

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
    __m128i rk[AES_ROUNDS + 1];
    memcpy(rk, key->rk, sizeof rk);
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

// The chains below copy the round keys into locals once, so that they stay
// in registers for the whole chain.
AESNI_TARGET __attribute__((always_inline)) inline __m128i ni_chain_block(const __m128i *rk,
                                                                          __m128i x)
{
    x = _mm_xor_si128(x, rk[0]);
#pragma GCC unroll 10
    for (int r = 1; r < AES_ROUNDS; r++)
        x = _mm_aesenc_si128(x, rk[r]);
    return _mm_aesenclast_si128(x, rk[AES_ROUNDS]);
}

AESNI_TARGET void ni_cbc_mac(const aes_key *key, uint8_t cv[16], const uint8_t *in, size_t n)
{
    __m128i rk[AES_ROUNDS + 1];
    memcpy(rk, key->rk, sizeof rk);
    __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i *>(cv));
    for (; n; n--, in += 16)
        x = ni_chain_block(
            rk, _mm_xor_si128(x, _mm_loadu_si128(reinterpret_cast<const __m128i *>(in))));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(cv), x);
}

AESNI_TARGET void ni_ccm_blocks(const aes_key *key, uint8_t mac[16], uint8_t ctr[16],
                                const uint8_t *in, uint8_t *out, size_t n, bool decrypt)
{
    __m128i rk[AES_ROUNDS + 1];
    memcpy(rk, key->rk, sizeof rk);
    ni_ctr c;
    memcpy(&c.hi, ctr, 8);
    memcpy(&c.lo, ctr + 8, 8);
    c.hi = __builtin_bswap64(c.hi);
    c.lo = __builtin_bswap64(c.lo);
    __m128i m = _mm_loadu_si128(reinterpret_cast<const __m128i *>(mac));
    // The key stream of the next block is made beside the MAC of this one.
    __m128i k[1] = {_mm_setzero_si128()};
    if (n) {
        k[0] = ni_counter_next(c);
        ni_encrypt_n<1>(rk, k);
    }
    for (size_t i = 0; i < n; i++) {
        __m128i d = _mm_loadu_si128(reinterpret_cast<const __m128i *>(in + 16 * i));
        __m128i r = _mm_xor_si128(d, k[0]);
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out + 16 * i), r);
        __m128i p = decrypt ? r : d;
        if (i + 1 < n) {
            __m128i x[2] = {_mm_xor_si128(m, p), ni_counter_next(c)};
            ni_encrypt_n<2>(rk, x);
            m = x[0];
            k[0] = x[1];
        } else {
            m = ni_chain_block(rk, _mm_xor_si128(m, p));
        }
    }
    _mm_storeu_si128(reinterpret_cast<__m128i *>(mac), m);
    store_be64(ctr, c.hi);
    store_be64(ctr + 8, c.lo);
}

AESNI_TARGET void ni_wrap(const aes_key *key, uint8_t *buf, size_t n)
{
    __m128i rk[AES_ROUNDS + 1];
    memcpy(rk, key->rk, sizeof rk);
    // The register's low half is A, its high half the block R[i].
    __m128i a = _mm_loadl_epi64(reinterpret_cast<const __m128i *>(buf));
    for (size_t j = 0; j < 6; j++) {
        for (size_t i = 1; i <= n; i++) {
            __m128i *r = reinterpret_cast<__m128i *>(buf + 8 * i);
            __m128i b = ni_chain_block(rk, _mm_unpacklo_epi64(a, _mm_loadl_epi64(r)));
            _mm_storel_epi64(r, _mm_unpackhi_epi64(b, b));
            uint64_t t = __builtin_bswap64(uint64_t(n) * j + i);
            a = _mm_xor_si128(b, _mm_cvtsi64_si128(static_cast<long long>(t)));
        }
    }
    _mm_storel_epi64(reinterpret_cast<__m128i *>(buf), a);
}

// CBC-MAC chains and a wrap side by side: each waits on its own last
// block, so together they fill the pipeline one alone leaves idle. Two MAC
// chains share one key (a request's MIC checked while its response is
// sealed).
struct ni_lanes {
    __m128i x[2];        // CBC-MAC chaining values
    const uint8_t *in[2];
    size_t n[2];         // blocks left
    __m128i a;           // the wrap's A
    uint8_t *buf;
    size_t wn, s, steps; // s of 6 * wn wrap steps done
};

template <bool M0, bool M1, bool W>
AESNI_TARGET __attribute__((always_inline)) inline void ni_lanes_step(ni_lanes &l,
                                                                      const __m128i *mk,
                                                                      const __m128i *wk)
{
    __m128i m0 = _mm_setzero_si128(), m1 = _mm_setzero_si128(), b = _mm_setzero_si128();
    __m128i *r = nullptr;
    if constexpr (M0)
        m0 = _mm_xor_si128(
            _mm_xor_si128(l.x[0], _mm_loadu_si128(reinterpret_cast<const __m128i *>(l.in[0]))),
            mk[0]);
    if constexpr (M1)
        m1 = _mm_xor_si128(
            _mm_xor_si128(l.x[1], _mm_loadu_si128(reinterpret_cast<const __m128i *>(l.in[1]))),
            mk[0]);
    if constexpr (W) {
        r = reinterpret_cast<__m128i *>(l.buf + 8 * (l.s % l.wn + 1));
        b = _mm_xor_si128(_mm_unpacklo_epi64(l.a, _mm_loadl_epi64(r)), wk[0]);
    }
#pragma GCC unroll 10
    for (int k = 1; k < AES_ROUNDS; k++) {
        if constexpr (M0) m0 = _mm_aesenc_si128(m0, mk[k]);
        if constexpr (M1) m1 = _mm_aesenc_si128(m1, mk[k]);
        if constexpr (W) b = _mm_aesenc_si128(b, wk[k]);
    }
    if constexpr (M0) {
        l.x[0] = _mm_aesenclast_si128(m0, mk[AES_ROUNDS]);
        l.in[0] += 16;
        l.n[0]--;
    }
    if constexpr (M1) {
        l.x[1] = _mm_aesenclast_si128(m1, mk[AES_ROUNDS]);
        l.in[1] += 16;
        l.n[1]--;
    }
    if constexpr (W) {
        b = _mm_aesenclast_si128(b, wk[AES_ROUNDS]);
        _mm_storel_epi64(r, _mm_unpackhi_epi64(b, b));
        // t = n * j + i of RFC 3394 is the step's number from 1.
        uint64_t t = __builtin_bswap64(uint64_t(++l.s));
        l.a = _mm_xor_si128(b, _mm_cvtsi64_si128(static_cast<long long>(t)));
    }
}

AESNI_TARGET void ni_cbc_macs_beside_wrap(const aes_key *mac_key, uint8_t cv[16],
                                          const uint8_t *in, size_t n, uint8_t cv2[16],
                                          const uint8_t *in2, size_t n2, const aes_key *kek,
                                          uint8_t *buf, size_t wn)
{
    __m128i mk[AES_ROUNDS + 1], wk[AES_ROUNDS + 1];
    memcpy(mk, mac_key->rk, sizeof mk);
    memcpy(wk, kek->rk, sizeof wk);
    ni_lanes l;
    l.x[0] = _mm_loadu_si128(reinterpret_cast<const __m128i *>(cv));
    l.x[1] = n2 ? _mm_loadu_si128(reinterpret_cast<const __m128i *>(cv2)) : _mm_setzero_si128();
    l.in[0] = in;
    l.in[1] = in2;
    l.n[0] = n;
    l.n[1] = n2;
    l.a = _mm_loadl_epi64(reinterpret_cast<const __m128i *>(buf));
    l.buf = buf;
    l.wn = wn;
    l.s = 0;
    l.steps = 6 * wn;
    for (;;) {
        switch ((l.n[0] ? 1 : 0) | (l.n[1] ? 2 : 0) | (l.s < l.steps ? 4 : 0)) {
        case 7: ni_lanes_step<true, true, true>(l, mk, wk); break;
        case 6: ni_lanes_step<false, true, true>(l, mk, wk); break;
        case 5: ni_lanes_step<true, false, true>(l, mk, wk); break;
        case 4: ni_lanes_step<false, false, true>(l, mk, wk); break;
        case 3: ni_lanes_step<true, true, false>(l, mk, wk); break;
        case 2: ni_lanes_step<false, true, false>(l, mk, wk); break;
        case 1: ni_lanes_step<true, false, false>(l, mk, wk); break;
        default:
            _mm_storeu_si128(reinterpret_cast<__m128i *>(cv), l.x[0]);
            if (n2) _mm_storeu_si128(reinterpret_cast<__m128i *>(cv2), l.x[1]);
            _mm_storel_epi64(reinterpret_cast<__m128i *>(buf), l.a);
            return;
        }
    }
}

} // namespace

const aes_impl aes_ni_impl = {ni_encrypt,    ni_set_key, "AES-NI", ni_encrypt_blocks,
                              ni_ctr_blocks, ni_cbc_mac, ni_wrap,  ni_ccm_blocks};
#else
// No such instructions here: the record falls back to the portable code.
const aes_impl aes_ni_impl = {
    aes_generic_encrypt,    aes_generic_set_key, "Generic",    aes_generic_encrypt_blocks,
    aes_generic_ctr_blocks, aes_generic_cbc_mac, generic_wrap, aes_generic_ccm_blocks};
#endif

const aes_impl aes_generic_impl = {
    aes_generic_encrypt,    aes_generic_set_key, "Generic",    aes_generic_encrypt_blocks,
    aes_generic_ctr_blocks, aes_generic_cbc_mac, generic_wrap, aes_generic_ccm_blocks};

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

void aes_key_wrap_keyed(uint8_t *buf, const aes_key *kek, size_t n)
{
    memmove(buf + 8, buf, n * 8);
    memset(buf, 0xa6, 8);
    aes_current->wrap(kek, buf, n);
}

void aes_cbc_mac_beside_wrap(const aes_key *mac_key, uint8_t cv[16], const uint8_t *in, size_t n,
                             const aes_key *kek, uint8_t *buf, size_t wn)
{
    aes_cbc_macs_beside_wrap(mac_key, cv, in, n, nullptr, nullptr, 0, kek, buf, wn);
}

void aes_cbc_macs_beside_wrap(const aes_key *mac_key, uint8_t cv[16], const uint8_t *in, size_t n,
                              uint8_t cv2[16], const uint8_t *in2, size_t n2, const aes_key *kek,
                              uint8_t *buf, size_t wn)
{
    memmove(buf + 8, buf, wn * 8);
    memset(buf, 0xa6, 8);
#if defined(__x86_64__)
    if (aes_current == &aes_ni_impl) {
        ni_cbc_macs_beside_wrap(mac_key, cv, in, n, cv2, in2, n2, kek, buf, wn);
        return;
    }
#endif
    aes_current->cbc_mac(mac_key, cv, in, n);
    if (n2) aes_current->cbc_mac(mac_key, cv2, in2, n2);
    aes_current->wrap(kek, buf, wn);
}

void aes_key_wrap(uint8_t *buf, const uint8_t kek[16], size_t n)
{
    aes_key key;
    aes_set_key(&key, kek);
    aes_key_wrap_keyed(buf, &key, n);
    secure_wipe(&key, sizeof key);
}
